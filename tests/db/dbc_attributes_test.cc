// Attributes of messages and signals, value types and message keys.
#include <gtest/gtest.h>

#include <string>

#include "db/db_test_support.h"

namespace {

const char* kCan =
    "BA_DEF_ \"BusType\" STRING ;\n"
    "BA_ \"BusType\" \"CAN\";\n";

TEST(cDBC, MessageIgnoreDefaultAndOwnValue) {
  cLogCapture log;
  auto db = loadDbc(std::string(kCan) +
                    "BO_ 1 A: 8 X\nBO_ 2 B: 8 X\nBO_ 3 C: 8 X\n"
                    "BA_DEF_ BO_  \"messageignore\" INT 0 1;\n"
                    "BA_DEF_DEF_  \"MessageIgnore\" 1;\n"
                    "BA_ \"MessageIgnore\" BO_ 2 0;\n"
                    "BA_ \"MessageIgnore\" BO_ 2 1;\n");  // the first assignment counts
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(cDB_messageFind(db.get(), 1)->ignored, 1);
  EXPECT_EQ(cDB_messageFind(db.get(), 2)->ignored, 0);
  EXPECT_EQ(cDB_messageFind(db.get(), 3)->ignored, 1);
  EXPECT_TRUE(log.lines().empty());
}

TEST(cDBC, EnumOrFloatIgnoreAttributesHaveNoEffect) {
  auto db = loadDbc(std::string(kCan) +
                    "BO_ 1 A: 8 X\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" X\n"
                    "BA_DEF_ BO_  \"MessageIgnore\" ENUM \"No\",\"Yes\";\n"
                    "BA_DEF_ SG_  \"SignalIgnore\" FLOAT 0 1;\n"
                    "BA_ \"MessageIgnore\" BO_ 1 1;\n"
                    "BA_ \"SignalIgnore\" SG_ 1 S 1;\n");
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(cDB_messageFind(db.get(), 1)->ignored, 0);
  EXPECT_EQ(cDB_messageFind(db.get(), 1)->signals[0].ignored, 0);
}

TEST(cDBC, SignalIgnoreNamesMessageAndSignal) {
  auto db = loadDbc(std::string(kCan) +
                    "BO_ 1 A: 8 X\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" X\n SG_ T : 8|8@1+ (1,0) [0|0] \"\" X\n"
                    "BO_ 2 B: 8 X\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" X\n"
                    "BA_DEF_ SG_  \"SignalIgnore\" INT 0 1;\n"
                    "BA_DEF_DEF_  \"SignalIgnore\" 0;\n"
                    "BA_ \"SignalIgnore\" SG_ 1 S 1;\n");
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(cDB_messageFind(db.get(), 1)->signals[0].ignored, 1);
  EXPECT_EQ(cDB_messageFind(db.get(), 1)->signals[1].ignored, 0);
  EXPECT_EQ(cDB_messageFind(db.get(), 2)->signals[0].ignored, 0);
}

struct TransportCase {
  const char* value;
  cDBTransport type;
  const char* parameter;
  bool error;
};

TEST(cDBC, TransportProtocolType) {
  const TransportCase cases[] = {
      {"\"ISOTP\"", cDBTransport::IsoTp, "", false},
      {"\"NMEATP\"", cDBTransport::NmeaFastPacket, "", false},
      {"\"MUXTP#1:2:3:4\"", cDBTransport::MuxTp, "MUXTP#1:2:3:4", false},
      {"\"MUXTPX\"", cDBTransport::MuxTp, "MUXTPX", false},
      {"\"isotp\"", cDBTransport::None, "", true},
      {"\"\"", cDBTransport::None, "", false},
  };
  for (const TransportCase& c : cases) {
    SCOPED_TRACE(c.value);
    cLogCapture log;
    auto db = loadDbc(std::string(kCan) + "BO_ 2147483905 Tp: 8 X\n" +
                      "BA_DEF_ BO_  \"TransportProtocolType\" STRING ;\n" +
                      "BA_ \"TransportProtocolType\" BO_ 2147483905 " + c.value + ";\n");
    ASSERT_NE(db, nullptr);
    const cDBMessage* m = cDB_messageFind(db.get(), 0x80000101);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->transportType, c.type);
    EXPECT_EQ(m->transportParameter, c.parameter);
    EXPECT_EQ(log.count('E', "\"TransportProtocolType\" \"isotp\" not supported (\"Tp\")"),
              c.error ? 1u : 0u);
  }
}

