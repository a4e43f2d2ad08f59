#include "cli/progress.h"

#include <cstdio>

#include <unistd.h>

namespace {
Progress* active = nullptr;  // the line on screen now; one at a time
}  // namespace

void clearActiveProgress() {
  if (active != nullptr) active->clear();
}

Progress::Progress(std::int64_t total)
    : enabled_(isatty(STDERR_FILENO) == 1), total_(total), start_(Clock::now()), lastDraw_() {
  active = this;
}

Progress::~Progress() {
  clear();
  if (active == this) active = nullptr;
}

void Progress::update(std::int64_t done) {
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  const bool last = total_ > 0 && done >= total_;
  if (shown_ && !last && now - lastDraw_ < std::chrono::milliseconds(250)) return;
  lastDraw_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double fps = seconds > 0.0 ? static_cast<double>(done) / seconds : 0.0;
  char line[160];
  int len;
  if (total_ > 0) {
    const double pct = 100.0 * static_cast<double>(done) / static_cast<double>(total_);
    len = std::snprintf(line, sizeof line, "frame %lld/%lld (%.0f%%)  %.1f fps",
                        static_cast<long long>(done), static_cast<long long>(total_), pct, fps);
    if (fps > 0.0 && len > 0 && static_cast<std::size_t>(len) < sizeof line) {
      const long long left = static_cast<long long>(static_cast<double>(total_ - done) / fps + 0.5);
      len += std::snprintf(line + len, sizeof line - static_cast<std::size_t>(len),
                           "  ETA %lld:%02lld", left / 60, left % 60);
    }
  } else {
    len = std::snprintf(line, sizeof line, "frame %lld  %.1f fps", static_cast<long long>(done), fps);
  }
  // Carriage return, the line, then erase whatever a longer earlier line left.
  std::fprintf(stderr, "\r%s\033[K", line);
  std::fflush(stderr);
  shown_ = true;
}

void Progress::clear() {
  if (!enabled_ || !shown_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  shown_ = false;
}
