#include "db/decode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "db/db.h"
#include "db/db_test_support.h"

namespace {

// Reference: walk the field one bit at a time by the numbering definitions.
uint64_t referenceBits(const std::vector<uint8_t>& payload, uint32_t position, uint32_t count,
                       bool littleEndian) {
  if (count == 0 || (position + count + 7) / 8 > payload.size()) return 0;
  uint64_t value = 0;
  if (littleEndian) {
    for (uint32_t i = 0; i < count && i < 64; ++i) {
      uint32_t k = position + i;
      uint64_t bit = (payload[k / 8] >> (k % 8)) & 1u;
      value |= bit << i;
    }
  } else {
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t k = position + i;
      uint64_t bit = (payload[k / 8] >> (7 - k % 8)) & 1u;
      value = (value << 1) | bit;
    }
  }
  return value;
}

TEST(cDecode, RawBitsMatchBitByBitReference) {
  const uint32_t seed = 20240305;
  std::printf("random seed %u\n", seed);
  std::mt19937 random(seed);
  for (int round = 0; round < 20000; ++round) {
    std::vector<uint8_t> payload(1 + random() % 16);
    for (uint8_t& byte : payload) byte = static_cast<uint8_t>(random());
    uint32_t bits = static_cast<uint32_t>(payload.size() * 8);
    uint32_t count = 1 + random() % 64;
    uint32_t position = random() % (bits + 4);  // sometimes past the end
    bool littleEndian = (random() & 1) != 0;
    ASSERT_EQ(cDecode_getRawBits(payload, position, count, littleEndian),
              referenceBits(payload, position, count, littleEndian))
        << "size " << payload.size() << " position " << position << " count " << count
        << (littleEndian ? " intel" : " motorola");
  }
}

TEST(cDecode, RawBitsTable) {
  const std::vector<uint8_t> p = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
  struct Case {
    const char* what;
    uint32_t position, count;
    bool littleEndian;
    uint64_t raw;
  };
  const Case cases[] = {
      {"intel byte 0", 0, 8, true, 0x12},
      {"intel 16 bits", 0, 16, true, 0x3412},
      {"intel nibble across bytes", 4, 8, true, 0x41},
      {"intel 64 bits", 0, 64, true, 0xF0DEBC9A78563412},
      {"intel 57 bits", 7, 57, true, 0xF0DEBC9A78563412 >> 7},
      {"intel last byte ends the payload", 56, 8, true, 0xF0},
      {"intel one bit past the end", 57, 8, true, 0},
      {"motorola 16 bits", 0, 16, false, 0x1234},
      {"motorola DBC start 3 length 8", 4, 8, false, 0x23},
      {"motorola 64 bits", 0, 64, false, 0x123456789ABCDEF0},
      {"motorola 60 bits from bit 4", 4, 60, false, 0x23456789ABCDEF0},
      {"motorola past the end", 60, 8, false, 0},
      {"count zero", 0, 0, true, 0},
      {"count taken as 8 bits", 0, 256 + 8, true, 0x12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(cDecode_getRawBits(p, c.position, c.count, c.littleEndian), c.raw);
  }
}

TEST(cDecode, ShortPayloadIsNeverReadPast) {
  // A heap block of exactly three bytes: AddressSanitizer catches any read
  // beyond it.
  std::vector<uint8_t> payload = {0xAA, 0xBB, 0xCC};
  EXPECT_EQ(cDecode_getRawBits(payload, 0, 24, true), 0xCCBBAAu);
  EXPECT_EQ(cDecode_getRawBits(payload, 20, 4, true), 0xCu);
  EXPECT_EQ(cDecode_getRawBits(payload, 0, 24, false), 0xAABBCCu);
  EXPECT_EQ(cDecode_getRawBits(payload, 16, 8, false), 0xCCu);
}

TEST(cDecode, FieldAtByte300OfLongMessage) {
  std::vector<uint8_t> payload(400, 0);
  payload[300] = 0x5A;
  payload[301] = 0x01;
  EXPECT_EQ(cDecode_getRawBits(payload, 300 * 8, 16, true), 0x015Au);
  EXPECT_EQ(cDecode_getRawBits(payload, 300 * 8, 16, false), 0x5A01u);
}

struct ValueCase {
  const char* what;
  std::vector<uint8_t> payload;
  cDBSignalParameters params;
  double value;
};

cDBSignalParameters make(cDBByteOrder order, cDBValueType type, uint16_t position,
                         uint8_t length, double factor = 1.0, double offset = 0.0) {
  cDBSignalParameters p;
  p.byteOrder = order;
  p.valueType = type;
  p.bitPosition = position;
  p.bitLength = length;
  p.factor = factor;
  p.offset = offset;
  return p;
}

constexpr auto kIntel = cDBByteOrder::LittleEndian;
constexpr auto kMotorola = cDBByteOrder::BigEndian;

TEST(cDecode, PhysicalValues) {
  const ValueCase cases[] = {
      {"scaled intel byte", {0x64}, make(kIntel, cDBValueType::Unsigned, 0, 8, 0.5, -10), 40.0},
      {"motorola 16 bits", {0x12, 0x34}, make(kMotorola, cDBValueType::Unsigned, 0, 16), 0x1234},
      {"signed 12-bit all ones", {0xFF, 0x0F}, make(kIntel, cDBValueType::Signed, 0, 12), -1.0},
      {"signed 12-bit positive", {0xFF, 0x07}, make(kIntel, cDBValueType::Signed, 0, 12), 2047.0},
      {"signed 64-bit minimum",
       {0, 0, 0, 0, 0, 0, 0, 0x80},
       make(kIntel, cDBValueType::Signed, 0, 64),
       -9223372036854775808.0},
      {"unsigned 64-bit top bit",
       {0, 0, 0, 0, 0, 0, 0, 0x80},
       make(kIntel, cDBValueType::Unsigned, 0, 64),
       9223372036854775808.0},
      {"signed motorola 8 bits", {0x80}, make(kMotorola, cDBValueType::Signed, 0, 8), -128.0},
      {"float one", {0x00, 0x00, 0x80, 0x3F}, make(kIntel, cDBValueType::Float, 0, 32), 1.0},
      {"float motorola", {0x3F, 0x80, 0x00, 0x00}, make(kMotorola, cDBValueType::Float, 0, 32), 1.0},
      {"double minus two",
       {0, 0, 0, 0, 0, 0, 0x00, 0xC0},
       make(kIntel, cDBValueType::Double, 0, 64, 2.0, 1.0),
       -3.0},
      {"unknown value type gives the offset", {0xFF}, make(kIntel, cDBValueType::None, 0, 8, 3, 7), 7.0},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.what);
    double value = 12345.0;
    ASSERT_TRUE(cDecode_decode(c.payload, c.params, &value));
    EXPECT_EQ(value, c.value);
  }
}

