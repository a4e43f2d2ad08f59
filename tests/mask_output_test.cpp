// Mask finishing and output: labels to mask bytes, the median
// path, file names, the width rule, and files that are complete or absent.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "mask/mask.h"
#include "test_support.h"

namespace fs = std::filesystem;
using testsupport::ScratchDir;

namespace {

// Runs the test body in `dir` and returns to the previous directory after.
class InDirectory {
 public:
  explicit InDirectory(const std::string& dir) : previous_(fs::current_path()) {
    fs::current_path(dir);
  }
  ~InDirectory() {
    std::error_code ec;
    fs::current_path(previous_, ec);
  }

 private:
  fs::path previous_;
};

cv::Mat readGrey(const std::string& path) { return cv::imread(path, cv::IMREAD_UNCHANGED); }

// An all-0 mask with one isolated foreground pixel at (1, 2) and a 3x3
// foreground block centred on (5, 6); 9 rows, 11 columns.
cv::Mat isolatedPixelMask() {
  cv::Mat m(9, 11, CV_8UC1, cv::Scalar(0));
  m.at<std::uint8_t>(1, 2) = 255;
  m(cv::Rect(5, 4, 3, 3)).setTo(255);
  return m;
}

}  // namespace

TEST(MaskOutput, OnlyLabel255IsForeground) {
  // 321 columns: the mask is a view into 324-byte rows, so row r starts
  // r * step bytes in, not r * W. Asymmetric pattern, 3 rows.
  const int W = 321, H = 3;
  cv::Mat backing(H, 324, CV_8UC1, cv::Scalar(77));
  cv::Mat mask = backing(cv::Rect(0, 0, W, H));
  ASSERT_GT(mask.step[0], static_cast<std::size_t>(W));
  LabelMask labels(static_cast<std::size_t>(W) * H);
  const std::uint8_t values[] = {0, 85, 170, 255, 255, 0, 170};
  for (std::size_t k = 0; k < labels.size(); ++k) labels[k] = values[(k * k + k / W) % 7];
  labelsToMask(labels, mask);
  for (int r = 0; r < H; ++r) {
    for (int c = 0; c < W; ++c) {
      const std::uint8_t l = labels[static_cast<std::size_t>(r) * W + c];
      ASSERT_EQ(mask.at<std::uint8_t>(r, c), l == 255 ? 255 : 0)
          << "pixel (" << r << ", " << c << ") label " << int(l);
    }
    for (int c = W; c < 324; ++c)
      ASSERT_EQ(backing.at<std::uint8_t>(r, c), 77) << "wrote past the row at column " << c;
  }
}

TEST(MaskOutput, FileNames) {
  EXPECT_EQ(maskFileName(12), "bin000012.png");
  EXPECT_EQ(maskFileName(1000), "bin001000.png");
  EXPECT_EQ(maskFileName(0), "bin000000.png");
  EXPECT_EQ(maskFileName(999999), "bin999999.png");
  EXPECT_EQ(maskFileName(1234567), "bin1234567.png");
}

TEST(MaskOutput, UnfilteredSaveIsTheMaskExactly) {
  ScratchDir dir("mask-plain");
  InDirectory in(dir.path());
  const cv::Mat mask = isolatedPixelMask();
  for (int width : {0, 1}) {
    SCOPED_TRACE("medianWidth " + std::to_string(width));
    ASSERT_TRUE(saveMask(mask, 12, width));
    const cv::Mat saved = readGrey(dir / "bin000012.png");
    ASSERT_EQ(saved.type(), CV_8UC1);
    ASSERT_EQ(saved.size(), mask.size());
    EXPECT_EQ(cv::countNonZero(saved != mask), 0);
  }
  // Byte for byte what the image library's own PNG writer gives.
  const std::string bytes = testsupport::readFile(dir / "bin000012.png");
  ASSERT_TRUE(cv::imwrite(dir / "reference.png", mask));
  EXPECT_EQ(bytes, testsupport::readFile(dir / "reference.png"));
  EXPECT_EQ(testsupport::listDir(dir.path()),
            (std::vector<std::string>{"bin000012.png", "reference.png"}))
      << "a temporary file was left behind";
}

TEST(MaskOutput, MedianFiltersTheFileNotTheMask) {
  ScratchDir dir("mask-median");
  InDirectory in(dir.path());
  const cv::Mat mask = isolatedPixelMask();
  const cv::Mat before = mask.clone();
  ASSERT_TRUE(saveMask(mask, 1000, 3));
  const cv::Mat saved = readGrey(dir / "bin001000.png");
  ASSERT_EQ(saved.size(), mask.size());
  EXPECT_EQ(saved.at<std::uint8_t>(1, 2), 0) << "isolated pixel survived the median";
  EXPECT_EQ(saved.at<std::uint8_t>(5, 6), 255) << "centre of the 3x3 block lost";
  EXPECT_EQ(saved.at<std::uint8_t>(4, 5), 0) << "block corner has 4 of 9 foreground";
  EXPECT_EQ(saved.at<std::uint8_t>(4, 6), 255) << "block edge has 6 of 9 foreground";
  EXPECT_EQ(cv::countNonZero(mask != before), 0) << "the MaskImage itself was filtered";
}

