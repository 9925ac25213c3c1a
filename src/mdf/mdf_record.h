// Record access within an MDF 4 data group.
//
// A data group keeps the records of its channel groups in one data block
// (##DT).  A sorted group has record id size 0 and the records of one channel
// group back to back; an unsorted group prefixes every record with a record id
// of 1, 2, 4 or 8 bytes (little-endian) and interleaves the records of several
// channel groups.  Records of a variable-length signal-data (VLSD) channel
// group are a u32 length and that many bytes; a channel's VLSD bytes may also
// lie in a signal-data block (##SD), addressed by the channel's value.
//
// When a data group is loaded, its record map (record id -> layout, decoding
// rules, frame decoder) is built once; reading a record is then one map look-up
// and at most three stream reads into buffers that are reused from record to
// record.  Every read failure ends the data group quietly: the reader sees the
// end of its records.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "mdf/mdf_block.h"
#include "mdf/mdf_decoders.h"

// Layout of the records of one channel group.
struct cMdfRecordInfo {
  static constexpr uint32_t kVlsd = 0xFFFFFFFFu;  // record length of a VLSD group

  uint64_t recordId = 0;
  // Bytes after the record id: data bytes plus invalidation bytes, or kVlsd.
  uint32_t recordLength = 0;
  const std::vector<cMdfDecodeRule>* rules = nullptr;  // null for a VLSD group
  cMdfDecoder decoder = nullptr;                       // null for a VLSD group
  // First rule with a VLSD data link (index into *rules), or -1.
  int32_t vlsdRule = -1;
  // Record id of the VLSD channel group that rule points to (when it points
  // to a channel group).
  uint64_t vlsdRecordId = 0;
};

// Record id -> layout, one entry per channel group of a data group.
class cMdfRecordMap {
 public:
  // The layout of `id`, or null.  A map of one entry (every sorted group)
  // answers without hashing.
  const cMdfRecordInfo* find(uint64_t id) const {
    if (single_ != nullptr) return single_->recordId == id ? single_ : nullptr;
    auto it = entries_.find(id);
    return it == entries_.end() ? nullptr : &it->second;
  }
  bool empty() const { return entries_.empty(); }
  size_t size() const { return entries_.size(); }
  void clear() {
    entries_.clear();
    single_ = nullptr;
  }
  // False (and nothing stored) when `id` is already present.
  bool insert(const cMdfRecordInfo& info) {
    auto [it, added] = entries_.emplace(info.recordId, info);
    single_ = entries_.size() == 1 ? &it->second : nullptr;
    return added;
  }

 private:
  std::unordered_map<uint64_t, cMdfRecordInfo> entries_;
  const cMdfRecordInfo* single_ = nullptr;  // the entry while there is exactly one
};

// One reader's position in a data group and the buffers of its last record.
// Each reader keeps its own read-ahead window over the data block's payload,
// so that readers of several data groups of one file, interleaved by the
// merge, do not evict each other's data from a shared stream buffer.
struct cMdfIteratorState {
  static constexpr size_t kWindowBytes = 64 * 1024;

  uint64_t position = 0;        // offset of the next record in the DT payload
  cMdfRecordView view;          // what the last successful read produced
  std::vector<uint8_t> record;  // data bytes of the current record (no id)
  std::vector<uint8_t> vlsd;    // empty, or u32 LE length + VLSD bytes
  std::vector<uint8_t> window;  // payload bytes [windowStart, windowStart + windowFill)
  uint64_t windowStart = 0;
  size_t windowFill = 0;
};

// Position 0, buffers and read-ahead window emptied (capacity kept).  False
// for a null state.
bool cMdfBlock_DG_iteratorState_init(cMdfIteratorState* state);

// Rebuilds the record map of `dg` from its channel groups and their decoding
// rules.  A repeated record id stops the build (later groups stay out).  With
// record id size 0 the map holds one entry under id 0: the only channel group,
// or, when there are several, the only one with a nonzero cycle count; when
// that is ambiguous the map stays empty and the group yields no records (a
// warning says so).
void cMdfBlock_DG_updateRecordMap(cMdfBlock_DG& dg);

// Reads the record at state.position and moves the position past it (and past
// a VLSD record that belongs to it).  Returns the record view, valid until the
// next read with this state; null at the end of the records or on any read
// failure (which ends the group).  VLSD data over 128 bytes logs "Unexpectedly
// large record: %u" and is not read (the view's VLSD bytes hold the length
// only).
const cMdfRecordView* cMdfBlock_DG_at(const cMdfBlock_DG& dg, cMdfIteratorState& state);

// True when the record id size is 0 and there is exactly one channel group.
bool cMdfBlock_DG_isSorted(const cMdfBlock_DG& dg);

// Random access: the record at payload offset `offset`.  Sets recordId and
// fills bytes (for a VLSD record: the 4 length bytes and the data).  Returns
// the bytes the record occupies in the payload (id included), or -1.
struct cMdfRawRecord {
  uint64_t recordId = 0;
  std::vector<uint8_t> bytes;
};
int64_t cMdfBlock_DG_getRecordDataRaw(const cMdfBlock_DG& dg, uint64_t offset, cMdfRawRecord& out);
