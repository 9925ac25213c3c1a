#include "input/frame_pipeline.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Frames per hand-over and batches in flight: large enough that the two
// threads rarely wait for each other, small enough to stay in the caches.
constexpr size_t kBatchFrames = 2048;
constexpr size_t kBatches = 4;

class cDirectSource final : public cFrameSource {
 public:
  explicit cDirectSource(std::unique_ptr<cMdfParallelIter> merge) : merge_(std::move(merge)) {}
  cBusMsg* first() override { return merge_ ? merge_->current() : nullptr; }
  cBusMsg* next() override { return merge_ ? merge_->next() : nullptr; }

 private:
  std::unique_ptr<cMdfParallelIter> merge_;
};

class cPipelineSource final : public cFrameSource {
 public:
  explicit cPipelineSource(std::unique_ptr<cMdfParallelIter> merge) : merge_(std::move(merge)) {
    for (Batch& batch : batches_) free_.push_back(&batch);
    reader_ = std::thread([this] { read(); });
  }
  ~cPipelineSource() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    freed_.notify_one();
    reader_.join();
  }

  cBusMsg* first() override { return next(); }

  cBusMsg* next() override {
    if (current_ != nullptr && position_ < current_->count) return &current_->frames[position_++];
    std::unique_lock<std::mutex> lock(mutex_);
    if (current_ != nullptr) {
      free_.push_back(current_);
      current_ = nullptr;
      freed_.notify_one();
    }
    filled_.wait(lock, [this] { return !full_.empty() || done_; });
    if (full_.empty()) return nullptr;
    current_ = full_.front();
    full_.pop_front();
    position_ = 0;
    return &current_->frames[position_++];
  }

 private:
  struct Batch {
    std::vector<cBusMsg> frames = std::vector<cBusMsg>(kBatchFrames);
    size_t count = 0;  // frames in use, at least 1 once handed over
  };

  // The reading thread: fills free batches with the merge's frames.
  void read() {
    cBusMsg* msg = merge_ ? merge_->current() : nullptr;
    while (msg != nullptr) {
      Batch* batch = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        freed_.wait(lock, [this] { return !free_.empty() || stop_; });
        if (stop_) break;
        batch = free_.back();
        free_.pop_back();
      }
      batch->count = 0;
      // Copying reuses each slot's payload capacity.
      for (; msg != nullptr && batch->count < kBatchFrames; msg = merge_->next())
        batch->frames[batch->count++] = *msg;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        full_.push_back(batch);
      }
      filled_.notify_one();
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    filled_.notify_one();
  }

  std::unique_ptr<cMdfParallelIter> merge_;  // used by the reading thread only
  Batch batches_[kBatches];
  std::mutex mutex_;
  std::condition_variable filled_;  // a batch is full, or the reading ended
  std::condition_variable freed_;   // a batch is free, or the reading is to stop
  std::vector<Batch*> free_;
  std::deque<Batch*> full_;
  bool done_ = false;
  bool stop_ = false;
  Batch* current_ = nullptr;  // the converting thread's batch
  size_t position_ = 0;
  std::thread reader_;  // last: starts once everything above exists
};

}  // namespace

std::unique_ptr<cFrameSource> cFrameSource_ctor(std::unique_ptr<cMdfParallelIter> merge,
                                                bool readAhead) {
  if (readAhead && merge) return std::make_unique<cPipelineSource>(std::move(merge));
  return std::make_unique<cDirectSource>(std::move(merge));
}
