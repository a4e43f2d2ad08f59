// The public face: masks equal to the CLI's, persistence and resume, frozen
// learning, and refusals that leave the subtractor as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "scvardo/scvardo.hpp"

namespace fs = std::filesystem;

namespace {

struct Scratch {
  fs::path dir;
  Scratch() {
    char tmpl[] = "/tmp/scvardo-face-XXXXXX";
    dir = ::mkdtemp(tmpl);
  }
  ~Scratch() { fs::remove_all(dir); }
};

std::string frameName(const fs::path& seq, int f) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "input/in%06d.jpg", f);
  return (seq / buf).string();
}

std::string maskName(const fs::path& dir, int f) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "bin%06d.png", f);
  return (dir / buf).string();
}

void expectSameMat(const cv::Mat& a, const cv::Mat& b, const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  ASSERT_EQ(a.type(), b.type()) << what;
  EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0) << what;
}

// A generated sequence (64x48, 40 frames) made once for the whole file.
const fs::path& sample() {
  static Scratch scratch;
  static const fs::path seq = [] {
    const fs::path s = scratch.dir / "sample";
    const std::string cmd =
        std::string(SCVARDO_MAKE_SAMPLE) + " " + s.string() + " --frames 40 --size 64x48 >/dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    return s;
  }();
  return seq;
}

cv::Mat roiOf(const fs::path& seq) { return cv::imread((seq / "ROI.bmp").string(), cv::IMREAD_GRAYSCALE); }

// Runs the tool in `out` and checks the face's masks for frames K+1..last
// against its files.
void compareWithCli(const fs::path& seq, int last, int K, const std::string& switches) {
  Scratch out;
  const std::string cmd = "cd " + out.dir.string() + " && " + SCVARDO_EXE + " " +
                          (seq / "input/in").string() + " 1 " + std::to_string(last) + " -K " +
                          std::to_string(K) + " " + switches + " >/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  scvardo::Params p;
  p.K = K;
  if (switches.find("-Med 3") != std::string::npos) p.medianWidth = 3;
  if (switches.find("-Cw 3") != std::string::npos) p.Cw = 3;
  auto bs = scvardo::createBackgroundSubtractor(p, roiOf(seq));
  cv::Mat mask;
  for (int f = 1; f <= last; ++f) {
    bs->apply(cv::imread(frameName(seq, f)), mask);
    if (f > K) expectSameMat(mask, cv::imread(maskName(out.dir, f), cv::IMREAD_UNCHANGED),
                             "frame " + std::to_string(f) + " " + switches);
  }
}

}  // namespace

TEST(Face, MasksEqualTheCommandLineTools) {
  compareWithCli(sample(), 40, 12, "");
  compareWithCli(sample(), 30, 5, "-Med 3 -Cw 3");
  const fs::path highway = fs::path(SCVARDO_SOURCE_DIR) / "../shared/data/highway";
#ifdef SCVARDO_SANITIZED
  GTEST_SKIP() << "highway comparison skipped in the sanitizer build (slow)";
#endif
  if (!fs::exists(highway / "input/in000520.jpg")) GTEST_SKIP() << "no highway data at " << highway;
  compareWithCli(highway, 520, 469, "");
}

// A frame that is a view into a larger picture has its rows further apart
// than its width, with other bytes between them: the masks are those of the
// same frame stored alone.
TEST(Face, FramesInsideLargerPicturesGiveTheSameMasks) {
  scvardo::Params p;
  p.K = 5;
  auto alone = scvardo::createBackgroundSubtractor(p, roiOf(sample()));
  auto inside = scvardo::createBackgroundSubtractor(p, roiOf(sample()));
  cv::Mat a, b;
  for (int f = 1; f <= 20; ++f) {
    const cv::Mat frame = cv::imread(frameName(sample(), f));
    cv::Mat big(frame.rows + 3, frame.cols + 7, CV_8UC3);
    cv::randu(big, 0, 256);
    cv::Mat view = big(cv::Rect(5, 2, frame.cols, frame.rows));
    frame.copyTo(view);
    ASSERT_FALSE(view.isContinuous());
    alone->apply(frame, a);
    inside->apply(view, b);
    expectSameMat(a, b, "frame " + std::to_string(f));
  }
}

