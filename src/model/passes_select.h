// The two implementations of the passes and the one place that
// selects which of them the public calibrationPass, detectionPass and
// updatePass (model.h) run.
//
// reference:: is the plain version in raster order (passes.cpp), reading
// `current` and writing `next`. fast:: (passes_fast.cpp) gives bit-identical
// labels, winner positions and model cells for any number of worker threads
// (tests/exact/exact_test.cpp), computes each cell once from its last
// window (passes_fast.cpp) and may be given
// the same planes as `current` and `next`: the run then keeps one model and
// copies nothing at the end of a frame.
#pragma once

#include <functional>

#include "model/gather.h"
#include "model/model.h"

enum class PassImpl { Reference, Fast };

// The selection, made here and nowhere else.
inline constexpr PassImpl kSelectedPasses = PassImpl::Fast;
// Whether the selected passes update the model in place.
inline constexpr bool kPassesInPlace = kSelectedPasses == PassImpl::Fast;
// Copies of the model a run holds.
inline constexpr int kModelCopies = kPassesInPlace ? 1 : 2;

namespace reference {
void calibrationPass(const PassContext& ctx, const FloatPlanes& frame,
                     const FloatPlanes& current, LabelMask& labels, const AlphaTable& alpha,
                     FloatPlanes& next);
void detectionPass(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                   LabelMask& labels, std::vector<int>& matchRow, std::vector<int>& matchCol);
void updatePass(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                const LabelMask& labels, const AlphaTable& alpha, const std::vector<int>& matchRow,
                const std::vector<int>& matchCol, FloatPlanes& next);
}  // namespace reference

namespace fast {
void calibrationPass(const PassContext& ctx, const FloatPlanes& frame,
                     const FloatPlanes& current, LabelMask& labels, const AlphaTable& alpha,
                     FloatPlanes& next);
void detectionPass(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                   LabelMask& labels, std::vector<int>& matchRow, std::vector<int>& matchCol);
void updatePass(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                const LabelMask& labels, const AlphaTable& alpha, const std::vector<int>& matchRow,
                const std::vector<int>& matchCol, FloatPlanes& next);

// The online passes by rows, for a schedule that interleaves them (each
// call writes only its own rows; see engine.cpp).
void detectionRows(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
                   LabelMask& labels, std::vector<int>& matchRow, std::vector<int>& matchCol,
                   int rBegin, int rEnd);

// The online update of one frame by rows: winners() records the winners
// and admissions of rows once their labels are final; lay() updates block
// rows [rBegin, rEnd), calling (*ready)(pr) before it reads the winners of
// pixel row pr and the admissions of rows pr-1..pr+1.
//
// detect() is detectionRows keeping the winners as codes for winners(labels,
// rBegin, rEnd) rather than as positions; it reads `current`, so it runs on
// a block row before lay() rewrites it.
class OnlineUpdate {
 public:
  OnlineUpdate(const PassContext& ctx, const FloatPlanes& frame, const FloatPlanes& current,
               const AlphaTable& alpha, FloatPlanes& next);
  void winners(const LabelMask& labels, const std::vector<int>& matchRow,
               const std::vector<int>& matchCol, int rBegin, int rEnd) const;
  void detect(LabelMask& labels, int rBegin, int rEnd) const;
  void winners(const LabelMask& labels, int rBegin, int rEnd) const;
  void lay(int rBegin, int rEnd, const std::function<void(int)>* ready = nullptr) const;

 private:
  const PassContext& ctx_;
  std::uint8_t* code_;   // the job's winner codes and admissions, which
  std::uint8_t* admit_;  // winners() writes
  const FloatPlanes* frame_;
  const FloatPlanes* current_;
  GatherJob job_;
};
}  // namespace fast
