// The instruction-set paths of the speed kernels, and the one place that
// chooses among them.
//
// Every path computes the same bits (tests/exact); they differ only in
// speed. The chooser takes the best path this CPU runs, or the one named by
// the environment variable SCVARDO_ISA (avx512, avx2, sse4, neon, portable):
// an unknown or unavailable name is reported once on stderr and the best
// path is taken instead.
#pragma once

#include <string>
#include <vector>

enum class Isa { Portable, Sse4, Avx2, Avx512, Neon };

// The path in use: SCVARDO_ISA's, else the best available (read once).
Isa activeIsa();
// For tests and benchmarks: use `isa` from now on (ignored when the CPU
// cannot run it). Not safe while passes are running.
void forceIsa(Isa isa);
// Whether this build has the path and this CPU runs it.
bool isaAvailable(Isa isa);
// Every available path, the best last.
std::vector<Isa> availableIsas();
// "avx512", "avx2", "sse4", "neon", "portable".
const char* isaName(Isa isa);

// The choice for a value of SCVARDO_ISA (null: unset), and in `warning` the
// line to print when the value names no available path ("" otherwise).
Isa chooseIsa(const char* requested, std::string& warning);
