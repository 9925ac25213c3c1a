// Frame decoding: channel names give roles and pick the decoder, channel
// blocks give position, encoding and conversion, and each decoder turns a
// record into one bus message or refuses it.
#include "mdf/mdf_decoders.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <tuple>

#include "mdf_log_fixture.h"
#include "support/log_capture.h"

namespace {

using Kind = cMdfValueKind;

cMdfDecodeRule rule(const std::string& name, uint64_t bitOffset = 0, uint32_t bits = 32,
                    Kind kind = Kind::Unsigned, bool littleEndian = true) {
  cMdfDecodeRule r{bitOffset, bits, kind, littleEndian, {}, name};
  cMdfDecodeRule_mapName(r);
  return r;
}

TEST(cMdfDecodeRule, GroupPrefixOfTheNamesChoosesTheDecoder) {
  struct Case {
    std::vector<std::string> names;
    cMdfDecoder decoder;  // null: the generic decoder, and no single prefix
  };
  const Case cases[] = {
      {{"Timestamp", "CAN_DataFrame.ID", "CAN_DataFrame.A.B"}, cMdfDecoders_decodeCanDataFrame},
      {{"CAN_DataFrame.ID", "CAN_RemoteFrame.ID"}, nullptr}, {{"Timestamp"}, nullptr},
      {{"LIN_ReceiveError.ID"}, cMdfDecoders_decodeLinReceiveError}, {{"LIN_SyncError.ID"}, cMdfDecoders_decodeLinSyncError},
      {{"GPS.Latitude", "GPS.Longitude"}, cMdfDecoders_decodeGeneric}, {{".ID"}, cMdfDecoders_decodeGeneric}};
  for (const Case& c : cases) {
    std::vector<cMdfDecodeRule> rules;
    for (const auto& name : c.names) rules.push_back(rule(name));
    cMdfDecoder decoder = nullptr;
    EXPECT_EQ(cMdfDecodeRule_pickFrameDecoder(rules, decoder), c.decoder != nullptr) << testing::PrintToString(c.names);
    EXPECT_EQ(decoder, c.decoder ? c.decoder : cMdfDecoders_decodeGeneric) << testing::PrintToString(c.names);
  }
}

TEST(cMdfDecodeRule, ChannelBlockGivesPositionEncodingAndConversion) {
  using T = cMdfDataType;
  struct Case {
    T dataType;  // as stored
    Kind kind;
    bool littleEndian;
    int warned;  // the number the warning shows, -1: none
  };
  const Case cases[] = {{T::UnsignedLE, Kind::Unsigned, true, -1}, {T::UnsignedBE, Kind::Unsigned, false, -1},
                        {T::FloatLE, Kind::Float, true, -1},       {T::FloatBE, Kind::Float, false, -1},
                        {T::ByteArray, Kind::ByteArray, true, -1}, {T::SignedLE, Kind::Unsigned, false, 3},
                        {T::SignedBE, Kind::Unsigned, false, 4},   {T::StringLatin1, Kind::Unsigned, false, 7},
                        {T::MimeSample, Kind::Unsigned, false, 0}, {T{200}, Kind::Unsigned, false, 0}};
  cTestTree tree = testLog_load(testLog_bytes("group c can\n"));  // CAN_DataFrame.ID: byte 9, 29 bits
  cMdfBlock_CN& cn = *tree.dg(0).channelGroups.at(0)->channels.at(1)->composition.at(1);
  auto cc = std::make_shared<cMdfBlock_CC>();
  cc->setLinear(0.5, 2);
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.dataType));
    cn.dataType = c.dataType;
    cn.conversion = c.dataType == T::UnsignedBE ? cc : nullptr;
    LogCapture log;
    std::vector<cMdfDecodeRule> rules;
    createDecodingRulesInner(cn, rules);
    ASSERT_EQ(rules.size(), 1u);
    const cMdfDecodeRule& r = rules[0];
    // Only an unsigned little-endian field without conversion is read as a plain integer.
    EXPECT_EQ(std::tuple(r.bitOffset, r.bitCount, r.role, r.valueKind, r.littleEndian, r.plainInteger),
              std::tuple(72u, 29u, cMdfChannelRole::CanId, c.kind, c.littleEndian, c.dataType == T::UnsignedLE));
    const std::string shown = c.warned < 0 ? "" : ": " + std::to_string(c.warned);
    EXPECT_EQ(log.count("Unsupported channel data type" + shown), c.warned < 0 ? 0 : 1);
    EXPECT_EQ(r.conversion.convert(10), c.dataType == T::UnsignedBE ? 20.5 : 10);
  }
}

