// make-sample: writes a small synthetic sequence in the benchmark layout, so
// that the tool can be run and evaluated without the real data.
//
//   make-sample OUTDIR [--frames N] [--size WxH]      (defaults: 150, 160x120)
//
// OUTDIR/input/in%06d.jpg       frames 1..N, 8-bit colour, JPEG quality 95
// OUTDIR/groundtruth/gt%06d.png 8-bit grey: 255 moving object, 50 cast
//                               shadow, 0 static background
// OUTDIR/ROI.bmp                8-bit grey: 255 inside, 0 outside (a band at
//                               the top and the bottom-right corner)
// OUTDIR/temporalROI.txt        "FIRST N" with FIRST = N/3 + 1: the first
//                               third of the frames is for calibration
//
// The scene: a static background of smooth colour gradients and a fixed
// texture; three objects of distinct saturated colours crossing it at
// different speeds (none is in view during the first frames), each casting
// a shadow below and to its right in which the background keeps its hue and
// saturation and has 3/4 of its value; mild sensor noise on every frame.
// Everything is integer arithmetic on a fixed-seed generator of our own, so
// the files are identical from run to run and machine to machine (given the
// same image library).
//
// Exit status: 0 done (one line on stdout says where); 1 a file or directory
// cannot be written (one line on stderr names it); 2 bad usage.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace fs = std::filesystem;

namespace {

constexpr int kDefaultFrames = 150;
constexpr int kDefaultW = 160;
constexpr int kDefaultH = 120;
constexpr int kMinSide = 16;
constexpr int kMaxSide = 4096;
constexpr int kMaxFrames = 999999;
constexpr std::uint64_t kSeed = 0x5C7A4D0ULL;

constexpr std::uint8_t kGtObject = 255;
constexpr std::uint8_t kGtShadow = 50;

// ---- Deterministic generator (splitmix64) ---------------------------------

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

// ---- Options ---------------------------------------------------------------

struct Options {
  std::string outDir;
  int frames = kDefaultFrames;
  int W = kDefaultW;
  int H = kDefaultH;
};

const char* const kUsage = "Usage: make-sample OUTDIR [--frames N] [--size WxH]";

bool parseInt(const char* s, int& out) {
  if (*s == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (errno != 0 || *end != '\0' || v < -2147483647L || v > 2147483647L) return false;
  out = static_cast<int>(v);
  return true;
}

bool parseSize(const std::string& s, int& W, int& H) {
  const std::size_t x = s.find('x');
  if (x == std::string::npos) return false;
  return parseInt(s.substr(0, x).c_str(), W) && parseInt(s.substr(x + 1).c_str(), H);
}

// Fills `opt`; on a usage error prints what is wrong and the usage line.
bool parseOptions(int argc, char** argv, Options& opt) {
  auto fail = [](const std::string& what) {
    std::fprintf(stderr, "make-sample: %s\n%s\n", what.c_str(), kUsage);
    return false;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--frames" || a == "--size") {
      if (i + 1 >= argc) return fail("missing value after " + a);
      const std::string v = argv[++i];
      if (a == "--frames") {
        if (!parseInt(v.c_str(), opt.frames) || opt.frames < 1 || opt.frames > kMaxFrames)
          return fail("--frames needs a whole number from 1 to " + std::to_string(kMaxFrames) +
                      ", not '" + v + "'");
      } else if (!parseSize(v, opt.W, opt.H) || opt.W < kMinSide || opt.H < kMinSide ||
                 opt.W > kMaxSide || opt.H > kMaxSide) {
        return fail("--size needs WxH with each side from " + std::to_string(kMinSide) + " to " +
                    std::to_string(kMaxSide) + ", not '" + v + "'");
      }
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return fail("unknown option " + a);
    } else if (opt.outDir.empty()) {
      opt.outDir = a;
    } else {
      return fail("more than one output directory given");
    }
  }
  if (opt.outDir.empty()) return fail("no output directory given");
  return true;
}

// ---- Scene -----------------------------------------------------------------

struct MovingObject {
  int w, h;        // size in pixels
  int top;         // first row
  int speedQ;      // quarter pixels per frame; negative moves right to left
  int entryFrame;  // frame at which it starts to come into view
  int gap;         // pixels out of view between two crossings
  cv::Vec3b bgr;   // saturated colour
};

struct Scene {
  int W, H;
  int shadowDx, shadowDy;  // shadow = object footprint moved by this much
  std::vector<MovingObject> objects;
  cv::Mat background;  // 8-bit BGR, without noise
};

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

Scene makeScene(int W, int H) {
  Scene s;
  s.W = W;
  s.H = H;
  Rng rng(kSeed);

  // Background: gentle colour gradients (low saturation), a coarse and a
  // fine smooth texture, a fixed per-pixel grain, and a darker road band
  // with lane marks where the objects travel.
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
      s.background.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<std::uint8_t>(clampByte(b)),
                                                    static_cast<std::uint8_t>(clampByte(g)),
                                                    static_cast<std::uint8_t>(clampByte(r)));
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
int objectLeft(const Scene& s, const MovingObject& o, int f) {
  const int span = o.w + s.shadowDx;  // object and shadow together
  const int period = s.W + span + o.gap;
  const int travelled = floorDiv(std::abs(o.speedQ) * (f - o.entryFrame), 4);
  const int m = positiveMod(travelled, period);
  const int x = m - span;  // enters from the left edge, shadow first out of view
  return o.speedQ > 0 ? x : s.W - x - o.w;
}

// Frame f (1-based) and its ground truth.
void renderFrame(const Scene& s, int f, cv::Mat& frame, cv::Mat& gt) {
  const int W = s.W, H = s.H;
  frame = s.background.clone();
  gt.create(H, W, CV_8UC1);
  gt.setTo(0);
  // Shadows first (the background darkened once, however many overlap),
  // then the objects on top.
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
  // Sensor noise: -3..3 per sample, its own stream for every frame.
  Rng noise(kSeed ^ (0xA5A5A5A5ULL * static_cast<std::uint64_t>(f)));
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      cv::Vec3b& p = frame.at<cv::Vec3b>(y, x);
      for (int ch = 0; ch < 3; ++ch)
        p[ch] = static_cast<std::uint8_t>(clampByte(p[ch] + noise.range(-3, 3)));
    }
}

