#include "engine/model_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>

#include <opencv2/core.hpp>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "core/memory.h"
#include "core/output_file.h"
#include "core/params.h"
#include "engine/engine.h"
#include "scvardo/error.hpp"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the .scvm arrays are written and read as they lie in memory: little-endian");

namespace {

using scvardo::Error;
using scvardo::ParamSpec;

constexpr unsigned char kMagic[8] = {0x89, 'S', 'C', 'V', 'M', 0x0d, 0x0a, 0x1a};
enum : std::uint8_t { kByte = 1, kInt32 = 2, kFloat32 = 3, kInt64 = 4 };
constexpr std::uint32_t kMaxHeader = 64 * 1024, kMaxScalars = 256, kMaxArrays = 64;
constexpr std::size_t kChunk = 8u << 20;

[[noreturn]] void refuse(const std::string& why) { throw Error(Error::Kind::Input, why); }

std::uint8_t typeCode(StoredArray::Type t) {
  return t == StoredArray::Type::Byte ? kByte : t == StoredArray::Type::Int32 ? kInt32 : kFloat32;
}

void putU32(std::string& s, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}

void putU64(std::string& s, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}

void putName(std::string& s, const char* name) {
  s.push_back(static_cast<char>(std::strlen(name)));
  s += name;
}

// The .scvm encoding of an engine: the header bytes, then the arrays' data
// where they lie (the ROI copy lives here).
struct Encoding {
  std::string header;
  RoiMask roi;
  std::vector<OutputPiece> data;
};

Encoding encode(Engine& e, int version) {
  Encoding out;
  std::string scalars;
  std::uint32_t scalarCount = 0;
  const auto scalar = [&](const char* name, std::uint8_t type, std::uint64_t bits) {
    putName(scalars, name);
    scalars.push_back(static_cast<char>(type));
    putU64(scalars, bits);
    ++scalarCount;
  };
  const auto integer = [&](const char* name, std::uint8_t type, std::int64_t v) {
    scalar(name, type, static_cast<std::uint64_t>(v));
  };
  integer("frames", kInt64, e.frames());
  integer("width", kInt32, e.started() ? e.geometry().W : 0);
  integer("height", kInt32, e.started() ? e.geometry().H : 0);
  const scvardo::Params& p = e.params();
  for (const ParamSpec& row : scvardo::paramTable()) {
    if (row.fileSince == 0 || row.fileSince > version) continue;
    if (row.whole()) {
      integer(row.name, kInt32, p.*row.intField);
    } else {
      std::uint32_t bits;
      std::memcpy(&bits, &(p.*row.realField), 4);
      scalar(row.name, kFloat32, bits);
    }
  }

  out.roi = e.givenRoi();
  std::string arrays;
  std::uint32_t arrayCount = 0;
  const auto array = [&](const char* name, std::uint8_t type, int rows, int cols, const void* data,
                         std::size_t bytes) {
    putName(arrays, name);
    arrays.push_back(static_cast<char>(type));
    putU32(arrays, static_cast<std::uint32_t>(rows));
    putU32(arrays, static_cast<std::uint32_t>(cols));
    out.data.push_back({data, bytes});
    ++arrayCount;
  };
  array("roi", kByte, out.roi.H, out.roi.W, out.roi.bytes.data(), out.roi.bytes.size());
  for (const StoredArray& a : e.storedArrays()) array(a.name, typeCode(a.type), a.rows, a.cols, a.data, a.bytes());

  std::string& h = out.header;
  h.assign(reinterpret_cast<const char*>(kMagic), sizeof kMagic);
  putU32(h, static_cast<std::uint32_t>(version));
  putU32(h, 0);  // the header's size, below
  putU32(h, scalarCount);
  h += scalars;
  putU32(h, arrayCount);
  h += arrays;
  const std::uint32_t size = static_cast<std::uint32_t>(h.size());
  for (int i = 0; i < 4; ++i) h[12 + i] = static_cast<char>(size >> (8 * i));
  return out;
}

std::uint64_t digestOf(const Encoding& enc) {
  XXH3_state_t state;
  XXH3_INITSTATE(&state);
  XXH3_64bits_reset(&state);
  XXH3_64bits_update(&state, enc.header.data(), enc.header.size());
  for (const OutputPiece& piece : enc.data) XXH3_64bits_update(&state, piece.data, piece.size);
  return XXH3_64bits_digest(&state);
}

// Reads the header's fields; any overrun is a damaged header.
class Cursor {
 public:
  Cursor(const unsigned char* p, std::size_t size) : p_(p), left_(size) {}
  std::uint64_t number(int bytes) {
    need(static_cast<std::size_t>(bytes));
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint64_t>(p_[i]) << (8 * i);
    p_ += bytes;
    left_ -= static_cast<std::size_t>(bytes);
    return v;
  }
  std::string name() {
    const std::size_t len = number(1);
    need(len);
    std::string s(reinterpret_cast<const char*>(p_), len);
    p_ += len;
    left_ -= len;
    const bool plain = !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) {
      return std::isalnum(c) || c == '_';
    });
    if (!plain) refuse("its header is damaged (an entry name is not a name)");
    return s;
  }
  std::size_t left() const { return left_; }

 private:
  void need(std::size_t n) const {
    if (n > left_) refuse("its header is damaged (it ends inside an entry)");
  }
  const unsigned char* p_;
  std::size_t left_;
};

