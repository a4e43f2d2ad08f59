// scvardo-peers SEQDIR OUTDIR: SC-VARDO's passes against OpenCV's MOG2 and
// KNN background subtractors on the same frames, held in memory.
//
// SC-VARDO is driven through its public face as sc-vardo drives it (default
// parameters, K = fromIdx - 1 calibration frames from frame 1, 5x5
// coherence, the ROI), and again with --adaptive, on one thread and with its
// default threads (the CPUs the process may use, each frame on them or on one
// whichever pays); its timed spans are the face's pass times, exactly those
// of the tool's timing lines: the calibration pass per calibration frame;
// detection, coherence and update per online frame. For MOG2 and KNN (default parameters,
// shadows detected, the shadow value 127 counted as background) each
// apply() is timed. Every method writes OUTDIR/<method>/bin%06d.png for the
// temporal ROI, which is evaluated with the metrics library; one markdown
// table goes to standard output, progress to standard error.
//
// scvardo-peers SEQDIR OUTDIR ROUNDS times every method ROUNDS times, the
// methods in turn each round (masks are written in the first only), and
// gives the median of the rounds: on a shared machine the speed changes
// from minute to minute, and the rounds spread each method over the run.
// It also gives MOG2's time over SC-VARDO's per round, both measured within
// the same round, and their median. A last argument --no-knn leaves KNN out
// (bench/speed-report.sh, which times only against MOG2).
//
// Exit status: 0 done, 1 a file cannot be read or written, 2 bad usage.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/video/background_segm.hpp>

#include "machine.h"
#include "metrics.h"
#include "scvardo/scvardo.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double, std::milli>(end - start).count();
}

struct Sequence {
  std::string dir;
  int firstFrame = 1;
  int fromIdx = 0, toIdx = 0, K = 0;
  std::vector<cv::Mat> frames;  // frame number firstFrame + i at index i
  cv::Mat roiImage;
};

struct Result {
  std::string method, outName;
  int threads = 1;
  double warmupMs = 0;  // total over the warm-up (calibration) frames timed
  int warmupFrames = 0;
  double onlineMs = 0;  // total over the online frames
  int onlineFrames = 0;
  double bytesPerPixel = 0;
  metrics::Metrics m;
  std::string note;
  std::vector<double> online, warmup;  // ms/frame per round
};

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const std::size_t k = v.size() / 2;
  return v.size() % 2 ? v[k] : (v[k - 1] + v[k]) / 2;
}

// Adds the per-frame times of the run just made to its rounds.
void keepRound(Result& r) {
  r.online.push_back(r.onlineFrames ? r.onlineMs / r.onlineFrames : 0.0);
  r.warmup.push_back(r.warmupFrames ? r.warmupMs / r.warmupFrames : 0.0);
}

bool fail(const std::string& what) {
  std::fprintf(stderr, "scvardo-peers: %s\n", what.c_str());
  return false;
}

bool loadSequence(const std::string& dir, Sequence& s) {
  s.dir = dir;
  std::string error;
  int from = 0, to = 0;
  if (!metrics::readTemporalRoi(dir, from, to, error)) return fail(error);
  s.fromIdx = from;
  s.toIdx = to;
  s.K = from - 1;  // as run setup does when no -K is given
  if (!metrics::readGrey(metrics::roiPath(dir), "ROI", s.roiImage, error)) return fail(error);
  for (int f = s.firstFrame; f <= s.toIdx; ++f) {
    const std::string p = metrics::inputPath(dir, f);
    cv::Mat img = cv::imread(p, cv::IMREAD_COLOR);
    if (img.empty()) return fail("cannot read input frame " + p);
    if (img.size() != s.roiImage.size())
      return fail("input frame " + p + " differs in size from " + metrics::roiPath(dir));
    s.frames.push_back(img);
  }
  return true;
}

bool prepareDir(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir))
    return fail("cannot create directory " + dir + (ec ? ": " + ec.message() : ""));
  return true;
}

bool evaluate(const Sequence& s, const std::string& maskDir, Result& r) {
  metrics::Counts counts;
  std::string error;
  if (!metrics::evaluateSequence(maskDir, s.dir, s.fromIdx, s.toIdx, counts, error))
    return fail(error);
  r.m = metrics::compute(counts);
  return true;
}

