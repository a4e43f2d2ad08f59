// Spatial coherence filter. Windows and thresholds are written
// here from the class tables, class by class; each case places
// exactly `threshold` and `threshold + 1` background labels inside the window
// and background everywhere outside it, so a window that is too large, too
// small or shifted, or a threshold off by one, changes the result.
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

void runFilter(Variant v, int H, int W, const LabelMask& in, LabelMask& out, const RoiMask& roi) {
  if (v == Variant::Five)
    coherenceFilter5x5(H, W, in, 3, out, roi);
  else
    coherenceFilter3x3(H, W, in, 3, out, roi);
}

struct WindowCase {
  const char* name;
  int r, c;        // the pixel
  int r0, r1;      // window rows (inclusive)
  int c0, c1;      // window columns (inclusive)
  int threshold;
};

// Frame of H x W, all background (0) outside the window and foreground (255)
// inside it, the pixel labelled `centre`, then window cells other than the
// pixel turned to background (0 and 85 alternately) until the window holds
// `count` background labels. `fromEnd` fills from the window's last cell
// backwards, so that both ends of the window are exercised.
LabelMask buildLabels(int H, int W, const WindowCase& t, std::uint8_t centre, int count,
                      bool fromEnd) {
  LabelMask in(static_cast<std::size_t>(W) * H, 0);
  for (int r = t.r0; r <= t.r1; ++r)
    for (int c = t.c0; c <= t.c1; ++c) in[static_cast<std::size_t>(r) * W + c] = 255;
  in[static_cast<std::size_t>(t.r) * W + t.c] = centre;
  int have = centre < 170 ? 1 : 0;
  std::vector<std::size_t> cells;
  for (int r = t.r0; r <= t.r1; ++r)
    for (int c = t.c0; c <= t.c1; ++c)
      if (r != t.r || c != t.c) cells.push_back(static_cast<std::size_t>(r) * W + c);
  if (fromEnd) std::reverse(cells.begin(), cells.end());
  for (std::size_t i = 0; have < count; ++i) {
    EXPECT_LT(i, cells.size()) << "window too small for the count";
    if (i >= cells.size()) break;
    in[cells[i]] = (i % 2 == 0) ? 0 : 85;
    ++have;
  }
  return in;
}

std::uint8_t labelAfter(Variant v, int H, int W, const WindowCase& t, std::uint8_t centre,
                        int count, bool fromEnd) {
  const LabelMask in = buildLabels(H, W, t, centre, count, fromEnd);
  LabelMask out(in.size(), kUntouched);
  runFilter(v, H, W, in, out, RoiMask::all(W, H));
  return out[static_cast<std::size_t>(t.r) * W + t.c];
}

