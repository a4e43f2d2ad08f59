// A steadily growing 64-bit count and its frequency; frequency 0 means none.
#pragma once

#include <cstdint>

std::int64_t counterFrequency();
std::int64_t counterNow();
