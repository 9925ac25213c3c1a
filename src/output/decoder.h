// Decoder layer: the end of the chain.  Decodes every CAN and LIN message
// with the databases of its channel and writes one CSV row per decoded
// message into the file of its signal set.
//
// Per message and database: the message key by the database's bus kind (J1939
// keys by parameter group and keeps source and destination addresses in the
// message's identity), decoding, then the limit check: a value outside
// [minimum, maximum] (widened by the rounding of its computation,
// cDecode_limits) becomes NaN unless both limits are 0.  A row is written
// only when at least one value is within its limits.  Writers stay open
// across the files of one session while concatenation applies; they are
// closed at a file that does not continue the previous one, when the date of
// the messages' time stamps changes (taken as a UTC date: on the logger's
// local clock the day folders follow that clock), by closeWriters() and at
// destruction.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "bus/bus_msg.h"
#include "db/db.h"
#include "output/decode_tally.h"
#include "output/flat_messages.h"
#include "output/output_naming.h"
#include "output/row_thread.h"

class cFS;

struct cDecoderStatistics {
  uint64_t files = 0;     // writers created
  uint64_t messages = 0;  // rows handed to writers
  uint64_t signals = 0;   // values within their limits
};

// How the decoder names, continues and confirms its output files.
struct cDecoderOptions {
  bool noAppendRoot = false;  // no "_out" after the device folder name
  bool concat = true;         // a session's later split files continue its files
  bool pgnSrcMerge = false;   // one file for all J1939 source addresses of a group
  bool pgnDstMerge = true;    // one file for all J1939 destination addresses
  // Open CSV files at one time; 0 takes cWriterSet_defaultMaxOpenFiles().
  size_t maxOpenFiles = 0;
  // File name of the output journal in the output root (empty: the default,
  // kOutputJournalName); decoders converting into one folder at the same
  // time need names of their own.
  std::string journalName{};
  // Rows are formatted and written by a thread of their own while this one
  // reads and decodes (output/row_thread.h): for a processor that would
  // otherwise stay idle.
  bool writeThread = false;
  // Processors of the run that have nothing to convert (borrowed, may be
  // null).  Without a writing thread, the decoder looks every 4,096
  // messages and takes one when there is one: from that row on, a thread
  // of its own writes the rows.
  std::atomic<uint32_t>* spareProcessors = nullptr;
};

class cDecoder final : public cBusLayer, public cInputTransaction {
 public:
  // All pointers are borrowed and must outlive the decoder; `outputFs` is
  // where the CSV files and the output journal go.
  cDecoder(cFS* outputFs, const cDBMap* canDatabases, const cDBMap* linDatabases,
           const cDecoderOptions& options);
  ~cDecoder() override;

  // Counts of committed inputs only.
  const cDecoderStatistics& getStatistics() const { return statistics_; }
  // Messages decoded and identifiers not known, per channel and database.
  const cDecodeTally& tally() const { return tally_; }

  // Rolls back what an earlier run left unfinished in the output tree (see
  // output/output_journal.h).  False (logged) when that fails: nothing may
  // be converted into the tree then.
  [[nodiscard]] bool recoverOutput() {
    settle();
    return writers_.recover();
  }

  // Commits what is pending and closes every open CSV file.  False when any
  // output file of this run could not be created or written; the reason was
  // logged with the file's path.  Call it after the last file, before
  // hadWriteError().
  bool closeWriters();
  // True once any output file of this run could not be created or written
  // (disk full, folder not writable).  Sticky; the driver turns it into the
  // "other conversion failure" bit (8) of the exit status.
  bool hadWriteError() const { return writers_.hadWriteError(); }

  // newMsg, newFile and endFile always return true.
  bool newMsg(cBusMsg& msg) override;
  bool newFile(const cLogFileInfo& info, bool continuation) override;
  bool endFile(const cLogFileInfo& info) override;

  // The input's rows: made final or taken back (see cWriterSet).
  void begin(const std::string& inputPath) override {
    settle();
    writers_.begin(inputPath);
  }
  bool commit(bool forDeletion) override;
  void finish() override {
    settle();
    writers_.finish();
  }
  void rollback() override;
  uint64_t pendingRows() const override { return pending_.messages; }

