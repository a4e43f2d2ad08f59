// One online frame with the fast passes interleaved by bands of rows, so
// that the update reads each block row of the model shortly after the
// search has, while it is still in cache, and the frame needs two barriers
// instead of four.
//
// Within a band [b0, b1) the search runs ahead; the coherence filter takes a
// row once the rows two above and below it are searched; the winners of a
// row are recorded once its label is final; and the update lays block row R
// once pixel row R+1 is laid (gather.h). Rows whose windows reach into the
// next band (two for the filter, one more for the update) cannot be
// finished inside the band: they are done after every band has been, seam
// by seam. Every row is searched, filtered and recorded exactly once, and
// every block row updated exactly once, each from the same inputs as in the
// separate passes, so the result is theirs for any number of bands.
#include <algorithm>
#include <functional>
#include <vector>

#include "core/workers.h"
#include "engine/engine.h"
#include "mask/mask.h"
#include "model/passes_select.h"

namespace {

// The filter's reach in rows (the 5x5 windows; the 3x3 ones reach less).
constexpr int kReach = 2;

}  // namespace

void onlineStep(const PassContext& ctx, const FloatPlanes& frame, FloatPlanes& model,
                LabelMask& labels, LabelMask& spare, const AlphaTable& alpha) {
  const int H = ctx.g.H;
  const int bands = bandCount(ctx.pool, H);
  const std::vector<int> edge = bandEdges(H, bands);
  const fast::OnlineUpdate update(ctx, frame, model, alpha, model);

  // The rows a band finishes alone: filtered and recorded [filterLo,
  // filterHi), updated [layLo, layHi).
  auto filterLo = [&](int i) { return i == 0 ? 0 : edge[i] + kReach; };
  auto filterHi = [&](int i) { return i == bands ? H : edge[i] - kReach; };
  auto layLo = [&](int i) { return i == 0 ? 0 : edge[i] + kReach + 1; };
  auto layHi = [&](int i) { return i == bands ? H : edge[i] - kReach - 1; };

  auto band = [&](int i) {
    const int b0 = edge[i], b1 = edge[i + 1];
    const int fLo = filterLo(i), fHi = filterHi(i + 1);
    int searched = b0, filtered = fLo;
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
      coherenceRows(ctx, labels, spare, filtered, r);
      update.winners(spare, filtered, r);
      filtered = r;
    };
    // Laying pixel row pr reads its winners and the admissions of block
    // rows pr-1..pr+1.
    const std::function<void(int)> ready = [&](int pr) { filterTo(pr + 2); };
    const int lo = layLo(i), hi = layHi(i + 1);
    if (lo < hi) update.lay(lo, hi, &ready);
    filterTo(fHi);
    searchTo(b1);
  };
  auto seam = [&](int i) {  // between band i-1 and band i
    coherenceRows(ctx, labels, spare, filterHi(i), filterLo(i));
    update.winners(spare, filterHi(i), filterLo(i));
    update.lay(layHi(i), layLo(i));
  };

  runTasks(ctx.pool, bands, band);
  runTasks(ctx.pool, bands - 1, [&](int i) { seam(i + 1); });
}
