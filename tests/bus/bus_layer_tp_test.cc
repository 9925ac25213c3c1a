#include "bus/bus_layer_tp.h"

#include <gtest/gtest.h>

#include "bus/test_frames.h"
#include "db/message_key.h"

namespace {

using bustest::canFrame;
using bustest::cat;
using bustest::linFrame;
using bustest::LogCapture;
using bustest::ramp;
using bustest::RecordingLayer;

constexpr uint32_t kTpCmKey = cDB_can_pgn_id2key(0xEC0000, 1);

struct TpLayerTest : ::testing::Test {
  RecordingLayer sink;
  cBusLayerTp tp{&sink};
  LogCapture log;

  bool send(cBusMsg msg) { return tp.newMsg(msg); }
  const cBusLayerTpStatistics& stats() { return tp.getStatistics(); }
};

// BAM of `payload` as PGN 0xFEF1 from `src` on `channel`: announcement first,
// then the data frames.
std::vector<cBusMsg> broadcast(const std::vector<uint8_t>& payload, uint8_t src, uint8_t channel) {
  std::vector<cBusMsg> frames;
  uint8_t n = static_cast<uint8_t>(payload.size());
  frames.push_back(canFrame(0x1CECFF00u | src, {0x20, n, 0, uint8_t((n + 6) / 7), 0xFF, 0xF1, 0xFE, 0},
                            true, channel));
  for (uint8_t seq = 1; (seq - 1u) * 7 < payload.size(); ++seq) {
    std::vector<uint8_t> d{seq};
    for (size_t i = 0; i < 7; ++i) {
      size_t at = (seq - 1u) * 7 + i;
      d.push_back(at < payload.size() ? payload[at] : 0xFF);
    }
    frames.push_back(canFrame(0x1CEBFF00u | src, d, true, channel));
  }
  return frames;
}

TEST_F(TpLayerTest, UnregisteredFramesPassUnchanged) {
  ASSERT_TRUE(tp.addConfig(1, 1, cDB_can_id2key(0x7E8, 0), kTpTypeIsoTp));
  ASSERT_TRUE(tp.addConfig(2, 2, kTpCmKey, kTpTypeJ1939));
  cBusMsg remote = canFrame(0x7E8, {}, false, 1);
  remote.type = cBusMsgType::BUS_MSG_CAN_REMOTE_FRAME;
  cBusMsg error;
  error.type = cBusMsgType::BUS_MSG_CAN_ERROR_FRAME;
  error.canError.errorType = 3;
  const std::pair<const char*, cBusMsg> cases[] = {
      {"other identifier", canFrame(0x7E9, {0x10, 0x20, 1, 2, 3, 4, 5, 6}, false, 1)},
      {"registered identifier on another channel", canFrame(0x7E8, {0x02, 1, 2}, false, 3)},
      {"extended twin of a standard key", canFrame(0x7E8, {0x02, 1, 2}, true, 1)},
      {"LIN frame with the same key", linFrame(0x28, {0x02, 1, 2}, 1)},
      {"remote frame", remote},
      {"error frame", error},
      {"J1939 group without transport", canFrame(0x18FEF100, ramp(8), true, 2)},
      {"TP.DT on a channel without J1939", canFrame(0x1CEBFF00, ramp(8), true, 1)},
  };
  for (const auto& [name, frame] : cases) {
    SCOPED_TRACE(name);
    sink.msgs.clear();
    ASSERT_TRUE(send(frame));
    ASSERT_EQ(sink.msgs.size(), 1u);
    const cBusMsg& got = sink.msgs[0];
    EXPECT_EQ(got.id, frame.id);
    EXPECT_EQ(got.channel, frame.channel);
    EXPECT_EQ(got.type, frame.type);
    EXPECT_EQ(got.data, frame.data);
    EXPECT_EQ(got.can.ide, frame.can.ide);
    EXPECT_EQ(got.canError.errorType, frame.canError.errorType);
  }
  EXPECT_EQ(stats().successful + stats().failed + stats().unfinished, 0u);
}

TEST_F(TpLayerTest, SingleFrameIsOneSuccessfulSession) {
  tp.addConfig(1, 1, cDB_can_id2key(0x7E8, 0), kTpTypeIsoTp);
  EXPECT_TRUE(send(canFrame(0x7E8, {0x03, 0xA, 0xB, 0xC, 0xCC, 0xCC, 0xCC, 0xCC}, false, 1, 4.5)));
  ASSERT_EQ(sink.msgs.size(), 1u);
  EXPECT_EQ(sink.msgs[0].data, (std::vector<uint8_t>{0xA, 0xB, 0xC}));
  EXPECT_EQ(sink.msgs[0].timeStamp, 4.5);
  EXPECT_EQ(stats().successful, 1u);
  EXPECT_EQ(stats().unfinished, 0u);
}

TEST_F(TpLayerTest, SegmentedMessageIsConsumedUntilCompleteAndReturnsNextResult) {
  tp.addConfig(1, 1, cDB_can_id2key(0x18DAF110, 1), kTpTypeIsoTp);
  sink.result = false;
  EXPECT_TRUE(send(canFrame(0x18DAF110, cat({0x10, 0x0A}, ramp(6)), true)));
  EXPECT_TRUE(sink.msgs.empty());
  EXPECT_EQ(stats().unfinished, 1u);
  EXPECT_FALSE(send(canFrame(0x18DAF110, cat({0x21}, ramp(7, 6)), true)));
  ASSERT_EQ(sink.msgs.size(), 1u);
  EXPECT_EQ(sink.msgs[0].data, ramp(10));
  EXPECT_EQ(stats().successful, 1u);
  EXPECT_EQ(stats().unfinished, 0u);
}

TEST_F(TpLayerTest, FailedSessionIsCountedLoggedAndConsumed) {
  tp.addConfig(1, 1, cDB_can_id2key(0x7E8, 0), kTpTypeIsoTp);
  EXPECT_TRUE(send(canFrame(0x7E8, cat({0x10, 0x20}, ramp(6)), false, 1, 2.0)));
  EXPECT_TRUE(send(canFrame(0x7E8, cat({0x22}, ramp(7)), false, 1, 2.5)));
  EXPECT_TRUE(sink.msgs.empty());
  EXPECT_EQ(stats().failed, 1u);
  EXPECT_EQ(stats().unfinished, 0u);
  EXPECT_EQ(log.count("TP error (time: 2.500000, id: 0x7E8)"), 1u);
  // The next message of the key starts afresh.
  EXPECT_TRUE(send(canFrame(0x7E8, {0x01, 0x77})));
  ASSERT_EQ(sink.msgs.size(), 1u);
  EXPECT_EQ(sink.msgs[0].data, (std::vector<uint8_t>{0x77}));
}

TEST_F(TpLayerTest, NewMessageEndsAnUnfinishedOne) {
  struct Case {
    const char* name;
    uint32_t tpType;
    std::vector<std::vector<uint8_t>> frames;
    std::vector<uint8_t> delivered;
  };
  const Case cases[] = {
      {"ISO-TP first frame",
       kTpTypeIsoTp,
       {cat({0x10, 0x20}, ramp(6)), cat({0x10, 0x0A}, ramp(6, 50)), cat({0x21}, ramp(7, 56))},
       ramp(10, 50)},
      {"ISO-TP single frame", kTpTypeIsoTp, {cat({0x10, 0x20}, ramp(6)), {0x02, 9, 8}}, {9, 8}},
      {"fast-packet frame 0",
       kTpTypeNmeaFastPacket,
       {cat({0x20, 40}, ramp(6)), cat({0x40, 9}, ramp(6, 70)), cat({0x41}, ramp(7, 76))},
       ramp(9, 70)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingLayer out;
    cBusLayerTp layer(&out);
    layer.addConfig(1, 1, cDB_can_id2key(0x123, 0), c.tpType);
    for (const auto& d : c.frames) {
      cBusMsg f = canFrame(0x123, d);
      EXPECT_TRUE(layer.newMsg(f));
    }
    ASSERT_EQ(out.msgs.size(), 1u);
    EXPECT_EQ(out.msgs[0].data, c.delivered);
    EXPECT_EQ(layer.getStatistics().failed, 1u);
    EXPECT_EQ(layer.getStatistics().successful, 1u);
  }
}

TEST_F(TpLayerTest, J1939ConnectionFramesOfTheOtherDirectionEndHere) {
  tp.addConfig(2, 1, kTpCmKey, kTpTypeJ1939);
  for (uint8_t control : {0x11, 0x13, 0xFF, 0x55}) {
    SCOPED_TRACE(int(control));
    EXPECT_TRUE(send(canFrame(0x1CEC2010, {control, 1, 0, 0xFF, 0xFF, 0x00, 0xEF, 0x00}, true, 1)));
  }
  EXPECT_TRUE(send(canFrame(0x1CEC2010, {}, true, 1)));
  EXPECT_TRUE(sink.msgs.empty());
  EXPECT_EQ(stats().unfinished, 0u);
  EXPECT_EQ(stats().failed, 0u);
}

TEST_F(TpLayerTest, J1939InterleavedSourcesReassembleSeparately) {
  tp.addConfig(2, 1, kTpCmKey, kTpTypeJ1939);
  std::vector<cBusMsg> a = broadcast(ramp(20, 0x00), 0x20, 1);
  std::vector<cBusMsg> b = broadcast(ramp(20, 0x80), 0x21, 1);
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_TRUE(send(a[i]));
    EXPECT_TRUE(send(b[i]));
  }
  ASSERT_EQ(sink.msgs.size(), 2u);
  EXPECT_EQ(sink.msgs[0].id, 0x1CFEF120u);
  EXPECT_EQ(sink.msgs[0].data, ramp(20, 0x00));
  EXPECT_EQ(sink.msgs[1].id, 0x1CFEF121u);
  EXPECT_EQ(sink.msgs[1].data, ramp(20, 0x80));
  EXPECT_EQ(stats().successful, 2u);
}

TEST_F(TpLayerTest, J1939SequenceGapFailsAndLaterFramesDoNotMakeRows) {
  tp.addConfig(2, 1, kTpCmKey, kTpTypeJ1939);
  std::vector<cBusMsg> frames = broadcast(ramp(20), 0x20, 1);
  EXPECT_TRUE(send(frames[0]));
  EXPECT_TRUE(send(frames[1]));
  EXPECT_TRUE(send(frames[3]));  // packet 3 after 1
  EXPECT_TRUE(send(frames[2]));  // packet 2, now without an announcement
  EXPECT_TRUE(sink.msgs.empty());
  EXPECT_EQ(stats().failed, 2u);
  EXPECT_EQ(stats().unfinished, 0u);
}

TEST_F(TpLayerTest, FastPacketOnJ1939ChannelIsKeyedPerSource) {
  // A J1939 database message keyed by its group: every source has a session.
  tp.addConfig(2, 1, cDB_can_pgn_id2key(0x09F80100, 1), kTpTypeNmeaFastPacket);
  auto frame = [](uint8_t src, std::vector<uint8_t> d) { return canFrame(0x09F80100u | src, d, true, 1); };
  EXPECT_TRUE(send(frame(0x03, cat({0x00, 10}, ramp(6, 10)))));
  EXPECT_TRUE(send(frame(0x04, cat({0x20, 10}, ramp(6, 40)))));
  EXPECT_TRUE(send(frame(0x04, cat({0x21}, ramp(7, 46)))));
  EXPECT_TRUE(send(frame(0x03, cat({0x01}, ramp(7, 16)))));
  ASSERT_EQ(sink.msgs.size(), 2u);
  EXPECT_EQ(sink.msgs[0].id, 0x09F80104u);
  EXPECT_EQ(sink.msgs[0].data, ramp(10, 40));
  EXPECT_EQ(sink.msgs[1].id, 0x09F80103u);
  EXPECT_EQ(sink.msgs[1].data, ramp(10, 10));
}

TEST_F(TpLayerTest, LinMessagesAreRegisteredAsLinFrames) {
  tp.addConfig(3, 1, cDB_lin_id2key(0x3C), kTpTypeIsoTp);
  EXPECT_TRUE(send(linFrame(0x3C, {0x02, 5, 6})));
  ASSERT_EQ(sink.msgs.size(), 1u);
  EXPECT_EQ(sink.msgs[0].data, (std::vector<uint8_t>{5, 6}));
  EXPECT_EQ(sink.msgs[0].type, cBusMsgType::BUS_MSG_LIN_FRAME);
  EXPECT_TRUE(send(canFrame(0x3C, {0x02, 5, 6})));  // a CAN frame of that key is not
  EXPECT_EQ(sink.msgs[1].data, (std::vector<uint8_t>{0x02, 5, 6}));
}

TEST_F(TpLayerTest, FirstRegistrationStands) {
  EXPECT_TRUE(tp.addConfig(1, 1, 0x123, kTpTypeIsoTp));
  EXPECT_TRUE(tp.addConfig(1, 1, 0x123, kTpTypeNmeaFastPacket));
  EXPECT_TRUE(send(canFrame(0x123, {0x02, 1, 2})));
  ASSERT_EQ(sink.msgs.size(), 1u);
  EXPECT_EQ(sink.msgs[0].data, (std::vector<uint8_t>{1, 2}));
}

TEST_F(TpLayerTest, UnsupportedTransportTypeIsLoggedAndConsumed) {
  tp.addConfig(1, 1, 0x123, 2);
  EXPECT_TRUE(send(canFrame(0x123, {0x02, 1, 2})));
  EXPECT_TRUE(sink.msgs.empty());
  EXPECT_EQ(log.count("Unsupported transport protocol"), 1u);
  EXPECT_EQ(stats().unfinished, 0u);
}

TEST_F(TpLayerTest, FileBoundaries) {
  tp.addConfig(1, 1, 0x123, kTpTypeIsoTp);
  cLogFileInfo info;
  EXPECT_TRUE(send(canFrame(0x123, cat({0x10, 0x0A}, ramp(6)))));
  EXPECT_TRUE(tp.newFile(info, true));  // continuation keeps the session
  EXPECT_EQ(stats().unfinished, 1u);
  EXPECT_TRUE(tp.newFile(info, false));  // an unrelated file drops it, uncounted
  EXPECT_EQ(stats().unfinished, 0u);
  EXPECT_EQ(stats().failed, 0u);
  EXPECT_TRUE(send(canFrame(0x123, cat({0x21}, ramp(7, 6)))));  // now a stray frame
  EXPECT_TRUE(sink.msgs.empty());
  EXPECT_EQ(stats().failed, 1u);
  EXPECT_TRUE(tp.endFile(info));
  EXPECT_EQ(sink.files, (std::vector<bool>{true, false}));
  EXPECT_EQ(sink.ends, 1);
  sink.result = false;
  EXPECT_FALSE(tp.newFile(info, false));
  EXPECT_FALSE(tp.endFile(info));
}

TEST_F(TpLayerTest, SessionsMayOpenAndCloseWhileAMessageIsDelivered) {
  tp.addConfig(1, 1, 0x100, kTpTypeIsoTp);
  tp.addConfig(1, 2, 0x200, kTpTypeIsoTp);
  // Each delivery on channel 1 brings one frame of a channel-2 message.
  std::vector<cBusMsg> inner{canFrame(0x200, cat({0x10, 0x0A}, ramp(6, 30)), false, 2),
                             canFrame(0x200, cat({0x21}, ramp(7, 36)), false, 2),
                             canFrame(0x200, {0x01, 0x99}, false, 2)};
  size_t next = 0;
  sink.onMsg = [&](cBusMsg& msg) {
    if (msg.channel == 1 && next < inner.size()) {
      EXPECT_TRUE(tp.newMsg(inner[next++]));
    }
  };
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(send(canFrame(0x100, {0x01, uint8_t(i)}, false, 1)));
  ASSERT_EQ(sink.msgs.size(), 5u);
  EXPECT_EQ(sink.msgs[2].data, ramp(10, 30));
  EXPECT_EQ(sink.msgs[4].data, (std::vector<uint8_t>{0x99}));
  EXPECT_EQ(stats().successful, 5u);
  EXPECT_EQ(stats().unfinished, 0u);
}

TEST_F(TpLayerTest, FrameForTheSessionBeingDeliveredIsDropped) {
  tp.addConfig(1, 1, 0x100, kTpTypeIsoTp);
  bool inner = false;
  sink.onMsg = [&](cBusMsg&) {
    if (inner) return;
    inner = true;
    cBusMsg again = canFrame(0x100, {0x01, 0xEE});
    EXPECT_TRUE(tp.newMsg(again));
  };
  EXPECT_TRUE(send(canFrame(0x100, cat({0x10, 0x08}, ramp(6)))));
  EXPECT_TRUE(send(canFrame(0x100, cat({0x21}, ramp(7, 6)))));
  ASSERT_EQ(sink.msgs.size(), 1u);
  EXPECT_EQ(sink.msgs[0].data, ramp(8));
  EXPECT_EQ(stats().unfinished, 0u);
  EXPECT_EQ(stats().successful, 1u);
  // The key is free again afterwards.
  EXPECT_TRUE(send(canFrame(0x100, {0x01, 0x42})));
  ASSERT_EQ(sink.msgs.size(), 2u);
  EXPECT_EQ(sink.msgs[1].data, (std::vector<uint8_t>{0x42}));
}

TEST_F(TpLayerTest, OpenSessionsAreBounded) {
  tp.addConfig(2, 1, kTpCmKey, kTpTypeJ1939);
  const std::vector<uint8_t> cm{0x20, 20, 0, 3, 0xFF, 0xF1, 0xFE, 0};
  for (uint32_t i = 0; i <= cBusLayerTp::kMaxOpenSessions; ++i) {
    // Distinct destination and source: one session each.
    EXPECT_TRUE(send(canFrame(0x18EC0000u | i, cm, true, 1)));
  }
  EXPECT_EQ(stats().unfinished, cBusLayerTp::kMaxOpenSessions);
  EXPECT_EQ(log.count("Failed to initialize TP session"), 1u);
  // Finished sessions make room again.
  EXPECT_TRUE(tp.newFile(cLogFileInfo{}, false));
  EXPECT_TRUE(send(canFrame(0x1CECFF00, cm, true, 1)));
  EXPECT_EQ(stats().unfinished, 1u);
}

TEST(cBusLayerTp, WithoutNextLayerPassingOnFails) {
  LogCapture log;
  cBusLayerTp tp(nullptr);
  tp.addConfig(1, 1, 0x100, kTpTypeIsoTp);
  cBusMsg plain = canFrame(0x101, {1});
  cBusMsg single = canFrame(0x100, {0x01, 1});
  cBusMsg first = canFrame(0x100, cat({0x10, 0x08}, ramp(6)));
  EXPECT_FALSE(tp.newMsg(plain));
  EXPECT_TRUE(tp.newMsg(first));
  EXPECT_FALSE(tp.newMsg(single));  // fails the open session, then completes
  EXPECT_FALSE(tp.newFile(cLogFileInfo{}, false));
}

}  // namespace
