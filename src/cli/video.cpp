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
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core/utils/logger.hpp>

#include "cli/exit.h"
#include "cli/frame_reader.h"
#include "cli/help.h"
#include "cli/outputs.h"
#include "cli/progress.h"
#include "cli/run_record.h"
#include "cli/switches.h"
#include "cli/video_out.h"
#include "cli/video_source.h"
#include "core/failure.h"
#include "core/output_file.h"
#include "core/paths.h"
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
      "images, taken in name order (hidden files skipped). Frames are numbered from\n"
      "1 in input order; the first K frames calibrate the model and get no mask.\n"
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
      "Each output is written whole or not at all, and none may name an input or\n"
      "another output (status 2, before anything is read); --save-model may name\n"
      "the --load-model file, replaced once the new model is complete.\n"
      "\n"
      "Model switches, as for sc-vardo (K: two seconds of a 25 fps video; the scene\n"
      "should be mostly empty during them):\n";
  text += helpLines(parameterSwitches(scvardo::Params(), true));
  text +=
      "  --help, -h    this text\n"
      "  --version     the version\n"
      "\n"
      "A progress line is drawn on standard error when it is a terminal. Ctrl-C\n"
      "(SIGINT), SIGTERM or SIGHUP ends the run after the current frame: the videos\n"
      "and the model are finished and saved, then the status is 128+N; a second\n"
      "signal ends it at once, removing what was not complete. With --out, the\n"
      "folder holds .sc-vardo.lock while the run writes into it (one run at a time)\n"
      "and the record of the run, sc-vardo-run.txt.\n"
      "\n";
  text += kExitStatusHelp;
  text += "128+N: ended by signal N, after finishing its files.\n";
  return text;
}

struct Options {
  std::string input;
  std::string outDir, maskVideo, overlayVideo, saveModel, loadModel, roi;
  double fps = 0.0;
  scvardo::Params params;
  bool modelSwitches = false;
};

constexpr const char* kPrefix = "sc-vardo-video: ";

[[noreturn]] void fail(int status, const std::string& message) {
  clearActiveProgress();
  std::fflush(stdout);
  std::fprintf(stderr, "%s%s\n", kPrefix, message.c_str());
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
      std::printf("sc-vardo-video %s (instruction set %s)\n", scvardo::version(),
                  scvardo::instructionSet());
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
    std::fprintf(stderr, "%s%s: the model has seen %lld of its %lld calibration frames\n", kPrefix,
                 file.c_str(), seen, K);
}

// Before anything is read: no output may be an input or another output,
// nor a file output a folder (status 2).
void checkPaths(const Options& o, const FrameSource& source) {
  std::vector<NamedPath> inputs;
  if (!source.camera()) inputs.push_back({"the input", o.input});
  if (!o.roi.empty()) inputs.push_back({"--roi", o.roi});
  // Saving over the model loaded is how a model is brought up to date.
  if (!o.loadModel.empty() && !(!o.saveModel.empty() && sameFile(o.loadModel, o.saveModel)))
    inputs.push_back({"--load-model", o.loadModel});
  std::vector<NamedPath> files, folders;
  if (!o.maskVideo.empty()) files.push_back({"--mask-video", o.maskVideo});
  if (!o.overlayVideo.empty()) files.push_back({"--overlay", o.overlayVideo});
  if (!o.saveModel.empty()) files.push_back({"--save-model", o.saveModel});
  if (!o.outDir.empty()) folders.push_back({"--out", o.outDir});
  // In an input folder, a file named like an image is one of its frames,
  // now or in the next run.
  if (source.folder())
    for (const NamedPath& f : files) {
      const std::string name = fs::path(f.path).filename().string();
      if (isImageName(name) && sameFile(folderOf(f.path).empty() ? "." : folderOf(f.path), o.input))
        inputs.push_back({"a frame of the input", (fs::path(o.input) / name).string()});
    }
  const std::string clash = pathClash(inputs, files, folders);
  if (!clash.empty()) fail(kExitSwitch, clash);
}

const char* signalName(int sig) {
  switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
  }
  return "a signal";
}

