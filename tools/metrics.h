// Evaluation of foreground masks against change-detection ground truth: the
// per-pixel counts, the metric formulas, reading a sequence's temporal ROI,
// evaluating a directory of masks over a frame range, and checked PNG writes.
//
// Conventions (those of the change-detection benchmark):
//   ground truth  255 motion         positive
//                   0 static,
//                  50 hard shadow    negative
//                  85 outside ROI,
//                 170 unknown        not counted
//   ROI.bmp         0                not counted (any other value: counted)
//   mask          255                foreground; every other value background
// Images are 8-bit single-channel, row-major, addressed through their row
// stride; mask, ground truth and ROI of one frame have the same size.
//
// Files: masks MASKDIR/bin%06d.png, ground truth SEQDIR/groundtruth/gt%06d.png,
// input frames SEQDIR/input/in%06d.jpg, SEQDIR/ROI.bmp, SEQDIR/temporalROI.txt.
//
// Functions that read files return false and set `error` to one line naming
// the file and saying what is wrong (no trailing newline, no program name).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cv {
class Mat;
}

namespace metrics {

// Ground-truth labels.
constexpr std::uint8_t kGtStatic = 0;
constexpr std::uint8_t kGtShadow = 50;
constexpr std::uint8_t kGtOutsideRoi = 85;
constexpr std::uint8_t kGtUnknown = 170;
constexpr std::uint8_t kGtMotion = 255;
// The mask value that means foreground.
constexpr std::uint8_t kMaskForeground = 255;

struct Counts {
  std::uint64_t TP = 0;
  std::uint64_t FP = 0;
  std::uint64_t FN = 0;
  std::uint64_t TN = 0;

  Counts& operator+=(const Counts& o) {
    TP += o.TP;
    FP += o.FP;
    FN += o.FN;
    TN += o.TN;
    return *this;
  }
};

// All in [0, 1] except pwc, a percentage. A ratio whose denominator is 0 is 0.
struct Metrics {
  double recall = 0;       // TP / (TP + FN)
  double specificity = 0;  // TN / (TN + FP)
  double fpr = 0;          // FP / (FP + TN)
  double fnr = 0;          // FN / (TP + FN)
  double pwc = 0;          // 100 * (FN + FP) / (TP + FN + FP + TN)
  double precision = 0;    // TP / (TP + FP)
  double fMeasure = 0;     // 2 * precision * recall / (precision + recall)
};

// What one pixel counts as.
enum class PixelClass { NotCounted, TP, FP, FN, TN };
PixelClass classify(std::uint8_t mask, std::uint8_t gt, std::uint8_t roi);

// Adds the counts of one frame. All three must be CV_8UC1 of one size
// (asserted: callers check sizes of what they read).
void accumulate(const cv::Mat& mask, const cv::Mat& gt, const cv::Mat& roi, Counts& counts);

Metrics compute(const Counts& counts);

// ---- Files ----------------------------------------------------------------

std::string maskPath(const std::string& maskDir, int frame);    // bin%06d.png
std::string gtPath(const std::string& seqDir, int frame);       // groundtruth/gt%06d.png
std::string inputPath(const std::string& seqDir, int frame);    // input/in%06d.jpg
std::string roiPath(const std::string& seqDir);                 // ROI.bmp
std::string temporalRoiPath(const std::string& seqDir);         // temporalROI.txt

// Reads "FIRST LAST" (two whole numbers, FIRST <= LAST) from temporalROI.txt.
bool readTemporalRoi(const std::string& seqDir, int& first, int& last, std::string& error);

// Reads an 8-bit grey image (palette and grey-as-RGB files become one
// channel). `what` names the file's role in the error ("mask", "ROI", ...).
bool readGrey(const std::string& path, const std::string& what, cv::Mat& out,
              std::string& error);

// One frame's counts.
struct FrameCounts {
  int frame = 0;
  Counts counts;
};

// Sums the counts of frames first..last of MASKDIR against SEQDIR (its ROI.bmp
// and ground truth), and appends each frame's counts to `perFrame` when given.
// On the first unreadable file or size mismatch returns false with `error`
// naming the file; `counts` and `perFrame` are then unspecified.
bool evaluateSequence(const std::string& maskDir, const std::string& seqDir, int first,
                      int last, Counts& counts, std::string& error,
                      std::vector<FrameCounts>* perFrame = nullptr);

// Pixels counted at all (TP + FP + FN + TN).
std::uint64_t counted(const Counts& counts);

// ---- Reports --------------------------------------------------------------

// "TP: 12\n" ... "F-measure: 0.812345\n": counts as integers, metrics with
// six decimals, one per line, in the order TP FP FN TN Recall Specificity
// FPR FNR PWC Precision F-measure.
std::string formatText(const Counts& counts, const Metrics& m);
// The same keys and values as one JSON object on one line, plus "first" and
// "last" (the frame range evaluated), ending in a newline.
std::string formatJson(const Counts& counts, const Metrics& m, int first, int last);
// "frame,TP,FP,FN,TN,Recall,Precision,F-measure\n", then one line per frame.
// Ratios have six decimals; one whose denominator is 0 is left empty (a frame
// without ground-truth foreground is common, and 0 would read as a miss).
std::string formatPerFrameCsv(const std::vector<FrameCounts>& frames);

// ---- Writing --------------------------------------------------------------

// Encodes `image` as PNG and writes it to `path`, checking every write and
// the close; on failure removes the partial file and sets `error`. The file
// is complete or absent.
bool writePng(const std::string& path, const cv::Mat& image, std::string& error);
// The same for a text file.
bool writeText(const std::string& path, const std::string& text, std::string& error);

}  // namespace metrics
