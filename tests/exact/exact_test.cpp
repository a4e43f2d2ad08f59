// The scheduled passes against the reference (lockstep.h) on every path
// this CPU runs: synthetic cases and real highway frames. Then the
// --threads option of sc-vardo.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "cli/exit.h"
#include "cli/plan.h"
#include "cli/setup.h"
#include "lockstep.h"

namespace {

TEST(Exact, FastPassesEqualReferenceForEveryThreadCountAndIsa) {
  for (Isa isa : availableIsas()) EXPECT_EQ(syntheticCases(isa), "");
  forceIsa(availableIsas().back());
}

TEST(Exact, ConversionEqualsReferenceForEveryColourAndIsa) {
#ifdef NDEBUG
  const int step = 1;
#else
  const int step = 61;  // unoptimised and sanitised: a spread sample
#endif
  EXPECT_EQ(conversionCases(availableIsas(), step), "");
}

// The frames as lockstep takes them.
BgrFrame bgrOf(const cv::Mat& image) {
  BgrFrame f{image.cols, image.rows, {}};
  for (int r = 0; r < image.rows; ++r)
    f.bytes.insert(f.bytes.end(), image.ptr<std::uint8_t>(r), image.ptr<std::uint8_t>(r) + image.cols * 3);
  return f;
}

TEST(Exact, RealFramesOfHighway) {
  const std::string dir = std::string(SCVARDO_SOURCE_DIR) + "/../shared/data/highway/";
  cv::Mat roiImage = cv::imread(dir + "ROI.bmp", cv::IMREAD_GRAYSCALE);
  if (roiImage.empty()) GTEST_SKIP() << "highway sequence not found at " << dir;
  std::vector<BgrFrame> frames;
  for (int f = 1; f <= 8; ++f) frames.push_back(bgrOf(cv::imread(frameFileName(dir + "input/in", f))));
  // n = 5 on the best path only: the synthetic cases take every n on every
  // path, and real frames are slow under the sanitizers.
  for (Isa isa : availableIsas())
    for (int n : {3, 5}) {
      if (n == 5 && isa != availableIsas().back()) continue;
      forceIsa(isa);
      scvardo::Params p;
      p.n = n;
      EXPECT_EQ(lockstep(frames, RoiMask::fromImage(roiImage), p, 4), "")
          << "n=" << n << " " << isaName(isa);
    }
  forceIsa(availableIsas().back());
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
