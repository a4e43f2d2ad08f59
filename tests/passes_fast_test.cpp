// fast:: passes against reference:: passes, byte for byte: labels, winner
// positions and every bit of every model cell, after every calibration and
// online frame, on odd sizes, ROIs with holes, random frames and real frames.
// A mismatch reports the first differing element with its coordinates.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "colour/colour.h"
#include "model/model.h"
#include "model/passes_select.h"
#include "test_support.h"

namespace {

// "" when equal, else the first mismatch.
std::string firstModelMismatch(const FloatPlanes& ref, const FloatPlanes& fast, int n, int W) {
  const std::size_t modelW = static_cast<std::size_t>(n) * W;
  for (std::size_t i = 0; i < ref.size(); ++i)
    for (int k = 0; k < 3; ++k)
      if (std::memcmp(&ref[k][i], &fast[k][i], sizeof(float)) != 0) {
        std::ostringstream s;
        s.precision(9);
        s << "model plane " << k << " cell (row " << i / modelW << ", col " << i % modelW
          << "): reference " << ref[k][i] << ", fast " << fast[k][i];
        return s.str();
      }
  return "";
}

template <typename T>
std::string firstPixelMismatch(const char* what, const std::vector<T>& ref,
                               const std::vector<T>& fast, int W) {
  for (std::size_t p = 0; p < ref.size(); ++p)
    if (ref[p] != fast[p]) {
      std::ostringstream s;
      s << what << " at pixel (row " << p / W << ", col " << p % W << "): reference "
        << static_cast<long>(ref[p]) << ", fast " << static_cast<long>(fast[p]);
      return s.str();
    }
  return "";
}

struct Side {
  FloatPlanes current, next;
  LabelMask labels;
  std::vector<int> matchRow, matchCol;
  Side(std::size_t cells, std::size_t pixels)
      : current(3, cells), next(3, cells), labels(pixels, 0), matchRow(pixels, 0),
        matchCol(pixels, 0) {}
};

// Runs a whole sequence through both implementations in lockstep and
// returns "" or a description of the first mismatch.
class Lockstep {
 public:
  Lockstep(int W, int H, int n, const RoiMask& roi, const RunParams& params)
      : W_(W), H_(H), n_(n), roi_(roi), params_(params),
        cells_(static_cast<std::size_t>(n) * n * W * H), frame_(3, static_cast<std::size_t>(W) * H),
        ref_(cells_, static_cast<std::size_t>(W) * H), fast_(cells_, static_cast<std::size_t>(W) * H),
        kernel_(n), alpha_(n) {
    // n = 1 has no tabled spread; any positive spread gives its kernel {1}.
    buildWeightKernel(n, isSupportedBlockSize(n) ? kernelSpread(n) : 1.0f, kernel_);
    rates_ = baseRates(params.c1, params.c2, n);
  }

  bool load(const cv::Mat& image) { return convertFrame(image, frame_, roi_); }

  void init() {
    initModel(ref_.current, frame_, H_, W_, n_, roi_);
    copyPlanes(ref_.current, cells_, ref_.next);
    copyPlanes(ref_.current, cells_, fast_.current);
    copyPlanes(ref_.current, cells_, fast_.next);
  }

  std::string calibrate(int t, int K) {
    buildAlphaTable(n_, calibrationRate(t, K, rates_), kernel_, alpha_);
    reference::calibrationPass(frame_, H_, W_, ref_.current, ref_.labels, alpha_, n_, params_.e1,
                               ref_.next, params_, roi_);
    fast::calibrationPass(frame_, H_, W_, fast_.current, fast_.labels, alpha_, n_, params_.e1,
                          fast_.next, params_, roi_);
    std::string m = firstPixelMismatch("calibration label", ref_.labels, fast_.labels, W_);
    if (m.empty()) m = firstModelMismatch(ref_.next, fast_.next, n_, W_);
    endFrame();
    return m;
  }

