#include "mdf/mdf_merge.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "mdf/mdf_block_meta.h"
#include "mdf/mdf_record.h"

namespace {

// Records of one data group, read through its decoding plan.
class DataGroupSource final : public cMdfRecordSource {
 public:
  explicit DataGroupSource(const cMdfDataGroupPlan& plan) : plan_(plan), bus_(anyBusGroup(plan)) {}

  void rewind() override {
    cMdfBlock_DG_iteratorState_init(&state_);
    ended_ = false;
  }

  const cMdfRecordView* next() override {
    if (ended_) return nullptr;
    const uint64_t before = state_.position;
    const cMdfRecordView* view = cMdfDataGroupPlan_at(plan_, state_);
    // A record that does not move the position (a zero-length layout in a
    // damaged file) would be read for ever: it ends the group instead.
    if (view == nullptr || state_.position == before) {
      ended_ = true;
      return nullptr;
    }
    return view;
  }

  bool hasBusRecords() const override { return bus_; }

 private:
  // True when some channel group's records have a decoder that can yield a
  // message; the map holds the same decoders, chosen from the same rules.
  static bool anyBusGroup(const cMdfDataGroupPlan& plan) {
    const auto& groups = plan.dataGroup->channelGroups;
    for (size_t i = 0; i < groups.size(); ++i) {
      if (!groups[i] || groups[i]->isVLSD()) continue;
      cMdfDecoder decoder = nullptr;
      cMdfDecodeRule_pickFrameDecoder(plan.rules[i], decoder);
      if (decoder != cMdfDecoders_decodeGeneric) return true;
    }
    return false;
  }

  const cMdfDataGroupPlan& plan_;
  cMdfIteratorState state_;
  bool bus_;
  bool ended_ = false;
};

}  // namespace

std::unique_ptr<cMdfRecordSource> cMdfRecordSource_dataGroup(const cMdfDataGroupPlan& plan) {
  return std::make_unique<DataGroupSource>(plan);
}

std::unique_ptr<cMdfBusMsgContainer> cMdfBusMsgContainer_ctor(const cMdfDataGroupPlan& plan) {
  return std::make_unique<cMdfBusMsgContainer>(cMdfRecordSource_dataGroup(plan));
}

cMdfBusMsgContainer::cMdfBusMsgContainer(std::unique_ptr<cMdfRecordSource> source)
    : source_(std::move(source)) {}

cBusMsg* cMdfBusMsgContainer::begin() {
  atEnd_ = false;
  if (!source_ || !source_->hasBusRecords()) {
    atEnd_ = true;
    return nullptr;
  }
  source_->rewind();
  return next();
}

cBusMsg* cMdfBusMsgContainer::next() {
  if (atEnd_) return nullptr;
  // A refused record is skipped, so one step may read several records; every
  // read moves the source on, so this ends with the records.
  while (const cMdfRecordView* view = source_->next()) {
    if (view->decoder == nullptr) continue;
    msg_.data.clear();
    // The merge shifts the delivered stamp to absolute time in place; a group
    // without a time channel must not carry that shift into its next record.
    msg_.timeStamp = 0.0;
    if (view->decoder(*view, msg_)) return &msg_;
  }
  atEnd_ = true;
  return nullptr;
}

bool cMdfParallelIter::later(const Pending& a, const Pending& b) {
  // Numbers ascending, NaN after every number, ties by container order; the
  // common case (two different numbers) takes one or two comparisons.
  if (a.timeStamp < b.timeStamp) return false;
  if (b.timeStamp < a.timeStamp) return true;
  const bool aNan = std::isnan(a.timeStamp);
  if (aNan != std::isnan(b.timeStamp)) return aNan;
  return a.order > b.order;
}

// Moves heap_[i] down to its place in the min-heap.
void cMdfParallelIter::siftDown(size_t i) {
  const size_t n = heap_.size();
  const Pending item = heap_[i];
  for (;;) {
    size_t child = 2 * i + 1;
    if (child >= n) break;
    if (child + 1 < n && later(heap_[child], heap_[child + 1])) ++child;
    if (!later(item, heap_[child])) break;
    heap_[i] = heap_[child];
    i = child;
  }
  heap_[i] = item;
}

cMdfParallelIter::cMdfParallelIter(std::vector<std::unique_ptr<cMdfBusMsgContainer>> containers,
                                   double startOffset)
    : startOffset_(startOffset) {
  containers_.reserve(containers.size());
  heap_.reserve(containers.size());
  for (auto& container : containers) {
    if (!container) continue;
    const cBusMsg* first = container->begin();
    if (first == nullptr) continue;  // empty: released when `containers` goes
    heap_.push_back({first->timeStamp, static_cast<uint32_t>(containers_.size()), container.get()});
    containers_.push_back(std::move(container));
  }
  for (size_t i = heap_.size() / 2; i-- > 0;) siftDown(i);
  deliverTop();
}

void cMdfParallelIter::deliverTop() {
  if (heap_.empty()) {
    current_ = nullptr;
    return;
  }
  current_ = heap_.front().container->current();
  current_->timeStamp += startOffset_;
}

cBusMsg* cMdfParallelIter::next() {
  if (current_ == nullptr) return nullptr;
  // The container at the top delivered the current message: step it and let
  // its new stamp sink to its place (one sift instead of pop and push).
  Pending& top = heap_.front();
  if (const cBusMsg* msg = top.container->next()) {
    top.timeStamp = msg->timeStamp;
  } else {
    top = heap_.back();
    heap_.pop_back();
  }
  if (heap_.size() == 2) {
    // Two groups (a common layout): the sift is one comparison.
    if (later(heap_[0], heap_[1])) std::swap(heap_[0], heap_[1]);
  } else if (!heap_.empty()) {
    siftDown(0);
  }
  deliverTop();
  return current_;
}

std::unique_ptr<cMdfParallelIter> cMdfParallelIter_ctor(
    const cMdfBlock_ID& id, const std::vector<std::unique_ptr<cMdfDataGroupPlan>>& plans,
    cMdfClock clock) {
  const cMdfBlock_HD* hd = id.header.get();
  if (hd == nullptr) return nullptr;
  double startOffset = static_cast<double>(hd->startTimeNs) * 1e-9;
  if (clock == cMdfClock::kLoggerLocal)
    startOffset += (static_cast<double>(hd->tzOffsetMin) + hd->dstOffsetMin) * 60.0;
  std::vector<std::unique_ptr<cMdfBusMsgContainer>> containers;
  containers.reserve(plans.size());
  for (const auto& plan : plans) {
    if (plan) containers.push_back(cMdfBusMsgContainer_ctor(*plan));
  }
  return std::make_unique<cMdfParallelIter>(std::move(containers), startOffset);
}
