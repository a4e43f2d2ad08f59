// RoiMask from an OpenCV image, apart so that the passes build without OpenCV.
#include <cassert>

#include <opencv2/core.hpp>

#include "core/roi.h"

RoiMask RoiMask::fromImage(const cv::Mat& grey) {
  assert(grey.type() == CV_8UC1);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(grey.cols) * grey.rows);
  // Row by row: the image's own row alignment is not copied.
  for (int r = 0; r < grey.rows; ++r) {
    const std::uint8_t* row = grey.ptr<std::uint8_t>(r);
    std::copy(row, row + grey.cols, bytes.begin() + static_cast<std::ptrdiff_t>(r) * grey.cols);
  }
  return fromBytes(grey.cols, grey.rows, std::move(bytes));
}
