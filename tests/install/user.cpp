// user SEQDIR FIRST LAST K OUTDIR: masks of frames after calibration.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <scvardo/scvardo.hpp>

int main(int argc, char** argv) {
  if (argc != 6) return 2;
  const std::string seq = argv[1], out = argv[5];
  const int first = std::atoi(argv[2]), last = std::atoi(argv[3]);
  scvardo::Params params;
  params.K = std::atoi(argv[4]);
  auto bs = scvardo::createBackgroundSubtractor(params, cv::imread(seq + "/ROI.bmp", cv::IMREAD_GRAYSCALE));
  cv::Mat mask;
  for (int f = first; f <= last; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "/input/in%06d.jpg", f);
    bs->apply(cv::imread(seq + name), mask);
    std::snprintf(name, sizeof name, "/bin%06d.png", f);
    if (f - first >= params.K && !cv::imwrite(out + name, mask)) return 1;
  }
  return 0;
}
