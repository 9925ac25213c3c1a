#include "db/db.h"

#include <algorithm>

#include "base/log.h"

uint64_t cDB_nameHash(std::string_view name) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (unsigned char c : name) {
    hash ^= c;
    hash *= 0x100000001B3ull;
  }
  return hash;
}

namespace {
constexpr size_t kInitialIndexSlots = 64;

size_t slotOf(uint32_t key, size_t mask) {
  return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}
}  // namespace

void cDB::indexAdd(cDBMessage* message) {
  if (2 * messages_.size() > index_.size()) {
    index_.assign(std::max(kInitialIndexSlots, 2 * index_.size()), IndexSlot{});
    for (auto& [key, stored] : messages_)
      if (&stored != message) indexAdd(&stored);
  }
  const size_t mask = index_.size() - 1;
  size_t i = slotOf(message->key, mask);
  while (index_[i].message != nullptr) i = (i + 1) & mask;
  index_[i] = IndexSlot{message->key, message};
}

cDBMessage* cDB::indexFind(uint32_t key) const {
  if (index_.empty()) return nullptr;
  const size_t mask = index_.size() - 1;
  for (size_t i = slotOf(key, mask); index_[i].message != nullptr; i = (i + 1) & mask)
    if (index_[i].key == key) return index_[i].message;
  return nullptr;
}

cDBMessage* cDB_messageAdd(cDB* db, std::string_view name, uint32_t key, uint32_t length,
                           cDBTransport transportType, std::string_view transportParameter,
                           uint8_t ignored) {
  if (db == nullptr) return nullptr;
  auto found = db->messages_.find(key);
  if (found != db->messages_.end()) {
    LOG_FATAL("Message key collision: %u (%.*s, %s)", key, static_cast<int>(name.size()),
              name.data(), found->second.name.c_str());
    return nullptr;
  }
  cDBMessage& message = db->messages_[key];
  message.owner = db;
  message.key = key;
  message.name.assign(name);
  message.nameHash = cDB_nameHash(name);
  message.length = length;
  message.ignored = ignored;
  message.transportType = transportType;
  message.transportParameter.assign(transportParameter);
  db->indexAdd(&message);
  return &message;
}

cDBMessage* cDB_messageFind(cDB* db, uint32_t key) {
  if (db == nullptr) return nullptr;
  return db->indexFind(key);
}

const cDBMessage* cDB_messageFind(const cDB* db, uint32_t key) {
  // The look-up changes nothing; one body serves both forms.
  return cDB_messageFind(const_cast<cDB*>(db), key);
}

cDBSignal* cDB_signalAdd(std::vector<cDBSignal>* signals, std::string_view name,
                         const cDBSignalParameters& params, uint8_t ignored) {
  if (signals == nullptr || params.valueType == cDBValueType::None) return nullptr;
  cDBSignal& signal = signals->emplace_back();
  signal.name.assign(name);
  signal.nameHash = cDB_nameHash(name);
  signal.ignored = ignored;
  signal.params = params;
  signal.limits = cDecode_limits(params);
  return &signal;
}

cDBSignal* cDB_signalFind(std::vector<cDBSignal>& signals, std::string_view name) {
  for (cDBSignal& signal : signals) {
    if (signal.name == name) return &signal;
    for (cDBRange& range : signal.ranges) {
      if (cDBSignal* nested = cDB_signalFind(range.signals, name)) return nested;
    }
  }
  return nullptr;
}

const cDBSignal* cDB_signalFind(const std::vector<cDBSignal>& signals, std::string_view name) {
  // The search changes nothing; one body serves both forms.
  return cDB_signalFind(const_cast<std::vector<cDBSignal>&>(signals), name);
}

cDBRange* cDB_multiplexAdd(std::vector<cDBRange>* ranges, uint32_t from, uint32_t to) {
  if (ranges == nullptr || from > to) return nullptr;
  cDBRange& range = ranges->emplace_back();
  range.from = from;
  range.to = to;
  return &range;
}

cDBRange* cDB_multiplexedFindRange(std::vector<cDBRange>& ranges, uint32_t from, uint32_t to) {
  for (cDBRange& range : ranges) {
    if (range.from == from && range.to == to) return &range;
  }
  return nullptr;
}

const cDBRange* cDB_multiplexedFindValue(const std::vector<cDBRange>& ranges, uint32_t value) {
  for (const cDBRange& range : ranges) {
    if (range.from <= value && value <= range.to) return &range;
  }
  return nullptr;
}
