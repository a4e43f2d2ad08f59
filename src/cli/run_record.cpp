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
#include "scvardo/scvardo.hpp"

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

}  // namespace

// One line per field: control characters in a word would break it.
std::string printable(const std::string& word) {
  std::string s(word);
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return s;
}

RunGuard::~RunGuard() {
  if (fd_ >= 0) ::close(fd_);
}

void RunGuard::start(const std::string& folder, const char* tool, const char* prefix, int argc,
                     char** argv, const std::string& input, const std::string& details) {
  const std::string dir = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  const std::string lock = dir + kLockFileName;
  // The working folder is "this folder" and "the output folder" in messages.
  const std::string where = dir.empty() ? "this folder" : folder;
  const char* in = dir.empty() ? " in the output folder" : "";
  const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0)
    failRun(kExitLostOutput, stderr, "%sCannot open lock file %s%s: %s\n", prefix, lock.c_str(), in,
            std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    failRun(kExitLostOutput, stderr, "%sLock file %s%s is not a regular file\n", prefix, lock.c_str(), in);
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK)
      failRun(kExitLostOutput, stderr,
              "%sAnother %s run is writing into %s (it holds %s); not started\n", prefix,
              dir.empty() ? "sc-vardo" : "sc-vardo or sc-vardo-video", where.c_str(), lock.c_str());
    failRun(kExitLostOutput, stderr, "%sCannot lock %s%s: %s\n", prefix, lock.c_str(), in,
            std::strerror(err));
  }
  removeStaleTemporariesSaying(dir, prefix);

  std::string command = tool;
  for (int i = 1; i < argc; ++i) command += " " + printable(argv[i]);
  head_ = std::string(tool) + " run record\ncommand: " + command + "\ninput: " + printable(input) +
          "\n" + details + "started: " + now() + " (pid " +
          std::to_string(static_cast<long>(::getpid())) + ")\n";
  record_ = dir + kRunRecordName;
  prefix_ = prefix;
  const std::string text = head_ + "finished: no\n";
  const WriteOutcome out = writeFileAtomic(record_, text.data(), text.size());
  if (!out) {
    ::close(fd);
    failRun(kExitLostOutput, stderr, "%sCannot write run record %s: %s\n", prefix, record_.c_str(),
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
  const WriteOutcome out = writeFileAtomic(record_, text.data(), text.size());
  ::close(fd_);
  fd_ = -1;
  if (out) return status;
  std::fprintf(stderr, "%sCannot write run record %s: %s\n", prefix_.c_str(), record_.c_str(), out.why.c_str());
  return status == kExitOk ? kExitLostOutput : status;
}

std::string pathLines(const scvardo::Params& params) {
  return std::string("isa: ") + scvardo::instructionSet() +
         "\nthreads: " + std::to_string(scvardo::threadCount(params)) + "\n";
}
