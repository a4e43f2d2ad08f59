#include "core/output_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <utility>
#include <vector>

namespace {

// Temporaries in flight, one slot each, so that a signal handler can remove
// them without taking a lock.
constexpr int kSlots = 8;
constexpr std::size_t kPathMax = 4096;
struct Slot {
  std::atomic<bool> used{false};
  std::atomic<bool> named{false};  // path holds a whole name
  char path[kPathMax];
};
Slot slots[kSlots];

int claimSlot(const std::string& path) {
  if (path.size() >= kPathMax) return -1;
  for (int i = 0; i < kSlots; ++i) {
    bool expected = false;
    if (slots[i].used.load() || !slots[i].used.compare_exchange_strong(expected, true)) continue;
    std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
    slots[i].named.store(true);
    return i;
  }
  return -1;
}

void releaseSlot(int i) {
  if (i < 0) return;
  slots[i].named.store(false);
  slots[i].used.store(false);
}

bool writeAll(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t k = ::write(fd, data, size);
    if (k < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (k == 0) {
      errno = EIO;
      return false;
    }
    data += k;
    size -= static_cast<std::size_t>(k);
  }
  return true;
}

struct Temp {
  std::string path;
  int fd = -1;
  int slot = -1;
};

// The temporary beside `path`: ".<name>.scvardo-tmp.<pid>.XXXXXX<extensions>".
// The name is registered before the file exists, so that a signal arriving
// at any moment finds every temporary on disk (at worst it also tries a
// name not yet created).
bool createTemp(const std::string& path, Temp& t, std::string& why) {
  const std::size_t cut = path.find_last_of('/');
  const std::string dir = cut == std::string::npos ? "" : path.substr(0, cut + 1);
  const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
  const std::size_t dot = name.find('.', 1);
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot);
  const std::string stem =
      dir + "." + name + kTempMarker + std::to_string(static_cast<long>(::getpid())) + ".";
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 random{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string tmp = stem;
    for (int k = 0; k < 6; ++k) tmp += kChars[random() % (sizeof kChars - 1)];
    tmp += ext;
    const int slot = claimSlot(tmp);
    // O_EXCL with O_CREAT never follows a planted link, nor reuses a file.
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      t.path = tmp;
      t.fd = fd;
      t.slot = slot;
      return true;
    }
    const int err = errno;
    releaseSlot(slot);
    if (err != EEXIST) {
      why = std::strerror(err);
      return false;
    }
  }
  why = "no free temporary file name";
  return false;
}

void discardTemp(Temp& t) {
  if (t.fd >= 0) ::close(t.fd);
  ::unlink(t.path.c_str());
  releaseSlot(t.slot);
}

WriteOutcome failed(Temp& t, const std::string& why) {
  discardTemp(t);
  return WriteOutcome{WriteOutcome::Failed, why};
}

WriteOutcome commitTemp(Temp& t, const std::string& path) {
  if (::rename(t.path.c_str(), path.c_str()) != 0) {
    const int error = errno;
    t.fd = -1;
    WriteOutcome out = failed(t, std::strerror(error));
    // A folder under the final name: no file of that name can be created.
    if (error == EISDIR) out.status = WriteOutcome::CannotCreate;
    return out;
  }
  releaseSlot(t.slot);
  return WriteOutcome{};
}

// Fault tests freeze a run in the middle of a write instead of racing it:
// SCVARDO_STOP_IN_WRITE holds file-name prefixes separated by ':'; the first
// write of a file whose name starts with one of them stops the process
// (SIGSTOP) once half of its bytes are in the temporary (a file filled by
// name: once it is filled, before it is renamed). Each prefix stops once.
bool stopsInWrite(const std::string& path) {
  static const char* const given = std::getenv("SCVARDO_STOP_IN_WRITE");
  if (given == nullptr || *given == '\0') return false;
  static std::mutex mutex;
  static std::vector<std::pair<std::string, bool>> prefixes = [] {
    std::vector<std::pair<std::string, bool>> out;
    std::string list = given;
    for (std::size_t start = 0; start <= list.size();) {
      std::size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      if (end > start) out.emplace_back(list.substr(start, end - start), false);
      start = end + 1;
    }
    return out;
  }();
  const std::size_t cut = path.find_last_of('/');
  const std::size_t start = cut == std::string::npos ? 0 : cut + 1;
  std::lock_guard<std::mutex> lock(mutex);
  for (auto& [prefix, stopped] : prefixes)
    if (!stopped && path.compare(start, prefix.size(), prefix) == 0) return stopped = true;
  return false;
}

}  // namespace

WriteOutcome writeFileAtomic(const std::string& path, const void* data, std::size_t size) {
  return writeFileAtomic(path, std::vector<OutputPiece>{{data, size}});
}

