// The embedded sample-sequence generator (tools/make_sample.cpp): layout,
// value sets, the scene's promises (clear first frames, darker shadows,
// saturated objects), determinism, and its errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "test_support.h"

using testsupport::RunResult;
using testsupport::ScratchDir;

namespace {

std::string numbered(const std::string& dir, const char* format, int f) {
  char name[64];
  std::snprintf(name, sizeof name, format, f);
  return dir + "/" + name;
}

std::vector<std::string> expectedNames(const char* format, int frames) {
  std::vector<std::string> names;
  for (int f = 1; f <= frames; ++f) {
    char name[64];
    std::snprintf(name, sizeof name, format, f);
    names.push_back(name);
  }
  return names;
}

}  // namespace

TEST(MakeSample, DefaultLayout) {
  const std::string& seq = testsupport::sampleSequenceDir();
  EXPECT_EQ(testsupport::listDir(seq),
            (std::vector<std::string>{"ROI.bmp", "groundtruth", "input", "temporalROI.txt"}));
  EXPECT_EQ(testsupport::listDir(seq + "/input"), expectedNames("in%06d.jpg", 150));
  EXPECT_EQ(testsupport::listDir(seq + "/groundtruth"), expectedNames("gt%06d.png", 150));
  EXPECT_EQ(testsupport::readFile(seq + "/temporalROI.txt"), "51 150\n");

  // ROI: an 8-bit BMP, 255 inside and 0 outside, neither all in nor all out.
  const std::string roiBytes = testsupport::readFile(seq + "/ROI.bmp");
  ASSERT_GE(roiBytes.size(), 30u);
  EXPECT_EQ(roiBytes.substr(0, 2), "BM");
  EXPECT_EQ(static_cast<unsigned char>(roiBytes[28]), 8u) << "bits per pixel";
  const cv::Mat roi = cv::imread(seq + "/ROI.bmp", cv::IMREAD_GRAYSCALE);
  ASSERT_EQ(roi.size(), cv::Size(160, 120));
  const int inside = cv::countNonZero(roi == 255);
  const int outside = cv::countNonZero(roi == 0);
  EXPECT_EQ(inside + outside, 160 * 120) << "ROI values other than 0 and 255";
  EXPECT_GT(inside, 0);
  EXPECT_GT(outside, 0);
  EXPECT_GT(inside, outside);
}

TEST(MakeSample, FramesAndGroundTruthValues) {
  const std::string& seq = testsupport::sampleSequenceDir();
  int objectFrames = 0, shadowFrames = 0;
  for (int f = 1; f <= 150; ++f) {
    SCOPED_TRACE("frame " + std::to_string(f));
    const cv::Mat frame = cv::imread(numbered(seq + "/input", "in%06d.jpg", f), cv::IMREAD_COLOR);
    ASSERT_EQ(frame.size(), cv::Size(160, 120));
    const cv::Mat gt =
        cv::imread(numbered(seq + "/groundtruth", "gt%06d.png", f), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(gt.type(), CV_8UC1);
    ASSERT_EQ(gt.size(), cv::Size(160, 120));
    const int object = cv::countNonZero(gt == 255);
    const int shadow = cv::countNonZero(gt == 50);
    const int still = cv::countNonZero(gt == 0);
    ASSERT_EQ(object + shadow + still, 160 * 120) << "ground truth values outside {0, 50, 255}";
    if (f <= 5) {
      EXPECT_EQ(object + shadow, 0) << "an object is in view in the first frames";
    }
    objectFrames += object > 0;
    shadowFrames += shadow > 0;
  }
  EXPECT_GT(objectFrames, 100);
  EXPECT_GT(shadowFrames, 100);
}

// Shadows keep the background's colour at a lower value; objects are
// saturated and move.
TEST(MakeSample, ShadowsAreDarkerBackgroundAndObjectsMove) {
  const std::string& seq = testsupport::sampleSequenceDir();
  const cv::Mat empty = cv::imread(numbered(seq + "/input", "in%06d.jpg", 1));
  int checkedFrames = 0;
  cv::Mat previousGt;
  int moved = 0;
  for (int f = 30; f <= 90; f += 10) {
    SCOPED_TRACE("frame " + std::to_string(f));
    const cv::Mat frame = cv::imread(numbered(seq + "/input", "in%06d.jpg", f));
    const cv::Mat gt = cv::imread(numbered(seq + "/groundtruth", "gt%06d.png", f), cv::IMREAD_UNCHANGED);
    double ratio[3] = {0, 0, 0};
    double spread = 0;
    int shadows = 0, objects = 0;
    for (int y = 0; y < gt.rows; ++y)
      for (int x = 0; x < gt.cols; ++x) {
        const cv::Vec3b p = frame.at<cv::Vec3b>(y, x), b = empty.at<cv::Vec3b>(y, x);
        if (gt.at<std::uint8_t>(y, x) == 50) {
          for (int ch = 0; ch < 3; ++ch) ratio[ch] += double(p[ch]) / std::max<int>(1, b[ch]);
          ++shadows;
        } else if (gt.at<std::uint8_t>(y, x) == 255) {
          spread += std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]});
          ++objects;
        }
      }
    if (shadows == 0 || objects == 0) continue;
    ++checkedFrames;
    for (int ch = 0; ch < 3; ++ch) {
      const double mean = ratio[ch] / shadows;
      EXPECT_GT(mean, 0.6) << "channel " << ch;
      EXPECT_LT(mean, 0.85) << "channel " << ch;
    }
    EXPECT_GT(spread / objects, 120) << "objects are not saturated";
    if (!previousGt.empty()) moved += cv::countNonZero(gt != previousGt) > 0;
    previousGt = gt;
  }
  EXPECT_GE(checkedFrames, 4);
  EXPECT_GE(moved, 3);
}