TEST(cDecode, InvalidLengthsWarnAndLeaveValue) {
  const struct {
    cDBSignalParameters params;
    const char* warning;
  } cases[] = {
      {make(kIntel, cDBValueType::Unsigned, 0, 0), "Invalid signal bit length (zero)"},
      {make(kIntel, cDBValueType::Unsigned, 60, 8), "Invalid signal bit length (exceeds payload)"},
      {make(kIntel, cDBValueType::Float, 0, 16), "Invalid signal bit length (float != 32)"},
      {make(kIntel, cDBValueType::Double, 0, 32), "Invalid signal bit length (double != 64)"},
  };
  std::vector<uint8_t> payload(8, 0xFF);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.warning);
    cLogCapture log;
    double value = 7.5;
    EXPECT_FALSE(cDecode_decode(payload, c.params, &value));
    EXPECT_EQ(value, 7.5);
    EXPECT_EQ(log.count('W', c.warning), 1u);
    EXPECT_EQ(log.lines().size(), 1u);
  }
}

// Message: Mux (byte 0, ranges [0,1] {A}, [2,5] {B, Sub (ranges [9,9] {C})},
// [2,2] {D}), then Tail (byte 7).
class DecodeMessageTest : public testing::Test {
 protected:
  void SetUp() override {
    cDBMessage* m = cDB_messageAdd(&db_, "Multi", 0x123, 8, cDBTransport::None, "", 0);
    cDB_signalAdd(&m->signals, "Mux", make(kIntel, cDBValueType::Unsigned, 0, 8), 0);
    cDB_signalAdd(&m->signals, "Tail", make(kIntel, cDBValueType::Unsigned, 56, 8), 1);
    cDBSignal& mux = m->signals[0];
    cDB_multiplexAdd(&mux.ranges, 0, 1);
    cDB_multiplexAdd(&mux.ranges, 2, 5);
    cDB_multiplexAdd(&mux.ranges, 2, 2);
    cDB_signalAdd(&mux.ranges[0].signals, "A", make(kIntel, cDBValueType::Unsigned, 8, 8), 0);
    cDB_signalAdd(&mux.ranges[1].signals, "B", make(kIntel, cDBValueType::Unsigned, 16, 8), 0);
    cDB_signalAdd(&mux.ranges[1].signals, "Sub", make(kIntel, cDBValueType::Unsigned, 24, 8), 0);
    cDB_signalAdd(&mux.ranges[2].signals, "D", make(kIntel, cDBValueType::Unsigned, 8, 8), 0);
    cDBSignal& sub = mux.ranges[1].signals[1];
    cDB_multiplexAdd(&sub.ranges, 9, 9);
    cDB_signalAdd(&sub.ranges[0].signals, "C", make(kIntel, cDBValueType::Signed, 32, 8), 0);
    cDB_messageAdd(&db_, "Quiet", 0x124, 8, cDBTransport::None, "", 1);
  }

  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const cDBDecodedSignal& s : decoded_.signals) out.emplace_back(s.name);
    return out;
  }

  cDB db_{cDB::kBusCan};
  cDBDecodedMessage decoded_;
};

