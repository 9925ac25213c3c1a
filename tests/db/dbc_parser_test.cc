#include "db/dbc_parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "db/db_test_support.h"
#include "io/io.h"

namespace {

const char* kWarnNoBusType = "\"BusType\" attribute not set. Defaulting to \"CAN\"";

const cDBSignal* findSignal(const cDB& db, uint32_t key, std::string_view name) {
  const cDBMessage* message = cDB_messageFind(&db, key);
  return message == nullptr ? nullptr : cDB_signalFind(message->signals, name);
}

TEST(cDBC, NullStreamAndEmptyFileGiveNullSilently) {
  cLogCapture log;
  EXPECT_EQ(cDBC_dbc2db(nullptr), nullptr);
  EXPECT_EQ(loadDbc(""), nullptr);
  EXPECT_TRUE(log.lines().empty());
}

// A stream that claims more bytes than it delivers.
class ShortStream final : public cIO {
 public:
  int64_t read(void* dst, int64_t n) override {
    int64_t count = n < 3 ? n : 3;
    std::memset(dst, 'x', static_cast<size_t>(count));
    return count;
  }
  int64_t tell() override { return position_; }
  int64_t seek(int64_t offset, int32_t origin) override {
    position_ = origin == kSeekEnd ? 100 + offset : offset;
    return position_;
  }

 private:
  int64_t position_ = 0;
};

TEST(cDBC, ShortReadIsAnError) {
  cLogCapture log;
  ShortStream stream;
  EXPECT_EQ(cDBC_dbc2db(&stream), nullptr);
  EXPECT_EQ(log.count('E', "Could not read DBC-file"), 1u);
}

TEST(cDBC, GarbageGivesEmptyCanDatabase) {
  std::string garbage;
  for (int i = 0; i < 5000; ++i) garbage += static_cast<char>((i * 7919) % 256);
  cLogCapture log;
  auto db = loadDbc(garbage);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->busKind(), cDB::kBusCan);
  EXPECT_TRUE(db->messages().empty());
  EXPECT_EQ(log.count('W', kWarnNoBusType), 1u);
}

struct BusCase {
  const char* what;
  std::string attributes;
  uint32_t busKind;
  size_t errors;
  size_t warnings;
};

TEST(cDBC, BusTypeAndProtocol) {
  const std::string def = "BA_DEF_  \"BusType\" STRING ;\nBA_DEF_  \"ProtocolType\" STRING ;\n";
  const BusCase cases[] = {
      {"nothing", "", cDB::kBusCan, 0, 1},
      {"assignment without definition", "BA_ \"BusType\" \"LIN\";\n", cDB::kBusCan, 0, 1},
      {"CAN", def + "BA_ \"BusType\" \"CAN\";\n", cDB::kBusCan, 0, 0},
      {"letter case ignored", def + "BA_ \"BusType\" \"lin\";\n", cDB::kBusLin, 0, 0},
      {"default only", def + "BA_DEF_DEF_  \"BusType\" \"LIN\";\n", cDB::kBusLin, 0, 0},
      {"empty default", def + "BA_DEF_DEF_  \"BusType\" \"\";\n", cDB::kBusCan, 0, 1},
      {"unknown", def + "BA_ \"BusType\" \"FlexRay\";\n", cDB::kBusCan, 1, 1},
      {"definition name in other case", "BA_DEF_ \"bustype\" STRING;\nBA_ \"BusType\" \"LIN\";\n",
       cDB::kBusLin, 0, 0},
      {"INT definition has no effect", "BA_DEF_ \"BusType\" INT 0 9;\nBA_ \"BusType\" \"LIN\";\n",
       cDB::kBusCan, 0, 1},
      {"J1939", def + "BA_ \"BusType\" \"CAN\";\nBA_ \"ProtocolType\" \"J1939\";\n",
       cDB::kBusJ1939, 0, 0},
      {"J1939 from defaults", def + "BA_DEF_DEF_ \"BusType\" \"CAN\";\nBA_DEF_DEF_ \"ProtocolType\" \"J1939\";\n",
       cDB::kBusJ1939, 0, 0},
      {"J1939 is case-sensitive", def + "BA_ \"ProtocolType\" \"j1939\";\n", cDB::kBusCan, 0, 1},
      {"J1939 needs CAN", def + "BA_ \"BusType\" \"LIN\";\nBA_ \"ProtocolType\" \"J1939\";\n",
       cDB::kBusLin, 0, 0},
      {"definition with one blank and no blank before the semicolon",
       "BA_DEF_ \"ProtocolType\" STRING;\nBA_ \"ProtocolType\" \"J1939\";\n", cDB::kBusJ1939, 0, 1},
  };
  for (const BusCase& c : cases) {
    SCOPED_TRACE(c.what);
    cLogCapture log;
    auto db = loadDbc(c.attributes + "BO_ 1 M: 8 X\n");
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(db->busKind(), c.busKind);
    EXPECT_EQ(log.count('E'), c.errors);
    EXPECT_EQ(log.count('W'), c.warnings);
  }
}

