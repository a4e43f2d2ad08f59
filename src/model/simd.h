// Vector forms of the block scan, each lane the same float operations in the
// same order as the scalar form (no fused multiply-add), chosen at run time
// by what the CPU offers. The update's blends follow the same choice
// (gather.cpp).
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

BlockScanFn blockScan();
// The blocks of `count` pixels side by side, the first block's top-left cell
// at X[0], against the pixels' colours px[c], py[c], pv[c]: out[c] as
// blockScan would give it.
void rowScan(const float* X, const float* Y, const float* V, std::size_t modelW, int n,
             const float* px, const float* py, const float* pv, int count, BlockScan* out);
