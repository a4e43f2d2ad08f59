#include <gtest/gtest.h>

#include <string>

#include "driver/driver.h"

TEST(RunBuffers, HugeModelsAreRefusedBeforeAllocation) {
  EXPECT_EQ(memoryShortfall(320, 240, 3), "");
  EXPECT_EQ(memoryShortfall(1, 1, 9), "");
  const std::string huge = memoryShortfall(60000, 60000, 9);
  EXPECT_EQ(huge.rfind("Not enough memory: 60000x60000 frames with n=9 need ", 0), 0u) << huge;
  // W*H*n*n itself overflows 64 bits here.
  EXPECT_NE(memoryShortfall(2147483647, 2147483647, 9), "");
}