struct Scalar {
  std::uint8_t type;
  std::uint64_t bits;
};

struct ArrayEntry {
  std::string name;
  std::uint8_t type;
  std::uint32_t rows, cols;
  std::uint64_t bytes;
};

// The scalars by name, each taken once; what is left over is unknown.
class Scalars {
 public:
  explicit Scalars(std::map<std::string, Scalar> all) : all_(std::move(all)) {}
  std::int64_t integer(const std::string& name, std::uint8_t type, std::int64_t lo, std::int64_t hi) {
    const Scalar s = take(name, type);
    const auto v = static_cast<std::int64_t>(s.bits);
    if (v < lo || v > hi)
      refuse("\"" + name + "\" is " + std::to_string(v) + ", not in " + std::to_string(lo) + ".." +
             std::to_string(hi));
    return v;
  }
  float real(const std::string& name) {
    const Scalar s = take(name, kFloat32);
    if (s.bits >> 32 != 0) refuse("\"" + name + "\" is damaged");
    const auto bits = static_cast<std::uint32_t>(s.bits);
    float v;
    std::memcpy(&v, &bits, 4);
    return v;
  }
  void noneLeft() const {
    if (!all_.empty()) refuse("it holds an unknown entry \"" + all_.begin()->first + "\"");
  }

 private:
  Scalar take(const std::string& name, std::uint8_t type) {
    const auto it = all_.find(name);
    if (it == all_.end()) refuse("it holds no \"" + name + "\"");
    const Scalar s = it->second;
    if (s.type != type) refuse("\"" + name + "\" has the wrong type");
    all_.erase(it);
    return s;
  }
  std::map<std::string, Scalar> all_;
};

std::string sizeText(std::uint64_t w, std::uint64_t h) { return std::to_string(w) + "x" + std::to_string(h); }

void readInto(InputFile& in, XXH3_state_t& state, void* data, std::uint64_t bytes) {
  auto* p = static_cast<unsigned char*>(data);
  while (bytes > 0) {
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, kChunk));
    in.readExactly(p, k);
    XXH3_64bits_update(&state, p, k);
    p += k;
    bytes -= k;
  }
}

}  // namespace

std::string unsupportedVersion(long long version, int oldest) {
  return "its format version " + std::to_string(version) + " is not one this library reads (" +
         std::to_string(oldest) + " to " + std::to_string(kModelFormatVersion) + ")";
}

bool isBinaryModelName(const std::string& path) {
  if (path.size() < 5) return false;
  std::string ext = path.substr(path.size() - 5);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext == ".scvm";
}