// For a pixel of each class: count == threshold and count == threshold + 1,
// for each input label that the rule can change.
void checkCases(Variant v, int H, int W, const std::vector<WindowCase>& cases) {
  struct Expect {
    std::uint8_t centre, atThreshold, aboveThreshold;
  };
  const Expect expects[] = {{255, 255, 170}, {0, 255, 0}, {170, 255, 170}};
  for (const WindowCase& t : cases) {
    for (const Expect& e : expects) {
      for (bool fromEnd : {false, true}) {
        SCOPED_TRACE(std::string(t.name) + " label " + std::to_string(e.centre) +
                     (fromEnd ? " filled from end" : " filled from start"));
        const int cells = (t.r1 - t.r0 + 1) * (t.c1 - t.c0 + 1);
        EXPECT_EQ(labelAfter(v, H, W, t, e.centre, t.threshold, fromEnd), e.atThreshold);
        if (t.threshold + 1 <= cells) {
          EXPECT_EQ(labelAfter(v, H, W, t, e.centre, t.threshold + 1, fromEnd),
                    e.aboveThreshold);
        }
      }
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
      {4, 4, 0, 255},     {5, 4, 0, 0},      {4, 4, 85, 85},    {5, 4, 85, 85},
      {0, 4, 85, 85},     {9, 4, 85, 85},    {4, 4, 170, 255},  {5, 4, 170, 170},
      {4, 4, 255, 255},   {5, 4, 255, 170},  {12, 12, 255, 255}, {13, 12, 255, 170},
      {1, 1, 0, 255},     {2, 1, 0, 0},      {0, 1, 255, 255},  {2, 1, 255, 170},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE("count " + std::to_string(t.count) + " threshold " + std::to_string(t.threshold) +
                 " label " + std::to_string(t.label));
    EXPECT_EQ(coherenceRule(t.count, t.threshold, t.label), t.expected);
  }
}

// The 3x3 class table on a 5-row, 6-column frame.
TEST(Coherence3x3, ClassWindowsAndThresholds) {
  const int H = 5, W = 6;
  checkCases(Variant::Three, H, W,
             {
                 {"interior", 2, 3, 1, 3, 2, 4, 4},
                 {"interior next to top-left", 1, 1, 0, 2, 0, 2, 4},
                 {"interior next to bottom-right", 3, 4, 2, 4, 3, 5, 4},
                 {"top row", 0, 2, 0, 1, 1, 3, 2},
                 {"bottom row", 4, 2, 3, 4, 1, 3, 2},
                 {"left column", 2, 0, 1, 3, 0, 1, 2},
                 {"right column", 2, 5, 1, 3, 4, 5, 2},
                 {"top-left corner", 0, 0, 0, 1, 0, 1, 1},
                 {"top-right corner", 0, 5, 0, 1, 4, 5, 1},
                 {"bottom-left corner", 4, 0, 3, 4, 0, 1, 1},
                 {"bottom-right corner", 4, 5, 3, 4, 4, 5, 1},
             });
}

// The 5x5 class table on a 7-row, 8-column frame.
TEST(Coherence5x5, ClassWindowsAndThresholds) {
  const int H = 7, W = 8;
  checkCases(Variant::Five, H, W,
             {
                 {"interior", 3, 4, 1, 5, 2, 6, 12},
                 {"interior at (2,2)", 2, 2, 0, 4, 0, 4, 12},
                 {"interior at (H-3,W-3)", 4, 5, 2, 6, 3, 7, 12},
                 {"first row", 0, 3, 0, 2, 1, 5, 6},
                 {"second row", 1, 3, 0, 3, 1, 5, 9},
                 {"second-to-last row", 5, 3, 3, 6, 1, 5, 9},
                 {"last row", 6, 4, 4, 6, 2, 6, 6},
                 {"first column", 3, 0, 1, 5, 0, 2, 6},
                 {"second column", 3, 1, 1, 5, 0, 3, 9},
                 {"second-to-last column", 3, 6, 1, 5, 4, 7, 9},
                 {"last column", 3, 7, 1, 5, 5, 7, 6},
                 {"first row at column 2", 0, 2, 0, 2, 0, 4, 6},
                 {"second column at row H-3", 4, 1, 2, 6, 0, 3, 9},
                 {"top-left corner", 0, 0, 0, 1, 0, 1, 1},
                 {"top-right corner", 0, 7, 0, 1, 6, 7, 1},
                 {"bottom-left corner", 6, 0, 5, 6, 0, 1, 1},
                 {"bottom-right corner", 6, 7, 5, 6, 6, 7, 1},
             });
}

// The twelve pixels the 5x5 table does not cover get the 3x3 rule of their
// position: 3x3 top/bottom row, left/right column or interior window.
TEST(Coherence5x5, NearCornerPixelsTakeThe3x3Rule) {
  const int H = 7, W = 8;
  checkCases(Variant::Five, H, W,
             {
                 {"(0,1) as 3x3 top row", 0, 1, 0, 1, 0, 2, 2},
                 {"(1,0) as 3x3 left column", 1, 0, 0, 2, 0, 1, 2},
                 {"(1,1) as 3x3 interior", 1, 1, 0, 2, 0, 2, 4},
                 {"(0,W-2) as 3x3 top row", 0, 6, 0, 1, 5, 7, 2},
                 {"(1,W-2) as 3x3 interior", 1, 6, 0, 2, 5, 7, 4},
                 {"(1,W-1) as 3x3 right column", 1, 7, 0, 2, 6, 7, 2},
                 {"(H-2,0) as 3x3 left column", 5, 0, 4, 6, 0, 1, 2},
                 {"(H-2,1) as 3x3 interior", 5, 1, 4, 6, 0, 2, 4},
                 {"(H-1,1) as 3x3 bottom row", 6, 1, 5, 6, 0, 2, 2},
                 {"(H-2,W-2) as 3x3 interior", 5, 6, 4, 6, 5, 7, 4},
                 {"(H-2,W-1) as 3x3 right column", 5, 7, 4, 6, 6, 7, 2},
                 {"(H-1,W-2) as 3x3 bottom row", 6, 6, 5, 6, 5, 7, 2},
             });
}

// Cases stated in words: isolated pixels, shadows, corners.
TEST(Coherence, WordedExamples) {
  {
    SCOPED_TRACE("3x3: 255 alone among 0 becomes 170; 0 among 255 becomes 255");
    const int H = 3, W = 3;
    LabelMask in(9, 0);
    in[4] = 255;
    LabelMask out(9, kUntouched);
    coherenceFilter3x3(H, W, in, 3, out, RoiMask::all(W, H));
    EXPECT_EQ(out[4], 170);
    in.assign(9, 255);
    in[4] = 0;
    coherenceFilter3x3(H, W, in, 3, out, RoiMask::all(W, H));
    EXPECT_EQ(out[4], 255);
  }
  {
    SCOPED_TRACE("5x5: 255 alone among 24 zeros becomes 170");
    const int H = 5, W = 5;
    LabelMask in(25, 0);
    in[12] = 255;
    LabelMask out(25, kUntouched);
    coherenceFilter5x5(H, W, in, 3, out, RoiMask::all(W, H));
    EXPECT_EQ(out[12], 170);
  }
}

TEST(Coherence, ShadowNeverChangesAndCountsAsBackground) {
  const int H = 5, W = 5;
  for (Variant v : {Variant::Three, Variant::Five}) {
    SCOPED_TRACE(v == Variant::Five ? "5x5" : "3x3");
    for (std::uint8_t around : {0, 85, 170, 255}) {
      LabelMask in(25, around);
      for (std::size_t k = 0; k < in.size(); k += 3) in[k] = 85;
      LabelMask out(25, kUntouched);
      runFilter(v, H, W, in, out, RoiMask::all(W, H));
      for (std::size_t k = 0; k < in.size(); k += 3)
        EXPECT_EQ(out[k], 85) << "pixel " << k << " among " << int(around);
    }
  }
  // An interior 255 of the 3x3 variant with five shadow neighbours: count 5 > 4.
  LabelMask in(25, 255);
  for (std::size_t k : {6, 7, 8, 11, 13}) in[k] = 85;
  LabelMask out(25, kUntouched);
  coherenceFilter3x3(5, 5, in, 3, out, RoiMask::all(5, 5));
  EXPECT_EQ(out[12], 170);
}

TEST(Coherence, PixelsOutsideRoiAreNotWrittenButCounted) {
  const int H = 5, W = 6;
  for (Variant v : {Variant::Three, Variant::Five}) {
    SCOPED_TRACE(v == Variant::Five ? "5x5" : "3x3");
    // ROI: only (2,2); every other label 0 (outside the ROI, as the driver
    // keeps it). The 0s count as background: 255 at (2,2) becomes 170.
    RoiMask roi = RoiMask::all(W, H);
    roi.bytes.assign(roi.bytes.size(), 0);
    roi.bytes[2 * W + 2] = 1;
    LabelMask in(static_cast<std::size_t>(W) * H, 0);
    in[2 * W + 2] = 255;
    LabelMask out(in.size(), kUntouched);
    runFilter(v, H, W, in, out, roi);
    for (std::size_t k = 0; k < out.size(); ++k) {
      if (k == static_cast<std::size_t>(2 * W + 2))
        EXPECT_EQ(out[k], 170);
      else
        EXPECT_EQ(out[k], kUntouched) << "pixel outside the ROI written at index " << k;
    }
  }
}

// Every ROI pixel is written exactly once per call (so nothing is left as it
// was, near-corner pixels of the 5x5 variant included), no non-ROI pixel is
// written, on frames as small as each variant allows.
TEST(Coherence, EveryRoiPixelWrittenOnSmallFrames) {
  struct Size {
    int H, W;
  };
  for (Variant v : {Variant::Three, Variant::Five}) {
    const int side = minFrameSide(v == Variant::Five ? 5 : 3);
    for (Size s : {Size{side, side}, Size{side, side + 1}, Size{side + 1, side}, Size{5, 7}}) {
      SCOPED_TRACE((v == Variant::Five ? "5x5 " : "3x3 ") + std::to_string(s.H) + "x" +
                   std::to_string(s.W));
      const std::size_t N = static_cast<std::size_t>(s.H) * s.W;
      RoiMask roi = RoiMask::all(s.W, s.H);
      for (std::size_t k = 0; k < N; k += 4) roi.bytes[k] = 0;
      LabelMask in(N);
      for (std::size_t k = 0; k < N; ++k) in[k] = static_cast<std::uint8_t>(85 * (k % 4));
      LabelMask out(N, kUntouched);
      runFilter(v, s.H, s.W, in, out, roi);
      for (std::size_t k = 0; k < N; ++k) {
        if (roi.bytes[k] == 0)
          EXPECT_EQ(out[k], kUntouched) << "index " << k;
        else
          EXPECT_NE(out[k], kUntouched) << "ROI pixel left unwritten at index " << k;
      }
    }
  }
}

TEST(Coherence, MinFrameSide) {
  EXPECT_EQ(minFrameSide(5), 4);
  EXPECT_EQ(minFrameSide(3), 2);
  EXPECT_EQ(minFrameSide(7), 2);
  EXPECT_EQ(minFrameSide(0), 2);
}

// ---- The filters against the tables, on whole frames ----------------------
//
// The oracle below transcribes the class tables row by row (pixel set,
// window, threshold) and counts each window cell by cell; the filters'
// interior fast path and border handling must give the same bytes.

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
  // Corners (the table's 2x2 windows) and the twelve near-corner pixels.
  return oracle3x3(r, c, H, W);
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

TEST(Coherence, WholeFramesMatchTheTables) {
  struct Size {
    int H, W;
  };
  const Size sizes[] = {{2, 2}, {2, 5}, {4, 4}, {5, 4}, {4, 5}, {5, 7}, {7, 5},
                        {9, 9}, {7, 321}, {24, 32}};
  const std::uint8_t labels[] = {0, 85, 170, 255};
  std::uint32_t seed = 12345;
  for (Variant v : {Variant::Three, Variant::Five}) {
    for (const Size& s : sizes) {
      if (s.H < minFrameSide(v == Variant::Five ? 5 : 3) ||
          s.W < minFrameSide(v == Variant::Five ? 5 : 3))
        continue;
      for (int density = 1; density <= 3; ++density) {
        const std::size_t N = static_cast<std::size_t>(s.H) * s.W;
        LabelMask inLabels(N);
        RoiMask roi = RoiMask::all(s.W, s.H);
        for (std::size_t k = 0; k < N; ++k) {
          // Foreground density rises with `density`; the ROI has holes.
          const std::uint32_t x = nextRandom(seed);
          inLabels[k] = (x % 4) < static_cast<std::uint32_t>(density) ? 255 : labels[x % 3];
          roi.bytes[k] = (x >> 8) % 5 == 0 ? 0 : 255;
        }
        LabelMask out(N, kUntouched);
        runFilter(v, s.H, s.W, inLabels, out, roi);
        bool reported = false;
        for (int r = 0; r < s.H && !reported; ++r)
          for (int c = 0; c < s.W && !reported; ++c) {
            const std::size_t k = static_cast<std::size_t>(r) * s.W + c;
            const std::uint8_t expected =
                roi.bytes[k] ? oracleLabel(v, r, c, s.H, s.W, inLabels) : kUntouched;
            if (out[k] != expected) {
              ADD_FAILURE() << (v == Variant::Five ? "5x5" : "3x3") << " frame " << s.H << "x"
                            << s.W << " density " << density << ": first mismatch at (" << r
                            << ", " << c << "): got " << int(out[k]) << ", expected "
                            << int(expected);
              reported = true;
            }
          }
      }
    }
  }
}
