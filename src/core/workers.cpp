#include "core/workers.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

// How long a thread with nothing to do spins before it sleeps. The passes
// of a frame follow each other within microseconds; between frames (decode,
// output) the wait is longer, and a spinning thread would only take the
// core from whoever shares it.
constexpr std::chrono::microseconds kSpin{4};

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Spins until done() or kSpin has passed; whether done() held.
template <typename Done>
bool spinFor(const Done& done) {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (;;) {
    for (int i = 0; i < 16; ++i) {
      if (done()) return true;
      relax();
    }
    if (std::chrono::steady_clock::now() >= until) return done();
  }
}

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return in ? s.str() : std::string();
}

// The tightest cpu.max (cgroup v2) or cfs quota (v1) on the way from this
// process's cgroup up to the root, as cpu.max text; "" when none is set.
std::string cgroupCpuMax() {
  std::istringstream lines(readText("/proc/self/cgroup"));
  double best = 0;
  std::string bestText;
  auto consider = [&](const std::string& text) {
    std::istringstream in(text);
    std::string quota;
    double period = 0;
    if (!(in >> quota >> period) || quota == "max" || period <= 0) return;
    const double cpus = std::atof(quota.c_str()) / period;
    if (cpus > 0 && (best == 0 || cpus < best)) {
      best = cpus;
      bestText = text;
    }
  };
  for (std::string line; std::getline(lines, line);) {
    const std::size_t a = line.find(':'), b = line.find(':', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    const std::string controllers = line.substr(a + 1, b - a - 1);
    std::string path = line.substr(b + 1);
    const bool v2 = line.compare(0, a, "0") == 0 && controllers.empty();
    const bool v1 = !v2 && ("," + controllers + ",").find(",cpu,") != std::string::npos;
    if (!v2 && !v1) continue;
    for (;;) {
      if (v2) {
        consider(readText("/sys/fs/cgroup" + path + "/cpu.max"));
      } else {
        for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
          const std::string dir = mount + path;
          const std::string quota = readText(dir + "/cpu.cfs_quota_us");
          const std::string period = readText(dir + "/cpu.cfs_period_us");
          if (!quota.empty() && !period.empty() && std::atol(quota.c_str()) > 0)
            consider(std::to_string(std::atol(quota.c_str())) + " " + period);
        }
      }
      if (path.empty() || path == "/") break;
      const std::size_t slash = path.find_last_of('/');
      path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
    }
  }
  return bestText;
}

}  // namespace

int threadsFor(int affinity, const std::string& cpuMax) {
  int threads = std::max(affinity, 1);
  std::istringstream in(cpuMax);
  std::string quota;
  double period = 0;
  if (in >> quota >> period && quota != "max" && period > 0) {
    const double cpus = std::atof(quota.c_str()) / period;
    if (cpus > 0) threads = std::min(threads, std::max(1, static_cast<int>(std::ceil(cpus - 1e-9))));
  }
  return threads;
}

int defaultThreads() {
  cpu_set_t set;
  CPU_ZERO(&set);
  int affinity = 0;
  if (sched_getaffinity(0, sizeof set, &set) == 0) affinity = CPU_COUNT(&set);
  if (affinity <= 0) affinity = static_cast<int>(std::thread::hardware_concurrency());
  return threadsFor(affinity, cgroupCpuMax());
}

WorkerPool::WorkerPool(int threads) {
  const int total = threads <= 0 ? defaultThreads() : threads;
  workers_.reserve(static_cast<std::size_t>(std::max(total - 1, 0)));
  for (int i = 1; i < total; ++i) {
    try {
      workers_.emplace_back([this, i] { work(i); });
    } catch (const std::system_error&) {
      break;  // no more threads to be had: run with those started
    }
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : workers_) t.join();
}

void WorkerPool::drain(std::uint64_t gen, int worker) {
  const std::function<void(int, int)>* job;
  int tasks;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation_.load(std::memory_order_relaxed) != gen) return;
    job = job_;
    tasks = tasks_;
  }
  std::uint64_t cur = claim_.load(std::memory_order_acquire);
  for (;;) {
    if ((cur >> 32) != (gen & 0xFFFFFFFFu) || static_cast<int>(cur & 0xFFFFFFFFu) >= tasks) return;
    if (!claim_.compare_exchange_weak(cur, cur + 1, std::memory_order_acq_rel)) continue;
    (*job)(static_cast<int>(cur & 0xFFFFFFFFu), worker);
    if (finished_.fetch_add(1, std::memory_order_acq_rel) + 1 == tasks) {
      std::lock_guard<std::mutex> lock(mutex_);
      done_.notify_all();
    }
    cur = claim_.load(std::memory_order_acquire);
  }
}

void WorkerPool::work(int worker) {
  std::uint64_t seen = 0;
  for (;;) {
    spinFor([&] { return generation_.load(std::memory_order_acquire) != seen; });
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || generation_.load(std::memory_order_relaxed) != seen; });
      if (stopping_) return;
      seen = generation_.load(std::memory_order_relaxed);
    }
    drain(seen, worker);
  }
}

void WorkerPool::run(int tasks, const std::function<void(int, int)>& fn) {
  if (tasks <= 0) return;
  if (workers_.empty() || tasks == 1) {
    for (int t = 0; t < tasks; ++t) fn(t, 0);
    return;
  }
  std::uint64_t gen;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    gen = generation_.load(std::memory_order_relaxed) + 1;
    job_ = &fn;
    tasks_ = tasks;
    finished_.store(0, std::memory_order_relaxed);
    claim_.store((gen & 0xFFFFFFFFu) << 32, std::memory_order_relaxed);
    generation_.store(gen, std::memory_order_release);
  }
  wake_.notify_all();
  drain(gen, 0);
  auto allDone = [&] { return finished_.load(std::memory_order_acquire) == tasks; };
  if (!spinFor(allDone)) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, allDone);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  job_ = nullptr;
  tasks_ = 0;
}

void forRowBands(WorkerPool* pool, int begin, int end, const std::function<void(int, int, int)>& fn,
                 int perThread) {
  const int rows = end - begin;
  if (rows <= 0) return;
  const int threads = pool == nullptr ? 1 : pool->size();
  if (threads == 1) {
    fn(begin, end, 0);
    return;
  }
  const int bands = std::min(rows, threads * std::max(perThread, 1));
  pool->run(bands, [&](int b, int worker) {
    const int b0 = begin + static_cast<int>(static_cast<long long>(rows) * b / bands);
    const int b1 = begin + static_cast<int>(static_cast<long long>(rows) * (b + 1) / bands);
    fn(b0, b1, worker);
  });
}

int bandCount(const WorkerPool* pool, int rows) {
  constexpr int kMinBandRows = 8;
  constexpr int kBandsPerThread = 4;
  const int threads = pool == nullptr ? 1 : pool->size();
  if (threads == 1) return 1;
  return std::max(1, std::min(kBandsPerThread * threads, rows / kMinBandRows));
}

std::vector<int> bandEdges(int rows, int bands) {
  std::vector<int> edges(bands + 1);
  for (int i = 0; i <= bands; ++i)
    edges[i] = static_cast<int>(static_cast<long long>(rows) * i / bands);
  return edges;
}

void runTasks(WorkerPool* pool, int count, const std::function<void(int, int)>& fn) {
  if (pool == nullptr) {
    for (int i = 0; i < count; ++i) fn(i, 0);
    return;
  }
  pool->run(count, fn);
}
