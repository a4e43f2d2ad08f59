// How the command-line tools end: the exit statuses, and a fatal error as
// one printed line plus an exception that carries the status up to the
// tool's entry, so that tests can drive a whole run in process.
#pragma once

#include <cstdio>

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitInput = 1;       // an expected input cannot be read or is unusable
constexpr int kExitSwitch = 2;      // a bad command line: unknown switch, missing or bad value
constexpr int kExitLostOutput = 3;  // the run finished but some output file could not be written
constexpr int kExitNoMemory = 4;    // the run's buffers do not fit in this machine

struct RunExit {
  int status;
};

// Prints one line (printf-style) on `stream` and ends the run with `status`.
[[noreturn]] void failRun(int status, std::FILE* stream, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
