#include "engine/engine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>
#include <string>
#include <utility>

#include <opencv2/core.hpp>

#include "colour/colour.h"
#include "core/clock.h"
#include "core/memory.h"
#include "mask/mask.h"
#include "scvardo/error.hpp"

namespace {

using scvardo::Error;

std::string sizeText(int W, int H) { return std::to_string(W) + "x" + std::to_string(H); }

// "" when the coherence filter takes W x H frames.
std::string tooSmall(const scvardo::Params& p, int W, int H) {
  const int side = minFrameSide(p);
  if (W >= side && H >= side) return "";
  return "the frames are " + sizeText(W, H) + "; the spatial coherence filter needs at least " +
         sizeText(side, side);
}

}  // namespace

Engine::Engine(const scvardo::Params& params, RoiMask roi)
    : p_(params), roi_(std::move(roi)), fullFrame_(roi_.W == 0) {
  g_.n = p_.n;
}

int modelCopies(const scvardo::Params&) { return kModelCopies; }

std::uint64_t extraBytes(const scvardo::Params& p, int W, int H) {
  // Per pixel: 3 floats and 2 bytes of state, an int of still frames, 3
  // floats of colour, the nearest distance, the absorption and nearest cell.
  constexpr std::uint64_t kAdaptiveBytes = 3 * 4 + 2 + 4 + 3 * 4 + 4 + 2;
  if (p.adaptive == 0 || W <= 0 || H <= 0) return 0;
  return kAdaptiveBytes * static_cast<std::uint64_t>(W) * static_cast<std::uint64_t>(H);
}

void Engine::allocate(int W, int H) {
  const std::string small = tooSmall(p_, W, H);
  if (!small.empty()) throw Error(Error::Kind::Input, small);
  if (!fullFrame_ && (roi_.W != W || roi_.H != H))
    throw Error(Error::Kind::Input, "the ROI is " + sizeText(roi_.W, roi_.H) +
                                        " but the frames are " + sizeText(W, H));
  const std::string shortfall = memoryShortfall(W, H, p_.n, modelCopies(p_), extraBytes(p_, W, H));
  if (!shortfall.empty()) throw Error(Error::Kind::Memory, shortfall);

  Geometry g = g_;
  g.W = W;
  g.H = H;
  try {
    FloatPlanesHandle frame = newFloatPlanes(3, g.pixels());
    FloatPlanesHandle current = newFloatPlanes(3, g.cells());
    FloatPlanesHandle next = modelCopies(p_) == 1 ? nullptr : newFloatPlanes(3, g.cells());
    LabelMask labels(g.pixels(), 0), spare(g.pixels(), 0);
    std::vector<int> matchRow(g.pixels(), 0), matchCol(g.pixels(), 0);
    RoiMask roi = fullFrame_ ? RoiMask::all(W, H) : roi_;
    std::unique_ptr<AdaptiveState> adapt =
        p_.adaptive != 0 ? std::make_unique<AdaptiveState>(g.pixels()) : nullptr;
    // Nothing is changed before every allocation has succeeded.
    g_ = g;
    frame_ = std::move(frame);
    current_ = std::move(current);
    next_ = std::move(next);
    labels_ = std::move(labels);
    spare_ = std::move(spare);
    matchRow_ = std::move(matchRow);
    matchCol_ = std::move(matchCol);
    roi_ = std::move(roi);
    adapt_ = std::move(adapt);
  } catch (const std::bad_alloc&) {
    throw Error(Error::Kind::Memory, "not enough memory for " + sizeText(W, H) +
                                         " frames with n=" + std::to_string(p_.n));
  }
  kernel_ = WeightKernel(p_.n);
  buildWeightKernel(p_.n, kernelSpread(p_.n), kernel_);
  rates_ = baseRates(p_.c1, p_.c2, p_.n);
  alpha_ = AlphaTable(p_.n);
  absorbTable();
  maskImage_.create(H, W, CV_8UC1);
}

void Engine::absorbTable() {
  if (p_.adaptive == 0) return;
  // At least the online rate: absorption never learns slower than background.
  const float winner = std::max(absorptionRate(p_.absorbSpan), p_.c2);
  absorbAlpha_ = AlphaTable(p_.n);
  buildAlphaTable(p_.n, winner / static_cast<float>(p_.n + 1), kernel_, absorbAlpha_);
}

