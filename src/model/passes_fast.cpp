// Faster passes, bit-identical to reference:: in passes.cpp, spread over
// the context's workers.
//
// Search: the same float expressions in the same order as the reference,
// with the bookkeeping simplified:
//  - the block scan is inlined, and the centre's distance is taken from the
//    scan (the same float expression on the same inputs, so the same bits as
//    recomputing it);
//  - the scan keeps the running minimum and its position without branches:
//    the reference records the first cell attaining the block's minimum, and
//    only when that minimum is below 100 and within the threshold (a NaN
//    distance never lowers the minimum), so the search finds that minimum
//    first and then decides;
//  - for n = 3 the nine distances are computed four lanes at a time with
//    SSE2, each lane the same float operations in the same order;
//  - the shadow fallback, which runs only when nothing is within the
//    threshold, calls the reference findShadowMatch.
//
// Update, in gather form. In the reference a window covers cells of the
// winner's own block and of the eight blocks around it (h = n/2 < n), every
// blend reads the model as it was at the start of the frame, and a cell
// ends with the blend of the last window in raster order that covered it
// and passed the owner test. So each block can be finished on its own:
// collect, in raster order, the windows of the block's pixel and of its
// eight neighbours that reach into it and may write it, let the later ones
// overwrite the earlier ones in a small map of the block, and blend each
// cell once. The owner test for a window of pixel p on the block of pixel q:
//  - online: labels[q] is 0 (the labels do not change during the pass);
//  - calibration: labels[q] changes during the sweep: it is its value
//    before the pass (L0) until q is visited, 0 during q's own update and
//    85 or 255 afterwards; pixels outside the ROI are never relabelled. So
//    p == q always writes; an earlier p writes iff L0[q] is 0; a later p
//    writes iff q is outside the ROI and L0[q] is 0.
// The blend reads only the cell it writes, so with all searches done first
// (they read only their own block) the update can be made in place:
// `current` and `next` may be the same planes, and the frame needs one
// model and no copy. The blend keeps the reference expression, (1 - a)
// formed once per cell in double and (1 - a) * current + a * x rounded to
// float once.
//
// Every stage writes only its own pixels or its own block, so the row bands
// run on any number of threads with the same result.
#include <algorithm>
#include <cassert>
#include <cstdint>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#define SCVARDO_PASSES_SSE2 1
#endif

#include "core/workers.h"
#include "model/model.h"
#include "model/passes_select.h"
#include "model/simd.h"

