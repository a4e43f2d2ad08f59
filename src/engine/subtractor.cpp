// The public face: scvardo::BackgroundSubtractor over the engine, and its
// persistence through cv::FileStorage.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "core/memory.h"
#include "core/output_file.h"
#include "engine/engine.h"
#include "model/passes_select.h"
#include "scvardo/scvardo.hpp"

namespace scvardo {
namespace {

constexpr const char* kFormat = "scvardo-model";
// 2 added the adaptive mode's parameters and, when it is on, its per-pixel
// state; a version 1 file reads as the adaptive mode off.
constexpr int kFormatVersion = 2;

void checkParams(const Params& p) {
  const std::string problem = paramsProblem(p);
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

  void setParams(const Params& params) override {
    checkParams(params);
    engine_->setParams(params);
  }

  void clear() override { engine_ = std::make_unique<Engine>(engine_->params(), engine_->givenRoi()); }
  bool empty() const override { return !engine_->started(); }

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
    setParams(p);
  }

  void write(cv::FileStorage& fs) const override {
    const Engine& e = *engine_;
    const Params& p = e.params();
    fs << "format" << kFormat << "version" << kFormatVersion;
    for (const ParamSpec& row : paramTable()) {
      if (row.fileSince == 0) continue;
      fs << row.name;
      if (row.whole())
        fs << p.*row.intField;
      else
        fs << p.*row.realField;
    }
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
    if (version < 1 || version > kFormatVersion)
      badFile("format version " + std::to_string(version) + " is not supported");
    // What the file does not hold (threads; parameters newer than the file)
    // keeps its current value or its default.
    Params p;
    p.threads = engine_->params().threads;
    for (const ParamSpec& row : paramTable()) {
      if (row.fileSince == 0 || row.fileSince > version) continue;
      if (row.whole())
        p.*row.intField = readInt(node, row.name);
      else
        p.*row.realField = readReal(node, row.name);
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

std::string memoryShortfall(const Params& params, cv::Size frameSize) {
  return ::memoryShortfall(frameSize.width, frameSize.height, params.n, modelCopies(params));
}

const char* version() { return "0.2.0"; }

}  // namespace scvardo
