// What the banded schedules (calibration.cpp, online.cpp) share: the search
// of a row into winner codes, and the update job over the workspace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>

#include "adapt/adapt.h"
#include "core/planes.h"
#include "core/types.h"
#include "model/model.h"
#include "schedule/kernels.h"

namespace fast {

// The code of winner (wr, wc) in pixel (r, c)'s block.
inline std::uint8_t codeOf(int r, int c, int n, int wr, int wc) {
  return static_cast<std::uint8_t>((wr - r * n) * n + (wc - c * n));
}

// Calls fn(c) for each pixel c of the row code[0..W) that the search left
// without a winner, in order (fn may rewrite code[c]).
template <typename Fn>
void forEachUnmatched(std::uint8_t* code, int W, const Fn& fn) {
  for (std::uint8_t* at = code;
       (at = static_cast<std::uint8_t*>(std::memchr(at, kNoMatch, code + W - at))) != nullptr; ++at)
    fn(static_cast<int>(at - code));
}

// What a search records besides the winners, for the adaptive mode: each
// pixel's own threshold in place of the common one, its least distance, and
// the first cell attaining it; whole-frame arrays, any of them null.
struct SearchExtras {
  const float* thresholds = nullptr;
  float* distance = nullptr;
  std::uint8_t* nearest = nullptr;
};

// The winners of row r's pixels into code[0..W): each ROI pixel's winner
// code, kNoMatch where nothing is within `threshold` (the shadow fallback
// is the caller's), kOutside for pixels outside the ROI.
inline void searchRow(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& model,
                      int r, float threshold, std::uint8_t* code, const SearchExtras& extras = {}) {
  const int W = ctx.g.W, n = ctx.g.n;
  const std::size_t modelW = static_cast<std::size_t>(n) * W;
  const std::size_t row = static_cast<std::size_t>(r) * W;
  const std::size_t base = static_cast<std::size_t>(r) * n * modelW;
  SearchRow s;
  s.X = model[0] + base;
  s.Y = model[1] + base;
  s.V = model[2] + base;
  s.modelW = modelW;
  s.n = n;
  s.px = frame[0] + row;
  s.py = frame[1] + row;
  s.pv = frame[2] + row;
  s.count = W;
  s.threshold = threshold;
  s.code = code;
  if (extras.thresholds != nullptr) s.thresholds = extras.thresholds + row;
  if (extras.distance != nullptr) s.distance = extras.distance + row;
  if (extras.nearest != nullptr) s.nearest = extras.nearest + row;
  kernels().searchRow(s);
  const std::uint8_t* __restrict inRoi = ctx.roi.bytes.data() + row;
  std::uint8_t* __restrict out = code;  // distinct buffers: the loop runs in vectors
  for (int c = 0; c < W; ++c) out[c] = inRoi[c] != 0 ? out[c] : kOutside;
}

// The adaptive step of the ROI pixels of rows [rBegin, rEnd), on the calling
// thread: with `labels` as adaptDetectRows (the rows beside them final
// too), without as a calibration frame's part of adaptCalibrate.
inline void adaptRows(const PassContext& ctx, const FloatPlanes& frame, const LabelMask* labels,
                      AdaptiveState& s, int rBegin, int rEnd) {
  const std::size_t W = static_cast<std::size_t>(ctx.g.W);
  AdaptJob job;
  job.begin = static_cast<std::size_t>(std::max(rBegin, ctx.roi.firstRoiRow)) * W;
  job.end = static_cast<std::size_t>(rEnd) * W;
  if (job.begin >= job.end) return;
  job.roi = ctx.roi.bytes.data();
  job.labels = labels != nullptr ? labels->data() : nullptr;
  for (int k = 0; k < 3; ++k) {
    job.frame[k] = frame[k];
    job.still[k] = s.still[k];
  }
  job.stillFrames = s.stillFrames.data();
  job.run = s.run.data();
  job.foreground = s.foreground.data();
  job.absorb = s.absorb.data();
  job.flicker = s.flicker.data();
  job.distance = s.distance.data();
  job.threshold = s.threshold.data();
  job.nearest = s.nearest.data();
  job.start = (ctx.params.absorbSpan + 1) / 2;
  job.distanceGain = ctx.params.distanceGain;
  job.thresholdLow = ctx.params.thresholdLow;
  job.thresholdHigh = ctx.params.thresholdHigh;
  job.flickerTrain = ctx.params.flickerTrain;
  kernels().adaptPixels(job);
  if (labels != nullptr) settleCleared(ctx, *labels, s, job.begin, job.end);
}

inline UpdateJob updateJob(const PassContext& ctx, const std::uint8_t* code,
                           const std::uint8_t* admit, const AlphaTable& alpha,
                           const FloatPlanes& frame, const FloatPlanes& current, FloatPlanes& next) {
  UpdateJob job;
  job.H = ctx.g.H;
  job.W = ctx.g.W;
  job.n = ctx.g.n;
  job.code = code;
  job.admit = admit;
  job.alpha = alpha.cells.data();
  job.absorb = ctx.adapt.absorb;
  job.absorbAlpha = ctx.adapt.absorbRates;
  for (int k = 0; k < 3; ++k) {
    job.frame[k] = frame[k];
    job.in[k] = current[k];
    job.out[k] = next[k];
  }
  return job;
}

}  // namespace fast
