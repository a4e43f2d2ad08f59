// The per-frame schedule, in one place: the first frame initialises the
// model, frames 2..K calibrate it, every later frame is detected, cleaned by
// spatial coherence, trained on and finished into a mask.
//
// The engine owns every buffer of a run. It is what the public
// scvardo::BackgroundSubtractor holds; persistence reads and writes its
// fields directly.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <opencv2/core/mat.hpp>

#include "adapt/adapt.h"
#include "core/planes.h"
#include "core/types.h"
#include "core/workers.h"
#include "model/model.h"
#include "schedule/schedule.h"
#include "schedule/threads.h"

// The passes a run uses, chosen here and nowhere else: the scheduled ones
// of src/schedule (the same bits as the reference passes of src/model, on
// one model updated in place), or the reference ones with their two models.
inline constexpr bool kScheduledPasses = true;
// Copies of the model a run holds.
inline constexpr int kModelCopies = kScheduledPasses ? 1 : 2;

// Models a run keeps: one with the fast passes in place, two with the
// reference passes.
int modelCopies(const scvardo::Params& p);
// What a run keeps besides the models and the defined method's buffers:
// the adaptive mode's state and scratch.
std::uint64_t extraBytes(const scvardo::Params& p, int W, int H);
// One array of a model file: rows x cols elements, row-major.
struct StoredArray {
  enum class Type { Byte, Int32, Float };
  const char* name;
  Type type;
  int rows, cols;
  void* data;
  std::size_t bytes() const {
    return static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) * (type == Type::Byte ? 1 : 4);
  }
};

class Engine {
 public:
  // The step a frame took.
  enum class Step { Initialise, Calibrate, Detect };

  // params must be usable (paramsProblem is ""), K >= 0. An empty roi
  // (W == 0) processes every pixel.
  Engine(const scvardo::Params& params, RoiMask roi);

  // One frame, 8-bit BGR. learningRate < 0: the schedule's rate; 0: nothing
  // is trained; in (0, 1]: replaces the rate constant for this frame.
  // `mask` receives the finished 0/255 mask (all 0 unless the frame was
  // detected). Throws scvardo::Error, changing nothing, for a frame of
  // another type or size, a learning rate that is not a number or above 1,
  // or a model that does not fit in memory.
  Step apply(const cv::Mat& bgr, double learningRate, cv::Mat& mask);

  // New parameters (in range), used from the next frame on; the model is
  // kept. Throws scvardo::Error, changing nothing, when a started engine
  // would change a parameter fixed by its first frame, or its frames are
  // too small for the new coherence window. The worker threads change at
  // once.
  void setParams(const scvardo::Params& params);
  // The ROI as given: empty (W == 0) when every pixel is processed.
  RoiMask givenRoi() const { return fullFrame_ ? RoiMask{} : roi_; }
  // The threads the passes may run on (those of the pool once it is made).
  int threads();

  bool started() const { return frames_ > 0; }
  std::int64_t frames() const { return frames_; }
  const Geometry& geometry() const { return g_; }
  const scvardo::Params& params() const { return p_; }
  int K() const { return p_.K; }
  const RoiMask& roi() const { return roi_; }
  const LabelMask& labels() const { return labels_; }
  const FloatPlanes& model() const { return *current_; }
  // The adaptive mode's state; null when it is off or before the first frame.
  const AdaptiveState* adaptive() const { return adapt_.get(); }
  AdaptiveState* adaptive() { return adapt_.get(); }
  std::int64_t calibrationNs() const { return calibrationNs_; }
  std::int64_t onlineNs() const { return onlineNs_; }

  // The model rendered: every weight vector (n*W x n*H) or each block's
  // centre (W x H), 8-bit BGR; empty before the first frame.
  void modelImage(cv::Mat& out) const;
  void backgroundImage(cv::Mat& out) const;

  // The per-pixel state a model file holds besides the parameters, the ROI
  // and the frame count, by name; writable, for restoring. Empty before the
  // first frame. State added here is saved and loaded by every format.
  std::vector<StoredArray> storedArrays();
  // Restoring a saved model: allocates for W x H frames and takes the frame
  // count (throws scvardo::Error as apply() does for a first frame); the
  // caller then fills storedArrays() and calls finishRestore().
  void beginRestore(int W, int H, std::int64_t frames);
  void finishRestore();

 private:
  void allocate(int W, int H);
  void initialise();
  void calibrate(double learningRate, bool alone);
  void detect(double learningRate, cv::Mat& mask, bool alone);
  // The adaptive mode's frame, in the frame's context.
  void detectAdaptive(double learningRate, PassContext ctx);
  // The alpha table of a frame: the scheduled rate, or the one a positive
  // learningRate gives.
  void rateTable(double learningRate, float scheduled);
  // The adaptive mode's rates for absorbed pixels, from c2 and the span.
  void absorbTable();
  // The context of a frame's passes; with `alone` (or a pool of one thread)
  // they run on the calling thread.
  PassContext context(bool alone = false);

  scvardo::Params p_;
  RoiMask roi_;
  bool fullFrame_;  // no ROI given: every pixel, whatever the size
  Geometry g_;
  std::int64_t frames_ = 0;

  // One model when the passes update in place; `next_` stays null then.
  FloatPlanesHandle frame_, current_, next_;
  std::unique_ptr<WorkerPool> pool_;  // made at the first pass
  fast::Workspace ws_;
  // With the default thread count: per kind of frame (calibration, online),
  // whether the pool pays (threads.h).
  ThreadChoice threadChoice_[2];
  WeightKernel kernel_;
  BaseRates rates_;
  AlphaTable alpha_, absorbAlpha_;
  LabelMask labels_, spare_;
  std::vector<int> matchRow_, matchCol_;
  std::unique_ptr<AdaptiveState> adapt_;  // adaptive mode only
  cv::Mat maskImage_;
  std::int64_t calibrationNs_ = 0, onlineNs_ = 0;
};