  // Detection, a stand-in for spatial coherence (some 0 -> 255, some
  // 255 -> 170, driven by `rng`, the same for both sides), then update.
  std::string online(std::mt19937& rng) {
    buildAlphaTable(n_, onlineRate(rates_), kernel_, alpha_);
    reference::detectionPass(frame_, H_, W_, ref_.current, n_, params_.e2, ref_.labels,
                             ref_.matchRow, ref_.matchCol, params_, roi_);
    fast::detectionPass(frame_, H_, W_, fast_.current, n_, params_.e2, fast_.labels,
                        fast_.matchRow, fast_.matchCol, params_, roi_);
    std::string m = firstPixelMismatch("detection label", ref_.labels, fast_.labels, W_);
    if (m.empty()) m = firstPixelMismatch("MatchRow", ref_.matchRow, fast_.matchRow, W_);
    if (m.empty()) m = firstPixelMismatch("MatchCol", ref_.matchCol, fast_.matchCol, W_);
    if (!m.empty()) return m;
    std::uniform_int_distribution<int> die(0, 9);
    for (std::size_t p = 0; p < ref_.labels.size(); ++p) {
      if (!roi_.inside(p)) continue;
      const int roll = die(rng);
      if (ref_.labels[p] == 0 && roll == 0) ref_.labels[p] = 255;
      else if (ref_.labels[p] == 255 && roll < 3) ref_.labels[p] = 170;
    }
    fast_.labels = ref_.labels;
    reference::updatePass(frame_, H_, W_, ref_.current, ref_.labels, alpha_, n_, ref_.matchRow,
                          ref_.matchCol, ref_.next, roi_);
    fast::updatePass(frame_, H_, W_, fast_.current, fast_.labels, alpha_, n_, fast_.matchRow,
                     fast_.matchCol, fast_.next, roi_);
    m = firstModelMismatch(ref_.next, fast_.next, n_, W_);
    endFrame();
    return m;
  }

  // Counts of labels 0, 85 and 255 over the run, to show every path ran.
  int seen[3] = {0, 0, 0};

 private:
  void endFrame() {
    for (std::uint8_t l : ref_.labels) {
      if (l == 0) ++seen[0];
      if (l == 85) ++seen[1];
      if (l == 255) ++seen[2];
    }
    copyPlanes(ref_.next, cells_, ref_.current);
    copyPlanes(fast_.next, cells_, fast_.current);
  }

  int W_, H_, n_;
  const RoiMask& roi_;
  RunParams params_;
  std::size_t cells_;
  FloatPlanes frame_;
  Side ref_, fast_;
  WeightKernel kernel_;
  AlphaTable alpha_;
  BaseRates rates_{};
};

// A random background with per-frame noise, a moving foreground square and a
// darker (shadow-like) patch.
class SyntheticScene {
 public:
  SyntheticScene(int W, int H, unsigned seed) : W_(W), H_(H), rng_(seed), base_(H, W, CV_8UC3) {
    std::uniform_int_distribution<int> byte(20, 235);
    for (int r = 0; r < H; ++r)
      for (int c = 0; c < W; ++c)
        base_.at<cv::Vec3b>(r, c) = cv::Vec3b(static_cast<std::uint8_t>(byte(rng_)),
                                              static_cast<std::uint8_t>(byte(rng_)),
                                              static_cast<std::uint8_t>(byte(rng_)));
  }
  cv::Mat frame(int t) {
    cv::Mat img = base_.clone();
    std::uniform_int_distribution<int> noise(-4, 4);
    for (int r = 0; r < H_; ++r)
      for (int c = 0; c < W_; ++c) {
        cv::Vec3b& px = img.at<cv::Vec3b>(r, c);
        for (int k = 0; k < 3; ++k) px[k] = cv::saturate_cast<std::uint8_t>(px[k] + noise(rng_));
        const bool square = r >= (t % H_) && r < (t % H_) + 2 && c >= (t % W_) && c < (t % W_) + 2;
        const bool shadow = r >= (2 * t) % H_ && r < (2 * t) % H_ + 2 && c >= (3 * t) % W_ &&
                            c < (3 * t) % W_ + 3;
        if (square) px = cv::Vec3b(250, 10, static_cast<std::uint8_t>(40 * t));
        else if (shadow)
          for (int k = 0; k < 3; ++k) px[k] = static_cast<std::uint8_t>(px[k] * 0.8);
      }
    return img;
  }

