// Detection mask: the spatial-coherence vote over the labels, and the binary
// mask image with its optional median filter.
#pragma once

#include <cstdint>
#include <string>

#include "core/types.h"

namespace cv {
class Mat;
}

// New label of one pixel from its window's background count (labels 0 or
// 85): a shadow stays; too little background makes foreground (255); else
// foreground is cleared to 170 and background stays. Without branches, so
// that the filter's row loop vectorises.
inline std::uint8_t coherenceRule(int count, int threshold, std::uint8_t label) {
  const std::uint8_t cleared = label == 255 ? 170 : label;
  const std::uint8_t voted = count <= threshold ? 255 : cleared;
  return label == 85 ? 85 : voted;
}

// Read `in`, write the ROI pixels of `out` (nothing else); each class of
// position has its clipped window and threshold, and cells outside the ROI
// count by their stored label. The 5x5 variant gives the twelve pixels beside
// the corners that its own windows do not cover ((0,1), (1,0), (1,1) and
// their mirror images) the 3x3 rule of their position. Frames must be at
// least minFrameSide of the window on each side; smaller ones are never read
// outside the frame, but their labels are not defined.
void coherenceFilter3x3(const PassContext& ctx, const LabelMask& in, LabelMask& out);
void coherenceFilter5x5(const PassContext& ctx, const LabelMask& in, LabelMask& out);
// The variant the parameters select: 5x5 for a window of 5, else 3x3.
void coherenceFilter(const PassContext& ctx, const LabelMask& in, LabelMask& out);
// Rows [rBegin, rEnd) of coherenceFilter, on the calling thread.
void coherenceRows(const PassContext& ctx, const LabelMask& in, LabelMask& out, int rBegin,
                   int rEnd);

// 255 where the label is 255, 0 elsewhere; `maskImage` must be CV_8UC1 W x H.
void labelsToMask(const LabelMask& labels, cv::Mat& maskImage);
// The mask median-filtered with a square aperture of side `width` when it
// is above 1, else a copy. The width must be usable (medianWidthUsable).
void finishMask(const cv::Mat& maskImage, int width, cv::Mat& out);