namespace fast {
namespace {

struct ModelView {
  const float* x;
  const float* y;
  const float* v;
  BlockScanFn scan;  // the block scan for the CPU
};

// The helpers take the block side as a template argument N when it is known
// at compile time (the supported sides), or N = 0 and the runtime n.
template <int N>
inline int side(int n) {
  return N == 0 ? n : N;
}

// The shadow fallback, taken when nothing is within the threshold.
inline MatchResult noMatch(float px, float py, float pv, const FloatPlanes& model, int W, int r,
                           int c, int n, const RunParams& params, int& outRow, int& outCol) {
  outRow = -1;
  outCol = -1;
  if (params.shadowRemoval != 0) {
    const ConeColor p{px, py, pv};
    if (findShadowMatch(p, model, W, r, c, n, outRow, outCol, params)) return ShadowMatch;
  }
  return NoMatch;
}

// findBestMatch without the call overhead. Writes the winner to outRow and
// outCol (-1, -1 for NoMatch).
template <int N>
inline MatchResult bestMatch(float px, float py, float pv, const ModelView& m,
                             const FloatPlanes& model, int W, int r, int c, int nRuntime,
                             std::size_t modelW, float threshold, const RunParams& params,
                             int& outRow, int& outCol) {
  const int n = side<N>(nRuntime);
  const int h = n / 2;
  const int row0 = r * n;
  const int col0 = c * n;
  const std::size_t base = static_cast<std::size_t>(row0) * modelW + col0;
  const BlockScan scan = m.scan(m.x + base, m.y + base, m.v + base, modelW, n, px, py, pv);
  const float minDist = scan.minDist, centreDist = scan.centreDist;
  const int minAt = scan.minAt;
  if (minAt >= 0 && minDist <= threshold) {
    if (centreDist <= minDist) {
      outRow = row0 + h;
      outCol = col0 + h;
    } else {
      outRow = row0 + minAt / n;
      outCol = col0 + minAt % n;
    }
    return Match;
  }
  return noMatch(px, py, pv, model, W, r, c, n, params, outRow, outCol);
}

#ifdef SCVARDO_PASSES_SSE2
// bestMatch for n = 3, one block row per vector. Lane 3 holds the first cell
// of the next block (or of the next model row) and is ignored, so the last
// pixel of the last row, whose lane 3 would lie past the planes, must not
// come here.
inline MatchResult bestMatch3(float px, float py, float pv, const ModelView& m,
                              const FloatPlanes& model, int W, int r, int c, std::size_t modelW,
                              float threshold, const RunParams& params, int& outRow, int& outCol) {
  const __m128 PX = _mm_set1_ps(px);
  const __m128 PY = _mm_set1_ps(py);
  const __m128 PV = _mm_set1_ps(pv);
  const int row0 = r * 3;
  const int col0 = c * 3;
  __m128 d[3];
  for (int i = 0; i < 3; ++i) {
    const std::size_t base = static_cast<std::size_t>(row0 + i) * modelW + col0;
    const __m128 dx = _mm_sub_ps(_mm_loadu_ps(m.x + base), PX);
    const __m128 dy = _mm_sub_ps(_mm_loadu_ps(m.y + base), PY);
    const __m128 dv = _mm_sub_ps(_mm_loadu_ps(m.v + base), PV);
    const __m128 sx = _mm_mul_ps(dx, dx);
    const __m128 sy = _mm_mul_ps(dy, dy);
    const __m128 sv = _mm_mul_ps(dv, dv);
    const __m128 sxy = _mm_add_ps(sx, sy);
    d[i] = _mm_add_ps(sxy, sv);
  }
  // minps(a, b) is a < b ? a : b, so a NaN distance leaves the running value:
  // per lane, the least non-NaN distance below 100, else 100.
  __m128 low = _mm_set1_ps(100.0f);
  low = _mm_min_ps(d[0], low);
  low = _mm_min_ps(d[1], low);
  low = _mm_min_ps(d[2], low);
  // Lanes 0..2 hold no NaN, so their order does not matter.
  const __m128 l1 = _mm_shuffle_ps(low, low, _MM_SHUFFLE(1, 1, 1, 1));
  const __m128 l2 = _mm_shuffle_ps(low, low, _MM_SHUFFLE(2, 2, 2, 2));
  const float minDist = _mm_cvtss_f32(_mm_min_ss(_mm_min_ss(low, l1), l2));
  if (minDist < 100.0f && minDist <= threshold) {
    const float centreDist = _mm_cvtss_f32(_mm_shuffle_ps(d[1], d[1], _MM_SHUFFLE(1, 1, 1, 1)));
    if (centreDist <= minDist) {
      outRow = row0 + 1;
      outCol = col0 + 1;
    } else {
      // The first cell in scan order equal to the minimum.
      const __m128 M = _mm_set1_ps(minDist);
      const int hits = (_mm_movemask_ps(_mm_cmpeq_ps(d[0], M)) & 7) |
                       (_mm_movemask_ps(_mm_cmpeq_ps(d[1], M)) & 7) << 3 |
                       (_mm_movemask_ps(_mm_cmpeq_ps(d[2], M)) & 7) << 6;
      const int at = __builtin_ctz(static_cast<unsigned>(hits));
      outRow = row0 + at / 3;
      outCol = col0 + at % 3;
    }
    return Match;
  }
  return noMatch(px, py, pv, model, W, r, c, 3, params, outRow, outCol);
}
#endif

// The pixel's block search: the vector form where it applies.
template <int N>
inline MatchResult searchBlock(float px, float py, float pv, const ModelView& m,
                               const FloatPlanes& model, int H, int W, int r, int c, int n,
                               std::size_t modelW, float threshold, const RunParams& params,
                               int& outRow, int& outCol) {
#ifdef SCVARDO_PASSES_SSE2
  if (N == 3 && (c + 1 < W || r + 1 < H))
    return bestMatch3(px, py, pv, m, model, W, r, c, modelW, threshold, params, outRow, outCol);
#else
  (void)H;
#endif
  return bestMatch<N>(px, py, pv, m, model, W, r, c, n, modelW, threshold, params, outRow, outCol);
}

struct Planes3 {
  const float* x;
  const float* y;
  const float* v;
};

struct OutPlanes3 {
  float* x;
  float* y;
  float* v;
  BlendRowFn blend;  // the row blend for the CPU
};

// The largest block side the gather handles (one 16-bit mask per block row).
constexpr int kMaxSide = 15;

// Per pixel, what the update needs from the search: the winner's offset
// i*n + j in the pixel's block when the pixel's window is to be laid, else
// one of these (calibration tells shadow from no match for the label).
constexpr std::uint8_t kOutside = 0xFD;
constexpr std::uint8_t kShadow = 0xFE;
constexpr std::uint8_t kNoMatch = 0xFF;

// Which neighbouring blocks a window reaches, by winner offset: the window
// spans h cells on each side, so it leaves its block upwards when i < h and
// so on; only the centre keeps it inside. 0 for the codes above.
enum Reach : std::uint8_t { kUp = 1, kDown = 2, kLeft = 4, kRight = 8 };
struct ReachTable {
  std::uint8_t of[256] = {};
  explicit ReachTable(int n) {
    const int h = n / 2;
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j)
        of[i * n + j] = static_cast<std::uint8_t>((i < h ? kUp : 0) | (i > h ? kDown : 0) |
                                                  (j < h ? kLeft : 0) | (j > h ? kRight : 0));
  }
};

// Blends cells (i, j) of block (R, C), i in i0..i1, j in j0..j1, towards x
// with the window whose winner is block cell (wi, wj) (offsets may lie
// outside 0..n-1 for a neighbour's winner).
template <int N>
inline void blendRect(int nRuntime, std::size_t modelW, int row0, int col0, int i0, int i1, int j0,
                      int j1, int wi, int wj, const double x[3], const AlphaTable& alpha,
                      const Planes3& cur, const OutPlanes3& nxt) {
  const int h = side<N>(nRuntime) / 2;
  const float* const in[3] = {cur.x, cur.y, cur.v};
  float* const out[3] = {nxt.x, nxt.y, nxt.v};
  for (int i = i0; i <= i1; ++i) {
    const std::size_t base = static_cast<std::size_t>(row0 + i) * modelW + col0;
    const float* arow = alpha[i - wi + h] - wj + h;
    if (j1 - j0 >= 3) {  // four cells or more: the vector form
      nxt.blend(arow + j0, j1 - j0 + 1, in, out, base + j0, x);
      continue;
    }
    for (int j = j0; j <= j1; ++j) {
      const float a = arow[j];
      const double oneMinusA = 1.0 - a;
      const double ad = a;
      const std::size_t c = base + j;
      nxt.x[c] = static_cast<float>(oneMinusA * cur.x[c] + ad * x[0]);
      nxt.y[c] = static_cast<float>(oneMinusA * cur.y[c] + ad * x[1]);
      nxt.v[c] = static_cast<float>(oneMinusA * cur.v[c] + ad * x[2]);
    }
  }
}

// Finishes the block of pixel (R, C): each cell takes the blend of the last
// window in raster order that covers it, among the windows of the block's
// pixel and its eight neighbours. `reach` holds each pixel's Reach bits in
// rows of W + 2 with a zero border, so that the neighbours are read without
// bounds tests. `permitted` has bit (dr + 1) * 3 + dc + 1 set when the window
// of the pixel at offset (dr, dc) may write this block.
template <int N>
inline void gatherBlock(int R, int C, int W, int nRuntime, std::size_t modelW, const Planes3& cur,
                        const OutPlanes3& nxt, const Planes3& frame, const AlphaTable& alpha,
                        const std::uint8_t* code, const std::uint8_t* reach, unsigned permitted) {
  const int n = side<N>(nRuntime);
  const int h = n / 2;
  const int row0 = R * n, col0 = C * n;
  const std::size_t q = static_cast<std::size_t>(R) * W + C;
  auto colour = [&](std::size_t p, double x[3]) {
    x[0] = frame.x[p];
    x[1] = frame.y[p];
    x[2] = frame.v[p];
  };
  // Neighbours whose windows enter this block, as bits in raster order: a
  // neighbour above must reach down, one to the left must reach right, ...
  const std::size_t stride = static_cast<std::size_t>(W) + 2;
  const std::uint8_t* up = reach + static_cast<std::size_t>(R) * stride + C;
  const std::uint8_t* mid = up + stride;
  const std::uint8_t* down = mid + stride;
  auto enters = [](std::uint8_t bits, unsigned need, int k) {
    return static_cast<unsigned>((bits & need) == need) << k;
  };
  unsigned entering = enters(up[0], kDown | kRight, 0) | enters(up[1], kDown, 1) |
                      enters(up[2], kDown | kLeft, 2) | enters(mid[0], kRight, 3) |
                      enters(mid[2], kLeft, 5) | enters(down[0], kUp | kRight, 6) |
                      enters(down[1], kUp, 7) | enters(down[2], kUp | kLeft, 8);
  entering &= permitted;
  const std::uint8_t own = code[q];
  const bool ownWrites = own < n * n && (permitted >> 4 & 1u) != 0;
  if (entering == 0) {
    if (!ownWrites) return;
    // The common case: the pixel's own window alone, clipped to its block.
    double x[3];
    colour(q, x);
    const int wi = own / n, wj = own % n;
    blendRect<N>(n, modelW, row0, col0, std::max(wi - h, 0), std::min(wi + h, n - 1),
                 std::max(wj - h, 0), std::min(wj + h, n - 1), wi, wj, x, alpha, cur, nxt);
    return;
  }
  if (ownWrites) entering |= 1u << 4;
  // The last window in raster order wins a cell: take the windows from the
  // last to the first and blend only the cells no later window has taken.
  // Each cell is read before it is written, so in place is fine.
  std::uint16_t taken[N == 0 ? 15 : N] = {};
  for (int k = 8; k >= 0; --k) {
    if ((entering >> k & 1u) == 0) continue;
    const int dr = k / 3 - 1, dc = k % 3 - 1;
    const std::size_t p = static_cast<std::size_t>(R + dr) * W + (C + dc);
    const int wi = dr * n + code[p] / n, wj = dc * n + code[p] % n;
    const double x[3] = {frame.x[p], frame.y[p], frame.v[p]};
    const int i0 = std::max(wi - h, 0), i1 = std::min(wi + h, n - 1);
    const int j0 = std::max(wj - h, 0), j1 = std::min(wj + h, n - 1);
    const unsigned cols = ((1u << (j1 - j0 + 1)) - 1u) << j0;
    for (int i = i0; i <= i1; ++i) {
      unsigned fresh = cols & ~static_cast<unsigned>(taken[i]);
      taken[i] = static_cast<std::uint16_t>(taken[i] | cols);
      if (fresh == cols) {
        blendRect<N>(n, modelW, row0, col0, i, i, j0, j1, wi, wj, x, alpha, cur, nxt);
        continue;
      }
      for (; fresh != 0; fresh &= fresh - 1) {
        const int j = __builtin_ctz(fresh);
        blendRect<N>(n, modelW, row0, col0, i, i, j, j, wi, wj, x, alpha, cur, nxt);
      }
    }
  }
}

// First block row a window can reach: the one above the first ROI row.
inline int firstUpdateRow(const RoiMask& roi) { return std::max(roi.firstRoiRow - 1, 0); }

// Per-pass buffers, kept between frames to avoid reallocating: a code byte
// per pixel (kOutside to start with) and the Reach bits per pixel with a
// zero border (see gatherBlock).
struct PassBuffers {
  std::uint8_t* code;
  std::uint8_t* reach;
  std::size_t stride;

