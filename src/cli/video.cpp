#include "cli/video.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "cli/exit.h"
#include "cli/help.h"
#include "cli/progress.h"
#include "cli/switches.h"
#include "core/output_file.h"
#include "scvardo/scvardo.hpp"

namespace fs = std::filesystem;

namespace {

// The usage text; the model switches come from the parameter table.
std::string usage() {
  std::string text =
      "Usage: sc-vardo-video INPUT [options]\n"
      "       sc-vardo-video --help | -h | --version\n"
      "\n"
      "INPUT: a video file, a camera index (0 is the first camera) or a folder of\n"
      "images, taken in name order. Frames are numbered from 1 in input order; the\n"
      "first K frames calibrate the model and get no mask.\n"
      "\n"
      "Outputs (none by default):\n"
      "  --out DIR            a mask bin%06d.png for every frame after calibration\n"
      "  --mask-video FILE    the masks as a video (.avi: MJPG, .mp4: mp4v)\n"
      "  --overlay FILE       the frames with the foreground tinted red, as a video\n"
      "  --save-model FILE    the model at the end: binary when FILE ends in .scvm\n"
      "                       (fast), else text by its extension (.yml, .yml.gz ...)\n"
      "  --load-model FILE    go on from a saved model (any of those formats): the\n"
      "                       model switches and the ROI come from the file; a model\n"
      "                       saved after calibration gives every frame a mask\n"
      "  --roi FILE           grey image, nonzero where pixels are processed\n"
      "  --fps X              frame rate of the written videos, in (0, 1000]\n"
      "                       (default: the input's, else 25)\n"
      "\n"
      "Model switches, as for sc-vardo (K: two seconds of a 25 fps video; the scene\n"
      "should be mostly empty during them):\n";
  text += helpLines(parameterSwitches(scvardo::Params(), true));
  text +=
      "  --help, -h    this text\n"
      "  --version     the version\n"
      "\n"
      "A progress line is drawn on standard error when it is a terminal. Ctrl-C ends\n"
      "the run after the current frame, with every written file complete (status 0).\n"
      "\n";
  text += kExitStatusHelp;
  return text;
}

volatile std::sig_atomic_t interrupted = 0;
extern "C" void onInterrupt(int) { interrupted = 1; }

struct Options {
  std::string input;
  std::string outDir, maskVideo, overlayVideo, saveModel, loadModel, roi;
  double fps = 0.0;
  scvardo::Params params;
  bool modelSwitches = false;
};

[[noreturn]] void fail(int status, const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "sc-vardo-video: %s\n", message.c_str());
  throw RunExit{status};
}

// Whole words only: "12x" or "" is a bad value, not 12 or 0.
long long integerValue(const std::string& name, const char* text) {
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX)
    fail(kExitSwitch, "invalid value \"" + std::string(text) + "\" for " + name + ": an integer is needed");
  return v;
}

// The decimal grammar of sc-vardo's reals: no nan, inf or hex floats.
double realValue(const std::string& name, const char* text) {
  errno = 0;
  const double v = isDecimalReal(text) ? std::strtod(text, nullptr) : 0.0;
  if (!isDecimalReal(text) || errno != 0 || !std::isfinite(v))
    fail(kExitSwitch, "invalid value \"" + std::string(text) + "\" for " + name + ": a number is needed");
  return v;
}

const scvardo::ParamSpec* parameterOf(const std::string& word) {
  for (const scvardo::ParamSpec& row : scvardo::paramTable())
    if (row.cliSwitch != nullptr && word == row.cliSwitch) return &row;
  return nullptr;
}

