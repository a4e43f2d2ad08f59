// Faster passes, bit-identical to reference:: in passes.cpp, spread over
// the context's workers.
//
// Search: the same float expressions in the same order as the reference,
// a row of pixels at a time (rowScan, simd.h): for n = 3 four blocks per
// AVX-512 vector or one per SSE vector, for other n a block row per AVX-512
// or AVX2 vector where the CPU has them, each lane the same float
// operations in the same order. The scan keeps the running minimum without
// branches: the reference records the first cell attaining the block's
// minimum, and only when that minimum is below 100 and within the threshold
// (a NaN distance never lowers it), so the scan finds that minimum first and
// the pass then decides. The shadow fallback, which runs only when nothing
// is within the threshold, calls the reference findShadowMatch.
//
// Update: gathered per block row (gather.h), so each cell is written once,
// in place: `current` and `next` may be the same planes, and the frame needs
// one model and no copy (a search reads only its own block, and runs before
// the update rewrites that block). Which windows a block admits:
//  - online: all while its label is 0 (the labels do not change during the
//    pass), none otherwise;
//  - calibration: its label changes during the sweep: it is its value before
//    the pass (L0) until the pixel is visited, 0 during the pixel's own
//    update and 85 or 255 afterwards; pixels outside the ROI are never
//    relabelled. So its own pixel's window always; an earlier pixel's while
//    L0 is 0; a later pixel's only outside the ROI and while L0 is 0.
//
// Every stage writes only its own pixels or its own block, so the row bands
// run on any number of threads with the same result.
#include <algorithm>
#include <cassert>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/workers.h"
#include "model/gather.h"
#include "model/model.h"
#include "model/passes_select.h"
#include "model/simd.h"

