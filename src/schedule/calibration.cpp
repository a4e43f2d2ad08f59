// The calibration pass, banded.
//
// Which windows a block admits: its label changes during the sweep: it is
// its value before the pass (L0) until the pixel is visited, 0 during the
// pixel's own update and 85 or 255 afterwards; pixels outside the ROI are
// never relabelled. So its own pixel's window always; an earlier pixel's
// while L0 is 0; a later pixel's only outside the ROI and while L0 is 0.
//
// By bands of rows: the search runs ahead of the update, which lays a block
// row once the rows around it are searched (so the model is read while in
// cache); the two rows at each seam between bands are laid after every
// band. A search reads only its own block, which the update rewrites in
// place after it.
#include <algorithm>
#include <cassert>
#include <functional>
#include <vector>

#include "core/workers.h"
#include "schedule/rows.h"
#include "schedule/schedule.h"

namespace fast {

void calibrationPass(const PassContext& ctx, Workspace& ws, const FloatPlanes& frame,
                     const FloatPlanes& current, LabelMask& labels, const AlphaTable& alpha,
                     FloatPlanes& next) {
  const int H = ctx.g.H, W = ctx.g.W, n = ctx.g.n;
  const RoiMask& roi = ctx.roi;
  assert(labels.size() >= ctx.g.pixels() && alpha.n == n && isSupportedBlockSize(n));
  std::uint8_t* code = ws.code();
  std::fill(code, code + ctx.g.pixels(), kOutside);
  std::uint8_t* admit = ws.admit();
  const std::uint8_t* inRoi = roi.bytes.data();
  std::uint8_t* lab = labels.data();
  const UpdateJob job = updateJob(ctx, code, admit, alpha, frame, current, next);
  const ShadowPrefilter shadows(ctx.params);
  const Kernels& k = kernels();
  // The adaptive mode records each pixel's least distance.
  SearchExtras extras;
  extras.distance = ctx.adapt.nearest;

  const int bands = bandCount(ctx.pool, H);
  const std::vector<int> edge = bandEdges(H, bands);
  auto band = [&](int i, int worker) {
    const int b0 = edge[i], b1 = edge[i + 1];
    for (std::size_t q = static_cast<std::size_t>(b0) * W; q < static_cast<std::size_t>(b1) * W;
         ++q) {
      const bool open = lab[q] == 0;
      admit[q] = static_cast<std::uint8_t>(kAdmitOwn | (open ? kAdmitEarlier : 0) |
                                           (open && inRoi[q] == 0 ? kAdmitLater : 0));
    }
    int searched = std::max(b0, roi.firstRoiRow);
    auto searchTo = [&](int rEnd) {
      for (; searched < std::min(rEnd, b1); ++searched) {
        const int r = searched;
        std::uint8_t* codeRow = code + static_cast<std::size_t>(r) * W;
        searchRow(ctx, frame, current, r, ctx.params.e1, codeRow, extras);
        if (ctx.params.shadowRemoval == 0) continue;
        forEachUnmatched(codeRow, W, [&](int c) {
          const std::size_t p = static_cast<std::size_t>(r) * W + c;
          int wr = -1, wc = -1;
          if (shadows.match(coneAt(frame, p), current, W, r, c, n, wr, wc)) codeRow[c] = kShadow;
        });
      }
    };
    // Laying pixel row pr reads its winners.
    const std::function<void(int)> ready = [&](int pr) { searchTo(pr + 1); };
    const int lo = i == 0 ? 0 : b0 + 1, hi = i + 1 == bands ? H : b1 - 1;
    if (lo < hi) k.updateBand(job, lo, hi, &ready, ws.worker(worker).band);
    searchTo(b1);
    for (std::size_t q = static_cast<std::size_t>(b0) * W; q < static_cast<std::size_t>(b1) * W;
         ++q)
      if (inRoi[q] != 0) lab[q] = code[q] == kNoMatch ? 255 : 85;
  };
  runTasks(ctx.pool, bands, band);
  runTasks(ctx.pool, bands - 1, [&](int i, int worker) {
    k.updateBand(job, edge[i + 1] - 1, edge[i + 1] + 1, nullptr, ws.worker(worker).band);
  });
}

void adaptCalibrate(const PassContext& ctx, const FloatPlanes& frame, AdaptiveState& s) {
  forRowBands(ctx.pool, ctx.roi.firstRoiRow, ctx.g.H,
              [&](int r0, int r1, int) { adaptRows(ctx, frame, nullptr, s, r0, r1); });
}

}  // namespace fast
