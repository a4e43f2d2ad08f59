#include "core/workers.h"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

// Passes follow each other within microseconds, so a thread that finds
// nothing to do first spins this many times (some tens of microseconds)
// before it sleeps: a wake-up through the kernel costs more than that.
constexpr int kSpins = 4000;

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#endif
}

}  // namespace

int hardwareThreads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n);
}

WorkerPool::WorkerPool(int threads) {
  const int total = threads <= 0 ? hardwareThreads() : threads;
  for (int i = 1; i < total; ++i) workers_.emplace_back([this] { work(); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : workers_) t.join();
}

// Takes tasks of the current run until none is left; `lock` is held on
// entry and exit and released around each task.
void WorkerPool::drain(std::unique_lock<std::mutex>& lock) {
  while (next_ < tasks_) {
    const int task = next_++;
    const std::function<void(int)>& fn = *job_;
    lock.unlock();
    fn(task);
    lock.lock();
    if (finished_.fetch_add(1, std::memory_order_acq_rel) + 1 == tasks_) done_.notify_all();
  }
}

void WorkerPool::work() {
  std::uint64_t seen = published_.load(std::memory_order_acquire);
  for (;;) {
    for (int i = 0; i < kSpins && published_.load(std::memory_order_acquire) == seen; ++i) relax();
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
    if (stopping_) return;
    seen = generation_;
    drain(lock);
  }
}

void WorkerPool::run(int tasks, const std::function<void(int)>& fn) {
  if (tasks <= 0) return;
  if (workers_.empty() || tasks == 1) {
    for (int t = 0; t < tasks; ++t) fn(t);
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  job_ = &fn;
  tasks_ = tasks;
  next_ = 0;
  finished_ = 0;
  ++generation_;
  published_.store(generation_, std::memory_order_release);
  wake_.notify_all();
  drain(lock);
  if (finished_ != tasks_) {
    lock.unlock();
    for (int i = 0; i < kSpins && finished_.load(std::memory_order_acquire) != tasks; ++i) relax();
    lock.lock();
    done_.wait(lock, [&] { return finished_ == tasks_; });
  }
  job_ = nullptr;
  tasks_ = 0;
  next_ = 0;
}

void forRowBands(WorkerPool* pool, int begin, int end, const std::function<void(int, int)>& fn,
                 int perThread) {
  const int rows = end - begin;
  if (rows <= 0) return;
  const int threads = pool == nullptr ? 1 : pool->size();
  if (threads == 1) {
    fn(begin, end);
    return;
  }
  const int bands = std::min(rows, threads * std::max(perThread, 1));
  pool->run(bands, [&](int b) {
    const int b0 = begin + static_cast<int>(static_cast<long long>(rows) * b / bands);
    const int b1 = begin + static_cast<int>(static_cast<long long>(rows) * (b + 1) / bands);
    fn(b0, b1);
  });
}

int bandCount(const WorkerPool* pool, int rows) {
  constexpr int kMinBandRows = 8;
  const int threads = pool == nullptr ? 1 : pool->size();
  return std::max(1, std::min(2 * threads, rows / kMinBandRows));
}

std::vector<int> bandEdges(int rows, int bands) {
  std::vector<int> edges(bands + 1);
  for (int i = 0; i <= bands; ++i)
    edges[i] = static_cast<int>(static_cast<long long>(rows) * i / bands);
  return edges;
}

void runTasks(WorkerPool* pool, int count, const std::function<void(int)>& fn) {
  if (pool == nullptr) {
    for (int i = 0; i < count; ++i) fn(i);
    return;
  }
  pool->run(count, fn);
}
