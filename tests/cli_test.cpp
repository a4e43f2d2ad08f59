// The switch reader, then the real executable on small generated sequences:
// usage, report, outputs, phase headers, messages, streams, exit statuses.
#include "test_support.h"

#include <climits>

#include <opencv2/imgproc.hpp>

#include "cli/setup.h"
#include "cli/switches.h"
#include "scvardo/scvardo.hpp"

namespace fs = std::filesystem;

namespace {

// An argument list the switch reader may shrink in place.
struct Args {
  std::vector<std::string> words;
  std::vector<char*> ptrs;
  int argc;
  explicit Args(std::vector<std::string> w) : words(std::move(w)), argc(static_cast<int>(words.size())) {
    for (auto& s : words) ptrs.push_back(s.data());
  }
  std::vector<std::string> remaining() const { return {ptrs.begin(), ptrs.begin() + argc}; }
};

TEST(Switches, ValuesDefaultsAndRemoval) {
  const std::pair<const char*, int> ints[] = {{"0x10", 16}, {"0X1f", 31}, {"010", 8}, {" 5", 5}, {"-7", -7},
                                              {"", 0}, {"+12", 12}, {"99999999999", INT_MAX}, {"-99999999999", INT_MIN}};
  for (auto [word, value] : ints) {
    Args a({"prog", "seq", "-n", word});
    EXPECT_EQ(Lread_iswitch(a.argc, a.ptrs.data(), "-n", 3), value) << word;
  }
  for (auto [word, value] : {std::pair{".5", 0.5}, {"1e-2", 0.01}, {"", 0.0}, {" -2.5", -2.5}}) {
    Args a({"prog", "-e1", word});
    EXPECT_EQ(Lread_dswitch(a.argc, a.ptrs.data(), "-e1", 0.1), value) << word;
  }
  // Absent: the program alone, or no exact, case-sensitive match.
  Args alone({"prog"}), none({"prog", "seq", "-n5", "-N", "7"});
  EXPECT_EQ(std::tuple(Lread_iswitch(alone.argc, alone.ptrs.data(), "-n", 3), Lread_dswitch(alone.argc, alone.ptrs.data(), "-e1", 0.1),
                       Lread_iswitch(none.argc, none.ptrs.data(), "-n", 3)),
            std::tuple(3, 0.1, 3));
  // Position 1 is searched too, the first occurrence counts, and a word
  // consumed as a value is no longer a switch for later lookups.
  Args a({"prog", "-n", "5", "1", "-e1", "-K", "-K", "7", "-n", "9"});
  EXPECT_EQ(Lread_iswitch(a.argc, a.ptrs.data(), "-n", 3), 5);
  EXPECT_STREQ(Lread_switch(a.argc, a.ptrs.data(), "-e1", 1, nullptr), "-K");
  EXPECT_EQ(Lread_iswitch(a.argc, a.ptrs.data(), "-K", 0), 7);
  EXPECT_EQ(a.remaining(), (std::vector<std::string>{"prog", "1", "-n", "9"}));
}

TEST(Cli, NoArgumentPrintsUsageAndReturnsAtEndOfInput) {
  ScratchDir work;
  const RunResult r = runTool({}, work.path());
  const std::string head =
      "SC-VARDO: implementation of the\n\n'Spatially Coherent VARDO background model'\n\nas described in\n"
      "  The SC-VARDO developers\n  'SC-VARDO: a neural background model with spatial coherence'\n"
      "  SC-VARDO project documentation (README.md)\n\nUsage:\n  SC-VARDO <SeqName> [<#FirstFrame> <#LastFrame>] [Parameters]\n\n";
  const std::string tail = "  -l #:   To save only last detection mask. Default: save all in the temporal ROI\nHit any key to continue...\n";
  EXPECT_TRUE(r.status == 0 && r.err.empty() && listDir(work.path()).empty()) << r.status << r.err;
  EXPECT_EQ(r.out.substr(0, head.size()) + r.out.substr(r.out.size() - std::min(r.out.size(), tail.size())), head + tail);
  EXPECT_NE(r.out.find("  -e1 #:  Distance threshold for training phase (Eq. (12)). Default 0.1\n"), std::string::npos);
  EXPECT_NE(r.out.find("  -K #:\t  Number of initial frames for training."), std::string::npos);
}

// -Med filters the saved masks: each equals the median of the unfiltered one.
TEST(Cli, MedianFiltersTheSavedMasks) {
  ScratchDir dir, plain, median;
  const std::string seq = makeTinySequence(dir.path());
  ASSERT_EQ(runTool({seq, "1", "6"}, plain.path()).status + runTool({seq, "1", "6", "-Med", "3"}, median.path()).status, 0);
  int changed = 0;
  for (const std::string& name : outputNames({3, 4, 5, 6}, {})) {
    cv::Mat want, got = cv::imread(median / name, cv::IMREAD_UNCHANGED), unfiltered = cv::imread(plain / name, cv::IMREAD_UNCHANGED);
    cv::medianBlur(unfiltered, want, 3);
    EXPECT_TRUE(!got.empty() && cv::countNonZero(got != want) == 0) << name;
    changed += cv::countNonZero(want != unfiltered) > 0;
  }
  EXPECT_GT(changed, 0) << "the median changed no mask";
}

struct RunCase {
  const char* name;
  std::vector<std::string> args;  // "@" stands for the sequence name, "%" for its folder
  int status;
  std::vector<std::string> files;  // the working directory afterwards
  std::vector<std::string> out;    // pieces of stdout in order; with status 1 the last one ends it
  std::string err;                 // stderr starts with this and has as many lines
  TinySequence tiny = {8, 6, 1, 6, ""};
  std::function<void(const std::string& seqDir, const std::string& workDir)> prepare = nullptr;
};

const std::string kNoTime = "  VARDO-CF (no I/O): 0.0000\tmsecs\t(0.0000 msecs/frame\t0.00 fps)\n";
const std::string kWarnK0 =
    "Warning: K=0, no calibration will happen (no -K and no temporalROI.txt); set the number of calibration frames "
    "with -K N, e.g. -K 50\n";

const RunCase kRuns[] = {
    {"default report", {"@"}, 0, outputNames({3, 4, 5, 6}, {2, 6}),
     {"VARDO-CF on sequence @\n\n\nNo. of images =         6 (from 1 to 6)\nImage size =            8 x 6\n"
      "Frames for calibration: K=2\nTemporal ROI:           [3,6]\n"
      "Neighborhood size:      n=3 (9 weight vectors per pixel)\n"
      "Distance thresholds:    e1=0.1000 (calibration), e2=0.0080 (online)\n"
      "Learning rates:         c1=1.0000 (calibration), c2=0.0500 (online)\n"
      "Shadow removal  (0/1):  1 (gamma = 0.7000, beta = 1.0000, Th_S = 0.1000, Th_H = 10.0000)\n"
      "Spatial Coherence:      Cw = 5\nROI (0/1):              1\nMedian postproc. (0/1): 0\n"
      "Save all models (0/1):  0\nSave all masks  (0/1):  1\n\nTimes for calibration phase on 2 frames (from 1 to 2) ...\n",
      "  VARDO-CF (no I/O): ", "Times for online phase on 4 frames (from 3 to 6) ...\n  VARDO-CF (no I/O): "}, "", {8, 6, 1, 6, "3 6"}},
    // Calibration is counted from the run's first frame: 5 - 3 = 2 frames. The
    // snapshots: after initialisation and each online frame; the last mask only.
    {"report of switches", {"@", "3", "8", "-s", "0", "-Med", "3", "-n", "5", "-e1", ".25", "-c2", "1e-2", "-Cw", "3", "-m", "5", "-l", "2"},
     0, outputNames({8}, {3, 5, 6, 7, 8}),
     {"VARDO-CF on sequence @\n\n\nNo. of images =         6 (from 3 to 8)\nImage size =            8 x 6\n"
      "Frames for calibration: K=2\nTemporal ROI:           [5,8]\n"
      "Neighborhood size:      n=5 (25 weight vectors per pixel)\n"
      "Distance thresholds:    e1=0.2500 (calibration), e2=0.0080 (online)\n"
      "Learning rates:         c1=1.0000 (calibration), c2=0.0100 (online)\nShadow removal  (0/1):  0\n"
      "Spatial Coherence:      Cw = 3\nROI (0/1):              1\nMedian postproc. (0/1): 1 (width = 3)\n"
      "Save all models (0/1):  5\nSave all masks  (0/1):  -1\n\nTimes for calibration"}, "", {8, 6, 3, 8, "5 8"}},
    {"K 0: the first frame is classified too", {"@", "1", "6"}, 0, outputNames({1, 2, 3, 4, 5, 6}, {1, 6}),
     {"\nTimes for calibration phase on 0 frames (from 1 to 0) ...\n" + kNoTime,
      "\nTimes for online phase on 6 frames (from 1 to 6) ...\n  VARDO-CF (no I/O): "}, kWarnK0},
    {"K 1", {"@", "1", "6", "-K", "1"}, 0, outputNames({2, 3, 4, 5, 6}, {1, 6}),
     {"Times for calibration phase on 1 frames (from 1 to 1) ...", "Times for online phase on 5 frames (from 2 to 6) ..."}, ""},
    {"temporal ROI selects masks; the last frame always has one", {"@", "1", "6"}, 0, outputNames({3, 4, 6}, {2, 6}),
     {"Frames for calibration: K=2\nTemporal ROI:           [3,4]\n"}, "", {8, 6, 1, 6, "3 4"}},
    {"a plan that writes no mask is refused", {"@", "1", "2", "-K", "4"}, 1, {},
     {"Calibration on 4 frames from frame 1 reaches past the last frame 2: no mask would be written\n"}, ""},
    {"name ending in a separator, three words", {"%/input/", "5"}, 0, outputNames({1}, {1}),
     {"VARDO-CF on sequence %/input/L0\n", "No. of images =         1 (from 1 to 1)\n",
      "Frames for calibration: K=0\nTemporal ROI:           [1,1]\n"}, kWarnK0, {8, 6, 1, 1, ""},
     [](const std::string& d, const std::string&) { fs::rename(d + "/input/in000001.jpg", d + "/input/L0000001.jpg"); }},
    {"missing first frame", {"%/nothere/in"}, 1, {}, {"Unable to read expected file %/nothere/in000001.jpg\n"}, ""},
    {"missing ROI image", {"@", "1", "6", "-K", "2"}, 1, {}, {"Unable to read expected file %/input/../ROI.bmp\n"}, "",
     {8, 6, 1, 6, "", 0}},
    {"no ROI wanted, none needed", {"@", "1", "6", "-K", "2", "-ROI", "0"}, 0, outputNames({3, 4, 5, 6}, {2, 6}), {}, "",
     {8, 6, 1, 6, "", 0}},
    {"ROI of another size", {"@"}, 1, {}, {"ROI image %/input/../ROI.bmp is 9x6 but the frames are 8x6\n"}, "",
     {8, 6, 1, 6, "3 6", 9}},
    {"malformed temporal ROI", {"@"}, 1, {}, {"Malformed temporal ROI file %/input/../temporalROI.txt\n"}, "",
     {8, 6, 1, 6, "470 abc"}},
    {"frames too small for 5x5", {"@"}, 1, {}, {"Frame @000001.jpg is 3x5; the spatial coherence filter needs at least 4x4\n"},
     "", {3, 5, 1, 6, "3 6"}},
    {"frames large enough for 3x3", {"@", "1", "6", "-Cw", "3"}, 0, outputNames({3, 4, 5, 6}, {2, 6}), {}, "", {3, 5, 1, 6, "3 6"}},
    {"missing frame: earlier masks stay, no timing line", {"@", "1", "6", "-K", "2"}, 1, outputNames({3, 4}, {2}),
     {"\n  VARDO-CF (no I/O): ", "Times for online phase", "Unable to read expected file @000005.jpg\n"}, "", {},
     [](const std::string& d, const std::string&) { fs::remove(d + "/input/in000005.jpg"); }},
    {"frame of another size", {"@", "1", "6", "-K", "2"}, 1, outputNames({3, 4}, {2}),
     {"Frame @000005.jpg is 9x6 but the sequence's frames are 8x6\n"}, "", {},
     [](const std::string& d, const std::string&) { cv::imwrite(d + "/input/in000005.jpg", cv::Mat(6, 9, CV_8UC3)); }},
    {"unwritable outputs: reported, the run goes on, status 3", {"@", "1", "6", "-K", "2"}, 3,
     outputNames({3, 4, 5, 6}, {2, 6}), {"Errore apertura file Model000006.ppm\n  VARDO-CF (no I/O): "},
     "Cannot write mask file bin000004.png: ", {},
     [](const std::string&, const std::string& w) {
       for (const char* name : {"/bin000004.png", "/Model000006.ppm"}) fs::create_directory(w + name);
     }},
};

// What a run wrote, without the folder's lock and run record.
std::vector<std::string> outputsIn(const std::string& dir) {
  std::vector<std::string> names = listDir(dir);
  names.erase(std::remove_if(names.begin(), names.end(),
                             [](const std::string& n) { return n == ".sc-vardo.lock" || n == "sc-vardo-run.txt"; }),
              names.end());
  return names;
}

std::string fill(std::string s, const std::string& dir) {
  for (std::size_t at; (at = s.find_first_of("@%")) != std::string::npos;)
    s.replace(at, 1, s[at] == '@' ? dir + "/input/in" : dir);
  return s;
}

// Every sequence lies in a folder whose name is longer than any fixed buffer.
TEST(Cli, Runs) {
  for (const RunCase& t : kRuns) {
    SCOPED_TRACE(t.name);
    ScratchDir scratch, work;
    const std::string dir = scratch / std::string(210, 'd');
    makeTinySequence(dir, t.tiny);
    if (t.prepare) t.prepare(dir, work.path());
    std::vector<std::string> args;
    for (const std::string& a : t.args) args.push_back(fill(a, dir));
    const RunResult r = runTool(args, work.path());
    EXPECT_EQ(r.status, t.status) << r.out << r.err;
    EXPECT_EQ(outputsIn(work.path()), t.files);
    std::size_t at = 0;  // each piece after the one before
    for (const std::string& piece : t.out)
      if (at != std::string::npos && (at = r.out.find(fill(piece, dir), at)) != std::string::npos) at += fill(piece, dir).size();
    EXPECT_NE(at, std::string::npos) << "pieces missing from:\n" << r.out;
    EXPECT_TRUE(t.status != 1 || t.out.empty() || at == r.out.size()) << "output after the error:\n" << r.out;
    EXPECT_TRUE(t.status != 2 || r.out.empty()) << r.out;
    // With status 1 the image library may add a warning of its own.
    const long lines = std::count(t.err.begin(), t.err.end(), '\n') + (t.err.empty() || t.err.back() == '\n' ? 0 : 1);
    EXPECT_TRUE(r.err.rfind(t.err, 0) == 0 && (t.status == 1 || std::count(r.err.begin(), r.err.end(), '\n') == lines)) << r.err;
  }
}

// Every front end's command lines: help, version, and each refusal as one
// line with status 2 before anything is read or written; the switch sets of
// the benchmark literature stay valid (they reach the missing first frame
// or input). "@" is a sequence or input that does not exist.
struct CommandLine {
  const char* tool;
  std::vector<std::string> args;
  int status;
  std::string out;  // stdout starts with this
  std::string err;  // stderr is exactly this
};

const std::string kNoFrame = "Unable to read expected file @000001.jpg\n";
const std::string kSeeHelp = " (see sc-vardo --help)\n";

const CommandLine kCommandLines[] = {
    {SCVARDO_EXE, {"--help"}, 0, "Usage: sc-vardo <SeqName> [<#FirstFrame> <#LastFrame>] [switches]\n", ""},
    {SCVARDO_EXE, {"@", "1", "10", "-h"}, 0, "Usage: sc-vardo ", ""},
    {SCVARDO_EXE, {"--version"}, 0, std::string("sc-vardo ") + scvardo::version() + " (instruction set " + scvardo::instructionSet() + ")\n", ""},
    {SCVARDO_EXE, {"@", "1", "10", "--e2", "0.01"}, 2, "", "unknown switch --e2" + kSeeHelp},
    {SCVARDO_EXE, {"@", "1", "10", "-e2", "0.01", "-x", "3"}, 2, "", "unknown switch -x" + kSeeHelp},
    {SCVARDO_EXE, {"@", "-x"}, 2, "", "unknown switch -x" + kSeeHelp},
    {SCVARDO_EXE, {"@", "1", "10", "-e2", "0.01", "0.02"}, 2, "", "unexpected argument \"0.02\"" + kSeeHelp},
    {SCVARDO_EXE, {"@", "-Cw", "3"}, 2, "",
     "First frame number \"-Cw\" is not a whole number: the frame numbers come right after <SeqName> when "
     "switches follow" + kSeeHelp},
    {SCVARDO_EXE, {"@", "1", "10x", "-K", "2"}, 2, "",
     "Last frame number \"10x\" is not a whole number: the frame numbers come right after <SeqName> when "
     "switches follow" + kSeeHelp},
    {SCVARDO_EXE, {"@", "1", "10", "-e2", "-1"}, 2, "", "Invalid value -1.0 for \"-e2\": it must be greater than 0\n"},
    {SCVARDO_EXE, {"@", "1", "10", "-e1", ""}, 2, "", "Invalid value 0.0 for \"-e1\": it must be greater than 0\n"},
    {SCVARDO_EXE, {"@", "1", "10", "-c2", "-1"}, 2, "", "Invalid value -1.0 for \"-c2\": it must be in (0, 1]\n"},
    {SCVARDO_EXE, {"@", "1", "10", "-tH", "-3"}, 2, "", "Invalid value -3.0 for \"-tH\": it must be in [0, 180]\n"},
    {SCVARDO_EXE, {"@", "1", "10", "-g", "5", "-b", "0.1"}, 2, "",
     "Invalid value 5.0 for \"-g\": it must be greater than 0 and at most beta (-b)\n"},
    {SCVARDO_EXE, {"@", "1", "10", "-K", "-1"}, 2, "", "Invalid value -1 for \"-K\": it must be 0 or more\n"},
    {SCVARDO_EXE, {"@", "1", "10", "-n", "4"}, 2, "", "Invalid value 4 for \"-n\": it must be 3, 5, 7 or 9\n"},
    {SCVARDO_EXE, {"@", "1", "10", "-Med", "2"}, 2, "", "Invalid value 2 for \"-Med\": it must be 0 (off) or odd, at most 255\n"},
    {SCVARDO_EXE, {"@", "1", "10", "-Med", "257"}, 2, "", "Invalid value 257 for \"-Med\": it must be 0 (off) or odd, at most 255\n"},
    {SCVARDO_EXE, {"@", "1", "10", "--threads", "257"}, 2, "",
     "Invalid value \"257\" for \"--threads\": it must be 0 (one per CPU this process may use) to 256\n"},
    {SCVARDO_EXE, {"@", "1", "10", "-n", "08"}, 2, "", "Lread_iswitch: Manca arg. per \"-n\"\n"},
    {SCVARDO_EXE, {"@", "1", "10", "-n", "5x"}, 2, "", "Lread_iswitch: Manca arg. per \"-n\"\n"},
    {SCVARDO_EXE, {"@", "1", "10", "-n", "5 "}, 2, "", "Lread_iswitch: Manca arg. per \"-n\"\n"},
    {SCVARDO_EXE, {"@", "1", "10", "-n", "-K", "4"}, 2, "", "Lread_iswitch: Manca arg. per \"-n\"\n"},
    {SCVARDO_EXE, {"@", "1", "10", "-e1", "0.1x"}, 2, "", "Lread_dswitch: Manca arg. per \"-e1\"\n"},
    {SCVARDO_EXE, {"@", "1", "10", "-e2"}, 2, "", "Lread_switch: Manca arg. dopo \"-e2\"\n"},
    {SCVARDO_EXE, {"@", "1", "10", "-e2", "0.05", "-Med", "5"}, 1, kNoFrame, ""},
    {SCVARDO_EXE, {"@", "1", "10", "-n", "5", "-Cw", "3", "-s", "0", "-K", "5"}, 1, kNoFrame, ""},
    {SCVARDO_EXE, {"@", "1", "10", "-e1", "0.05", "-c1", "0.5", "-c2", "0.01", "-g", "0.4", "-b", "0.95", "-tS", "0.3",
                   "-tH", "180", "-K", "0x3"}, 1, kNoFrame, ""},
    {SCVARDO_EXE, {"@", "1", "10", "-Cw", "0", "-s", "7", "-m", "5", "-l", "2", "-ROI", "0", "--threads=2", "-Med", "1"},
     1, kNoFrame, ""},
    {SCVARDO_EXE, {"--adaptive", "@", "1", "10", "--absorb-span", "x"}, 2, "",
     "Invalid value \"x\" for \"--absorb-span\": it must be 1 to 1000000\n"},
    {SCVARDO_EXE, {"@", "1", "10", "--threshold-low"}, 2, "", "Missing value after \"--threshold-low\"\n"},
    {SCVARDO_EXE, {"@", "1", "10", "--adaptive", "--threshold-low", "0.1", "--threshold-high=0.01"}, 2, "",
     "Invalid value \"0.1\" for \"--threshold-low\": it must be greater than 0 and at most thresholdHigh (--threshold-high)\n"},
    {SCVARDO_EXE, {"@", "1", "10", "--adaptive=1"}, 2, "", "unknown switch --adaptive=1" + kSeeHelp},
    // The later bound may come first; the flag and the long options anywhere.
    {SCVARDO_EXE, {"--adaptive", "@", "1", "10", "--threshold-high", "0.003", "-e2", "0.01", "--threshold-low=0.001",
                   "--absorb-span", "30", "--distance-gain", "0", "--flicker-train", "1"}, 1, kNoFrame, ""},
    {SCVARDO_VIDEO, {"--help"}, 0, "Usage: sc-vardo-video INPUT [options]\n", ""},
    {SCVARDO_VIDEO, {"--version"}, 0, std::string("sc-vardo-video ") + scvardo::version() + " (instruction set " + scvardo::instructionSet() + ")\n", ""},
    {SCVARDO_VIDEO, {"@", "-x", "1"}, 2, "", "sc-vardo-video: unknown switch -x (see sc-vardo-video --help)\n"},
    {SCVARDO_VIDEO, {"@", "-e2", "-1"}, 2, "", "sc-vardo-video: invalid value -1.0 for -e2: it must be greater than 0\n"},
    {SCVARDO_VIDEO, {"@", "-e2", "nan"}, 2, "", "sc-vardo-video: invalid value \"nan\" for -e2: a number is needed\n"},
    {SCVARDO_VIDEO, {"@", "-K", "-1"}, 2, "", "sc-vardo-video: invalid value -1 for -K: it must be 0 or more\n"},
    {SCVARDO_VIDEO, {"@", "--threads", "300"}, 2, "",
     "sc-vardo-video: invalid value 300 for --threads: it must be 0 (one per CPU this process may use) to 256\n"},
    {SCVARDO_VIDEO, {"@", "-tH", "200", "--out", "o"}, 2, "", "sc-vardo-video: invalid value 200.0 for -tH: it must be in [0, 180]\n"},
    {SCVARDO_VIDEO, {"@", "--adaptive", "--flicker-train", "2"}, 2, "",
     "sc-vardo-video: invalid value 2.0 for --flicker-train: it must be in [0, 1]\n"},
    {SCVARDO_VIDEO, {"@", "--adaptive", "--load-model", "m.yml"}, 2, "",
     "sc-vardo-video: model switches cannot be combined with --load-model: the model file holds them\n"},
    // Stops at the missing ROI image, before any video back end is tried.
    {SCVARDO_VIDEO, {"@", "-e2", "0.05", "-Med", "5", "-n", "5", "-Cw", "3", "-s", "0", "-K", "100", "--adaptive",
                     "--absorb-span", "90", "--roi", "@"}, 1,
     "", "sc-vardo-video: cannot read ROI image @\n"},
    {SCVARDO_EVAL, {"--help"}, 0, "Usage: sc-vardo-eval MASKDIR SEQDIR [options]\n", ""},
    {SCVARDO_EVAL, {"--version"}, 0, std::string("sc-vardo-eval ") + scvardo::version() + "\n", ""},
    {SCVARDO_EVAL, {"@", "@", "-x"}, 2, "", "sc-vardo-eval: unknown switch -x (see sc-vardo-eval --help)\n"},
};

TEST(CommandLines, StatusesAndMessages) {
  for (const CommandLine& c : kCommandLines) {
    ScratchDir work;
    const std::string none = work / "none";
    std::vector<std::string> argv{c.tool};
    std::string shown = c.tool;
    for (const std::string& a : c.args) {
      argv.push_back(fill(a, none));
      shown += " " + a;
    }
    SCOPED_TRACE(shown);
    const RunResult r = run(argv, work.path());
    const std::string out = fill(c.out, none);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out.substr(0, out.size()), out);
    EXPECT_EQ(r.err, fill(c.err, none));
    if (c.status == 2) {
      EXPECT_TRUE(r.out.empty() && listDir(work.path()).empty()) << r.out;
    }
  }
}