// The conversion of a conversion block of `type` with `values`.
cMdfConversionRule conversion(uint8_t type, std::vector<double> values) {
  cMdfBlock_CC cc;
  cc.type = static_cast<cMdfConversionType>(type);
  cc.values = std::move(values);
  return cMdfBlock_CC_getConversionRule(&cc);
}

// One channel holding a 32-bit value, decoded into a message whose
// type-dependent area is not clear (ide, error type 9).
TEST(cMdfDecoders, FieldsTakeConvertedValuesAndForeignChannelsAreRefused) {
  // Linear: offset, factor; value table: key, value pairs, the first pair of
  // a key counts; other types: identity.
  const cMdfConversionRule none = conversion(0, {}), half = conversion(1, {0, 0.5}),
                           lookup = conversion(5, {2, 7, 1, 9, 1, 8, 4});
  const auto data = cMdfDecoders_decodeCanDataFrame, remote = cMdfDecoders_decodeCanRemoteFrame,
             error = cMdfDecoders_decodeCanErrorFrame, lin = cMdfDecoders_decodeLinFrame;
  struct Case {
    cMdfDecoder decoder;
    const char* channel;
    cMdfConversionRule conversion;
    uint32_t raw;
    const char* fields;
    Kind kind = Kind::Unsigned;
  };
  const Case cases[] = {
      {error, "CAN_ErrorFrame.ErrorType", none, 1, "ERROR err=1"}, {error, "CAN_ErrorFrame.ErrorType", none, 5, "ERROR err=5"},
      {error, "CAN_ErrorFrame.ErrorType", none, 6, "ERROR"}, {error, "CAN_ErrorFrame.BusChannel", none, 2, "ERROR ch=2"},
      {error, "CAN_DataFrame.ID", none, 1, "refused"},
      {remote, "CAN_RemoteFrame.DataLength", none, 0x102, "REMOTE rtr data=0000"},  // the low byte counts
      {remote, "CAN_RemoteFrame.DLC", none, 0x103, "REMOTE dlc=3 rtr"}, {remote, "CAN_RemoteFrame.Dir", none, 2, "REMOTE dir rtr"},
      {remote, "CAN_DataFrame.BRS", none, 1, "refused"}, {remote, "CAN_DataFrame.DataBytes", none, 1, "refused"},
      {data, "CAN_DataFrame.IDE", half, 1, "CAN"},  // flags truncate towards zero
      {data, "CAN_DataFrame.BusChannel", conversion(1, {-2, 1}), 1, "CAN ch=255"},  // -1 keeps its low byte
      {data, "CAN_DataFrame.BusChannel", conversion(1, {1e30, 1}), 1, "CAN ch=255"},  // saturates
      {data, "CAN_DataFrame.ID", conversion(1, {3}), 5, "CAN id=0x5"}, {data, "CAN_DataFrame.ID", conversion(3, {1, 2, 3}), 5, "CAN id=0x5"},
      {data, "CAN_DataFrame.ID", lookup, 2, "CAN id=0x7"}, {data, "CAN_DataFrame.ID", lookup, 1, "CAN id=0x9"},
      {data, "CAN_DataFrame.ID", lookup, 4, "CAN"}, {data, "CAN_DataFrame.ID", lookup, 3, "CAN"},  // a miss is 0
      {data, "CAN_DataFrame.Id", none, 1, "refused"}, {data, "CAN_DataFrame.ID ", none, 1, "refused"},
      {data, "Timestamp", none, 0x3FC00000, "CAN t=1.500000", Kind::Float},
      {data, "CAN_DataFrame.Extra", none, 1, "CAN", Kind::ByteArray},
      {data, "CAN_DataFrame.Unknown", none, 1, "refused"}, {data, "LIN_Frame.ID", none, 1, "refused"},
      {lin, "LIN_Frame.Dir", half, 1, "LIN lin.dir"},  // no truncation here
      {lin, "LIN_Frame.ReceivedDataByteCount", none, 0x105, "LIN rx=5"},
      {lin, "LIN_Frame.DataBytes", none, 1, "refused"}, {lin, "LIN_Frame.Extra", none, 1, "refused", Kind::ByteArray},
      {cMdfDecoders_decodeLinChecksumError, "LIN_Frame.Dir", none, 1, "LIN_CHECKSUM lin.dir"},
      {cMdfDecoders_decodeLinReceiveError, "LIN_Frame.ID", none, 3, "LIN_RECEIVE id=0x3 ide err=9"},
      {cMdfDecoders_decodeLinReceiveError, "LIN_Frame.Dir", none, 1, "refused"},
      {cMdfDecoders_decodeLinTransmissionError, "LIN_Frame.BusChannel", none, 3, "LIN_TRANSMISSION ch=3 ide err=9"},
      {cMdfDecoders_decodeLinSyncError, "LIN_Frame.BusChannel", none, 1, "LIN_SYNC ch=1 ide err=9"},
      {cMdfDecoders_decodeLinSyncError, "LIN_Frame.ID", none, 1, "refused"},
      {cMdfDecoders_decodeGeneric, "Timestamp", none, 1, "refused"},
  };
  for (const Case& c : cases) {
    std::vector<cMdfDecodeRule> rules = {rule(c.channel, 0, 32, c.kind)};
    rules[0].conversion = c.conversion;
    const uint8_t record[] = {uint8_t(c.raw), uint8_t(c.raw >> 8), uint8_t(c.raw >> 16), uint8_t(c.raw >> 24)};
    cBusMsg msg;
    msg.can.ide = true;
    msg.canError.errorType = 9;
    const bool accepted = c.decoder({record, {}, &rules, c.decoder}, msg);
    EXPECT_EQ(accepted ? testLog_describe(msg) : "refused", c.fields) << c.channel << " " << c.raw;
  }
  cBusMsg msg;
  EXPECT_FALSE(cMdfDecoders_decodeCanDataFrame({{}, {}, nullptr, nullptr}, msg)) << "no rules";
}