Engine::Step Engine::apply(const cv::Mat& bgr, double learningRate, cv::Mat& mask) {
  // Above 1 the blend overshoots the frame and the model can grow without
  // bound; NaN would pass every comparison below unnoticed.
  if (!std::isfinite(learningRate) || learningRate > 1) {
    char value[32];
    std::snprintf(value, sizeof value, "%g", learningRate);
    throw Error(Error::Kind::Parameter,
                std::string("invalid learningRate ") + value +
                    ": it must be a number at most 1 (below 0: the schedule's rate, 0: no training)");
  }
  if (bgr.empty() || bgr.dims != 2 || bgr.type() != CV_8UC3)
    throw Error(Error::Kind::Input, "a frame must be an 8-bit 3-channel BGR image");
  if (started() && (bgr.cols != g_.W || bgr.rows != g_.H))
    throw Error(Error::Kind::Input, "the frame is " + sizeText(bgr.cols, bgr.rows) +
                                        " but the model's frames are " + sizeText(g_.W, g_.H));
  if (!started()) allocate(bgr.cols, bgr.rows);

  const std::int64_t t = frames_;
  const bool calibrating = t > 0 && t < p_.K;
  // With the default thread count, the pool is used when it pays.
  ThreadChoice* choice = p_.threads == 0 && threads() > 1 ? &threadChoice_[calibrating ? 0 : 1] : nullptr;
  const bool alone = choice != nullptr && !choice->usePool();
  const std::int64_t start = counterNow();
  if (kScheduledPasses)
    fast::convertFrame(context(alone), ws_, bgr.data, bgr.step[0], *frame_);
  else
    convertFrame(bgr, *frame_, roi_, context(alone).pool, &ws_.memos());
  Step step = Step::Detect;
  if (t == 0) {
    initialise();
    step = Step::Initialise;
  } else if (calibrating) {
    calibrate(learningRate, alone);
    step = Step::Calibrate;
  }
  ++frames_;
  // K = 0: the initialising frame is classified as well.
  if (step == Step::Detect || (t == 0 && p_.K == 0)) {
    detect(learningRate, mask, alone);
    if (choice != nullptr && t > 0) choice->record(counterNow() - start);
  } else {
    if (choice != nullptr && step == Step::Calibrate) choice->record(counterNow() - start);
    mask.create(g_.H, g_.W, CV_8UC1);
    mask.setTo(0);
  }
  return step;
}

void Engine::initialise() {
  initModel(*current_, *frame_, g_.H, g_.W, g_.n, roi_);
  if (next_) copyPlanes(*current_, g_.cells(), *next_);
  if (adapt_) adaptInitialise(context(), *frame_, *adapt_);
}

void Engine::setParams(const scvardo::Params& params) {
  if (started()) {
    for (const scvardo::ParamSpec& row : scvardo::paramTable())
      if (row.change == scvardo::ParamSpec::Change::Never && row.get(params) != row.get(p_))
        throw Error(Error::Kind::Parameter, std::string(row.name) +
                                                " cannot change after the first frame (it is " +
                                                row.format(row.get(p_)) + ")");
    const std::string small = tooSmall(params, g_.W, g_.H);
    if (!small.empty()) throw Error(Error::Kind::Parameter, small);
  }
  if (params.threads != p_.threads) {
    pool_.reset();
    threadChoice_[0] = threadChoice_[1] = ThreadChoice();
  }
  p_ = params;
  g_.n = p_.n;
  if (started()) {
    rates_ = baseRates(p_.c1, p_.c2, p_.n);
    absorbTable();
  }
}

PassContext Engine::context(bool alone) {
  if (!pool_) pool_ = std::make_unique<WorkerPool>(p_.threads);
  ws_.fit(g_, pool_->size());
  return PassContext{g_, p_, roi_, alone ? nullptr : pool_.get()};
}

int Engine::threads() {
  if (!pool_) pool_ = std::make_unique<WorkerPool>(p_.threads);
  return pool_->size();
}

void Engine::rateTable(double learningRate, float scheduled) {
  // A positive learning rate stands in for the rate constant: its base rate is lr/(n+1).
  const float rate = learningRate > 0 ? baseRates(static_cast<float>(learningRate), 0.0f, g_.n).a1 : scheduled;
  buildAlphaTable(g_.n, rate, kernel_, alpha_);
}

void Engine::calibrate(double learningRate, bool alone) {
  if (learningRate == 0) return;
  PassContext ctx = context(alone);
  rateTable(learningRate, calibrationRate(static_cast<int>(frames_), p_.K, rates_));
  const std::int64_t start = counterNow();
  if (adapt_) ctx.adapt = adapt_->forCalibration();
  if (kScheduledPasses) {
    fast::calibrationPass(ctx, ws_, *frame_, *current_, labels_, alpha_, *current_);
  } else {
    calibrationPass(ctx, *frame_, *current_, labels_, alpha_, *next_);
  }
  if (adapt_ && kScheduledPasses)
    fast::adaptCalibrate(ctx, *frame_, *adapt_);
  else if (adapt_)
    adaptCalibrate(ctx, *frame_, *adapt_);
  calibrationNs_ += counterNow() - start;
  if (next_) copyPlanes(*next_, g_.cells(), *current_);
}

