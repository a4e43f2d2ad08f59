// Spatial coherence filter. Class cases put exactly `threshold` and
// `threshold + 1` background labels in the window and background outside it,
// so a window too large, too small or shifted, or a threshold off by one, shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/run_state.h"
#include "mask/mask.h"
#include "model/model.h"

namespace {

constexpr std::uint8_t kUntouched = 7;  // never a label: shows bytes not written

enum class Variant { Three, Five };
const char* nameOf(Variant v) { return v == Variant::Five ? "5x5" : "3x3"; }

void runFilter(Variant v, int H, int W, const LabelMask& in, LabelMask& out, const RoiMask& roi) {
  if (v == Variant::Five)
    coherenceFilter5x5(H, W, in, 3, out, roi);
  else
    coherenceFilter3x3(H, W, in, 3, out, roi);
}

struct WindowCase {
  int r, c, r0, r1, c0, c1;  // the pixel, window rows and columns (inclusive)
  int threshold;
};

// Foreground inside the window, background outside; the pixel is `centre`,
// then other window cells become background (0, 85 alternately) until the
// window holds `count`, filled from the window's first or last cell.
std::uint8_t labelAfter(Variant v, int H, int W, const WindowCase& t, std::uint8_t centre,
                        int count, bool fromEnd) {
  LabelMask in(static_cast<std::size_t>(W) * H, 0);
  std::vector<std::size_t> cells;
  for (int r = t.r0; r <= t.r1; ++r)
    for (int c = t.c0; c <= t.c1; ++c) {
      in[static_cast<std::size_t>(r) * W + c] = 255;
      if (r != t.r || c != t.c) cells.push_back(static_cast<std::size_t>(r) * W + c);
    }
  in[static_cast<std::size_t>(t.r) * W + t.c] = centre;
  if (fromEnd) std::reverse(cells.begin(), cells.end());
  for (int have = centre < 170 ? 1 : 0, i = 0; have < count; ++i, ++have) {
    EXPECT_LT(static_cast<std::size_t>(i), cells.size()) << "window too small for the count";
    if (static_cast<std::size_t>(i) >= cells.size()) break;
    in[cells[i]] = (i % 2 == 0) ? 0 : 85;
  }
  LabelMask out(in.size(), kUntouched);
  runFilter(v, H, W, in, out, RoiMask::all(W, H));
  return out[static_cast<std::size_t>(t.r) * W + t.c];
}

// count == threshold and threshold + 1, for each label the rule can change.
void checkCases(Variant v, int H, int W, const std::vector<WindowCase>& cases) {
  const std::uint8_t expects[][3] = {{255, 255, 170}, {0, 255, 0}, {170, 255, 170}};
  for (const WindowCase& t : cases)
    for (const auto& e : expects)
      for (bool fromEnd : {false, true}) {
        SCOPED_TRACE(testing::Message() << "pixel (" << t.r << ", " << t.c << ") label "
                                        << int(e[0]) << (fromEnd ? " filled from end" : ""));
        EXPECT_EQ(labelAfter(v, H, W, t, e[0], t.threshold, fromEnd), e[1]);
        if (t.threshold + 1 <= (t.r1 - t.r0 + 1) * (t.c1 - t.c0 + 1)) {
          EXPECT_EQ(labelAfter(v, H, W, t, e[0], t.threshold + 1, fromEnd), e[2]);
        }
      }
}

}  // namespace

TEST(CoherenceRule, Table) {
  struct Case {
    int count, threshold;
    std::uint8_t label, expected;
  };
  const Case cases[] = {
      {4, 4, 0, 255},   {5, 4, 0, 0},     {4, 4, 85, 85},     {5, 4, 85, 85},
      {0, 4, 85, 85},   {9, 4, 85, 85},   {4, 4, 170, 255},   {5, 4, 170, 170},
      {4, 4, 255, 255}, {5, 4, 255, 170}, {12, 12, 255, 255}, {13, 12, 255, 170},
      {1, 1, 0, 255},   {2, 1, 0, 0},     {0, 1, 255, 255},   {2, 1, 255, 170},
  };
  for (const Case& t : cases)
    EXPECT_EQ(coherenceRule(t.count, t.threshold, t.label), t.expected)
        << "count " << t.count << " threshold " << t.threshold << " label " << int(t.label);
}

