#include "cli/outputs.h"

#include <cassert>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "core/output_file.h"

namespace {

void reportFailure(const std::string& name, const std::string& why, std::string* failure) {
  const std::string line = "Cannot write mask file " + name + ": " + why + "\n";
  if (failure != nullptr)
    *failure = line;
  else
    std::fputs(line.c_str(), stderr);
}

}  // namespace

bool saveMask(const cv::Mat& mask, int frameNumber, std::string* failure) {
  return saveMaskIn("", mask, frameNumber, failure);
}

bool saveMaskIn(const std::string& folder, const cv::Mat& mask, long long frameNumber,
                std::string* failure) {
  const std::string name =
      (folder.empty() || folder.back() == '/' ? folder : folder + "/") + maskFileName(frameNumber);
  std::vector<unsigned char> png;
  bool encoded = false;
  try {
    encoded = cv::imencode(".png", mask, png);
  } catch (const cv::Exception& e) {
    reportFailure(name, e.err, failure);
    return false;
  }
  if (!encoded) {
    reportFailure(name, "PNG encoding failed", failure);
    return false;
  }
  const WriteOutcome out = writeFileAtomic(name, png.data(), png.size());
  if (!out) {
    reportFailure(name, out.why, failure);
    return false;
  }
  return true;
}

std::string maskFileName(long long frameNumber) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "bin%.6lld.png", frameNumber);
  return buf;
}

int writePpm(const cv::Mat& bgr, const std::string& path) {
  assert(bgr.type() == CV_8UC3);
  char header[64];
  const int len = std::snprintf(header, sizeof header, "P6\n%d %d\n%d\n", bgr.cols, bgr.rows, 255);
  std::vector<std::uint8_t> bytes(header, header + len);
  bytes.reserve(bytes.size() + bgr.total() * 3);
  for (int r = 0; r < bgr.rows; ++r) {
    const std::uint8_t* in = bgr.ptr<std::uint8_t>(r);
    for (int c = 0; c < bgr.cols; ++c) {
      bytes.push_back(in[3 * c + 2]);
      bytes.push_back(in[3 * c + 1]);
      bytes.push_back(in[3 * c + 0]);
    }
  }
  const WriteOutcome out = writeFileAtomic(path, bytes.data(), bytes.size());
  if (out.status == WriteOutcome::CannotCreate) {
    std::printf("Errore apertura file %s\n", path.c_str());
    return 0;
  }
  if (!out) {
    std::fprintf(stderr, "Cannot write snapshot file %s: %s\n", path.c_str(), out.why.c_str());
    return 0;
  }
  return 1;
}

std::string snapshotFileName(int frameNumber) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "Model%.6d.ppm", frameNumber);
  return buf;
}