 private:
  // True when `db` knows the message (see cDecodeTally).
  bool decodeWith(const cDB& db, const cBusMsg& msg);
  // The row of a message without multiplexor (entry.flat), its values taken
  // straight from the payload through the compact signal table: the same row
  // as the general path, without building the decoded-signal list.  False
  // (nothing done) when a signal does not decode: the general path, which
  // reports it, takes over.
  bool writeFlatRow(const cDB& db, cFlatMessage& entry, const cBusMsg& msg, uint32_t key);
  // The writer of the decoded message's signal set; null when it cannot be
  // created.  Remembers the answer per message, multiplexor value and
  // addresses, so that a message's next row with the same identity and
  // signals on the same day finds it without building the signal-set key.
  cCsvWriter* writerFor(const cMessageIdentity& identity);
  // Hands the row (values_) to `writer`, directly or through the writing
  // thread.
  void emitRow(cCsvWriter* writer, double timeStamp) {
    if (rowThread_) rowThread_->write(writer, timeStamp, values_);
    else (void)writer->write(timeStamp, values_);  // failures are logged there
  }
  // Waits until the writing thread (if any) is done with the rows handed
  // over: before anything else touches the writers or the journal.
  void settle() {
    if (rowThread_) rowThread_->drain();
  }
  // Starts the writing thread when a spare processor can be taken.
  void takeSpareProcessor();
  // Moves the current date to that of `timeStamp`, closing all writers when
  // it changes.
  void checkDate(double timeStamp);

  const cDBMap* canDatabases_;
  const cDBMap* linDatabases_;
  // Per channel number, the channel's databases in the map (null: not
  // looked up yet, or none).
  using DatabaseLists = std::array<const std::vector<std::unique_ptr<cDB>>*, 256>;
  DatabaseLists canLists_{};
  DatabaseLists linLists_{};
  bool concat_;
  cOutputNaming naming_;
  cWriterSet writers_;
  int64_t dayStart_ = 1;  // whole seconds of the current UTC day: [dayStart_, dayEnd_)
  int64_t dayEnd_ = 0;    // empty until the first message
  // The time stamps that print a second of the current day whatever their
  // rounding: [insideFrom_, insideTo_).
  double insideFrom_ = 1;
  double insideTo_ = 0;
  std::string inputPath_;       // of the current input, for messages
  bool undatedWarned_ = false;  // about the current input's time stamps
  cDBDecodedMessage decoded_;  // reused for every message
  cFlatMessageTable flatMessages_;
  std::vector<double> values_;  // reused row values
  cDecoderStatistics statistics_;  // committed inputs
  cDecoderStatistics pending_;     // the input being converted
  cDecodeTally tally_;
  struct CachedWriter {
    uint64_t cacheKey = 0;
    bool used = false;
    uint64_t generation = 0;  // cWriterSet::generation() when found
    cMessageIdentity identity;
    std::vector<uint32_t> signalHashes;
    // Set when the entry was filled from a complete row of this message
    // without multiplexor: its signal set is then the message's.
    const cDBMessage* flatMessage = nullptr;
    cCsvWriter* writer = nullptr;
  };
  // The slot of `cacheKey`, claimed when new.  Open addressing with linear
  // probing in a power-of-two table at most half full: one multiply and
  // usually one probe per row.
  CachedWriter& cachedWriter(uint64_t cacheKey);
  // The cache key of a message's rows: the message, its multiplexor value
  // (null: none) and the J1939 addresses.
  static uint64_t writerCacheKey(const cDBMessage* message, const double* multiplexorValue,
                                 const cMessageIdentity& identity);
  // True when `cached` holds the writer of this identity and signal list on
  // the current day.
  bool cachedWriterMatches(const CachedWriter& cached, const cMessageIdentity& identity,
                           const std::vector<cDBDecodedSignal>& signals) const;
  // Finds the writer of decoded_'s signal set and remembers it in `cached`.
  void fillCachedWriter(CachedWriter& cached, const cMessageIdentity& identity);
  std::vector<CachedWriter> writerCache_;
  size_t writerCacheUsed_ = 0;
  std::atomic<uint32_t>* spareProcessors_;
  uint32_t sinceSpareCheck_ = 0;  // messages since the last look
  // After writers_: destroyed first, handing its last rows to the writers.
  std::unique_ptr<cRowWriterThread> rowThread_;
};

// A new decoder with no writers and zero statistics; null without `outputFs`.
std::unique_ptr<cDecoder> cDecoder_ctor(cFS* outputFs, const cDBMap* canDatabases,
                                        const cDBMap* linDatabases,
                                        const cDecoderOptions& options);
