#include "overlay.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "metrics.h"

namespace overlay {

namespace {

void tint(cv::Vec3b& px, const Bgr& colour) {
  const double keep = 1.0 - kTintAlpha;
  px[0] = cv::saturate_cast<std::uint8_t>(keep * px[0] + kTintAlpha * colour.b);
  px[1] = cv::saturate_cast<std::uint8_t>(keep * px[1] + kTintAlpha * colour.g);
  px[2] = cv::saturate_cast<std::uint8_t>(keep * px[2] + kTintAlpha * colour.r);
}

std::string numbered(const std::string& dir, const char* pattern, int frame) {
  char name[64];
  std::snprintf(name, sizeof name, pattern, frame);
  return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string sizeText(const cv::Mat& m) {
  return std::to_string(m.cols) + "x" + std::to_string(m.rows);
}

}  // namespace

cv::Mat makeOverlay(const cv::Mat& frame, const cv::Mat& mask, const cv::Mat& gt,
                    const cv::Mat& roi) {
  assert(frame.type() == CV_8UC3 && mask.type() == CV_8UC1 && gt.type() == CV_8UC1 &&
         roi.type() == CV_8UC1);
  assert(frame.size() == gt.size() && mask.size() == gt.size() && roi.size() == gt.size());
  const int W = frame.cols;
  const int H = frame.rows;
  cv::Mat out(H, 2 * W, CV_8UC3);
  frame.copyTo(out(cv::Rect(0, 0, W, H)));
  for (int r = 0; r < H; ++r) {
    cv::Vec3b* o = out.ptr<cv::Vec3b>(r);
    const std::uint8_t* m = mask.ptr<std::uint8_t>(r);
    const std::uint8_t* g = gt.ptr<std::uint8_t>(r);
    const std::uint8_t* k = roi.ptr<std::uint8_t>(r);
    for (int c = 0; c < W; ++c) {
      switch (metrics::classify(m[c], g[c], k[c])) {
        case metrics::PixelClass::TP: tint(o[c], kTruePositive); break;
        case metrics::PixelClass::FP: tint(o[c], kFalsePositive); break;
        case metrics::PixelClass::FN: tint(o[c], kFalseNegative); break;
        default: break;
      }
      const std::uint8_t v = m[c] == metrics::kMaskForeground ? 255 : 0;
      o[W + c] = cv::Vec3b(v, v, v);
    }
  }
  return out;
}

cv::Mat makeContactSheet(const std::vector<cv::Mat>& tiles,
                         const std::vector<std::string>& captions, int columns) {
  assert(!tiles.empty() && columns > 0 && captions.size() == tiles.size());
  const cv::Size src = tiles.front().size();
  const double scale = src.width > kSheetTileWidth ? double(kSheetTileWidth) / src.width : 1.0;
  const cv::Size tile(std::max(1, int(src.width * scale + 0.5)),
                      std::max(1, int(src.height * scale + 0.5)));
  const int caption = 20;
  const int gap = 4;
  const int n = static_cast<int>(tiles.size());
  const int cols = std::min(columns, n);
  const int rows = (n + cols - 1) / cols;
  const int cellW = tile.width + gap;
  const int cellH = tile.height + caption + gap;
  cv::Mat sheet(rows * cellH + gap, cols * cellW + gap, CV_8UC3, cv::Scalar(40, 40, 40));
  for (int i = 0; i < n; ++i) {
    assert(tiles[i].size() == src && tiles[i].type() == CV_8UC3);
    const int x = gap + (i % cols) * cellW;
    const int y = gap + (i / cols) * cellH;
    cv::putText(sheet, captions[i], cv::Point(x + 2, y + caption - 6), cv::FONT_HERSHEY_SIMPLEX,
                0.45, cv::Scalar(255, 255, 255), 1, cv::LINE_AA);
    cv::Mat dst = sheet(cv::Rect(x, y + caption, tile.width, tile.height));
    if (tile == src)
      tiles[i].copyTo(dst);
    else
      cv::resize(tiles[i], dst, tile, 0, 0, cv::INTER_AREA);
  }
  return sheet;
}

std::vector<int> pickForSheet(const std::vector<int>& frames, std::size_t maxCount) {
  if (frames.size() <= maxCount || maxCount == 0)
    return maxCount == 0 ? std::vector<int>{} : frames;
  std::vector<int> picked;
  const std::size_t n = frames.size();
  for (std::size_t i = 0; i < maxCount; ++i) picked.push_back(frames[i * n / maxCount]);
  return picked;
}

std::vector<int> everyNth(int first, int last, int every) {
  std::vector<int> frames;
  if (every <= 0) return frames;
  for (long f = first; f <= last; f += every) frames.push_back(static_cast<int>(f));
  return frames;
}

std::string overlayPath(const std::string& outDir, int frame) {
  return numbered(outDir, "overlay%06d.png", frame);
}

std::string contactSheetPath(const std::string& outDir) {
  return outDir.empty() || outDir.back() == '/' ? outDir + "contact-sheet.png"
                                                 : outDir + "/contact-sheet.png";
}

bool writeOverlays(const std::string& maskDir, const std::string& seqDir,
                   const std::vector<int>& frames, const std::string& outDir,
                   std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(outDir, ec);
  if (ec || !std::filesystem::is_directory(outDir)) {
    error = "cannot create overlay directory " + outDir + (ec ? ": " + ec.message() : "");
    return false;
  }
  cv::Mat roi;
  if (!metrics::readGrey(metrics::roiPath(seqDir), "ROI", roi, error)) return false;
  const std::vector<int> sheetFrames = pickForSheet(frames, kSheetMaxTiles);
  std::vector<cv::Mat> tiles;
  std::vector<std::string> captions;
  for (int f : frames) {
    const std::string ip = metrics::inputPath(seqDir, f);
    cv::Mat frame;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(ip, ec)) {
      error = "input frame " + ip + " not found";
      return false;
    }
    try {
      frame = cv::imread(ip, cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
      frame.release();
    }
    if (frame.empty()) {
      error = "cannot read input frame " + ip + " (not a readable image)";
      return false;
    }
    cv::Mat mask, gt;
    const std::string gp = metrics::gtPath(seqDir, f);
    const std::string mp = metrics::maskPath(maskDir, f);
    if (!metrics::readGrey(gp, "ground truth", gt, error)) return false;
    if (!metrics::readGrey(mp, "mask", mask, error)) return false;
    if (frame.size() != roi.size()) {
      error = "input frame " + ip + " is " + sizeText(frame) + " but ROI " +
              metrics::roiPath(seqDir) + " is " + sizeText(roi);
      return false;
    }
    if (gt.size() != roi.size()) {
      error = "ground truth " + gp + " is " + sizeText(gt) + " but ROI " +
              metrics::roiPath(seqDir) + " is " + sizeText(roi);
      return false;
    }
    if (mask.size() != roi.size()) {
      error = "mask " + mp + " is " + sizeText(mask) + " but ground truth " + gp + " is " +
              sizeText(gt);
      return false;
    }
    cv::Mat pic = makeOverlay(frame, mask, gt, roi);
    if (!metrics::writePng(overlayPath(outDir, f), pic, error)) return false;
    if (std::find(sheetFrames.begin(), sheetFrames.end(), f) != sheetFrames.end()) {
      tiles.push_back(pic);
      char caption[64];
      std::snprintf(caption, sizeof caption, "frame %06d  TP green  FP red  FN blue", f);
      captions.push_back(caption);
    }
  }
  if (tiles.empty()) return true;
  return metrics::writePng(contactSheetPath(outDir), makeContactSheet(tiles, captions, 2), error);
}

}  // namespace overlay
