// The online passes: one frame with the search, the coherence filter and
// the update interleaved by bands of rows (onlineStep), so that the update
// reads each block row of the model shortly after the search has, while it
// is still in cache, and the frame needs two barriers instead of four; and
// the same passes one at a time (detectionPass, updatePass).
//
// Within a band [b0, b1) the search runs ahead; the coherence filter takes a
// row once the rows two above and below it are searched; the winners of a
// row are recorded once its label is final; and the update lays block row R
// once pixel row R+1 is laid (kernels.h). Rows whose windows reach into the
// next band (two for the filter, one more for the update) cannot be
// finished inside the band: they are done after every band has been, seam
// by seam. Every row is searched, filtered and recorded exactly once, and
// every block row updated exactly once, each from the same inputs as in the
// separate passes, so the result is theirs for any number of bands.
//
// Online, a block admits every window while its label is 0 and none
// otherwise; the labels do not change during the update.
//
// In the adaptive mode each row's step (adapt.h) runs between its filter
// and its winners: it reads the final labels of the rows beside it, so it
// follows the filter by a row, and it says which pixels lay a window and
// open their block whatever their label (absorbed ones, at their nearest
// cell when nothing matched).
#include <algorithm>
#include <cassert>
#include <functional>
#include <vector>

#include "adapt/adapt.h"
#include "core/workers.h"
#include "mask/mask.h"
#include "schedule/rows.h"
#include "schedule/schedule.h"

namespace fast {
namespace {

// The filter's reach in rows (the 5x5 windows; the 3x3 ones reach less).
constexpr int kReach = 2;

// First block row a window can reach: the one above the first ROI row.
int firstUpdateRow(const RoiMask& roi) { return std::max(roi.firstRoiRow - 1, 0); }

// One online frame's search and update over the workspace's winner codes
// and admissions.
class OnlineUpdate {
 public:
  OnlineUpdate(const PassContext& ctx, Workspace& ws, const FloatPlanes& frame,
               const FloatPlanes& current, const AlphaTable& alpha, FloatPlanes& next)
      : ctx_(ctx),
        ws_(ws),
        frame_(frame),
        current_(current),
        shadows_(ctx.params),
        extras_{ctx.adapt.threshold, ctx.adapt.nearest,
                ctx.adapt.nearest != nullptr ? ws.nearest(ctx.g.pixels()) : nullptr},
        job_(updateJob(ctx, ws.code(), ws.admit(), alpha, frame, current, next)) {
    assert(alpha.n == ctx.g.n && isSupportedBlockSize(ctx.g.n));
    std::fill(ws.code(), ws.code() + ctx.g.pixels(), kOutside);
  }

  // The search of rows [rBegin, rEnd): labels 0, 85 or 255, and the winner
  // codes (a shadow's too: its window is laid if the filter labels it 0).
  void detect(LabelMask& labels, int rBegin, int rEnd) const {
    const int W = ctx_.g.W;
    const std::uint8_t* inRoi = ctx_.roi.bytes.data();
    std::uint8_t* lab = labels.data();
    for (int r = std::max(rBegin, ctx_.roi.firstRoiRow); r < rEnd; ++r) {
      const std::size_t row = static_cast<std::size_t>(r) * W;
      std::uint8_t* code = ws_.code() + row;
      searchRow(ctx_, frame_, current_, r, ctx_.params.e2, code, extras_);
      {
        const std::uint8_t* __restrict in = inRoi + row;
        const std::uint8_t* __restrict found = code;
        std::uint8_t* __restrict out = lab + row;
        for (int c = 0; c < W; ++c) out[c] = in[c] == 0 ? out[c] : found[c] == kNoMatch ? 255 : 0;
      }
      if (ctx_.params.shadowRemoval == 0) continue;
      forEachUnmatched(code, W, [&](int c) {
        int wr, wc;
        if (!shadows_.match(coneAt(frame_, row + c), current_, W, r, c, ctx_.g.n, wr, wc)) return;
        lab[row + c] = 85;
        code[c] = codeOf(r, c, ctx_.g.n, wr, wc);
      });
    }
  }

