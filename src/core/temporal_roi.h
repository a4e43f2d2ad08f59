// A sequence's temporalROI.txt, as sc-vardo and sc-vardo-eval read it: two
// whole numbers, the first and last frame of the temporal region of
// interest. The file is read without blocking (a FIFO in its place is
// refused, not waited on) and only while it is small.
#pragma once

#include <cstddef>
#include <string>

// The temporal-ROI file holds two numbers; anything longer is refused.
constexpr std::size_t kTemporalRoiMaxBytes = 4096;

// The two decimal integers a temporal-ROI text starts with (int range);
// false when they are not there.
bool parseTemporalRoi(const std::string& text, int& fromIdx, int& toIdx);

enum class TemporalRoiRead { Ok, Absent, NotRegular, TooLarge, Malformed };
TemporalRoiRead readTemporalRoiFile(const std::string& path, int& fromIdx, int& toIdx);
