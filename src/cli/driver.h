// The phase driver of sc-vardo: the calibration and online loops over the
// face, which masks and snapshots are written, and the timing lines.
#pragma once

#include "cli/setup.h"

// Runs both phases; returns the exit status (0, or 3 when an output was
// lost). Throws RunExit on a fatal error.
int runPhases(RunSetup& setup);
