#include "cli/run_record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "cli/exit.h"
#include "core/output_file.h"

namespace {

std::string now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm t{};
  gmtime_r(&ts.tv_sec, &t);
  char buf[64];
  const std::size_t len = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &t);
  std::snprintf(buf + len, sizeof buf - len, ".%06ldZ", ts.tv_nsec / 1000);
  return buf;
}

// One line per field: control characters in a word would break it.
std::string printable(const char* word) {
  std::string s(word);
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return s;
}

}  // namespace

RunGuard::~RunGuard() {
  if (fd_ >= 0) ::close(fd_);
}

void RunGuard::start(int argc, char** argv, const RunSetup& s) {
  const int fd = ::open(kLockFileName, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0)
    failRun(kExitLostOutput, stderr, "Cannot open lock file %s in the output folder: %s\n",
            kLockFileName, std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    failRun(kExitLostOutput, stderr, "Lock file %s in the output folder is not a regular file\n",
            kLockFileName);
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK)
      failRun(kExitLostOutput, stderr,
              "Another sc-vardo run is writing into this folder (it holds %s); not started\n",
              kLockFileName);
    failRun(kExitLostOutput, stderr, "Cannot lock %s in the output folder: %s\n", kLockFileName,
            std::strerror(err));
  }
  for (const std::string& stale : removeStaleTemporaries(""))
    std::fprintf(stderr, "Removed %s, left by an earlier run that did not end\n", stale.c_str());

  std::string command = "sc-vardo";
  for (int i = 1; i < argc; ++i) command += " " + printable(argv[i]);
  const FrameRange& r = s.range;
  char frames[160];
  std::snprintf(frames, sizeof frames, "frames: %d to %d, calibration K=%d, temporal ROI [%d,%d]\n",
                r.firstFrame, r.lastFrame, r.K, r.fromIdx, r.toIdx);
  head_ = "sc-vardo run record\ncommand: " + command + "\ninput: " +
          printable(s.paths.framePrefix.c_str()) + "\n" + frames + "started: " + now() +
          " (pid " + std::to_string(static_cast<long>(::getpid())) + ")\n";
  const std::string text = head_ + "finished: no\n";
  const WriteOutcome out = writeFileAtomic(kRunRecordName, text.data(), text.size());
  if (!out) {
    ::close(fd);
    failRun(kExitLostOutput, stderr, "Cannot write run record %s: %s\n", kRunRecordName,
            out.why.c_str());
  }
  fd_ = fd;
}

int RunGuard::finish(int status) {
  if (fd_ < 0) return status;
  const std::string end =
      status == kExitOk || status == kExitLostOutput
          ? "finished: " + now() + ", exit status " + std::to_string(status) + "\n"
          : "finished: no; stopped " + now() + " with exit status " + std::to_string(status) + "\n";
  const std::string text = head_ + end;
  const WriteOutcome out = writeFileAtomic(kRunRecordName, text.data(), text.size());
  ::close(fd_);
  fd_ = -1;
  if (out) return status;
  std::fprintf(stderr, "Cannot write run record %s: %s\n", kRunRecordName, out.why.c_str());
  return status == kExitOk ? kExitLostOutput : status;
}
