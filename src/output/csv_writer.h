// CSV writer: one output file of decoded values.
//
// File format: plain ASCII, "\n" line ends, no quoting.  The header line is
// "t" followed by ",<name>" per column; each data line is the time stamp and
// then one value per column, every number printed like printf's "%f" (fixed,
// six decimals), non-numbers as "NaN" and infinities as "Inf" / "-Inf".
//
// Rows are collected in the writer's own buffer and handed to the file in
// blocks of about 16 KiB (and at close); the header line is the start of the
// first block, so a writer creates its file only when it first hands over a
// block.  A decoder may hold thousands of writers at once (one per signal
// set), more than the process may keep files open.  Writers that share a
// cCsvFilePool keep at most the pool's limit of files open: when another
// writer needs a file, the least recently flushed one hands over its rows and
// closes its file, and reopens it for appending at its next block.  No row is
// lost that way, and a writer without an open file costs only its buffer.
//
// Before a writer hands a block to its file while it is not cleared for
// writing, the pool's gate is asked (the output journal records the file's
// state there); a refusal is a failure of the writer.
//
// Write errors (a full disk, for example) are logged once per writer with the
// file's path and the reason, and remembered: close() and hadError() report
// them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io/io.h"
#include "output/block_pool.h"

class cCsvWriter;
class cFS;

// Decides whether writers may open their files.
class cCsvOpenGate {
 public:
  virtual ~cCsvOpenGate() = default;
  // Called before `writer` opens its file while it is not cleared; true when
  // the writer was cleared (and maybe others with it).
  virtual bool clearForWriting(cCsvWriter& writer) = 0;
};

// Limits the number of open files of the writers that use it, and lends
// them their full-size buffers (output/block_pool.h).  Must outlive every
// writer created with it.  Single-threaded.
class cCsvFilePool {
 public:
  // `maxOpen` below 1 is taken as 1.  `gate` (borrowed, may be null: every
  // writer may open) must outlive the pool.
  explicit cCsvFilePool(size_t maxOpen, cCsvOpenGate* gate = nullptr);
  cCsvFilePool(const cCsvFilePool&) = delete;
  cCsvFilePool& operator=(const cCsvFilePool&) = delete;

 private:
  friend class cCsvWriter;
  // Makes room for one more open file by suspending the least recently used.
  void makeRoom();
  void add(cCsvWriter* writer);
  void touch(cCsvWriter* writer);
  void remove(cCsvWriter* writer);

  size_t maxOpen_;
  cCsvOpenGate* gate_;
  std::list<cCsvWriter*> lru_;  // front: most recently written
  cBlockPool blocks_;           // the writers' full-size buffers
};

class cCsvWriter {
 public:
  cCsvWriter(const cCsvWriter&) = delete;
  cCsvWriter& operator=(const cCsvWriter&) = delete;
  // Closes the file (see close()).
  ~cCsvWriter();

  // Formats one data line (time stamp, then `values`) into the writer's
  // buffer; a full buffer goes to the file.  False when the number of values
  // differs from the column count (nothing is written), or when handing a
  // block to the file fails (reopen or write; logged once per writer).
  [[nodiscard]] bool write(double timeStamp, std::span<const double> values);

  // Flushes and closes the file; later writes reopen it for appending.
  // False when any write, flush or close of this writer has failed so far.
  bool close();
  // Hands the pending rows to the file, which stays open.  False when any
  // write, flush or close of this writer has failed so far.
  bool flushPending() {
    flush();
    return !error_;
  }
  // Closes the file without handing over the pending rows, which are dropped.
  void discard();

