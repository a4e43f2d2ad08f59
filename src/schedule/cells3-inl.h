// Moving the cells of n = 3 blocks between their model rows, where a block's
// three cells lie side by side, and vectors holding one block per lane: the
// search loads them so, the update loads and stores them so. Included by the
// kernels once per path, inside Highway's per-target compilation.
//
// Highway's generic LoadInterleaved3 / StoreInterleaved3 take byte shuffles
// per 128-bit block; with AVX2 three blends and one lane permute per vector
// do, with AVX-512 two two-source permutes.
#if defined(SCVARDO_SCHEDULE_CELLS3_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef SCVARDO_SCHEDULE_CELLS3_INL_H_
#undef SCVARDO_SCHEDULE_CELLS3_INL_H_
#else
#define SCVARDO_SCHEDULE_CELLS3_INL_H_
#endif

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace scv {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Lane l of v_j gets p[3 l + j].
template <class D, class V = hn::Vec<D>>
HWY_INLINE void loadCells3(D d, const float* HWY_RESTRICT p, V& v0, V& v1, V& v2) {
#if HWY_TARGET == HWY_AVX3
  (void)d;
  const __m512 a = _mm512_loadu_ps(p), b = _mm512_loadu_ps(p + 16), c = _mm512_loadu_ps(p + 32);
  // Lanes from a and b first (indices 16.. pick b), then c over the rest.
  const __m512i ab0 = _mm512_setr_epi32(0, 3, 6, 9, 12, 15, 18, 21, 24, 27, 30, 0, 0, 0, 0, 0);
  const __m512i ab1 = _mm512_setr_epi32(1, 4, 7, 10, 13, 16, 19, 22, 25, 28, 31, 0, 0, 0, 0, 0);
  const __m512i ab2 = _mm512_setr_epi32(2, 5, 8, 11, 14, 17, 20, 23, 26, 29, 0, 0, 0, 0, 0, 0);
  const __m512i c0 = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 17, 20, 23, 26, 29);
  const __m512i c1 = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 18, 21, 24, 27, 30);
  const __m512i c2 = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 19, 22, 25, 28, 31);
  v0 = V{_mm512_permutex2var_ps(_mm512_permutex2var_ps(a, ab0, b), c0, c)};
  v1 = V{_mm512_permutex2var_ps(_mm512_permutex2var_ps(a, ab1, b), c1, c)};
  v2 = V{_mm512_permutex2var_ps(_mm512_permutex2var_ps(a, ab2, b), c2, c)};
#elif HWY_TARGET == HWY_AVX2
  (void)d;
  const __m256 a = _mm256_loadu_ps(p), b = _mm256_loadu_ps(p + 8), c = _mm256_loadu_ps(p + 16);
  // Lanes {0,3,6}, {1,4,7} and {2,5} of a, b and c hold, in some order,
  // the cells of one v_j; a permute puts them in place.
  const __m256 t0 = _mm256_blend_ps(_mm256_blend_ps(a, b, 0x92), c, 0x24);
  const __m256 t1 = _mm256_blend_ps(_mm256_blend_ps(a, b, 0x24), c, 0x49);
  const __m256 t2 = _mm256_blend_ps(_mm256_blend_ps(a, b, 0x49), c, 0x92);
  v0 = V{_mm256_permutevar8x32_ps(t0, _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5))};
  v1 = V{_mm256_permutevar8x32_ps(t1, _mm256_setr_epi32(1, 4, 7, 2, 5, 0, 3, 6))};
  v2 = V{_mm256_permutevar8x32_ps(t2, _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7))};
#else
  hn::LoadInterleaved3(d, p, v0, v1, v2);
#endif
}

// p[3 l + j] gets lane l of v_j.
template <class D, class V = hn::Vec<D>>
HWY_INLINE void storeCells3(D d, V v0, V v1, V v2, float* HWY_RESTRICT p) {
#if HWY_TARGET == HWY_AVX3
  (void)d;
  // v0 and v1 first (indices 16.. pick v1), then v2 into the rest.
  const __m512i ab0 = _mm512_setr_epi32(0, 16, 0, 1, 17, 0, 2, 18, 0, 3, 19, 0, 4, 20, 0, 5);
  const __m512i ab1 = _mm512_setr_epi32(21, 0, 6, 22, 0, 7, 23, 0, 8, 24, 0, 9, 25, 0, 10, 26);
  const __m512i ab2 = _mm512_setr_epi32(0, 11, 27, 0, 12, 28, 0, 13, 29, 0, 14, 30, 0, 15, 31, 0);
  const __m512i c0 = _mm512_setr_epi32(0, 1, 16, 3, 4, 17, 6, 7, 18, 9, 10, 19, 12, 13, 20, 15);
  const __m512i c1 = _mm512_setr_epi32(0, 21, 2, 3, 22, 5, 6, 23, 8, 9, 24, 11, 12, 25, 14, 15);
  const __m512i c2 = _mm512_setr_epi32(26, 1, 2, 27, 4, 5, 28, 7, 8, 29, 10, 11, 30, 13, 14, 31);
  _mm512_storeu_ps(p, _mm512_permutex2var_ps(_mm512_permutex2var_ps(v0.raw, ab0, v1.raw), c0, v2.raw));
  _mm512_storeu_ps(p + 16, _mm512_permutex2var_ps(_mm512_permutex2var_ps(v0.raw, ab1, v1.raw), c1, v2.raw));
  _mm512_storeu_ps(p + 32, _mm512_permutex2var_ps(_mm512_permutex2var_ps(v0.raw, ab2, v1.raw), c2, v2.raw));
#elif HWY_TARGET == HWY_AVX2
  (void)d;
  // Each v_j permuted so that its cells for the three stores lie in the
  // lanes that store takes from it.
  const __m256 u0 = _mm256_permutevar8x32_ps(v0.raw, _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5));
  const __m256 u1 = _mm256_permutevar8x32_ps(v1.raw, _mm256_setr_epi32(5, 0, 3, 6, 1, 4, 7, 2));
  const __m256 u2 = _mm256_permutevar8x32_ps(v2.raw, _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7));
  _mm256_storeu_ps(p, _mm256_blend_ps(_mm256_blend_ps(u0, u1, 0x92), u2, 0x24));
  _mm256_storeu_ps(p + 8, _mm256_blend_ps(_mm256_blend_ps(u0, u1, 0x24), u2, 0x49));
  _mm256_storeu_ps(p + 16, _mm256_blend_ps(_mm256_blend_ps(u0, u1, 0x49), u2, 0x92));
#else
  hn::StoreInterleaved3(v0, v1, v2, d, p);
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace scv
HWY_AFTER_NAMESPACE();

#endif  // SCVARDO_SCHEDULE_CELLS3_INL_H_
