#include "db/decode.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/log.h"
#include "db/db.h"

namespace {

constexpr uint64_t lowMask(uint32_t count) {
  return count >= 64 ? ~0ull : ((1ull << count) - 1);
}

// Up to eight bytes from `offset` as a little-endian integer; bytes past the
// payload read as 0 and are never touched.  A payload of eight bytes or more
// takes one unaligned load, moved back from the end when needed.
inline uint64_t loadLittleEndian(std::span<const uint8_t> payload, size_t offset) {
  uint64_t value = 0;
  if (payload.size() >= 8) {
    size_t start = offset + 8 <= payload.size() ? offset : payload.size() - 8;
    std::memcpy(&value, payload.data() + start, 8);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
    return value >> (8 * (offset - start));
  }
  for (size_t i = offset; i < payload.size(); ++i) {
    value |= static_cast<uint64_t>(payload[i]) << (8 * (i - offset));
  }
  return value;
}

// The same as a big-endian integer, the byte at `offset` in the top eight
// bits.
inline uint64_t loadBigEndian(std::span<const uint8_t> payload, size_t offset) {
  uint64_t value = 0;
  if (payload.size() >= 8) {
    size_t start = offset + 8 <= payload.size() ? offset : payload.size() - 8;
    std::memcpy(&value, payload.data() + start, 8);
    if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap64(value);
    return value << (8 * (offset - start));
  }
  for (size_t i = offset; i < payload.size(); ++i) {
    value |= static_cast<uint64_t>(payload[i]) << (56 - 8 * (i - offset));
  }
  return value;
}

inline uint32_t bitAt(std::span<const uint8_t> payload, uint64_t position, bool littleEndian) {
  uint8_t byte = payload[position >> 3];
  uint32_t shift = littleEndian ? (position & 7u) : (7u - (position & 7u));
  return (byte >> shift) & 1u;
}

// Bit-by-bit assembly: Intel from the highest position down, Motorola from the
// lowest position up, each bit shifted in at the least significant end.
uint64_t rawBitsSlow(std::span<const uint8_t> payload, uint64_t position, uint32_t count,
                     bool littleEndian) {
  uint64_t value = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t at = littleEndian ? position + count - 1 - i : position + i;
    value = (value << 1) | bitAt(payload, at, littleEndian);
  }
  return value;
}

// The field of `count` bits (1 to 255) at `bitPosition`, which lies within
// the payload.
[[gnu::always_inline]] inline uint64_t fieldBits(std::span<const uint8_t> payload,
                                                 uint32_t bitPosition, uint32_t count,
                                                 bool littleEndian) {
  uint32_t shift = bitPosition & 7u;
  size_t offset = bitPosition >> 3;
  if (littleEndian) {
    if (count <= 56) return (loadLittleEndian(payload, offset) >> shift) & lowMask(count);
  } else if (shift + count <= 64) {
    return (loadBigEndian(payload, offset) << shift) >> (64 - count);
  }
  return rawBitsSlow(payload, bitPosition, count, littleEndian);
}

[[gnu::always_inline]] inline uint64_t rawBits(std::span<const uint8_t> payload,
                                               uint32_t bitPosition, uint32_t bitCount,
                                               bool littleEndian) {
  uint32_t count = bitCount & 0xFFu;
  if (count == 0) return 0;
  uint64_t end = static_cast<uint64_t>(bitPosition) + count;
  if ((end + 7) / 8 > payload.size()) return 0;
  return fieldBits(payload, bitPosition, count, littleEndian);
}

// Why a signal cannot be decoded from a payload; null when it can.
[[gnu::always_inline]] inline const char* decodeProblem(std::span<const uint8_t> payload,
                                                        const cDBSignalParameters& params) {
  uint32_t count = params.bitLength;
  if (count == 0) return "Invalid signal bit length (zero)";
  if (static_cast<uint64_t>(params.bitPosition) + count > 8 * static_cast<uint64_t>(payload.size()))
    return "Invalid signal bit length (exceeds payload)";
  if (params.valueType == cDBValueType::Float && count != 32)
    return "Invalid signal bit length (float != 32)";
  if (params.valueType == cDBValueType::Double && count != 64)
    return "Invalid signal bit length (double != 64)";
  return nullptr;
}

