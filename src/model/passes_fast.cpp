// Faster passes, bit-identical to reference:: in passes.cpp, spread over
// the context's workers.
//
// Search: the same float expressions in the same order as the reference,
// a row of pixels at a time (rowWinners, simd.h): for n = 3 five blocks per
// AVX-512 vector or one per SSE vector, for other n a block row per AVX-512
// or AVX2 vector where the CPU has them, each lane the same float
// operations in the same order. The scan keeps the running minimum without
// branches: the reference records the first cell attaining the block's
// minimum, and only when that minimum is below 100 and within the threshold
// (a NaN distance never lowers it), so the scan finds that minimum first and
// then decides. The winner is kept as its code in the block (gather.h). The
// shadow fallback, which runs only when nothing is within the threshold,
// calls the reference findShadowMatch with its shortcut (same outcome).
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
#include <cstring>
#include <functional>
#include <vector>

#include "core/workers.h"
#include "model/gather.h"
#include "model/model.h"
#include "model/passes_select.h"
#include "model/simd.h"

namespace fast {
namespace {

static_assert(kNoWinner == kNoMatch, "a pixel the search leaves without a winner has no match");

// The shadow fallback of ROI pixel (r, c), taken when nothing is within the
// threshold: whether it is a shadow, and its shadow winner's absolute row
// and column (-1 when none).
inline bool shadowOf(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& model,
                     int r, int c, int& wr, int& wc) {
  wr = wc = -1;
  if (ctx.params.shadowRemoval == 0) return false;
  const std::size_t p = static_cast<std::size_t>(r) * ctx.g.W + c;
  const ConeColor colour{frame[0][p], frame[1][p], frame[2][p]};
  return findShadowMatch(colour, model, ctx.g.W, r, c, ctx.g.n, wr, wc, ctx.params,
                         Shortcut::Estimates);
}

// The code of winner (wr, wc) in pixel (r, c)'s block.
inline std::uint8_t codeOf(int r, int c, int n, int wr, int wc) {
  return static_cast<std::uint8_t>((wr - r * n) * n + (wc - c * n));
}

// Calls fn(c) for each pixel c of the row code[0..W) that the search left
// without a winner, in order (fn may rewrite code[c]).
template <typename Fn>
void forEachUnmatched(std::uint8_t* code, int W, const Fn& fn) {
  for (std::uint8_t* at = code;
       (at = static_cast<std::uint8_t*>(std::memchr(at, kNoMatch, code + W - at))) != nullptr; ++at)
    fn(static_cast<int>(at - code));
}

// The winners of row r's pixels into code[0..W): each ROI pixel's winner
// code (simd.h), kNoMatch where nothing is within `threshold` (the shadow
// fallback is the caller's), kOutside for pixels outside the ROI.
void searchRow(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& model, int r,
               float threshold, std::uint8_t* code) {
  const int W = ctx.g.W, n = ctx.g.n;
  const std::size_t modelW = static_cast<std::size_t>(n) * W;
  const std::size_t row = static_cast<std::size_t>(r) * W;
  const std::size_t base = static_cast<std::size_t>(r) * n * modelW;
  rowWinners(model[0] + base, model[1] + base, model[2] + base, modelW, n, frame[0] + row,
             frame[1] + row, frame[2] + row, W, threshold, code);
  const std::uint8_t* __restrict inRoi = ctx.roi.bytes.data() + row;
  std::uint8_t* __restrict out = code;  // distinct buffers: the loop runs in vectors
  for (int c = 0; c < W; ++c) out[c] = inRoi[c] != 0 ? out[c] : kOutside;
}

inline std::uint8_t* rowBuffer(int W) {
  static thread_local std::vector<std::uint8_t> codes;
  if (codes.size() < static_cast<std::size_t>(W)) codes.resize(W);
  return codes.data();
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
  const scvardo::Params& params = ctx.params;
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
    int searched = std::max(b0, roi.firstRoiRow);
    auto searchTo = [&](int rEnd) {
      for (; searched < std::min(rEnd, b1); ++searched) {
        const int r = searched;
        std::uint8_t* codeRow = code + static_cast<std::size_t>(r) * W;
        searchRow(ctx, frame, current, r, params.e1, codeRow);
        forEachUnmatched(codeRow, W, [&](int c) {
          int wr, wc;
          if (shadowOf(ctx, frame, current, r, c, wr, wc)) codeRow[c] = kShadow;
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
  const int W = ctx.g.W, n = ctx.g.n;
  std::uint8_t* codes = rowBuffer(W);
  for (int r = std::max(rBegin, ctx.roi.firstRoiRow); r < rEnd; ++r) {
    searchRow(ctx, frame, current, r, ctx.params.e2, codes);
    for (int c = 0; c < W; ++c) {
      const int o = codes[c];
      if (o == kOutside) continue;
      const std::size_t p = static_cast<std::size_t>(r) * W + c;
      int wr = r * n + o / n, wc = c * n + o % n;
      labels[p] = o != kNoMatch ? 0 : shadowOf(ctx, frame, current, r, c, wr, wc) ? 85 : 255;
      matchRow[p] = wr;
      matchCol[p] = wc;
    }
  }
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
      frame_(&frame),
      current_(&current),
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
      code_[p] = codeOf(r, c, n, mrow[p], mcol[p]);
    }
}

void OnlineUpdate::detect(LabelMask& labels, int rBegin, int rEnd) const {
  const int W = ctx_.g.W;
  assert(labels.size() >= ctx_.g.pixels());
  const std::uint8_t* inRoi = ctx_.roi.bytes.data();
  std::uint8_t* lab = labels.data();
  for (int r = std::max(rBegin, ctx_.roi.firstRoiRow); r < rEnd; ++r) {
    const std::size_t row = static_cast<std::size_t>(r) * W;
    std::uint8_t* code = code_ + row;
    searchRow(ctx_, *frame_, *current_, r, ctx_.params.e2, code);
    {
      const std::uint8_t* __restrict in = inRoi + row;
      const std::uint8_t* __restrict found = code;
      std::uint8_t* __restrict out = lab + row;
      for (int c = 0; c < W; ++c) out[c] = in[c] == 0 ? out[c] : found[c] == kNoMatch ? 255 : 0;
    }
    // A shadow's winner is laid too if the filter labels it 0.
    forEachUnmatched(code, W, [&](int c) {
      int wr, wc;
      if (!shadowOf(ctx_, *frame_, *current_, r, c, wr, wc)) return;
      lab[row + c] = 85;
      code[c] = codeOf(r, c, ctx_.g.n, wr, wc);
    });
  }
}

void OnlineUpdate::winners(const LabelMask& labels, int rBegin, int rEnd) const {
  assert(labels.size() >= ctx_.g.pixels());
  const std::size_t begin = static_cast<std::size_t>(rBegin) * ctx_.g.W;
  const std::size_t count = static_cast<std::size_t>(rEnd - rBegin) * ctx_.g.W;
  // Distinct buffers: said so, the loop runs in vectors.
  const std::uint8_t* __restrict lab = labels.data() + begin;
  std::uint8_t* __restrict admit = admit_ + begin;
  std::uint8_t* __restrict code = code_ + begin;
  // A block admits every window while its label is 0, none otherwise; the
  // pixels without a winner keep kNoMatch or kOutside.
  for (std::size_t p = 0; p < count; ++p) {
    admit[p] = lab[p] == 0 ? kAdmitAll : 0;
    code[p] = lab[p] == 0 ? code[p] : kOutside;
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
