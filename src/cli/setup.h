// Run setup of sc-vardo: the command line to the run's fixed state (paths,
// frame range, parameters, ROI, first frame), and the settings report.
#pragma once

#include <functional>
#include <string>

#include <opencv2/core/mat.hpp>

#include "cli/plan.h"
#include "core/roi.h"
#include "scvardo/params.hpp"

// What the run writes besides the masks of the temporal ROI, and whether
// ROI.bmp is read: the switches of sc-vardo alone.
struct OutputChoices {
  int saveAllModels = 0;  // -m
  int lastMaskOnly = 0;   // -l
  int useRoi = 1;         // -ROI
};

struct RunSetup {
  SequencePaths paths;
  FrameRange range;
  // The method's parameters; K is range.K's (sc-vardo's own: 0 takes it
  // from temporalROI.txt), threads is --threads'.
  scvardo::Params params;
  OutputChoices outputs;
  int W = 0;
  int H = 0;
  RoiMask roi;
  cv::Mat firstFrame;  // 8-bit BGR
};

// Takes every long option of the parameter table ("--threads N" or
// "--threads=N"; a flag, "--adaptive", without a value) out of the list,
// wherever it stands; the last one counts. A missing, malformed or
// out-of-range value ends the run with status 2.
void takeLongOptions(int& argc, char** argv, scvardo::Params& params);

void printUsage();
// --help: every switch with its default, valid values and meaning.
void printHelp();
// sc-vardo's switches as the README's Markdown table.
std::string switchTableMarkdown();
// Waits for one key without echo; returns at once at end of input.
void waitForKey();

// Returns false after the usage text, --help or --version (the run ends
// with status 0). Throws RunExit on errors; a bad command line (unknown
// switch, a frame number that is not one, a value out of its range) ends
// it with status 2 before anything is read. `beforeReport` runs once the
// inputs are known to be usable, just before the settings report.
bool runSetup(int argc, char** argv, RunSetup& setup,
              const std::function<void()>& beforeReport = {});
// The settings report, line for line.
std::string settingsReport(const RunSetup& setup);
