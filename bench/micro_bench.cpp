// Micro-benchmarks of the core passes, one per operation the phase driver
// calls per frame. They only time: nothing is checked here (the tests do
// that). Run by hand, never by ctest:
//
//   build/bench/scvardo_bench [--benchmark_filter=detection]
//   build/bench/scvardo_bench --benchmark_repetitions=5
//       --benchmark_enable_random_interleaving=true
//       --benchmark_report_aggregates_only=true   (one line: median, min and cv per case;
//                                                  the min's rate counters are the min rates)
//
// Frames: two highway frames (in000001.jpg for the model, in000800.jpg to
// classify) when the shared data is beside the repository, scaled to the
// benchmark size; otherwise synthetic deterministic frames (a smooth
// background with noise, bright rectangles as foreground, a darker band as
// shadow). The label says which, and the counters give the label mix the
// detection pass produced, so that figures from either source can be judged.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "colour/colour.h"
#include "core/planes.h"
#include "core/types.h"
#include "mask/mask.h"
#include "model/model.h"
#include "schedule/isa.h"
#include "schedule/schedule.h"

// The passes of the speed room (src/schedule) are timed under their own
// names, the reference ones of src/model as *Reference.

namespace {

std::string highwayDir() {
  const std::filesystem::path p =
      std::filesystem::path(SCVARDO_SOURCE_DIR) / ".." / "shared" / "data" / "highway";
  return std::filesystem::is_regular_file(p / "input" / "in000800.jpg") ? p.string() : "";
}

std::uint32_t hash(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

// Smooth coloured background; `seed` changes only the noise.
cv::Mat syntheticBackground(int W, int H, std::uint32_t seed) {
  cv::Mat img(H, W, CV_8UC3);
  for (int r = 0; r < H; ++r)
    for (int c = 0; c < W; ++c) {
      const double u = double(c) / W, v = double(r) / H;
      const int noise = int(hash(seed * 1000003u + std::uint32_t(r * W + c)) % 7) - 3;
      img.at<cv::Vec3b>(r, c) = cv::Vec3b(cv::saturate_cast<std::uint8_t>(70 + 90 * u + noise),
                                          cv::saturate_cast<std::uint8_t>(90 + 60 * std::sin(6 * v) + noise),
                                          cv::saturate_cast<std::uint8_t>(110 + 50 * v + noise));
    }
  return img;
}

// The background with foreground rectangles (about a tenth of the frame) and
// a shadow band (the background darkened to 70 percent).
cv::Mat syntheticScene(int W, int H) {
  cv::Mat img = syntheticBackground(W, H, 2);
  for (int k = 0; k < 4; ++k) {
    const int x = W / 10 + k * W / 5, y = H / 4 + (k % 2) * H / 4;
    cv::rectangle(img, cv::Rect(x, y, W / 8, H / 5), cv::Scalar(30 + 50 * k, 220, 250 - 40 * k),
                  cv::FILLED);
  }
  cv::Mat band = img(cv::Rect(0, H * 4 / 5, W, H / 20));
  band.convertTo(band, -1, 0.7);
  return img;
}

struct Fixture {
  int W, H, n;
  std::string source;
  scvardo::Params params;
  RoiMask roi;
  cv::Mat backgroundImage, sceneImage;
  FloatPlanesHandle background, scene, current, next;
  WeightKernel kernel;
  AlphaTable calibAlpha, onlineAlpha;
  LabelMask labels, corrected;
  std::vector<int> matchRow, matchCol;
  fast::Workspace ws;
  double fgShare = 0, shadowShare = 0;

  // One thread: these time the passes themselves.
  PassContext ctx() const { return PassContext{Geometry{W, H, n}, params, roi, nullptr}; }

  Fixture(int w, int h, int side) : W(w), H(h), n(side), kernel(side), calibAlpha(side), onlineAlpha(side) {
    params.n = n;
    const std::string dir = highwayDir();
    if (!dir.empty()) {
      source = "highway";
      backgroundImage = cv::imread(dir + "/input/in000001.jpg", cv::IMREAD_COLOR);
      sceneImage = cv::imread(dir + "/input/in000800.jpg", cv::IMREAD_COLOR);
      if (backgroundImage.size() != cv::Size(W, H)) {
        cv::resize(backgroundImage, backgroundImage, cv::Size(W, H), 0, 0, cv::INTER_LINEAR);
        cv::resize(sceneImage, sceneImage, cv::Size(W, H), 0, 0, cv::INTER_LINEAR);
      }
    } else {
      source = "synthetic";
      backgroundImage = syntheticBackground(W, H, 1);
      sceneImage = syntheticScene(W, H);
    }
    roi = RoiMask::all(W, H);
    const std::size_t N = std::size_t(W) * H;
    background = newFloatPlanes(3, N);
    scene = newFloatPlanes(3, N);
    current = newFloatPlanes(3, N * n * n);
    next = newFloatPlanes(3, N * n * n);
    convertFrame(backgroundImage, *background, roi);
    convertFrame(sceneImage, *scene, roi);
    initModel(*current, *background, H, W, n, roi);
    copyPlanes(*current, N * n * n, *next);
    buildWeightKernel(n, kernelSpread(n), kernel);
    const BaseRates rates = baseRates(params.c1, params.c2, n);
    buildAlphaTable(n, calibrationRate(1, 470, rates), kernel, calibAlpha);
    buildAlphaTable(n, onlineRate(rates), kernel, onlineAlpha);
    labels.assign(N, 0);
    corrected.assign(N, 0);
    matchRow.assign(N, -1);
    matchCol.assign(N, -1);
    ws.fit(Geometry{W, H, n}, 1);
    detectionPass(ctx(), *scene, *current, labels, matchRow, matchCol);
    std::size_t fg = 0, sh = 0;
    for (std::uint8_t l : labels) {
      fg += l == 255;
      sh += l == 85;
    }
    fgShare = double(fg) / N;
    shadowShare = double(sh) / N;
    coherenceFilter5x5(ctx(), labels, corrected);
  }
};

Fixture& fixture(int W, int H, int n) {
  static std::map<std::tuple<int, int, int>, std::unique_ptr<Fixture>> cache;
  auto& slot = cache[{W, H, n}];
  if (!slot) slot = std::make_unique<Fixture>(W, H, n);
  return *slot;
}

void describe(benchmark::State& state, const Fixture& f) {
  const std::int64_t pixels = std::int64_t(f.W) * f.H;
  state.SetItemsProcessed(state.iterations() * pixels);
  state.SetLabel(f.source + " " + std::to_string(f.W) + "x" + std::to_string(f.H) +
                 " n=" + std::to_string(f.n));
  state.counters["fg"] = f.fgShare;
  state.counters["shadow"] = f.shadowShare;
}

void BM_convertFrame(benchmark::State& state) {
  Fixture& f = fixture(int(state.range(0)), int(state.range(1)), int(state.range(2)));
  std::vector<ConeMemo> memo(1);
  for (auto _ : state) {
    convertFrame(f.sceneImage, *f.scene, f.roi, nullptr, &memo);
    benchmark::ClobberMemory();
  }
  describe(state, f);
  state.SetBytesProcessed(state.iterations() * std::int64_t(f.W) * f.H * 3);
}

// The engine's conversion: in vectors on AVX2 and AVX-512, else the memo.
void BM_convertFrameFast(benchmark::State& state) {
  Fixture& f = fixture(int(state.range(0)), int(state.range(1)), int(state.range(2)));
  for (auto _ : state) {
    fast::convertFrame(f.ctx(), f.ws, f.sceneImage.data, f.sceneImage.step[0], *f.scene);
    benchmark::ClobberMemory();
  }
  describe(state, f);
  state.SetBytesProcessed(state.iterations() * std::int64_t(f.W) * f.H * 3);
}

void BM_detectionPass(benchmark::State& state) {
  Fixture& f = fixture(int(state.range(0)), int(state.range(1)), int(state.range(2)));
  for (auto _ : state) {
    fast::detectionPass(f.ctx(), f.ws, *f.scene, *f.current, f.labels, f.matchRow, f.matchCol);
    benchmark::ClobberMemory();
  }
  describe(state, f);
}

void BM_coherenceFilter3x3(benchmark::State& state) {
  Fixture& f = fixture(int(state.range(0)), int(state.range(1)), int(state.range(2)));
  LabelMask out(f.labels.size(), 0);
  for (auto _ : state) {
    coherenceFilter3x3(f.ctx(), f.labels, out);
    benchmark::ClobberMemory();
  }
  describe(state, f);
}

void BM_coherenceFilter5x5(benchmark::State& state) {
  Fixture& f = fixture(int(state.range(0)), int(state.range(1)), int(state.range(2)));
  LabelMask out(f.labels.size(), 0);
  for (auto _ : state) {
    coherenceFilter5x5(f.ctx(), f.labels, out);
    benchmark::ClobberMemory();
  }
  describe(state, f);
}

// Reads `current`, writes `next`: repeating it does the same work each time.
void BM_updatePass(benchmark::State& state) {
  Fixture& f = fixture(int(state.range(0)), int(state.range(1)), int(state.range(2)));
  for (auto _ : state) {
    fast::updatePass(f.ctx(), f.ws, *f.scene, *f.current, f.corrected, f.onlineAlpha, f.matchRow,
                     f.matchCol, *f.next);
    benchmark::ClobberMemory();
  }
  describe(state, f);
}

void BM_calibrationPass(benchmark::State& state) {
  Fixture& f = fixture(int(state.range(0)), int(state.range(1)), int(state.range(2)));
  LabelMask labels(f.labels.size(), 0);
  for (auto _ : state) {
    fast::calibrationPass(f.ctx(), f.ws, *f.scene, *f.current, labels, f.calibAlpha, *f.next);
    benchmark::ClobberMemory();
  }
  describe(state, f);
}

// The model copy at the end of every frame: bytes are those copied.
void BM_copyPlanes(benchmark::State& state) {
  Fixture& f = fixture(int(state.range(0)), int(state.range(1)), int(state.range(2)));
  const std::size_t len = std::size_t(f.W) * f.H * f.n * f.n;
  for (auto _ : state) {
    copyPlanes(*f.next, len, *f.current);
    benchmark::ClobberMemory();
  }
  describe(state, f);
  state.SetBytesProcessed(state.iterations() * std::int64_t(len * 3 * sizeof(float)));
}

void BM_detectionPassReference(benchmark::State& state) {
  Fixture& f = fixture(int(state.range(0)), int(state.range(1)), int(state.range(2)));
  for (auto _ : state) {
    ::detectionPass(f.ctx(), *f.scene, *f.current, f.labels, f.matchRow, f.matchCol);
    benchmark::ClobberMemory();
  }
  describe(state, f);
}

void BM_updatePassReference(benchmark::State& state) {
  Fixture& f = fixture(int(state.range(0)), int(state.range(1)), int(state.range(2)));
  for (auto _ : state) {
    ::updatePass(f.ctx(), *f.scene, *f.current, f.corrected, f.onlineAlpha, f.matchRow, f.matchCol, *f.next);
    benchmark::ClobberMemory();
  }
  describe(state, f);
}

void BM_calibrationPassReference(benchmark::State& state) {
  Fixture& f = fixture(int(state.range(0)), int(state.range(1)), int(state.range(2)));
  LabelMask labels(f.labels.size(), 0);
  for (auto _ : state) {
    ::calibrationPass(f.ctx(), *f.scene, *f.current, labels, f.calibAlpha, *f.next);
    benchmark::ClobberMemory();
  }
  describe(state, f);
}

void sizes(benchmark::internal::Benchmark* b) {
  b->ArgNames({"W", "H", "n"});
  b->Args({320, 240, 3});
  b->Args({80, 60, 3});
  b->Args({640, 480, 3});
  b->Args({320, 240, 5});
  b->Unit(benchmark::kMicrosecond);
  // On a shared machine the fastest repetition is the least disturbed one.
  b->ComputeStatistics("min", [](const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
  });
}

BENCHMARK(BM_convertFrame)->Apply(sizes);
BENCHMARK(BM_convertFrameFast)->Apply(sizes);
BENCHMARK(BM_detectionPass)->Apply(sizes);
BENCHMARK(BM_coherenceFilter3x3)->Apply(sizes);
BENCHMARK(BM_coherenceFilter5x5)->Apply(sizes);
BENCHMARK(BM_updatePass)->Apply(sizes);
BENCHMARK(BM_calibrationPass)->Apply(sizes);
BENCHMARK(BM_copyPlanes)->Apply(sizes);
BENCHMARK(BM_detectionPassReference)->Apply(sizes);
BENCHMARK(BM_updatePassReference)->Apply(sizes);
BENCHMARK(BM_calibrationPassReference)->Apply(sizes);

}  // namespace

int main(int argc, char** argv) {
  // The passes are single-threaded; keep OpenCV's own (resize, imread) so too.
  cv::setNumThreads(1);
  benchmark::AddCustomContext("machine", std::to_string(std::thread::hardware_concurrency()) +
                                             " hardware threads");
  benchmark::AddCustomContext("threads", "1 (the passes are single-threaded)");
  benchmark::AddCustomContext("frames", highwayDir().empty() ? "synthetic" : "highway");
  benchmark::AddCustomContext("path", isaName(activeIsa()));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
