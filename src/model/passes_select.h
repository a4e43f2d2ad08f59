// The two implementations of the passes and the one place that
// selects which of them the public calibrationPass, detectionPass and
// updatePass (model.h) run.
//
// reference:: is the plain version in raster order (passes.cpp); fast::
// (passes_fast.cpp) gives bit-identical labels, winner positions and model
// cells, which tests/passes_fast_test.cpp checks on odd sizes, ROIs with
// holes, random frames and real frames. Neither is parallel: the raster
// order of the updates is part of the result.
#pragma once

#include "model/model.h"

enum class PassImpl { Reference, Fast };

// The selection, made here and nowhere else.
inline constexpr PassImpl kSelectedPasses = PassImpl::Fast;

namespace reference {
void calibrationPass(const FloatPlanes& frame, int H, int W, const FloatPlanes& current,
                     LabelMask& labels, const AlphaTable& alpha, int n, float e1,
                     FloatPlanes& next, const RunParams& params, const RoiMask& roi);
void detectionPass(const FloatPlanes& frame, int H, int W, const FloatPlanes& current, int n,
                   float e2, LabelMask& labels, std::vector<int>& matchRow,
                   std::vector<int>& matchCol, const RunParams& params, const RoiMask& roi);
void updatePass(const FloatPlanes& frame, int H, int W, const FloatPlanes& current,
                const LabelMask& labels, const AlphaTable& alpha, int n,
                const std::vector<int>& matchRow, const std::vector<int>& matchCol,
                FloatPlanes& next, const RoiMask& roi);
}  // namespace reference

namespace fast {
void calibrationPass(const FloatPlanes& frame, int H, int W, const FloatPlanes& current,
                     LabelMask& labels, const AlphaTable& alpha, int n, float e1,
                     FloatPlanes& next, const RunParams& params, const RoiMask& roi);
void detectionPass(const FloatPlanes& frame, int H, int W, const FloatPlanes& current, int n,
                   float e2, LabelMask& labels, std::vector<int>& matchRow,
                   std::vector<int>& matchCol, const RunParams& params, const RoiMask& roi);
void updatePass(const FloatPlanes& frame, int H, int W, const FloatPlanes& current,
                const LabelMask& labels, const AlphaTable& alpha, int n,
                const std::vector<int>& matchRow, const std::vector<int>& matchCol,
                FloatPlanes& next, const RoiMask& roi);
}  // namespace fast
