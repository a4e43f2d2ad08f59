#include "cli/frame_pipeline.h"

#include <cstdio>
#include <functional>
#include <system_error>
#include <utility>

#include "cli/outputs.h"
#include "cli/plan.h"

namespace {

// A helper thread, or none when the system will not start one (a limit on
// processes or threads): the caller then does the work itself.
std::thread startOrNot(const std::function<void()>& body) {
  try {
    return std::thread(body);
  } catch (const std::system_error&) {
    return std::thread();
  }
}

}  // namespace

FramesAhead::FramesAhead(std::string prefix, cv::Size expected, int first, int K,
                         long long lastIndex)
    : prefix_(std::move(prefix)), expected_(expected), first_(first), K_(K),
      lastIndex_(lastIndex) {
  thread_ = startOrNot([this] { work(); });
  // Without a reader thread take() reads each frame itself.
  if (!thread_.joinable()) ended_ = true;
}

FramesAhead::~FramesAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void FramesAhead::work() {
  FrameReader reader;
  auto one = [&](int f) {
    Item item{f, frameFileName(prefix_, f), ImageRead(), cv::Mat()};
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || ready_.size() < kAhead; });
      if (stopping_) return false;
    }
    item.read = reader.read(item.name, true, item.image, expected_);
    const bool ok = item.read.status == ImageRead::Ok;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ready_.push_back(std::move(item));
    }
    changed_.notify_all();
    return ok;  // nothing is read past a failed frame: the run ends there
  };
  bool going = true;
  // The same order and frame numbers as the run's calibration and online loops.
  for (int t = 1; going && t <= K_ - 1; ++t) going = one(first_ + t);
  for (long long i = K_; going && i <= lastIndex_; ++i) going = one(static_cast<int>(first_ + i));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
  }
  changed_.notify_all();
}

ImageRead FramesAhead::take(int f, cv::Mat& image, std::string& name) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return !ready_.empty() || ended_; });
  if (ready_.empty() || ready_.front().frame != f) {
    // No reader thread, or not in the order (a caller's bug): read it here.
    lock.unlock();
    name = frameFileName(prefix_, f);
    FrameReader reader;
    return reader.read(name, true, image, expected_);
  }
  Item item = std::move(ready_.front());
  ready_.pop_front();
  lock.unlock();
  changed_.notify_all();
  image = std::move(item.image);
  name = std::move(item.name);
  return item.read;
}

MaskWriter::MaskWriter() { thread_ = startOrNot([this] { work(); }); }

MaskWriter::~MaskWriter() {
  settle();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void MaskWriter::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || pending_; });
    if (!pending_) return;
    const cv::Mat mask = mask_;
    const int frame = frame_;
    lock.unlock();
    std::string failure;
    const bool ok = saveMask(mask, frame, &failure);
    lock.lock();
    if (!ok) {
      failed_ = true;
      failure_ += failure;
    }
    mask_.release();
    pending_ = false;
    changed_.notify_all();
  }
}

void MaskWriter::submit(const cv::Mat& mask, int frame) {
  settle();
  if (!thread_.joinable()) {  // no writer thread: written here, reported at the next settle()
    std::string failure;
    if (!saveMask(mask, frame, &failure)) {
      failed_ = true;
      failure_ += failure;
    }
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    mask_ = mask;
    frame_ = frame;
    pending_ = true;
  }
  changed_.notify_all();
}

void MaskWriter::settle() {
  std::string failure;
  bool failed = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !pending_; });
    std::swap(failure, failure_);
    std::swap(failed, failed_);
  }
  if (failed) lost_ = true;
  if (!failure.empty()) {
    std::fputs(failure.c_str(), stderr);
    std::fflush(stderr);
  }
}
