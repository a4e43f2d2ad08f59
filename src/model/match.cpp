// Best-match search and shadow test.
//
// Distances are computed, stored and compared in single precision: each
// difference, square and partial sum is a float, summed left to right. The
// tie rules (first minimum in scan order kept, centre wins ties) rely on it.
#include <cassert>
#include <cmath>

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
bool shadowRatioPasses(float Vp, float Vm, const scvardo::Params& params) {
  const float ratio = static_cast<float>(static_cast<double>(Vp) / Vm);
  return params.gamma <= ratio && ratio <= params.beta;
}

bool shadowHueSaturationPass(float Hp, float Sp, const ConeColor& m, const scvardo::Params& params) {
  float Hm, Sm, Vm;
  coneToHsv(m, Hm, Sm, Vm);
  if (!(std::fabs(static_cast<double>(Sp) - Sm) < params.tau_S)) return false;
  const float dH = static_cast<float>(std::fabs(static_cast<double>(Hp) - Hm));
  const double wrapped = 360.0 - dH;
  const double hueDiff = dH < wrapped ? static_cast<double>(dH) : wrapped;  // NaN stays NaN
  return hueDiff < params.tau_H;
}

bool findShadowMatch(const ConeColor& p, const FloatPlanes& model, int W, int r, int c, int n,
                     int& outRow, int& outCol, const scvardo::Params& params) {
  float Hp = 0.0f, Sp = 0.0f;
  bool pixelConverted = false;
  const std::size_t modelW = static_cast<std::size_t>(n > 0 ? n : 0) * W;
  for (int i = r * n; i < r * n + n; ++i)
    for (int j = c * n; j < c * n + n; ++j) {
      const ConeColor m = coneAt(model, static_cast<std::size_t>(i) * modelW + j);
      if (!shadowRatioPasses(p.v, m.v, params)) continue;
      if (!pixelConverted) {
        float unusedV;
        coneToHsv(p, Hp, Sp, unusedV);
        pixelConverted = true;
      }
      if (!shadowHueSaturationPass(Hp, Sp, m, params)) continue;
      outRow = i;
      outCol = j;
      return true;
    }
  return false;
}
