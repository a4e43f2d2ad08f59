// Spatial coherence against a transcription of the class tables; mask bytes,
// the median, file names, and files that are complete or absent.
#include "test_support.h"

#include <array>

#include "cli/outputs.h"
#include "mask/mask.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint8_t kUntouched = 7;  // never a label: shows bytes not written

// The window and threshold of pixel (r, c), transcribed from the class tables:
// rows r0..r1, columns c0..c1, inclusive.
using Window = std::array<int, 5>;  // r0, r1, c0, c1, threshold
bool in(int i, int lo, int hi) { return i >= lo && i <= hi; }

Window table3x3(int r, int c, int H, int W) {
  if (in(r, 1, H - 2) && in(c, 1, W - 2)) return {r - 1, r + 1, c - 1, c + 1, 4};
  if (r == 0 && in(c, 1, W - 2)) return {0, 1, c - 1, c + 1, 2};
  if (r == H - 1 && in(c, 1, W - 2)) return {H - 2, H - 1, c - 1, c + 1, 2};
  if (c == 0 && in(r, 1, H - 2)) return {r - 1, r + 1, 0, 1, 2};
  if (c == W - 1 && in(r, 1, H - 2)) return {r - 1, r + 1, W - 2, W - 1, 2};
  const int r0 = r == 0 ? 0 : H - 2, c0 = c == 0 ? 0 : W - 2;  // corners
  return {r0, r0 + 1, c0, c0 + 1, 1};
}

// The twelve pixels beside the corners, which the 5x5 table leaves open,
// take the 3x3 rule of their position.
Window table5x5(int r, int c, int H, int W) {
  const bool midR = in(r, 2, H - 3), midC = in(c, 2, W - 3);
  if (midR && midC) return {r - 2, r + 2, c - 2, c + 2, 12};
  if (r == 0 && midC) return {0, 2, c - 2, c + 2, 6};
  if (r == 1 && midC) return {0, 3, c - 2, c + 2, 9};
  if (r == H - 2 && midC) return {H - 4, H - 1, c - 2, c + 2, 9};
  if (r == H - 1 && midC) return {H - 3, H - 1, c - 2, c + 2, 6};
  if (c == 0 && midR) return {r - 2, r + 2, 0, 2, 6};
  if (c == 1 && midR) return {r - 2, r + 2, 0, 3, 9};
  if (c == W - 2 && midR) return {r - 2, r + 2, W - 4, W - 1, 9};
  if (c == W - 1 && midR) return {r - 2, r + 2, W - 3, W - 1, 6};
  return table3x3(r, c, H, W);
}

std::uint8_t expectedLabel(bool five, int r, int c, int H, int W, const LabelMask& labels) {
  const auto [r0, r1, c0, c1, threshold] = five ? table5x5(r, c, H, W) : table3x3(r, c, H, W);
  int count = 0;
  for (int rr = r0; rr <= r1; ++rr)
    for (int cc = c0; cc <= c1; ++cc) count += labels[rr * W + cc] < 170;
  const std::uint8_t label = labels[r * W + c];
  return label == 85 ? 85 : count <= threshold ? 255 : label == 255 ? 170 : label;
}

