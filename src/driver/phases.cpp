#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <new>
#include <utility>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "colour/colour.h"
#include "driver/driver.h"
#include "mask/mask.h"
#include "model/model.h"

namespace {

struct PhaseTimer {
  bool available = false;
  float frequency = 0.0f;
  std::int64_t total = 0;
  std::int64_t start = 0;

  void begin() {
    if (available) start = counterNow();
  }
  void end() {
    if (available) total += counterNow() - start;
  }
  void report(int frames) const {
    if (!available) {
      std::fputs("  unable to compute times\n", stdout);
      return;
    }
    const double totalMs = static_cast<double>(total) / frequency * 1000.0;
    // A phase without frames reports 0 rather than a division by zero.
    double perFrame = frames > 0 ? totalMs / frames : 0.0;
    double rate = perFrame > 0.0 ? 1000.0 / perFrame : 0.0;
    if (!std::isfinite(perFrame)) perFrame = 0.0;
    if (!std::isfinite(rate)) rate = 0.0;
    std::printf("  VARDO-CF (no I/O): %.4f\tmsecs\t(%.4f msecs/frame\t%.2f fps)\n", totalMs,
                perFrame, rate);
  }
};

class PhaseDriver {
 public:
  explicit PhaseDriver(RunSetup& s) : s_(s), p_(s.params), roi_(s.roi) {}

  int run();

 private:
  cv::Mat loadFrame(int f);
  void convert(const cv::Mat& image, int f);
  void snapshot(int f);

  RunSetup& s_;
  const RunParams& p_;
  const RoiMask& roi_;
  FloatPlanesHandle frame_, current_, next_;
  BytePlanesHandle snapshotImage_;
  bool lostOutput_ = false;
};

cv::Mat PhaseDriver::loadFrame(int f) {
  const std::string name = frameFileName(s_.paths.framePrefix, f);
  cv::Mat image = cv::imread(name, cv::IMREAD_COLOR);
  if (image.empty()) {
    std::printf("Unable to read expected file %s\n", name.c_str());
    std::fflush(stdout);
    throw RunExit{kExitInput};
  }
  return image;
}

void PhaseDriver::convert(const cv::Mat& image, int f) {
  if (!convertFrame(image, *frame_, roi_)) {
    std::printf("Frame %s is %dx%d but the sequence's frames are %dx%d\n",
                frameFileName(s_.paths.framePrefix, f).c_str(), image.cols, image.rows, s_.W,
                s_.H);
    std::fflush(stdout);
    throw RunExit{kExitInput};
  }
}

void PhaseDriver::snapshot(int f) {
  const int n = p_.n;
  const std::size_t cells = static_cast<std::size_t>(n) * n * s_.W * s_.H;
  renderSnapshot(*current_, cells, *snapshotImage_);
  if (writePpm(n * s_.H, n * s_.W, *snapshotImage_, snapshotFileName(f)) == 0) lostOutput_ = true;
}

int PhaseDriver::run() {
  const int W = s_.W, H = s_.H, n = p_.n;
  const FrameRange& fr = s_.range;
  const int first = fr.firstFrame, K = fr.K;
  const std::string shortfall = memoryShortfall(W, H, n);
  if (!shortfall.empty()) {
    std::fprintf(stderr, "%s\n", shortfall.c_str());
    throw RunExit{kExitNoMemory};
  }
  const std::size_t N = static_cast<std::size_t>(W) * H;
  const std::size_t cells = N * n * n;

  // A. Preparation.
  frame_ = newFloatPlanes(3, N);
  current_ = newFloatPlanes(3, cells);
  next_ = newFloatPlanes(3, cells);
  snapshotImage_ = newBytePlanes(3, cells);
  PhaseTimer calibTimer, onlineTimer;
  const std::int64_t freq = counterFrequency();
  if (freq == 0) {
    std::fputs("\tQueryPerformance not supported: Impossible to compute times\n", stdout);
  } else {
    calibTimer.available = onlineTimer.available = true;
    calibTimer.frequency = onlineTimer.frequency = static_cast<float>(freq);
  }

  // B. Calibration.
  std::printf("\nTimes for calibration phase on %d frames (from %d to %lld) ...\n", K, first,
              static_cast<long long>(first) + K - 1);
  std::fflush(stdout);
  convert(s_.firstFrame, first);
  initModel(*current_, *frame_, H, W, n, roi_);
  copyPlanes(*current_, cells, *next_);
  s_.firstFrame.release();
  if (p_.saveAllModels != 0) snapshot(first);

  WeightKernel kernel(n);
  buildWeightKernel(n, kernelSpread(n), kernel);
  const BaseRates rates = baseRates(p_.c1, p_.c2, n);
  AlphaTable alpha(n);
  LabelMask labels(N, 0);

  int t = 1;
  for (; t <= K - 1; ++t) {
    cv::Mat image = loadFrame(first + t);
    convert(image, first + t);
    buildAlphaTable(n, calibrationRate(t, K, rates), kernel, alpha);
    calibTimer.begin();
    calibrationPass(*frame_, H, W, *current_, labels, alpha, n, p_.e1, *next_, p_, roi_);
    calibTimer.end();
    copyPlanes(*next_, cells, *current_);
  }
  if (p_.saveAllModels == 0) snapshot(K > 1 ? static_cast<int>(first + (t - 1LL)) : first);
  calibTimer.report(K);
  std::fflush(stdout);

  // C. Between the phases.
  cv::Mat maskImage(H, W, CV_8UC1);
  const int onlineFrames = static_cast<int>(static_cast<long long>(fr.lastFrame) - K - first + 1);
  std::printf("\nTimes for online phase on %d frames (from %lld to %d) ...\n", onlineFrames,
              static_cast<long long>(first) + K, fr.lastFrame);
  std::fflush(stdout);
  buildAlphaTable(n, onlineRate(rates), kernel, alpha);
  std::vector<int> matchRow(N, 0), matchCol(N, 0);
  LabelMask spare(N, 0);

  // D. Online phase.
  const long long lastIndex = static_cast<long long>(fr.lastFrame) - first;
  long long i = K;
  for (; i <= lastIndex; ++i) {
    const int f = static_cast<int>(first + i);
    cv::Mat image = loadFrame(f);
    convert(image, f);
    onlineTimer.begin();
    detectionPass(*frame_, H, W, *current_, n, p_.e2, labels, matchRow, matchCol, p_, roi_);
    if (p_.Cw == 5)
      coherenceFilter5x5(H, W, labels, n, spare, roi_);
    else
      coherenceFilter3x3(H, W, labels, n, spare, roi_);
    std::swap(labels, spare);
    updatePass(*frame_, H, W, *current_, labels, alpha, n, matchRow, matchCol, *next_, roi_);
    onlineTimer.end();
    copyPlanes(*next_, cells, *current_);
    if (p_.saveAllModels != 0) snapshot(f);
    if ((p_.lastMaskOnly == 0 && fr.fromIdx <= f && f <= fr.toIdx) || f == fr.lastFrame) {
      labelsToMask(labels, maskImage);
      if (!saveMask(maskImage, f, p_.medianWidth)) lostOutput_ = true;
    }
  }
  if (p_.saveAllModels == 0) snapshot(static_cast<int>(first + i - 1));
  onlineTimer.report(onlineFrames);
  std::fflush(stdout);

  // F. Teardown.
  freePlanes(frame_, 3);
  freePlanes(current_, 3);
  freePlanes(next_, 3);
  freePlanes(snapshotImage_, 3);
  return lostOutput_ ? kExitLostOutput : kExitOk;
}

}  // namespace

