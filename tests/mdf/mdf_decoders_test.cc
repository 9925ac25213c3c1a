#include "mdf/mdf_decoders.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "base/log.h"
#include "support/log_capture.h"
#include "bus/bus_msg.h"
#include "db/decode.h"
#include "mdf_log_fixture.h"

namespace {

using Kind = cMdfValueKind;

cMdfDecodeRule makeRule(const std::string& name, uint64_t bitOffset, uint32_t bitCount,
                        Kind kind = Kind::Unsigned, bool littleEndian = true) {
  cMdfDecodeRule rule;
  rule.name = name;
  rule.bitOffset = bitOffset;
  rule.bitCount = bitCount;
  rule.valueKind = kind;
  rule.littleEndian = littleEndian;
  cMdfDecodeRule_mapName(rule);
  return rule;
}

// Little-endian writes into a record buffer that grows as needed.
void putLE(std::vector<uint8_t>& rec, size_t at, uint64_t value, size_t bytes) {
  if (rec.size() < at + bytes) rec.resize(at + bytes);
  for (size_t i = 0; i < bytes; ++i) rec[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
void putDouble(std::vector<uint8_t>& rec, size_t at, double v) {
  putLE(rec, at, std::bit_cast<uint64_t>(v), 8);
}

// A block address for VLSD rules: decoders only test it for null.
const cMdfBlock* fakeBlock() {
  static const int anchor = 0;
  return reinterpret_cast<const cMdfBlock*>(&anchor);
}


// Classic CAN layout: Timestamp f64 @0, BusChannel u8 @8, ID u32 @9 (29 bits)
// with IDE as bit 31, DLC u8 @13, DataLength u8 @14, DataBytes 8 bytes @15.
struct CanRecord {
  std::vector<cMdfDecodeRule> rules;
  std::vector<uint8_t> rec;

  explicit CanRecord(size_t dataBytes = 8) {
    rules.push_back(makeRule("Timestamp", 0, 64, Kind::Float));
    rules.push_back(makeRule("CAN_DataFrame.BusChannel", 64, 8));
    rules.push_back(makeRule("CAN_DataFrame.ID", 72, 29));
    rules.push_back(makeRule("CAN_DataFrame.IDE", 72 + 31, 1));
    rules.push_back(makeRule("CAN_DataFrame.DLC", 104, 8));
    rules.push_back(makeRule("CAN_DataFrame.DataLength", 112, 8));
    rules.push_back(
        makeRule("CAN_DataFrame.DataBytes", 120, static_cast<uint32_t>(8 * dataBytes), Kind::ByteArray));
    rec.assign(15 + dataBytes, 0);
    for (size_t i = 0; i < dataBytes; ++i) rec[15 + i] = static_cast<uint8_t>(0xA0 + i);
  }
  cMdfRecordView view(std::span<const uint8_t> vlsd = {}) const {
    return {rec, vlsd, &rules, cMdfDecoders_decodeCanDataFrame};
  }
};

TEST(cMdfDecoders, PayloadFollowsDataLength) {
  struct Case {
    size_t fixedBytes;
    uint64_t dataLength;
    size_t expected;
  };
  const Case cases[] = {
      {64, 12, 12},  // FD frame: the first 12 of 64 stored bytes
      {8, 0, 0},
      {8, 3, 3},
      {8, 12, 12},     // longer than stored: zero-extended
      {8, 0x104, 4},   // only the low byte of the length counts
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.fixedBytes << " bytes, length " << c.dataLength);
    CanRecord r(c.fixedBytes);
    r.rules[5].bitCount = 16;  // DataLength u16 overlapping nothing else in use
    r.rules.erase(r.rules.begin() + 4);  // no DLC
    r.rules[4].bitOffset = 104;
    putLE(r.rec, 13, c.dataLength, 2);
    cBusMsg msg;
    ASSERT_TRUE(cMdfDecoders_decodeCanDataFrame(r.view(), msg));
    ASSERT_EQ(msg.data.size(), c.expected);
    for (size_t i = 0; i < c.expected; ++i) {
      const uint8_t want = i < c.fixedBytes ? static_cast<uint8_t>(0xA0 + i) : 0;
      EXPECT_EQ(msg.data[i], want) << "byte " << i;
    }
  }
}

TEST(cMdfDecoders, VlsdDataBytesUseTheInnerLength) {
  struct Case {
    std::vector<uint8_t> vlsd;
    uint64_t dataLength;
    std::vector<uint8_t> expected;
  };
  std::vector<uint8_t> twenty(20, 0);
  putLE(twenty, 0, 16, 4);
  for (int i = 0; i < 16; ++i) twenty[4 + i] = static_cast<uint8_t>(i + 1);
  std::vector<uint8_t> sixteen(twenty.begin() + 4, twenty.end());
  std::vector<uint8_t> claimsMore = {200, 0, 0, 0, 7, 8};  // inner length past the buffer
  std::vector<uint8_t> huge = {0xFF, 0xFF, 0xFF, 0xFF};     // length only, no bytes
  const Case cases[] = {
      {twenty, 16, sixteen},
      {claimsMore, 2, {7, 8}},
      {huge, 0, {}},
      {{}, 3, {0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "vlsd size " << c.vlsd.size());
    CanRecord r(0);
    r.rules[6].bitCount = 64;  // offset into the signal data: not a payload
    r.rules[6].vlsdDataLink = fakeBlock();
    putLE(r.rec, 14, c.dataLength, 1);
    cBusMsg msg;
    ASSERT_TRUE(cMdfDecoders_decodeCanDataFrame(r.view(c.vlsd), msg));
    EXPECT_EQ(msg.data, c.expected);
  }
}

TEST(cMdfDecoders, DuplicateChannelNamesDecodeWithoutHarm) {
  CanRecord r;
  putLE(r.rec, 9, 0x111, 4);
  putLE(r.rec, 14, 12, 1);
  r.rules.push_back(r.rules[2]);  // a second ID, read from the data bytes
  r.rules.back().bitOffset = 8 * 15;
  r.rules.push_back(r.rules[6]);  // the data bytes twice
  cBusMsg msg;
  ASSERT_TRUE(cMdfDecoders_decodeCanDataFrame(r.view(), msg));
  EXPECT_EQ(msg.id, 0xA3A2A1A0u & 0x1FFFFFFFu);  // the later channel wins
  ASSERT_EQ(msg.data.size(), 12u);
  EXPECT_EQ(msg.data[8], 0xA0);  // appended copy, cut to the data length
}

TEST(cMdfDecoders, GroupWithoutDataLengthYieldsEmptyPayload) {
  CanRecord r;
  r.rules.erase(r.rules.begin() + 5);
  cBusMsg msg;
  msg.data = {1, 2, 3};
  ASSERT_TRUE(cMdfDecoders_decodeCanDataFrame(r.view(), msg));
  EXPECT_TRUE(msg.data.empty());
}

TEST(cMdfDecoders, UnalignedDataBytesAreReportedAndTheFrameStillDelivered) {
  LogCapture log;
  CanRecord r;
  r.rules[6].bitOffset = 124;
  putLE(r.rec, 14, 2, 1);
  cBusMsg msg;
  ASSERT_TRUE(cMdfDecoders_decodeCanDataFrame(r.view(), msg));
  EXPECT_EQ(log.count("Could not read data"), 1);
  EXPECT_EQ(msg.data, (std::vector<uint8_t>{0, 0}));
}

TEST(cMdfDecoders, DataBytesPastTheRecordAreCutNotReadOutside) {
  CanRecord r;
  r.rules[6].bitOffset = 8 * 20;          // 3 bytes before the record end
  r.rules[5].bitOffset = 8 * 14;
  putLE(r.rec, 14, 8, 1);
  cBusMsg msg;
  ASSERT_TRUE(cMdfDecoders_decodeCanDataFrame(r.view(), msg));
  EXPECT_EQ(msg.data, (std::vector<uint8_t>{0xA5, 0xA6, 0xA7, 0, 0, 0, 0, 0}));
  r.rules[6].bitOffset = uint64_t{1} << 40;  // far past the record
  ASSERT_TRUE(cMdfDecoders_decodeCanDataFrame(r.view(), msg));
  EXPECT_EQ(msg.data, std::vector<uint8_t>(8, 0));
}

TEST(cMdfDecoders, ValuesPastTheRecordReadAsZero) {
  const uint64_t offsets[] = {8 * 15 - 4, 8 * 15, 8 * 100, uint64_t{1} << 33, ~uint64_t{0} - 3};
  for (uint64_t offset : offsets) {
    SCOPED_TRACE(offset);
    cMdfDecodeRule rule = makeRule("CAN_DataFrame.ID", offset, 8);
    std::vector<uint8_t> rec(15, 0xFF);
    EXPECT_EQ(cMdfDecoders_ruleValue(rule, rec), 0.0);
  }
  cMdfDecodeRule lastByte = makeRule("CAN_DataFrame.ID", 8 * 14, 8);
  std::vector<uint8_t> rec(15, 0);
  rec[14] = 0x5A;
  EXPECT_EQ(cMdfDecoders_ruleValue(lastByte, rec), 0x5A);
}

TEST(cMdfDecoders, RuleValuesMatchTheSharedBitReader) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> rec(40);
  for (int round = 0; round < 2000; ++round) {
    for (auto& b : rec) b = static_cast<uint8_t>(rng());
    const bool le = rng() % 2 == 0;
    const uint32_t bits = round % 3 == 0 ? 64 : 1 + static_cast<uint32_t>(rng() % 64);
    const uint64_t offset = round % 2 == 0 ? 8 * (rng() % 33) : rng() % (8 * 40 - bits + 1);
    cMdfDecodeRule rule = makeRule("CAN_DataFrame.ID", offset, bits, Kind::Unsigned, le);
    const uint64_t want = cDecode_getRawBits(rec, static_cast<uint32_t>(offset), bits, le);
    ASSERT_EQ(cMdfDecoders_ruleValue(rule, rec), static_cast<double>(want))
        << "offset " << offset << " bits " << bits << " le " << le;
  }
}

TEST(cMdfDecoders, FloatChannelsKeepTheirWidth) {
  struct Case {
    uint32_t bits;
    bool littleEndian;
    std::vector<uint8_t> rec;
    double expected;
  };
  std::vector<uint8_t> f32le(4), f32be(4), f64le(8);
  putLE(f32le, 0, std::bit_cast<uint32_t>(1.5f), 4);
  const uint32_t be = std::bit_cast<uint32_t>(-0.25f);
  f32be = {static_cast<uint8_t>(be >> 24), static_cast<uint8_t>(be >> 16),
           static_cast<uint8_t>(be >> 8), static_cast<uint8_t>(be)};
  putDouble(f64le, 0, 1234.0625);
  const Case cases[] = {
      {32, true, f32le, 1.5},
      {32, false, f32be, -0.25},
      {64, true, f64le, 1234.0625},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bits);
    cMdfDecodeRule rule = makeRule("Timestamp", 0, c.bits, Kind::Float, c.littleEndian);
    EXPECT_EQ(cMdfDecoders_ruleValue(rule, c.rec), c.expected);
  }
  cMdfDecodeRule odd = makeRule("Timestamp", 0, 16, Kind::Float);
  EXPECT_TRUE(std::isnan(cMdfDecoders_ruleValue(odd, f32le)));
}

TEST(cMdfDecoders, ErrorTypeOutsideOneToFiveIsZero) {
  const std::pair<uint32_t, uint32_t> cases[] = {{0, 0}, {1, 1}, {5, 5}, {6, 0}, {7, 0},
                                                 {257, 0}, {0xFFFFFFFF, 0}};
  std::vector<cMdfDecodeRule> rules = {makeRule("CAN_ErrorFrame.BusChannel", 0, 8),
                                       makeRule("CAN_ErrorFrame.ErrorType", 8, 32)};
  for (auto [logged, expected] : cases) {
    SCOPED_TRACE(logged);
    std::vector<uint8_t> rec(5, 0);
    rec[0] = 2;
    putLE(rec, 1, logged, 4);
    cBusMsg msg;
    msg.canError.errorType = 99;
    ASSERT_TRUE(cMdfDecoders_decodeCanErrorFrame({rec, {}, &rules, nullptr}, msg));
    EXPECT_EQ(msg.canError.errorType, expected);
    EXPECT_EQ(msg.channel, 2);
  }
}

TEST(cMdfDecoders, RemoteFrameCarriesZeroBytesOfItsLength) {
  std::vector<cMdfDecodeRule> rules = {makeRule("CAN_RemoteFrame.ID", 0, 32),
                                       makeRule("CAN_RemoteFrame.DataLength", 32, 32)};
  struct Case {
    uint32_t length;
    size_t expected;
  };
  for (Case c : {Case{4, 4}, Case{0, 0}, Case{0xFFFFFFFF, 255}}) {
    SCOPED_TRACE(c.length);
    std::vector<uint8_t> rec(8, 0);
    putLE(rec, 0, 0x123, 4);
    putLE(rec, 4, c.length, 4);
    cBusMsg msg;
    msg.data = {9, 9, 9, 9, 9, 9};
    ASSERT_TRUE(cMdfDecoders_decodeCanRemoteFrame({rec, {}, &rules, nullptr}, msg));
    EXPECT_EQ(msg.type, cBusMsgType::BUS_MSG_CAN_REMOTE_FRAME);
    EXPECT_TRUE(msg.can.rtr);
    EXPECT_EQ(msg.id, 0x123u);
    EXPECT_EQ(msg.data, std::vector<uint8_t>(c.expected, 0));
  }
}

TEST(cMdfDecoders, LinFrameWithForeignByteArrayYieldsNothing) {
  std::vector<cMdfDecodeRule> rules = {makeRule("LIN_Frame.ID", 0, 8),
                                       makeRule("LIN_Frame.DataLength", 8, 8),
                                       makeRule("LIN_Frame.DataBytes", 16, 64, Kind::ByteArray),
                                       makeRule("LIN_Frame.Extra", 80, 16, Kind::ByteArray)};
  std::vector<uint8_t> rec(12, 1);
  cBusMsg msg;
  msg.type = cBusMsgType::BUS_MSG_CAN_DATA_FRAME;
  EXPECT_FALSE(cMdfDecoders_decodeLinFrame({rec, {}, &rules, nullptr}, msg));
  EXPECT_EQ(msg.type, cBusMsgType::BUS_MSG_CAN_DATA_FRAME);
  rules.pop_back();
  ASSERT_TRUE(cMdfDecoders_decodeLinFrame({rec, {}, &rules, nullptr}, msg));
  EXPECT_EQ(msg.type, cBusMsgType::BUS_MSG_LIN_FRAME);
  EXPECT_EQ(msg.id, 1u);
  EXPECT_EQ(msg.data, std::vector<uint8_t>(1, 1));
}

// Which channel names each decoder takes (a refused one makes it yield no
// message).
TEST(cMdfDecoders, EachDecoderAcceptsOnlyItsOwnChannels) {
  struct Case {
    cMdfDecoder decoder;
    const char* channel;
    bool accepted;
  };
  const Case cases[] = {
      {cMdfDecoders_decodeCanDataFrame, "CAN_DataFrame.BRS", true},
      {cMdfDecoders_decodeCanDataFrame, "CAN_DataFrame.ESI", true},
      {cMdfDecoders_decodeCanDataFrame, "CAN_ErrorFrame.ErrorType", false},
      {cMdfDecoders_decodeCanDataFrame, "CAN_DataFrame.Unknown", false},
      {cMdfDecoders_decodeCanDataFrame, "LIN_Frame.ID", false},
      {cMdfDecoders_decodeCanRemoteFrame, "CAN_RemoteFrame.DLC", true},
      {cMdfDecoders_decodeCanRemoteFrame, "CAN_DataFrame.BRS", false},
      {cMdfDecoders_decodeCanRemoteFrame, "CAN_DataFrame.DataBytes", false},
      {cMdfDecoders_decodeCanErrorFrame, "CAN_ErrorFrame.BusChannel", true},
      {cMdfDecoders_decodeCanErrorFrame, "CAN_DataFrame.ID", false},
      {cMdfDecoders_decodeLinFrame, "LIN_Frame.ReceivedDataByteCount", true},
      {cMdfDecoders_decodeLinFrame, "LIN_Frame.DataBytes", false},  // as a value
      {cMdfDecoders_decodeLinChecksumError, "LIN_Frame.Dir", true},
      {cMdfDecoders_decodeLinReceiveError, "LIN_Frame.ID", true},
      {cMdfDecoders_decodeLinReceiveError, "LIN_Frame.Dir", false},
      {cMdfDecoders_decodeLinTransmissionError, "LIN_Frame.BusChannel", true},
      {cMdfDecoders_decodeLinSyncError, "LIN_Frame.BusChannel", true},
      {cMdfDecoders_decodeLinSyncError, "LIN_Frame.ID", false},
      {cMdfDecoders_decodeGeneric, "Timestamp", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.channel);
    std::vector<cMdfDecodeRule> rules = {makeRule("Timestamp", 0, 8), makeRule(c.channel, 8, 8)};
    std::vector<uint8_t> rec(2, 1);
    cBusMsg msg;
    EXPECT_EQ(c.decoder({rec, {}, &rules, c.decoder}, msg), c.accepted);
  }
}

TEST(cMdfDecoders, FlagAndIntegerFieldsFromConvertedValues) {
  struct Case {
    double factor;
    double offset;
    bool canFlag;
    bool linDir;
    uint8_t channel;
  };
  const Case cases[] = {
      {0.5, 0.0, false, true, 0},  // 0.5: CAN flags truncate, LIN direction does not
      {1.0, 0.0, true, true, 1},
      {1.0, -2.0, true, true, 0xFF},  // -1 keeps its low byte
      {1.0, 1e30, true, true, 0xFF},  // out of range saturates, no undefined cast
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.factor << " " << c.offset);
    std::vector<uint8_t> rec = {1};
    cMdfDecodeRule ide = makeRule("CAN_DataFrame.IDE", 0, 8);
    ide.conversion = cMdfConversionRule_linear(c.factor, c.offset);
    cMdfDecodeRule ch = makeRule("CAN_DataFrame.BusChannel", 0, 8);
    ch.conversion = ide.conversion;
    std::vector<cMdfDecodeRule> can = {ide, ch};
    cBusMsg msg;
    ASSERT_TRUE(cMdfDecoders_decodeCanDataFrame({rec, {}, &can, nullptr}, msg));
    EXPECT_EQ(msg.can.ide, c.canFlag);
    EXPECT_EQ(msg.channel, c.channel);
    cMdfDecodeRule dir = makeRule("LIN_Frame.Dir", 0, 8);
    dir.conversion = ide.conversion;
    std::vector<cMdfDecodeRule> lin = {dir};
    ASSERT_TRUE(cMdfDecoders_decodeLinFrame({rec, {}, &lin, nullptr}, msg));
    EXPECT_EQ(msg.lin.dir, c.linDir);
  }
}

