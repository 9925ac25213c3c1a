#include "output/flat_messages.h"

#include <algorithm>

namespace {
constexpr uint64_t kMix = 0x9E3779B97F4A7C15u;
constexpr size_t kInitialSlots = 256;

uint64_t hashOf(const cDB& db, uint32_t key) {
  return (reinterpret_cast<uintptr_t>(&db) * kMix ^ key) * kMix;
}
}  // namespace

cFlatMessage& cFlatMessageTable::find(const cDB& db, uint32_t key) {
  const size_t mask = slots_.size() - 1;
  if (!slots_.empty()) {
    for (size_t i = hashOf(db, key) >> 32 & mask;; i = (i + 1) & mask) {
      cFlatMessage& entry = slots_[i];
      if (entry.db == &db && entry.key == key) return entry;
      if (entry.db == nullptr) break;
    }
  }
  cFlatMessage& entry = slot(db, key);
  fill(entry, db, key);
  return entry;
}

// A free slot for a new entry, growing the table to keep it at most half full.
cFlatMessage& cFlatMessageTable::slot(const cDB& db, uint32_t key) {
  if (2 * (used_ + 1) > slots_.size()) {
    std::vector<cFlatMessage> old(std::max(kInitialSlots, 2 * slots_.size()));
    old.swap(slots_);
    used_ = 0;
    for (cFlatMessage& entry : old)
      if (entry.db != nullptr) slot(*entry.db, entry.key) = entry;
  }
  const size_t mask = slots_.size() - 1;
  size_t i = hashOf(db, key) >> 32 & mask;
  while (slots_[i].db != nullptr) i = (i + 1) & mask;
  ++used_;
  slots_[i].db = &db;
  slots_[i].key = key;
  return slots_[i];
}

void cFlatMessageTable::fill(cFlatMessage& entry, const cDB& db, uint32_t key) {
  const cDBMessage* message = cDB_messageFind(&db, key);
  entry.message = message;
  if (message == nullptr || message->ignored != 0 || message->signals.empty()) return;
  for (const cDBSignal& s : message->signals)
    if (s.isMultiplexor()) return;
  entry.flat = true;
  entry.firstSignal = static_cast<uint32_t>(signals_.size());
  entry.signalCount = static_cast<uint32_t>(message->signals.size());
  for (const cDBSignal& s : message->signals)
    signals_.push_back(cFlatSignal{.params = s.params, .ignored = s.ignored != 0});
}
