// Mask finishing: labels to the binary mask image, and the optional median
// filter.
#include <cassert>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "mask/mask.h"

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

void finishMask(const cv::Mat& maskImage, int width, cv::Mat& out) {
  assert(medianWidthUsable(width));
  if (width > 1)
    cv::medianBlur(maskImage, out, width);  // the MaskImage itself stays unfiltered
  else
    maskImage.copyTo(out);
}
