// scvardo-model-file SEQDIR [ROUNDS]: save and load times and file sizes of
// a model at 360x240 and 1280x720, the binary .scvm against the .yml.gz
// text, with OpenCV's MOG2 and SC-VARDO per frame on the same frames for
// scale (MOG2 cannot save its model).
//
// The frames are SEQDIR/input/in%06d.jpg from 1 on, resized to each size;
// the model (defaults, K = 50) sees 60 of them, so it is past calibration.
// Each save and load goes through the public face (save(), scvardo::load)
// to a scratch folder under /tmp, the page cache warm; .scvm is timed
// ROUNDS times (default 5) and the medians given, .yml.gz once (it takes
// tens of seconds at 1280x720). One markdown table goes to standard output.
//
// Exit status: 0 done, 1 a file cannot be read or written, 2 bad usage.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/background_segm.hpp>

#include "machine.h"
#include "model/simd.h"
#include "scvardo/scvardo.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t k = v.size() / 2;
  return v.size() % 2 ? v[k] : (v[k - 1] + v[k]) / 2;
}

double megabytes(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<double>(st.st_size) / 1e6 : 0.0;
}

constexpr int kFrames = 60;

// Save and load times (ms, median of `rounds`) and the file's size.
struct Timing {
  double saveMs, loadMs, mb;
};

Timing timeFormat(const cv::Ptr<scvardo::BackgroundSubtractor>& bs, const std::string& file, int rounds) {
  std::vector<double> saves, loads;
  for (int r = 0; r < rounds; ++r) {
    Clock::time_point t = Clock::now();
    bs->save(file);
    saves.push_back(msSince(t));
    t = Clock::now();
    const cv::Ptr<scvardo::BackgroundSubtractor> back = scvardo::load(file);
    loads.push_back(msSince(t));
    if (back->getFrameCount() != bs->getFrameCount()) throw std::runtime_error(file + " did not load back");
  }
  Timing out{median(saves), median(loads), megabytes(file)};
  std::filesystem::remove(file);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: scvardo-model-file SEQDIR [ROUNDS]\n");
    return 2;
  }
  const std::string seq = argv[1];
  const int rounds = argc == 3 ? std::atoi(argv[2]) : 5;
  if (rounds < 1) {
    std::fprintf(stderr, "scvardo-model-file: ROUNDS must be 1 or more\n");
    return 2;
  }
  std::vector<cv::Mat> frames;
  for (int f = 1; f <= kFrames; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "/input/in%06d.jpg", f);
    cv::Mat frame = cv::imread(seq + name, cv::IMREAD_COLOR);
    if (frame.empty()) {
      std::fprintf(stderr, "scvardo-model-file: cannot read %s%s\n", seq.c_str(), name);
      return 1;
    }
    frames.push_back(frame);
  }
  char tmpl[] = "/tmp/scvardo-model-file-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) {
    std::perror("scvardo-model-file: mkdtemp");
    return 1;
  }
  const std::string dir = tmpl;
  const std::string loadBefore = loadAverage();

  std::printf("| frame size | format | file MB | model floats MB | save ms | load ms | rounds |"
              " SC-VARDO ms/frame | MOG2 ms/frame |\n|---|---|---:|---:|---:|---:|---:|---:|---:|\n");
  try {
    for (const cv::Size size : {cv::Size(360, 240), cv::Size(1280, 720)}) {
      std::vector<cv::Mat> sized(frames.size());
      for (std::size_t i = 0; i < frames.size(); ++i) cv::resize(frames[i], sized[i], size, 0, 0, cv::INTER_AREA);
      cv::Ptr<scvardo::BackgroundSubtractor> bs = scvardo::createBackgroundSubtractor();
      cv::Ptr<cv::BackgroundSubtractorMOG2> mog2 = cv::createBackgroundSubtractorMOG2();
      cv::Mat mask;
      Clock::time_point t = Clock::now();
      for (const cv::Mat& f : sized) bs->apply(f, mask);
      const double ours = msSince(t) / kFrames;
      t = Clock::now();
      for (const cv::Mat& f : sized) mog2->apply(f, mask);
      const double theirs = msSince(t) / kFrames;
      const double floatsMb = 3.0 * 9 * size.area() * 4 / 1e6;
      for (const char* ext : {".scvm", ".yml.gz"}) {
        const int n = std::string(ext) == ".scvm" ? rounds : 1;
        const Timing tm = timeFormat(bs, dir + "/model" + ext, n);
        std::printf("| %dx%d | %s | %.1f | %.1f | %.1f | %.1f | %d | %.2f | %.2f |\n", size.width, size.height,
                    ext, tm.mb, floatsMb, tm.saveMs, tm.loadMs, n, ours, theirs);
        std::fflush(stdout);
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "scvardo-model-file: %s\n", e.what());
    std::filesystem::remove_all(dir);
    return 1;
  }
  std::filesystem::remove_all(dir);
  std::printf("\nMachine: %s, %u hardware threads, passes on the %s path; OpenCV %s; "
              "load average %s before, %s after.\n",
              cpuName().c_str(), std::thread::hardware_concurrency(), isaName(activeIsa()), CV_VERSION,
              loadBefore.c_str(), loadAverage().c_str());
  return 0;
}
