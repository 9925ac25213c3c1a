// Output naming: path-safe names, the folder layout of a signal set (device,
// bus, channel, multiplexor ranges, J1939 addresses, date, session, split)
// and the key that tells signal sets apart.
#include "output/output_naming.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>

#include "bus/bus_msg.h"
#include "db/db.h"

namespace {

constexpr uint32_t kCan = static_cast<uint32_t>(cBusMsgType::BUS_MSG_CAN_DATA_FRAME);
constexpr uint32_t kLin = static_cast<uint32_t>(cBusMsgType::BUS_MSG_LIN_FRAME);

cDBSignalParameters byteAt(uint16_t byte) {
  cDBSignalParameters p;
  p.bitPosition = static_cast<uint16_t>(byte * 8);
  p.bitLength = 8;
  return p;
}

cOutputNaming exampleNaming() {
  return {.deviceId = "0A1B2C3D", .folderSuffix = "_out", .year = 2024, .month = 3, .day = 5,
          .session = 12, .split = 3};
}

TEST(string2Path, KeepsOnlyAsciiLettersAndDigits) {
  struct Case {
    std::string in, out;
  } const cases[] = {
      {"Engine_Speed-1", "EngineSpeed1"},
      {"a b.c/d\\e", "abcde"},
      {"Gr\xC3\xB6\xC3\x9F" "e9", "Gre9"},  // two-byte letters dropped
      {"\xE2\x82\xAC" "5", "5"},            // three bytes
      {"\xF0\x9F\x98\x80" "x", "x"},        // four bytes
      {"ab\xE2\x82", "ab"},                 // cut short: the walk ends
      {"\x80x", ""},                        // a stray byte swallows the next
      {std::string("a\0b", 3), "ab"},
  };
  for (const Case& c : cases) EXPECT_EQ(string2Path(c.in), c.out) << c.in;
}

TEST(cOutputPath, LayoutOfDeviceBusMessageAddressesAndDate) {
  cDB db(cDB::kBusJ1939);
  cDBMessage* eec1 = cDB_messageAdd(&db, "EEC1", 0x80F00400, 8, cDBTransport::None, "", 0);
  cDB_signalAdd(&eec1->signals, "EngineSpeed", byteAt(0), 0);
  cDBDecodedMessage decoded;
  ASSERT_TRUE(cDB_decodeMessage(&db, 0x80F00400, std::vector<uint8_t>(8, 0), &decoded));
  struct Case {
    uint32_t type;
    uint8_t channel, sa, hasSa, da, hasDa;
    bool srcMerge, dstMerge;
    const char* suffix;
    const char* device;
    std::string expected;
  } const cases[] = {
      {kCan, 1, 0x00, 1, 0, 0, false, true, "_out", "0A1B2C3D", "0A1B2C3D_out/CAN1_EEC1_S00"},
      {kCan, 1, 0x17, 1, 0, 0, true, true, "_out", "0A1B2C3D", "0A1B2C3D_out/CAN1_EEC1"},
      {kCan, 1, 0x17, 1, 0x21, 1, false, false, "_out", "0A1B2C3D", "0A1B2C3D_out/CAN1_EEC1_S17_D21"},
      {kCan, 1, 0x17, 1, 0x21, 1, true, false, "_out", "0A1B2C3D", "0A1B2C3D_out/CAN1_EEC1_D21"},
      {kCan, 1, 0x17, 1, 0x21, 1, false, true, "_out", "0A1B2C3D", "0A1B2C3D_out/CAN1_EEC1_S17"},
      {kCan, 19, 0xAB, 0, 0xCD, 0, false, false, "_out", "0A1B2C3D", "0A1B2C3D_out/CAN19_EEC1"},
      {kLin, 2, 0, 0, 0, 0, false, true, "", "0A1B2C3D", "0A1B2C3D/LIN2_EEC1"},
      {kCan, 1, 0, 0, 0, 0, false, true, "_out", "0123456789ABCDEFGH", "0123456789ABCDE_out/CAN1_EEC1"},
  };
  for (const Case& c : cases) {
    cOutputNaming naming = exampleNaming();
    naming.pgnSrcMerge = c.srcMerge;
    naming.pgnDstMerge = c.dstMerge;
    naming.folderSuffix = c.suffix;
    naming.deviceId = c.device;
    cMessageIdentity id{.nameHash = eec1->nameHash, .type = c.type, .channel = c.channel,
                        .key = 0x80F00400, .sourceAddress = c.sa, .hasSourceAddress = c.hasSa,
                        .destinationAddress = c.da, .hasDestinationAddress = c.hasDa};
    std::string path;
    cOutputPath_build(naming, id, decoded, &path);
    EXPECT_EQ(path, c.expected + "/2024/03/05/00000012_00000003");
  }
}

// A message with a multiplexor M-U-X (byte 0) and two ranges.
struct MuxFixture {
  cDB db{cDB::kBusCan};
  MuxFixture() {
    cDBMessage* m = cDB_messageAdd(&db, "Mux_Msg", 0x123, 8, cDBTransport::None, "", 0);
    cDBSignal* mux = cDB_signalAdd(&m->signals, "M-U-X", byteAt(0), 0);
    cDB_signalAdd(&cDB_multiplexAdd(&mux->ranges, 0x10, 0x1F)->signals, "Low", byteAt(1), 0);
    cDB_signalAdd(&cDB_multiplexAdd(&mux->ranges, 300, 400)->signals, "High", byteAt(1), 0);
  }
  cDBDecodedMessage decode(uint8_t muxByte) {
    cDBDecodedMessage decoded;
    EXPECT_TRUE(cDB_decodeMessage(&db, 0x123, std::vector<uint8_t>{muxByte, 1}, &decoded));
    return decoded;
  }
};

TEST(cOutputPath, MultiplexorPartNamesTheStartOfTheRangeOfTheWholeValue) {
  MuxFixture f;
  const struct {
    double value;
    const char* part;
  } cases[] = {{0x1A, "_MUX_M10"}, {0x10, "_MUX_M10"}, {31.9, "_MUX_M10"}, {0x0F, ""}, {0x20, ""},
               {300.7, "_MUX_M12C"}, {-1.0, ""}, {1e12, ""}, {std::nan(""), ""}};
  cDBDecodedMessage decoded = f.decode(0x1A);
  for (const auto& c : cases) {
    decoded.signals[0].value = c.value;
    std::string path;
    cOutputPath_build(exampleNaming(), cMessageIdentity{.type = kCan, .channel = 1}, decoded, &path);
    EXPECT_EQ(path, std::string("0A1B2C3D_out/CAN1_MuxMsg") + c.part + "/2024/03/05/00000012_00000003");
  }
}

TEST(cSignalSetKey, DistinguishesExactlyWhatTheMergeRulesKeep) {
  MuxFixture f;
  const cDBDecodedMessage low = f.decode(0x11), none = f.decode(0x05);
  using Change = std::function<void(cOutputNaming&, cMessageIdentity&)>;
  auto key = [](const Change& change, const cDBDecodedMessage& decoded, bool merge) {
    cOutputNaming n = exampleNaming();
    n.pgnSrcMerge = n.pgnDstMerge = merge;
    cMessageIdentity id{.type = kCan, .channel = 1, .key = 5, .sourceAddress = 1,
                        .hasSourceAddress = 1, .destinationAddress = 7, .hasDestinationAddress = 1};
    change(n, id);
    std::string k;
    cSignalSetKey_build(n, id, decoded, &k);
    return k;
  };
  const Change same = [](cOutputNaming&, cMessageIdentity&) {};
  const Change addresses = [](cOutputNaming&, cMessageIdentity& id) { id.sourceAddress = 2; id.destinationAddress = 8; };
  const Change device = [](cOutputNaming& n, cMessageIdentity&) { n.deviceId = "0A1B2C3E"; };
  const Change channel = [](cOutputNaming&, cMessageIdentity& id) { id.channel = 2; };
  const Change dateAndSplit = [](cOutputNaming& n, cMessageIdentity&) { n.day = 6; n.split = 4; };
  EXPECT_NE(key(same, low, false), key(addresses, low, false));
  EXPECT_EQ(key(same, low, true), key(addresses, low, true));
  EXPECT_NE(key(same, low, false), key(same, none, false));  // other decoded signals
  EXPECT_NE(key(same, low, true), key(device, low, true));
  EXPECT_NE(key(same, low, true), key(channel, low, true));
  EXPECT_EQ(key(same, low, false), key(dateAndSplit, low, false));
}

}  // namespace