std::string frameFileName(const std::string& prefix, int f) {
  char number[32];
  std::snprintf(number, sizeof number, "%.6d", f);
  return prefix + number + ".jpg";
}

std::string memoryShortfall(int W, int H, int n) {
  const unsigned __int128 N = static_cast<unsigned __int128>(W) * static_cast<unsigned>(H);
  const unsigned __int128 cells = N * static_cast<unsigned>(n) * static_cast<unsigned>(n);
  // Frame and two models (floats), snapshot (bytes), two label buffers,
  // winner rows and columns (ints), mask image.
  const unsigned __int128 need =
      3 * N * 4 + 2 * 3 * cells * 4 + 3 * cells + 2 * N + 2 * N * 4 + N;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  const unsigned __int128 have =
      pages > 0 && pageSize > 0
          ? static_cast<unsigned __int128>(pages) * static_cast<unsigned long>(pageSize)
          : ~static_cast<unsigned __int128>(0);
  // Linux overcommits: a model larger than the machine would be accepted by
  // the allocator and the run killed midway, so compare before allocating.
  if (cells <= static_cast<unsigned __int128>(PTRDIFF_MAX / 4) && need <= have) return "";
  const double gib = 1024.0 * 1024.0 * 1024.0;
  char line[256];
  std::snprintf(line, sizeof line,
                "Not enough memory: %dx%d frames with n=%d need %.1f GiB of buffers, this "
                "machine has %.1f GiB",
                W, H, n, static_cast<double>(need) / gib, static_cast<double>(have) / gib);
  return line;
}

int runPhases(RunSetup& setup) {
  PhaseDriver driver(setup);
  return driver.run();
}

int runMain(int argc, char** argv) {
  try {
    RunSetup setup;
    if (!runSetup(argc, argv, setup)) return kExitOk;
    return runPhases(setup);
  } catch (const RunExit& e) {
    std::fflush(stdout);
    return e.status;
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fputs("Not enough memory for the run's buffers\n", stderr);
    return kExitNoMemory;
  }
}
