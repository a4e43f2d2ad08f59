// The adaptive mode's per-pixel state and the steps that follow it, once per
// frame after the passes: detection thresholds that rise where the
// background keeps changing and fall where it is steady, and absorption of
// foreground that has stopped moving.
//
// Every step works pixel by pixel on that pixel's own state, the frame, the
// final labels and the distances the search wrote, in float with a fixed
// order of operations: the result does not depend on the order of the
// pixels, so rows may be split between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/planes.h"
#include "core/types.h"

// The steps' constants (adapt.cpp says what they do).
namespace adapt {
constexpr float kThresholdRise = 0.02f;
constexpr float kThresholdFall = 0.002f;
constexpr float kStillTolerance = 0.5f;     // of the threshold
constexpr float kFlickerRate = 1.0f / 16;   // of the running spurious rate
constexpr float kDistanceRate = 1.0f / 32;  // of the running nearest distance
constexpr float kDistanceCap = 0.2f;        // one frame's say in it
constexpr int kShortRun = 2;                // frames of foreground that are spurious
// Left in `absorb` by a step for a cleared restless pixel, which
// settleCleared trains unless foreground is around it.
constexpr std::uint8_t kMaybeCleared = 0x80;
}  // namespace adapt

struct AdaptiveState {
  explicit AdaptiveState(std::size_t pixels);

  // Persistent, W*H each (adapt.cpp says how they move).
  std::vector<float> threshold;           // the next frame's detection threshold
  std::vector<float> distance;            // running mean of the nearest distance
  std::vector<float> flicker;             // running rate of spurious foreground
  std::vector<std::uint8_t> run;          // frames foreground in a row, up to 255
  std::vector<std::uint8_t> foreground;   // the last frame's final foreground
  std::vector<std::int32_t> stillFrames;  // frames foreground and still, up to half the span
  FloatPlanes still;                      // the colour it had when it turned still

  // One frame's scratch: written by the search, read by the steps; and the
  // pixels the update absorbs.
  std::vector<float> nearest;
  std::vector<std::uint8_t> absorb;

  // The persistent arrays, for saving and loading: W*H elements each.
  enum class Kind { Float, Byte, Int32 };
  struct Array {
    const char* name;
    void* data;
    Kind kind;
  };
  std::vector<Array> arrays();

  // What the passes read and write (core/types.h).
  PixelAdaptation forCalibration();
  PixelAdaptation forDetection();
  PixelAdaptation forUpdate(const float* absorbRates);
  // All of a detected and trained frame's at once (the banded online step).
  PixelAdaptation forOnline(const float* absorbRates);
};

// The rate at the winner of an absorbed pixel's window.
float absorptionRate(int absorbSpan);

// The first frame: every threshold e2 (within the bounds).
void adaptInitialise(const PassContext& ctx, const FloatPlanes& frame, AdaptiveState& s);
// After a calibration pass: the distances and flicker seed the thresholds.
void adaptCalibrate(const PassContext& ctx, const FloatPlanes& frame, AdaptiveState& s);
// After detection and spatial coherence, before the update: the pixels to
// absorb, and the next frame's thresholds.
void adaptDetect(const PassContext& ctx, const FloatPlanes& frame, const LabelMask& labels,
                 AdaptiveState& s);
// The same for rows [rBegin, rEnd) on the calling thread; the labels of the
// rows beside them must be final too.
void adaptDetectRows(const PassContext& ctx, const FloatPlanes& frame, const LabelMask& labels,
                     AdaptiveState& s, int rBegin, int rEnd);
// The pixels [begin, end) left kMaybeCleared: kAbsorbCleared, or 0 where a
// pixel of their 3x3 window is foreground.
void settleCleared(const PassContext& ctx, const LabelMask& labels, AdaptiveState& s, std::size_t begin,
                   std::size_t end);
