// Faster passes, bit-identical to reference:: in passes.cpp.
//
// Same raster order, same calls in the same order, same arithmetic; only the
// bookkeeping differs:
//  - plane and row pointers are hoisted out of the pixel and cell loops;
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
//  - the owner test is made once per run of window cells that share a pixel
//    block instead of once per cell (the labels do not change during one
//    window update, so the outcome per cell is the same);
//  - the shadow fallback, which runs only when nothing is within the
//    threshold, calls the reference findShadowMatch.
// The blend keeps the reference expression, (1 - a) formed once per cell
// in double and (1 - a) * current + a * x rounded to float once.
#include <algorithm>
#include <cassert>

#if defined(__SSE2__)
#include <emmintrin.h>
#define SCVARDO_PASSES_SSE2 1
#endif

#include "model/model.h"
#include "model/passes_select.h"

namespace fast {
namespace {

struct ModelView {
  const float* x;
  const float* y;
  const float* v;
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
  float minDist = 100.0f;
  int minAt = -1;  // block index i * n + j of the first minimum
  float centreDist = 0.0f;
  const int row0 = r * n;
  const int col0 = c * n;
  for (int i = 0; i < n; ++i) {
    const std::size_t base = static_cast<std::size_t>(row0 + i) * modelW + col0;
    const float* X = m.x + base;
    const float* Y = m.y + base;
    const float* V = m.v + base;
    for (int j = 0; j < n; ++j) {
      // Exactly coneDistanceSq: float differences, squares and sums, left to right.
      const float dx = X[j] - px;
      const float dy = Y[j] - py;
      const float dv = V[j] - pv;
      const float sx = dx * dx;
      const float sy = dy * dy;
      const float sv = dv * dv;
      const float sxy = sx + sy;
      const float d = sxy + sv;
      if (i == h && j == h) centreDist = d;
      const bool lower = d < minDist;
      minDist = lower ? d : minDist;
      minAt = lower ? i * n + j : minAt;
    }
  }
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
                              float threshold, const RunParams& params, int& outRow,
                              int& outCol) {
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
  return bestMatch<N>(px, py, pv, m, model, W, r, c, n, modelW, threshold, params, outRow,
                      outCol);
}

struct Planes3 {
  float* x;
  float* y;
  float* v;
};

// updateNeighbourhood with the owner test made once per block run.
template <int N>
inline void updateWindow(const float xs[3], int H, int W, const ModelView& cur,
                         const Planes3& nxt, const AlphaTable& alpha, int nRuntime, int winRow,
                         int winCol, const std::uint8_t* labels) {
  const int n = side<N>(nRuntime);
  const int h = n / 2;
  const int modelH = n * H;
  const int modelW = n * W;
  const int rowStart = std::max(winRow - h, 0);
  const int rowEnd = std::min(winRow + h + 1, modelH);
  const int colStart = std::max(winCol - h, 0);
  const int colEnd = std::min(winCol + h + 1, modelW);
  assert(winRow >= 0 && winRow < modelH && winCol >= 0 && winCol < modelW);
  const double x0 = xs[0];
  const double x1 = xs[1];
  const double x2 = xs[2];
  const int alphaCol0 = h - winCol;  // alpha column of model column mc: mc + alphaCol0
  for (int mr = rowStart; mr < rowEnd; ++mr) {
    const std::uint8_t* ownerRow = labels + static_cast<std::size_t>(mr / n) * W;
    const float* arow = alpha[mr - winRow + h];
    const std::size_t base = static_cast<std::size_t>(mr) * modelW;
    int mc = colStart;
    while (mc < colEnd) {
      const int block = mc / n;
      const int runEnd = std::min((block + 1) * n, colEnd);
      if (ownerRow[block] == 0) {
        for (; mc < runEnd; ++mc) {
          const float a = arow[mc + alphaCol0];
          const double oneMinusA = 1.0 - a;
          const double ad = a;
          const std::size_t i = base + mc;
          nxt.x[i] = static_cast<float>(oneMinusA * cur.x[i] + ad * x0);
          nxt.y[i] = static_cast<float>(oneMinusA * cur.y[i] + ad * x1);
          nxt.v[i] = static_cast<float>(oneMinusA * cur.v[i] + ad * x2);
        }
      }
      mc = runEnd;
    }
  }
}

template <int N>
void calibrationPassN(const FloatPlanes& frame, int H, int W, const FloatPlanes& current,
                      LabelMask& labels, const AlphaTable& alpha, int n, float e1,
                      FloatPlanes& next, const RunParams& params, const RoiMask& roi) {
  assert(labels.size() >= static_cast<std::size_t>(W) * H);
  assert(alpha.n == n);
  const ModelView cur{current[0], current[1], current[2]};
  const Planes3 nxt{next[0], next[1], next[2]};
  const float* fx = frame[0];
  const float* fy = frame[1];
  const float* fv = frame[2];
  const std::size_t modelW = static_cast<std::size_t>(n) * W;
  std::uint8_t* lab = labels.data();
  for (int r = roi.firstRoiRow; r < H; ++r) {
    const std::size_t rowBase = static_cast<std::size_t>(r) * W;
    const std::uint8_t* roiRow = roi.bytes.data() + rowBase;
    for (int c = 0; c < W; ++c) {
      if (roiRow[c] == 0) continue;
      const std::size_t p = rowBase + c;
      int winRow, winCol;
      const MatchResult res = searchBlock<N>(fx[p], fy[p], fv[p], cur, current, H, W, r, c, n, modelW,
                                        e1, params, winRow, winCol);
      if (res == Match) {
        lab[p] = 0;
        const float xs[3] = {fx[p], fy[p], fv[p]};
        updateWindow<N>(xs, H, W, cur, nxt, alpha, n, winRow, winCol, lab);
        lab[p] = 85;
      } else {
        lab[p] = res == ShadowMatch ? 85 : 255;
      }
    }
  }
}

template <int N>
void detectionPassN(const FloatPlanes& frame, int H, int W, const FloatPlanes& current, int n,
                    float e2, LabelMask& labels, std::vector<int>& matchRow,
                    std::vector<int>& matchCol, const RunParams& params, const RoiMask& roi) {
  assert(labels.size() >= static_cast<std::size_t>(W) * H);
  assert(matchRow.size() >= static_cast<std::size_t>(W) * H);
  assert(matchCol.size() >= static_cast<std::size_t>(W) * H);
  const ModelView cur{current[0], current[1], current[2]};
  const float* fx = frame[0];
  const float* fy = frame[1];
  const float* fv = frame[2];
  const std::size_t modelW = static_cast<std::size_t>(n) * W;
  for (int r = roi.firstRoiRow; r < H; ++r) {
    const std::size_t rowBase = static_cast<std::size_t>(r) * W;
    const std::uint8_t* roiRow = roi.bytes.data() + rowBase;
    for (int c = 0; c < W; ++c) {
      if (roiRow[c] == 0) continue;
      const std::size_t p = rowBase + c;
      const MatchResult res = searchBlock<N>(fx[p], fy[p], fv[p], cur, current, H, W, r, c, n, modelW,
                                        e2, params, matchRow[p], matchCol[p]);
      labels[p] = res == Match ? 0 : res == ShadowMatch ? 85 : 255;
    }
  }
}

template <int N>
void updatePassN(const FloatPlanes& frame, int H, int W, const FloatPlanes& current,
                 const LabelMask& labels, const AlphaTable& alpha, int n,
                 const std::vector<int>& matchRow, const std::vector<int>& matchCol,
                 FloatPlanes& next, const RoiMask& roi) {
  const std::size_t end = static_cast<std::size_t>(W) * H;
  assert(labels.size() >= end && matchRow.size() >= end && matchCol.size() >= end);
  assert(alpha.n == n);
  const ModelView cur{current[0], current[1], current[2]};
  const Planes3 nxt{next[0], next[1], next[2]};
  const std::uint8_t* lab = labels.data();
  const std::uint8_t* inRoi = roi.bytes.data();
  const int* mrow = matchRow.data();
  const int* mcol = matchCol.data();
  for (std::size_t p = static_cast<std::size_t>(roi.firstRoiRow) * W; p < end; ++p) {
    if (inRoi[p] == 0 || lab[p] != 0 || mrow[p] == -1 || mcol[p] == -1) continue;
    const float xs[3] = {frame[0][p], frame[1][p], frame[2][p]};
    updateWindow<N>(xs, H, W, cur, nxt, alpha, n, mrow[p], mcol[p], lab);
  }
}

}  // namespace

// Dispatch on the block side: the supported sides get unrolled copies; any
// other n runs the same code with the runtime side.
#define SCVARDO_DISPATCH_N(fn, ...)          \
  switch (n) {                               \
    case 3: return fn<3>(__VA_ARGS__);       \
    case 5: return fn<5>(__VA_ARGS__);       \
    case 7: return fn<7>(__VA_ARGS__);       \
    case 9: return fn<9>(__VA_ARGS__);       \
    default: return fn<0>(__VA_ARGS__);      \
  }

void calibrationPass(const PassContext& ctx, const FloatPlanes& frame,
                     const FloatPlanes& current, LabelMask& labels, const AlphaTable& alpha,
                     FloatPlanes& next) {
  const int n = ctx.g.n;
  SCVARDO_DISPATCH_N(calibrationPassN, frame, ctx.g.H, ctx.g.W, current, labels, alpha, n,
                     ctx.params.e1, next, ctx.params, ctx.roi)
}

void detectionPass(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                   LabelMask& labels, std::vector<int>& matchRow, std::vector<int>& matchCol) {
  const int n = ctx.g.n;
  SCVARDO_DISPATCH_N(detectionPassN, frame, ctx.g.H, ctx.g.W, current, n, ctx.params.e2, labels,
                     matchRow, matchCol, ctx.params, ctx.roi)
}

void updatePass(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                const LabelMask& labels, const AlphaTable& alpha, const std::vector<int>& matchRow,
                const std::vector<int>& matchCol, FloatPlanes& next) {
  const int n = ctx.g.n;
  SCVARDO_DISPATCH_N(updatePassN, frame, ctx.g.H, ctx.g.W, current, labels, alpha, n, matchRow,
                     matchCol, next, ctx.roi)
}

#undef SCVARDO_DISPATCH_N

}  // namespace fast
