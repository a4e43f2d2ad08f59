// The frames of sc-vardo-video: a folder of images (in name order, each
// read through the checked frame reader), a camera, or a video file (whose
// declared frame count, when it has one, must all arrive).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>
#include <opencv2/videoio.hpp>

#include "cli/frame_reader.h"

// Whether a folder entry's name is an image's (the folder reader takes
// those that are not hidden).
bool isImageName(const std::string& name);

class FrameSource {
 public:
  // A folder, a camera index (digits only) or a video file; nothing is
  // opened yet.
  explicit FrameSource(std::string input);

  // Opens the input; "" or the line saying why it cannot be used (status 1).
  std::string open();
  bool folder() const { return folder_; }
  bool camera() const { return camera_; }
  // The frame count when known, else 0.
  std::int64_t total() const;
  // The input's frame rate, else 25.
  double fps() const;

  enum class Got { Frame, End, Failed };
  // The next frame. At the end of a video file that declared more frames
  // than it gave, and for a folder's image that cannot be used, Failed with
  // one line in *why and the status in *status.
  Got read(cv::Mat& frame, std::string& why, int& status);

 private:
  std::string input_;
  bool folder_ = false, camera_ = false;
  std::vector<std::string> files_;
  std::size_t next_ = 0;
  std::int64_t delivered_ = 0;
  cv::Size size_;  // of the first frame
  FrameReader reader_;
  cv::VideoCapture capture_;
};

// A folder's image files in name order; "" or the line saying why not.
std::string listImages(const std::string& folder, std::vector<std::string>& files);
