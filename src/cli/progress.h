// A progress line for long runs: frames done (of the total when known),
// frames per second and the time left, redrawn in place on standard error.
// It stays silent unless standard error is a terminal, so redirected output
// holds exactly what it held without it.
#pragma once

#include <chrono>
#include <cstdint>

// Wipes the line of the progress being shown, if any, so that an error line
// printed next starts clean.
void clearActiveProgress();

class Progress {
 public:
  // total <= 0: unknown (a camera); no ETA is shown then.
  explicit Progress(std::int64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Redraws at most a few times a second.
  void update(std::int64_t done);
  // Wipes the line, so that what the run prints next starts clean; the next
  // update draws it again.
  void clear();
  bool enabled() const { return enabled_; }

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled_;
  bool shown_ = false;
  std::int64_t total_;
  Clock::time_point start_;
  Clock::time_point lastDraw_;
};
