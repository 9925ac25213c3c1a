#include "db/db_json.h"

#include <gtest/gtest.h>

#include "db/db_test_support.h"
#include "db/json_check.h"

namespace {

TEST(cDBJson, NullAndEmptyDatabases) {
  std::string out = "stale";
  cDB_db2json(out, nullptr);
  EXPECT_EQ(out, "");
  const struct {
    uint32_t bus;
    const char* json;
  } cases[] = {
      {cDB::kBusCan, R"({"bus":"CAN","messages":[]})"},
      {cDB::kBusJ1939, R"({"bus":"CAN-PGN","messages":[]})"},
      {cDB::kBusLin, R"({"bus":"LIN","messages":[]})"},
      {7, R"({"bus":"","messages":[]})"},
  };
  for (const auto& c : cases) {
    cDB db(c.bus);
    cDB_db2json(out, &db);
    EXPECT_EQ(out, c.json);
  }
}

TEST(cDBJson, ExactShapeWithMultiplexing) {
  auto db = loadDbc(
      "BA_DEF_ \"BusType\" STRING ;\nBA_ \"BusType\" \"CAN\";\n"
      "BA_DEF_ BO_  \"TransportProtocolType\" STRING ;\n"
      "BO_ 256 M: 8 X\n"
      " SG_ Mux M : 0|8@1+ (1,0) [0|255] \"\" X\n"
      " SG_ Val m1 : 15|16@0- (0.5,-1.25) [-3|4.5] \"\" X\n"
      " SG_ F : 32|32@1- (1,0) [0|0] \"\" X\n"
      "BO_ 2147483904 Empty: 0 X\n"
      "BA_ \"TransportProtocolType\" BO_ 2147483904 \"ISOTP\";\n"
      "SIG_VALTYPE_ 256 F : 1;\n");
  ASSERT_NE(db, nullptr);
  std::string out;
  cDB_db2json(out, db.get());
  const char* expected =
      R"({"bus":"CAN","messages":[{ "key":256,"name":"M","tp":"","ignored":false,"length":8,"signals":[)"
      R"({"name":"Mux","ignored":false,"bitpos":0,"bitlen":8,"bigendian":false,"signed":false,)"
      R"("factor":1.000000,"offset":0.000000,"min":0.000000,"max":255.000000,"multiplexed":[)"
      R"({"from":1,"to":1,"signals":[{"name":"Val","ignored":false,"bitpos":8,"bitlen":16,)"
      R"("bigendian":true,"signed":true,"factor":0.500000,"offset":-1.250000,"min":-3.000000,)"
      R"("max":4.500000,"multiplexed":[]}]}]},)"
      R"({"name":"F","ignored":false,"bitpos":32,"bitlen":32,"bigendian":false,"signed":false,)"
      R"("factor":1.000000,"offset":0.000000,"min":0.000000,"max":0.000000,"multiplexed":[]}]},)"
      R"({ "key":2147483904,"name":"Empty","tp":"ISOTP","ignored":false,"length":0,"signals":[]}]})";
  EXPECT_EQ(out, expected);
  EXPECT_TRUE(jsonIsValid(out));
}

TEST(cDBJson, QuotesInNamesKeepTheTextValid) {
  cDB db(cDB::kBusCan);
  cDBMessage* m = cDB_messageAdd(&db, "a\"b\\c", 1, 8, cDBTransport::MuxTp, "MUXTP#1:2:3:4", 1);
  cDBSignalParameters p;
  p.bitLength = 8;
  cDB_signalAdd(&m->signals, "q\"", p, 1);
  std::string out;
  cDB_db2json(out, &db);
  EXPECT_NE(out.find(R"("name":"a\"b\\c","tp":"MUXTP","ignored":true)"), std::string::npos) << out;
  EXPECT_NE(out.find(R"({"name":"q\"","ignored":true,)"), std::string::npos) << out;
  EXPECT_TRUE(jsonIsValid(out));
}

TEST(cDBJson, CheckerRejectsBrokenText) {
  for (const char* text : {"", "{", R"({"a":1,})", R"({"a":"x"y"})", "[1 2]", R"({"a":tru})", "{} x"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(jsonIsValid(text));
  }
  EXPECT_TRUE(jsonIsValid(R"({"a":[1,-2.5e3,true,false,null,{"b":"\"\\"}],"c":{}})"));
}

}  // namespace
