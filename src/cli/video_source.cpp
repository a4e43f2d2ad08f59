#include "cli/video_source.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "cli/exit.h"

namespace fs = std::filesystem;

bool isImageName(const std::string& name) {
  std::string ext = fs::path(name).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  static const char* const kinds[] = {".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff",
                                      ".ppm", ".pgm", ".webp"};
  return std::find_if(std::begin(kinds), std::end(kinds), [&](const char* k) { return ext == k; }) !=
         std::end(kinds);
}

std::string listImages(const std::string& folder, std::vector<std::string>& files) {
  std::error_code ec;
  // Hidden names are skipped: the temporaries of outputs are hidden.
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name[0] != '.' && isImageName(name)) files.push_back(it->path().string());
  }
  if (ec) return "cannot list folder " + folder + ": " + ec.message();
  std::sort(files.begin(), files.end());
  if (files.empty()) return "folder " + folder + " holds no image";
  return "";
}

FrameSource::FrameSource(std::string input) : input_(std::move(input)) {
  std::error_code ec;
  folder_ = fs::is_directory(input_, ec);
  camera_ = !folder_ && !input_.empty() &&
            std::all_of(input_.begin(), input_.end(), [](unsigned char c) { return std::isdigit(c); });
}

std::string FrameSource::open() {
  if (folder_) return listImages(input_, files_);
  if (camera_ ? !capture_.open(std::atoi(input_.c_str())) : !capture_.open(input_, cv::CAP_ANY))
    return (camera_ ? "cannot open camera " : "cannot open video ") + input_;
  return "";
}

std::int64_t FrameSource::total() const {
  if (folder_) return static_cast<std::int64_t>(files_.size());
  if (camera_) return 0;
  const double n = capture_.get(cv::CAP_PROP_FRAME_COUNT);
  return n > 0 ? static_cast<std::int64_t>(n) : 0;
}

double FrameSource::fps() const {
  const double f = folder_ ? 0.0 : capture_.get(cv::CAP_PROP_FPS);
  return f > 0 && f <= 1000 ? f : 25.0;
}

FrameSource::Got FrameSource::read(cv::Mat& frame, std::string& why, int& status) {
  if (folder_) {
    if (next_ >= files_.size()) return Got::End;
    const std::string& name = files_[next_++];
    const ImageRead r = reader_.read(name, true, frame, size_);
    if (r.status == ImageRead::WrongSize) {
      why = "image file " + name + " is " + std::to_string(r.size.width) + "x" +
            std::to_string(r.size.height) + " but the first frame is " + std::to_string(size_.width) +
            "x" + std::to_string(size_.height);
      status = kExitInput;
      return Got::Failed;
    }
    if (r.status != ImageRead::Ok) {
      const ReadFailure f = readFailure(r, name);
      why = f.line;
      status = f.status;
      return Got::Failed;
    }
    if (size_.empty()) size_ = frame.size();
    return Got::Frame;
  }
  if (capture_.read(frame) && !frame.empty()) {
    ++delivered_;
    return Got::Frame;
  }
  // A file cut short, or overwritten in part, ends early without an error
  // from the back end: its declared count tells.
  const std::int64_t declared = total();
  if (!camera_ && declared > delivered_) {
    why = "video " + input_ + " ended after " + std::to_string(delivered_) + " of " +
          std::to_string(declared) + " frames";
    status = kExitInput;
    return Got::Failed;
  }
  return Got::End;
}
