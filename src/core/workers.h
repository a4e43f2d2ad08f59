// A small pool of worker threads for the per-frame passes.
//
// run(tasks, fn) calls fn(0) .. fn(tasks-1), each exactly once, spread over
// the workers and the calling thread, and returns when all are done; so each
// call is a barrier. Tasks are handed out in increasing order as workers
// come free. Results never depend on the number of threads: every task
// writes only its own part of the output.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class WorkerPool {
 public:
  // threads <= 0: every hardware thread. One thread runs tasks inline.
  explicit WorkerPool(int threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int size() const { return static_cast<int>(workers_.size()) + 1; }
  void run(int tasks, const std::function<void(int)>& fn);

 private:
  void work();
  void drain(std::unique_lock<std::mutex>& lock);

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  const std::function<void(int)>* job_ = nullptr;
  int tasks_ = 0;
  int next_ = 0;      // next task to hand out
  std::atomic<int> finished_{0};  // tasks completed in this run; written under the lock
  std::uint64_t generation_ = 0;
  std::atomic<std::uint64_t> published_{0};  // generation_, readable without the lock
  bool stopping_ = false;
};

// Every hardware thread, at least 1.
int hardwareThreads();

// Splits rows [begin, end) into bands, about `perThread` per worker, and runs
// fn(bandBegin, bandEnd) for each on `pool` (inline when pool is null or has
// one thread).
void forRowBands(WorkerPool* pool, int begin, int end, const std::function<void(int, int)>& fn,
                 int perThread = 4);

// Schedules that interleave passes within bands of rows and finish the
// rows at the bands' seams afterwards: how many bands (two per thread, each
// at least 8 rows tall, shorter ones are not worth their seams; at least
// one), their edges (edges[i] to edges[i+1], equal up to a row), and fn(0)
// .. fn(count-1) on `pool` (inline when it is null).
int bandCount(const WorkerPool* pool, int rows);
std::vector<int> bandEdges(int rows, int bands);
void runTasks(WorkerPool* pool, int count, const std::function<void(int)>& fn);
