// Whole runs of the real executable on small generated sequences: which
// masks and snapshots exist, the phase headers and timing lines, and the
// exit statuses when a frame or an output goes wrong.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "test_support.h"

using testsupport::makeTinySequence;
using testsupport::RunResult;
using testsupport::runTool;
using testsupport::ScratchDir;
using testsupport::TinySequence;

namespace {

std::vector<std::string> names(std::initializer_list<int> masks, std::initializer_list<int> models) {
  std::vector<std::string> out;
  char buf[64];
  for (int f : masks) {
    std::snprintf(buf, sizeof buf, "bin%06d.png", f);
    out.push_back(buf);
  }
  for (int f : models) {
    std::snprintf(buf, sizeof buf, "Model%06d.ppm", f);
    out.push_back(buf);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::size_t count(const std::string& text, const std::string& piece) {
  std::size_t k = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++k;
  return k;
}

class DriverTest : public testing::Test {
 protected:
  void SetUp() override {
    TinySequence tiny;
    tiny.temporalRoi = "";  // K comes from the command line unless a test adds the file
    seq_ = makeTinySequence(dir_ / "seq", tiny);
  }
  RunResult runHere(const std::vector<std::string>& extra) {
    std::vector<std::string> args{seq_, "1", "6"};
    args.insert(args.end(), extra.begin(), extra.end());
    return runTool(args, work_.path());
  }
  std::vector<std::string> written() { return testsupport::listDir(work_.path()); }

  ScratchDir dir_{"drv-seq"};
  ScratchDir work_{"drv-work"};
  std::string seq_;
};

}  // namespace

TEST_F(DriverTest, KZeroClassifiesTheFirstFrameToo) {
  RunResult r = runHere({});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(written(), names({1, 2, 3, 4, 5, 6}, {1, 6}));
  EXPECT_NE(r.out.find("\nTimes for calibration phase on 0 frames (from 1 to 0) ...\n"
                       "  VARDO-CF (no I/O): 0.0000\tmsecs\t(0.0000 msecs/frame\t0.00 fps)\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\nTimes for online phase on 6 frames (from 1 to 6) ...\n  VARDO-CF (no I/O): "),
            std::string::npos);
  EXPECT_EQ(r.err, "");
}

TEST_F(DriverTest, KOneAndKTwo) {
  RunResult r = runHere({"-K", "1"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(written(), names({2, 3, 4, 5, 6}, {1, 6}));
  EXPECT_NE(r.out.find("Times for calibration phase on 1 frames (from 1 to 1) ..."), std::string::npos);
  EXPECT_NE(r.out.find("Times for online phase on 5 frames (from 2 to 6) ..."), std::string::npos);

  ScratchDir work2("drv-work");
  r = runTool({seq_, "1", "6", "-K", "2"}, work2.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(testsupport::listDir(work2.path()), names({3, 4, 5, 6}, {2, 6}));
  EXPECT_NE(r.out.find("Times for calibration phase on 2 frames (from 1 to 2) ..."), std::string::npos);
  EXPECT_EQ(count(r.out, "  VARDO-CF (no I/O): "), 2u);
}

TEST_F(DriverTest, LastMaskOnlyAndAllSnapshots) {
  RunResult r = runHere({"-K", "2", "-l", "1"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(written(), names({6}, {2, 6}));

  ScratchDir work2("drv-work");
  r = runTool({seq_, "1", "6", "-K", "3", "-m", "1"}, work2.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  // One after initialisation, one per online frame, none for calibration frames.
  EXPECT_EQ(testsupport::listDir(work2.path()), names({4, 5, 6}, {1, 4, 5, 6}));
  const std::string model = testsupport::readFile(work2 / "Model000004.ppm");
  const std::string header = "P6\n24 18\n255\n";
  EXPECT_EQ(model.substr(0, header.size()), header);
  EXPECT_EQ(model.size(), header.size() + 24u * 18u * 3u);
}

TEST_F(DriverTest, TemporalRoiSelectsMasksAndLastFrameAlwaysHasOne) {
  testsupport::writeFile(dir_ / "seq/temporalROI.txt", "3 4\n");
  RunResult r = runHere({});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Frames for calibration: K=2\nTemporal ROI:           [3,4]\n"), std::string::npos);
  EXPECT_EQ(written(), names({3, 4, 6}, {2, 6}));
}

TEST_F(DriverTest, LastFrameBeforeTheOnlinePhase) {
  RunResult r = runTool({seq_, "1", "2", "-K", "4"}, work_.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  // Both end-of-phase snapshots carry the same name; no online frame, no mask.
  EXPECT_EQ(written(), names({}, {4}));
  EXPECT_NE(r.out.find("Times for online phase on -2 frames (from 5 to 2) ...\n"
                       "  VARDO-CF (no I/O): 0.0000\tmsecs\t(0.0000 msecs/frame\t0.00 fps)\n"),
            std::string::npos)
      << r.out;
}

TEST_F(DriverTest, MissingOrResizedFrameEndsTheRunKeepingEarlierMasks) {
  std::remove((dir_ / "seq/input/in000005.jpg").c_str());
  RunResult r = runHere({"-K", "2"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(written(), names({3, 4}, {2}));
  const std::string tail = "Unable to read expected file " + seq_ + "000005.jpg\n";
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  EXPECT_EQ(count(r.out, "  VARDO-CF (no I/O): "), 1u) << "no timing line after a failed frame";

  cv::Mat wide(6, 9, CV_8UC3, cv::Scalar(1, 2, 3));
  ASSERT_TRUE(cv::imwrite(dir_ / "seq/input/in000005.jpg", wide));
  ScratchDir work2("drv-work");
  r = runTool({seq_, "1", "6", "-K", "2"}, work2.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Frame " + seq_ + "000005.jpg is 9x6 but the sequence's frames are 8x6\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(testsupport::listDir(work2.path()), names({3, 4}, {2}));
}

TEST_F(DriverTest, UnwritableOutputsAreReportedAndTheRunGoesOn) {
  // Directories in the way of two outputs make them unwritable even for root.
  std::filesystem::create_directory(work_ / "bin000004.png");
  std::filesystem::create_directory(work_ / "Model000006.ppm");
  RunResult r = runHere({"-K", "2"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("bin000004.png"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("Errore apertura file Model000006.ppm\n"), std::string::npos) << r.out;
  for (int f : {3, 5, 6}) {
    char name[32];
    std::snprintf(name, sizeof name, "bin%06d.png", f);
    cv::Mat m = cv::imread(work_ / name, cv::IMREAD_UNCHANGED);
    EXPECT_EQ(m.type(), CV_8UC1) << name;
    EXPECT_EQ(m.cols, 8);
    EXPECT_EQ(m.rows, 6);
  }
  EXPECT_EQ(count(r.out, "  VARDO-CF (no I/O): "), 2u);
}

TEST_F(DriverTest, RunsAreReproducible) {
  RunResult a = runHere({"-K", "2", "-m", "1"});
  ScratchDir work2("drv-work");
  RunResult b = runTool({seq_, "1", "6", "-K", "2", "-m", "1"}, work2.path());
  ASSERT_EQ(a.status, 0);
  ASSERT_EQ(b.status, 0);
  for (const std::string& name : written())
    EXPECT_EQ(testsupport::readFile(work_ / name), testsupport::readFile(work2 / name)) << name;
}