// Returns false after --help or --version. Every word is checked before
// anything is opened.
bool parseOptions(int argc, char** argv, Options& o) {
  scvardo::Params& p = o.params;
  const std::pair<const char*, std::string*> texts[] = {
      {"--out", &o.outDir}, {"--mask-video", &o.maskVideo}, {"--overlay", &o.overlayVideo},
      {"--save-model", &o.saveModel}, {"--load-model", &o.loadModel}, {"--roi", &o.roi}};

  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(usage().c_str(), stdout);
      return false;
    }
    if (a == "--version") {
      std::printf("sc-vardo-video %s\n", scvardo::version());
      return false;
    }
  }
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.size() > 1 && a[0] == '-' && !std::isdigit(static_cast<unsigned char>(a[1]))) {
      const scvardo::ParamSpec* row = parameterOf(a);
      const auto text = std::find_if(std::begin(texts), std::end(texts), [&](const auto& t) { return a == t.first; });
      if (row == nullptr && text == std::end(texts) && a != "--fps")
        fail(kExitSwitch, "unknown switch " + a + " (see sc-vardo-video --help)");
      const bool flag = row != nullptr && row->type == scvardo::ParamSpec::Type::Flag;
      if (!flag && i + 1 >= argc) fail(kExitSwitch, "missing value for " + a);
      const char* value = flag ? "1" : argv[++i];
      if (row != nullptr) {
        row->set(p, row->whole() ? static_cast<double>(integerValue(a, value)) : realValue(a, value));
        // Threads change the speed only, so they go with a loaded model too.
        if (row->change != scvardo::ParamSpec::Change::AnyTime) o.modelSwitches = true;
      } else if (text != std::end(texts)) {
        if (*value == '\0') fail(kExitSwitch, "empty value for " + a);
        *text->second = value;
      } else {
        o.fps = realValue(a, value);
        if (!(o.fps > 0.0 && o.fps <= 1000.0)) fail(kExitSwitch, "invalid value for --fps: it must be in (0, 1000]");
      }
      continue;
    }
    if (!o.input.empty()) fail(kExitSwitch, "more than one input: \"" + o.input + "\" and \"" + a + "\"");
    o.input = a;
  }
  if (o.input.empty()) {
    std::fputs(usage().c_str(), stderr);
    throw RunExit{kExitSwitch};
  }
  if (!o.loadModel.empty() && o.modelSwitches)
    fail(kExitSwitch, "model switches cannot be combined with --load-model: the model file holds them");
  if (!o.loadModel.empty() && !o.roi.empty())
    fail(kExitSwitch, "--roi cannot be combined with --load-model: the model file holds the ROI");
  if (const scvardo::ParamSpec* bad = scvardo::firstOutOfRange(p))
    fail(kExitSwitch, "invalid value " + bad->format(bad->get(p)) + " for " + bad->cliSwitch +
                          ": it must be " + bad->range);
  return true;
}

bool isImageName(const fs::path& p) {
  std::string ext = p.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  static const char* const kinds[] = {".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff",
                                      ".ppm", ".pgm", ".webp"};
  return std::find_if(std::begin(kinds), std::end(kinds), [&](const char* k) { return ext == k; }) !=
         std::end(kinds);
}

// Frames from a folder of images (name order), a camera or a video file.
class FrameSource {
 public:
  explicit FrameSource(const std::string& input) {
    std::error_code ec;
    if (fs::is_directory(input, ec)) {
      for (const fs::directory_entry& e : fs::directory_iterator(input, ec))
        if (isImageName(e.path())) files_.push_back(e.path().string());
      if (ec) fail(kExitInput, "cannot list folder " + input + ": " + ec.message());
      std::sort(files_.begin(), files_.end());
      if (files_.empty()) fail(kExitInput, "folder " + input + " holds no image");
      folder_ = true;
      return;
    }
    camera_ = !input.empty() && std::all_of(input.begin(), input.end(),
                                            [](unsigned char c) { return std::isdigit(c); });
    if (camera_ ? !capture_.open(std::atoi(input.c_str())) : !capture_.open(input, cv::CAP_ANY))
      fail(kExitInput, (camera_ ? "cannot open camera " : "cannot open video ") + input);
  }

