#include "app/transport_config.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "bus/test_frames.h"

namespace {

using bustest::canFrame;
using bustest::cat;
using bustest::ramp;
using bustest::RecordingLayer;

// The layers as the driver wires them: TP -> MUX -> decoder stand-in, with
// the MUX layer feeding back into TP.
struct TransportConfigTest : ::testing::Test {
  RecordingLayer decoder;
  cBusLayerMux mux{&decoder, nullptr};
  cBusLayerTp tp{&mux};
  cDBMap databases;

  void SetUp() override { ASSERT_TRUE(mux.setPhyLayer(&tp)); }

  cDB& addDatabase(uint8_t channel, uint32_t busKind) {
    databases[channel].push_back(std::make_unique<cDB>(busKind));
    return *databases[channel].back();
  }
  static void addMessage(cDB& db, uint32_t id, bool extended, cDBTransport transport,
                         std::string_view parameter = "") {
    ASSERT_NE(cDB_messageAdd(&db, "M" + std::to_string(id), cDB_can_id2key(id, extended), 8, transport,
                             parameter, 0),
              nullptr);
  }
  bool send(cBusMsg msg) { return tp.newMsg(msg); }
};

TEST_F(TransportConfigTest, PlainDatabasesNeedNoTransportLayer) {
  cDB& db = addDatabase(1, cDB::kBusCan);
  addMessage(db, 0x7E8, false, cDBTransport::None);
  EXPECT_FALSE(configureTransportLayers(databases, tp, mux));
  EXPECT_TRUE(send(canFrame(0x7E8, cat({0x10, 0x0A}, ramp(6)), false, 1)));
  ASSERT_EQ(decoder.msgs.size(), 1u);  // passed through, not reassembled
  EXPECT_FALSE(configureTransportLayers(cDBMap{}, tp, mux));
}

TEST_F(TransportConfigTest, J1939DatabaseAloneRegistersConnectionManagement) {
  addDatabase(2, cDB::kBusJ1939);
  EXPECT_TRUE(configureTransportLayers(databases, tp, mux));
  const std::vector<uint8_t> cm{0x20, 9, 0, 2, 0xFF, 0xF1, 0xFE, 0};
  for (uint8_t channel : {1, 2}) {
    EXPECT_TRUE(send(canFrame(0x1CECFF20, cm, true, channel)));
    EXPECT_TRUE(send(canFrame(0x1CEBFF20, cat({1}, ramp(7)), true, channel)));
    EXPECT_TRUE(send(canFrame(0x1CEBFF20, cat({2}, ramp(7, 7)), true, channel)));
  }
  // Channel 1 has no J1939 database: its three frames pass as they are.
  ASSERT_EQ(decoder.msgs.size(), 4u);
  EXPECT_EQ(decoder.msgs[3].channel, 2);
  EXPECT_EQ(decoder.msgs[3].id, 0x1CFEF120u);
  EXPECT_EQ(decoder.msgs[3].data, ramp(9));
}

TEST_F(TransportConfigTest, MessagesAreRegisteredOnTheirChannelWithTheirProtocol) {
  addMessage(addDatabase(2, cDB::kBusCan), 0x18DA00F1, true, cDBTransport::IsoTp);
  addMessage(addDatabase(3, cDB::kBusCan), 0x09F80103, true, cDBTransport::NmeaFastPacket);
  EXPECT_TRUE(configureTransportLayers(databases, tp, mux));
  EXPECT_TRUE(send(canFrame(0x18DA00F1, {0x02, 0xAB, 0xCD}, true, 2)));
  EXPECT_TRUE(send(canFrame(0x18DA00F1, {0x02, 0xAB, 0xCD}, true, 3)));
  EXPECT_TRUE(send(canFrame(0x09F80103, cat({0x00, 3}, ramp(3)), true, 3)));
  ASSERT_EQ(decoder.msgs.size(), 3u);
  EXPECT_EQ(decoder.msgs[0].data, (std::vector<uint8_t>{0xAB, 0xCD}));
  EXPECT_EQ(decoder.msgs[1].data, (std::vector<uint8_t>{0x02, 0xAB, 0xCD}));  // untouched
  EXPECT_EQ(decoder.msgs[2].data, ramp(3));
  EXPECT_EQ(tp.getStatistics().successful, 2u);
}

TEST_F(TransportConfigTest, MuxParameterGivesTheChannelMap) {
  struct Case {
    const char* text;
    std::array<uint8_t, 4> channels;
  };
  const Case cases[] = {
      {"MUXTP#2:3:4:5", {2, 3, 4, 5}},
      {"MUXTP#256:257:1000:0", {0, 1, 232, 0}},
      {"MUXTP#18446744073709551617:0002:9:10", {1, 2, 9, 10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    RecordingLayer out;
    cBusLayerMux m(&out, nullptr);
    cBusLayerTp t(&m);
    m.setPhyLayer(&t);
    cDBMap dbs;
    dbs[1].push_back(std::make_unique<cDB>(cDB::kBusCan));
    addMessage(*dbs[1].back(), 0x700, false, cDBTransport::MuxTp, c.text);
    LogCapture log;
    EXPECT_TRUE(configureTransportLayers(dbs, t, m));
    EXPECT_TRUE(log.messages().empty());
    // One single-byte frame per channel index 0..3, carried in one message.
    std::vector<uint8_t> payload;
    for (uint8_t index = 0; index < 4; ++index) {
      payload.insert(payload.end(), {uint8_t(index << 5), 0x81, 0x23, index});
    }
    cBusMsg ff = canFrame(0x700, cat({0x10, 16}, {payload.begin(), payload.begin() + 6}), false, 1);
    cBusMsg cf1 = canFrame(0x700, cat({0x21}, {payload.begin() + 6, payload.begin() + 13}), false, 1);
    cBusMsg cf2 = canFrame(0x700, cat({0x22}, {payload.begin() + 13, payload.end()}), false, 1);
    for (cBusMsg* f : {&ff, &cf1, &cf2}) EXPECT_TRUE(t.newMsg(*f));
    std::vector<uint8_t> delivered(4, 0xFF);
    for (const cBusMsg& msg : out.msgs) delivered[msg.data.at(0)] = msg.channel;
    for (size_t i = 0; i < 4; ++i) {
      // A frame mapped onto the carrier's own channel 1 is never delivered.
      EXPECT_EQ(delivered[i], c.channels[i] == 1 ? 0xFF : c.channels[i]) << i;
    }
  }
}

TEST_F(TransportConfigTest, MalformedMuxParameterIsLoggedButTransportStays) {
  const char* texts[] = {"MUXTP#2:3:4",      "MUXTP#2:3:4:5:6", "MUXTP#2:3:4:5 ", "MUXTP#2:3:4:5\n",
                         " MUXTP#2:3:4:5",   "muxtp#2:3:4:5",   "MUXTP#2:3:-4:5", "MUXTP#2:3::5",
                         "MUXTP#0x2:3:4:5", "MUXTP#2;3;4;5",   "",               "MUXTP#\xB2:3:4:5"};
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    RecordingLayer out;
    cBusLayerMux m(&out, nullptr);
    cBusLayerTp t(&m);
    m.setPhyLayer(&t);
    cDBMap dbs;
    dbs[1].push_back(std::make_unique<cDB>(cDB::kBusCan));
    addMessage(*dbs[1].back(), 0x700, false, cDBTransport::MuxTp, text);
    LogCapture log;
    EXPECT_TRUE(configureTransportLayers(dbs, t, m));
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"E Failed to add MUX config"}));
    // Still reassembled as ISO-TP, then passed on whole instead of unpacked.
    cBusMsg sf = canFrame(0x700, {0x04, 0x00, 0x81, 0x23, 0x11}, false, 1);
    EXPECT_TRUE(t.newMsg(sf));
    ASSERT_EQ(out.msgs.size(), 1u);
    EXPECT_EQ(out.msgs[0].id, 0x700u);
    EXPECT_EQ(out.msgs[0].data, (std::vector<uint8_t>{0x00, 0x81, 0x23, 0x11}));
  }
}

}  // namespace
