// Signal extraction: pulling a signal's raw bits out of a payload in Intel or
// Motorola bit order and turning them into a physical value.
//
// Bit numbering.  A payload of n bytes has bits 0 .. 8n-1.
// - Little-endian (Intel): bit k is bit (k mod 8) of byte k/8, bit 0 being the
//   least significant bit of a byte; a field starts at its least significant
//   bit and extends to higher positions.  These are the DBC's own positions.
// - Big-endian (Motorola), internal numbering, MSB first: bit k is bit
//   7 - (k mod 8) of byte k/8; a field starts at its most significant bit and
//   occupies the following positions.  A DBC Motorola start bit s becomes
//   s XOR 7 (cDecode_dbcBitPosition2Internal).
//
// The raw-bit reader is shared with MDF record access; message decoding on top
// of the message database is declared in db/db.h.
#pragma once

#include <cstdint>
#include <span>

// Byte order of a signal, as stored in the database.
enum class cDBByteOrder : uint32_t {
  BigEndian = 0,     // Motorola
  LittleEndian = 1,  // Intel
};

// How the raw bits of a signal are interpreted.
enum class cDBValueType : uint32_t {
  None = 0,      // never stored in a database
  Unsigned = 1,  // unsigned integer
  Signed = 2,    // two's-complement integer
  Float = 3,     // IEEE 754 single (32 bits)
  Double = 4,    // IEEE 754 double (64 bits)
};

// Where a signal lies in a payload and how it becomes a physical value:
// physical = raw * factor + offset.  Minimum and maximum are carried along for
// the output layer (they are not applied while decoding).
struct cDBSignalParameters {
  cDBByteOrder byteOrder = cDBByteOrder::LittleEndian;
  cDBValueType valueType = cDBValueType::Unsigned;
  uint16_t bitPosition = 0;  // internal numbering (see above)
  uint8_t bitLength = 0;     // 0 is storable but fails to decode
  double factor = 1.0;
  double offset = 0.0;
  double minimum = 0.0;
  double maximum = 0.0;
};

// A signal's DBC limits as rows apply them: a value within [lower, upper] is
// kept and any other becomes NaN; limits of 0 and 0 keep every value.  The
// limits, like the value the DBC means (raw * factor + offset), are decimal
// numbers, while the value is computed in binary floating point, where one at
// a limit can land a few units in the last place beyond it (16383 * 0.1 is
// 1638.3000000000002 against a maximum of 1638.3).  So each limit is widened
// by what that rounding can amount to near it, a few units in the last place
// of |limit| + |offset|: far less than the step between two raw values of a
// signal unless its offset dwarfs its range by a dozen orders of magnitude.
struct cDecodeLimits {
  double lower = 0.0;
  double upper = 0.0;
  bool none = false;  // minimum and maximum are both 0
  bool hold(double value) const { return none || (lower <= value && value <= upper); }
};
cDecodeLimits cDecode_limits(const cDBSignalParameters& params);

// A DBC start bit in internal numbering: unchanged when `littleEndian`,
// otherwise position XOR 7.
constexpr uint32_t cDecode_dbcBitPosition2Internal(uint32_t position, bool littleEndian) {
  return littleEndian ? position : (position ^ 7u);
}

// The raw value of the `bitCount` bits at `bitPosition` (count taken modulo
// 256).  0 when the count is 0 or the field reaches past the payload
// (ceil((position + count) / 8) > payload size).  Little-endian fields are
// assembled least significant bit first, big-endian ones most significant bit
// first.  Never reads outside `payload`.  Fields longer than 64 bits keep the
// 64 bits read last (the low 64 bits of an Intel field, the last 64 positions
// of a Motorola field).
uint64_t cDecode_getRawBits(std::span<const uint8_t> payload, uint32_t bitPosition,
                            uint32_t bitCount, bool littleEndian);

// Decodes one signal of `payload` into its physical value in *value.  Returns
// false, logging a warning and leaving *value unchanged, when the bit length
// is 0 ("Invalid signal bit length (zero)"), the field reaches past the
// payload ("... (exceeds payload)"), a float is not 32 bits ("... (float !=
// 32)") or a double not 64 bits ("... (double != 64)").  An unknown value type
// decodes as 0.0 times factor plus offset.
[[nodiscard]] bool cDecode_decode(std::span<const uint8_t> payload,
                                  const cDBSignalParameters& params, double* value);

// The same without the warning: false when cDecode_decode would fail, for
// callers that take a failing signal to a path of their own.
[[nodiscard]] bool cDecode_decodeQuiet(std::span<const uint8_t> payload,
                                       const cDBSignalParameters& params, double* value);
