// The adaptive mode's per-pixel steps.
//
// Thresholds: a pixel whose foreground is spurious (cleared by the
// neighbourhood vote, or gone again after a frame or two: what a restless
// background gives, not a passing object) raises its threshold by
// kThresholdRise; every other frame lowers it by kThresholdFall, so it
// settles where about one frame in eleven is spurious. Small steps keep it
// from chasing single events (a car's passing edge, a gust). It stays within
// [thresholdLow, thresholdHigh] and above distanceGain times the running
// mean of the pixel's nearest distance while background, which keeps it
// clear of the pixel's noise.
//
// Absorption: a foreground pixel whose colour stays within half its
// threshold of the colour it had when it turned still counts still frames
// (half: a person who waits moves less than the detection notices, but more
// than this); from half the absorption span on, the update trains it
// (ctx.adapt.absorb) at a rate that brings its winner within reach in a
// quarter of the span, so it fades into the background by the end of the
// span. A person who stands shifts and breathes: the colour drifts from
// where it started and the count begins again. Foreground cleared by the
// vote is trained as well where the pixel's spurious rate is above
// flickerTrain and no foreground is left around it: the restless background
// learns the colours it shows now and then, the rim of a person who waits
// is not taught to the model.
#include "adapt/adapt.h"

#include <algorithm>
#include <cmath>

#include "core/workers.h"

namespace {

using namespace adapt;

float squaredChange(const FloatPlanes& a, const FloatPlanes& b, std::size_t p) {
  const float dx = a[0][p] - b[0][p], dy = a[1][p] - b[1][p], dv = a[2][p] - b[2][p];
  const float sxy = dx * dx + dy * dy;
  return sxy + dv * dv;
}

// Follows one pixel's dynamics given its final label this frame (0, 85,
// 170 or 255). (src/schedule takes the same steps in vectors.)
void follow(const scvardo::Params& prm, AdaptiveState& s, std::size_t p, std::uint8_t label) {
  const bool fg = label == 255;
  const bool spurious = label == 170 || (!fg && s.foreground[p] != 0 && s.run[p] <= kShortRun);
  s.run[p] = fg ? static_cast<std::uint8_t>(s.run[p] + (s.run[p] < 255 ? 1 : 0)) : 0;
  s.foreground[p] = fg ? 1 : 0;
  s.flicker[p] += kFlickerRate * ((spurious ? 1.0f : 0.0f) - s.flicker[p]);
  if (label == 0 || label == 170) {
    const float d = std::min(s.nearest[p], kDistanceCap);
    s.distance[p] += kDistanceRate * (d - s.distance[p]);
  }
  const float t = s.threshold[p] * (spurious ? 1.0f + kThresholdRise : 1.0f - kThresholdFall);
  const float floor = std::max(prm.distanceGain * s.distance[p], prm.thresholdLow);
  s.threshold[p] = std::min(std::max(t, floor), prm.thresholdHigh);
}

template <typename Fn>
void forRoiPixels(const PassContext& ctx, const Fn& fn) {
  const int W = ctx.g.W;
  forRowBands(ctx.pool, ctx.roi.firstRoiRow, ctx.g.H, [&](int r0, int r1, int) {
    for (std::size_t p = static_cast<std::size_t>(r0) * W; p < static_cast<std::size_t>(r1) * W; ++p)
      if (ctx.roi.bytes[p] != 0) fn(p);
  });
}

// Whether a pixel of p's 3x3 window is foreground (255).
bool foregroundAround(const PassContext& ctx, const LabelMask& labels, std::size_t p) {
  const int W = ctx.g.W, H = ctx.g.H;
  const int r = static_cast<int>(p / W), c = static_cast<int>(p % W);
  for (int y = std::max(r - 1, 0); y <= std::min(r + 1, H - 1); ++y)
    for (int x = std::max(c - 1, 0); x <= std::min(c + 1, W - 1); ++x)
      if (labels[static_cast<std::size_t>(y) * W + x] == 255) return true;
  return false;
}

void remember(const FloatPlanes& frame, AdaptiveState& s, std::size_t p) {
  for (int k = 0; k < 3; ++k) s.still[k][p] = frame[k][p];
}

}  // namespace

AdaptiveState::AdaptiveState(std::size_t pixels)
    : threshold(pixels, 0.0f),
      distance(pixels, 0.0f),
      flicker(pixels, 0.0f),
      run(pixels, 0),
      foreground(pixels, 0),
      stillFrames(pixels, 0),
      still(3, pixels),
      nearest(pixels, 0.0f),
      absorb(pixels, 0) {}

