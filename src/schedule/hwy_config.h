// Highway's settings for the kernels, included before Highway itself. The
// kernels use Highway as headers only, with their own chooser (isa.h):
// no debug checks (they would need libhwy's Abort), and the paths
// portable (EMU128), sse4, avx2, avx512 on x86, neon and portable on Arm.
#pragma once

#ifndef HWY_IS_DEBUG_BUILD
#define HWY_IS_DEBUG_BUILD 0
#endif
#define HWY_COMPILE_ALL_ATTAINABLE
// Highway turns its portable target (EMU128: 128-bit vectors in plain C++)
// off under GCC before 12.3 for a vectorizer bug with 16-bit multiplies
// (GCC PR 106322). The kernels use no 16-bit arithmetic, and tests/exact
// checks the portable path bit for bit like every other.
#ifndef HWY_BROKEN_EMU128
#define HWY_BROKEN_EMU128 0
#endif
#define HWY_DISABLE_PCLMUL_AES
#define HWY_DISABLED_TARGETS \
  (HWY_SSSE3 | HWY_AVX3_DL | HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128)

// The Highway namespace of each path of this build, as X(Isa, namespace),
// for the choosers at the end of search.cpp and update.cpp.
#define SCVARDO_EACH_PATH_X86(X) \
  X(Isa::Portable, N_EMU128) X(Isa::Sse4, N_SSE4) X(Isa::Avx2, N_AVX2) X(Isa::Avx512, N_AVX3)
#define SCVARDO_EACH_PATH_ARM(X) X(Isa::Portable, N_EMU128) X(Isa::Neon, N_NEON)
#if defined(__x86_64__) || defined(__i386__)
#define SCVARDO_EACH_PATH SCVARDO_EACH_PATH_X86
#elif defined(__aarch64__)
#define SCVARDO_EACH_PATH SCVARDO_EACH_PATH_ARM
#else
#define SCVARDO_EACH_PATH(X) X(Isa::Portable, N_EMU128)
#endif