const char* kCanHeader =
    "VERSION \"\"\r\n"
    "BA_DEF_  \"BusType\" STRING ;\r\n"
    "BA_ \"BusType\" \"CAN\";\r\n";

TEST(cDBC, MessagesSignalsAndParameters) {
  std::string text = std::string(kCanHeader) +
                     "BO_ 256 Engine: 8 ECU\r\n"
                     " SG_ Speed : 0|16@1+ (0.25,-10) [-10|16373.75] \"rpm\" X\r\n"
                     " SG_ Temp : 7|8@0- (1,0) [0|0] \"\" ECU\r\n"
                     " SG_ Huge : 8|56@1+ (1,0) [0|7.2057594037927935E+016] \"\" ECU\r\n"
                     "BO_ 2147484672 Extended: 64 ECU\r\n"
                     " SG_ Wide : 0|64@1+ (1,0) [0|1.8446744073709552E+019] \"\" ECU\r\n";
  cLogCapture log;
  auto db = loadDbc(text);
  ASSERT_NE(db, nullptr);
  EXPECT_TRUE(log.lines().empty());
  ASSERT_EQ(db->messages().size(), 2u);
  const cDBMessage* engine = cDB_messageFind(db.get(), 0x100);
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->name, "Engine");
  EXPECT_EQ(engine->length, 8u);
  ASSERT_EQ(engine->signals.size(), 3u);
  const cDBSignalParameters& speed = engine->signals[0].params;
  EXPECT_EQ(speed.byteOrder, cDBByteOrder::LittleEndian);
  EXPECT_EQ(speed.valueType, cDBValueType::Unsigned);
  EXPECT_EQ(speed.bitPosition, 0);
  EXPECT_EQ(speed.bitLength, 16);
  EXPECT_EQ(speed.factor, 0.25);
  EXPECT_EQ(speed.offset, -10.0);
  EXPECT_EQ(speed.minimum, -10.0);
  EXPECT_EQ(speed.maximum, 16373.75);
  const cDBSignalParameters& temp = engine->signals[1].params;
  EXPECT_EQ(temp.byteOrder, cDBByteOrder::BigEndian);
  EXPECT_EQ(temp.valueType, cDBValueType::Signed);
  EXPECT_EQ(temp.bitPosition, 0) << "Motorola start bit 7 is internal position 0";
  EXPECT_EQ(engine->signals[2].params.maximum, 7.2057594037927935E+016);

  const cDBMessage* extended = cDB_messageFind(db.get(), 0x80000400);
  ASSERT_NE(extended, nullptr);
  EXPECT_EQ(extended->length, 64u);
  ASSERT_EQ(extended->signals.size(), 1u) << "an exponent with a sign is a number";
  EXPECT_EQ(extended->signals[0].params.maximum, 1.8446744073709552E+019);
}

void collectNames(const std::vector<cDBSignal>& signals, std::vector<std::string>& out) {
  for (const cDBSignal& s : signals) {
    out.push_back(s.name);
    for (const cDBRange& r : s.ranges) collectNames(r.signals, out);
  }
}

std::vector<std::string> depthFirstNames(const std::vector<cDBSignal>& signals) {
  std::vector<std::string> out;
  collectNames(signals, out);
  return out;
}

struct LayoutCase {
  const char* what;
  std::string lines;
  std::vector<std::string> signals;  // of message 0x10, depth-first
};

TEST(cDBC, LineLayoutTolerance) {
  const LayoutCase cases[] = {
      {"blank before the colon", "BO_ 16 DSU_CRUISE : 7 DSU\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" X\n",
       {"A"}},
      {"runs of blanks and tabs",
       "BO_  16\tM \t:  7   DSU\n SG_  A   M  : 0|4@1+  (1,0)\t[0|0] \"\" X\n SG_ B m1 : 8|8@1+ (1,0) [0|0] \"\" X\n",
       {"A", "B"}},
      {"indented with spaces then tabs", "BO_ 16 M: 8 X\n  \t\tSG_ A : 0|8@1+ (1,0) [0|0] \"\" X\n",
       {"A"}},
      {"indented with a tab then a space is not read",
       "BO_ 16 M: 8 X\n\t SG_ A : 0|8@1+ (1,0) [0|0] \"\" X\n SG_ B : 8|8@1+ (1,0) [0|0] \"\" X\n",
       {"B"}},
      {"mixed line endings",
       "BO_ 16 M: 8 X\r\r\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" X\n SG_ B : 8|8@1+ (1,0) [0|0] \"\" X\r\n",
       {"A", "B"}},
      {"last line without line feed", "BO_ 16 M: 8 X\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" X", {"A"}},
      {"garbage between lines",
       "BO_ 16 M: 8 X\n\x01\x02garbage SG_\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" X\nSG_\nBO_\n",
       {"A"}},
      {"malformed signal line skipped",
       "BO_ 16 M: 8 X\n SG_ A : 0|8@1+ (1;0) [0|0] \"\" X\n SG_ B : 8|8@1+ (1,0) [0|0] \"\" X\n",
       {"B"}},
      {"duplicate name kept once", "BO_ 16 M: 8 X\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" X\n SG_ A : 8|8@1+ (1,0) [0|0] \"\" X\n",
       {"A"}},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.what);
    cLogCapture log;
    auto db = loadDbc(std::string(kCanHeader) + c.lines);
    ASSERT_NE(db, nullptr);
    const cDBMessage* message = cDB_messageFind(db.get(), 0x10);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(depthFirstNames(message->signals), c.signals);
    EXPECT_EQ(log.count('E') + log.count('F'), 0u);
  }
}

