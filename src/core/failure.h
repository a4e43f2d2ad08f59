// What a tool says when an exception reaches its top: one line and an exit
// status, never an abort. Every tool's entry catches everything and asks
// this.
#pragma once

#include <exception>
#include <string>

struct Failure {
  int status;
  std::string line;  // without the tool's prefix and the newline
};

// Out of memory (std::bad_alloc, OpenCV's out-of-memory error) and a thread
// that cannot be started (std::system_error from std::thread: a pids or
// memory limit): status 4. An image-library failure, or anything else:
// status 1.
Failure failureOf(const std::exception_ptr& e);
