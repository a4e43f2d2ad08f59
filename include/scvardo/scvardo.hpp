// SC-VARDO: a background subtractor in OpenCV's conventions.
//
//   auto bs = scvardo::createBackgroundSubtractor();   // or with Params, an ROI
//   cv::Mat mask;
//   for (cv::Mat frame; capture.read(frame);) bs->apply(frame, mask);
//
// Every pixel is modelled by an n x n block of colour weight vectors in the
// HSV cone, trained like a self-organizing map. The first frame initialises
// the model, frames 2..K train it (their masks are all 0), every later frame
// is classified (background, shadow, foreground), cleaned by a spatial
// coherence vote, trained on where it is background, and returned as a
// 0/255 mask. Results are deterministic and independent of the thread count.
#pragma once

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/video/background_segm.hpp>

#include "scvardo/error.hpp"
#include "scvardo/params.hpp"

namespace scvardo {

// Time spent in the passes alone (no conversion, copies or output).
struct PassTimes {
  std::int64_t calibrationNs = 0;
  std::int64_t onlineNs = 0;
};

class BackgroundSubtractor : public cv::BackgroundSubtractor {
 public:
  // image: 8-bit 3-channel BGR, the same size on every call.
  // learningRate < 0: the method's schedule; 0: classify only, the model is
  // not changed; in (0, 1]: replaces the rate constant of the phase for this
  // frame (useful: about 0.01 to 0.2; 1 moves the winning weight vectors
  // all the way to the frame). Not a number, or above 1, throws Error.
  // fgmask: 8-bit, 255 foreground, 0 elsewhere (all 0 while calibrating).
  // A frame of another size or type throws Error and changes nothing.
  void apply(cv::InputArray image, cv::OutputArray fgmask, double learningRate = -1) override = 0;

  // W x H BGR: each pixel shows the centre weight vector of its block.
  void getBackgroundImage(cv::OutputArray backgroundImage) const override = 0;
  // n*W x n*H BGR: every weight vector, pixel (r, c)'s block as the n x n
  // tile at rows r*n.., columns c*n.. (the sc-vardo Model*.ppm picture).
  virtual void getModelImage(cv::OutputArray modelImage) const = 0;
  // The last frame's labels: 0 background, 85 shadow, 170 foreground cleared
  // by spatial coherence, 255 foreground.
  virtual void getLabels(cv::OutputArray labels) const = 0;

  virtual Params getParams() const = 0;
  // New parameters, used from the next frame on; the model is kept. A value
  // out of its range, a change of a parameter fixed by the first frame (n,
  // K), or a coherence window the frames are too small for throws Error
  // (Kind::Parameter) and changes nothing.
  virtual void setParams(const Params& params) = 0;
  // Frames seen so far, the initialising one included.
  virtual std::int64_t getFrameCount() const = 0;
  virtual PassTimes getPassTimes() const = 0;
  // Changes only the speed; 0 takes one per CPU the process may use (its
  // affinity, within its cgroup CPU quota). Throws Error
  // outside 0..kMaxThreads.
  virtual void setThreads(int threads) = 0;
  // Forgets the model and the frame count; the parameters and the ROI stay.
  void clear() override = 0;
  // Whether there is no model yet: no frame seen, none loaded.
  bool empty() const override = 0;

  // Persistence. save() writes atomically and chooses the format by the
  // name's extension: ".scvm" a binary file (fast; about the size of the
  // model's floats), else a text file through cv::FileStorage (".yml",
  // ".yml.gz", ".xml", ".json"; slow and large). Either holds the
  // parameters, the frame size and count, the ROI, the labels and the model
  // exactly, under a checksum of all of it. scvardo::load() reads both.
  // read() takes a FileStorage's root or top node as write() left it; a
  // corrupt, truncated, foreign or mismatched model throws Error and leaves
  // the subtractor as it was. A model saved while calibrating goes on
  // calibrating: getFrameCount() < getParams().K tells.
  void write(cv::FileStorage& fs) const override = 0;
  void read(const cv::FileNode& node) override = 0;
  void save(const cv::String& filename) const override = 0;
  cv::String getDefaultName() const override { return "scvardo_BackgroundSubtractor"; }
};

// Bad parameters, or an ROI that is not an 8-bit single-channel image, throw
// Error. roi: nonzero where pixels are processed; its size must equal the
// frames'. Without one every pixel is processed.
cv::Ptr<BackgroundSubtractor> createBackgroundSubtractor(const Params& params = Params(),
                                                         cv::InputArray roi = cv::noArray());

// A new subtractor from a model file written by save(), whatever its
// format (.scvm, .yml, .yml.gz, .xml, .json), with every hardware thread
// (setThreads changes that). Reading is bounded: only a regular file, no
// larger than a model of the frame size it declares (checked before the
// model is allocated or the text inflated or parsed), nested no deeper than
// a model file, integer fields that read exactly as written, and frame
// counts up to 2^53. Every refusal throws Error whose what() names the
// file: Kind::Input for a damaged, foreign or mismatched file,
// Kind::Unreadable when it cannot be opened or read, Kind::Memory when its
// model does not fit in this machine's memory.
cv::Ptr<BackgroundSubtractor> load(const std::string& path);

// "" when a subtractor with these parameters, plus `alsoNeeded` bytes of the
// caller's (decoded frames, output buffers), fits in the memory this process
// may still take (what the machine has available, its cgroup's limit, its
// address-space limit) for frames of this size; else one line saying what
// is needed and what limits it, the line apply() would throw (Kind::Memory).
std::string memoryShortfall(const Params& params, cv::Size frameSize, std::uint64_t alsoNeeded = 0);

// "0.2.0"
const char* version();

// The instruction-set path the passes run on in this process: "avx512",
// "avx2", "sse4", "neon" or "portable", the best this CPU runs unless the
// environment variable SCVARDO_ISA names another (an unknown or unavailable
// name is reported once on stderr). Every path gives the same results.
const char* instructionSet();

// The worker threads of a subtractor with these parameters: params.threads,
// or for 0 the CPUs this process may use (its CPU affinity, capped by its
// cgroup's CPU quota).
int threadCount(const Params& params);

}  // namespace scvardo
