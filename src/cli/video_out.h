// A video output written whole or not at all: the frames go to a temporary
// beside the file, made when the run starts; after the last one the
// temporary is closed, read back to check that it holds every frame
// written, and only then renamed over the file. A planted link is replaced,
// never followed, and the earlier file stays until the new one is whole.
#pragma once

#include <cstdint>
#include <string>

#include <opencv2/core/mat.hpp>
#include <opencv2/videoio.hpp>

#include "core/output_file.h"

// The codec a file name asks for: .mp4, .m4v, .mov: mp4v; else MJPG.
int fourccFor(const std::string& file);

class VideoOut {
 public:
  // Makes the temporary: "" or one line saying why the file cannot be written.
  std::string reserve(const std::string& path);
  // One frame; the video is opened at the first, with its size and colour.
  // "" or the line saying why it could not be opened.
  std::string write(const cv::Mat& image, double fps);
  // Closes the video, checks it, renames it into place: "" or the line
  // saying why it is not (the temporary is gone then). Without any frame
  // the file is left as it was.
  std::string finish();
  const std::string& path() const { return file_.path(); }
  bool wanted() const { return !file_.temporary().empty(); }

 private:
  PendingFile file_;
  cv::VideoWriter writer_;
  std::int64_t frames_ = 0;
};
