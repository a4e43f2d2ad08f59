// The parameter table (scvardo::paramTable, in params.cpp), the checks
// behind its ranges, and the defined report lines of the method's
// parameters.
#pragma once

#include <string>
#include <vector>

#include "scvardo/params.hpp"

// Block sides with a defined weight kernel.
bool isSupportedBlockSize(int n);
// Median widths the filter takes: 0 and 1 (no filtering) and odd 3..255.
// Beyond 255 OpenCV's 8-bit histogram median (16-bit bin counts) was seen to
// fail its own assertions.
bool medianWidthUsable(int width);
// Smallest frame width and height the coherence filter of a window takes.
int minFrameSide(int window);
int minFrameSide(const scvardo::Params& p);

// "" when every value is in its range, else one line naming the first
// parameter that is not: "invalid n 4: it must be 3, 5, 7 or 9".
std::string paramsProblem(const scvardo::Params& p);

// sc-vardo's settings report, the lines of the method's parameters: those
// before its ROI line (block, thresholds, rates, shadows, coherence), and
// those after it (median, then a line of its own for each Report::Own row).
std::string reportBeforeRoi(const scvardo::Params& p);
std::string reportAfterRoi(const scvardo::Params& p);

// The usage text sc-vardo prints without arguments, as defined, piece by
// piece. It names the parameters, so it lives beside their table.
std::vector<const char*> usagePieces();
