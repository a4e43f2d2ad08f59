// The band update (kernels.h), written once and compiled for every path by
// Highway's foreach_target.
//
// A cell of block row R ends with the blend of the last window, in raster
// order, that covers it and that its block admits. A window lies around its
// pixel's winner, within one block of the pixel's own, so the windows that
// can cover a cell of block (R, C) are those of pixels C-1, C and C+1 of
// pixel rows R-1 (for the block's top h model rows only), R and R+1 (its
// bottom h rows only); the later ones come from row R+1 before R before R-1,
// and within a row from C+1 before C before C-1.
//
// So the update takes a model row a cell per lane. For each candidate in
// raster order it looks up the window's first column (per pixel, made once
// per pixel row and model row), tests whether the window covers the lane's
// cell and whether the lane's block admits it, and keeps the latest that
// does; then it looks up that window's rate (by the cell's place in the
// window) and its pixel's colour, and blends the cell once:
// out = float((1 - a) * in + a * x), in double, as the reference does.
// Nothing is painted and nothing stored but the model; no branch depends on
// a winner's place. For n = 3 the choice takes a pixel per lane instead
// (choosePixels3): each cell's candidates are then the lane's own pixel
// and, for its first and last cell, the one beside it, with no lookups.
#include "schedule/hwy_config.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "schedule/update.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "schedule/cells3-inl.h"

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

// Pixels before and after a row's per-pixel values, so that whole vectors
// can be read around any cell's pixel.
constexpr int kLead = 1;
constexpr int kTrail = 40;
// The first column of "no window": no cell lies within N of it.
constexpr std::int32_t kNever = -(1 << 30);
// Cells ahead whose model the blends ask for.
constexpr int kPrefetch = 128;

}  // namespace scv
#endif  // SCVARDO_UPDATE_ONCE

HWY_BEFORE_NAMESPACE();
namespace scv {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

constexpr int kMaxLanes = 16;

// Per pixel row P, made once it may be read: per pixel q (at q + kLead) the
// first column and first model row of its window (kNever, 0 without one),
// where its rates start in the band's table (0, or n*n for the absorption
// rates), and its colour.
struct SourceRow {
  std::int32_t* start;
  std::int32_t* top;
  std::int32_t* table;
  bool absorbed;  // some window takes the absorption rates
  float* colour[3];
};

// A band's scratch: three source rows (pixel rows P % 3), and per model
// row the first columns and place bases of the windows of up to three pixel
// rows that reach it, and the admissions of its block row.
struct Rows {
  std::size_t length = 0;  // values per row, padding included: whole vectors
  SourceRow source[3];
  std::int32_t* first[3];  // the covering windows' first columns, else kNever
  std::int32_t* base[3];   // a cell's place in the window is base + its column
  std::int32_t* admit;

  explicit Rows(int W, BandScratch& s)
      : length((static_cast<std::size_t>(kLead + W + kTrail) + kMaxLanes - 1) / kMaxLanes * kMaxLanes) {
    if (s.cells.size() != 16 * length || s.colour.size() != 9 * length) {
      s.cells.assign(16 * length, kNever);
      s.colour.assign(9 * length, 0.0f);
    }
    std::int32_t* cells = s.cells.data();
    for (int k = 0; k < 3; ++k) {
      source[k].start = cells + (2 * k) * length;
      source[k].top = cells + (2 * k + 1) * length;
      source[k].table = cells + (13 + k) * length;
      source[k].absorbed = false;
      for (int c = 0; c < 3; ++c) source[k].colour[c] = s.colour.data() + (3 * k + c) * length;
      first[k] = cells + (6 + 2 * k) * length;
      base[k] = cells + (7 + 2 * k) * length;
    }
    admit = cells + 12 * length;
    std::fill(cells + 13 * length, cells + 16 * length, 0);
  }
};

template <int N, class D>
class Band {
 public:
  Band(D d, const UpdateJob& job, BandScratch& s) : d_(d), job_(job), rows_(job.W, s) {
    for (int ph = 0; ph < N; ++ph)
      for (int l = 0; l < kMaxLanes; ++l) own_[ph][l] = (ph + l) / N + kLead;
    constexpr std::size_t kCells = N * N;
    rateCount_ = job.absorb != nullptr && job.absorbAlpha != nullptr ? 2 * kCells : kCells;
    for (std::size_t e = 0; e < sizeof rates_ / sizeof rates_[0]; ++e)
      rates_[e] = e < kCells ? job.alpha[e] : e < rateCount_ ? job.absorbAlpha[e - kCells] : 0.0f;
    if (N == 3) {
      paintLength_ = (static_cast<std::size_t>(N) * job.W + kMaxLanes - 1) / kMaxLanes * kMaxLanes;
      if (s.paint.size() != 4 * paintLength_) s.paint.assign(4 * paintLength_, 0.0f);
      paint_ = s.paint.data();
    }
  }

