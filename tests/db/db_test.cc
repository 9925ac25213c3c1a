// Signal extraction (raw bits against a bit-by-bit reference, physical
// values), and the message database from DBC text: the database a text yields
// (described compactly) with the exact log lines, message decoding, message
// keys, the JSON dump, and the public DBC files beside the repository.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "db/db_json.h"
#include "db/dbc_parser.h"
#include "db/decode.h"
#include "db/message_key.h"
#include "support/log_capture.h"
#include "support/memory_stream.h"

namespace {

// Reference: walk the field one bit at a time by the numbering definitions.
uint64_t referenceBits(const std::vector<uint8_t>& payload, uint32_t position, uint32_t count,
                       bool littleEndian) {
  if (count == 0 || (position + count + 7) / 8 > payload.size()) return 0;
  uint64_t value = 0;
  if (littleEndian) {
    for (uint32_t i = 0; i < count && i < 64; ++i) {
      uint32_t k = position + i;
      value |= uint64_t{(payload[k / 8] >> (k % 8)) & 1u} << i;
    }
  } else {
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t k = position + i;
      value = (value << 1) | ((payload[k / 8] >> (7 - k % 8)) & 1u);
    }
  }
  return value;
}

TEST(cDecode, RawBitsMatchBitByBitReference) {
  const uint32_t seed = 20240305;
  std::printf("random seed %u\n", seed);
  std::mt19937 random(seed);
  for (int round = 0; round < 20000; ++round) {
    // Exact-size payloads: AddressSanitizer catches a read past the end.
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
  const std::vector<uint8_t> p = {0x12, 0x34};
  EXPECT_EQ(cDecode_getRawBits(p, 0, 0, true), 0u);
  EXPECT_EQ(cDecode_getRawBits(p, 4, 256 + 8, true), 0x41u) << "the count is taken modulo 256";
}

cDBSignalParameters make(cDBByteOrder order, cDBValueType type, uint16_t position, uint8_t length,
                         double factor = 1.0, double offset = 0.0) {
  return {.byteOrder = order, .valueType = type, .bitPosition = position, .bitLength = length,
          .factor = factor, .offset = offset};
}

TEST(cDecode, PhysicalValuesAndInvalidLengths) {
  constexpr auto kIntel = cDBByteOrder::LittleEndian, kMotorola = cDBByteOrder::BigEndian;
  using enum cDBValueType;
  const std::vector<uint8_t> minimum = {0, 0, 0, 0, 0, 0, 0, 0x80};
  // A value of 7.5 is the one left in place when decoding fails with the warning.
  struct Case { const char* what; std::vector<uint8_t> bytes; cDBSignalParameters p; double value; const char* warning; };
  const Case cases[] = {
      {"scaled intel byte", {0x64}, make(kIntel, Unsigned, 0, 8, 0.5, -10), 40.0, nullptr},
      {"motorola 16 bits", {0x12, 0x34}, make(kMotorola, Unsigned, 0, 16), 0x1234, nullptr},
      {"signed 12-bit all ones", {0xFF, 0x0F}, make(kIntel, Signed, 0, 12), -1.0, nullptr},
      {"signed 64-bit minimum", minimum, make(kIntel, Signed, 0, 64), -9223372036854775808.0, nullptr},
      {"unsigned 64-bit top bit", minimum, make(kIntel, Unsigned, 0, 64), 9223372036854775808.0, nullptr},
      {"float motorola", {0x3F, 0x80, 0x00, 0x00}, make(kMotorola, Float, 0, 32), 1.0, nullptr},
      {"double minus two", {0, 0, 0, 0, 0, 0, 0, 0xC0}, make(kIntel, Double, 0, 64, 2.0, 1.0), -3.0, nullptr},
      {"unknown value type gives the offset", {0xFF}, make(kIntel, None, 0, 8, 3, 7), 7.0, nullptr},
      {"zero length", minimum, make(kIntel, Unsigned, 0, 0), 7.5, "(zero)"},
      {"last bit", minimum, make(kIntel, Unsigned, 63, 1), 1.0, nullptr},
      {"one bit past the payload", minimum, make(kIntel, Unsigned, 60, 5), 7.5, "(exceeds payload)"},
      {"float of 16 bits", minimum, make(kIntel, Float, 0, 16), 7.5, "(float != 32)"},
      {"double of 32 bits", minimum, make(kIntel, Double, 0, 32), 7.5, "(double != 64)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LogCapture log;
    double value = 7.5;
    EXPECT_EQ(cDecode_decode(c.bytes, c.p, &value), c.warning == nullptr);
    EXPECT_EQ(value, c.value);
    const std::string warning = c.warning ? std::string("W Invalid signal bit length ") + c.warning : "";
    EXPECT_EQ(log.messages(), c.warning ? std::vector{warning} : std::vector<std::string>{});
  }
}

std::unique_ptr<cDB> loadDbc(std::string_view text) { return cDBC_dbc2db(memoryStream(text).get()); }

// " name position|length" with '<' Intel or '>' Motorola, the value type
// u/s/f/d, '!' when ignored, then each range as " {from-to: signals }".
void describe(std::ostream& o, const std::vector<cDBSignal>& signals) {
  for (const cDBSignal& s : signals) {
    o << ' ' << s.name << ' ' << s.params.bitPosition << '|' << +s.params.bitLength
      << (s.params.byteOrder == cDBByteOrder::LittleEndian ? '<' : '>')
      << "-usfd"[static_cast<int>(s.params.valueType)] << (s.ignored ? "!" : "");
    for (const cDBRange& r : s.ranges) {
      o << " {" << r.from << '-' << r.to << ':';
      describe(o, r.signals);
      o << " }";
    }
  }
}

// "BUS | KEY name/length[!][ tpTYPE][=parameter]: signals | ...", keys in
// hex, '!' for an ignored message; "null" without a database.
std::string describe(const cDB* db) {
  if (db == nullptr) return "null";
  std::ostringstream o;
  o << std::uppercase << std::vector<const char*>{"?", "CAN", "J1939", "LIN"}.at(static_cast<size_t>(db->busKind()));
  for (const auto& [key, m] : db->messages()) {
    o << " | " << std::hex << key << std::dec << ' ' << m.name << '/' << m.length << (m.ignored ? "!" : "");
    if (m.transportType != cDBTransport::None) o << " tp" << static_cast<int>(m.transportType);
    o << (m.transportParameter.empty() ? "" : "=") << m.transportParameter << ':';
    describe(o, m.signals);
  }
  return o.str();
}

const std::string kCan = "BA_DEF_ \"BusType\" STRING ;\nBA_ \"BusType\" \"CAN\";\n";
const std::string kJ1939 = kCan + "BA_DEF_ \"ProtocolType\" STRING ;\nBA_ \"ProtocolType\" \"J1939\";\n";
const std::string kNoBus = "W \"BusType\" attribute not set. Defaulting to \"CAN\"";

std::string bo(uint32_t id, const std::string& name) { return "BO_ " + std::to_string(id) + " " + name + ": 8 X\n"; }
std::string sg(const std::string& name, const std::string& layout, const std::string& mux = "") {
  return " SG_ " + name + " " + mux + " : " + layout + " (1,0) [0|0] \"\" X\n";
}

TEST(cDBC, TextToDatabase) {
  std::string garbage;
  for (int i = 0; i < 5000; ++i) garbage += static_cast<char>((i * 7919) % 256);
  const std::string tp = "BA_ \"TransportProtocolType\" BO_ ", sgMulVal = "SG_MUL_VAL_ ";
  // Bus type and protocol, seen in the key of 0x98FEF101 (priority 6, group 0xFEF1, source 1).
  const std::string def = "BA_DEF_  \"BusType\" STRING ;\nBA_DEF_  \"ProtocolType\" STRING ;\n", m = bo(0x98FEF101, "M");
  const std::string can = "CAN | 98FEF101 M/8:", j1939 = "J1939 | 80FEF100 M/8:", lin = "LIN | 1 M/8:";
  struct Case { const char* what; std::string text, db; std::vector<std::string> log; };
  const Case cases[] = {
      {"empty file", "", "null", {}},
      {"garbage", garbage, "CAN", {kNoBus}},
      {"no bus type", m, can, {kNoBus}},
      {"no definition", "BA_ \"BusType\" \"LIN\";\n" + m, can, {kNoBus}},
      {"lin", def + "BA_ \"BusType\" \"lin\";\n" + m, lin, {}},
      {"default", def + "BA_DEF_DEF_  \"BusType\" \"LIN\";\n" + m, lin, {}},
      {"empty default", def + "BA_DEF_DEF_  \"BusType\" \"\";\n" + m, can, {kNoBus}},
      {"unknown", def + "BA_ \"BusType\" \"FlexRay\";\n" + m, can, {"E Unknown \"BusType\": \"FlexRay\"", kNoBus}},
      {"definition name case", "BA_DEF_ \"bustype\" STRING;\nBA_ \"BusType\" \"LIN\";\n" + m, lin, {}},
      {"INT definition", "BA_DEF_ \"BusType\" INT 0 9;\nBA_ \"BusType\" \"LIN\";\n" + m, can, {kNoBus}},
      {"J1939", def + "BA_ \"BusType\" \"CAN\";\nBA_ \"ProtocolType\" \"J1939\";\n" + m, j1939, {}},
      {"J1939 defaults", def + "BA_DEF_DEF_ \"BusType\" \"CAN\";\nBA_DEF_DEF_ \"ProtocolType\" \"J1939\";\n" + m, j1939, {}},
      {"j1939", def + "BA_ \"ProtocolType\" \"j1939\";\n" + m, can, {kNoBus}},
      {"J1939 on LIN", def + "BA_ \"BusType\" \"LIN\";\nBA_ \"ProtocolType\" \"J1939\";\n" + m, lin, {}},
      {"J1939 only", "BA_DEF_ \"ProtocolType\" STRING;\nBA_ \"ProtocolType\" \"J1939\";\n" + m, j1939, {kNoBus}},
      {"layout", "VERSION \"\"\r\n" + kCan +
       "BO_  16\tM\xC3\xA9 \t:  7   DSU\r\n"                      // runs of blanks, blank before ':'
       " SG_  A   M  : 7|4@0+  (1,0)\t[0|0] \"\" X\n"               // high bytes become '_'
       "  \t\tSG_ B m1 : 8|16@1- (1,0) [0|1.8446744073709552E+019] \"\" X\r\r\n"  // CR CR LF
       "\t SG_ C : 16|8@1+ (1,0) [0|0] \"\" X\n"                    // a tab then a space: not read, warned
       "\x01\x02garbage SG_\nSG_\nBO_\n"                            // lines skipped
       " SG_ D : 16|8@1+ (1;0) [0|0] \"\" X\n"                      // malformed: skipped, warned
       " SG_ B : 24|8@1+ (1,0) [0|0] \"\" X\n"                      // a second B: dropped
       " SG_ E\xB0 : 24|8@1+ (1,0) [0|0] \"\xB0\" X",               // no final line feed
       "CAN | 10 M__/7: A 0|4>u {1-1: B 8|16<s } E_ 24|8<u",
       {"W Skipping unreadable signal line 7:  SG_ C : 16|8@1+ (1,0) [0|0] \"\" X",
        "W Skipping unreadable signal line 11: SG_ D : 16|8@1+ (1;0) [0|0] \"\" X"}},
      {"signals outside any readable message", kCan + sg("Early", "0|8@1+") + bo(16, "First") +
       sg("A", "0|8@1+") + "BO_ 17 NoTransmitter: 8\n" + sg("B", "0|8@1+") + sg("C", "8|8@1+") + bo(18, "Third") +
       sg("D", "0|8@1+"), "CAN | 10 First/8: A 0|8<u | 12 Third/8: D 0|8<u",
       {"W Skipping signals outside any message, from: SG_ Early  : 0|8@1+ (1,0) [0|0] \"\" X",
        "W Skipping signals of unreadable message line: BO_ 17 NoTransmitter: 8"}},
      {"signals must fit the message", kCan + bo(1, "I8") + sg("S", "56|8@1+") + bo(2, "I9") + sg("S", "56|9@1+") +
       bo(3, "M8") + sg("S", "63|8@0+") + bo(4, "M9") + sg("S", "56|9@0+") + bo(5, "Pos") + sg("S", "65536|8@1+") +
       bo(6, "Zero") + sg("S", "0|0@1+"),
       "CAN | 1 I8/8: S 56|8<u | 2 I9/8: | 3 M8/8: S 56|8>u | 4 M9/8: | 5 Pos/8: | 6 Zero/8: S 0|0<u",
       {"F Failed to add signal S to message I9", "F Failed to add signal S to message M9",
        "F Failed to add signal S to message Pos", "E Failed to load signal S", "E Failed to load signal S",
        "E Failed to load signal S"}},
      {"ignore attributes: the first assignment, else the default", kCan + bo(1, "A") + sg("S", "0|8@1+") +
       sg("T", "8|8@1+") + bo(2, "B") + sg("S", "0|8@1+") + bo(3, "C") +
       "BA_DEF_ BO_  \"messageignore\" INT 0 1;\nBA_DEF_DEF_  \"MessageIgnore\" 1;\n"
       "BA_ \"MessageIgnore\" BO_ 2 0;\nBA_ \"MessageIgnore\" BO_ 2 1;\n"
       "BA_DEF_ SG_  \"SignalIgnore\" INT 0 1;\nBA_DEF_DEF_  \"SignalIgnore\" 0;\nBA_ \"SignalIgnore\" SG_ 1 S 1;\n",
       "CAN | 1 A/8!: S 0|8<u! T 8|8<u | 2 B/8: S 0|8<u | 3 C/8!:", {}},
      {"transport protocols", kCan + "BA_DEF_ BO_  \"TransportProtocolType\" STRING ;\n" + bo(2147483905, "A") +
       bo(2, "B") + bo(3, "C") + bo(4, "D") + bo(5, "E") + tp + "2147483905 \"ISOTP\";\n" + tp + "2 \"NMEATP\";\n" +
       tp + "3 \"MUXTP#1:2:3:4\";\n" + tp + "4 \"isotp\";\n" + tp + "5 \"\";\n",
       "CAN | 2 B/8 tp3: | 3 C/8 tp5=MUXTP#1:2:3:4: | 4 D/8: | 5 E/8: | 80000101 A/8 tp4:",
       {"E \"TransportProtocolType\" \"isotp\" not supported (\"D\")"}},
      {"value types", kCan + "BO_ 1 A: 16 X\n" + sg("F", "0|32@1-") + sg("D", "64|64@1-") + sg("I", "32|8@1+") +
       sg("U", "40|8@1-") + "SIG_VALTYPE_ 1 F : 1;\nSIG_VALTYPE_ 1 D : 2;\nSIG_VALTYPE_ 1 I : 0;\nSIG_VALTYPE_ 2 U : 1;\n",
       "CAN | 1 A/16: F 0|32<f D 64|64<d I 32|8<u U 40|8<s", {}},
      {"J1939 group with another source", kJ1939 + bo(0x98FEF100, "First") + bo(0x98FEF103, "Second"), "null",
       {"F Message key collision: 2164191488 (Second, First)",
        "F Failed to add message Second with DBC key: 98FEF103 and DB key: 80FEF100"}},
      {"no multiplexor, or a range naming a missing one", kCan + bo(1, "M") + sg("A", "8|8@1+", "m3") +
       sg("B", "16|8@1+") + bo(2, "N") + sg("G", "8|8@1+", "m3") + sg("Mux", "0|8@1+", "M") + sgMulVal + "2 G Ghost 3-3;\n",
       "CAN | 1 M/8: B 16|8<u | 2 N/8: Mux 0|8<u", {"E Failed to load signal A", "E Failed to load signal G"}},
      {"extended multiplexing in reverse order, each range record in its own message", kCan + bo(100, "A") +
       sg("Leaf", "24|8@1+", "m1") + sg("Inner", "8|8@1+", "M") + sg("Other", "16|8@1+", "m0") + sg("Outer", "0|8@1+", "M") +
       bo(2147483848, "B") + sg("Leaf", "24|8@1+", "m1") + sg("Inner", "8|8@1+", "m1M") + sg("Outer", "0|8@1+", "M") +
       sgMulVal + "100 Leaf Inner 1-3;\n" + sgMulVal + "100 Inner Outer 2-2;\n" + sgMulVal + "100 Other Outer 0-1;\n" +
       sgMulVal + "2147483848 Leaf Inner 5-9;\n",
       "CAN | 64 A/8: Outer 0|8<u {2-2: Inner 8|8<u {1-3: Leaf 24|8<u } } {0-1: Other 16|8<u }"
       " | 800000C8 B/8: Outer 0|8<u {1-1: Inner 8|8<u {5-9: Leaf 24|8<u } }", {}},
      {"the independent-signals message is dropped with its signals", kCan + bo(0x80000000, "ExtZero") +
       sg("Real", "0|8@1+") + "BO_ 3221225472 VECTOR__INDEPENDENT_SIG_MSG: 0 X\n" + sg("Loose", "0|8@1+") +
       sg("Real", "8|8@1+"),
       "CAN | 80000000 ExtZero/8: Real 0|8<u", {"W Ignoring message: VECTOR__INDEPENDENT_SIG_MSG"}},
  };
  EXPECT_EQ(cDBC_dbc2db(nullptr), nullptr);
  for (const Case& c : cases) {
    LogCapture log;
    EXPECT_EQ(describe(loadDbc(c.text).get()), c.db) << c.what;
    EXPECT_EQ(log.messages(), c.log) << c.what;
  }
}

// A chain of multiplexors, each under the previous one, is cut off at a
// bounded depth, so that decoding walks a shallow tree.
TEST(cDBC, DeepNestingIsBounded) {
  std::string text = kCan + bo(1, "Chain") + sg("S0", "0|8@1+", "M");
  for (int i = 1; i < 200; ++i)
    text += sg("S" + std::to_string(i), "0|1@1+", "m0M") + "SG_MUL_VAL_ 1 S" + std::to_string(i) + " S" +
            std::to_string(i - 1) + " 0-0;\n";
  LogCapture log;
  auto db = loadDbc(text);
  cDBDecodedMessage decoded;
  ASSERT_TRUE(cDB_decodeMessage(db.get(), 1, std::vector<uint8_t>(8, 0), &decoded));
  const size_t placed = decoded.signals.size();
  EXPECT_EQ(placed, 64u) << "multiplexors nest at most 64 deep";
  EXPECT_EQ(log.count("E Failed to load signal S"), static_cast<int>(200 - placed));
  EXPECT_EQ(log.count("F Failed to add signal S"), 1) << "the rest wait for a multiplexor that never comes";
}

// Mux (byte 0) selects A for 0..1, then B and Sub for 2..5 before D for 2
// (the first range that holds the value wins); Sub selects C (signed) for 9.
// Tail (byte 4) is decoded but ignored; message Quiet is ignored.
const std::string kMulti = kCan + "BO_ 291 Multi: 8 X\n" + sg("Mux", "0|8@1+", "M") + sg("Tail", "32|8@1+") +
                           sg("A", "8|8@1+", "m0") + sg("B", "16|8@1+", "m2") + sg("Sub", "24|8@1+", "m2M") +
                           sg("D", "8|8@1+", "m2") + sg("C", "56|8@1-", "m9") + bo(292, "Quiet") + sg("Q", "0|8@1+") +
                           "SG_MUL_VAL_ 291 A Mux 0-1;\nSG_MUL_VAL_ 291 B Mux 2-5;\nSG_MUL_VAL_ 291 Sub Mux 2-5;\n"
                           "SG_MUL_VAL_ 291 D Mux 2-2;\nSG_MUL_VAL_ 291 C Sub 9-9;\n"
                           "BA_DEF_ BO_ \"MessageIgnore\" INT 0 1;\nBA_ \"MessageIgnore\" BO_ 292 1;\n"
                           "BA_DEF_ SG_ \"SignalIgnore\" INT 0 1;\nBA_ \"SignalIgnore\" SG_ 291 Tail 1;\n";

// "name[*][!]=value ..." with '*' for a multiplexor and '!' when ignored.
std::string summary(const cDBDecodedMessage& decoded) {
  std::ostringstream o;
  for (const cDBDecodedSignal& s : decoded.signals)
    o << (o.tellp() > 0 ? " " : "") << s.name << (s.isMultiplexor ? "*" : "") << (s.ignored ? "!" : "") << '=' << s.value;
  return o.str();
}

TEST(cDBDecode, SignalsFollowTheFirstRangeOfTheirMultiplexor) {
  auto db = loadDbc(kMulti);
  ASSERT_NE(db, nullptr);
  const std::vector<uint8_t> full = {2, 11, 22, 9, 77, 0, 0, 0xFF};
  struct Case { uint32_t key; std::vector<uint8_t> payload; std::string signals; std::vector<std::string> log; };
  const Case cases[] = {
      {0x123, full, "Mux*=2 B=22 Sub*=9 C=-1 Tail!=77", {}},
      {0x123, {1, 11, 22, 9, 0, 0, 0, 0}, "Mux*=1 A=11 Tail!=0", {}},
      {0x123, {6, 11, 22, 9, 0, 0, 0, 0}, "Mux*=6 Tail!=0", {}},
      {0x123, {5, 11, 22, 8, 0, 0, 0, 0}, "Mux*=5 B=22 Sub*=8 Tail!=0", {}},
      // A failure ends its own list only: Tail is still decoded; the message is reported.
      {0x123, {2, 11, 22, 9, 5}, "Mux*=2 B=22 Sub*=9 Tail!=5",
       {"W Invalid signal bit length (exceeds payload)", "W Failed to decode signal: \"C\"",
        "W Failed to decode message: \"Multi\""}},
      {0x999, full, "", {}},
      {0x124, full, "", {}},
  };
  cDBDecodedMessage decoded;  // reused, as from frame to frame
  for (const Case& c : cases) {
    LogCapture log;
    const cDBMessage* message = c.key == 0x123 ? cDB_messageFind(db.get(), c.key) : nullptr;
    EXPECT_EQ(cDB_decodeMessage(db.get(), c.key, c.payload, &decoded), message != nullptr);
    EXPECT_EQ(decoded.message, message);
    EXPECT_EQ(summary(decoded), c.signals) << c.key;
    EXPECT_EQ(log.messages(), c.log) << c.signals;
  }

  // The decoded signals point into the database; range lookups by value agree.
  ASSERT_TRUE(cDB_decodeMessage(db.get(), 0x123, full, &decoded));
  const std::vector<cDBSignal>& top = cDB_messageFind(db.get(), 0x123)->signals;
  EXPECT_EQ(decoded.signals[3].signal, cDB_signalFind(top, "C"));
  const std::vector<cDBRange>& ranges = top[0].ranges;
  const int expected[] = {0, 0, 1, 1, 1, 1, -1};  // range index per value 0..6
  for (uint32_t value = 0; value < std::size(expected); ++value) {
    EXPECT_EQ(cDB_multiplexedFindValue(ranges, value), expected[value] < 0 ? nullptr : &ranges[expected[value]])
        << value;
  }
}

TEST(cDB, MessageKeys) {
  struct Case { const char* what; uint32_t key, expected; };
  const Case cases[] = {
      {"standard: 11 bits", cDB_can_id2key(0x1100, 0), 0x100}, {"LIN: 6 bits", cDB_lin_id2key(0x7F), 0x3F},
      {"extended gets bit 31, drops bits above 29", cDB_can_id2key(0xFFFFFFFF, 1), 0x9FFFFFFF},
      {"only the low byte of the flag counts", cDB_can_id2key(0x100, 0x100), 0x100},
      {"PDU2 drops priority and source", cDB_can_pgn_id2key(0x0CFEF103, 1), 0x80FEF100},
      {"PDU1 drops destination too", cDB_can_pgn_id2key(0x18EA2117, 1), 0x80EA0000},
      {"PF 239 is PDU1", cDB_can_pgn_id2key(0x18EFAB01, 1), 0x80EF0000},
      {"PF 240 is PDU2", cDB_can_pgn_id2key(0x18F0AB01, 1), 0x80F0AB00},
      {"data pages survive", cDB_can_pgn_id2key(0x1BFEF100, 1), 0x83FEF100},
      {"standard identifier keys as CAN", cDB_can_pgn_id2key(0x18FEF1FF, 0x100), 0x1FF},
  };
  for (const Case& c : cases) EXPECT_EQ(c.key, c.expected) << c.what;
}

TEST(cDBJson, ExactText) {
  std::string out = "stale";
  cDB_db2json(out, nullptr);
  EXPECT_EQ(out, "");
  auto db = loadDbc(kCan + "BA_DEF_ BO_  \"TransportProtocolType\" STRING ;\nBA_DEF_ SG_  \"SignalIgnore\" INT 0 1;\n"
                    "BA_ \"SignalIgnore\" SG_ 256 F 1;\nBO_ 256 M: 8 X\n SG_ Mux M : 0|8@1+ (1,0) [0|255] \"\" X\n"
                    " SG_ Val m1 : 15|16@0- (0.5,-1.25) [-3|4.5] \"\" X\n" + sg("F", "32|32@1-") +
                    "BO_ 2147483904 Empty: 0 X\nBA_ \"TransportProtocolType\" BO_ 2147483904 \"ISOTP\";\n"
                    "SIG_VALTYPE_ 256 F : 1;\n");
  ASSERT_NE(db, nullptr);
  // A name with a quote and a backslash stays JSON; refused additions leave no trace.
  cDBMessage* odd = cDB_messageAdd(db.get(), "a\"b\\c", 1, 8, cDBTransport::MuxTp, "MUXTP#1:2:3:4", 1);
  cDB_signalAdd(&odd->signals, "q\"", {}, 0);
  EXPECT_EQ(cDB_signalAdd(&odd->signals, "none", {.valueType = cDBValueType::None}, 0), nullptr);
  EXPECT_EQ(cDB_multiplexAdd(&odd->signals[0].ranges, 5, 4), nullptr);
  cDB_db2json(out, db.get());
  EXPECT_EQ(out, R"({"bus":"CAN","messages":[{ "key":1,"name":"a\"b\\c","tp":"MUXTP","ignored":true,"length":8,)"
                 R"("signals":[{"name":"q\"","ignored":false,"bitpos":0,"bitlen":0,"bigendian":false,"signed":false,)"
                 R"("factor":1.000000,"offset":0.000000,"min":0.000000,"max":0.000000,"multiplexed":[]}]},{ "key":256,)"
                 R"("name":"M","tp":"","ignored":false,"length":8,"signals":[{"name":"Mux","ignored":false,"bitpos":0,)"
                 R"("bitlen":8,"bigendian":false,"signed":false,"factor":1.000000,"offset":0.000000,"min":0.000000,)"
                 R"("max":255.000000,"multiplexed":[{"from":1,"to":1,"signals":[{"name":"Val","ignored":false,)"
                 R"("bitpos":8,"bitlen":16,"bigendian":true,"signed":true,"factor":0.500000,"offset":-1.250000,)"
                 R"("min":-3.000000,"max":4.500000,"multiplexed":[]}]}]},{"name":"F","ignored":true,"bitpos":32,)"
                 R"("bitlen":32,"bigendian":false,"signed":false,"factor":1.000000,"offset":0.000000,"min":0.000000,)"
                 R"("max":0.000000,"multiplexed":[]}]},{ "key":2147483904,"name":"Empty","tp":"ISOTP","ignored":false,)"
                 R"("length":0,"signals":[]}]})");
}

