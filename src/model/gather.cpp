#include "model/gather.h"

#include <immintrin.h>

#include <cstring>
#include <vector>

#include "model/simd.h"

// GCC 12's AVX-512 headers trip these on their own undefined-vector helpers.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

// Room on both sides of a scratch row for windows clipped at the model's
// edges (h < 16), and for the masked lanes of a 16-lane window row.
constexpr int kMargin = 16;

// Per thread, for three block rows (n3 = 3n model rows): the painted rate
// and colour per cell; and three rows of admission patterns.
struct Scratch {
  std::size_t stride = 0;
  std::vector<float> store;
  std::vector<std::uint8_t> patterns;
  float* a = nullptr;
  float* x[3] = {};
  std::uint8_t* pattern = nullptr;

  void fit(int n, int W) {
    const int modelW = n * W;
    patterns.resize(3 * static_cast<std::size_t>(W));
    pattern = patterns.data();
    const int n3 = 3 * n;
    const std::size_t wantStride = static_cast<std::size_t>(modelW) + 2 * kMargin + 8;
    if (wantStride != stride || store.size() != 4 * n3 * stride) {
      stride = wantStride;
      store.assign(4 * n3 * stride, 0.0f);
      a = store.data();
      for (int k = 0; k < 3; ++k) x[k] = a + (k + 1) * n3 * stride;
    }
  }
};