// Random labels and ROI holes on frames down to the smallest each variant
// takes: every ROI pixel gets the table's label, no other byte is written,
// and Cw selects 5x5 only for 5.
TEST(Coherence, WholeFramesFollowTheTables) {
  const std::uint8_t labels[] = {0, 85, 170};
  std::mt19937 rng(12345);
  for (int Cw : {3, 5, 7})
    for (auto [H, W] : {std::pair{2, 2}, {2, 3}, {3, 2}, {2, 5}, {4, 4}, {5, 4}, {4, 5}, {5, 7}, {7, 5}, {9, 9}, {7, 321}, {24, 32}}) {
      if (H < minFrameSide(Cw) || W < minFrameSide(Cw)) continue;
      for (unsigned density = 1; density <= 3; ++density) {
        PassSetup ps(W, H, 3);
        ps.params.Cw = Cw;
        LabelMask input(W * H), out(W * H, kUntouched);
        for (int k = 0; k < W * H; ++k) {
          input[k] = rng() % 4 < density ? 255 : labels[rng() % 3];
          ps.roi.bytes[k] = rng() % 5 == 0 ? 0 : 255;
        }
        coherenceFilter(ps.ctx(), input, out);
        for (int k = 0; k < W * H; ++k) {
          const std::uint8_t want = ps.roi.inside(k) ? expectedLabel(Cw == 5, k / W, k % W, H, W, input) : kUntouched;
          ASSERT_EQ(out[k], want) << "Cw " << Cw << " frame " << H << "x" << W << " pixel (" << k / W << ", " << k % W << ")";
        }
      }
    }
  EXPECT_EQ(std::vector<int>({minFrameSide(5), minFrameSide(3), minFrameSide(7), minFrameSide(0)}),
            std::vector<int>({4, 2, 2, 2}));
}

TEST(Coherence, WordedExamples) {
  // Name, 5x5, the label around the centre, the centre's, its result, cells set to 85.
  const std::tuple<const char*, bool, int, int, int, std::vector<int>> cases[] = {
      {"3x3: 255 alone among 0", false, 0, 255, 170, {}},
      {"3x3: 0 among 255", false, 255, 0, 255, {}},
      {"5x5: 255 alone among 24 zeros", true, 0, 255, 170, {}},
      {"3x3: 255 with 4 shadow neighbours stays", false, 255, 255, 255, {6, 7, 8, 11}},
      {"3x3: 255 with 5 shadow neighbours is cleared", false, 255, 255, 170, {6, 7, 8, 11, 13}},
  };
  for (const auto& [name, five, around, centre, want, shadows] : cases) {
    PassSetup s(5, 5, 3);
    LabelMask input(25, around), out(25, kUntouched);
    input[12] = centre;
    for (int k : shadows) input[k] = 85;
    (five ? coherenceFilter5x5 : coherenceFilter3x3)(s.ctx(), input, out);
    EXPECT_EQ(out[12], want) << name;
  }
}

TEST(MaskOutput, OnlyLabel255IsForegroundInEveryStridedRow) {
  // 321 columns in 324-byte rows: row r starts r * step bytes in, not r * W.
  cv::Mat backing(3, 324, CV_8UC1, cv::Scalar(77)), mask = backing.colRange(0, 321);
  LabelMask labels(321 * 3);
  const std::uint8_t values[] = {0, 85, 170, 255, 255, 0, 170};
  for (std::size_t k = 0; k < labels.size(); ++k) labels[k] = values[(k * k + k / 321) % 7];
  labelsToMask(labels, mask);
  for (int k = 0; k < 321 * 3; ++k)
    ASSERT_EQ(mask.at<std::uint8_t>(k / 321, k % 321), labels[k] == 255 ? 255 : 0) << k;
  EXPECT_EQ(cv::countNonZero(backing.colRange(321, 324) != 77), 0) << "wrote past a row";
}

TEST(MaskOutput, FileNames) {
  EXPECT_EQ(std::vector<std::string>({maskFileName(12), maskFileName(1000), maskFileName(1234567), snapshotFileName(1),
                                      snapshotFileName(1234567)}),
            std::vector<std::string>({"bin000012.png", "bin001000.png", "bin1234567.png", "Model000001.ppm", "Model1234567.ppm"}));
}

// All 0 with one isolated foreground pixel at (1, 2) and a 3x3 block centred
// on (5, 6); 9 rows, 11 columns.
cv::Mat isolatedPixelMask() {
  cv::Mat m(9, 11, CV_8UC1, cv::Scalar(0));
  m.at<std::uint8_t>(1, 2) = 255;
  m(cv::Rect(5, 4, 3, 3)) = cv::Scalar(255);
  return m;
}

