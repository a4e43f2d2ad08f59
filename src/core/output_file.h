// The one way outputs reach the disk: written whole or not at all.
//
// The bytes go to a temporary file created exclusively (never through a
// link) in the destination folder, are checked on every write and on close,
// and the temporary is then renamed over the final name. The final name
// therefore holds either its earlier complete file or the new complete one;
// a link planted under the final name is replaced, never followed.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

struct WriteOutcome {
  enum Status { Ok, CannotCreate, Failed } status = Ok;
  std::string why;  // strerror-style reason when not Ok
  explicit operator bool() const { return status == Ok; }
};

WriteOutcome writeFileAtomic(const std::string& path, const void* data, std::size_t size);

// The pieces one after the other, as one file, without gathering them in
// memory first.
struct OutputPiece {
  const void* data;
  std::size_t size;
};
WriteOutcome writeFileAtomic(const std::string& path, const std::vector<OutputPiece>& pieces);

// For writers that open a file by name themselves (OpenCV's FileStorage):
// `fill` writes the temporary path, which ends in the final name's
// extensions so that the format chosen by extension is the same. It returns
// false (with a reason) on failure.
WriteOutcome writeFileAtomic(const std::string& path,
                             const std::function<bool(const std::string& tmp, std::string& why)>& fill);

// The part of a temporary file's name that marks it as ours.
constexpr const char* kTempMarker = ".scvardo-tmp.";

// Removes the temporaries this process is writing; safe in a signal handler.
void removeTemporariesNow();

// On SIGINT, SIGTERM, SIGHUP and SIGPIPE: remove the temporaries in flight,
// then end by the same signal with its default action.
void removeTemporariesOnSignals();

// Removes, in folder `dir` ("" for the working folder, else ending in '/'),
// the temporaries of processes that no longer exist (a run killed by
// SIGKILL, or a crash); returns their paths. A live process's stay.
std::vector<std::string> removeStaleTemporaries(const std::string& dir);
