#include <algorithm>

#include "schedule/schedule.h"

namespace fast {

void Workspace::fit(const Geometry& g, int workers) {
  code_.resize(g.pixels());
  admit_.resize(g.pixels() + kAdmitPadding);
  const std::size_t threads = static_cast<std::size_t>(std::max(workers, 1));
  if (workers_.size() < threads) workers_.resize(threads);
  if (memos_.size() < threads) memos_.resize(threads);
}

}  // namespace fast
