// SAE J1939 identifiers.  A 29-bit identifier holds, from the top: priority
// (3 bits), extended data page and data page (1 each), PDU format (8), PDU
// specific (8) and the source address (8).  Below PDU format 240 (PDU1) the
// PDU specific byte is a destination address; from 240 on (PDU2) it extends
// the parameter group number.
#pragma once

#include <cstdint>

inline constexpr uint32_t kJ1939Pdu2FormatMin = 240;

// Parameter groups of the transport protocol: connection management (TP.CM)
// and data transfer (TP.DT).
inline constexpr uint32_t kJ1939PgnTpConnection = 0xEC00;    // 60416
inline constexpr uint32_t kJ1939PgnTpDataTransfer = 0xEB00;  // 60160
// Largest message of the transport protocol: 255 packets of 7 bytes.
inline constexpr uint32_t kJ1939TpMaxPayload = 255 * 7;

constexpr uint32_t cJ1939_pduFormat(uint32_t id) { return (id >> 16) & 0xFFu; }
// Destination specific (PDU1): the PDU specific byte is a destination address.
constexpr bool cJ1939_isPdu1(uint32_t id) { return cJ1939_pduFormat(id) < kJ1939Pdu2FormatMin; }
constexpr uint8_t cJ1939_sourceAddress(uint32_t id) { return static_cast<uint8_t>(id & 0xFFu); }
constexpr uint8_t cJ1939_destinationAddress(uint32_t id) {
  return static_cast<uint8_t>((id >> 8) & 0xFFu);
}
// The 18-bit parameter group number; a PDU1 group drops its destination.
constexpr uint32_t cJ1939_pgn(uint32_t id) {
  return cJ1939_isPdu1(id) ? (id >> 8) & 0x3FF00u : (id >> 8) & 0x3FFFFu;
}
// The identifier `id` (priority, source and, for PDU1, destination) carrying
// parameter group `pgn` instead of its own.
constexpr uint32_t cJ1939_withPgn(uint32_t id, uint32_t pgn) {
  if (cJ1939_isPdu1(pgn << 8)) return ((pgn << 8) & 0x3FF0000u) | (id & 0x1C00FFFFu);
  return (id & 0x1C0000FFu) | ((pgn << 8) & 0x3FFFF00u);
}