  // True once any write, flush, reopen or close of this writer has failed.
  bool hadError() const { return error_; }
  // Path of the file relative to the output tree, with ".csv".
  const std::string& path() const { return path_; }
  // Rows (or the header) wait in the buffer.
  bool hasPending() const { return used_ > 0; }
  // The file exists from this run (created by this writer, or continued):
  // its next block is appended, else the file is new.
  bool appends() const { return appends_; }
  // Length of the file when this writer created it and alone wrote all of
  // it without a failure; -1 otherwise.
  int64_t knownSize() const { return knownSize_; }
  // Cleared writers open their file without asking the gate.
  bool cleared() const { return cleared_; }
  void setCleared(bool cleared) { cleared_ = cleared; }

 private:
  friend class cCsvFilePool;
  friend std::unique_ptr<cCsvWriter> cCsvWriter_ctor(const cFS&, std::string_view,
                                                     std::span<const std::string_view>, bool,
                                                     cCsvFilePool*);
  cCsvWriter(const cFS& fs, std::string path, size_t columnCount, cCsvFilePool* pool);

  bool open();
  // Hands over the pending rows and closes the file, keeping the writer.
  void suspend();
  // Logs the first failure; `what` is the failed step ("write", "reopen"),
  // null when the file could not be created.
  void fail(const char* what, int err);
  // Appends one data line to pending_.
  void formatRow(double timeStamp, std::span<const double> values);
  // cCsvWriter_formatNumber of a row's time stamp.
  char* formatTimeStamp(char* out, double timeStamp);
  // Gives a buffer back where it came from: to the pool's blocks (pool set)
  // or to the heap.
  struct ReleaseBuffer {
    cBlockPool* pool;
    size_t size;
    void operator()(char* bytes) const;
  };
  using Buffer = std::unique_ptr<char[], ReleaseBuffer>;
  // Makes room for `n` more bytes in pending_.
  char* reserve(size_t n);
  // A buffer of at least *capacity bytes (set to what it holds): a full-size
  // one from the pool's blocks, a small one from the heap.
  Buffer newBuffer(size_t* capacity);
  // Hands pending_ to the file, reopening it when needed.
  bool flush();

  const cFS& fs_;
  std::string path_;
  size_t columnCount_;
  cCsvFilePool* pool_;
  std::list<cCsvWriter*>::iterator poolPos_;
  std::unique_ptr<cIO> file_;
  bool appends_ = false;
  int64_t knownSize_ = -1;
  bool cleared_ = false;
  Buffer pending_;                   // rows not yet handed to the file; reused
  size_t capacity_ = 0;              // bytes of pending_
  size_t used_ = 0;                  // bytes of pending_ in use
  // The text of each column's last value: a signal often keeps its value
  // from one row to the next, and copying its text is cheaper than
  // formatting it again.  length 0: nothing remembered.
  struct LastNumber {
    uint64_t bits = 0;
    uint8_t length = 0;
    char text[23] = {};
  };
  std::vector<LastNumber> lastNumbers_;
  // Digits of the whole seconds of the last time stamp (length 0: none).
  uint64_t lastSecond_ = 0;
  uint8_t lastSecondLength_ = 0;
  char lastSecondText_[20] = {};
  bool error_ = false;
};

// Formats `value` like printf "%f" into `out` (at least kCsvMaxNumberLength
// bytes); spells non-numbers "NaN" and infinities "Inf"/"-Inf".  Returns the
// end of the text.  Minus zero keeps its sign.
inline constexpr size_t kCsvMaxNumberLength = 330;
char* cCsvWriter_formatNumber(char* out, double value);

// A writer of the file `path` + ".csv" in `fs`, starting with the header line
// ("t" and one ",name" per column).  With `append` it continues a file this
// run already started with the same header (no header).  The file is created
// (or opened for appending) with the first block.  `fs` and `pool` (may be
// null: the file then stays open) are borrowed and must outlive the writer.
// Null for an empty path.
std::unique_ptr<cCsvWriter> cCsvWriter_ctor(const cFS& fs, std::string_view path,
                                            std::span<const std::string_view> columns,
                                            bool append = false, cCsvFilePool* pool = nullptr);
