// Per-run table of the messages that frames name: for each (database, key)
// the message found there and, for a message without multiplexor, a compact
// copy of its signals' decoding parameters side by side, so that a row is
// decoded from a few cache lines instead of the database's nodes.  Each entry
// also remembers the writer of its last row.
//
// The table never changes the databases; entries stay valid while the
// databases live (pointers into them).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "db/db.h"
#include "output/output_naming.h"

class cCsvWriter;

struct cFlatSignal {
  cDBSignalParameters params;
  bool ignored = false;  // decoded, but not written
};

struct cFlatMessage {
  const cDB* db = nullptr;  // null: free slot
  uint32_t key = 0;
  const cDBMessage* message = nullptr;  // null: the database has no such message
  // True when rows can be decoded from the compact signals: a message that
  // is not ignored, has signals and none of them is a multiplexor.
  bool flat = false;
  uint32_t firstSignal = 0;
  uint32_t signalCount = 0;
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
  std::span<const cFlatSignal> signals(const cFlatMessage& entry) const {
    return {signals_.data() + entry.firstSignal, entry.signalCount};
  }

 private:
  cFlatMessage& slot(const cDB& db, uint32_t key);
  void fill(cFlatMessage& entry, const cDB& db, uint32_t key);

  std::vector<cFlatMessage> slots_;
  size_t used_ = 0;
  std::vector<cFlatSignal> signals_;
};
