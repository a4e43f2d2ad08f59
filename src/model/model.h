// The neural background model: n x n weight vectors per pixel in one model
// image n*W wide and n*H high, best-match search with the shadow test, the
// whole-number Gaussian kernel and learning rates, the neighbourhood update
// and the per-frame passes.
//
// Layout: pixel (r, c) owns model rows r*n..r*n+n-1 and columns c*n..c*n+n-1;
// model cell (mr, mc) is element mr*(n*W) + mc of each plane and belongs to
// pixel (mr / n, mc / n).
//
// Every pass visits pixels in raster order from roi.firstRoiRow, reads
// `current` and writes only `next`; overlapping update windows resolve
// last writer wins, so the order is part of the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "colour/colour.h"
#include "core/planes.h"
#include "core/types.h"

enum MatchResult : int { NoMatch = 0, Match = 1, ShadowMatch = 2 };

// The colour held at index i of a frame's or a model's three planes.
inline ConeColor coneAt(const FloatPlanes& planes, std::size_t i) {
  return ConeColor{planes[0][i], planes[1][i], planes[2][i]};
}

// ---- Storage --------------------------------------------------------------

// Every weight vector of an ROI pixel becomes the pixel's first-frame colour.
void initModel(FloatPlanes& model, const FloatPlanes& frame, int H, int W, int n,
               const RoiMask& roi);

// ---- Best match -----------------------------------------------------------

// Squared cone distance, in single precision.
float coneDistanceSq(const ConeColor& p, const ConeColor& m);

// The block's smallest distance and the first cell (row-major) attaining
// it, as the search's running minimum follows it; 100 and -1, -1 when no
// distance is below 100.
struct Nearest {
  float dist = 100.0f;
  int row = -1, col = -1;
};

// Searches pixel (r, c)'s block. Outputs are absolute model row and column,
// -1 for NoMatch. Falls back to the shadow test when nothing is within
// `threshold` and shadow removal is on. Fills *nearest when given.
MatchResult findBestMatch(const ConeColor& p, const FloatPlanes& model, int H, int W, int r,
                          int c, int& outRow, int& outCol, int n, float threshold,
                          const scvardo::Params& params, Nearest* nearest = nullptr);
// First vector of the block (row-major) the pixel is a darker version of.
bool findShadowMatch(const ConeColor& p, const FloatPlanes& model, int W, int r, int c, int n,
                     int& outRow, int& outCol, const scvardo::Params& params);
// The shadow test of one weight vector, in its order: the value ratio Vp / Vm
// first (it needs no conversion), then saturation and hue against the
// pixel's (Hp, Sp).
bool shadowRatioPasses(float Vp, float Vm, const scvardo::Params& params);
bool shadowHueSaturationPass(float Hp, float Sp, const ConeColor& m, const scvardo::Params& params);

// ---- Weights and rates ----------------------------------------------------

// n x n floats behind row access.
struct SquareTable {
  int n = 0;
  std::vector<float> cells;

  explicit SquareTable(int side = 0) : n(side), cells(static_cast<std::size_t>(side) * side, 0.0f) {}
  float* operator[](int r) { return &cells[static_cast<std::size_t>(r) * n]; }
  const float* operator[](int r) const { return &cells[static_cast<std::size_t>(r) * n]; }
};
using WeightKernel = SquareTable;
using AlphaTable = SquareTable;

// The spread for n = 3, 5, 7, 9; 0 for any other n.
float kernelSpread(int n);
// Whole-number Gaussian weights, corners 1, centre n+1.
void buildWeightKernel(int n, float s, WeightKernel& kernel);

struct BaseRates {
  float a1 = 0.0f;  // the calibration constant / (n+1)
  float a2 = 0.0f;  // the online constant / (n+1)
};
BaseRates baseRates(float calibrationConstant, float onlineConstant, int n);
// Falls linearly from a1 (t = 0, never applied) to a2 (t = K-1); t in 1..K-1.
float calibrationRate(int t, int K, const BaseRates& rates);
float onlineRate(const BaseRates& rates);
void buildAlphaTable(int n, float rate, const WeightKernel& kernel, AlphaTable& table);

// ---- Neighbourhood update -------------------------------------------------

// Blends the n x n window of model cells around (winRow, winCol), clipped at
// the model's edges, towards x; cells of pixels whose label is not 0 are left,
// unless `absorb` is given and nonzero for the pixel.
void updateNeighbourhood(const float x[3], int H, int W, const FloatPlanes& current,
                         FloatPlanes& next, const AlphaTable& alpha, int n, int winRow,
                         int winCol, const LabelMask& labels,
                         const std::uint8_t* absorb = nullptr);

// ---- Passes ---------------------------------------------------------------
// The reference: plain sweeps in raster order, `current` read and `next`
// written (distinct planes). src/schedule gives the same bits faster.

// The passes follow ctx.adapt where it is given (types.h): the thresholds
// and the admissions of the adaptive mode, the nearest distances written.
//
// Classifies with the calibration threshold and trains at once; matched
// pixels end labelled 85.
void calibrationPass(const PassContext& ctx, const FloatPlanes& frame,
                     const FloatPlanes& current, LabelMask& labels, const AlphaTable& alpha,
                     FloatPlanes& next);
// Labels every ROI pixel 0, 85 or 255 and records its winner (with
// ctx.adapt.nearest, an unmatched pixel's nearest cell).
void detectionPass(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                   LabelMask& labels, std::vector<int>& matchRow, std::vector<int>& matchCol);
// Trains around the winners of the ROI pixels still labelled 0 (or absorbed).
void updatePass(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                const LabelMask& labels, const AlphaTable& alpha, const std::vector<int>& matchRow,
                const std::vector<int>& matchCol, FloatPlanes& next);
