// Placement of multiplexed signals, extended multiplexing and hostile files.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "db/db_json.h"
#include "db/db_test_support.h"

namespace {

const char* kCan = "BA_DEF_ \"BusType\" STRING ;\nBA_ \"BusType\" \"CAN\";\n";

std::string sg(const std::string& name, const std::string& mux, int position) {
  return " SG_ " + name + " " + mux + " : " + std::to_string(position) +
         "|8@1+ (1,0) [0|0] \"\" X\n";
}

// Signal names of the decoded payload, in order.
std::vector<std::string> decodeNames(const cDB& db, uint32_t key, std::vector<uint8_t> payload) {
  cDBDecodedMessage decoded;
  std::vector<std::string> names;
  if (!cDB_decodeMessage(&db, key, payload, &decoded)) return names;
  for (const auto& s : decoded.signals) names.emplace_back(s.name);
  return names;
}

TEST(cDBC, MultiplexedSignalBeforeItsMultiplexor) {
  cLogCapture log;
  auto db = loadDbc(std::string(kCan) + "BO_ 1 M: 8 X\n" + sg("B", "m2", 8) + sg("A", "m1", 8) +
                    sg("Mux", "M", 0) + sg("Plain", "", 56));
  ASSERT_NE(db, nullptr);
  EXPECT_TRUE(log.lines().empty());
  const cDBMessage* m = cDB_messageFind(db.get(), 1);
  ASSERT_EQ(m->signals.size(), 2u);
  const cDBSignal& mux = m->signals[0];
  ASSERT_EQ(mux.ranges.size(), 2u);
  EXPECT_EQ(mux.ranges[0].from, 2u);
  EXPECT_EQ(mux.ranges[0].signals[0].name, "B");
  EXPECT_EQ(mux.ranges[1].from, 1u);
  EXPECT_EQ(decodeNames(*db, 1, {1, 10, 0, 0, 0, 0, 0, 0}),
            (std::vector<std::string>{"Mux", "A", "Plain"}));
}

TEST(cDBC, MultiplexedSignalWithoutMultiplexorIsReported) {
  cLogCapture log;
  auto db = loadDbc(std::string(kCan) + "BO_ 1 M: 8 X\n" + sg("A", "m3", 8) + sg("B", "", 16));
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(countSignals(cDB_messageFind(db.get(), 1)->signals), 1u);
  EXPECT_EQ(log.count('E', "Failed to load signal A"), 1u);
  EXPECT_EQ(log.lines().size(), 1u);
}

TEST(cDBC, RangeRecordNamingAMissingMultiplexor) {
  cLogCapture log;
  auto db = loadDbc(std::string(kCan) + "BO_ 1 M: 8 X\n" + sg("A", "m3", 8) + sg("Mux", "M", 0) +
                    "SG_MUL_VAL_ 1 A Ghost 3-3;\n");
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(log.count('E', "Failed to load signal A"), 1u);
  EXPECT_TRUE(cDB_messageFind(db.get(), 1)->signals[0].ranges.empty());
}

// Cascaded multiplexing written in reverse order, with ranges.
TEST(cDBC, ExtendedMultiplexingAnyOrder) {
  cLogCapture log;
  auto db = loadDbc(std::string(kCan) + "BO_ 2147483649 Ext: 8 X\n" + sg("Leaf", "m1", 24) +
                    sg("Inner", "M", 8) + sg("Other", "m0", 16) + sg("Outer", "M", 0) +
                    "SG_MUL_VAL_ 2147483649 Leaf Inner 1-3;\n"
                    "SG_MUL_VAL_ 2147483649 Inner Outer 2-2;\n"
                    "SG_MUL_VAL_ 2147483649 Other Outer 0-1;\n");
  ASSERT_NE(db, nullptr);
  EXPECT_TRUE(log.lines().empty());
  const uint32_t key = 0x80000001;
  EXPECT_EQ(decodeNames(*db, key, {2, 3, 0, 0, 0, 0, 0, 0}),
            (std::vector<std::string>{"Outer", "Inner", "Leaf"}));
  EXPECT_EQ(decodeNames(*db, key, {2, 4, 0, 0, 0, 0, 0, 0}),
            (std::vector<std::string>{"Outer", "Inner"}));
  EXPECT_EQ(decodeNames(*db, key, {1, 0, 0, 0, 0, 0, 0, 0}),
            (std::vector<std::string>{"Outer", "Other"}));
}

// Two messages whose multiplexors and signals share names: each range record
// applies to its own message only.
TEST(cDBC, RangeRecordsBelongToTheirMessage) {
  cLogCapture log;
  std::string text = std::string(kCan);
  for (int id : {100, 200}) {
    text += "BO_ " + std::to_string(id) + " Msg" + std::to_string(id) + ": 8 X\n";
    text += sg("Mux", "M", 0) + sg("Counter", "m1", 8) + sg("Sub", "m1M", 16) + sg("Deep", "m5", 24);
  }
  text += "SG_MUL_VAL_ 100 Counter Mux 1-1;\n";
  text += "SG_MUL_VAL_ 100 Sub Mux 1-1;\n";
  text += "SG_MUL_VAL_ 100 Deep Sub 5-5;\n";
  text += "SG_MUL_VAL_ 200 Counter Mux 3-4;\n";
  text += "SG_MUL_VAL_ 200 Sub Mux 2-2;\n";
  text += "SG_MUL_VAL_ 200 Deep Sub 5-9;\n";
  auto db = loadDbc(text);
  ASSERT_NE(db, nullptr);
  EXPECT_TRUE(log.lines().empty());
  for (uint32_t key : {100u, 200u}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(countSignals(cDB_messageFind(db.get(), key)->signals), 4u);
  }
  EXPECT_EQ(decodeNames(*db, 100, {1, 0, 5, 0, 0, 0, 0, 0}),
            (std::vector<std::string>{"Mux", "Counter", "Sub", "Deep"}));
  EXPECT_EQ(decodeNames(*db, 200, {3, 0, 5, 0, 0, 0, 0, 0}),
            (std::vector<std::string>{"Mux", "Counter"}));
  EXPECT_EQ(decodeNames(*db, 200, {2, 0, 7, 0, 0, 0, 0, 0}),
            (std::vector<std::string>{"Mux", "Sub", "Deep"}));
}

TEST(cDBC, IndependentSignalsMessageIsDroppedWithItsSignals) {
  cLogCapture log;
  auto db = loadDbc(std::string(kCan) +
                    "BO_ 2147483648 ExtZero: 8 X\n" + sg("Real", "", 0) +
                    "BO_ 3221225472 VECTOR__INDEPENDENT_SIG_MSG: 0 X\n" + sg("Loose", "", 0) +
                    sg("Real", "", 8));
  ASSERT_NE(db, nullptr);
  ASSERT_EQ(db->messages().size(), 1u);
  const cDBMessage* m = cDB_messageFind(db.get(), 0x80000000);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->name, "ExtZero");
  ASSERT_EQ(m->signals.size(), 1u);
  EXPECT_EQ(m->signals[0].params.bitPosition, 0);
  EXPECT_EQ(log.count('W', "Ignoring message: VECTOR__INDEPENDENT_SIG_MSG"), 1u);
  EXPECT_EQ(log.lines().size(), 1u) << "its signals are neither placed nor reported";
}

