#include "output/output_naming.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "bus/bus_msg.h"
#include "db/db.h"

namespace {

cDBSignalParameters byteAt(uint16_t byte) {
  cDBSignalParameters p;
  p.bitPosition = static_cast<uint16_t>(byte * 8);
  p.bitLength = 8;
  return p;
}

TEST(string2Path, KeepsOnlyAsciiLettersAndDigits) {
  struct Case {
    std::string in;
    std::string out;
  } const cases[] = {
      {"Engine_Speed-1", "EngineSpeed1"},
      {"", ""},
      {"a b.c/d\\e", "abcde"},
      {"Gr\xC3\xB6\xC3\x9F" "e9", "Gre9"},       // two-byte letters dropped
      {"\xE2\x82\xAC" "5", "5"},                 // euro sign (three bytes)
      {"\xF0\x9F\x98\x80" "x", "x"},             // four-byte sequence
      {"ab\xE2\x82", "ab"},                      // cut short: the walk ends
      {"\x80x", ""},                             // a stray byte swallows the next
      {std::string("a\0b", 3), "ab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(string2Path(c.in), c.out);
  }
}

// One database message with a multiplexor MUX (byte 0) and, per range, one
// signal in byte 1.
struct MuxFixture {
  std::unique_ptr<cDB> db = std::make_unique<cDB>(cDB::kBusCan);
  cDBMessage* message = nullptr;
  MuxFixture() {
    message = cDB_messageAdd(db.get(), "Mux_Msg", 0x123, 8, cDBTransport::None, "", 0);
    cDBSignal* mux = cDB_signalAdd(&message->signals, "M-U-X", byteAt(0), 0);
    cDBRange* low = cDB_multiplexAdd(&mux->ranges, 0x10, 0x1F);
    cDB_signalAdd(&low->signals, "Low", byteAt(1), 0);
    cDBRange* high = cDB_multiplexAdd(&mux->ranges, 300, 400);
    cDB_signalAdd(&high->signals, "High", byteAt(1), 0);
  }
};

cOutputNaming exampleNaming() {
  cOutputNaming n;
  n.deviceId = "0A1B2C3D";
  n.folderSuffix = "_out";
  n.year = 2024;
  n.month = 3;
  n.day = 5;
  n.session = 12;
  n.split = 3;
  return n;
}

TEST(cOutputPath, LayoutOfDeviceBusMessageAddressesAndDate) {
  auto db = std::make_unique<cDB>(cDB::kBusJ1939);
  cDBMessage* eec1 = cDB_messageAdd(db.get(), "EEC1", 0x80F00400, 8, cDBTransport::None, "", 0);
  cDB_signalAdd(&eec1->signals, "EngineSpeed", byteAt(0), 0);

  const uint32_t can = static_cast<uint32_t>(cBusMsgType::BUS_MSG_CAN_DATA_FRAME);
  const uint32_t lin = static_cast<uint32_t>(cBusMsgType::BUS_MSG_LIN_FRAME);
  struct Case {
    const char* name;
    uint32_t type;
    uint8_t channel;
    uint8_t sa, hasSa, da, hasDa;
    bool srcMerge, dstMerge;
    const char* suffix;
    const char* device;
    std::string expected;
  } const cases[] = {
      {"source kept", can, 1, 0x00, 1, 0, 0, false, true, "_out", "0A1B2C3D",
       "0A1B2C3D_out/CAN1_EEC1_S00/2024/03/05/00000012_00000003"},
      {"source merged", can, 1, 0x17, 1, 0, 0, true, true, "_out", "0A1B2C3D",
       "0A1B2C3D_out/CAN1_EEC1/2024/03/05/00000012_00000003"},
      {"destination kept", can, 1, 0x17, 1, 0x21, 1, false, false, "_out", "0A1B2C3D",
       "0A1B2C3D_out/CAN1_EEC1_S17_D21/2024/03/05/00000012_00000003"},
      {"destination merged", can, 1, 0x17, 1, 0x21, 1, false, true, "_out", "0A1B2C3D",
       "0A1B2C3D_out/CAN1_EEC1_S17/2024/03/05/00000012_00000003"},
      {"no addresses", can, 9, 0xAB, 0, 0xCD, 0, false, false, "_out", "0A1B2C3D",
       "0A1B2C3D_out/CAN9_EEC1/2024/03/05/00000012_00000003"},
      {"lin, no suffix", lin, 2, 0, 0, 0, 0, false, true, "", "0A1B2C3D",
       "0A1B2C3D/LIN2_EEC1/2024/03/05/00000012_00000003"},
      {"long device", can, 1, 0, 0, 0, 0, false, true, "_out", "0123456789ABCDEFGH",
       "0123456789ABCDE_out/CAN1_EEC1/2024/03/05/00000012_00000003"},
  };
  cDBDecodedMessage decoded;
  ASSERT_TRUE(cDB_decodeMessage(db.get(), 0x80F00400, std::vector<uint8_t>(8, 0), &decoded));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
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
    EXPECT_EQ(path, c.expected);
  }
}

TEST(cOutputPath, MultiplexorPartNamesTheStartOfItsRange) {
  MuxFixture f;
  struct Case {
    uint8_t muxByte;
    std::string part;  // empty: no multiplexor part
  } const cases[] = {
      {0x1A, "_MUX_M10"},
      {0x10, "_MUX_M10"},
      {0x05, ""},  // no range holds the value
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.muxByte));
    cDBDecodedMessage decoded;
    std::vector<uint8_t> payload = {c.muxByte, 7, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(cDB_decodeMessage(f.db.get(), 0x123, payload, &decoded));
    cMessageIdentity id{.type = 1, .channel = 1, .key = 0x123};
    std::string path;
    cOutputPath_build(exampleNaming(), id, decoded, &path);
    EXPECT_EQ(path, "0A1B2C3D_out/CAN1_MuxMsg" + c.part + "/2024/03/05/00000012_00000003");
  }
}

