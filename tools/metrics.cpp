#include "metrics.h"

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "core/output_file.h"
#include "core/temporal_roi.h"

namespace metrics {

namespace {

std::string numbered(const std::string& dir, const char* pattern, int frame) {
  char name[64];
  std::snprintf(name, sizeof name, pattern, frame);
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string joined(const std::string& dir, const char* name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

double ratio(std::uint64_t num, std::uint64_t den) {
  return den == 0 ? 0.0 : static_cast<double>(num) / static_cast<double>(den);
}

std::string sizeText(const cv::Mat& m) {
  return std::to_string(m.cols) + "x" + std::to_string(m.rows);
}

}  // namespace

PixelClass classify(std::uint8_t mask, std::uint8_t gt, std::uint8_t roi) {
  if (roi == 0) return PixelClass::NotCounted;
  const bool fg = mask == kMaskForeground;
  if (gt == kGtMotion) return fg ? PixelClass::TP : PixelClass::FN;
  if (gt == kGtStatic || gt == kGtShadow) return fg ? PixelClass::FP : PixelClass::TN;
  return PixelClass::NotCounted;  // 85, 170 and any other value
}

void accumulate(const cv::Mat& mask, const cv::Mat& gt, const cv::Mat& roi, Counts& counts) {
  assert(mask.type() == CV_8UC1 && gt.type() == CV_8UC1 && roi.type() == CV_8UC1);
  assert(mask.size() == gt.size() && roi.size() == gt.size());
  std::uint64_t tp = 0, fp = 0, fn = 0, tn = 0;
  for (int r = 0; r < gt.rows; ++r) {
    const std::uint8_t* m = mask.ptr<std::uint8_t>(r);
    const std::uint8_t* g = gt.ptr<std::uint8_t>(r);
    const std::uint8_t* o = roi.ptr<std::uint8_t>(r);
    for (int c = 0; c < gt.cols; ++c) {
      switch (classify(m[c], g[c], o[c])) {
        case PixelClass::TP: ++tp; break;
        case PixelClass::FP: ++fp; break;
        case PixelClass::FN: ++fn; break;
        case PixelClass::TN: ++tn; break;
        case PixelClass::NotCounted: break;
      }
    }
  }
  counts.TP += tp;
  counts.FP += fp;
  counts.FN += fn;
  counts.TN += tn;
}

Metrics compute(const Counts& k) {
  Metrics m;
  m.recall = ratio(k.TP, k.TP + k.FN);
  m.specificity = ratio(k.TN, k.TN + k.FP);
  m.fpr = ratio(k.FP, k.FP + k.TN);
  m.fnr = ratio(k.FN, k.TP + k.FN);
  const std::uint64_t all = k.TP + k.FN + k.FP + k.TN;
  m.pwc = all == 0 ? 0.0 : 100.0 * static_cast<double>(k.FN + k.FP) / static_cast<double>(all);
  m.precision = ratio(k.TP, k.TP + k.FP);
  const double pr = m.precision + m.recall;
  m.fMeasure = pr == 0.0 ? 0.0 : 2.0 * m.precision * m.recall / pr;
  return m;
}

std::string maskPath(const std::string& maskDir, int frame) {
  return numbered(maskDir, "bin%06d.png", frame);
}
std::string gtPath(const std::string& seqDir, int frame) {
  return numbered(joined(seqDir, "groundtruth"), "gt%06d.png", frame);
}
std::string inputPath(const std::string& seqDir, int frame) {
  return numbered(joined(seqDir, "input"), "in%06d.jpg", frame);
}
std::string roiPath(const std::string& seqDir) { return joined(seqDir, "ROI.bmp"); }
std::string temporalRoiPath(const std::string& seqDir) {
  return joined(seqDir, "temporalROI.txt");
}

bool readTemporalRoi(const std::string& seqDir, int& first, int& last, std::string& error) {
  const std::string path = temporalRoiPath(seqDir);
  switch (readTemporalRoiFile(path, first, last)) {
    case TemporalRoiRead::Ok:
      if (first >= 0 && first <= last) return true;
      break;
    case TemporalRoiRead::Absent:
      error = "cannot read temporal ROI " + path + ": " + std::strerror(errno);
      return false;
    case TemporalRoiRead::NotRegular:
      error = "temporal ROI " + path + " is not a regular file";
      return false;
    case TemporalRoiRead::TooLarge:
      error = "temporal ROI " + path + " is larger than " + std::to_string(kTemporalRoiMaxBytes) + " bytes";
      return false;
    case TemporalRoiRead::Malformed:
      break;
  }
  error = "temporal ROI " + path + " does not hold two frame numbers FIRST <= LAST";
  return false;
}

bool readGrey(const std::string& path, const std::string& what, cv::Mat& out,
              std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    error = what + " " + path + (std::filesystem::exists(path, ec) ? " is not a file" : " not found");
    return false;
  }
  cv::Mat img;
  try {
    img = cv::imread(path, cv::IMREAD_UNCHANGED);
  } catch (const cv::Exception&) {
    img.release();
  }
  if (img.empty()) {
    error = "cannot read " + what + " " + path + " (not a readable image)";
    return false;
  }
  if (img.depth() != CV_8U) {
    error = what + " " + path + " is not an 8-bit image";
    return false;
  }
  if (img.channels() == 1) {
    out = img;
    return true;
  }
  // A palette or RGB file is accepted when it is grey: all colour channels equal.
  std::vector<cv::Mat> ch;
  cv::split(img, ch);
  for (int k = 1; k < 3 && k < img.channels(); ++k) {
    if (cv::countNonZero(ch[0] != ch[static_cast<std::size_t>(k)]) != 0) {
      error = what + " " + path + " is a colour image, expected grey";
      return false;
    }
  }
  out = ch[0];
  return true;
}

std::uint64_t counted(const Counts& k) { return k.TP + k.FP + k.FN + k.TN; }

bool evaluateSequence(const std::string& maskDir, const std::string& seqDir, int first,
                      int last, Counts& counts, std::string& error,
                      std::vector<FrameCounts>* perFrame) {
  cv::Mat roi;
  if (!readGrey(roiPath(seqDir), "ROI", roi, error)) return false;
  cv::Mat mask, gt;
  // Counted in long long: the last frame may be INT_MAX.
  for (long long number = first; number <= last; ++number) {
    const int f = static_cast<int>(number);
    const std::string gp = gtPath(seqDir, f);
    const std::string mp = maskPath(maskDir, f);
    if (!readGrey(gp, "ground truth", gt, error)) return false;
    if (!readGrey(mp, "mask", mask, error)) return false;
    if (gt.size() != roi.size()) {
      error = "ground truth " + gp + " is " + sizeText(gt) + " but ROI " + roiPath(seqDir) +
              " is " + sizeText(roi);
      return false;
    }
    if (mask.size() != gt.size()) {
      error = "mask " + mp + " is " + sizeText(mask) + " but ground truth " + gp + " is " +
              sizeText(gt);
      return false;
    }
    FrameCounts frame{f, {}};
    accumulate(mask, gt, roi, frame.counts);
    counts += frame.counts;
    if (perFrame) perFrame->push_back(frame);
  }
  return true;
}

std::string formatText(const Counts& k, const Metrics& m) {
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "TP: %llu\nFP: %llu\nFN: %llu\nTN: %llu\n"
                "Recall: %.6f\nSpecificity: %.6f\nFPR: %.6f\nFNR: %.6f\nPWC: %.6f\n"
                "Precision: %.6f\nF-measure: %.6f\n",
                static_cast<unsigned long long>(k.TP), static_cast<unsigned long long>(k.FP),
                static_cast<unsigned long long>(k.FN), static_cast<unsigned long long>(k.TN),
                m.recall, m.specificity, m.fpr, m.fnr, m.pwc, m.precision, m.fMeasure);
  return buf;
}

std::string formatJson(const Counts& k, const Metrics& m, int first, int last) {
  char buf[640];
  std::snprintf(buf, sizeof buf,
                "{\"first\": %d, \"last\": %d, \"TP\": %llu, \"FP\": %llu, \"FN\": %llu, "
                "\"TN\": %llu, \"Recall\": %.6f, \"Specificity\": %.6f, \"FPR\": %.6f, "
                "\"FNR\": %.6f, \"PWC\": %.6f, \"Precision\": %.6f, \"F-measure\": %.6f}\n",
                first, last, static_cast<unsigned long long>(k.TP),
                static_cast<unsigned long long>(k.FP), static_cast<unsigned long long>(k.FN),
                static_cast<unsigned long long>(k.TN), m.recall, m.specificity, m.fpr, m.fnr,
                m.pwc, m.precision, m.fMeasure);
  return buf;
}

std::string formatPerFrameCsv(const std::vector<FrameCounts>& frames) {
  auto field = [](bool defined, double v) {
    char b[32];
    if (!defined) return std::string(",");
    std::snprintf(b, sizeof b, ",%.6f", v);
    return std::string(b);
  };
  std::string out = "frame,TP,FP,FN,TN,Recall,Precision,F-measure\n";
  for (const FrameCounts& fc : frames) {
    const Counts& k = fc.counts;
    const Metrics m = compute(k);
    const bool haveRecall = k.TP + k.FN != 0, havePrecision = k.TP + k.FP != 0;
    char b[128];
    std::snprintf(b, sizeof b, "%d,%llu,%llu,%llu,%llu", fc.frame,
                  static_cast<unsigned long long>(k.TP), static_cast<unsigned long long>(k.FP),
                  static_cast<unsigned long long>(k.FN), static_cast<unsigned long long>(k.TN));
    out += b;
    out += field(haveRecall, m.recall);
    out += field(havePrecision, m.precision);
    out += field(haveRecall && havePrecision, m.fMeasure);
    out += '\n';
  }
  return out;
}

namespace {

bool writeBytes(const std::string& path, const void* data, std::size_t size, std::string& error) {
  const WriteOutcome out = writeFileAtomic(path, data, size);
  if (!out) error = (out.status == WriteOutcome::CannotCreate ? "cannot create " : "cannot write ") + path + ": " + out.why;
  return static_cast<bool>(out);
}

}  // namespace

bool writeText(const std::string& path, const std::string& text, std::string& error) {
  return writeBytes(path, text.data(), text.size(), error);
}

bool writePng(const std::string& path, const cv::Mat& image, std::string& error) {
  std::vector<std::uint8_t> bytes;
  bool encoded = false;
  try {
    encoded = cv::imencode(".png", image, bytes);
  } catch (const cv::Exception&) {
    encoded = false;
  }
  if (!encoded) {
    error = "cannot encode " + path + " as PNG";
    return false;
  }
  return writeBytes(path, bytes.data(), bytes.size(), error);
}

}  // namespace metrics
