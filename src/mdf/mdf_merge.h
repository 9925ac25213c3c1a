// Time-ordered merge of the bus frames of an MDF file.
//
// A logger file keeps its bus events in several data groups (CAN data frames,
// remote frames, error frames, LIN frames, possibly per channel), each in its
// own time order.  cMdfParallelIter reads every data group through its own
// frame container and always delivers the pending message with the earliest
// time stamp, shifted to absolute time: seconds since 1970 on the logger's
// local clock (UTC plus the header's time-zone and daylight-saving offsets),
// or in UTC when asked for.
//
// The merge keeps a binary heap of containers keyed by their pending time
// stamp; every container reuses one message and the record buffers of its
// reader, so delivering a message allocates nothing once buffers have grown.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "bus/bus_msg.h"
#include "mdf/mdf_decoders.h"

class cMdfBlock_ID;
struct cMdfDataGroupPlan;

// Where a container's records come from: normally one data group of the
// file, read through its decoding plan (cMdfRecordSource_dataGroup); tests
// substitute their own.
class cMdfRecordSource {
 public:
  virtual ~cMdfRecordSource() = default;
  // Goes back to the first record.
  virtual void rewind() = 0;
  // The next record, or null at the end of the records (also after any read
  // failure; the end is final until rewind).  The view stays valid until the
  // next call.
  virtual const cMdfRecordView* next() = 0;
  // False when no record can yield a message (every channel group has the
  // generic decoder), so the container need not read them.
  virtual bool hasBusRecords() const { return true; }
};

// Records of the data group of `plan`, read with cMdfDataGroupPlan_at.  The
// plan (and so its block tree) is borrowed and must outlive the source.
// Never null.
std::unique_ptr<cMdfRecordSource> cMdfRecordSource_dataGroup(const cMdfDataGroupPlan& plan);

// Frame container: reads records from its source and decodes each with the
// record's decoder into one reused message.
class cMdfBusMsgContainer {
 public:
  explicit cMdfBusMsgContainer(std::unique_ptr<cMdfRecordSource> source);
  cMdfBusMsgContainer(const cMdfBusMsgContainer&) = delete;
  cMdfBusMsgContainer& operator=(const cMdfBusMsgContainer&) = delete;

  // Rewinds and steps to the first message; null when there is none.
  cBusMsg* begin();
  // Steps to the next message; null at the end.  A record that its decoder
  // refuses is skipped (never delivered, never ends the container early).
  // Once at the end, stays there until begin().
  cBusMsg* next();
  // The message of the last step, or null at the end.  Owned by the
  // container, valid until its next step.
  cBusMsg* current() { return atEnd_ ? nullptr : &msg_; }

 private:
  std::unique_ptr<cMdfRecordSource> source_;
  cBusMsg msg_;
  bool atEnd_ = true;
};

// Container for the data group of `plan` (borrowed; must outlive the
// container).
std::unique_ptr<cMdfBusMsgContainer> cMdfBusMsgContainer_ctor(const cMdfDataGroupPlan& plan);

// The merge over all containers of a file.
class cMdfParallelIter {
 public:
  // Merges `containers` (taken over; empty ones are released at once),
  // adding `startOffset` seconds to every delivered time stamp.  The first
  // message is current afterwards.  Messages with equal time stamps come out
  // in container order; a NaN time stamp orders after every number.
  cMdfParallelIter(std::vector<std::unique_ptr<cMdfBusMsgContainer>> containers,
                   double startOffset);
  cMdfParallelIter(const cMdfParallelIter&) = delete;
  cMdfParallelIter& operator=(const cMdfParallelIter&) = delete;

  // The message delivered last, with its absolute time stamp, or null when
  // the merge is exhausted.  Owned by its container; valid until next().
  cBusMsg* current() { return current_; }
  // Makes the next message current (null when all containers are exhausted;
  // further calls change nothing).  Returns current().
  cBusMsg* next();

 private:
  struct Pending {
    double timeStamp;  // before the start offset is added
    uint32_t order;    // container index: equal time stamps keep file order
    cMdfBusMsgContainer* container;
  };
  static bool later(const Pending& a, const Pending& b);
  void siftDown(size_t i);
  void deliverTop();

  std::vector<std::unique_ptr<cMdfBusMsgContainer>> containers_;
  std::vector<Pending> heap_;  // min-heap by (timeStamp, order)
  cBusMsg* current_ = nullptr;
  double startOffset_ = 0.0;
};

// The clock of the merged time stamps: the logger's local clock (the
// header's start time plus its time-zone and daylight-saving offsets) or UTC
// (the header's start time alone).
enum class cMdfClock { kLoggerLocal, kUtc };

// The merge of the data groups of `plans` (one container per plan, in
// order), the file behind `id`: start offset = header start time (ns) * 1e-9,
// plus (time-zone + daylight-saving minutes) * 60 on the logger's local clock
// whatever the header's time flags say.  Null when there is no header block.
// The block tree and the plans must outlive the merge.
std::unique_ptr<cMdfParallelIter> cMdfParallelIter_ctor(
    const cMdfBlock_ID& id, const std::vector<std::unique_ptr<cMdfDataGroupPlan>>& plans,
    cMdfClock clock = cMdfClock::kLoggerLocal);
