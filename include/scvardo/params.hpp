// The method's parameters: one struct, shared by the library, the tools and
// the Python module.
#pragma once

namespace scvardo {

// Named as the sc-vardo switches.
struct Params {
  int n = 3;              // -n: side of the block of weight vectors per pixel (3, 5, 7, 9)
  int Cw = 5;             // -Cw: 5 selects the 5x5 coherence vote, anything else 3x3
  int shadowRemoval = 1;  // -s: nonzero labels darker versions of the background as shadow
  int medianWidth = 0;    // -Med: median filter width for the returned mask (0 off, odd)
  float e1 = 0.1f;        // -e1: squared cone distance threshold while calibrating
  float e2 = 0.008f;      // -e2: the same while detecting
  float c1 = 1.0f;        // -c1: learning-rate constant at the start of calibration
  float c2 = 0.05f;       // -c2: learning-rate constant at its end and afterwards
  float gamma = 0.7f;     // -g: shadow test, lower bound of the value ratio
  float beta = 1.0f;      // -b: shadow test, upper bound of the value ratio
  float tau_S = 0.1f;     // -tS: shadow test, saturation tolerance
  float tau_H = 10.0f;    // -tH: shadow test, hue tolerance in degrees
  // --adaptive: nonzero follows each pixel's background with its own
  // detection threshold (in place of e2) and absorbs foreground that stays
  // still; 0 is the defined method.
  int adaptive = 0;
  int absorbSpan = 200;         // --absorb-span: frames within which still foreground fades
  float thresholdLow = 0.004f;  // --threshold-low, --threshold-high: bounds of the
  float thresholdHigh = 0.06f;  //   per-pixel thresholds
  float distanceGain = 1.0f;    // --distance-gain: least threshold per mean nearest distance
  float flickerTrain = 0.3f;    // --flicker-train: spurious rate above which cleared
                                //   foreground is trained
  // Calibration frames, counting the initialising frame: the first K frames
  // only train the model. 0 classifies from the first frame on. The default
  // suits a stream at 25-30 frames per second with a mostly empty first
  // two seconds; a benchmark sequence uses its own (highway: 469).
  int K = 50;
  // Worker threads for the passes: 0 all hardware threads, at most
  // kMaxThreads. Never changes a result.
  int threads = 0;
};

constexpr int kMaxThreads = 256;

}  // namespace scvardo
