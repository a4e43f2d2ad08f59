// The adaptive mode's per-pixel step (kernels.h AdaptJob), written once and
// compiled for every path by Highway's foreach_target: a lane per pixel,
// the bytes of the state widened to 32 bits, every choice a select, and
// the float operations of adapt.cpp in its order (no fused multiply-add),
// so each lane gives the reference's bits. The last pixels of a stretch go
// through the same code from copies padded to a whole vector.
#include "schedule/hwy_config.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "schedule/adapt_pixels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "adapt/adapt.h"
#include "schedule/kernels.h"

HWY_BEFORE_NAMESPACE();
namespace scv {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

template <bool kCalibrate, class D>
HWY_INLINE void stepAt(D d, const AdaptJob& j, std::size_t p) {
  using namespace adapt;
  using V = hn::Vec<D>;
  const hn::RebindToSigned<D> di;
  using VI = hn::Vec<decltype(di)>;
  const hn::Rebind<std::uint8_t, D> d8;
  auto bytes = [&](const std::uint8_t* at) { return hn::PromoteTo(di, hn::LoadU(d8, at)); };
  auto storeBytes = [&](VI v, std::uint8_t* at) { hn::StoreU(hn::DemoteTo(d8, v), d8, at); };
  const VI zero = hn::Zero(di), one = hn::Set(di, 1);

  const auto in = hn::Ne(bytes(j.roi + p), zero);
  const V nearest = hn::LoadU(d, j.nearest + p), threshold = hn::LoadU(d, j.threshold + p);
  const VI label = kCalibrate ? hn::IfThenElseZero(hn::RebindMask(di, hn::Gt(nearest, threshold)), hn::Set(di, 255))
                              : bytes(j.labels + p);
  const auto fg = hn::Eq(label, hn::Set(di, 255)), cleared = hn::Eq(label, hn::Set(di, 170));

  VI n = zero;
  if (!kCalibrate) {
    // Stillness, measured from the colour the pixel had when it last moved.
    V change[3];
    for (int k = 0; k < 3; ++k) change[k] = hn::Sub(hn::LoadU(d, j.frame[k] + p), hn::LoadU(d, j.still[k] + p));
    const V sxy = hn::Add(hn::Mul(change[0], change[0]), hn::Mul(change[1], change[1]));
    const V squared = hn::Add(sxy, hn::Mul(change[2], change[2]));
    const auto stays = hn::And(fg, hn::RebindMask(di, hn::Le(squared, hn::Mul(hn::Set(d, kStillTolerance), threshold))));
    const VI was = hn::LoadU(di, j.stillFrames + p), start = hn::Set(di, j.start);
    n = hn::IfThenElseZero(stays, hn::Add(was, hn::IfThenElseZero(hn::Lt(was, start), one)));
    hn::StoreU(hn::IfThenElse(in, n, was), di, j.stillFrames + p);
    const auto moved = hn::RebindMask(d, hn::AndNot(stays, in));
    for (int k = 0; k < 3; ++k)
      hn::StoreU(hn::IfThenElse(moved, hn::LoadU(d, j.frame[k] + p), hn::LoadU(d, j.still[k] + p)), d, j.still[k] + p);
  }

  // follow(): the run of foreground, the spurious rate, the nearest distance
  // and the next threshold.
  const VI run = bytes(j.run + p), before = bytes(j.foreground + p);
  const auto spurious =
      hn::Or(cleared, hn::AndNot(fg, hn::And(hn::Ne(before, zero), hn::Lt(run, hn::Set(di, kShortRun + 1)))));
  const VI nextRun = hn::IfThenElseZero(fg, hn::Add(run, hn::IfThenElseZero(hn::Lt(run, hn::Set(di, 255)), one)));
  storeBytes(hn::IfThenElse(in, nextRun, run), j.run + p);
  storeBytes(hn::IfThenElse(in, hn::IfThenElseZero(fg, one), before), j.foreground + p);
  const auto spuriousF = hn::RebindMask(d, spurious), inF = hn::RebindMask(d, in);
  const V flicker = hn::LoadU(d, j.flicker + p);
  const V rate = hn::IfThenElseZero(spuriousF, hn::Set(d, 1.0f));
  const V nextFlicker = hn::Add(flicker, hn::Mul(hn::Set(d, kFlickerRate), hn::Sub(rate, flicker)));
  hn::StoreU(hn::IfThenElse(inF, nextFlicker, flicker), d, j.flicker + p);
  const V cap = hn::Set(d, kDistanceCap);
  const V near = hn::IfThenElse(hn::Lt(nearest, cap), nearest, cap);
  const V distance = hn::LoadU(d, j.distance + p);
  const V moved = hn::Add(distance, hn::Mul(hn::Set(d, kDistanceRate), hn::Sub(near, distance)));
  const auto background = hn::RebindMask(d, hn::Or(hn::Eq(label, zero), cleared));
  const V nextDistance = hn::IfThenElse(background, moved, distance);
  hn::StoreU(hn::IfThenElse(inF, nextDistance, distance), d, j.distance + p);
  const V t = hn::Mul(threshold, hn::IfThenElse(spuriousF, hn::Set(d, 1.0f + kThresholdRise),
                                                hn::Set(d, 1.0f - kThresholdFall)));
  const V gained = hn::Mul(hn::Set(d, j.distanceGain), nextDistance);
  const V low = hn::Set(d, j.thresholdLow), high = hn::Set(d, j.thresholdHigh);
  const V floor = hn::IfThenElse(hn::Lt(gained, low), low, gained);
  const V raised = hn::IfThenElse(hn::Lt(t, floor), floor, t);
  const V nextThreshold = hn::IfThenElse(hn::Lt(high, raised), high, raised);
  hn::StoreU(hn::IfThenElse(inF, nextThreshold, threshold), d, j.threshold + p);

  if (!kCalibrate) {
    const auto maybe = hn::And(cleared, hn::RebindMask(di, hn::Gt(nextFlicker, hn::Set(d, j.flickerTrain))));
    const VI absorb = hn::IfThenElse(hn::Gt(n, hn::Set(di, j.start - 1)), hn::Set(di, kAbsorbStill),
                                     hn::IfThenElseZero(maybe, hn::Set(di, kMaybeCleared)));
    storeBytes(hn::IfThenElse(in, absorb, bytes(j.absorb + p)), j.absorb + p);
  }
}

// The last pixels, from copies padded to a whole vector (outside the ROI).
template <bool kCalibrate, class D>
void stepTail(D d, const AdaptJob& j, std::size_t p, std::size_t count) {
  constexpr std::size_t kMax = 64;
  alignas(64) std::uint8_t roi[kMax] = {}, labels[kMax] = {}, run[kMax] = {}, foreground[kMax] = {}, absorb[kMax] = {};
  alignas(64) float frame[3][kMax] = {}, still[3][kMax] = {}, flicker[kMax] = {}, distance[kMax] = {},
                    threshold[kMax] = {}, nearest[kMax] = {};
  alignas(64) std::int32_t stillFrames[kMax] = {};
  auto copy = [count](auto* to, const auto* from) {
    if (from != nullptr) std::memcpy(to, from, count * sizeof *to);
  };
  AdaptJob t = j;
  copy(roi, j.roi + p);
  t.roi = roi;
  if (!kCalibrate) copy(labels, j.labels + p), t.labels = labels;
  for (int k = 0; k < 3; ++k) {
    if (kCalibrate) break;
    copy(frame[k], j.frame[k] + p), t.frame[k] = frame[k];
    copy(still[k], j.still[k] + p), t.still[k] = still[k];
  }
  if (!kCalibrate) copy(stillFrames, j.stillFrames + p), t.stillFrames = stillFrames;
  if (!kCalibrate) copy(absorb, j.absorb + p), t.absorb = absorb;
  copy(run, j.run + p), t.run = run;
  copy(foreground, j.foreground + p), t.foreground = foreground;
  copy(flicker, j.flicker + p), t.flicker = flicker;
  copy(distance, j.distance + p), t.distance = distance;
  copy(threshold, j.threshold + p), t.threshold = threshold;
  copy(nearest, j.nearest + p), t.nearest = nearest;
  stepAt<kCalibrate>(d, t, 0);
  auto back = [count](auto* to, const auto* from) { std::memcpy(to, from, count * sizeof *to); };
  for (int k = 0; k < 3 && !kCalibrate; ++k) back(j.still[k] + p, still[k]);
  if (!kCalibrate) back(j.stillFrames + p, stillFrames), back(j.absorb + p, absorb);
  back(j.run + p, run);
  back(j.foreground + p, foreground);
  back(j.flicker + p, flicker);
  back(j.distance + p, distance);
  back(j.threshold + p, threshold);
}

void adaptPixels(const AdaptJob& job) {
  const hn::ScalableTag<float> d;
  const std::size_t L = hn::Lanes(d);
  std::size_t p = job.begin;
  if (job.labels == nullptr) {
    for (; p + L <= job.end; p += L) stepAt<true>(d, job, p);
    if (p < job.end) stepTail<true>(d, job, p, job.end - p);
  } else {
    for (; p + L <= job.end; p += L) stepAt<false>(d, job, p);
    if (p < job.end) stepTail<false>(d, job, p, job.end - p);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace scv
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace scv {

using AdaptFn = void (*)(const AdaptJob&);

AdaptFn adaptPixelsFor(Isa isa) {
#define SCVARDO_CASE(I, NS) \
  if (isa == I) return &NS::adaptPixels;
  SCVARDO_EACH_PATH(SCVARDO_CASE)
#undef SCVARDO_CASE
  return &N_EMU128::adaptPixels;
}

}  // namespace scv
#endif
