// Run driver: the switch reader, run setup (command line to fixed run state,
// settings report) and the phase driver (calibration and online loops,
// masks, snapshots, timing).
//
// Errors print their one line and end the run by throwing RunExit with the
// exit status; runMain catches it and returns the status, so tests can drive
// a whole run in process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include <opencv2/core/mat.hpp>

#include "core/params.h"
#include "core/roi.h"
#include "scvardo/params.hpp"

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitInput = 1;        // an expected input cannot be read or is unusable
constexpr int kExitSwitch = 2;       // a missing or malformed switch value
constexpr int kExitLostOutput = 3;   // the run finished but some output file could not be written
constexpr int kExitNoMemory = 4;     // the run's buffers do not fit in this machine

struct RunExit {
  int status;
};

// Prints one line (printf-style) on `stream` and ends the run with `status`.
[[noreturn]] void failRun(int status, std::FILE* stream, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// ---- Switch reader --------------------------------------------------------
// Each found switch and its value words are removed from argv and argc drops
// accordingly. Absent switches give the default.

const char* Lread_switch(int& argc, char** argv, const char* name, int valueCount,
                         const char* defaultText);
int Lread_iswitch(int& argc, char** argv, const char* name, int defaultValue);
double Lread_dswitch(int& argc, char** argv, const char* name, double defaultValue);

// ---- Run setup ------------------------------------------------------------

struct SequencePaths {
  std::string seqDir;       // up to and including the last separator
  std::string seqBase;      // after the last separator; "L0" when empty
  std::string framePrefix;  // seqDir + seqBase
};

struct FrameRange {
  int firstFrame = 1;
  int lastFrame = 1;
  int K = 0;  // calibration frames, counted from firstFrame
  int fromIdx = 0;
  int toIdx = 0;
};

// What the run writes besides the masks of the temporal ROI, and whether
// ROI.bmp is read: the switches that belong to sc-vardo alone.
struct OutputChoices {
  int saveAllModels = 0;  // -m
  int lastMaskOnly = 0;   // -l
  int useRoi = 1;         // -ROI
};

struct RunSetup {
  SequencePaths paths;
  FrameRange range;
  // The method's parameters; K is range.K's, threads is --threads'.
  scvardo::Params params;
  OutputChoices outputs;
  int W = 0;
  int H = 0;
  RoiMask roi;
  cv::Mat firstFrame;  // 8-bit BGR
};

// Takes every "--threads N" (or "--threads=N") out of the list, wherever it
// stands; the last one counts. Returns 0 (every hardware thread) when there
// is none. A missing or malformed value ends the run with status 2.
int takeThreadsOption(int& argc, char** argv);
// Takes "--adaptive" and the adaptive mode's "--NAME VALUE" switches out of
// the list, wherever they stand, into `params`; a missing or malformed value
// ends the run with status 2.
void takeAdaptiveOptions(int& argc, char** argv, scvardo::Params& params);

void printUsage();
// Waits for one key without echo; returns at once at end of input.
void waitForKey();

// Returns false after the usage text (the run ends with status 0).
// Throws RunExit on errors. `beforeReport` runs once the inputs are known
// to be usable, just before the settings report.
bool runSetup(int argc, char** argv, RunSetup& setup,
              const std::function<void()>& beforeReport = {});
// The settings report, line for line.
std::string settingsReport(const RunSetup& setup);

// Two decimal integers (the temporal-ROI file's text); false when absent.
bool parseTemporalRoi(const std::string& text, int& fromIdx, int& toIdx);
// "" when the frame range writes at least one mask, else one line saying
// why not. temporalRoiFile: the file fromIdx and toIdx came from, or "".
std::string framePlanProblem(const FrameRange& range, const std::string& temporalRoiFile);
// The temporal-ROI file holds two numbers; anything longer is refused.
constexpr std::size_t kTemporalRoiMaxBytes = 4096;

// ---- Phase driver ---------------------------------------------------------

// Runs both phases; returns the exit status (0, or 3 when an output was
// lost). Throws RunExit on a fatal error.
int runPhases(RunSetup& setup);

// The file of frame number f: prefix, the number with at least six digits, ".jpg".
std::string frameFileName(const std::string& prefix, int f);

// ---- One run per output folder ------------------------------------------
// The working folder holds the lock of the run writing into it and the
// record of the last run started there.

constexpr const char* kLockFileName = ".sc-vardo.lock";
constexpr const char* kRunRecordName = "sc-vardo-run.txt";

class RunGuard {
 public:
  RunGuard() = default;
  RunGuard(const RunGuard&) = delete;
  RunGuard& operator=(const RunGuard&) = delete;
  ~RunGuard();  // releases the lock

  // Takes the folder's lock (status 3 at once when another run holds it),
  // removes temporaries left by dead runs and writes the run record with
  // "finished: no".
  void start(int argc, char** argv, const RunSetup& setup);
  // Marks the record finished (status 0 or 3) or stopped (any other);
  // returns the status, 3 when the record cannot be written. Does nothing
  // unless start() succeeded.
  int finish(int status);

 private:
  int fd_ = -1;
  std::string head_;  // the record's lines before "finished:"
};

// The whole tool: setup then phases; returns the process exit status.
int runMain(int argc, char** argv);