// Whether saveMask failed with one line on stderr that names the file.
bool failsNaming(const std::string& name, int frame, const cv::Mat& mask = isolatedPixelMask()) {
  testing::internal::CaptureStderr();
  const bool saved = saveMask(mask, frame);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  return !saved && err.rfind("Cannot write mask file " + name + ": ", 0) == 0;
}

TEST(MaskOutput, SavedFileIsTheMaskOrItsMedian) {
  ScratchDir dir;
  InDirectory here(dir.path());
  const cv::Mat mask = isolatedPixelMask(), before = mask.clone();
  cv::Mat finished;
  for (int width : {0, 1}) {
    finishMask(mask, width, finished);
    ASSERT_TRUE(saveMask(finished, 12));
    const cv::Mat saved = cv::imread("bin000012.png", cv::IMREAD_UNCHANGED);
    EXPECT_TRUE(saved.type() == CV_8UC1 && cv::countNonZero(saved != mask) == 0) << "width " << width;
  }
  ASSERT_TRUE(cv::imwrite("reference.png", mask));
  EXPECT_EQ(readFile("bin000012.png"), readFile("reference.png")) << "not the library's own PNG";
  finishMask(mask, 3, finished);
  ASSERT_TRUE(saveMask(finished, 1000));
  const cv::Mat median = cv::imread("bin001000.png", cv::IMREAD_UNCHANGED);
  // Isolated pixel gone, block centre and edge (6 of 9) kept, corner (4 of 9) gone.
  EXPECT_EQ(std::vector<int>({median.at<std::uint8_t>(1, 2), median.at<std::uint8_t>(5, 6),
                              median.at<std::uint8_t>(4, 6), median.at<std::uint8_t>(4, 5)}),
            std::vector<int>({0, 255, 255, 0}));
  EXPECT_EQ(cv::countNonZero(mask != before), 0) << "the mask itself was filtered";
  EXPECT_EQ(listDir(dir.path()), std::vector<std::string>({"bin000012.png", "bin001000.png", "reference.png"}));
}

// Every width the rule accepts runs on tiny, odd and wide frames.
TEST(MaskOutput, MedianWidths) {
  for (int w : {0, 1, 3, 5, 255}) EXPECT_TRUE(medianWidthUsable(w)) << w;
  for (int w : {-1, -3, 2, 4, 256, 257, 1001}) EXPECT_FALSE(medianWidthUsable(w)) << w;
  for (auto [H, W] : {std::pair{1, 1}, {2, 3}, {7, 321}, {5, 4}}) {
    cv::Mat m(H, W, CV_8UC1), out;
    cv::randu(m, 0, 2);
    for (int w = 3; w <= 255; w += 2) ASSERT_NO_THROW(finishMask(m * 255, w, out)) << w << " on " << H << "x" << W;
  }
}

// An uncreatable file, a name taken by a folder, a write failing half way: no
// partial or temporary file, an older complete file of that name kept.
TEST(MaskOutput, FailuresLeaveNoPartialFile) {
  ScratchDir dir;
  fs::create_directory(dir / "gone");
  {
    InDirectory gone(dir / "gone");
    fs::remove(dir / "gone");
    EXPECT_TRUE(failsNaming("bin000012.png", 12));
  }
  InDirectory here(dir.path());
  fs::create_directory("bin000012.png");
  EXPECT_TRUE(failsNaming("bin000012.png", 12));
  writeFile("bin000013.png", "old");
  cv::Mat noisy(200, 200, CV_8UC1);  // noise does not compress: far above the limit
  cv::randu(noisy, 0, 2);
  EXPECT_FALSE(succeedsWithFileSizeLimit(1000, "err", [&] { return saveMask(noisy * 255, 13); }));
  EXPECT_EQ(readFile("err").rfind("Cannot write mask file bin000013.png: ", 0), 0u) << readFile("err");
  EXPECT_EQ(readFile("bin000013.png"), "old");
  EXPECT_EQ(listDir("."), std::vector<std::string>({"bin000012.png", "bin000013.png", "err"}));
}

}  // namespace
