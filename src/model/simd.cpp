#include "model/simd.h"

#include <immintrin.h>

#include <atomic>
#include <cstdint>

// GCC 12's AVX-512 headers trip these on their own undefined-vector helpers.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

// The n x n block whose top-left cell is X[0] (rows modelW apart) against
// colour (px, py, pv): the least distance below 100 that no NaN lowers
// (100 when none), the first block index i*n + j attaining it (-1 when
// none) and the centre's distance. n <= 16.
struct BlockScan {
  float minDist;
  int minAt;
  float centreDist;
};
using BlockScanFn = BlockScan (*)(const float* X, const float* Y, const float* V,
                                  std::size_t modelW, int n, float px, float py, float pv);

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

// The winner code of a scanned block: the centre when it is as close as
// the least distance, else the first cell attaining it, if that distance is
// below 100 and within `threshold`.
inline std::uint8_t decide(const BlockScan& s, int n, float threshold) {
  if (s.minAt < 0 || !(s.minDist <= threshold)) return kNoWinner;
  const int h = n / 2;
  return static_cast<std::uint8_t>(s.centreDist <= s.minDist ? h * n + h : s.minAt);
}

// Five n = 3 blocks side by side per step: a block row of five blocks is
// fifteen consecutive cells, one 16-lane vector per plane, against the five
// pixels' colours spread three lanes each (lane 15 is ignored). The same
// float operations per lane as the scalar scan, and the same choice as
// decide(), made in the vector.
__attribute__((target("avx512f,avx512vl,avx512bw"))) void rowWinners3x512(
    const float* X, const float* Y, const float* V, std::size_t modelW, const float* px,
    const float* py, const float* pv, int count, float threshold, std::uint8_t* code) {
  const __m512i spread = _mm512_setr_epi32(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 4);
  const __m512i next1 = _mm512_setr_epi32(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 15);
  const __m512i next2 = _mm512_setr_epi32(2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 15, 15);
  const __m512i firsts = _mm512_setr_epi32(0, 3, 6, 9, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  // Each lane's index in its block row, and in the block's second and third rows.
  const __m512i col0 = _mm512_setr_epi32(0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0);
  const __m512i col1 = _mm512_add_epi32(col0, _mm512_set1_epi32(3));
  const __m512i col2 = _mm512_add_epi32(col0, _mm512_set1_epi32(6));
  const __m512i none = _mm512_set1_epi32(kNoWinner), centre = _mm512_set1_epi32(4);
  const __m512 hundred = _mm512_set1_ps(100.0f), T = _mm512_set1_ps(threshold);
  for (int c = 0; c < count; c += 5) {
    const int k = count - c < 5 ? count - c : 5;
    const __mmask16 pixels = static_cast<__mmask16>((1u << k) - 1u);
    const __mmask16 cells = static_cast<__mmask16>((1u << (3 * k)) - 1u);
    const __m512 PX = _mm512_permutexvar_ps(spread, _mm512_maskz_loadu_ps(pixels, px + c));
    const __m512 PY = _mm512_permutexvar_ps(spread, _mm512_maskz_loadu_ps(pixels, py + c));
    const __m512 PV = _mm512_permutexvar_ps(spread, _mm512_maskz_loadu_ps(pixels, pv + c));
    __m512 d[3];
    __m512 low = hundred;
    for (int i = 0; i < 3; ++i) {
      const std::size_t b = i * modelW + 3 * static_cast<std::size_t>(c);
      // Ahead by about three steps, a cache line each: the model comes from memory.
      _mm_prefetch(reinterpret_cast<const char*>(X + b + 48), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(Y + b + 48), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(V + b + 48), _MM_HINT_T0);
      const __m512 dx = _mm512_sub_ps(_mm512_maskz_loadu_ps(cells, X + b), PX);
      const __m512 dy = _mm512_sub_ps(_mm512_maskz_loadu_ps(cells, Y + b), PY);
      const __m512 dv = _mm512_sub_ps(_mm512_maskz_loadu_ps(cells, V + b), PV);
      const __m512 sxy = _mm512_add_ps(_mm512_mul_ps(dx, dx), _mm512_mul_ps(dy, dy));
      d[i] = _mm512_add_ps(sxy, _mm512_mul_ps(dv, dv));
      low = _mm512_min_ps(d[i], low);  // a NaN distance keeps `low`
    }
    // Each block's least distance in its first lane (`low` holds no NaN, so
    // the order of the minima does not matter), broadcast to its three.
    __m512 m = _mm512_min_ps(low, _mm512_permutexvar_ps(next1, low));
    m = _mm512_min_ps(m, _mm512_permutexvar_ps(next2, low));
    const __m512 M = _mm512_permutexvar_ps(spread, _mm512_permutexvar_ps(firsts, m));
    // Per lane, the first row attaining it; per block the least such index.
    __m512i at = _mm512_mask_mov_epi32(none, _mm512_cmpeq_ps_mask(d[2], M), col2);
    at = _mm512_mask_mov_epi32(at, _mm512_cmpeq_ps_mask(d[1], M), col1);
    at = _mm512_mask_mov_epi32(at, _mm512_cmpeq_ps_mask(d[0], M), col0);
    __m512i first = _mm512_min_epi32(at, _mm512_permutexvar_epi32(next1, at));
    first = _mm512_min_epi32(first, _mm512_permutexvar_epi32(next2, at));
    // In lane 3g: block g's least distance, first index and centre distance.
    const __m512 centreDist = _mm512_permutexvar_ps(next1, d[1]);
    const __mmask16 match = _mm512_cmp_ps_mask(m, hundred, _CMP_LT_OQ) &
                            _mm512_cmp_ps_mask(m, T, _CMP_LE_OQ);
    const __mmask16 toCentre = _mm512_cmp_ps_mask(centreDist, m, _CMP_LE_OQ);
    __m512i chosen = _mm512_mask_mov_epi32(first, toCentre, centre);
    chosen = _mm512_mask_mov_epi32(none, match, chosen);
    const __m128i bytes = _mm512_cvtepi32_epi8(_mm512_permutexvar_epi32(firsts, chosen));
    _mm_mask_storeu_epi8(code + c, pixels, bytes);
  }
}

// One n = 3 block per step, a block row per four-lane vector: lane 3 holds
// the next block's first cell and is ignored. It lies past the row for the
// last block, which the caller leaves to the scalar scan.
BlockScan scan3Sse(const float* X, const float* Y, const float* V, std::size_t modelW, float px,
                   float py, float pv) {
  const __m128 PX = _mm_set1_ps(px), PY = _mm_set1_ps(py), PV = _mm_set1_ps(pv);
  __m128 d[3];
  __m128 low = _mm_set1_ps(100.0f);
  for (int i = 0; i < 3; ++i) {
    const std::size_t b = i * modelW;
    const __m128 dx = _mm_sub_ps(_mm_loadu_ps(X + b), PX);
    const __m128 dy = _mm_sub_ps(_mm_loadu_ps(Y + b), PY);
    const __m128 dv = _mm_sub_ps(_mm_loadu_ps(V + b), PV);
    const __m128 sxy = _mm_add_ps(_mm_mul_ps(dx, dx), _mm_mul_ps(dy, dy));
    d[i] = _mm_add_ps(sxy, _mm_mul_ps(dv, dv));
    low = _mm_min_ps(d[i], low);  // a NaN distance keeps `low`
  }
  const __m128 l1 = _mm_shuffle_ps(low, low, _MM_SHUFFLE(1, 1, 1, 1));
  const __m128 l2 = _mm_shuffle_ps(low, low, _MM_SHUFFLE(2, 2, 2, 2));
  const float minDist = _mm_cvtss_f32(_mm_min_ss(_mm_min_ss(low, l1), l2));
  const float centre = _mm_cvtss_f32(_mm_shuffle_ps(d[1], d[1], _MM_SHUFFLE(1, 1, 1, 1)));
  int minAt = -1;
  if (minDist < 100.0f) {
    const __m128 M = _mm_set1_ps(minDist);
    const int hits = (_mm_movemask_ps(_mm_cmpeq_ps(d[0], M)) & 7) |
                     (_mm_movemask_ps(_mm_cmpeq_ps(d[1], M)) & 7) << 3 |
                     (_mm_movemask_ps(_mm_cmpeq_ps(d[2], M)) & 7) << 6;
    minAt = __builtin_ctz(static_cast<unsigned>(hits));
  }
  return BlockScan{minDist, minAt, centre};
}

std::atomic<int> forced{-1};

Isa bestIsa() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
      __builtin_cpu_supports("avx512bw"))
    return Isa::Avx512;
  if (__builtin_cpu_supports("avx2")) return Isa::Avx2;
  return Isa::Portable;
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

void rowWinners(const float* X, const float* Y, const float* V, std::size_t modelW, int n,
                const float* px, const float* py, const float* pv, int count, float threshold,
                std::uint8_t* code) {
  if (n == 3 && activeIsa() == Isa::Avx512) {
    rowWinners3x512(X, Y, V, modelW, px, py, pv, count, threshold, code);
    return;
  }
  auto each = [&](int c, BlockScanFn scan) {
    const std::size_t b = static_cast<std::size_t>(c) * n;
    code[c] = decide(scan(X + b, Y + b, V + b, modelW, n, px[c], py[c], pv[c]), n, threshold);
  };
  int c = 0;
  if (n == 3 && activeIsa() != Isa::Portable) {
    // The last block is left to the scalar scan (scan3Sse reads a cell past it).
    for (; c + 1 < count; ++c)
      code[c] = decide(scan3Sse(X + 3 * c, Y + 3 * c, V + 3 * c, modelW, px[c], py[c], pv[c]),
                       3, threshold);
    each(c++, scanPortable);
  }
  const BlockScanFn scan = blockScan();
  for (; c < count; ++c) each(c, scan);
}
