// The shadow fallback with a prefilter (kernels.h): weight vectors that
// plainly fail the shadow test are passed over without dividing where
// products tell and without trigonometry; every other vector takes the
// reference's test (shadowRatioPasses, shadowHueSaturationPass), in the
// reference's order, so the outcome is the same.
// - The value ratio: Vp < gamma (1 - 1e-6) v, or Vp > beta (1 + 1e-6) v,
//   puts the rounded quotient outside [gamma, beta] for certain.
// - The hue difference is the angle between the two (x, y) vectors to
//   within 1e-4 degrees (float roundings, the float constants of
//   coneToHsv): an angle whose cosine is below that of tau_H + 0.05 degrees
//   fails for certain.
// - The saturation coneToHsv gives is x / (cos(a) v), which is |(x, y)| / v
//   but for the float 2 pi added to negative angles (1.7e-7 off): that moves
//   cos(a) by up to 1.7e-7 |sin(a)|, a relative 1.7e-7 |y / x|, and the rest
//   is a few roundings (below 1e-6 relative). Estimated so for the pixel and
//   the vector, with those errors as slack, a gap of at least tau_S plus
//   both slacks fails for certain.
// Anything closer, zero or not finite takes the full test.
#include <cassert>
#include <cmath>
#include <cstdint>
#include <limits>

#include "colour/colour.h"
#include "model/model.h"
#include "schedule/kernels.h"

namespace {

constexpr double kHueMargin = 0.05;  // degrees

struct Plain {
  double x, y, lengthSq;
  explicit Plain(const ConeColor& c) : x(c.x), y(c.y), lengthSq(x * x + y * y) {}
  // The saturation estimate and its error bound (NaN or infinite when in doubt).
  double saturation(float v) const { return std::sqrt(lengthSq) / v; }
  double slack(double s) const { return std::fabs(s) * (1e-6 + 4e-7 * std::fabs(y / x)) + 1e-9; }
};

// The columns of the n cells from v on whose value ratio may pass, as bits
// 0..n-1 (n < 32), worked out without branches: which cells pass is not
// predictable.
std::uint32_t ratioCandidates(const float* v, int n, float Vp, float gamma, float beta) {
  const double vp = Vp, low = static_cast<double>(gamma) * (1.0 - 1e-6),
               high = static_cast<double>(beta) * (1.0 + 1e-6);
  const bool useLow = gamma > 0.0f, useHigh = beta >= 0.0f && std::isfinite(beta);
  std::uint32_t may = 0;
  for (int j = 0; j < n; ++j) {
    const double mv = v[j];
    const bool sure = (mv > 0.0) & (mv < std::numeric_limits<double>::infinity());
    const bool out = sure & ((useLow & (vp < low * mv)) | (useHigh & (vp > high * mv)));
    may |= static_cast<std::uint32_t>(!out) << j;
  }
  return may;
}

bool plainlyNoShadow(const Plain& p, float pv, const ConeColor& m, double tauS, double hueCos) {
  const Plain q(m);
  // dot < hueCos |p| |q|, squared with the signs kept apart.
  const double dot = p.x * q.x + p.y * q.y, lengthsSq = p.lengthSq * q.lengthSq;
  if (hueCos > -2.0 && lengthsSq > 0.0 && std::isfinite(lengthsSq) && std::isfinite(dot)) {
    const double limitSq = hueCos * hueCos * lengthsSq;
    if (hueCos >= 0.0 ? dot < 0.0 || dot * dot < limitSq : dot < 0.0 && dot * dot > limitSq)
      return true;
  }
  const double sp = p.saturation(pv), sm = q.saturation(m.v);
  const double slack = p.slack(sp) + q.slack(sm);
  return std::isfinite(slack) && std::fabs(sp - sm) >= tauS + slack;
}

}  // namespace

ShadowPrefilter::ShadowPrefilter(const scvardo::Params& params) : params_(params) {
  const double limit = static_cast<double>(params.tau_H) + kHueMargin;
  hueCos_ = limit < 180.0 ? std::cos(limit * 3.14159265358979323846 / 180.0) : -2.0;
}

bool ShadowPrefilter::match(const ConeColor& p, const FloatPlanes& model, int W, int r, int c,
                            int n, int& outRow, int& outCol) const {
  float Hp = 0.0f, Sp = 0.0f;
  bool pixelConverted = false;
  const Plain pe(p);
  const std::size_t modelW = static_cast<std::size_t>(n) * W;
  assert(n > 0 && n < 32);
  for (int i = r * n; i < r * n + n; ++i) {
    const std::size_t row = static_cast<std::size_t>(i) * modelW + static_cast<std::size_t>(c) * n;
    // The block row's columns left to try, in order.
    for (std::uint32_t columns = ratioCandidates(model[2] + row, n, p.v, params_.gamma, params_.beta);
         columns != 0; columns &= columns - 1) {
      const int j = c * n + __builtin_ctz(columns);
      const ConeColor m = coneAt(model, static_cast<std::size_t>(i) * modelW + j);
      if (!shadowRatioPasses(p.v, m.v, params_)) continue;
      if (plainlyNoShadow(pe, p.v, m, params_.tau_S, hueCos_)) continue;
      if (!pixelConverted) {
        float unusedV;
        coneToHsv(p, Hp, Sp, unusedV);
        pixelConverted = true;
      }
      if (!shadowHueSaturationPass(Hp, Sp, m, params_)) continue;
      outRow = i;
      outCol = j;
      return true;
    }
  }
  return false;
}
