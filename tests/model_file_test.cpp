// Model files: every format saves and loads the model exactly, version 1
// files still load, and one table of damaged and hostile files is refused
// by the C++ face, the Python module and sc-vardo-video alike.
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>

#include <zlib.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "scvardo/scvardo.hpp"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr int kW = 12, kH = 8;

// Frames whose colours change with row, column and frame number, so that a
// flipped or transposed plane shows (tests/data/model-v1.yml.gz was made
// from frames 1..5 of these with the parameters below).
cv::Mat frame(int f) {
  cv::Mat m(kH, kW, CV_8UC3);
  for (int r = 0; r < kH; ++r)
    for (int c = 0; c < kW; ++c)
      m.at<cv::Vec3b>(r, c) = cv::Vec3b(static_cast<uchar>((7 * r + 13 * c + 29 * f) % 256),
                                        static_cast<uchar>((5 * r * c + 3 * f) % 256),
                                        static_cast<uchar>((255 - 11 * c + r * f) % 256));
  return m;
}

cv::Ptr<scvardo::BackgroundSubtractor> fresh() {
  scvardo::Params p;
  p.K = 3;
  p.e2 = 0.02f;
  cv::Mat roi(kH, kW, CV_8UC1, cv::Scalar(255));
  roi.row(0).setTo(0);
  roi.col(0).setTo(0);
  return scvardo::createBackgroundSubtractor(p, roi);
}

// A subtractor that has seen frames 1..5.
cv::Ptr<scvardo::BackgroundSubtractor> trained() {
  auto bs = fresh();
  cv::Mat mask;
  for (int f = 1; f <= 5; ++f) bs->apply(frame(f), mask);
  return bs;
}

// Masks of frames 6..9 after the first five: what a resumed model must give.
std::vector<cv::Mat> continuation(scvardo::BackgroundSubtractor& bs) {
  std::vector<cv::Mat> masks;
  for (int f = 6; f <= 9; ++f) {
    cv::Mat mask;
    bs.apply(frame(f), mask);
    masks.push_back(mask);
  }
  return masks;
}

void expectSame(const std::vector<cv::Mat>& a, const std::vector<cv::Mat>& b, const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (std::size_t i = 0; i < a.size(); ++i)
    EXPECT_EQ(cv::norm(a[i], b[i], cv::NORM_INF), 0) << what << ", frame " << i + 6;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// A .scvm scalar's value set, and the checksum made to match again: the
// refusal tested is then the bound, not the checksum.
std::string withScalar(std::string bytes, const std::string& name, std::int64_t value) {
  const std::size_t at = bytes.find(std::string(1, static_cast<char>(name.size())) + name);
  EXPECT_NE(at, std::string::npos) << name;
  for (int i = 0; i < 8; ++i) bytes[at + 1 + name.size() + 1 + i] = static_cast<char>(static_cast<std::uint64_t>(value) >> (8 * i));
  return bytes;
}

std::string resealed(std::string bytes) {
  const std::uint64_t sum = XXH3_64bits(bytes.data(), bytes.size() - 8);
  for (int i = 0; i < 8; ++i) bytes[bytes.size() - 8 + i] = static_cast<char>(sum >> (8 * i));
  return bytes;
}

std::string gunzip(const std::string& path) {
  gzFile in = gzopen(path.c_str(), "rb");
  std::string text;
  char buf[4096];
  for (int k; in != nullptr && (k = gzread(in, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(k));
  if (in != nullptr) gzclose(in);
  return text;
}

// gzip of `text` followed by `blocks` MiB of spaces: one block compressed
// after a full flush, which resets the window, so that its bytes can be
// repeated as they are. A GiB of text in about a MB.
std::string gzipBomb(const std::string& text, int blocks) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
  std::string out;
  const auto pump = [&](const std::string& in, int flush) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    std::string piece;
    do {
      char buf[65536];
      z.next_out = reinterpret_cast<Bytef*>(buf);
      z.avail_out = sizeof buf;
      deflate(&z, flush);
      piece.append(buf, sizeof buf - z.avail_out);
    } while (z.avail_out == 0);
    return piece;
  };
  out += pump(text, Z_FULL_FLUSH);
  const std::string block = pump(std::string(1 << 20, ' '), Z_FULL_FLUSH);
  for (int i = 0; i < blocks; ++i) out += block;
  out += pump("", Z_FINISH);
  deflateEnd(&z);
  return out;
}

}  // namespace

