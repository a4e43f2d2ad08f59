// The model: storage, best match and shadow test, kernels and rates, the
// update. Expected values by hand (dyadic inputs: exact blends) or offline.
#include "test_support.h"

#include "model/model.h"

namespace {

// n*H model rows by n*W model columns.
struct Model {
  int n, H, W;
  FloatPlanes p;
  Model(int n_, int H_, int W_, ConeColor fill = {})
      : n(n_), H(H_), W(W_), p(filledPlanes(std::size_t(n_) * n_ * H_ * W_, fill)) {}
  void set(int mr, int mc, ConeColor c) { setCone(p, std::size_t(mr) * n * W + mc, c); }
  ConeColor get(int mr, int mc) const { return coneAt(p, std::size_t(mr) * n * W + mc); }
};

// Shadow removal on (unless `on` is 0) with gamma, beta, tau_S and tau_H.
scvardo::Params shadow(float gamma = 0.5f, float beta = 1, float tauS = 0.25f, float tauH = 10, int on = 1) {
  scvardo::Params p;
  std::tie(p.shadowRemoval, p.gamma, p.beta, p.tau_S, p.tau_H) = std::tuple(on, gamma, beta, tauS, tauH);
  return p;
}
const scvardo::Params kNoShadow = shadow(0.5f, 1, 0.25f, 10, 0);
constexpr float kTiny = 0.000244140625f;  // 2^-12

TEST(Model, InitModelFillsRoiBlocksOnly) {
  for (auto [H, W] : {std::pair{2, 3}, std::pair{1, 1}}) {
    FloatPlanes frame(3, W * H);
    for (int k = 0; k < W * H; ++k) setCone(frame, k, {0.125f * (k + 1), -0.0625f * (k + 1), 0.03125f * (k + 1)});
    RoiMask roi = RoiMask::all(W, H);
    if (W > 1) roi.bytes[1] = 0;  // pixel (0, 1) is outside
    Model m(3, H, W, {9, 9, 9});
    initModel(m.p, frame, H, W, 3, roi);
    for (int i = 0; i < 9 * H * W; ++i) {
      const int mr = i / (3 * W), mc = i % (3 * W), k = (mr / 3) * W + mc / 3;
      EXPECT_EQ(asVector(m.get(mr, mc)), asVector(roi.inside(k) ? coneAt(frame, k) : ConeColor{9, 9, 9})) << mr << "," << mc;
    }
  }
}

TEST(Model, BestMatch) {
  using Cells = std::vector<std::tuple<int, int, ConeColor>>;  // model row, column, colour
  const ConeColor h{0, 0, 0.5f}, q{0, 0, 0.75f};
  // Name; n, H, W; the model's fill and other cells; the pixel colour, row and
  // column; the threshold; result, winner row and column.
  // h and q are 0.0625 apart, q and 0 (the default fill) 0.5625, h and 0 0.25.
  const std::tuple<const char*, int, int, int, ConeColor, Cells, ConeColor, int, int, float, MatchResult, int, int> cases[] = {
      {"identical block: the centre", 3, 2, 2, {0.25f, -0.125f, 0.5f}, {}, {0.25f, -0.125f, 0.5f}, 1, 1, 0.008f, Match, 4, 4},
      {"n = 5: centre offset 2", 5, 1, 2, h, {}, h, 0, 1, 0.008f, Match, 2, 7},
      {"n = 1", 1, 2, 3, {}, {{1, 2, h}}, h, 1, 2, 0.008f, Match, 1, 2},
      {"n = 1, no match", 1, 2, 3, {}, {{1, 2, h}}, h, 1, 1, 0.008f, NoMatch, -1, -1},
      // Pixel (0, 1): model rows 0..2, columns 3..5.
      {"two ties, neither centre", 3, 1, 2, {}, {{0, 4, q}, {2, 3, q}}, h, 0, 1, 0.1f, Match, 0, 4},
      {"tie in one row", 3, 1, 2, {}, {{2, 3, q}, {2, 5, q}}, h, 0, 1, 0.1f, Match, 2, 3},
      {"centre ties an earlier minimum", 3, 1, 2, {}, {{0, 3, q}, {1, 4, q}}, h, 0, 1, 0.1f, Match, 1, 4},
      {"centre ties a later minimum", 3, 1, 2, {}, {{1, 4, q}, {2, 5, q}}, h, 0, 1, 0.1f, Match, 1, 4},
      // In double the second is closer (1 < 1 + 2^-23); in float both are 1.
      {"float tie", 3, 1, 1, {0, 0, 1.5f}, {{0, 0, {1, kTiny, kTiny}}, {0, 1, {1, 0, 0}}}, {}, 0, 0, 2.0f, Match, 0, 0},
      {"distance equal to threshold", 3, 1, 1, {}, {{2, 0, {0, 0, 0.25f}}}, h, 0, 0, 0.0625f, Match, 2, 0},
      {"just above", 3, 1, 1, {}, {{2, 0, {0, 0, 0.25f}}}, h, 0, 0, std::nextafter(0.0625f, 0.0f), NoMatch, -1, -1},
      {"distance 100 never matches", 3, 1, 1, {0, 0, 10}, {}, {}, 0, 0, 1000.0f, NoMatch, -1, -1},
      {"distance below 100 does", 3, 1, 1, {0, 0, 10}, {{2, 2, {0, 0, 9.75f}}}, {}, 0, 0, 1000.0f, Match, 2, 2},
  };
  for (const auto& [name, n, H, W, fill, cells, p, r, c, threshold, want, wantRow, wantCol] : cases) {
    Model m(n, H, W, fill);
    for (const auto& [mr, mc, colour] : cells) m.set(mr, mc, colour);
    int row = 7, col = 7;
    EXPECT_EQ(findBestMatch(p, m.p, H, W, r, c, row, col, n, threshold, kNoShadow), want) << name;
    EXPECT_EQ(std::pair(row, col), std::pair(wantRow, wantCol)) << name;
  }
}

TEST(Model, ShadowTestBoundsAndHueWrap) {
  const float max = std::numeric_limits<float>::max();
  const ConeColor hue10{0.98480773f, 0.173648179f, 1}, red{1, 0, 1};
  const ConeColor hue359{0.99984771f, -0.0174524058f, 1}, hue1{0.99984771f, 0.0174524058f, 1};
  const ConeColor hue360{1.0f, -4.8e-7f, 1.0f};  // coneToHsv gives exactly 360
  const std::tuple<const char*, ConeColor, ConeColor, scvardo::Params, bool> cases[] = {  // name, pixel, cell, params, passes
      {"ratio equal to gamma passes", {0, 0, 0.5f}, {0, 0, 1}, shadow(), true},
      {"ratio just below gamma fails", {0, 0, std::nextafter(0.5f, 0.0f)}, {0, 0, 1}, shadow(), false},
      {"ratio equal to beta passes", {0, 0, 0.75f}, {0, 0, 1}, shadow(0.5f, 0.75f), true},
      {"ratio just above beta fails", {0, 0, 1}, {0, 0, std::nextafter(1.0f, 0.0f)}, shadow(), false},
      {"saturation difference equal to tau_S fails", {0.5f, 0, 1}, {0.25f, 0, 1}, shadow(), false},
      {"saturation difference below tau_S passes", {0.5f, 0, 1}, {0.25f, 0, 1}, shadow(0.5f, 1, std::nextafter(0.25f, 1.0f)), true},
      {"hue difference equal to tau_H fails", red, hue10, shadow(), false},
      {"hue difference below tau_H passes", red, hue10, shadow(0.5f, 1, 0.25f, std::nextafter(10.0f, 11.0f)), true},
      {"hues 359 and 1 differ by 2", hue359, hue1, shadow(0.5f, 1, 0.25f, 3), true},
      {"hues 360 and 0 differ by 0", hue360, red, shadow(0.5f, 1, 0.25f, 1e-3f), true},
      {"black pixel never", {0, 0, 0}, {0, 0, 0.5f}, shadow(0), false},
      {"black cell never", {0, 0, 0.5f}, {0, 0, 0}, shadow(0.5f, max), false},
  };
  for (const auto& [name, pixel, cell, params, passes] : cases)
    for (Shortcut shortcut : {Shortcut::None, Shortcut::Estimates}) {
      Model m(3, 1, 1);  // V = 0 cells fail: infinite ratio
      m.set(1, 2, cell);
      int row = 7, col = 7;
      EXPECT_EQ(findShadowMatch(pixel, m.p, 1, 0, 0, 3, row, col, params, shortcut), passes) << name;
      EXPECT_EQ(std::pair(row, col), passes ? std::pair(1, 2) : std::pair(7, 7)) << name;
    }
  // The estimates never change an outcome, also within a hair of tau_S and
  // tau_H: cells a random saturation and hue step from random pixels, some
  // of them near hues 90 and 270, where the saturation is the most sensitive.
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> unit(0, 1), hair(-2e-5f, 2e-5f);
  const scvardo::Params narrow = shadow(0.7f, 1, 0.1f, 10), wide = shadow(0.7f, 1, 0.1f, 120);
  int passed = 0;
  for (int t = 0; t < 50000; ++t) {
    const float H = t % 7 == 0 ? 90 + 180 * (t % 2) + 20 * hair(rng) : 360 * unit(rng), S = unit(rng), V = unit(rng);
    const float dS = (t % 3 == 0 ? 0.1f : 0.2f * unit(rng) - 0.1f) * (t % 2 ? 1 : -1) + hair(rng);
    const scvardo::Params& params = t % 4 == 3 ? wide : narrow;
    const float tauH = params.tau_H, ratio = t % 11 == 0 ? 0.7f + hair(rng) : 0.65f + 0.4f * unit(rng);
    const float dH = (t % 5 == 0 ? tauH : 2 * tauH * unit(rng) - tauH) * (t % 2 ? -1 : 1) + 100 * hair(rng);
    Model m(3, 1, 1);
    m.set(1, 1, hsvToCone(std::fmod(H + dH + 360, 360.0f), std::clamp(S + dS, 0.0f, 1.0f), V / ratio));
    int r1 = -1, c1 = -1, r2 = -1, c2 = -1;
    const ConeColor pixel = hsvToCone(H, S, V);
    const bool full = findShadowMatch(pixel, m.p, 1, 0, 0, 3, r1, c1, params);
    passed += full;
    ASSERT_EQ(findShadowMatch(pixel, m.p, 1, 0, 0, 3, r2, c2, params, Shortcut::Estimates), full) << t;
  }
  EXPECT_GT(passed, 1000);
  // Pixel (1, 0) of a 2 x 2 frame, model rows 3..5, columns 0..2: the first
  // passing vector wins over a closer one, and only when nothing matches.
  Model m(3, 2, 2);
  m.set(3, 2, {0, 0, 1.0f});    // ratio 0.5: passes, first in scan order
  m.set(4, 0, {0, 0, 0.625f});  // ratio 0.8: passes, closer
  for (const auto& [threshold, params, want, wantRow, wantCol] :
       {std::tuple{0.001f, shadow(), ShadowMatch, 3, 2}, {0.001f, kNoShadow, NoMatch, -1, -1}, {0.02f, shadow(), Match, 4, 0}}) {
    int row = 0, col = 0;
    EXPECT_EQ(findBestMatch({0, 0, 0.5f}, m.p, 2, 2, 1, 0, row, col, 3, threshold, params), want);
    EXPECT_EQ(std::pair(row, col), std::pair(wantRow, wantCol));
  }
}

TEST(Model, KernelsAndRatesWorkedValues) {
  const std::vector<float> kernels[] = {
      {1, 2, 1, 2, 4, 2, 1, 2, 1},
      {1, 2, 2, 2, 1, 2, 4, 5, 4, 2, 2, 5, 6, 5, 2, 2, 4, 5, 4, 2, 1, 2, 2, 2, 1},
      {1, 2, 2, 3, 2, 2, 1, 2, 3, 4, 5, 4, 3, 2, 2, 4, 6, 7, 6, 4, 2, 3, 5, 7, 8,
       7, 5, 3, 2, 4, 6, 7, 6, 4, 2, 2, 3, 4, 5, 4, 3, 2, 1, 2, 2, 3, 2, 2, 1},
      {1, 2, 2, 3, 3, 3, 2, 2, 1, 2, 3, 4, 5, 5, 5, 4, 3, 2, 2, 4, 6, 7, 7, 7, 6, 4, 2, 3, 5, 7, 9, 9, 9, 7, 5, 3, 3, 5, 7, 9, 10,
       9, 7, 5, 3, 3, 5, 7, 9, 9, 9, 7, 5, 3, 2, 4, 6, 7, 7, 7, 6, 4, 2, 2, 3, 4, 5, 5, 5, 4, 3, 2, 1, 2, 2, 3, 3, 3, 2, 2, 1}};
  const float spreads[] = {0.75f, 2.2f, 4.4f, 7.0f};
  for (int i = 0; i < 4; ++i) {
    WeightKernel k(3 + 2 * i);
    EXPECT_EQ(kernelSpread(3 + 2 * i), spreads[i]);
    buildWeightKernel(3 + 2 * i, spreads[i], k);
    EXPECT_EQ(k.cells, kernels[i]) << "n " << 3 + 2 * i;
  }
  for (int n : {-3, 0, 1, 2, 4, 8, 11}) EXPECT_EQ(kernelSpread(n), 0.0f) << n;

  const BaseRates r = baseRates(1.0f, 0.05f, 3), r5 = baseRates(0.9f, 0.3f, 5);
  // 0.3f * (1/6 in double) is 0.0500000007; a float reciprocal gives 0.0500000045.
  EXPECT_EQ(std::vector<float>({r.a1, r.a2, r5.a1, onlineRate(r5)}), std::vector<float>({0.25f, 0.0125f, 0.149999991f, 0.0500000007f}));
  // t = 19: float steps would give 0.227324128. K = 2: the one frame gets a2 exactly.
  EXPECT_EQ(std::vector<float>({calibrationRate(1, 200, r), calibrationRate(19, 200, r), calibrationRate(100, 200, r),
                                calibrationRate(199, 200, r), calibrationRate(1, 2, r)}),
            std::vector<float>({0.248806536f, 0.227324113f, 0.130653262f, 0.0125f, 0.0125f}));
  WeightKernel k(3);
  buildWeightKernel(3, 0.75f, k);
  AlphaTable first(3), last(3);
  buildAlphaTable(3, calibrationRate(1, 200, r), k, first);
  buildAlphaTable(3, calibrationRate(199, 200, r), k, last);
  EXPECT_EQ(std::vector<float>({first[0][0], first[0][1], first[1][1], first[2][2], last[1][1]}),
            std::vector<float>({0.248806536f, 0.497613072f, 0.995226145f, 0.248806536f, 0.05f}));
}

// alpha[r][c] = (3r + c + 1) / 16: every offset has its own exact rate.
AlphaTable distinctAlpha() {
  AlphaTable a(3);
  for (int i = 0; i < 9; ++i) a.cells[i] = (i + 1) / 16.0f;
  return a;
}
// current = 0 and x = (1, 2, 4): a blended cell holds (a, 2a, 4a) exactly.
const float kX[3] = {1.0f, 2.0f, 4.0f};
constexpr float kUntouched = -7.0f;

TEST(Model, UpdateWindowIsClippedAndRespectsOwners) {
  // {model row, column, rate in sixteenths}; winner (2, 2) reaches pixels
  // (0, 1), (1, 0), (1, 1), of which only (1, 1) is open.
  const std::vector<std::tuple<int, int, int>> crossing = {{1, 1, 1}, {1, 2, 2}, {2, 1, 4}, {2, 2, 5}, {3, 3, 9}};
  const std::tuple<int, int, LabelMask, std::vector<std::tuple<int, int, int>>> cases[] = {
      {0, 0, {0, 0, 0, 0}, {{0, 0, 5}, {0, 1, 6}, {1, 0, 8}, {1, 1, 9}}},
      {5, 5, {0, 0, 0, 0}, {{4, 4, 1}, {4, 5, 2}, {5, 4, 4}, {5, 5, 5}}},
      {2, 2, {0, 85, 85, 0}, crossing},
      {2, 2, {0, 170, 170, 0}, crossing},
      {2, 2, {0, 255, 255, 0}, crossing},
  };
  for (const auto& [row, col, labels, cells] : cases) {
    Model current(3, 2, 2), next(3, 2, 2, {kUntouched, kUntouched, kUntouched});
    updateNeighbourhood(kX, 2, 2, current.p, next.p, distinctAlpha(), 3, row, col, labels);
    std::vector<float> want(36, kUntouched);
    for (const auto& [mr, mc, sixteenths] : cells) want[mr * 6 + mc] = sixteenths / 16.0f;
    for (int i = 0; i < 36; ++i)
      EXPECT_EQ(asVector(next.get(i / 6, i % 6)), want[i] == kUntouched ? std::vector<float>(3, kUntouched)
                                                                        : asVector({want[i], 2 * want[i], 4 * want[i]}))
          << "winner " << row << "," << col << " cell " << i / 6 << "," << i % 6;
  }
}

// current = 42/255, x = 179/255: 0.298378408 in double, 0.298378438 in float
// steps. A rate of 1 gives x exactly, 0 the current value. (Last writer wins
// and the owner test across calls: Passes.*.)
TEST(Model, UpdateBlendsInDouble) {
  Model current(1, 1, 1, {0.164705887f, 0, 1}), next(1, 1, 1);
  const float x[3] = {0.701960802f, 1.0f, 0.0f};
  AlphaTable a(1);
  for (auto [rate, want] : {std::pair{0.248806536f, 0.298378408f}, {1.0f, x[0]}, {0.0f, 0.164705887f}}) {
    a[0][0] = rate;
    updateNeighbourhood(x, 1, 1, current.p, next.p, a, 1, 0, 0, LabelMask(1, 0));
    EXPECT_EQ(next.get(0, 0).x, want) << rate;
  }
}

}  // namespace
