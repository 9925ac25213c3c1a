#include "mklog_layout.h"

#include <cmath>
#include <cstring>

#include "bus/bus_msg.h"

namespace {

using F = cMklogField;

const cMklogLayout kCan{"CAN_DataFrame", 23, false,
                        {{"BusChannel", F::BusChannel, 8, 0, 8},
                         {"ID", F::Id, 9, 0, 29},
                         {"IDE", F::Ide, 12, 7, 1},
                         {"DLC", F::Dlc, 13, 0, 4},
                         {"Dir", F::Dir, 13, 4, 1},
                         {"EDL", F::Edl, 13, 5, 1},
                         {"ESI", F::Esi, 13, 6, 1},
                         {"BRS", F::Brs, 13, 7, 1},
                         {"DataLength", F::DataLength, 14, 0, 8},
                         {"DataBytes", F::DataBytes, 15, 0, 64}}};

cMklogLayout withData(uint32_t bytes, bool vlsd) {
  cMklogLayout l = kCan;
  l.recordSize = 15 + bytes;
  l.vlsdData = vlsd;
  l.children.back().bitCount = bytes * 8;
  return l;
}

const cMklogLayout kCanFd = withData(64, false);
const cMklogLayout kCanFdVlsd = withData(8, true);
const cMklogLayout kRemote{"CAN_RemoteFrame", 15, false,
                           {{"BusChannel", F::BusChannel, 8, 0, 8},
                            {"ID", F::Id, 9, 0, 29},
                            {"IDE", F::Ide, 12, 7, 1},
                            {"DLC", F::Dlc, 13, 0, 4},
                            {"Dir", F::Dir, 13, 4, 1},
                            {"DataLength", F::DataLength, 14, 0, 8}}};
const cMklogLayout kError{"CAN_ErrorFrame", 10, false,
                          {{"BusChannel", F::BusChannel, 8, 0, 8},
                           {"ErrorType", F::ErrorType, 9, 0, 8}}};
const cMklogLayout kLin{"LIN_Frame", 19, false,
                        {{"BusChannel", F::BusChannel, 8, 0, 8},
                         {"ID", F::Id, 9, 0, 6},
                         {"Dir", F::Dir, 9, 7, 1},
                         {"DataLength", F::DataLength, 10, 0, 4},
                         {"ReceivedDataByteCount", F::ReceivedCount, 10, 4, 4},
                         {"DataBytes", F::DataBytes, 11, 0, 64}}};

cMklogLayout renamed(const cMklogLayout& base, const char* prefix) {
  cMklogLayout l = base;
  l.prefix = prefix;
  return l;
}
const cMklogLayout kLinChecksum = renamed(kLin, "LIN_ChecksumError");
const cMklogLayout kLinReceive{"LIN_ReceiveError", 10, false,
                               {{"BusChannel", F::BusChannel, 8, 0, 8}, {"ID", F::Id, 9, 0, 6}}};
const cMklogLayout kLinSync{"LIN_SyncError", 9, false, {{"BusChannel", F::BusChannel, 8, 0, 8}}};
const cMklogLayout kLinTransmission = renamed(kLinReceive, "LIN_TransmissionError");
const cMklogLayout kOther{"Analog", 10, false, {{"Value", F::Id, 8, 0, 16}}};

bool isFd(cMklogKind kind) {
  return kind == cMklogKind::CanFd || kind == cMklogKind::CanFdVlsd || kind == cMklogKind::CanFdSd;
}

// Little-endian bit field write, least significant bit first.
void putBits(uint8_t* record, uint32_t bitPos, uint32_t bitCount, uint64_t value) {
  if (bitPos % 8 == 0 && bitCount % 8 == 0) {
    for (uint32_t i = 0; i < bitCount / 8; ++i) record[bitPos / 8 + i] = uint8_t(value >> (8 * i));
    return;
  }
  for (uint32_t i = 0; i < bitCount; ++i) {
    uint32_t p = bitPos + i;
    if ((value >> i) & 1u) record[p / 8] |= uint8_t(1u << (p % 8));
  }
}

uint32_t dataLength(const cMklogFrame& f) {
  return f.length >= 0 ? static_cast<uint32_t>(f.length) : static_cast<uint32_t>(f.data.size());
}

uint8_t dlcOf(const cMklogFrame& f, cMklogKind kind) {
  if (f.dlc >= 0) return static_cast<uint8_t>(f.dlc);
  uint32_t len = dataLength(f);
  if (!isFd(kind)) return static_cast<uint8_t>(std::min<uint32_t>(len, 8));
  for (uint8_t dlc = 0; dlc < 16; ++dlc)
    if (cCanMsg_dlcToNob(dlc) >= len) return dlc;
  return 15;
}

}  // namespace

const cMklogLayout& cMklog_layout(cMklogKind kind) {
  switch (kind) {
    case cMklogKind::Can: return kCan;
    case cMklogKind::CanFd: return kCanFd;
    case cMklogKind::CanFdVlsd:
    case cMklogKind::CanFdSd: return kCanFdVlsd;
    case cMklogKind::Remote: return kRemote;
    case cMklogKind::Error: return kError;
    case cMklogKind::Lin: return kLin;
    case cMklogKind::LinChecksumError: return kLinChecksum;
    case cMklogKind::LinReceiveError: return kLinReceive;
    case cMklogKind::LinSyncError: return kLinSync;
    case cMklogKind::LinTransmissionError: return kLinTransmission;
    case cMklogKind::Other: return kOther;
  }
  return kCan;
}

std::vector<uint8_t> cMklog_payload(const cMklogFrame& frame, cMklogKind /*kind*/) {
  std::vector<uint8_t> bytes = frame.data;
  bytes.resize(std::min<uint32_t>(dataLength(frame), 64), 0);
  return bytes;
}

void cMklog_encode(cMklogKind kind, const cMklogFrame& f, uint64_t vlsdOffset, uint8_t* record) {
  const cMklogLayout& layout = cMklog_layout(kind);
  std::memset(record, 0, layout.recordSize);
  uint64_t micros = static_cast<uint64_t>(std::llround(f.t * 1e6));
  putBits(record, 0, 64, micros);
  for (const auto& c : layout.children) {
    uint32_t pos = c.byteOffset * 8 + c.bitOffset;
    uint64_t v = 0;
    switch (c.field) {
      case F::Timestamp: v = micros; break;
      case F::BusChannel: v = f.channel; break;
      case F::Id: v = f.id; break;
      case F::Ide: v = f.ide; break;
      case F::Dlc: v = dlcOf(f, kind); break;
      case F::DataLength: v = dataLength(f); break;
      case F::Dir: v = f.dir; break;
      case F::Edl: v = isFd(kind); break;
      case F::Esi: v = f.esi; break;
      case F::Brs: v = f.brs; break;
      case F::ErrorType: v = f.errorType; break;
      case F::ReceivedCount: v = f.receivedCount != 0 ? f.receivedCount : dataLength(f); break;
      case F::DataBytes:
        if (layout.vlsdData) {
          putBits(record, pos, 64, vlsdOffset);
        } else {
          size_t n = std::min<size_t>(f.data.size(), c.bitCount / 8);
          if (n > 0) std::memcpy(record + c.byteOffset, f.data.data(), n);
        }
        continue;
    }
    if (c.bitCount < 64) v &= (uint64_t{1} << c.bitCount) - 1;
    putBits(record, pos, c.bitCount, v);
  }
}
