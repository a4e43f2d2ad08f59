// Whether a frame's passes run on the pool's threads or on the calling
// thread alone, chosen from how long frames took each way.
//
// More threads are faster on an idle machine, but a thread that shares its
// core with another busy process keeps the others waiting at every barrier,
// and then one thread is faster. Results never depend on the choice, so it
// is made by measurement: the time of each frame is kept per way (a running
// average over a few frames, apart for calibration and online frames), the
// faster way is taken, and the other is tried again now and then: every
// 16th frame while the two are close, every 64th once one is clearly
// faster.
#pragma once

#include <cstdint>

class ThreadChoice {
 public:
  // Whether the next frame of this kind should run on the pool.
  bool usePool();
  // The time the frame just run took, the way usePool() chose.
  void record(std::int64_t ns);

 private:
  double average_[2] = {0.0, 0.0};  // ns per frame: alone, pool
  int measured_[2] = {0, 0};
  std::int64_t frame_ = 0;
  bool pool_ = true;
};
