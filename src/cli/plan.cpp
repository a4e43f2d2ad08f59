#include "cli/plan.h"

#include <cstdio>
#include <string>

std::string frameFileName(const std::string& prefix, int f) {
  char number[32];
  std::snprintf(number, sizeof number, "%.6d", f);
  return prefix + number + ".jpg";
}

std::string framePlanProblem(const FrameRange& r, const std::string& temporalRoiFile) {
  char line[512];
  if (!temporalRoiFile.empty() && r.fromIdx > r.toIdx) {
    std::snprintf(line, sizeof line, "Temporal ROI [%d,%d] in %s is reversed: no mask would be written",
                  r.fromIdx, r.toIdx, temporalRoiFile.c_str());
  } else if (!temporalRoiFile.empty() && r.toIdx < r.firstFrame) {
    std::snprintf(line, sizeof line,
                  "Temporal ROI [%d,%d] in %s ends before the first frame %d: no mask would be written",
                  r.fromIdx, r.toIdx, temporalRoiFile.c_str(), r.firstFrame);
  } else if (r.lastFrame < r.firstFrame) {
    std::snprintf(line, sizeof line, "No frame to process: the last frame %d comes before the first %d",
                  r.lastFrame, r.firstFrame);
  } else if (static_cast<long long>(r.firstFrame) + r.K > r.lastFrame) {
    std::snprintf(line, sizeof line,
                  "Calibration on %d frames from frame %d reaches past the last frame %d: no mask "
                  "would be written",
                  r.K, r.firstFrame, r.lastFrame);
  } else {
    return "";
  }
  return line;
}
