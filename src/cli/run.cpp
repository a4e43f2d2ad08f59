#include "cli/run.h"

#include <cstdio>

#include "cli/driver.h"
#include "cli/exit.h"
#include "cli/progress.h"
#include "cli/run_record.h"
#include "cli/setup.h"
#include "core/failure.h"
#include "core/output_file.h"

namespace {

int runGuarded(int argc, char** argv, RunGuard& guard) {
  try {
    RunSetup setup;
    const auto lock = [&] {
      const FrameRange& r = setup.range;
      char frames[160];
      std::snprintf(frames, sizeof frames, "frames: %d to %d, calibration K=%d, temporal ROI [%d,%d]\n",
                    r.firstFrame, r.lastFrame, r.K, r.fromIdx, r.toIdx);
      guard.start("", "sc-vardo", "", argc, argv, setup.paths.framePrefix,
                  frames + pathLines(setup.params));
    };
    if (!runSetup(argc, argv, setup, lock)) return kExitOk;
    return runPhases(setup);
  } catch (const RunExit& e) {
    return e.status;
  } catch (...) {
    clearActiveProgress();
    const Failure f = failureOf(std::current_exception());
    std::fprintf(stderr, "%s\n", f.line.c_str());
    return f.status;
  }
}

}  // namespace

int runMain(int argc, char** argv) {
  keepStandardStreamsApart();
  removeTemporariesOnSignals();
  RunGuard guard;
  int status = runGuarded(argc, argv, guard);
  // The report and timing lines are output too: their loss is status 3.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fputs("Cannot write the console output to standard output\n", stderr);
    if (status == kExitOk) status = kExitLostOutput;
  }
  return guard.finish(status);
}
