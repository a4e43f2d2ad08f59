// Vector forms of the block scan and of the blend, each lane the same float
// or double operations in the same order as the scalar forms (no fused
// multiply-add), chosen once at run time by what the CPU offers.
#pragma once

#include <cstddef>

enum class Isa { Portable, Avx2, Avx512 };

// The best the CPU offers, or what forceIsa set.
Isa activeIsa();
// For tests and benchmarks: use `isa` from now on (the portable one when
// the CPU lacks it). Not thread-safe against running passes.
void forceIsa(Isa isa);
bool isaAvailable(Isa isa);
const char* isaName(Isa isa);

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

// For each cell j < count whose bit is set in `lanes` (count <= 16):
// out[k][c + j] = float((1 - a[j]) * in[k][c + j] + a[j] * x[k]), the
// arithmetic in double, for the three planes k; other cells are not
// written. `in` may equal `out`.
using BlendRowFn = void (*)(const float* a, int count, const float* const in[3],
                            float* const out[3], std::size_t c, const double x[3], unsigned lanes);

BlockScanFn blockScan();
BlendRowFn blendRow();
// The same blend for count <= 4: one masked four-lane pass per plane.
BlendRowFn blendShort();
