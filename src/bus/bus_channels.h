// Bus channels as the output names them (CAN1, LIN2) and frame counts per
// channel, for the closing summary.  Only frames a database can decode are
// counted: CAN data frames (classic and FD) and LIN frames; remote and error
// frames are not.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

#include "bus/bus_msg.h"

// Slot of a channel: CAN channels 0-255, then LIN channels 256-511.  Frames
// that belong to no channel get a slot of kBusChannelSlots or more.
constexpr size_t kBusChannelSlots = 512;
constexpr size_t kBusLinSlot0 = 256;

inline size_t cBusChannel_slot(const cBusMsg& msg) {
  // First slot per message type: CAN data frames, LIN frames, the rest none.
  static constexpr uint16_t kFirst[] = {512, 0, 512, 512, 256, 512, 512, 512, 512};
  const auto type = static_cast<uint32_t>(msg.type);
  return (type < std::size(kFirst) ? kFirst[type] : kBusChannelSlots) + msg.channel;
}

// "CAN1", "LIN2".
std::string cBusChannel_name(size_t slot);

// An identifier as the summary and --info show it: "0x18FEF100" (eight
// digits) for an extended CAN identifier, "0x0C8" (three) for a standard
// one, "0x05" (two) for a LIN identifier.
std::string cBusChannel_identifier(uint32_t id, bool extended, bool lin);

// Frames per channel: a table look-up and an increment per frame.  The slots
// behind kBusChannelSlots take the frames of no channel.
struct cBusChannelCounts {
  std::array<uint64_t, kBusChannelSlots + 256> frames{};

  void count(const cBusMsg& msg) { ++frames[cBusChannel_slot(msg)]; }
  void add(const cBusChannelCounts& other) {
    for (size_t i = 0; i < frames.size(); ++i) frames[i] += other.frames[i];
  }
};