// The physical value of a signal that decodeProblem() accepted.
[[gnu::always_inline]] inline double physicalValue(std::span<const uint8_t> payload,
                                                   const cDBSignalParameters& params) {
  uint32_t count = params.bitLength;
  uint64_t raw = fieldBits(payload, params.bitPosition, count,
                           params.byteOrder != cDBByteOrder::BigEndian);
  double number = 0.0;
  switch (params.valueType) {
    case cDBValueType::Unsigned:
      number = static_cast<double>(raw);
      break;
    case cDBValueType::Signed:
      if (count < 64 && ((raw >> (count - 1)) & 1u) != 0) raw |= ~0ull << count;
      number = static_cast<double>(static_cast<int64_t>(raw));
      break;
    case cDBValueType::Float:
      number = static_cast<double>(std::bit_cast<float>(static_cast<uint32_t>(raw)));
      break;
    case cDBValueType::Double:
      number = std::bit_cast<double>(raw);
      break;
    default:
      break;
  }
  return number * params.factor + params.offset;
}

[[gnu::always_inline]] inline bool decodeValue(std::span<const uint8_t> payload,
                                               const cDBSignalParameters& params,
                                               double* value) {
  if (const char* problem = decodeProblem(payload, params)) {
    LOG_WARN("%s", problem);
    return false;
  }
  *value = physicalValue(payload, params);
  return true;
}

}  // namespace

uint64_t cDecode_getRawBits(std::span<const uint8_t> payload, uint32_t bitPosition,
                            uint32_t bitCount, bool littleEndian) {
  return rawBits(payload, bitPosition, bitCount, littleEndian);
}

bool cDecode_decode(std::span<const uint8_t> payload, const cDBSignalParameters& params,
                    double* value) {
  return decodeValue(payload, params, value);
}

bool cDecode_decodeQuiet(std::span<const uint8_t> payload, const cDBSignalParameters& params,
                         double* value) {
  if (decodeProblem(payload, params) != nullptr) return false;
  *value = physicalValue(payload, params);
  return true;
}

namespace {

// Decodes `signals` and, after each multiplexor, the signals of its selected
// range.  A failing signal ends this list; false when anything at any depth
// failed.
bool decodeSignals(const std::vector<cDBSignal>& signals, std::span<const uint8_t> payload,
                   std::vector<cDBDecodedSignal>& out) {
  bool ok = true;
  for (const cDBSignal& signal : signals) {
    double value;
    if (!decodeValue(payload, signal.params, &value)) {
      LOG_WARN("Failed to decode signal: \"%s\"", signal.name.c_str());
      return false;
    }
    out.push_back(cDBDecodedSignal{
        .signal = &signal,
        .name = signal.name,
        .nameHash = static_cast<uint32_t>(signal.nameHash),
        .ignored = signal.ignored,
        .isMultiplexor = static_cast<uint8_t>(signal.ranges.empty() ? 0 : 1),
        .value = value,
    });
    for (const cDBRange& range : signal.ranges) {
      if (static_cast<double>(range.from) <= value && value <= static_cast<double>(range.to)) {
        if (!decodeSignals(range.signals, payload, out)) ok = false;
        break;
      }
    }
  }
  return ok;
}

}  // namespace

bool cDB_decodeMessage(const cDB* db, uint32_t key, std::span<const uint8_t> payload,
                       cDBDecodedMessage* out) {
  if (out == nullptr) return false;
  out->clear();
  const cDBMessage* message = cDB_messageFind(db, key);
  if (message == nullptr || message->ignored != 0) return false;
  out->message = message;
  if (!decodeSignals(message->signals, payload, out->signals)) {
    LOG_WARN("Failed to decode message: \"%s\"", message->name.c_str());
  }
  return true;
}

cDecodeLimits cDecode_limits(const cDBSignalParameters& p) {
  // raw * factor + offset rounds the factor's decimal, the product and the
  // sum, each by half a unit in the last place of a magnitude below
  // |limit| + |offset| when the value is near that limit; the limit's own
  // decimal rounds by as much again.
  auto slack = [&](double limit) {
    const double s =
        8 * std::numeric_limits<double>::epsilon() * (std::fabs(limit) + std::fabs(p.offset));
    return std::isfinite(s) ? s : 0.0;
  };
  return {p.minimum - slack(p.minimum), p.maximum + slack(p.maximum),
          p.minimum == 0.0 && p.maximum == 0.0};
}