  // Pixel row P's windows and colours (its winners must be final).
  void prepare(int P) {
    constexpr int h = N / 2;
    const int W = job_.W;
    SourceRow& row = rows_.source[P % 3];
    const std::size_t at = static_cast<std::size_t>(P) * W;
    const std::uint8_t* code = job_.code + at;
    std::int32_t* start = row.start + kLead;
    std::int32_t* top = row.top + kLead;
    for (int q = 0; q < W; ++q) {
      const int o = code[q];
      const bool laid = o < N * N;
      start[q] = laid ? q * N + o % N - h : kNever;
      top[q] = laid ? P * N + o / N - h : 0;
    }
    // Still pixels are few: most rows have none and keep offsets of 0.
    row.absorbed = rateCount_ > N * N && std::memchr(job_.absorb + at, kAbsorbStill, W) != nullptr;
    if (row.absorbed) {
      const std::uint8_t* absorb = job_.absorb + at;
      std::int32_t* table = row.table + kLead;
      for (int q = 0; q < W; ++q) table[q] = absorb[q] == kAbsorbStill ? N * N : 0;
    }
    for (int k = 0; k < 3; ++k)
      std::memcpy(row.colour[k] + kLead, job_.frame[k] + at, static_cast<std::size_t>(W) * sizeof(float));
  }

  // Blends block row R from the windows of pixel rows R-1..R+1 (prepared).
  void blend(int R) {
    constexpr int h = N / 2;
    const hn::RebindToSigned<D> di;
    using VI = hn::Vec<decltype(di)>;
    const int W = job_.W, H = job_.H;
    const int L = static_cast<int>(hn::Lanes(d_));
    const std::size_t length = rows_.length;
    const std::uint8_t* admit = job_.admit + static_cast<std::size_t>(R) * W;
    for (int q = 0; q < W; ++q) rows_.admit[kLead + q] = admit[q];
    for (int i = 0; i < N; ++i) {
      const int M = R * N + i;  // the model row
      // The pixel rows whose windows may reach model row M, earliest first.
      int sources[3], count = 0;
      if (i < h && R > 0) sources[count++] = R - 1;
      sources[count++] = R;
      if (i >= N - h && R + 1 < H) sources[count++] = R + 1;
      absorbed_ = false;
      for (int k = 0; k < count; ++k) absorbed_ = absorbed_ || rows_.source[sources[k] % 3].absorbed;
      for (int k = 0; k < count; ++k) {
        // Per pixel: its window's first column if the window covers row M.
        const SourceRow& row = rows_.source[sources[k] % 3];
        std::int32_t* first = rows_.first[k];
        std::int32_t* base = rows_.base[k];
        const VI m = hn::Set(di, M), n = hn::Set(di, N), never = hn::Set(di, kNever);
        const hn::RebindToUnsigned<decltype(di)> du;
        // The table offsets stay 0 unless some window takes the absorption rates.
        const bool tables = row.absorbed;
        for (std::size_t p = 0; p < length; p += L) {
          const VI start = hn::LoadU(di, row.start + p), fromTop = hn::Sub(m, hn::LoadU(di, row.top + p));
          const auto covers = hn::RebindMask(di, hn::Lt(hn::BitCast(du, fromTop), hn::BitCast(du, n)));
          hn::StoreU(hn::IfThenElse(covers, start, never), di, first + p);
          const VI place = hn::Sub(hn::Mul(fromTop, n), start);
          hn::StoreU(tables ? hn::Add(place, hn::LoadU(di, row.table + p)) : place, di, base + p);
        }
      }
      blendModelRow(R, i, sources[0] < R, sources[count - 1] > R);
    }
  }

