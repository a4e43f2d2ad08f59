#include "cli/driver.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>

#include "cli/exit.h"
#include "cli/frame_pipeline.h"
#include "cli/frame_reader.h"
#include "cli/outputs.h"
#include "cli/progress.h"
#include "core/clock.h"
#include "scvardo/scvardo.hpp"

namespace {

struct PhaseTimer {
  bool available = false;
  float frequency = 0.0f;
  std::int64_t total = 0;

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

// The CLI initialises with its first frame and reads the online frames from
// index K on, the first frame itself again when K is 0: for the face that
// is K = 1 (initialise only) whenever K <= 1.
int faceK(int K) { return K < 1 ? 1 : K; }

scvardo::Params faceParams(const RunSetup& s) {
  scvardo::Params p = s.params;
  p.K = faceK(s.range.K);
  return p;
}

class PhaseDriver {
 public:
  explicit PhaseDriver(RunSetup& s) : s_(s), o_(s.outputs) {}

  int run();

 private:
  cv::Mat loadFrame(int f);
  // apply() on a frame already checked against the run's size.
  void apply(const cv::Mat& image, cv::Mat& mask, int f);
  void snapshot(int f);

  RunSetup& s_;
  const OutputChoices& o_;
  cv::Ptr<scvardo::BackgroundSubtractor> bs_;
  std::unique_ptr<FramesAhead> ahead_;
  // Settled before anything else is printed or written, so that its lines
  // and files come in the order of a run in sequence.
  std::unique_ptr<MaskWriter> writer_;
  bool lostOutput_ = false;
  std::unique_ptr<Progress> progress_;
};

// An image-library failure outside decoding: out of memory ends the run
// with status 4, anything else with status 1; both name the frame.
[[noreturn]] void imageLibraryFailure(const cv::Exception* e, const char* what, int f) {
  if (e == nullptr || e->code == cv::Error::StsNoMem)
    failRun(kExitNoMemory, stderr, "Not enough memory for the %s of frame %d\n", what, f);
  failRun(kExitInput, stderr, "Image library failure in the %s of frame %d: %s\n", what, f,
          e->err.c_str());
}

cv::Mat PhaseDriver::loadFrame(int f) {
  std::string name;
  cv::Mat image;
  const ImageRead r = ahead_->take(f, image, name);
  if (r.status == ImageRead::Ok) return image;
  writer_->settle();
  exitForFailedRead(r, name);
  if (r.status == ImageRead::WrongSize)
    failRun(kExitInput, stdout, "Frame %s is %dx%d but the sequence's frames are %dx%d\n",
            name.c_str(), r.size.width, r.size.height, s_.W, s_.H);
  return image;
}

void PhaseDriver::apply(const cv::Mat& image, cv::Mat& mask, int f) {
  try {
    bs_->apply(image, mask);
  } catch (const scvardo::Error& e) {
    writer_->settle();
    failRun(e.kind() == scvardo::Error::Kind::Memory ? kExitNoMemory : kExitInput, stderr, "%s\n",
            e.what());
  } catch (const cv::Exception& e) {
    writer_->settle();
    imageLibraryFailure(&e, "processing", f);
  } catch (const std::bad_alloc&) {
    writer_->settle();
    imageLibraryFailure(nullptr, "processing", f);
  }
}

void PhaseDriver::snapshot(int f) {
  writer_->settle();
  cv::Mat picture;
  try {
    bs_->getModelImage(picture);
  } catch (const cv::Exception& e) {
    imageLibraryFailure(&e, "model snapshot", f);
  } catch (const std::bad_alloc&) {
    imageLibraryFailure(nullptr, "model snapshot", f);
  }
  if (writePpm(picture, snapshotFileName(f)) == 0) lostOutput_ = true;
}

int PhaseDriver::run() {
  const FrameRange& fr = s_.range;
  const int first = fr.firstFrame, K = fr.K;
  // Besides the model: the frames being read ahead, taken and held (about
  // five), the masks in flight with their PNG, and a snapshot's PPM bytes.
  const std::uint64_t pixels = static_cast<std::uint64_t>(s_.W) * static_cast<std::uint64_t>(s_.H);
  const std::uint64_t n = static_cast<std::uint64_t>(s_.params.n);
  const std::string shortfall = scvardo::memoryShortfall(faceParams(s_), cv::Size(s_.W, s_.H),
                                                         19 * pixels + 3 * n * n * pixels);
  if (!shortfall.empty()) failRun(kExitNoMemory, stderr, "%s\n", shortfall.c_str());
  // Only the ROI pixels are processed; the face gets the ROI as an image.
  const cv::Mat roiImage(s_.H, s_.W, CV_8UC1, s_.roi.bytes.data());
  try {
    bs_ = scvardo::createBackgroundSubtractor(faceParams(s_), roiImage);
  } catch (const cv::Exception& e) {
    imageLibraryFailure(&e, "setup", first);
  }
  writer_ = std::make_unique<MaskWriter>();
  ahead_ = std::make_unique<FramesAhead>(s_.paths.framePrefix, cv::Size(s_.W, s_.H), first, K,
                                         static_cast<long long>(fr.lastFrame) - first);

  PhaseTimer calibTimer, onlineTimer;
  const std::int64_t freq = counterFrequency();
  if (freq == 0) {
    std::fputs("\tQueryPerformance not supported: Impossible to compute times\n", stdout);
  } else {
    calibTimer.available = onlineTimer.available = true;
    calibTimer.frequency = onlineTimer.frequency = static_cast<float>(freq);
  }

  // Every frame read, calibration and online alike (K may exceed the range).
  const long long lastIndex = static_cast<long long>(fr.lastFrame) - first;
  progress_ = std::make_unique<Progress>(std::max<long long>(lastIndex + 1, K));
  Progress& progress = *progress_;
  std::int64_t done = 0;

  // Calibration: the first frame initialises, frames 1..K-1 train.
  std::printf("\nTimes for calibration phase on %d frames (from %d to %lld) ...\n", K, first,
              static_cast<long long>(first) + K - 1);
  std::fflush(stdout);
  cv::Mat mask;
  apply(s_.firstFrame, mask, first);
  progress.update(++done);
  s_.firstFrame.release();
  if (o_.saveAllModels != 0) snapshot(first);

  int t = 1;
  for (; t <= K - 1; ++t) {
    cv::Mat image = loadFrame(first + t);
    apply(image, mask, first + t);
    progress.update(++done);
  }
  calibTimer.total = bs_->getPassTimes().calibrationNs;
  if (o_.saveAllModels == 0) snapshot(K > 1 ? static_cast<int>(first + (t - 1LL)) : first);
  progress.clear();
  calibTimer.report(K);
  std::fflush(stdout);

  const int onlineFrames = static_cast<int>(static_cast<long long>(fr.lastFrame) - K - first + 1);
  std::printf("\nTimes for online phase on %d frames (from %lld to %d) ...\n", onlineFrames,
              static_cast<long long>(first) + K, fr.lastFrame);
  std::fflush(stdout);

  // Two masks in turn: the writer still holds the previous one.
  cv::Mat masks[2];
  long long i = K;
  for (; i <= lastIndex; ++i) {
    const int f = static_cast<int>(first + i);
    cv::Mat image = loadFrame(f);
    cv::Mat& out = masks[i & 1];
    apply(image, out, f);
    progress.update(++done);
    if (o_.saveAllModels != 0) snapshot(f);
    if ((o_.lastMaskOnly == 0 && fr.fromIdx <= f && f <= fr.toIdx) || f == fr.lastFrame)
      writer_->submit(out, f);
  }
  writer_->settle();
  if (o_.saveAllModels == 0) snapshot(static_cast<int>(first + i - 1));
  onlineTimer.total = bs_->getPassTimes().onlineNs;
  progress.clear();
  onlineTimer.report(onlineFrames);
  std::fflush(stdout);
  return lostOutput_ || writer_->lost() ? kExitLostOutput : kExitOk;
}

}  // namespace

int runPhases(RunSetup& setup) {
  PhaseDriver driver(setup);
  return driver.run();
}
