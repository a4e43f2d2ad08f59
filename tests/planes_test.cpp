#include <gtest/gtest.h>

#include "model/planes.h"

TEST(Planes, ZeroFilledCopyAndRelease) {
  FloatPlanesHandle a = newFloatPlanes(3, 5);
  FloatPlanesHandle b = newFloatPlanes(3, 6);
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ((*a)[k][i], 0.0f);
      (*a)[k][i] = static_cast<float>(10 * k + i + 1);
    }
  (*b)[2][5] = 7.0f;
  copyPlanes(*a, 5, *b);
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 5; ++i) EXPECT_EQ((*b)[k][i], (*a)[k][i]);
  EXPECT_EQ((*b)[2][5], 7.0f) << "copy went beyond len";
  freePlanes(a, 3);
  EXPECT_EQ(a, nullptr);
  freePlanes(a, 3);  // a second release does nothing
  EXPECT_EQ(a, nullptr);
}
