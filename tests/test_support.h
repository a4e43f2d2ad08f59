// Helpers shared by the tests: scratch directories, running the real
// executables, reading files.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

struct RunResult {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] is a path) in `workDir` with standard input closed.
RunResult run(const std::vector<std::string>& argv, const std::string& workDir = ".");

// Runs sc-vardo with `args` in `workDir`.
RunResult runTool(const std::vector<std::string>& args, const std::string& workDir);

// Runs `body` in a child process whose files may grow to `maxFileBytes`
// at most, standard error going to `errPath`. Returns whether `body`
// reported success (false also when the child did not exit normally).
bool succeedsWithFileSizeLimit(long maxFileBytes, const std::string& errPath,
                               const std::function<bool()>& body);

// A fresh, empty directory under the build tree's temp area, removed on exit.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& tag);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

bool fileExists(const std::string& path);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
std::vector<std::string> listDir(const std::string& dir);  // sorted names

// The real benchmark data beside the repository, or "" when absent.
std::string sharedDataDir();

// Generates the embedded sample sequence once per test process and returns
// its directory (holding input/, groundtruth/, ROI.bmp, temporalROI.txt).
const std::string& sampleSequenceDir();

// Writes a small synthetic sequence: DIR/input/in%06d.jpg for frames
// first..last (W x H, a fixed pattern with a square moving one pixel per
// frame), DIR/ROI.bmp (all 255 unless `roiImage` is given, omitted when
// `withRoi` is false) and DIR/temporalROI.txt (omitted when empty).
struct TinySequence {
  int W = 8;
  int H = 6;
  int first = 1;
  int last = 6;
  std::string temporalRoi = "3 6";
  bool withRoi = true;
  int roiW = -1;  // ROI image size; -1 means the frame size
  int roiH = -1;
};
// Returns the sequence name to pass to sc-vardo (DIR/input/in).
std::string makeTinySequence(const std::string& dir, const TinySequence& tiny);

std::string exePath();         // sc-vardo
std::string makeSamplePath();  // make-sample

}  // namespace testsupport
