#include "db/db.h"

#include <gtest/gtest.h>

#include "db/db_test_support.h"

namespace {

cDBSignalParameters params(uint16_t position, uint8_t length) {
  cDBSignalParameters p;
  p.bitPosition = position;
  p.bitLength = length;
  return p;
}

TEST(cDB, MessageAddStoresCopiesAndRejectsDuplicateKey) {
  cDB db(cDB::kBusCan);
  std::string name = "Engine";
  cDBMessage* m = cDB_messageAdd(&db, name, 0x100, 8, cDBTransport::MuxTp, "MUXTP#1:2:3:4", 1);
  ASSERT_NE(m, nullptr);
  name = "changed";
  EXPECT_EQ(m->name, "Engine");
  EXPECT_EQ(m->nameHash, cDB_nameHash("Engine"));
  EXPECT_EQ(m->transportParameter, "MUXTP#1:2:3:4");
  EXPECT_EQ(m->owner, &db);
  EXPECT_EQ(cDB_messageFind(&db, 0x100), m);
  EXPECT_EQ(cDB_messageFind(&db, 0x101), nullptr);

  cLogCapture log;
  EXPECT_EQ(cDB_messageAdd(&db, std::string_view("OtherXYZ", 5), 0x100, 4, cDBTransport::None, "", 0),
            nullptr);
  EXPECT_EQ(log.count('F', "Message key collision: 256 (Other, Engine)"), 1u);
  EXPECT_EQ(cDB_messageFind(&db, 0x100)->length, 8u);
  EXPECT_EQ(cDB_messageAdd(nullptr, "x", 1, 1, cDBTransport::None, "", 0), nullptr);
  EXPECT_EQ(cDB_messageFind(static_cast<const cDB*>(nullptr), 1), nullptr);
}

TEST(cDB, IterationIsInUnsignedKeyOrder) {
  cDB db(cDB::kBusCan);
  for (uint32_t key : {0x80000001u, 0x7FFu, 0x80000000u, 0x1u, 0x100u}) {
    ASSERT_NE(cDB_messageAdd(&db, std::to_string(key).append("m"), key, 8, cDBTransport::None, "", 0),
              nullptr);
  }
  std::vector<uint32_t> keys;
  for (const auto& [key, message] : db.messages()) {
    EXPECT_EQ(message.key, key);
    keys.push_back(key);
  }
  EXPECT_EQ(keys, (std::vector<uint32_t>{0x1, 0x100, 0x7FF, 0x80000000, 0x80000001}));
}

TEST(cDB, SignalAddRefusesValueTypeNone) {
  std::vector<cDBSignal> signals;
  cDBSignalParameters p = params(0, 8);
  p.valueType = cDBValueType::None;
  EXPECT_EQ(cDB_signalAdd(&signals, "a", p, 0), nullptr);
  EXPECT_EQ(cDB_signalAdd(nullptr, "a", params(0, 8), 0), nullptr);
  EXPECT_TRUE(signals.empty());
  cDBSignal* s = cDB_signalAdd(&signals, "a", params(3, 5), 1);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->params.bitPosition, 3);
  EXPECT_EQ(s->ignored, 1);
  EXPECT_FALSE(s->isMultiplexor());
}

// Top: A (ranges [0,0]: {B (range [1,1]: {X#1})}, [1,1]: {X#2}), X#3.
TEST(cDB, SignalFindIsDepthFirst) {
  std::vector<cDBSignal> top;
  cDB_signalAdd(&top, "A", params(0, 8), 0);
  cDB_signalAdd(&top, "X", params(40, 8), 0);  // reached last
  cDBRange* r0 = cDB_multiplexAdd(&top[0].ranges, 0, 0);
  cDBRange* r1 = cDB_multiplexAdd(&top[0].ranges, 1, 1);
  cDB_signalAdd(&r1->signals, "X", params(16, 8), 0);
  r0 = &top[0].ranges[0];
  cDBSignal* b = cDB_signalAdd(&r0->signals, "B", params(8, 8), 0);
  cDBRange* nested = cDB_multiplexAdd(&b->ranges, 1, 1);
  cDB_signalAdd(&nested->signals, "X", params(24, 8), 0);

  const cDBSignal* x = cDB_signalFind(top, "X");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->params.bitPosition, 24) << "two ranges deep, before A's second range";
  EXPECT_EQ(cDB_signalFind(top, "B"), &top[0].ranges[0].signals[0]);
  EXPECT_EQ(cDB_signalFind(top, "x"), nullptr);
  EXPECT_EQ(cDB_signalFind(top, "XX"), nullptr);
}

TEST(cDB, RangeLookups) {
  std::vector<cDBRange> ranges;
  EXPECT_EQ(cDB_multiplexAdd(&ranges, 5, 4), nullptr);
  EXPECT_EQ(cDB_multiplexAdd(nullptr, 1, 1), nullptr);
  cDB_multiplexAdd(&ranges, 0, 1);
  cDB_multiplexAdd(&ranges, 2, 5);
  cDB_multiplexAdd(&ranges, 2, 2);
  cDB_multiplexAdd(&ranges, 2, 5);  // no duplicate check
  ASSERT_EQ(ranges.size(), 4u);

  struct Case {
    uint32_t value;
    int index;  // -1: none
  };
  const Case cases[] = {{0, 0}, {1, 0}, {2, 1}, {5, 1}, {6, -1}, {0xFFFFFFFF, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const cDBRange* found = cDB_multiplexedFindValue(ranges, c.value);
    EXPECT_EQ(found, c.index < 0 ? nullptr : &ranges[c.index]);
  }
  EXPECT_EQ(cDB_multiplexedFindRange(ranges, 2, 2), &ranges[2]);
  EXPECT_EQ(cDB_multiplexedFindRange(ranges, 2, 5), &ranges[1]);
  EXPECT_EQ(cDB_multiplexedFindRange(ranges, 3, 5), nullptr);
}

}  // namespace