// CAN data frames: ID @0, DataLength u16 @4, data bytes from byte 6 (as
// stored: A0 A1 ...) or VLSD bytes.
TEST(cMdfDecoders, PayloadFollowsTheDataLength) {
  struct Case {
    const char* what;
    size_t stored;       // data bytes in the record; 0: a VLSD data-bytes channel
    uint64_t bitOffset;  // of the data bytes
    int dataLength;      // -1: no data-length channel
    std::vector<uint8_t> vlsd;
    const char* data;
  };
  const Case cases[] = {
      {"FD frame: 12 of 64", 64, 48, 12, {}, "A0A1A2A3A4A5A6A7A8A9AAAB"},
      {"longer than stored: zero-extended", 8, 48, 12, {}, "A0A1A2A3A4A5A6A700000000"},
      {"only the low byte counts", 8, 48, 0x104, {}, "A0A1A2A3"},
      {"unaligned: reported, zeros", 8, 52, 2, {}, "0000"},
      {"past the record end: cut", 8, 8 * 11, 8, {}, "A5A6A70000000000"},
      {"far past the record", 8, uint64_t{1} << 40, 8, {}, "0000000000000000"},
      {"VLSD: the inner length", 0, 48, 3, {3, 0, 0, 0, 1, 2, 3}, "010203"},
      {"VLSD length past the bytes read", 0, 48, 2, {200, 0, 0, 0, 7, 8}, "0708"},
      {"VLSD of one byte", 0, 48, 1, {1, 0, 0, 0, 9}, "09"},
      {"VLSD length only", 0, 48, 0, {0xFF, 0xFF, 0xFF, 0xFF}, ""},
      {"no VLSD bytes", 0, 48, 3, {}, "000000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<cMdfDecodeRule> rules = {rule("CAN_DataFrame.ID", 0, 29), rule("CAN_DataFrame.DataLength", 32, 16),
                                         rule("CAN_DataFrame.DataBytes", c.bitOffset, 8 * 8, Kind::ByteArray)};
    if (c.stored == 0) rules[2].vlsdDataLink = reinterpret_cast<const cMdfBlock*>(&c);  // tested for null only
    if (c.stored == 64) rules[2].bitCount = 8 * 64;
    if (c.dataLength < 0) rules.erase(rules.begin() + 1);
    std::vector<uint8_t> record = {0x23, 0, 0, 0, uint8_t(c.dataLength), uint8_t(c.dataLength >> 8)};
    for (size_t i = 0; i < c.stored; ++i) record.push_back(static_cast<uint8_t>(0xA0 + i));
    LogCapture log;
    cBusMsg msg;
    ASSERT_TRUE(cMdfDecoders_decodeCanDataFrame({record, c.vlsd, &rules, nullptr}, msg));
    EXPECT_EQ(testLog_describe(msg), std::string("CAN id=0x23") + (*c.data ? " data=" : "") + c.data);
    EXPECT_EQ(log.count("Could not read data"), c.bitOffset == 52 ? 1 : 0);
  }
}