WriteOutcome writeFileAtomic(const std::string& path, const std::vector<OutputPiece>& pieces) {
  Temp t;
  std::string why;
  if (!createTemp(path, t, why)) return WriteOutcome{WriteOutcome::CannotCreate, why};
  std::size_t total = 0;
  for (const OutputPiece& p : pieces) total += p.size;
  std::size_t stopAt = stopsInWrite(path) ? total / 2 : SIZE_MAX, written = 0;
  for (const OutputPiece& p : pieces) {
    const auto* bytes = static_cast<const unsigned char*>(p.data);
    std::size_t left = p.size;
    if (stopAt >= written && stopAt - written < left) {
      const std::size_t first = stopAt - written;
      if (!writeAll(t.fd, bytes, first)) return failed(t, std::strerror(errno));
      ::raise(SIGSTOP);
      bytes += first;
      left -= first;
      stopAt = SIZE_MAX;
    }
    if (!writeAll(t.fd, bytes, left)) return failed(t, std::strerror(errno));
    written += p.size;
  }
  const int fd = t.fd;
  t.fd = -1;
  if (::close(fd) != 0) return failed(t, std::strerror(errno));
  return commitTemp(t, path);
}

WriteOutcome writeFileAtomic(const std::string& path,
                             const std::function<bool(const std::string& tmp, std::string& why)>& fill) {
  Temp t;
  std::string why;
  if (!createTemp(path, t, why)) return WriteOutcome{WriteOutcome::CannotCreate, why};
  ::close(t.fd);
  t.fd = -1;
  bool ok = false;
  try {
    ok = fill(t.path, why);
  } catch (const std::exception& e) {
    why = e.what();
  }
  if (!ok) return failed(t, why.empty() ? "write failed" : why);
  if (stopsInWrite(path)) ::raise(SIGSTOP);
  return commitTemp(t, path);
}

WriteOutcome PendingFile::create(const std::string& path) {
  discard();
  Temp t;
  std::string why;
  if (!createTemp(path, t, why)) return WriteOutcome{WriteOutcome::CannotCreate, why};
  ::close(t.fd);
  path_ = path;
  temporary_ = t.path;
  slot_ = t.slot;
  return WriteOutcome{};
}

namespace {

// A pending file's temporary as a Temp, the file left holding none.
Temp handOver(std::string& temporary, int& slot) {
  Temp t;
  t.path = std::move(temporary);
  t.slot = slot;
  temporary.clear();
  slot = -1;
  return t;
}

}  // namespace

WriteOutcome PendingFile::commit() {
  Temp t = handOver(temporary_, slot_);
  if (stopsInWrite(path_)) ::raise(SIGSTOP);
  return commitTemp(t, path_);
}

void PendingFile::discard() {
  if (temporary_.empty()) return;
  Temp t = handOver(temporary_, slot_);
  discardTemp(t);
}

void keepStandardStreamsApart() {
  for (int fd = 0; fd <= 2; ++fd)
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int got = ::open("/dev/null", O_RDONLY);
      if (got >= 0 && got != fd) ::close(got);
    }
}

void removeTemporariesNow() {
  for (Slot& s : slots)
    if (s.named.load()) ::unlink(s.path);
}

namespace {

void restoreDefault(int sig) {
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  ::sigaction(sig, &sa, nullptr);
}

// Removes the temporaries in flight and ends the process by `sig`, its
// default action restored: the signal, blocked while its handler runs, is
// delivered when the handler returns.
void removeAndDie(int sig) {
  const int saved = errno;
  removeTemporariesNow();
  restoreDefault(sig);
  errno = saved;
  ::raise(sig);
}

std::atomic<int> firstStop{0};

void onStopSignal(int sig) {
  int none = 0;
  if (sig != SIGPIPE && firstStop.compare_exchange_strong(none, sig)) return;
  removeAndDie(sig);
}

void handle(void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    struct sigaction old {};
    // A signal the caller chose to ignore stays ignored.
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(sig, &sa, nullptr);
  }
}

// The pid in ".<name>.scvardo-tmp.<pid>.XXXXXX<ext>", or 0.
long tempOwner(const char* name) {
  if (name[0] != '.') return 0;
  const char* mark = std::strstr(name, kTempMarker);
  if (mark == nullptr) return 0;
  const char* p = mark + std::strlen(kTempMarker);
  char* end = nullptr;
  const long pid = std::strtol(p, &end, 10);
  if (end == p || *end != '.' || pid <= 0) return 0;
  return pid;
}

}  // namespace

void removeTemporariesOnSignals() { handle(removeAndDie); }

void stopOnSignals() { handle(onStopSignal); }

int stopSignal() { return firstStop.load(); }

void endBySignal(int sig) {
  restoreDefault(sig);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(sig);
}

std::string folderOf(const std::string& path) {
  const std::size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? "" : path.substr(0, cut + 1);
}

void removeStaleTemporariesSaying(const std::string& dir, const char* prefix) {
  for (const std::string& stale : removeStaleTemporaries(dir))
    std::fprintf(stderr, "%sRemoved %s, left by an earlier run that did not end\n", prefix, stale.c_str());
}

std::vector<std::string> removeStaleTemporaries(const std::string& dir) {
  std::vector<std::string> removed;
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return removed;
  const long self = static_cast<long>(::getpid());
  while (const dirent* e = ::readdir(d)) {
    const long pid = tempOwner(e->d_name);
    if (pid == 0 || pid == self) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;  // alive, or not ours to judge
    const std::string path = dir + e->d_name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (::unlink(path.c_str()) == 0) removed.push_back(path);
  }
  ::closedir(d);
  return removed;
}
