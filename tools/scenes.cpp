#include "scenes.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace scenes {
namespace {

constexpr std::uint64_t kSeed = 0x5C7A4D0ULL;
constexpr std::uint8_t kGtObject = 255;
constexpr std::uint8_t kGtUnknown = 170;
constexpr std::uint8_t kGtShadow = 50;

// ---- Deterministic generator (splitmix64) and integer helpers --------------

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // Uniform in lo..hi (inclusive); the tiny modulo bias does not matter here.
  int range(int lo, int hi) {
    return lo + static_cast<int>(next() % static_cast<std::uint64_t>(hi - lo + 1));
  }

 private:
  std::uint64_t state_;
};

int clampByte(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }
int floorDiv(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
int positiveMod(int a, int b) { return ((a % b) + b) % b; }

// 1000 sin(2 pi k / 32): waves without floating point, the same everywhere.
constexpr int kSine[32] = {0,     195,  383,  556,  707,  831,  924,  981,  1000, 981,  924,
                           831,   707,  556,  383,  195,  0,    -195, -383, -556, -707, -831,
                           -924,  -981, -1000, -981, -924, -831, -707, -556, -383, -195};
int sine(int phase) { return kSine[positiveMod(phase, 32)]; }

cv::Vec3b bgr(int b, int g, int r) {
  return cv::Vec3b(static_cast<std::uint8_t>(clampByte(b)), static_cast<std::uint8_t>(clampByte(g)),
                   static_cast<std::uint8_t>(clampByte(r)));
}

// Smooth value noise: random lattice values every `cell` pixels, blended
// bilinearly in integers. Result in -amp..amp.
std::vector<int> valueNoise(int W, int H, int cell, int amp, Rng& rng) {
  const int gw = W / cell + 2, gh = H / cell + 2;
  std::vector<int> lattice(static_cast<std::size_t>(gw) * gh);
  for (int& v : lattice) v = rng.range(-amp, amp);
  std::vector<int> out(static_cast<std::size_t>(W) * H);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const int gx = x / cell, gy = y / cell, fx = x % cell, fy = y % cell;
      auto at = [&](int i, int j) { return lattice[static_cast<std::size_t>(j) * gw + i]; };
      const int top = at(gx, gy) * (cell - fx) + at(gx + 1, gy) * fx;
      const int bottom = at(gx, gy + 1) * (cell - fx) + at(gx + 1, gy + 1) * fx;
      out[static_cast<std::size_t>(y) * W + x] = (top * (cell - fy) + bottom * fy) / (cell * cell);
    }
  return out;
}

// ---- Traffic: objects with cast shadows crossing a road ---------------------

struct MovingObject {
  int w, h;        // size in pixels
  int top;         // first row
  int speedQ;      // quarter pixels per frame; negative moves right to left
  int entryFrame;  // frame at which it starts to come into view
  int gap;         // pixels out of view between two crossings
  cv::Vec3b bgr;   // saturated colour
};

struct Traffic {
  int W = 0, H = 0;
  int shadowDx = 0, shadowDy = 0;  // shadow = object footprint moved by this much
  std::vector<MovingObject> objects;
  cv::Mat background;  // 8-bit BGR, without noise
};

