#include "model/simd.h"

#include <immintrin.h>

#include <atomic>

// GCC 12's AVX-512 headers trip these on their own undefined-vector helpers.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

BlockScan scanPortable(const float* X, const float* Y, const float* V, std::size_t modelW, int n,
                       float px, float py, float pv) {
  const int h = n / 2;
  float minDist = 100.0f, centre = 0.0f;
  int minAt = -1;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      const std::size_t k = i * modelW + j;
      const float dx = X[k] - px, dy = Y[k] - py, dv = V[k] - pv;
      const float sx = dx * dx, sy = dy * dy, sv = dv * dv;
      const float sxy = sx + sy;
      const float d = sxy + sv;
      if (i == h && j == h) centre = d;
      const bool lower = d < minDist;
      minDist = lower ? d : minDist;
      minAt = lower ? i * n + j : minAt;
    }
  return BlockScan{minDist, minAt, centre};
}

// min(d, low) keeps `low` when d is NaN, as the scalar `d < minDist` does.
__attribute__((target("avx512f"))) BlockScan scan512(const float* X, const float* Y, const float* V,
                                                     std::size_t modelW, int n, float px, float py,
                                                     float pv) {
  const __mmask16 lanes = static_cast<__mmask16>((1u << n) - 1u);
  const __m512 PX = _mm512_set1_ps(px), PY = _mm512_set1_ps(py), PV = _mm512_set1_ps(pv);
  const __m512 hundred = _mm512_set1_ps(100.0f);
  __m512 d[16];
  __m512 low = hundred;
  for (int i = 0; i < n; ++i) {
    const std::size_t b = i * modelW;
    const __m512 dx = _mm512_sub_ps(_mm512_maskz_loadu_ps(lanes, X + b), PX);
    const __m512 dy = _mm512_sub_ps(_mm512_maskz_loadu_ps(lanes, Y + b), PY);
    const __m512 dv = _mm512_sub_ps(_mm512_maskz_loadu_ps(lanes, V + b), PV);
    const __m512 sxy = _mm512_add_ps(_mm512_mul_ps(dx, dx), _mm512_mul_ps(dy, dy));
    d[i] = _mm512_add_ps(sxy, _mm512_mul_ps(dv, dv));
    low = _mm512_mask_min_ps(low, lanes, d[i], low);
  }
  const float minDist = _mm512_reduce_min_ps(low);  // no NaN left in `low`
  const int h = n / 2;
  alignas(64) float row[16];
  _mm512_store_ps(row, d[h]);
  BlockScan out{minDist, -1, row[h]};
  if (minDist < 100.0f) {
    const __m512 M = _mm512_set1_ps(minDist);
    for (int i = 0; i < n; ++i) {
      const unsigned hits = _mm512_mask_cmpeq_ps_mask(lanes, d[i], M);
      if (hits != 0) {
        out.minAt = i * n + __builtin_ctz(hits);
        break;
      }
    }
  }
  return out;
}

__attribute__((target("avx2"))) BlockScan scan256(const float* X, const float* Y, const float* V,
                                                  std::size_t modelW, int n, float px, float py,
                                                  float pv) {
  // Two 8-lane halves per row, the second masked (n <= 16).
  alignas(32) static const int ramp[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  const __m256i N = _mm256_set1_epi32(n);
  const __m256i m0 =
      _mm256_cmpgt_epi32(N, _mm256_load_si256(reinterpret_cast<const __m256i*>(ramp)));
  const __m256i m1 =
      _mm256_cmpgt_epi32(N, _mm256_load_si256(reinterpret_cast<const __m256i*>(ramp + 8)));
  const __m256 PX = _mm256_set1_ps(px), PY = _mm256_set1_ps(py), PV = _mm256_set1_ps(pv);
  const __m256 hundred = _mm256_set1_ps(100.0f);
  const __m256 keep0 = _mm256_castsi256_ps(m0), keep1 = _mm256_castsi256_ps(m1);
  __m256 d[16][2];
  __m256 low = hundred;
  const int halves = n > 8 ? 2 : 1;
  for (int i = 0; i < n; ++i) {
    const std::size_t b = i * modelW;
    for (int s = 0; s < halves; ++s) {
      const __m256i m = s == 0 ? m0 : m1;
      const __m256 dx = _mm256_sub_ps(_mm256_maskload_ps(X + b + 8 * s, m), PX);
      const __m256 dy = _mm256_sub_ps(_mm256_maskload_ps(Y + b + 8 * s, m), PY);
      const __m256 dv = _mm256_sub_ps(_mm256_maskload_ps(V + b + 8 * s, m), PV);
      const __m256 sxy = _mm256_add_ps(_mm256_mul_ps(dx, dx), _mm256_mul_ps(dy, dy));
      const __m256 di = _mm256_add_ps(sxy, _mm256_mul_ps(dv, dv));
      d[i][s] = di;
      // Lanes beyond n keep 100.
      const __m256 lane = _mm256_blendv_ps(hundred, di, s == 0 ? keep0 : keep1);
      low = _mm256_min_ps(lane, low);
    }
  }
  alignas(32) float lows[8];
  _mm256_store_ps(lows, low);
  float minDist = lows[0];
  for (int k = 1; k < 8; ++k) minDist = lows[k] < minDist ? lows[k] : minDist;
  const int h = n / 2;
  alignas(32) float row[8];
  _mm256_store_ps(row, d[h][h / 8]);
  BlockScan out{minDist, -1, row[h % 8]};
  if (minDist < 100.0f) {
    const __m256 M = _mm256_set1_ps(minDist);
    for (int i = 0; i < n && out.minAt < 0; ++i)
      for (int s = 0; s < halves; ++s) {
        const unsigned hits = static_cast<unsigned>(_mm256_movemask_ps(
            _mm256_and_ps(_mm256_cmp_ps(d[i][s], M, _CMP_EQ_OQ), s == 0 ? keep0 : keep1)));
        if (hits != 0) {
          out.minAt = i * n + 8 * s + __builtin_ctz(hits);
          break;
        }
      }
  }
  return out;
}

std::atomic<int> forced{-1};

Isa bestIsa() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return Isa::Avx512;
  if (__builtin_cpu_supports("avx2")) return Isa::Avx2;
  return Isa::Portable;
}

}  // namespace

bool isaAvailable(Isa isa) {
  const Isa best = bestIsa();
  return isa == Isa::Portable || (isa == Isa::Avx2 && best != Isa::Portable) || isa == best;
}

Isa activeIsa() {
  static const Isa best = bestIsa();
  const int f = forced.load(std::memory_order_relaxed);
  return f < 0 ? best : static_cast<Isa>(f);
}

void forceIsa(Isa isa) {
  forced.store(static_cast<int>(isaAvailable(isa) ? isa : Isa::Portable),
               std::memory_order_relaxed);
}

const char* isaName(Isa isa) {
  return isa == Isa::Avx512 ? "AVX-512" : isa == Isa::Avx2 ? "AVX2" : "portable";
}

BlockScanFn blockScan() {
  switch (activeIsa()) {
    case Isa::Avx512:
      return scan512;
    case Isa::Avx2:
      return scan256;
    default:
      return scanPortable;
  }
}
