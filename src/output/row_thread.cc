#include "output/row_thread.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/log.h"
#include "io/io.h"
#include "output/csv_writer.h"
#include "output/flat_messages.h"

namespace {

// Rows (and values) per batch and batches in the ring.  Waking a sleeping
// thread costs about as much as a few hundred rows (more on a virtual
// machine), so a batch holds thousands; the ring of them (about 1.6 MB) is
// larger than a core's own cache, so a batch comes back to the converting
// thread mostly evicted from the writing core instead of being taken back
// line by line.
constexpr size_t kBatchRows = 2048;
constexpr size_t kBatchValues = 8 * kBatchRows;
constexpr size_t kBatches = 8;
// The ring's memory, in whole huge pages: a writing thread that a spare
// processor starts for the last milliseconds of a card would otherwise spend
// more on the first touch of 1.6 MB of fresh pages (a page fault per 4 KiB,
// about 12 us each on a virtual machine) than it gains.
constexpr size_t kBatchBytes = kBatchRows * 32 + kBatchValues * sizeof(double);
constexpr size_t kRingBytes =
    (kBatches * kBatchBytes + cIO_kHugePage - 1) / cIO_kHugePage * cIO_kHugePage;
// When the writing thread is the faster stage it finds the ring empty again
// and again.  Once asleep it is woken when half the ring is full (or the
// owner drains), not for every batch: a third of the context switches, and
// the converting thread does not wait, since the other half is still free.
constexpr size_t kWakeBatches = kBatches / 2;

// Copies `bytes` (a multiple of 8) with streaming stores: the lines of a
// batch were last read by the writing thread's core, and an ordinary store
// would first fetch each one back from there; a streaming store writes the
// line without reading it (the converting thread, the busier stage, then
// spends about a tenth less).  streamFence() orders them before the batch is
// published.  ThreadSanitizer does not see such stores, so its build copies
// plainly and checks the hand-over with them.
#if defined(__SSE2__) && !defined(__SANITIZE_THREAD__)
void streamCopy(void* to, const void* from, size_t bytes) {
  auto* out = static_cast<long long*>(to);
  const auto* in = static_cast<const unsigned char*>(from);
  for (size_t i = 0; i < bytes / 8; ++i) {
    long long word;
    std::memcpy(&word, in + 8 * i, 8);
    _mm_stream_si64(out + i, word);
  }
}
void streamFence() { _mm_sfence(); }
#else
void streamCopy(void* to, const void* from, size_t bytes) { std::memcpy(to, from, bytes); }
void streamFence() {}
#endif

}  // namespace

cRowWriterThread::cRowWriterThread()
    : ringMemory_(cIO_mapHugePages(kRingBytes)), ring_(kBatches), filling_(&ring_[0]) {
  static_assert(sizeof(Row) == 32 && kBatchRows * sizeof(Row) % alignof(double) == 0);
  for (size_t i = 0; i < kBatches; ++i) {
    Batch& batch = ring_[i];
    if (ringMemory_ != nullptr) {
      uint8_t* at = ringMemory_ + i * kBatchBytes;
      batch.rows = reinterpret_cast<Row*>(at);
      batch.values = reinterpret_cast<double*>(at + kBatchRows * sizeof(Row));
    } else {
      batch.heapRows = std::make_unique_for_overwrite<Row[]>(kBatchRows);
      batch.heapValues = std::make_unique_for_overwrite<double[]>(kBatchValues);
      batch.rows = batch.heapRows.get();
      batch.values = batch.heapValues.get();
    }
    batch.valueCapacity = kBatchValues;
  }
  thread_ = std::thread([this] { run(); });
}

cRowWriterThread::~cRowWriterThread() {
  drain();
  stop_.store(true);
  wake(written_);
  thread_.join();
  if (ringMemory_ != nullptr) ::munmap(ringMemory_, kRingBytes);
}

