// Core: the ROI from an image, the memory check and the atomic writer.
#include "test_support.h"

#include "core/memory.h"
#include "core/output_file.h"
#include "core/workers.h"

TEST(Core, RoiFromImage) {
  // 37 rows of 0 above a nonzero pixel, in a view whose rows are 7 of 10 bytes.
  cv::Mat backing(40, 10, CV_8UC1, cv::Scalar(0));
  backing.at<std::uint8_t>(37, 5) = 3;
  backing.col(8) = cv::Scalar(255);  // outside the view
  const RoiMask roi = RoiMask::fromImage(backing.colRange(0, 7));
  EXPECT_EQ(std::vector<int>({roi.W, roi.H, roi.firstRoiRow}), std::vector<int>({7, 40, 37}));
  std::vector<std::uint8_t> want(7 * 40, 0);
  want[37 * 7 + 5] = 3;
  EXPECT_EQ(roi.bytes, want);
  EXPECT_EQ(RoiMask::fromImage(cv::Mat(3, 3, CV_8UC1, cv::Scalar(0))).firstRoiRow, 0);
}

TEST(Core, MemoryShortfall) {
  EXPECT_EQ(memoryShortfall(320, 240, 3, 2), "");
  EXPECT_EQ(memoryShortfall(1, 1, 9, 2), "");
  const std::string huge = memoryShortfall(60000, 60000, 9, 2);
  EXPECT_EQ(huge.rfind("Not enough memory: 60000x60000 frames with n=9 need ", 0), 0u) << huge;
  EXPECT_NE(memoryShortfall(2147483647, 2147483647, 9, 2), "");  // W*H*n*n overflows 64 bits
}

// A link planted under the final name is replaced, never followed; nothing
// else is left in the folder.
TEST(Core, AtomicWriteReplacesALinkWithoutFollowingIt) {
  ScratchDir dir;
  writeFile(dir / "victim", "keep");
  std::filesystem::create_symlink(dir / "victim", dir / "out.png");
  ASSERT_TRUE(writeFileAtomic(dir / "out.png", "new", 3));
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "out.png"));
  EXPECT_EQ(readFile(dir / "out.png"), "new");
  EXPECT_EQ(readFile(dir / "victim"), "keep");
  EXPECT_EQ(listDir(dir.path()), std::vector<std::string>({"out.png", "victim"}));
  EXPECT_EQ(writeFileAtomic(dir / "no/out.png", "x", 1).status, WriteOutcome::CannotCreate);
}

TEST(Core, DefaultThreadsFollowAffinityAndCpuQuota) {
  const struct {
    int affinity;
    const char* cpuMax;
    int threads;
  } cases[] = {
      {4, "", 4},               {4, "max 100000", 4},     {4, "200000 100000", 2},
      {4, "150000 100000", 2},  {4, "50000 100000", 1},   {2, "800000 100000", 2},
      {0, "", 1},               {3, "garbage", 3},        {8, "100000 0", 8},
  };
  for (const auto& c : cases) EXPECT_EQ(threadsFor(c.affinity, c.cpuMax), c.threads) << c.cpuMax;
  EXPECT_GE(defaultThreads(), 1);
}
