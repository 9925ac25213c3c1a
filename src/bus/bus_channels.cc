#include "bus/bus_channels.h"

#include <cstdio>

std::string cBusChannel_name(size_t slot) {
  const bool lin = slot >= kBusLinSlot0;
  return std::string(lin ? "LIN" : "CAN") + std::to_string(lin ? slot - kBusLinSlot0 : slot);
}

std::string cBusChannel_identifier(uint32_t id, bool extended, bool lin) {
  char text[16];
  std::snprintf(text, sizeof text, lin ? "0x%02X" : extended ? "0x%08X" : "0x%03X", id);
  return text;
}