 private:
  int W_, H_;
  std::mt19937 rng_;
  cv::Mat base_;
};

struct SizeCase {
  const char* name;
  int W, H, n;
  int holes;  // 0: full ROI; 1: scattered holes; 2: holes and empty first rows
  int shadowRemoval;
  unsigned seed;
};

RoiMask makeRoi(int W, int H, int holes, unsigned seed) {
  RoiMask roi = RoiMask::all(W, H);
  if (holes == 0) return roi;
  std::mt19937 rng(seed * 7 + 1);
  std::uniform_int_distribution<int> die(0, 3);
  for (std::size_t p = 0; p < roi.bytes.size(); ++p)
    if (die(rng) == 0) roi.bytes[p] = 0;
  if (holes == 2) {
    const int empty = H / 3 > 0 ? H / 3 : 1;
    for (int r = 0; r < empty && r < H; ++r)
      for (int c = 0; c < W; ++c) roi.bytes[static_cast<std::size_t>(r) * W + c] = 0;
  }
  roi.firstRoiRow = H;
  for (int r = H - 1; r >= 0; --r)
    for (int c = 0; c < W; ++c)
      if (roi.bytes[static_cast<std::size_t>(r) * W + c] != 0) roi.firstRoiRow = r;
  return roi;
}

class FastPasses : public testing::TestWithParam<SizeCase> {};

TEST_P(FastPasses, IdenticalToReferenceOnSyntheticFrames) {
  const SizeCase& t = GetParam();
  const RoiMask roi = makeRoi(t.W, t.H, t.holes, t.seed);
  RunParams params;
  params.n = t.n;
  params.shadowRemoval = t.shadowRemoval;
  params.gamma = 0.7f;
  params.e2 = 0.008f;
  Lockstep run(t.W, t.H, t.n, roi, params);
  SyntheticScene scene(t.W, t.H, t.seed);
  std::mt19937 rng(t.seed);
  const int K = 6;
  ASSERT_TRUE(run.load(scene.frame(0)));
  run.init();
  for (int f = 1; f < K; ++f) {
    ASSERT_TRUE(run.load(scene.frame(f)));
    const std::string m = run.calibrate(f, K);
    ASSERT_EQ(m, "") << "calibration frame " << f;
  }
  for (int f = K; f < K + 8; ++f) {
    ASSERT_TRUE(run.load(scene.frame(f)));
    const std::string m = run.online(rng);
    ASSERT_EQ(m, "") << "online frame " << f;
  }
  if (t.W * t.H >= 16) {
    EXPECT_GT(run.seen[0], 0) << "no background label seen";
    EXPECT_GT(run.seen[2], 0) << "no foreground label seen";
  }
}

const SizeCase kSizes[] = {
    {"w7h5n3", 7, 5, 3, 0, 1, 11},
    {"w4h4n3", 4, 4, 3, 0, 1, 12},
    {"w7h5n3_holes", 7, 5, 3, 1, 1, 13},
    {"w7h5n3_holes_empty_first_rows", 7, 5, 3, 2, 1, 14},
    {"w4h4n3_holes_no_shadow", 4, 4, 3, 1, 0, 15},
    {"w7h5n5", 7, 5, 5, 1, 1, 16},
    {"w5h7n1", 5, 7, 1, 1, 1, 17},
    {"w9h6n7", 9, 6, 7, 2, 1, 18},
    {"w6h4n9", 6, 4, 9, 0, 1, 19},
    {"w1h1n3", 1, 1, 3, 0, 1, 20},
    {"w33h17n3_holes", 33, 17, 3, 1, 1, 21},
};

INSTANTIATE_TEST_SUITE_P(Sizes, FastPasses, testing::ValuesIn(kSizes),
                         [](const testing::TestParamInfo<SizeCase>& i) {
                           return std::string(i.param.name);
                         });

// Real frames of the benchmark sequence beside the repository (skipped when
// absent): 8 calibration and 6 online frames, with the sequence's ROI and
// with a ROI with holes.
TEST(FastPassesRealFrames, IdenticalToReferenceOnHighway) {
  const std::string data = testsupport::sharedDataDir();
  if (data.empty()) GTEST_SKIP() << "no shared data";
  const std::string seq = data + "/highway";
  auto framePath = [&](int f) {
    char name[32];
    std::snprintf(name, sizeof name, "/input/in%06d.jpg", f);
    return seq + name;
  };
  const cv::Mat first = cv::imread(framePath(1), cv::IMREAD_COLOR);
  const cv::Mat roiImage = cv::imread(seq + "/ROI.bmp", cv::IMREAD_GRAYSCALE);
  if (first.empty() || roiImage.empty()) GTEST_SKIP() << "highway frames not readable";
  const int W = first.cols, H = first.rows;
  ASSERT_EQ(roiImage.cols, W);
  ASSERT_EQ(roiImage.rows, H);

  RoiMask sequenceRoi;  // filled below
  sequenceRoi.W = W;
  sequenceRoi.H = H;
  sequenceRoi.bytes.assign(roiImage.datastart, roiImage.datastart + static_cast<std::size_t>(W) * H);
  sequenceRoi.firstRoiRow = H;
  for (int r = H - 1; r >= 0; --r)
    for (int c = 0; c < W; ++c)
      if (sequenceRoi.bytes[static_cast<std::size_t>(r) * W + c] != 0) sequenceRoi.firstRoiRow = r;
  const RoiMask holes = makeRoi(W, H, 2, 5);

  const RoiMask* rois[] = {&sequenceRoi, &holes};
  for (const RoiMask* roi : rois) {
    SCOPED_TRACE(roi == &holes ? "ROI with holes" : "sequence ROI");
    RunParams params;  // the defaults: n = 3, shadow removal on
    Lockstep run(W, H, params.n, *roi, params);
    std::mt19937 rng(99);
    const int K = 8;
    ASSERT_TRUE(run.load(first));
    run.init();
    for (int f = 1; f < K + 6; ++f) {
      const cv::Mat img = cv::imread(framePath(1 + f), cv::IMREAD_COLOR);
      ASSERT_FALSE(img.empty()) << framePath(1 + f);
      ASSERT_TRUE(run.load(img));
      const std::string m = f < K ? run.calibrate(f, K) : run.online(rng);
      ASSERT_EQ(m, "") << "frame index " << f;
    }
    EXPECT_GT(run.seen[0], 0);
  }
}

}  // namespace

