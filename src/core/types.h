// Value types shared by the method's operations.
//
// Frame geometry: W x H pixels, row-major, row 0 at the top. The model is n*H
// rows by n*W columns; pixel (r, c) owns model rows r*n..r*n+n-1 and columns
// c*n..c*n+n-1, and model cell (mr, mc) belongs to pixel (mr / n, mc / n).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/params.h"
#include "core/roi.h"

class WorkerPool;

// A colour as (x, y, v) = (S*V*cos H, S*V*sin H, V), H in degrees.
struct ConeColor {
  float x = 0.0f;
  float y = 0.0f;
  float v = 0.0f;
};

// W*H labels: 0 background, 85 shadow, 170 foreground cleared by spatial
// coherence, 255 foreground.
using LabelMask = std::vector<std::uint8_t>;

struct Geometry {
  int W = 0;
  int H = 0;
  int n = 3;

  std::size_t pixels() const { return static_cast<std::size_t>(W) * H; }
  std::size_t cells() const { return pixels() * n * n; }
  int modelW() const { return n * W; }
  int modelH() const { return n * H; }
};

// The per-pixel inputs and outputs of the adaptive mode's passes, W*H
// each; all null for the defined passes.
struct PixelAdaptation {
  // Detection thresholds in place of e2.
  const float* threshold = nullptr;
  // Written by the search: the smallest distance in the pixel's block
  // (100 when none is below 100). With it, a pixel the online search leaves
  // unmatched records the first cell at that distance as its winner.
  float* nearest = nullptr;
  // Nonzero: the online update trains the pixel, and admits windows on its
  // block, whatever its label; kAbsorbStill trains its window with
  // `absorbRates` (n x n, row-major) in place of the frame's rates.
  const std::uint8_t* absorb = nullptr;
  const float* absorbRates = nullptr;
};
constexpr std::uint8_t kAbsorbCleared = 1, kAbsorbStill = 2;

// What every pass needs besides its buffers: the geometry, the parameters
// and the region of interest, all fixed for the run, and the workers the
// fast passes may spread over (none: the calling thread alone).
struct PassContext {
  Geometry g;
  const scvardo::Params& params;
  const RoiMask& roi;
  WorkerPool* pool = nullptr;
  PixelAdaptation adapt{};
};
