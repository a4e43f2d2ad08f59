// The exactness check, without OpenCV or GoogleTest so that it also builds
// for other CPUs (scripts/test-arm.sh): the scheduled passes on 1..4
// threads, updating one model in place, against the reference passes with
// their two models; labels, winner positions and every bit of every model
// cell after every frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/roi.h"
#include "scvardo/params.hpp"
#include "schedule/isa.h"

// An 8-bit frame, W*H pixels of blue, green, red, row by row.
struct BgrFrame {
  int W = 0, H = 0;
  std::vector<std::uint8_t> bytes;
};

// A fixed random background with noise, a parcel set down at frame 2 that
// stays, a moving bright square and a moving darker (shadow-like) patch.
std::vector<BgrFrame> syntheticFrames(int W, int H, int count, unsigned seed);
// Every fourth pixel out at random (holes 1), and the first row too (holes
// 2), so that windows reach into blocks above the first ROI row.
RoiMask roiWithHoles(int W, int H, int holes, unsigned seed);

// Runs `frames` through the reference and the scheduled passes in lockstep:
// frame 0 initialises, 1..K-1 calibrate, the rest detect, filter and update.
// "" or the first difference.
std::string lockstep(const std::vector<BgrFrame>& frames, const RoiMask& roi,
                     const scvardo::Params& p, int K);

// lockstep over a table of sizes (some too small for a whole vector, one
// tall enough for the bands' seams), n 3/5/7/9, both coherence windows,
// shadows on and off, ROIs with holes, and the adaptive mode off and on,
// on path `isa`: "" or one line per failing case.
std::string syntheticCases(Isa isa);

// Every 8-bit colour (every step-th with step > 1) converted by the
// convertRow kernel of each of `isas` against the reference convertFrame,
// in rows of an odd width (a part-vector tail in each) with every seventh
// pixel outside the ROI, whose plane values must stay: "" or one line per
// path that differs, naming the first colour.
std::string conversionCases(const std::vector<Isa>& isas, int step);
