// Vector forms of the block scan, each lane the same float operations in the
// same order as the scalar form (no fused multiply-add), chosen at run time
// by what the CPU offers. The update's blends follow the same choice
// (gather.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

enum class Isa { Portable, Avx2, Avx512 };

// The best the CPU offers, or what forceIsa set.
Isa activeIsa();
// For tests and benchmarks: use `isa` from now on (the portable one when
// the CPU lacks it). Not thread-safe against running passes.
void forceIsa(Isa isa);
bool isaAvailable(Isa isa);
const char* isaName(Isa isa);

// What rowWinners gives a pixel with no winner.
constexpr std::uint8_t kNoWinner = 0xFF;
// The blocks of `count` pixels side by side, the first block's top-left cell
// at X[0], against the pixels' colours px[c], py[c], pv[c]: code[c] is the
// winner's index i*n + j in the block, the centre when it is as close as the
// least distance, else the first cell attaining that distance, if that
// distance is below 100 and within `threshold`; kNoWinner otherwise.
void rowWinners(const float* X, const float* Y, const float* V, std::size_t modelW, int n,
                const float* px, const float* py, const float* pv, int count, float threshold,
                std::uint8_t* code);