// Background: gentle colour gradients (low saturation), a coarse and a fine
// smooth texture, a fixed per-pixel grain, and a darker road band with lane
// marks where the objects travel.
Traffic makeTraffic(int W, int H) {
  Traffic s;
  s.W = W;
  s.H = H;
  Rng rng(kSeed);
  const std::vector<int> coarse = valueNoise(W, H, 16, 14, rng);
  const std::vector<int> fine = valueNoise(W, H, 4, 8, rng);
  const int roadTop = H * 27 / 100, roadBottom = H * 92 / 100;
  s.background.create(H, W, CV_8UC3);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const std::size_t k = static_cast<std::size_t>(y) * W + x;
      const int gx = x * 255 / (W - 1), gy = y * 255 / (H - 1);
      const int t = coarse[k] + fine[k] + rng.range(-4, 4);
      int r = 110 + gx * 40 / 255 - gy * 20 / 255 + t;
      int g = 120 + gy * 30 / 255 + t;
      int b = 105 - gx * 25 / 255 + gy * 35 / 255 + t;
      if (y >= roadTop && y < roadBottom) {
        r = r * 4 / 5 + 8;
        g = g * 4 / 5 + 8;
        b = b * 4 / 5 + 12;
        // Faint dashed lane marks between the lanes.
        const bool mark = (y == H * 47 / 100 || y == H * 67 / 100) && (x / 6) % 2 == 0;
        if (mark) {
          r += 45;
          g += 45;
          b += 40;
        }
      }
      s.background.at<cv::Vec3b>(y, x) = bgr(b, g, r);
    }

  // Objects: red, green and blue, in three lanes, at 1.5, 2.5 (leftwards)
  // and 4 pixels per frame on a 160-pixel-wide frame.
  s.shadowDx = W / 24 + 1;
  s.shadowDy = H / 14 + 1;
  struct ObjectTrack {
    int widthPermille, heightPermille, topPermille, speedQ160, entryFrame;
    cv::Vec3b bgr;
  };
  const ObjectTrack tracks[] = {
      {170, 125, 300, 6, 6, cv::Vec3b(40, 35, 225)},    // red
      {140, 110, 500, -10, 10, cv::Vec3b(50, 205, 45)},  // green
      {190, 135, 700, 16, 16, cv::Vec3b(230, 80, 30)},   // blue
  };
  for (const ObjectTrack& sp : tracks) {
    MovingObject o;
    o.w = W * sp.widthPermille / 1000;
    o.h = H * sp.heightPermille / 1000;
    o.top = H * sp.topPermille / 1000;
    o.speedQ = sp.speedQ160 * W / 160;
    if (o.speedQ == 0) o.speedQ = sp.speedQ160 > 0 ? 1 : -1;
    o.entryFrame = sp.entryFrame;
    // Enough room out of view that it stays out from frame 1 until entryFrame.
    o.gap = std::abs(o.speedQ) * o.entryFrame / 4 + 2 + W / 4;
    o.bgr = sp.bgr;
    s.objects.push_back(o);
  }
  return s;
}

// Column of the object's left edge in frame f.
int objectLeft(const Traffic& s, const MovingObject& o, int f) {
  const int span = o.w + s.shadowDx;  // object and shadow together
  const int period = s.W + span + o.gap;
  const int travelled = floorDiv(std::abs(o.speedQ) * (f - o.entryFrame), 4);
  const int m = positiveMod(travelled, period);
  const int x = m - span;  // enters from the left edge, shadow first out of view
  return o.speedQ > 0 ? x : s.W - x - o.w;
}

// Frame f without noise: shadows first (the background darkened once,
// however many overlap), then the objects on top.
void renderTraffic(const Traffic& s, int f, cv::Mat& frame, cv::Mat& gt) {
  const int W = s.W, H = s.H;
  frame = s.background.clone();
  gt.create(H, W, CV_8UC1);
  gt.setTo(0);
  for (const MovingObject& o : s.objects) {
    const int x0 = objectLeft(s, o, f) + s.shadowDx, y0 = o.top + s.shadowDy;
    for (int y = std::max(0, y0); y < std::min(H, y0 + o.h); ++y)
      for (int x = std::max(0, x0); x < std::min(W, x0 + o.w); ++x) gt.at<std::uint8_t>(y, x) = kGtShadow;
  }
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      if (gt.at<std::uint8_t>(y, x) == kGtShadow) {
        cv::Vec3b& p = frame.at<cv::Vec3b>(y, x);
        for (int ch = 0; ch < 3; ++ch) p[ch] = static_cast<std::uint8_t>(p[ch] * 3 / 4);
      }
  for (const MovingObject& o : s.objects) {
    const int x0 = objectLeft(s, o, f), y0 = o.top;
    for (int y = std::max(0, y0); y < std::min(H, y0 + o.h); ++y) {
      // Slight shading from top to bottom: 100% down to about 85%.
      const int shade = 100 - 15 * (y - y0) / std::max(1, o.h - 1);
      for (int x = std::max(0, x0); x < std::min(W, x0 + o.w); ++x) {
        cv::Vec3b& p = frame.at<cv::Vec3b>(y, x);
        for (int ch = 0; ch < 3; ++ch) p[ch] = static_cast<std::uint8_t>(o.bgr[ch] * shade / 100);
        gt.at<std::uint8_t>(y, x) = kGtObject;
      }
    }
  }
}

