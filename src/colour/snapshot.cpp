// Model snapshot: every model cell rendered as one RGB pixel.
#include <cassert>

#include <opencv2/core.hpp>

#include "colour/colour.h"

void renderSnapshot(const FloatPlanes& model, std::size_t count, BytePlanes& image) {
  assert(model.size() >= count && image.size() >= count);
  const float* x = model[0];
  const float* y = model[1];
  const float* v = model[2];
  std::uint8_t* red = image[0];
  std::uint8_t* green = image[1];
  std::uint8_t* blue = image[2];
  for (std::size_t k = 0; k < count; ++k) {
    float H, S, V;
    coneToHsv(ConeColor{x[k], y[k], v[k]}, H, S, V);
    float R, G, B;
    hsvToRgb(H, S, V, R, G, B);
    // Each product is a float before the rounding.
    const float r255 = R * 255.0f;
    const float g255 = G * 255.0f;
    const float b255 = B * 255.0f;
    red[k] = toByte(r255);
    green[k] = toByte(g255);
    blue[k] = toByte(b255);
  }
}

void snapshotToBgr(const BytePlanes& image, int rows, int cols, cv::Mat& bgr) {
  assert(image.size() >= static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
  bgr.create(rows, cols, CV_8UC3);
  for (int r = 0; r < rows; ++r) {
    const std::size_t base = static_cast<std::size_t>(r) * static_cast<std::size_t>(cols);
    std::uint8_t* out = bgr.ptr<std::uint8_t>(r);
    for (int c = 0; c < cols; ++c) {
      out[3 * c + 0] = image[2][base + c];
      out[3 * c + 1] = image[1][base + c];
      out[3 * c + 2] = image[0][base + c];
    }
  }
}
