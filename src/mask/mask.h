// Detection mask: the spatial-coherence vote over the labels, and the binary
// mask image saved as PNG.
#pragma once

#include <cstdint>
#include <string>

#include "driver/run_state.h"
#include "model/model.h"

namespace cv {
class Mat;
}

// New label of one pixel from its window's background count (labels 0 or 85).
std::uint8_t coherenceRule(int count, int threshold, std::uint8_t label);

// Read `in`, write the ROI pixels of `out` (nothing else); windows and
// thresholds per class per class, cells outside the ROI counted by
// their stored label. The 5x5 variant gives the twelve pixels beside the
// corners that its own windows do not cover ((0,1), (1,0), (1,1) and their
// mirror images) the 3x3 rule of their position: its clipped window and
// threshold. Frames must be at least 2x2 (3x3 variant) or 4x4 (5x5 variant);
// see minFrameSide. Smaller frames never read outside the frame (windows
// are clipped), but their labels are not defined.
void coherenceFilter3x3(int H, int W, const LabelMask& in, int n, LabelMask& out,
                        const RoiMask& roi);
void coherenceFilter5x5(int H, int W, const LabelMask& in, int n, LabelMask& out,
                        const RoiMask& roi);
// Smallest frame width and height the filter selected by Cw can take.
int minFrameSide(int Cw);

// 255 where the label is 255, 0 elsewhere; `maskImage` must be CV_8UC1 W x H.
void labelsToMask(const LabelMask& labels, cv::Mat& maskImage);
// Saves "bin%.6d.png" in the working directory, median-filtered when
// medianWidth > 1. The file is complete or absent. On failure prints one
// line naming the file on stderr and returns false.
bool saveMask(const cv::Mat& maskImage, int frameNumber, int medianWidth);
std::string maskFileName(int frameNumber);
// Whether the median filter can take this aperture on a W x H frame: 0 and 1
// (no filtering), and odd widths 3..255 whatever W and H. Negative and even
// widths are refused. The bound was found by trying cv::medianBlur (OpenCV
// 4.6) on 8-bit 0/255 images from 1x1 to 2500x1800: every odd width up to
// 255 ran and matched a replicated-border reference median, while widths
// from 295 up can fail OpenCV's internal assertions (its histogram median
// keeps 16-bit counts, and 255 * 255 still fits in them).
bool medianWidthUsable(int medianWidth, int W, int H);