  // Rows [rBegin, rEnd) once their labels are final: a block admits every
  // window while its label is 0, none otherwise; the pixels whose label is
  // not 0 lay no window.
  void winners(const LabelMask& labels, int rBegin, int rEnd) const {
    const std::size_t begin = static_cast<std::size_t>(rBegin) * ctx_.g.W;
    const std::size_t count = static_cast<std::size_t>(rEnd - rBegin) * ctx_.g.W;
    // Distinct buffers: said so, the loop runs in vectors.
    const std::uint8_t* __restrict lab = labels.data() + begin;
    std::uint8_t* __restrict admit = ws_.admit() + begin;
    std::uint8_t* __restrict code = ws_.code() + begin;
    if (ctx_.adapt.absorb != nullptr) {
      const std::uint8_t* __restrict absorb = ctx_.adapt.absorb + begin;
      const std::uint8_t* __restrict nearest = extras_.nearest + begin;
      for (std::size_t p = 0; p < count; ++p) {
        const bool open = lab[p] == 0 || absorb[p] != 0;
        admit[p] = open ? kAdmitAll : 0;
        code[p] = !open ? kOutside : code[p] == kNoMatch ? nearest[p] : code[p];
      }
      return;
    }
    for (std::size_t p = 0; p < count; ++p) {
      admit[p] = lab[p] == 0 ? kAdmitAll : 0;
      code[p] = lab[p] == 0 ? code[p] : kOutside;
    }
  }

  // The same from winner positions (the separate passes' form).
  void winners(const LabelMask& labels, const std::vector<int>& matchRow,
               const std::vector<int>& matchCol, int rBegin, int rEnd) const {
    const int W = ctx_.g.W, n = ctx_.g.n;
    const std::uint8_t* inRoi = ctx_.roi.bytes.data();
    const std::uint8_t* absorb = ctx_.adapt.absorb;
    for (int r = rBegin; r < rEnd; ++r)
      for (int c = 0; c < W; ++c) {
        const std::size_t p = static_cast<std::size_t>(r) * W + c;
        const bool open = labels[p] == 0 || (absorb != nullptr && absorb[p] != 0);
        ws_.admit()[p] = open ? kAdmitAll : 0;
        if (inRoi[p] == 0 || !open || matchRow[p] == -1 || matchCol[p] == -1) continue;
        ws_.code()[p] = codeOf(r, c, n, matchRow[p], matchCol[p]);
      }
  }

  void lay(int rBegin, int rEnd, int worker, const std::function<void(int)>* ready = nullptr) const {
    kernels().updateBand(job_, rBegin, rEnd, ready, ws_.worker(worker).band);
  }

