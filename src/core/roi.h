// Spatial region of interest: W*H bytes, row-major, nonzero where a pixel is
// processed. The passes start their row loops at firstRoiRow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cv {
class Mat;
}

struct RoiMask {
  int W = 0;
  int H = 0;
  std::vector<std::uint8_t> bytes;
  int firstRoiRow = 0;

  // Every pixel processed.
  static RoiMask all(int W, int H);
  // W*H bytes, row by row; firstRoiRow is the first row holding a nonzero
  // byte (0 when there is none).
  static RoiMask fromBytes(int W, int H, std::vector<std::uint8_t> bytes);
  // From an 8-bit one-channel image, the same (roi_image.cpp).
  static RoiMask fromImage(const cv::Mat& grey);
  bool inside(std::size_t k) const { return bytes[k] != 0; }
};
