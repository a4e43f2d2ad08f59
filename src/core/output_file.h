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

// A file that a writer fills by name over a whole run (a video): its
// temporary is made at once, so that a folder that cannot take it fails
// before any work, and it becomes the final file only through commit().
// Until then the final name keeps what it held; the destructor, and a
// signal handled as below, remove the temporary.
class PendingFile {
 public:
  PendingFile() = default;
  ~PendingFile() { discard(); }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Creates the temporary beside `path` (its name ends in the final name's
  // extensions). Returns CannotCreate with a reason when it cannot.
  WriteOutcome create(const std::string& path);
  const std::string& path() const { return path_; }
  const std::string& temporary() const { return temporary_; }
  // Renames the temporary over the final name.
  WriteOutcome commit();
  void discard();

 private:
  std::string path_, temporary_;
  int slot_ = -1;
};

// The part of a temporary file's name that marks it as ours.
constexpr const char* kTempMarker = ".scvardo-tmp.";

// A closed standard stream would hand its number to the next file opened
// (a lock, an output), and the console lines would land in it: each tool
// first puts a read-only /dev/null in its place, so that such writes fail.
void keepStandardStreamsApart();

// Removes the temporaries this process is writing; safe in a signal handler.
void removeTemporariesNow();

// On SIGINT, SIGTERM, SIGHUP and SIGPIPE: remove the temporaries in flight,
// then end by the same signal with its default action.
void removeTemporariesOnSignals();

// For tools that finish their files before they stop: the first SIGINT,
// SIGTERM or SIGHUP is only recorded (stopSignal() gives it); a second one,
// or SIGPIPE, removes the temporaries in flight and ends the process by
// that signal.
void stopOnSignals();
// The first stopping signal received, 0 while none.
int stopSignal();
// Ends the process by `sig` with its default action, as the signal would
// have (status 128+sig to a shell); returns only when that does not end it.
void endBySignal(int sig);

// The folder part of `path` as removeStaleTemporaries takes it: "" for a
// bare name, else up to and including the last '/'.
std::string folderOf(const std::string& path);

// Removes, in folder `dir` ("" for the working folder, else ending in '/'),
// the temporaries of processes that no longer exist (a run killed by
// SIGKILL, or a crash); returns their paths. A live process's stay.
std::vector<std::string> removeStaleTemporaries(const std::string& dir);
// The same, saying on stderr what was removed, each line after `prefix`
// (the tool's name, or "").
void removeStaleTemporariesSaying(const std::string& dir, const char* prefix);
