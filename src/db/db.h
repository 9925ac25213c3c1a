// Message database: what one DBC file describes.  The messages of one bus kind
// keyed by a 32-bit message key (db/message_key.h), each with its signals and
// its multiplexing tree, and the decoding of a message's payload into physical
// signal values.
//
// Storage.  Messages live in an ordered map (node based), signals and ranges by
// value in vectors.  While a database is being filled, adding to a vector may
// move that vector's direct elements (not the nested ones).  Once loaded, a
// database is only read and nothing in it moves, so decoded messages and other
// modules may keep pointers and string views into it for the database's life.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "db/db_kinds.h"
#include "db/decode.h"
#include "db/message_key.h"

class cDB;
struct cDBRange;

// One signal.  A signal with at least one range is a multiplexor.
struct cDBSignal {
  std::string name;
  uint64_t nameHash = 0;  // cDB_nameHash(name)
  uint8_t ignored = 0;    // decoded, but not written out
  cDBSignalParameters params;
  cDecodeLimits limits;          // cDecode_limits(params), once
  std::vector<cDBRange> ranges;  // insertion order

  bool isMultiplexor() const { return !ranges.empty(); }
};

// The signals present while the multiplexor's value lies in [from, to].
struct cDBRange {
  uint32_t from = 0;
  uint32_t to = 0;  // from <= to
  std::vector<cDBSignal> signals;
};

// One message.  Created only by cDB_messageAdd.
struct cDBMessage {
  const cDB* owner = nullptr;
  uint32_t key = 0;
  std::string name;
  uint64_t nameHash = 0;  // cDB_nameHash(name)
  uint32_t length = 0;    // payload length in bytes, from the DBC
  uint8_t ignored = 0;    // an ignored message is never decoded
  cDBTransport transportType = cDBTransport::None;
  std::string transportParameter;  // full attribute text for MuxTp, else empty
  std::vector<cDBSignal> signals;  // top level, insertion order
};

// A database: bus kind and the messages in ascending (unsigned) key order.
class cDB {
 public:
  explicit cDB(cDBBusKind busKind) : busKind_(busKind) {}
  cDB(const cDB&) = delete;
  cDB& operator=(const cDB&) = delete;

  cDBBusKind busKind() const { return busKind_; }

  // Every message by key, ascending.  Iterating yields key and message (name,
  // length, ignored, transportType, transportParameter, signals).
  const std::map<uint32_t, cDBMessage>& messages() const { return messages_; }

  // Releases every message, signal and range.
  void clear() {
    messages_.clear();
    index_.clear();
  }

 private:
  friend cDBMessage* cDB_messageAdd(cDB*, std::string_view, uint32_t, uint32_t, cDBTransport,
                                    std::string_view, uint8_t);
  friend cDBMessage* cDB_messageFind(cDB*, uint32_t);
  friend const cDBMessage* cDB_messageFind(const cDB*, uint32_t);

  // Every frame looks its message up, so the messages are also found through
  // a hash table: open addressing, linear probing, a power-of-two size at
  // most half full; an empty slot has a null message.
  struct IndexSlot {
    uint32_t key = 0;
    cDBMessage* message = nullptr;
  };
  void indexAdd(cDBMessage* message);
  cDBMessage* indexFind(uint32_t key) const;

  cDBBusKind busKind_;
  std::map<uint32_t, cDBMessage> messages_;
  std::vector<IndexSlot> index_;
};

// Databases per bus channel, in load order.
using cDBMap = std::unordered_map<uint8_t, std::vector<std::unique_ptr<cDB>>>;

// 64-bit hash of a name's bytes (FNV-1a).  Only tells names apart; its values
// never reach a file.
uint64_t cDB_nameHash(std::string_view name);

// Inserts a message with copies of `name` and `transportParameter`, an empty
// signal list and the name's hash.  Returns the stored message, which stays
// put for the database's life.  Null for a null database, and when `key` is
// already present: fatal "Message key collision: %u (%.*s, %s)" (key, new
// name, stored name), nothing changes.
cDBMessage* cDB_messageAdd(cDB* db, std::string_view name, uint32_t key, uint32_t length,
                           cDBTransport transportType, std::string_view transportParameter,
                           uint8_t ignored);

// The message stored under `key`, or null (also for a null database).
cDBMessage* cDB_messageFind(cDB* db, uint32_t key);
const cDBMessage* cDB_messageFind(const cDB* db, uint32_t key);

// Appends a signal (copy of `name`, its hash, `params`, `ignored`, no ranges)
// to `signals` and returns it; the pointer is valid until the next add to the
// same vector.  Null for a null vector or value type None.  Names are not
// checked for duplicates.
cDBSignal* cDB_signalAdd(std::vector<cDBSignal>* signals, std::string_view name,
                         const cDBSignalParameters& params, uint8_t ignored);

// Depth-first search by exact name: each signal in order, then each of its
// ranges in order (recursively) before its next sibling.  Null when absent.
const cDBSignal* cDB_signalFind(const std::vector<cDBSignal>& signals, std::string_view name);
cDBSignal* cDB_signalFind(std::vector<cDBSignal>& signals, std::string_view name);

// Appends an empty range [from, to] and returns it (valid until the next add
// to the same vector).  Null for a null vector or from > to.  No duplicate
// check.
cDBRange* cDB_multiplexAdd(std::vector<cDBRange>* ranges, uint32_t from, uint32_t to);

// The first range with exactly these bounds, or null.
cDBRange* cDB_multiplexedFindRange(std::vector<cDBRange>& ranges, uint32_t from, uint32_t to);

// The first range (insertion order) with from <= value <= to, or null.
const cDBRange* cDB_multiplexedFindValue(const std::vector<cDBRange>& ranges, uint32_t value);

// ---------------------------------------------------------------------------
// Message decoding.

// One decoded signal.  `signal` and `name` point into the database, which must
// outlive the decoded message.
struct cDBDecodedSignal {
  const cDBSignal* signal = nullptr;
  std::string_view name;
  uint32_t nameHash = 0;      // low 32 bits of the signal's name hash
  uint8_t ignored = 0;        // copied from the signal
  uint8_t isMultiplexor = 0;  // 1 when the signal has ranges
  double value = 0.0;         // physical value
};

// The result of decoding one payload.  Owned by the caller and meant to be
// reused from frame to frame: decoding clears it but keeps its capacity, so a
// steady stream of frames allocates nothing.  The iteration of decoded
// signals (cDB_decodeSignal_begin/next/get) is plain iteration of `signals`.
struct cDBDecodedMessage {
  const cDBMessage* message = nullptr;   // the database message decoded
  std::vector<cDBDecodedSignal> signals;  // depth-first decode order

  // Forgets the contents (cDB_decodeMessageDrop), keeping the capacity.
  void clear() {
    message = nullptr;
    signals.clear();
  }
};

// Decodes `payload` as the message stored under `key` into *out (cleared
// first).  False when `out` is null, and false with *out cleared when `db` is
// null, the key is absent or the message is ignored.  Otherwise true, also when a signal fails
// to decode: each multiplexor is followed by the signals of its first range
// containing its physical value, then by its next sibling; a signal that fails
// (warning "Failed to decode signal: \"%s\"") ends its own signal list, and
// the message then gets warning "Failed to decode message: \"%s\"" and keeps
// what was decoded.
bool cDB_decodeMessage(const cDB* db, uint32_t key, std::span<const uint8_t> payload,
                       cDBDecodedMessage* out);
