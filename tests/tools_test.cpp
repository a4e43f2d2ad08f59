// The tools: evaluation counts and metrics on hand-made frames, sc-vardo-eval,
// the overlay pictures, and the sample-sequence generator.
#include "test_support.h"

#include "metrics.h"
#include "overlay.h"

namespace fs = std::filesystem;
using metrics::Counts;

namespace {

cv::Mat grid(std::vector<int> values) {  // 6 wide, 5 high
  cv::Mat m;
  cv::Mat(5, 6, CV_32S, values.data()).convertTo(m, CV_8U);
  return m;
}
// The ROI hides column 5 (which would add TP, FN, FP, TP, TN) and is 1, not
// 255, at (4, 0): any nonzero ROI byte counts. Only 255 is foreground in a mask.
const cv::Mat kGt = grid({255, 255, 255, 0, 0, 255, 50, 50, 0, 0, 170, 255, 85, 85, 170, 255, 0, 0,
                          0, 0, 0, 0, 0, 255, 255, 0, 50, 50, 0, 0});
const cv::Mat kMask = grid({255, 0, 255, 255, 0, 255, 255, 0, 0, 0, 255, 0, 255, 0, 255, 255, 0, 255,
                            0, 128, 0, 0, 0, 255, 254, 0, 255, 0, 0, 0});
const cv::Mat kRoi = grid({255, 255, 255, 255, 255, 0, 255, 255, 255, 255, 255, 0, 255, 255, 255, 255, 255, 0,
                           255, 255, 255, 255, 255, 0, 1, 255, 255, 255, 255, 0});
std::vector<std::uint64_t> asVector(const Counts& k) { return {k.TP, k.FP, k.FN, k.TN}; }

// Ground truth for frames 1..3 (temporal ROI 2..3); masks: hand-made, all
// foreground, none.
struct EvalSequence {
  ScratchDir dir;
  std::string seq = dir / "seq", masks = dir / "masks";
  EvalSequence() {
    fs::create_directories(seq + "/groundtruth");
    fs::create_directories(masks);
    cv::imwrite(seq + "/ROI.bmp", kRoi);
    writeFile(seq + "/temporalROI.txt", "2 3\n");
    for (int f = 1; f <= 3; ++f) cv::imwrite(metrics::gtPath(seq, f), kGt);
    cv::imwrite(metrics::maskPath(masks, 1), kMask);
    cv::imwrite(metrics::maskPath(masks, 2), cv::Mat(5, 6, CV_8UC1, cv::Scalar(255)));
    cv::imwrite(metrics::maskPath(masks, 3), cv::Mat(5, 6, CV_8UC1, cv::Scalar(0)));
  }
};

TEST(Metrics, ClassifyCountAndFormat) {
  using P = metrics::PixelClass;
  const std::tuple<int, int, int, P> cases[] = {
      {255, 255, 255, P::TP}, {0, 255, 255, P::FN}, {254, 255, 255, P::FN}, {255, 0, 255, P::FP}, {0, 0, 255, P::TN},
      {255, 50, 255, P::FP}, {0, 50, 255, P::TN}, {255, 85, 255, P::NotCounted}, {0, 170, 255, P::NotCounted},
      {255, 255, 0, P::NotCounted}, {255, 255, 7, P::TP}};
  for (const auto& [mask, gt, roi, want] : cases) EXPECT_EQ(metrics::classify(mask, gt, roi), want) << mask << " " << gt << " " << roi;
  // Twice the frame, then views into wider images: a stride bug reads the wrong pixels.
  Counts k;
  metrics::accumulate(kMask, kGt, kRoi, k);
  metrics::accumulate(kMask, kGt, kRoi, k);
  EXPECT_EQ(asVector(k), std::vector<std::uint64_t>({6, 6, 4, 26}));
  cv::Mat wideMask(5, 9, CV_8UC1, cv::Scalar(255)), wideGt(5, 9, CV_8UC1, cv::Scalar(0));
  kMask.copyTo(wideMask.colRange(2, 8));
  kGt.copyTo(wideGt.colRange(1, 7));
  k = Counts{};
  metrics::accumulate(wideMask.colRange(2, 8), wideGt.colRange(1, 7), kRoi, k);
  EXPECT_EQ(asVector(k), std::vector<std::uint64_t>({3, 3, 2, 13}));
  const metrics::Metrics m = metrics::compute(k);
  EXPECT_EQ(metrics::formatText(k, m), "TP: 3\nFP: 3\nFN: 2\nTN: 13\nRecall: 0.600000\nSpecificity: 0.812500\n"
                                       "FPR: 0.187500\nFNR: 0.400000\nPWC: 23.809524\nPrecision: 0.500000\nF-measure: 0.545455\n");
  EXPECT_EQ(metrics::formatJson(k, m, 470, 1700),
            "{\"first\": 470, \"last\": 1700, \"TP\": 3, \"FP\": 3, \"FN\": 2, \"TN\": 13, \"Recall\": 0.600000, "
            "\"Specificity\": 0.812500, \"FPR\": 0.187500, \"FNR\": 0.400000, \"PWC\": 23.809524, "
            "\"Precision\": 0.500000, \"F-measure\": 0.545455}\n");
  for (const Counts& z : {Counts{}, Counts{0, 0, 0, 10}}) {  // zero denominators give 0, never NaN
    const metrics::Metrics q = metrics::compute(z);
    EXPECT_EQ(std::vector<double>({q.recall, q.fnr, q.precision, q.fMeasure, q.fpr, q.pwc, q.specificity}),
              std::vector<double>({0, 0, 0, 0, 0, 0, z.TN ? 1.0 : 0.0}));
  }
}

TEST(Metrics, SequenceFiles) {
  EvalSequence s;
  // Frame 2 (all foreground): TP 5, FP 16; frame 3 (none): FN 5, TN 16.
  for (const auto& c : {std::vector<int>{1, 1, 3, 3, 2, 13}, {2, 3, 5, 16, 5, 16}, {1, 3, 8, 19, 7, 29}}) {
    std::string error;
    Counts k;
    ASSERT_TRUE(metrics::evaluateSequence(s.masks, s.seq, c[0], c[1], k, error)) << error;
    EXPECT_EQ(asVector(k), std::vector<std::uint64_t>(c.begin() + 2, c.end()));
  }
  // Missing mask, unreadable and missing ground truth, 6x4 mask, missing
  // mask after a good ground truth, colour mask, missing ROI image.
  fs::remove(metrics::maskPath(s.masks, 3));
  writeFile(metrics::gtPath(s.seq, 2), "not a png");
  cv::imwrite(metrics::maskPath(s.masks, 1), cv::Mat(4, 6, CV_8UC1, cv::Scalar(0)));
  for (int f : {5, 6}) cv::imwrite(metrics::gtPath(s.seq, f), kGt);
  cv::imwrite(metrics::maskPath(s.masks, 6), cv::Mat(5, 6, CV_8UC3, cv::Scalar(0, 255, 0)));
  for (const auto& [f, name] : {std::pair{3, metrics::maskPath(s.masks, 3)}, {2, metrics::gtPath(s.seq, 2)},
                                {4, metrics::gtPath(s.seq, 4)}, {1, metrics::maskPath(s.masks, 1)},
                                {5, metrics::maskPath(s.masks, 5)}, {6, metrics::maskPath(s.masks, 6)},
                                {0, s.seq + "/ROI.bmp"}}) {
    if (f == 0) fs::remove(s.seq + "/ROI.bmp");
    std::string error;
    Counts k;
    EXPECT_FALSE(metrics::evaluateSequence(s.masks, s.seq, std::max(f, 1), std::max(f, 1), k, error));
    EXPECT_TRUE(error.find(name) != std::string::npos && error.find('\n') == std::string::npos) << error;
  }
  const std::tuple<const char*, int, int> troi[] = {  // content ("": no file), first, last (0: refused)
      {"470 1700", 470, 1700}, {"  1 1\n", 1, 1}, {"999999 1000000", 999999, 1000000},
      {"", 0, 0}, {"abc", 0, 0}, {"470", 0, 0}, {"10 5", 0, 0}, {"-1 5", 0, 0}};
  for (const auto& [content, first, last] : troi) {
    fs::remove(s.seq + "/temporalROI.txt");
    if (*content) writeFile(s.seq + "/temporalROI.txt", content);
    int from = 0, to = 0;
    std::string error;
    const bool ok = metrics::readTemporalRoi(s.seq, from, to, error);
    EXPECT_TRUE(first ? ok && std::pair(from, to) == std::pair(first, last)
                      : !ok && error.find(s.seq + "/temporalROI.txt") != std::string::npos) << content << ": " << error;
  }
  std::string error;  // writePng: complete or absent, naming the file
  ASSERT_TRUE(metrics::writePng(s.dir / "a.png", kMask, error)) << error;
  EXPECT_EQ(cv::countNonZero(cv::imread(s.dir / "a.png", cv::IMREAD_UNCHANGED) != kMask), 0);
  EXPECT_TRUE(!metrics::writePng(s.dir / "no/b.png", kMask, error) && error.find(s.dir / "no/b.png") != std::string::npos);
  EXPECT_EQ(listDir(s.dir.path()), std::vector<std::string>({"a.png", "masks", "seq"}));
}

TEST(EvalCommand, ReportsFailuresAndUsage) {
  EvalSequence s;
  RunResult r = run({SCVARDO_EVAL, s.masks, s.seq});
  EXPECT_EQ(std::tuple(r.status, r.out.substr(0, r.out.find("Recall")), r.err),
            std::tuple(0, std::string("TP: 5\nFP: 16\nFN: 5\nTN: 16\n"), std::string()));
  r = run({SCVARDO_EVAL, s.masks, s.seq, "--first", "1", "--last", "1", "--json"});
  EXPECT_EQ(r.out.rfind("{\"first\": 1, \"last\": 1, \"TP\": 3, \"FP\": 3, \"FN\": 2, \"TN\": 13,", 0), 0u) << r.out;
  fs::remove(metrics::maskPath(s.masks, 3));
  r = run({SCVARDO_EVAL, s.masks, s.seq});
  EXPECT_EQ(std::tuple(r.status, r.out, r.err),
            std::tuple(1, std::string(), "sc-vardo-eval: mask " + metrics::maskPath(s.masks, 3) + " not found\n"));
  // One line naming what is wrong, or the short usage without arguments.
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {}, {s.masks, s.seq, "--first"}, {s.masks, s.seq, "--first", "x1"}, {s.masks, s.seq, "--first", "3", "--last", "2"},
           {s.masks, s.seq, "--every", "10"}, {s.masks, s.seq, "--bogus"}}) {
    const bool none = args.empty();
    args.insert(args.begin(), SCVARDO_EVAL);
    r = run(args);
    const std::string tail = none ? "" : " (see sc-vardo-eval --help)\n";
    EXPECT_TRUE(r.status == 2 && r.out.empty() && std::count(r.err.begin(), r.err.end(), '\n') == 1 &&
                r.err.rfind(none ? "usage: sc-vardo-eval MASKDIR SEQDIR" : "sc-vardo-eval: ", 0) == 0 &&
                r.err.size() >= tail.size() && r.err.compare(r.err.size() - tail.size(), tail.size(), tail) == 0)
        << r.status << " " << r.err;
  }
}

