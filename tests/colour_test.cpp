// Colour conversion and the model snapshot. Expected values are literals worked
// out by hand or offline (float when stored, double in between).
#include "test_support.h"

#include "cli/outputs.h"
#include "colour/colour.h"
#include "model/model.h"

using namespace std::string_literals;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(Colour, RgbToHsvAndCone) {
  // R, G, B, then H, S, V, x, y, v; 9 significant digits identify a float exactly.
  const std::vector<float> cases[] = {
      {0, 0, 0, 0, 0, 0, 0, 0, 0}, {255, 255, 255, 0, 0, 1, 0, 0, 1}, {128, 128, 128, 0, 0, 0.501960814f, 0, 0, 0.501960814f},
      {255, 0, 0, 0, 1, 1, 1, 0, 1},
      {0, 255, 0, 120, 1, 1, -0.5f, 0.866025388f, 1},  // cos in double rounds to -0.5f
      {0, 0, 255, 240, 1, 1, -0.5f, -0.866025388f, 1},
      {255, 255, 0, 60, 1, 1, 0.5f, 0.866025388f, 1},  // ties of the maximum
      {0, 255, 255, 180, 1, 1, -1, 2.43359288e-08f, 1},
      {255, 0, 255, 300, 1, 1, 0.49999997f, -0.866025448f, 1},
      {255, 0, 1, 359.764709f, 1, 1, 0.999991596f, -0.0041066315f, 1},  // h = -1/255: never 360
      {200, 120, 40, 29.9999981f, 0.800000012f, 0.784313798f, 0.543388546f, 0.313725501f, 0.784313798f},
      // h held in float would give H = 197.142868.
      {0, 5, 7, 197.142853f, 1, 0.0274509825f, -0.0262314137f, -0.00809131656f, 0.0274509825f},
      // cos(a) and each product rounded to float would give x = -0.0137254884.
      {0, 0, 7, 240, 1, 0.0274509825f, -0.0137254922f, -0.0237732474f, 0.0274509825f},
  };
  for (const std::vector<float>& t : cases) {
    float H = -1, S = -1, V = -1;
    rgbToHsv(t[0], t[1], t[2], H, S, V);
    const ConeColor c = hsvToCone(t[3], t[4], t[5]);  // from the expected HSV
    EXPECT_EQ(std::vector<float>({H, S, V, c.x, c.y, c.v}), std::vector<float>(t.begin() + 3, t.end()))
        << "RGB " << t[0] << " " << t[1] << " " << t[2] << ": H, S, V, x, y, v";
  }
}

TEST(Colour, ConeToHsvBranchesAndHueWrap) {
  const std::tuple<const char*, ConeColor, float, float> cases[] = {  // name, cone colour, H, S
      {"grey", {0, 0, 0.75f}, 0, 0},
      {"sine branch at 90", {0, 0.25f, 0.5f}, 90, 0.5f},
      {"sine branch at 270", {0, -0.5f, 1}, 270, 0.5f},
      // Near 270 the added 2*pi is the float 6.2831855, so cos(a) is off by
      // about 1.7e-7: |cos a| = 1.7e-4 takes the cosine branch (sine: 0.75).
      {"cosine branch near 270", {1e-4f, -0.6f, 0.8f}, 270.009552f, 0.749214053f},
      {"sine branch near 270", {0, -0.6f, 0.8f}, 270, 0.75f},  // the cosine one would give 0
      {"apex: S is 0/0", {0, 0, 0}, 0, kNaN},
      // With the angle in double the wrap limit is about -4.9e-7 rad; in
      // float it would be about -7.1e-7, and -5.2e-7 would give 360.
      {"wrap at -4.8e-7", {1, -4.8e-7f, 1}, 360, 1},
      {"no wrap at -5.2e-7", {1, -5.2e-7f, 1}, 359.999969f, 1},
  };
  for (const auto& [name, c, wantH, wantS] : cases) {
    float H, S, V;
    coneToHsv(c, H, S, V);
    EXPECT_TRUE(H == wantH && (std::isnan(wantS) ? std::isnan(S) : S == wantS) && V == c.v) << name << ": " << H << " " << S << " " << V;
  }
}

