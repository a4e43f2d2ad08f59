// The synthetic scenes of make-sample: frames and exact ground truth,
// rendered in integer arithmetic from a fixed-seed generator of our own, so
// that a scene is the same file set on every run and machine (given the same
// image library).
//
// Ground truth: 255 moving object, 50 cast shadow, 170 unknown (not
// counted), 0 static background.
#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace scenes {

enum class Kind {
  Traffic,   // three coloured objects with cast shadows on a still background
  Swaying,   // foliage that sways and water that glitters behind a walker and a boat
  Moved,     // a parcel that is moved and stays, a walker passing now and then
  Stopping,  // a person who walks in, stands for a while and walks on
  Noisy,     // the traffic scene under strong sensor noise
};

// "traffic", "swaying", "moved", "stopping", "noisy"; false for anything else.
bool kindFromName(const std::string& name, Kind& kind);
const char* kindList();  // the names, separated by ", "
int defaultFrames(Kind kind);

class Scene {
 public:
  // W, H >= 16; frames >= 1 (the moments of the story scale with it).
  Scene(Kind kind, int W, int H, int frames);
  ~Scene();
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;

  // Frame f (1-based), 8-bit BGR, and its ground truth, 8-bit grey.
  void render(int f, cv::Mat& frame, cv::Mat& gt) const;
  // 8-bit grey: 255 inside, 0 outside.
  cv::Mat roi() const;
  // The first scored frame: the frames before it are for calibration.
  int firstScored() const;

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace scenes
