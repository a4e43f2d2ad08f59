// Colour conversion between 8-bit frames, HSV and cone coordinates, and the
// model snapshot (the model rendered as an RGB picture, written as binary PPM).
//
// Cone coordinates: (x, y, v) = (S*V*cos H, S*V*sin H, V), H in degrees,
// S and V in [0, 1]. Stored values are floats; each expression is evaluated
// in double and rounded to float when stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/planes.h"
#include "core/types.h"

class WorkerPool;

namespace cv {
class Mat;
}

// Single-precision constants of the conversions.
constexpr float kInv255 = 0.003921569f;
constexpr float kInv60 = 0.016666668f;
constexpr float kDegToRad = 0.017453292f;
constexpr float kTwoPi = 6.2831855f;

void rgbToHsv(std::uint8_t R, std::uint8_t G, std::uint8_t B, float& H, float& S, float& V);
ConeColor hsvToCone(float H, float S, float V);
// S is NaN for v == 0 (black); callers treat NaN as failing every test.
void coneToHsv(const ConeColor& c, float& H, float& S, float& V);
void hsvToRgb(float H, float S, float V, float& R, float& G, float& B);
std::uint8_t toByte(float x);

// The cone colours of recently converted 8-bit RGB values. A sequence's
// frames keep reusing colours, and the memo (1 MiB, direct-mapped) saves
// most of the conversion's trigonometry. One per converting thread.
class ConeMemo {
 public:
  ConeMemo();
  // Asks for a colour's slot ahead of get().
  void prefetch(std::uint8_t R8, std::uint8_t G8, std::uint8_t B8) const;
  ConeColor get(std::uint8_t R8, std::uint8_t G8, std::uint8_t B8);

 private:
  struct Slot {
    std::uint32_t key = 0xFFFFFFFFu;  // no 24-bit value: empty
    ConeColor colour;
  };
  std::vector<Slot> slots_;
};

// Writes the cone coordinates of every ROI pixel of an 8-bit BGR image into
// the W*H planes of `frame` (plane 0 x, 1 y, 2 v); other pixels keep their
// values. `rows` points at the first stored row, rows `stride` bytes apart;
// with `bottomUp` the first stored row is the bottom of the picture.
// Returns false, writing nothing, when the size differs from the ROI's.
// Rows are spread over `pool`'s workers when one is given; `memos`, when
// given, holds one memo per worker.
bool convertFrame(const std::uint8_t* rows, int W, int H, std::size_t stride, bool bottomUp,
                  FloatPlanes& frame, const RoiMask& roi, WorkerPool* pool = nullptr,
                  std::vector<ConeMemo>* memos = nullptr);
// Same for a loaded image; refuses anything but 8-bit 3-channel of the ROI's size.
bool convertFrame(const cv::Mat& image, FloatPlanes& frame, const RoiMask& roi,
                  WorkerPool* pool = nullptr, std::vector<ConeMemo>* memos = nullptr);

// Renders `count` model cells into the R, G, B planes of `image`.
void renderSnapshot(const FloatPlanes& model, std::size_t count, BytePlanes& image);
// The rendered planes as one rows x cols 8-bit BGR picture.
void snapshotToBgr(const BytePlanes& image, int rows, int cols, cv::Mat& bgr);
