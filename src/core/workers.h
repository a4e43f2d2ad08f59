// A small pool of worker threads for the per-frame passes.
//
// run(tasks, fn) calls fn(task, worker) for task 0 .. tasks-1, each exactly
// once, spread over the workers and the calling thread (worker 0), and
// returns when all are done; so each call is a barrier. Tasks are handed out
// in increasing order to whichever thread is free, so a thread that shares
// its core with another process takes fewer of them. Results never depend on
// the number of threads: every task writes only its own part of the output.
// `worker` (0 .. size()-1) names the thread, for per-thread scratch.
//
// Waiting threads spin for a few microseconds (passes follow each other
// that closely within a frame) and then sleep.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class WorkerPool {
 public:
  // threads <= 0: defaultThreads(). A thread the system refuses to start
  // (a process or memory limit) is left out: the pool then has fewer.
  explicit WorkerPool(int threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int size() const { return static_cast<int>(workers_.size()) + 1; }
  void run(int tasks, const std::function<void(int task, int worker)>& fn);

 private:
  void work(int worker);
  // Runs tasks of generation `gen` until none is left.
  void drain(std::uint64_t gen, int worker);

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  const std::function<void(int, int)>* job_ = nullptr;  // under mutex_
  int tasks_ = 0;                                       // under mutex_
  std::atomic<std::uint64_t> generation_{0};
  // The next task to hand out, tagged with its run's generation (high 32
  // bits), so that a thread still holding an older run claims nothing.
  std::atomic<std::uint64_t> claim_{0};
  std::atomic<int> finished_{0};
  bool stopping_ = false;  // under mutex_
};

// The CPUs this process may use: its affinity mask, capped by the cgroup's
// CPU quota (cpu.max, or cpu.cfs_quota_us under cgroup v1), at least 1.
int defaultThreads();
// The same from given inputs, for tests: `affinity` CPUs, and the text of
// cpu.max ("max 100000", "150000 100000") or "" when there is none.
int threadsFor(int affinity, const std::string& cpuMax);

// Splits rows [begin, end) into bands, about `perThread` per worker, and runs
// fn(bandBegin, bandEnd, worker) for each on `pool` (inline when pool is null
// or has one thread).
void forRowBands(WorkerPool* pool, int begin, int end,
                 const std::function<void(int, int, int)>& fn, int perThread = 4);

// Schedules that interleave passes within bands of rows and finish the
// rows at the bands' seams afterwards: how many bands (kBandsPerThread per
// thread, each at least 8 rows tall, shorter ones are not worth their seams;
// at least one), their edges (edges[i] to edges[i+1], equal up to a row), and
// fn(task, worker) for task 0 .. count-1 on `pool` (inline when it is null).
int bandCount(const WorkerPool* pool, int rows);
std::vector<int> bandEdges(int rows, int bands);
void runTasks(WorkerPool* pool, int count, const std::function<void(int, int)>& fn);
