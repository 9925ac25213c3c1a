// Output naming: path-safe names and the folder layout of a signal set
// (device, bus, channel, multiplexor ranges, J1939 addresses, date, session,
// split).
#include "output/output_naming.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "bus/bus_msg.h"
#include "db/db.h"

namespace {

constexpr uint32_t kCan = static_cast<uint32_t>(cBusMsgType::BUS_MSG_CAN_DATA_FRAME);
constexpr uint32_t kLin = static_cast<uint32_t>(cBusMsgType::BUS_MSG_LIN_FRAME);
const std::string kDate = "/2024/03/05/00000012_00000003";

cDBSignalParameters byteAt(uint16_t byte) {
  cDBSignalParameters p;
  p.bitPosition = static_cast<uint16_t>(byte * 8);
  p.bitLength = 8;
  return p;
}

TEST(string2Path, KeepsOnlyAsciiLettersAndDigits) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"Engine_Speed-1", "EngineSpeed1"},
      {"a b.c/d\\e", "abcde"},
      {"Gr\xC3\xB6\xC3\x9F" "e9", "Gre9"},  // two-byte letters dropped
      {"\xE2\x82\xAC" "5", "5"},            // three bytes
      {"\xF0\x9F\x98\x80" "x", "x"},        // four bytes
      {"ab\xE2\x82", "ab"},                 // cut short: the walk ends
      {"\x80x", ""},                        // a stray byte swallows the next
      {std::string("a\0b", 3), "ab"},
  };
  for (const auto& c : cases) EXPECT_EQ(string2Path(c.in), c.out) << c.in;
}

TEST(cOutputPath, LayoutOfDeviceBusMessageAddressesAndDate) {
  cDB db(cDB::kBusJ1939);
  cDBMessage* eec1 = cDB_messageAdd(&db, "EEC1", 0x80F00400, 8, cDBTransport::None, "", 0);
  cDB_signalAdd(&eec1->signals, "EngineSpeed", byteAt(0), 0);
  cDBDecodedMessage decoded;
  ASSERT_TRUE(cDB_decodeMessage(&db, 0x80F00400, std::vector<uint8_t>(8, 0), &decoded));
  const struct {
    uint32_t type;
    uint8_t channel;
    int sa, da;  // -1: none
    bool srcMerge, dstMerge;
    const char *suffix, *device;
    std::string expected;
  } cases[] = {
      {kCan, 1, 0x17, -1, true, false, "_out", "0A1B2C3D", "0A1B2C3D_out/CAN1_EEC1"},
      {kCan, 1, 0x17, 0x21, false, false, "_out", "0A1B2C3D", "0A1B2C3D_out/CAN1_EEC1_S17_D21"},
      {kCan, 1, 0x17, 0x21, true, false, "_out", "0A1B2C3D", "0A1B2C3D_out/CAN1_EEC1_D21"},
      {kCan, 19, -1, -1, false, false, "_out", "0A1B2C3D", "0A1B2C3D_out/CAN19_EEC1"},
      {kLin, 2, -1, -1, false, true, "", "0A1B2C3D", "0A1B2C3D/LIN2_EEC1"},
      {kCan, 1, -1, -1, false, true, "_out", "0123456789ABCDEFGH", "0123456789ABCDE_out/CAN1_EEC1"},
  };
  for (const auto& c : cases) {
    cOutputNaming naming{.deviceId = c.device, .folderSuffix = c.suffix, .pgnSrcMerge = c.srcMerge,
                         .pgnDstMerge = c.dstMerge, .year = 2024, .month = 3, .day = 5, .session = 12, .split = 3};
    cMessageIdentity id{.nameHash = eec1->nameHash, .type = c.type, .channel = c.channel, .key = 0x80F00400,
                        .sourceAddress = static_cast<uint8_t>(c.sa), .hasSourceAddress = c.sa >= 0,
                        .destinationAddress = static_cast<uint8_t>(c.da), .hasDestinationAddress = c.da >= 0};
    std::string path;
    cOutputPath_build(naming, id, decoded, &path);
    EXPECT_EQ(path, c.expected + kDate);
  }
}

TEST(cOutputPath, MultiplexorPartNamesTheStartOfTheRangeOfTheWholeValue) {
  cDB db(cDB::kBusCan);
  cDBMessage* m = cDB_messageAdd(&db, "Mux_Msg", 0x123, 8, cDBTransport::None, "", 0);
  cDBSignal* mux = cDB_signalAdd(&m->signals, "M-U-X", byteAt(0), 0);
  cDB_signalAdd(&cDB_multiplexAdd(&mux->ranges, 0x10, 0x1F)->signals, "Low", byteAt(1), 0);
  cDB_signalAdd(&cDB_multiplexAdd(&mux->ranges, 300, 400)->signals, "High", byteAt(1), 0);
  cDBDecodedMessage decoded;
  ASSERT_TRUE(cDB_decodeMessage(&db, 0x123, std::vector<uint8_t>{0x1A, 1}, &decoded));
  const struct {
    double value;
    const char* part;
  } cases[] = {{0x1A, "_MUX_M10"}, {0x10, "_MUX_M10"}, {31.9, "_MUX_M10"}, {0x0F, ""}, {0x20, ""},
               {300.7, "_MUX_M12C"}, {-1.0, ""}, {1e12, ""}, {std::nan(""), ""}};
  for (const auto& c : cases) {
    decoded.signals[0].value = c.value;
    std::string path;
    cOutputPath_build({.deviceId = "0A1B2C3D", .folderSuffix = "_out", .year = 2024, .month = 3, .day = 5,
                       .session = 12, .split = 3},
                      cMessageIdentity{.type = kCan, .channel = 1}, decoded, &path);
    EXPECT_EQ(path, "0A1B2C3D_out/CAN1_MuxMsg" + std::string(c.part) + kDate);
  }
}

}  // namespace
