// The conversion of a row of 8-bit BGR pixels to cone coordinates
// (kernels.h ConvertRow), written once and compiled for every path by
// Highway's foreach_target: a lane per pixel, giving rgbToHsv and hsvToCone's
// bits without a memo.
//
// Where the reference rounds a double expression of floats to float once,
// the float operation gives the same bits for the sums, products and
// quotients here (a double carries more than twice a float's digits, so its
// rounding never changes the float's); the hue quotient and the cone
// products stay in double as the reference has them. Only the cosine and
// sine differ from libm's, by a few ulps, so a coordinate is taken from the
// lanes only when every double within 2^12 ulps of it rounds to the same
// float; the rare other pixels are converted by the reference itself.
// tests/exact checks every one of the 2^24 colours on every path.
#include "schedule/hwy_config.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "schedule/convert.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cassert>
#include <cstddef>
#include <cstdint>

#include "colour/colour.h"
#include "core/workers.h"
#include "schedule/kernels.h"
#include "schedule/schedule.h"

#ifndef SCVARDO_CONVERT_ONCE
#define SCVARDO_CONVERT_ONCE
namespace scv {

// One pixel, by the reference.
inline void convertPixel(const ConvertRow& j, int c) {
  if (j.roi[c] == 0) return;
  const std::uint8_t* s = j.bgr + 3 * static_cast<std::size_t>(c);
  float H, S, V;
  rgbToHsv(s[2], s[1], s[0], H, S, V);
  const ConeColor cc = hsvToCone(H, S, V);
  j.x[c] = cc.x;
  j.y[c] = cc.y;
  j.v[c] = cc.v;
}

}  // namespace scv
#endif  // SCVARDO_CONVERT_ONCE