cv::Mat trafficRoi(int W, int H) {
  cv::Mat roi(H, W, CV_8UC1, cv::Scalar(255));
  roi(cv::Rect(0, 0, W, H / 8)).setTo(0);                                    // top band
  roi(cv::Rect(W * 4 / 5, H * 3 / 4, W - W * 4 / 5, H - H * 3 / 4)).setTo(0);  // corner
  return roi;
}

// Sensor noise of frame f: a triangular -amp..amp per sample, amp growing
// from `left` at column 0 to `right` at the last column; every frame its own
// stream. amp 3 everywhere is uniform -3..3, the traffic scene's mild noise.
void addNoise(int f, int left, int right, cv::Mat& frame) {
  Rng noise(kSeed ^ (0xA5A5A5A5ULL * static_cast<std::uint64_t>(f)));
  const int W = frame.cols;
  for (int y = 0; y < frame.rows; ++y)
    for (int x = 0; x < W; ++x) {
      const int amp = left + (right - left) * x / std::max(1, W - 1);
      cv::Vec3b& p = frame.at<cv::Vec3b>(y, x);
      for (int ch = 0; ch < 3; ++ch) {
        const int e = amp <= 3 ? noise.range(-amp, amp)
                               : noise.range(-amp / 2, amp / 2) + noise.range(-(amp - amp / 2), amp - amp / 2);
        p[ch] = static_cast<std::uint8_t>(clampByte(p[ch] + e));
      }
    }
}

// ---- People and boxes ------------------------------------------------------

struct Figure {
  int w, h;
  cv::Vec3b skin, shirt, trousers;
};

// A person with its top-left corner at (x0, y0): head, striped shirt (the
// stripes moved down by `breath` rows), two legs whose stride follows `step`
// (0..3). Every painted pixel is motion.
void paintPerson(const Figure& p, int x0, int y0, int step, cv::Mat& frame, cv::Mat& gt,
                 int breath = 0) {
  const int headH = std::max(2, p.h / 6), torsoH = std::max(2, p.h * 2 / 5);
  const int headW = std::max(2, p.w / 2), legW = std::max(1, p.w * 2 / 5);
  const int stride = (step % 4 == 1 || step % 4 == 3) ? 0 : (step % 4 == 0 ? 1 : -1);
  auto put = [&](int x, int y, const cv::Vec3b& c) {
    if (x < 0 || y < 0 || x >= frame.cols || y >= frame.rows) return;
    frame.at<cv::Vec3b>(y, x) = c;
    gt.at<std::uint8_t>(y, x) = kGtObject;
  };
  for (int y = 0; y < p.h; ++y)
    for (int x = 0; x < p.w; ++x) {
      if (y < headH) {
        if (x >= (p.w - headW) / 2 && x < (p.w - headW) / 2 + headW) put(x0 + x, y0 + y, p.skin);
      } else if (y < headH + torsoH) {
        const int lift = ((y + 3 - breath) / 3) % 2 == 0 ? 0 : 28;  // stripes
        put(x0 + x, y0 + y, bgr(p.shirt[0] + lift, p.shirt[1] + lift, p.shirt[2] + lift));
      } else {
        const int spread = stride * (y - headH - torsoH) * legW / std::max(1, p.h - headH - torsoH);
        const bool left = x - spread < legW, right = x + spread >= p.w - legW;
        if (left || right) put(x0 + x, y0 + y, p.trousers);
      }
    }
}

// A parcel: brown with a lighter tape band and a darker rim; labelled
// motion in `gt` when one is given.
void paintParcel(int x0, int y0, int w, int h, cv::Mat& frame, cv::Mat* gt) {
  for (int y = std::max(0, y0); y < std::min(frame.rows, y0 + h); ++y)
    for (int x = std::max(0, x0); x < std::min(frame.cols, x0 + w); ++x) {
      const int u = x - x0, v = y - y0;
      const bool rim = u == 0 || v == 0 || u == w - 1 || v == h - 1;
      const bool tape = std::abs(2 * u - w) < w / 4;
      frame.at<cv::Vec3b>(y, x) = rim ? bgr(25, 55, 95) : tape ? bgr(120, 170, 205) : bgr(45, 95, 150);
      if (gt) gt->at<std::uint8_t>(y, x) = kGtObject;
    }
}

