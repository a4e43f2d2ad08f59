// Core: the ROI from an image, the memory check, the atomic writer and the
// parameter table.
#include "test_support.h"

#include "core/memory.h"
#include "core/output_file.h"
#include "core/params.h"

#include <set>

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

// The parameter table: a row for every field of Params, names and switches
// unique, every default in range, and each range's edges as documented.
TEST(Core, ParameterTable) {
  const scvardo::ParamTable table = scvardo::paramTable();
  std::set<std::string> names, switches, cvNames;
  for (const scvardo::ParamSpec& row : table) {
    names.insert(row.name);
    switches.insert(row.cliSwitch);
    cvNames.insert(row.cvName);
    const bool isInt = row.whole();
    EXPECT_TRUE(isInt == (row.intField != nullptr) && isInt == (row.realField == nullptr)) << row.name;
    EXPECT_TRUE(row.inRange(scvardo::Params())) << row.name;
    EXPECT_EQ(scvardo::findParam(row.name), &row);
    EXPECT_TRUE(row.onlyWith == nullptr || scvardo::findParam(row.onlyWith) != nullptr) << row.name;
  }
  EXPECT_EQ(names.size() + switches.size() + cvNames.size(), 3 * table.size);
  EXPECT_EQ(table.size * 4, sizeof(scvardo::Params)) << "a field of Params without its row";
  const std::tuple<const char*, double, bool> edges[] = {
      {"e1", 0, false},      {"e2", 1e-9, true},     {"e2", NAN, false},     {"e2", INFINITY, false},
      {"c1", 1, true},       {"c1", 1.0001, false},  {"c2", 0, false},       {"gamma", 1, true},
      {"gamma", 1.01, false}, {"gamma", 0, false},   {"beta", 0.69, false},  {"tau_S", 0, true},
      {"tau_S", -0.01, false}, {"tau_H", 180, true}, {"tau_H", 180.5, false}, {"tau_H", 0, true},
      {"n", 9, true},        {"n", 11, false},       {"n", 1, false},        {"K", 0, true},
      {"K", -1, false},      {"medianWidth", 1, true}, {"medianWidth", 255, true}, {"medianWidth", 257, false},
      {"medianWidth", 4, false}, {"threads", 256, true}, {"threads", 257, false}, {"Cw", -7, true},
      {"shadowRemoval", -1, true}, {"adaptive", 1, true},   {"adaptive", 2, false},  {"absorbSpan", 0, false},
      {"absorbSpan", 1000000, true}, {"absorbSpan", 1000001, false}, {"thresholdLow", 0, false},
      {"thresholdLow", 0.06, true}, {"thresholdLow", 0.07, false}, {"thresholdHigh", 0.003, false},
      {"distanceGain", 0, true}, {"distanceGain", -0.1, false}, {"flickerTrain", 1, true},
      {"flickerTrain", 1.01, false}, {"flickerTrain", NAN, false}};
  for (const auto& [name, value, ok] : edges) {
    scvardo::Params p;
    scvardo::findParam(name)->set(p, value);
    EXPECT_EQ(paramsProblem(p).empty(), ok) << name << " " << value << ": " << paramsProblem(p);
  }
  scvardo::Params p;
  p.tau_H = -3;
  EXPECT_EQ(paramsProblem(p), "invalid tau_H -3.0: it must be in [0, 180]");
  p.tau_H = NAN;
  EXPECT_EQ(paramsProblem(p), "invalid tau_H: not a finite number");
}
