// Frame conversion from an OpenCV image, apart so that the passes build
// without OpenCV.
#include <opencv2/core.hpp>

#include "colour/colour.h"

bool convertFrame(const cv::Mat& image, FloatPlanes& frame, const RoiMask& roi, WorkerPool* pool,
                  std::vector<ConeMemo>* memos) {
  if (image.type() != CV_8UC3 || image.dims != 2) return false;
  if (image.cols != roi.W || image.rows != roi.H) return false;
  return convertFrame(image.data, image.cols, image.rows, image.step[0], false, frame, roi, pool,
                      memos);
}