HWY_BEFORE_NAMESPACE();
namespace scv {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The cone coordinate (trig * S) * V of half a vector's pixels, in double.
// Rounding it to float drops 29 bits; where those lie within 2^12 of their
// halfway point, a trig value a few ulps away could round the other way,
// and the pixel is marked unsure.
template <class DD>
HWY_INLINE hn::Vec<DD> product(DD dd, hn::Vec<DD> trig, hn::Vec<DD> S, hn::Vec<DD> V,
                               hn::Mask<DD>& unsure) {
  const hn::RebindToSigned<DD> di;
  const auto p = hn::Mul(hn::Mul(trig, S), V);
  const auto dropped = hn::And(hn::BitCast(di, p), hn::Set(di, (std::int64_t{1} << 29) - 1));
  const auto nearHalf = hn::Sub(dropped, hn::Set(di, (std::int64_t{1} << 28) - (1 << 12)));
  const auto near = hn::And(hn::Gt(nearHalf, hn::Set(di, -1)), hn::Lt(nearHalf, hn::Set(di, 1 << 13)));
  unsure = hn::Or(unsure, hn::RebindMask(dd, near));
  return p;
}

// The cosine and sine of angles in [0, 2 pi], within a few ulps: the angle
// less the nearest multiple of pi/2 (in four parts, as Highway's own Sin
// and Cos reduce), then Taylor series to the 16th power, which on
// [-pi/4, pi/4] leave less than 2^-53 out.
template <class DD>
HWY_INLINE void cosSin(DD dd, hn::Vec<DD> a, hn::Vec<DD>& c, hn::Vec<DD>& s) {
  using V = hn::Vec<DD>;
  const V q = hn::Round(hn::Mul(a, hn::Set(dd, 0.63661977236758134308)));  // 2/pi
  V r = hn::MulAdd(q, hn::Set(dd, -0.5 * 3.1415926218032836914), a);
  r = hn::MulAdd(q, hn::Set(dd, -0.5 * 3.1786509424591713469e-8), r);
  r = hn::MulAdd(q, hn::Set(dd, -0.5 * 1.2246467864107188502e-16), r);
  r = hn::MulAdd(q, hn::Set(dd, -0.5 * 1.2736634327021899816e-24), r);
  const V r2 = hn::Mul(r, r);
  auto term = [&](V acc, double k) { return hn::MulAdd(acc, r2, hn::Set(dd, k)); };
  V sp = hn::Set(dd, -1.0 / 1307674368000.0);
  sp = term(sp, 1.0 / 6227020800.0);
  sp = term(sp, -1.0 / 39916800.0);
  sp = term(sp, 1.0 / 362880.0);
  sp = term(sp, -1.0 / 5040.0);
  sp = term(sp, 1.0 / 120.0);
  sp = term(sp, -1.0 / 6.0);
  const V sinR = hn::MulAdd(hn::Mul(r, r2), sp, r);
  V cp = hn::Set(dd, 1.0 / 20922789888000.0);
  cp = term(cp, -1.0 / 87178291200.0);
  cp = term(cp, 1.0 / 479001600.0);
  cp = term(cp, -1.0 / 3628800.0);
  cp = term(cp, 1.0 / 40320.0);
  cp = term(cp, -1.0 / 720.0);
  cp = term(cp, 1.0 / 24.0);
  cp = term(cp, -0.5);
  const V cosR = hn::MulAdd(r2, cp, hn::Set(dd, 1.0));
  // Quadrant q (0..4, 4 as 0): (cos, sin) = (c, s), (-s, c), (-c, -s),
  // (s, -c). Told by comparing q in double: AVX2 has no conversion of
  // doubles to 64-bit integers.
  auto between = [&](double lo, double hi) {
    return hn::And(hn::Gt(q, hn::Set(dd, lo)), hn::Lt(q, hn::Set(dd, hi)));
  };
  const V minus = hn::Set(dd, -0.0);
  const auto odd = hn::Or(hn::Eq(q, hn::Set(dd, 1.0)), hn::Eq(q, hn::Set(dd, 3.0)));
  c = hn::Xor(hn::IfThenElse(odd, sinR, cosR), hn::IfThenElseZero(between(0.5, 2.5), minus));
  s = hn::Xor(hn::IfThenElse(odd, cosR, sinR), hn::IfThenElseZero(between(1.5, 3.5), minus));
}

// Hue H, S and V of half a vector's pixels in double to their cone x and y.
template <class DD>
HWY_INLINE void cone(DD dd, hn::Vec<DD> H, hn::Vec<DD> S, hn::Vec<DD> V, hn::Vec<DD>& x,
                     hn::Vec<DD>& y, hn::Mask<DD>& unsure) {
  const auto a = hn::Mul(H, hn::Set(dd, static_cast<double>(kDegToRad)));
  hn::Vec<DD> c, s;
  cosSin(dd, a, c, s);
  x = product(dd, c, S, V, unsure);
  y = product(dd, s, S, V, unsure);
}

// The sector quotient's hue, 60 ((first - second) / delta + offset), in double.
template <class DD>
HWY_INLINE hn::Vec<DD> hue(DD dd, hn::Vec<DD> first, hn::Vec<DD> second, hn::Vec<DD> delta,
                           hn::Vec<DD> offset) {
  return hn::Mul(hn::Set(dd, 60.0), hn::Add(hn::Div(hn::Sub(first, second), delta), offset));
}

template <class D>
HWY_INLINE void convertAt(D d, const ConvertRow& j, int c) {
  using V = hn::Vec<D>;
  const hn::Rebind<std::uint8_t, D> d8;
  const hn::RebindToSigned<D> di;
  const hn::Repartition<double, D> dd;
  const hn::Half<D> dh;

  hn::Vec<decltype(d8)> b8, g8, r8;
  hn::LoadInterleaved3(d8, j.bgr + 3 * static_cast<std::size_t>(c), b8, g8, r8);
  const V inv255 = hn::Set(d, kInv255);
  auto channel = [&](hn::Vec<decltype(d8)> v) {
    return hn::Mul(hn::ConvertTo(d, hn::PromoteTo(di, v)), inv255);
  };
  const V r = channel(r8), g = channel(g8), b = channel(b8);
  const V M = hn::Max(r, hn::Max(g, b)), m = hn::Min(r, hn::Min(g, b));
  const V delta = hn::Sub(M, m);
  const V zero = hn::Zero(d);
  const auto grey = hn::Eq(delta, zero);  // black too: S and H are 0
  const V S = hn::IfThenZeroElse(grey, hn::Div(delta, M));

  // The sector: red largest, else green, else blue.
  const auto redTop = hn::Eq(r, M), greenTop = hn::AndNot(redTop, hn::Eq(g, M));
  const V first = hn::IfThenElse(redTop, g, hn::IfThenElse(greenTop, b, r));
  const V second = hn::IfThenElse(redTop, b, hn::IfThenElse(greenTop, r, g));
  const V offset =
      hn::IfThenElse(redTop, zero, hn::IfThenElse(greenTop, hn::Set(d, 2.0f), hn::Set(d, 4.0f)));
  // Grey pixels divide by a delta of 1 instead of 0 and take hue 0 after.
  const V divisor = hn::IfThenElse(grey, hn::Set(d, 1.0f), delta);
  auto wide = [&](V v, bool upper) {
    return upper ? hn::PromoteTo(dd, hn::UpperHalf(dh, v)) : hn::PromoteTo(dd, hn::LowerHalf(dh, v));
  };
  const auto hueLo = hue(dd, wide(first, false), wide(second, false), wide(divisor, false), wide(offset, false));
  const auto hueHi = hue(dd, wide(first, true), wide(second, true), wide(divisor, true), wide(offset, true));
  V H = hn::Combine(d, hn::DemoteTo(dh, hueHi), hn::DemoteTo(dh, hueLo));
  H = hn::IfThenElse(hn::Lt(H, zero), hn::Add(H, hn::Set(d, 360.0f)), H);
  H = hn::IfThenZeroElse(grey, H);

  auto unsure = hn::FirstN(dd, 0);
  hn::Vec<decltype(dd)> xLo, yLo, xHi, yHi;
  cone(dd, wide(H, false), wide(S, false), wide(M, false), xLo, yLo, unsure);
  cone(dd, wide(H, true), wide(S, true), wide(M, true), xHi, yHi, unsure);
  const V x = hn::Combine(d, hn::DemoteTo(dh, xHi), hn::DemoteTo(dh, xLo));
  const V y = hn::Combine(d, hn::DemoteTo(dh, yHi), hn::DemoteTo(dh, yLo));

  // Pixels outside the ROI keep what the planes hold.
  const auto in = hn::RebindMask(d, hn::Ne(hn::PromoteTo(di, hn::LoadU(d8, j.roi + c)), hn::Zero(di)));
  hn::StoreU(hn::IfThenElse(in, x, hn::LoadU(d, j.x + c)), d, j.x + c);
  hn::StoreU(hn::IfThenElse(in, y, hn::LoadU(d, j.y + c)), d, j.y + c);
  hn::StoreU(hn::IfThenElse(in, M, hn::LoadU(d, j.v + c)), d, j.v + c);

  if (!hn::AllFalse(dd, unsure)) {
    // Which half's lanes the mask covers cannot be told apart cheaply;
    // the few such vectors are converted again by the reference.
    const int L = static_cast<int>(hn::Lanes(d));
    for (int k = 0; k < L; ++k) convertPixel(j, c + k);
  }
}

void convertRow(const ConvertRow& j) {
  const hn::ScalableTag<float> d;
  const int L = static_cast<int>(hn::Lanes(d));
  int c = 0;
  for (; c + L <= j.count; c += L) convertAt(d, j, c);
  for (; c < j.count; ++c) convertPixel(j, c);
}

}  // namespace HWY_NAMESPACE
}  // namespace scv
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace scv {

using ConvertFn = void (*)(const ConvertRow&);

ConvertFn convertRowFor(Isa isa) {
#define SCVARDO_CASE(I, NS) \
  if (isa == I) return &NS::convertRow;
  SCVARDO_EACH_PATH(SCVARDO_CASE)
#undef SCVARDO_CASE
  return &N_EMU128::convertRow;
}

}  // namespace scv