TEST(EvalCommand, PerFrameCsvAndNothingCounted) {
  EvalSequence s;
  const std::string csv = s.dir / "frames.csv";
  RunResult r = run({SCVARDO_EVAL, s.masks, s.seq, "--first", "1", "--last", "3", "--per-frame", csv});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(csv), "frame,TP,FP,FN,TN,Recall,Precision,F-measure\n1,3,3,2,13,0.600000,0.500000,0.545455\n"
                           "2,5,16,0,0,1.000000,0.238095,0.384615\n3,0,0,5,16,0.000000,,\n");
  r = run({SCVARDO_EVAL, s.masks, s.seq, "--per-frame", s.dir / "no/such/dir/f.csv"});
  EXPECT_TRUE(r.status == 1 && r.out.empty() && r.err.find("no/such/dir/f.csv") != std::string::npos) << r.err;
  // Ground truth all "unknown": the zero figures, a warning and status 3.
  cv::imwrite(metrics::gtPath(s.seq, 4), cv::Mat(5, 6, CV_8UC1, cv::Scalar(170)));
  cv::imwrite(metrics::maskPath(s.masks, 4), kMask);
  r = run({SCVARDO_EVAL, s.masks, s.seq, "--first", "4", "--last", "4"});
  EXPECT_EQ(std::tuple(r.status, r.out.substr(0, r.out.find("Recall")), r.err),
            std::tuple(3, std::string("TP: 0\nFP: 0\nFN: 0\nTN: 0\n"),
                       std::string("sc-vardo-eval: warning: frames 4..4 count no pixel (ground truth all 85 or 170, or "
                                   "outside ROI.bmp); every ratio is undefined and printed as 0\n")));
}

