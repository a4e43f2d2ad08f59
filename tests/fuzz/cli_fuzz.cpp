// libFuzzer target over what reads untrusted input before a run: the switch
// reader, the temporal-ROI text with the frame-plan check, and frame
// decoding. The first byte chooses which.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/exit.h"
#include "cli/frame_reader.h"
#include "cli/plan.h"
#include "cli/switches.h"

void failRun(int status, std::FILE*, const char*, ...) { throw RunExit{status}; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int which = data[0] % 3;
  ++data, --size;
  if (which == 0) {  // NUL-separated words after the program name
    std::vector<std::string> words{"sc-vardo"};
    std::string word;
    for (std::size_t i = 0; i < size && words.size() < 64; ++i) {
      if (data[i] == 0) words.push_back(word), word.clear();
      else word += static_cast<char>(data[i]);
    }
    words.push_back(word);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    int argc = static_cast<int>(words.size());
    try {
      Lread_iswitch(argc, argv.data(), "-n", 3);
      const double e1 = Lread_dswitch(argc, argv.data(), "-e1", 0.1);
      if (e1 != e1) __builtin_trap();  // a real switch must never give nan
      Lread_switch(argc, argv.data(), "-x", 2, nullptr);
    } catch (const RunExit& e) {
      if (e.status != kExitSwitch) __builtin_trap();
    }
    if (argc < 1) __builtin_trap();
  } else if (which == 1) {
    FrameRange r;
    if (parseTemporalRoi(std::string(reinterpret_cast<const char*>(data), size), r.fromIdx, r.toIdx)) {
      r.K = r.fromIdx - 1;
      r.lastFrame = r.toIdx;
      framePlanProblem(r, "temporalROI.txt");
    }
  } else {  // frames of a known size, as every frame after the first is read
    FrameReader reader;
    cv::Mat out;
    const ImageRead got = reader.decode(data, size, "", size % 2 == 0, out, cv::Size(48, 40));
    if (got.status == ImageRead::Ok && (out.cols != 48 || out.rows != 40)) __builtin_trap();
  }
  return 0;
}