// Left edge of something crossing from the left, `w` wide, in view from
// frame `entry` on and again every (W + w + gap) / speed frames.
int crossingLeft(int W, int w, int speedQ, int entry, int gap, int f) {
  const int travelled = floorDiv(speedQ * (f - entry), 4);
  return positiveMod(travelled, W + w + gap) - w;
}

// ---- Swaying: foliage and water moving behind a walker and a boat ---------

struct Swaying {
  int W = 0, H = 0, foliageH = 0, waterTop = 0, pad = 0;
  std::vector<cv::Vec3b> foliage;  // (W + 2 pad) x (foliageH + 2 pad)
  cv::Mat ground;                  // the still rows, 8-bit BGR
  Figure walker;
  int calibration = 0;
};

Swaying makeSwaying(int W, int H, int frames) {
  Swaying s;
  s.W = W;
  s.H = H;
  s.foliageH = H * 45 / 100;
  s.waterTop = H * 62 / 100;
  s.pad = 8;
  s.calibration = frames / 3;
  Rng rng(kSeed ^ 0x51A1ULL);
  const int fw = W + 2 * s.pad, fh = s.foliageH + 2 * s.pad;
  const std::vector<int> leaves = valueNoise(fw, fh, 5, 60, rng);
  const std::vector<int> twigs = valueNoise(fw, fh, 2, 30, rng);
  s.foliage.resize(static_cast<std::size_t>(fw) * fh);
  for (std::size_t k = 0; k < s.foliage.size(); ++k) {
    const int t = leaves[k] + twigs[k];
    // Gaps where the sky shows through the leaves.
    s.foliage[k] = t > 38 ? bgr(225 + t / 8, 200 + t / 8, 165) : bgr(35 + t / 3, 105 + t, 55 + t / 2);
  }
  const std::vector<int> grain = valueNoise(W, H, 4, 10, rng);
  s.ground.create(H, W, CV_8UC3);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const int t = grain[static_cast<std::size_t>(y) * W + x] + rng.range(-3, 3);
      s.ground.at<cv::Vec3b>(y, x) = bgr(95 + t, 125 + t, 140 + t - y * 20 / H);
    }
  s.walker = Figure{std::max(3, W * 9 / 100), H * 42 / 100, bgr(120, 160, 215), bgr(70, 45, 170),
                    bgr(60, 45, 40)};
  return s;
}

void renderSwaying(const Swaying& s, int f, cv::Mat& frame, cv::Mat& gt) {
  const int W = s.W, H = s.H, fw = W + 2 * s.pad;
  frame = s.ground.clone();
  gt.create(H, W, CV_8UC1);
  gt.setTo(0);
  Rng flutter(kSeed ^ (0x3C3CULL * static_cast<std::uint64_t>(f)));
  // Foliage: each row swings sideways, the top rows most, in gusts; every
  // 4x4 tuft of leaves also flutters on its own by a pixel.
  const int gust = 1000 + sine(f / 3) / 2;
  std::vector<int> tuft(static_cast<std::size_t>((W / 4 + 1) * (s.foliageH / 4 + 1)));
  for (int& t : tuft) t = flutter.range(-1, 1);
  for (int y = 0; y < s.foliageH; ++y) {
    const int amp = 2 + 5 * (s.foliageH - y) / s.foliageH;
    const int dx = amp * sine(2 * f + y / 6) / 1000 * gust / 1000;
    for (int x = 0; x < W; ++x) {
      const int own = tuft[static_cast<std::size_t>(y / 4) * (W / 4 + 1) + x / 4];
      const int dy = sine(3 * f + x / 9) / 1000 + own;
      const int fx = std::min(std::max(x + s.pad + dx + own, 0), fw - 1);
      const int fy = std::min(std::max(y + s.pad + dy, 0), s.foliageH + 2 * s.pad - 1);
      frame.at<cv::Vec3b>(y, x) = s.foliage[static_cast<std::size_t>(fy) * fw + fx];
    }
  }
  // Water: two travelling ripples lighten and darken it, glints where both
  // crest, and sun sparkles in random 2x2 spots.
  for (int y = s.waterTop; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const int wave = sine(x + 3 * y + 2 * f) + sine(2 * x - 4 * y + 3 * f + 7);
      const int lift = wave * 45 / 2000 + (wave > 1400 ? 70 : 0);
      frame.at<cv::Vec3b>(y, x) = bgr(130 + lift, 95 + lift, 60 + lift - (y - s.waterTop) / 2);
    }
  for (int y = s.waterTop; y + 1 < H; y += 2)
    for (int x = 0; x + 1 < W; x += 2)
      if (flutter.range(0, 99) < 8) frame(cv::Rect(x, y, 2, 2)) += cv::Scalar(90, 90, 90);
  // A walker along the path, in front of the lower leaves; a boat on the water.
  const int entry = s.calibration + 4;
  const int wx = crossingLeft(W, s.walker.w, 6 * W / 160, entry, W / 3, f);
  if (f >= entry) paintPerson(s.walker, wx, s.waterTop - s.walker.h, (wx / 3) & 3, frame, gt);
  const int boatW = W * 22 / 100, boatH = std::max(3, H * 10 / 100), boatTop = H * 80 / 100;
  const int bx = W - boatW - crossingLeft(W, boatW, 4 * W / 160, entry + 20, W / 4, f);
  if (f >= entry + 20)
    for (int y = boatTop; y < std::min(H, boatTop + boatH); ++y)
      for (int x = std::max(0, bx); x < std::min(W, bx + boatW); ++x) {
        const bool cabin = y < boatTop + boatH / 2 && x - bx > boatW / 3 && x - bx < boatW * 2 / 3;
        const bool hull = y >= boatTop + boatH / 2;
        if (!cabin && !hull) continue;
        frame.at<cv::Vec3b>(y, x) = hull ? bgr(200, 205, 215) : bgr(40, 70, 150);
        gt.at<std::uint8_t>(y, x) = kGtObject;
      }
}

