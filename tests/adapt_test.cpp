// The adaptive mode: the passes' per-pixel thresholds, nearest cells and
// absorptions; the per-pixel steps; and whole runs through the face (a
// parcel that stays fades within the span, every thread count gives the same
// masks, a saved model resumes exactly, an older file reads as the mode off),
// and the switches of sc-vardo.
#include "test_support.h"

#include "adapt/adapt.h"
#include "model/model.h"
#include "scvardo/scvardo.hpp"

namespace fs = std::filesystem;

namespace {

const ConeColor kGround{0.0f, 0.0f, 0.5f};
const ConeColor kPixel{0.125f, -0.125f, 0.625f};  // 0.046875 from kGround

TEST(AdaptivePasses, SearchTakesEachPixelsThresholdAndKeepsTheNearestCell) {
  PassSetup s(2, 1, 3);
  FloatPlanes model = filledPlanes(s.g.cells(), kGround), frame = filledPlanes(2, kPixel);
  const std::vector<float> threshold = {0.05f, 0.04f};
  std::vector<float> nearest(2, -1.0f);
  LabelMask labels(2, 7);
  std::vector<int> row(2, 9), col(2, 9);
  PassContext ctx = s.ctx();
  ctx.adapt.threshold = threshold.data();
  ctx.adapt.nearest = nearest.data();
  detectionPass(ctx, frame, model, labels, row, col);
  // Pixel 0 matches within its 0.05 (the centre wins the tie); pixel 1 is
  // foreground under 0.04 and keeps its first cell as the nearest.
  EXPECT_EQ(labels, (LabelMask{0, 255}));
  EXPECT_EQ(row, (std::vector<int>{1, 0}));
  EXPECT_EQ(col, (std::vector<int>{1, 3}));
  EXPECT_EQ(nearest, (std::vector<float>{0.046875f, 0.046875f}));

  // Without adaptation both are foreground under e2 and have no winner.
  detectionPass(s.ctx(), frame, model, labels, row, col);
  EXPECT_EQ(labels, (LabelMask{255, 255}));
  EXPECT_EQ(row, (std::vector<int>{-1, -1}));
}

TEST(AdaptivePasses, UpdateTrainsAbsorbedForegroundOnItsOwnBlockOnly) {
  PassSetup s(2, 1, 3);
  const FloatPlanes model = filledPlanes(s.g.cells(), kGround), frame = filledPlanes(2, kPixel);
  AlphaTable alpha(3);
  for (float& a : alpha.cells) a = 0.5f;
  const LabelMask labels{255, 255};
  const std::vector<int> row{-1, 0}, col{-1, 3};  // pixel 1's nearest: its top-left cell
  const std::uint8_t absorb[2] = {0, 1};
  const ConeColor half{0.0625f, -0.0625f, 0.5625f};
  for (const bool absorbing : {false, true}) {
    FloatPlanes next = model;
    PassContext ctx = s.ctx();
    if (absorbing) ctx.adapt.absorb = absorb;
    updatePass(ctx, frame, model, labels, alpha, row, col, next);
    for (int mr = 0; mr < 3; ++mr)
      for (int mc = 0; mc < 6; ++mc) {
        // The window reaches rows 0..1, columns 2..4: pixel 1's cells there.
        const bool trained = absorbing && mr <= 1 && mc >= 3 && mc <= 4;
        const std::size_t i = static_cast<std::size_t>(mr) * 6 + mc;
        EXPECT_EQ(asVector(coneAt(next, i)), asVector(trained ? half : kGround))
            << "cell (" << mr << ", " << mc << ") absorbing " << absorbing;
      }
  }
}

// One pixel through the steps, frame by frame.
struct OnePixel {
  PassSetup s{1, 1, 3};
  AdaptiveState a{1};
  FloatPlanes frame{3, 1};
  OnePixel(int span) {
    s.params.adaptive = 1;
    s.params.absorbSpan = span;
    setCone(frame, 0, kPixel);
    adaptInitialise(s.ctx(), frame, a);
  }
  // The absorption decided for a frame of this colour, label and nearest distance.
  int step(const ConeColor& c, std::uint8_t label, float nearest = 0.0f) {
    setCone(frame, 0, c);
    a.nearest[0] = nearest;
    adaptDetect(s.ctx(), frame, LabelMask{label}, a);
    return a.absorb[0];
  }
};

TEST(AdaptiveSteps, StillForegroundIsAbsorbedFromHalfTheSpanAndADriftStartsAgain) {
  OnePixel p(6);
  std::vector<int> got;
  for (int f = 0; f < 4; ++f) got.push_back(p.step(kPixel, 255));
  EXPECT_EQ(got, (std::vector<int>{0, 0, kAbsorbStill, kAbsorbStill}));  // (6 + 1) / 2 = 3 still frames
  EXPECT_EQ(p.step(kGround, 255), 0) << "a change of colour starts the count again";
  EXPECT_EQ(p.step(kGround, 255), 0);
  EXPECT_EQ(p.step(kGround, 0), 0) << "background is not absorbed";

  // Steps of 0.05 in value (0.0025 each, within half the threshold) add up
  // to more than it from where the pixel turned still: never absorbed.
  OnePixel drift(6);
  for (int f = 0; f < 8; ++f)
    EXPECT_EQ(drift.step({kPixel.x, kPixel.y, kPixel.v - 0.05f * f}, 255), 0) << "frame " << f;
}

TEST(AdaptiveSteps, ThresholdRisesOnSpuriousForegroundAndSettlesWithinItsBounds) {
  OnePixel p(100);
  const scvardo::Params& prm = p.s.params;
  EXPECT_EQ(p.a.threshold[0], prm.e2);
  p.step(kPixel, 170);  // cleared by the vote
  EXPECT_FLOAT_EQ(p.a.threshold[0], prm.e2 * 1.02f);
  for (int f = 0; f < 200; ++f) p.step(kPixel, 170);
  EXPECT_EQ(p.a.threshold[0], prm.thresholdHigh);
  for (int f = 0; f < 2000; ++f) p.step(kPixel, 0);
  EXPECT_EQ(p.a.threshold[0], prm.thresholdLow) << "steady background lowers it to the bound";
  // A background whose nearest distance is 0.02 keeps it above distanceGain * 0.02.
  for (int f = 0; f < 2000; ++f) p.step(kPixel, 0, 0.02f);
  EXPECT_NEAR(p.a.threshold[0], prm.distanceGain * 0.02f, 1e-4);
  // Foreground that lasts a frame or two is spurious; a passing object is not.
  const float before = p.a.threshold[0];
  p.step(kPixel, 255);
  p.step(kPixel, 0, 0.02f);
  EXPECT_GT(p.a.threshold[0], before);
  OnePixel q(100);
  for (int f = 0; f < 3; ++f) q.step(kPixel, 255);
  q.step(kPixel, 0);
  EXPECT_LT(q.a.threshold[0], prm.e2);
}

// Cleared foreground is trained only where the pixel is restless and no
// foreground is left in its 3x3 window (not the rim of a blob).
TEST(AdaptiveSteps, ClearedForegroundIsTrainedWhereRestlessAndAlone) {
  const struct {
    float flicker;
    int foregroundAt;  // a 255 at this pixel of the 3x3 frame, -1 none
    std::uint8_t expected;
  } cases[] = {{0.5f, -1, kAbsorbCleared}, {0.5f, 0, 0}, {0.5f, 8, 0}, {0.1f, -1, 0}};
  for (const auto& c : cases) {
    PassSetup s(3, 3, 3);
    s.params.adaptive = 1;
    AdaptiveState a(9);
    FloatPlanes frame = filledPlanes(9, kPixel);
    adaptInitialise(s.ctx(), frame, a);
    a.flicker.assign(9, c.flicker);
    LabelMask labels(9, 0);
    labels[4] = 170;
    if (c.foregroundAt >= 0) labels[static_cast<std::size_t>(c.foregroundAt)] = 255;
    adaptDetect(s.ctx(), frame, labels, a);
    EXPECT_EQ(a.absorb[4], c.expected) << "flicker " << c.flicker << ", foreground at " << c.foregroundAt;
  }
}

// ---- Whole runs through the face ------------------------------------------------

// A textured 32x24 scene; from frame 12 a parcel stands at (8..15, 6..13).
cv::Mat sceneFrame(int f) {
  cv::Mat m(24, 32, CV_8UC3);
  cv::RNG grain(7);
  grain.fill(m, cv::RNG::UNIFORM, 60, 180);
  cv::RNG noise(1000 + f);
  cv::Mat n(24, 32, CV_8UC3);
  noise.fill(n, cv::RNG::UNIFORM, 0, 3);
  m += n;
  if (f >= 12) m(cv::Rect(8, 6, 8, 8)).setTo(cv::Scalar(30, 60, 200));
  return m;
}

scvardo::Params adaptiveParams(int threads = 1) {
  scvardo::Params p;
  p.K = 8;
  p.adaptive = 1;
  p.absorbSpan = 20;
  p.threads = threads;
  return p;
}

std::vector<cv::Mat> runMasks(cv::Ptr<scvardo::BackgroundSubtractor> bs, int from, int to) {
  std::vector<cv::Mat> masks;
  for (int f = from; f <= to; ++f) {
    cv::Mat mask;
    bs->apply(sceneFrame(f), mask);
    masks.push_back(mask.clone());
  }
  return masks;
}

TEST(AdaptiveRun, AParcelThatStaysFadesWithinTheSpanAndStaysForegroundWithoutIt) {
  const std::vector<cv::Mat> adaptive = runMasks(scvardo::createBackgroundSubtractor(adaptiveParams()), 1, 60);
  scvardo::Params defined = adaptiveParams();
  defined.adaptive = 0;
  const std::vector<cv::Mat> plain = runMasks(scvardo::createBackgroundSubtractor(defined), 1, 60);
  const cv::Rect parcel(8, 6, 8, 8);
  // The 5x5 vote clears three pixels at each corner of the square.
  EXPECT_EQ(cv::countNonZero(adaptive[12](parcel)), 64 - 12) << "frame 13: the parcel is new";
  EXPECT_EQ(cv::countNonZero(adaptive[12 + 20 - 1]), 0) << "frame 32: gone within the span of 20";
  EXPECT_EQ(cv::countNonZero(adaptive[59]), 0);
  EXPECT_EQ(cv::countNonZero(plain[59](parcel)), 64 - 12) << "the defined method keeps it";
}

TEST(AdaptiveRun, EveryThreadCountGivesTheSameMasks) {
  const std::vector<cv::Mat> one = runMasks(scvardo::createBackgroundSubtractor(adaptiveParams(1)), 1, 40);
  for (int threads : {2, 3, 0}) {
    const std::vector<cv::Mat> other =
        runMasks(scvardo::createBackgroundSubtractor(adaptiveParams(threads)), 1, 40);
    for (std::size_t i = 0; i < one.size(); ++i)
      ASSERT_EQ(cv::norm(one[i], other[i], cv::NORM_INF), 0) << threads << " threads, frame " << i + 1;
  }
}

TEST(AdaptiveRun, ASavedModelResumesExactlyAndAnOlderFileReadsAsTheModeOff) {
  ScratchDir dir;
  const std::vector<cv::Mat> whole = runMasks(scvardo::createBackgroundSubtractor(adaptiveParams()), 1, 40);
  auto first = scvardo::createBackgroundSubtractor(adaptiveParams());
  runMasks(first, 1, 25);  // the parcel is being absorbed
  for (const char* name : {"model.scvm", "model.yml.gz", "model.yml"}) {
    first->save(dir / name);
    auto resumed = scvardo::load(dir / name);
    EXPECT_EQ(resumed->getParams().adaptive, 1) << name;
    EXPECT_EQ(resumed->getParams().absorbSpan, 20) << name;
    const std::vector<cv::Mat> rest = runMasks(resumed, 26, 40);
    for (std::size_t i = 0; i < rest.size(); ++i)
      ASSERT_EQ(cv::norm(rest[i], whole[25 + i], cv::NORM_INF), 0) << name << ", frame " << 26 + i;
  }

  // A file from before the mode (version 1) reads as the mode off.
  auto old = scvardo::load(SCVARDO_SOURCE_DIR "/tests/data/model-v1.yml.gz");
  EXPECT_EQ(old->getParams().adaptive, 0);
  EXPECT_EQ(old->getFrameCount(), 5);
}

// The switches anywhere on the line (the refusals are in cli_test's
// table); the report shows the mode's own lines only while it is on.
TEST(AdaptiveCli, SwitchesAnywhereAndTheReport) {
  ScratchDir dir;
  const std::string seq = makeTinySequence(dir / "seq");
  fs::create_directories(dir / "a");
  RunResult r = runTool({"--adaptive", seq, "1", "6", "--absorb-span", "4", "--threshold-high=0.05"}, dir / "a");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Median postproc. (0/1): 0\nAdaptive (0/1):         1\nAbsorb span:            4\n"
                       "Threshold low:          0.0040\nThreshold high:         0.0500\n"
                       "Distance gain:          1.0000\nFlicker train:          0.3000\nSave all models"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(fs::exists(dir / "a/bin000006.png"));
  fs::create_directories(dir / "b");
  r = runTool({seq, "1", "6", "--absorb-span", "4"}, dir / "b");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Median postproc. (0/1): 0\nSave all models"), std::string::npos) << r.out;
}

}  // namespace
