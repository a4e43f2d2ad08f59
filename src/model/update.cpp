// Neighbourhood update.
#include <algorithm>
#include <cassert>

#include "model/model.h"

void updateNeighbourhood(const float x[3], int H, int W, const FloatPlanes& current,
                         FloatPlanes& next, const AlphaTable& alpha, int n, int winRow,
                         int winCol, const LabelMask& labels, const std::uint8_t* absorb) {
  assert(alpha.n == n);
  const int h = n / 2;
  const int modelH = n * H;
  const int modelW = n * W;
  assert(winRow >= 0 && winRow < modelH && winCol >= 0 && winCol < modelW);
  const int rowStart = std::max(winRow - h, 0);
  const int rowEnd = std::min(winRow + h + 1, modelH);
  const int colStart = std::max(winCol - h, 0);
  const int colEnd = std::min(winCol + h + 1, modelW);
  for (int mr = rowStart; mr < rowEnd; ++mr) {
    for (int mc = colStart; mc < colEnd; ++mc) {
      const std::size_t owner = static_cast<std::size_t>(mr / n) * W + mc / n;
      if (labels[owner] != 0 && !(absorb && absorb[owner] != 0)) continue;
      const float a = alpha[mr - winRow + h][mc - winCol + h];
      const double oneMinusA = 1.0 - a;  // formed once per cell
      const std::size_t i = static_cast<std::size_t>(mr) * modelW + mc;
      for (int k = 0; k < 3; ++k)
        next[k][i] = static_cast<float>(oneMinusA * current[k][i] + static_cast<double>(a) * x[k]);
    }
  }
}
