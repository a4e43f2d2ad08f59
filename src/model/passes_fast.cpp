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
//    SSE2, for other n a block row at a time with AVX-512 or AVX2 where the
//    CPU has them (simd.h), each lane the same float operations in the same
//    order;
//  - the shadow fallback, which runs only when nothing is within the
//    threshold, calls the reference findShadowMatch.
//
// Update: gathered per block row (gather.h), so each cell is written once,
// in place: `current` and `next` may be the same planes, and the frame needs
// one model and no copy (the searches, which read only their own block, all
// run first). Which windows a block admits:
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
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#define SCVARDO_PASSES_SSE2 1
#endif

#include "core/workers.h"
#include "model/gather.h"
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

template <int N>
void calibrationPassN(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                      LabelMask& labels, const AlphaTable& alpha, FloatPlanes& next) {
  const int H = ctx.g.H, W = ctx.g.W, n = ctx.g.n;
  const RoiMask& roi = ctx.roi;
  const RunParams& params = ctx.params;
  assert(labels.size() >= ctx.g.pixels() && alpha.n == n);
  assert(N == 0 ? n <= kMaxSide : n == N);
  const ModelView cur{current[0], current[1], current[2], blockScan()};
  const Planes3 fr{frame[0], frame[1], frame[2]};
  const std::size_t modelW = static_cast<std::size_t>(n) * W;
  std::uint8_t* code = codeBuffer(ctx.g.pixels());
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
      }
  });

  // A block's label keeps its value from before the pass (L0) until its
  // pixel is visited, is 0 during the pixel's own update and non-zero after
  // (outside the ROI, never visited, it stays L0). So the pixel's own window
  // always writes; an earlier pixel's while L0 is 0; a later pixel's only
  // outside the ROI.
  std::uint8_t* lab = labels.data();
  std::uint8_t* admit = admitBuffer(ctx.g.pixels());
  forRowBands(ctx.pool, firstUpdateRow(roi), H, [&](int rBegin, int rEnd) {
    for (std::size_t q = static_cast<std::size_t>(rBegin) * W;
         q < static_cast<std::size_t>(rEnd) * W; ++q) {
      const bool open = lab[q] == 0;
      admit[q] = static_cast<std::uint8_t>(kAdmitOwn | (open ? kAdmitEarlier : 0) |
                                           (open && inRoi[q] == 0 ? kAdmitLater : 0));
    }
  });
  const GatherJob job = gatherJob(ctx, code, admit, alpha, frame, current, next);
  forRowBands(ctx.pool, firstUpdateRow(roi), H, [&](int rBegin, int rEnd) {
    gatherBand(job, rBegin, rEnd);
    for (std::size_t q = static_cast<std::size_t>(rBegin) * W;
         q < static_cast<std::size_t>(rEnd) * W; ++q)
      if (inRoi[q] != 0) lab[q] = code[q] == kNoMatch ? 255 : 85;
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
  const std::uint8_t* inRoi = roi.bytes.data();
  const std::uint8_t* lab = labels.data();
  const int* mrow = matchRow.data();
  const int* mcol = matchCol.data();
  std::uint8_t* code = codeBuffer(ctx.g.pixels());
  std::uint8_t* admit = admitBuffer(ctx.g.pixels());
  // The winners of the pixels whose windows are laid: in the ROI, still
  // labelled 0 after the filter, and matched. A block admits every window
  // while its label is 0, none otherwise.
  forRowBands(ctx.pool, firstUpdateRow(roi), H, [&](int rBegin, int rEnd) {
    for (int r = rBegin; r < rEnd; ++r)
      for (int c = 0; c < W; ++c) {
        const std::size_t p = static_cast<std::size_t>(r) * W + c;
        admit[p] = lab[p] == 0 ? kAdmitAll : 0;
        if (inRoi[p] == 0 || lab[p] != 0 || mrow[p] == -1 || mcol[p] == -1) continue;
        code[p] = static_cast<std::uint8_t>((mrow[p] - r * n) * n + (mcol[p] - c * n));
      }
  });
  const GatherJob job = gatherJob(ctx, code, admit, alpha, frame, current, next);
  forRowBands(ctx.pool, firstUpdateRow(roi), H,
              [&](int rBegin, int rEnd) { gatherBand(job, rBegin, rEnd); });
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