void cRowWriterThread::append(cCsvWriter* writer, double timeStamp, const cFlatSignal* signals,
                              size_t valueCount, std::span<const double> words) {
  if (filling_->valueCount + words.size() > filling_->valueCapacity && filling_->rowCount > 0)
    submit();
  Batch& batch = *filling_;
  if (words.size() > batch.valueCapacity) {  // one row with more values than a batch holds
    batch.heapValues = std::make_unique_for_overwrite<double[]>(words.size());
    batch.values = batch.heapValues.get();
    batch.valueCapacity = words.size();
  }
  const Row row{writer, timeStamp, signals, static_cast<uint32_t>(batch.valueCount),
                static_cast<uint32_t>(valueCount)};
  streamCopy(&batch.rows[batch.rowCount], &row, sizeof row);
  streamCopy(batch.values + batch.valueCount, words.data(), words.size_bytes());
  ++batch.rowCount;
  batch.valueCount += words.size();
  if (batch.rowCount == kBatchRows) submit();
}

void cRowWriterThread::write(cCsvWriter* writer, double timeStamp,
                             std::span<const double> values) {
  append(writer, timeStamp, nullptr, values.size(), values);
}

void cRowWriterThread::writeFlat(cCsvWriter* writer, double timeStamp,
                                 std::span<const cFlatSignal> valueSignals,
                                 std::span<const uint8_t> payload) {
  // The payload in whole words, zero-padded to at least one.
  double words[8];
  const size_t count = std::max<size_t>(1, (payload.size() + 7) / 8);
  words[count - 1] = 0.0;
  std::memcpy(words, payload.data(), payload.size());
  append(writer, timeStamp, valueSignals.data(), valueSignals.size(), {words, count});
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
  streamFence();
  const uint64_t next = filled_.done.load(std::memory_order_relaxed) + 1;
  filled_.done.store(next);
  filling_ = &ring_[next % ring_.size()];
  const uint64_t backlog = next - written_.done.load();
  if (backlog >= kWakeBatches) wake(written_);
  // Payloads go over while the writing thread keeps up (it sleeps until
  // half the ring is filled), values once it falls behind, before the ring
  // is full: each thread takes as much of the work as it has time for, and
  // the converting thread seldom has to wait for a free batch.
  if (backlog < kWakeBatches) takesPayloads_ = true;
  if (backlog >= kBatches - 2) takesPayloads_ = false;
  // The next batch must have been written before it is filled again.
  await(filled_, [&] { return next - written_.done.load() < ring_.size(); });
}

void cRowWriterThread::drain() {
  if (filling_->rowCount > 0) {
    // With every published batch written, the writing thread holds no
    // writer: the rows still being filled are written here, which spares
    // waking it for a handful (a session's first rows, one per new writer).
    if (written_.done.load() == filled_.done.load(std::memory_order_relaxed))
      writeBatch(*filling_, ownerValues_);
    else
      submit();
  }
  const uint64_t target = filled_.done.load(std::memory_order_relaxed);
  if (written_.done.load() != target) {
    flushing_.store(true);
    wake(written_);
    await(filled_, [&] { return written_.done.load() == target; });
    flushing_.store(false);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!firstError_.empty()) {
    zf_log_adopt_first_error(firstError_.c_str());
    firstError_.clear();
  }
}

void cRowWriterThread::writeBatch(Batch& batch, std::vector<double>& flatValues) {
  for (size_t i = 0; i < batch.rowCount; ++i) {
    const Row& row = batch.rows[i];
    const double* values = batch.values + row.firstValue;
    if (row.signals != nullptr) {
      if (flatValues.size() < row.valueCount) flatValues.resize(row.valueCount);
      (void)cFlatSignals_fastRow({row.signals, row.valueCount},
                                 reinterpret_cast<const uint8_t*>(values), flatValues.data());
      values = flatValues.data();
    }
    (void)row.writer->write(row.timeStamp, {values, row.valueCount});  // failures logged there
  }
  batch.rowCount = 0;
  batch.valueCount = 0;
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
    writeBatch(ring_[next % ring_.size()], flatValues_);
    if (const char* error = zf_log_first_error(); *error != '\0') {
      std::lock_guard<std::mutex> lock(mutex_);
      if (firstError_.empty()) firstError_ = error;
      zf_log_clear_first_error();
    }
    written_.done.store(next + 1);
    wake(filled_);
  }
}
