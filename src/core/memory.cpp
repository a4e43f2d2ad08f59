#include "core/memory.h"

#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdint>

std::string memoryShortfall(int W, int H, int n, int models) {
  const unsigned __int128 N = static_cast<unsigned __int128>(W) * static_cast<unsigned>(H);
  const unsigned __int128 cells = N * static_cast<unsigned>(n) * static_cast<unsigned>(n);
  // Frame and the models (floats), snapshot (bytes), two label buffers,
  // winner rows and columns (ints), mask image, the update's winner codes
  // and admissions (bytes).
  const unsigned __int128 need = 3 * N * 4 + static_cast<unsigned>(models) * 3 * cells * 4 +
                                 3 * cells + 2 * N + 2 * N * 4 + N + 2 * N;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  const unsigned __int128 have =
      pages > 0 && pageSize > 0
          ? static_cast<unsigned __int128>(pages) * static_cast<unsigned long>(pageSize)
          : ~static_cast<unsigned __int128>(0);
  // Linux overcommits: a model larger than the machine would be accepted by
  // the allocator and the run killed midway, so compare before allocating.
  if (cells <= static_cast<unsigned __int128>(PTRDIFF_MAX / 4) && need <= have) return "";
  const double gib = 1024.0 * 1024.0 * 1024.0;
  char line[256];
  std::snprintf(line, sizeof line,
                "Not enough memory: %dx%d frames with n=%d need %.1f GiB of buffers, this "
                "machine has %.1f GiB",
                W, H, n, static_cast<double>(need) / gib, static_cast<double>(have) / gib);
  return line;
}