// Each counted pixel is tinted by its class (green TP, red FP, blue FN),
// every other one left as it is; the mask stands beside the frame.
TEST(Overlay, TintsMaskAndFiles) {
  using P = metrics::PixelClass;
  cv::Mat frame(5, 6, CV_8UC3);
  for (int k = 0; k < 30; ++k) frame.at<cv::Vec3b>(k / 6, k % 6) = cv::Vec3b(100 + k, 110 + k, 120 + k);
  const cv::Mat out = overlay::makeOverlay(frame, kMask, kGt, kRoi);
  ASSERT_EQ(std::vector<int>({out.type(), out.cols, out.rows}), std::vector<int>({CV_8UC3, 12, 5}));
  for (int k = 0; k < 30; ++k) {
    const int r = k / 6, c = k % 6, mask = kMask.at<std::uint8_t>(r, c), v = mask == 255 ? 255 : 0;
    const P cls = metrics::classify(mask, kGt.at<std::uint8_t>(r, c), kRoi.at<std::uint8_t>(r, c));
    const char want = cls == P::TP ? 'G' : cls == P::FP ? 'R' : cls == P::FN ? 'B' : '-';
    const cv::Vec3b o = out.at<cv::Vec3b>(r, c), in = frame.at<cv::Vec3b>(r, c);
    const char up = o[0] > in[0] ? 'B' : o[1] > in[1] ? 'G' : o[2] > in[2] ? 'R' : '-';
    EXPECT_TRUE(up == want && (want != '-' || o == in)) << "pixel " << k << ": " << o << " from " << in;
    EXPECT_EQ(out.at<cv::Vec3b>(r, 6 + c), cv::Vec3b(v, v, v)) << "mask pixel " << k;
  }
  const std::vector<int> all = overlay::everyNth(470, 1700, 100), picked = overlay::pickForSheet(all, 8);
  EXPECT_EQ(std::vector<int>({int(all.size()), all.front(), all.back()}), std::vector<int>({13, 470, 1670}));
  EXPECT_TRUE(picked.size() == 8 && picked.front() == 470 && std::is_sorted(picked.begin(), picked.end()));
  EXPECT_EQ(overlay::pickForSheet({5, 9}, 8), (std::vector<int>{5, 9}));

  EvalSequence s;
  fs::create_directories(s.seq + "/input");
  for (int f : {1, 3}) cv::imwrite(metrics::inputPath(s.seq, f), frame);
  std::string error;
  const std::string pictures = s.dir / "out/pictures";
  ASSERT_TRUE(overlay::writeOverlays(s.masks, s.seq, {1, 3}, pictures, error)) << error;
  EXPECT_EQ(listDir(pictures), std::vector<std::string>({"contact-sheet.png", "overlay000001.png", "overlay000003.png"}));
  EXPECT_EQ(cv::imread(overlay::overlayPath(pictures, 3)).size(), cv::Size(12, 5));
  EXPECT_TRUE(!overlay::writeOverlays(s.masks, s.seq, {2}, pictures, error) && error.find(metrics::inputPath(s.seq, 2)) != std::string::npos);
}

