// CSV writer: one output file of decoded values.
//
// File format: plain ASCII, "\n" line ends, no quoting.  The header line is
// "t" followed by ",<name>" per column; each data line is the time stamp and
// then one value per column, every number printed like printf's "%f" (fixed,
// six decimals), non-numbers as "NaN" and infinities as "Inf" / "-Inf".
//
// Rows are collected in the writer's own buffer and handed to the file in
// blocks of about 16 KiB (and at close).  A decoder may hold thousands of
// writers at once (one per signal set), more than the process may keep files
// open.  Writers that share a cCsvFilePool keep at most the pool's limit of
// files open: when another writer needs a file, the least recently flushed one
// hands over its rows and closes its file, and reopens it for appending at its
// next block.  No row is lost that way, and a writer without an open file
// costs only its buffer.
//
// Write errors (a full disk, for example) are logged once per writer with the
// file's path and remembered: close() and hadError() report them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class cCsvWriter;

// Limits the number of open files of the writers that use it.  Must outlive
// every writer created with it.  Single-threaded.
class cCsvFilePool {
 public:
  // `maxOpen` below 1 is taken as 1.
  explicit cCsvFilePool(size_t maxOpen);
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
  std::list<cCsvWriter*> lru_;  // front: most recently written
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

  // True once any write, flush, reopen or close of this writer has failed.
  bool hadError() const { return error_; }

 private:
  friend class cCsvFilePool;
  friend std::unique_ptr<cCsvWriter> cCsvWriter_ctor(std::string_view, std::span<const std::string_view>,
                                                     bool, cCsvFilePool*);
  cCsvWriter(std::string path, size_t columnCount, cCsvFilePool* pool);

  bool open(const char* mode);
  // Hands over the pending rows and closes the file, keeping the writer.
  void suspend();
  void fail(const char* what, int err);
  // Appends one data line to pending_.
  void formatRow(double timeStamp, std::span<const double> values);
  // Makes room for `n` more bytes in pending_.
  char* reserve(size_t n);
  // Hands pending_ to the file, reopening it when needed.
  bool flush();

  std::string path_;
  size_t columnCount_;
  cCsvFilePool* pool_;
  std::list<cCsvWriter*>::iterator poolPos_;
  FILE* file_ = nullptr;
  std::vector<char> pending_;  // rows not yet handed to the file; reused
  size_t used_ = 0;            // bytes of pending_ in use
  bool error_ = false;
};

// Formats `value` like printf "%f" into `out` (at least kCsvMaxNumberLength
// bytes); spells non-numbers "NaN" and infinities "Inf"/"-Inf".  Returns the
// end of the text.  Minus zero keeps its sign.
inline constexpr size_t kCsvMaxNumberLength = 330;
char* cCsvWriter_formatNumber(char* out, double value);

// Creates the file `path` + ".csv" and writes the header line ("t" and one
// ",name" per column).  With `append` the file is opened for appending and no
// header is written (for a file this run already started with the same
// header).  `pool` (may be null: the file then stays open) is borrowed and
// must outlive the writer.  Null when the file cannot be opened (logged by the
// caller).
std::unique_ptr<cCsvWriter> cCsvWriter_ctor(std::string_view path,
                                            std::span<const std::string_view> columns,
                                            bool append = false, cCsvFilePool* pool = nullptr);
