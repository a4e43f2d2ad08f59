// Mask finishing and output: labels to the binary mask image, the
// optional median filter, and the PNG file, written complete or not at all.
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/output_file.h"
#include "mask/mask.h"

namespace {

void reportFailure(const std::string& name, const std::string& why, std::string* failure) {
  const std::string line = "Cannot write mask file " + name + ": " + why + "\n";
  if (failure != nullptr)
    *failure = line;
  else
    std::fputs(line.c_str(), stderr);
}

}  // namespace

void labelsToMask(const LabelMask& labels, cv::Mat& maskImage) {
  assert(maskImage.type() == CV_8UC1);
  const int W = maskImage.cols;
  const int H = maskImage.rows;
  assert(labels.size() >= static_cast<std::size_t>(W) * H);
  for (int r = 0; r < H; ++r) {
    const std::uint8_t* in = labels.data() + static_cast<std::size_t>(r) * W;
    std::uint8_t* out = maskImage.ptr<std::uint8_t>(r);
    for (int c = 0; c < W; ++c) out[c] = in[c] == 255 ? 255 : 0;
  }
}

void finishMask(const cv::Mat& maskImage, int medianWidth, cv::Mat& out) {
  assert(medianWidthUsable(medianWidth));
  if (medianWidth > 1)
    cv::medianBlur(maskImage, out, medianWidth);  // the MaskImage itself stays unfiltered
  else
    maskImage.copyTo(out);
}

bool saveMask(const cv::Mat& maskImage, int frameNumber, int medianWidth, std::string* failure) {
  const std::string name = maskFileName(frameNumber);
  if (!medianWidthUsable(medianWidth)) {
    // Run setup refuses such widths; reaching here is a caller's bug.
    reportFailure(name, "median width " + std::to_string(medianWidth) + " is not usable", failure);
    return false;
  }
  std::vector<unsigned char> png;
  bool encoded = false;
  try {
    if (medianWidth > 1) {
      cv::Mat filtered;
      finishMask(maskImage, medianWidth, filtered);
      encoded = cv::imencode(".png", filtered, png);
    } else {
      encoded = cv::imencode(".png", maskImage, png);
    }
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

std::string maskFileName(int frameNumber) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "bin%.6d.png", frameNumber);
  return buf;
}