TEST(cDBC, ValueTypes) {
  auto db = loadDbc(std::string(kCan) +
                    "BO_ 1 A: 16 X\n"
                    " SG_ F : 0|32@1- (1,0) [0|0] \"\" X\n"
                    " SG_ D : 64|64@1- (1,0) [0|0] \"\" X\n"
                    " SG_ I : 32|8@1- (1,0) [0|0] \"\" X\n"
                    " SG_ U : 40|8@1+ (1,0) [0|0] \"\" X\n"
                    "SIG_VALTYPE_ 1 F : 1;\n"
                    "SIG_VALTYPE_ 1 D : 2;\n"
                    "SIG_VALTYPE_ 1 I : 0;\n"
                    "SIG_VALTYPE_ 2 U : 1;\n");
  ASSERT_NE(db, nullptr);
  const auto& s = cDB_messageFind(db.get(), 1)->signals;
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[0].params.valueType, cDBValueType::Float);
  EXPECT_EQ(s[1].params.valueType, cDBValueType::Double);
  EXPECT_EQ(s[2].params.valueType, cDBValueType::Signed) << "0 keeps the sign of the SG_ line";
  EXPECT_EQ(s[3].params.valueType, cDBValueType::Unsigned) << "record of another message";
}

struct CollisionCase {
  const char* what;
  std::string protocol;
  uint32_t first, second;
  bool rejected;
};

TEST(cDBC, KeyCollisionsRejectTheFile) {
  const std::string j1939 = "BA_DEF_ \"ProtocolType\" STRING ;\nBA_ \"ProtocolType\" \"J1939\";\n";
  const CollisionCase cases[] = {
      {"CAN extended identifiers differ", "", 0x98FEF100, 0x98FEF101, false},
      {"CAN standard and extended", "", 0x100, 0x80000100, false},
      {"CAN 29-bit written without bit 31", "", 0x10400000, 0x10800000, true},
      {"J1939 same group other source", j1939, 0x98FEF100, 0x98FEF103, true},
      {"J1939 PDU1 other destination", j1939, 0x98EA0017, 0x98EA2117, true},
      {"J1939 other group", j1939, 0x98FEF100, 0x98FEF200, false},
  };
  for (const CollisionCase& c : cases) {
    SCOPED_TRACE(c.what);
    cLogCapture log;
    auto db = loadDbc(std::string(kCan) + c.protocol + "BO_ " + std::to_string(c.first) +
                      " First: 8 X\nBO_ " + std::to_string(c.second) + " Second: 8 X\n");
    EXPECT_EQ(db == nullptr, c.rejected);
    EXPECT_EQ(log.count('F'), c.rejected ? 2u : 0u);
    if (c.rejected) {
      char text[128];
      std::snprintf(text, sizeof text, "Failed to add message Second with DBC key: %X", c.second);
      bool found = false;
      for (const auto& line : log.lines()) found |= line.message.starts_with(text);
      EXPECT_TRUE(found);
    }
  }
}

TEST(cDBC, LinKeys) {
  auto db = loadDbc("BA_DEF_ \"BusType\" STRING ;\nBA_ \"BusType\" \"LIN\";\nBO_ 127 L: 8 X\n");
  ASSERT_NE(db, nullptr);
  EXPECT_NE(cDB_messageFind(db.get(), 0x3F), nullptr);
}

}  // namespace
