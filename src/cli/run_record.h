// One run per output folder: the folder holds the lock of the run writing
// into it and the record of the last run started there. sc-vardo takes it
// in the working folder, sc-vardo-video in its --out folder.
#pragma once

#include <string>

#include "scvardo/params.hpp"

constexpr const char* kLockFileName = ".sc-vardo.lock";
constexpr const char* kRunRecordName = "sc-vardo-run.txt";

class RunGuard {
 public:
  RunGuard() = default;
  RunGuard(const RunGuard&) = delete;
  RunGuard& operator=(const RunGuard&) = delete;
  ~RunGuard();  // releases the lock

  // Takes the lock of `folder` ("" the working folder; status 3 at once when
  // another run holds it), removes temporaries left there by dead runs and
  // writes the run record: "<tool> run record", the command, "input: ",
  // the lines of `details`, the start and "finished: no". Messages go to
  // stderr after `prefix` (the tool's name, or "").
  void start(const std::string& folder, const char* tool, const char* prefix, int argc, char** argv,
             const std::string& input, const std::string& details);
  // Marks the record finished (status 0 or 3) or stopped (any other);
  // returns the status, 3 when the record cannot be written. Does nothing
  // unless start() succeeded.
  int finish(int status);

 private:
  int fd_ = -1;
  std::string record_;  // its path
  std::string prefix_;
  std::string head_;  // the record's lines before "finished:"
};

// A word of a command line as the record shows it: control characters,
// which would break its line, become '?'.
std::string printable(const std::string& word);

// The record's "isa:" and "threads:" lines: the passes' path and how many
// threads they run on.
std::string pathLines(const scvardo::Params& params);