// Cases are {pixel r, c, window rows r0, r1, columns c0, c1, threshold}.
TEST(Coherence3x3, ClassWindowsAndThresholds) {
  checkCases(Variant::Three, 5, 6,
             {{2, 3, 1, 3, 2, 4, 4}, {1, 1, 0, 2, 0, 2, 4}, {3, 4, 2, 4, 3, 5, 4},  // interior
              {0, 2, 0, 1, 1, 3, 2}, {4, 2, 3, 4, 1, 3, 2},  // top, bottom row
              {2, 0, 1, 3, 0, 1, 2}, {2, 5, 1, 3, 4, 5, 2},  // left, right column
              {0, 0, 0, 1, 0, 1, 1}, {0, 5, 0, 1, 4, 5, 1},  // corners
              {4, 0, 3, 4, 0, 1, 1}, {4, 5, 3, 4, 4, 5, 1}});
}

// On 7 x 8; the twelve near-corner pixels take the 3x3 rule of their position.
TEST(Coherence5x5, ClassWindowsAndThresholds) {
  checkCases(Variant::Five, 7, 8,
             {{3, 4, 1, 5, 2, 6, 12}, {2, 2, 0, 4, 0, 4, 12}, {4, 5, 2, 6, 3, 7, 12},  // interior
              {0, 3, 0, 2, 1, 5, 6}, {0, 2, 0, 2, 0, 4, 6}, {6, 4, 4, 6, 2, 6, 6},  // first, last
              {1, 3, 0, 3, 1, 5, 9}, {5, 3, 3, 6, 1, 5, 9},  // second, second-to-last row
              {3, 0, 1, 5, 0, 2, 6}, {3, 7, 1, 5, 5, 7, 6},  // first, last column
              {3, 1, 1, 5, 0, 3, 9}, {4, 1, 2, 6, 0, 3, 9}, {3, 6, 1, 5, 4, 7, 9},  // 2nd columns
              {0, 0, 0, 1, 0, 1, 1}, {0, 7, 0, 1, 6, 7, 1},  // corners
              {6, 0, 5, 6, 0, 1, 1}, {6, 7, 5, 6, 6, 7, 1},
              {0, 1, 0, 1, 0, 2, 2}, {0, 6, 0, 1, 5, 7, 2},  // near corners: 3x3 top row
              {6, 1, 5, 6, 0, 2, 2}, {6, 6, 5, 6, 5, 7, 2},  // 3x3 bottom row
              {1, 0, 0, 2, 0, 1, 2}, {5, 0, 4, 6, 0, 1, 2},  // 3x3 left column
              {1, 7, 0, 2, 6, 7, 2}, {5, 7, 4, 6, 6, 7, 2},  // 3x3 right column
              {1, 1, 0, 2, 0, 2, 4}, {1, 6, 0, 2, 5, 7, 4},  // 3x3 interior
              {5, 1, 4, 6, 0, 2, 4}, {5, 6, 4, 6, 5, 7, 4}});
}

TEST(Coherence, WordedExamples) {
  struct Case {
    const char* name;
    Variant v;
    int side;
    std::uint8_t around, centre, want;
  };
  const Case cases[] = {
      {"3x3: 255 alone among 0", Variant::Three, 3, 0, 255, 170},
      {"3x3: 0 among 255", Variant::Three, 3, 255, 0, 255},
      {"5x5: 255 alone among 24 zeros", Variant::Five, 5, 0, 255, 170},
  };
  for (const Case& t : cases) {
    const int N = t.side * t.side;
    LabelMask in(N, t.around), out(N, kUntouched);
    in[N / 2] = t.centre;
    runFilter(t.v, t.side, t.side, in, out, RoiMask::all(t.side, t.side));
    EXPECT_EQ(out[N / 2], t.want) << t.name;
  }
}

