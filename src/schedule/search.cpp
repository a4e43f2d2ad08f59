// The search of a pixel row (kernels.h), written once and compiled for every
// path by Highway's foreach_target.
//
// Every lane does the reference's float operations in the reference's
// order: d = ((mx - px)^2 + (my - py)^2) + (mv - pv)^2, no fused
// multiply-add. The reference keeps a running minimum from 100 that a cell
// lowers only when strictly closer (a NaN distance never does) and records
// the cell when the new minimum is within the threshold; so it records the
// first cell attaining the block's least distance exactly when that distance
// is below 100 and within the threshold, and that is what the lanes decide,
// before the centre's tie rule.
//
// n = 3: a lane per pixel, its block's cells deinterleaved by loadCells3
// (cells3-inl.h). n = 5, 7, 9: a lane per cell, as many blocks side by side
// as a vector holds (or one block over several vectors), the least distance
// and the first cell attaining it found per block by reductions within its
// lanes. Pixels too close to the row's end for whole vectors take the same
// decision one at a time.
#include "schedule/hwy_config.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "schedule/search.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "schedule/cells3-inl.h"

#include <cstddef>
#include <cstdint>

#include "schedule/kernels.h"

#ifndef SCVARDO_SEARCH_ONCE
#define SCVARDO_SEARCH_ONCE
namespace scv {

// One pixel, as the reference scans it.
inline void searchPixel(const SearchRow& s, int c) {
  const int n = s.n, h = n / 2;
  const std::size_t b = static_cast<std::size_t>(c) * n;
  float low = 100.0f, centre = 0.0f;
  int at = -1;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      const std::size_t k = i * s.modelW + b + j;
      const float dx = s.X[k] - s.px[c], dy = s.Y[k] - s.py[c], dv = s.V[k] - s.pv[c];
      const float sxy = dx * dx + dy * dy;
      const float d = sxy + dv * dv;
      if (i == h && j == h) centre = d;
      if (d < low) {
        low = d;
        at = i * n + j;
      }
    }
  const float threshold = s.thresholds != nullptr ? s.thresholds[c] : s.threshold;
  const bool match = low < 100.0f && low <= threshold;
  s.code[c] = match ? static_cast<std::uint8_t>(centre <= low ? h * n + h : at) : kNoMatch;
  if (s.nearest != nullptr) s.nearest[c] = low < 100.0f ? static_cast<std::uint8_t>(at) : kNoMatch;
  if (s.distance != nullptr) s.distance[c] = low;
}

}  // namespace scv
#endif  // SCVARDO_SEARCH_ONCE

HWY_BEFORE_NAMESPACE();
namespace scv {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

constexpr std::size_t kMaxLanes = 16;

// The squared cone distance of cells (x, y, v) to colours (px, py, pv).
template <class V>
HWY_INLINE V distance(V x, V y, V v, V px, V py, V pv) {
  const V dx = hn::Sub(x, px), dy = hn::Sub(y, py), dv = hn::Sub(v, pv);
  return hn::Add(hn::Add(hn::Mul(dx, dx), hn::Mul(dy, dy)), hn::Mul(dv, dv));
}

// Codes held as small whole floats, stored as bytes.
template <class D>
HWY_INLINE void storeCodes(D, hn::Vec<D> codes, std::uint8_t* out) {
  const hn::RebindToSigned<D> di;
  const hn::Rebind<std::uint8_t, D> du8;
  hn::StoreU(hn::DemoteTo(du8, hn::ConvertTo(di, codes)), du8, out);
}

template <class D>
HWY_INLINE void searchRow3(D d, const SearchRow& s) {
  using V = hn::Vec<D>;
  const int L = static_cast<int>(hn::Lanes(d));
  const V hundred = hn::Set(d, 100.0f), none = hn::Set(d, static_cast<float>(kNoMatch));
  const V centreCode = hn::Set(d, 4.0f);
  int c = 0;
  for (; c + L <= s.count; c += L) {
    const V px = hn::LoadU(d, s.px + c), py = hn::LoadU(d, s.py + c), pv = hn::LoadU(d, s.pv + c);
    V low = hundred, at = none, centre = hundred;
    for (int i = 0; i < 3; ++i) {
      const std::size_t b = i * s.modelW + 3 * static_cast<std::size_t>(c);
      V x0, x1, x2, y0, y1, y2, v0, v1, v2;
      loadCells3(d, s.X + b, x0, x1, x2);
      loadCells3(d, s.Y + b, y0, y1, y2);
      loadCells3(d, s.V + b, v0, v1, v2);
      const V cells[3][3] = {{x0, y0, v0}, {x1, y1, v1}, {x2, y2, v2}};
      for (int j = 0; j < 3; ++j) {
        const V dist = distance(cells[j][0], cells[j][1], cells[j][2], px, py, pv);
        const auto lower = hn::Lt(dist, low);
        low = hn::IfThenElse(lower, dist, low);
        at = hn::IfThenElse(lower, hn::Set(d, static_cast<float>(i * 3 + j)), at);
        if (i == 1 && j == 1) centre = dist;
      }
    }
    const V threshold =
        s.thresholds != nullptr ? hn::LoadU(d, s.thresholds + c) : hn::Set(d, s.threshold);
    const auto below = hn::Lt(low, hundred);
    const auto match = hn::And(below, hn::Le(low, threshold));
    storeCodes(d, hn::IfThenElse(match, hn::IfThenElse(hn::Le(centre, low), centreCode, at), none),
               s.code + c);
    if (s.nearest != nullptr) storeCodes(d, hn::IfThenElse(below, at, none), s.nearest + c);
    if (s.distance != nullptr) hn::StoreU(low, d, s.distance + c);
  }
  for (; c < s.count; ++c) searchPixel(s, c);
}

// Lane tables of the packed search: B blocks of N cells side by side over
// VN vectors (lane l of vector v is cell column l + v L of the chunk).
template <int N, class D>
struct Packed {
  static constexpr int kMaxV = 4;
  int L, VN, B;
  alignas(64) float column[kMaxV][kMaxLanes];   // the cell's column j in its block
  alignas(64) float used[kMaxV][kMaxLanes];     // 1 for lanes of a block
  alignas(64) std::int32_t block[kMaxLanes];    // its block b (vector 0; VN == 1 only)
  alignas(64) std::int32_t start[kMaxLanes];    // its block's first lane
  alignas(64) std::int32_t centre[kMaxLanes];   // its block's centre lane
  alignas(64) std::int32_t shift[4][kMaxLanes]; // lane + 2^k within its block, else itself
  int shifts = 0;