TEST(Face, SavedMidCalibrationOrOnlineResumesExactly) {
  const fs::path seq = sample();
  scvardo::Params p;
  p.K = 12;
  Scratch tmp;
  for (int stop : {6, 20}) {
    auto whole = scvardo::createBackgroundSubtractor(p, roiOf(seq));
    cv::Ptr<scvardo::BackgroundSubtractor> resumed;
    cv::Mat a, b;
    for (int f = 1; f <= 30; ++f) {
      const cv::Mat frame = cv::imread(frameName(seq, f));
      whole->apply(frame, a);
      if (f == stop) {
        const std::string file = (tmp.dir / "model.yml.gz").string();
        whole->save(file);
        resumed = scvardo::createBackgroundSubtractor();  // default Params, no ROI
        cv::FileStorage in(file, cv::FileStorage::READ);
        resumed->read(in.root());
        EXPECT_EQ(resumed->getFrameCount(), stop);
        EXPECT_EQ(resumed->getParams().K, 12);
      } else if (f > stop) {
        resumed->apply(frame, b);
        expectSameMat(a, b, "frame " + std::to_string(f) + " after a stop at " + std::to_string(stop));
      }
    }
    cv::Mat ma, mb;
    whole->getModelImage(ma);
    resumed->getModelImage(mb);
    expectSameMat(ma, mb, "model image");
  }
  // No temporaries left beside the saved file.
  for (const auto& entry : fs::directory_iterator(tmp.dir))
    EXPECT_EQ(entry.path().filename(), "model.yml.gz");
}

TEST(Face, LearningRateZeroFreezesTheModel) {
  const fs::path seq = sample();
  scvardo::Params p;
  p.K = 5;
  auto bs = scvardo::createBackgroundSubtractor(p, roiOf(seq));
  cv::Mat mask, before, after, labels;
  for (int f = 1; f <= 8; ++f) bs->apply(cv::imread(frameName(seq, f)), mask);
  bs->getBackgroundImage(before);
  ASSERT_EQ(before.size(), cv::Size(64, 48));
  ASSERT_EQ(before.type(), CV_8UC3);
  for (int f = 9; f <= 20; ++f) bs->apply(cv::imread(frameName(seq, f)), mask, 0);
  bs->getBackgroundImage(after);
  expectSameMat(before, after, "background after frozen frames");
  bs->getLabels(labels);
  ASSERT_EQ(labels.type(), CV_8UC1);
  for (auto it = labels.begin<uchar>(); it != labels.end<uchar>(); ++it)
    EXPECT_TRUE(*it == 0 || *it == 85 || *it == 170 || *it == 255);
  // Learning again changes it.
  for (int f = 21; f <= 24; ++f) bs->apply(cv::imread(frameName(seq, f)), mask, 0.5);
  bs->getBackgroundImage(after);
  EXPECT_GT(cv::norm(before, after, cv::NORM_L1), 0);
}

TEST(Face, BadParametersFramesAndFilesAreRefusedWithoutChange) {
  const auto kindOf = [](auto&& f) {
    try {
      f();
    } catch (const scvardo::Error& e) {
      EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
      return static_cast<int>(e.kind());
    }
    return -1;
  };
  const int parameter = static_cast<int>(scvardo::Error::Kind::Parameter);
  const int input = static_cast<int>(scvardo::Error::Kind::Input);
  struct Case {
    const char* what;
    void (*edit)(scvardo::Params&);
  } cases[] = {
      {"n = 4", [](scvardo::Params& p) { p.n = 4; }},
      {"median 2", [](scvardo::Params& p) { p.medianWidth = 2; }},
      {"median 257", [](scvardo::Params& p) { p.medianWidth = 257; }},
      {"e2 NaN", [](scvardo::Params& p) { p.e2 = std::nanf(""); }},
      {"K < 0", [](scvardo::Params& p) { p.K = -1; }},
  };
  for (const Case& c : cases) {
    scvardo::Params p;
    c.edit(p);
    EXPECT_EQ(kindOf([&] { scvardo::createBackgroundSubtractor(p); }), parameter) << c.what;
  }
  EXPECT_EQ(kindOf([] { scvardo::createBackgroundSubtractor({}, cv::Mat(4, 4, CV_32F)); }), parameter);

  const fs::path seq = sample();
  scvardo::Params p;
  p.K = 3;
  auto bs = scvardo::createBackgroundSubtractor(p, roiOf(seq));
  cv::Mat mask, model0, model1;
  EXPECT_EQ(kindOf([&] { bs->apply(cv::Mat(48, 64, CV_8UC3), mask); }), -1);
  EXPECT_EQ(kindOf([&] { bs->apply(cv::Mat(48, 64, CV_8UC1), mask); }), input);
  EXPECT_EQ(kindOf([&] { bs->apply(cv::Mat(40, 64, CV_8UC3), mask); }), input);
  EXPECT_EQ(bs->getFrameCount(), 1);
  auto other = scvardo::createBackgroundSubtractor(p, cv::Mat(10, 10, CV_8UC1, cv::Scalar(255)));
  EXPECT_EQ(kindOf([&] { other->apply(cv::Mat(48, 64, CV_8UC3), mask); }), input);  // ROI size
  EXPECT_EQ(other->getFrameCount(), 0);

  // Files: truncated, foreign, tampered, missing data. None changes bs.
  Scratch tmp;
  const std::string good = (tmp.dir / "good.yml").string();
  bs->save(good);
  std::ifstream in(good);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string tampered = text;
  const std::size_t at = tampered.find("model_v");
  tampered[tampered.find_first_of("123456789", tampered.find("data", at))] ^= 1;
  std::string noChecksum = text.substr(0, text.find("checksum"));
  const struct {
    const char* name;
    std::string content;
  } bad[] = {{"truncated.yml", text.substr(0, text.size() / 2)},
             {"foreign.yml", "%YAML:1.0\n---\nfoo: 1\n"},
             {"tampered.yml", tampered},
             {"unchecked.yml", noChecksum},
             {"empty.yml", ""}};
  bs->getModelImage(model0);
  for (const auto& b : bad) {
    const std::string file = (tmp.dir / b.name).string();
    std::ofstream(file) << b.content;
    EXPECT_EQ(kindOf([&] {
                try {
                  cv::FileStorage fsIn(file, cv::FileStorage::READ);
                  bs->read(fsIn.root());
                } catch (const cv::Exception&) {
                  throw scvardo::Error(scvardo::Error::Kind::Input, "OpenCV refused the file");
                }
              }),
              input)
        << b.name;
    EXPECT_EQ(bs->getFrameCount(), 1) << b.name;
  }
  bs->getModelImage(model1);
  expectSameMat(model0, model1, "model after refused files");
  EXPECT_EQ(kindOf([&] { bs->save((tmp.dir / "missing/dir/m.yml").string()); }),
            static_cast<int>(scvardo::Error::Kind::Output));
}

