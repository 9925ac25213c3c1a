// Per-run table of the messages that frames name: for each (database, key)
// the message found there and, for a message without multiplexor, a compact
// copy of its signals' decoding parameters side by side, so that a row is
// decoded from a few cache lines instead of the database's nodes.  Each entry
// also remembers the writer of its last row.
//
// The table never changes the databases; entries stay valid while the
// databases live (pointers into them).  An entry's signals never move once
// made, so a writing thread may decode rows from them while the table grows.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "db/db.h"
#include "output/output_naming.h"

class cCsvWriter;

struct cFlatSignal {
  cDBSignalParameters params;
  bool ignored = false;  // decoded, but not written
  // One-load extraction from a payload of the entry's fastLength: the eight
  // bytes at `load` as an integer of the signal's byte order, shifted left
  // by `left` and back right by 64 - bit length (arithmetically for signed
  // signals, which extends the sign).
  uint8_t load = 0;
  uint8_t left = 0;
  bool bigEndian = false;
  bool isSigned = false;
  cDecodeLimits limits;
};

struct cFlatMessage {
  const cDB* db = nullptr;  // null: free slot
  uint32_t key = 0;
  const cDBMessage* message = nullptr;  // null: the database has no such message
  // The message's name hash and whether it is ignored, and the database's
  // bus kind, kept here so that a row touches neither the message nor the
  // database.
  uint64_t nameHash = 0;
  cDBBusKind busKind = cDBBusKind::Can;
  bool ignored = false;  // the message is never decoded
  // True when rows can be decoded from the compact signals: a message that
  // is not ignored, has signals and none of them is a multiplexor.
  bool flat = false;
  // signalCount signals in the message's order, then again the valueCount
  // of them not ignored: the row's values.
  const cFlatSignal* signals = nullptr;
  uint32_t signalCount = 0;
  uint32_t valueCount = 0;
  // Payload length (bytes) for which every signal has its one-load
  // extraction; 0: none (a float or double signal, a field past the
  // message's length).
  uint8_t fastLength = 0;
  // True when no payload of fastLength bytes has a value outside its
  // limits: the row is whole, and its counts are known before decoding it.
  bool alwaysInLimits = false;
  // The writer of the last row and what it was found for: valid while the
  // writer set's generation and the identity are the same.
  uint64_t generation = 0;
  cMessageIdentity identity;
  cCsvWriter* writer = nullptr;
};

class cFlatMessageTable {
 public:
  // The entry of `key` in `db`, made on first use.  The reference stays
  // valid until the next find().
  cFlatMessage& find(const cDB& db, uint32_t key);
  static std::span<const cFlatSignal> signals(const cFlatMessage& entry) {
    return {entry.signals, entry.signalCount};
  }
  // The signals of the row's values (see cFlatSignals_fastRow).
  static std::span<const cFlatSignal> valueSignals(const cFlatMessage& entry) {
    return {entry.signals + entry.signalCount, entry.valueCount};
  }
  // The row of a flat entry: each value not ignored in *values (resized to
  // valueCount), NaN where it is outside its limits (unless both limits are
  // 0).  Returns the number of values within their limits; -1 when a signal
  // does not decode from `payload` (*values is then unspecified).
  int64_t row(const cFlatMessage& entry, std::span<const uint8_t> payload,
              std::vector<double>* values) const;

 private:
  cFlatMessage& slot(const cDB& db, uint32_t key);
  void fill(cFlatMessage& entry, const cDB& db, uint32_t key);
  // row() for a payload of any other length than the entry's fastLength.
  static int64_t checkedRow(const cFlatMessage& entry, std::span<const uint8_t> payload,
                            double* out);
  // Sets the one-load extraction of the entry's signals for the message's
  // DBC length, or leaves fastLength 0.
  static void compile(cFlatMessage& entry, std::span<cFlatSignal> signals, uint32_t length);

  std::vector<cFlatMessage> slots_;
  size_t used_ = 0;
  std::vector<std::unique_ptr<cFlatSignal[]>> signalArrays_;  // one per flat entry
};

// The row of a payload of the entry's fastLength through its valueSignals():
// `bytes` holds the payload, zero-padded to 8 bytes when shorter.  Writes
// the values to out[] (NaN outside its limits, unless both are 0) and
// returns the number within their limits.
int64_t cFlatSignals_fastRow(std::span<const cFlatSignal> valueSignals, const uint8_t* bytes,
                             double* out);