TEST(cDBC, DeepNestingIsBounded) {
  std::string text = std::string(kCan) + "BO_ 1 Chain: 8 X\n" + sg("S0", "M", 0);
  for (int i = 1; i < 200; ++i) {
    text += " SG_ S" + std::to_string(i) + " m0M : 0|1@1+ (1,0) [0|0] \"\" X\n";
    text += "SG_MUL_VAL_ 1 S" + std::to_string(i) + " S" + std::to_string(i - 1) + " 0-0;\n";
  }
  cLogCapture log;
  auto db = loadDbc(text);
  ASSERT_NE(db, nullptr);
  size_t placed = countSignals(cDB_messageFind(db.get(), 1)->signals);
  EXPECT_GE(placed, 32u);
  EXPECT_LT(placed, 200u);
  EXPECT_EQ(log.count('E'), 200u - placed);
  std::vector<uint8_t> zeros(8, 0);
  EXPECT_EQ(decodeNames(*db, 1, zeros).size(), placed);
  std::string json;
  cDB_db2json(json, db.get());
  EXPECT_FALSE(json.empty());
}

TEST(cDBC, ManySignalsInOneMessageLoad) {
  const int kEach = 20000;
  std::string text = std::string(kCan) + "BO_ 7 Wide: 8 X\n";
  for (int i = 0; i < kEach; ++i) text += sg(std::to_string(i).insert(0, 1, 'P'), "", 0);
  text += sg("Mux", "M", 0);
  for (int i = 0; i < kEach; ++i) text += sg(std::to_string(i).insert(0, 1, 'Q'), std::to_string(i % 4).insert(0, 1, 'm'), 8);
  cLogCapture log;
  auto db = loadDbc(text);
  ASSERT_NE(db, nullptr);
  const cDBMessage* m = cDB_messageFind(db.get(), 7);
  EXPECT_EQ(countSignals(m->signals), 2u * kEach + 1);
  EXPECT_EQ(m->signals.back().ranges.size(), 4u);
  EXPECT_TRUE(log.lines().empty());
}

TEST(cDBC, LongLinesAndManyMessagesLoad) {
  std::string text = std::string(kCan);
  text += "CM_ \"" + std::string(1 << 20, 'x') + "\";\n";
  text += "BA_ \"BusType\" " + std::string(1 << 20, '7') + ";\n";
  text += "SG_ " + std::string(1 << 20, 'y') + " : 0|8@1+ (1,0) [0|0] \"\" X\n";
  const int kMessages = 20000;
  for (int i = 0; i < kMessages; ++i) {
    text += "BO_ " + std::to_string(0x80000000u + i) + " M" + std::to_string(i) + ": 8 X\n";
    text += sg("S", "", 0);
    text += "BA_ \"MessageIgnore\" BO_ " + std::to_string(0x80000000u + i) + " 0;\n";
  }
  cLogCapture log;
  auto started = std::chrono::steady_clock::now();
  auto db = loadDbc(text);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("loaded %d messages and three 1 MB lines in %.2f s\n", kMessages, seconds);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->messages().size(), static_cast<size_t>(kMessages));
  EXPECT_EQ(log.count('E') + log.count('F'), 0u);
}

}  // namespace
