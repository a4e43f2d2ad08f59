#include "core/roi.h"

#include <algorithm>
#include <utility>

RoiMask RoiMask::all(int W, int H) {
  return fromBytes(W, H, std::vector<std::uint8_t>(static_cast<std::size_t>(W) * H, 255));
}

RoiMask RoiMask::fromBytes(int W, int H, std::vector<std::uint8_t> bytes) {
  RoiMask m;
  m.W = W;
  m.H = H;
  m.bytes = std::move(bytes);
  const auto first = std::find_if(m.bytes.begin(), m.bytes.end(), [](std::uint8_t b) { return b != 0; });
  m.firstRoiRow = first == m.bytes.end() || W == 0 ? 0 : static_cast<int>((first - m.bytes.begin()) / W);
  return m;
}