// setParams: from the next frame on with the model kept; refusals change
// nothing; clear() forgets the model and keeps the parameters.
TEST(Face, SetParamsAndClear) {
  const fs::path seq = sample();
  scvardo::Params p;
  p.K = 5;
  auto a = scvardo::createBackgroundSubtractor(p, roiOf(seq)), b = scvardo::createBackgroundSubtractor(p, roiOf(seq));
  EXPECT_TRUE(a->empty());
  cv::Mat ma, mb, before, after;
  for (int f = 1; f <= 10; ++f) {
    a->apply(cv::imread(frameName(seq, f)), ma);
    b->apply(cv::imread(frameName(seq, f)), mb);
  }
  a->getModelImage(before);
  scvardo::Params q = a->getParams();
  q.medianWidth = 5;
  q.threads = 2;
  a->setParams(q);
  a->getModelImage(after);
  expectSameMat(before, after, "model after setParams");
  for (int f = 11; f <= 16; ++f) {
    a->apply(cv::imread(frameName(seq, f)), ma);
    b->apply(cv::imread(frameName(seq, f)), mb);
    cv::medianBlur(mb, mb, 5);
    expectSameMat(ma, mb, "frame " + std::to_string(f) + " with the median set after frame 10");
  }
  const auto refused = [&](void (*edit)(scvardo::Params&)) {
    scvardo::Params r = a->getParams();
    edit(r);
    try {
      a->setParams(r);
    } catch (const scvardo::Error& e) {
      return e.kind() == scvardo::Error::Kind::Parameter && a->getParams().medianWidth == 5;
    }
    return false;
  };
  EXPECT_TRUE(refused([](scvardo::Params& r) { r.n = 5; }));
  EXPECT_TRUE(refused([](scvardo::Params& r) { r.K = 6; }));
  EXPECT_TRUE(refused([](scvardo::Params& r) { r.c2 = 0; r.medianWidth = 3; }));
  for (double rate : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1.5}) {
    EXPECT_THROW(a->apply(cv::imread(frameName(seq, 17)), ma, rate), scvardo::Error) << rate;
    EXPECT_EQ(a->getFrameCount(), 16);
  }
  a->clear();
  EXPECT_TRUE(a->empty() && a->getFrameCount() == 0 && a->getParams().medianWidth == 5);
  // Before the first frame even the block side may change.
  q.n = 5;
  a->setParams(q);
  a->apply(cv::imread(frameName(seq, 1)), ma);
  a->getModelImage(after);
  EXPECT_EQ(after.size(), cv::Size(5 * 64, 5 * 48));
  // The coherence window must fit the frames already seen.
  scvardo::Params small;
  small.Cw = 3;
  auto tiny = scvardo::createBackgroundSubtractor(small);
  tiny->apply(cv::Mat(3, 3, CV_8UC3, cv::Scalar(1, 2, 3)), ma);
  small.Cw = 5;
  EXPECT_THROW(tiny->setParams(small), scvardo::Error);
  EXPECT_EQ(tiny->getParams().Cw, 3);
}
