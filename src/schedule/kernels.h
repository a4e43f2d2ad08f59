// The building blocks of the fast passes: the search of a pixel row, the
// update of a band of block rows, and the shadow fallback with its
// prefilter. The search and the update are written once (search.cpp,
// update.cpp) and compiled for every instruction-set path (isa.h); each
// path gives the reference's bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/planes.h"
#include "core/types.h"
#include "schedule/isa.h"

// Per pixel, what the update needs from the search: the winner's index
// i*n + j in the pixel's block when the pixel's window is to be laid, else
// one of these (calibration tells shadow from no match for the label).
constexpr std::uint8_t kOutside = 0xFD;
constexpr std::uint8_t kShadow = 0xFE;
constexpr std::uint8_t kNoMatch = 0xFF;

// Whose windows a block admits, by where their pixel lies in raster order
// against the block's own pixel. A block always admits its own pixel's
// window when that pixel lays one.
constexpr std::uint8_t kAdmitEarlier = 1, kAdmitOwn = 2, kAdmitLater = 4;
constexpr std::uint8_t kAdmitAll = kAdmitEarlier | kAdmitOwn | kAdmitLater;

// Bytes that buffers of per-pixel admissions carry past their last pixel,
// so that the update may read whole vectors of them.
constexpr std::size_t kAdmitPadding = 64;

// One pixel row's search. The pixels' blocks lie side by side from X, Y, V
// (the block row's first model row; model rows modelW apart).
struct SearchRow {
  const float* X = nullptr;
  const float* Y = nullptr;
  const float* V = nullptr;
  std::size_t modelW = 0;
  int n = 3;
  const float* px = nullptr;  // the pixels' colours
  const float* py = nullptr;
  const float* pv = nullptr;
  int count = 0;
  // The distance threshold: `threshold` for every pixel, or per pixel from
  // `thresholds` when given.
  float threshold = 0.0f;
  const float* thresholds = nullptr;
  // Out: the winner's code in its block (the centre when it is as close as
  // the least distance, else the first cell attaining that distance, if the
  // distance is below 100 and within the threshold), kNoMatch otherwise.
  std::uint8_t* code = nullptr;
  // Out when given: the first cell attaining the least distance whatever
  // the threshold (kNoMatch when no distance is below 100).
  std::uint8_t* nearest = nullptr;
  // Out when given: that least distance (100 when none is below 100).
  float* distance = nullptr;
};

// The update of block rows, gathered from the windows that reach them.
//
// The reference blends each window into the model as it was at the start of
// the frame, in raster order, so a cell ends with the blend of the last
// window that covered it and that its block admitted. A window reaches only
// the block rows of its own pixel row and the two beside it; once the
// winners of pixel row R+1 are known, the band update blends each cell of
// block row R once, with the window that would have written it last
// (update.cpp). A block row is read and written only by its own update, so
// bands of rows can be updated in any order, on any thread, in place.
struct UpdateJob {
  int H = 0, W = 0, n = 0;
  const std::uint8_t* code = nullptr;   // per pixel: winner code
  const std::uint8_t* admit = nullptr;  // per pixel: whose windows its block admits (padded)
  const float* alpha = nullptr;         // n x n rates, row-major, finite
  // When given: the windows of pixels marked kAbsorbStill take these rates
  // (n x n, finite) in place of `alpha`.
  const std::uint8_t* absorb = nullptr;
  const float* absorbAlpha = nullptr;
  const float* frame[3] = {};           // per pixel colour
  const float* in[3] = {};              // the model as it was
  float* out[3] = {};                   // the model to write (may equal `in`)
};

// A thread's rows of per-pixel values for the update; kept between calls
// so that they are allocated once.
struct BandScratch {
  std::vector<std::int32_t, LineAligned<std::int32_t>> cells;
  std::vector<float, LineAligned<float>> colour;
  std::vector<float, LineAligned<float>> paint;  // per cell of a model row: its window's rate and colour
};

// The adaptive mode's step (adapt.h) over pixels [begin, end) of one frame,
// lane by lane with the reference's float operations; pixels outside the
// ROI keep their state.
struct AdaptJob {
  std::size_t begin = 0, end = 0;
  const std::uint8_t* roi = nullptr;
  // The final labels; null for a calibration frame, labelled from the
  // nearest distance against the threshold, without stillness or absorption.
  const std::uint8_t* labels = nullptr;
  const float* frame[3] = {};
  float* still[3] = {};
  std::int32_t* stillFrames = nullptr;
  std::uint8_t* run = nullptr;
  std::uint8_t* foreground = nullptr;
  std::uint8_t* absorb = nullptr;  // kAbsorbStill, kMaybeCleared or 0
  float* flicker = nullptr;
  float* distance = nullptr;
  float* threshold = nullptr;
  const float* nearest = nullptr;
  std::int32_t start = 0;  // still frames from which a pixel is absorbed
  float distanceGain = 0, thresholdLow = 0, thresholdHigh = 0, flickerTrain = 0;
};

// A row of 8-bit BGR pixels to cone coordinates, as rgbToHsv and hsvToCone
// give them; pixels whose ROI byte is 0 keep what x, y and v hold.
struct ConvertRow {
  const std::uint8_t* bgr = nullptr;
  const std::uint8_t* roi = nullptr;
  int count = 0;
  float* x = nullptr;
  float* y = nullptr;
  float* v = nullptr;
};

struct Kernels {
  void (*searchRow)(const SearchRow& row);
  // Updates block rows [rBegin, rEnd), calling (*ready)(pr), when given,
  // before the winners of pixel row pr and the admissions of block rows
  // pr-1..pr+1 are read.
  void (*updateBand)(const UpdateJob& job, int rBegin, int rEnd,
                     const std::function<void(int)>* ready, BandScratch& scratch);
  void (*adaptPixels)(const AdaptJob& job);
  void (*convertRow)(const ConvertRow& row);
};

// The kernels of a path (which must be available), and of the active one.
const Kernels& kernelsFor(Isa isa);
inline const Kernels& kernels() { return kernelsFor(activeIsa()); }

// The reference's shadow fallback (findShadowMatch) with a prefilter that
// passes over weight vectors that plainly fail the test, without dividing
// or trigonometry; same outcome. Made once per pass.
class ShadowPrefilter {
 public:
  explicit ShadowPrefilter(const scvardo::Params& params);
  // Whether some vector of pixel (r, c)'s block passes the shadow test for
  // colour p, and then the first one's model row and column.
  bool match(const ConeColor& p, const FloatPlanes& model, int W, int r, int c, int n,
             int& outRow, int& outCol) const;

  struct Plain;  // a colour's (x, y) in double

 private:
  bool mayPass(double vp, float mv) const;
  // A bit per cell of the N x N block from v (model rows modelW apart)
  // whose value ratio may pass, in raster order.
  template <int N>
  std::uint64_t blockCandidates(const float* v, std::size_t modelW, float Vp) const;
  template <int N>
  bool matchBlock(const ConeColor& p, const FloatPlanes& model, int W, int r, int c, int& outRow,
                  int& outCol) const;
  bool tryCell(const ConeColor& p, const Plain& pe, const FloatPlanes& model, std::size_t cell,
               float& Hp, float& Sp, bool& pixelConverted) const;

  const scvardo::Params& params_;
  // A value ratio outside [low_, high_] fails for certain (with margins
  // over the rounded quotient's error).
  double low_, high_;
  bool useLow_, useHigh_;
  double hueCos_;  // the cosine of the widest hue difference that may pass, -2 for any
};
