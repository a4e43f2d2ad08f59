#include "cli/video_out.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

int fourccFor(const std::string& file) {
  std::string ext = std::filesystem::path(file).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  if (ext == ".mp4" || ext == ".m4v" || ext == ".mov") return cv::VideoWriter::fourcc('m', 'p', '4', 'v');
  return cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
}

namespace {

// The bytes on the disk: a full disk may only show when they are flushed.
std::string flushed(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
  const std::string why = ok ? "" : std::strerror(errno);
  ::close(fd);
  return why;
}

// How many frames the written file gives back: its declared count, and
// the last frame must decode. The back end reports no write failure (a
// full disk leaves a video cut short, or without its index).
std::int64_t framesIn(const std::string& path, std::int64_t written) {
  cv::VideoCapture back;
  try {
    if (!back.open(path, cv::CAP_ANY)) return 0;
    const double declared = back.get(cv::CAP_PROP_FRAME_COUNT);
    const std::int64_t count = declared > 0 ? static_cast<std::int64_t>(declared) : 0;
    if (count != written) return std::min(count, written);
    cv::Mat last;
    if (!back.set(cv::CAP_PROP_POS_FRAMES, static_cast<double>(written - 1)) || !back.read(last) ||
        last.empty())
      return written - 1;
  } catch (const cv::Exception&) {
    return 0;
  }
  return written;
}

}  // namespace

std::string VideoOut::reserve(const std::string& path) {
  const WriteOutcome out = file_.create(path);
  return out ? "" : "cannot write video " + path + ": " + out.why;
}

std::string VideoOut::write(const cv::Mat& image, double fps) {
  if (!writer_.isOpened()) {
    bool opened = false;
    try {
      opened = writer_.open(file_.temporary(), fourccFor(path()), fps, image.size(), image.channels() == 3);
    } catch (const cv::Exception&) {
    }
    if (!opened) return "cannot write video " + path() + ": no video writer takes this file type";
  }
  writer_.write(image);
  ++frames_;
  return "";
}

std::string VideoOut::finish() {
  if (!wanted()) return "";
  writer_.release();
  if (frames_ == 0) {
    file_.discard();
    return "";
  }
  std::string why = flushed(file_.temporary());
  if (why.empty()) {
    const std::int64_t got = framesIn(file_.temporary(), frames_);
    if (got != frames_)
      why = "it holds " + std::to_string(got) + " of its " + std::to_string(frames_) +
            " frames (is the disk full?)";
  }
  if (why.empty()) {
    const WriteOutcome out = file_.commit();
    if (out) return "";
    why = out.why;
  }
  file_.discard();
  return "cannot write video " + path() + ": " + why;
}
