// The band update (kernels.h), written once and compiled for every path by
// Highway's foreach_target.
//
// Painting. The windows of pixel row P reach block rows P-1 (their bottom h
// model rows), P and P+1 (their top h rows). Each block row has three layers
// of rate and colour per cell: `up` painted by pixel row R-1, `mid` by R,
// `down` by R+1. A window row is written as whole vectors from its first
// cell: the window's n rates, then NaN rates ("not painted") to the
// vector's end. Pixels are painted in raster order and a window starts at
// least one cell to the right of the one before it, so the last window to
// cover a cell is the last vector written over it, and a NaN tail never
// lands on a cell that an earlier window of the row covers: no masked
// stores.
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
// `up` one if painted and admitted, and is blended once:
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
// and for the vector tails of the last windows.
constexpr int kMargin = 32;

// One cell of block row R, model row i, model column mc, from its layers
// (rate plane, then the three colour planes, `stride` apart; `up` or `down`
// null where the row has none). The plain form of the vector merge.
inline void mergeCell(const UpdateJob& job, const float* mid, const float* up, const float* down,
                      std::size_t stride, const std::uint8_t* admit, int mc, std::size_t cell) {
  const int n = job.n;
  const float* from = mid;
  if (up != nullptr && std::isnan(mid[mc]) && !std::isnan(up[mc]) &&
      (admit[mc / n] & kAdmitEarlier) != 0)
    from = up;
  if (down != nullptr && !std::isnan(down[mc]) && (admit[mc / n] & kAdmitLater) != 0) from = down;
  const float a = from[mc];
  if (std::isnan(a)) return;
  const double oneMinusA = 1.0 - a;
  for (int k = 0; k < 3; ++k)
    job.out[k][cell] = static_cast<float>(oneMinusA * job.in[k][cell] +
                                          static_cast<double>(a) * from[(k + 1) * stride + mc]);
}

}  // namespace scv
#endif  // SCVARDO_UPDATE_ONCE