TEST_F(DecodeMessageTest, SelectsFirstMatchingRangeDepthFirst) {
  const uint8_t payload[8] = {2, 11, 22, 9, 0xFF, 0, 0, 77};
  ASSERT_TRUE(cDB_decodeMessage(&db_, 0x123, payload, &decoded_));
  EXPECT_EQ(decoded_.message, cDB_messageFind(&db_, 0x123));
  EXPECT_EQ(names(), (std::vector<std::string>{"Mux", "B", "Sub", "C", "Tail"}));
  EXPECT_EQ(decoded_.signals[3].value, -1.0);
  EXPECT_EQ(decoded_.signals[0].isMultiplexor, 1);
  EXPECT_EQ(decoded_.signals[2].isMultiplexor, 1);
  EXPECT_EQ(decoded_.signals[1].isMultiplexor, 0);
  EXPECT_EQ(decoded_.signals[4].ignored, 1);
  EXPECT_EQ(decoded_.signals[4].value, 77.0);
  EXPECT_EQ(decoded_.signals[1].nameHash, static_cast<uint32_t>(cDB_nameHash("B")));
  EXPECT_EQ(decoded_.signals[1].signal, &db_.messages().at(0x123).signals[0].ranges[1].signals[0]);

  const uint8_t other[8] = {1, 11, 22, 9, 0, 0, 0, 0};
  ASSERT_TRUE(cDB_decodeMessage(&db_, 0x123, other, &decoded_));
  EXPECT_EQ(names(), (std::vector<std::string>{"Mux", "A", "Tail"}));
  const uint8_t none[8] = {6, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(cDB_decodeMessage(&db_, 0x123, none, &decoded_));
  EXPECT_EQ(names(), (std::vector<std::string>{"Mux", "Tail"}));
}

TEST_F(DecodeMessageTest, UnknownOrIgnoredMessageGivesNothing) {
  const uint8_t payload[8] = {};
  ASSERT_TRUE(cDB_decodeMessage(&db_, 0x123, payload, &decoded_));
  EXPECT_FALSE(cDB_decodeMessage(&db_, 0x999, payload, &decoded_));
  EXPECT_EQ(decoded_.message, nullptr);
  EXPECT_TRUE(decoded_.signals.empty());
  EXPECT_FALSE(cDB_decodeMessage(&db_, 0x124, payload, &decoded_));
  EXPECT_FALSE(cDB_decodeMessage(nullptr, 0x123, payload, &decoded_));
  EXPECT_FALSE(cDB_decodeMessage(&db_, 0x123, payload, nullptr));
}

TEST_F(DecodeMessageTest, ShortPayloadKeepsSignalsBeforeTheFailure) {
  cLogCapture log;
  const uint8_t payload[4] = {2, 11, 22, 9};  // C (byte 4) and Tail (byte 7) are missing
  ASSERT_TRUE(cDB_decodeMessage(&db_, 0x123, payload, &decoded_));
  EXPECT_EQ(names(), (std::vector<std::string>{"Mux", "B", "Sub"}))
      << "a failure inside a range ends that range only; Tail then fails on its own";
  EXPECT_EQ(log.count('W', "Invalid signal bit length (exceeds payload)"), 2u);
  EXPECT_EQ(log.count('W', "Failed to decode signal: \"C\""), 1u);
  EXPECT_EQ(log.count('W', "Failed to decode signal: \"Tail\""), 1u);
  EXPECT_EQ(log.count('W', "Failed to decode message: \"Multi\""), 1u);
}

TEST_F(DecodeMessageTest, ReusedResultStopsAllocating) {
  const uint8_t payload[8] = {2, 11, 22, 9, 0xFF, 0, 0, 77};
  ASSERT_TRUE(cDB_decodeMessage(&db_, 0x123, payload, &decoded_));
  const cDBDecodedSignal* buffer = decoded_.signals.data();
  size_t capacity = decoded_.signals.capacity();
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(cDB_decodeMessage(&db_, 0x123, payload, &decoded_));
  }
  EXPECT_EQ(decoded_.signals.data(), buffer);
  EXPECT_EQ(decoded_.signals.capacity(), capacity);
}

}  // namespace
