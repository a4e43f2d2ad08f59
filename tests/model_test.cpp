// Neural background model: storage, best match and shadow test, kernels and
// rates, neighbourhood update. Expected values are written out by hand
// (dyadic inputs make blends exact) or worked out offline.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "model/model.h"

namespace {

// A model of n*H rows by n*W columns with every cell set to `fill`.
struct TestModel {
  int n, H, W;
  FloatPlanes planes;
  TestModel(int n_, int H_, int W_, ConeColor fill = {})
      : n(n_), H(H_), W(W_), planes(3, static_cast<std::size_t>(n_) * n_ * H_ * W_) {
    for (int mr = 0; mr < n * H; ++mr)
      for (int mc = 0; mc < n * W; ++mc) set(mr, mc, fill);
  }
  std::size_t index(int mr, int mc) const { return static_cast<std::size_t>(mr) * n * W + mc; }
  void set(int mr, int mc, ConeColor c) {
    planes[0][index(mr, mc)] = c.x;
    planes[1][index(mr, mc)] = c.y;
    planes[2][index(mr, mc)] = c.v;
  }
  ConeColor get(int mr, int mc) const {
    return {planes[0][index(mr, mc)], planes[1][index(mr, mc)], planes[2][index(mr, mc)]};
  }
};

void expectCone(const ConeColor& got, const ConeColor& want) {
  EXPECT_EQ(got.x, want.x);
  EXPECT_EQ(got.y, want.y);
  EXPECT_EQ(got.v, want.v);
}

RunParams shadowParams(float gamma = 0.5f, float beta = 1.0f, float tauS = 0.25f,
                       float tauH = 10.0f, int on = 1) {
  RunParams p;
  p.shadowRemoval = on;
  p.gamma = gamma;
  p.beta = beta;
  p.tau_S = tauS;
  p.tau_H = tauH;
  return p;
}
const RunParams kNoShadow = shadowParams(0.5f, 1.0f, 0.25f, 10.0f, 0);

// findBestMatch for pixel (r, c) of m, checking the result and the cell (-1, -1 for NoMatch).
void expectBest(const ConeColor& p, const TestModel& m, int r, int c, float threshold,
                const RunParams& params, MatchResult want, int wantRow, int wantCol) {
  int row = 7, col = 7;
  EXPECT_EQ(findBestMatch(p, m.planes, m.H, m.W, r, c, row, col, m.n, threshold, params), want);
  EXPECT_EQ(row, wantRow);
  EXPECT_EQ(col, wantCol);
}

// ---- Storage ----------------------------------------------------------------

TEST(InitModel, BlocksTakeTheFirstFrameAndOutsideRoiStaysUntouched) {
  const int H = 2, W = 3, n = 3;
  FloatPlanes frame(3, W * H);
  for (int k = 0; k < W * H; ++k) {  // pixel k: (k+1)/8, -(k+1)/16, (k+1)/32
    frame[0][k] = 0.125f * (k + 1);
    frame[1][k] = -0.0625f * (k + 1);
    frame[2][k] = 0.03125f * (k + 1);
  }
  RoiMask roi = RoiMask::all(W, H);
  roi.bytes[1] = 0;  // pixel (0, 1) is outside
  TestModel model(n, H, W, {9.0f, 9.0f, 9.0f});  // sentinel
  initModel(model.planes, frame, H, W, n, roi);
  for (int mr = 0; mr < n * H; ++mr)
    for (int mc = 0; mc < n * W; ++mc) {
      SCOPED_TRACE(testing::Message() << "cell (" << mr << ", " << mc << ")");
      const int k = (mr / n) * W + mc / n;
      expectCone(model.get(mr, mc), k == 1 ? ConeColor{9.0f, 9.0f, 9.0f}
                                           : ConeColor{0.125f * (k + 1), -0.0625f * (k + 1),
                                                       0.03125f * (k + 1)});
    }
  // From zero-filled planes, as the driver allocates them, the block is zero.
  FloatPlanes fresh(3, static_cast<std::size_t>(n) * n * W * H);
  initModel(fresh, frame, H, W, n, roi);
  for (int mr = 0; mr < n; ++mr)
    for (int mc = n; mc < 2 * n; ++mc)
      for (int k = 0; k < 3; ++k) EXPECT_EQ(fresh[k][mr * n * W + mc], 0.0f);
  // Pixel (1, 2)'s centre cell (4, 7) at index 4 * 9 + 7 = 43 holds pixel 5.
  EXPECT_EQ(model.planes[0][43], 0.75f);
  EXPECT_EQ(model.planes[2][43], 0.1875f);
}

TEST(InitModel, OneByOneFrame) {
  FloatPlanes frame(3, 1);
  frame[0][0] = 0.5f;
  frame[1][0] = -0.25f;
  frame[2][0] = 0.75f;
  TestModel model(3, 1, 1);
  initModel(model.planes, frame, 1, 1, 3, RoiMask::all(1, 1));
  ASSERT_EQ(model.planes.size(), 9u);
  for (int i = 0; i < 9; ++i) expectCone(model.get(i / 3, i % 3), {0.5f, -0.25f, 0.75f});
}

// ---- Best match -------------------------------------------------------------

TEST(BestMatch, DistanceIsSinglePrecision) {
  // dy = dv = 2^-12: 1 + 2^-24 rounds to 1 twice in float; one double rounding keeps 1 + 2^-23.
  const ConeColor p{0.0f, 0.0f, 0.0f};
  EXPECT_EQ(coneDistanceSq(p, {1.0f, 0.0f, 0.0f}), 1.0f);
  EXPECT_EQ(coneDistanceSq(p, {1.0f, 0.000244140625f, 0.000244140625f}), 1.0f);
  EXPECT_EQ(coneDistanceSq({0.5f, -0.25f, 1.0f}, {0.25f, 0.25f, 0.5f}), 0.5625f);
}

TEST(BestMatch, IdenticalAndSingleVectorBlocks) {
  const ConeColor c{0.25f, -0.125f, 0.5f};
  expectBest(c, TestModel(3, 2, 2, c), 1, 1, 0.008f, kNoShadow, Match, 4, 4);
  expectBest(c, TestModel(5, 1, 2, c), 0, 1, 0.008f, kNoShadow, Match, 2, 7);  // n = 5: offset 2
  const ConeColor p{0.0f, 0.0f, 0.5f};
  TestModel m(1, 2, 3, {0.0f, 0.0f, 0.0f});
  m.set(1, 2, p);
  expectBest(p, m, 1, 2, 0.008f, kNoShadow, Match, 1, 2);
  expectBest(p, m, 1, 1, 0.008f, kNoShadow, NoMatch, -1, -1);
}

TEST(BestMatch, TiesKeepTheFirstInScanOrderAndTheCentreWinsTies) {
  // Pixel (0, 1) of a 1 x 2 frame with n = 3: model rows 0..2, columns 3..5.
  struct TieCase {
    const char* name;
    std::vector<std::pair<int, int>> nearCells;  // distance 0.0625, the rest 0.25
    int row, col;
  };
  const TieCase cases[] = {
      {"two ties, neither centre", {{0, 4}, {2, 3}}, 0, 4},
      {"tie in the same row", {{2, 3}, {2, 5}}, 2, 3},
      {"centre ties an earlier minimum", {{0, 3}, {1, 4}}, 1, 4},
      {"centre ties a later minimum", {{1, 4}, {2, 5}}, 1, 4},
  };
  for (const TieCase& t : cases) {
    SCOPED_TRACE(t.name);
    TestModel m(3, 1, 2, {0.0f, 0.0f, 0.0f});
    for (auto [r, c] : t.nearCells) m.set(r, c, {0.0f, 0.0f, 0.75f});
    expectBest({0.0f, 0.0f, 0.5f}, m, 0, 1, 0.1f, kNoShadow, Match, t.row, t.col);
  }
  // In double the second would be closer (1 < 1 + 2^-23); in float both are 1.0.
  TestModel m(3, 1, 1, {0.0f, 0.0f, 1.5f});
  m.set(0, 0, {1.0f, 0.000244140625f, 0.000244140625f});
  m.set(0, 1, {1.0f, 0.0f, 0.0f});
  expectBest({0.0f, 0.0f, 0.0f}, m, 0, 0, 2.0f, kNoShadow, Match, 0, 0);
}

TEST(BestMatch, ThresholdBoundaries) {
  const ConeColor p{0.0f, 0.0f, 0.5f};
  TestModel m(3, 1, 1, {0.0f, 0.0f, 0.0f});  // distance 0.25
  m.set(2, 0, {0.0f, 0.0f, 0.25f});          // distance 0.0625 exactly
  expectBest(p, m, 0, 0, 0.0625f, kNoShadow, Match, 2, 0);
  expectBest(p, m, 0, 0, std::nextafter(0.0625f, 0.0f), kNoShadow, NoMatch, -1, -1);
  // A large threshold still needs a distance below 100.
  TestModel far(3, 1, 1, {0.0f, 0.0f, 10.0f});  // distance exactly 100
  expectBest({}, far, 0, 0, 1000.0f, kNoShadow, NoMatch, -1, -1);
  far.set(2, 2, {0.0f, 0.0f, 9.75f});  // 95.0625
  expectBest({}, far, 0, 0, 1000.0f, kNoShadow, Match, 2, 2);
}

// ---- Shadow test --------------------------------------------------------------

TEST(ShadowMatch, BoundsAndWrap) {
  struct ShadowCase {
    const char* name;
    ConeColor pixel, cell;
    RunParams params;
    bool passes;
  };
  const RunParams p = shadowParams();
  const float max = std::numeric_limits<float>::max();
  const ConeColor hue10{0.98480773f, 0.173648179f, 1.0f};     // coneToHsv: H = 10, S = 1, V = 1
  const ConeColor hue359{0.99984771f, -0.0174524058f, 1.0f};  // H = 359
  const ConeColor hue1{0.99984771f, 0.0174524058f, 1.0f};     // H = 0.99999994
  const ConeColor hue360{1.0f, -4.8e-7f, 1.0f};               // H = 360 exactly
  const ConeColor red{1.0f, 0, 1.0f};
  const ShadowCase cases[] = {  // shadowParams(gamma, beta, tau_S, tau_H)
      {"ratio equal to gamma passes", {0, 0, 0.5f}, {0, 0, 1.0f}, p, true},
      {"ratio just below gamma fails", {0, 0, std::nextafter(0.5f, 0.0f)}, {0, 0, 1.0f}, p, false},
      {"ratio equal to beta passes", {0, 0, 0.75f}, {0, 0, 1.0f}, shadowParams(0.5f, 0.75f), true},
      {"ratio just above beta fails", {0, 0, 1.0f}, {0, 0, std::nextafter(1.0f, 0.0f)}, p, false},
      {"brighter pixel fails", {0, 0, 1.0f}, {0, 0, 0.75f}, p, false},
      {"saturation difference equal to tau_S fails", {0.5f, 0, 1.0f}, {0.25f, 0, 1.0f}, p, false},
      {"saturation difference just below tau_S passes", {0.5f, 0, 1.0f}, {0.25f, 0, 1.0f},
       shadowParams(0.5f, 1.0f, std::nextafter(0.25f, 1.0f)), true},
      {"hue difference equal to tau_H fails", red, hue10, p, false},
      {"hue difference just below tau_H passes", red, hue10,
       shadowParams(0.5f, 1.0f, 0.25f, std::nextafter(10.0f, 11.0f)), true},
      {"hues 359 and 1 differ by 2", hue359, hue1, shadowParams(0.5f, 1.0f, 0.25f, 3.0f), true},
      {"hues 1 and 359 differ by 2", hue1, hue359, shadowParams(0.5f, 1.0f, 0.25f, 3.0f), true},
      {"hues 360 and 0 differ by 0", hue360, red, shadowParams(0.5f, 1.0f, 0.25f, 1e-3f), true},
      {"black pixel never (S undefined)", {0, 0, 0}, {0, 0, 0.5f}, shadowParams(0.0f), false},
      {"black cell never (ratio inf)", {0, 0, 0.5f}, {0, 0, 0}, shadowParams(0.5f, max), false},
      {"black pixel and black cell never (0/0)", {0, 0, 0}, {0, 0, 0}, shadowParams(0.0f), false},
  };
  for (const ShadowCase& t : cases) {
    SCOPED_TRACE(t.name);
    TestModel m(3, 1, 1, {0.0f, 0.0f, 0.0f});  // V = 0 cells fail: infinite ratio
    m.set(1, 2, t.cell);
    int row = 7, col = 7;
    EXPECT_EQ(findShadowMatch(t.pixel, m.planes, 1, 0, 0, 3, row, col, t.params), t.passes);
    EXPECT_EQ(row, t.passes ? 1 : 7);
    EXPECT_EQ(col, t.passes ? 2 : 7);
  }
}

TEST(ShadowMatch, FirstPassingVectorWinsNotTheClosest) {
  // Pixel (1, 0) of a 2 x 2 frame: model rows 3..5, columns 0..2.
  const ConeColor pixel{0.0f, 0.0f, 0.5f};
  TestModel m(3, 2, 2, {0.0f, 0.0f, 0.0f});
  m.set(3, 2, {0.0f, 0.0f, 1.0f});    // ratio 0.5: passes, first in scan order
  m.set(4, 0, {0.0f, 0.0f, 0.625f});  // ratio 0.8: passes, closer in colour
  int row = 0, col = 0;
  EXPECT_TRUE(findShadowMatch(pixel, m.planes, 2, 1, 0, 3, row, col, shadowParams()));
  EXPECT_EQ(row, 3);
  EXPECT_EQ(col, 2);
  // Nothing within the threshold: the shadow test decides, only when switched on.
  expectBest(pixel, m, 1, 0, 0.001f, shadowParams(), ShadowMatch, 3, 2);
  expectBest(pixel, m, 1, 0, 0.001f, kNoShadow, NoMatch, -1, -1);
  // A match within the threshold is never turned into a shadow.
  expectBest(pixel, m, 1, 0, 0.02f, shadowParams(), Match, 4, 0);
}

// ---- Weights and rates ---------------------------------------------------------

TEST(Weights, SupportedSizesAndSpreads) {
  const float spreads[] = {0.75f, 2.2f, 4.4f, 7.0f};
  for (int n : {3, 5, 7, 9}) {
    EXPECT_EQ(kernelSpread(n), spreads[(n - 3) / 2]) << n;
    EXPECT_TRUE(isSupportedBlockSize(n)) << n;
  }
  for (int n : {-3, 0, 1, 2, 4, 6, 8, 10, 11}) {
    EXPECT_EQ(kernelSpread(n), 0.0f) << n;
    EXPECT_FALSE(isSupportedBlockSize(n)) << n;
  }
}

TEST(Weights, KernelsMatchTheTables) {
  struct KernelCase {
    int n;
    std::vector<int> cells;  // row-major
  };
  const KernelCase cases[] = {
      {3, {1, 2, 1, 2, 4, 2, 1, 2, 1}},
      {5, {1, 2, 2, 2, 1, 2, 4, 5, 4, 2, 2, 5, 6, 5, 2, 2, 4, 5, 4, 2, 1, 2, 2, 2, 1}},
      {7, {1, 2, 2, 3, 2, 2, 1, 2, 3, 4, 5, 4, 3, 2, 2, 4, 6, 7, 6, 4, 2, 3, 5, 7, 8,
           7, 5, 3, 2, 4, 6, 7, 6, 4, 2, 2, 3, 4, 5, 4, 3, 2, 1, 2, 2, 3, 2, 2, 1}},
      {9, {1, 2, 2, 3, 3, 3, 2, 2, 1, 2, 3, 4, 5, 5, 5, 4, 3, 2, 2, 4, 6, 7, 7, 7, 6,
           4, 2, 3, 5, 7, 9, 9, 9, 7, 5, 3, 3, 5, 7, 9, 10, 9, 7, 5, 3, 3, 5, 7, 9, 9,
           9, 7, 5, 3, 2, 4, 6, 7, 7, 7, 6, 4, 2, 2, 3, 4, 5, 5, 5, 4, 3, 2, 1, 2, 2,
           3, 3, 3, 2, 2, 1}},
  };
  for (const KernelCase& t : cases) {
    ASSERT_EQ(t.cells.size(), static_cast<std::size_t>(t.n * t.n));
    WeightKernel k(t.n);
    buildWeightKernel(t.n, kernelSpread(t.n), k);
    for (int r = 0; r < t.n; ++r)
      for (int c = 0; c < t.n; ++c)
        EXPECT_EQ(k[r][c], static_cast<float>(t.cells[r * t.n + c]))
            << "n " << t.n << " (" << r << ", " << c << ")";
  }
}

TEST(Weights, BaseRatesFormTheReciprocalInDouble) {
  const BaseRates r3 = baseRates(1.0f, 0.05f, 3);
  EXPECT_EQ(r3.a1, 0.25f);
  EXPECT_EQ(r3.a2, 0.0125f);
  // 0.3f * (1/6 in double) is 0.0500000007; a float reciprocal gives 0.0500000045.
  const BaseRates r5 = baseRates(0.9f, 0.3f, 5);
  EXPECT_EQ(r5.a1, 0.149999991f);
  EXPECT_EQ(r5.a2, 0.0500000007f);
  EXPECT_EQ(onlineRate(r5), 0.0500000007f);
}

TEST(Weights, CalibrationRateWorkedValues) {
  const BaseRates r = baseRates(1.0f, 0.05f, 3);
  const int K = 200;
  EXPECT_EQ(calibrationRate(1, K, r), 0.248806536f);
  EXPECT_EQ(calibrationRate(19, K, r), 0.227324113f);  // float steps would give 0.227324128
  EXPECT_EQ(calibrationRate(100, K, r), 0.130653262f);
  EXPECT_EQ(calibrationRate(199, K, r), 0.0125f);
  EXPECT_EQ(calibrationRate(1, 2, r), 0.0125f);  // K = 2: the one frame gets a2 exactly

  WeightKernel k(3);
  buildWeightKernel(3, kernelSpread(3), k);
  AlphaTable first(3), last(3), zero(3);
  buildAlphaTable(3, calibrationRate(1, K, r), k, first);
  buildAlphaTable(3, calibrationRate(199, K, r), k, last);
  buildAlphaTable(3, 0.0f, k, zero);
  EXPECT_EQ(first[1][1], 0.995226145f);
  EXPECT_EQ(first[0][0], 0.248806536f);
  EXPECT_EQ(first[2][2], 0.248806536f);
  EXPECT_EQ(first[0][1], 0.497613072f);
  EXPECT_EQ(last[1][1], 0.05f);
  for (float a : zero.cells) EXPECT_EQ(a, 0.0f);
}

// ---- Neighbourhood update --------------------------------------------------------

// alpha[r][c] = (3r + c + 1) / 16: every offset gets its own exact rate.
AlphaTable distinctAlpha() {
  AlphaTable a(3);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) a[r][c] = (3 * r + c + 1) / 16.0f;
  return a;
}