TEST(MaskOutput, MedianWidthRule) {
  struct Case {
    int width;
    bool usable;
  };
  const Case cases[] = {{0, true},    {1, true},   {3, true},    {5, true},  {7, true},
                        {255, true},  {-1, false}, {-3, false},  {2, false}, {4, false},
                        {256, false}, {257, false}, {295, false}, {1001, false}};
  for (const Case& t : cases)
    EXPECT_EQ(medianWidthUsable(t.width, 320, 240), t.usable) << "width " << t.width;
  // The rule does not depend on the frame size.
  EXPECT_TRUE(medianWidthUsable(255, 1, 1));
  EXPECT_FALSE(medianWidthUsable(4, 1, 1));
}

// Every width the rule accepts runs through cv::medianBlur on tiny, odd and
// wide frames, and saveMask refuses the others with a message.
TEST(MaskOutput, UsableWidthsNeverThrow) {
  struct Size {
    int H, W;
  };
  for (Size s : {Size{1, 1}, Size{2, 3}, Size{7, 321}, Size{5, 4}}) {
    cv::Mat m(s.H, s.W, CV_8UC1);
    for (int r = 0; r < s.H; ++r)
      for (int c = 0; c < s.W; ++c) m.at<std::uint8_t>(r, c) = ((r * 7 + c * 3) % 5) < 2 ? 255 : 0;
    for (int w = 3; w <= 257; w += 2) {
      if (!medianWidthUsable(w, s.W, s.H)) continue;
      cv::Mat out;
      EXPECT_NO_THROW(cv::medianBlur(m, out, w)) << "width " << w << " on " << s.H << "x" << s.W;
    }
  }
  ScratchDir dir("mask-badwidth");
  InDirectory in(dir.path());
  testing::internal::CaptureStderr();
  EXPECT_FALSE(saveMask(isolatedPixelMask(), 5, 4));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("bin000005.png"), std::string::npos) << err;
  EXPECT_TRUE(testsupport::listDir(dir.path()).empty());
}

TEST(MaskOutput, UnwritableDirectoryReportsAndLeavesNoFile) {
  ScratchDir dir("mask-gone");
  const std::string gone = dir / "gone";
  fs::create_directory(gone);
  InDirectory in(gone);
  fs::remove(gone);  // the working directory no longer exists: nothing can be created
  testing::internal::CaptureStderr();
  const bool ok = saveMask(isolatedPixelMask(), 12, 0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(ok);
  EXPECT_EQ(err.rfind("Cannot write mask file bin000012.png: ", 0), 0u) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_FALSE(fs::exists(dir / "bin000012.png"));
}

TEST(MaskOutput, FailedRenameLeavesNoTemporaryFile) {
  ScratchDir dir("mask-rename");
  InDirectory in(dir.path());
  fs::create_directory(dir / "bin000012.png");  // the name is taken by a directory
  testing::internal::CaptureStderr();
  EXPECT_FALSE(saveMask(isolatedPixelMask(), 12, 3));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("Cannot write mask file bin000012.png: ", 0), 0u) << err;
  EXPECT_EQ(testsupport::listDir(dir.path()), std::vector<std::string>{"bin000012.png"});
  EXPECT_TRUE(fs::is_directory(dir / "bin000012.png"));
}

// A write that fails half way (file size limit) leaves neither the target nor
// a temporary file, and an older complete file of that name is kept.
TEST(MaskOutput, FailedWriteKeepsOldFileAndLeavesNoPartial) {
  ScratchDir dir("mask-full");
  InDirectory in(dir.path());
  testsupport::writeFile(dir / "bin000012.png", "old");
  // Noise does not compress: the PNG is far above the limit set below.
  cv::Mat noisy(200, 200, CV_8UC1);
  cv::randu(noisy, 0, 2);
  noisy *= 255;
  const std::string errPath = dir / "stderr.txt";
  EXPECT_FALSE(testsupport::succeedsWithFileSizeLimit(1000, errPath,
                                                      [&] { return saveMask(noisy, 12, 0); }))
      << "saveMask reported success";
  const std::string err = testsupport::readFile(errPath);
  EXPECT_EQ(err.rfind("Cannot write mask file bin000012.png: ", 0), 0u) << err;
  EXPECT_EQ(testsupport::readFile(dir / "bin000012.png"), "old");
  EXPECT_EQ(testsupport::listDir(dir.path()),
            (std::vector<std::string>{"bin000012.png", "stderr.txt"}));
}