TEST(cMdfDecoders, RuleValuesReadFloatsOfTheirWidthAndNothingPastTheRecord) {
  std::vector<uint8_t> rec(13, 0xFF);
  const uint64_t f64 = std::bit_cast<uint64_t>(1234.0625);
  for (int i = 0; i < 8; ++i) rec[4 + i] = static_cast<uint8_t>(f64 >> (8 * i));
  const std::tuple<uint64_t, uint32_t, Kind, double> cases[] = {
      {8 * 12, 8, Kind::Unsigned, 0xFF}, {8 * 12 + 4, 8, Kind::Unsigned, 0}, {8 * 13, 8, Kind::Unsigned, 0},
      {~uint64_t{0} - 3, 8, Kind::Unsigned, 0}, {0, 65, Kind::Unsigned, 0}, {32, 64, Kind::Float, 1234.0625},
      {36, 64, Kind::Float, std::bit_cast<double>(f64 >> 4 | 0xFULL << 60)}, {0, 16, Kind::Float, std::nan("")}};
  for (const auto& [bitOffset, bits, kind, expected] : cases) {
    const double got = cMdfDecoders_ruleValue(rule("x", bitOffset, bits, kind), rec);
    EXPECT_TRUE(std::isnan(expected) ? std::isnan(got) : got == expected) << bitOffset << " " << got;
  }
}


// Every little-endian field of every width and position in records of a few
// lengths, near their ends too, against bit-by-bit assembly.
TEST(cMdfDecoders, RuleValuesOfLittleEndianFieldsMatchBitByBitAssembly) {
  for (size_t size : {1u, 7u, 8u, 9u, 16u}) {
    std::vector<uint8_t> rec(size);
    for (size_t i = 0; i < size; ++i) rec[i] = static_cast<uint8_t>(0x9D * (i + 1) ^ 0x5A);
    for (uint32_t bits = 1; bits <= 64; ++bits) {
      for (uint64_t offset = 0; offset + bits <= 8 * size; ++offset) {
        uint64_t expected = 0;
        for (uint32_t i = 0; i < bits; ++i)
          expected |= uint64_t{(rec[(offset + i) / 8] >> ((offset + i) % 8)) & 1u} << i;
        ASSERT_EQ(cMdfDecoders_ruleValue(rule("x", offset, bits), rec), static_cast<double>(expected))
            << size << " bytes, " << bits << " bits at " << offset;
      }
    }
  }
}

}  // namespace