// The default sample: layout, an 8-bit ROI of 0 and 255, ground truth of 0,
// 50 and 255 only, with objects and shadows.
TEST(MakeSample, DefaultSample) {
  const std::string& seq = sampleSequenceDir();
  EXPECT_EQ(listDir(seq), std::vector<std::string>({"ROI.bmp", "groundtruth", "input", "temporalROI.txt"}));
  for (const auto& [dir, first, last] : {std::tuple{"/input", "in000001.jpg", "in000150.jpg"}, {"/groundtruth", "gt000001.png", "gt000150.png"}}) {
    const std::vector<std::string> names = listDir(seq + dir);
    EXPECT_TRUE(names.size() == 150 && names.front() == first && names.back() == last) << dir;
  }
  EXPECT_EQ(readFile(seq + "/temporalROI.txt"), "51 150\n");
  EXPECT_EQ(readFile(seq + "/ROI.bmp").at(28), 8) << "not an 8-bit BMP";
  const cv::Mat roi = cv::imread(seq + "/ROI.bmp", cv::IMREAD_GRAYSCALE);
  const int inside = cv::countNonZero(roi == 255), outside = cv::countNonZero(roi == 0);
  EXPECT_TRUE(roi.size() == cv::Size(160, 120) && inside + outside == 160 * 120 && inside > outside && outside > 0);
  const cv::Mat gt = cv::imread(metrics::gtPath(seq, 100), cv::IMREAD_UNCHANGED);
  EXPECT_TRUE(gt.type() == CV_8UC1 && cv::countNonZero(gt == 255) > 0 && cv::countNonZero(gt == 50) > 0 &&
              cv::countNonZero(gt == 0) + cv::countNonZero(gt == 50) + cv::countNonZero(gt == 255) == 160 * 120);
}

