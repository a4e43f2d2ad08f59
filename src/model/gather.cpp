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

// Per thread, for three block rows (n3 = 3n model rows): the painted
// 1 - a and a * x per cell in double, as the blend forms them, and a
// covered flag byte per cell (0 or 1); and the window's rates in double.
struct Scratch {
  std::size_t stride = 0;
  std::vector<double> store, tables;
  std::vector<std::uint8_t> flagStore;
  double* oma = nullptr;
  double* ax[3] = {};
  double* omaTable = nullptr;  // 1 - a per window cell
  double* aTable = nullptr;    // a per window cell
  std::uint8_t* flags = nullptr;

  void fit(int n, int modelW, const float* alpha) {
    const int n3 = 3 * n;
    const std::size_t wantStride = static_cast<std::size_t>(modelW) + 2 * kMargin + 8;
    if (wantStride != stride || store.size() != 4 * n3 * stride) {
      stride = wantStride;
      store.assign(4 * n3 * stride, 0.0);
      flagStore.assign(n3 * stride, 0);
      oma = store.data();
      for (int k = 0; k < 3; ++k) ax[k] = oma + (k + 1) * n3 * stride;
      flags = flagStore.data();
    }
    // Read past the last rate by up to 15 lanes, masked out.
    tables.assign(2 * (n * n + 16), 0.0);
    omaTable = tables.data();
    aTable = omaTable + n * n + 16;
    for (int k = 0; k < n * n; ++k) {
      aTable[k] = alpha[k];
      omaTable[k] = 1.0 - alpha[k];
    }
  }
};

// The eight cells from `cell` on whose bits are set:
// out = float(oma * in + ax), the arithmetic in double.
void blend8Portable(const double* oma, const double* const ax[3], const float* const in[3],
                    float* const out[3], std::size_t cell, unsigned bits) {
  for (; bits != 0; bits &= bits - 1) {
    const int j = __builtin_ctz(bits);
    for (int k = 0; k < 3; ++k)
      out[k][cell + j] = static_cast<float>(oma[j] * in[k][cell + j] + ax[k][j]);
  }
}

// Flags 1 for the lanes set in `lanes`.
inline void markEach(std::uint8_t* flags, unsigned lanes) {
  for (; lanes != 0; lanes &= lanes - 1) flags[__builtin_ctz(lanes)] = 1;
}
// The eight flag bytes from `flags` on (each 0 or 1) as bits 0..7.
inline unsigned flagBits8(const std::uint8_t* flags) {
  std::uint64_t f;
  std::memcpy(&f, flags, sizeof f);
  return static_cast<unsigned>((f * 0x0102040810204080ull) >> 56);
}

