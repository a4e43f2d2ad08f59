// Calibration and online passes: the reference implementations,
// in raster order from roi.firstRoiRow, and the public entry
// points, which run the implementation chosen in passes_select.h.
// Overlapping update windows resolve last writer wins, so the order is part
// of the result.
#include <cassert>

#include "model/model.h"
#include "model/passes_select.h"

namespace reference {

void calibrationPass(const FloatPlanes& frame, int H, int W, const FloatPlanes& current,
                     LabelMask& labels, const AlphaTable& alpha, int n, float e1,
                     FloatPlanes& next, const RunParams& params, const RoiMask& roi) {
  assert(labels.size() >= static_cast<std::size_t>(W) * H);
  for (int r = roi.firstRoiRow; r < H; ++r) {
    for (int c = 0; c < W; ++c) {
      const std::size_t p = static_cast<std::size_t>(r) * W + c;
      if (roi.bytes[p] == 0) continue;
      const ConeColor x = coneAt(frame, p);
      int winRow = -1, winCol = -1;
      const MatchResult res =
          findBestMatch(x, current, H, W, r, c, winRow, winCol, n, e1, params);
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

void detectionPass(const FloatPlanes& frame, int H, int W, const FloatPlanes& current, int n,
                   float e2, LabelMask& labels, std::vector<int>& matchRow,
                   std::vector<int>& matchCol, const RunParams& params, const RoiMask& roi) {
  assert(labels.size() >= static_cast<std::size_t>(W) * H);
  assert(matchRow.size() >= static_cast<std::size_t>(W) * H);
  assert(matchCol.size() >= static_cast<std::size_t>(W) * H);
  for (int r = roi.firstRoiRow; r < H; ++r) {
    for (int c = 0; c < W; ++c) {
      const std::size_t p = static_cast<std::size_t>(r) * W + c;
      if (roi.bytes[p] == 0) continue;
      const ConeColor x = coneAt(frame, p);
      const MatchResult res =
          findBestMatch(x, current, H, W, r, c, matchRow[p], matchCol[p], n, e2, params);
      labels[p] = res == Match ? 0 : res == ShadowMatch ? 85 : 255;
    }
  }
}

void updatePass(const FloatPlanes& frame, int H, int W, const FloatPlanes& current,
                const LabelMask& labels, const AlphaTable& alpha, int n,
                const std::vector<int>& matchRow, const std::vector<int>& matchCol,
                FloatPlanes& next, const RoiMask& roi) {
  const std::size_t end = static_cast<std::size_t>(W) * H;
  assert(labels.size() >= end && matchRow.size() >= end && matchCol.size() >= end);
  for (std::size_t p = static_cast<std::size_t>(roi.firstRoiRow) * W; p < end; ++p) {
    if (roi.bytes[p] == 0 || labels[p] != 0) continue;
    if (matchRow[p] == -1 || matchCol[p] == -1) continue;
    const float xs[3] = {frame[0][p], frame[1][p], frame[2][p]};
    updateNeighbourhood(xs, H, W, current, next, alpha, n, matchRow[p], matchCol[p], labels);
  }
}

}  // namespace reference

// ---- Public entry points -----------------------------------------------------

void calibrationPass(const FloatPlanes& frame, int H, int W, const FloatPlanes& current,
                     LabelMask& labels, const AlphaTable& alpha, int n, float e1,
                     FloatPlanes& next, const RunParams& params, const RoiMask& roi) {
  if constexpr (kSelectedPasses == PassImpl::Fast)
    fast::calibrationPass(frame, H, W, current, labels, alpha, n, e1, next, params, roi);
  else
    reference::calibrationPass(frame, H, W, current, labels, alpha, n, e1, next, params, roi);
}

void detectionPass(const FloatPlanes& frame, int H, int W, const FloatPlanes& current, int n,
                   float e2, LabelMask& labels, std::vector<int>& matchRow,
                   std::vector<int>& matchCol, const RunParams& params, const RoiMask& roi) {
  if constexpr (kSelectedPasses == PassImpl::Fast)
    fast::detectionPass(frame, H, W, current, n, e2, labels, matchRow, matchCol, params, roi);
  else
    reference::detectionPass(frame, H, W, current, n, e2, labels, matchRow, matchCol, params,
                             roi);
}

void updatePass(const FloatPlanes& frame, int H, int W, const FloatPlanes& current,
                const LabelMask& labels, const AlphaTable& alpha, int n,
                const std::vector<int>& matchRow, const std::vector<int>& matchCol,
                FloatPlanes& next, const RoiMask& roi) {
  if constexpr (kSelectedPasses == PassImpl::Fast)
    fast::updatePass(frame, H, W, current, labels, alpha, n, matchRow, matchCol, next, roi);
  else
    reference::updatePass(frame, H, W, current, labels, alpha, n, matchRow, matchCol, next, roi);
}
