#include "core/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Temporaries in flight, one slot each, so that a signal handler can remove
// them without taking a lock.
constexpr int kSlots = 8;
constexpr std::size_t kPathMax = 4096;
struct Slot {
  std::atomic<bool> used{false};
  char path[kPathMax];
};
Slot slots[kSlots];

int claimSlot(const std::string& path) {
  if (path.size() >= kPathMax) return -1;
  for (int i = 0; i < kSlots; ++i) {
    bool expected = false;
    if (slots[i].used.load() || !slots[i].used.compare_exchange_strong(expected, true)) continue;
    std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
    return i;
  }
  return -1;
}

void releaseSlot(int i) {
  if (i >= 0) slots[i].used.store(false);
}

mode_t fileMode() {
  static const mode_t mode = [] {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return mode;
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
bool createTemp(const std::string& path, Temp& t, std::string& why) {
  const std::size_t cut = path.find_last_of('/');
  const std::string dir = cut == std::string::npos ? "" : path.substr(0, cut + 1);
  const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
  const std::size_t dot = name.find('.', 1);
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot);
  std::string tmpl = dir + "." + name + kTempMarker + std::to_string(static_cast<long>(::getpid())) +
                     ".XXXXXX" + ext;
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  // mkstemps opens with O_CREAT | O_EXCL: it never follows a planted link.
  const int fd = ::mkstemps(buf.data(), static_cast<int>(ext.size()));
  if (fd < 0) {
    why = std::strerror(errno);
    return false;
  }
  t.path.assign(buf.data());
  t.fd = fd;
  t.slot = claimSlot(t.path);
  ::fchmod(fd, fileMode());
  return true;
}

void discard(Temp& t) {
  if (t.fd >= 0) ::close(t.fd);
  ::unlink(t.path.c_str());
  releaseSlot(t.slot);
}

WriteOutcome failed(Temp& t, const std::string& why) {
  discard(t);
  return WriteOutcome{WriteOutcome::Failed, why};
}

WriteOutcome commit(Temp& t, const std::string& path) {
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

}  // namespace

WriteOutcome writeFileAtomic(const std::string& path, const void* data, std::size_t size) {
  Temp t;
  std::string why;
  if (!createTemp(path, t, why)) return WriteOutcome{WriteOutcome::CannotCreate, why};
  if (!writeAll(t.fd, static_cast<const unsigned char*>(data), size)) return failed(t, std::strerror(errno));
  const int fd = t.fd;
  t.fd = -1;
  if (::close(fd) != 0) return failed(t, std::strerror(errno));
  return commit(t, path);
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
  return commit(t, path);
}

void removeTemporariesNow() {
  for (Slot& s : slots)
    if (s.used.load()) ::unlink(s.path);
}