cv::Mat makeRoi(int W, int H) {
  cv::Mat roi(H, W, CV_8UC1, cv::Scalar(255));
  roi(cv::Rect(0, 0, W, H / 8)).setTo(0);                                    // top band
  roi(cv::Rect(W * 4 / 5, H * 3 / 4, W - W * 4 / 5, H - H * 3 / 4)).setTo(0);  // corner
  return roi;
}

// ---- Output ------------------------------------------------------------------

// Writes `bytes` to `path`, every write and the close checked; on failure
// prints one line naming the file, removes what was written and returns false.
bool writeBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::fprintf(stderr, "make-sample: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (ok) ok = std::fflush(f) == 0;
  int err = ok ? 0 : (errno != 0 ? errno : EIO);
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    std::fprintf(stderr, "make-sample: cannot write %s: %s\n", path.c_str(), std::strerror(err));
    std::remove(path.c_str());
  }
  return ok;
}

bool writeImage(const std::string& path, const cv::Mat& image, const std::vector<int>& params = {}) {
  std::vector<unsigned char> bytes;
  const std::string ext = path.substr(path.rfind('.'));
  if (!cv::imencode(ext, image, bytes, params)) {
    std::fprintf(stderr, "make-sample: cannot encode %s\n", path.c_str());
    return false;
  }
  return writeBytes(path, bytes);
}

std::string numbered(const std::string& dir, const char* format, int f) {
  char name[64];
  std::snprintf(name, sizeof name, format, f);
  return dir + "/" + name;
}

bool makeDirectory(const std::string& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir)) {
    std::fprintf(stderr, "make-sample: cannot create directory %s: %s\n", dir.c_str(),
                 ec ? ec.message().c_str() : "not a directory");
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!parseOptions(argc, argv, opt)) return 2;
  const std::string inputDir = opt.outDir + "/input";
  const std::string gtDir = opt.outDir + "/groundtruth";
  if (!makeDirectory(opt.outDir) || !makeDirectory(inputDir) || !makeDirectory(gtDir)) return 1;

  const Scene scene = makeScene(opt.W, opt.H);
  const std::vector<int> jpegParams{cv::IMWRITE_JPEG_QUALITY, 95};
  cv::Mat frame, gt;
  for (int f = 1; f <= opt.frames; ++f) {
    renderFrame(scene, f, frame, gt);
    if (!writeImage(numbered(inputDir, "in%06d.jpg", f), frame, jpegParams)) return 1;
    if (!writeImage(numbered(gtDir, "gt%06d.png", f), gt)) return 1;
  }
  if (!writeImage(opt.outDir + "/ROI.bmp", makeRoi(opt.W, opt.H))) return 1;
  const std::string range = std::to_string(opt.frames / 3 + 1) + " " + std::to_string(opt.frames) + "\n";
  if (!writeBytes(opt.outDir + "/temporalROI.txt", std::vector<unsigned char>(range.begin(), range.end())))
    return 1;

  std::printf("Sample sequence of %d frames (%dx%d) written to %s\n", opt.frames, opt.W, opt.H,
              opt.outDir.c_str());
  return 0;
}
