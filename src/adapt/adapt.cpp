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

// One pixel's state, as follow() reads and writes it.
struct Pixel {
  std::uint8_t run, foreground;
  float flicker, distance, threshold;
};

// The state after this frame's label (0, 85, 170 or 255), given the
// frame's nearest distance. (src/schedule takes the same steps in vectors.)
inline Pixel follow(const scvardo::Params& prm, const Pixel& s, std::uint8_t label, float nearest) {
  const bool fg = label == 255;
  const bool spurious = (label == 170) | (!fg & (s.foreground != 0) & (s.run <= kShortRun));
  Pixel f;
  f.run = fg ? static_cast<std::uint8_t>(s.run + (s.run < 255 ? 1 : 0)) : 0;
  f.foreground = fg ? 1 : 0;
  f.flicker = s.flicker + kFlickerRate * ((spurious ? 1.0f : 0.0f) - s.flicker);
  const float d = nearest < kDistanceCap ? nearest : kDistanceCap;
  const float moved = s.distance + kDistanceRate * (d - s.distance);
  f.distance = (label == 0) | (label == 170) ? moved : s.distance;
  const float t = s.threshold * (spurious ? 1.0f + kThresholdRise : 1.0f - kThresholdFall);
  const float gained = prm.distanceGain * f.distance;
  const float floor = gained < prm.thresholdLow ? prm.thresholdLow : gained;
  const float raised = t < floor ? floor : t;
  f.threshold = prm.thresholdHigh < raised ? prm.thresholdHigh : raised;
  return f;
}

// The state's per-pixel arrays as unaliased pointers, for those loops.
#define SCVARDO_STATE_POINTERS(s)                                                             \
  std::uint8_t* __restrict run = (s).run.data();                                              \
  std::uint8_t* __restrict foreground = (s).foreground.data();                                \
  float* __restrict flicker = (s).flicker.data();                                             \
  float* __restrict distance = (s).distance.data();                                           \
  float* __restrict threshold = (s).threshold.data();                                         \
  const float* __restrict nearest = (s).nearest.data()

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
  const std::size_t W = static_cast<std::size_t>(ctx.g.W);
  forRowBands(ctx.pool, ctx.roi.firstRoiRow, ctx.g.H, [&](int r0, int r1, int) {
    SCVARDO_STATE_POINTERS(s);
    const std::uint8_t* __restrict roi = ctx.roi.bytes.data();
    for (std::size_t p = r0 * W; p < r1 * W; ++p) {
      // What the detection would have called foreground.
      const std::uint8_t label = nearest[p] > threshold[p] ? 255 : 0;
      const Pixel f = follow(ctx.params, {run[p], foreground[p], flicker[p], distance[p], threshold[p]}, label,
                             nearest[p]);
      const bool in = roi[p] != 0;
      run[p] = in ? f.run : run[p];
      foreground[p] = in ? f.foreground : foreground[p];
      flicker[p] = in ? f.flicker : flicker[p];
      distance[p] = in ? f.distance : distance[p];
      threshold[p] = in ? f.threshold : threshold[p];
    }
  });
}

void adaptDetectRows(const PassContext& ctx, const FloatPlanes& frame, const LabelMask& labels,
                     AdaptiveState& s, int rBegin, int rEnd) {
  const scvardo::Params& prm = ctx.params;
  const std::int32_t start = (prm.absorbSpan + 1) / 2;
  const std::size_t W = static_cast<std::size_t>(ctx.g.W);
  const std::size_t begin = static_cast<std::size_t>(std::max(rBegin, ctx.roi.firstRoiRow)) * W;
  const std::size_t end = static_cast<std::size_t>(rEnd) * W;
  SCVARDO_STATE_POINTERS(s);
  const std::uint8_t* __restrict roi = ctx.roi.bytes.data();
  const std::uint8_t* __restrict label = labels.data();
  const float* __restrict fx = frame[0];
  const float* __restrict fy = frame[1];
  const float* __restrict fv = frame[2];
  float* __restrict sx = s.still[0];
  float* __restrict sy = s.still[1];
  float* __restrict sv = s.still[2];
  std::int32_t* __restrict stillFrames = s.stillFrames.data();
  std::uint8_t* __restrict absorb = s.absorb.data();
  for (std::size_t p = begin; p < end; ++p) {
    const bool in = roi[p] != 0;
    const float dx = fx[p] - sx[p], dy = fy[p] - sy[p], dv = fv[p] - sv[p];
    const float sxy = dx * dx + dy * dy;
    const bool stays = (label[p] == 255) & (sxy + dv * dv <= kStillTolerance * threshold[p]);
    const std::int32_t was = stillFrames[p];  // loaded whatever the branch: no branch
    const std::int32_t n = stays ? was + (was < start ? 1 : 0) : 0;
    stillFrames[p] = in ? n : was;
    // Stillness is measured from the colour it had when it last moved.
    const bool moved = in & !stays;
    sx[p] = moved ? fx[p] : sx[p];
    sy[p] = moved ? fy[p] : sy[p];
    sv[p] = moved ? fv[p] : sv[p];
    const Pixel f = follow(prm, {run[p], foreground[p], flicker[p], distance[p], threshold[p]}, label[p], nearest[p]);
    run[p] = in ? f.run : run[p];
    foreground[p] = in ? f.foreground : foreground[p];
    flicker[p] = in ? f.flicker : flicker[p];
    distance[p] = in ? f.distance : distance[p];
    threshold[p] = in ? f.threshold : threshold[p];
    const bool maybe = (label[p] == 170) & (f.flicker > prm.flickerTrain);
    const std::uint8_t absorbed = absorb[p];
    absorb[p] = !in ? absorbed : n >= start ? kAbsorbStill : maybe ? kMaybeCleared : 0;
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
