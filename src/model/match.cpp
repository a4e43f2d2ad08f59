// Best-match search and shadow test.
//
// Distances are computed, stored and compared in single precision: each
// difference, square and partial sum is a float, summed left to right. The
// tie rules (first minimum in scan order kept, centre wins ties) rely on it.
#include <cassert>
#include <cmath>
#include <cstdint>
#include <limits>

#include "model/model.h"

float coneDistanceSq(const ConeColor& p, const ConeColor& m) {
  const float dx = m.x - p.x;
  const float dy = m.y - p.y;
  const float dv = m.v - p.v;
  const float sx = dx * dx;
  const float sy = dy * dy;
  const float sv = dv * dv;
  const float sxy = sx + sy;
  return sxy + sv;
}

MatchResult findBestMatch(const ConeColor& p, const FloatPlanes& model, int /*H*/, int W, int r,
                          int c, int& outRow, int& outCol, int n, float threshold,
                          const scvardo::Params& params, Nearest* nearest) {
  outRow = -1;
  outCol = -1;
  float minDist = 100.0f;
  bool found = false;
  Nearest closest;
  const std::size_t modelW = static_cast<std::size_t>(n > 0 ? n : 0) * W;
  for (int i = r * n; i < r * n + n; ++i) {
    for (int j = c * n; j < c * n + n; ++j) {
      const float d = coneDistanceSq(p, coneAt(model, static_cast<std::size_t>(i) * modelW + j));
      if (d < minDist) {
        minDist = d;
        closest = Nearest{d, i, j};
        if (d <= threshold) {
          found = true;
          outRow = i;
          outCol = j;
        }
      }
    }
  }
  if (nearest) *nearest = closest;
  if (found) {
    const int ci = r * n + n / 2;
    const int cj = c * n + n / 2;
    const float dc = coneDistanceSq(p, coneAt(model, static_cast<std::size_t>(ci) * modelW + cj));
    if (dc <= minDist) {
      outRow = ci;
      outCol = cj;
    }
    return Match;
  }
  if (params.shadowRemoval != 0 && findShadowMatch(p, model, W, r, c, n, outRow, outCol, params))
    return ShadowMatch;
  return NoMatch;
}

// The value ratio and the hue difference dH are stored as floats (they are
// named quantities of the method); |Sp - Sm| and 360 - dH stay in double inside
// their comparisons. Any comparison with a NaN fails.
//
// coneToHsv returns v unchanged as V, so the ratio test needs no
// trigonometry: hue and saturation are computed only for vectors that pass
// it, and the pixel's own only once one does. The outcome is the same as
// converting every vector first.
//
// The shortcut, Shortcut::Estimates, passes over vectors that plainly fail,
// without divisions where products tell and without trigonometry:
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
namespace {

constexpr double kHueMargin = 0.05;  // degrees

// The cosine of the widest hue difference that may pass: -2 when every one may.
double hueCosineLimit(float tauH) {
  static thread_local float cachedTau = -1.0f;
  static thread_local double cached = -2.0;
  if (tauH != cachedTau) {
    const double limit = static_cast<double>(tauH) + kHueMargin;
    cached = limit < 180.0 ? std::cos(limit * 3.14159265358979323846 / 180.0) : -2.0;
    cachedTau = tauH;
  }
  return cached;
}

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

bool findShadowMatch(const ConeColor& p, const FloatPlanes& model, int W, int r, int c, int n,
                     int& outRow, int& outCol, const scvardo::Params& params, Shortcut shortcut) {
  const float Vp = p.v;
  float Hp = 0.0f, Sp = 0.0f;
  bool pixelConverted = false;
  const bool quick = shortcut == Shortcut::Estimates;
  const Plain pe(p);
  const double hueCos = quick ? hueCosineLimit(params.tau_H) : -2.0;
  const std::size_t modelW = static_cast<std::size_t>(n > 0 ? n : 0) * W;
  assert(n < 32);
  for (int i = r * n; i < r * n + n; ++i) {
    const std::size_t row = static_cast<std::size_t>(i) * modelW + static_cast<std::size_t>(c) * n;
    // The block row's columns left to try, in order.
    std::uint32_t columns = quick ? ratioCandidates(model[2] + row, n, Vp, params.gamma, params.beta)
                                  : (1u << n) - 1u;
    for (; columns != 0; columns &= columns - 1) {
      const int j = c * n + __builtin_ctz(columns);
      const ConeColor m = coneAt(model, static_cast<std::size_t>(i) * modelW + j);
      const float ratio = static_cast<float>(static_cast<double>(Vp) / m.v);
      if (!(params.gamma <= ratio && ratio <= params.beta)) continue;
      if (quick && plainlyNoShadow(pe, Vp, m, params.tau_S, hueCos)) continue;
      if (!pixelConverted) {
        float unusedV;
        coneToHsv(p, Hp, Sp, unusedV);
        pixelConverted = true;
      }
      float Hm, Sm, Vm;
      coneToHsv(m, Hm, Sm, Vm);
      if (!(std::fabs(static_cast<double>(Sp) - Sm) < params.tau_S)) continue;
      const float dH = static_cast<float>(std::fabs(static_cast<double>(Hp) - Hm));
      const double wrapped = 360.0 - dH;
      const double hueDiff = dH < wrapped ? static_cast<double>(dH) : wrapped;  // NaN stays NaN
      if (!(hueDiff < params.tau_H)) continue;
      outRow = i;
      outCol = j;
      return true;
    }
  }
  return false;
}
