// The input walker: visits every input named on the command line, descends
// into folders depth-first in byte-wise name order, picks the log files by
// extension ("mf4", "mfc", "mfe", "mfm", any letter case) and converts each
// through the layer chain.  It counts files, bytes and messages for the
// statistics and reports each input's outcome as a result code; the codes of
// all inputs are ORed together.
//
// Each converted input is a transaction of the chain's results (when a
// cInputTransaction is given): committed when the input converted, rolled
// back when it failed or the run was interrupted.  With --delete-converted an
// input is removed only after its results were committed to stable storage,
// and kept (with a warning) when it produced no row.
//
// For the closing summary it keeps every failed input with its reason and
// counts the frames of each bus channel (bus/bus_channels.h).  An observer
// (a progress display) may follow the walk; survey() tells it the totals
// beforehand.
//
// Interruption (base/interrupt.h) is noticed between frames: the unfinished
// input is rolled back and no further input is started.
//
// Result codes (base/exit_status.h): kExitOk converted or skipped;
// kExitMissingInput, kExitNoPassword (also decryption failed),
// kExitDecompression, kExitConversion (any other failure of a file, also a
// folder that cannot be read whole);
// kExitNotFileOrFolder for an input that is neither a regular file nor a
// folder, or whose type query failed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "input/log_reader_options.h"
#include "bus/bus_channels.h"
#include "bus/bus_msg.h"
#include "fs/fs.h"
#include "io/io.h"

class cMdf;
class cUnwrapCache;

// Follows the walk.  All calls come from the walking thread.
class cLogReaderObserver {
 public:
  virtual ~cLogReaderObserver() = default;
  // A log file of `size` bytes is about to be converted.
  virtual void inputStarted(uint64_t size) = 0;
  // `bytesRead` bytes of the current log file were read so far.  Called at
  // least every few thousand frames and every MiB read (also while a
  // container is unpacked).
  virtual void inputRead(uint64_t bytesRead) = 0;
  // The current log file is done (converted, skipped or failed).
  virtual void inputDone() = 0;
};

// What the walk would convert: log files and the sum of their sizes.
struct cInputTotals {
  uint64_t files = 0;
  uint64_t bytes = 0;
};

// An input that failed.
struct cInputFailure {
  std::string path;    // as the user would look for it (the root prepended)
  std::string reason;  // the first error logged for it, or what its status means
};

class cLogReader {
 public:
  // All are borrowed and must outlive the reader; `transaction` may be null
  // (results are then never taken back).
  cLogReader(cFS* inputFs, const cLogReaderOptions* options, cBusLayer* head,
             cInputTransaction* transaction);
  cLogReader(const cLogReader&) = delete;
  cLogReader& operator=(const cLogReader&) = delete;
  ~cLogReader();

  // Converts the inputs (paths relative to the input root, in command-line
  // order) and returns the OR of their result codes.  Only a failed type
  // query of a top-level input stops the walk early (kExitNotFileOrFolder).
  int32_t process(const std::vector<std::string>& inputs);

  // Walks the inputs with the same rules as process() without converting or
  // logging anything, and counts the log files it would convert.
  cInputTotals survey(const std::vector<std::string>& inputs);
  // Borrowed; null (the default) for none.
  void setObserver(cLogReaderObserver* observer) { observer_ = observer; }
  // Planning a parallel run: while set, each accepted log file (already
  // counted) goes to `visitor` with its size instead of being converted; the
  // walk, its messages and result codes are those of a conversion, and the
  // visitor's answer is the file's result code.
  using FileVisitor = std::function<int32_t(const std::string& path, uint64_t size)>;
  void setFileVisitor(FileVisitor visitor) { visitor_ = std::move(visitor); }
  // The identity of a log file (serial number, session, split, start time,
  // containers) as a conversion would read it, without converting it and
  // without log lines.  False when a conversion would fail before or at the
  // identity check.
  bool probeIdentity(const std::string& path, cLogFileInfo* info);
  // Borrowed; null (the default) for none.  While set, probeIdentity keeps
  // the unwrapped containers it reads in `cache` (as far as its budget
  // allows) and a conversion takes a file's unwrapped bytes from there
  // instead of unwrapping it again.
  void setUnwrapCache(cUnwrapCache* cache) { unwrapCache_ = cache; }
  // Makes the next file compare itself (repeated, continuation) with this
  // identity, as if it had been converted last; an empty serial number: no
  // file before.
  void setPreviousFile(const std::string& serialNumber, uint32_t session, uint32_t split) {
    previousSerialNumber_ = serialNumber;
    previousSession_ = session;
    previousSplit_ = split;
  }

  // Planning a parallel run: while set, a file whose identity reads is
  // refused ("Could not read the file's identity while planning the work").
  // Planning made such a file a unit of its own, so it may belong to a
  // session another worker or shard converts at the same time.
  void setUnreadWhilePlanning(bool unread) { unreadWhilePlanning_ = unread; }