void Engine::detect(double learningRate, cv::Mat& mask, bool alone) {
  const PassContext ctx = context(alone);
  if (learningRate != 0) rateTable(learningRate, onlineRate(rates_));
  const std::int64_t start = counterNow();
  if (adapt_) {
    detectAdaptive(learningRate, ctx);
  } else if (kScheduledPasses && learningRate != 0) {
    fast::onlineStep(ctx, ws_, *frame_, *current_, labels_, spare_, alpha_);
    std::swap(labels_, spare_);
  } else if (kScheduledPasses) {
    fast::detectionPass(ctx, ws_, *frame_, *current_, labels_, matchRow_, matchCol_);
    coherenceFilter(ctx, labels_, spare_);
    std::swap(labels_, spare_);
  } else {
    detectionPass(ctx, *frame_, *current_, labels_, matchRow_, matchCol_);
    coherenceFilter(ctx, labels_, spare_);
    std::swap(labels_, spare_);
    if (learningRate != 0)
      updatePass(ctx, *frame_, *current_, labels_, alpha_, matchRow_, matchCol_, *next_);
  }
  onlineNs_ += counterNow() - start;
  if (learningRate != 0 && next_) copyPlanes(*next_, g_.cells(), *current_);
  labelsToMask(labels_, maskImage_);
  finishMask(maskImage_, p_.medianWidth, mask);
}

void Engine::detectAdaptive(double learningRate, PassContext ctx) {
  if (kScheduledPasses && learningRate != 0) {
    ctx.adapt = adapt_->forOnline(absorbAlpha_.cells.data());
    fast::onlineStep(ctx, ws_, *frame_, *current_, labels_, spare_, alpha_, adapt_.get());
    std::swap(labels_, spare_);
    return;
  }
  ctx.adapt = adapt_->forDetection();
  if (kScheduledPasses)
    fast::detectionPass(ctx, ws_, *frame_, *current_, labels_, matchRow_, matchCol_);
  else
    detectionPass(ctx, *frame_, *current_, labels_, matchRow_, matchCol_);
  coherenceFilter(ctx, labels_, spare_);
  std::swap(labels_, spare_);
  if (learningRate == 0) return;
  adaptDetect(ctx, *frame_, labels_, *adapt_);
  ctx.adapt = adapt_->forUpdate(absorbAlpha_.cells.data());
  updatePass(ctx, *frame_, *current_, labels_, alpha_, matchRow_, matchCol_, *next_);
}

void Engine::modelImage(cv::Mat& out) const {
  if (!started()) {
    out.release();
    return;
  }
  BytePlanes rgb(3, g_.cells());
  renderSnapshot(*current_, g_.cells(), rgb);
  snapshotToBgr(rgb, g_.modelH(), g_.modelW(), out);
}

void Engine::backgroundImage(cv::Mat& out) const {
  if (!started()) {
    out.release();
    return;
  }
  // Each pixel shows the centre weight vector of its block.
  FloatPlanes centres(3, g_.pixels());
  const int n = g_.n, h = n / 2;
  for (int r = 0; r < g_.H; ++r)
    for (int c = 0; c < g_.W; ++c) {
      const std::size_t cell =
          static_cast<std::size_t>(r * n + h) * g_.modelW() + static_cast<std::size_t>(c * n + h);
      for (int k = 0; k < 3; ++k)
        centres[k][static_cast<std::size_t>(r) * g_.W + c] = (*current_)[k][cell];
    }
  BytePlanes rgb(3, g_.pixels());
  renderSnapshot(centres, g_.pixels(), rgb);
  snapshotToBgr(rgb, g_.H, g_.W, out);
}

std::vector<StoredArray> Engine::storedArrays() {
  if (!started()) return {};
  using T = StoredArray::Type;
  std::vector<StoredArray> stored{{"labels", T::Byte, g_.H, g_.W, labels_.data()},
          {"model_x", T::Float, g_.modelH(), g_.modelW(), (*current_)[0]},
          {"model_y", T::Float, g_.modelH(), g_.modelW(), (*current_)[1]},
          {"model_v", T::Float, g_.modelH(), g_.modelW(), (*current_)[2]}};
  if (adapt_)
    for (const AdaptiveState::Array& a : adapt_->arrays())
      stored.push_back({a.name, a.kind == AdaptiveState::Kind::Byte    ? T::Byte
                                : a.kind == AdaptiveState::Kind::Int32 ? T::Int32
                                                                       : T::Float,
                        g_.H, g_.W, a.data});
  return stored;
}

void Engine::beginRestore(int W, int H, std::int64_t frames) {
  allocate(W, H);
  frames_ = frames;
}

void Engine::finishRestore() {
  if (next_) copyPlanes(*current_, g_.cells(), *next_);
}