// --help names every switch of the parameter table, and the README's table
// of sc-vardo's switches is the one the tool prints.
TEST(CommandLines, HelpAndReadmeFollowTheTable) {
  const std::string help = run({SCVARDO_EXE, "--help"}).out, video = run({SCVARDO_VIDEO, "--help"}).out;
  for (const scvardo::ParamSpec& row : scvardo::paramTable()) {
    const std::string line = std::string("\n  ") + row.cliSwitch + " ";
    EXPECT_NE(help.find(line), std::string::npos) << row.name;
    EXPECT_NE(video.find(line), std::string::npos) << row.name;
  }
  const std::string readme = readFile(std::string(SCVARDO_SOURCE_DIR) + "/README.md");
  const std::string begin = "<!-- sc-vardo switches: the table sc-vardo prints (tests/cli_test.cpp) -->\n", end = "<!-- end -->";
  const std::size_t from = readme.find(begin), to = readme.find(end, from);
  ASSERT_TRUE(from != std::string::npos && to != std::string::npos) << "README.md lacks the markers of the switch table";
  const std::string table = switchTableMarkdown();
  if (readme.substr(from + begin.size(), to - from - begin.size()) != table) {
    writeFile("README-switches.md", table);
    ADD_FAILURE() << "README.md's switch table is out of date; the current one is in "
                  << fs::absolute("README-switches.md");
  }
}

}  // namespace
