#include "adapt/adapt.h"

#include <algorithm>
#include <cstdlib>

#include "core/workers.h"

namespace {

// Prototype knobs, read once.
float knob(const char* name, float fallback) {
  const char* v = std::getenv(name);
  return v ? static_cast<float>(std::atof(v)) : fallback;
}
struct Knobs {
  float flickerRate = knob("SCV_AF", 1.0f / 16);
  float distanceRate = knob("SCV_AD", 1.0f / 32);
  float distanceCap = knob("SCV_DCAP", 0.2f);
  int distanceOnForeground = static_cast<int>(knob("SCV_DFG", 0));
  int shortRun = static_cast<int>(knob("SCV_SHORT", 2));
  int eventMode = static_cast<int>(knob("SCV_EVENT", 1));
  int tMode = static_cast<int>(knob("SCV_TMODE", 0));
  float up = knob("SCV_UP", 0.05f);
  float down = knob("SCV_DOWN", 0.005f);
};
const Knobs& knobs() {
  static const Knobs k;
  return k;
}

float squaredChange(const FloatPlanes& a, const FloatPlanes& b, std::size_t p) {
  const float dx = a[0][p] - b[0][p], dy = a[1][p] - b[1][p], dv = a[2][p] - b[2][p];
  const float sxy = dx * dx + dy * dy;
  return sxy + dv * dv;
}

// Follows one pixel's dynamics given its final label this frame.
void follow(const scvardo::Params& prm, AdaptiveState& s, std::size_t p, std::uint8_t label) {
  const Knobs& k = knobs();
  const bool fg = label == 255;
  const bool was = s.foreground[p] != 0;
  float blink;
  if (k.eventMode == 0) {
    blink = fg != was ? 1.0f : 0.0f;
  } else {
    // Foreground that the neighbourhood vote cleared, or that lasted only a
    // frame or two: what a restless background gives, not a passing object.
    const bool spurious = label == 170 || (!fg && was && s.run[p] <= k.shortRun);
    blink = spurious ? 1.0f : 0.0f;
  }
  s.run[p] = fg ? static_cast<std::uint8_t>(s.run[p] + (s.run[p] < 255 ? 1 : 0)) : 0;
  s.flicker[p] += k.flickerRate * (blink - s.flicker[p]);
  if ((!fg && label != 85) || k.distanceOnForeground) {
    const float d = std::min(s.nearest[p], k.distanceCap);
    s.distance[p] += k.distanceRate * (d - s.distance[p]);
  }
  if (k.tMode == 0) {
    const float raised = prm.distanceGain * s.distance[p] * (1.0f + prm.flickerGain * s.flicker[p]);
    s.threshold[p] = std::min(std::max(raised, prm.thresholdLow), prm.thresholdHigh);
  } else {
    float t = s.threshold[p] * (blink > 0.0f ? 1.0f + k.up : 1.0f - k.down);
    const float floor = std::max(prm.distanceGain * s.distance[p], prm.thresholdLow);
    s.threshold[p] = std::min(std::max(t, floor), prm.thresholdHigh);
  }
  s.foreground[p] = fg ? 1 : 0;
}

template <typename Fn>
void forRoiPixels(const PassContext& ctx, const Fn& fn) {
  const int W = ctx.g.W;
  forRowBands(ctx.pool, ctx.roi.firstRoiRow, ctx.g.H, [&](int r0, int r1) {
    for (std::size_t p = static_cast<std::size_t>(r0) * W; p < static_cast<std::size_t>(r1) * W; ++p)
      if (ctx.roi.bytes[p] != 0) fn(p);
  });
}

void remember(const FloatPlanes& frame, AdaptiveState& s, std::size_t p) {
  for (int k = 0; k < 3; ++k) s.previous[k][p] = frame[k][p];
}

}  // namespace

AdaptiveState::AdaptiveState(std::size_t pixels)
    : threshold(pixels, 0.0f),
      distance(pixels, 0.0f),
      flicker(pixels, 0.0f),
      run(pixels, 0),
      still(pixels, 0),
      foreground(pixels, 0),
      previous(3, pixels),
      nearest(pixels, 0.0f),
      absorb(pixels, 0) {}

PixelAdaptation AdaptiveState::forCalibration() { return PixelAdaptation{nullptr, nearest.data(), nullptr}; }
PixelAdaptation AdaptiveState::forDetection() { return PixelAdaptation{threshold.data(), nearest.data(), nullptr}; }
PixelAdaptation AdaptiveState::forUpdate() { return PixelAdaptation{nullptr, nullptr, absorb.data()}; }

void adaptInitialise(const PassContext& ctx, const FloatPlanes& frame, AdaptiveState& s) {
  const scvardo::Params& prm = ctx.params;
  forRoiPixels(ctx, [&](std::size_t p) {
    s.threshold[p] = prm.e2;
    s.distance[p] = prm.e2 / prm.distanceGain;
    remember(frame, s, p);
  });
}

void adaptCalibrate(const PassContext& ctx, const FloatPlanes& frame, AdaptiveState& s) {
  forRoiPixels(ctx, [&](std::size_t p) {
    follow(ctx.params, s, p, s.nearest[p] > s.threshold[p] ? 255 : 0);
    remember(frame, s, p);
  });
}

void adaptDetect(const PassContext& ctx, const FloatPlanes& frame, const LabelMask& labels,
                 AdaptiveState& s) {
  const scvardo::Params& prm = ctx.params;
  forRoiPixels(ctx, [&](std::size_t p) {
    const bool fg = labels[p] == 255;
    const bool unchanged = squaredChange(frame, s.previous, p) <= s.threshold[p];
    s.still[p] = fg && unchanged ? s.still[p] + (s.still[p] < prm.absorbSpan ? 1 : 0) : 0;
    s.absorb[p] = s.still[p] >= prm.absorbSpan ? 1 : 0;
    follow(prm, s, p, labels[p]);
    remember(frame, s, p);
  });
}
