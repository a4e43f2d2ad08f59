// Colour conversion. Expected values are literals worked out by hand or offline
// (float for each stored value, double in between), never from another conversion.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "colour/colour.h"

namespace {

struct HsvCase {
  const char* name;
  std::uint8_t R, G, B;
  float H, S, V;
  float x, y, v;
};

// 9 significant digits identify a float exactly.
const HsvCase kHsvCases[] = {
    {"black", 0, 0, 0, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f},
    {"white", 255, 255, 255, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 1.0f},
    {"grey128", 128, 128, 128, 0.0f, 0.0f, 0.501960814f, 0.0f, 0.0f, 0.501960814f},
    {"red", 255, 0, 0, 0.0f, 1.0f, 1.0f, 1.0f, 0.0f, 1.0f},
    // cos(120 * 0.017453292f) in double rounds to -0.5f exactly.
    {"green", 0, 255, 0, 120.0f, 1.0f, 1.0f, -0.5f, 0.866025388f, 1.0f},
    {"blue", 0, 0, 255, 240.0f, 1.0f, 1.0f, -0.5f, -0.866025388f, 1.0f},
    {"yellow tie r=g", 255, 255, 0, 60.0f, 1.0f, 1.0f, 0.5f, 0.866025388f, 1.0f},
    {"cyan tie g=b", 0, 255, 255, 180.0f, 1.0f, 1.0f, -1.0f, 2.43359288e-08f, 1.0f},
    {"magenta tie r=b", 255, 0, 255, 300.0f, 1.0f, 1.0f, 0.49999997f, -0.866025448f, 1.0f},
    // h = -1/255: H = -0.235294 + 360, never 360.
    {"red minus", 255, 0, 1, 359.764709f, 1.0f, 1.0f, 0.999991596f, -0.0041066315f, 1.0f},
    {"orange", 200, 120, 40, 29.9999981f, 0.800000012f, 0.784313798f, 0.543388546f,
     0.313725501f, 0.784313798f},
    // Keeping h in float would give 197.142868; double gives 197.142853.
    {"h held in double", 0, 5, 7, 197.142853f, 1.0f, 0.0274509825f, -0.0262314137f,
     -0.00809131656f, 0.0274509825f},
    // Rounding cos(a) and each product to float would give x = -0.0137254884.
    {"cone in double", 0, 0, 7, 240.0f, 1.0f, 0.0274509825f, -0.0137254922f, -0.0237732474f,
     0.0274509825f},
};

TEST(Colour, RgbToHsvAndConeTable) {
  for (const HsvCase& t : kHsvCases) {
    SCOPED_TRACE(t.name);
    float H = -1, S = -1, V = -1;
    rgbToHsv(t.R, t.G, t.B, H, S, V);
    const ConeColor c = hsvToCone(t.H, t.S, t.V);  // from the expected HSV, not the computed one
    EXPECT_EQ(std::vector<float>({H, S, V, c.x, c.y, c.v}),
              std::vector<float>({t.H, t.S, t.V, t.x, t.y, t.v}))
        << "H, S, V, x, y, v";
  }
}

TEST(Colour, ConeToHsvBranches) {
  const float kNaN = std::numeric_limits<float>::quiet_NaN();
  const struct {
    const char* name;
    ConeColor c;
    float H, S;
  } cases[] = {
      {"grey", {0.0f, 0.0f, 0.75f}, 0.0f, 0.0f},
      {"sine branch at 90", {0.0f, 0.25f, 0.5f}, 90.0f, 0.5f},
      {"sine branch at 270", {0.0f, -0.5f, 1.0f}, 270.0f, 0.5f},
      // Near 270 the added 2*pi is the float 6.2831855, so cos(a) is off by about
      // 1.7e-7: |cos a| = 1.7e-4 > 1e-6 takes the cosine branch (sine would give 0.75).
      {"cosine branch near 270", {1e-4f, -0.6f, 0.8f}, 270.009552f, 0.749214053f},
      // |cos a| = 1.7e-7 < 1e-6: the sine branch (the cosine one would give 0).
      {"sine branch near 270", {0.0f, -0.6f, 0.8f}, 270.0f, 0.75f},
      {"apex: S is 0/0", {0.0f, 0.0f, 0.0f}, 0.0f, kNaN},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    float H, S, V;
    coneToHsv(t.c, H, S, V);
    EXPECT_EQ(H, t.H);
    if (std::isnan(t.S))
      EXPECT_TRUE(std::isnan(S));
    else
      EXPECT_EQ(S, t.S);
    EXPECT_EQ(V, t.c.v);
  }
}

// With the angle held in double the limit is about -4.9e-7 rad; holding it
// in float moves the limit to about -7.1e-7, so y = -5.2e-7 would give 360.
TEST(Colour, HueWrapLimit) {
  struct Case {
    float y;
    float H;
  };
  const Case cases[] = {
      {-2.5e-7f, 360.0f}, {-4.8e-7f, 360.0f}, {-5.2e-7f, 359.999969f}, {-7.0e-7f, 359.999969f}};
  for (const Case& t : cases) {
    SCOPED_TRACE(t.y);
    float H, S, V;
    coneToHsv({1.0f, t.y, 1.0f}, H, S, V);
    EXPECT_EQ(H, t.H);
    EXPECT_EQ(S, 1.0f);
  }
}

TEST(Colour, HsvToRgbSectorsAndSpecialCases) {
  struct Case {
    float H, S, V;
    float R, G, B;
  };
  // p = V(1-S), q = V(1-S f), t = V(1-S(1-f)) with S = 0.5, V = 1, so
  // p = 0.5. h = H * 0.016666668f is rounded to float first, which moves f
  // off the exact half in most sectors (for example 90 gives h = 1.50000012).
  const Case cases[] = {
      {0.0f, 0.5f, 1.0f, 1.0f, 0.5f, 0.5f},             // sector 0, f = 0: (V, t, p)
      {30.0f, 0.5f, 1.0f, 1.0f, 0.75f, 0.5f},           // sector 0, f = 1/2
      {90.0f, 0.5f, 1.0f, 0.74999994f, 1.0f, 0.5f},     // sector 1: (q, V, p)
      {150.0f, 0.5f, 1.0f, 0.5f, 1.0f, 0.750000119f},   // sector 2: (p, V, t)
      {210.0f, 0.5f, 1.0f, 0.5f, 0.749999881f, 1.0f},   // sector 3: (p, q, V)
      {270.0f, 0.5f, 1.0f, 0.75f, 0.5f, 1.0f},          // sector 4: (t, p, V)
      {330.0f, 0.5f, 1.0f, 1.0f, 0.5f, 0.749999762f},   // sector 5: (V, p, q)
      {360.0f, 0.5f, 1.0f, 1.0f, 0.5f, 0.5f},           // 360 is hue 0
      // 359.999969 * 0.016666668f rounds to h = 6 (f = 0): hue 0's colour,
      // not sector 5's (V, p, V).
      {359.999969f, 0.5f, 1.0f, 1.0f, 0.5f, 0.5f},
      {123.0f, 0.0f, 0.25f, 0.25f, 0.25f, 0.25f},       // S = 0: grey whatever H
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.H);
    float R, G, B;
    hsvToRgb(t.H, t.S, t.V, R, G, B);
    EXPECT_EQ(R, t.R);
    EXPECT_EQ(G, t.G);
    EXPECT_EQ(B, t.B);
  }
  float R, G, B;  // black from the cone apex: V = 0, S not a number, all bytes 0
  hsvToRgb(0.0f, std::numeric_limits<float>::quiet_NaN(), 0.0f, R, G, B);
  for (float ch : {R, G, B}) EXPECT_EQ(toByte(ch * 255.0f), 0);
}

