// The update of one block row of the model, gathered from the windows that
// reach it.
//
// In the reference every blend reads the model as it was at the start of
// the frame, and a cell ends with the blend of the last window in raster
// order that covered it and was permitted on its block. A window spans n
// cells around its winner, which lies in its pixel's block, so block row R
// is reached only by the windows of pixel rows R-1..R+1. The windows are
// painted in raster order into scratch rows (rate and colour per cell, a NaN
// rate where none covers it; later windows over earlier ones), and once
// pixel row R+1 is laid each covered cell of block row R is blended once. A block row reads and
// writes only its own cells, so bands of rows can be done in any order, on
// any thread, in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// Per pixel, what the update needs from the search: the winner's offset
// i*n + j in the pixel's block when the pixel's window is to be laid, else
// one of these (calibration tells shadow from no match for the label).
constexpr std::uint8_t kOutside = 0xFD;
constexpr std::uint8_t kShadow = 0xFE;
constexpr std::uint8_t kNoMatch = 0xFF;
// The largest block side: its winner codes stay below kOutside.
constexpr int kMaxSide = 15;

// Whose windows a block admits, by where their pixel lies in raster order
// against the block's own pixel.
constexpr std::uint8_t kAdmitEarlier = 1, kAdmitOwn = 2, kAdmitLater = 4;
constexpr std::uint8_t kAdmitAll = kAdmitEarlier | kAdmitOwn | kAdmitLater;

struct GatherJob {
  int H = 0, W = 0, n = 0;
  const std::uint8_t* code = nullptr;   // per pixel: winner code
  const std::uint8_t* admit = nullptr;  // per pixel: whose windows its block admits
  const float* alpha = nullptr;         // n x n rates, row-major
  const float* frame[3] = {};           // per pixel colour
  const float* in[3] = {};              // the model as it was
  float* out[3] = {};                   // the model to write (may equal `in`)
};

// Updates block rows [rBegin, rEnd), calling (*ready)(pr), when given,
// before the winners of pixel row pr and the admissions of block rows
// pr-1..pr+1 are read.
void gatherBand(const GatherJob& job, int rBegin, int rEnd,
                const std::function<void(int)>* ready = nullptr);
