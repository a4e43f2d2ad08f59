// Calibration and online passes, in raster order from roi.firstRoiRow.
// Overlapping update windows resolve last writer wins, so the order is part
// of the result. (src/schedule runs the same passes faster, bit for bit.)
#include <algorithm>
#include <cassert>

#include "model/model.h"

void calibrationPass(const PassContext& ctx, const FloatPlanes& frame,
                     const FloatPlanes& current, LabelMask& labels, const AlphaTable& alpha,
                     FloatPlanes& next) {
  const int H = ctx.g.H, W = ctx.g.W, n = ctx.g.n;
  const scvardo::Params& params = ctx.params;
  const RoiMask& roi = ctx.roi;
  const float e1 = params.e1;
  assert(labels.size() >= static_cast<std::size_t>(W) * H);
  for (int r = roi.firstRoiRow; r < H; ++r) {
    for (int c = 0; c < W; ++c) {
      const std::size_t p = static_cast<std::size_t>(r) * W + c;
      if (roi.bytes[p] == 0) continue;
      const ConeColor x = coneAt(frame, p);
      int winRow = -1, winCol = -1;
      Nearest nearest;
      const MatchResult res = findBestMatch(x, current, H, W, r, c, winRow, winCol, n, e1, params,
                                            ctx.adapt.nearest ? &nearest : nullptr);
      if (ctx.adapt.nearest) ctx.adapt.nearest[p] = nearest.dist;
      if (res == Match) {
        labels[p] = 0;  // open the pixel's own block for its own update
        const float xs[3] = {x.x, x.y, x.v};
        updateNeighbourhood(xs, H, W, current, next, alpha, n, winRow, winCol, labels);
        labels[p] = 85;
      } else if (res == ShadowMatch) {
        labels[p] = 85;
      } else {
        labels[p] = 255;
      }
    }
  }
}

void detectionPass(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                   LabelMask& labels, std::vector<int>& matchRow, std::vector<int>& matchCol) {
  const int H = ctx.g.H, W = ctx.g.W, n = ctx.g.n;
  const scvardo::Params& params = ctx.params;
  const RoiMask& roi = ctx.roi;
  const float e2 = params.e2;
  assert(labels.size() >= static_cast<std::size_t>(W) * H);
  assert(matchRow.size() >= static_cast<std::size_t>(W) * H);
  assert(matchCol.size() >= static_cast<std::size_t>(W) * H);
  for (int r = roi.firstRoiRow; r < H; ++r) {
    for (int c = 0; c < W; ++c) {
      const std::size_t p = static_cast<std::size_t>(r) * W + c;
      if (roi.bytes[p] == 0) continue;
      const ConeColor x = coneAt(frame, p);
      const float threshold = ctx.adapt.threshold ? ctx.adapt.threshold[p] : e2;
      Nearest nearest;
      const MatchResult res = findBestMatch(x, current, H, W, r, c, matchRow[p], matchCol[p], n,
                                            threshold, params, ctx.adapt.nearest ? &nearest : nullptr);
      labels[p] = res == Match ? 0 : res == ShadowMatch ? 85 : 255;
      if (ctx.adapt.nearest) {
        ctx.adapt.nearest[p] = nearest.dist;
        if (res == NoMatch) {
          matchRow[p] = nearest.row;
          matchCol[p] = nearest.col;
        }
      }
    }
  }
}

void updatePass(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                const LabelMask& labels, const AlphaTable& alpha, const std::vector<int>& matchRow,
                const std::vector<int>& matchCol, FloatPlanes& next) {
  const int H = ctx.g.H, W = ctx.g.W, n = ctx.g.n;
  const RoiMask& roi = ctx.roi;
  const std::uint8_t* absorb = ctx.adapt.absorb;
  AlphaTable absorbAlpha(absorb && ctx.adapt.absorbRates ? n : 0);
  std::copy_n(ctx.adapt.absorbRates, absorbAlpha.cells.size(), absorbAlpha.cells.begin());
  const std::size_t end = static_cast<std::size_t>(W) * H;
  assert(labels.size() >= end && matchRow.size() >= end && matchCol.size() >= end);
  for (std::size_t p = static_cast<std::size_t>(roi.firstRoiRow) * W; p < end; ++p) {
    if (roi.bytes[p] == 0 || (labels[p] != 0 && !(absorb && absorb[p] != 0))) continue;
    if (matchRow[p] == -1 || matchCol[p] == -1) continue;
    const float xs[3] = {frame[0][p], frame[1][p], frame[2][p]};
    const bool still = absorb && absorb[p] == kAbsorbStill && absorbAlpha.n == n;
    updateNeighbourhood(xs, H, W, current, next, still ? absorbAlpha : alpha, n, matchRow[p],
                        matchCol[p], labels, absorb);
  }
}