// current = 0 and x = (1, 2, 4): a blended cell holds (a, 2a, 4a) exactly.
const float kX[3] = {1.0f, 2.0f, 4.0f};
const float kUntouched = -7.0f;

TEST(Update, WindowClippedAndRespectsOwners) {
  struct Written {
    int mr, mc, sixteenths;  // the rate alpha = sixteenths / 16
  };
  struct Case {
    const char* name;
    int row, col;
    LabelMask labels;
    std::vector<Written> cells;  // every other cell untouched
  };
  // Winner (2, 2) reaches pixels (0, 1), (1, 0), (1, 1); only (0, 0) and (1, 1) are label 0.
  const std::vector<Written> crossing = {{1, 1, 1}, {1, 2, 2}, {2, 1, 4}, {2, 2, 5}, {3, 3, 9}};
  const Case cases[] = {
      {"top-left corner", 0, 0, {0, 0, 0, 0}, {{0, 0, 5}, {0, 1, 6}, {1, 0, 8}, {1, 1, 9}}},
      {"last cell", 5, 5, {0, 0, 0, 0}, {{4, 4, 1}, {4, 5, 2}, {5, 4, 4}, {5, 5, 5}}},
      {"crossing blocks, closed 85", 2, 2, {0, 85, 85, 0}, crossing},
      {"crossing blocks, closed 170", 2, 2, {0, 170, 170, 0}, crossing},
      {"crossing blocks, closed 255", 2, 2, {0, 255, 255, 0}, crossing},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.name);
    TestModel current(3, 2, 2), next(3, 2, 2, {kUntouched, kUntouched, kUntouched});
    updateNeighbourhood(kX, 2, 2, current.planes, next.planes, distinctAlpha(), 3, t.row, t.col,
                        t.labels);
    std::vector<float> want(36, kUntouched);
    for (const Written& w : t.cells) want[w.mr * 6 + w.mc] = w.sixteenths / 16.0f;
    for (int i = 0; i < 36; ++i) {
      const float a = want[i];
      SCOPED_TRACE(testing::Message() << "cell (" << i / 6 << ", " << i % 6 << ")");
      expectCone(next.get(i / 6, i % 6), a == kUntouched ? ConeColor{a, a, a}
                                                          : ConeColor{a, 2 * a, 4 * a});
    }
  }
}