TEST(cMdfDecoders, LookupMissStoresZeroInIntegerFields) {
  cMdfDecodeRule id = makeRule("CAN_DataFrame.ID", 0, 8);
  id.conversion = cMdfConversionRule_lookupTable({{2.0, 7.0}});
  cMdfDecodeRule ide = makeRule("CAN_DataFrame.IDE", 0, 8);
  ide.conversion = id.conversion;
  std::vector<cMdfDecodeRule> rules = {id, ide};
  std::vector<uint8_t> rec = {1};
  cBusMsg msg;
  msg.id = 55;
  ASSERT_TRUE(cMdfDecoders_decodeCanDataFrame({rec, {}, &rules, nullptr}, msg));
  EXPECT_EQ(msg.id, 0u);
  EXPECT_FALSE(msg.can.ide);
  rec[0] = 2;
  ASSERT_TRUE(cMdfDecoders_decodeCanDataFrame({rec, {}, &rules, nullptr}, msg));
  EXPECT_EQ(msg.id, 7u);
}

TEST(cMdfDecoders, PayloadBufferIsReusedOnceGrown) {
  CanRecord r(64);
  putLE(r.rec, 14, 64, 1);
  cBusMsg msg;
  ASSERT_TRUE(cMdfDecoders_decodeCanDataFrame(r.view(), msg));
  const uint8_t* buffer = msg.data.data();
  for (uint64_t len : {8, 64, 0, 12, 64}) {
    putLE(r.rec, 14, len, 1);
    ASSERT_TRUE(cMdfDecoders_decodeCanDataFrame(r.view(), msg));
    EXPECT_EQ(msg.data.size(), len);
    EXPECT_EQ(msg.data.data(), buffer);
  }
}

