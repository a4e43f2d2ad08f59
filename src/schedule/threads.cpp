#include "schedule/threads.h"

namespace {

// Frames of each way measured before the averages are trusted.
constexpr int kWarmUp = 2;
// A running average over about this many frames.
constexpr double kWeight = 1.0 / 4.0;

}  // namespace

bool ThreadChoice::usePool() {
  ++frame_;
  if (measured_[1] < kWarmUp) return pool_ = true;
  if (measured_[0] < kWarmUp) return pool_ = false;
  const bool poolFaster = average_[1] <= average_[0];
  const double faster = poolFaster ? average_[1] : average_[0];
  const double slower = poolFaster ? average_[0] : average_[1];
  const std::int64_t every = slower > 1.3 * faster ? 64 : 16;
  pool_ = frame_ % every == 0 ? !poolFaster : poolFaster;
  return pool_;
}

void ThreadChoice::record(std::int64_t ns) {
  const int way = pool_ ? 1 : 0;
  average_[way] = measured_[way] == 0 ? static_cast<double>(ns)
                                      : average_[way] + kWeight * (static_cast<double>(ns) - average_[way]);
  ++measured_[way];
}
