// Run-wide state: set once by run setup, only read afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Method parameters, one field per switch (defaults are the switch defaults).
struct RunParams {
  int n = 3;
  int Cw = 5;
  int shadowRemoval = 1;
  int medianWidth = 0;
  int saveAllModels = 0;
  int lastMaskOnly = 0;
  int useRoi = 1;
  float e1 = 0.1f;
  float e2 = 0.008f;
  float c1 = 1.0f;
  float c2 = 0.05f;
  float gamma = 0.7f;
  float beta = 1.0f;
  float tau_S = 0.1f;
  float tau_H = 10.0f;
};

// Spatial region of interest: W*H bytes, row-major, nonzero where a pixel is
// processed. The passes start their row loops at firstRoiRow.
struct RoiMask {
  int W = 0;
  int H = 0;
  std::vector<std::uint8_t> bytes;
  int firstRoiRow = 0;

  // Every pixel processed (the ROI image is not used).
  static RoiMask all(int W, int H) {
    RoiMask m;
    m.W = W;
    m.H = H;
    m.bytes.assign(static_cast<std::size_t>(W) * H, 255);
    return m;
  }
  bool inside(std::size_t k) const { return bytes[k] != 0; }
};

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