  bool camera() const { return camera_; }
  // Frame count when known, else 0.
  std::int64_t total() const {
    if (folder_) return static_cast<std::int64_t>(files_.size());
    if (camera_) return 0;
    const double n = capture_.get(cv::CAP_PROP_FRAME_COUNT);
    return n > 0 ? static_cast<std::int64_t>(n) : 0;
  }
  double fps() const {
    const double f = folder_ ? 0.0 : capture_.get(cv::CAP_PROP_FPS);
    return f > 0 && f <= 1000 ? f : 25.0;
  }
  // False at the end of the input; a folder's unreadable image ends the run.
  bool read(cv::Mat& frame) {
    if (folder_) {
      if (next_ >= files_.size()) return false;
      const std::string& name = files_[next_++];
      frame = cv::imread(name, cv::IMREAD_COLOR);
      if (frame.empty()) fail(kExitInput, "cannot read image " + name);
      return true;
    }
    return capture_.read(frame) && !frame.empty();
  }

 private:
  bool folder_ = false, camera_ = false;
  std::vector<std::string> files_;
  std::size_t next_ = 0;
  cv::VideoCapture capture_;
};

int fourccFor(const std::string& file) {
  std::string ext = fs::path(file).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  if (ext == ".mp4" || ext == ".m4v" || ext == ".mov") return cv::VideoWriter::fourcc('m', 'p', '4', 'v');
  return cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
}

class VideoOut {
 public:
  // Opened on the first frame, when the size is known.
  void write(const std::string& file, const cv::Mat& image, double fps) {
    if (!writer_.isOpened() &&
        !writer_.open(file, fourccFor(file), fps, image.size(), image.channels() == 3))
      fail(kExitLostOutput, "cannot write video " + file);
    writer_.write(image);
  }
  void release() { writer_.release(); }

 private:
  cv::VideoWriter writer_;
};

// The frame with the foreground blended half way towards red.
void tint(const cv::Mat& frame, const cv::Mat& mask, cv::Mat& out) {
  frame.copyTo(out);
  for (int r = 0; r < out.rows; ++r) {
    cv::Vec3b* px = out.ptr<cv::Vec3b>(r);
    const std::uint8_t* m = mask.ptr(r);
    for (int c = 0; c < out.cols; ++c)
      if (m[c] != 0) px[c] = cv::Vec3b(px[c][0] / 2, px[c][1] / 2, static_cast<uchar>(px[c][2] / 2 + 128));
  }
}

bool saveMaskPng(const std::string& dir, std::int64_t index, const cv::Mat& mask) {
  char name[32];
  std::snprintf(name, sizeof name, "bin%06lld.png", static_cast<long long>(index));
  const std::string path = (fs::path(dir) / name).string();
  std::vector<uchar> bytes;
  if (!cv::imencode(".png", mask, bytes)) {
    std::fprintf(stderr, "sc-vardo-video: cannot encode %s\n", path.c_str());
    return false;
  }
  const WriteOutcome out = writeFileAtomic(path, bytes.data(), bytes.size());
  if (!out) std::fprintf(stderr, "sc-vardo-video: cannot write %s: %s\n", path.c_str(), out.why.c_str());
  return static_cast<bool>(out);
}

int exitFor(const scvardo::Error& e) {
  switch (e.kind()) {
    case scvardo::Error::Kind::Parameter: return kExitSwitch;
    case scvardo::Error::Kind::Input: return kExitInput;
    case scvardo::Error::Kind::Memory: return kExitNoMemory;
    case scvardo::Error::Kind::Output: return kExitLostOutput;
    case scvardo::Error::Kind::Unreadable: return kExitInput;
  }
  return kExitInput;
}

// A saved or loaded model that is still calibrating gets no mask for its
// next frames: say so.
void noteCalibration(const scvardo::BackgroundSubtractor& bs, const std::string& file) {
  const long long seen = bs.getFrameCount(), K = bs.getParams().K;
  if (seen < K)
    std::fprintf(stderr, "sc-vardo-video: %s: the model has seen %lld of its %lld calibration frames\n",
                 file.c_str(), seen, K);
}