TEST(Coherence, ShadowNeverChangesAndCountsAsBackground) {
  for (Variant v : {Variant::Three, Variant::Five})
    for (std::uint8_t around : {0, 85, 170, 255}) {
      LabelMask in(25, around), out(25, kUntouched);
      for (std::size_t k = 0; k < in.size(); k += 3) in[k] = 85;
      runFilter(v, 5, 5, in, out, RoiMask::all(5, 5));
      for (std::size_t k = 0; k < in.size(); k += 3)
        EXPECT_EQ(out[k], 85) << nameOf(v) << " pixel " << k << " among " << int(around);
    }
  // An interior 3x3 255 with five shadow neighbours: count 5 > 4.
  LabelMask in(25, 255), out(25, kUntouched);
  for (std::size_t k : {6, 7, 8, 11, 13}) in[k] = 85;
  coherenceFilter3x3(5, 5, in, 3, out, RoiMask::all(5, 5));
  EXPECT_EQ(out[12], 170);
}

// ROI is (2,2) only; the 0s outside it still count: its 255 becomes 170.
TEST(Coherence, PixelsOutsideRoiAreNotWrittenButCounted) {
  const int H = 5, W = 6, centre = 2 * W + 2;
  for (Variant v : {Variant::Three, Variant::Five}) {
    RoiMask roi = RoiMask::all(W, H);
    roi.bytes.assign(roi.bytes.size(), 0);
    roi.bytes[centre] = 1;
    LabelMask in(static_cast<std::size_t>(W) * H, 0), out(in.size(), kUntouched);
    in[centre] = 255;
    runFilter(v, H, W, in, out, roi);
    for (int k = 0; k < W * H; ++k)
      EXPECT_EQ(out[k], k == centre ? 170 : kUntouched) << nameOf(v) << " index " << k;
  }
}

TEST(Coherence, MinFrameSide) {
  EXPECT_EQ(minFrameSide(5), 4);
  EXPECT_EQ(minFrameSide(3), 2);
  EXPECT_EQ(minFrameSide(7), 2);
  EXPECT_EQ(minFrameSide(0), 2);
}

// ---- Whole frames against an oracle that transcribes the class tables -----

