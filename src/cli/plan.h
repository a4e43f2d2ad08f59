// The run's frame plan: the sequence's paths, the frame range with the
// temporal region of interest, the temporal-ROI file's text, and the check
// that a plan writes a mask at all.
#pragma once

#include <cstddef>
#include <string>

struct SequencePaths {
  std::string seqDir;       // up to and including the last separator
  std::string seqBase;      // after the last separator; "L0" when empty
  std::string framePrefix;  // seqDir + seqBase
};

struct FrameRange {
  int firstFrame = 1;
  int lastFrame = 1;
  int K = 0;  // calibration frames, counted from firstFrame
  int fromIdx = 0;
  int toIdx = 0;
};

// The file of frame number f: prefix, the number with at least six digits, ".jpg".
std::string frameFileName(const std::string& prefix, int f);

// Two decimal integers (the temporal-ROI file's text); false when absent.
bool parseTemporalRoi(const std::string& text, int& fromIdx, int& toIdx);
// "" when the frame range writes at least one mask, else one line saying
// why not. temporalRoiFile: the file fromIdx and toIdx came from, or "".
std::string framePlanProblem(const FrameRange& range, const std::string& temporalRoiFile);
// The temporal-ROI file holds two numbers; anything longer is refused.
constexpr std::size_t kTemporalRoiMaxBytes = 4096;