TEST(MakeSample, DeterministicAndRefusesBadUsage) {
  ScratchDir a, b;
  for (const ScratchDir* d : {&a, &b}) {
    const RunResult r = run({SCVARDO_MAKE_SAMPLE, *d / "seq", "--frames", "12", "--size", "48x36"});
    EXPECT_TRUE(r.status == 0 && r.out.find(*d / "seq") != std::string::npos && r.err.empty()) << r.out << r.err;
  }
  EXPECT_EQ(listDir(a / "seq/input").size(), 12u);
  for (const auto& e : fs::recursive_directory_iterator(a / "seq"))
    EXPECT_TRUE(!e.is_regular_file() || readFile(e.path()) == readFile(b / fs::relative(e.path(), a.path()))) << e.path();
  EXPECT_EQ(readFile(a / "seq/temporalROI.txt"), "5 12\n");
  EXPECT_EQ(cv::imread(a / "seq/input/in000007.jpg").size(), cv::Size(48, 36));
  EXPECT_NE(readFile(a / "seq/input/in000001.jpg"), readFile(a / "seq/input/in000002.jpg"));

  ScratchDir dir;
  writeFile(dir / "file", "x");
  RunResult r = run({SCVARDO_MAKE_SAMPLE, dir / "file/seq"});  // below a regular file
  EXPECT_TRUE(r.status == 1 && r.out.empty() && r.err.find(dir / "file/seq") != std::string::npos &&
              std::count(r.err.begin(), r.err.end(), '\n') == 1) << r.status << " " << r.err;
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {}, {dir / "s", "--frames", "0"}, {dir / "s", "--frames"}, {dir / "s", "--size", "10x10"},
           {dir / "s", "--size", "160"}, {dir / "s", "--colour", "red"}, {dir / "s", dir / "t"}}) {
    args.insert(args.begin(), SCVARDO_MAKE_SAMPLE);
    r = run(args);
    EXPECT_TRUE(r.status == 2 && r.err.find("Usage: make-sample") != std::string::npos) << args.size() << " " << r.err;
  }
  EXPECT_EQ(listDir(dir.path()), std::vector<std::string>{"file"}) << "a usage error wrote files";
}

}  // namespace