namespace {

// Blocks drawn from a few exact colours, so that distances tie exactly and
// some equal the threshold, with NaN cells sprinkled in: the winner must
// still be the first cell attaining the minimum (the centre on a tie with
// it), and a NaN cell must never win.
TEST(FastPassesTies, FirstMinimumAndNaNCellsAsReference) {
  const float palette[][3] = {{0.0f, 0.0f, 0.5f},    {0.25f, 0.0f, 0.5f}, {0.0f, 0.25f, 0.5f},
                              {0.25f, 0.25f, 0.75f}, {0.5f, 0.0f, 0.25f}, {0.0f, 0.0f, 1.0f}};
  const int kColours = 6;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (int n : {3, 5}) {
    for (unsigned seed = 1; seed <= 6; ++seed) {
      SCOPED_TRACE("n " + std::to_string(n) + " seed " + std::to_string(seed));
      const int W = 5 + static_cast<int>(seed % 3), H = 4;
      const std::size_t pixels = static_cast<std::size_t>(W) * H;
      const std::size_t cells = pixels * n * n;
      std::mt19937 rng(seed);
      std::uniform_int_distribution<int> pick(0, kColours - 1), die(0, 9);
      FloatPlanes model(3, cells), frame(3, pixels);
      for (std::size_t i = 0; i < cells; ++i) {
        const int k = pick(rng);
        const int roll = die(rng);
        for (int q = 0; q < 3; ++q) model[q][i] = roll == 0 ? nan : palette[k][q];
      }
      for (std::size_t p = 0; p < pixels; ++p) {
        const int k = pick(rng);
        for (int q = 0; q < 3; ++q) frame[q][p] = palette[k][q];
      }
      // A whole block of NaN: nothing can match there.
      for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
          for (int q = 0; q < 3; ++q) model[q][static_cast<std::size_t>(i) * n * W + n + j] = nan;
      const RoiMask roi = RoiMask::all(W, H);
      // 0.0625 and 0.125 are distances between palette colours.
      for (float threshold : {0.0f, 0.0625f, 0.125f, 0.3f, 200.0f}) {
        SCOPED_TRACE("threshold " + std::to_string(threshold));
        for (int shadow : {0, 1}) {
          RunParams params;
          params.n = n;
          params.shadowRemoval = shadow;
          LabelMask refLabels(pixels, 7), fastLabels(pixels, 7);
          std::vector<int> refRow(pixels, 0), refCol(pixels, 0), fastRow(pixels, 0),
              fastCol(pixels, 0);
          reference::detectionPass(frame, H, W, model, n, threshold, refLabels, refRow, refCol,
                                   params, roi);
          fast::detectionPass(frame, H, W, model, n, threshold, fastLabels, fastRow, fastCol,
                              params, roi);
          ASSERT_EQ(firstPixelMismatch("detection label", refLabels, fastLabels, W), "");
          ASSERT_EQ(firstPixelMismatch("MatchRow", refRow, fastRow, W), "");
          ASSERT_EQ(firstPixelMismatch("MatchCol", refCol, fastCol, W), "");

          WeightKernel kernel(n);
          buildWeightKernel(n, kernelSpread(n), kernel);
          AlphaTable alpha(n);
          buildAlphaTable(n, 0.5f, kernel, alpha);
          FloatPlanes refNext(3, cells), fastNext(3, cells);
          copyPlanes(model, cells, refNext);
          copyPlanes(model, cells, fastNext);
          LabelMask refCal(pixels, 0), fastCal(pixels, 0);
          reference::calibrationPass(frame, H, W, model, refCal, alpha, n, threshold, refNext,
                                     params, roi);
          fast::calibrationPass(frame, H, W, model, fastCal, alpha, n, threshold, fastNext,
                                params, roi);
          ASSERT_EQ(firstPixelMismatch("calibration label", refCal, fastCal, W), "");
          ASSERT_EQ(firstModelMismatch(refNext, fastNext, n, W), "");
        }
      }
    }
  }
}

}  // namespace
