// Calibration and online passes: a 4 x 3 frame (n = 3) whose models were worked
// out by hand in raster order (dyadic inputs: exact blends), on every
// implementation; then fast:: against reference:: on ties and NaN cells (whole
// runs on every thread count: tests/exact).
#include "test_support.h"

#include <sstream>

#include "model/model.h"
#include "schedule/schedule.h"

namespace {

struct PassSet {
  const char* name;
  decltype(&calibrationPass) calibration;
  decltype(&detectionPass) detection;
  decltype(&updatePass) update;
};

// The scheduled passes in the reference's signatures, on one thread.
fast::Workspace& workspace(const PassContext& ctx) {
  static fast::Workspace ws;
  ws.fit(ctx.g, 1);
  return ws;
}
namespace scheduled {
void calibrationPass(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                     LabelMask& labels, const AlphaTable& alpha, FloatPlanes& next) {
  fast::calibrationPass(ctx, workspace(ctx), frame, current, labels, alpha, next);
}
void detectionPass(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                   LabelMask& labels, std::vector<int>& matchRow, std::vector<int>& matchCol) {
  fast::detectionPass(ctx, workspace(ctx), frame, current, labels, matchRow, matchCol);
}
void updatePass(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                const LabelMask& labels, const AlphaTable& alpha, const std::vector<int>& matchRow,
                const std::vector<int>& matchCol, FloatPlanes& next) {
  fast::updatePass(ctx, workspace(ctx), frame, current, labels, alpha, matchRow, matchCol, next);
}
}  // namespace scheduled

const PassSet kPassSets[] = {
    {"reference", ::calibrationPass, ::detectionPass, ::updatePass},
    {"scheduled", scheduled::calibrationPass, scheduled::detectionPass, scheduled::updatePass},
};
void PrintTo(const PassSet& p, std::ostream* os) { *os << p.name; }
class Passes : public testing::TestWithParam<PassSet> {};

// Cell codes: G background, P the frame colour, and the blends of G towards P
// with rate 1/2 ('2'), 1/4 ('4'), 1/8 ('8').
ConeColor cellColour(char code) {
  switch (code) {
    case 'P': return {0.125f, -0.125f, 0.625f};
    case '2': return {0.0625f, -0.0625f, 0.5625f};
    case '4': return {0.03125f, -0.03125f, 0.53125f};
    case '8': return {0.015625f, -0.015625f, 0.515625f};
  }
  return {0.0f, 0.0f, 0.5f};
}
using Rows = std::vector<std::string>;

FloatPlanes modelFrom(const Rows& rows) {
  FloatPlanes m(3, 12 * 9);
  for (int i = 0; i < 12 * 9; ++i) setCone(m, i, cellColour(rows[i / 12][i % 12]));
  return m;
}

void expectModel(const FloatPlanes& got, const Rows& want) {
  const long i = firstDifference(got, modelFrom(want));
  EXPECT_EQ(i, -1) << "model cell (" << i / 12 << ", " << i % 12 << ") is (" << got[0][i] << ", "
                   << got[1][i] << ", " << got[2][i] << "), expected '" << want[i / 12][i % 12] << "'";
}

// All G, except the bottom-right cell of pixel (0, 0) and the top-left cell
// of pixel (1, 2), which hold P and so win those pixels' searches off-centre.
const Rows kStart = {"GGGGGGGGGGGG", "GGGGGGGGGGGG", "GGPGGGGGGGGG", "GGGGGGPGGGGG", "GGGGGGGGGGGG",
                     "GGGGGGGGGGGG", "GGGGGGGGGGGG", "GGGGGGGGGGGG", "GGGGGGGGGGGG"};

// The frame is P except (1, 0) bright (no match, no shadow), (2, 0) dark
// (ratio 0.5: shadow) and (1, 1) outside the ROI (bright, so that processing
// it would show). d(P, G) = 0.046875 <= 0.05, d(bright, G) = 0.25, d(dark, G) = 0.0625.
struct Scene : PassSetup {
  FloatPlanes frame = filledPlanes(12, cellColour('P'));
  FloatPlanes current = modelFrom(kStart), next = modelFrom(kStart);
  AlphaTable alpha{3};  // rate 1/8 times the n = 3 kernel
  Scene() : PassSetup(4, 3, 3) {
    setCone(frame, 4, {0, 0, 1});
    setCone(frame, 5, {0, 0, 1});
    setCone(frame, 8, {0, 0, 0.25f});
    roi.bytes[5] = 0;
    params.e1 = params.e2 = 0.05f;
    params.gamma = 0.5f;
    alpha.cells = {0.125f, 0.25f, 0.125f, 0.25f, 0.5f, 0.25f, 0.125f, 0.25f, 0.125f};
  }
};

TEST_P(Passes, CalibrationFirstAndLaterFrames) {
  // Raster order: (0,0) winner (2,2), window rows and columns 1..3, into
  // (0,1), (1,0), (1,1). (0,1..3): centre winners, own blocks, (0,1)
  // overwriting (1,3) and (2,3). (1,0): 255, no update, keeps (3,1), (3,2)
  // from (0,0). (1,1): outside, skipped; its cells are open (label 0).
  // (1,2): winner (3,6), window rows 2..4, cols 5..7; row 2 belongs to
  // (0,1), (0,2), already 85: left alone. (2,0): shadow, 85, no update.
  const Rows first = {"GGG848848848", "G84424424424", "G4P848848848", "G848G4P4G848", "GGGGG848G424",
                      "GGGGGGGGG848", "GGG848848848", "GGG424424424", "GGG848848848"};
  // A later frame: the previous labels close (1,0)'s block to (0,0)'s window.
  Rows later = first;
  later[3] = "GGG8G4P4G848";
  const LabelMask want = {85, 85, 85, 85, 255, 0, 85, 85, 85, 85, 85, 85};
  for (const LabelMask& before : {LabelMask(12, 0), want}) {
    Scene s;
    LabelMask labels = before;
    GetParam().calibration(s.ctx(), s.frame, s.current, labels, s.alpha, s.next);
    expectModel(s.next, before == want ? later : first);
    EXPECT_EQ(labels, want);
    expectModel(s.current, kStart);
  }
}

TEST_P(Passes, DetectionThenUpdate) {
  Scene s;
  LabelMask labels(12, 170);
  labels[5] = 0;  // outside the ROI: always 0
  std::vector<int> matchRow(12, 77), matchCol(12, 77);
  GetParam().detection(s.ctx(), s.frame, s.current, labels, matchRow, matchCol);
  EXPECT_EQ(labels, LabelMask({0, 0, 0, 0, 255, 0, 0, 0, 85, 0, 0, 0}));
  // Match: the winner; NoMatch: -1; shadow: the first passing cell (6, 0);
  // outside the ROI: never written.
  EXPECT_EQ(matchRow, std::vector<int>({2, 1, 1, 1, -1, 77, 3, 4, 6, 7, 7, 7}));
  EXPECT_EQ(matchCol, std::vector<int>({2, 4, 7, 10, -1, 77, 6, 10, 0, 4, 7, 10}));

  // Stand-in for spatial coherence: (0,3) cleared to 170, (2,2) made 255, and
  // (1,0) set to 0 although it has no winner: none of them is updated.
  labels[3] = 170;
  labels[10] = 255;
  labels[4] = 0;
  const LabelMask corrected = labels;
  GetParam().update(s.ctx(), s.frame, s.current, labels, s.alpha, matchRow, matchCol, s.next);
  // Online, row 2 of (0,1) and (0,2) is open (label 0), so (1,2)'s window
  // (winner (3,6)) replaces their own-block values at (2,5..7).
  expectModel(s.next, {"GGG848848GGG", "G84424424GGG", "G4P848488GGG", "G848G4P4G848", "GGGGG848G424",
                       "GGGGGGGGG848", "GGG848GGG848", "GGG424GGG424", "GGG848GGG848"});
  EXPECT_EQ(labels, corrected);
}

TEST_P(Passes, EmptyRoiWritesNothing) {
  Scene s;
  s.roi.bytes.assign(12, 0);
  LabelMask labels(12, 42);
  std::vector<int> rows(12, 77), zeros(12, 0);
  GetParam().detection(s.ctx(), s.frame, s.current, labels, rows, rows);
  GetParam().calibration(s.ctx(), s.frame, s.current, labels, s.alpha, s.next);
  GetParam().update(s.ctx(), s.frame, s.current, LabelMask(12, 0), s.alpha, zeros, zeros, s.next);
  EXPECT_EQ(labels, LabelMask(12, 42));
  EXPECT_EQ(rows, std::vector<int>(12, 77));
  expectModel(s.next, kStart);
}

INSTANTIATE_TEST_SUITE_P(Implementations, Passes, testing::ValuesIn(kPassSets),
                         [](const auto& i) { return std::string(i.param.name); });

// ---- fast:: against reference:: ----------------------------------------------

struct Side {
  FloatPlanes cur, next;
  LabelMask labels;
  std::vector<int> row, col;
  explicit Side(const Geometry& g)
      : cur(3, g.cells()), next(3, g.cells()), labels(g.pixels()), row(g.pixels()), col(g.pixels()) {}
};

// "" when both sides hold the same bytes, else the first mismatch.
std::string mismatch(const Side& ref, const Side& fast, const Geometry& g) {
  std::ostringstream s;
  for (std::size_t p = 0; p < ref.labels.size(); ++p)
    if (std::tuple(ref.labels[p], ref.row[p], ref.col[p]) != std::tuple(fast.labels[p], fast.row[p], fast.col[p])) {
      s << "pixel (" << p / g.W << ", " << p % g.W << "): label, winner " << +ref.labels[p] << " " << ref.row[p] << ","
        << ref.col[p] << " in reference, " << +fast.labels[p] << " " << fast.row[p] << "," << fast.col[p] << " in fast";
      return s.str();
    }
  const long i = firstDifference(ref.next, fast.next);
  if (i >= 0) s << "model cell (" << i / g.modelW() << ", " << i % g.modelW() << ")";
  return s.str();
}

// Blocks of a few exact colours (exact ties, distances equal to the threshold),
// NaN cells and an all-NaN block: the winner is the first cell attaining the
// minimum in single precision (the centre on a tie), never a NaN cell.
TEST(FastPasses, TiesAndNaNCellsAsReference) {
  const ConeColor palette[] = {{0, 0, 0.5f}, {0.25f, 0, 0.5f}, {0, 0.25f, 0.5f}, {0.25f, 0.25f, 0.75f}, {0.5f, 0, 0.25f}, {0, 0, 1}};
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (int n : {3, 5})
    for (unsigned seed = 1; seed <= 6; ++seed) {
      PassSetup s(5 + seed % 3, 4, n);
      std::mt19937 rng(seed);
      FloatPlanes model(3, s.g.cells()), frame(3, s.g.pixels());
      for (std::size_t i = 0; i < s.g.cells(); ++i) setCone(model, i, rng() % 10 ? palette[rng() % 6] : ConeColor{nan, nan, nan});
      for (std::size_t p = 0; p < s.g.pixels(); ++p) setCone(frame, p, palette[rng() % 6]);
      for (int i = 0; i < n * n; ++i) {
        setCone(model, (i / n) * s.g.modelW() + n + i % n, {nan, nan, nan});
        // Pixel (0, 0) is black; its first two cells tie at 1.0 in float steps
        // (in double the second would be closer), the others are farther.
        const float tiny = i == 0 ? 0.000244140625f : 0;
        setCone(model, (i / n) * s.g.modelW() + i % n, i < 2 ? ConeColor{1, tiny, tiny} : ConeColor{0, 0, 1.5f});
      }
      setCone(frame, 0, {0, 0, 0});
      AlphaTable alpha(n);
      alpha.cells.assign(n * n, 0.5f);
      for (float threshold : {0.0f, 0.0625f, 0.125f, 0.3f, 200.0f})  // 0.0625, 0.125: palette distances
        for (int shadow : {0, 1}) {
          SCOPED_TRACE(testing::Message() << "n " << n << " seed " << seed << " threshold " << threshold << " shadow " << shadow);
          s.params.e1 = s.params.e2 = threshold;
          s.params.shadowRemoval = shadow;
          Side ref(s.g), fast(s.g);
          ref.next = fast.next = model;
          ::detectionPass(s.ctx(), frame, model, ref.labels, ref.row, ref.col);
          scheduled::detectionPass(s.ctx(), frame, model, fast.labels, fast.row, fast.col);
          ASSERT_EQ(mismatch(ref, fast, s.g), "") << "detection";
          ::calibrationPass(s.ctx(), frame, model, ref.labels, alpha, ref.next);
          scheduled::calibrationPass(s.ctx(), frame, model, fast.labels, alpha, fast.next);
          ASSERT_EQ(mismatch(ref, fast, s.g), "") << "calibration";
        }
    }
}

}  // namespace
