// The overlay pictures: tints on the right pixels, the mask beside the frame,
// and the files written for a tiny sequence.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "metrics.h"
#include "overlay.h"
#include "test_support.h"

namespace {

// 5 wide, 4 high, every pixel a different grey-ish colour so that a shifted
// or transposed write lands on a pixel with other values.
cv::Mat tinyFrame() {
  cv::Mat f(4, 5, CV_8UC3);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 5; ++c)
      f.at<cv::Vec3b>(r, c) = cv::Vec3b(static_cast<std::uint8_t>(100 + 10 * r + c),
                                        static_cast<std::uint8_t>(110 + 10 * r + c),
                                        static_cast<std::uint8_t>(120 + 10 * r + c));
  return f;
}

cv::Mat tiny(std::initializer_list<int> values) {
  cv::Mat m(4, 5, CV_8UC1);
  auto it = values.begin();
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 5; ++c) m.at<std::uint8_t>(r, c) = static_cast<std::uint8_t>(*it++);
  return m;
}

// TP at (0,1); FP at (2,3) (gt 0) and (3,0) (gt 50); FN at (1,4).
// Not tinted: mask 255 on gt 170 (1,1) and 85 (3,4), gt 255 outside the ROI
// (0,4), TN everywhere else.
cv::Mat tinyMask() {
  return tiny({0, 255, 0, 0, 255,  //
               0, 255, 0, 0, 0,    //
               0, 0,   0, 255, 0,  //
               255, 0, 0, 0, 255});
}
cv::Mat tinyGt() {
  return tiny({0, 255, 0, 0, 255,  //
               0, 170, 0, 0, 255,  //
               0, 0,   0, 0, 0,    //
               50, 0,  0, 0, 85});
}
cv::Mat tinyRoi() {
  cv::Mat roi(4, 5, CV_8UC1, cv::Scalar(255));
  roi.at<std::uint8_t>(0, 4) = 0;
  return roi;
}

enum class Tint { None, Green, Red, Blue };

// Which channel the blend pulled up, judged against the frame's own pixel.
Tint tintOf(const cv::Vec3b& out, const cv::Vec3b& in) {
  if (out == in) return Tint::None;
  const int db = out[0] - in[0], dg = out[1] - in[1], dr = out[2] - in[2];
  if (dg > 0 && db < 0 && dr < 0) return Tint::Green;
  if (dr > 0 && db < 0 && dg < 0) return Tint::Red;
  if (db > 0 && dg < 0 && dr < 0) return Tint::Blue;
  return Tint::None;  // changed, but not as any tint: reported by the caller
}

}  // namespace

TEST(Overlay, TintsLandOnTheirPixels) {
  const cv::Mat frame = tinyFrame();
  const cv::Mat out = overlay::makeOverlay(frame, tinyMask(), tinyGt(), tinyRoi());
  ASSERT_EQ(out.type(), CV_8UC3);
  ASSERT_EQ(out.cols, 10);
  ASSERT_EQ(out.rows, 4);
  Tint want[4][5] = {};
  want[0][1] = Tint::Green;
  want[2][3] = Tint::Red;
  want[3][0] = Tint::Red;
  want[1][4] = Tint::Blue;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 5; ++c) {
      const cv::Vec3b o = out.at<cv::Vec3b>(r, c), i = frame.at<cv::Vec3b>(r, c);
      if (want[r][c] == Tint::None)
        EXPECT_EQ(o, i) << "pixel (" << r << ", " << c << ") changed";
      else
        EXPECT_EQ(tintOf(o, i), want[r][c]) << "pixel (" << r << ", " << c << ")";
    }
}

TEST(Overlay, MaskStandsBesideTheFrame) {
  cv::Mat mask = tinyMask();
  mask.at<std::uint8_t>(2, 2) = 254;  // not foreground: shown black
  const cv::Mat out = overlay::makeOverlay(tinyFrame(), mask, tinyGt(), tinyRoi());
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 5; ++c) {
      const std::uint8_t v = mask.at<std::uint8_t>(r, c) == 255 ? 255 : 0;
      EXPECT_EQ(out.at<cv::Vec3b>(r, 5 + c), cv::Vec3b(v, v, v)) << "(" << r << ", " << c << ")";
    }
}

TEST(Overlay, SheetPicksASpreadIncludingTheFirst) {
  const std::vector<int> all = overlay::everyNth(470, 1700, 100);
  ASSERT_EQ(all.size(), 13u);
  EXPECT_EQ(all.front(), 470);
  EXPECT_EQ(all.back(), 1670);
  const std::vector<int> picked = overlay::pickForSheet(all, 8);
  ASSERT_EQ(picked.size(), 8u);
  EXPECT_EQ(picked.front(), 470);
  for (std::size_t i = 1; i < picked.size(); ++i) EXPECT_LT(picked[i - 1], picked[i]);
  EXPECT_EQ(overlay::pickForSheet({5, 9}, 8), (std::vector<int>{5, 9}));
}

TEST(Overlay, WritesOverlaysAndContactSheet) {
  testsupport::ScratchDir d("overlay");
  const std::string seq = d / "seq", masks = d / "masks", out = d / "out/pictures";
  std::filesystem::create_directories(seq + "/groundtruth");
  std::filesystem::create_directories(seq + "/input");
  std::filesystem::create_directories(masks);
  ASSERT_TRUE(cv::imwrite(seq + "/ROI.bmp", tinyRoi()));
  for (int f = 1; f <= 3; ++f) {
    ASSERT_TRUE(cv::imwrite(metrics::gtPath(seq, f), tinyGt()));
    ASSERT_TRUE(cv::imwrite(metrics::maskPath(masks, f), tinyMask()));
    ASSERT_TRUE(cv::imwrite(metrics::inputPath(seq, f), tinyFrame()));
  }
  std::string error;
  ASSERT_TRUE(overlay::writeOverlays(masks, seq, {1, 3}, out, error)) << error;
  EXPECT_EQ(testsupport::listDir(out),
            (std::vector<std::string>{"contact-sheet.png", "overlay000001.png", "overlay000003.png"}));
  cv::Mat pic = cv::imread(overlay::overlayPath(out, 3), cv::IMREAD_UNCHANGED);
  ASSERT_FALSE(pic.empty());
  EXPECT_EQ(pic.cols, 10);
  EXPECT_EQ(pic.rows, 4);
  EXPECT_FALSE(cv::imread(overlay::contactSheetPath(out), cv::IMREAD_UNCHANGED).empty());

  std::filesystem::remove(metrics::inputPath(seq, 2));
  EXPECT_FALSE(overlay::writeOverlays(masks, seq, {2}, out, error));
  EXPECT_NE(error.find(metrics::inputPath(seq, 2)), std::string::npos) << error;
}
