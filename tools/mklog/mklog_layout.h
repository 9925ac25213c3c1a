// Record layouts of the bus-logging channel groups the writer produces, and
// the encoding of one frame into a record of such a layout.
//
// Every record starts with the Timestamp master channel (unsigned 64-bit,
// microseconds, linear conversion to seconds), followed by a structure channel
// (e.g. CAN_DataFrame) whose composed children are bit-packed:
//
//   CAN data frame  8 BusChannel | 9..12 ID (29 bits) + IDE (bit 31) |
//                   13 DLC (bits 0-3) Dir (4) EDL (5) ESI (6) BRS (7) |
//                   14 DataLength | 15.. DataBytes (8 or 64 bytes, or a u64
//                   offset of VLSD data)
//   CAN remote      8 BusChannel | 9..12 ID + IDE | 13 DLC (0-3) Dir (4) |
//                   14 DataLength
//   CAN error       8 BusChannel | 9 ErrorType
//   LIN frame       8 BusChannel | 9 ID (bits 0-5) Dir (7) |
//                   10 DataLength (0-3) ReceivedDataByteCount (4-7) |
//                   11..18 DataBytes
//   LIN checksum    as LIN frame (LIN_ChecksumError)
//   LIN receive /   8 BusChannel | 9 ID (bits 0-5)
//   transmission
//   LIN sync        8 BusChannel
//   other           8..9 Analog.Value (16 bits): a group without bus frames
#pragma once

#include <cstdint>
#include <vector>

#include "mklog.h"

enum class cMklogField {
  Timestamp, BusChannel, Id, Ide, Dlc, DataLength, Dir, Edl, Esi, Brs, DataBytes, ErrorType,
  ReceivedCount,
};

struct cMklogChannelDef {
  const char* suffix;  // name after "<prefix>."
  cMklogField field;
  uint32_t byteOffset;
  uint8_t bitOffset;
  uint32_t bitCount;
};

struct cMklogLayout {
  const char* prefix;   // structure channel name, e.g. "CAN_DataFrame"
  uint32_t recordSize;  // data bytes per record
  bool vlsdData;        // DataBytes hold a u64 offset of variable-length data
  std::vector<cMklogChannelDef> children;
};

const cMklogLayout& cMklog_layout(cMklogKind kind);

// Writes `frame` into `record` (the layout's recordSize bytes, zeroed first).
// `vlsdOffset` goes into DataBytes of a VLSD layout.
void cMklog_encode(cMklogKind kind, const cMklogFrame& frame, uint64_t vlsdOffset,
                   uint8_t* record);

// Data bytes that a frame carries in its record or VLSD data (data length,
// data padded with zeros or cut).
std::vector<uint8_t> cMklog_payload(const cMklogFrame& frame, cMklogKind kind);
