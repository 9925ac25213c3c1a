#include "output/decode_tally.h"

#include <algorithm>

void cDecodeTally::countFurtherDatabase(size_t slot, size_t index) {
  ++furtherDatabases_[uint64_t{slot} << 32 | index];
}

uint64_t cDecodeTally::decodedBy(size_t slot, size_t index) const {
  if (slot >= kBusChannelSlots) return 0;
  if (index < kInlineDatabases) return firstDatabases_[slot][index];
  auto it = furtherDatabases_.find(uint64_t{slot} << 32 | index);
  return it == furtherDatabases_.end() ? 0 : it->second;
}

void cDecodeTally::add(const cDecodeTally& other) {
  for (size_t slot = 0; slot < kBusChannelSlots; ++slot) {
    decoded_[slot] += other.decoded_[slot];
    unknown_[slot] += other.unknown_[slot];
    for (size_t i = 0; i < kInlineDatabases; ++i)
      firstDatabases_[slot][i] += other.firstDatabases_[slot][i];
  }
  for (const auto& [key, count] : other.furtherDatabases_) furtherDatabases_[key] += count;
  for (const auto& [key, count] : other.identifiers_) {
    auto it = identifiers_.find(key);
    if (it != identifiers_.end())
      it->second += count;
    else if (identifiers_.size() < kMaxIdentifiers)
      identifiers_.emplace(key, count);
  }
}

void cDecodeTally::countUnknown(const cBusMsg& msg, size_t slot) {
  ++unknown_[slot];
  const bool extended = msg.type == cBusMsgType::BUS_MSG_CAN_DATA_FRAME && msg.can.ide;
  const uint64_t key = uint64_t{slot} << 32 | uint64_t{extended} << 31 | (msg.id & 0x7FFFFFFFu);
  auto it = identifiers_.find(key);
  if (it != identifiers_.end())
    ++it->second;
  else if (identifiers_.size() < kMaxIdentifiers)
    identifiers_.emplace(key, 1);
}

std::vector<cIdentifierCount> cDecodeTally::unknownIdentifiers(size_t slot) const {
  std::vector<cIdentifierCount> found;
  for (const auto& [key, frames] : identifiers_) {
    if (key >> 32 != slot) continue;
    found.push_back({static_cast<uint32_t>(key & 0x7FFFFFFFu), ((key >> 31) & 1) != 0, frames});
  }
  std::sort(found.begin(), found.end(), [](const cIdentifierCount& a, const cIdentifierCount& b) {
    if (a.frames != b.frames) return a.frames > b.frames;
    if (a.extended != b.extended) return !a.extended;
    return a.id < b.id;
  });
  return found;
}