  std::uint8_t& reachAt(int r, int c) const { return reach[(r + 1) * stride + c + 1]; }
};
inline PassBuffers passBuffers(int W, int H) {
  static thread_local std::vector<std::uint8_t> code, reach;
  code.assign(static_cast<std::size_t>(W) * H, kOutside);
  reach.assign(static_cast<std::size_t>(W + 2) * (H + 2), 0);
  return PassBuffers{code.data(), reach.data(), static_cast<std::size_t>(W) + 2};
}

template <int N>
void calibrationPassN(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                      LabelMask& labels, const AlphaTable& alpha, FloatPlanes& next) {
  const int H = ctx.g.H, W = ctx.g.W, n = ctx.g.n;
  const RoiMask& roi = ctx.roi;
  const RunParams& params = ctx.params;
  assert(labels.size() >= ctx.g.pixels() && alpha.n == n);
  assert(N == 0 ? n <= kMaxSide : n == N);
  const ModelView cur{current[0], current[1], current[2], blockScan()};
  const Planes3 curIn{current[0], current[1], current[2]};
  const OutPlanes3 nxt{next[0], next[1], next[2], blendRow()};
  const Planes3 fr{frame[0], frame[1], frame[2]};
  const std::size_t modelW = static_cast<std::size_t>(n) * W;
  const PassBuffers buf = passBuffers(W, H);
  std::uint8_t* code = buf.code;
  const ReachTable reach(n);
  const std::uint8_t* inRoi = roi.bytes.data();

  // Every search first: each reads only its own block, which the update
  // below may already rewrite in place.
  forRowBands(ctx.pool, roi.firstRoiRow, H, [&](int rBegin, int rEnd) {
    for (int r = rBegin; r < rEnd; ++r)
      for (int c = 0; c < W; ++c) {
        const std::size_t p = static_cast<std::size_t>(r) * W + c;
        if (inRoi[p] == 0) continue;
        int wr, wc;
        const MatchResult res = searchBlock<N>(fr.x[p], fr.y[p], fr.v[p], cur, current, H, W, r, c,
                                               n, modelW, params.e1, params, wr, wc);
        code[p] = res == Match         ? static_cast<std::uint8_t>((wr - r * n) * n + (wc - c * n))
                  : res == ShadowMatch ? kShadow
                                       : kNoMatch;
        buf.reachAt(r, c) = reach.of[code[p]];
      }
  });

  std::uint8_t* lab = labels.data();
  forRowBands(ctx.pool, firstUpdateRow(roi), H, [&](int rBegin, int rEnd) {
    for (int R = rBegin; R < rEnd; ++R)
      for (int C = 0; C < W; ++C) {
        const std::size_t q = static_cast<std::size_t>(R) * W + C;
        const bool qInRoi = inRoi[q] != 0;
        const bool open = lab[q] == 0;  // its label before the pass; only this block writes it
        // Own window always; earlier pixels' while the block was open;
        // later pixels' only outside the ROI (see the top of this file).
        const unsigned permitted = 1u << 4 | (open ? 0x0Fu : 0u) | (open && !qInRoi ? 0x1E0u : 0u);
        gatherBlock<N>(R, C, W, n, modelW, curIn, nxt, fr, alpha, code, buf.reach, permitted);
        if (qInRoi) lab[q] = code[q] == kNoMatch ? 255 : 85;
      }
  });
}

template <int N>
void detectionPassN(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                    LabelMask& labels, std::vector<int>& matchRow, std::vector<int>& matchCol) {
  const int H = ctx.g.H, W = ctx.g.W, n = ctx.g.n;
  const RoiMask& roi = ctx.roi;
  const RunParams& params = ctx.params;
  assert(labels.size() >= ctx.g.pixels());
  assert(matchRow.size() >= ctx.g.pixels() && matchCol.size() >= ctx.g.pixels());
  const ModelView cur{current[0], current[1], current[2], blockScan()};
  const Planes3 fr{frame[0], frame[1], frame[2]};
  const std::size_t modelW = static_cast<std::size_t>(n) * W;
  const std::uint8_t* inRoi = roi.bytes.data();
  std::uint8_t* lab = labels.data();
  int* mrow = matchRow.data();
  int* mcol = matchCol.data();
  forRowBands(ctx.pool, roi.firstRoiRow, H, [&](int rBegin, int rEnd) {
    for (int r = rBegin; r < rEnd; ++r)
      for (int c = 0; c < W; ++c) {
        const std::size_t p = static_cast<std::size_t>(r) * W + c;
        if (inRoi[p] == 0) continue;
        const MatchResult res = searchBlock<N>(fr.x[p], fr.y[p], fr.v[p], cur, current, H, W, r, c,
                                               n, modelW, params.e2, params, mrow[p], mcol[p]);
        lab[p] = res == Match ? 0 : res == ShadowMatch ? 85 : 255;
      }
  });
}

template <int N>
void updatePassN(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                 const LabelMask& labels, const AlphaTable& alpha, const std::vector<int>& matchRow,
                 const std::vector<int>& matchCol, FloatPlanes& next) {
  const int H = ctx.g.H, W = ctx.g.W, n = ctx.g.n;
  const RoiMask& roi = ctx.roi;
  assert(labels.size() >= ctx.g.pixels() && alpha.n == n);
  assert(matchRow.size() >= ctx.g.pixels() && matchCol.size() >= ctx.g.pixels());
  assert(N == 0 ? n <= kMaxSide : n == N);
  const Planes3 curIn{current[0], current[1], current[2]};
  const OutPlanes3 nxt{next[0], next[1], next[2], blendRow()};
  const Planes3 fr{frame[0], frame[1], frame[2]};
  const std::size_t modelW = static_cast<std::size_t>(n) * W;
  const std::uint8_t* inRoi = roi.bytes.data();
  const std::uint8_t* lab = labels.data();
  const int* mrow = matchRow.data();
  const int* mcol = matchCol.data();
  const PassBuffers buf = passBuffers(W, H);
  std::uint8_t* code = buf.code;
  const ReachTable reach(n);
  // The pixels that update, with their winners as block offsets (the
  // detection pass leaves every winner inside its pixel's block).
  forRowBands(ctx.pool, roi.firstRoiRow, H, [&](int rBegin, int rEnd) {
    for (int r = rBegin; r < rEnd; ++r)
      for (int c = 0; c < W; ++c) {
        const std::size_t p = static_cast<std::size_t>(r) * W + c;
        if (inRoi[p] == 0 || lab[p] != 0 || mrow[p] == -1 || mcol[p] == -1) continue;
        assert(mrow[p] / n == r && mcol[p] / n == c);
        code[p] = static_cast<std::uint8_t>((mrow[p] - r * n) * n + (mcol[p] - c * n));
        buf.reachAt(r, c) = reach.of[code[p]];
      }
  });
  forRowBands(ctx.pool, firstUpdateRow(roi), H, [&](int rBegin, int rEnd) {
    for (int R = rBegin; R < rEnd; ++R)
      for (int C = 0; C < W; ++C)
        if (lab[static_cast<std::size_t>(R) * W + C] == 0)
          gatherBlock<N>(R, C, W, n, modelW, curIn, nxt, fr, alpha, code, buf.reach, 0x1FFu);
  });
}

}  // namespace