// ---- Moved: a parcel carried a little way and left there -------------------

struct Moved {
  Traffic street;  // its background; no traffic
  int frames = 0, moveStart = 0, moveEnd = 0, settled = 0;
  int parcelW = 0, parcelH = 0, parcelTop = 0, fromX = 0, toX = 0;
  Figure walker;
};

Moved makeMoved(int W, int H, int frames) {
  Moved s;
  s.street = makeTraffic(W, H);
  s.frames = frames;
  s.moveStart = frames * 2 / 5;
  s.moveEnd = s.moveStart + std::max(2, frames / 28);
  // How long a change may take to be learnt before it counts: 5 seconds at
  // 30 frames per second in the full-length scene.
  s.settled = s.moveEnd + frames * 9 / 25;
  s.parcelW = std::max(3, W * 14 / 100);
  s.parcelH = std::max(3, H * 16 / 100);
  s.parcelTop = H * 60 / 100;
  s.fromX = W * 20 / 100;
  s.toX = W * 55 / 100;
  s.walker = Figure{std::max(3, W * 8 / 100), H * 36 / 100, bgr(110, 150, 200), bgr(150, 110, 40),
                    bgr(50, 50, 55)};
  return s;
}

void renderMoved(const Moved& s, int f, cv::Mat& frame, cv::Mat& gt) {
  frame = s.street.background.clone();
  gt.create(s.street.H, s.street.W, CV_8UC1);
  gt.setTo(0);
  // While the change is fresh both places are unknown: the spot it left and
  // the spot it stays at.
  if (f >= s.moveStart && f < s.settled) {
    for (int x : {s.fromX, s.toX})
      gt(cv::Rect(x, s.parcelTop, s.parcelW, s.parcelH) & cv::Rect(0, 0, gt.cols, gt.rows)).setTo(kGtUnknown);
  }
  const bool carried = f >= s.moveStart && f < s.moveEnd;
  const int x = f < s.moveStart ? s.fromX
                : carried      ? s.fromX + (s.toX - s.fromX) * (f - s.moveStart) / (s.moveEnd - s.moveStart)
                               : s.toX;
  paintParcel(x, s.parcelTop, s.parcelW, s.parcelH, frame, carried ? &gt : nullptr);
  // Someone walks past above it now and then.
  const int entry = s.frames / 3 + 2;
  const int wx = crossingLeft(s.street.W, s.walker.w, 5 * s.street.W / 160, entry, s.street.W / 2, f);
  if (f >= entry) paintPerson(s.walker, wx, s.street.H * 15 / 100, (wx / 3) & 3, frame, gt);
}

// ---- Stopping: a person who stands still for a while -----------------------

struct Stopping {
  Traffic street;
  int enter = 0, arrive = 0, leave = 0, standX = 0, speed = 0;
  Figure person;
};