TEST(cOutputPath, MultiplexorRangeAbove255PrintsMoreDigits) {
  MuxFixture f;
  // The multiplexor value is taken from the decoded signal: put 300 there.
  cDBDecodedMessage decoded;
  ASSERT_TRUE(cDB_decodeMessage(f.db.get(), 0x123, std::vector<uint8_t>(8, 0), &decoded));
  ASSERT_FALSE(decoded.signals.empty());
  decoded.signals[0].value = 300.7;
  std::string path;
  cOutputPath_build(exampleNaming(), cMessageIdentity{.type = 1, .channel = 1}, decoded, &path);
  EXPECT_NE(path.find("_MUX_M12C/"), std::string::npos) << path;
  for (double bad : {-1.0, 1e12, std::nan("")}) {
    decoded.signals[0].value = bad;
    cOutputPath_build(exampleNaming(), cMessageIdentity{.type = 1, .channel = 1}, decoded, &path);
    EXPECT_EQ(path.find("_MUX"), std::string::npos) << path;
  }
}

TEST(cSignalSetKey, DistinguishesExactlyWhatTheMergeRulesKeep) {
  MuxFixture f;
  cDBDecodedMessage low;
  ASSERT_TRUE(cDB_decodeMessage(f.db.get(), 0x123, std::vector<uint8_t>{0x11, 1}, &low));
  cDBDecodedMessage other;
  ASSERT_TRUE(cDB_decodeMessage(f.db.get(), 0x123, std::vector<uint8_t>{0x05, 1}, &other));

  auto key = [](const cOutputNaming& n, const cMessageIdentity& id, const cDBDecodedMessage& d) {
    std::string k;
    cSignalSetKey_build(n, id, d, &k);
    return k;
  };
  cOutputNaming keep = exampleNaming();
  keep.pgnDstMerge = false;
  cOutputNaming merge = exampleNaming();
  merge.pgnSrcMerge = true;
  merge.pgnDstMerge = true;
  cMessageIdentity a{.type = 1, .channel = 1, .key = 5, .sourceAddress = 1, .hasSourceAddress = 1,
                     .destinationAddress = 7, .hasDestinationAddress = 1};
  cMessageIdentity b = a;
  b.sourceAddress = 2;
  b.destinationAddress = 8;

  EXPECT_NE(key(keep, a, low), key(keep, b, low));
  EXPECT_EQ(key(merge, a, low), key(merge, b, low));
  EXPECT_NE(key(keep, a, low), key(keep, a, other));  // different decoded signals
  cOutputNaming otherDevice = keep;
  otherDevice.deviceId = "0A1B2C3E";
  EXPECT_NE(key(keep, a, low), key(otherDevice, a, low));
  cMessageIdentity otherChannel = a;
  otherChannel.channel = 2;
  EXPECT_NE(key(keep, a, low), key(keep, otherChannel, low));
  // The date, session and split are not part of it.
  cOutputNaming later = keep;
  later.day = 6;
  later.split = 4;
  EXPECT_EQ(key(keep, a, low), key(later, a, low));
  EXPECT_EQ(key(keep, a, low).size(), 15u + 24u + 4u * low.signals.size());
}

}  // namespace