TEST(Colour, ToByteTable) {
  struct Case {
    float in;
    int out;
  };
  const Case cases[] = {{-0.1f, 0},   {0.0f, 0},      {0.49f, 0},     {0.5f, 1},
                        {1.49f, 1},   {127.5f, 128},  {254.49f, 254}, {254.5f, 255},
                        {255.0f, 255}, {255.1f, 255}, {300.0f, 255},  {-1e30f, 0},
                        {std::numeric_limits<float>::quiet_NaN(), 0},
                        {std::numeric_limits<float>::infinity(), 255}};
  for (const Case& t : cases) EXPECT_EQ(toByte(t.in), t.out) << t.in;
}

// Every byte colour with v > 0 on a grid of step 5 (and a few others) comes
// back to its own bytes through the cone, coneToHsv, hsvToRgb and toByte.
TEST(Colour, RoundTripThroughCone) {
  auto roundTrip = [](int R, int G, int B) {
    float H, S, V;
    rgbToHsv(static_cast<std::uint8_t>(R), static_cast<std::uint8_t>(G),
             static_cast<std::uint8_t>(B), H, S, V);
    const ConeColor c = hsvToCone(H, S, V);
    float H2, S2, V2, r, g, b;
    coneToHsv(c, H2, S2, V2);
    hsvToRgb(H2, S2, V2, r, g, b);
    const int back[3] = {toByte(r * 255.0f), toByte(g * 255.0f), toByte(b * 255.0f)};
    return back[0] == R && back[1] == G && back[2] == B;
  };
  int failures = 0;
  for (int R = 0; R < 256; R += 5)
    for (int G = 0; G < 256; G += 5)
      for (int B = 0; B < 256; B += 5) {
        if (R + G + B == 0) continue;
        if (!roundTrip(R, G, B) && ++failures <= 5)
          ADD_FAILURE() << "round trip changed (" << R << ", " << G << ", " << B << ")";
      }
  const int extra[][3] = {{255, 0, 1}, {1, 2, 3}, {0, 5, 7}, {30, 60, 200}, {254, 255, 253}};
  for (const auto& e : extra) EXPECT_TRUE(roundTrip(e[0], e[1], e[2])) << e[0] << "," << e[1];
  EXPECT_EQ(failures, 0);
}