bool hasBinaryModelSignature(InputFile& in) {
  unsigned char start[sizeof kMagic];
  return in.peek(start, sizeof start) == sizeof start && std::memcmp(start, kMagic, sizeof kMagic) == 0;
}

std::uint64_t modelDigest(Engine& e, int version) { return digestOf(encode(e, version)); }

bool writeBinaryModel(Engine& e, const std::string& path, std::string& why) {
  const Encoding enc = encode(e, kModelFormatVersion);
  std::string checksum;
  putU64(checksum, digestOf(enc));
  std::vector<OutputPiece> pieces{{enc.header.data(), enc.header.size()}};
  pieces.insert(pieces.end(), enc.data.begin(), enc.data.end());
  pieces.push_back({checksum.data(), checksum.size()});
  const WriteOutcome out = writeFileAtomic(path, pieces);
  why = out.why;
  return static_cast<bool>(out);
}

std::unique_ptr<Engine> readBinaryModel(InputFile& in, int threads) {
  const std::uint64_t fileSize = in.size();
  unsigned char start[16];
  const std::size_t got = static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, sizeof start));
  in.readExactly(start, got);
  if (got < sizeof kMagic || std::memcmp(start, kMagic, sizeof kMagic) != 0)
    refuse("it is not an SC-VARDO model file (no .scvm signature)");
  if (got < sizeof start) refuse("it is truncated");
  Cursor first(start + 8, 8);
  const auto version = static_cast<std::uint32_t>(first.number(4));
  const auto headerSize = static_cast<std::uint32_t>(first.number(4));
  if (version < 2 || version > kModelFormatVersion) refuse(unsupportedVersion(version, 2));
  if (headerSize < sizeof start + 8 || headerSize > kMaxHeader) refuse("its header is damaged (its size)");
  if (std::uint64_t{headerSize} + 8 > fileSize) refuse("it is truncated");

  std::vector<unsigned char> header(headerSize);
  std::memcpy(header.data(), start, sizeof start);
  in.readExactly(header.data() + sizeof start, headerSize - sizeof start);
  XXH3_state_t state;
  XXH3_INITSTATE(&state);
  XXH3_64bits_reset(&state);
  XXH3_64bits_update(&state, header.data(), header.size());

  Cursor c(header.data() + sizeof start, headerSize - sizeof start);
  std::map<std::string, Scalar> scalarMap;
  const std::uint64_t scalarCount = c.number(4);
  if (scalarCount > kMaxScalars) refuse("its header is damaged (" + std::to_string(scalarCount) + " scalars)");
  for (std::uint64_t i = 0; i < scalarCount; ++i) {
    std::string name = c.name();
    const auto type = static_cast<std::uint8_t>(c.number(1));
    const std::uint64_t bits = c.number(8);
    if (!scalarMap.emplace(std::move(name), Scalar{type, bits}).second)
      refuse("its header is damaged (an entry twice)");
  }
  const std::uint64_t arrayCount = c.number(4);
  if (arrayCount == 0 || arrayCount > kMaxArrays)
    refuse("its header is damaged (" + std::to_string(arrayCount) + " arrays)");
  std::vector<ArrayEntry> arrays;
  std::uint64_t dataBytes = 0;
  for (std::uint64_t i = 0; i < arrayCount; ++i) {
    ArrayEntry a;
    a.name = c.name();
    a.type = static_cast<std::uint8_t>(c.number(1));
    a.rows = static_cast<std::uint32_t>(c.number(4));
    a.cols = static_cast<std::uint32_t>(c.number(4));
    if (a.type != kByte && a.type != kInt32 && a.type != kFloat32) refuse("\"" + a.name + "\" has the wrong type");
    if (a.rows > INT_MAX || a.cols > INT_MAX) refuse("\"" + a.name + "\" is " + sizeText(a.cols, a.rows) + ": too large");
    a.bytes = std::uint64_t{a.rows} * a.cols * (a.type == kByte ? 1 : 4);
    // Each no larger than the file, so that the sum cannot wrap.
    if (a.bytes > fileSize) refuse("it is truncated");
    for (const ArrayEntry& b : arrays)
      if (b.name == a.name) refuse("its header is damaged (an entry twice)");
    dataBytes += a.bytes;
    arrays.push_back(std::move(a));
  }
  if (c.left() != 0) refuse("its header is damaged (bytes after its last entry)");
  const std::uint64_t expected = headerSize + dataBytes + 8;
  if (fileSize < expected) refuse("it is truncated");
  if (fileSize > expected)
    refuse("it is " + std::to_string(fileSize - expected) + " bytes longer than its header declares");

  Scalars scalars(std::move(scalarMap));
  const std::int64_t frames = scalars.integer("frames", kInt64, 0, kMaxModelFrames);
  const auto W = static_cast<int>(scalars.integer("width", kInt32, 0, INT_MAX));
  const auto H = static_cast<int>(scalars.integer("height", kInt32, 0, INT_MAX));
  scvardo::Params p;
  p.threads = threads;
  for (const ParamSpec& row : scvardo::paramTable()) {
    if (row.fileSince == 0 || row.fileSince > static_cast<int>(version)) continue;
    if (row.whole())
      p.*row.intField = static_cast<int>(scalars.integer(row.name, kInt32, INT_MIN, INT_MAX));
    else
      p.*row.realField = scalars.real(row.name);
  }
  scalars.noneLeft();
  const std::string problem = paramsProblem(p);
  if (!problem.empty()) refuse(problem);
  if ((frames == 0) != (W == 0 && H == 0) || (frames > 0 && (W == 0 || H == 0)))
    refuse("its frame count " + std::to_string(frames) + " and frame size " + sizeText(W, H) + " disagree");
  const std::uint64_t pixels = std::uint64_t{static_cast<unsigned>(W)} * static_cast<unsigned>(H);
  if (pixels > (std::uint64_t{1} << 31)) refuse("its frame size " + sizeText(W, H) + " is too large");

  const ArrayEntry& roiEntry = arrays.front();
  if (roiEntry.name != "roi" || roiEntry.type != kByte) refuse("its first array is not the ROI");
  const bool roiGiven = roiEntry.rows != 0 || roiEntry.cols != 0;
  if (roiGiven && (roiEntry.rows == 0 || roiEntry.cols == 0 ||
                   (frames > 0 && (roiEntry.rows != static_cast<unsigned>(H) || roiEntry.cols != static_cast<unsigned>(W)))))
    refuse("its ROI is " + sizeText(roiEntry.cols, roiEntry.rows) + " but its frames are " + sizeText(W, H));
  // The file is as large as the model it declares: a small file cannot
  // make the model's buffers be allocated.
  const std::uint64_t modelBytes = pixels * (1 + 12u * static_cast<unsigned>(p.n * p.n));
  if (dataBytes - roiEntry.bytes < modelBytes)
    refuse("its arrays are smaller than a model of " + sizeText(W, H) + " frames with n=" + std::to_string(p.n));

  std::vector<std::uint8_t> roiBytes(roiEntry.bytes);
  readInto(in, state, roiBytes.data(), roiEntry.bytes);
  RoiMask roi;
  if (roiGiven)
    roi = RoiMask::fromImage(cv::Mat(static_cast<int>(roiEntry.rows), static_cast<int>(roiEntry.cols), CV_8UC1,
                                     roiBytes.data()));
  auto engine = std::make_unique<Engine>(p, std::move(roi));
  if (frames > 0) engine->beginRestore(W, H, frames);
  const std::vector<StoredArray> stored = engine->storedArrays();
  if (arrays.size() - 1 != stored.size())
    refuse("it holds " + std::to_string(arrays.size() - 1) + " arrays besides the ROI, not " +
           std::to_string(stored.size()));
  for (std::size_t i = 1; i < arrays.size(); ++i) {
    const ArrayEntry& a = arrays[i];
    const auto it = std::find_if(stored.begin(), stored.end(), [&](const StoredArray& s) { return a.name == s.name; });
    if (it == stored.end()) refuse("it holds an unknown entry \"" + a.name + "\"");
    if (a.type != typeCode(it->type) || a.rows != static_cast<unsigned>(it->rows) ||
        a.cols != static_cast<unsigned>(it->cols))
      refuse("\"" + a.name + "\" is " + sizeText(a.cols, a.rows) + ", not the " + sizeText(it->cols, it->rows) +
             " its frame size needs");
    readInto(in, state, it->data, a.bytes);
  }
  unsigned char sum[8];
  in.readExactly(sum, sizeof sum);
  if (Cursor(sum, sizeof sum).number(8) != XXH3_64bits_digest(&state))
    refuse("the checksum does not match its data");
  engine->finishRestore();
  return engine;
}

