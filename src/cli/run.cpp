#include "cli/run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include <opencv2/core.hpp>

#include "cli/driver.h"
#include "cli/exit.h"
#include "cli/run_record.h"
#include "cli/setup.h"
#include "core/output_file.h"

namespace {

// A closed standard stream would hand its number to the next file opened
// (the lock, an output), and the console lines would land in it. A
// read-only /dev/null in its place makes those writes fail instead.
void keepStandardStreamsApart() {
  for (int fd = 0; fd <= 2; ++fd)
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int got = ::open("/dev/null", O_RDONLY);
      if (got >= 0 && got != fd) ::close(got);
    }
}

int runGuarded(int argc, char** argv, RunGuard& guard) {
  try {
    RunSetup setup;
    if (!runSetup(argc, argv, setup, [&] { guard.start(argc, argv, setup); })) return kExitOk;
    return runPhases(setup);
  } catch (const RunExit& e) {
    return e.status;
  } catch (const std::bad_alloc&) {
    std::fputs("Not enough memory for the run's buffers\n", stderr);
    return kExitNoMemory;
  } catch (const cv::Exception& e) {
    if (e.code == cv::Error::StsNoMem) {
      std::fputs("Not enough memory for the run's buffers\n", stderr);
      return kExitNoMemory;
    }
    std::fprintf(stderr, "Image library failure: %s\n", e.err.c_str());
    return kExitInput;
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
