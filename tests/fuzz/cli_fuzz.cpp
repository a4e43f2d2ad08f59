// libFuzzer target over what reads untrusted input before or during a run:
// the switch reader, the temporal-ROI file with the frame-plan check, frame
// decoding, and sc-vardo-video's folder reader. The first byte chooses
// which.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/exit.h"
#include "cli/frame_reader.h"
#include "cli/plan.h"
#include "cli/switches.h"
#include "cli/video_source.h"
#include "core/temporal_roi.h"

void failRun(int status, std::FILE*, const char*, ...) { throw RunExit{status}; }

namespace {

// A folder of this process's own, removed at exit.
struct Scratch {
  std::string dir;
  Scratch() {
    char name[] = "/tmp/scvardo-fuzz-XXXXXX";
    if (::mkdtemp(name) == nullptr) std::abort();
    dir = name;
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

const std::string& scratch() {
  static const Scratch s;
  return s.dir;
}

void put(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

void switches(const std::uint8_t* data, std::size_t size) {  // NUL-separated words after the program name
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
}

void temporalRoi(const std::uint8_t* data, std::size_t size) {
  const std::string file = scratch() + "/temporalROI.txt";
  put(file, data, size);
  FrameRange r;
  const TemporalRoiRead got = readTemporalRoiFile(file, r.fromIdx, r.toIdx);
  if ((got == TemporalRoiRead::TooLarge) != (size > kTemporalRoiMaxBytes)) __builtin_trap();
  if (got == TemporalRoiRead::Ok) {  // as run setup derives the plan, from frame 1
    r.K = r.fromIdx > 1 ? r.fromIdx - 1 : 0;
    r.lastFrame = r.toIdx;
    framePlanProblem(r, file);
  }
}

// A folder holding a good 48x40 frame (the corpus's) and the input under
// one of four image names: every frame comes out 48x40, or the read fails.
void folder(const std::uint8_t* data, std::size_t size) {
  static const char* const names[] = {"b.jpg", "b.png", "b.bmp", "b.ppm"};
  const std::string dir = scratch() + "/frames";
  static const bool made = [&] {
    const char* sample = std::getenv("SCVARDO_FUZZ_FRAME");
    std::error_code ec;
    return sample != nullptr && std::filesystem::create_directory(dir, ec) &&
           std::filesystem::copy_file(sample, dir + "/a.jpg", ec);
  }();
  if (!made || size == 0) return;
  for (const char* name : names) ::unlink((dir + "/" + name).c_str());
  put(dir + "/" + names[data[0] % 4], data + 1, size - 1);
  FrameSource source(dir);
  if (!source.open().empty()) return;
  cv::Mat frame;
  std::string why;
  int status = 0;
  while (source.read(frame, why, status) == FrameSource::Got::Frame)
    if (frame.cols != 48 || frame.rows != 40 || frame.type() != CV_8UC3) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int which = data[0] % 4;
  ++data, --size;
  if (which == 0) {
    switches(data, size);
  } else if (which == 1) {
    temporalRoi(data, size);
  } else if (which == 2) {  // frames of a known size, as every frame after the first is read
    FrameReader reader;
    cv::Mat out;
    const ImageRead got = reader.decode(data, size, "", size % 2 == 0, out, cv::Size(48, 40));
    if (got.status == ImageRead::Ok && (out.cols != 48 || out.rows != 40)) __builtin_trap();
  } else {
    folder(data, size);
  }
  return 0;
}
