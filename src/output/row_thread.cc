#include "output/row_thread.h"

#include "base/log.h"
#include "output/csv_writer.h"

namespace {

// Rows (and values) per batch and batches in the ring.  Waking a sleeping
// thread costs about as much as a few hundred rows (more on a virtual
// machine), so a batch holds thousands; the ring of them (about 1.4 MB) is
// larger than a core's own cache, so a batch comes back to the converting
// thread mostly evicted from the writing core instead of being taken back
// line by line.
constexpr size_t kBatchRows = 2048;
constexpr size_t kBatchValues = 8 * kBatchRows;
constexpr size_t kBatches = 8;
// The writing thread is the faster stage and finds the ring empty again and
// again.  Once asleep it is woken when half the ring is full (or the owner
// drains), not for every batch: a third of the context switches, and the
// converting thread never waits, since the other half is still free.
constexpr size_t kWakeBatches = kBatches / 2;

}  // namespace

cRowWriterThread::cRowWriterThread() : ring_(kBatches), filling_(&ring_[0]) {
  for (Batch& batch : ring_) {
    batch.rows.reserve(kBatchRows);
    batch.values.reserve(kBatchValues);
  }
  thread_ = std::thread([this] { run(); });
}

cRowWriterThread::~cRowWriterThread() {
  drain();
  stop_.store(true);
  wake(written_);
  thread_.join();
}

void cRowWriterThread::write(cCsvWriter* writer, double timeStamp,
                             std::span<const double> values) {
  Batch& batch = *filling_;
  batch.rows.push_back({writer, timeStamp, static_cast<uint32_t>(batch.values.size()),
                        static_cast<uint32_t>(values.size())});
  batch.values.insert(batch.values.end(), values.begin(), values.end());
  if (batch.rows.size() >= kBatchRows || batch.values.size() >= kBatchValues) submit();
}

template <typename Ready>
void cRowWriterThread::await(Side& self, Ready ready) {
  if (ready()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  // Seen by the other side's wake() after it publishes, or this thread sees
  // what it published: both are sequentially consistent.
  self.sleeping.store(true);
  wakeUp_.wait(lock, ready);
  self.sleeping.store(false);
}

void cRowWriterThread::wake(Side& other) {
  if (!other.sleeping.load()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  wakeUp_.notify_all();
}

void cRowWriterThread::submit() {
  const uint64_t next = filled_.done.load(std::memory_order_relaxed) + 1;
  filled_.done.store(next);
  filling_ = &ring_[next % ring_.size()];
  if (next - written_.done.load() >= kWakeBatches) wake(written_);
  // The next batch must have been written before it is filled again.
  await(filled_, [&] { return next - written_.done.load() < ring_.size(); });
}

void cRowWriterThread::drain() {
  if (!filling_->rows.empty()) submit();
  const uint64_t target = filled_.done.load(std::memory_order_relaxed);
  flushing_.store(true);
  wake(written_);
  await(filled_, [&] { return written_.done.load() == target; });
  flushing_.store(false);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!firstError_.empty()) {
    zf_log_adopt_first_error(firstError_.c_str());
    firstError_.clear();
  }
}

void cRowWriterThread::run() {
  for (uint64_t next = 0;; ++next) {
    if (filled_.done.load() <= next) {
      await(written_, [&] {
        return filled_.done.load() >= next + kWakeBatches ||
               (flushing_.load() && filled_.done.load() > next) || stop_.load();
      });
    }
    if (filled_.done.load() <= next) return;  // stopped, and everything is written
    Batch& batch = ring_[next % ring_.size()];
    for (const Row& row : batch.rows)
      (void)row.writer->write(row.timeStamp, {batch.values.data() + row.firstValue,
                                              row.valueCount});  // failures are logged there
    batch.rows.clear();
    batch.values.clear();
    if (const char* error = zf_log_first_error(); *error != '\0') {
      std::lock_guard<std::mutex> lock(mutex_);
      if (firstError_.empty()) firstError_ = error;
      zf_log_clear_first_error();
    }
    written_.done.store(next + 1);
    wake(filled_);
  }
}
