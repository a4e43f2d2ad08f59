// Whether a run's buffers fit in this machine's memory.
#pragma once

#include <string>

// "" when the buffers for W x H frames with n x n blocks and `models` copies
// of the model fit in physical memory, else a one-line refusal naming what they would need. Linux
// overcommits, so a model larger than the machine would otherwise be
// accepted by the allocator and the run killed midway.
std::string memoryShortfall(int W, int H, int n, int models);
