#include "core/memory.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Big = unsigned __int128;

// A small text file of /proc or /sys; "" when it cannot be read.
std::string readSmall(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return "";
  std::string text;
  char buf[4096];
  while (text.size() < (1u << 20)) {
    const ssize_t k = ::read(fd, buf, sizeof buf);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) break;
    text.append(buf, static_cast<std::size_t>(k));
  }
  ::close(fd);
  return text;
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// The number after "key" at the start of a line ("MemAvailable:   123 kB"),
// times `unit`; kNoLimit when absent.
std::uint64_t field(const std::string& text, const std::string& key, std::uint64_t unit) {
  std::size_t at = 0;
  while ((at = text.find(key, at)) != std::string::npos) {
    if (at == 0 || text[at - 1] == '\n') {
      const char* p = text.c_str() + at + key.size();
      char* end = nullptr;
      errno = 0;
      const unsigned long long v = std::strtoull(p, &end, 10);
      if (end != p && errno == 0) return v > kNoLimit / unit ? kNoLimit : v * unit;
      return kNoLimit;
    }
    at += key.size();
  }
  return kNoLimit;
}

// A limit file's value: "max", empty, or the v1 "unlimited" (a page-rounded
// LLONG_MAX) are no limit.
std::uint64_t limitValue(const std::string& text) {
  if (text.empty() || text.compare(0, 3, "max") == 0) return kNoLimit;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (end == text.c_str() || errno != 0 || v >= (1ULL << 62)) return kNoLimit;
  return v;
}

// What one cgroup still allows: its limit minus what it holds, page cache
// that can be dropped (inactive files) not counted as held.
std::uint64_t roomAt(const std::string& dir, bool v2) {
  const std::uint64_t limit =
      limitValue(readSmall(dir + (v2 ? "/memory.max" : "/memory.limit_in_bytes")));
  if (limit == kNoLimit) return kNoLimit;
  std::uint64_t used = limitValue(readSmall(dir + (v2 ? "/memory.current" : "/memory.usage_in_bytes")));
  if (used == kNoLimit) used = 0;
  const std::uint64_t inactive =
      field(readSmall(dir + "/memory.stat"), v2 ? "inactive_file " : "total_inactive_file ", 1);
  if (inactive != kNoLimit) used -= std::min(used, inactive);
  return limit > used ? limit - used : 0;
}

// The tightest room from the process's cgroup up to the hierarchy's root.
// Inside a container the listed path may not exist under the mount (its
// root is the container's cgroup): then the mount's root is the cgroup.
std::uint64_t cgroupRoom(const MemorySources& s) {
  const std::string list = readSmall(s.cgroupList);
  std::uint64_t room = kNoLimit;
  std::size_t start = 0;
  while (start < list.size()) {
    std::size_t end = list.find('\n', start);
    if (end == std::string::npos) end = list.size();
    const std::string line = list.substr(start, end - start);
    start = end + 1;
    // "ID:CONTROLLERS:PATH"; v2 is "0::PATH".
    const std::size_t a = line.find(':'), b = a == std::string::npos ? a : line.find(':', a + 1);
    if (b == std::string::npos) continue;
    const std::string controllers = line.substr(a + 1, b - a - 1);
    std::string path = line.substr(b + 1);
    bool v2 = controllers.empty();
    std::string mount;
    if (v2) {
      mount = exists(s.cgroupMount + "/cgroup.controllers") ? s.cgroupMount : s.cgroupMount + "/unified";
    } else {
      bool memory = false;
      for (std::size_t p = 0; p <= controllers.size();) {
        std::size_t q = controllers.find(',', p);
        if (q == std::string::npos) q = controllers.size();
        memory = memory || controllers.compare(p, q - p, "memory") == 0;
        p = q + 1;
      }
      if (!memory) continue;
      mount = s.cgroupMount + "/memory";
    }
    if (path.empty() || path[0] != '/' || path.find("..") != std::string::npos) continue;
    if (!exists(mount + path)) path = "/";
    for (;;) {
      room = std::min(room, roomAt(path == "/" ? mount : mount + path, v2));
      if (path == "/") break;
      const std::size_t cut = path.find_last_of('/');
      path = cut == 0 ? "/" : path.substr(0, cut);
    }
  }
  return room;
}

std::string gib(Big bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0));
  return text;
}

}  // namespace

MemoryRoom memoryRoom(const MemorySources& s) {
  MemoryRoom room;
  room.available = field(readSmall(s.meminfo), "MemAvailable:", 1024);
  if (room.available == kNoLimit) {
    const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && pageSize > 0) {
      room.available = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
      room.physicalOnly = true;
    }
  }
  room.cgroup = cgroupRoom(s);
  if (s.addressLimit != kNoLimit) {
    std::uint64_t used = field(readSmall(s.status), "VmSize:", 1024);
    if (used == kNoLimit) used = 0;
    room.addressSpace = s.addressLimit > used ? s.addressLimit - used : 0;
  }
  return room;
}

MemoryRoom memoryRoom() {
  MemorySources s;
  rlimit r{};
  if (::getrlimit(RLIMIT_AS, &r) == 0 && r.rlim_cur != RLIM_INFINITY)
    s.addressLimit = static_cast<std::uint64_t>(r.rlim_cur);
  return memoryRoom(s);
}

std::string memoryShortfall(int W, int H, int n, int models, std::uint64_t alsoNeeded,
                            const MemoryRoom& room) {
  const Big N = static_cast<Big>(W < 0 ? 0 : W) * static_cast<unsigned>(H < 0 ? 0 : H);
  const Big cells = N * static_cast<unsigned>(n) * static_cast<unsigned>(n);
  // Frame and the models (floats), snapshot (bytes), two label buffers,
  // winner rows and columns (ints), mask image, the update's winner codes
  // and admissions (bytes); then the caller's, and a margin for what the
  // libraries and the threads take besides.
  Big need = 3 * N * 4 + static_cast<unsigned>(models) * 3 * cells * 4 + 3 * cells + 2 * N +
             2 * N * 4 + N + 2 * N + alsoNeeded;
  need += need / 8 + (Big(64) << 20);
  struct Limit {
    std::uint64_t bytes;
    const char* what;
  };
  const Limit limits[] = {
      {room.available, room.physicalOnly ? "this machine has" : "is available (MemAvailable)"},
      {room.cgroup, "is left under the cgroup's memory limit"},
      {room.addressSpace, "is left under the address-space limit (ulimit -v)"},
  };
  const Limit* tightest = std::min_element(std::begin(limits), std::end(limits),
                                           [](const Limit& a, const Limit& b) { return a.bytes < b.bytes; });
  // Beyond PTRDIFF_MAX one plane cannot even be addressed.
  if (cells <= static_cast<Big>(PTRDIFF_MAX / 4) && need <= tightest->bytes) return "";
  std::string line = "Not enough memory: " + std::to_string(W) + "x" + std::to_string(H) +
                     " frames with n=" + std::to_string(n) + " need " + gib(need) + " GiB";
  if (tightest->bytes == kNoLimit) return line + ", more than can be addressed";
  if (room.physicalOnly && tightest == limits) return line + ", this machine has " + gib(tightest->bytes) + " GiB";
  return line + ", only " + gib(tightest->bytes) + " GiB " + tightest->what;
}

std::string memoryShortfall(int W, int H, int n, int models, std::uint64_t alsoNeeded) {
  return memoryShortfall(W, H, n, models, alsoNeeded, memoryRoom());
}
