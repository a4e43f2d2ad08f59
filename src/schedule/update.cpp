// The band update (kernels.h), written once and compiled for every path by
// Highway's foreach_target.
//
// Painting. The windows of pixel row P reach block rows P-1 (their bottom h
// model rows), P and P+1 (their top h rows). Each block row has three layers
// holding per cell which window painted it last: its pixel's column and the
// cell's place in the window (which rate applies), packed in one int, or a
// negative value for "not painted"; `up` is painted by pixel row R-1, `mid`
// by R, `down` by R+1. A window row is written as whole vectors from its
// first cell: the window's n cells, then "not painted" to the vector's
// end. Pixels are painted in
// raster order and a window starts at least one cell to the right of the
// one before it, so the last window to cover a cell is the last vector
// written over it, and a NaN tail never lands on a cell that an earlier
// window of the row covers: no masked stores.
//
// Admission. In `mid`, a window is cut to the blocks that admit it: its own
// block always does, so what it writes is one run of cells, and it starts at
// its own block when the block to its left does not admit it and ends there
// when the block to its right does not. The windows that reach `up` and
// `down` stand in the same raster order to every block they reach (earlier,
// later), so these layers are painted whole and the blocks' admissions are
// applied when the layers are merged.
//
// Blending. Once pixel row R+1 is painted, each cell of block row R takes
// the `down` window if painted and admitted, else the `mid` one, else the
// `up` one if painted and admitted; its rate is looked up from its place in
// the window, its colour from the window's pixel among the pixels around the
// cell (a window reaches at most one block beyond its own); and it is
// blended once:
// out = float((1 - a) * in + a * x), in double, as the reference does.
#include "schedule/hwy_config.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "schedule/update.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>

#include "schedule/kernels.h"

#ifndef SCVARDO_UPDATE_ONCE
#define SCVARDO_UPDATE_ONCE
namespace scv {

// Room on both sides of a layer row for windows cut by the model's edges
// and for the vector tails of the last windows; and after a row of pixel
// colours, for whole vectors read from near its end.
constexpr int kMargin = 32;
constexpr int kColourPad = 32;
// Cells ahead whose model the blends ask for.
constexpr int kPrefetch = 128;

// A painted cell: (pixel column << kPlaceBits) | (k * n + j), window row k
// and column j; "not painted" is negative.
constexpr int kPlaceBits = 7;
constexpr std::int32_t kNotPainted = -(1 << 30);

// A block row's layers in the thread's scratch (layer row r at
// cells + r * stride), and the colours of pixel rows R-1, R, R+1 (x, y, v
// planes `colourStride` apart; null for rows outside the frame).
struct Layers {
  const std::int32_t* cells;
  const float* colour[3];
};

// One cell of block row R, model row i (layer rows mid, up, down; -1 where
// the row has none), model column mc: the plain form of the vector merge.
inline void mergeCell(const UpdateJob& job, const Layers& l, std::size_t stride,
                      std::size_t colourStride, int mid, int up, int down,
                      const std::uint8_t* admit, int mc, std::size_t cell) {
  const int n = job.n;
  auto at = [&](int row) { return row >= 0 ? l.cells[row * stride + mc] : kNotPainted; };
  std::int32_t painted = at(mid);
  int source = 1;
  if (painted < 0 && at(up) >= 0 && (admit[mc / n] & kAdmitEarlier) != 0) painted = at(up), source = 0;
  if (at(down) >= 0 && (admit[mc / n] & kAdmitLater) != 0) painted = at(down), source = 2;
  if (painted < 0) return;
  const float a = job.alpha[painted & ((1 << kPlaceBits) - 1)];
  const float* colour = l.colour[source] + (painted >> kPlaceBits);
  const double oneMinusA = 1.0 - a;
  for (int k = 0; k < 3; ++k)
    job.out[k][cell] = static_cast<float>(oneMinusA * job.in[k][cell] +
                                          static_cast<double>(a) * colour[k * colourStride]);
}

}  // namespace scv
#endif  // SCVARDO_UPDATE_ONCE