// Messages (BO_ lines) and the signal lines under them, counted without the
// parser, leaving out the independent-signals message.
std::pair<size_t, size_t> countText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  size_t messages = 0, signals = 0;
  bool independent = false;
  for (std::string line; std::getline(in, line);) {
    line.erase(0, line.find_first_not_of(" \t"));
    if (line.starts_with("BO_ ")) {
      independent = line.find("VECTOR__INDEPENDENT_SIG_MSG") != std::string::npos;
      messages += independent ? 0 : 1;
    }
    signals += line.starts_with("SG_ ") && !independent ? 1 : 0;
  }
  return {messages, signals};
}

size_t countSignals(const std::vector<cDBSignal>& signals) {
  size_t n = signals.size();
  for (const cDBSignal& s : signals)
    for (const cDBRange& r : s.ranges) n += countSignals(r.signals);
  return n;
}

TEST(cDBCRealFiles, EveryFileLoadsAndMatchesItsText) {
  const std::filesystem::path dir = LOGRAVEN_SOURCE_DIR "/../shared/dbc";
  std::set<std::filesystem::path> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error))
    if (entry.path().extension() == ".dbc") files.insert(entry.path());
  if (files.empty()) GTEST_SKIP() << "no DBC files in " << dir;
  for (const auto& path : files) {
    SCOPED_TRACE(path.filename().string());
    LogCapture log;
    auto db = cDBC_dbc2db(cIO_file_open(path.c_str(), 0).get());
    if (db == nullptr) {  // the only refusal is a reported key collision
      EXPECT_EQ(log.count("F Failed to add message "), 1);
      continue;
    }
    auto [messages, signals] = countText(path);
    EXPECT_EQ(db->messages().size(), messages);
    size_t placed = 0;
    for (const auto& [key, message] : db->messages()) placed += countSignals(message.signals);
    EXPECT_EQ(placed, signals);
    EXPECT_EQ(log.count("E Failed to load signal "), 0);
  }
}

// Look-up through many messages: standard and extended keys mixed, added in
// random order (the index grows several times), each found as itself and
// the keys next to them not at all.
TEST(cDB, MessageFindAmongManyKeys) {
  cDB db(cDBBusKind::Can);
  std::vector<uint32_t> keys;
  for (uint32_t i = 0; i < 300; ++i) keys.push_back(i % 2 ? cDB_can_id2key(i * 6, 0) : cDB_can_id2key(i * 0x10007, 1));
  std::shuffle(keys.begin(), keys.end(), std::mt19937(7));
  for (uint32_t key : keys) ASSERT_NE(cDB_messageAdd(&db, "M" + std::to_string(key), key, 8, cDBTransport::None, "", 0), nullptr);
  const cDB& stored = db;
  for (uint32_t key : keys) {
    const cDBMessage* m = cDB_messageFind(&stored, key);
    ASSERT_NE(m, nullptr) << key;
    EXPECT_EQ(m->key, key);
    EXPECT_EQ(cDB_messageFind(&stored, key + 1), nullptr) << key + 1;
  }
}

}  // namespace
