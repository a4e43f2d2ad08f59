// Neural background model: storage, best match and shadow test, kernels and
// rates, neighbourhood update. Expected values are written
// out by hand (dyadic inputs make the blends exact) or were worked out
// offline; none is produced by the code under test.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "model/model.h"

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

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

RunParams shadowParams() {
  RunParams p;
  p.shadowRemoval = 1;
  p.gamma = 0.5f;
  p.beta = 1.0f;
  p.tau_S = 0.25f;
  p.tau_H = 10.0f;
  return p;
}

RunParams noShadow() {
  RunParams p;
  p.shadowRemoval = 0;
  return p;
}

// ---- Storage ----------------------------------------------------------------

TEST(InitModel, BlocksTakeTheFirstFrameAndOutsideRoiStaysUntouched) {
  const int H = 2, W = 3, n = 3;
  FloatPlanes frame(3, W * H);
  for (int k = 0; k < W * H; ++k) {
    frame[0][k] = 0.125f * (k + 1);  // pixel k: (k+1)/8, -(k+1)/16, (k+1)/32
    frame[1][k] = -0.0625f * (k + 1);
    frame[2][k] = 0.03125f * (k + 1);
  }
  RoiMask roi = RoiMask::all(W, H);
  roi.bytes[1] = 0;  // pixel (0, 1) is outside
  // Pre-filled with a sentinel: initModel must write every ROI cell and no
  // cell of the outside pixel's block.
  TestModel model(n, H, W, {9.0f, 9.0f, 9.0f});
  initModel(model.planes, frame, H, W, n, roi);
  for (int mr = 0; mr < n * H; ++mr)
    for (int mc = 0; mc < n * W; ++mc) {
      SCOPED_TRACE(testing::Message() << "cell (" << mr << ", " << mc << ")");
      const int k = (mr / n) * W + mc / n;
      const ConeColor got = model.get(mr, mc);
      if (k == 1) {
        EXPECT_EQ(got.x, 9.0f);
        EXPECT_EQ(got.y, 9.0f);
        EXPECT_EQ(got.v, 9.0f);
      } else {
        EXPECT_EQ(got.x, 0.125f * (k + 1));
        EXPECT_EQ(got.y, -0.0625f * (k + 1));
        EXPECT_EQ(got.v, 0.03125f * (k + 1));
      }
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
  const int n = 3;
  FloatPlanes frame(3, 1);
  frame[0][0] = 0.5f;
  frame[1][0] = -0.25f;
  frame[2][0] = 0.75f;
  TestModel model(n, 1, 1);
  initModel(model.planes, frame, 1, 1, n, RoiMask::all(1, 1));
  ASSERT_EQ(model.planes.size(), 9u);
  for (std::size_t i = 0; i < 9; ++i) {
    EXPECT_EQ(model.planes[0][i], 0.5f);
    EXPECT_EQ(model.planes[1][i], -0.25f);
    EXPECT_EQ(model.planes[2][i], 0.75f);
  }
}

// ---- Best match -------------------------------------------------------------

TEST(BestMatch, DistanceIsSinglePrecision) {
  // With dy = dv = 2^-12: 1 + 2^-24 rounds to 1 twice in float steps, while
  // one rounding of the double sum 1 + 2^-23 would keep it.
  const ConeColor p{0.0f, 0.0f, 0.0f};
  EXPECT_EQ(coneDistanceSq(p, {1.0f, 0.0f, 0.0f}), 1.0f);
  EXPECT_EQ(coneDistanceSq(p, {1.0f, 0.000244140625f, 0.000244140625f}), 1.0f);
  EXPECT_EQ(coneDistanceSq({0.5f, -0.25f, 1.0f}, {0.25f, 0.25f, 0.5f}), 0.5625f);
}

TEST(BestMatch, IdenticalBlockGivesTheCentre) {
  const ConeColor c{0.25f, -0.125f, 0.5f};
  TestModel m(3, 2, 2, c);
  int row = 0, col = 0;
  EXPECT_EQ(findBestMatch(c, m.planes, 2, 2, 1, 1, row, col, 3, 0.008f, noShadow()), Match);
  EXPECT_EQ(row, 4);
  EXPECT_EQ(col, 4);
  // n = 5 centre is offset 2.
  TestModel m5(5, 1, 2, c);
  EXPECT_EQ(findBestMatch(c, m5.planes, 1, 2, 0, 1, row, col, 5, 0.008f, noShadow()), Match);
  EXPECT_EQ(row, 2);
  EXPECT_EQ(col, 7);
}

// Pixel (0, 1) of a 1 x 2 frame with n = 3: model rows 0..2, columns 3..5.
struct TieCase {
  const char* name;
  std::vector<std::pair<int, int>> nearCells;  // cells at distance 0.0625
  int row, col;
};

TEST(BestMatch, TiesKeepTheFirstInScanOrderAndTheCentreWinsTies) {
  const ConeColor p{0.0f, 0.0f, 0.5f};
  const ConeColor far{0.0f, 0.0f, 0.0f};   // distance 0.25
  const ConeColor near{0.0f, 0.0f, 0.75f};  // distance 0.0625
  const TieCase cases[] = {
      {"two ties, neither centre", {{0, 4}, {2, 3}}, 0, 4},
      {"tie in the same row", {{2, 3}, {2, 5}}, 2, 3},
      {"centre ties an earlier minimum", {{0, 3}, {1, 4}}, 1, 4},
      {"centre ties a later minimum", {{1, 4}, {2, 5}}, 1, 4},
  };
  for (const TieCase& t : cases) {
    SCOPED_TRACE(t.name);
    TestModel m(3, 1, 2, far);
    for (auto [r, c] : t.nearCells) m.set(r, c, near);
    int row = 0, col = 0;
    EXPECT_EQ(findBestMatch(p, m.planes, 1, 2, 0, 1, row, col, 3, 0.1f, noShadow()), Match);
    EXPECT_EQ(row, t.row);
    EXPECT_EQ(col, t.col);
  }
}

TEST(BestMatch, TieDecidedInSinglePrecision) {
  // In double the second vector would be closer (1 < 1 + 2^-23); in float
  // steps both are at 1.0, so the first in scan order stays.
  const ConeColor p{0.0f, 0.0f, 0.0f};
  TestModel m(3, 1, 1, {0.0f, 0.0f, 1.5f});  // centre and the rest at 2.25
  m.set(0, 0, {1.0f, 0.000244140625f, 0.000244140625f});
  m.set(0, 1, {1.0f, 0.0f, 0.0f});
  int row = 0, col = 0;
  EXPECT_EQ(findBestMatch(p, m.planes, 1, 1, 0, 0, row, col, 3, 2.0f, noShadow()), Match);
  EXPECT_EQ(row, 0);
  EXPECT_EQ(col, 0);
}

TEST(BestMatch, ThresholdBoundary) {
  const ConeColor p{0.0f, 0.0f, 0.5f};
  TestModel m(3, 1, 1, {0.0f, 0.0f, 0.0f});  // distance 0.25
  m.set(2, 0, {0.0f, 0.0f, 0.25f});          // distance 0.0625 exactly
  int row = 7, col = 7;
  EXPECT_EQ(findBestMatch(p, m.planes, 1, 1, 0, 0, row, col, 3, 0.0625f, noShadow()), Match);
  EXPECT_EQ(row, 2);
  EXPECT_EQ(col, 0);
  row = col = 7;
  const float below = std::nextafter(0.0625f, 0.0f);
  EXPECT_EQ(findBestMatch(p, m.planes, 1, 1, 0, 0, row, col, 3, below, noShadow()), NoMatch);
  EXPECT_EQ(row, -1);
  EXPECT_EQ(col, -1);
}

TEST(BestMatch, LargeThresholdStillNeedsDistanceBelow100) {
  const ConeColor p{0.0f, 0.0f, 0.0f};
  TestModel m(3, 1, 1, {0.0f, 0.0f, 10.0f});  // distance exactly 100
  int row = 7, col = 7;
  EXPECT_EQ(findBestMatch(p, m.planes, 1, 1, 0, 0, row, col, 3, 1000.0f, noShadow()), NoMatch);
  EXPECT_EQ(row, -1);
  EXPECT_EQ(col, -1);
  m.set(2, 2, {0.0f, 0.0f, 9.75f});  // 95.0625
  EXPECT_EQ(findBestMatch(p, m.planes, 1, 1, 0, 0, row, col, 3, 1000.0f, noShadow()), Match);
  EXPECT_EQ(row, 2);
  EXPECT_EQ(col, 2);
}

TEST(BestMatch, SingleVectorBlock) {
  const ConeColor p{0.0f, 0.0f, 0.5f};
  TestModel m(1, 2, 3, {0.0f, 0.0f, 0.0f});
  m.set(1, 2, {0.0f, 0.0f, 0.5f});
  int row = 0, col = 0;
  EXPECT_EQ(findBestMatch(p, m.planes, 2, 3, 1, 2, row, col, 1, 0.008f, noShadow()), Match);
  EXPECT_EQ(row, 1);
  EXPECT_EQ(col, 2);
  EXPECT_EQ(findBestMatch(p, m.planes, 2, 3, 1, 1, row, col, 1, 0.008f, noShadow()), NoMatch);
  EXPECT_EQ(row, -1);
  EXPECT_EQ(col, -1);
}

// ---- Shadow test --------------------------------------------------------------

// One pixel (1 x 1 frame, n = 3); every cell fails the test (V = 0 gives an
// infinite ratio) except those the case sets.
struct ShadowCase {
  const char* name;
  ConeColor pixel;
  ConeColor cell;
  RunParams params;
  bool passes;
};

std::vector<ShadowCase> shadowCases() {
  RunParams p = shadowParams();
  auto with = [&](auto edit) {
    RunParams q = p;
    edit(q);
    return q;
  };
  const ConeColor hue10{0.98480773f, 0.173648179f, 1.0f};  // coneToHsv: H = 10, S = 1, V = 1
  const ConeColor hue359{0.99984771f, -0.0174524058f, 1.0f};  // H = 359
  const ConeColor hue1{0.99984771f, 0.0174524058f, 1.0f};     // H = 0.99999994
  const ConeColor hue360{1.0f, -4.8e-7f, 1.0f};               // H = 360 exactly
  return {
      {"ratio equal to gamma passes", {0, 0, 0.5f}, {0, 0, 1.0f}, p, true},
      {"ratio just below gamma fails", {0, 0, std::nextafter(0.5f, 0.0f)}, {0, 0, 1.0f}, p, false},
      {"ratio equal to beta passes", {0, 0, 0.75f}, {0, 0, 1.0f},
       with([](RunParams& q) { q.beta = 0.75f; }), true},
      {"ratio just above beta fails", {0, 0, 1.0f}, {0, 0, std::nextafter(1.0f, 0.0f)}, p, false},
      {"brighter pixel fails", {0, 0, 1.0f}, {0, 0, 0.75f}, p, false},
      {"saturation difference equal to tau_S fails", {0.5f, 0, 1.0f}, {0.25f, 0, 1.0f}, p, false},
      {"saturation difference just below tau_S passes", {0.5f, 0, 1.0f}, {0.25f, 0, 1.0f},
       with([](RunParams& q) { q.tau_S = std::nextafter(0.25f, 1.0f); }), true},
      {"hue difference equal to tau_H fails", {1.0f, 0, 1.0f}, hue10, p, false},
      {"hue difference just below tau_H passes", {1.0f, 0, 1.0f}, hue10,
       with([](RunParams& q) { q.tau_H = std::nextafter(10.0f, 11.0f); }), true},
      {"hues 359 and 1 differ by 2", hue359, hue1, with([](RunParams& q) { q.tau_H = 3.0f; }),
       true},
      {"hues 1 and 359 differ by 2", hue1, hue359, with([](RunParams& q) { q.tau_H = 3.0f; }),
       true},
      {"hues 360 and 0 differ by 0", hue360, {1.0f, 0, 1.0f},
       with([](RunParams& q) { q.tau_H = 1e-3f; }), true},
      {"black pixel never (saturation undefined)", {0, 0, 0}, {0, 0, 0.5f},
       with([](RunParams& q) { q.gamma = 0.0f; }), false},
      {"black cell never (infinite ratio)", {0, 0, 0.5f}, {0, 0, 0},
       with([](RunParams& q) { q.beta = std::numeric_limits<float>::max(); }), false},
      {"black pixel and black cell never (0/0)", {0, 0, 0}, {0, 0, 0},
       with([](RunParams& q) { q.gamma = 0.0f; }), false},
  };
}

TEST(ShadowMatch, BoundsAndWrap) {
  for (const ShadowCase& t : shadowCases()) {
    SCOPED_TRACE(t.name);
    TestModel m(3, 1, 1, {0.0f, 0.0f, 0.0f});
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
  // Through findBestMatch: nothing within the threshold, so the shadow test decides.
  row = col = 0;
  EXPECT_EQ(findBestMatch(pixel, m.planes, 2, 2, 1, 0, row, col, 3, 0.001f, shadowParams()),
            ShadowMatch);
  EXPECT_EQ(row, 3);
  EXPECT_EQ(col, 2);
  // With shadow removal off the same pixel is NoMatch.
  RunParams off = shadowParams();
  off.shadowRemoval = 0;
  EXPECT_EQ(findBestMatch(pixel, m.planes, 2, 2, 1, 0, row, col, 3, 0.001f, off), NoMatch);
  EXPECT_EQ(row, -1);
  EXPECT_EQ(col, -1);
  // A match within the threshold is never turned into a shadow.
  EXPECT_EQ(findBestMatch(pixel, m.planes, 2, 2, 1, 0, row, col, 3, 0.02f, shadowParams()),
            Match);
  EXPECT_EQ(row, 4);
  EXPECT_EQ(col, 0);
}

// ---- Weights and rates ---------------------------------------------------------

TEST(Weights, SupportedSizesAndSpreads) {
  EXPECT_EQ(kernelSpread(3), 0.75f);
  EXPECT_EQ(kernelSpread(5), 2.2f);
  EXPECT_EQ(kernelSpread(7), 4.4f);
  EXPECT_EQ(kernelSpread(9), 7.0f);
  for (int n : {-3, 0, 1, 2, 4, 6, 8, 10, 11}) {
    EXPECT_EQ(kernelSpread(n), 0.0f) << n;
    EXPECT_FALSE(isSupportedBlockSize(n)) << n;
  }
  for (int n : {3, 5, 7, 9}) EXPECT_TRUE(isSupportedBlockSize(n)) << n;
}

struct KernelCase {
  int n;
  std::vector<int> cells;  // row-major, the kernel table
};

TEST(Weights, KernelsMatchTheTables) {
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
    SCOPED_TRACE(t.n);
    ASSERT_EQ(t.cells.size(), static_cast<std::size_t>(t.n * t.n));
    WeightKernel k(t.n);
    buildWeightKernel(t.n, kernelSpread(t.n), k);
    for (int r = 0; r < t.n; ++r)
      for (int c = 0; c < t.n; ++c) {
        EXPECT_EQ(k[r][c], static_cast<float>(t.cells[r * t.n + c])) << "(" << r << ", " << c << ")";
        EXPECT_EQ(k[r][c], k[c][r]);
        EXPECT_EQ(k[r][c], k[t.n - 1 - r][c]);
        EXPECT_EQ(k[r][c], k[r][t.n - 1 - c]);
      }
    EXPECT_EQ(k[0][0], 1.0f);
    EXPECT_EQ(k[t.n / 2][t.n / 2], static_cast<float>(t.n + 1));
  }
}

TEST(Weights, BaseRatesFormTheReciprocalInDouble) {
  const BaseRates r3 = baseRates(1.0f, 0.05f, 3);
  EXPECT_EQ(r3.a1, 0.25f);
  EXPECT_EQ(r3.a2, 0.0125f);
  // 0.3f * (1/6 in double) rounds to 0.0500000007; a float reciprocal would
  // give 0.0500000045.
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
  EXPECT_EQ(calibrationRate(199, K, r), r.a2);
  EXPECT_EQ(calibrationRate(199, K, r), 0.0125f);
  EXPECT_EQ(calibrationRate(1, 2, r), r.a2);  // K = 2: the one frame gets a2 exactly

  WeightKernel k(3);
  buildWeightKernel(3, kernelSpread(3), k);
  AlphaTable first(3), last(3);
  buildAlphaTable(3, calibrationRate(1, K, r), k, first);
  buildAlphaTable(3, calibrationRate(199, K, r), k, last);
  EXPECT_EQ(first[1][1], 0.995226145f);
  EXPECT_EQ(first[0][0], 0.248806536f);
  EXPECT_EQ(first[2][2], 0.248806536f);
  EXPECT_EQ(first[0][1], 0.497613072f);
  EXPECT_EQ(last[1][1], 0.05f);
  AlphaTable zero(3);
  buildAlphaTable(3, 0.0f, k, zero);
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

void expectCells(const TestModel& next, const std::vector<std::vector<float>>& want) {
  for (int mr = 0; mr < next.n * next.H; ++mr)
    for (int mc = 0; mc < next.n * next.W; ++mc) {
      SCOPED_TRACE(testing::Message() << "cell (" << mr << ", " << mc << ")");
      const float a = want[mr][mc];
      const ConeColor got = next.get(mr, mc);
      if (a == kUntouched) {
        EXPECT_EQ(got.x, kUntouched);
        EXPECT_EQ(got.y, kUntouched);
        EXPECT_EQ(got.v, kUntouched);
      } else {
        EXPECT_EQ(got.x, a);
        EXPECT_EQ(got.y, 2 * a);
        EXPECT_EQ(got.v, 4 * a);
      }
    }
}

TEST(Update, WindowClippedAtTheTopLeftCorner) {
  const int n = 3, H = 2, W = 2;
  TestModel current(n, H, W), next(n, H, W, {kUntouched, kUntouched, kUntouched});
  const LabelMask labels(W * H, 0);
  updateNeighbourhood(kX, H, W, current.planes, next.planes, distinctAlpha(), n, 0, 0, labels);
  const float U = kUntouched;
  // (0,0) centre 5/16, (0,1) alpha[1][2] = 6/16, (1,0) alpha[2][1] = 8/16, (1,1) alpha[2][2] = 9/16.
  expectCells(next, {{5 / 16.f, 6 / 16.f, U, U, U, U},
                     {8 / 16.f, 9 / 16.f, U, U, U, U},
                     {U, U, U, U, U, U},
                     {U, U, U, U, U, U},
                     {U, U, U, U, U, U},
                     {U, U, U, U, U, U}});
}

TEST(Update, WindowClippedAtTheLastCell) {
  const int n = 3, H = 2, W = 2;
  TestModel current(n, H, W), next(n, H, W, {kUntouched, kUntouched, kUntouched});
  const LabelMask labels(W * H, 0);
  updateNeighbourhood(kX, H, W, current.planes, next.planes, distinctAlpha(), n, 5, 5, labels);
  const float U = kUntouched;
  // (4,4) alpha[0][0] = 1/16, (4,5) alpha[0][1] = 2/16, (5,4) alpha[1][0] = 4/16, (5,5) centre.
  expectCells(next, {{U, U, U, U, U, U},
                     {U, U, U, U, U, U},
                     {U, U, U, U, U, U},
                     {U, U, U, U, U, U},
                     {U, U, U, U, 1 / 16.f, 2 / 16.f},
                     {U, U, U, U, 4 / 16.f, 5 / 16.f}});
}

TEST(Update, WindowCrossesBlocksAndRespectsOwners) {
  // Winner (2, 2), the bottom-right cell of pixel (0, 0): the window rows
  // 1..3, columns 1..3 reach pixels (0, 1), (1, 0), (1, 1). Only pixel
  // (0, 0) and pixel (1, 1) are label 0.
  const int n = 3, H = 2, W = 2;
  TestModel current(n, H, W), next(n, H, W, {kUntouched, kUntouched, kUntouched});
  for (std::uint8_t closed : {85, 170, 255}) {
    SCOPED_TRACE(static_cast<int>(closed));
    LabelMask labels = {0, closed, closed, 0};
    updateNeighbourhood(kX, H, W, current.planes, next.planes, distinctAlpha(), n, 2, 2, labels);
    const float U = kUntouched;
    expectCells(next, {{U, U, U, U, U, U},
                       {U, 1 / 16.f, 2 / 16.f, U, U, U},
                       {U, 4 / 16.f, 5 / 16.f, U, U, U},
                       {U, U, U, 9 / 16.f, U, U},
                       {U, U, U, U, U, U},
                       {U, U, U, U, U, U}});
  }
}

TEST(Update, ClosedCellKeepsTheValueAnEarlierCallWrote) {
  const int n = 3, H = 1, W = 2;
  TestModel current(n, H, W), next(n, H, W, {kUntouched, kUntouched, kUntouched});
  LabelMask labels = {0, 0};
  // First call, winner (1, 3) in pixel (0, 1): writes column 2..4 of rows 0..2.
  updateNeighbourhood(kX, H, W, current.planes, next.planes, distinctAlpha(), n, 1, 3, labels);
  labels[1] = 85;
  // Second call, winner (1, 1): its window reaches column 2 only (pixel 0),
  // never column 3 (pixel 1, now closed), which keeps the first call's value.
  const float xs[3] = {0.5f, 1.0f, 2.0f};
  updateNeighbourhood(xs, H, W, current.planes, next.planes, distinctAlpha(), n, 1, 2, labels);
  // Column 3 cells are pixel 1's: first-call rates alpha[r][1] = 2, 5, 8 (/16).
  EXPECT_EQ(next.get(0, 3).x, 2 / 16.f);
  EXPECT_EQ(next.get(1, 3).x, 5 / 16.f);
  EXPECT_EQ(next.get(2, 3).x, 8 / 16.f);
  // Column 2 is pixel 0's: the second call's centre column, x = 0.5.
  EXPECT_EQ(next.get(0, 2).x, 0.5f * 2 / 16.f);
  EXPECT_EQ(next.get(1, 2).x, 0.5f * 5 / 16.f);
  EXPECT_EQ(next.get(2, 2).x, 0.5f * 8 / 16.f);
}

TEST(Update, OverlapEndsWithTheSecondBlendOfCurrent) {
  const int n = 3, H = 2, W = 2;
  TestModel current(n, H, W, {0.25f, 0.25f, 0.25f});
  TestModel next(n, H, W, {0.25f, 0.25f, 0.25f});
  AlphaTable half(3);
  for (float& a : half.cells) a = 0.5f;
  const LabelMask labels(W * H, 0);
  const float one[3] = {1.0f, 1.0f, 1.0f};
  const float zero[3] = {0.0f, 0.0f, 0.0f};
  updateNeighbourhood(one, H, W, current.planes, next.planes, half, n, 1, 1, labels);
  updateNeighbourhood(zero, H, W, current.planes, next.planes, half, n, 2, 2, labels);
  // First-call only (rows 0..2 x cols 0..2 minus overlap): (0.25 + 1) / 2.
  EXPECT_EQ(next.get(0, 0).x, 0.625f);
  EXPECT_EQ(next.get(1, 0).v, 0.625f);
  // Overlap rows 1..2 x cols 1..2: the second blend of current, (0.25 + 0) / 2,
  // not a blend of the first result (which would be 0.3125).
  for (int mr = 1; mr <= 2; ++mr)
    for (int mc = 1; mc <= 2; ++mc) EXPECT_EQ(next.get(mr, mc).y, 0.125f) << mr << "," << mc;
  // Second-call only.
  EXPECT_EQ(next.get(3, 3).x, 0.125f);
  // current is never written.
  for (int mr = 0; mr < 6; ++mr)
    for (int mc = 0; mc < 6; ++mc) ASSERT_EQ(current.get(mr, mc).x, 0.25f);
}

TEST(Update, BlendIsCarriedInDouble) {
  // a = 0.248806536 (calibration rate 1), current = 42/255, x = 179/255.
  // In double: 0.298378408; with float products and sum: 0.298378438.
  const int n = 1, H = 1, W = 1;
  TestModel current(n, H, W, {0.164705887f, 0.0f, 1.0f});
  TestModel next(n, H, W);
  AlphaTable a(1);
  a[0][0] = 0.248806536f;
  const float x[3] = {0.701960802f, 1.0f, 0.0f};
  updateNeighbourhood(x, H, W, current.planes, next.planes, a, n, 0, 0, LabelMask(1, 0));
  EXPECT_EQ(next.get(0, 0).x, 0.298378408f);
  // a = 1 gives x, a = 0 gives current, exactly.
  a[0][0] = 1.0f;
  updateNeighbourhood(x, H, W, current.planes, next.planes, a, n, 0, 0, LabelMask(1, 0));
  EXPECT_EQ(next.get(0, 0).x, 0.701960802f);
  EXPECT_EQ(next.get(0, 0).v, 0.0f);
  a[0][0] = 0.0f;
  updateNeighbourhood(x, H, W, current.planes, next.planes, a, n, 0, 0, LabelMask(1, 0));
  EXPECT_EQ(next.get(0, 0).x, 0.164705887f);
  EXPECT_EQ(next.get(0, 0).v, 1.0f);
}

}  // namespace