namespace {

struct OracleWindow {
  int r0, r1, c0, c1, threshold;
};

bool within(int i, int lo, int hi) { return i >= lo && i <= hi; }

OracleWindow oracle3x3(int r, int c, int H, int W) {
  if (within(r, 1, H - 2) && within(c, 1, W - 2)) return {r - 1, r + 1, c - 1, c + 1, 4};
  if (r == 0 && within(c, 1, W - 2)) return {0, 1, c - 1, c + 1, 2};
  if (r == H - 1 && within(c, 1, W - 2)) return {H - 2, H - 1, c - 1, c + 1, 2};
  if (c == 0 && within(r, 1, H - 2)) return {r - 1, r + 1, 0, 1, 2};
  if (c == W - 1 && within(r, 1, H - 2)) return {r - 1, r + 1, W - 2, W - 1, 2};
  if (r == 0 && c == 0) return {0, 1, 0, 1, 1};
  if (r == 0 && c == W - 1) return {0, 1, W - 2, W - 1, 1};
  if (r == H - 1 && c == 0) return {H - 2, H - 1, 0, 1, 1};
  return {H - 2, H - 1, W - 2, W - 1, 1};  // (H-1, W-1)
}

OracleWindow oracle5x5(int r, int c, int H, int W) {
  const bool midR = within(r, 2, H - 3), midC = within(c, 2, W - 3);
  if (midR && midC) return {r - 2, r + 2, c - 2, c + 2, 12};
  if (r == 0 && midC) return {0, 2, c - 2, c + 2, 6};
  if (r == 1 && midC) return {0, 3, c - 2, c + 2, 9};
  if (r == H - 2 && midC) return {H - 4, H - 1, c - 2, c + 2, 9};
  if (r == H - 1 && midC) return {H - 3, H - 1, c - 2, c + 2, 6};
  if (c == 0 && midR) return {r - 2, r + 2, 0, 2, 6};
  if (c == 1 && midR) return {r - 2, r + 2, 0, 3, 9};
  if (c == W - 2 && midR) return {r - 2, r + 2, W - 4, W - 1, 9};
  if (c == W - 1 && midR) return {r - 2, r + 2, W - 3, W - 1, 6};
  return oracle3x3(r, c, H, W);  // corners and the twelve near-corner pixels
}

std::uint8_t oracleLabel(Variant v, int r, int c, int H, int W, const LabelMask& labels) {
  const OracleWindow w = v == Variant::Five ? oracle5x5(r, c, H, W) : oracle3x3(r, c, H, W);
  int count = 0;
  for (int rr = w.r0; rr <= w.r1; ++rr)
    for (int cc = w.c0; cc <= w.c1; ++cc) {
      EXPECT_TRUE(within(rr, 0, H - 1) && within(cc, 0, W - 1)) << "oracle window leaves the frame";
      const std::uint8_t l = labels[static_cast<std::size_t>(rr) * W + cc];
      if (l == 0 || l == 85) ++count;
    }
  const std::uint8_t label = labels[static_cast<std::size_t>(r) * W + c];
  if (label == 85) return 85;
  if (count <= w.threshold) return 255;
  return label == 255 ? 170 : label;
}

std::uint32_t nextRandom(std::uint32_t& s) {
  s ^= s << 13;
  s ^= s >> 17;
  s ^= s << 5;
  return s;
}

}  // namespace

// Every ROI pixel written (near-corner 5x5 pixels included), no other, down
// to the smallest frames each variant allows.
TEST(Coherence, WholeFramesMatchTheTables) {
  const int sizes[][2] = {{2, 2}, {2, 3}, {3, 2}, {2, 5}, {4, 4}, {5, 4},  {4, 5},
                          {5, 7}, {7, 5}, {9, 9}, {7, 321}, {24, 32}};
  const std::uint8_t labels[] = {0, 85, 170, 255};
  std::uint32_t seed = 12345;
  for (Variant v : {Variant::Three, Variant::Five})
    for (const auto& s : sizes) {
      const int H = s[0], W = s[1], side = minFrameSide(v == Variant::Five ? 5 : 3);
      if (H < side || W < side) continue;
      for (int density = 1; density <= 3; ++density) {
        const std::size_t N = static_cast<std::size_t>(H) * W;
        LabelMask in(N), out(N, kUntouched);
        RoiMask roi = RoiMask::all(W, H);
        for (std::size_t k = 0; k < N; ++k) {  // denser foreground, ROI with holes
          const std::uint32_t x = nextRandom(seed);
          in[k] = (x % 4) < static_cast<std::uint32_t>(density) ? 255 : labels[x % 3];
          roi.bytes[k] = (x >> 8) % 5 == 0 ? 0 : 255;
        }
        runFilter(v, H, W, in, out, roi);
        bool reported = false;
        for (int r = 0; r < H && !reported; ++r)
          for (int c = 0; c < W && !reported; ++c) {
            const std::size_t k = static_cast<std::size_t>(r) * W + c;
            const std::uint8_t want = roi.bytes[k] ? oracleLabel(v, r, c, H, W, in) : kUntouched;
            if (out[k] != want) {
              ADD_FAILURE() << nameOf(v) << " frame " << H << "x" << W << " density " << density
                            << ": first mismatch at (" << r << ", " << c << "): got "
                            << int(out[k]) << ", expected " << int(want);
              reported = true;
            }
          }
      }
    }
}
