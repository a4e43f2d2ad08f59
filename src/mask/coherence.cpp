// Spatial coherence filter: each ROI pixel's label is replaced by
// coherenceRule(background count of its window, class threshold, label).
//
// Meaning: windowFor3x3 / windowFor5x5 give, for one pixel, the clipped
// window and the threshold of its class, straight from the tables of
// its class, and filterAt counts that window afresh. Speed: the interior
// pixels of a row (the only class with a full window) are counted by
// countInterior with fixed offsets and no class tests; its window and
// threshold are those that windowFor* gives for every interior pixel, so the
// bytes are the same. All reads come from `in`, all writes go to ROI pixels
// of `out`.
#include <cassert>
#include <cstddef>
#include <cstdint>

#include "core/workers.h"
#include "mask/mask.h"

namespace {

// Labels below this value (0 and 85) count as background in a window.
constexpr std::uint8_t kForegroundCleared = 170;
constexpr std::uint8_t kShadow = 85;
constexpr std::uint8_t kForeground = 255;

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

// Background count of the full (2d+1) x (2d+1) window centred on `centre`.
template <int d>
int countInterior(const std::uint8_t* centre, std::ptrdiff_t W) {
  int count = 0;
  for (int dr = -d; dr <= d; ++dr) {
    const std::uint8_t* row = centre + dr * W;
    for (int dc = -d; dc <= d; ++dc) count += row[dc] < kForegroundCleared ? 1 : 0;
  }
  return count;
}

// d is the window radius (1 or 2); interiorThreshold the threshold of the
// full window; windowOf the class table for every other pixel. Rows run in
// bands on the context's workers: every write is to the pixel's own byte.
template <int d, typename WindowOf>
void runFilter(const PassContext& ctx, const LabelMask& in, LabelMask& out,
               int interiorThreshold, WindowOf windowOf) {
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

  forRowBands(ctx.pool, 0, H, [&](int rBegin, int rEnd) {
    for (int r = rBegin; r < rEnd; ++r) {
      const bool interiorRow = r >= d && r <= H - 1 - d;
      if (!interiorRow || W < 2 * d + 1) {
        for (int c = 0; c < W; ++c) filterAt(r, c);
        continue;
      }
      for (int c = 0; c < d; ++c) filterAt(r, c);
      const std::size_t rowStart = static_cast<std::size_t>(r) * W;
      for (int c = d; c <= W - 1 - d; ++c) {
        const std::size_t k = rowStart + c;
        if (inside[k] == 0) continue;
        dst[k] = coherenceRule(countInterior<d>(src + k, W), interiorThreshold, src[k]);
      }
      for (int c = W - d; c < W; ++c) filterAt(r, c);
    }
  });
}

}  // namespace

std::uint8_t coherenceRule(int count, int threshold, std::uint8_t label) {
  if (label == kShadow) return kShadow;
  if (count <= threshold) return kForeground;
  return label == kForeground ? kForegroundCleared : label;
}

void coherenceFilter3x3(const PassContext& ctx, const LabelMask& in, LabelMask& out) {
  const int H = ctx.g.H, W = ctx.g.W;
  runFilter<1>(ctx, in, out, 4, [H, W](int r, int c) { return windowFor3x3(r, c, H, W); });
}

void coherenceFilter5x5(const PassContext& ctx, const LabelMask& in, LabelMask& out) {
  const int H = ctx.g.H, W = ctx.g.W;
  runFilter<2>(ctx, in, out, 12, [H, W](int r, int c) { return windowFor5x5(r, c, H, W); });
}

void coherenceFilter(const PassContext& ctx, const LabelMask& in, LabelMask& out) {
  if (ctx.params.Cw == 5)
    coherenceFilter5x5(ctx, in, out);
  else
    coherenceFilter3x3(ctx, in, out);
}