namespace fast {

void convertFrame(const PassContext& ctx, Workspace& ws, const std::uint8_t* rows,
                  std::size_t stride, FloatPlanes& frame) {
  const RoiMask& roi = ctx.roi;
  const Isa isa = activeIsa();
  if (isa != Isa::Avx2 && isa != Isa::Avx512) {
    ::convertFrame(rows, roi.W, roi.H, stride, false, frame, roi, ctx.pool, &ws.memos());
    return;
  }
  const std::size_t W = static_cast<std::size_t>(roi.W);
  assert(frame.count() >= 3 && frame.size() >= W * roi.H && roi.bytes.size() >= W * roi.H);
  const auto convertRow = kernels().convertRow;
  forRowBands(ctx.pool, 0, roi.H, [&](int rBegin, int rEnd, int) {
    for (int r = rBegin; r < rEnd; ++r) {
      const std::size_t k = static_cast<std::size_t>(r) * W;
      ConvertRow row;
      row.bgr = rows + static_cast<std::size_t>(r) * stride;
      row.roi = roi.bytes.data() + k;
      row.count = roi.W;
      row.x = frame[0] + k;
      row.y = frame[1] + k;
      row.v = frame[2] + k;
      convertRow(row);
    }
  });
}

}  // namespace fast
#endif
