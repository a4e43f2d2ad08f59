// What the tests share: the common headers, child processes, scratch
// folders, files, generated sequences, and builders for planes and passes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "core/planes.h"
#include "core/types.h"

struct RunResult {
  int status = -1;  // exit status, -1 when the process did not exit normally
  std::string out, err;
};
// Runs `argv` (argv[0] a path) in `workDir`, standard input empty.
RunResult run(const std::vector<std::string>& argv, const std::string& workDir = ".");
inline RunResult runTool(std::vector<std::string> args, const std::string& workDir) {  // sc-vardo
  args.insert(args.begin(), SCVARDO_EXE);
  return run(args, workDir);
}
// Whether `body` succeeds in a child whose files may grow to `maxFileBytes`
// at most, its stderr going to `errPath`.
bool succeedsWithFileSizeLimit(long maxFileBytes, const std::string& errPath, const std::function<bool()>& body);

// A fresh folder, removed with everything in it.
struct ScratchDir {
  std::string path_;
  explicit ScratchDir(const std::string& tag = "t");
  ScratchDir(const ScratchDir&) = delete;
  ~ScratchDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
};
// The working folder until destroyed.
struct InDirectory {
  std::string previous;
  explicit InDirectory(const std::string& dir);
  ~InDirectory();
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
std::vector<std::string> listDir(const std::string& dir);  // sorted names
std::vector<std::string> outputNames(std::vector<int> masks, std::vector<int> models);  // sorted
// ../shared/data/<name> beside the repository, or "" when absent.
std::string sharedSequence(const std::string& name);
// The embedded sample (input/, groundtruth/, ROI.bmp, temporalROI.txt), made once.
const std::string& sampleSequenceDir();

// DIR/input/in%06d.jpg (a square moving a pixel per frame), DIR/ROI.bmp all 255
// (none if roiW is 0), DIR/temporalROI.txt (none if empty); returns DIR/input/in.
struct TinySequence {
  int W = 8, H = 6, first = 1, last = 6;
  std::string temporalRoi = "3 6";
  int roiW = -1;  // -1: the frame width
};
std::string makeTinySequence(const std::string& dir, const TinySequence& tiny = {});

void setCone(FloatPlanes& planes, std::size_t i, const ConeColor& c);
inline std::vector<float> asVector(const ConeColor& c) { return {c.x, c.y, c.v}; }
FloatPlanes filledPlanes(std::size_t len, const ConeColor& c);
long firstDifference(const FloatPlanes& a, const FloatPlanes& b);  // first index differing in bits, or -1

// Owns what a PassContext refers to.
struct PassSetup {
  scvardo::Params params;
  RoiMask roi;
  Geometry g;
  PassSetup(int W, int H, int n) : roi(RoiMask::all(W, H)), g{W, H, n} { params.n = n; }
  PassContext ctx() const { return PassContext{g, params, roi}; }
};
