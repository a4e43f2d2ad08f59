// The fast passes, spread over 1..4 threads and updating one model in
// place, against the reference passes with their two models: labels, winner
// positions and every bit of every model cell after every frame. Then the
// --threads option of sc-vardo.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <random>
#include <string>
#include <vector>

#include "cli/exit.h"
#include "cli/plan.h"
#include "cli/setup.h"
#include "colour/colour.h"
#include "engine/engine.h"
#include "core/workers.h"
#include "mask/mask.h"
#include "model/model.h"
#include "model/passes_select.h"
#include "model/simd.h"

namespace {

struct Side {
  FloatPlanes model, next;  // next: the reference's second model
  LabelMask labels, spare;
  std::vector<int> matchRow, matchCol;  // not kept by the banded schedule
  bool positions = true;
  std::unique_ptr<WorkerPool> pool;
  Side(const Geometry& g, int threads)
      : model(3, g.cells()),
        next(3, threads == 0 ? g.cells() : 0),
        labels(g.pixels(), 0),
        spare(g.pixels(), 0),
        matchRow(g.pixels(), 0),
        matchCol(g.pixels(), 0),
        pool(threads > 0 ? std::make_unique<WorkerPool>(threads) : nullptr) {}
};

// "" or the first difference of `fast` from `ref`.
std::string difference(const Side& ref, const Side& fast, const Geometry& g) {
  for (std::size_t p = 0; p < g.pixels(); ++p)
    if (ref.labels[p] != fast.labels[p] ||
        (fast.positions &&
         (ref.matchRow[p] != fast.matchRow[p] || ref.matchCol[p] != fast.matchCol[p])))
      return "pixel " + std::to_string(p) + ": label " + std::to_string(ref.labels[p]) + " vs " +
             std::to_string(fast.labels[p]) + ", winner " + std::to_string(ref.matchRow[p]) + "," +
             std::to_string(ref.matchCol[p]) + " vs " + std::to_string(fast.matchRow[p]) + "," +
             std::to_string(fast.matchCol[p]);
  for (int k = 0; k < 3; ++k)
    if (std::memcmp(ref.model[k], fast.model[k], g.cells() * sizeof(float)) != 0)
      return "model plane " + std::to_string(k);
  return "";
}

// Runs `frames` through the reference and through the fast passes with 1..4
// threads in lockstep: frame 0 initialises, 1..K-1 calibrate, the rest
// detect, filter and update. Returns "" or the first difference.
std::string lockstep(const std::vector<cv::Mat>& frames, const RoiMask& roi, const scvardo::Params& p,
                     int K) {
  const Geometry g{frames[0].cols, frames[0].rows, p.n};
  std::vector<Side> sides;
  for (int t = 0; t <= 4; ++t) sides.emplace_back(g, t);  // 0: the reference
  FloatPlanes frame(3, g.pixels());
  WeightKernel kernel(p.n);
  buildWeightKernel(p.n, kernelSpread(p.n), kernel);
  const BaseRates rates = baseRates(p.c1, p.c2, p.n);
  AlphaTable alpha(p.n);
  for (std::size_t f = 0; f < frames.size(); ++f) {
    convertFrame(frames[f], frame, roi);
    const bool calibrating = static_cast<int>(f) < K;
    if (f > 0)
      buildAlphaTable(p.n, calibrating ? calibrationRate(int(f), K, rates) : onlineRate(rates),
                      kernel, alpha);
    for (Side& s : sides) {
      // Open every block again once the model is no longer uniform, as a
      // restored model with all-zero labels would be: windows of later
      // pixels then meet blocks whose pixels have not been visited yet.
      if (f == 3) std::fill(s.labels.begin(), s.labels.end(), 0);
      const bool ref = !s.pool;
      const PassContext ctx{g, p, roi, s.pool.get()};
      FloatPlanes& out = ref ? s.next : s.model;
      if (f == 0) {
        initModel(s.model, frame, g.H, g.W, g.n, roi);
        if (ref) copyPlanes(s.model, g.cells(), s.next);
        continue;
      }
      if (calibrating) {
        (ref ? reference::calibrationPass : fast::calibrationPass)(ctx, frame, s.model, s.labels,
                                                                   alpha, out);
      } else {
        if (!ref && s.pool->size() % 2 == 1) {  // the banded schedule of the engine
          onlineStep(ctx, frame, s.model, s.labels, s.spare, alpha);
          std::swap(s.labels, s.spare);
          s.positions = false;
        } else {
          (ref ? reference::detectionPass : fast::detectionPass)(ctx, frame, s.model, s.labels,
                                                                 s.matchRow, s.matchCol);
          coherenceFilter(ctx, s.labels, s.spare);
          std::swap(s.labels, s.spare);
          (ref ? reference::updatePass : fast::updatePass)(ctx, frame, s.model, s.labels, alpha,
                                                           s.matchRow, s.matchCol, out);
        }
      }
      if (ref) copyPlanes(s.next, g.cells(), s.model);
    }
    for (int t = 1; t <= 4; ++t) {
      const std::string d = difference(sides[0], sides[t], g);
      if (!d.empty())
        return "frame " + std::to_string(f) + ", " + std::to_string(t) + " threads: " + d;
    }
  }
  return "";
}

// A fixed random background with noise, a moving bright square and a
// moving darker (shadow-like) patch.
std::vector<cv::Mat> syntheticFrames(int W, int H, int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(20, 235), noise(-4, 4);
  cv::Mat base(H, W, CV_8UC3);
  for (auto it = base.begin<cv::Vec3b>(); it != base.end<cv::Vec3b>(); ++it)
    *it = cv::Vec3b(byte(rng), byte(rng), byte(rng));
  std::vector<cv::Mat> out;
  for (int t = 0; t < count; ++t) {
    cv::Mat img = base.clone();
    for (int r = 0; r < H; ++r)
      for (int c = 0; c < W; ++c) {
        cv::Vec3b& px = img.at<cv::Vec3b>(r, c);
        for (int k = 0; k < 3; ++k) px[k] = cv::saturate_cast<uchar>(px[k] + noise(rng));
        if (t > 2 && r / 2 == (t % H) / 2 && c / 2 == (t % W) / 2)
          px = cv::Vec3b(250, 10, uchar(40 * t));
        else if (t > 2 && (r + t) % H < 2 && (c + 2 * t) % W < 3)
          for (int k = 0; k < 3; ++k) px[k] = uchar(px[k] * 0.8);
      }
    out.push_back(img);
  }
  return out;
}

// Every fourth pixel out at random, and (holes 2) the first row too, so
// windows reach into blocks above the first ROI row.
RoiMask roiWithHoles(int W, int H, int holes, unsigned seed) {
  RoiMask roi = RoiMask::all(W, H);
  if (holes == 0) return roi;
  std::mt19937 rng(seed);
  for (auto& b : roi.bytes) b = rng() % 4 == 0 ? 0 : 255;
  if (holes == 2) std::fill(roi.bytes.begin(), roi.bytes.begin() + W, 0);
  cv::Mat image(H, W, CV_8UC1, roi.bytes.data());
  return RoiMask::fromImage(image);
}

// Every instruction set this CPU has; the best one is left selected.
std::vector<Isa> isas() {
  std::vector<Isa> out;
  for (Isa isa : {Isa::Portable, Isa::Avx2, Isa::Avx512})
    if (isaAvailable(isa)) out.push_back(isa);
  return out;
}

TEST(Exact, FastPassesEqualReferenceForEveryThreadCountAndIsa) {
  // 6x29 is tall enough for the banded schedule's seams.
  const struct { int W, H; } sizes[] = {{7, 5}, {4, 4}, {13, 11}, {6, 29}};
  for (Isa isa : isas()) {
    forceIsa(isa);
    unsigned seed = 1;
    for (const auto& size : sizes)
      for (int n : {3, 5, 7, 9})
        for (int Cw : {3, 5})
          for (int shadow : {0, 1})
            for (int holes : {0, 1, 2}) {
              scvardo::Params p;
              p.n = n;
              p.Cw = Cw;
              p.shadowRemoval = shadow;
              p.e1 = 0.02f;  // tight enough that some calibration pixels do not match
              const RoiMask roi = roiWithHoles(size.W, size.H, holes, ++seed);
              const std::string d = lockstep(syntheticFrames(size.W, size.H, 9, seed), roi, p, 4);
              EXPECT_EQ(d, "") << isaName(isa) << " " << size.W << "x" << size.H << " n=" << n
                               << " Cw=" << Cw << " s=" << shadow << " holes=" << holes;
            }
  }
}

TEST(Exact, RealFramesOfHighway) {
  const std::string dir = std::string(SCVARDO_SOURCE_DIR) + "/../shared/data/highway/";
  cv::Mat roiImage = cv::imread(dir + "ROI.bmp", cv::IMREAD_GRAYSCALE);
  if (roiImage.empty()) GTEST_SKIP() << "highway sequence not found at " << dir;
  std::vector<cv::Mat> frames;
  for (int f = 1; f <= 8; ++f) frames.push_back(cv::imread(frameFileName(dir + "input/in", f)));
  for (Isa isa : isas())
    for (int n : {3, 5}) {
      forceIsa(isa);
      scvardo::Params p;
      p.n = n;
      EXPECT_EQ(lockstep(frames, RoiMask::fromImage(roiImage), p, 4), "")
          << "n=" << n << " " << isaName(isa);
    }
  forceIsa(isas().back());
}

TEST(Exact, ThreadsOptionIsTakenOutAnywhere) {
  const struct {
    std::vector<std::string> args;
    int threads;  // expected, or -1 for a refusal (status 2)
    std::string rest;
  } cases[] = {
      {{"seq", "1", "9"}, 0, "seq 1 9"},
      {{"--threads", "2", "seq", "1", "9"}, 2, "seq 1 9"},
      {{"seq", "1", "--threads=3", "9", "-n", "5"}, 3, "seq 1 9 -n 5"},
      {{"seq", "--threads", "1", "--threads", "4"}, 4, "seq"},
      {{"seq", "--threads", "0"}, 0, "seq"},
      {{"seq", "--threads"}, -1, ""},
      {{"seq", "--threads", "-1"}, -1, ""},
      {{"seq", "--threads=2x"}, -1, ""},
      {{"seq", "--threads="}, -1, ""},
      {{"seq", "--threads", "257"}, -1, ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> words{"sc-vardo"};
    words.insert(words.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(words.size());
    int got = -1;
    try {
      scvardo::Params p;
      takeLongOptions(argc, argv.data(), p);
      got = p.threads;
    } catch (const RunExit& e) {
      EXPECT_EQ(e.status, kExitSwitch);
    }
    EXPECT_EQ(got, c.threads) << c.args.size();
    if (got < 0) continue;
    std::string rest;
    for (int i = 1; i < argc; ++i) rest += (i > 1 ? " " : "") + std::string(argv[i]);
    EXPECT_EQ(rest, c.rest);
  }
}

}  // namespace