 private:
  // Model row i of block row R, from the windows of pixel rows R-1 (kUp),
  // R and R+1 (kDown).
  template <bool kUp, bool kDown>
  HWY_NOINLINE void blendCells(int R, int i);
  // n = 3: the same in two steps. With a pixel per lane, its block's three
  // cells at once, each cell's window is chosen and its rate (-1 for none)
  // and colour written per cell (paint_); returns the pixels done (whole
  // vectors of them). Then the cells are blended from those. Apart, each
  // step reads its operands from memory in its lanes' order and needs few
  // lane-crossing shuffles, the bottleneck of the one-step form on AVX2.
  template <bool kUp, bool kDown>
  HWY_NOINLINE int choosePixels3(int R);
  HWY_NOINLINE void blendPainted(int R, int i, int cells);
  // The rates at the lanes' places in the window.
  HWY_INLINE hn::Vec<D> rateOf(hn::Vec<hn::RebindToSigned<D>> place) const {
    const D d = d_;
    const hn::RebindToSigned<D> di;
    const int L = static_cast<int>(hn::Lanes(d));
    const int tables = static_cast<int>(((absorbed_ ? rateCount_ : N * N) + L - 1) / L);
    if (tables == 1) return hn::TableLookupLanes(hn::Load(d, rates_), hn::IndicesFromVec(d, place));
    if (tables > 4) return hn::GatherIndex(d, rates_, place);
    const auto lanesMask = hn::Set(di, L - 1);
    hn::Vec<D> r = hn::Zero(d);
    const auto idx = hn::IndicesFromVec(d, hn::And(place, lanesMask));
    for (int k = 0; k < tables; ++k)
      r = hn::IfThenElse(hn::RebindMask(d, hn::Eq(hn::AndNot(lanesMask, place), hn::Set(di, k * L))),
                         hn::TableLookupLanes(hn::Load(d, rates_ + k * L), idx), r);
    return r;
  }

  void blendModelRow(int R, int i, bool up, bool down) {
    if (up && down) return blendCells<true, true>(R, i);
    if (up) return blendCells<true, false>(R, i);
    if (down) return blendCells<false, true>(R, i);
    return blendCells<false, false>(R, i);
  }

