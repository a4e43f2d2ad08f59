// Pictures of an evaluation: each chosen frame with its true positives, false
// positives and false negatives tinted, side by side with the mask, and a
// contact sheet of a few of them. Counting follows metrics::classify, so a
// tinted pixel is exactly a pixel the counts include.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cv {
class Mat;
}

namespace overlay {

// Tint colours, blue-green-red byte order as OpenCV stores colour images.
struct Bgr {
  std::uint8_t b, g, r;
};
constexpr Bgr kTruePositive{0, 255, 0};   // green
constexpr Bgr kFalsePositive{0, 0, 255};  // red
constexpr Bgr kFalseNegative{255, 0, 0};  // blue
// Weight of the tint colour in the blend; the frame keeps 1 - kTintAlpha.
constexpr double kTintAlpha = 0.5;

// `frame` CV_8UC3 W x H; `mask`, `gt`, `roi` CV_8UC1 of the same size
// (asserted). Returns CV_8UC3 2W x H: columns 0..W-1 the frame with TP, FP and
// FN pixels tinted (every other pixel unchanged), columns W..2W-1 the mask
// (255 foreground white, everything else black).
cv::Mat makeOverlay(const cv::Mat& frame, const cv::Mat& mask, const cv::Mat& gt,
                    const cv::Mat& roi);

// A grid of `columns` tiles per row, each under a caption strip, tiles scaled
// down to at most kSheetTileWidth wide; the tiles must share one size.
constexpr int kSheetTileWidth = 640;
cv::Mat makeContactSheet(const std::vector<cv::Mat>& tiles,
                         const std::vector<std::string>& captions, int columns);

// At most `maxCount` of `frames`, evenly spread, always including the first.
std::vector<int> pickForSheet(const std::vector<int>& frames, std::size_t maxCount);
// first, first + every, ... up to last.
std::vector<int> everyNth(int first, int last, int every);

std::string overlayPath(const std::string& outDir, int frame);  // overlay%06d.png
std::string contactSheetPath(const std::string& outDir);        // contact-sheet.png
constexpr std::size_t kSheetMaxTiles = 8;

// For each frame writes outDir/overlay%06d.png from SEQDIR/input/in%06d.jpg,
// MASKDIR/bin%06d.png, the ground truth and ROI.bmp; then contact-sheet.png
// from up to kSheetMaxTiles of them. Creates outDir if needed. Stops at the
// first failure with `error` naming the file; files already written stay.
bool writeOverlays(const std::string& maskDir, const std::string& seqDir,
                   const std::vector<int>& frames, const std::string& outDir,
                   std::string& error);

}  // namespace overlay
