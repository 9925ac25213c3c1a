// Progress line on a terminal.  While the inputs convert, one line on
// standard error rewrites itself (carriage return, erase to end of line):
//
//   inputs 3/12, 812.4/2048.0 MB, 1234567 rows, 85.3 MB/s, 0:14 left
//
// Inputs done of all log files, megabytes done of all (the finished inputs
// plus what was read of the current one), rows written so far, the rate since
// the start and the time left at that rate (both once a second has passed).
// The totals come from a walk over the inputs before the conversion
// (cLogReader::survey).  The line is redrawn at most ten times a second, is
// cut to the terminal's width, is erased by every log line (base/log.h) and
// drawn again at its next update, and is erased for good before the
// statistics are printed.
//
// In a parallel run every worker reports through an observer of its own
// (worker()); the line sums them, its rows as of each worker's last input
// start or end.
//
// It is shown only when standard error is a terminal and --non-interactive
// is not given.  Its cost: a clock read each time the reader reports, which
// is every few thousand frames or every MiB read.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "input/log_reader.h"

class cProgress final : public cLogReaderObserver {
 public:
  // `fd`: the terminal; `rows`: the rows written so far (null in a parallel
  // run, whose workers report their own).
  cProgress(int fd, const cInputTotals& totals, std::function<uint64_t()> rows);
  cProgress(const cProgress&) = delete;
  cProgress& operator=(const cProgress&) = delete;
  ~cProgress() override;

  // The observer of worker `index` of a parallel run (made on first use,
  // owned by the progress line).  `rows` gives the rows the worker wrote; it
  // is read on the worker's own thread when one of its inputs starts or ends.
  // Workers may report at the same time.
  cLogReaderObserver* worker(size_t index, std::function<uint64_t()> rows);

  void inputStarted(uint64_t size) override;
  void inputRead(uint64_t bytesRead) override;
  void inputDone() override;

  // Erases the line; nothing is drawn afterwards.
  void erase();

 private:
  using Clock = std::chrono::steady_clock;

  // What one reader reports: the input it converts and, for a worker, its rows.
  struct Slot {
    uint64_t size = 0;  // of the input being converted
    uint64_t read = 0;  // read of it so far, at most its size
    uint64_t rows = 0;  // of a worker, when its last input started or ended
  };
  class WorkerObserver;
  void started(size_t slot, uint64_t size, uint64_t rows);
  void read(size_t slot, uint64_t bytesRead);
  void done(size_t slot, uint64_t rows);

  // Draws the line when forced or when the last drawing is old enough; the
  // caller holds mutex_.
  void update(bool force);
  std::string text(double seconds) const;

  int fd_;
  cInputTotals totals_;
  std::function<uint64_t()> rows_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point drawn_{};
  bool everDrawn_ = false;
  bool erased_ = false;
  uint64_t inputsDone_ = 0;
  uint64_t bytesDone_ = 0;  // of the finished inputs
  std::mutex mutex_;
  std::vector<Slot> slots_{1};  // slot 0: the one reader of a run without workers
  std::vector<std::unique_ptr<WorkerObserver>> workers_;
};

// True when the progress line is wanted: standard error is a terminal and
// --non-interactive was not given.
bool cProgress_wanted(bool nonInteractive);