// Dispatch on the block side: the supported sides get unrolled copies; any
// other n runs the same code with the runtime side.
#define SCVARDO_DISPATCH_N(fn, ...) \
  switch (ctx.g.n) {                \
    case 3:                         \
      return fn<3>(__VA_ARGS__);    \
    case 5:                         \
      return fn<5>(__VA_ARGS__);    \
    case 7:                         \
      return fn<7>(__VA_ARGS__);    \
    case 9:                         \
      return fn<9>(__VA_ARGS__);    \
    default:                        \
      return fn<0>(__VA_ARGS__);    \
  }

void calibrationPass(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                     LabelMask& labels, const AlphaTable& alpha, FloatPlanes& next) {
  SCVARDO_DISPATCH_N(calibrationPassN, ctx, frame, current, labels, alpha, next)
}

void detectionPass(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                   LabelMask& labels, std::vector<int>& matchRow, std::vector<int>& matchCol) {
  SCVARDO_DISPATCH_N(detectionPassN, ctx, frame, current, labels, matchRow, matchCol)
}

void updatePass(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                const LabelMask& labels, const AlphaTable& alpha, const std::vector<int>& matchRow,
                const std::vector<int>& matchCol, FloatPlanes& next) {
  SCVARDO_DISPATCH_N(updatePassN, ctx, frame, current, labels, alpha, matchRow, matchCol, next)
}

#undef SCVARDO_DISPATCH_N

}  // namespace fast
