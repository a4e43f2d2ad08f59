// Model storage and initialisation.
#include <cassert>

#include "model/model.h"

void initModel(FloatPlanes& model, const FloatPlanes& frame, int H, int W, int n,
               const RoiMask& roi) {
  const std::size_t modelW = static_cast<std::size_t>(n) * W;
  assert(model.size() >= modelW * static_cast<std::size_t>(n) * H);
  assert(frame.size() >= static_cast<std::size_t>(W) * H);
  assert(roi.bytes.size() >= static_cast<std::size_t>(W) * H);
  // Every row from 0 (not firstRoiRow); pixels outside the ROI keep zero blocks.
  for (int r = 0; r < H; ++r) {
    for (int c = 0; c < W; ++c) {
      const std::size_t k = static_cast<std::size_t>(r) * W + c;
      if (roi.bytes[k] == 0) continue;
      for (int i = 0; i < n; ++i) {
        const std::size_t rowBase = (static_cast<std::size_t>(r) * n + i) * modelW +
                                    static_cast<std::size_t>(c) * n;
        for (int j = 0; j < n; ++j)
          for (int p = 0; p < 3; ++p) model[p][rowBase + j] = frame[p][k];
      }
    }
  }
}
