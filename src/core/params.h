// Run parameters and the run's fixed inputs: set once, only read afterwards.
#pragma once

#include <string>

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
  // The adaptive mode (nonzero: on): per-pixel thresholds that follow the
  // background's dynamics, and absorption of foreground that stays still.
  int adaptive = 0;
  int absorbSpan = 150;           // frames of stillness before foreground is absorbed
  float thresholdLow = 0.004f;    // bounds of the per-pixel thresholds
  float thresholdHigh = 0.06f;
  float distanceGain = 4.0f;      // threshold per unit of the mean nearest distance
  float flickerGain = 8.0f;       // threshold raise per unit of the flicker rate
};

// Block sides with a defined weight kernel.
bool isSupportedBlockSize(int n);
// Median widths the filter takes: 0 and 1 (no filtering) and odd 3..255.
// Beyond 255 OpenCV's 8-bit histogram median (16-bit bin counts) was seen to
// fail its own assertions.
bool medianWidthUsable(int medianWidth);
// Smallest frame width and height the coherence filter selected by Cw takes.
int minFrameSide(int Cw);

// "" when the model parameters are usable, else a one-line reason naming the
// parameter (n, medianWidth, a real that is not finite).
std::string paramsProblem(const RunParams& p);

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
