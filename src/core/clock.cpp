#include <chrono>

#include "core/clock.h"

// The steady clock never goes backwards; its count is in nanoseconds.
std::int64_t counterFrequency() {
  using Period = std::chrono::steady_clock::period;
  static_assert(Period::num == 1, "steady_clock ticks must be fractions of a second");
  return static_cast<std::int64_t>(Period::den);
}

std::int64_t counterNow() {
  return static_cast<std::int64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}