  explicit Packed(D d) : L(static_cast<int>(hn::Lanes(d))) {
    VN = (N + L - 1) / L;
    B = VN * L / N;
    for (int v = 0; v < VN; ++v)
      for (int l = 0; l < L; ++l) {
        const int cell = l + v * L;
        column[v][l] = static_cast<float>(cell % N);
        used[v][l] = cell < B * N ? 1.0f : 0.0f;
      }
    for (int l = 0; l < L; ++l) {
      const bool in = l < B * N;
      block[l] = in ? l / N : 0;
      start[l] = in ? l / N * N : l;
      centre[l] = in ? l / N * N + N / 2 : l;
      for (int k = 0; k < 4; ++k) {
        const int to = l + (1 << k);
        shift[k][l] = in && to < (l / N + 1) * N ? to : l;
      }
    }
    while ((1 << shifts) < N && shifts < 4) ++shifts;
  }
};

// The least of each block's lanes, in all its lanes (no NaN in `v`).
template <int N, class D>
HWY_INLINE hn::Vec<D> blockMin(D d, const Packed<N, D>& t, hn::Vec<D> v) {
  if (t.B == 1) return hn::MinOfLanes(d, v);
  for (int k = 0; k < t.shifts; ++k)
    v = hn::Min(v, hn::TableLookupLanes(v, hn::SetTableIndices(d, t.shift[k])));
  return hn::TableLookupLanes(v, hn::SetTableIndices(d, t.start));
}

template <int N, class D>
HWY_INLINE void searchRowPacked(D d, const SearchRow& s) {
  using V = hn::Vec<D>;
  constexpr int h = N / 2;
  const Packed<N, D> t(d);
  const int L = t.L, VN = t.VN, B = t.B;
  const V hundred = hn::Set(d, 100.0f), none = hn::Set(d, static_cast<float>(kNoMatch));
  const V big = hn::Set(d, 1000.0f), n = hn::Set(d, static_cast<float>(N));
  const V centreCode = hn::Set(d, static_cast<float>(h * N + h));
  const auto toBlock = hn::SetTableIndices(d, t.block);
  alignas(64) float colour[4][kMaxLanes] = {};
  alignas(64) float result[3][kMaxLanes];
  int c = 0;
  for (; c + B <= s.count && static_cast<std::size_t>(c) * N + VN * L <= s.modelW; c += B) {
    for (int b = 0; b < B; ++b) {
      colour[0][b] = s.px[c + b];
      colour[1][b] = s.py[c + b];
      colour[2][b] = s.pv[c + b];
      colour[3][b] = s.thresholds != nullptr ? s.thresholds[c + b] : s.threshold;
    }
    // Each lane's pixel colour and threshold.
    V px, py, pv, threshold;
    if (B == 1) {
      px = hn::Set(d, colour[0][0]);
      py = hn::Set(d, colour[1][0]);
      pv = hn::Set(d, colour[2][0]);
      threshold = hn::Set(d, colour[3][0]);
    } else {
      px = hn::TableLookupLanes(hn::Load(d, colour[0]), toBlock);
      py = hn::TableLookupLanes(hn::Load(d, colour[1]), toBlock);
      pv = hn::TableLookupLanes(hn::Load(d, colour[2]), toBlock);
      threshold = hn::TableLookupLanes(hn::Load(d, colour[3]), toBlock);
    }
    // Per lane (a column of a block): the least distance over the rows and
    // the first row attaining it; and the centre row's distances.
    V low[Packed<N, D>::kMaxV], row[Packed<N, D>::kMaxV], centreRow[Packed<N, D>::kMaxV];
    for (int v = 0; v < VN; ++v) low[v] = hundred, row[v] = hundred, centreRow[v] = hundred;
    for (int i = 0; i < N; ++i) {
      const std::size_t base = i * s.modelW + static_cast<std::size_t>(c) * N;
      const V rowIndex = hn::Set(d, static_cast<float>(i));
      for (int v = 0; v < VN; ++v) {
        const std::size_t k = base + static_cast<std::size_t>(v) * L;
        const V dist = distance(hn::LoadU(d, s.X + k), hn::LoadU(d, s.Y + k), hn::LoadU(d, s.V + k),
                                px, py, pv);
        const auto lower = hn::Lt(dist, low[v]);
        low[v] = hn::IfThenElse(lower, dist, low[v]);
        row[v] = hn::IfThenElse(lower, rowIndex, row[v]);
        if (i == h) centreRow[v] = dist;
      }
    }
    // The block's least distance M (lanes of no block keep 100), and the
    // first cell i*N + j attaining it: the least code among the columns
    // whose least distance is M.
    V least = hundred;
    for (int v = 0; v < VN; ++v) {
      low[v] = hn::IfThenElse(hn::Eq(hn::Load(d, t.used[v]), hn::Zero(d)), hundred, low[v]);
      least = hn::Min(least, low[v]);
    }
    const V M = blockMin(d, t, least);
    V first = big;
    for (int v = 0; v < VN; ++v) {
      const auto attains = hn::And(hn::Eq(low[v], M), hn::Lt(hn::Zero(d), hn::Load(d, t.used[v])));
      const V code = hn::Add(hn::Mul(row[v], n), hn::Load(d, t.column[v]));
      first = hn::Min(first, hn::IfThenElse(attains, code, big));
    }
    first = blockMin(d, t, first);
    V centreDist;
    if (VN == 1) {
      centreDist = hn::TableLookupLanes(centreRow[0], hn::SetTableIndices(d, t.centre));
    } else {
      alignas(64) float row_h[kMaxLanes];
      hn::Store(centreRow[h / L], d, row_h);
      centreDist = hn::Set(d, row_h[h % L]);
    }
    const auto below = hn::Lt(M, hundred);
    const auto match = hn::And(below, hn::Le(M, threshold));
    hn::Store(hn::IfThenElse(match, hn::IfThenElse(hn::Le(centreDist, M), centreCode, first), none),
              d, result[0]);
    hn::Store(hn::IfThenElse(below, first, none), d, result[1]);
    hn::Store(M, d, result[2]);
    for (int b = 0; b < B; ++b) {
      s.code[c + b] = static_cast<std::uint8_t>(result[0][b * N]);
      if (s.nearest != nullptr) s.nearest[c + b] = static_cast<std::uint8_t>(result[1][b * N]);
      if (s.distance != nullptr) s.distance[c + b] = result[2][b * N];
    }
  }
  for (; c < s.count; ++c) searchPixel(s, c);
}

void searchRow(const SearchRow& s) {
  const hn::ScalableTag<float> d;
  switch (s.n) {
    case 3: return searchRow3(d, s);
    case 5: return searchRowPacked<5>(d, s);
    case 7: return searchRowPacked<7>(d, s);
    case 9: return searchRowPacked<9>(d, s);
    default:
      for (int c = 0; c < s.count; ++c) searchPixel(s, c);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace scv
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace scv {

using SearchFn = void (*)(const SearchRow&);

SearchFn searchRowFor(Isa isa) {
#define SCVARDO_CASE(I, NS) \
  if (isa == I) return &NS::searchRow;
  SCVARDO_EACH_PATH(SCVARDO_CASE)
#undef SCVARDO_CASE
  return &N_EMU128::searchRow;
}

}  // namespace scv
#endif
