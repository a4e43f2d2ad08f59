// scvardo-scaling [-n LIST] [-t LIST] FRAMES K DIR...: how the passes' cost
// grows with the frame size, n and the thread count. Each DIR holds frames
// in000001.jpg .. (bench/scaling.sh makes them, scaled copies of one
// sequence); FRAMES of them are read into memory, the first K initialise and
// calibrate, the rest are detected. For each n of LIST (default 3,5,7,9) and
// each thread count of LIST (default 1,2; 0 is the default threads) one
// markdown row: calibration and online ms/frame and ns/pixel, from the
// face's pass times.
//
// Exit status: 0 done, 1 a frame cannot be read, 2 bad usage.
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "scvardo/scvardo.hpp"

namespace {

std::vector<int> numbers(const char* list) {
  std::vector<int> out;
  std::istringstream in(list);
  for (std::string item; std::getline(in, item, ',');) out.push_back(std::atoi(item.c_str()));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> ns{3, 5, 7, 9}, threadCounts{1, 2};
  while (argc > 2 && (std::string(argv[1]) == "-n" || std::string(argv[1]) == "-t")) {
    (argv[1][1] == 'n' ? ns : threadCounts) = numbers(argv[2]);
    argc -= 2;
    argv += 2;
  }
  if (argc < 4) {
    std::fputs("usage: scvardo-scaling [-n LIST] [-t LIST] FRAMES K DIR...\n", stderr);
    return 2;
  }
  const int count = std::atoi(argv[1]), K = std::atoi(argv[2]);
  if (count < 2 || K < 2 || K >= count) {
    std::fputs("scvardo-scaling: need 2 <= K < FRAMES\n", stderr);
    return 2;
  }
  std::printf("Instruction set %s.\n\n", scvardo::instructionSet());
  std::printf("| size | n | threads | calibration ms/frame | ns/pixel | online ms/frame | ns/pixel |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
  for (int d = 3; d < argc; ++d) {
    std::vector<cv::Mat> frames;
    for (int f = 1; f <= count; ++f) {
      char name[32];
      std::snprintf(name, sizeof name, "/in%06d.jpg", f);
      frames.push_back(cv::imread(std::string(argv[d]) + name, cv::IMREAD_COLOR));
      if (frames.back().empty()) {
        std::fprintf(stderr, "scvardo-scaling: cannot read %s%s\n", argv[d], name);
        return 1;
      }
    }
    const double pixels = static_cast<double>(frames[0].total());
    for (int n : ns)
      for (int threads : threadCounts) {
        scvardo::Params p;
        p.n = n;
        p.K = K;
        p.threads = threads;
        auto bs = scvardo::createBackgroundSubtractor(p);
        cv::Mat mask;
        for (const cv::Mat& f : frames) bs->apply(f, mask);
        const scvardo::PassTimes t = bs->getPassTimes();
        const double calMs = t.calibrationNs / 1e6 / (K - 1), onMs = t.onlineNs / 1e6 / (count - K);
        std::printf("| %dx%d | %d | %d | %.2f | %.1f | %.2f | %.1f |\n", frames[0].cols,
                    frames[0].rows, n, scvardo::threadCount(p), calMs, calMs * 1e6 / pixels, onMs,
                    onMs * 1e6 / pixels);
        std::fflush(stdout);
      }
  }
  return 0;
}