// SC-VARDO with default parameters (and --adaptive when asked) through the
// face, as sc-vardo runs it.
bool runScVardo(const Sequence& s, const std::string& outDir, int threads, bool adaptive,
                Result& r, std::vector<cv::Mat>* keep, const std::vector<cv::Mat>* compare) {
  scvardo::Params params;
  params.K = s.K;
  params.threads = threads;
  params.adaptive = adaptive ? 1 : 0;
  cv::Ptr<scvardo::BackgroundSubtractor> bs = scvardo::createBackgroundSubtractor(params, s.roiImage);
  cv::Mat mask;
  int differing = 0;
  r.warmupFrames = r.onlineFrames = 0;
  for (std::size_t i = 0; i < s.frames.size(); ++i) {
    const int f = s.firstFrame + static_cast<int>(i);
    bs->apply(s.frames[i], mask);
    if (static_cast<int>(i) < s.K) {
      r.warmupFrames += i > 0;  // the first frame only initialises
      continue;
    }
    ++r.onlineFrames;
    if (f < s.fromIdx || f > s.toIdx || outDir.empty()) continue;
    std::string error;
    if (!metrics::writePng(metrics::maskPath(outDir, f), mask, error)) return fail(error);
    if (keep) keep->push_back(mask.clone());
    if (compare) {
      const std::size_t k = static_cast<std::size_t>(f - s.fromIdx);
      if (k >= compare->size() || cv::countNonZero((*compare)[k] != mask) != 0) ++differing;
    }
  }
  const scvardo::PassTimes t = bs->getPassTimes();
  r.warmupMs = static_cast<double>(t.calibrationNs) / 1e6;
  r.onlineMs = static_cast<double>(t.onlineNs) / 1e6;
  // One model of 3 float planes of n*n cells per pixel (updated in place);
  // adaptive: 36 bytes more of per-pixel state and scratch.
  r.bytesPerPixel = 3.0 * params.n * params.n * sizeof(float) + (adaptive ? 36 : 0);
  if (compare)
    r.note = differing == 0 ? "masks identical to the 1-thread run"
                            : std::to_string(differing) + " masks differ from the 1-thread run";
  return true;
}

// An OpenCV subtractor over all frames; frames before fromIdx are its warm-up.
bool runOpenCv(const Sequence& s, cv::Ptr<cv::BackgroundSubtractor> sub, const std::string& outDir,
               Result& r, std::vector<cv::Mat>* keep, const std::vector<cv::Mat>* compare) {
  cv::Mat fg, mask;
  r.warmupMs = r.onlineMs = 0;
  r.warmupFrames = r.onlineFrames = 0;
  int differing = 0;
  for (std::size_t i = 0; i < s.frames.size(); ++i) {
    const int f = s.firstFrame + static_cast<int>(i);
    const Clock::time_point t0 = Clock::now();
    sub->apply(s.frames[i], fg);
    const double ms = msSince(t0, Clock::now());
    if (f < s.fromIdx) {
      r.warmupMs += ms;
      ++r.warmupFrames;
      continue;
    }
    r.onlineMs += ms;
    ++r.onlineFrames;
    if (f > s.toIdx || outDir.empty()) continue;
    // 255 foreground; the shadow value 127 and 0 are background.
    mask = fg == 255;
    std::string error;
    if (!metrics::writePng(metrics::maskPath(outDir, f), mask, error)) return fail(error);
    if (keep) keep->push_back(mask.clone());
    if (compare) {
      const std::size_t k = static_cast<std::size_t>(f - s.fromIdx);
      if (k >= compare->size() || cv::countNonZero((*compare)[k] != mask) != 0) ++differing;
    }
  }
  if (compare)
    r.note = differing == 0 ? "masks identical to the 1-thread run"
                            : std::to_string(differing) + " masks differ from the 1-thread run";
  return true;
}