  // Counters for the statistics.
  uint64_t files() const { return files_; }        // accepted input files
  uint64_t messages() const { return messages_; }  // messages handed to the chain
  uint64_t bytes() const { return bytes_; }        // sum of accepted file sizes
  // True when an interruption stopped the walk.
  bool interrupted() const { return interrupted_; }
  // Failed inputs in walk order.
  const std::vector<cInputFailure>& failures() const { return failures_; }
  // Frames handed to the chain, per bus channel.
  const cBusChannelCounts& channelFrames() const { return channelFrames_; }

 private:
  // Result code of one path, recursive for folders.  `known` (may be null:
  // the path is queried) is what the top-level query or, for a walk that
  // converts nothing, its folder's listing found for it.
  int32_t handleInputPath(const std::string& path, const cFSStat* known = nullptr);
  int32_t handleFolder(const std::string& path, const cFSStat& st);
  // Converts one accepted log file (already counted); returns its result code.
  int32_t convertFile(const std::string& path, const cFSStat& st);
  // Replaces `stream` by the contents of the containers it holds, as long as a
  // container header is found.  0, or the file's result code (the reason is
  // logged).
  int32_t unwrapContainers(const std::string& path, std::unique_ptr<cIO>& stream);
  // Opens a log file for conversion (a read-ahead buffer with -b) and
  // unwraps its containers, or takes its unwrapped bytes from the cache.
  // 0, or the file's result code (the reason is logged).
  int32_t openInput(const std::string& path, const cFSStat& st, std::unique_ptr<cIO>& stream);
  // Password of a device: its "%08X" entry, else "default"; null for none.
  const std::string* findPassword(uint32_t deviceId) const;
  // Logs that an unwrapped container found no room on disk; the exit status.
  int32_t failStorage(int error) const;
  // Logs that the input could not be read (the system's error); the exit
  // status.
  int32_t failRead(const std::string& path, int error) const;
  // Opens the MDF file on `stream`, checks its identity and drives the chain;
  // 0 or the file's result code; *repeated is set for a repeated file (same
  // device, session and split as the previous one), which is not converted.
  // Closes the MDF file before it returns.  *rows receives the number of
  // rows the input committed (kUnknownRows without a transaction).
  int32_t convertMdf(const std::string& path, std::unique_ptr<cIO>& stream, bool* repeated,
                     uint64_t* rows);
  // Hands one frame to the chain; false stops the file (an interruption, or
  // a failed frame, which sets *failed).
  bool deliver(cBusMsg& msg, bool* failed);
  // Commits or rolls back the input after its frames; its result code.
  int32_t finishInput(const std::string& path, int32_t result, uint64_t* rows);
  // Removes a converted input and flushes its folder.
  void removeInput(const std::string& path, uint64_t rows);
  // Start time, serial number, session and split from the header and the
  // metadata; fields stay empty or 0 when they are missing.
  static void readIdentity(const cMdf& mdf, cLogFileInfo* info);
  // Closes the MDF file, then the stream; false (logged) when the stream does
  // not close.
  static bool closeInput(const std::string& path, std::unique_ptr<cMdf>& mdf,
                         std::unique_ptr<cIO>& stream);
  // The whole path of an input path, for messages.
  std::string fullPath(const std::string& path) const;
  // Logs "Error during conversion of ...", keeps the failure with the first
  // error logged since the file was started, tells the transaction and
  // returns `code`.
  int32_t failFile(const std::string& path, int32_t code);
  // Keeps a failed input for the summary (not while surveying).
  void addFailure(const std::string& path, std::string reason);

  cFS* inputFs_;
  uint64_t bytes_ = 0;
  uint64_t messages_ = 0;
  uint64_t files_ = 0;
  const cLogReaderOptions* options_;
  cBusLayer* head_;
  cInputTransaction* transaction_;
  FileVisitor visitor_;
  bool interrupted_ = false;
  // Containers the current file came out of (set while unwrapping).
  bool unwrappedCompressed_ = false;
  bool unwrappedEncrypted_ = false;
  std::vector<uint8_t> unwrappedLayers_;  // container types, outermost first
  cUnwrapCache* unwrapCache_ = nullptr;
  bool surveying_ = false;
  cLogReaderObserver* observer_ = nullptr;
  uint64_t inputBytesRead_ = 0;  // of the current log file, while observed
  std::vector<cInputFailure> failures_;
  cBusChannelCounts channelFrames_;

  // Identity of the last file that passed the identity check; an empty serial
  // number means no file yet.
  std::string previousSerialNumber_;
  uint32_t previousSession_ = 0;
  uint32_t previousSplit_ = 0;
  // With -d, the last file that passed the identity check failed: the next
  // file continues nothing.  Its rows would otherwise be deleted with it
  // from the card but sit in files named after the failed file, which a
  // later run converting that file replaces.
  bool previousFailed_ = false;
  bool unreadWhilePlanning_ = false;

  // (device, inode) of the folders being walked, to stop at links that loop
  // back to one of them.
  std::vector<std::pair<uint64_t, uint64_t>> openFolders_;
};

// Null if any argument but `transaction` is null.
std::unique_ptr<cLogReader> cLogReader_ctor(cFS* inputFs, const cLogReaderOptions* options,
                                            cBusLayer* head,
                                            cInputTransaction* transaction = nullptr);