// ---- convertFrame ----------------------------------------------------------

// A 3 x 2 picture (W = 3, H = 2) stored with 4 padding bytes per row.
// Top row: red, green, blue. Bottom row: white, black, grey 128.
// Bytes are stored blue, green, red.
constexpr int kW = 3;
constexpr int kH = 2;
constexpr std::size_t kStride = 3 * kW + 4;

std::vector<std::uint8_t> asymmetricRows(bool bottomUp) {
  const std::uint8_t top[kW][3] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}};
  const std::uint8_t bottom[kW][3] = {{255, 255, 255}, {0, 0, 0}, {128, 128, 128}};
  std::vector<std::uint8_t> buf(kStride * kH, 0xEE);  // padding is garbage
  for (int r = 0; r < kH; ++r) {
    const int stored = bottomUp ? kH - 1 - r : r;
    for (int c = 0; c < kW; ++c)
      for (int k = 0; k < 3; ++k)
        buf[stored * kStride + 3 * c + k] = (r == 0 ? top : bottom)[c][k];
  }
  return buf;
}

// Picture pixel (r, c) in cone coordinates, row 0 at the top.
const ConeColor kPicture[kH][kW] = {
    {{1.0f, 0.0f, 1.0f}, {-0.5f, 0.866025388f, 1.0f}, {-0.5f, -0.866025388f, 1.0f}},
    {{0.0f, 0.0f, 1.0f}, {0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.501960814f}},
};

// Pixels outside the ROI keep 7.
void expectPicture(const FloatPlanes& fp, const RoiMask& roi) {
  for (int r = 0; r < kH; ++r)
    for (int c = 0; c < kW; ++c) {
      const std::size_t k = static_cast<std::size_t>(r) * kW + c;
      const ConeColor want = roi.bytes[k] == 0 ? ConeColor{7.0f, 7.0f, 7.0f} : kPicture[r][c];
      EXPECT_EQ(fp[0][k], want.x) << "pixel (" << r << ", " << c << ")";
      EXPECT_EQ(fp[1][k], want.y) << "pixel (" << r << ", " << c << ")";
      EXPECT_EQ(fp[2][k], want.v) << "pixel (" << r << ", " << c << ")";
    }
}

FloatPlanes filledPlanes() {
  FloatPlanes fp(3, kW * kH);
  for (int k = 0; k < 3; ++k)
    for (std::size_t i = 0; i < fp.size(); ++i) fp[k][i] = 7.0f;
  return fp;
}

TEST(ConvertFrame, ChannelOrderRowOrderAndRoi) {
  const struct {
    const char* name;
    bool bottomUp;
    std::vector<std::size_t> outside;
  } cases[] = {
      {"top-down", false, {}},
      {"bottom-up reads the last stored row first", true, {}},
      {"skips pixels outside the ROI", false, {1, kW + 2}},  // (0, 1) and (1, 2)
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    RoiMask roi = RoiMask::all(kW, kH);
    for (std::size_t k : t.outside) roi.bytes[k] = 0;
    FloatPlanes fp = filledPlanes();
    const std::vector<std::uint8_t> rows = asymmetricRows(t.bottomUp);
    ASSERT_TRUE(convertFrame(rows.data(), kW, kH, kStride, t.bottomUp, fp, roi));
    expectPicture(fp, roi);
  }
}