namespace portable {
template <int N>
inline void paint(double* oma, double* const ax[3], const double* omaRow, const double* aRow,
                  const double x[3], unsigned lanes) {
  for (; lanes != 0; lanes &= lanes - 1) {
    const int j = __builtin_ctz(lanes);
    oma[j] = omaRow[j];
    for (int k = 0; k < 3; ++k) ax[k][j] = aRow[j] * x[k];
  }
}
inline void blend8(const double* oma, const double* const ax[3], const float* const in[3],
                   float* const out[3], std::size_t cell, unsigned bits) {
  blend8Portable(oma, ax, in, out, cell, bits);
}
inline void mark(std::uint8_t* flags, unsigned lanes) { markEach(flags, lanes); }
inline unsigned painted8(const std::uint8_t* flags) { return flagBits8(flags); }
#include "model/gather_rows.inc"
}  // namespace portable

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
// The lane mask of four doubles.
inline __m256i mask4(unsigned bits) {
  const __m256i pow = _mm256_setr_epi64x(1, 2, 4, 8);
  return _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_set1_epi64x(bits), pow), pow);
}
template <int N>
inline void paint(double* oma, double* const ax[3], const double* omaRow, const double* aRow,
                  const double x[3], unsigned lanes) {
  for (int g = 0; lanes != 0; lanes >>= 4, g += 4) {
    if ((lanes & 0xFu) == 0) continue;
    const __m256i m = mask4(lanes & 0xFu);
    _mm256_maskstore_pd(oma + g, m, _mm256_maskload_pd(omaRow + g, m));
    const __m256d a = _mm256_maskload_pd(aRow + g, m);
    for (int k = 0; k < 3; ++k)
      _mm256_maskstore_pd(ax[k] + g, m, _mm256_mul_pd(a, _mm256_set1_pd(x[k])));
  }
}
inline void blend4(const double* oma, const double* const ax[3], const float* const in[3],
                   float* const out[3], std::size_t cell, unsigned bits) {
  const __m256i m = mask4(bits);
  const __m128i m32 = _mm256_castsi256_si128(
      _mm256_permutevar8x32_epi32(m, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
  const __m256d o = _mm256_maskload_pd(oma, m);
  for (int k = 0; k < 3; ++k) {
    const __m256d cur = _mm256_cvtps_pd(_mm_maskload_ps(in[k] + cell, m32));
    const __m256d v = _mm256_add_pd(_mm256_mul_pd(o, cur), _mm256_maskload_pd(ax[k], m));
    _mm_maskstore_ps(out[k] + cell, m32, _mm256_cvtpd_ps(v));
  }
}
inline void blend8(const double* oma, const double* const ax[3], const float* const in[3],
                   float* const out[3], std::size_t cell, unsigned bits) {
  if (bits & 0xFu) blend4(oma, ax, in, out, cell, bits & 0xFu);
  if (bits >> 4) {
    const double* const ax4[3] = {ax[0] + 4, ax[1] + 4, ax[2] + 4};
    blend4(oma + 4, ax4, in, out, cell + 4, bits >> 4);
  }
}
inline void mark(std::uint8_t* flags, unsigned lanes) { markEach(flags, lanes); }
inline unsigned painted8(const std::uint8_t* flags) { return flagBits8(flags); }
#include "model/gather_rows.inc"
}  // namespace avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512vl,avx512bw")
namespace avx512 {
// Four cells per half-width vector: full-width masked stores are slow on
// some CPUs.
template <int N>
inline void paint(double* oma, double* const ax[3], const double* omaRow, const double* aRow,
                  const double x[3], unsigned lanes) {
  constexpr int kGroups = N == 0 ? 4 : (N + 3) / 4;
  for (int g = 0; g < kGroups && (N != 0 || lanes >> (4 * g) != 0); ++g) {
    const __mmask8 m = static_cast<__mmask8>((lanes >> (4 * g)) & 0xFu);
    const int c = 4 * g;
    _mm256_mask_storeu_pd(oma + c, m, _mm256_maskz_loadu_pd(m, omaRow + c));
    const __m256d a = _mm256_maskz_loadu_pd(m, aRow + c);
    for (int k = 0; k < 3; ++k)
      _mm256_mask_storeu_pd(ax[k] + c, m, _mm256_mul_pd(a, _mm256_set1_pd(x[k])));
  }
}
inline void blend8(const double* oma, const double* const ax[3], const float* const in[3],
                   float* const out[3], std::size_t cell, unsigned bits) {
  const __mmask8 m = static_cast<__mmask8>(bits);
  const __m512d o = _mm512_maskz_loadu_pd(m, oma);
  for (int k = 0; k < 3; ++k) {
    const __m512d cur = _mm512_cvtps_pd(_mm256_maskz_loadu_ps(m, in[k] + cell));
    const __m512d v = _mm512_add_pd(_mm512_mul_pd(o, cur), _mm512_maskz_loadu_pd(m, ax[k]));
    _mm256_mask_storeu_ps(out[k] + cell, m, _mm512_cvtpd_ps(v));
  }
}
inline void mark(std::uint8_t* flags, unsigned lanes) {
  _mm_mask_storeu_epi8(flags, static_cast<__mmask16>(lanes), _mm_set1_epi8(1));
}
inline unsigned painted8(const std::uint8_t* flags) {
  return _mm_test_epi8_mask(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(flags)),
                            _mm_set1_epi8(1));
}
#include "model/gather_rows.inc"
}  // namespace avx512
#pragma GCC pop_options

using RowFn = void (*)(const GatherJob&, int, int, Scratch&);

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

void gatherBand(const GatherJob& job, int rBegin, int rEnd) {
  static thread_local Scratch scratch;
  scratch.fit(job.n, job.n * job.W, job.alpha);
  rowFunction(job.n)(job, rBegin, rEnd, scratch);
}