int run(const Options& o) {
  cv::Mat roi;
  if (!o.roi.empty()) {
    roi = cv::imread(o.roi, cv::IMREAD_GRAYSCALE);
    if (roi.empty()) fail(kExitInput, "cannot read ROI image " + o.roi);
  }
  cv::Ptr<scvardo::BackgroundSubtractor> bs;
  try {
    if (o.loadModel.empty()) {
      bs = scvardo::createBackgroundSubtractor(o.params, roi);
    } else {
      bs = scvardo::load(o.loadModel);
      bs->setThreads(o.params.threads);
      noteCalibration(*bs, o.loadModel);
    }
  } catch (const scvardo::Error& e) {
    fail(exitFor(e), e.what());
  }
  if (!o.outDir.empty()) {
    std::error_code ec;
    fs::create_directories(o.outDir, ec);
    if (!fs::is_directory(o.outDir, ec)) fail(kExitLostOutput, "cannot create folder " + o.outDir);
  }

  FrameSource source(o.input);
  const double fps = o.fps > 0 ? o.fps : source.fps();
  // The first Ctrl-C finishes the current frame; a second one kills.
  struct sigaction sa = {};
  sa.sa_handler = onInterrupt;
  sa.sa_flags = SA_RESETHAND;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  VideoOut maskVideo, overlayVideo;
  Progress progress(source.total());
  const int K = bs->getParams().K;
  bool lost = false;
  std::int64_t index = 0, masks = 0;
  cv::Mat frame, mask, overlay;
  try {
    while (!interrupted && source.read(frame)) {
      ++index;
      bs->apply(frame, mask);
      // A model loaded after calibration detects every frame.
      if (bs->getFrameCount() > K) {
        if (!o.outDir.empty() && !saveMaskPng(o.outDir, index, mask)) lost = true;
        if (!o.maskVideo.empty()) maskVideo.write(o.maskVideo, mask, fps);
        if (!o.overlayVideo.empty()) {
          tint(frame, mask, overlay);
          overlayVideo.write(o.overlayVideo, overlay, fps);
        }
        ++masks;
      }
      progress.update(index);
    }
  } catch (const scvardo::Error& e) {
    progress.clear();
    maskVideo.release();
    overlayVideo.release();
    fail(exitFor(e), "frame " + std::to_string(index) + ": " + e.what());
  } catch (const RunExit&) {
    progress.clear();
    maskVideo.release();
    overlayVideo.release();
    throw;
  }
  progress.clear();
  maskVideo.release();
  overlayVideo.release();
  if (index == 0) fail(kExitInput, "no frame could be read from " + o.input);
  if (!o.saveModel.empty()) {
    noteCalibration(*bs, o.saveModel);
    try {
      bs->save(o.saveModel);
    } catch (const scvardo::Error& e) {
      std::fprintf(stderr, "sc-vardo-video: %s\n", e.what());
      lost = true;
    }
  }
  std::printf("%lld frames, %lld masks%s\n", static_cast<long long>(index),
              static_cast<long long>(masks), interrupted ? " (interrupted)" : "");
  return lost ? kExitLostOutput : kExitOk;
}

}  // namespace

int runVideo(int argc, char** argv) {
  // Our own lines name the input and the outputs; keep OpenCV's log quiet.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  try {
    Options o;
    if (!parseOptions(argc, argv, o)) return kExitOk;
    return run(o);
  } catch (const RunExit& e) {
    return e.status;
  } catch (const std::bad_alloc&) {
    std::fputs("sc-vardo-video: not enough memory\n", stderr);
    return kExitNoMemory;
  } catch (const cv::Exception& e) {
    std::fprintf(stderr, "sc-vardo-video: %s\n", e.what());
    return kExitInput;
  }
}
