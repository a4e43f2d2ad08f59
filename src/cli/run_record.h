// One run per output folder: the working folder holds the lock of the run
// writing into it and the record of the last run started there.
#pragma once

#include <string>

#include "cli/setup.h"

constexpr const char* kLockFileName = ".sc-vardo.lock";
constexpr const char* kRunRecordName = "sc-vardo-run.txt";

class RunGuard {
 public:
  RunGuard() = default;
  RunGuard(const RunGuard&) = delete;
  RunGuard& operator=(const RunGuard&) = delete;
  ~RunGuard();  // releases the lock

  // Takes the folder's lock (status 3 at once when another run holds it),
  // removes temporaries left by dead runs and writes the run record with
  // "finished: no".
  void start(int argc, char** argv, const RunSetup& setup);
  // Marks the record finished (status 0 or 3) or stopped (any other);
  // returns the status, 3 when the record cannot be written. Does nothing
  // unless start() succeeded.
  int finish(int status);

 private:
  int fd_ = -1;
  std::string head_;  // the record's lines before "finished:"
};