// ---- Text model files ----

namespace {

constexpr std::size_t kUndeclaredText = 64 * 1024;
// Most a legitimate text file needs: the YAML, XML and JSON OpenCV writes,
// a few per array, with room for the state yet to come.
constexpr long kMaxOpeners = 64, kMaxAscents = 64, kMaxTags = 512;

bool isNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

bool beforeKey(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '{' || c == ',' || c == '<' ||
         c == '"' || c == '\'';
}

// Calls take(key, value text) for every occurrence in text[0, end) of a key
// of `keys` as YAML ("K: 5"), JSON ("\"K\": 5") or XML ("<K>5</K>") writes it.
template <typename Take>
void scanKeys(const std::string& text, std::size_t end, const std::vector<std::string>& keys, Take take) {
  end = std::min(end, text.size());
  std::size_t i = 0;
  while (i < end) {
    if (!isNameChar(text[i]) || (i > 0 && !beforeKey(text[i - 1]))) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < end && isNameChar(text[j])) ++j;
    const auto key = std::find_if(keys.begin(), keys.end(), [&](const std::string& k) {
      return k.size() == j - i && text.compare(i, k.size(), k) == 0;
    });
    std::size_t k = j;
    const char before = i > 0 ? text[i - 1] : '\n';
    if (key != keys.end()) {
      bool found = false;
      if (before == '<') {
        while (k < end && k - j < 256 && text[k] != '>' && text[k] != '<' && text[k] != '\n') ++k;
        found = k < end && text[k] == '>';
      } else {
        if ((before == '"' || before == '\'') && k < end && text[k] == before) ++k;
        while (k < end && (text[k] == ' ' || text[k] == '\t')) ++k;
        found = k < end && text[k] == ':';
      }
      if (found) {
        ++k;
        while (k < end && (text[k] == ' ' || text[k] == '\t')) ++k;
        std::size_t e = k;
        while (e < end && std::strchr("\n\r#,}]<", text[e]) == nullptr) ++e;
        std::size_t t = e;
        while (t > k && (text[t - 1] == ' ' || text[t - 1] == '\t')) --t;
        take(*key, text.substr(k, t - k));
      }
    }
    i = j;
  }
}

