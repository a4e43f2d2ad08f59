#include "core/planes.h"

#include <algorithm>

FloatPlanesHandle newFloatPlanes(int count, std::size_t len) {
  return std::make_unique<FloatPlanes>(count, len);
}

BytePlanesHandle newBytePlanes(int count, std::size_t len) {
  return std::make_unique<BytePlanes>(count, len);
}

void copyPlanes(const FloatPlanes& src, std::size_t len, FloatPlanes& dst) {
  for (int k = 0; k < 3; ++k) std::copy(src[k], src[k] + len, dst[k]);
}
