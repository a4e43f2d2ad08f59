// Spatial coherence filter: each ROI pixel's label is replaced by
// coherenceRule(background count of its window, class threshold, label).
//
// Meaning: windowFor3x3 / windowFor5x5 give, for one pixel, the clipped
// window and the threshold of its class, straight from the tables of
// its class, and filterAt counts that window afresh. Speed: the interior
// pixels of a row (the only class with a full window) are counted by
// filterInteriorRow with column sums and no class tests; its window and
// threshold are those that windowFor* gives for every interior pixel, so the
// bytes are the same. All reads come from `in`, all writes go to ROI pixels
// of `out`.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/workers.h"
#include "mask/mask.h"

namespace {

// Labels below this value (0 and 85) count as background in a window.
constexpr std::uint8_t kForegroundCleared = 170;

// Inclusive window bounds and the class threshold of one pixel.
struct Window {
  int r0, r1, c0, c1;
  int threshold;
};

// Position of a row (or column) relative to the frame's edges, as the class
// class tables tell them apart.
enum class Zone { First, Second, Middle, SecondToLast, Last };

Zone zone5(int i, int len) {
  if (i == 0) return Zone::First;
  if (i == len - 1) return Zone::Last;
  if (i == 1) return Zone::Second;
  if (i == len - 2) return Zone::SecondToLast;
  return Zone::Middle;
}

int clampLow(int i) { return i < 0 ? 0 : i; }
int clampHigh(int i, int len) { return i > len - 1 ? len - 1 : i; }

// Window r-d..r+d x c-d..c+d clipped to the frame. For frames of at least
// minFrameSide this is exactly the window of each table row below; for
// smaller frames (refused by the driver) the clipping keeps every read
// inside the frame.
Window clipped(int r, int c, int d, int H, int W, int threshold) {
  return Window{clampLow(r - d), clampHigh(r + d, H), clampLow(c - d), clampHigh(c + d, W),
                threshold};
}

// 3x3 table: interior 9 cells / 4; border rows and columns 6 / 2; corners
// (2x2 windows) 4 / 1. Each window is the 3x3 block clipped at the border.
Window windowFor3x3(int r, int c, int H, int W) {
  const int edges = (r == 0 || r == H - 1 ? 1 : 0) + (c == 0 || c == W - 1 ? 1 : 0);
  static constexpr int kThreshold[3] = {4, 2, 1};  // by number of frame edges touched
  return clipped(r, c, 1, H, W, kThreshold[edges]);
}

// 5x5 table: interior 25 / 12; first and last rows and columns 15 / 6;
// second and second-to-last rows and columns 20 / 9 (each the 5x5 block
// clipped at the border). The corners and the twelve pixels beside them
// (both row and column within two of an edge) take the 3x3 rule of their
// position: for the corners that is the table's own 2x2 window with
// threshold 1; the twelve others the table leaves undefined.
Window windowFor5x5(int r, int c, int H, int W) {
  const Zone rz = zone5(r, H);
  const Zone cz = zone5(c, W);
  if (rz != Zone::Middle && cz != Zone::Middle) return windowFor3x3(r, c, H, W);
  const Zone edge = rz != Zone::Middle ? rz : cz;
  int threshold = 12;
  if (edge == Zone::First || edge == Zone::Last) threshold = 6;
  if (edge == Zone::Second || edge == Zone::SecondToLast) threshold = 9;
  return clipped(r, c, 2, H, W, threshold);
}

int countBackground(const std::uint8_t* in, int W, const Window& w) {
  int count = 0;
  for (int r = w.r0; r <= w.r1; ++r) {
    const std::uint8_t* row = in + static_cast<std::size_t>(r) * W;
    for (int c = w.c0; c <= w.c1; ++c) count += row[c] < kForegroundCleared ? 1 : 0;
  }
  return count;
}

// The interior pixels of row r, whose windows are full: background counts
// per column over the window's rows first, then summed across, written so
// the compiler can vectorise both. `columns` holds W counts.
template <int d>
void filterInteriorRow(const std::uint8_t* src, std::uint8_t* dst, const std::uint8_t* inside,
                       int W, int r, int threshold, std::uint8_t* columns) {
  const std::uint8_t* top = src + static_cast<std::size_t>(r - d) * W;
  for (int c = 0; c < W; ++c) {
    std::uint8_t count = 0;
    for (int dr = 0; dr <= 2 * d; ++dr)
      count = static_cast<std::uint8_t>(count + (top[dr * W + c] < kForegroundCleared ? 1 : 0));
    columns[c] = count;
  }
  const std::size_t row = static_cast<std::size_t>(r) * W;
  for (int c = d; c <= W - 1 - d; ++c) {
    std::uint8_t count = 0;
    for (int dc = -d; dc <= d; ++dc) count = static_cast<std::uint8_t>(count + columns[c + dc]);
    const std::uint8_t v = coherenceRule(count, threshold, src[row + c]);
    dst[row + c] = inside[row + c] != 0 ? v : dst[row + c];
  }
}

// Rows [rBegin, rEnd) of the filter. d is the window radius (1 or 2);
// interiorThreshold the threshold of the full window; windowOf the class
// table for every other pixel. Every write is to the pixel's own byte.
template <int d, typename WindowOf>
void filterRows(const PassContext& ctx, const LabelMask& in, LabelMask& out,
                int interiorThreshold, WindowOf windowOf, int rBegin, int rEnd,
                std::vector<std::uint8_t>& columns) {
  const int H = ctx.g.H, W = ctx.g.W;
  const RoiMask& roi = ctx.roi;
  const std::size_t N = static_cast<std::size_t>(W) * H;
  assert(in.size() >= N && out.size() >= N && roi.bytes.size() >= N);
  (void)N;
  const std::uint8_t* src = in.data();
  std::uint8_t* dst = out.data();
  const std::uint8_t* inside = roi.bytes.data();

  auto filterAt = [&](int r, int c) {
    const std::size_t k = static_cast<std::size_t>(r) * W + c;
    if (inside[k] == 0) return;
    const Window w = windowOf(r, c);
    dst[k] = coherenceRule(countBackground(src, W, w), w.threshold, src[k]);
  };

  if (columns.size() < static_cast<std::size_t>(W)) columns.resize(W);
  for (int r = rBegin; r < rEnd; ++r) {
    const bool interiorRow = r >= d && r <= H - 1 - d;
    if (!interiorRow || W < 2 * d + 1) {
      for (int c = 0; c < W; ++c) filterAt(r, c);
      continue;
    }
    for (int c = 0; c < d; ++c) filterAt(r, c);
    filterInteriorRow<d>(src, dst, inside, W, r, interiorThreshold, columns.data());
    for (int c = W - d; c < W; ++c) filterAt(r, c);
  }
}

void coherenceRows3x3(const PassContext& ctx, const LabelMask& in, LabelMask& out, int rBegin,
                      int rEnd, std::vector<std::uint8_t>& columns) {
  const int H = ctx.g.H, W = ctx.g.W;
  filterRows<1>(ctx, in, out, 4, [H, W](int r, int c) { return windowFor3x3(r, c, H, W); }, rBegin,
                rEnd, columns);
}

void coherenceRows5x5(const PassContext& ctx, const LabelMask& in, LabelMask& out, int rBegin,
                      int rEnd, std::vector<std::uint8_t>& columns) {
  const int H = ctx.g.H, W = ctx.g.W;
  filterRows<2>(ctx, in, out, 12, [H, W](int r, int c) { return windowFor5x5(r, c, H, W); },
                rBegin, rEnd, columns);
}

using RowsFn = void (*)(const PassContext&, const LabelMask&, LabelMask&, int, int,
                        std::vector<std::uint8_t>&);

void byBands(const PassContext& ctx, const LabelMask& in, LabelMask& out, RowsFn rows) {
  forRowBands(ctx.pool, 0, ctx.g.H, [&](int rBegin, int rEnd, int) {
    std::vector<std::uint8_t> columns;
    rows(ctx, in, out, rBegin, rEnd, columns);
  });
}

}  // namespace

void coherenceRows(const PassContext& ctx, const LabelMask& in, LabelMask& out, int rBegin,
                   int rEnd, std::vector<std::uint8_t>& columns) {
  if (ctx.params.Cw == 5)
    coherenceRows5x5(ctx, in, out, rBegin, rEnd, columns);
  else
    coherenceRows3x3(ctx, in, out, rBegin, rEnd, columns);
}

void coherenceFilter3x3(const PassContext& ctx, const LabelMask& in, LabelMask& out) {
  byBands(ctx, in, out, coherenceRows3x3);
}

void coherenceFilter5x5(const PassContext& ctx, const LabelMask& in, LabelMask& out) {
  byBands(ctx, in, out, coherenceRows5x5);
}

void coherenceFilter(const PassContext& ctx, const LabelMask& in, LabelMask& out) {
  byBands(ctx, in, out, coherenceRows);
}
