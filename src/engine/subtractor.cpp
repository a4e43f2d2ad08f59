// The public face: scvardo::BackgroundSubtractor over the engine, and its
// persistence: the binary .scvm file (engine/model_file.h) and the text
// formats of cv::FileStorage, both read within bounds by scvardo::load.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "core/input_file.h"
#include "core/memory.h"
#include "core/output_file.h"
#include "core/workers.h"
#include "engine/engine.h"
#include "engine/model_file.h"
#include "schedule/isa.h"
#include "scvardo/scvardo.hpp"

namespace scvardo {
namespace {

constexpr const char* kFormat = "scvardo-model";

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

// Format version 1's checksum: FNV-1a over the arrays alone.
std::uint64_t legacyChecksum(const Engine& e) {
  std::uint64_t h = 1469598103934665603ull;
  auto add = [&h](const void* data, std::size_t size) {
    const auto* b = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) h = (h ^ b[i]) * 1099511628211ull;
  };
  for (int k = 0; k < 3; ++k) add(e.model()[k], e.geometry().cells() * sizeof(float));
  add(e.labels().data(), e.labels().size());
  add(e.roi().bytes.data(), e.roi().bytes.size());
  return h;
}

std::string hex(std::uint64_t v) {
  char buf[20];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

// Refusals carry the reason alone; the caller says which file.
[[noreturn]] void badFile(const std::string& why) { throw Error(Error::Kind::Input, why); }

template <typename F>
auto prefixed(const std::string& prefix, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const Error& e) {
    throw Error(e.kind(), prefix + e.what());
  } catch (const cv::Exception& e) {
    throw Error(Error::Kind::Input, prefix + e.err);
  } catch (const std::bad_alloc&) {
    throw Error(Error::Kind::Memory, prefix + "not enough memory");
  }
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

int cvType(StoredArray::Type t) {
  return t == StoredArray::Type::Byte ? CV_8UC1 : t == StoredArray::Type::Int32 ? CV_32SC1 : CV_32FC1;
}

std::int64_t readFrames(const cv::FileNode& node) {
  const std::string text = node["frames"].isString() ? static_cast<std::string>(node["frames"]) : "";
  std::int64_t frames = 0;
  bool count = !text.empty() && text.size() <= 16;
  for (char c : text) {
    count = count && c >= '0' && c <= '9';
    if (count) frames = frames * 10 + (c - '0');
  }
  if (!count || frames > kMaxModelFrames) badFile("\"frames\" is missing or not a count from 0 to 2^53");
  return frames;
}

// An engine from a FileStorage node (the file's root or its top node), and
// the format version it had.
struct FromText {
  std::unique_ptr<Engine> engine;
  int version;
};

FromText readNode(const cv::FileNode& fileNode, int threads) {
  const std::string top = "scvardo_BackgroundSubtractor";
  cv::FileNode node = fileNode;
  if (node.isMap() && !node[top].empty()) node = node[top];
  if (!node.isMap() || !node["format"].isString() || static_cast<std::string>(node["format"]) != kFormat)
    badFile("it holds no SC-VARDO model");
  const int version = readInt(node, "version");
  if (version < 1 || version > kModelFormatVersion) badFile(unsupportedVersion(version, 1));
  // What the file does not hold (threads; parameters newer than the file)
  // takes the given value or its default.
  Params p;
  p.threads = threads;
  for (const ParamSpec& row : paramTable()) {
    if (row.fileSince == 0 || row.fileSince > version) continue;
    if (row.whole())
      p.*row.intField = readInt(node, row.name);
    else
      p.*row.realField = readReal(node, row.name);
  }
  const std::string problem = paramsProblem(p);
  if (!problem.empty()) badFile(problem);
  cv::Mat roiImage;
  node["roi"] >> roiImage;
  if (!roiImage.empty() && roiImage.type() != CV_8UC1) badFile("\"roi\" is not an 8-bit image");
  const std::int64_t frames = readFrames(node);

  auto engine = std::make_unique<Engine>(p, RoiMask::fromImage(roiImage));
  if (frames > 0) {
    const int W = readInt(node, "width"), H = readInt(node, "height");
    if (W <= 0 || H <= 0 || static_cast<long long>(W) * H > (1LL << 31))
      badFile("its frame size " + std::to_string(W) + "x" + std::to_string(H) + " is not usable");
    engine->beginRestore(W, H, frames);
    for (const StoredArray& a : engine->storedArrays()) {
      cv::Mat m;
      node[a.name] >> m;
      if (m.rows != a.rows || m.cols != a.cols || m.type() != cvType(a.type))
        badFile(std::string("\"") + a.name + "\" is missing or of the wrong size");
      const std::size_t rowBytes = a.bytes() / static_cast<std::size_t>(a.rows);
      for (int r = 0; r < a.rows; ++r)
        std::memcpy(static_cast<char*>(a.data) + static_cast<std::size_t>(r) * rowBytes, m.ptr(r), rowBytes);
    }
    engine->finishRestore();
  }
  // Version 1 covered the arrays alone; later ones cover everything.
  if (version > 1 || frames > 0) {
    const std::string sum = version == 1 ? hex(legacyChecksum(*engine)) : hex(modelDigest(*engine, version));
    if (!node["checksum"].isString() || static_cast<std::string>(node["checksum"]) != sum)
      badFile("the checksum does not match its data");
  }
  return FromText{std::move(engine), version};
}

// A text model file (.yml, .yml.gz, .xml, .json), read within bounds.
std::unique_ptr<Engine> readTextModel(InputFile& in, int threads) {
  const std::string text = readModelText(in);
  cv::FileStorage fs;
  try {
    fs.open(text, cv::FileStorage::READ | cv::FileStorage::MEMORY);
  } catch (const cv::Exception& e) {
    badFile("it cannot be parsed as YAML, XML or JSON (" + e.err + ")");
  }
  if (!fs.isOpened()) badFile("it is neither a .scvm file nor YAML, XML or JSON");
  FromText t = readNode(fs.root(), threads);
  // The parser wraps integers silently ("K: 4294967346" reads as 50): the
  // text must say what was read.
  const Engine& e = *t.engine;
  std::vector<std::pair<std::string, long long>> ints{{"version", t.version}};
  if (e.started()) ints.insert(ints.end(), {{"width", e.geometry().W}, {"height", e.geometry().H}});
  for (const ParamSpec& row : paramTable())
    if (row.whole() && row.fileSince != 0 && row.fileSince <= t.version)
      ints.emplace_back(row.name, static_cast<long long>(row.get(e.params())));
  checkIntegerTexts(text, ints);
  return std::move(t.engine);
}

class Subtractor final : public BackgroundSubtractor {
 public:
  Subtractor(const Params& params, RoiMask roi)
      : engine_(std::make_unique<Engine>(params, std::move(roi))) {}
  explicit Subtractor(std::unique_ptr<Engine> engine) : engine_(std::move(engine)) {}

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
    Engine& e = *engine_;
    const Params& p = e.params();
    fs << "format" << kFormat << "version" << kModelFormatVersion;
    for (const ParamSpec& row : paramTable()) {
      if (row.fileSince == 0) continue;
      fs << row.name;
      if (row.whole())
        fs << p.*row.intField;
      else
        fs << p.*row.realField;
    }
    // The ROI as given: empty when every pixel is processed whatever the size.
    const RoiMask roi = e.givenRoi();
    fs << "roi" << (roi.W == 0 ? cv::Mat() : cv::Mat(roi.H, roi.W, CV_8UC1, const_cast<std::uint8_t*>(roi.bytes.data())));
    fs << "frames" << std::to_string(e.frames());
    if (e.started()) {
      fs << "width" << e.geometry().W << "height" << e.geometry().H;
      for (const StoredArray& a : e.storedArrays()) fs << a.name << cv::Mat(a.rows, a.cols, cvType(a.type), a.data);
    }
    fs << "checksum" << hex(modelDigest(e, kModelFormatVersion));
  }

  void read(const cv::FileNode& fileNode) override {
    engine_ = prefixed("not a usable SC-VARDO model file: ",
                       [&] { return readNode(fileNode, engine_->params().threads).engine; });
  }

  void save(const cv::String& filename) const override {
    std::string why;
    if (isBinaryModelName(filename)) {
      if (!writeBinaryModel(*engine_, filename, why))
        throw Error(Error::Kind::Output, "cannot write model file " + filename + ": " + why);
      return;
    }
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
  std::unique_ptr<Engine> engine_;
};

}  // namespace

cv::Ptr<BackgroundSubtractor> createBackgroundSubtractor(const Params& params, cv::InputArray roi) {
  checkParams(params);
  return cv::makePtr<Subtractor>(params, roiFrom(roi));
}

std::string memoryShortfall(const Params& params, cv::Size frameSize, std::uint64_t alsoNeeded) {
  return ::memoryShortfall(frameSize.width, frameSize.height, params.n, modelCopies(params),
                           alsoNeeded + extraBytes(params, frameSize.width, frameSize.height));
}

cv::Ptr<BackgroundSubtractor> load(const std::string& path) {
  return prefixed("cannot read model file " + path + ": ", [&] {
    InputFile in(path);
    const int threads = Params{}.threads;
    if (isBinaryModelName(path) || hasBinaryModelSignature(in))
      return cv::Ptr<BackgroundSubtractor>(std::make_shared<Subtractor>(readBinaryModel(in, threads)));
    return cv::Ptr<BackgroundSubtractor>(std::make_shared<Subtractor>(readTextModel(in, threads)));
  });
}

const char* version() { return "0.2.0"; }

const char* instructionSet() { return isaName(activeIsa()); }

int threadCount(const Params& params) { return params.threads > 0 ? params.threads : defaultThreads(); }

}  // namespace scvardo