namespace {

// Each scene of 64x48 pixels, made once: its frames and ground truth.
struct SceneFiles {
  ScratchDir dir{"scenes"};
  std::string make(const std::string& scene, int frames) {
    const std::string out = dir / scene;
    const RunResult r = run({SCVARDO_MAKE_SAMPLE, out, "--scene", scene, "--frames", std::to_string(frames),
                             "--size", "64x48"});
    EXPECT_EQ(r.status, 0) << r.err;
    return out;
  }
  static cv::Mat gt(const std::string& seq, int f) { return cv::imread(metrics::gtPath(seq, f), cv::IMREAD_UNCHANGED); }
  static cv::Mat frame(const std::string& seq, int f) { return cv::imread(metrics::inputPath(seq, f)); }
};

TEST(MakeSample, ScenesTellTheirStoryInFramesAndGroundTruth) {
  SceneFiles s;
  // moved, 60 frames: the parcel (8x7 at 12,28) is carried to 35,28 in frames
  // 24-25; both places are unknown until frame 46 and background after.
  const std::string moved = s.make("moved", 60);
  const cv::Rect from(12, 28, 8, 7), to(35, 28, 8, 7);
  EXPECT_EQ(cv::countNonZero(s.gt(moved, 23)), 0);
  EXPECT_GT(cv::countNonZero(s.gt(moved, 25) == 255), 0) << "carried";
  for (const cv::Rect& r : {from, to}) {
    EXPECT_EQ(cv::countNonZero(s.gt(moved, 30)(r) == 170), r.area());
    EXPECT_EQ(cv::countNonZero(s.gt(moved, 47)(r)), 0);
  }
  EXPECT_EQ(cv::norm(s.frame(moved, 10)(from), s.frame(moved, 50)(to), cv::NORM_L1) <
                cv::norm(s.frame(moved, 10)(from), s.frame(moved, 50)(from), cv::NORM_L1),
            true) << "the parcel now stands at its new place";

  // stopping, 120 frames: the person stands from frame 78 to 107 and is
  // motion throughout, while it breathes and shifts.
  const std::string stopping = s.make("stopping", 120);
  for (int f : {80, 95, 107}) EXPECT_GT(cv::countNonZero(s.gt(stopping, f) == 255), 50) << f;
  EXPECT_GT(cv::norm(s.frame(stopping, 80), s.frame(stopping, 96), cv::NORM_L1), 64 * 48 * 3 * 2.0);

  // swaying: the foliage rows change from frame to frame where the truth is static.
  const std::string swaying = s.make("swaying", 12);
  const cv::Rect foliage(0, 0, 64, 20);
  EXPECT_EQ(cv::countNonZero(s.gt(swaying, 5)(foliage)), 0);
  cv::Mat change;
  cv::absdiff(s.frame(swaying, 5)(foliage), s.frame(swaying, 6)(foliage), change);
  EXPECT_GT(cv::countNonZero(change.reshape(1) > 40), 100);

  // noisy: the traffic scene with far stronger noise, more so to the right.
  const std::string noisy = s.make("noisy", 12), traffic = s.make("traffic", 12);
  cv::Mat diff;
  cv::absdiff(s.frame(noisy, 3), s.frame(traffic, 3), diff);
  EXPECT_EQ(cv::norm(s.gt(noisy, 3), s.gt(traffic, 3), cv::NORM_INF), 0);
  EXPECT_GT(cv::mean(diff(cv::Rect(48, 0, 16, 48)))[0], 2 * cv::mean(diff(cv::Rect(0, 0, 16, 48)))[0]);

  const RunResult bad = run({SCVARDO_MAKE_SAMPLE, s.dir / "x", "--scene", "rain"});
  EXPECT_TRUE(bad.status == 2 && bad.err.find("--scene needs one of traffic, swaying") != std::string::npos) << bad.err;
}

}  // namespace