TEST(ModelFile, EveryFormatResumesExactly) {
  ScratchDir tmp("model-file");
  auto reference = trained();
  const std::vector<cv::Mat> expected = continuation(*reference);
  for (const char* name : {"m.scvm", "M.SCVM", "m.yml", "m.yml.gz", "m.xml", "m.json"}) {
    const std::string file = tmp / name;
    trained()->save(file);
    auto loaded = scvardo::load(file);
    EXPECT_EQ(loaded->getFrameCount(), 5) << name;
    EXPECT_EQ(loaded->getParams().e2, 0.02f) << name;
    expectSame(continuation(*loaded), expected, name);
  }
  // The binary file is the arrays as they are, and little more.
  const std::string bytes = readFile(tmp / "M.SCVM");
  EXPECT_EQ(bytes.compare(0, 5, "\x89SCVM"), 0);
  const std::size_t arrays = 2 * kW * kH + 3 * 9 * kW * kH * sizeof(float);
  EXPECT_GT(bytes.size(), arrays);
  EXPECT_LT(bytes.size(), arrays + 1024);
  // A model before its first frame keeps its parameters and ROI.
  for (const char* name : {"empty.scvm", "empty.yml"}) {
    const std::string file = tmp / name;
    fresh()->save(file);
    auto loaded = scvardo::load(file);
    EXPECT_TRUE(loaded->empty()) << name;
    cv::Mat mask;
    for (int f = 1; f <= 5; ++f) loaded->apply(frame(f), mask);
    expectSame(continuation(*loaded), expected, name);
  }
  // No temporaries left behind.
  for (const std::string& name : listDir(tmp.path()))
    EXPECT_EQ(name.find(".scvardo-tmp."), std::string::npos) << name;
}

TEST(ModelFile, Version1FilesStillLoad) {
  auto loaded = scvardo::load(SCVARDO_SOURCE_DIR "/tests/data/model-v1.yml.gz");
  EXPECT_EQ(loaded->getFrameCount(), 5);
  cv::Mat a, b;
  loaded->getModelImage(a);
  trained()->getModelImage(b);
  EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0);
  auto reference = trained();
  expectSame(continuation(*loaded), continuation(*reference), "version 1");
}

