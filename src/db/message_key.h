// Message keys: the 32-bit key under which a database stores a message.  Bit 31
// marks an extended (29-bit) CAN identifier.  Every key in the program comes
// from the three functions below; cDB_frame2key picks the one a database's
// bus kind uses.
#pragma once

#include <cstdint>

#include "db/db_kinds.h"
#include "db/j1939.h"

// Extended (low byte of `extended` non-zero): (id & 0x1FFFFFFF) | 0x80000000;
// standard: id & 0x7FF.
constexpr uint32_t cDB_can_id2key(uint32_t id, uint32_t extended) {
  return (extended & 0xFFu) != 0 ? ((id & 0x1FFFFFFFu) | 0x80000000u) : (id & 0x7FFu);
}

// J1939: an extended identifier keeps its parameter group: PDU1 (PF < 240)
// id & 0x03FF0000, PDU2 id & 0x03FFFF00 (priority, source and for PDU1 the
// destination dropped), then keyed as extended.  A standard identifier keys
// as a CAN standard identifier.
constexpr uint32_t cDB_can_pgn_id2key(uint32_t id, uint32_t extended) {
  if ((extended & 0xFFu) == 0) return cDB_can_id2key(id, 0);
  return cDB_can_id2key(cJ1939_pgn(id) << 8, 1);
}

// LIN: the 6-bit frame identifier.
constexpr uint32_t cDB_lin_id2key(uint32_t id) { return id & 0x3Fu; }

// The key of a frame's message in a database of `busKind`: J1939 keys an
// extended identifier by its parameter group, LIN by the frame identifier,
// CAN by the identifier and its format.
constexpr uint32_t cDB_frame2key(cDBBusKind busKind, uint32_t id, bool extended) {
  switch (busKind) {
    case cDBBusKind::J1939:
      return extended ? cDB_can_pgn_id2key(id, 1) : cDB_can_id2key(id, 0);
    case cDBBusKind::Lin:
      return cDB_lin_id2key(id);
    default:
      return cDB_can_id2key(id, extended ? 1 : 0);
  }
}
