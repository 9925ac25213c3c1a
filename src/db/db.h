// Message database: the messages of one DBC file keyed by message key, with
// their signals and multiplexing trees.  (Placeholder interface: the database
// proper is being written.)
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "db/message_key.h"

class cDB {
 public:
  explicit cDB(uint32_t busKind) : busKind_(busKind) {}
  uint32_t busKind() const { return busKind_; }

 private:
  uint32_t busKind_;  // 1 CAN, 2 J1939, 3 LIN
};

// Databases per bus channel, in load order.
using cDBMap = std::unordered_map<uint8_t, std::vector<std::unique_ptr<cDB>>>;