 private:
  const PassContext& ctx_;
  Workspace& ws_;
  const FloatPlanes& frame_;
  const FloatPlanes& current_;
  const ShadowPrefilter shadows_;
  const SearchExtras extras_;
  const UpdateJob job_;
};

}  // namespace

void onlineStep(const PassContext& ctx, Workspace& ws, const FloatPlanes& frame, FloatPlanes& model,
                LabelMask& labels, LabelMask& spare, const AlphaTable& alpha, AdaptiveState* adapt) {
  const int H = ctx.g.H;
  const int bands = bandCount(ctx.pool, H);
  const std::vector<int> edge = bandEdges(H, bands);
  const OnlineUpdate update(ctx, ws, frame, model, alpha, model);
  // Rows the adaptive step follows the filter by.
  const int lag = adapt != nullptr ? 1 : 0;

  // The rows a band finishes alone: filtered [filterLo, filterHi), recorded
  // [finishLo, finishHi), updated [layLo, layHi).
  auto filterLo = [&](int i) { return i == 0 ? 0 : edge[i] + kReach; };
  auto filterHi = [&](int i) { return i == bands ? H : edge[i] - kReach; };
  auto finishLo = [&](int i) { return i == 0 ? 0 : edge[i] + kReach + lag; };
  auto finishHi = [&](int i) { return i == bands ? H : edge[i] - kReach - lag; };
  auto layLo = [&](int i) { return i == 0 ? 0 : edge[i] + kReach + lag + 1; };
  auto layHi = [&](int i) { return i == bands ? H : edge[i] - kReach - lag - 1; };
  // Rows [rBegin, rEnd) once their labels and their neighbours' are final.
  auto finish = [&](int rBegin, int rEnd) {
    if (rBegin >= rEnd) return;
    if (adapt != nullptr) adaptRows(ctx, frame, &spare, *adapt, rBegin, rEnd);
    update.winners(spare, rBegin, rEnd);
  };

  auto band = [&](int i, int worker) {
    const int b0 = edge[i], b1 = edge[i + 1];
    const int fLo = filterLo(i), fHi = filterHi(i + 1), iHi = finishHi(i + 1);
    std::vector<std::uint8_t>& columns = ws.worker(worker).columns;
    int searched = b0, filtered = fLo, finished = finishLo(i);
    auto searchTo = [&](int r) {
      r = std::min(r, b1);
      if (r <= searched) return;
      update.detect(labels, searched, r);
      searched = r;
    };
    auto filterTo = [&](int r) {
      r = std::min(r, fHi);
      if (r <= filtered) return;
      searchTo(r + kReach);
      coherenceRows(ctx, labels, spare, filtered, r, columns);
      filtered = r;
    };
    auto finishTo = [&](int r) {
      r = std::min(r, iHi);
      if (r <= finished) return;
      filterTo(r + lag);
      finish(finished, r);
      finished = r;
    };
    // Laying pixel row pr reads its winners and the admissions of block
    // rows pr-1..pr+1.
    const std::function<void(int)> ready = [&](int pr) { finishTo(pr + 2); };
    const int lo = layLo(i), hi = layHi(i + 1);
    if (lo < hi) update.lay(lo, hi, worker, &ready);
    finishTo(iHi);
    filterTo(fHi);
    searchTo(b1);
  };
  auto seam = [&](int i, int worker) {  // between band i-1 and band i
    coherenceRows(ctx, labels, spare, filterHi(i), filterLo(i), ws.worker(worker).columns);
    finish(finishHi(i), finishLo(i));
    update.lay(layHi(i), layLo(i), worker);
  };

  runTasks(ctx.pool, bands, band);
  runTasks(ctx.pool, bands - 1, [&](int i, int worker) { seam(i + 1, worker); });
}

void detectionPass(const PassContext& ctx, Workspace& ws, const FloatPlanes& frame,
                   const FloatPlanes& current, LabelMask& labels, std::vector<int>& matchRow,
                   std::vector<int>& matchCol) {
  assert(labels.size() >= ctx.g.pixels());
  assert(matchRow.size() >= ctx.g.pixels() && matchCol.size() >= ctx.g.pixels());
  const int W = ctx.g.W, n = ctx.g.n;
  const ShadowPrefilter shadows(ctx.params);
  std::uint8_t* nearest = ctx.adapt.nearest != nullptr ? ws.nearest(ctx.g.pixels()) : nullptr;
  const SearchExtras extras{ctx.adapt.threshold, ctx.adapt.nearest, nearest};
  forRowBands(ctx.pool, ctx.roi.firstRoiRow, ctx.g.H, [&](int rBegin, int rEnd, int worker) {
    std::vector<std::uint8_t>& codes = ws.worker(worker).row;
    codes.resize(static_cast<std::size_t>(W));
    for (int r = rBegin; r < rEnd; ++r) {
      searchRow(ctx, frame, current, r, ctx.params.e2, codes.data(), extras);
      for (int c = 0; c < W; ++c) {
        const int o = codes[static_cast<std::size_t>(c)];
        if (o == kOutside) continue;
        const std::size_t p = static_cast<std::size_t>(r) * W + c;
        int wr = r * n + o / n, wc = c * n + o % n;
        if (o == kNoMatch) {
          wr = wc = -1;
          labels[p] = ctx.params.shadowRemoval != 0 &&
                              shadows.match(coneAt(frame, p), current, W, r, c, n, wr, wc)
                          ? 85
                          : 255;
          // With the adaptive mode an unmatched pixel keeps its nearest cell.
          if (labels[p] == 255 && nearest != nullptr && nearest[p] != kNoMatch)
            wr = r * n + nearest[p] / n, wc = c * n + nearest[p] % n;
        } else {
          labels[p] = 0;
        }
        matchRow[p] = wr;
        matchCol[p] = wc;
      }
    }
  });
}

void updatePass(const PassContext& ctx, Workspace& ws, const FloatPlanes& frame,
                const FloatPlanes& current, const LabelMask& labels, const AlphaTable& alpha,
                const std::vector<int>& matchRow, const std::vector<int>& matchCol,
                FloatPlanes& next) {
  assert(labels.size() >= ctx.g.pixels());
  assert(matchRow.size() >= ctx.g.pixels() && matchCol.size() >= ctx.g.pixels());
  const OnlineUpdate update(ctx, ws, frame, current, alpha, next);
  const int first = firstUpdateRow(ctx.roi);
  forRowBands(ctx.pool, first, ctx.g.H, [&](int rBegin, int rEnd, int) {
    update.winners(labels, matchRow, matchCol, rBegin, rEnd);
  });
  forRowBands(ctx.pool, first, ctx.g.H,
              [&](int rBegin, int rEnd, int worker) { update.lay(rBegin, rEnd, worker); });
}

}  // namespace fast
