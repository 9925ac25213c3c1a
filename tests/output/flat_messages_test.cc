// The compact signal table's rows against the signal decoder, value by
// value: every byte order, sign, bit length and position a payload of the
// message's length allows (the one-load extraction), and payloads of other
// lengths (the checked path); which messages have every row whole.
#include "output/flat_messages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "db/decode.h"

namespace {

// The row the decoder layer writes: each value not ignored, NaN outside its
// limits unless both are 0; -1 when a signal does not decode.
int64_t expectedRow(const cDBMessage& m, std::span<const uint8_t> payload, std::vector<double>* out) {
  out->clear();
  int64_t inLimits = 0;
  for (const cDBSignal& s : m.signals) {
    double v;
    if (!cDecode_decodeQuiet(payload, s.params, &v)) return -1;
    if (s.ignored) continue;
    const bool in = cDecode_limits(s.params).hold(v);
    inLimits += in;
    out->push_back(in ? v : NAN);
  }
  return inLimits;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(cFlatMessageTable, RowsEqualTheSignalDecoderForEveryLayout) {
  cDB db(cDBBusKind::Can);
  uint32_t key = 0;
  for (uint32_t length : {1u, 2u, 7u, 8u, 12u, 64u})
    for (auto order : {cDBByteOrder::LittleEndian, cDBByteOrder::BigEndian})
      for (auto type : {cDBValueType::Unsigned, cDBValueType::Signed})
        for (uint32_t count : {1u, 3u, 8u, 12u, 31u, 33u, 52u, 57u, 63u, 64u}) {
          if (count > 8 * length) continue;
          // The first positions, a middle one and the last few that fit.
          const int64_t bits = 8 * length, n = count;
          for (int64_t pos : {int64_t{0}, int64_t{1}, int64_t{5}, int64_t{7}, bits / 2, bits - n - 1, bits - n}) {
            if (pos < 0 || pos + n > bits) continue;
            cDBMessage* m = cDB_messageAdd(&db, "M" + std::to_string(key), key, length, cDBTransport::None, "", 0);
            ++key;
            // Limits cut some values; a second, ignored signal is skipped.
            cDB_signalAdd(&m->signals, "S", {.byteOrder = order, .valueType = type,
                                             .bitPosition = static_cast<uint16_t>(pos),
                                             .bitLength = static_cast<uint8_t>(count), .factor = 0.5,
                                             .offset = -3, .minimum = count > 3 ? -1e3 : 0,
                                             .maximum = count > 3 ? 1e3 : 0}, 0);
            cDB_signalAdd(&m->signals, "Hidden", {.bitLength = 1}, 1);
          }
        }
  cFlatMessageTable table;
  std::mt19937 random(7);
  std::vector<double> got, want;
  for (const auto& [k, m] : db.messages()) {
    const cFlatMessage& entry = table.find(db, k);
    ASSERT_EQ(entry.message, &m);
    SCOPED_TRACE(m.name + " bit " + std::to_string(m.signals[0].params.bitPosition) + " length " +
                 std::to_string(m.signals[0].params.bitLength));
    // Integer fields inside the message take one load, unless they span
    // nine bytes.
    const cDBSignalParameters& p = m.signals[0].params;
    ASSERT_EQ(entry.fastLength, (p.bitPosition & 7) + p.bitLength > 64 ? 0 : m.length);
    // The message's own length, and shorter and longer payloads.
    for (uint32_t size : {m.length, m.length - 1, m.length + 3}) {
      for (int trial = 0; trial < 8; ++trial) {
        std::vector<uint8_t> payload(size);
        for (uint8_t& b : payload) b = trial == 0 ? 0xFF : trial == 1 ? 0 : static_cast<uint8_t>(random());
        const int64_t expected = expectedRow(m, payload, &want);
        ASSERT_EQ(table.row(entry, payload, &got), expected) << "payload of " << size;
        if (expected >= 0) {
          ASSERT_TRUE(sameBits(got, want)) << "payload of " << size << ": " << got[0] << " " << want[0];
        }
      }
    }
  }
}

TEST(cFlatMessageTable, MessagesWithoutOneLoadReadTheCheckedWay) {
  cDB db(cDBBusKind::Can);
  // A float signal; a signal past the message's length; an empty message.
  cDB_signalAdd(&cDB_messageAdd(&db, "F", 1, 8, cDBTransport::None, "", 0)->signals, "F",
                {.valueType = cDBValueType::Float, .bitPosition = 0, .bitLength = 32}, 0);
  cDB_signalAdd(&cDB_messageAdd(&db, "Long", 2, 2, cDBTransport::None, "", 0)->signals, "L",
                {.bitPosition = 8, .bitLength = 16}, 0);
  cDB_messageAdd(&db, "Empty", 3, 0, cDBTransport::None, "", 0);
  cFlatMessageTable table;
  std::vector<double> got, want;
  const std::vector<uint8_t> payload = {0x00, 0x00, 0x80, 0x3F, 1, 2, 3, 4};
  for (uint32_t k : {1u, 2u}) {
    const cFlatMessage& entry = table.find(db, k);
    EXPECT_EQ(entry.fastLength, 0) << k;
    const cDBMessage& m = *entry.message;
    for (size_t size : {size_t{0}, size_t{2}, size_t{3}, payload.size()}) {
      std::span<const uint8_t> p(payload.data(), size);
      const int64_t expected = expectedRow(m, p, &want);
      EXPECT_EQ(table.row(entry, p, &got), expected) << k << " " << size;
      if (expected >= 0) {
        EXPECT_TRUE(sameBits(got, want)) << k << " " << size;
      }
    }
  }
  EXPECT_FALSE(table.find(db, 3).flat);
  EXPECT_EQ(table.find(db, 4).message, nullptr);
}

TEST(cFlatMessageTable, RowsAreKnownWholeExactlyWhenNoFieldValueLeavesItsLimits) {
  using enum cDBValueType;
  const struct {
    cDBValueType type;
    uint8_t bits;
    double factor, offset, minimum, maximum;
    bool whole;
  } cases[] = {
      {Unsigned, 8, 1, 0, 0, 255, true},
      {Unsigned, 8, 1, 0, 0, 254, false},
      {Unsigned, 8, 1, 0, 1, 255, false},
      {Unsigned, 8, -1, 0, -255, 0, true},  // a negative factor turns the range round
      {Unsigned, 8, -1, 0, -254, 0, false},
      {Unsigned, 4, 2, 1, 1, 31, true},
      {Unsigned, 4, 2, 1, 1.5, 31, false},
      {Signed, 8, 1, 0, -128, 127, true},
      {Signed, 8, 1, 0, -127, 127, false},
      {Signed, 8, 1, 0, -128, 126, false},
      {Signed, 12, 0.1, 0, -205, 205, true},
      {Unsigned, 14, 0.1, 0, 0, 1638.3, true},  // 16383 * 0.1 rounds above 1638.3
      {Unsigned, 9, 0.03, -15.232, -15.232, 0.098, true},
      {Unsigned, 64, 1, 0, 0, 0, true},  // no limits
      {Unsigned, 64, 1, 0, 0, 18446744073709551615.0, true},
      {Unsigned, 64, 1, 0, 0, 1e19, false},
      {Signed, 64, 1, 0, -9223372036854775808.0, 9223372036854775807.0, true},
      {Signed, 64, 1, 0, -9e18, 9e18, false},
      {Unsigned, 8, NAN, 0, -1e9, 1e9, false},
      {Signed, 8, INFINITY, 0, -INFINITY, INFINITY, false},  // 0 * inf is NaN
  };
  cDB db(cDBBusKind::Can);
  for (uint32_t k = 0; k < std::size(cases); ++k) {
    const auto& c = cases[k];
    cDBMessage* m = cDB_messageAdd(&db, "M" + std::to_string(k), k, 8, cDBTransport::None, "", 0);
    cDB_signalAdd(&m->signals, "S", {.valueType = c.type, .bitPosition = 0, .bitLength = c.bits,
                                     .factor = c.factor, .offset = c.offset, .minimum = c.minimum,
                                     .maximum = c.maximum}, 0);
    cDB_signalAdd(&m->signals, "Hidden", {.bitPosition = 0, .bitLength = 1, .minimum = 5, .maximum = 6}, 1);
  }
  cFlatMessageTable table;
  std::vector<double> values;
  for (uint32_t k = 0; k < std::size(cases); ++k) {
    const auto& c = cases[k];
    const cFlatMessage& entry = table.find(db, k);
    ASSERT_EQ(entry.fastLength, 8) << k;
    EXPECT_EQ(entry.alwaysInLimits, c.whole) << k;
    // The field's smallest and largest integers and 0, little-endian at bit 0.
    const uint64_t top = c.bits == 64 ? ~uint64_t{0} : (uint64_t{1} << c.bits) - 1;
    const uint64_t signBit = uint64_t{1} << (c.bits - 1);
    int64_t extremesInLimits = 0;
    for (uint64_t raw : {c.type == Signed ? signBit : 0, uint64_t{0}, c.type == Signed ? signBit - 1 : top}) {
      uint8_t payload[8];
      std::memcpy(payload, &raw, 8);
      extremesInLimits += table.row(entry, payload, &values);
    }
    EXPECT_EQ(extremesInLimits == 3, c.whole) << k;
  }
}

}  // namespace