// The outputs of a run, made before its first frame: the --out folder with
// its lock and record, and the temporaries of the videos and the model (so
// that a folder that cannot take them fails at once, status 3).
struct Outputs {
  RunGuard guard;
  VideoOut maskVideo, overlayVideo;
  PendingFile model;

  // The files first: a destination that cannot be written leaves no
  // trace, not even the --out folder.
  void open(const Options& o, int argc, char** argv) {
    for (const std::string* file : {&o.maskVideo, &o.overlayVideo, &o.saveModel})
      if (!file->empty()) removeStaleTemporariesSaying(folderOf(*file), kPrefix);
    for (auto [video, file] : {std::pair{&maskVideo, &o.maskVideo}, std::pair{&overlayVideo, &o.overlayVideo}})
      if (!file->empty()) {
        const std::string why = video->reserve(*file);
        if (!why.empty()) fail(kExitLostOutput, why);
      }
    if (!o.saveModel.empty()) {
      const WriteOutcome out = model.create(o.saveModel);
      if (!out) fail(kExitLostOutput, "cannot write model file " + o.saveModel + ": " + out.why);
    }
    if (!o.outDir.empty()) {
      std::error_code ec;
      fs::create_directories(o.outDir, ec);
      if (!fs::is_directory(o.outDir, ec)) fail(kExitLostOutput, "cannot create folder " + o.outDir);
      guard.start(o.outDir, "sc-vardo-video", kPrefix, argc, argv, o.input, pathLines(o.params));
    }
  }
};

class VideoRun {
 public:
  VideoRun(const Options& o, cv::Ptr<scvardo::BackgroundSubtractor> bs, Outputs& out)
      : o_(o), bs_(std::move(bs)), out_(out) {}

  // Every frame until the input ends, a signal or a failure; then the
  // videos and the model are finished. Returns the exit status.
  int run(FrameSource& source);

 private:
  // One line on stderr; the first failure's status is the run's.
  void failed(int status, const std::string& line) {
    clearActiveProgress();
    std::fflush(stdout);
    std::fprintf(stderr, "%s%s\n", kPrefix, line.c_str());
    if (status_ == kExitOk) status_ = status;
  }
  // False when the run ends at this frame.
  bool process(const cv::Mat& frame, double fps);
  void finishFiles();

  const Options& o_;
  cv::Ptr<scvardo::BackgroundSubtractor> bs_;
  Outputs& out_;
  int status_ = kExitOk;
  bool lost_ = false;
  std::int64_t index_ = 0, masks_ = 0;
  cv::Mat mask_, overlay_;
  std::string saved_;
};

bool VideoRun::process(const cv::Mat& frame, double fps) {
  if (index_ == 0 && bs_->empty()) {
    // A few decoded frames, the mask, the overlay and the encoded outputs
    // besides the model.
    const std::uint64_t pixels = static_cast<std::uint64_t>(frame.cols) * static_cast<std::uint64_t>(frame.rows);
    const std::string shortfall = scvardo::memoryShortfall(bs_->getParams(), frame.size(), 16 * pixels);
    if (!shortfall.empty()) {
      failed(kExitNoMemory, shortfall);
      return false;
    }
  }
  try {
    bs_->apply(frame, mask_);
  } catch (const scvardo::Error& e) {
    failed(exitFor(e), "frame " + std::to_string(index_ + 1) + ": " + e.what());
    return false;
  }
  ++index_;
  // A model loaded after calibration detects every frame.
  if (bs_->getFrameCount() <= bs_->getParams().K) return true;
  std::string failure;
  if (!o_.outDir.empty() && !saveMaskIn(o_.outDir, mask_, index_, &failure)) {
    std::fprintf(stderr, "%s%s", kPrefix, failure.c_str());
    lost_ = true;
  }
  std::string broken;
  if (out_.maskVideo.wanted()) broken = out_.maskVideo.write(mask_, fps);
  if (broken.empty() && out_.overlayVideo.wanted()) {
    tint(frame, mask_, overlay_);
    broken = out_.overlayVideo.write(overlay_, fps);
  }
  if (!broken.empty()) {
    failed(kExitLostOutput, broken);
    return false;
  }
  ++masks_;
  return true;
}