TEST(Colour, HsvToRgbSectorsAndToByte) {
  // S = 0.5, V = 1: p = 0.5. h = H * 0.016666668f is a float first, which
  // moves f off the exact half in most sectors (90 gives h = 1.50000012).
  const std::vector<float> cases[] = {  // H, S, V, R, G, B
      {0, 0.5f, 1, 1, 0.5f, 0.5f},                     // sector 0, f = 0: (V, t, p)
      {30, 0.5f, 1, 1, 0.75f, 0.5f},                   // sector 0, f = 1/2
      {90, 0.5f, 1, 0.74999994f, 1, 0.5f},             // sector 1: (q, V, p)
      {150, 0.5f, 1, 0.5f, 1, 0.750000119f},           // sector 2: (p, V, t)
      {210, 0.5f, 1, 0.5f, 0.749999881f, 1},           // sector 3: (p, q, V)
      {270, 0.5f, 1, 0.75f, 0.5f, 1},                  // sector 4: (t, p, V)
      {330, 0.5f, 1, 1, 0.5f, 0.749999762f},           // sector 5: (V, p, q)
      {360, 0.5f, 1, 1, 0.5f, 0.5f},                   // 360 is hue 0
      {359.999969f, 0.5f, 1, 1, 0.5f, 0.5f},           // h rounds to 6: hue 0, not (V, p, V)
      {123, 0, 0.25f, 0.25f, 0.25f, 0.25f},            // S = 0: grey whatever H
  };
  for (const std::vector<float>& t : cases) {
    float R, G, B;
    hsvToRgb(t[0], t[1], t[2], R, G, B);
    EXPECT_EQ(std::vector<float>({R, G, B}), std::vector<float>(t.begin() + 3, t.end())) << "H " << t[0];
  }
  const float inf = std::numeric_limits<float>::infinity();
  const std::pair<float, int> bytes[] = {{-0.1f, 0},    {0.49f, 0},     {0.5f, 1},      {127.5f, 128},
                                         {254.49f, 254}, {254.5f, 255}, {255, 255},     {300, 255},
                                         {-1e30f, 0},   {kNaN, 0},      {inf, 255}};
  for (auto [in, out] : bytes) EXPECT_EQ(toByte(in), out) << in;
}

// A 3 x 2 picture stored blue, green, red in 13-byte rows (4 garbage bytes):
// red, green, blue on top; white, black, grey 128 below.
TEST(Colour, ConvertFrameOrderStrideRoiAndRefusals) {
  const std::uint8_t picture[2][9] = {{0, 0, 255, 0, 255, 0, 255, 0, 0}, {255, 255, 255, 0, 0, 0, 128, 128, 128}};
  const ConeColor cone[6] = {{1, 0, 1}, {-0.5f, 0.866025388f, 1}, {-0.5f, -0.866025388f, 1}, {0, 0, 1}, {0, 0, 0}, {0, 0, 0.501960814f}};
  const ConeColor kept{7, 7, 7};
  for (int variant = 0; variant < 4; ++variant) {  // top-down, bottom-up, ROI holes, a cv::Mat view
    RoiMask roi = RoiMask::all(3, 2);
    if (variant >= 2) roi.bytes[1] = roi.bytes[5] = 0;
    FloatPlanes fp = filledPlanes(6, kept);
    std::vector<std::uint8_t> rows(26, 0xEE);
    cv::Mat wide(2, 8, CV_8UC3, cv::Scalar(9, 9, 9));
    for (int r = 0; r < 2; ++r) {
      std::memcpy(&rows[(variant == 1 ? 1 - r : r) * 13], picture[r], 9);
      std::memcpy(wide.ptr(r) + 6, picture[r], 9);
    }
    ASSERT_TRUE(variant == 3 ? convertFrame(wide.colRange(2, 5), fp, roi) : convertFrame(rows.data(), 3, 2, 13, variant == 1, fp, roi));
    for (int k = 0; k < 6; ++k)
      EXPECT_EQ(asVector(coneAt(fp, k)), asVector(roi.inside(k) ? cone[k] : kept)) << "variant " << variant << " pixel " << k;
  }
  // Refusals write nothing: too wide, too high, transposed, grey, 4 channels, 16 bits.
  FloatPlanes fp = filledPlanes(6, kept);
  const RoiMask all = RoiMask::all(3, 2);
  for (const cv::Mat& m : {cv::Mat(2, 4, CV_8UC3), cv::Mat(3, 3, CV_8UC3), cv::Mat(3, 2, CV_8UC3),
                           cv::Mat(2, 3, CV_8UC1), cv::Mat(2, 3, CV_8UC4), cv::Mat(2, 3, CV_16UC3)})
    EXPECT_FALSE(convertFrame(m, fp, all)) << m.size << " type " << m.type();
  EXPECT_FALSE(convertFrame(std::vector<std::uint8_t>(64).data(), 4, 2, 16, false, fp, all));
  EXPECT_EQ(firstDifference(fp, filledPlanes(6, kept)), -1);
}