std::vector<AdaptiveState::Array> AdaptiveState::arrays() {
  return {{"adapt_threshold", threshold.data(), Kind::Float},  {"adapt_distance", distance.data(), Kind::Float},
          {"adapt_flicker", flicker.data(), Kind::Float},      {"adapt_run", run.data(), Kind::Byte},
          {"adapt_foreground", foreground.data(), Kind::Byte}, {"adapt_still_frames", stillFrames.data(), Kind::Int32},
          {"adapt_still_x", still[0], Kind::Float},           {"adapt_still_y", still[1], Kind::Float},
          {"adapt_still_v", still[2], Kind::Float}};
}

PixelAdaptation AdaptiveState::forCalibration() { return PixelAdaptation{nullptr, nearest.data(), nullptr}; }
PixelAdaptation AdaptiveState::forDetection() { return PixelAdaptation{threshold.data(), nearest.data(), nullptr}; }
PixelAdaptation AdaptiveState::forUpdate(const float* absorbRates) {
  return PixelAdaptation{nullptr, nullptr, absorb.data(), absorbRates};
}
PixelAdaptation AdaptiveState::forOnline(const float* absorbRates) {
  return PixelAdaptation{threshold.data(), nearest.data(), absorb.data(), absorbRates};
}

float absorptionRate(int absorbSpan) {
  // The squared distance of the winner shrinks by (1 - a)^2 a frame: from 1
  // to below 0.004 in a quarter of the span is a = 1 - exp(-4 ln(250) / 2 / span).
  return static_cast<float>(1.0 - std::exp(-2.0 * std::log(250.0) / std::max(absorbSpan, 1)));
}

void adaptInitialise(const PassContext& ctx, const FloatPlanes& frame, AdaptiveState& s) {
  const scvardo::Params& prm = ctx.params;
  forRoiPixels(ctx, [&](std::size_t p) {
    s.threshold[p] = std::min(std::max(prm.e2, prm.thresholdLow), prm.thresholdHigh);
    remember(frame, s, p);
  });
}

void adaptCalibrate(const PassContext& ctx, const FloatPlanes& /*frame*/, AdaptiveState& s) {
  // What the detection would have called foreground.
  forRoiPixels(ctx, [&](std::size_t p) { follow(ctx.params, s, p, s.nearest[p] > s.threshold[p] ? 255 : 0); });
}

void adaptDetectRows(const PassContext& ctx, const FloatPlanes& frame, const LabelMask& labels,
                     AdaptiveState& s, int rBegin, int rEnd) {
  const scvardo::Params& prm = ctx.params;
  const int start = (prm.absorbSpan + 1) / 2;
  const std::size_t W = static_cast<std::size_t>(ctx.g.W);
  const std::size_t begin = static_cast<std::size_t>(std::max(rBegin, ctx.roi.firstRoiRow)) * W;
  const std::size_t end = static_cast<std::size_t>(rEnd) * W;
  for (std::size_t p = begin; p < end; ++p) {
    if (ctx.roi.bytes[p] == 0) continue;
    const std::uint8_t label = labels[p];
    const bool stays = label == 255 && squaredChange(frame, s.still, p) <= kStillTolerance * s.threshold[p];
    std::int32_t& n = s.stillFrames[p];
    n = stays ? n + (n < start ? 1 : 0) : 0;
    if (!stays) remember(frame, s, p);
    follow(prm, s, p, label);
    const bool maybe = label == 170 && s.flicker[p] > prm.flickerTrain;
    s.absorb[p] = n >= start ? kAbsorbStill : maybe ? kMaybeCleared : 0;
  }
  // Cleared pixels to train if no foreground is around them: rare, so
  // looked at after the rows.
  settleCleared(ctx, labels, s, begin, end);
}

void settleCleared(const PassContext& ctx, const LabelMask& labels, AdaptiveState& s, std::size_t begin,
                   std::size_t end) {
  std::uint8_t* absorb = s.absorb.data();
  for (std::size_t p = begin; p < end; ++p)
    if (absorb[p] == kMaybeCleared) absorb[p] = foregroundAround(ctx, labels, p) ? 0 : kAbsorbCleared;
}

void adaptDetect(const PassContext& ctx, const FloatPlanes& frame, const LabelMask& labels,
                 AdaptiveState& s) {
  forRowBands(ctx.pool, ctx.roi.firstRoiRow, ctx.g.H,
              [&](int r0, int r1, int) { adaptDetectRows(ctx, frame, labels, s, r0, r1); });
}
