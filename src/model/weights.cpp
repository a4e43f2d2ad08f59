// Neighbourhood weights and learning-rate schedule.
//
// Intermediate arithmetic is in double; each stored kernel entry, rate and
// alpha entry is rounded to float once.
#include <cassert>
#include <cmath>

#include "model/model.h"

float kernelSpread(int n) {
  switch (n) {
    case 3: return 0.75f;
    case 5: return 2.2f;
    case 7: return 4.4f;
    case 9: return 7.0f;
    default: return 0.0f;
  }
}

void buildWeightKernel(int n, float s, WeightKernel& kernel) {
  // Needs an odd n (a single centre cell) and a positive spread.
  assert(n >= 1 && n % 2 == 1 && s > 0.0f && kernel.n == n);
  const int h = (n + 1) / 2;
  const int m = h - 1;
  const double b = 1.0 / (2.0 * s);  // the spread enters unsquared
  for (int i = 0; i < h; ++i) {
    for (int j = 0; j < h; ++j) {
      const float g = static_cast<float>(std::exp(-(b * (i * i) + b * (j * j))));
      kernel[m - i][m + j] = g;
      kernel[m + i][m - j] = g;
      kernel[m - i][m - j] = g;
      kernel[m + i][m + j] = g;
    }
  }
  const double q = 1.0 / kernel[n - 1][n - 1];
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c)
      kernel[r][c] = static_cast<float>(std::trunc(kernel[r][c] * q + 0.5));
}

BaseRates baseRates(float calibrationConstant, float onlineConstant, int n) {
  const double inv = 1.0 / (n + 1);
  BaseRates rates;
  rates.a1 = static_cast<float>(calibrationConstant * inv);
  rates.a2 = static_cast<float>(onlineConstant * inv);
  return rates;
}

float calibrationRate(int t, int K, const BaseRates& rates) {
  assert(K > 1);
  double d = static_cast<double>(rates.a1) - rates.a2;
  d *= t;
  d /= (K - 1);
  return static_cast<float>(rates.a1 - d);
}

float onlineRate(const BaseRates& rates) { return rates.a2; }

void buildAlphaTable(int n, float rate, const WeightKernel& kernel, AlphaTable& table) {
  assert(kernel.n == n && table.n == n);
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c)
      table[r][c] = static_cast<float>(static_cast<double>(rate) * kernel[r][c]);
}
