#include "core/params.h"

#include <cmath>

bool isSupportedBlockSize(int n) { return n == 3 || n == 5 || n == 7 || n == 9; }

bool medianWidthUsable(int medianWidth) {
  if (medianWidth == 0 || medianWidth == 1) return true;
  return medianWidth >= 3 && medianWidth % 2 == 1 && medianWidth <= 255;
}

int minFrameSide(int Cw) { return Cw == 5 ? 4 : 2; }

std::string paramsProblem(const scvardo::Params& p) {
  if (!isSupportedBlockSize(p.n))
    return "invalid n " + std::to_string(p.n) + ": the block side must be 3, 5, 7 or 9";
  if (!medianWidthUsable(p.medianWidth))
    return "invalid medianWidth " + std::to_string(p.medianWidth) +
           ": it must be 0 (off) or odd, at most 255";
  const struct {
    const char* name;
    float value;
  } reals[] = {{"e1", p.e1},       {"e2", p.e2},     {"c1", p.c1},       {"c2", p.c2},
               {"gamma", p.gamma}, {"beta", p.beta}, {"tau_S", p.tau_S}, {"tau_H", p.tau_H}};
  for (const auto& r : reals)
    if (!std::isfinite(r.value)) return std::string("invalid ") + r.name + ": not a finite number";
  if (p.adaptive == 0) return "";
  if (p.absorbSpan < 1) return "invalid absorbSpan " + std::to_string(p.absorbSpan) + ": it must be 1 or more";
  const struct {
    const char* name;
    float value;
  } adaptive[] = {{"thresholdLow", p.thresholdLow},
                  {"thresholdHigh", p.thresholdHigh},
                  {"distanceGain", p.distanceGain},
                  {"flickerTrain", p.flickerTrain}};
  for (const auto& r : adaptive)
    if (!(std::isfinite(r.value) && r.value >= 0.0f))
      return std::string("invalid ") + r.name + ": it must be a finite number, 0 or more";
  if (!(p.thresholdLow > 0.0f && p.thresholdLow <= p.thresholdHigh))
    return "invalid thresholdLow: it must be above 0 and at most thresholdHigh";
  return "";
}
