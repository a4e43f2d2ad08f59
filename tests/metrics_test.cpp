// Evaluation counts and metrics on hand-made frames, sequence file handling, sc-vardo-eval.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "metrics.h"
#include "test_support.h"

namespace {

using metrics::Counts;
using metrics::PixelClass;

cv::Mat grid(int rows, int cols, std::initializer_list<int> values) {
  cv::Mat m(rows, cols, CV_8UC1);
  auto it = values.begin();
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) m.at<std::uint8_t>(r, c) = static_cast<std::uint8_t>(*it++);
  return m;
}

// 6 wide, 5 high; the ROI hides column 5 (which would add TP, FN, FP, TP, TN)
// and is 1, not 255, at (4, 0): any nonzero ROI byte counts.
cv::Mat handGt() {
  return grid(5, 6, {255, 255, 255, 0,   0,   255,  //
                     50,  50,  0,   0,   170, 255,  //
                     85,  85,  170, 255, 0,   0,    //
                     0,   0,   0,   0,   0,   255,  //
                     255, 0,   50,  50,  0,   0});
}
cv::Mat handMask() {
  return grid(5, 6, {255, 0,   255, 255, 0,   255,  //
                     255, 0,   0,   0,   255, 0,    //
                     255, 0,   255, 255, 0,   255,  //
                     0,   128, 0,   0,   0,   255,  //
                     254, 0,   255, 0,   0,   0});
}
cv::Mat handRoi() {
  cv::Mat roi(5, 6, CV_8UC1, cv::Scalar(255));
  roi.col(5).setTo(0);
  roi.at<std::uint8_t>(4, 0) = 1;
  return roi;
}

void expectCounts(const Counts& k, std::uint64_t tp, std::uint64_t fp, std::uint64_t fn,
                  std::uint64_t tn) {
  EXPECT_EQ(std::vector<std::uint64_t>({k.TP, k.FP, k.FN, k.TN}),
            std::vector<std::uint64_t>({tp, fp, fn, tn})) << "TP, FP, FN, TN";
}

void writeImage(const std::string& path, const cv::Mat& m) {
  ASSERT_TRUE(cv::imwrite(path, m)) << path;
}

// Hand-made ground truth for frames 1..3; masks: hand-made, all foreground, empty.
struct TinySequence {
  testsupport::ScratchDir dir{"metrics"};
  std::string seq = dir / "seq";
  std::string masks = dir / "masks";

  TinySequence() {
    std::filesystem::create_directories(seq + "/groundtruth");
    std::filesystem::create_directories(masks);
    writeImage(seq + "/ROI.bmp", handRoi());
    testsupport::writeFile(seq + "/temporalROI.txt", "2 3\n");
    for (int f = 1; f <= 3; ++f) writeImage(metrics::gtPath(seq, f), handGt());
    writeImage(metrics::maskPath(masks, 1), handMask());
    writeImage(metrics::maskPath(masks, 2), cv::Mat(5, 6, CV_8UC1, cv::Scalar(255)));
    writeImage(metrics::maskPath(masks, 3), cv::Mat(5, 6, CV_8UC1, cv::Scalar(0)));
  }
};

}  // namespace

TEST(Metrics, ClassifyFollowsTheBenchmarkLabels) {
  using P = PixelClass;
  const struct {
    int mask, gt, roi;
    PixelClass want;
  } cases[] = {
      {255, 255, 255, P::TP},         {0, 255, 255, P::FN},           {254, 255, 255, P::FN},
      {255, 0, 255, P::FP},           {0, 0, 255, P::TN},             {255, 50, 255, P::FP},
      {0, 50, 255, P::TN},            {255, 85, 255, P::NotCounted},  {0, 85, 255, P::NotCounted},
      {255, 170, 255, P::NotCounted}, {0, 170, 255, P::NotCounted},   {255, 255, 0, P::NotCounted},
      {0, 0, 0, P::NotCounted},       {255, 255, 7, P::TP},  // only 255 is foreground; any ROI byte but 0
  };
  for (const auto& c : cases)
    EXPECT_EQ(metrics::classify(static_cast<std::uint8_t>(c.mask), static_cast<std::uint8_t>(c.gt),
                                static_cast<std::uint8_t>(c.roi)),
              c.want)
        << "mask " << c.mask << " gt " << c.gt << " roi " << c.roi;
}

