// The real executable: usage, messages, exit statuses and the settings report.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

using testsupport::makeTinySequence;
using testsupport::RunResult;
using testsupport::runTool;
using testsupport::ScratchDir;
using testsupport::TinySequence;

namespace {

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

// The first `count` lines of the report for a run on `seq`.
std::vector<std::string> reportLines(const RunResult& r, std::size_t count) {
  std::vector<std::string> all = lines(r.out);
  if (all.size() > count) all.resize(count);
  return all;
}

}  // namespace

TEST(Cli, NoArgumentPrintsUsageAndReturnsAtEndOfInput) {
  ScratchDir dir("cli");
  RunResult r = runTool({}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  const std::string head =
      "SC-VARDO: implementation of the\n\n"
      "'Spatially Coherent VARDO background model'\n\n"
      "as described in\n"
      "  The SC-VARDO developers\n"
      "  'SC-VARDO: a neural background model with spatial coherence'\n"
      "  SC-VARDO project documentation (README.md)\n\n"
      "Usage:\n"
      "  SC-VARDO <SeqName> [<#FirstFrame> <#LastFrame>] [Parameters]\n\n";
  EXPECT_EQ(r.out.substr(0, head.size()), head);
  EXPECT_NE(r.out.find("  -e1 #:  Distance threshold for training phase (Eq. (12)). Default 0.1\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("  -K #:\t  Number of initial frames for training."), std::string::npos);
  const std::string tail =
      "  -l #:   To save only last detection mask. Default: save all in the temporal ROI\n"
      "Hit any key to continue...\n";
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  EXPECT_TRUE(testsupport::listDir(dir.path()).empty()) << "usage must write no file";
}

TEST(Cli, InputErrorsNameTheFileAndExitWith1) {
  ScratchDir dir("cli");
  ScratchDir work("cli-work");
  // Missing first frame.
  RunResult r = runTool({dir / "nothere/in"}, work.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Unable to read expected file " + (dir / "nothere/in000001.jpg") + "\n");

  // Missing ROI image; K is given so the temporal-ROI file is not needed.
  TinySequence tiny;
  tiny.withRoi = false;
  std::string seq = makeTinySequence(dir / "noroi", tiny);
  r = runTool({seq, "1", "6", "-K", "2"}, work.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Unable to read expected file " + (dir / "noroi/input/") + "../ROI.bmp\n"),
            std::string::npos)
      << r.out;
  // Without the ROI the same run goes through.
  r = runTool({seq, "1", "6", "-K", "2", "-ROI", "0"}, work.path());
  EXPECT_EQ(r.status, 0) << r.out << r.err;

  // A temporal-ROI file that does not hold two integers.
  tiny = TinySequence();
  tiny.temporalRoi = "470 abc";
  seq = makeTinySequence(dir / "badtroi", tiny);
  r = runTool({seq}, work.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Malformed temporal ROI file " + (dir / "badtroi/input/") + "../temporalROI.txt\n");

  // An ROI image of another size than the frames.
  tiny = TinySequence();
  tiny.roiW = 9;
  seq = makeTinySequence(dir / "roisize", tiny);
  r = runTool({seq}, work.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "ROI image " + (dir / "roisize/input/") + "../ROI.bmp is 9x6 but the frames are 8x6\n");

  // Frames too small for the coherence filter's windows.
  tiny = TinySequence();
  tiny.W = 3;
  tiny.H = 5;
  seq = makeTinySequence(dir / "small", tiny);
  r = runTool({seq}, work.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Frame " + seq + "000001.jpg is 3x5; the spatial coherence filter needs at least 4x4\n");
  r = runTool({seq, "1", "6", "-Cw", "3"}, work.path());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(testsupport::fileExists(work / "bin000006.png"));
}

TEST(Cli, SwitchErrorsExitWith2BeforeAnyOutput) {
  ScratchDir dir("cli");
  ScratchDir work("cli-work");
  const std::string seq = makeTinySequence(dir / "seq", TinySequence());
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{seq, "1", "6", "-n", "x"}, "Lread_iswitch: Manca arg. per \"-n\"\n"},
      {{seq, "1", "6", "-e2"}, "Lread_switch: Manca arg. dopo \"-e2\"\n"},
      {{seq, "1", "6", "-n", "4"}, "Invalid value 4 for \"-n\": the block side must be 3, 5, 7 or 9\n"},
      {{seq, "1", "6", "-n", "1"}, "Invalid value 1 for \"-n\": the block side must be 3, 5, 7 or 9\n"},
      {{seq, "1", "6", "-Med", "2"}, "Invalid value 2 for \"-Med\": the median width must be 0 (off) or odd\n"},
      {{seq, "1", "6", "-Med", "-3"}, "Invalid value -3 for \"-Med\": the median width must be 0 (off) or odd\n"},
      {{seq, "1", "6", "-Med", "99999"}, "Invalid value 99999 for \"-Med\": too large a median width for 8x6 frames\n"},
  };
  for (const Case& c : cases) {
    RunResult r = runTool(c.args, work.path());
    EXPECT_EQ(r.status, 2) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "") << c.err;
  }
  EXPECT_TRUE(testsupport::listDir(work.path()).empty());
}

TEST(Cli, SettingsReportWithDefaults) {
  ScratchDir dir("cli");
  ScratchDir work("cli-work");
  const std::string seq = makeTinySequence(dir / "seq", TinySequence());
  RunResult r = runTool({seq}, work.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<std::string> expected = {
      "VARDO-CF on sequence " + seq,
      "",
      "",
      "No. of images =         6 (from 1 to 6)",
      "Image size =            8 x 6",
      "Frames for calibration: K=2",
      "Temporal ROI:           [3,6]",
      "Neighborhood size:      n=3 (9 weight vectors per pixel)",
      "Distance thresholds:    e1=0.1000 (calibration), e2=0.0080 (online)",
      "Learning rates:         c1=1.0000 (calibration), c2=0.0500 (online)",
      "Shadow removal  (0/1):  1 (gamma = 0.7000, beta = 1.0000, Th_S = 0.1000, Th_H = 10.0000)",
      "Spatial Coherence:      Cw = 5",
      "ROI (0/1):              1",
      "Median postproc. (0/1): 0",
      "Save all models (0/1):  0",
      "Save all masks  (0/1):  1",
  };
  EXPECT_EQ(reportLines(r, expected.size()), expected);
}

TEST(Cli, SettingsReportWithShadowRemovalOffAndMedianOn) {
  ScratchDir dir("cli");
  ScratchDir work("cli-work");
  TinySequence tiny;
  tiny.first = 3;
  tiny.last = 8;
  tiny.temporalRoi = "5 8";
  const std::string seq = makeTinySequence(dir / "seq", tiny);
  // Calibration is counted from the run's first frame: 5 - 3 = 2 frames.
  RunResult r = runTool({seq, "3", "8", "-s", "0", "-Med", "3", "-n", "5", "-e1", ".25", "-c2",
                         "1e-2", "-Cw", "3", "-m", "5", "-l", "2"},
                        work.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<std::string> expected = {
      "VARDO-CF on sequence " + seq,
      "",
      "",
      "No. of images =         6 (from 3 to 8)",
      "Image size =            8 x 6",
      "Frames for calibration: K=2",
      "Temporal ROI:           [5,8]",
      "Neighborhood size:      n=5 (25 weight vectors per pixel)",
      "Distance thresholds:    e1=0.2500 (calibration), e2=0.0080 (online)",
      "Learning rates:         c1=1.0000 (calibration), c2=0.0100 (online)",
      "Shadow removal  (0/1):  0",
      "Spatial Coherence:      Cw = 3",
      "ROI (0/1):              1",
      "Median postproc. (0/1): 1 (width = 3)",
      "Save all models (0/1):  5",
      "Save all masks  (0/1):  -1",
  };
  EXPECT_EQ(reportLines(r, expected.size()), expected);
}

TEST(Cli, SequenceNamesAndFrameNumbers) {
  ScratchDir dir("cli");
  ScratchDir work("cli-work");
  // A name ending in a separator uses the base name "L0".
  TinySequence tiny;
  tiny.temporalRoi = "";
  makeTinySequence(dir / "l0", tiny);
  std::rename((dir / "l0/input/in000001.jpg").c_str(), (dir / "l0/input/L0000001.jpg").c_str());
  // Three words: the lone number is ignored and both frame numbers stay 1;
  // no temporal ROI file, so K is 0.
  RunResult r = runTool({dir / "l0/input/", "5"}, work.path());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(reportLines(r, 1), std::vector<std::string>{"VARDO-CF on sequence " + (dir / "l0/input/") + "L0"});
  EXPECT_NE(r.out.find("No. of images =         1 (from 1 to 1)\n"), std::string::npos);
  EXPECT_NE(r.out.find("Frames for calibration: K=0\nTemporal ROI:           [1,1]\n"), std::string::npos);

  // Sequence names longer than any fixed buffer work.
  const std::string deep = dir / (std::string(150, 'd') + "/" + std::string(120, 'e'));
  const std::string seq = makeTinySequence(deep, TinySequence());
  r = runTool({seq}, work.path());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(reportLines(r, 1), std::vector<std::string>{"VARDO-CF on sequence " + seq});
  EXPECT_NE(r.out.find("Frames for calibration: K=2\n"), std::string::npos);

  // Four words or more: words 2 and 3 are frame numbers whatever they hold.
  r = runTool({seq, "-K", "2", "-ROI", "0"}, work.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Unable to read expected file " + seq + "000000.jpg\n");
}
