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

struct ShadowPrefilter::Plain {
  double x, y, lengthSq;
  explicit Plain(const ConeColor& c) : x(c.x), y(c.y), lengthSq(x * x + y * y) {}
  // The saturation estimate and its error bound (NaN or infinite when in doubt).
  double saturation(float v) const { return std::sqrt(lengthSq) / v; }
  double slack(double s) const { return std::fabs(s) * (1e-6 + 4e-7 * std::fabs(y / x)) + 1e-9; }
};

namespace {

constexpr double kHueMargin = 0.05;  // degrees
using Plain = ShadowPrefilter::Plain;

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

ShadowPrefilter::ShadowPrefilter(const scvardo::Params& params)
    : params_(params),
      low_(static_cast<double>(params.gamma) * (1.0 - 1e-6)),
      high_(static_cast<double>(params.beta) * (1.0 + 1e-6)),
      useLow_(params.gamma > 0.0f),
      useHigh_(params.beta >= 0.0f && std::isfinite(params.beta)) {
  const double limit = static_cast<double>(params.tau_H) + kHueMargin;
  hueCos_ = limit < 180.0 ? std::cos(limit * 3.14159265358979323846 / 180.0) : -2.0;
}

// Whether the value ratio of cell value mv may pass for pixel value vp,
// without branches: which cells pass is not predictable.
inline bool ShadowPrefilter::mayPass(double vp, float v) const {
  const double mv = v;
  const bool sure = (mv > 0.0) & (mv < std::numeric_limits<double>::infinity());
  return !(sure & ((useLow_ & (vp < low_ * mv)) | (useHigh_ & (vp > high_ * mv))));
}

template <int N>
std::uint64_t ShadowPrefilter::blockCandidates(const float* v, std::size_t modelW, float Vp) const {
  static_assert(N * N <= 64, "a bit per cell");
  const double vp = Vp;
  std::uint64_t may = 0;
  for (int i = 0; i < N; ++i)
    for (int j = 0; j < N; ++j)
      may |= static_cast<std::uint64_t>(mayPass(vp, v[i * modelW + j])) << (i * N + j);
  return may;
}

bool ShadowPrefilter::match(const ConeColor& p, const FloatPlanes& model, int W, int r, int c,
                            int n, int& outRow, int& outCol) const {
  switch (n) {
    case 3: return matchBlock<3>(p, model, W, r, c, outRow, outCol);
    case 5: return matchBlock<5>(p, model, W, r, c, outRow, outCol);
    case 7: return matchBlock<7>(p, model, W, r, c, outRow, outCol);
  }
  // Larger blocks row by row.
  float Hp = 0.0f, Sp = 0.0f;
  bool pixelConverted = false;
  const Plain pe(p);
  const std::size_t modelW = static_cast<std::size_t>(n) * W;
  assert(n > 0 && n < 32);
  const double vp = p.v;
  for (int i = r * n; i < r * n + n; ++i) {
    const std::size_t row = static_cast<std::size_t>(i) * modelW + static_cast<std::size_t>(c) * n;
    std::uint32_t columns = 0;
    for (int j = 0; j < n; ++j) columns |= static_cast<std::uint32_t>(mayPass(vp, model[2][row + j])) << j;
    // The block row's columns left to try, in order.
    for (; columns != 0; columns &= columns - 1) {
      const int j = c * n + __builtin_ctz(columns);
      if (tryCell(p, pe, model, static_cast<std::size_t>(i) * modelW + j, Hp, Sp, pixelConverted)) {
        outRow = i;
        outCol = j;
        return true;
      }
    }
  }
  return false;
}

template <int N>
bool ShadowPrefilter::matchBlock(const ConeColor& p, const FloatPlanes& model, int W, int r, int c,
                                 int& outRow, int& outCol) const {
  const std::size_t modelW = static_cast<std::size_t>(N) * W;
  const std::size_t first = static_cast<std::size_t>(r) * N * modelW + static_cast<std::size_t>(c) * N;
  // The block's cells left to try, in raster order.
  std::uint64_t cells = blockCandidates<N>(model[2] + first, modelW, p.v);
  if (cells == 0) return false;
  float Hp = 0.0f, Sp = 0.0f;
  bool pixelConverted = false;
  const Plain pe(p);
  for (; cells != 0; cells &= cells - 1) {
    const int k = __builtin_ctzll(cells), i = k / N, j = k % N;
    if (tryCell(p, pe, model, first + i * modelW + j, Hp, Sp, pixelConverted)) {
      outRow = r * N + i;
      outCol = c * N + j;
      return true;
    }
  }
  return false;
}

// The reference's tests of one cell whose value ratio may pass, after the
// prefilter's; the pixel's hue and saturation are worked out on first need.
bool ShadowPrefilter::tryCell(const ConeColor& p, const Plain& pe, const FloatPlanes& model,
                              std::size_t cell, float& Hp, float& Sp, bool& pixelConverted) const {
  const ConeColor m = coneAt(model, cell);
  if (!shadowRatioPasses(p.v, m.v, params_)) return false;
  if (plainlyNoShadow(pe, p.v, m, params_.tau_S, hueCos_)) return false;
  if (!pixelConverted) {
    float unusedV;
    coneToHsv(p, Hp, Sp, unusedV);
    pixelConverted = true;
  }
  return shadowHueSaturationPass(Hp, Sp, m, params_);
}