HWY_BEFORE_NAMESPACE();
namespace scv {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

constexpr int kMaxLanes = 16;

// What a band's painting and merging look up, made once per call.
template <int N>
struct Shapes {
  static constexpr int h = N / 2;
  static constexpr int kRows = N + 2 * h;  // layer rows: up (h), mid (N), down (h)
  static constexpr int kPad = 2 * kMaxLanes;
  // Window row k's places k * N + j, with "not painted" on both sides, so
  // that whole vectors can be read from any column of the window.
  alignas(64) std::int32_t places[N][kPad + N + kPad];
  // Per winner code o: its column in the block less h; and per window row
  // k, the block row it lies in relative to the window's pixel (-1, 0, 1)
  // and the offset of its layer row in that block row's slot.
  int shift[N * N + 1];
  std::int8_t blockOf[N * N + 1][N];
  std::size_t offset[N * N + 1][N];
  // Per column phase m % N of a vector's first cell: each lane's block,
  // counted from the first lane's.
  alignas(64) std::int32_t blockLane[N][kMaxLanes];
  // The rates, in whole vectors.
  alignas(64) float rates[(N * N + kMaxLanes - 1) / kMaxLanes * kMaxLanes];

  Shapes(const float* alpha, std::size_t stride) {
    for (int k = 0; k < N; ++k)
      for (int j = 0; j < kPad + N + kPad; ++j)
        places[k][j] = j >= kPad && j < kPad + N ? k * N + j - kPad : kNotPainted;
    for (int o = 0; o <= N * N; ++o) {
      shift[o] = o % N - h;
      for (int k = 0; k < N; ++k) {
        const int m = o / N - h + k;  // model row relative to the block's first
        const int dk = m < 0 ? -1 : m >= N ? 1 : 0;
        const int inBlock = m - dk * N;
        const int row = dk < 0 ? h + N + inBlock - (N - h) : dk == 0 ? h + inBlock : inBlock;
        blockOf[o][k] = static_cast<std::int8_t>(dk);
        offset[o][k] = static_cast<std::size_t>(row) * stride;
      }
    }
    for (int ph = 0; ph < N; ++ph)
      for (int l = 0; l < kMaxLanes; ++l) blockLane[ph][l] = (ph + l) / N;
    for (std::size_t e = 0; e < sizeof rates / sizeof rates[0]; ++e)
      rates[e] = e < static_cast<std::size_t>(N * N) ? alpha[e] : 0.0f;
  }
};

// Paints the windows of pixel row pr into the layers of block rows pr-1,
// pr, pr+1. rows[o][k]: the offset of window row k of a window with code o
// from the scratch's start (in a sink for block rows outside the band, and
// for o = N * N, which stands for pixels that lay no window). Windows are
// written with vectors just wide enough for them, wider stores would cross
// more cache lines for nothing; and without branches on the winner's place,
// which no predictor can guess.
template <int N>
HWY_NOINLINE void paintRow(const UpdateJob& job, const Shapes<N>& t, int pr,
                           const std::size_t (*rows)[N], std::int32_t* cells) {
  const hn::CappedTag<std::int32_t, (N <= 4 ? 4 : N <= 8 ? 8 : 16)> dp;
  using VP = hn::Vec<decltype(dp)>;
  constexpr int kPad = Shapes<N>::kPad;
  const int P = static_cast<int>(hn::Lanes(dp));
  const int G = (N + P - 1) / P;  // vectors per window row
  const int W = job.W;
  const std::size_t row0 = static_cast<std::size_t>(pr) * W;
  const std::uint8_t* const codes = job.code + row0;
  const std::uint8_t* const admit = job.admit + row0;
  const VP none = hn::Set(dp, kNotPainted);
  for (int q = 0; q < W; ++q) {
    const int code = codes[q];
    const int o = code < N * N ? code : N * N;
    const VP who = hn::Set(dp, q << kPlaceBits);
    const int start = q * N + t.shift[o];  // the window's first model column
    // In its own block row the window is cut to the blocks that admit it.
    const int left = q > 0 ? admit[q - 1] & kAdmitLater : 0;
    const int right = q + 1 < W ? admit[q + 1] & kAdmitEarlier : 0;
    const int from = left != 0 ? start : std::max(start, q * N);
    const int to = right != 0 ? start + N : std::min(start + N, (q + 1) * N);
    for (int k = 0; k < N; ++k) {
      const bool own = t.blockOf[o][k] == 0;
      const int at = own ? from : start;
      const int end = own ? to : start + N;
      const std::int32_t* place = t.places[k] + kPad + (at - start);
      std::int32_t* cell = cells + rows[o][k] + at;
      for (int g = 0; g < G; ++g) {
        const VP v = hn::IfThenElse(hn::FirstN(dp, static_cast<std::size_t>(std::max(end - at - g * P, 0))),
                                    hn::Add(who, hn::LoadU(dp, place + g * P)), none);
        hn::StoreU(v, dp, cell + g * P);
      }
    }
  }
}

// Blends block row R from its layers: each cell from the `down` window if
// painted and admitted, else the `mid` one, else the `up` one if painted and
// admitted.
template <int N, class D>
HWY_NOINLINE void mergeRow(D d, const UpdateJob& job, const Shapes<N>& t, int R, const Layers& l,
                           std::size_t stride, std::size_t colourStride) {
  using V = hn::Vec<D>;
  const hn::RebindToSigned<D> di;
  using VI = hn::Vec<decltype(di)>;
  using MI = hn::Mask<decltype(di)>;
  const hn::Rebind<std::uint8_t, D> du8;
  const hn::Half<D> dh;
  const hn::RepartitionToWide<D> dw;
  constexpr int h = N / 2;
  const int L = static_cast<int>(hn::Lanes(d));
  const int W = job.W, modelW = N * W;
  const float* const in[3] = {job.in[0], job.in[1], job.in[2]};
  float* const out[3] = {job.out[0], job.out[1], job.out[2]};
  const bool inPlace = in[0] == out[0];
  const std::uint8_t* const admit = job.admit + static_cast<std::size_t>(R) * W;
  const auto one = hn::Set(dw, 1.0);
  const VI zero = hn::Zero(di), lanesMask = hn::Set(di, L - 1), placeMask = hn::Set(di, (1 << kPlaceBits) - 1);
  const std::size_t c1 = colourStride, c2 = 2 * colourStride;
  // The rates of cells by their place in the window: from whole vectors of
  // the table where few, else gathered.
  constexpr int kTables = (N * N + kMaxLanes - 1) / kMaxLanes;
  const int tables = (N * N + L - 1) / L;
  auto rateOf = [&](VI place) -> V {
    if (tables == 1) return hn::TableLookupLanes(hn::Load(d, t.rates), hn::IndicesFromVec(d, place));
    if (tables > 4) return hn::GatherIndex(d, t.rates, place);
    V r = hn::Zero(d);
    const auto idx = hn::IndicesFromVec(d, hn::And(place, lanesMask));
    for (int k = 0; k < tables; ++k)
      r = hn::IfThenElse(hn::RebindMask(d, hn::Eq(hn::AndNot(lanesMask, place), hn::Set(di, k * L))),
                         hn::TableLookupLanes(hn::Load(d, t.rates + k * L), idx), r);
    return r;
  };
  (void)kTables;
  // The lanes of the blocks from cell m's on whose admission has `bit`.
  auto admitted = [&](int m, std::uint8_t bit) {
    const auto bytes = hn::PromoteTo(di, hn::LoadU(du8, admit + m / N));
    const auto lanes = hn::TableLookupLanes(bytes, hn::SetTableIndices(di, t.blockLane[m % N]));
    return hn::TestBit(lanes, hn::Set(di, bit));
  };
  // The colours of the windows' pixels `who` of pixel row `colour`, the
  // first lane's cell in pixel column q0 + 1 or q0 + 2 (no lane's pixel lies
  // before q0 or L or more after it).
  auto colours = [&](const float* colour, int q0, VI who, V out3[3]) {
    const auto idx = hn::IndicesFromVec(d, hn::And(hn::Sub(who, hn::Set(di, q0)), lanesMask));
    out3[0] = hn::TableLookupLanes(hn::LoadU(d, colour + q0), idx);
    out3[1] = hn::TableLookupLanes(hn::LoadU(d, colour + c1 + q0), idx);
    out3[2] = hn::TableLookupLanes(hn::LoadU(d, colour + c2 + q0), idx);
  };
  for (int i = 0; i < N; ++i) {
    const std::int32_t* mid = l.cells + static_cast<std::size_t>(h + i) * stride;
    const std::int32_t* up = i < h && l.colour[0] != nullptr ? l.cells + static_cast<std::size_t>(i) * stride : nullptr;
    const std::int32_t* down = i >= N - h && l.colour[2] != nullptr
                                   ? l.cells + static_cast<std::size_t>(h + N + i - (N - h)) * stride
                                   : nullptr;
    const std::size_t cell0 = static_cast<std::size_t>(R * N + i) * modelW;
    int m = 0;
    for (; m + L <= modelW; m += L) {
      // A block row may have left the cache since its search: ask for it
      // ahead of the blends.
      for (int k = 0; k < 3; ++k) __builtin_prefetch(in[k] + cell0 + m + kPrefetch);
      VI v = hn::LoadU(di, mid + m);
      // Which pixel row painted each lane: R-1, R or R+1. Decided without
      // branches: whether a lane of the other layers counts is random.
      MI fromUp = hn::Lt(zero, zero), fromDown = fromUp;
      if (up != nullptr) {
        const VI u = hn::LoadU(di, up + m);
        fromUp = hn::And(hn::Lt(v, zero), hn::AndNot(hn::Lt(u, zero), admitted(m, kAdmitEarlier)));
        v = hn::IfThenElse(fromUp, u, v);
      }
      if (down != nullptr) {
        const VI w = hn::LoadU(di, down + m);
        fromDown = hn::AndNot(hn::Lt(w, zero), admitted(m, kAdmitLater));
        v = hn::IfThenElse(fromDown, w, v);
      }
      const MI paintedI = hn::Not(hn::Lt(v, zero));
      if (hn::AllFalse(di, paintedI)) continue;
      const auto painted = hn::RebindMask(d, paintedI);
      const int q0 = std::max(m / N - 1, 0);
      const VI who = hn::ShiftRight<kPlaceBits>(hn::Max(v, zero));
      V x[3];
      colours(l.colour[1], q0, who, x);
      if (up != nullptr) {
        V other[3];
        colours(l.colour[0], q0, who, other);
        for (int k = 0; k < 3; ++k) x[k] = hn::IfThenElse(hn::RebindMask(d, fromUp), other[k], x[k]);
      }
      if (down != nullptr) {
        V other[3];
        colours(l.colour[2], q0, who, other);
        for (int k = 0; k < 3; ++k) x[k] = hn::IfThenElse(hn::RebindMask(d, fromDown), other[k], x[k]);
      }
      const V a = rateOf(hn::And(v, placeMask));
      const auto aLo = hn::PromoteTo(dw, hn::LowerHalf(dh, a));
      const auto aHi = hn::PromoteTo(dw, hn::UpperHalf(dh, a));
      const auto keepLo = hn::Sub(one, aLo), keepHi = hn::Sub(one, aHi);
      const std::size_t cell = cell0 + m;
      for (int k = 0; k < 3; ++k) {
        const V cur = hn::LoadU(d, in[k] + cell);
        const auto lo = hn::Add(hn::Mul(keepLo, hn::PromoteTo(dw, hn::LowerHalf(dh, cur))),
                                hn::Mul(aLo, hn::PromoteTo(dw, hn::LowerHalf(dh, x[k]))));
        const auto hi = hn::Add(hn::Mul(keepHi, hn::PromoteTo(dw, hn::UpperHalf(dh, cur))),
                                hn::Mul(aHi, hn::PromoteTo(dw, hn::UpperHalf(dh, x[k]))));
        const V blended = hn::Combine(d, hn::DemoteTo(dh, hi), hn::DemoteTo(dh, lo));
        const V old = inPlace ? cur : hn::LoadU(d, out[k] + cell);
        hn::StoreU(hn::IfThenElse(painted, blended, old), d, out[k] + cell);
      }
    }
    for (; m < modelW; ++m)
      mergeCell(job, l, stride, colourStride, h + i, up != nullptr ? static_cast<int>(i) : -1,
                down != nullptr ? h + N + i - (N - h) : -1, admit, m, cell0 + m);
  }
}

template <int N, class D>
void bandN(D d, const UpdateJob& job, int rBegin, int rEnd, const std::function<void(int)>* ready,
           BandScratch& s) {
  using S = Shapes<N>;
  const int H = job.H, W = job.W, modelW = N * W;
  // An odd number of cache lines between layer rows, so that the cells a
  // window writes do not all fall into one set of the L1 cache.
  const std::size_t stride = ((static_cast<std::size_t>(modelW) + 2 * kMargin + 15) / 32) * 32 + 16;
  const std::size_t slotSize = S::kRows * stride;
  const std::size_t colourStride = static_cast<std::size_t>(W) + kColourPad;
  if (s.stride != stride || s.cells.size() != 4 * slotSize || s.colour.size() != 9 * colourStride) {
    s.stride = stride;
    s.cells.assign(4 * slotSize, kNotPainted);
    s.colour.assign(9 * colourStride, 0.0f);
  }
  // Block row R's layers: slot R % 3 (slot 3 is a sink for windows outside
  // the band), layer row after layer row; pixel row P's colours: in row
  // P % 3 of the colour rows.
  auto slot = [&](int R) { return static_cast<std::size_t>((R + 3) % 3) * slotSize + kMargin; };
  auto reset = [&](int R) {
    std::fill_n(s.cells.data() + slot(R) - kMargin, slotSize, kNotPainted);
  };
  auto colourRow = [&](int P) -> const float* {
    return P >= 0 && P < H ? s.colour.data() + static_cast<std::size_t>(P % 3) * 3 * colourStride
                           : nullptr;
  };
  const S shapes(job.alpha, stride);
  const std::size_t sink = 3 * slotSize + kMargin;

  for (int R = rBegin; R < rEnd && R < rBegin + 2; ++R) reset(R);
  const int first = std::max(rBegin - 1, 0), last = std::min(rEnd, H - 1);
  int blended = rBegin;  // block rows below this are done
  std::size_t rows[N * N + 1][N];
  auto merge = [&](int R) {
    const Layers l{s.cells.data() + slot(R), {colourRow(R - 1), colourRow(R), colourRow(R + 1)}};
    mergeRow<N>(d, job, shapes, R, l, stride, colourStride);
  };
  for (int pr = first; pr <= last; ++pr) {
    if (pr + 1 < rEnd && pr + 1 >= rBegin + 2) reset(pr + 1);
    if (ready != nullptr) (*ready)(pr);
    // The row's colours, where whole vectors can be read.
    float* colour = s.colour.data() + static_cast<std::size_t>(pr % 3) * 3 * colourStride;
    for (int k = 0; k < 3; ++k)
      std::memcpy(colour + k * colourStride, job.frame[k] + static_cast<std::size_t>(pr) * W,
                  static_cast<std::size_t>(W) * sizeof(float));
    const std::size_t slots[3] = {pr - 1 >= rBegin && pr - 1 < rEnd ? slot(pr - 1) : sink,
                                  pr >= rBegin && pr < rEnd ? slot(pr) : sink,
                                  pr + 1 >= rBegin && pr + 1 < rEnd ? slot(pr + 1) : sink};
    for (int o = 0; o < N * N; ++o)
      for (int k = 0; k < N; ++k) rows[o][k] = slots[shapes.blockOf[o][k] + 1] + shapes.offset[o][k];
    for (int k = 0; k < N; ++k) rows[N * N][k] = sink + shapes.offset[N * N][k];
    paintRow<N>(job, shapes, pr, rows, s.cells.data());
    // Block row pr-1 has all its layers.
    if (pr - 1 >= blended && pr - 1 < rEnd) merge(blended++);
  }
  for (; blended < rEnd; ++blended) merge(blended);
}

#if HWY_TARGET == HWY_AVX3
// With AVX-512, stores of a vector's chosen lanes are native and cheap, so
// this path paints windows straight into one scratch of three block rows in
// raster order (rate and colour per cell, a NaN rate where none covers it;
// later windows over earlier ones, each cut to the lanes its blocks admit)
// and blends the painted cells of a block row once pixel row R+1 is laid.
// Masked stores are kept to 128 and 256 bits: full-width ones are slow on
// some CPUs.
template <int N>
void bandMasked(const UpdateJob& job, int rBegin, int rEnd, const std::function<void(int)>* ready,
                BandScratch& s) {
  const hn::CappedTag<float, (N <= 4 ? 4 : 8)> dp;  // painting
  using VP = hn::Vec<decltype(dp)>;
  const hn::CappedTag<float, 8> d8;  // blending, eight cells at a time
  const hn::Simd<double, 8, 0> dw;
  constexpr int h = N / 2;
  const int P = static_cast<int>(hn::Lanes(dp));
  const int W = job.W, H = job.H, modelW = N * W;
  const std::size_t stride = ((static_cast<std::size_t>(modelW) + 2 * kMargin + 15) / 32) * 32 + 16;
  const std::size_t slotFloats = static_cast<std::size_t>(N) * 4 * stride;
  if (s.stride != stride || s.planes.size() != 3 * slotFloats || s.patterns.size() != 3 * static_cast<std::size_t>(W)) {
    s.stride = stride;
    s.planes.assign(3 * slotFloats, 0.0f);
    s.patterns.assign(3 * static_cast<std::size_t>(W), 0);
  }
  // Model row i of block row R: rate plane, then x, y, v, stride apart.
  auto rowOf = [&](int R, int i) {
    return s.planes.data() + static_cast<std::size_t>((R + 3) % 3) * slotFloats +
           static_cast<std::size_t>(i) * 4 * stride + kMargin;
  };
  auto reset = [&](int R) {
    for (int i = 0; i < N; ++i) std::memset(rowOf(R, i) - kMargin, 0xFF, stride * sizeof(float));
  };
  // Per winner code: the window's first column from its block's, its lanes
  // for each pattern of admitting blocks (bit 0: block pc-1, bit 1: pc, bit
  // 2: pc+1), looked up rather than branched on; and per window row k the
  // block row (0, 1, 2 for pr-1, pr, pr+1) and the row in it.
  const unsigned all = (1u << N) - 1u;
  int shift[N * N];
  std::uint16_t lanes[N * N][8];
  std::uint8_t block[N * N][N], inBlock[N * N][N];
  for (int o = 0; o < N * N; ++o) {
    const int oi = o / N, oj = o % N;
    const int low = h - oj, high = N + h - oj;  // lanes below `low` lie in pc-1, from `high` on in pc+1
    const unsigned lowLanes = low > 0 ? (1u << low) - 1u : 0u;
    const unsigned highLanes = high < N ? all & ~((1u << high) - 1u) : 0u;
    const unsigned ownLanes = all & ~lowLanes & ~highLanes;
    shift[o] = oj - h;
    for (unsigned q = 0; q < 8; ++q)
      lanes[o][q] = static_cast<std::uint16_t>((q & 1 ? lowLanes : 0u) | (q & 2 ? ownLanes : 0u) |
                                               (q & 4 ? highLanes : 0u));
    for (int k = 0; k < N; ++k) {
      const int m = oi - h + k;  // relative to the pixel's own block
      block[o][k] = static_cast<std::uint8_t>((m >= 0) + (m >= N));
      inBlock[o][k] = static_cast<std::uint8_t>((m + N) % N);
    }
  }
  alignas(64) float rates[N][16] = {};
  for (int k = 0; k < N; ++k)
    for (int j = 0; j < N; ++j) rates[k][j] = job.alpha[k * N + j];
  const float* const in[3] = {job.in[0], job.in[1], job.in[2]};
  float* const out[3] = {job.out[0], job.out[1], job.out[2]};
  const auto one = hn::Set(dw, 1.0);

  auto blendRow = [&](int R) {
    for (int i = 0; i < N; ++i) {
      const float* rate = rowOf(R, i);
      const std::size_t cell0 = static_cast<std::size_t>(R * N + i) * modelW;
      for (int mc = 0; mc < modelW; mc += 8) {
        // A block row may have left the cache since its search: ask for it
        // ahead of the blends.
        if ((mc & 15) == 0)
          for (int k = 0; k < 3; ++k) __builtin_prefetch(in[k] + cell0 + mc + kPrefetch);
        const auto a = hn::LoadU(d8, rate + mc);
        auto painted = hn::Not(hn::IsNaN(a));
        if (mc + 8 > modelW) painted = hn::And(painted, hn::FirstN(d8, static_cast<std::size_t>(modelW - mc)));
        if (hn::AllFalse(d8, painted)) continue;
        const auto ad = hn::PromoteTo(dw, a);
        const auto keep = hn::Sub(one, ad);
        for (int k = 0; k < 3; ++k) {
          const auto cur = hn::PromoteTo(dw, hn::MaskedLoad(painted, d8, in[k] + cell0 + mc));
          const auto x = hn::PromoteTo(dw, hn::LoadU(d8, rate + (k + 1) * stride + mc));
          const auto v = hn::Add(hn::Mul(keep, cur), hn::Mul(ad, x));
          hn::BlendedStore(hn::DemoteTo(d8, v), painted, d8, out[k] + cell0 + mc);
        }
      }
    }
  };

  for (int R = rBegin; R < rEnd && R < rBegin + 3; ++R) reset(R);
  const int first = std::max(rBegin - 1, 0), last = std::min(rEnd, H - 1);
  int blended = rBegin;  // block rows below this are done
  std::uint8_t* const pattern = s.patterns.data();
  for (int pr = first; pr <= last; ++pr) {
    if (pr > first && pr + 1 < rEnd && pr + 1 >= rBegin) reset(pr + 1);
    if (ready != nullptr) (*ready)(pr);
    const std::uint8_t* codes = job.code + static_cast<std::size_t>(pr) * W;
    // Block rows pr-1, pr, pr+1 (j = 0, 1, 2): per pixel of row pr, which of
    // the blocks around it admit its window (none outside the band). In row
    // pr itself how a window stands to a block depends on the column; above
    // and below it does not.
    for (int j = 0; j < 3; ++j) {
      const int R = pr - 1 + j;
      std::uint8_t* pat = pattern + static_cast<std::size_t>(j) * W;
      if (R < rBegin || R >= rEnd) {
        std::memset(pat, 0, static_cast<std::size_t>(W));
        continue;
      }
      const unsigned rel = j == 0 ? kAdmitLater : j == 2 ? kAdmitEarlier : 0u;
      const unsigned ownRel = rel != 0 ? rel : kAdmitOwn;
      const unsigned lowRel = rel != 0 ? rel : kAdmitLater;
      const unsigned highRel = rel != 0 ? rel : kAdmitEarlier;
      const std::uint8_t* ad = job.admit + static_cast<std::size_t>(R) * W;
      for (int pc = 0; pc < W; ++pc) {
        const unsigned before = pc > 0 ? ad[pc - 1] : 0u;
        const unsigned after = pc + 1 < W ? ad[pc + 1] : 0u;
        pat[pc] = static_cast<std::uint8_t>(((before & lowRel) != 0) | ((ad[pc] & ownRel) != 0) << 1 |
                                            ((after & highRel) != 0) << 2);
      }
    }
    // Per winner code and window row: its scratch row and its patterns.
    float* rowAt[N * N][N];
    const std::uint8_t* patOf[N * N][N];
    for (int o = 0; o < N * N; ++o)
      for (int k = 0; k < N; ++k) {
        rowAt[o][k] = rowOf(pr - 1 + block[o][k], inBlock[o][k]);
        patOf[o][k] = pattern + static_cast<std::size_t>(block[o][k]) * W;
      }
    const std::size_t row = static_cast<std::size_t>(pr) * W;
    for (int pc = 0; pc < W; ++pc) {
      const int o = codes[pc];
      if (o >= N * N) continue;
      const int left = pc * N + shift[o];  // the model column of lane 0
      const VP x = hn::Set(dp, job.frame[0][row + pc]), y = hn::Set(dp, job.frame[1][row + pc]),
               v = hn::Set(dp, job.frame[2][row + pc]);
      for (int k = 0; k < N; ++k) {
        unsigned bits = lanes[o][patOf[o][k][pc]];
        float* r = rowAt[o][k] + left;
        for (int g = 0; bits != 0; bits >>= P, g += P) {
          hn::Mask<decltype(dp)> m;
          m.raw = static_cast<decltype(m.raw)>(bits & ((1u << P) - 1u));  // AVX-512: the bits are the mask
          hn::BlendedStore(hn::LoadU(dp, rates[k] + g), m, dp, r + g);
          hn::BlendedStore(x, m, dp, r + stride + g);
          hn::BlendedStore(y, m, dp, r + 2 * stride + g);
          hn::BlendedStore(v, m, dp, r + 3 * stride + g);
        }
      }
    }
    // Block row pr-1 has seen all its windows.
    if (pr - 1 >= blended && pr - 1 < rEnd) blendRow(blended++);
  }
  while (blended < rEnd) blendRow(blended++);
}
#endif

void updateBand(const UpdateJob& job, int rBegin, int rEnd, const std::function<void(int)>* ready,
                BandScratch& scratch) {
#if HWY_TARGET == HWY_AVX3
  switch (job.n) {
    case 3: return bandMasked<3>(job, rBegin, rEnd, ready, scratch);
    case 5: return bandMasked<5>(job, rBegin, rEnd, ready, scratch);
    case 7: return bandMasked<7>(job, rBegin, rEnd, ready, scratch);
    case 9: return bandMasked<9>(job, rBegin, rEnd, ready, scratch);
  }
#else
  const hn::ScalableTag<float> d;
  switch (job.n) {
    case 3: return bandN<3>(d, job, rBegin, rEnd, ready, scratch);
    case 5: return bandN<5>(d, job, rBegin, rEnd, ready, scratch);
    case 7: return bandN<7>(d, job, rBegin, rEnd, ready, scratch);
    case 9: return bandN<9>(d, job, rBegin, rEnd, ready, scratch);
  }
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace scv
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace scv {

using UpdateFn = void (*)(const UpdateJob&, int, int, const std::function<void(int)>*, BandScratch&);

UpdateFn updateBandFor(Isa isa) {
#define SCVARDO_CASE(I, NS) \
  if (isa == I) return &NS::updateBand;
  SCVARDO_EACH_PATH(SCVARDO_CASE)
#undef SCVARDO_CASE
  return &N_EMU128::updateBand;
}

}  // namespace scv
#endif
