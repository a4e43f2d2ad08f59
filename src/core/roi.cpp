#include "core/roi.h"

#include <algorithm>
#include <cassert>

#include <opencv2/core.hpp>

RoiMask RoiMask::all(int W, int H) {
  RoiMask m;
  m.W = W;
  m.H = H;
  m.bytes.assign(static_cast<std::size_t>(W) * H, 255);
  return m;
}

RoiMask RoiMask::fromImage(const cv::Mat& grey) {
  assert(grey.type() == CV_8UC1);
  RoiMask m;
  m.W = grey.cols;
  m.H = grey.rows;
  m.bytes.resize(static_cast<std::size_t>(m.W) * m.H);
  // Row by row: the image's own row alignment is not copied.
  for (int r = 0; r < m.H; ++r) {
    const std::uint8_t* row = grey.ptr<std::uint8_t>(r);
    std::copy(row, row + m.W, m.bytes.begin() + static_cast<std::ptrdiff_t>(r) * m.W);
  }
  const auto first = std::find_if(m.bytes.begin(), m.bytes.end(), [](std::uint8_t b) { return b != 0; });
  m.firstRoiRow = first == m.bytes.end() ? 0 : static_cast<int>((first - m.bytes.begin()) / m.W);
  return m;
}
