// Model snapshot: rendering of known weight vectors, the exact PPM
// bytes, and the failure paths. Expected pixels are worked out by hand from
// the colour conversions (the weight vectors are chosen away from rounding
// edges) and written as literals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "colour/colour.h"
#include "model/planes.h"
#include "test_support.h"

using testsupport::ScratchDir;

namespace {

struct Cell {
  const char* name;
  float x, y, v;
  std::uint8_t R, G, B;
};

// A 4-column, 2-row model (n = 1, frame 4 x 2), in index order.
const Cell kCells[] = {
    {"red", 1.0f, 0.0f, 1.0f, 255, 0, 0},
    {"green", -0.5f, 0.8660254f, 1.0f, 0, 255, 0},
    {"blue", -0.5f, -0.8660254f, 1.0f, 0, 0, 255},
    {"black: S is NaN", 0.0f, 0.0f, 0.0f, 0, 0, 0},
    {"grey 0.5 rounds half up", 0.0f, 0.0f, 0.5f, 128, 128, 128},
    // atan2 of a tiny negative y: the hue comes out as exactly 360.
    {"hue 360", 0.4f, -1e-8f, 1.0f, 255, 153, 153},
    {"hue 0", 0.4f, 0.0f, 1.0f, 255, 153, 153},
    {"white", 0.0f, 0.0f, 1.0f, 255, 255, 255},
};
constexpr int kRows = 2, kCols = 4, kCount = kRows * kCols;

void fillModel(FloatPlanes& model) {
  for (int k = 0; k < kCount; ++k) {
    model[0][k] = kCells[k].x;
    model[1][k] = kCells[k].y;
    model[2][k] = kCells[k].v;
  }
}

}  // namespace

TEST(Snapshot, HueOf360CaseReallyIs360) {
  // Precondition of the "hue 360" cell above.
  float H = 0, S = 0, V = 0;
  coneToHsv(ConeColor{0.4f, -1e-8f, 1.0f}, H, S, V);
  EXPECT_EQ(H, 360.0f);
}

TEST(Snapshot, RenderKnownCells) {
  FloatPlanes model(3, kCount);
  fillModel(model);
  BytePlanes image(3, kCount + 1);
  image[0][kCount] = image[1][kCount] = image[2][kCount] = 9;  // beyond `count`
  renderSnapshot(model, kCount, image);
  for (int k = 0; k < kCount; ++k) {
    SCOPED_TRACE(kCells[k].name);
    EXPECT_EQ(image[0][k], kCells[k].R);
    EXPECT_EQ(image[1][k], kCells[k].G);
    EXPECT_EQ(image[2][k], kCells[k].B);
  }
  EXPECT_EQ(image[0][kCount], 9) << "rendered past count";
}

TEST(Snapshot, PpmBytesOfKnownModel) {
  ScratchDir dir("snapshot-bytes");
  FloatPlanes model(3, kCount);
  fillModel(model);
  BytePlanes image(3, kCount);
  renderSnapshot(model, kCount, image);
  const std::string path = dir / "Model000001.ppm";
  ASSERT_EQ(writePpm(kRows, kCols, image, path), 1);
  std::string expected = "P6\n4 2\n255\n";
  for (const Cell& c : kCells) {
    expected.push_back(static_cast<char>(c.R));
    expected.push_back(static_cast<char>(c.G));
    expected.push_back(static_cast<char>(c.B));
  }
  EXPECT_EQ(testsupport::readFile(path), expected);
}

TEST(Snapshot, HeaderOfFullSizeModel) {
  // n = 3 on 320 x 240 frames: 960 columns, 720 rows, width first.
  ScratchDir dir("snapshot-size");
  const int rows = 3 * 240, cols = 3 * 320;
  BytePlanes image(3, static_cast<std::size_t>(rows) * cols);
  image[0][0] = 1;                                      // top-left red
  image[2][static_cast<std::size_t>(rows) * cols - 1] = 2;  // bottom-right blue
  const std::string path = dir / "Model000042.ppm";
  ASSERT_EQ(writePpm(rows, cols, image, path), 1);
  const std::string bytes = testsupport::readFile(path);
  const std::string header = "P6\n960 720\n255\n";
  ASSERT_EQ(header.size(), 15u);
  ASSERT_EQ(bytes.size(), 15u + 2073600u);
  EXPECT_EQ(bytes.substr(0, 15), header);
  EXPECT_EQ(bytes[15], 1);
  EXPECT_EQ(bytes[bytes.size() - 1], 2);
}

TEST(Snapshot, FileNames) {
  EXPECT_EQ(snapshotFileName(1), "Model000001.ppm");
  EXPECT_EQ(snapshotFileName(1000), "Model001000.ppm");
  EXPECT_EQ(snapshotFileName(1234567), "Model1234567.ppm");
}

TEST(Snapshot, MissingDirectoryGivesMessageAndZero) {
  ScratchDir dir("snapshot-missing");
  BytePlanes image(3, 4);
  const std::string path = dir / "no-such-dir/Model000001.ppm";
  testing::internal::CaptureStdout();
  const int result = writePpm(2, 2, image, path);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out, "Errore apertura file " + path + "\n");
  EXPECT_TRUE(testsupport::listDir(dir.path()).empty());
}

// A write failing half way (file size limit) gives 0, one line on stderr
// naming the file, and no partial file.
TEST(Snapshot, FailedWriteRemovesPartialFile) {
  ScratchDir dir("snapshot-full");
  const int rows = 90, cols = 120;
  BytePlanes image(3, static_cast<std::size_t>(rows) * cols);
  const std::string path = dir / "Model000007.ppm";
  const std::string errPath = dir / "stderr.txt";
  EXPECT_FALSE(testsupport::succeedsWithFileSizeLimit(
      4096, errPath, [&] { return writePpm(rows, cols, image, path) != 0; }))
      << "writePpm reported success";
  const std::string err = testsupport::readFile(errPath);
  EXPECT_EQ(err.rfind("Cannot write snapshot file " + path + ": ", 0), 0u) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_FALSE(testsupport::fileExists(path)) << "partial file left";
}
