// Frame decoding rules: where each channel of a bus-logging channel group
// lies in a record, how its bits are encoded and converted, and which field of
// a bus message it feeds.  Bus events are logged in channel groups named after
// the ASAM bus-logging convention (`CAN_DataFrame.ID`, `LIN_Frame.DataBytes`,
// ..., plus a `Timestamp` master channel); the names decide the role of each
// channel and, through the common group prefix, which frame decoder reads the
// group's records.
//
// Rules are built once per channel group when a file is opened (the decoding
// plan, mdf_record.h) and read once per record afterwards, so everything the
// hot path needs is resolved here (role, value kind, byte order, conversion):
// this is where the stored codes of channel and conversion blocks get their
// meaning for decoding.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class cMdfBlock;
class cMdfBlock_CN;
class cMdfBlock_CC;
struct cMdfRecordView;
struct cBusMsg;

// How a channel's raw bits are interpreted.
enum class cMdfValueKind : uint32_t {
  Unsigned = 0,   // unsigned integer
  ByteArray = 1,  // bytes copied as they are (data bytes of a frame)
  Float = 2,      // IEEE 754 single (32 bits) or double (64 bits)
};

// What a channel means, from its exact (case-sensitive) name.
enum class cMdfChannelRole : uint32_t {
  None = 0,
  CanBrs = 1,                     // CAN_DataFrame.BRS
  CanBusChannel = 2,              // CAN_{Data,Remote,Error}Frame.BusChannel
  CanDataBytes = 3,               // CAN_DataFrame.DataBytes
  CanDataLength = 4,              // CAN_{Data,Remote}Frame.DataLength
  CanDir = 5,                     // CAN_{Data,Remote}Frame.Dir
  CanDlc = 6,                     // CAN_{Data,Remote}Frame.DLC
  CanEdl = 7,                     // CAN_DataFrame.EDL
  CanErrorType = 8,               // CAN_ErrorFrame.ErrorType
  CanEsi = 9,                     // CAN_DataFrame.ESI
  CanId = 10,                     // CAN_{Data,Remote}Frame.ID
  CanIde = 11,                    // CAN_{Data,Remote}Frame.IDE
  LinBusChannel = 12,             // LIN_Frame.BusChannel
  LinDataBytes = 13,              // LIN_Frame.DataBytes
  LinDataLength = 14,             // LIN_Frame.DataLength
  LinDir = 15,                    // LIN_Frame.Dir
  LinId = 16,                     // LIN_Frame.ID
  LinReceivedDataByteCount = 17,  // LIN_Frame.ReceivedDataByteCount
  Timestamp = 18,                 // Timestamp
};

// A channel value conversion (raw -> physical).  A small value type: copying
// shares the immutable look-up table (if any), so it is cheap and safe, and a
// copy stays valid after the original (and the conversion block) are gone.
class cMdfConversionRule {
 public:
  enum class Kind : uint8_t { Identity, Linear, LookupTableExact };

  // Identity: convert(x) == x.  Same as cMdfConversionRule_default().
  cMdfConversionRule() = default;

  // Applies the conversion.  Linear: x * factor + offset.  Exact look-up:
  // the value stored under a key equal to x, NaN when there is none.
  double convert(double x) const {
    switch (kind_) {
      case Kind::Identity: return x;
      case Kind::Linear: return x * factor_ + offset_;
      case Kind::LookupTableExact: return convertLookupTableExact(x);
    }
    return x;
  }
  bool isIdentity() const { return kind_ == Kind::Identity; }

 private:
  friend cMdfConversionRule cMdfConversionRule_linear(double factor, double offset);
  friend cMdfConversionRule cMdfConversionRule_lookupTable(
      std::unordered_map<double, double> table);

  double convertLookupTableExact(double x) const;

  Kind kind_ = Kind::Identity;
  double factor_ = 1.0;
  double offset_ = 0.0;
  std::shared_ptr<const std::unordered_map<double, double>> table_;
};

// The identity conversion.
cMdfConversionRule cMdfConversionRule_default();
// x * factor + offset.
cMdfConversionRule cMdfConversionRule_linear(double factor, double offset);
// Exact look-up in `table` (taken over); keys not present convert to NaN.
cMdfConversionRule cMdfConversionRule_lookupTable(std::unordered_map<double, double> table);

// Conversion of a conversion block: null block -> identity; linear -> factor
// = second value, offset = first value; value-to-value table without
// interpolation -> exact look-up of the (key, value) pairs,
// where the first pair of a repeated key counts; any other type (or a block
// with too few values) -> identity, silently.
cMdfConversionRule cMdfBlock_CC_getConversionRule(const cMdfBlock_CC* conversion);

// One rule per leaf channel of a channel group, in channel order.
struct cMdfDecodeRule {
  uint64_t bitOffset = 0;  // byte offset * 8 + bit offset, after the record id
  uint32_t bitCount = 0;   // the channel's bit length
  cMdfValueKind valueKind = cMdfValueKind::Unsigned;
  bool littleEndian = false;  // byte order handed to cDecode_getRawBits
  cMdfConversionRule conversion;
  std::string name;  // the channel's name
  cMdfChannelRole role = cMdfChannelRole::None;
  // Variable-length signal data (channel type 1): the block that the
  // channel's signal-data link leads to (a ##SD block or a VLSD channel
  // group), borrowed from the block tree, which outlives the rules.  Null for
  // every other channel.
  const cMdfBlock* vlsdDataLink = nullptr;
  // An unsigned little-endian channel of 1 to 53 bits without conversion:
  // its value is the raw integer itself, exact in a double, so integer
  // fields can take it without a round trip through floating point.  Set by
  // createDecodingRulesInner.
  bool plainInteger = false;
};

// Sets rule.role from rule.name (exact comparison; unknown names -> None).
void cMdfDecodeRule_mapName(cMdfDecodeRule& rule);

// The role that `name` maps to (None when it is not a bus-logging name).
cMdfChannelRole cMdfDecodeRule_roleOfName(std::string_view name);

// Appends the rules of `channel` to `rules`: one rule for a leaf channel, or
// the rules of its composed channels in order (recursively) for a structure
// channel.  Data types: unsigned integers and floats of either byte order,
// byte arrays.  Any other data type logs "Unsupported channel data type: %d"
// (warning; the number is the stored code + 1, or 0 for codes above the byte
// array's) and the rule is kept as a big-endian unsigned value.  A channel of
// type variable length gets its signal-data link as vlsdDataLink.  Never
// fails; damaged channel data gives rules that decode to nothing useful, not
// a crash.
void createDecodingRulesInner(const cMdfBlock_CN& channel, std::vector<cMdfDecodeRule>& rules);

// Frame decoder: fills `msg` from one record; true when a message was made.
using cMdfDecoder = bool (*)(const cMdfRecordView& view, cBusMsg& msg);

// Picks the frame decoder of a channel group from the group prefixes of its
// rule names (text before the first "."; names without "." add nothing).
// Exactly one prefix: the decoder of that prefix (the generic decoder for an
// unknown one) and true.  None or several prefixes: the generic decoder and
// false.  `decoder` is always written.
bool cMdfDecodeRule_pickFrameDecoder(const std::vector<cMdfDecodeRule>& rules, cMdfDecoder& decoder);