// Each file is refused by scvardo::load (Error of the kind, one line naming
// the file and the reason), by Python's load (ValueError, or OSError for a
// file that cannot be read, the subtractor unchanged) and by sc-vardo-video
// --load-model (status 1, the same line on stderr).
TEST(ModelFile, DamagedAndHostileFilesAreRefused) {
  ScratchDir dir("model-file");
  auto bs = trained();
  bs->save(dir / "good.scvm");
  bs->save(dir / "good.yml");
  bs->save(dir / "good.yml.gz");
  const std::string scvm = readFile(dir / "good.scvm"), yml = readFile(dir / "good.yml");
  const std::string gz = readFile(dir / "good.yml.gz");
  std::string flippedE2 = scvm, flippedModel = scvm;
  flippedE2[scvm.find("\x02" "e2") + 4] ^= 0x10;
  flippedModel[scvm.size() - 100] ^= 0x01;
  std::string e2Text = yml;
  e2Text[yml.find("e2: ") + 4] ^= 0x03;  // 1.99.. -> 2.99..
  const std::string v1 = gunzip(SCVARDO_SOURCE_DIR "/tests/data/model-v1.yml.gz");
  std::string indented = "%YAML:1.0\n---\n", tags = "<?xml version=\"1.0\"?>\n<opencv_storage>\n";
  for (int i = 0; i < 100; ++i) indented += std::string(static_cast<std::size_t>(i), ' ') + "a:\n";
  for (int i = 0; i < 30000; ++i) tags += "<a>";

  const auto Input = scvardo::Error::Kind::Input, Unreadable = scvardo::Error::Kind::Unreadable;
  const struct {
    const char* file;
    std::string content;
    const char* words;
    scvardo::Error::Kind kind;
  } cases[] = {
      {"half.scvm", scvm.substr(0, scvm.size() / 2), "truncated", Input},
      {"short.scvm", scvm.substr(0, scvm.size() - 1), "truncated", Input},
      {"long.scvm", scvm + '\0', "1 bytes longer", Input},
      {"e2-bit.scvm", flippedE2, "checksum", Input},
      {"model-bit.scvm", flippedModel, "checksum", Input},
      {"magic.scvm", replaced(scvm, "SCVM", "SCVX"), "no .scvm signature", Input},
      {"version.scvm", resealed(replaced(scvm, std::string("\x03\0\0\0", 4), std::string("\x63\0\0\0", 4))),
       "format version 99", Input},
      {"huge.scvm", resealed(withScalar(withScalar(scvm, "width", 1 << 20), "height", 1 << 20)),
       "1048576x1048576 is too large", Input},
      {"frames.scvm", resealed(withScalar(scvm, "frames", INT64_MAX)), "\"frames\" is 9223372036854775807", Input},
      {"sizes.scvm", resealed(withScalar(scvm, "width", 6)), "but its frames are 6x8", Input},
      {"empty.scvm", "", "no .scvm signature", Input},
      {"text.scvm", yml, "no .scvm signature", Input},
      {"e2-char.yml", e2Text, "checksum", Input},
      {"K-char.yml", replaced(yml, "K: 3\n", "K: 4\n"), "checksum", Input},
      {"K-wraps.yml", replaced(yml, "K: 3\n", "K: 4294967299\n"), "\"K\" is written \"4294967299\"", Input},
      {"frames.yml", replaced(v1, "frames: \"5\"", "frames: \"9223372036854775807\""), "\"frames\"", Input},
      {"version.yml", replaced(yml, "version: 3", "version: 7"), "format version 7", Input},
      {"sizes.yml", replaced(yml, "width: 12", "width: 6"), "but the frames are 6x8", Input},
      {"foreign.yml", "%YAML:1.0\n---\nfoo: 1\n", "holds no SC-VARDO model", Input},
      {"brackets.yml", "%YAML:1.0\n---\na: " + std::string(100000, '['), "nests deeper", Input},
      {"tags.xml", tags, "nests deeper", Input},
      {"indent.yml", indented, "nests deeper", Input},
      {"bomb.yml.gz", gzipBomb(yml.substr(0, yml.find("data:")), 1024), "larger than a model of 12x8", Input},
      {"sizeless.yml.gz", gzipBomb("%YAML:1.0\n---\n", 1024), "declares no frame size", Input},
      {"cut.yml.gz", gz.substr(0, gz.size() / 2), "end early", Input},
      {"folder.scvm", "", "it is a folder", Input},
      {"fifo.yml", "", "not a regular file", Input},
      {"zero.yml.gz", "", "not a regular file", Input},
      {"missing.scvm", "", "No such file", Unreadable},
  };
  std::vector<std::string> python{"/usr/bin/python3", dir / "load.py"};
  for (const auto& c : cases) {
    const std::string p = dir / c.file, name = c.file;
    if (name == "folder.scvm")
      fs::create_directory(p);
    else if (name == "fifo.yml")
      ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
    else if (name == "zero.yml.gz")
      fs::create_symlink("/dev/zero", p);
    else if (name != "missing.scvm")
      writeFile(p, c.content);
    python.push_back(p);

    try {
      scvardo::load(p);
      ADD_FAILURE() << c.file << " loaded";
    } catch (const scvardo::Error& e) {
      const std::string what = e.what();
      EXPECT_EQ(e.kind(), c.kind) << what;
      EXPECT_EQ(what.rfind("cannot read model file " + p + ": ", 0), 0u) << what;
      EXPECT_NE(what.find(c.words), std::string::npos) << what;
      EXPECT_EQ(what.find('\n'), std::string::npos) << what;
    }

    const RunResult video = run({SCVARDO_VIDEO, "none", "--load-model", p});
    EXPECT_EQ(video.status, 1) << c.file;
    const std::string& line = video.err;
    EXPECT_EQ(line.rfind("sc-vardo-video: cannot read model file " + p + ": ", 0), 0u) << line;
    EXPECT_NE(line.find(c.words), std::string::npos) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
  }

#ifdef SCVARDO_PYTHON_DIR
  // One interpreter for every file: the exception's type, whether the
  // subtractor is as it was, and the message.
  writeFile(dir / "load.py",
            "import sys, numpy, scvardo\n"
            "bs = scvardo.createBackgroundSubtractor(K=7)\n"
            "bs.apply(numpy.zeros((8, 12, 3), numpy.uint8))\n"
            "before = bs.getModelImage()\n"
            "for path in sys.argv[1:]:\n"
            "    try:\n"
            "        bs.load(path)\n"
            "        print('loaded', path)\n"
            "    except Exception as e:\n"
            "        same = bs.getFrameCount() == 1 and bs.getParams()['K'] == 7 and (bs.getModelImage() == before).all()\n"
            "        print(type(e).__name__, 'unchanged' if same else 'changed', str(e).replace('\\n', ' '))\n");
  ::setenv("PYTHONPATH", SCVARDO_PYTHON_DIR, 1);
  const RunResult loads = run(python);
  ASSERT_EQ(loads.status, 0) << loads.err;
  std::istringstream lines(loads.out);
  for (const auto& c : cases) {
    std::string type, state, message;
    lines >> type >> state;
    std::getline(lines, message);
    EXPECT_EQ(type, c.kind == Unreadable ? "OSError" : "ValueError") << c.file << message;
    EXPECT_EQ(state, "unchanged") << c.file;
    EXPECT_NE(message.find(dir / c.file), std::string::npos) << message;
    EXPECT_NE(message.find(c.words), std::string::npos) << message;
  }
#endif
}