  D d_;
  const UpdateJob& job_;
  Rows rows_;
  // n = 3: rates, then colours 0..2, of a model row's cells, rows paintLength_ apart.
  float* paint_ = nullptr;
  std::size_t paintLength_ = 0;
  alignas(64) std::int32_t own_[N][kMaxLanes];  // per column phase: each lane's pixel, relative
  // The window rates, then the absorption rates when the job has them.
  alignas(64) float rates_[(2 * N * N + kMaxLanes - 1) / kMaxLanes * kMaxLanes];
  std::size_t rateCount_ = 0;
  bool absorbed_ = false;  // the model row being blended reads the absorption rates
};

template <int N, class D>
template <bool kUp, bool kDown>
HWY_NOINLINE void Band<N, D>::blendCells(int R, int i) {
  constexpr int kCount = 1 + kUp + kDown;
  // Each source's pixel row against R, earliest first.
  constexpr int kRel[3] = {kUp ? -1 : 0, kUp ? 0 : 1, 1};
  using V = hn::Vec<D>;
  const D d = d_;
  const hn::RebindToSigned<D> di;
  using VI = hn::Vec<decltype(di)>;
  using MI = hn::Mask<decltype(di)>;
  const hn::RebindToUnsigned<decltype(di)> du;
  const hn::Half<D> dh;
  const hn::RepartitionToWide<D> dw;
  const int L = static_cast<int>(hn::Lanes(d));
  const int modelW = N * job_.W;
  const float* const in[3] = {job_.in[0], job_.in[1], job_.in[2]};
  float* const out[3] = {job_.out[0], job_.out[1], job_.out[2]};
  const bool inPlace = in[0] == out[0];
  const std::size_t cell0 = static_cast<std::size_t>(R * N + i) * modelW;
  // Whose windows each candidate's block admits, by the candidate's pixel
  // row (against R) and column (against the block's).
  const std::int32_t* const admit = rows_.admit;
  const std::int32_t* first[kCount];
  const std::int32_t* base[kCount];
  const float* colour[kCount][3];
  for (int k = 0; k < kCount; ++k) {
    first[k] = rows_.first[k];
    base[k] = rows_.base[k];
    for (int c = 0; c < 3; ++c) colour[k][c] = rows_.source[(R + kRel[k]) % 3].colour[c];
  }
  const VI n = hn::Set(di, N), zero = hn::Zero(di), one = hn::Set(di, 1);
  const VI earlier = hn::Set(di, kAdmitEarlier), later = hn::Set(di, kAdmitLater);
  const auto unit = hn::Set(dw, 1.0);
  const VI step = hn::Set(di, L);
  VI column = hn::Iota(di, 0);  // each lane's model column
  int m = 0;
  if constexpr (N == 3) {
    m = N * choosePixels3<kUp, kDown>(R);
    blendPainted(R, i, m);
  }
  for (; N != 3 && m + L <= modelW; m += L, column = hn::Add(column, step)) {
    for (int k = 0; k < 3; ++k) __builtin_prefetch(in[k] + cell0 + m + kPrefetch);
    const int p0 = m / N - 1 + kLead;  // the first loaded pixel, in the rows' indices
    const VI own = hn::Load(di, own_[m % N]);  // each lane's pixel among those loaded
    const VI admits = hn::TableLookupLanes(hn::LoadU(di, admit + p0), hn::IndicesFromVec(di, own));
    const MI takesEarlier = hn::TestBit(admits, earlier), takesLater = hn::TestBit(admits, later);
    VI place = zero, who = zero, from = zero;
    MI any = hn::Lt(zero, zero);
    HWY_UNROLL(3)
    for (int k = 0; k < kCount; ++k) {
      const VI firsts = hn::LoadU(di, first[k] + p0), bases = hn::LoadU(di, base[k] + p0);
      HWY_UNROLL(3)
      for (int dq = -1; dq <= 1; ++dq) {
        const VI pixel = dq == 0 ? own : hn::Add(own, hn::Set(di, dq));
        const auto idx = hn::IndicesFromVec(di, pixel);
        const VI start = hn::TableLookupLanes(firsts, idx);
        const auto covers = hn::RebindMask(di, hn::Lt(hn::BitCast(du, hn::Sub(column, start)), hn::BitCast(du, n)));
        // Earlier windows than the block's own: rows above, or the pixel to
        // its left; later ones: rows below, or the pixel to its right.
        const int order = kRel[k] != 0 ? kRel[k] : dq;
        const MI use = order < 0 ? hn::And(covers, takesEarlier)
                                 : order > 0 ? hn::And(covers, takesLater) : covers;
        place = hn::IfThenElse(use, hn::TableLookupLanes(bases, idx), place);
        who = hn::IfThenElse(use, pixel, who);
        if (kCount > 1) from = hn::IfThenElse(use, hn::Set(di, k), from);
        any = hn::Or(any, use);
      }
    }
    if (hn::AllFalse(di, any)) continue;
    const auto painted = hn::RebindMask(d, any);
    const auto idx = hn::IndicesFromVec(d, who);
    V x[3];
    for (int c = 0; c < 3; ++c) x[c] = hn::TableLookupLanes(hn::LoadU(d, colour[0][c] + p0), idx);
    for (int k = 1; k < kCount; ++k) {
      const auto fromK = hn::RebindMask(d, hn::Eq(from, hn::Set(di, k)));
      for (int c = 0; c < 3; ++c)
        x[c] = hn::IfThenElse(fromK, hn::TableLookupLanes(hn::LoadU(d, colour[k][c] + p0), idx), x[c]);
    }
    const V a = rateOf(hn::IfThenElse(any, hn::Add(place, column), zero));
    const auto aLo = hn::PromoteTo(dw, hn::LowerHalf(dh, a));
    const auto aHi = hn::PromoteTo(dw, hn::UpperHalf(dh, a));
    const auto keepLo = hn::Sub(unit, aLo), keepHi = hn::Sub(unit, aHi);
    const std::size_t cell = cell0 + m;
    // Most vectors are painted whole: their halves are stored as they are.
    const bool whole = hn::AllTrue(di, any);
    const int half = L / 2;
    for (int c = 0; c < 3; ++c) {
      const auto lo = hn::Add(hn::Mul(keepLo, hn::PromoteTo(dw, hn::LoadU(dh, in[c] + cell))),
                              hn::Mul(aLo, hn::PromoteTo(dw, hn::LowerHalf(dh, x[c]))));
      const auto hi = hn::Add(hn::Mul(keepHi, hn::PromoteTo(dw, hn::LoadU(dh, in[c] + cell + half))),
                              hn::Mul(aHi, hn::PromoteTo(dw, hn::UpperHalf(dh, x[c]))));
      if (whole) {
        hn::StoreU(hn::DemoteTo(dh, lo), dh, out[c] + cell);
        hn::StoreU(hn::DemoteTo(dh, hi), dh, out[c] + cell + half);
      } else {
        const V blended = hn::Combine(d, hn::DemoteTo(dh, hi), hn::DemoteTo(dh, lo));
        const V old = hn::LoadU(d, (inPlace ? in[c] : out[c]) + cell);
        hn::StoreU(hn::IfThenElse(painted, blended, old), d, out[c] + cell);
      }
    }
  }
  // The last cells one at a time, the same way.
  for (; m < modelW; ++m) {
    const int C = m / N;
    const int blockAdmits = admit[kLead + C];
    int place = -1, who = 0, from = 0;
    for (int k = 0; k < kCount; ++k)
      for (int dq = -1; dq <= 1; ++dq) {
        const int q = C + dq + kLead;
        const std::int32_t start = first[k][q];
        if (static_cast<std::uint32_t>(m - start) >= static_cast<std::uint32_t>(N)) continue;
        const int order = kRel[k] != 0 ? kRel[k] : dq;
        if (order < 0 && (blockAdmits & kAdmitEarlier) == 0) continue;
        if (order > 0 && (blockAdmits & kAdmitLater) == 0) continue;
        place = base[k][q] + m;
        who = q;
        from = k;
      }
    if (place < 0) continue;
    const float a = rates_[place];
    const double oneMinusA = 1.0 - a;
    const std::size_t cell = cell0 + m;
    for (int c = 0; c < 3; ++c)
      out[c][cell] = static_cast<float>(oneMinusA * in[c][cell] + static_cast<double>(a) * colour[from][c][who]);
  }
  (void)one;
}

template <int N, class D>
template <bool kUp, bool kDown>
HWY_NOINLINE int Band<N, D>::choosePixels3(int R) {
  static_assert(N == 3, "blocks of three cells a side");
  constexpr int kCount = 1 + kUp + kDown;
  constexpr int kRel[3] = {kUp ? -1 : 0, kUp ? 0 : 1, 1};
  using V = hn::Vec<D>;
  const D d = d_;
  const hn::RebindToSigned<D> di;
  using VI = hn::Vec<decltype(di)>;
  using MI = hn::Mask<decltype(di)>;
  const hn::RebindToUnsigned<decltype(di)> du;
  const int L = static_cast<int>(hn::Lanes(d));
  const int W = job_.W;
  const std::int32_t* const admit = rows_.admit;
  const VI three = hn::Set(di, 3), zero = hn::Zero(di);
  const VI earlier = hn::Set(di, kAdmitEarlier), later = hn::Set(di, kAdmitLater);
  const V none = hn::Set(d, -1.0f);
  // Whether a window starting at `first` covers the cells at `column`.
  auto covers = [&](VI column, VI first) {
    return hn::RebindMask(di, hn::Lt(hn::BitCast(du, hn::Sub(column, first)), hn::BitCast(du, three)));
  };
  const VI step = hn::Set(di, N * L);
  VI column = hn::Mul(hn::Iota(di, 0), three);  // each lane's block's first model column
  int q = 0;
  for (; q + L <= W; q += L, column = hn::Add(column, step)) {
    const int p = q + kLead;  // the lanes' pixels, in the rows' indices
    const VI admits = hn::LoadU(di, admit + p);
    const MI takesEarlier = hn::TestBit(admits, earlier), takesLater = hn::TestBit(admits, later);
    // Per cell j of the lanes' blocks: the latest window that covers it and
    // that the block admits, its place and colour. A cell's first candidate
    // is taken whether it covers or not: a later one overrides it, and
    // without any the cell is not blended.
    VI place[3];
    MI any[3];
    V x[3][3];
    bool seen[3] = {false, false, false};
    auto take = [&](int j, MI use, VI where, const float* const* colour, int dq) {
      if (!seen[j]) {
        seen[j] = true;
        place[j] = where;
        for (int c = 0; c < 3; ++c) x[j][c] = hn::LoadU(d, colour[c] + p + dq);
        any[j] = use;
        return;
      }
      place[j] = hn::IfThenElse(use, where, place[j]);
      const auto useF = hn::RebindMask(d, use);
      for (int c = 0; c < 3; ++c) x[j][c] = hn::IfThenElse(useF, hn::LoadU(d, colour[c] + p + dq), x[j][c]);
      any[j] = hn::Or(any[j], use);
    };
    HWY_UNROLL(3)
    for (int k = 0; k < kCount; ++k) {
      const std::int32_t* first = rows_.first[k] + p;
      const std::int32_t* base = rows_.base[k] + p;
      const float* const* colour = rows_.source[(R + kRel[k]) % 3].colour;
      // The left pixel's window reaches only cell 0, the right one's only
      // cell 2; raster order is left, own, right.
      const MI fromLeft = kRel[k] > 0 ? takesLater : takesEarlier;
      const MI fromRight = kRel[k] < 0 ? takesEarlier : takesLater;
      const MI fromOwn = kRel[k] < 0 ? takesEarlier : takesLater;
      {
        const VI start = hn::LoadU(di, first - 1);
        take(0, hn::And(covers(column, start), fromLeft), hn::Add(hn::LoadU(di, base - 1), column), colour, -1);
      }
      {
        const VI start = hn::LoadU(di, first), at = hn::Add(hn::LoadU(di, base), column);
        for (int j = 0; j < 3; ++j) {
          const MI c = covers(hn::Add(column, hn::Set(di, j)), start);
          take(j, kRel[k] == 0 ? c : hn::And(c, fromOwn), hn::Add(at, hn::Set(di, j)), colour, 0);
        }
      }
      {
        const VI start = hn::LoadU(di, first + 1);
        const VI col = hn::Add(column, hn::Set(di, 2));
        take(2, hn::And(covers(col, start), fromRight), hn::Add(hn::LoadU(di, base + 1), col), colour, 1);
      }
    }
    V a[3];
    for (int j = 0; j < 3; ++j)
      a[j] = hn::IfThenElse(hn::RebindMask(d, any[j]), rateOf(hn::IfThenElse(any[j], place[j], zero)), none);
    const std::size_t at = static_cast<std::size_t>(N) * q;
    storeCells3(d, a[0], a[1], a[2], paint_ + at);
    for (int c = 0; c < 3; ++c) storeCells3(d, x[0][c], x[1][c], x[2][c], paint_ + (c + 1) * paintLength_ + at);
  }
  return q;
}

template <int N, class D>
HWY_NOINLINE void Band<N, D>::blendPainted(int R, int i, int cells) {
  const float* const in[3] = {job_.in[0], job_.in[1], job_.in[2]};
  float* const out[3] = {job_.out[0], job_.out[1], job_.out[2]};
  const std::size_t cell0 = static_cast<std::size_t>(R * N + i) * N * job_.W;
  const float* const rate = paint_;
  const float* const colour[3] = {paint_ + paintLength_, paint_ + 2 * paintLength_, paint_ + 3 * paintLength_};
#if HWY_TARGET == HWY_EMU128
  // Emulated vectors cost a loop per operation; this plain loop the
  // compiler vectorises itself. The reference's blend, as written.
  for (int c = 0; c < 3; ++c) {
    const float* src = in[c] + cell0;
    const float* x = colour[c];
    float* dst = out[c] + cell0;
    for (int m = 0; m < cells; ++m) {
      const float a = rate[m];
      const float blended = static_cast<float>((1.0 - a) * src[m] + static_cast<double>(a) * x[m]);
      // A select of bits: a conditional store would keep the loop scalar.
      std::uint32_t bits, old;
      std::memcpy(&bits, &blended, 4);
      std::memcpy(&old, dst + m, 4);
      const std::uint32_t take = 0u - static_cast<std::uint32_t>(a >= 0.0f);
      bits = (bits & take) | (old & ~take);
      std::memcpy(dst + m, &bits, 4);
    }
  }
#else
  using V = hn::Vec<D>;
  const D d = d_;
  const hn::Half<D> dh;
  const hn::RepartitionToWide<D> dw;
  const int L = static_cast<int>(hn::Lanes(d)), half = L / 2;
  const bool inPlace = in[0] == out[0];
  const V zero = hn::Zero(d);
  const auto unit = hn::Set(dw, 1.0);
  for (int m = 0; m < cells; m += L) {
    const std::size_t cell = cell0 + m;
    for (int c = 0; c < 3; ++c) __builtin_prefetch(in[c] + cell + kPrefetch);
    const auto painted = hn::Ge(hn::LoadU(d, rate + m), zero);
    if (hn::AllFalse(d, painted)) continue;
    // Most vectors are painted whole: their halves are stored as they are.
    const bool whole = hn::AllTrue(d, painted);
    const auto aLo = hn::PromoteTo(dw, hn::LoadU(dh, rate + m));
    const auto aHi = hn::PromoteTo(dw, hn::LoadU(dh, rate + m + half));
    const auto keepLo = hn::Sub(unit, aLo), keepHi = hn::Sub(unit, aHi);
    for (int c = 0; c < 3; ++c) {
      // a * x of two floats is exact in double, so adding it in a fused
      // multiply-add rounds once, as the reference's sum does.
      const auto lo = hn::MulAdd(aLo, hn::PromoteTo(dw, hn::LoadU(dh, colour[c] + m)),
                                 hn::Mul(keepLo, hn::PromoteTo(dw, hn::LoadU(dh, in[c] + cell))));
      const auto hi = hn::MulAdd(aHi, hn::PromoteTo(dw, hn::LoadU(dh, colour[c] + m + half)),
                                 hn::Mul(keepHi, hn::PromoteTo(dw, hn::LoadU(dh, in[c] + cell + half))));
      if (whole) {
        hn::StoreU(hn::DemoteTo(dh, lo), dh, out[c] + cell);
        hn::StoreU(hn::DemoteTo(dh, hi), dh, out[c] + cell + half);
      } else {
        const V blended = hn::Combine(d, hn::DemoteTo(dh, hi), hn::DemoteTo(dh, lo));
        const V old = hn::LoadU(d, (inPlace ? in[c] : out[c]) + cell);
        hn::StoreU(hn::IfThenElse(painted, blended, old), d, out[c] + cell);
      }
    }
  }
#endif
}

template <int N, class D>
void bandN(D d, const UpdateJob& job, int rBegin, int rEnd, const std::function<void(int)>* ready,
           BandScratch& s) {
  Band<N, D> band(d, job, s);
  const int first = std::max(rBegin - 1, 0), last = std::min(rEnd, job.H - 1);
  int blended = rBegin;  // block rows below this are done
  for (int pr = first; pr <= last; ++pr) {
    if (ready != nullptr) (*ready)(pr);
    band.prepare(pr);
    // Block row pr-1 has the windows of all its pixel rows.
    if (pr - 1 >= blended && pr - 1 < rEnd) band.blend(blended++);
  }
  for (; blended < rEnd; ++blended) band.blend(blended);
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
