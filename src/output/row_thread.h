// Rows of CSV writers formatted and written by a thread of their own: the
// second stage of the two-stage pipeline of one large file.  The converting
// thread reads the frames, decodes them and picks each row's writer; it hands
// the rows over in batches through a short ring, and this thread formats
// them and writes the files.  While this thread has time to spare, a row
// whose values cannot fall outside their limits goes over as its payload,
// and this thread takes the values from it as well.  Rows reach their
// writers in the order they were handed over, so the files are the same as
// without the thread.
//
// Each side publishes the number of batches it has finished; a thread that
// finds the ring empty (or full) sleeps until the other side wakes it: the
// writing thread once half the ring is filled or the owner drains.
//
// While rows are in flight the writing thread uses their writers, the writers'
// file pool and, through the pool's gate, the output journal.  The owner
// calls drain() before it touches any of them in another way (creating,
// closing, committing, rolling back).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

class cCsvWriter;
struct cFlatSignal;

class cRowWriterThread {
 public:
  cRowWriterThread();
  // Writes what was handed over, then stops the thread.
  ~cRowWriterThread();
  cRowWriterThread(const cRowWriterThread&) = delete;
  cRowWriterThread& operator=(const cRowWriterThread&) = delete;

  // Hands over one row for `writer` (borrowed: it must live until the next
  // drain()).  Failures are the writer's, as with cCsvWriter::write.
  void write(cCsvWriter* writer, double timeStamp, std::span<const double> values);
  // True while the writing thread has time to take rows' values from their
  // payloads (writeFlat); false while it falls behind.
  bool takesPayloads() const { return takesPayloads_; }
  // Hands over the row that cFlatSignals_fastRow takes from `payload` (at
  // most 64 bytes) through `valueSignals` (borrowed: they must stay
  // unchanged until the next drain()).
  void writeFlat(cCsvWriter* writer, double timeStamp, std::span<const cFlatSignal> valueSignals,
                 std::span<const uint8_t> payload);

  // Returns once every row handed over is in its writer.  Rows of a batch
  // not yet handed over are written by the calling thread when the writing
  // thread has nothing in hand: draining after a few rows wakes nobody.  The
  // first error the writing thread logged since the last drain becomes the
  // calling thread's first error (zf_log_first_error) when it has none of
  // its own.
  void drain();

 private:
  struct Row {
    cCsvWriter* writer;
    double timeStamp;
    // Null: the row's values are the valueCount at firstValue.  Otherwise
    // the valueCount signals of the row, and its payload at firstValue.
    const cFlatSignal* signals;
    uint32_t firstValue;
    uint32_t valueCount;
  };
  // Filled by the converting thread with streaming stores where the
  // processor has them; read by the writing thread.
  struct Batch {
    Row* rows = nullptr;      // kBatchRows, in the ring's memory or heapRows
    double* values = nullptr;  // valueCapacity, in the ring's memory or heapValues
    std::unique_ptr<Row[]> heapRows;      // when the ring's memory could not be mapped
    std::unique_ptr<double[]> heapValues;  // the same, or a row with more values than a batch holds
    size_t rowCount = 0;
    size_t valueCount = 0;
    size_t valueCapacity = 0;
  };
  // One side of the ring: the batches it has finished, and whether it sleeps
  // waiting for the other side.
  struct Side {
    alignas(64) std::atomic<uint64_t> done{0};
    std::atomic<bool> sleeping{false};
  };

  // Adds a row (see Row) whose `words` go to the batch's values.
  void append(cCsvWriter* writer, double timeStamp, const cFlatSignal* signals,
              size_t valueCount, std::span<const double> words);
  // Publishes the batch being filled and moves to the next one.
  void submit();
  // Waits until `ready()`, sleeping as `self` until the other side wakes
  // it.
  template <typename Ready>
  void await(Side& self, Ready ready);
  // Wakes the other side when it sleeps.
  void wake(Side& other);
  // Writes the rows of `batch` to their writers and empties it; a row from
  // a payload takes its values into `flatValues`.
  void writeBatch(Batch& batch, std::vector<double>& flatValues);
  // The writing thread.
  void run();

  uint8_t* ringMemory_ = nullptr;  // the batches' rows and values, in huge pages
  std::vector<Batch> ring_;
  Batch* filling_;  // the batch the converting thread fills
  bool takesPayloads_ = true;  // the converting thread's own
  Side filled_;   // batches handed over (the converting thread)
  Side written_;  // batches written (the writing thread)
  std::atomic<bool> flushing_{false};  // drain() waits: write whatever is filled
  std::atomic<bool> stop_{false};
  std::mutex mutex_;             // guards sleeping and firstError_
  std::condition_variable wakeUp_;
  std::string firstError_;  // logged by the writing thread, not yet taken
  std::vector<double> flatValues_;   // the writing thread's row from a payload
  std::vector<double> ownerValues_;  // the same, for rows drain() writes itself
  std::thread thread_;      // last: starts once everything above exists
};
