// The speed room: everything that exists only to make the passes fast.
//
// The method itself is src/model (the reference passes, in raster order,
// reading one model and writing another) and src/mask. Here the same passes
// are scheduled for speed, with bit-identical results (tests/exact): the
// search and update kernels, compiled for every instruction-set path
// (kernels.h, isa.h); rows split into bands over worker threads, the
// search, filter and update of a band interleaved so that the model is read
// while it is in cache (calibration.cpp, online.cpp); one model updated in
// place; and the scratch memory of all of it, in a Workspace that the
// engine owns.
#pragma once

#include <cstdint>
#include <vector>

#include "colour/colour.h"
#include "core/planes.h"
#include "adapt/adapt.h"
#include "core/types.h"
#include "model/model.h"
#include "schedule/kernels.h"

namespace fast {

// What the fast passes keep between frames: per pixel, the winner codes
// and admissions of the update; per worker thread, its paint layers, a row
// of codes, the coherence filter's column counts and the colour memo.
class Workspace {
 public:
  struct Worker {
    BandScratch band;
    std::vector<std::uint8_t> row;
    std::vector<std::uint8_t> columns;
  };

  // Sized for geometry g and `workers` threads; keeps what it has otherwise.
  void fit(const Geometry& g, int workers);
  std::uint8_t* code() { return code_.data(); }
  std::uint8_t* admit() { return admit_.data(); }  // kAdmitPadding bytes past the last pixel
  // Per pixel, the nearest cell's code (the adaptive mode); sized on the
  // first call, which must come before the threads use it.
  std::uint8_t* nearest(std::size_t pixels) {
    if (nearest_.size() < pixels) nearest_.resize(pixels);
    return nearest_.data();
  }
  Worker& worker(int w) { return workers_[static_cast<std::size_t>(w)]; }
  std::vector<ConeMemo>& memos() { return memos_; }

 private:
  std::vector<std::uint8_t> code_, admit_, nearest_;
  std::vector<Worker> workers_;
  std::vector<ConeMemo> memos_;
};

// convertFrame of colour.h, bit for bit, for an 8-bit BGR image of the ROI's
// size stored top row first, rows `stride` bytes apart; rows spread over
// ctx.pool's workers. In vectors on the AVX2 and AVX-512 paths; with two
// doubles a vector (SSE4, NEON, portable) the colour memo is faster.
void convertFrame(const PassContext& ctx, Workspace& ws, const std::uint8_t* rows,
                  std::size_t stride, FloatPlanes& frame);

// The passes of model.h, bit for bit, on ctx.pool's threads; `current` and
// `next` may be the same planes (the model is then updated in place, which
// is how the engine runs them). ws must fit ctx's geometry and pool.
void calibrationPass(const PassContext& ctx, Workspace& ws, const FloatPlanes& frame,
                     const FloatPlanes& current, LabelMask& labels, const AlphaTable& alpha,
                     FloatPlanes& next);
void detectionPass(const PassContext& ctx, Workspace& ws, const FloatPlanes& frame,
                   const FloatPlanes& current, LabelMask& labels, std::vector<int>& matchRow,
                   std::vector<int>& matchCol);
void updatePass(const PassContext& ctx, Workspace& ws, const FloatPlanes& frame,
                const FloatPlanes& current, const LabelMask& labels, const AlphaTable& alpha,
                const std::vector<int>& matchRow, const std::vector<int>& matchCol,
                FloatPlanes& next);

// adaptCalibrate of adapt.h, after a calibration pass, in vectors.
void adaptCalibrate(const PassContext& ctx, const FloatPlanes& frame, AdaptiveState& s);

// One online frame: detectionPass, coherenceFilter into `spare` and
// updatePass, interleaved by bands of rows; the model updated in place.
// `labels` ends as the search left it, `spare` as the filter did.
//
// With `adapt` (the adaptive mode), each row's adaptDetect (in vectors)
// runs between the filter and the update, and ctx.adapt gives the thresholds, the nearest
// distances and the absorptions as the separate passes take them.
void onlineStep(const PassContext& ctx, Workspace& ws, const FloatPlanes& frame, FloatPlanes& model,
                LabelMask& labels, LabelMask& spare, const AlphaTable& alpha,
                AdaptiveState* adapt = nullptr);

}  // namespace fast