// A decimal integer alone, in range, or false.
bool strictInteger(const std::string& s, long long& v) {
  const std::size_t digits = !s.empty() && s[0] == '-' ? 1 : 0;
  if (s.size() == digits || s.size() > 20) return false;
  for (std::size_t k = digits; k < s.size(); ++k)
    if (!std::isdigit(static_cast<unsigned char>(s[k]))) return false;
  errno = 0;
  v = std::strtoll(s.c_str(), nullptr, 10);
  return errno == 0;
}

// The frame size and block side a text file declares in its first bytes.
struct Declared {
  long long W = 0, H = 0, n = 0;
  bool known() const { return W > 0 && H > 0; }
};

Declared declaredIn(const std::string& text) {
  long long width = 0, height = 0, rows = 0, cols = 0, n = 0;
  scanKeys(text, kUndeclaredText, {"width", "height", "rows", "cols", "n"},
           [&](const std::string& key, const std::string& value) {
             long long v = 0;
             if (value.empty() || !strictInteger(value, v) || v <= 0) return;
             long long& slot = key == "width" ? width : key == "height" ? height : key == "rows" ? rows
                               : key == "cols" ? cols : n;
             if (slot == 0) slot = v;
           });
  Declared d;
  // The ROI's rows and columns come before the frame size; either says it.
  d.W = width > 0 && height > 0 ? width : cols;
  d.H = width > 0 && height > 0 ? height : rows;
  d.n = n >= 3 && n <= 9 ? n : 9;
  return d;
}

