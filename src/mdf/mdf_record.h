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
// The decoding plan of a data group (the decoding rules of its channel groups
// and its record map: record id -> layout, rules, frame decoder) is built once
// from the loaded block tree, when a file is opened; the block tree knows
// nothing of it.  Reading a record is then one map look-up and at most three
// stream reads into buffers that are reused from record to record.  Every
// read failure ends the data group quietly: the reader sees the end of its
// records, and asks the stream (cIO::readError) whether a read failed.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "mdf/mdf_block_data.h"
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
  cMdfRecordMap() = default;
  // `single_` points into the map's own entries.
  cMdfRecordMap(const cMdfRecordMap&) = delete;
  cMdfRecordMap& operator=(const cMdfRecordMap&) = delete;

  // The layout of `id`, or null.  A map of one entry (every sorted group)
  // answers without hashing.
  const cMdfRecordInfo* find(uint64_t id) const {
    if (single_ != nullptr) return single_->recordId == id ? single_ : nullptr;
    auto it = entries_.find(id);
    return it == entries_.end() ? nullptr : &it->second;
  }
  bool empty() const { return entries_.empty(); }
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

// The decoding plan of one data group.  Built whole by
// cMdfDataGroupPlan_build and not changed afterwards: the record map points
// into `rules`.
struct cMdfDataGroupPlan {
  cMdfDataGroupPlan() = default;
  cMdfDataGroupPlan(const cMdfDataGroupPlan&) = delete;
  cMdfDataGroupPlan& operator=(const cMdfDataGroupPlan&) = delete;

  // Borrowed from the block tree, which must outlive the plan.
  const cMdfBlock_DG* dataGroup = nullptr;
  // Decoding rules of each channel group, in the order of
  // dataGroup->channelGroups.
  std::vector<std::vector<cMdfDecodeRule>> rules;
  cMdfRecordMap records;
};

// Builds the plan of `dg` (borrowed: it must outlive the plan).  Rules: the
// rules of the group's channels in channel order (see
// createDecodingRulesInner).  A group with more rules than 8 per record byte
// (data and invalidation bytes) plus 64 logs "Too many channels in channel
// group at offset %lu" (error) and keeps no rules.  Record map: a repeated
// record id stops the build (later groups stay out).  With record id size 0
// the map holds one entry under id 0: the only channel group, or, when there
// are several, the only one with a nonzero cycle count; when that is
// ambiguous the map stays empty and the group yields no records (a warning
// says so).  An unsupported record id size leaves the map empty (warning).
// Never fails; messages come in channel-group order, the record map's last.
std::unique_ptr<cMdfDataGroupPlan> cMdfDataGroupPlan_build(const cMdfBlock_DG& dg);

// The plans of every data group of the header behind `id`, in data-group
// order (empty without a header).
using cMdfDecodingPlan = std::vector<std::unique_ptr<cMdfDataGroupPlan>>;
cMdfDecodingPlan cMdfDecodingPlan_build(const cMdfBlock_ID& id);

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
  bool payloadSizeKnown = false;  // payloadSize holds the DT payload's size
  uint64_t payloadSize = 0;
};

// Position 0, buffers and read-ahead window emptied (capacity kept).  False
// for a null state.
bool cMdfBlock_DG_iteratorState_init(cMdfIteratorState* state);

// Reads the record at state.position and moves the position past it (and past
// a VLSD record that belongs to it).  Returns the record view, valid until the
// next read with this state; null at the end of the records or on any read
// failure (which ends the group).  VLSD data over 128 bytes logs "Unexpectedly
// large record: %u" and is not read (the view's VLSD bytes hold the length
// only).
const cMdfRecordView* cMdfDataGroupPlan_at(const cMdfDataGroupPlan& plan, cMdfIteratorState& state);