TEST(cDBC, HighBytesBecomeUnderscores) {
  auto db = loadDbc(std::string(kCanHeader) + "BO_ 16 Temp\xC3\xA9rature: 8 X\n SG_ D\xE9g : 0|8@1+ (1,0) [0|0] \"\xB0" "C\" X\n");
  ASSERT_NE(db, nullptr);
  const cDBMessage* message = cDB_messageFind(db.get(), 0x10);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->name, "Temp__rature");
  ASSERT_EQ(message->signals.size(), 1u);
  EXPECT_EQ(message->signals[0].name, "D_g");
}

TEST(cDBC, UnreadableMessageLineDropsItsSignals) {
  cLogCapture log;
  auto db = loadDbc(std::string(kCanHeader) +
                    "BO_ 16 First: 8 X\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" X\n"
                    "BO_ 17 NoTransmitter: 8\n SG_ B : 0|8@1+ (1,0) [0|0] \"\" X\n"
                    " SG_ C : 8|8@1+ (1,0) [0|0] \"\" X\n"
                    "BO_ 18 Third: 8 X\n SG_ D : 0|8@1+ (1,0) [0|0] \"\" X\n");
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->messages().size(), 2u);
  EXPECT_EQ(countSignals(cDB_messageFind(db.get(), 16)->signals), 1u) << "B and C are not First's";
  EXPECT_EQ(countSignals(cDB_messageFind(db.get(), 18)->signals), 1u);
  EXPECT_EQ(log.count('W', "Skipping signals of unreadable message line: BO_ 17 NoTransmitter: 8"), 1u);
  EXPECT_EQ(log.count('W'), 1u);
  EXPECT_EQ(log.count('E'), 0u);
}

TEST(cDBC, SignalsBeforeAnyMessageBelongNowhere) {
  cLogCapture log;
  auto db = loadDbc(std::string(kCanHeader) + " SG_ Early : 0|8@1+ (1,0) [0|0] \"\" X\nBO_ 0 Zero: 8 X\n");
  ASSERT_NE(db, nullptr);
  EXPECT_TRUE(cDB_messageFind(db.get(), 0)->signals.empty());
  EXPECT_EQ(log.count('W', "Skipping signals outside any message, from: SG_ Early : 0|8@1+ (1,0) [0|0] \"\" X"), 1u);
  EXPECT_EQ(log.count('W'), 1u);
}

struct PayloadCase {
  const char* what;
  const char* signal;
  bool placed;
};

TEST(cDBC, SignalsMustFitTheMessage) {
  const PayloadCase cases[] = {
      {"intel last byte", " SG_ S : 56|8@1+ (1,0) [0|0] \"\" X", true},
      {"intel one bit too many", " SG_ S : 56|9@1+ (1,0) [0|0] \"\" X", false},
      {"motorola last byte", " SG_ S : 63|8@0+ (1,0) [0|0] \"\" X", true},
      {"motorola past the end", " SG_ S : 56|9@0+ (1,0) [0|0] \"\" X", false},
      {"position beyond 16 bits", " SG_ S : 65536|8@1+ (1,0) [0|0] \"\" X", false},
      {"length beyond 8 bits", " SG_ S : 0|264@1+ (1,0) [0|0] \"\" X", false},
      {"zero length is stored", " SG_ S : 0|0@1+ (1,0) [0|0] \"\" X", true},
  };
  for (const PayloadCase& c : cases) {
    SCOPED_TRACE(c.what);
    cLogCapture log;
    auto db = loadDbc(std::string(kCanHeader) + "BO_ 5 Msg: 8 X\n" + c.signal + "\n");
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(findSignal(*db, 5, "S") != nullptr, c.placed);
    EXPECT_EQ(log.count('F', "Failed to add signal S to message Msg"), c.placed ? 0u : 1u);
    EXPECT_EQ(log.count('E', "Failed to load signal S"), c.placed ? 0u : 1u);
  }
}

}  // namespace
