// Whether a run's buffers fit in the memory this process may still take.
//
// Linux overcommits: a model larger than what is left would be accepted by
// the allocator, and the run (or another process) killed midway by the
// out-of-memory killer. So the estimate is compared, before anything is
// allocated, with the smallest of what the machine has available, what the
// process's cgroup still allows and what its address-space limit leaves.
#pragma once

#include <cstdint>
#include <string>

constexpr std::uint64_t kNoLimit = UINT64_MAX;

// What is left for this process, in bytes; kNoLimit where a figure is
// unknown or unlimited.
struct MemoryRoom {
  std::uint64_t available = kNoLimit;     // MemAvailable (/proc/meminfo), else physical memory
  bool physicalOnly = false;              // `available` is the machine's size: no MemAvailable
  std::uint64_t cgroup = kNoLimit;        // the tightest memory limit up the cgroup tree, minus its use
  std::uint64_t addressSpace = kNoLimit;  // RLIMIT_AS minus the process's VmSize
};

// Where the figures are read from; tests point them at files of their own.
struct MemorySources {
  std::string meminfo = "/proc/meminfo";
  std::string status = "/proc/self/status";
  std::string cgroupList = "/proc/self/cgroup";
  std::string cgroupMount = "/sys/fs/cgroup";
  std::uint64_t addressLimit = kNoLimit;  // RLIMIT_AS; memoryRoom() reads the process's own
};

MemoryRoom memoryRoom(const MemorySources& sources);
// This process, now.
MemoryRoom memoryRoom();

// "" when the buffers for W x H frames with n x n blocks and `models` copies
// of the model, plus `alsoNeeded` bytes (the caller's decoded frames and
// output buffers) and a margin, fit in `room`; else a one-line refusal
// saying what they need and what limits them.
std::string memoryShortfall(int W, int H, int n, int models, std::uint64_t alsoNeeded,
                            const MemoryRoom& room);
// The same against this process's room now.
std::string memoryShortfall(int W, int H, int n, int models, std::uint64_t alsoNeeded = 0);