TEST(cMdfDecoders, GenericAndMissingRulesYieldNothing) {
  std::vector<uint8_t> rec(4, 0);
  cBusMsg msg;
  msg.type = cBusMsgType::BUS_MSG_LIN_FRAME;
  msg.data = {1};
  EXPECT_FALSE(cMdfDecoders_decodeGeneric({rec, {}, nullptr, nullptr}, msg));
  EXPECT_EQ(msg.type, cBusMsgType::BUS_MSG_GENERIC);
  EXPECT_FALSE(cMdfDecoders_decodeCanDataFrame({rec, {}, nullptr, nullptr}, msg));
  std::vector<cMdfDecodeRule> none;
  EXPECT_TRUE(cMdfDecoders_decodeCanDataFrame({rec, {}, &none, nullptr}, msg));
  EXPECT_TRUE(msg.data.empty());
}

// Frames of every kind the logger writes, through a written file, its
// record layer, its decoding rules and the merge.
TEST(cMdfDecoders, WrittenFramesOfEveryKindComeBackExactly) {
  std::vector<uint8_t> bytes64(64);
  for (size_t i = 0; i < bytes64.size(); ++i) bytes64[i] = static_cast<uint8_t>(3 * i + 1);
  auto first = [&](size_t n) { return std::vector<uint8_t>(bytes64.begin(), bytes64.begin() + n); };
  struct Case {
    const char* what;
    cMklogKind kind;
    cMklogFrame frame;
    cBusMsgType type;
    std::vector<uint8_t> data;
    uint8_t dlc;
    bool edl;
  };
  auto frame = [](double t, uint8_t ch, uint32_t id, std::vector<uint8_t> data) {
    cMklogFrame f;
    f.t = t;
    f.channel = ch;
    f.id = id;
    f.data = std::move(data);
    return f;
  };
  cMklogFrame ext = frame(0.25, 1, 0x18FEF100, first(8));
  ext.ide = true;
  ext.dir = true;
  cMklogFrame fd = frame(1.5, 2, 0x7FF, first(12));
  fd.brs = true;
  fd.esi = true;
  cMklogFrame remote = frame(2, 1, 0x55, {});
  remote.length = 4;
  cMklogFrame error = frame(3, 2, 0, {});
  error.errorType = 3;
  cMklogFrame lin = frame(4, 1, 0x21, first(4));
  lin.dir = true;
  const Case cases[] = {
      {"classic", cMklogKind::Can, frame(0.5, 2, 0x123, first(8)),
       cBusMsgType::BUS_MSG_CAN_DATA_FRAME, first(8), 8, false},
      {"classic short", cMklogKind::Can, frame(0.5, 1, 0x1, first(3)),
       cBusMsgType::BUS_MSG_CAN_DATA_FRAME, first(3), 3, false},
      {"extended", cMklogKind::Can, ext, cBusMsgType::BUS_MSG_CAN_DATA_FRAME, first(8), 8, false},
      {"fd fixed", cMklogKind::CanFd, fd, cBusMsgType::BUS_MSG_CAN_DATA_FRAME, first(12), 9, true},
      {"fd vlsd group", cMklogKind::CanFdVlsd, frame(1, 1, 0x10, first(64)),
       cBusMsgType::BUS_MSG_CAN_DATA_FRAME, first(64), 15, true},
      {"fd signal data", cMklogKind::CanFdSd, frame(1, 1, 0x10, first(20)),
       cBusMsgType::BUS_MSG_CAN_DATA_FRAME, first(20), 11, true},
      {"remote", cMklogKind::Remote, remote, cBusMsgType::BUS_MSG_CAN_REMOTE_FRAME,
       std::vector<uint8_t>(4, 0), 4, false},
      {"error", cMklogKind::Error, error, cBusMsgType::BUS_MSG_CAN_ERROR_FRAME, {}, 0, false},
      {"lin", cMklogKind::Lin, lin, cBusMsgType::BUS_MSG_LIN_FRAME, first(4), 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    cMklogPlan plan = testLog_plan();
    plan.dataGroups.push_back(testLog_group(c.kind, {c.frame, c.frame}));
    auto log = testLog_open(plan);
    ASSERT_TRUE(log);
    const auto frames = testLog_frames(*log);
    ASSERT_EQ(frames.size(), 2u);
    const cBusMsg& m = frames[1];
    EXPECT_EQ(m.type, c.type);
    EXPECT_DOUBLE_EQ(m.timeStamp, c.frame.t);
    EXPECT_EQ(m.channel, c.frame.channel);
    EXPECT_EQ(m.data, c.data);
    switch (c.type) {
      case cBusMsgType::BUS_MSG_CAN_DATA_FRAME:
      case cBusMsgType::BUS_MSG_CAN_REMOTE_FRAME:
        EXPECT_EQ(m.id, c.frame.id);
        EXPECT_EQ(m.can.ide, c.frame.ide);
        EXPECT_EQ(m.can.dir, c.frame.dir);
        EXPECT_EQ(m.can.dlc, c.dlc);
        EXPECT_EQ(m.can.edl, c.edl);
        EXPECT_EQ(m.can.brs, c.frame.brs);
        EXPECT_EQ(m.can.esi, c.frame.esi);
        EXPECT_EQ(m.can.rtr, c.type == cBusMsgType::BUS_MSG_CAN_REMOTE_FRAME);
        break;
      case cBusMsgType::BUS_MSG_CAN_ERROR_FRAME:
        EXPECT_EQ(m.canError.errorType, c.frame.errorType);
        break;
      case cBusMsgType::BUS_MSG_LIN_FRAME:
        EXPECT_EQ(m.id, c.frame.id);
        EXPECT_EQ(m.lin.dir, c.frame.dir);
        EXPECT_EQ(m.lin.receivedDataByteCount, c.data.size());
        break;
      default:
        ADD_FAILURE() << "unexpected type";
    }
  }
}

}  // namespace
