// The public face: scvardo::BackgroundSubtractor over the engine, and its
// persistence through cv::FileStorage.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "core/output_file.h"
#include "engine/engine.h"
#include "scvardo/scvardo.hpp"

namespace scvardo {
namespace {

constexpr const char* kFormat = "scvardo-model";
// 2 added the adaptive mode's parameters and, when it is on, its per-pixel
// state; a version 1 file reads as the adaptive mode off.
constexpr int kFormatVersion = 2;

void checkParams(const Params& p) {
  std::string problem = paramsProblem(p);
  if (problem.empty() && p.K < 0) problem = "invalid K " + std::to_string(p.K) + ": it must be 0 or more";
  if (problem.empty() && (p.threads < 0 || p.threads > kMaxThreads))
    problem = "invalid threads " + std::to_string(p.threads) + ": it must be 0 (all) to " +
              std::to_string(kMaxThreads);
  if (!problem.empty()) throw Error(Error::Kind::Parameter, problem);
}

RoiMask roiFrom(cv::InputArray roi) {
  if (roi.empty()) return RoiMask{};
  const cv::Mat m = roi.getMat();
  if (m.dims != 2 || m.type() != CV_8UC1)
    throw Error(Error::Kind::Parameter, "the ROI must be an 8-bit single-channel image");
  return RoiMask::fromImage(m);
}

std::size_t elementBytes(AdaptiveState::Kind kind) {
  return kind == AdaptiveState::Kind::Byte ? 1 : 4;
}

int matType(AdaptiveState::Kind kind) {
  return kind == AdaptiveState::Kind::Float ? CV_32FC1 : kind == AdaptiveState::Kind::Byte ? CV_8UC1 : CV_32SC1;
}

// FNV-1a over the persisted arrays, so that a damaged file is refused.
std::uint64_t checksum(const Engine& e) {
  std::uint64_t h = 1469598103934665603ull;
  auto add = [&h](const void* data, std::size_t size) {
    const auto* b = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) h = (h ^ b[i]) * 1099511628211ull;
  };
  for (int k = 0; k < 3; ++k) add(e.model()[k], e.geometry().cells() * sizeof(float));
  add(e.labels().data(), e.labels().size());
  add(e.roi().bytes.data(), e.roi().bytes.size());
  if (const AdaptiveState* a = e.adaptive())
    for (const AdaptiveState::Array& arr : const_cast<AdaptiveState*>(a)->arrays())
      add(arr.data, e.geometry().pixels() * elementBytes(arr.kind));
  return h;
}

std::string hex(std::uint64_t v) {
  char buf[20];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

[[noreturn]] void badFile(const std::string& why) {
  throw Error(Error::Kind::Input, "not a usable SC-VARDO model file: " + why);
}

int readInt(const cv::FileNode& node, const char* key) {
  const cv::FileNode v = node[key];
  if (!v.isInt()) badFile(std::string("\"") + key + "\" is missing or not an integer");
  return static_cast<int>(v);
}

float readReal(const cv::FileNode& node, const char* key) {
  const cv::FileNode v = node[key];
  if (!v.isReal() && !v.isInt()) badFile(std::string("\"") + key + "\" is missing or not a number");
  return static_cast<float>(static_cast<double>(v));
}

cv::Mat readMat(const cv::FileNode& node, const char* key, int rows, int cols, int type) {
  cv::Mat m;
  node[key] >> m;
  if (m.rows != rows || m.cols != cols || m.type() != type)
    badFile(std::string("\"") + key + "\" is missing or of the wrong size");
  return m;
}

class Subtractor final : public BackgroundSubtractor {
 public:
  Subtractor(const Params& params, RoiMask roi)
      : engine_(std::make_unique<Engine>(params, std::move(roi))) {}

  void apply(cv::InputArray image, cv::OutputArray fgmask, double learningRate) override {
    const cv::Mat frame = image.getMat();
    cv::Mat mask;
    engine_->apply(frame, learningRate, mask);
    fgmask.assign(mask);
  }

  void getBackgroundImage(cv::OutputArray out) const override {
    cv::Mat m;
    engine_->backgroundImage(m);
    out.assign(m);
  }

  void getModelImage(cv::OutputArray out) const override {
    cv::Mat m;
    engine_->modelImage(m);
    out.assign(m);
  }

  void getLabels(cv::OutputArray out) const override {
    if (!engine_->started()) {
      out.release();
      return;
    }
    const Geometry& g = engine_->geometry();
    cv::Mat(g.H, g.W, CV_8UC1, const_cast<std::uint8_t*>(engine_->labels().data()))
        .copyTo(out);
  }

  Params getParams() const override { return engine_->params(); }
  std::int64_t getFrameCount() const override { return engine_->frames(); }
  PassTimes getPassTimes() const override {
    return PassTimes{engine_->calibrationNs(), engine_->onlineNs()};
  }
  void setThreads(int threads) override {
    Params p = engine_->params();
    p.threads = threads;
    checkParams(p);
    engine_->setThreads(threads);
  }

  void write(cv::FileStorage& fs) const override {
    const Engine& e = *engine_;
    const Params& p = e.params();
    fs << "format" << kFormat << "version" << kFormatVersion;
    fs << "n" << p.n << "Cw" << p.Cw << "shadowRemoval" << p.shadowRemoval
       << "medianWidth" << p.medianWidth << "e1" << p.e1 << "e2" << p.e2 << "c1" << p.c1
       << "c2" << p.c2 << "gamma" << p.gamma << "beta" << p.beta << "tau_S" << p.tau_S
       << "tau_H" << p.tau_H << "K" << p.K;
    fs << "adaptive" << p.adaptive << "absorbSpan" << p.absorbSpan << "thresholdLow" << p.thresholdLow
       << "thresholdHigh" << p.thresholdHigh << "distanceGain" << p.distanceGain
       << "flickerTrain" << p.flickerTrain;
    // The ROI as given: empty when every pixel is processed whatever the size.
    const RoiMask& roi = e.roi();
    fs << "roi" << (roi.W == 0 ? cv::Mat() : cv::Mat(roi.H, roi.W, CV_8UC1, const_cast<std::uint8_t*>(roi.bytes.data())));
    fs << "frames" << std::to_string(e.frames());
    if (!e.started()) return;
    const Geometry& g = e.geometry();
    fs << "width" << g.W << "height" << g.H;
    fs << "labels" << cv::Mat(g.H, g.W, CV_8UC1, const_cast<std::uint8_t*>(e.labels().data()));
    const char* names[3] = {"model_x", "model_y", "model_v"};
    for (int k = 0; k < 3; ++k)
      fs << names[k] << cv::Mat(g.modelH(), g.modelW(), CV_32FC1, const_cast<float*>(e.model()[k]));
    if (const AdaptiveState* a = e.adaptive())
      for (const AdaptiveState::Array& arr : const_cast<AdaptiveState*>(a)->arrays())
        fs << std::string("adapt_") + arr.name << cv::Mat(g.H, g.W, matType(arr.kind), arr.data);
    fs << "checksum" << hex(checksum(e));
  }

  void read(const cv::FileNode& fileNode) override {
    try {
      readChecked(fileNode);
    } catch (const cv::Exception& ex) {
      badFile(ex.err);
    }
  }

  void save(const cv::String& filename) const override {
    const WriteOutcome out = writeFileAtomic(filename, [this](const std::string& tmp, std::string& why) {
      try {
        cv::FileStorage fs(tmp, cv::FileStorage::WRITE);
        if (!fs.isOpened()) {
          why = "cannot open it for writing";
          return false;
        }
        fs << getDefaultName() << "{";
        write(fs);
        fs << "}";
        fs.release();
        // OpenCV does not report a short write: read the file back.
        cv::FileStorage back(tmp, cv::FileStorage::READ);
        Subtractor copy(Params{}, RoiMask{});
        copy.read(back.root());
        if (copy.engine_->frames() != engine_->frames()) {
          why = "the written file does not read back";
          return false;
        }
        return true;
      } catch (const std::exception& e) {
        why = e.what();
        return false;
      }
    });
    if (!out) throw Error(Error::Kind::Output, "cannot write model file " + filename + ": " + out.why);
  }

 private:
  void readChecked(const cv::FileNode& fileNode) {
    cv::FileNode node = fileNode;
    if (node.isMap() && !node[getDefaultName()].empty()) node = node[getDefaultName()];
    if (!node.isMap() || !node["format"].isString() || static_cast<std::string>(node["format"]) != kFormat)
      badFile("it holds no SC-VARDO model");
    const int version = readInt(node, "version");
    if (version != 1 && version != kFormatVersion)
      badFile("format version " + std::to_string(version) + " is not supported");
    Params p;
    p.threads = engine_->params().threads;
    p.n = readInt(node, "n");
    p.Cw = readInt(node, "Cw");
    p.shadowRemoval = readInt(node, "shadowRemoval");
    p.medianWidth = readInt(node, "medianWidth");
    p.e1 = readReal(node, "e1");
    p.e2 = readReal(node, "e2");
    p.c1 = readReal(node, "c1");
    p.c2 = readReal(node, "c2");
    p.gamma = readReal(node, "gamma");
    p.beta = readReal(node, "beta");
    p.tau_S = readReal(node, "tau_S");
    p.tau_H = readReal(node, "tau_H");
    p.K = readInt(node, "K");
    if (version >= 2) {
      p.adaptive = readInt(node, "adaptive");
      p.absorbSpan = readInt(node, "absorbSpan");
      p.thresholdLow = readReal(node, "thresholdLow");
      p.thresholdHigh = readReal(node, "thresholdHigh");
      p.distanceGain = readReal(node, "distanceGain");
      p.flickerTrain = readReal(node, "flickerTrain");
    }
    try {
      checkParams(p);
    } catch (const Error& e) {
      badFile(e.what());
    }
    cv::Mat roiImage;
    node["roi"] >> roiImage;
    if (!roiImage.empty() && roiImage.type() != CV_8UC1) badFile("\"roi\" is not an 8-bit image");
    const std::string framesText = node["frames"].isString() ? static_cast<std::string>(node["frames"]) : "";
    char* end = nullptr;
    const long long frames = std::strtoll(framesText.c_str(), &end, 10);
    if (framesText.empty() || *end != '\0' || frames < 0) badFile("\"frames\" is missing or not a count");

    auto engine = std::make_unique<Engine>(p, RoiMask::fromImage(roiImage));
    if (frames > 0) {
      const int W = readInt(node, "width"), H = readInt(node, "height");
      if (W <= 0 || H <= 0 || static_cast<long long>(W) * H > (1LL << 31)) badFile("bad frame size");
      const Geometry g{W, H, p.n};
      const cv::Mat labels = readMat(node, "labels", H, W, CV_8UC1);
      FloatPlanes model(3, g.cells());
      const char* names[3] = {"model_x", "model_y", "model_v"};
      for (int k = 0; k < 3; ++k) {
        const cv::Mat m = readMat(node, names[k], g.modelH(), g.modelW(), CV_32FC1);
        for (int r = 0; r < m.rows; ++r)
          std::memcpy(model[k] + static_cast<std::size_t>(r) * m.cols, m.ptr<float>(r),
                      static_cast<std::size_t>(m.cols) * sizeof(float));
      }
      LabelMask labelBytes(g.pixels());
      for (int r = 0; r < H; ++r)
        std::memcpy(labelBytes.data() + static_cast<std::size_t>(r) * W, labels.ptr(r), static_cast<std::size_t>(W));
      engine->restore(W, H, frames, labelBytes, model);
      if (AdaptiveState* a = engine->adaptive()) {
        if (version < 2) badFile("a version 1 file holds no adaptive state");
        for (const AdaptiveState::Array& arr : a->arrays()) {
          const std::string key = std::string("adapt_") + arr.name;
          const cv::Mat m = readMat(node, key.c_str(), H, W, matType(arr.kind));
          for (int r = 0; r < H; ++r)
            std::memcpy(static_cast<char*>(arr.data) + static_cast<std::size_t>(r) * W * elementBytes(arr.kind),
                        m.ptr(r), static_cast<std::size_t>(W) * elementBytes(arr.kind));
        }
      }
      if (!node["checksum"].isString() || static_cast<std::string>(node["checksum"]) != hex(checksum(*engine)))
        badFile("the checksum does not match its data");
    }
    engine_ = std::move(engine);
  }

  std::unique_ptr<Engine> engine_;
};

}  // namespace

cv::Ptr<BackgroundSubtractor> createBackgroundSubtractor(const Params& params, cv::InputArray roi) {
  checkParams(params);
  return cv::makePtr<Subtractor>(params, roiFrom(roi));
}

const char* version() { return "0.2.0"; }

}  // namespace scvardo