TEST(Metrics, HandMadeFrameCountsAddUpAndUseTheRowStride) {
  Counts k;
  metrics::accumulate(handMask(), handGt(), handRoi(), k);
  expectCounts(k, 3, 3, 2, 13);
  metrics::accumulate(handMask(), handGt(), handRoi(), k);
  expectCounts(k, 6, 6, 4, 26);
  // The same frame as views into wider images: a stride bug reads the wrong pixels.
  cv::Mat wideMask(5, 9, CV_8UC1, cv::Scalar(255)), wideGt(5, 9, CV_8UC1, cv::Scalar(0));
  handMask().copyTo(wideMask(cv::Rect(2, 0, 6, 5)));
  handGt().copyTo(wideGt(cv::Rect(1, 0, 6, 5)));
  k = Counts{};
  metrics::accumulate(wideMask(cv::Rect(2, 0, 6, 5)), wideGt(cv::Rect(1, 0, 6, 5)), handRoi(), k);
  expectCounts(k, 3, 3, 2, 13);
}

TEST(Metrics, FormulasAndReportsOnKnownCounts) {
  const Counts k{3, 3, 2, 13};
  const metrics::Metrics m = metrics::compute(k);
  EXPECT_DOUBLE_EQ(m.recall, 0.6);
  EXPECT_DOUBLE_EQ(m.specificity, 0.8125);
  EXPECT_DOUBLE_EQ(m.fpr, 0.1875);
  EXPECT_DOUBLE_EQ(m.fnr, 0.4);
  EXPECT_DOUBLE_EQ(m.pwc, 500.0 / 21.0);
  EXPECT_DOUBLE_EQ(m.precision, 0.5);
  EXPECT_DOUBLE_EQ(m.fMeasure, 6.0 / 11.0);
  EXPECT_EQ(metrics::formatText(k, m),
            "TP: 3\nFP: 3\nFN: 2\nTN: 13\nRecall: 0.600000\nSpecificity: 0.812500\n"
            "FPR: 0.187500\nFNR: 0.400000\nPWC: 23.809524\nPrecision: 0.500000\n"
            "F-measure: 0.545455\n");
  EXPECT_EQ(metrics::formatJson(k, m, 470, 1700),
            "{\"first\": 470, \"last\": 1700, \"TP\": 3, \"FP\": 3, \"FN\": 2, \"TN\": 13, "
            "\"Recall\": 0.600000, \"Specificity\": 0.812500, \"FPR\": 0.187500, "
            "\"FNR\": 0.400000, \"PWC\": 23.809524, \"Precision\": 0.500000, "
            "\"F-measure\": 0.545455}\n");
}

TEST(Metrics, ZeroDenominatorsGiveZero) {
  const metrics::Metrics none = metrics::compute(Counts{});
  for (double v : {none.recall, none.specificity, none.fpr, none.fnr, none.pwc, none.precision,
                   none.fMeasure})
    EXPECT_EQ(v, 0.0);
  const metrics::Metrics m = metrics::compute(Counts{0, 0, 0, 10});  // no positives, none detected
  EXPECT_EQ(m.recall, 0.0);
  EXPECT_EQ(m.precision, 0.0);
  EXPECT_EQ(m.fMeasure, 0.0);
  EXPECT_EQ(m.specificity, 1.0);
  EXPECT_FALSE(std::isnan(m.fnr));
}

TEST(Metrics, SequenceSumsTheChosenFramesOnly) {
  TinySequence s;
  // Frame 2 (all foreground): TP 5, FP 16; frame 3 (none): FN 5, TN 16.
  const int cases[][6] = {{1, 1, 3, 3, 2, 13}, {2, 3, 5, 16, 5, 16}, {1, 3, 8, 19, 7, 29}};
  for (const auto& c : cases) {
    std::string error;
    Counts k;
    ASSERT_TRUE(metrics::evaluateSequence(s.masks, s.seq, c[0], c[1], k, error)) << error;
    expectCounts(k, c[2], c[3], c[4], c[5]);
  }
}