HWY_BEFORE_NAMESPACE();
namespace scv {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

constexpr int kMaxLanes = 16;

template <int N, class D>
void bandN(D d, const UpdateJob& job, int rBegin, int rEnd, const std::function<void(int)>* ready,
           BandScratch& s) {
  using V = hn::Vec<D>;
  const hn::RebindToSigned<D> di;
  const hn::Rebind<std::uint8_t, D> du8;
  const hn::Half<D> dh;
  const hn::RepartitionToWide<D> dw;
  constexpr int h = N / 2;
  constexpr int kRows = N + 2 * h;  // up (h rows), mid (N), down (h)
  const int L = static_cast<int>(hn::Lanes(d));
  const int G = (N + L - 1) / L;  // vectors per window row
  const int W = job.W, H = job.H, modelW = N * W;
  const std::size_t stride = static_cast<std::size_t>(modelW) + 2 * kMargin;
  const std::size_t slotFloats = kRows * 4 * stride;
  if (s.stride != stride || s.store.size() != 3 * slotFloats) {
    s.stride = stride;
    s.store.assign(3 * slotFloats, 0.0f);
  }
  // Layer row `row` of block row R: rate plane, then x, y, v, stride apart.
  auto layer = [&](int R, int row) {
    return s.store.data() + static_cast<std::size_t>((R % 3 + 3) % 3) * slotFloats +
           static_cast<std::size_t>(row) * 4 * stride + kMargin;
  };
  auto reset = [&](int R) {
    for (int row = 0; row < kRows; ++row)
      std::memset(layer(R, row) - kMargin, 0xFF, stride * sizeof(float));  // NaN
  };

  // Window row k's rates, then NaN: read whole vectors from any start.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  alignas(64) float rates[N][N + 2 * kMaxLanes];
  for (int k = 0; k < N; ++k)
    for (int j = 0; j < N + 2 * kMaxLanes; ++j) rates[k][j] = j < N ? job.alpha[k * N + j] : nan;
  // Per winner code o and window row k: the block row it lies in, relative
  // to the window's pixel (-1, 0, 1), and its layer row there.
  std::int8_t blockOf[N * N][N];
  std::uint8_t rowOf[N * N][N];
  for (int o = 0; o < N * N; ++o)
    for (int k = 0; k < N; ++k) {
      const int m = o / N - h + k;  // model row relative to the block's first
      const int dk = m < 0 ? -1 : m >= N ? 1 : 0;
      const int inBlock = m - dk * N;
      blockOf[o][k] = static_cast<std::int8_t>(dk);
      rowOf[o][k] = static_cast<std::uint8_t>(dk < 0 ? h + N + inBlock - (N - h) : dk == 0 ? h + inBlock : inBlock);
    }
  // Per first lane's column phase m % N: each lane's block, from the first.
  alignas(64) std::int32_t blockLane[N][kMaxLanes];
  for (int ph = 0; ph < N; ++ph)
    for (int l = 0; l < kMaxLanes; ++l) blockLane[ph][l] = (ph + l) / N;

  const float* const in[3] = {job.in[0], job.in[1], job.in[2]};
  float* const out[3] = {job.out[0], job.out[1], job.out[2]};
  const bool inPlace = in[0] == out[0];

  auto paint = [&](int pr) {
    const std::uint8_t* codes = job.code + static_cast<std::size_t>(pr) * W;
    const std::uint8_t* admit = job.admit + static_cast<std::size_t>(pr) * W;
    const bool active[3] = {pr - 1 >= rBegin && pr - 1 < rEnd, pr >= rBegin && pr < rEnd,
                            pr + 1 >= rBegin && pr + 1 < rEnd};
    for (int q = 0; q < W; ++q) {
      const int o = codes[q];
      if (o >= N * N) continue;
      const std::size_t p = static_cast<std::size_t>(pr) * W + q;
      const V colour[3] = {hn::Set(d, job.frame[0][p]), hn::Set(d, job.frame[1][p]),
                           hn::Set(d, job.frame[2][p])};
      const int start = q * N + o % N - h;  // the window's first model column
      // In its own block row: cut to the blocks that admit it.
      const bool left = q > 0 && (admit[q - 1] & kAdmitLater) != 0;
      const bool right = q + 1 < W && (admit[q + 1] & kAdmitEarlier) != 0;
      const int from = left ? start : std::max(start, q * N);
      const int to = right ? start + N : std::min(start + N, (q + 1) * N);
      for (int k = 0; k < N; ++k) {
        const int dk = blockOf[o][k];
        if (!active[dk + 1]) continue;
        float* row = layer(pr + dk, rowOf[o][k]);
        const int at = dk == 0 ? from : start;
        const float* rate = rates[k] + (at - start);
        for (int g = 0; g < G; ++g) {
          V a = hn::LoadU(d, rate + g * L);
          if (dk == 0)
            a = hn::IfThenElse(hn::FirstN(d, static_cast<std::size_t>(std::max(to - at - g * L, 0))),
                               a, hn::Set(d, nan));
          float* cell = row + at + g * L;
          hn::StoreU(a, d, cell);
          for (int k3 = 0; k3 < 3; ++k3) hn::StoreU(colour[k3], d, cell + (k3 + 1) * stride);
        }
      }
    }
  };

  // The lanes of the blocks from m's on whose admission has `bit`.
  auto admitted = [&](const std::uint8_t* admit, int m, std::uint8_t bit) {
    const auto bytes = hn::PromoteTo(di, hn::LoadU(du8, admit + m / N));
    const auto lanes = hn::TableLookupLanes(bytes, hn::SetTableIndices(di, blockLane[m % N]));
    return hn::RebindMask(d, hn::TestBit(lanes, hn::Set(di, bit)));
  };

  const auto one = hn::Set(dw, 1.0);
  auto merge = [&](int R) {
    const std::uint8_t* admit = job.admit + static_cast<std::size_t>(R) * W;
    for (int i = 0; i < N; ++i) {
      const float* mid = layer(R, h + i);
      const float* up = i < h ? layer(R, i) : nullptr;
      const float* down = i >= N - h ? layer(R, h + N + i - (N - h)) : nullptr;
      const std::size_t cell0 = static_cast<std::size_t>(R * N + i) * modelW;
      int m = 0;
      for (; m + L <= modelW; m += L) {
        V a = hn::LoadU(d, mid + m);
        V x[3] = {hn::LoadU(d, mid + stride + m), hn::LoadU(d, mid + 2 * stride + m),
                  hn::LoadU(d, mid + 3 * stride + m)};
        auto take = [&](const float* layerRow, auto use) {
          a = hn::IfThenElse(use, hn::LoadU(d, layerRow + m), a);
          for (int k = 0; k < 3; ++k)
            x[k] = hn::IfThenElse(use, hn::LoadU(d, layerRow + (k + 1) * stride + m), x[k]);
        };
        if (up != nullptr) {
          const V aUp = hn::LoadU(d, up + m);
          take(up, hn::And(hn::IsNaN(a), hn::AndNot(hn::IsNaN(aUp), admitted(admit, m, kAdmitEarlier))));
        }
        if (down != nullptr) {
          const V aDown = hn::LoadU(d, down + m);
          take(down, hn::AndNot(hn::IsNaN(aDown), admitted(admit, m, kAdmitLater)));
        }
        const auto painted = hn::Not(hn::IsNaN(a));
        if (hn::AllFalse(d, painted)) continue;
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
      for (; m < modelW; ++m) mergeCell(job, mid, up, down, stride, admit, m, cell0 + m);
    }
  };

  for (int R = rBegin; R < rEnd && R < rBegin + 2; ++R) reset(R);
  const int first = std::max(rBegin - 1, 0), last = std::min(rEnd, H - 1);
  int blended = rBegin;  // block rows below this are done
  for (int pr = first; pr <= last; ++pr) {
    if (pr + 1 < rEnd && pr + 1 >= rBegin + 2) reset(pr + 1);
    if (ready != nullptr) (*ready)(pr);
    paint(pr);
    // Block row pr-1 has all its layers.
    if (pr - 1 >= blended && pr - 1 < rEnd) merge(blended++);
  }
  while (blended < rEnd) merge(blended++);
}

void updateBand(const UpdateJob& job, int rBegin, int rEnd, const std::function<void(int)>* ready,
                BandScratch& scratch) {
  const hn::ScalableTag<float> d;
  switch (job.n) {
    case 3: return bandN<3>(d, job, rBegin, rEnd, ready, scratch);
    case 5: return bandN<5>(d, job, rBegin, rEnd, ready, scratch);
    case 7: return bandN<7>(d, job, rBegin, rEnd, ready, scratch);
    case 9: return bandN<9>(d, job, rBegin, rEnd, ready, scratch);
  }
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