Stopping makeStopping(int W, int H, int frames) {
  Stopping s;
  s.street = makeTraffic(W, H);
  s.person = Figure{std::max(3, W * 9 / 100), H * 42 / 100, bgr(100, 140, 190), bgr(60, 60, 175),
                    bgr(45, 40, 40)};
  s.speed = std::max(1, W / 80);
  s.standX = (W - s.person.w) / 2;
  s.enter = frames / 3 + 4;
  s.arrive = s.enter + (s.standX + s.person.w) / s.speed;
  s.leave = s.arrive + frames / 4;
  return s;
}

void renderStopping(const Stopping& s, int f, cv::Mat& frame, cv::Mat& gt) {
  frame = s.street.background.clone();
  gt.create(s.street.H, s.street.W, CV_8UC1);
  gt.setTo(0);
  if (f < s.enter) return;
  int x = -s.person.w + (f - s.enter) * s.speed, step = (f / 3) & 3, breath = 0;
  if (f >= s.arrive && f < s.leave) {
    // Standing, but not as still as a post: the weight shifts from foot to
    // foot and the chest rises and falls.
    const int sway[6] = {0, 1, 1, 0, -1, -1};
    x = s.standX + sway[((f - s.arrive) / 6) % 6];
    step = 1;
    breath = ((f - s.arrive) / 8) % 3;
  } else if (f >= s.leave) {
    x = s.standX + (f - s.leave) * s.speed;
  }
  paintPerson(s.person, x, s.street.H * 85 / 100 - s.person.h, step, frame, gt, breath);
}

}  // namespace

// ---- The face ----------------------------------------------------------------

struct Scene::Impl {
  Kind kind;
  int W, H, frames;
  Traffic traffic;
  Swaying swaying;
  Moved moved;
  Stopping stopping;
};

bool kindFromName(const std::string& name, Kind& kind) {
  const struct {
    const char* name;
    Kind kind;
  } kinds[] = {{"traffic", Kind::Traffic},   {"swaying", Kind::Swaying}, {"moved", Kind::Moved},
               {"stopping", Kind::Stopping}, {"noisy", Kind::Noisy}};
  for (const auto& k : kinds)
    if (name == k.name) {
      kind = k.kind;
      return true;
    }
  return false;
}

const char* kindList() { return "traffic, swaying, moved, stopping, noisy"; }

int defaultFrames(Kind kind) {
  switch (kind) {
    case Kind::Swaying: return 240;
    case Kind::Moved: return 420;
    case Kind::Stopping: return 360;
    default: return 150;
  }
}

Scene::Scene(Kind kind, int W, int H, int frames) : impl_(new Impl{kind, W, H, frames, {}, {}, {}, {}}) {
  switch (kind) {
    case Kind::Traffic:
    case Kind::Noisy: impl_->traffic = makeTraffic(W, H); break;
    case Kind::Swaying: impl_->swaying = makeSwaying(W, H, frames); break;
    case Kind::Moved: impl_->moved = makeMoved(W, H, frames); break;
    case Kind::Stopping: impl_->stopping = makeStopping(W, H, frames); break;
  }
}

Scene::~Scene() { delete impl_; }

void Scene::render(int f, cv::Mat& frame, cv::Mat& gt) const {
  switch (impl_->kind) {
    case Kind::Traffic:
    case Kind::Noisy: renderTraffic(impl_->traffic, f, frame, gt); break;
    case Kind::Swaying: renderSwaying(impl_->swaying, f, frame, gt); break;
    case Kind::Moved: renderMoved(impl_->moved, f, frame, gt); break;
    case Kind::Stopping: renderStopping(impl_->stopping, f, frame, gt); break;
  }
  // Mild sensor noise everywhere; strong, growing to the right, in the noisy scene.
  if (impl_->kind == Kind::Noisy)
    addNoise(f, 6, 30, frame);
  else
    addNoise(f, 3, 3, frame);
}

cv::Mat Scene::roi() const {
  if (impl_->kind == Kind::Traffic || impl_->kind == Kind::Noisy) return trafficRoi(impl_->W, impl_->H);
  return cv::Mat(impl_->H, impl_->W, CV_8UC1, cv::Scalar(255));
}

int Scene::firstScored() const { return impl_->frames / 3 + 1; }

}  // namespace scenes
