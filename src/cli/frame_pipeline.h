// Reading and writing beside the passes: the next frame is decoded and the
// previous mask encoded and written on their own threads while the current
// frame is processed. Neither thread prints: a failed read waits until the
// run reaches that frame, a failed write until the run settles the writer,
// so the console and the files are what the run would give in sequence.
// Where no thread can be started (a limit on processes or threads), each
// does its work on the calling thread instead.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include <opencv2/core/mat.hpp>

#include "cli/frame_reader.h"

// Frames first+1 .. first+max(K-1, last) in the run's order (first+K on when
// K < 1), read at most kAhead frames ahead of the one taken.
class FramesAhead {
 public:
  FramesAhead(std::string prefix, cv::Size expected, int first, int K, long long lastIndex);
  ~FramesAhead();
  FramesAhead(const FramesAhead&) = delete;
  FramesAhead& operator=(const FramesAhead&) = delete;

  // The next frame of the order, which must be frame f; its file name in *name.
  ImageRead take(int f, cv::Mat& image, std::string& name);

 private:
  struct Item {
    int frame;
    std::string name;
    ImageRead read;
    cv::Mat image;
  };
  static constexpr std::size_t kAhead = 2;
  void work();

  const std::string prefix_;
  const cv::Size expected_;
  const int first_, K_;
  const long long lastIndex_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Item> ready_;
  bool stopping_ = false;
  bool ended_ = false;  // the reader stopped: order done, or a failed read queued
  std::thread thread_;
};

// One mask in flight: submit() hands a mask to the writer thread, after
// settling the one before.
class MaskWriter {
 public:
  MaskWriter();
  ~MaskWriter();  // settles (printing any failure) and joins
  MaskWriter(const MaskWriter&) = delete;
  MaskWriter& operator=(const MaskWriter&) = delete;

  // `mask` must not change until the next settle().
  void submit(const cv::Mat& mask, int frame);
  // Waits for the mask in flight and prints its failure line on stderr, if
  // any: call it before the run prints anything else.
  void settle();
  // Whether a mask could not be written (known as of the last settle()).
  bool lost() const { return lost_; }

 private:
  void work();

  std::mutex mutex_;
  std::condition_variable changed_;
  cv::Mat mask_;
  int frame_ = 0;
  bool pending_ = false;
  bool stopping_ = false;
  bool failed_ = false;
  std::string failure_;
  bool lost_ = false;  // the main thread's view
  std::thread thread_;
};
