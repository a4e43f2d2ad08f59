// The run's frame plan: the sequence's paths, the frame range with the
// temporal region of interest (read by core/temporal_roi.h), and the check
// that a plan writes a mask at all.
#pragma once

#include <string>

#include "core/temporal_roi.h"

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

// "" when the frame range writes at least one mask, else one line saying
// why not. temporalRoiFile: the file fromIdx and toIdx came from, or "".
std::string framePlanProblem(const FrameRange& range, const std::string& temporalRoiFile);
