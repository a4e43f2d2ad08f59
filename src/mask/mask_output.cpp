// Mask finishing and output: labels to the binary mask image, the
// optional median filter, and the PNG file, written complete or not at all.
#include <fcntl.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "mask/mask.h"

namespace {

// Largest aperture handed to cv::medianBlur. Beyond it OpenCV's histogram
// median (16-bit bin counts) can overflow: apertures from 295 up were seen
// to fail its internal assertions on 8-bit images, and 255 * 255 still fits.
constexpr int kMaxMedianWidth = 255;

void reportFailure(const std::string& name, const std::string& why) {
  std::fprintf(stderr, "Cannot write mask file %s: %s\n", name.c_str(), why.c_str());
}

// Writes all of `data` to `fd`; false (errno set) on any failure.
bool writeAll(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t k = ::write(fd, data, size);
    if (k < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += k;
    size -= static_cast<std::size_t>(k);
  }
  return true;
}

// Writes `bytes` to a temporary file beside `path` and renames it over `path`,
// so that `path` is either complete or untouched. On failure the temporary
// file is removed and `why` says what went wrong.
bool writeFileWhole(const std::string& path, const std::vector<unsigned char>& bytes,
                    std::string& why) {
  const std::string tmp = path + ".tmp." + std::to_string(static_cast<long>(::getpid()));
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    why = std::strerror(errno);
    return false;
  }
  if (!writeAll(fd, bytes.data(), bytes.size())) {
    why = std::strerror(errno);
    ::close(fd);
    ::unlink(tmp.c_str());
    return false;
  }
  if (::close(fd) != 0) {
    why = std::strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    why = std::strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
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

bool saveMask(const cv::Mat& maskImage, int frameNumber, int medianWidth) {
  const std::string name = maskFileName(frameNumber);
  if (!medianWidthUsable(medianWidth, maskImage.cols, maskImage.rows)) {
    // Run setup refuses such widths; reaching here is a caller's bug.
    reportFailure(name, "median width " + std::to_string(medianWidth) + " is not usable");
    return false;
  }
  std::vector<unsigned char> png;
  bool encoded = false;
  try {
    if (medianWidth > 1) {
      cv::Mat filtered;  // the MaskImage itself stays unfiltered
      cv::medianBlur(maskImage, filtered, medianWidth);
      encoded = cv::imencode(".png", filtered, png);
    } else {
      encoded = cv::imencode(".png", maskImage, png);
    }
  } catch (const cv::Exception& e) {
    reportFailure(name, e.err);
    return false;
  }
  if (!encoded) {
    reportFailure(name, "PNG encoding failed");
    return false;
  }
  std::string why;
  if (!writeFileWhole(name, png, why)) {
    reportFailure(name, why);
    return false;
  }
  return true;
}

std::string maskFileName(int frameNumber) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "bin%.6d.png", frameNumber);
  return buf;
}

bool medianWidthUsable(int medianWidth, int W, int H) {
  (void)W;
  (void)H;
  if (medianWidth == 0 || medianWidth == 1) return true;
  return medianWidth >= 3 && medianWidth % 2 == 1 && medianWidth <= kMaxMedianWidth;
}