void VideoRun::finishFiles() {
  for (VideoOut* video : {&out_.maskVideo, &out_.overlayVideo}) {
    const std::string why = video->finish();
    if (!why.empty()) {
      std::fprintf(stderr, "%s%s\n", kPrefix, why.c_str());
      lost_ = true;
    }
  }
  if (o_.saveModel.empty()) return;
  out_.model.discard();  // the folder takes it; the face's save writes its own temporary
  saved_ = "; model not saved";
  if (index_ == 0) return;
  std::printf("saving model to %s\n", o_.saveModel.c_str());
  std::fflush(stdout);
  noteCalibration(*bs_, o_.saveModel);
  try {
    bs_->save(o_.saveModel);
    saved_ = "; model saved to " + o_.saveModel;
  } catch (const scvardo::Error& e) {
    std::fprintf(stderr, "%s%s\n", kPrefix, e.what());
    lost_ = true;
  }
}

int VideoRun::run(FrameSource& source) {
  const double fps = o_.fps > 0 ? o_.fps : source.fps();
  {
    Progress progress(source.total());
    cv::Mat frame;
    while (stopSignal() == 0) {
      std::string why;
      int status = kExitOk;
      const FrameSource::Got got = source.read(frame, why, status);
      if (got == FrameSource::Got::End) break;
      if (got == FrameSource::Got::Failed) {
        failed(status, why);
        break;
      }
      if (!process(frame, fps)) break;
      progress.update(index_);
    }
  }
  if (index_ == 0 && status_ == kExitOk && stopSignal() == 0)
    failed(kExitInput, "no frame could be read from " + o_.input);
  finishFiles();
  const int sig = stopSignal();
  std::printf("%lld frames, %lld masks%s%s\n", static_cast<long long>(index_), static_cast<long long>(masks_),
              sig != 0 ? (std::string(" (stopped by ") + signalName(sig) + ")").c_str() : "", saved_.c_str());
  if (sig != 0) return 128 + sig;
  return status_ == kExitOk && lost_ ? kExitLostOutput : status_;
}

int run(const Options& o, int argc, char** argv) {
  FrameSource source(o.input);
  checkPaths(o, source);

  cv::Mat roi;
  if (!o.roi.empty()) {
    FrameReader reader;
    const ImageRead r = reader.read(o.roi, false, roi);
    if (r.status == ImageRead::Unreadable) fail(kExitInput, "cannot read ROI image " + o.roi);
    const ReadFailure f = readFailure(r, o.roi);
    if (f.status != kExitOk) fail(f.status, f.line);
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

  Outputs out;
  out.open(o, argc, argv);
  try {
    const std::string problem = source.open();
    if (!problem.empty()) fail(kExitInput, problem);
    VideoRun frames(o, bs, out);
    return out.guard.finish(frames.run(source));
  } catch (const RunExit& e) {
    return out.guard.finish(e.status);
  } catch (...) {
    clearActiveProgress();
    const Failure f = failureOf(std::current_exception());
    std::fprintf(stderr, "%s%s\n", kPrefix, f.line.c_str());
    return out.guard.finish(f.status);
  }
}

}  // namespace

int runVideo(int argc, char** argv) {
  // Our own lines name the input and the outputs; keep OpenCV's log quiet.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  keepStandardStreamsApart();
  stopOnSignals();
  int status = kExitOk;
  try {
    Options o;
    if (!parseOptions(argc, argv, o)) return kExitOk;
    status = run(o, argc, argv);
  } catch (const RunExit& e) {
    status = e.status;
  } catch (...) {
    clearActiveProgress();
    const Failure f = failureOf(std::current_exception());
    std::fprintf(stderr, "%s%s\n", kPrefix, f.line.c_str());
    status = f.status;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%sCannot write the console output to standard output\n", kPrefix);
    if (status == kExitOk) status = kExitLostOutput;
  }
  return status;
}
