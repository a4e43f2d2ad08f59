// make-sample: writes a small synthetic sequence in the benchmark layout, so
// that the tool can be run and evaluated without the real data.
//
//   make-sample OUTDIR [--scene NAME] [--frames N] [--size WxH]
//
// OUTDIR/input/in%06d.jpg       frames 1..N, 8-bit colour, JPEG quality 95
// OUTDIR/groundtruth/gt%06d.png 8-bit grey: 255 moving object, 50 cast
//                               shadow, 170 unknown, 0 static background
// OUTDIR/ROI.bmp                8-bit grey: 255 inside, 0 outside
// OUTDIR/temporalROI.txt        "FIRST N" with FIRST = N/3 + 1: the first
//                               third of the frames is for calibration
//
// The scenes (tools/scenes.h; 160x120 by default):
//   traffic   (150 frames, the default) a still background of smooth colour
//             gradients and a fixed texture; three objects of distinct
//             saturated colours crossing it at different speeds (none in
//             view during the first frames), each casting a shadow below and
//             to its right in which the background keeps its hue and
//             saturation and has 3/4 of its value; mild sensor noise. Its
//             ROI leaves out a band at the top and the bottom-right corner.
//   swaying   (240) the upper rows are foliage swinging in gusts, tufts
//             fluttering on their own, with sky showing through; the lower
//             rows water with travelling ripples, glints and random sun
//             sparkles; a person walks along the path between them and a
//             boat crosses the water.
//   moved     (420) a parcel that was there from the start is carried a
//             little way and left there; its old and new places are
//             unknown for a while (5 s at 30 fps in the full-length scene)
//             and background afterwards. Someone walks past now and then.
//   stopping  (360) a person walks in, stands for a quarter of the frames
//             (shifting from foot to foot, breathing), and walks on; motion
//             throughout.
//   noisy     (150) the traffic scene under strong sensor noise that grows
//             from the left edge to the right.
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

#include "scenes.h"

namespace fs = std::filesystem;

namespace {

constexpr int kDefaultW = 160;
constexpr int kDefaultH = 120;
constexpr int kMinSide = 16;
constexpr int kMaxSide = 4096;
constexpr int kMaxFrames = 999999;

// ---- Options ---------------------------------------------------------------

struct Options {
  std::string outDir;
  scenes::Kind scene = scenes::Kind::Traffic;
  int frames = 0;  // 0: the scene's own
  int W = kDefaultW;
  int H = kDefaultH;
};

const char* const kUsage = "Usage: make-sample OUTDIR [--scene NAME] [--frames N] [--size WxH]";

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
    if (a == "--frames" || a == "--size" || a == "--scene") {
      if (i + 1 >= argc) return fail("missing value after " + a);
      const std::string v = argv[++i];
      if (a == "--scene") {
        if (!scenes::kindFromName(v, opt.scene))
          return fail("--scene needs one of " + std::string(scenes::kindList()) + ", not '" + v + "'");
      } else if (a == "--frames") {
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

  if (opt.frames == 0) opt.frames = scenes::defaultFrames(opt.scene);
  const scenes::Scene scene(opt.scene, opt.W, opt.H, opt.frames);
  const std::vector<int> jpegParams{cv::IMWRITE_JPEG_QUALITY, 95};
  cv::Mat frame, gt;
  for (int f = 1; f <= opt.frames; ++f) {
    scene.render(f, frame, gt);
    if (!writeImage(numbered(inputDir, "in%06d.jpg", f), frame, jpegParams)) return 1;
    if (!writeImage(numbered(gtDir, "gt%06d.png", f), gt)) return 1;
  }
  if (!writeImage(opt.outDir + "/ROI.bmp", scene.roi())) return 1;
  const std::string range = std::to_string(scene.firstScored()) + " " + std::to_string(opt.frames) + "\n";
  if (!writeBytes(opt.outDir + "/temporalROI.txt", std::vector<unsigned char>(range.begin(), range.end())))
    return 1;

  std::printf("Sample sequence of %d frames (%dx%d) written to %s\n", opt.frames, opt.W, opt.H,
              opt.outDir.c_str());
  return 0;
}