TEST(ConvertFrame, MatOverloadWithRowStrideAndRefusals) {
  // A view into a wider image: its step exceeds 3 * W.
  cv::Mat wide(kH, kW + 5, CV_8UC3, cv::Scalar(9, 9, 9));
  const std::vector<std::uint8_t> rows = asymmetricRows(false);
  for (int r = 0; r < kH; ++r)
    for (int c = 0; c < kW; ++c)
      for (int k = 0; k < 3; ++k) wide.at<cv::Vec3b>(r, c + 2)[k] = rows[r * kStride + 3 * c + k];
  const cv::Mat view = wide(cv::Rect(2, 0, kW, kH));
  ASSERT_GT(view.step[0], static_cast<std::size_t>(3 * kW));
  RoiMask roi = RoiMask::all(kW, kH);
  roi.bytes[4] = 0;  // (1, 1)
  FloatPlanes fp = filledPlanes();
  ASSERT_TRUE(convertFrame(view, fp, roi));
  expectPicture(fp, roi);

  // Refusals write nothing.
  FloatPlanes untouched = filledPlanes();
  const RoiMask all = RoiMask::all(kW, kH);
  const cv::Scalar red(0, 0, 255);
  const cv::Mat refused[] = {
      cv::Mat(kH, kW + 1, CV_8UC3, red),  cv::Mat(kH + 1, kW, CV_8UC3, red),
      cv::Mat(kW, kH, CV_8UC3, red),      cv::Mat(kH, kW, CV_8UC1, cv::Scalar(128)),
      cv::Mat(kH, kW, CV_8UC4, red),      cv::Mat(kH, kW, CV_16UC3, red),
  };  // too wide, too high, transposed, grey, four channels, 16-bit samples
  for (const cv::Mat& m : refused) EXPECT_FALSE(convertFrame(m, untouched, all)) << m.size();
  std::vector<std::uint8_t> raw(kStride * (kH + 1), 0);
  EXPECT_FALSE(convertFrame(raw.data(), kW + 1, kH, kStride + 3, false, untouched, all));
  EXPECT_FALSE(convertFrame(raw.data(), kW, kH + 1, kStride, false, untouched, all));
  for (int k = 0; k < 3; ++k)
    for (std::size_t i = 0; i < untouched.size(); ++i) ASSERT_EQ(untouched[k][i], 7.0f);
}

}  // namespace

namespace {

// Converting a frame gives, for every pixel, the bits of rgbToHsv and
// hsvToCone on its own colour, whatever colours earlier frames had: many
// distinct colours (more than any small memo holds), repeats, black and
// white, over several frames in different orders.
TEST(ConvertFrame, SameBitsAsPerPixelConversionAcrossFrames) {
  const int W = 640, H = 480;
  const std::size_t N = static_cast<std::size_t>(W) * H;
  std::uint32_t state = 12345u;
  auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return state >> 8;  // 24 bits
  };
  const RoiMask roi = RoiMask::all(W, H);
  FloatPlanes fp(3, N);
  for (int frame = 0; frame < 4; ++frame) {
    SCOPED_TRACE("frame " + std::to_string(frame));
    std::vector<std::uint8_t> rows(N * 3);
    for (std::size_t p = 0; p < N; ++p) {
      std::uint32_t rgb = next();
      if (frame % 2 == 1 && p % 3 != 0) rgb = static_cast<std::uint32_t>(p % 4096) * 4099u & 0xFFFFFFu;
      if (p % 1000 == 0) rgb = (p / 1000) % 2 == 0 ? 0u : 0xFFFFFFu;
      rows[3 * p + 0] = static_cast<std::uint8_t>(rgb);        // blue
      rows[3 * p + 1] = static_cast<std::uint8_t>(rgb >> 8);   // green
      rows[3 * p + 2] = static_cast<std::uint8_t>(rgb >> 16);  // red
    }
    ASSERT_TRUE(convertFrame(rows.data(), W, H, static_cast<std::size_t>(3) * W, false, fp, roi));
    for (std::size_t p = 0; p < N; ++p) {
      float Hh, S, V;
      rgbToHsv(rows[3 * p + 2], rows[3 * p + 1], rows[3 * p + 0], Hh, S, V);
      const ConeColor want = hsvToCone(Hh, S, V);
      const float got[3] = {fp[0][p], fp[1][p], fp[2][p]};
      const float expected[3] = {want.x, want.y, want.v};
      for (int k = 0; k < 3; ++k)
        ASSERT_EQ(std::memcmp(&got[k], &expected[k], sizeof(float)), 0)
            << "pixel " << p << " plane " << k << ": " << got[k] << " vs " << expected[k];
    }
  }
}

}  // namespace