// How many structures a text opens: brackets, XML tags and indentation
// steps. The parser's nesting cannot exceed their sum, and a model file
// needs few; counting every one (not the depth) needs no parsing. Counted
// as the text arrives, so that a deep file stops early.
class NestingCount {
 public:
  void add(const std::string& text) {
    for (; done_ < text.size(); ++done_) {
      const char ch = text[done_];
      if (ch == '[' || ch == '{') ++openers_;
      if (ch == '<' && done_ + 1 < text.size() &&
          (std::isalpha(static_cast<unsigned char>(text[done_ + 1])) || text[done_ + 1] == '_'))
        ++tags_;
      if (ch == '\n' || ch == '\r') {
        lineStart_ = true;
        indent_ = 0;
      } else if (lineStart_ && (ch == ' ' || ch == '\t')) {
        ++indent_;
      } else if (lineStart_) {
        lineStart_ = false;
        if (previousIndent_ >= 0 && indent_ > previousIndent_) ++ascents_;
        previousIndent_ = indent_;
      }
    }
    if (openers_ > kMaxOpeners || tags_ > kMaxTags || ascents_ > kMaxAscents)
      refuse("it nests deeper than a model file does (" + std::to_string(openers_) + " brackets, " +
             std::to_string(tags_) + " tags, " + std::to_string(ascents_) + " indentation steps so far)");
  }

 private:
  std::size_t done_ = 0;
  long openers_ = 0, tags_ = 0, ascents_ = 0, previousIndent_ = -1, indent_ = 0;
  bool lineStart_ = true;
};

}  // namespace

std::string readModelText(InputFile& in) {
  Declared declared;
  NestingCount nesting;
  std::uint64_t cap = kUndeclaredText;
  return readText(in, [&](const std::string& t) {
    nesting.add(t);
    if (!declared.known()) {
      declared = declaredIn(t);
      if (declared.known()) {
        const std::uint64_t pixels = static_cast<std::uint64_t>(declared.W) * static_cast<std::uint64_t>(declared.H);
        if (declared.W > INT_MAX || declared.H > INT_MAX || pixels > (std::uint64_t{1} << 31))
          refuse("it declares a frame size of " + sizeText(declared.W, declared.H) + ", too large");
        const std::string shortfall = memoryShortfall(static_cast<int>(declared.W), static_cast<int>(declared.H),
                                                      static_cast<int>(declared.n), kModelCopies);
        if (!shortfall.empty()) throw Error(Error::Kind::Memory, shortfall);
        // At most 6 characters a byte ("255, ") and 26 a float, a quarter
        // more for indentation, for the ROI, the labels and the model.
        const std::uint64_t perPixel = 2 * 6 + 3 * static_cast<std::uint64_t>(declared.n * declared.n) * 26;
        cap = kUndeclaredText + pixels * perPixel / 4 * 5;
      }
    }
    if (t.size() > cap) {
      if (!declared.known()) refuse("it declares no frame size in its first 64 KiB");
      refuse("it is larger than a model of " + sizeText(declared.W, declared.H) + " frames can be");
    }
  });
}

void checkIntegerTexts(const std::string& text, const std::vector<std::pair<std::string, long long>>& values) {
  std::vector<std::string> keys;
  for (const auto& v : values) keys.push_back(v.first);
  scanKeys(text, text.size(), keys, [&](const std::string& key, const std::string& value) {
    const long long expected =
        std::find_if(values.begin(), values.end(), [&](const auto& v) { return v.first == key; })->second;
    long long v = 0;
    if (!strictInteger(value, v) || v != expected)
      refuse("\"" + key + "\" is written \"" + value + "\", which is not the whole number " +
             std::to_string(expected) + " it reads as");
  });
}