TEST(Metrics, SequenceErrorsNameTheFile) {
  TinySequence s;
  std::filesystem::remove(metrics::maskPath(s.masks, 3));
  testsupport::writeFile(metrics::gtPath(s.seq, 2), "not a png");
  writeImage(metrics::maskPath(s.masks, 1), cv::Mat(4, 6, CV_8UC1, cv::Scalar(0)));
  writeImage(metrics::gtPath(s.seq, 5), handGt());
  writeImage(metrics::gtPath(s.seq, 6), handGt());
  writeImage(metrics::maskPath(s.masks, 6), cv::Mat(5, 6, CV_8UC3, cv::Scalar(0, 255, 0)));
  const struct {
    int first, last;
    std::string names;
  } cases[] = {
      {3, 3, metrics::maskPath(s.masks, 3)},   // missing mask
      {2, 2, metrics::gtPath(s.seq, 2)},       // unreadable ground truth
      {4, 4, metrics::gtPath(s.seq, 4)},       // missing ground truth
      {1, 1, metrics::maskPath(s.masks, 1)},   // 6x4 mask, 6x5 ground truth
      {5, 5, metrics::maskPath(s.masks, 5)},   // missing mask after a good ground truth
      {6, 6, metrics::maskPath(s.masks, 6)},   // a colour mask
  };
  for (const auto& c : cases) {
    std::string error;
    Counts k;
    EXPECT_FALSE(metrics::evaluateSequence(s.masks, s.seq, c.first, c.last, k, error));
    EXPECT_NE(error.find(c.names), std::string::npos) << "error: " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << "one line: " << error;
  }
  std::filesystem::remove(s.seq + "/ROI.bmp");
  std::string error;
  Counts k;
  EXPECT_FALSE(metrics::evaluateSequence(s.masks, s.seq, 1, 1, k, error));
  EXPECT_NE(error.find(s.seq + "/ROI.bmp"), std::string::npos) << error;
}

TEST(Metrics, TemporalRoiFile) {
  testsupport::ScratchDir d("troi");
  const struct {
    const char* content;  // nullptr: no file
    bool ok;
    int first, last;
  } cases[] = {
      {"470 1700", true, 470, 1700}, {"  1 1\n", true, 1, 1}, {nullptr, false, 0, 0},
      {"abc", false, 0, 0},          {"470", false, 0, 0},    {"10 5", false, 0, 0},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(d / "temporalROI.txt");
    if (c.content) testsupport::writeFile(d / "temporalROI.txt", c.content);
    int first = -1, last = -1;
    std::string error;
    EXPECT_EQ(metrics::readTemporalRoi(d.path(), first, last, error), c.ok)
        << (c.content ? c.content : "(missing)");
    if (c.ok) {
      EXPECT_EQ(first, c.first);
      EXPECT_EQ(last, c.last);
    } else {
      EXPECT_NE(error.find(d / "temporalROI.txt"), std::string::npos) << error;
    }
  }
}

TEST(Metrics, PaletteGroundTruthKeepsItsLabels) {
  // Palette PNGs must give the label values, not a luminance of the palette colours.
  const std::string data = testsupport::sharedDataDir();
  const std::string path = data + "/highway/groundtruth/gt000800.png";
  if (data.empty() || !testsupport::fileExists(path)) GTEST_SKIP() << "no highway data";
  cv::Mat gt;
  std::string error;
  ASSERT_TRUE(metrics::readGrey(path, "ground truth", gt, error)) << error;
  ASSERT_EQ(gt.type(), CV_8UC1);
  int seen[256] = {};
  for (auto it = gt.begin<std::uint8_t>(); it != gt.end<std::uint8_t>(); ++it) ++seen[*it];
  for (int v = 0; v < 256; ++v)
    if (v != 0 && v != 50 && v != 85 && v != 170 && v != 255) {
      EXPECT_EQ(seen[v], 0) << "unexpected ground-truth value " << v;
    }
  for (int v : {255, 50, 170}) EXPECT_GT(seen[v], 0) << v;
}

TEST(Metrics, WritePngIsCompleteOrAbsent) {
  testsupport::ScratchDir d("png");
  std::string error;
  const cv::Mat img = handMask();
  ASSERT_TRUE(metrics::writePng(d / "a.png", img, error)) << error;
  cv::Mat back = cv::imread(d / "a.png", cv::IMREAD_UNCHANGED);
  ASSERT_FALSE(back.empty());
  EXPECT_EQ(cv::countNonZero(back != img), 0);
  EXPECT_EQ(testsupport::listDir(d.path()), std::vector<std::string>{"a.png"});
  const std::string bad = d / "no-such-dir/b.png";
  EXPECT_FALSE(metrics::writePng(bad, img, error));
  EXPECT_NE(error.find(bad), std::string::npos) << error;
}