// Converting a frame gives every pixel the bits of rgbToHsv and hsvToCone of
// its own colour, whatever earlier frames held: many distinct colours (more
// than the memo holds, so that its slots are reused), repeats, black and
// white, over several frames; with and without the memo, each frame twice
// with it.
TEST(Colour, ConvertFrameSameBitsAsPerPixelAcrossFrames) {
  const RoiMask roi = RoiMask::all(640, 480);
  FloatPlanes fp(3, 640 * 480), memoised(3, 640 * 480), want(3, 640 * 480);
  std::vector<ConeMemo> memos(1);
  cv::setRNGSeed(12345);
  for (int frame = 0; frame < 4; ++frame) {
    cv::Mat img(480, 640, CV_8UC3);
    cv::randu(img, 0, 256);
    if (frame % 2 == 1) img.rowRange(0, 240) = cv::Scalar(17, 200, 3);
    img.col(frame) = cv::Scalar::all(frame % 2 == 0 ? 0 : 255);
    ASSERT_TRUE(convertFrame(img, fp, roi));
    for (int p = 0; p < 640 * 480; ++p) {
      const cv::Vec3b bgr = img.at<cv::Vec3b>(p / 640, p % 640);
      float H, S, V;
      rgbToHsv(bgr[2], bgr[1], bgr[0], H, S, V);
      setCone(want, p, hsvToCone(H, S, V));
    }
    EXPECT_EQ(firstDifference(fp, want), -1) << "frame " << frame;
    for (int pass = 0; pass < 2; ++pass) {
      ASSERT_TRUE(convertFrame(img, memoised, roi, nullptr, &memos));
      EXPECT_EQ(firstDifference(memoised, want), -1) << "frame " << frame << " with the memo, pass " << pass;
    }
  }
}

// A 4 x 2 model (n = 1) of known weight vectors, rendered and written: the
// exact PPM bytes, width before height, samples red, green, blue.
TEST(Snapshot, RenderedModelPpmBytes) {
  // Red, green, blue; black (S is NaN); grey 127.5 rounds half up; a hue of
  // exactly 360 renders as hue 0; white.
  const ConeColor cells[] = {{1, 0, 1}, {-0.5f, 0.8660254f, 1}, {-0.5f, -0.8660254f, 1}, {0, 0, 0},
                             {0, 0, 0.5f}, {0.4f, -1e-8f, 1}, {0.4f, 0, 1}, {0, 0, 1}};
  const std::string expected = "P6\n4 2\n255\n\xff\0\0\0\xff\0\0\0\xff\0\0\0\x80\x80\x80\xff\x99\x99\xff\x99\x99\xff\xff\xff"s;
  FloatPlanes model(3, 8);
  for (int k = 0; k < 8; ++k) setCone(model, k, cells[k]);
  BytePlanes image(3, 9);
  image[0][8] = 9;
  renderSnapshot(model, 8, image);
  EXPECT_EQ(image[0][8], 9) << "rendered past count";
  cv::Mat bgr;
  snapshotToBgr(image, 2, 4, bgr);
  ScratchDir dir;
  ASSERT_EQ(writePpm(bgr, dir / "Model000001.ppm"), 1);
  EXPECT_EQ(readFile(dir / "Model000001.ppm"), expected);
  EXPECT_EQ(listDir(dir.path()), std::vector<std::string>{"Model000001.ppm"});
}

// A file that cannot be opened (no folder, a folder under the name): the message
// on stdout; a write failing half way: one line on stderr. 0, no partial file.
TEST(Snapshot, FailuresReportAndLeaveNoFile) {
  ScratchDir dir;
  std::filesystem::create_directory(dir / "Model000002.ppm");
  for (const std::string& path : {dir / "no-such-dir/Model000001.ppm", dir / "Model000002.ppm"}) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(writePpm(cv::Mat(2, 2, CV_8UC3), path), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Errore apertura file " + path + "\n");
  }
  const std::string path = dir / "Model000007.ppm";
  EXPECT_FALSE(succeedsWithFileSizeLimit(4096, dir / "err", [&] { return writePpm(cv::Mat(90, 120, CV_8UC3), path); }));
  const std::string err = readFile(dir / "err");
  EXPECT_TRUE(err.rfind("Cannot write snapshot file " + path + ": ", 0) == 0 && std::count(err.begin(), err.end(), '\n') == 1) << err;
  EXPECT_EQ(listDir(dir.path()), std::vector<std::string>({"Model000002.ppm", "err"}));
}

}  // namespace
