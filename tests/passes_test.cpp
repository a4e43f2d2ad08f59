// Calibration and online passes on a 4 x 3 frame with n = 3.
// The expected models were worked out by hand, cell by cell, following the
// raster order, the owner test and last-writer-wins; the inputs are dyadic so
// every blend is exact and can be written as a literal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/model.h"
#include "model/passes_select.h"

namespace {

// Every test runs against the reference passes, the fast passes and the
// public entry points (whichever passes_select.h selects).
struct PassSet {
  const char* name;
  decltype(&calibrationPass) calibration;
  decltype(&detectionPass) detection;
  decltype(&updatePass) update;
};
const PassSet kPassSets[] = {
    {"reference", reference::calibrationPass, reference::detectionPass, reference::updatePass},
    {"fast", fast::calibrationPass, fast::detectionPass, fast::updatePass},
    {"selected", ::calibrationPass, ::detectionPass, ::updatePass},
};
class Passes : public testing::TestWithParam<PassSet> {};

constexpr int kN = 3;
constexpr int kW = 4;
constexpr int kH = 3;
constexpr int kModelW = kN * kW;  // 12
constexpr int kModelH = kN * kH;  // 9

// Cell codes: G background weight, P the frame colour, and the blends of G
// towards P with rate 1/2 ('2'), 1/4 ('4'), 1/8 ('8').
ConeColor cellColour(char code) {
  switch (code) {
    case 'G': return {0.0f, 0.0f, 0.5f};
    case 'P': return {0.125f, -0.125f, 0.625f};
    case '2': return {0.0625f, -0.0625f, 0.5625f};
    case '4': return {0.03125f, -0.03125f, 0.53125f};
    case '8': return {0.015625f, -0.015625f, 0.515625f};
  }
  ADD_FAILURE() << "bad code " << code;
  return {};
}

const ConeColor kP = {0.125f, -0.125f, 0.625f};
const ConeColor kBright = {0.0f, 0.0f, 1.0f};     // no match, brighter: no shadow
const ConeColor kDark = {0.0f, 0.0f, 0.25f};      // no match, ratio 0.5: shadow
// d(P, G) = 3 * 0.015625 = 0.046875 <= 0.05; d(bright, G) = 0.25; d(dark, G) = 0.0625.
constexpr float kThreshold = 0.05f;

FloatPlanes modelFrom(const std::vector<std::string>& rows) {
  FloatPlanes m(3, static_cast<std::size_t>(kModelW) * kModelH);
  for (int mr = 0; mr < kModelH; ++mr)
    for (int mc = 0; mc < kModelW; ++mc) {
      const ConeColor c = cellColour(rows[mr][mc]);
      const std::size_t i = static_cast<std::size_t>(mr) * kModelW + mc;
      m[0][i] = c.x;
      m[1][i] = c.y;
      m[2][i] = c.v;
    }
  return m;
}

void expectModel(const FloatPlanes& got, const std::vector<std::string>& want) {
  for (int mr = 0; mr < kModelH; ++mr)
    for (int mc = 0; mc < kModelW; ++mc) {
      const ConeColor c = cellColour(want[mr][mc]);
      const std::size_t i = static_cast<std::size_t>(mr) * kModelW + mc;
      if (got[0][i] != c.x || got[1][i] != c.y || got[2][i] != c.v) {
        ADD_FAILURE() << "model cell (" << mr << ", " << mc << ") is (" << got[0][i] << ", "
                      << got[1][i] << ", " << got[2][i] << "), expected '" << want[mr][mc]
                      << "'";
      }
    }
}

// The starting model: all G, except the bottom-right cell of pixel (0, 0)
// and the top-left cell of pixel (1, 2), which hold P exactly and so win
// those pixels' searches off-centre.
const std::vector<std::string> kStart = {
    "GGGGGGGGGGGG",  //
    "GGGGGGGGGGGG",  //
    "GGPGGGGGGGGG",  //
    "GGGGGGPGGGGG",  //
    "GGGGGGGGGGGG",  //
    "GGGGGGGGGGGG",  //
    "GGGGGGGGGGGG",  //
    "GGGGGGGGGGGG",  //
    "GGGGGGGGGGGG",  //
};

// Frame: P everywhere except (1, 0) bright, (2, 0) dark, and (1, 1), which
// is outside the ROI (bright, so that processing it would show as 255).
FloatPlanes testFrame() {
  FloatPlanes f(3, kW * kH);
  for (int k = 0; k < kW * kH; ++k) {
    ConeColor c = kP;
    if (k == 4 || k == 5) c = kBright;
    if (k == 8) c = kDark;
    f[0][k] = c.x;
    f[1][k] = c.y;
    f[2][k] = c.v;
  }
  return f;
}

RoiMask testRoi() {
  RoiMask roi = RoiMask::all(kW, kH);
  roi.bytes[5] = 0;  // pixel (1, 1)
  roi.firstRoiRow = 0;
  return roi;
}

RunParams testParams() {
  RunParams p;
  p.shadowRemoval = 1;
  p.gamma = 0.5f;
  p.beta = 1.0f;
  p.tau_S = 0.1f;
  p.tau_H = 10.0f;
  return p;
}

// Rate 1/8 times the n = 3 kernel, written out.
AlphaTable testAlpha() {
  AlphaTable a(3);
  const float v[9] = {0.125f, 0.25f, 0.125f, 0.25f, 0.5f, 0.25f, 0.125f, 0.25f, 0.125f};
  for (int i = 0; i < 9; ++i) a.cells[i] = v[i];
  return a;
}

FloatPlanes copyOf(const FloatPlanes& src) {
  FloatPlanes dst(3, src.size());
  copyPlanes(src, src.size(), dst);
  return dst;
}

TEST_P(Passes, FirstCalibrationFrame) {
  const FloatPlanes frame = testFrame();
  const FloatPlanes current = modelFrom(kStart);
  FloatPlanes next = copyOf(current);
  LabelMask labels(kW * kH, 0);  // first calibration frame: all zero
  GetParam().calibration(frame, kH, kW, current, labels, testAlpha(), kN, kThreshold, next,
                  testParams(), testRoi());

  // Processed in raster order:
  //  (0,0) winner (2,2): window rows 1..3, cols 1..3, into (0,1), (1,0), (1,1).
  //  (0,1), (0,2), (0,3): centre winners, own blocks (8 4 8 / 4 2 4 / 8 4 8),
  //      (0,1) overwriting (1,3) and (2,3) from (0,0).
  //  (1,0): no match, 255, no update: keeps (3,1), (3,2) from (0,0).
  //  (1,1): outside the ROI, skipped; its cells are open (label 0).
  //  (1,2): winner (3,6): window rows 2..4, cols 5..7. Row 2 belongs to
  //      (0,1), (0,2), already 85: left alone. (3,5), (4,5) are (1,1)'s.
  //  (1,3): own block. (2,0): shadow, 85, no update. (2,1..3): own blocks.
  expectModel(next, {
                        "GGG848848848",  //
                        "G84424424424",  //
                        "G4P848848848",  //
                        "G848G4P4G848",  //
                        "GGGGG848G424",  //
                        "GGGGGGGGG848",  //
                        "GGG848848848",  //
                        "GGG424424424",  //
                        "GGG848848848",  //
                    });
  const LabelMask want = {85, 85, 85, 85, 255, 0, 85, 85, 85, 85, 85, 85};
  EXPECT_EQ(labels, want);
  // current is read only.
  expectModel(current, kStart);
}

TEST_P(Passes, LaterCalibrationFrameKeepsProcessedBlocksClosed) {
  // The labels of the previous frame (85 or 255 on every ROI pixel) close
  // the blocks of pixels not yet processed: (0,0)'s window no longer
  // reaches (1,0) (255); (1,1) outside the ROI stays open.
  const FloatPlanes frame = testFrame();
  const FloatPlanes current = modelFrom(kStart);
  FloatPlanes next = copyOf(current);
  LabelMask labels = {85, 85, 85, 85, 255, 0, 85, 85, 85, 85, 85, 85};
  GetParam().calibration(frame, kH, kW, current, labels, testAlpha(), kN, kThreshold, next,
                  testParams(), testRoi());
  expectModel(next, {
                        "GGG848848848",  //
                        "G84424424424",  //
                        "G4P848848848",  //
                        "GGG8G4P4G848",  //
                        "GGGGG848G424",  //
                        "GGGGGGGGG848",  //
                        "GGG848848848",  //
                        "GGG424424424",  //
                        "GGG848848848",  //
                    });
  const LabelMask want = {85, 85, 85, 85, 255, 0, 85, 85, 85, 85, 85, 85};
  EXPECT_EQ(labels, want);
}

TEST_P(Passes, DetectionThenUpdate) {
  const FloatPlanes frame = testFrame();
  const FloatPlanes current = modelFrom(kStart);
  const RoiMask roi = testRoi();
  LabelMask labels(kW * kH, 170);
  labels[5] = 0;  // outside the ROI: always 0
  std::vector<int> matchRow(kW * kH, 77), matchCol(kW * kH, 77);
  GetParam().detection(frame, kH, kW, current, kN, kThreshold, labels, matchRow, matchCol,
                testParams(), roi);

  const LabelMask wantLabels = {0, 0, 0, 0, 255, 0, 0, 0, 85, 0, 0, 0};
  EXPECT_EQ(labels, wantLabels);
  // Match: the winner; NoMatch: -1; shadow: the first passing cell of the
  // block (6, 0); outside the ROI: never written.
  const std::vector<int> wantRow = {2, 1, 1, 1, -1, 77, 3, 4, 6, 7, 7, 7};
  const std::vector<int> wantCol = {2, 4, 7, 10, -1, 77, 6, 10, 0, 4, 7, 10};
  EXPECT_EQ(matchRow, wantRow);
  EXPECT_EQ(matchCol, wantCol);

  // Stand-in for spatial coherence: (0,3) cleared to 170, (2,2) made 255,
  // and (1,0) set to 0 although it has no winner (-1): none is updated.
  labels[3] = 170;
  labels[10] = 255;
  labels[4] = 0;
  FloatPlanes next = copyOf(current);
  GetParam().update(frame, kH, kW, current, labels, testAlpha(), kN, matchRow, matchCol, next, roi);

  // (0,0) winner (2,2) reaches (0,1), (1,0) (label 0 now) and (1,1).
  // (0,1), (0,2) own blocks. (0,3) 170: untouched. (1,0): no winner.
  // (1,2) winner (3,6): online, row 2 of (0,1) and (0,2) is open (label 0),
  //     so (2,5) = 8, (2,6) = 4, (2,7) = 8 replace the own-block values.
  // (1,3) own block. (2,0) 85 and (2,2) 255: untouched. (2,1), (2,3) own.
  expectModel(next, {
                        "GGG848848GGG",  //
                        "G84424424GGG",  //
                        "G4P848488GGG",  //
                        "G848G4P4G848",  //
                        "GGGGG848G424",  //
                        "GGGGGGGGG848",  //
                        "GGG848GGG848",  //
                        "GGG424GGG424",  //
                        "GGG848GGG848",  //
                    });
  // The update pass changes no label.
  const LabelMask afterLabels = {0, 0, 0, 170, 0, 0, 0, 0, 85, 0, 255, 0};
  EXPECT_EQ(labels, afterLabels);
}

TEST_P(Passes, EmptyRoiWritesNothing) {
  const FloatPlanes frame = testFrame();
  const FloatPlanes current = modelFrom(kStart);
  RoiMask roi = testRoi();
  roi.bytes.assign(kW * kH, 0);
  roi.firstRoiRow = 0;
  LabelMask labels(kW * kH, 42);
  std::vector<int> matchRow(kW * kH, 77), matchCol(kW * kH, 77);
  FloatPlanes next = copyOf(current);
  GetParam().detection(frame, kH, kW, current, kN, kThreshold, labels, matchRow, matchCol,
                testParams(), roi);
  GetParam().calibration(frame, kH, kW, current, labels, testAlpha(), kN, kThreshold, next,
                  testParams(), roi);
  LabelMask zeros(kW * kH, 0);
  std::vector<int> zeroRow(kW * kH, 0);
  GetParam().update(frame, kH, kW, current, zeros, testAlpha(), kN, zeroRow, zeroRow, next, roi);
  EXPECT_EQ(labels, LabelMask(kW * kH, 42));
  EXPECT_EQ(matchRow, std::vector<int>(kW * kH, 77));
  EXPECT_EQ(matchCol, std::vector<int>(kW * kH, 77));
  expectModel(next, kStart);
}

// The inlined block scan of the fast passes must keep the single-precision
// distance: with dy = dv = 2^-12 the first vector's distance rounds to 1.0
// in float steps and ties the second one, so the first in scan order wins.
// (Any other order or precision makes it 1 + 2^-23 and the second wins.)
TEST_P(Passes, DetectionTieDecidedInSinglePrecision) {
  FloatPlanes model(3, 9);
  for (int i = 0; i < 9; ++i) model[2][i] = 1.5f;  // distance 2.25
  model[0][0] = 1.0f;
  model[1][0] = 0.000244140625f;
  model[2][0] = 0.000244140625f;
  model[0][1] = 1.0f;
  model[2][1] = 0.0f;
  FloatPlanes frame(3, 1);  // the pixel is black, (0, 0, 0)
  LabelMask labels(1, 170);
  std::vector<int> matchRow(1, 77), matchCol(1, 77);
  const RoiMask roi = RoiMask::all(1, 1);
  GetParam().detection(frame, 1, 1, model, 3, 2.0f, labels, matchRow, matchCol, testParams(),
                       roi);
  EXPECT_EQ(labels[0], 0);
  EXPECT_EQ(matchRow[0], 0);
  EXPECT_EQ(matchCol[0], 0);
}

INSTANTIATE_TEST_SUITE_P(Implementations, Passes, testing::ValuesIn(kPassSets),
                         [](const testing::TestParamInfo<PassSet>& i) {
                           return std::string(i.param.name);
                         });

}  // namespace