TEST(MakeSample, TwoRunsGiveIdenticalFiles) {
  ScratchDir a("sample-a"), b("sample-b");
  const std::vector<std::string> opts{"--frames", "12", "--size", "48x36"};
  std::vector<std::string> argvA{testsupport::makeSamplePath(), a / "seq"};
  std::vector<std::string> argvB{testsupport::makeSamplePath(), b / "seq"};
  argvA.insert(argvA.end(), opts.begin(), opts.end());
  argvB.insert(argvB.end(), opts.begin(), opts.end());
  const RunResult ra = testsupport::run(argvA);
  const RunResult rb = testsupport::run(argvB);
  ASSERT_EQ(ra.status, 0) << ra.err;
  ASSERT_EQ(rb.status, 0) << rb.err;
  EXPECT_NE(ra.out.find(a / "seq"), std::string::npos) << ra.out;
  EXPECT_EQ(std::count(ra.out.begin(), ra.out.end(), '\n'), 1) << ra.out;
  EXPECT_TRUE(ra.err.empty()) << ra.err;

  const std::string da = a / "seq", db = b / "seq";
  std::vector<std::string> files{"ROI.bmp", "temporalROI.txt"};
  for (const std::string& n : expectedNames("in%06d.jpg", 12)) files.push_back("input/" + n);
  for (const std::string& n : expectedNames("gt%06d.png", 12)) files.push_back("groundtruth/" + n);
  EXPECT_EQ(testsupport::listDir(da + "/input"), expectedNames("in%06d.jpg", 12));
  EXPECT_EQ(testsupport::listDir(da + "/groundtruth"), expectedNames("gt%06d.png", 12));
  for (const std::string& f : files) {
    const std::string fa = testsupport::readFile(da + "/" + f);
    EXPECT_FALSE(fa.empty()) << f;
    EXPECT_EQ(fa, testsupport::readFile(db + "/" + f)) << f << " differs between runs";
  }
  EXPECT_EQ(testsupport::readFile(da + "/temporalROI.txt"), "5 12\n");
  EXPECT_EQ(cv::imread(da + "/input/in000007.jpg").size(), cv::Size(48, 36));
  EXPECT_EQ(cv::imread(da + "/ROI.bmp", cv::IMREAD_GRAYSCALE).size(), cv::Size(48, 36));
  // Frames differ from one another (noise and motion), so the sequence is not static.
  EXPECT_NE(testsupport::readFile(da + "/input/in000001.jpg"),
            testsupport::readFile(da + "/input/in000002.jpg"));
}

TEST(MakeSample, UnwritableOutputDirectory) {
  ScratchDir dir("sample-bad");
  testsupport::writeFile(dir / "plain-file", "x");
  const std::string target = dir / "plain-file/seq";  // below a regular file
  const RunResult r = testsupport::run({testsupport::makeSamplePath(), target});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.empty()) << r.out;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_NE(r.err.find(target), std::string::npos) << r.err;
}

TEST(MakeSample, BadUsage) {
  ScratchDir dir("sample-usage");
  const std::vector<std::vector<std::string>> cases{
      {},
      {dir / "s", "--frames", "0"},
      {dir / "s", "--frames"},
      {dir / "s", "--size", "10x10"},
      {dir / "s", "--size", "160"},
      {dir / "s", "--colour", "red"},
      {dir / "s", dir / "t"},
  };
  for (const auto& args : cases) {
    std::vector<std::string> argv{testsupport::makeSamplePath()};
    argv.insert(argv.end(), args.begin(), args.end());
    const RunResult r = testsupport::run(argv);
    std::string shown;
    for (const auto& a : args) shown += " " + a;
    EXPECT_EQ(r.status, 2) << shown;
    EXPECT_NE(r.err.find("Usage: make-sample"), std::string::npos) << shown << ": " << r.err;
  }
  EXPECT_TRUE(testsupport::listDir(dir.path()).empty()) << "a usage error wrote files";
}