// ---- The command line, built in the build tree's tools/ ----------------------

namespace {
std::string evalExe() {
  return (std::filesystem::path(testsupport::exePath()).parent_path() / "tools" / "sc-vardo-eval")
      .string();
}
}  // namespace

TEST(EvalCommand, ReportsOverTheTemporalRoi) {
  if (!testsupport::fileExists(evalExe())) GTEST_SKIP() << "sc-vardo-eval not built";
  TinySequence s;  // temporalROI.txt says 2 3
  testsupport::RunResult r = testsupport::run({evalExe(), s.masks, s.seq});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.substr(0, r.out.find("Recall")), "TP: 5\nFP: 16\nFN: 5\nTN: 16\n");
  r = testsupport::run({evalExe(), s.masks, s.seq, "--first", "1", "--last", "1", "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("{\"first\": 1, \"last\": 1, \"TP\": 3, \"FP\": 3, \"FN\": 2, \"TN\": 13,", 0),
            0u)
      << r.out;
}

TEST(EvalCommand, FailuresAndUsage) {
  if (!testsupport::fileExists(evalExe())) GTEST_SKIP() << "sc-vardo-eval not built";
  TinySequence s;
  std::filesystem::remove(metrics::maskPath(s.masks, 3));
  testsupport::RunResult r = testsupport::run({evalExe(), s.masks, s.seq});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "sc-vardo-eval: mask " + metrics::maskPath(s.masks, 3) + " not found\n");

  std::filesystem::remove(s.seq + "/temporalROI.txt");
  r = testsupport::run({evalExe(), s.masks, s.seq});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(s.seq + "/temporalROI.txt"), std::string::npos) << r.err;

  const std::string o = s.dir / "o";
  for (std::vector<std::string> args : {
           std::vector<std::string>{}, {s.masks}, {s.masks, s.seq, "--first"},
           {s.masks, s.seq, "--first", "x1"}, {s.masks, s.seq, "--first", "3", "--last", "2"},
           {s.masks, s.seq, "--every", "10"}, {s.masks, s.seq, "--overlay", o, "--every", "0"},
           {s.masks, s.seq, "--overlay", o, "--every", "2", "--frames", "1"},
           {s.masks, s.seq, "--bogus"}}) {
    args.insert(args.begin(), evalExe());
    r = testsupport::run(args);
    EXPECT_EQ(r.status, 2) << args.size();
    EXPECT_NE(r.err.find("usage: sc-vardo-eval MASKDIR SEQDIR"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST(EvalCommand, PerFrameCsvAndNothingCounted) {
  if (!testsupport::fileExists(evalExe())) GTEST_SKIP() << "sc-vardo-eval not built";
  TinySequence s;
  const std::string csv = s.dir / "frames.csv";
  testsupport::RunResult r = testsupport::run(
      {evalExe(), s.masks, s.seq, "--first", "1", "--last", "3", "--per-frame", csv});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testsupport::readFile(csv),
            "frame,TP,FP,FN,TN,Recall,Precision,F-measure\n"
            "1,3,3,2,13,0.600000,0.500000,0.545455\n"
            "2,5,16,0,0,1.000000,0.238095,0.384615\n"
            "3,0,0,5,16,0.000000,,\n");
  // An unwritable per-frame file: status 1 and no report.
  r = testsupport::run({evalExe(), s.masks, s.seq, "--per-frame", s.dir / "no/such/dir/f.csv"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("no/such/dir/f.csv"), std::string::npos) << r.err;

  // Ground truth all "unknown": the zero figures are printed, with a warning and status 3.
  writeImage(metrics::gtPath(s.seq, 4), cv::Mat(5, 6, CV_8UC1, cv::Scalar(170)));
  writeImage(metrics::maskPath(s.masks, 4), handMask());
  r = testsupport::run({evalExe(), s.masks, s.seq, "--first", "4", "--last", "4"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out.substr(0, r.out.find("Recall")), "TP: 0\nFP: 0\nFN: 0\nTN: 0\n");
  EXPECT_EQ(r.err,
            "sc-vardo-eval: warning: frames 4..4 count no pixel (ground truth all 85 or 170, or "
            "outside ROI.bmp); every ratio is undefined and printed as 0\n");
}