TEST(Update, ClosedCellKeepsTheValueAnEarlierCallWrote) {
  TestModel current(3, 1, 2), next(3, 1, 2, {kUntouched, kUntouched, kUntouched});
  LabelMask labels = {0, 0};
  // Winner (1, 3) writes columns 2..4; then pixel 1 closes and winner (1, 2)
  // may write column 2 (pixel 0) but not column 3.
  updateNeighbourhood(kX, 1, 2, current.planes, next.planes, distinctAlpha(), 3, 1, 3, labels);
  labels[1] = 85;
  const float xs[3] = {0.5f, 1.0f, 2.0f};
  updateNeighbourhood(xs, 1, 2, current.planes, next.planes, distinctAlpha(), 3, 1, 2, labels);
  const float rate[3] = {2 / 16.f, 5 / 16.f, 8 / 16.f};  // alpha[r][1]
  for (int r = 0; r < 3; ++r) {
    EXPECT_EQ(next.get(r, 3).x, rate[r]) << r;         // pixel 1: the first call's value
    EXPECT_EQ(next.get(r, 2).x, 0.5f * rate[r]) << r;  // pixel 0: the second call, x = 0.5
  }
}

TEST(Update, OverlapEndsWithTheSecondBlendOfCurrent) {
  TestModel current(3, 2, 2, {0.25f, 0.25f, 0.25f}), next(3, 2, 2, {0.25f, 0.25f, 0.25f});
  AlphaTable half(3);
  for (float& a : half.cells) a = 0.5f;
  const LabelMask labels(4, 0);
  const float one[3] = {1.0f, 1.0f, 1.0f}, zero[3] = {0.0f, 0.0f, 0.0f};
  updateNeighbourhood(one, 2, 2, current.planes, next.planes, half, 3, 1, 1, labels);
  updateNeighbourhood(zero, 2, 2, current.planes, next.planes, half, 3, 2, 2, labels);
  EXPECT_EQ(next.get(0, 0).x, 0.625f);  // first call only: (0.25 + 1) / 2
  EXPECT_EQ(next.get(1, 0).v, 0.625f);
  // Overlap: (0.25 + 0) / 2 from current, not 0.3125 from the first result.
  for (int mr = 1; mr <= 2; ++mr)
    for (int mc = 1; mc <= 2; ++mc) EXPECT_EQ(next.get(mr, mc).y, 0.125f) << mr << "," << mc;
  EXPECT_EQ(next.get(3, 3).x, 0.125f);  // second call only
  for (int mr = 0; mr < 6; ++mr)
    for (int mc = 0; mc < 6; ++mc) ASSERT_EQ(current.get(mr, mc).x, 0.25f);  // never written
}

TEST(Update, BlendIsCarriedInDouble) {
  TestModel current(1, 1, 1, {0.164705887f, 0.0f, 1.0f}), next(1, 1, 1);
  const float x[3] = {0.701960802f, 1.0f, 0.0f};
  AlphaTable a(1);
  auto blend = [&](float rate) {
    a[0][0] = rate;
    updateNeighbourhood(x, 1, 1, current.planes, next.planes, a, 1, 0, 0, LabelMask(1, 0));
    return next.get(0, 0);
  };
  // current = 42/255, x = 179/255: in double 0.298378408; float products and sum give 0.298378438.
  EXPECT_EQ(blend(0.248806536f).x, 0.298378408f);
  expectCone(blend(1.0f), {0.701960802f, 1.0f, 0.0f});  // a = 1 gives x, a = 0 current, exactly
  expectCone(blend(0.0f), {0.164705887f, 0.0f, 1.0f});
}

}  // namespace