void printTable(const Sequence& s, const std::vector<Result>& results, int defaultThreads,
                const std::string& loadBefore) {
  std::printf("Sequence %s: %d x %d, frames %d..%d in memory, K = %d calibration frames, "
              "temporal ROI %d..%d (%d frames evaluated).\n",
              s.dir.c_str(), s.roiImage.cols, s.roiImage.rows, s.firstFrame, s.toIdx, s.K, s.fromIdx, s.toIdx,
              s.toIdx - s.fromIdx + 1);
  std::printf("Machine: %s, %u hardware threads; SC-VARDO's instruction set %s; OpenCV %s, default threads %d; "
              "load average %s before, %s after.\n\n",
              cpuName().c_str(), std::thread::hardware_concurrency(), scvardo::instructionSet(), CV_VERSION, defaultThreads,
              loadBefore.c_str(), loadAverage().c_str());
  std::printf("| method | threads | F-measure | precision | recall | PWC | ms/frame | frames/s "
              "| warm-up ms/frame | model bytes/pixel |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const Result& r : results) {
    const double perFrame = median(r.online), warm = median(r.warmup);
    std::printf("| %s | %d | %.4f | %.4f | %.4f | %.4f | %.3f | %.1f | %.3f | %.0f |\n",
                r.method.c_str(), r.threads, r.m.fMeasure, r.m.precision, r.m.recall, r.m.pwc,
                perFrame, perFrame > 0 ? 1000.0 / perFrame : 0.0, warm, r.bytesPerPixel);
  }
  std::printf("\n");
  for (const Result& r : results)
    if (!r.note.empty()) std::printf("- %s: %s\n", r.method.c_str(), r.note.c_str());
  const std::size_t rounds = results.empty() ? 0 : results.front().online.size();
  std::printf("- ms/frame and warm-up: the median of %zu round(s), the methods in turn each round.\n",
              rounds);
  // MOG2's time over SC-VARDO's in each round, by thread count.
  for (const Result& sc : results) {
    if (sc.method.rfind("SC-VARDO", 0) != 0) continue;
    for (const Result& mog : results) {
      if (mog.method != "OpenCV MOG2" || mog.threads != sc.threads) continue;
      std::vector<double> online, warmup;
      for (std::size_t k = 0; k < rounds; ++k) {
        online.push_back(mog.online[k] / sc.online[k]);
        warmup.push_back(mog.warmup[k] / sc.warmup[k]);
      }
      std::printf("- MOG2's time over SC-VARDO's, %d thread(s), per round: online", sc.threads);
      for (double x : online) std::printf(" %.2f", x);
      std::printf(" (median %.2f); warm-up", median(online));
      for (double x : warmup) std::printf(" %.2f", x);
      std::printf(" (median %.2f)", median(warmup));
      std::printf("\n");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool knn = !(argc > 3 && std::string(argv[argc - 1]) == "--no-knn");
  if (!knn) --argc;
  const int rounds = argc == 4 ? std::atoi(argv[3]) : 1;
  if ((argc != 3 && argc != 4) || rounds < 1) {
    std::fputs("usage: scvardo-peers SEQDIR OUTDIR [ROUNDS] [--no-knn]\n", stderr);
    return 2;
  }
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  const std::string seqDir = argv[1], outDir = argv[2];
  const int defaultThreads = cv::getNumThreads();

  const std::string loadBefore = loadAverage();
  Sequence s;
  std::fprintf(stderr, "loading %s ...\n", seqDir.c_str());
  if (!loadSequence(seqDir, s)) return 1;
  if (s.K < 1) {
    fail(metrics::temporalRoiPath(seqDir) + " leaves no calibration frame");
    return 1;
  }

  std::vector<Result> results;
  // Per result, how to run its method once more: into OUTDIR/<outName> (or
  // writing nothing with ""), keeping or comparing the masks.
  using Run = std::function<bool(const std::string&, Result&, std::vector<cv::Mat>*,
                                 const std::vector<cv::Mat>*)>;
  std::vector<Run> runs;
  auto dirFor = [&](const std::string& name) { return outDir + "/" + name; };

  // SC-VARDO's default: as many threads as the process may use (0).
  const int hardware = scvardo::threadCount(scvardo::Params());
  for (const bool adaptive : {false, true}) {
    std::vector<cv::Mat> single;
    for (int threads : {1, hardware}) {
      Result r;
      r.method = adaptive ? "SC-VARDO --adaptive" : "SC-VARDO (n=3, Cw=5)";
      r.threads = threads;
      r.outName = std::string(adaptive ? "sc-vardo-adaptive-" : "sc-vardo-") + std::to_string(threads) + "t";
      const int asked = threads == 1 ? 1 : 0;
      const Run run = [&s, threads, asked, adaptive](const std::string& dir, Result& res,
                                                     std::vector<cv::Mat>* keep,
                                                     const std::vector<cv::Mat>* compare) {
        std::fprintf(stderr, "running SC-VARDO%s with %d thread(s) ...\n", adaptive ? " --adaptive" : "",
                     threads);
        return runScVardo(s, dir, asked, adaptive, res, keep, compare);
      };
      const bool first = threads == 1;
      if (!prepareDir(dirFor(r.outName)) ||
          !run(dirFor(r.outName), r, first ? &single : nullptr, first ? nullptr : &single) ||
          !evaluate(s, dirFor(r.outName), r))
        return 1;
      if (first && !adaptive)
        r.note = "ms/frame: detection + 5x5 coherence + update (pass times of the face); warm-up: "
                 "the calibration pass per calibration frame (" + std::to_string(s.K - 1) +
                 " frames). Bytes: one model of 3 float planes x n*n.";
      keepRound(r);
      results.push_back(r);
      runs.push_back(run);
      if (hardware == 1) break;
    }
  }

  struct Peer {
    const char* name;
    const char* dir;
    bool knn;
  } peers[] = {{"MOG2", "mog2", false}, {"KNN", "knn", true}};
  for (const Peer& p : peers) {
    if (p.knn && !knn) continue;
    std::vector<cv::Mat> single;
    for (int threads : {1, defaultThreads}) {
      Result r;
      r.method = std::string("OpenCV ") + p.name;
      r.outName = std::string(p.dir) + (threads == 1 ? "-1t" : "-" + std::to_string(threads) + "t");
      cv::setNumThreads(threads);
      r.threads = cv::getNumThreads();
      // State per pixel as OpenCV 4 allocates it: MOG2 keeps nmixtures (5)
      // Gaussians of weight, variance and 3 means as floats plus a byte of
      // used modes: 5 * (2 + 3) * 4 + 1 = 101. KNN keeps 3 lists (short, mid,
      // long) of nN (7) samples of 3 colour bytes plus a flag byte, and 6
      // bytes of list indices and update counters: 7 * 3 * 4 + 6 = 90.
      r.bytesPerPixel = p.knn ? 7.0 * 3 * (3 + 1) + 6 : 5.0 * (2 + 3) * 4 + 1;
      const Run run = [&s, p, threads](const std::string& dir, Result& res,
                                       std::vector<cv::Mat>* keep,
                                       const std::vector<cv::Mat>* compare) {
        cv::setNumThreads(threads);
        std::fprintf(stderr, "running %s with %d thread(s) ...\n", p.name, cv::getNumThreads());
        const cv::Ptr<cv::BackgroundSubtractor> sub =
            p.knn ? cv::Ptr<cv::BackgroundSubtractor>(cv::createBackgroundSubtractorKNN())
                  : cv::Ptr<cv::BackgroundSubtractor>(cv::createBackgroundSubtractorMOG2());
        // Defaults: MOG2 history 500, varThreshold 16; KNN history 500,
        // dist2 400; both detect shadows.
        return runOpenCv(s, sub, dir, res, keep, compare);
      };
      if (!prepareDir(dirFor(r.outName))) return 1;
      const bool first = threads == 1;
      if (!run(dirFor(r.outName), r, first ? &single : nullptr, first ? nullptr : &single) ||
          !evaluate(s, dirFor(r.outName), r))
        return 1;
      keepRound(r);
      results.push_back(r);
      runs.push_back(run);
      if (defaultThreads == 1) break;
    }
  }
  // The timing rounds after the first: the methods in turn, nothing written.
  for (int round = 1; round < rounds; ++round)
    for (std::size_t k = 0; k < results.size(); ++k) {
      Result again = results[k];
      if (!runs[k]("", again, nullptr, nullptr)) return 1;
      keepRound(again);
      results[k].online = again.online;
      results[k].warmup = again.warmup;
    }
  cv::setNumThreads(defaultThreads);
  printTable(s, results, defaultThreads, loadBefore);
  std::fflush(stdout);
  return std::ferror(stdout) ? 1 : 0;
}