namespace portable {
template <int N>
inline void paint(float* a, float* const x[3], const float* aRow, const float xv[3],
                  unsigned lanes) {
  for (; lanes != 0; lanes &= lanes - 1) {
    const int j = __builtin_ctz(lanes);
    a[j] = aRow[j];
    for (int k = 0; k < 3; ++k) x[k][j] = xv[k];
  }
}
// The eight cells from `cell` on whose bits are set:
// out = float((1 - a) * in + a * x), the arithmetic in double.
inline void blend8(const float* a, const float* const x[3], const float* const in[3],
                   float* const out[3], std::size_t cell, unsigned bits) {
  for (; bits != 0; bits &= bits - 1) {
    const int j = __builtin_ctz(bits);
    const double oneMinusA = 1.0 - a[j];
    for (int k = 0; k < 3; ++k)
      out[k][cell + j] = static_cast<float>(oneMinusA * in[k][cell + j] +
                                            static_cast<double>(a[j]) * x[k][j]);
  }
}
// The eight cells from `a` on that were painted (their rate is no NaN), as
// bits 0..7.
inline unsigned painted8(const float* a) {
  unsigned bits = 0;
  for (int j = 0; j < 8; ++j) bits |= static_cast<unsigned>(a[j] == a[j]) << j;
  return bits;
}
#include "model/gather_rows.inc"
}  // namespace portable

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
// The lane mask of eight floats.
inline __m256i mask8(unsigned bits) {
  const __m256i pow = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
  return _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(static_cast<int>(bits)), pow), pow);
}
template <int N>
inline void paint(float* a, float* const x[3], const float* aRow, const float xv[3],
                  unsigned lanes) {
  for (int g = 0; lanes != 0; lanes >>= 8, g += 8) {
    const __m256i m = mask8(lanes & 0xFFu);
    _mm256_maskstore_ps(a + g, m, _mm256_maskload_ps(aRow + g, m));
    for (int k = 0; k < 3; ++k) _mm256_maskstore_ps(x[k] + g, m, _mm256_set1_ps(xv[k]));
  }
}
inline void blend4(const float* a, const float* const x[3], const float* const in[3],
                   float* const out[3], std::size_t cell, unsigned bits) {
  const __m128i m = _mm256_castsi256_si128(mask8(bits));
  const __m256d ad = _mm256_cvtps_pd(_mm_maskload_ps(a, m));
  const __m256d oneMinusA = _mm256_sub_pd(_mm256_set1_pd(1.0), ad);
  for (int k = 0; k < 3; ++k) {
    const __m256d cur = _mm256_cvtps_pd(_mm_maskload_ps(in[k] + cell, m));
    const __m256d xd = _mm256_cvtps_pd(_mm_maskload_ps(x[k], m));
    const __m256d v = _mm256_add_pd(_mm256_mul_pd(oneMinusA, cur), _mm256_mul_pd(ad, xd));
    _mm_maskstore_ps(out[k] + cell, m, _mm256_cvtpd_ps(v));
  }
}
inline void blend8(const float* a, const float* const x[3], const float* const in[3],
                   float* const out[3], std::size_t cell, unsigned bits) {
  if (bits & 0xFu) blend4(a, x, in, out, cell, bits & 0xFu);
  if (bits >> 4) {
    const float* const x4[3] = {x[0] + 4, x[1] + 4, x[2] + 4};
    blend4(a + 4, x4, in, out, cell + 4, bits >> 4);
  }
}
inline unsigned painted8(const float* a) {
  const __m256 v = _mm256_loadu_ps(a);
  return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(v, v, _CMP_ORD_Q)));
}
#include "model/gather_rows.inc"
}  // namespace avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512vl,avx512bw")
namespace avx512 {
// Window rows of up to four cells take quarter-width vectors, longer ones
// half-width: full-width masked stores are slow on some CPUs.
template <int N>
inline void paint(float* a, float* const x[3], const float* aRow, const float xv[3],
                  unsigned lanes) {
  if (N != 0 && N <= 4) {
    const __mmask8 m = static_cast<__mmask8>(lanes);
    _mm_mask_storeu_ps(a, m, _mm_loadu_ps(aRow));
    for (int k = 0; k < 3; ++k) _mm_mask_storeu_ps(x[k], m, _mm_set1_ps(xv[k]));
    return;
  }
  for (int g = 0; lanes != 0; lanes >>= 8, g += 8) {
    const __mmask8 m = static_cast<__mmask8>(lanes);
    _mm256_mask_storeu_ps(a + g, m, _mm256_loadu_ps(aRow + g));
    for (int k = 0; k < 3; ++k) _mm256_mask_storeu_ps(x[k] + g, m, _mm256_set1_ps(xv[k]));
  }
}
inline void blend8(const float* a, const float* const x[3], const float* const in[3],
                   float* const out[3], std::size_t cell, unsigned bits) {
  const __mmask8 m = static_cast<__mmask8>(bits);
  const __m512d ad = _mm512_cvtps_pd(_mm256_maskz_loadu_ps(m, a));
  const __m512d oneMinusA = _mm512_sub_pd(_mm512_set1_pd(1.0), ad);
  for (int k = 0; k < 3; ++k) {
    const __m512d cur = _mm512_cvtps_pd(_mm256_maskz_loadu_ps(m, in[k] + cell));
    const __m512d xd = _mm512_cvtps_pd(_mm256_maskz_loadu_ps(m, x[k]));
    const __m512d v = _mm512_add_pd(_mm512_mul_pd(oneMinusA, cur), _mm512_mul_pd(ad, xd));
    _mm256_mask_storeu_ps(out[k] + cell, m, _mm512_cvtpd_ps(v));
  }
}
inline unsigned painted8(const float* a) {
  const __m256 v = _mm256_loadu_ps(a);
  return static_cast<unsigned>(_mm256_cmp_ps_mask(v, v, _CMP_ORD_Q));
}
#include "model/gather_rows.inc"
}  // namespace avx512
#pragma GCC pop_options

using RowFn = void (*)(const GatherJob&, int, int, const std::function<void(int)>*, Scratch&);

template <template <int> class Pick>
RowFn bySide(int n) {
  switch (n) {
    case 3:
      return Pick<3>::fn;
    case 5:
      return Pick<5>::fn;
    case 7:
      return Pick<7>::fn;
    case 9:
      return Pick<9>::fn;
    default:
      return Pick<0>::fn;
  }
}
template <int N>
struct Pick512 {
  static constexpr RowFn fn = avx512::band<N>;
};
template <int N>
struct Pick256 {
  static constexpr RowFn fn = avx2::band<N>;
};
template <int N>
struct PickPortable {
  static constexpr RowFn fn = portable::band<N>;
};

RowFn rowFunction(int n) {
  switch (activeIsa()) {
    case Isa::Avx512:
      return bySide<Pick512>(n);
    case Isa::Avx2:
      return bySide<Pick256>(n);
    default:
      return bySide<PickPortable>(n);
  }
}

}  // namespace

void gatherBand(const GatherJob& job, int rBegin, int rEnd,
                const std::function<void(int)>* ready) {
  static thread_local Scratch scratch;
  scratch.fit(job.n, job.W);
  rowFunction(job.n)(job, rBegin, rEnd, ready, scratch);
}