namespace fast {
namespace {

// The shadow fallback, taken when nothing is within the threshold.
inline MatchResult noMatch(float px, float py, float pv, const FloatPlanes& model, int W, int r,
                           int c, int n, const RunParams& params, int& outRow, int& outCol) {
  outRow = -1;
  outCol = -1;
  if (params.shadowRemoval != 0) {
    const ConeColor p{px, py, pv};
    if (findShadowMatch(p, model, W, r, c, n, outRow, outCol, params, Shortcut::Saturation))
      return ShadowMatch;
  }
  return NoMatch;
}

// The searches of the pixels of row r: one row scan (simd.h), then per ROI
// pixel the reference's choice: the centre when it is as close as the
// block's least distance, else the first cell attaining it, if within
// `threshold`; the shadow fallback otherwise. Calls found(p, result, winner
// row, winner column) for each ROI pixel p.
template <typename Found>
void searchRow(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& model, int r,
               float threshold, BlockScan* scans, const Found& found) {
  const int W = ctx.g.W, n = ctx.g.n, h = n / 2;
  const std::size_t modelW = static_cast<std::size_t>(n) * W;
  const std::size_t row = static_cast<std::size_t>(r) * W;
  const std::size_t base = static_cast<std::size_t>(r) * n * modelW;
  rowScan(model[0] + base, model[1] + base, model[2] + base, modelW, n, frame[0] + row,
          frame[1] + row, frame[2] + row, W, scans);
  const std::uint8_t* inRoi = ctx.roi.bytes.data() + row;
  for (int c = 0; c < W; ++c) {
    if (inRoi[c] == 0) continue;
    const BlockScan& s = scans[c];
    int wr, wc;
    MatchResult res = Match;
    if (s.minAt >= 0 && s.minDist <= threshold) {
      const int at = s.centreDist <= s.minDist ? h * n + h : s.minAt;
      wr = r * n + at / n;
      wc = c * n + at % n;
    } else {
      const std::size_t p = row + c;
      res = noMatch(frame[0][p], frame[1][p], frame[2][p], model, W, r, c, n, ctx.params, wr, wc);
    }
    found(row + c, res, wr, wc);
  }
}

inline BlockScan* scanBuffer(int W) {
  static thread_local std::vector<BlockScan> scans;
  if (scans.size() < static_cast<std::size_t>(W)) scans.resize(W);
  return scans.data();
}

// First block row a window can reach: the one above the first ROI row.
inline int firstUpdateRow(const RoiMask& roi) { return std::max(roi.firstRoiRow - 1, 0); }

inline GatherJob gatherJob(const PassContext& ctx, const std::uint8_t* code,
                           const std::uint8_t* admit, const AlphaTable& alpha, const FloatPlanes& frame,
                           const FloatPlanes& current, FloatPlanes& next) {
  GatherJob job;
  job.H = ctx.g.H;
  job.W = ctx.g.W;
  job.n = ctx.g.n;
  job.code = code;
  job.admit = admit;
  job.alpha = alpha.cells.data();
  for (int k = 0; k < 3; ++k) {
    job.frame[k] = frame[k];
    job.in[k] = current[k];
    job.out[k] = next[k];
  }
  return job;
}

// Per pixel, whose windows its block admits.
inline std::uint8_t* admitBuffer(std::size_t pixels) {
  static thread_local std::vector<std::uint8_t> admit;
  if (admit.size() < pixels) admit.resize(pixels);
  return admit.data();
}

// The winner codes of a pass, kOutside to start with; kept between frames
// to avoid reallocating.
inline std::uint8_t* codeBuffer(std::size_t pixels) {
  static thread_local std::vector<std::uint8_t> code;
  code.assign(pixels, kOutside);
  return code.data();
}

}  // namespace

void calibrationPass(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                     LabelMask& labels, const AlphaTable& alpha, FloatPlanes& next) {
  const int H = ctx.g.H, W = ctx.g.W, n = ctx.g.n;
  const RoiMask& roi = ctx.roi;
  const RunParams& params = ctx.params;
  assert(labels.size() >= ctx.g.pixels() && alpha.n == n);
  assert(n <= kMaxSide);
  std::uint8_t* code = codeBuffer(ctx.g.pixels());
  const std::uint8_t* inRoi = roi.bytes.data();

  // A block's label keeps its value from before the pass (L0) until its
  // pixel is visited, is 0 during the pixel's own update and non-zero after
  // (outside the ROI, never visited, it stays L0). So the pixel's own window
  // always writes; an earlier pixel's while L0 is 0; a later pixel's only
  // outside the ROI.
  std::uint8_t* lab = labels.data();
  std::uint8_t* admit = admitBuffer(ctx.g.pixels());
  const GatherJob job = gatherJob(ctx, code, admit, alpha, frame, current, next);

  // By bands of rows: the search runs ahead of the update, which lays a
  // block row once the rows around it are searched (so the model is read
  // while in cache); the two rows at each seam between bands are laid after
  // every band. A search reads only its own block, which the update
  // rewrites in place after it.
  const int bands = bandCount(ctx.pool, H);
  const std::vector<int> edge = bandEdges(H, bands);
  auto band = [&](int i) {
    const int b0 = edge[i], b1 = edge[i + 1];
    for (std::size_t q = static_cast<std::size_t>(b0) * W; q < static_cast<std::size_t>(b1) * W;
         ++q) {
      const bool open = lab[q] == 0;
      admit[q] = static_cast<std::uint8_t>(kAdmitOwn | (open ? kAdmitEarlier : 0) |
                                           (open && inRoi[q] == 0 ? kAdmitLater : 0));
    }
    BlockScan* scans = scanBuffer(W);
    int searched = std::max(b0, roi.firstRoiRow);
    auto searchTo = [&](int rEnd) {
      for (; searched < std::min(rEnd, b1); ++searched) {
        const int r = searched;
        searchRow(ctx, frame, current, r, params.e1, scans,
                  [&](std::size_t p, MatchResult res, int wr, int wc) {
                    const int c = static_cast<int>(p - static_cast<std::size_t>(r) * W);
                    code[p] = res == Match
                                  ? static_cast<std::uint8_t>((wr - r * n) * n + (wc - c * n))
                              : res == ShadowMatch ? kShadow
                                                   : kNoMatch;
                  });
      }
    };
    // Laying pixel row pr reads its winners.
    const std::function<void(int)> ready = [&](int pr) { searchTo(pr + 1); };
    const int lo = i == 0 ? 0 : b0 + 1, hi = i + 1 == bands ? H : b1 - 1;
    if (lo < hi) gatherBand(job, lo, hi, &ready);
    searchTo(b1);
    for (std::size_t q = static_cast<std::size_t>(b0) * W; q < static_cast<std::size_t>(b1) * W;
         ++q)
      if (inRoi[q] != 0) lab[q] = code[q] == kNoMatch ? 255 : 85;
  };
  runTasks(ctx.pool, bands, band);
  runTasks(ctx.pool, bands - 1, [&](int i) { gatherBand(job, edge[i + 1] - 1, edge[i + 1] + 1); });
}

void detectionRows(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                   LabelMask& labels, std::vector<int>& matchRow, std::vector<int>& matchCol,
                   int rBegin, int rEnd) {
  assert(labels.size() >= ctx.g.pixels());
  assert(matchRow.size() >= ctx.g.pixels() && matchCol.size() >= ctx.g.pixels());
  std::uint8_t* lab = labels.data();
  int* mrow = matchRow.data();
  int* mcol = matchCol.data();
  BlockScan* scans = scanBuffer(ctx.g.W);
  for (int r = std::max(rBegin, ctx.roi.firstRoiRow); r < rEnd; ++r)
    searchRow(ctx, frame, current, r, ctx.params.e2, scans,
              [&](std::size_t p, MatchResult res, int wr, int wc) {
                lab[p] = res == Match ? 0 : res == ShadowMatch ? 85 : 255;
                mrow[p] = wr;
                mcol[p] = wc;
              });
}

void detectionPass(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                   LabelMask& labels, std::vector<int>& matchRow, std::vector<int>& matchCol) {
  forRowBands(ctx.pool, ctx.roi.firstRoiRow, ctx.g.H, [&](int rBegin, int rEnd) {
    detectionRows(ctx, frame, current, labels, matchRow, matchCol, rBegin, rEnd);
  });
}

OnlineUpdate::OnlineUpdate(const PassContext& ctx, const FloatPlanes& frame,
                           const FloatPlanes& current, const AlphaTable& alpha, FloatPlanes& next)
    : ctx_(ctx),
      code_(codeBuffer(ctx.g.pixels())),
      admit_(admitBuffer(ctx.g.pixels())),
      job_(gatherJob(ctx, code_, admit_, alpha, frame, current, next)) {
  assert(alpha.n == ctx.g.n && ctx.g.n <= kMaxSide);
}

void OnlineUpdate::winners(const LabelMask& labels, const std::vector<int>& matchRow,
                           const std::vector<int>& matchCol, int rBegin, int rEnd) const {
  const int W = ctx_.g.W, n = ctx_.g.n;
  assert(labels.size() >= ctx_.g.pixels());
  assert(matchRow.size() >= ctx_.g.pixels() && matchCol.size() >= ctx_.g.pixels());
  const std::uint8_t* inRoi = ctx_.roi.bytes.data();
  const std::uint8_t* lab = labels.data();
  const int* mrow = matchRow.data();
  const int* mcol = matchCol.data();
  // The winners of the pixels whose windows are laid: in the ROI, still
  // labelled 0 after the filter, and matched. A block admits every window
  // while its label is 0, none otherwise.
  for (int r = rBegin; r < rEnd; ++r)
    for (int c = 0; c < W; ++c) {
      const std::size_t p = static_cast<std::size_t>(r) * W + c;
      admit_[p] = lab[p] == 0 ? kAdmitAll : 0;
      if (inRoi[p] == 0 || lab[p] != 0 || mrow[p] == -1 || mcol[p] == -1) continue;
      code_[p] = static_cast<std::uint8_t>((mrow[p] - r * n) * n + (mcol[p] - c * n));
    }
}

void OnlineUpdate::lay(int rBegin, int rEnd, const std::function<void(int)>* ready) const {
  gatherBand(job_, rBegin, rEnd, ready);
}

void updatePass(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                const LabelMask& labels, const AlphaTable& alpha, const std::vector<int>& matchRow,
                const std::vector<int>& matchCol, FloatPlanes& next) {
  const OnlineUpdate update(ctx, frame, current, alpha, next);
  const int first = firstUpdateRow(ctx.roi);
  forRowBands(ctx.pool, first, ctx.g.H, [&](int rBegin, int rEnd) {
    update.winners(labels, matchRow, matchCol, rBegin, rEnd);
  });
  forRowBands(ctx.pool, first, ctx.g.H,
              [&](int rBegin, int rEnd) { update.lay(rBegin, rEnd); });
}

}  // namespace fast
