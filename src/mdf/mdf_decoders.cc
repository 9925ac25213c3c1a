#include "mdf/mdf_decoders.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/log.h"
#include "bus/bus_msg.h"
#include "db/decode.h"

namespace {

using Role = cMdfChannelRole;

enum class Frame {
  CanData,
  CanRemote,
  CanError,
  LinFrame,
  LinChecksumError,
  LinReceiveError,
  LinTransmissionError,
  LinSyncError,
};

// Values from the file may be NaN (a look-up miss) or far out of range; the
// integer fields take them through this total, saturating conversion.
int64_t toInt64(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (v <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

// CAN flag channels: set when the value truncated towards zero is not zero.
bool canFlag(double v) { return !std::isnan(v) && std::trunc(v) != 0.0; }

constexpr bool zeroesTypeArea(Frame f) {
  return f == Frame::CanData || f == Frame::CanRemote || f == Frame::CanError ||
         f == Frame::LinFrame || f == Frame::LinChecksumError;
}

constexpr bool hasDataLength(Frame f) {
  return f == Frame::CanData || f == Frame::LinFrame || f == Frame::LinChecksumError;
}

// Byte-array channels are handled apart by the kinds that carry data bytes.
constexpr bool hasByteArrays(Frame f) { return hasDataLength(f); }

constexpr Role dataBytesRole(Frame f) {
  return f == Frame::CanData ? Role::CanDataBytes : Role::LinDataBytes;
}

constexpr cBusMsgType typeOf(Frame f) {
  switch (f) {
    case Frame::CanData: return cBusMsgType::BUS_MSG_CAN_DATA_FRAME;
    case Frame::CanRemote: return cBusMsgType::BUS_MSG_CAN_REMOTE_FRAME;
    case Frame::CanError: return cBusMsgType::BUS_MSG_CAN_ERROR_FRAME;
    case Frame::LinFrame: return cBusMsgType::BUS_MSG_LIN_FRAME;
    case Frame::LinChecksumError: return cBusMsgType::BUS_MSG_LIN_CHECKSUM_ERROR;
    case Frame::LinReceiveError: return cBusMsgType::BUS_MSG_LIN_RECEIVE_ERROR;
    case Frame::LinTransmissionError: return cBusMsgType::BUS_MSG_LIN_TRANSMISSION_ERROR;
    case Frame::LinSyncError: return cBusMsgType::BUS_MSG_LIN_SYNC_ERROR;
  }
  return cBusMsgType::BUS_MSG_GENERIC;
}

// Appends the data bytes of `rule` to `out`: from the record for a fixed
// channel, from the VLSD bytes (u32 length + bytes) for a VLSD channel.
void copyDataBytes(const cMdfDecodeRule& rule, const cMdfRecordView& view,
                   std::vector<uint8_t>& out) {
  if (rule.vlsdDataLink != nullptr) {
    if (view.vlsd.size() < 5) return;
    uint32_t m = 0;
    for (int i = 3; i >= 0; --i) m = (m << 8) | view.vlsd[i];
    const size_t n = std::min<size_t>(m, view.vlsd.size() - 4);
    out.insert(out.end(), view.vlsd.begin() + 4, view.vlsd.begin() + 4 + n);
    return;
  }
  if (rule.bitOffset % 8 != 0 || rule.bitCount % 8 != 0) {
    LOG_ERROR("Could not read data");
    return;
  }
  const uint64_t byteOffset = rule.bitOffset / 8;
  if (byteOffset >= view.record.size()) return;
  const size_t n = std::min<uint64_t>(rule.bitCount / 8, view.record.size() - byteOffset);
  const auto first = view.record.begin() + static_cast<ptrdiff_t>(byteOffset);
  out.insert(out.end(), first, first + static_cast<ptrdiff_t>(n));
}

template <Frame F>
bool accepts(Role role) {
  switch (role) {
    case Role::Timestamp: return true;
    case Role::CanBusChannel: return F == Frame::CanData || F == Frame::CanRemote || F == Frame::CanError;
    case Role::CanDataLength:
    case Role::CanDir:
    case Role::CanDlc:
    case Role::CanId:
    case Role::CanIde: return F == Frame::CanData || F == Frame::CanRemote;
    case Role::CanBrs:
    case Role::CanEdl:
    case Role::CanEsi: return F == Frame::CanData;
    case Role::CanErrorType: return F == Frame::CanError;
    case Role::LinBusChannel: return F >= Frame::LinFrame;
    case Role::LinId: return F >= Frame::LinFrame && F != Frame::LinSyncError;
    case Role::LinDataLength:
    case Role::LinDir:
    case Role::LinReceivedDataByteCount: return F == Frame::LinFrame || F == Frame::LinChecksumError;
    default: return false;  // None and the data-bytes roles reached as values
  }
}

// Field conversions of a channel value: a converted value (double) goes
// through the saturating conversion, a plain integer channel's raw value
// (below 2^53, so the same number) is taken as it is.
uint64_t fieldBits(double v) { return static_cast<uint64_t>(toInt64(v)); }
uint64_t fieldBits(uint64_t raw) { return raw; }
bool fieldFlag(double v) { return canFlag(v); }
bool fieldFlag(uint64_t raw) { return raw != 0; }
bool fieldNonZero(double v) { return !std::isnan(v) && v != 0.0; }
bool fieldNonZero(uint64_t raw) { return raw != 0; }

// Stores one accepted value by its role.  `dataLength` collects the data
// length of the kinds that size their payload at the end.
template <Frame F, typename Value>
[[gnu::always_inline]] inline void store(Role role, Value v, cBusMsg& msg, uint32_t& dataLength) {
  switch (role) {
    case Role::Timestamp: msg.timeStamp = static_cast<double>(v); break;
    case Role::CanId:
    case Role::LinId: msg.id = static_cast<uint32_t>(fieldBits(v)); break;
    case Role::CanBusChannel:
    case Role::LinBusChannel: msg.channel = static_cast<uint8_t>(fieldBits(v)); break;
    case Role::CanDlc: msg.can.dlc = static_cast<uint8_t>(fieldBits(v)); break;
    case Role::LinReceivedDataByteCount:
      msg.lin.receivedDataByteCount = static_cast<uint8_t>(fieldBits(v));
      break;
    case Role::CanIde: msg.can.ide = fieldFlag(v); break;
    case Role::CanDir: msg.can.dir = fieldFlag(v); break;
    case Role::CanEdl: msg.can.edl = fieldFlag(v); break;
    case Role::CanEsi: msg.can.esi = fieldFlag(v); break;
    case Role::CanBrs: msg.can.brs = fieldFlag(v); break;
    case Role::LinDir: msg.lin.dir = fieldNonZero(v); break;
    case Role::CanDataLength:
    case Role::LinDataLength:
      if constexpr (F == Frame::CanRemote) {
        // A remote frame carries no data; its requested length is presented
        // as that many zero bytes (the low byte, as for the other kinds).
        msg.data.assign(static_cast<uint8_t>(fieldBits(v)), 0);
      } else {
        dataLength = static_cast<uint32_t>(fieldBits(v));
      }
      break;
    case Role::CanErrorType: {
      const auto t = static_cast<uint32_t>(fieldBits(v));
      msg.canError.errorType = (t >= 1 && t <= 5) ? t : 0;
      break;
    }
    default: break;
  }
}

// The raw value of a plain integer rule when it lies within one eight-byte
// load of the record; false when the general path must read it.
inline bool plainRaw(const cMdfDecodeRule& rule, std::span<const uint8_t> record, uint64_t* raw) {
  const uint64_t firstByte = rule.bitOffset / 8;
  if (firstByte + 8 > record.size()) return false;
  uint64_t word;
  std::memcpy(&word, record.data() + firstByte, 8);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  *raw = (word >> (rule.bitOffset % 8)) & ((uint64_t{1} << rule.bitCount) - 1);
  return true;
}

template <Frame F>
bool decode(const cMdfRecordView& view, cBusMsg& msg) {
  if (view.rules == nullptr) return false;
  msg.data.clear();
  if constexpr (zeroesTypeArea(F)) msg.clearTypeArea();
  if constexpr (F == Frame::CanRemote) msg.can.rtr = true;

  bool result = true;
  uint32_t dataLength = 0;
  for (const cMdfDecodeRule& rule : *view.rules) {
    if constexpr (hasByteArrays(F)) {
      if (rule.valueKind == cMdfValueKind::ByteArray) {
        if (rule.role == dataBytesRole(F)) {
          copyDataBytes(rule, view, msg.data);
        } else if constexpr (F != Frame::CanData) {
          result = false;
        }
        continue;
      }
    }
    if (!accepts<F>(rule.role)) {
      result = false;
      continue;
    }
    uint64_t raw;
    if (rule.plainInteger && plainRaw(rule, view.record, &raw)) {
      store<F>(rule.role, raw, msg, dataLength);
    } else {
      store<F>(rule.role, cMdfDecoders_ruleValue(rule, view.record), msg, dataLength);
    }
  }
  if (!result) return false;
  if constexpr (hasDataLength(F)) msg.data.resize(dataLength & 0xFF, 0);
  msg.type = typeOf(F);
  return true;
}

}  // namespace

double cMdfDecoders_ruleValue(const cMdfDecodeRule& rule, std::span<const uint8_t> record) {
  uint64_t raw = 0;
  const uint64_t bits = static_cast<uint64_t>(record.size()) * 8;
  const uint64_t firstByte = rule.bitOffset / 8;
  const bool wholeWord = rule.bitCount == 64 && rule.bitOffset % 8 == 0;
  if (rule.littleEndian && (rule.bitCount - 1 < 56 || wholeWord) &&
      firstByte + 8 <= record.size()) {
    // Most channels (identifiers, lengths, flags, time stamps) lie within
    // one eight-byte load: at most 7 bits of shift, or a whole aligned word.
    uint64_t word;
    std::memcpy(&word, record.data() + firstByte, 8);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    raw = wholeWord ? word : (word >> (rule.bitOffset % 8)) & ((uint64_t{1} << rule.bitCount) - 1);
  } else if (rule.bitCount != 0 && rule.bitCount <= 64 && rule.bitOffset <= bits &&
             rule.bitCount <= bits - rule.bitOffset) {
    raw = cDecode_getRawBits(record, static_cast<uint32_t>(rule.bitOffset), rule.bitCount,
                             rule.littleEndian);
  }
  double value;
  if (rule.valueKind == cMdfValueKind::Float) {
    if (rule.bitCount == 32) {
      value = static_cast<double>(std::bit_cast<float>(static_cast<uint32_t>(raw)));
    } else if (rule.bitCount == 64) {
      value = std::bit_cast<double>(raw);
    } else {
      value = std::numeric_limits<double>::quiet_NaN();
    }
  } else {
    value = static_cast<double>(raw);
  }
  return rule.conversion.convert(value);
}

bool cMdfDecoders_decodeCanDataFrame(const cMdfRecordView& view, cBusMsg& msg) {
  return decode<Frame::CanData>(view, msg);
}
bool cMdfDecoders_decodeCanRemoteFrame(const cMdfRecordView& view, cBusMsg& msg) {
  return decode<Frame::CanRemote>(view, msg);
}
bool cMdfDecoders_decodeCanErrorFrame(const cMdfRecordView& view, cBusMsg& msg) {
  return decode<Frame::CanError>(view, msg);
}
bool cMdfDecoders_decodeLinFrame(const cMdfRecordView& view, cBusMsg& msg) {
  return decode<Frame::LinFrame>(view, msg);
}
bool cMdfDecoders_decodeLinChecksumError(const cMdfRecordView& view, cBusMsg& msg) {
  return decode<Frame::LinChecksumError>(view, msg);
}
bool cMdfDecoders_decodeLinReceiveError(const cMdfRecordView& view, cBusMsg& msg) {
  return decode<Frame::LinReceiveError>(view, msg);
}
bool cMdfDecoders_decodeLinTransmissionError(const cMdfRecordView& view, cBusMsg& msg) {
  return decode<Frame::LinTransmissionError>(view, msg);
}
bool cMdfDecoders_decodeLinSyncError(const cMdfRecordView& view, cBusMsg& msg) {
  return decode<Frame::LinSyncError>(view, msg);
}
bool cMdfDecoders_decodeGeneric(const cMdfRecordView& /*view*/, cBusMsg& msg) {
  msg.type = cBusMsgType::BUS_MSG_GENERIC;
  return false;
}
