// Checks of the method's parameters (scvardo::Params).
#pragma once

#include <string>

#include "scvardo/params.hpp"

// Block sides with a defined weight kernel.
bool isSupportedBlockSize(int n);
// Median widths the filter takes: 0 and 1 (no filtering) and odd 3..255.
// Beyond 255 OpenCV's 8-bit histogram median (16-bit bin counts) was seen to
// fail its own assertions.
bool medianWidthUsable(int medianWidth);
// Smallest frame width and height the coherence filter selected by Cw takes.
int minFrameSide(int Cw);

// "" when the model parameters are usable, else a one-line reason naming the
// parameter (n, medianWidth, a real that is not finite).
std::string paramsProblem(const scvardo::Params& p);
