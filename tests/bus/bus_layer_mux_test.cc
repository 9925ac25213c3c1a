#include "bus/bus_layer_mux.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "bus/bus_layer_tp.h"
#include "bus/test_frames.h"
#include "db/message_key.h"

namespace {

using bustest::canFrame;
using bustest::cat;
using bustest::linFrame;
using bustest::LogCapture;
using bustest::ramp;
using bustest::RecordingLayer;

// One frame to tunnel; `flag` is RTR for classic frames and BRS for FD.
struct Tunnelled {
  uint8_t index = 0;
  bool ide = false, edl = false, dir = false, flag = false;
  uint8_t dlc = 0;
  uint32_t id = 0;
  std::vector<uint8_t> data{};
};

std::vector<uint8_t> pack(const Tunnelled& f) {
  std::vector<uint8_t> out;
  out.push_back(static_cast<uint8_t>((f.index << 5) | (f.ide << 4) | (f.edl << 3) | ((f.dlc >> 1) & 7)));
  uint8_t b1 = static_cast<uint8_t>(((f.dlc & 1) << 7) | (f.dir << 6) | (f.flag << 5));
  if (f.ide) {
    out.insert(out.end(), {static_cast<uint8_t>(b1 | ((f.id >> 24) & 0x1F)), static_cast<uint8_t>(f.id >> 16),
                           static_cast<uint8_t>(f.id >> 8), static_cast<uint8_t>(f.id)});
  } else {
    out.insert(out.end(), {static_cast<uint8_t>(b1 | ((f.id >> 8) & 7)), static_cast<uint8_t>(f.id)});
  }
  out.insert(out.end(), f.data.begin(), f.data.end());
  return out;
}

std::vector<uint8_t> packAll(const std::vector<Tunnelled>& frames) {
  std::vector<uint8_t> out;
  for (const Tunnelled& f : frames) {
    std::vector<uint8_t> p = pack(f);
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

constexpr uint32_t kCarrierId = 0x700;

struct MuxLayerTest : ::testing::Test {
  RecordingLayer next;
  RecordingLayer phy;
  cBusLayerMux mux{&next, &phy};

  void SetUp() override { ASSERT_TRUE(mux.addConfig(1, 1, cDB_can_id2key(kCarrierId, 0), {2, 3, 4, 5})); }
  bool carry(std::vector<uint8_t> payload, uint8_t channel = 1) {
    cBusMsg msg = canFrame(kCarrierId, std::move(payload), false, channel, 12.25);
    return mux.newMsg(msg);
  }
};

TEST_F(MuxLayerTest, UnpacksOneStandardFrame) {
  EXPECT_TRUE(carry({0x00, 0x81, 0x23, 0x11}));
  EXPECT_TRUE(next.msgs.empty());
  ASSERT_EQ(phy.msgs.size(), 1u);
  const cBusMsg& f = phy.msgs[0];
  EXPECT_EQ(f.id, 0x123u);
  EXPECT_EQ(f.channel, 2);
  EXPECT_EQ(f.type, cBusMsgType::BUS_MSG_CAN_DATA_FRAME);
  EXPECT_EQ(f.data, (std::vector<uint8_t>{0x11}));
  EXPECT_EQ(f.can.dlc, 1);
  EXPECT_FALSE(f.can.ide);
  EXPECT_EQ(f.timeStamp, 12.25);
}

TEST_F(MuxLayerTest, WalkTable) {
  struct Case {
    const char* name;
    std::vector<uint8_t> payload;
    std::vector<uint32_t> ids;  // delivered, in order
  };
  const std::vector<uint8_t> good{0x20, 0x82, 0x34, 0x22};  // index 1, 0x234
  const Case cases[] = {
      {"channel index 5 skipped, walk goes on", cat({0xA0, 0x81, 0x23, 0x11}, good), {0x234}},
      {"channel indices 4 to 7 skipped",
       cat({0x80, 0x01, 0x01, 0xA0, 0x01, 0x02, 0xC0, 0x01, 0x03, 0xE0, 0x01, 0x04}, good),
       {0x234}},
      {"remote frame takes only its header", cat({0x04, 0x21, 0x55}, good), {0x155, 0x234}},
      {"padding 0x07 ends the walk", cat({0x07, 0x81, 0x23, 0x11}, good), {}},
      {"padding 0x27 ends the walk", cat(good, {0x27, 0x00, 0x00}), {0x234}},
      {"padding 0xE7 ends the walk", cat(good, {0xE7}), {0x234}},
      {"standard header cut short", cat(good, {0x00, 0x81}), {0x234}},
      {"extended header cut short", cat(good, {0x10, 0x81, 0x23, 0x11}), {0x234}},
      {"data cut short", cat(good, {0x01, 0x81, 0x23, 1, 2}), {0x234}},
      {"FD DLC 13 with only 20 bytes", cat({0x0E, 0x81, 0x23}, ramp(20)), {}},
      {"zero-length frame", cat({0x00, 0x01, 0x23}, good), {0x123, 0x234}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    phy.msgs.clear();
    EXPECT_TRUE(carry(c.payload));
    std::vector<uint32_t> ids;
    for (const cBusMsg& m : phy.msgs) ids.push_back(m.id);
    EXPECT_EQ(ids, c.ids);
  }
  EXPECT_TRUE(next.msgs.empty());
}

TEST_F(MuxLayerTest, RandomFramesSurviveTheRoundTrip) {
  const unsigned seed = 20261206;
  std::printf("seed %u\n", seed);
  std::mt19937 rng(seed);
  std::vector<Tunnelled> frames;
  while (frames.size() < 300) {
    Tunnelled f;
    f.index = rng() % 4;
    f.ide = rng() % 2;
    f.edl = rng() % 2;
    f.dir = rng() % 2;
    f.flag = rng() % 2;
    f.dlc = rng() % 16;
    f.id = f.ide ? rng() & 0x1FFFFFFF : rng() & 0x7FF;
    if (!f.ide && !f.edl && (f.dlc >> 1) == 7) continue;  // would read as padding
    if (f.edl || !f.flag) f.data = ramp(cCanMsg_dlcToNob(f.dlc), uint8_t(rng()));
    frames.push_back(f);
  }
  EXPECT_TRUE(carry(packAll(frames)));
  ASSERT_EQ(phy.msgs.size(), frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    const Tunnelled& f = frames[i];
    const cBusMsg& m = phy.msgs[i];
    EXPECT_EQ(m.id, f.id);
    EXPECT_EQ(m.channel, f.index + 2);
    EXPECT_EQ(m.can.ide, f.ide);
    EXPECT_EQ(m.can.edl, f.edl);
    EXPECT_EQ(m.can.dir, f.dir);
    EXPECT_EQ(m.can.brs, f.edl && f.flag);
    EXPECT_EQ(m.can.rtr, !f.edl && f.flag);
    EXPECT_FALSE(m.can.esi);
    EXPECT_EQ(m.can.dlc, f.dlc);
    EXPECT_EQ(m.data, f.data);
  }
}

TEST_F(MuxLayerTest, FrameMappedOntoItsOwnChannelIsSkipped) {
  cBusLayerMux own(&next, &phy);
  own.addConfig(1, 1, cDB_can_id2key(kCarrierId, 0), {1, 1, 6, 1});
  cBusMsg msg = canFrame(kCarrierId, packAll({{.index = 0, .id = 1}, {.index = 2, .id = 2}, {.index = 3, .id = 3}}));
  EXPECT_TRUE(own.newMsg(msg));
  ASSERT_EQ(phy.msgs.size(), 1u);
  EXPECT_EQ(phy.msgs[0].id, 2u);
  EXPECT_EQ(phy.msgs[0].channel, 6);
}

TEST_F(MuxLayerTest, OtherMessagesPassToNextLayer) {
  cBusMsg lin = linFrame(kCarrierId, {0x00, 0x81, 0x23, 0x11}, 1);
  cBusMsg other = canFrame(kCarrierId + 1, {0x00, 0x81, 0x23, 0x11});
  cBusMsg elsewhere = canFrame(kCarrierId, {0x00, 0x81, 0x23, 0x11}, false, 2);
  cBusMsg extended = canFrame(kCarrierId, {0x00, 0x81, 0x23, 0x11}, true, 1);
  next.result = false;
  for (cBusMsg* m : {&lin, &other, &elsewhere, &extended}) EXPECT_FALSE(mux.newMsg(*m));
  ASSERT_EQ(next.msgs.size(), 4u);
  EXPECT_EQ(next.msgs[0].data, (std::vector<uint8_t>{0x00, 0x81, 0x23, 0x11}));
  EXPECT_TRUE(phy.msgs.empty());
}

TEST_F(MuxLayerTest, EmptyCarrierIsConsumed) {
  EXPECT_TRUE(carry({}));
  EXPECT_TRUE(next.msgs.empty());
  EXPECT_TRUE(phy.msgs.empty());
}

TEST_F(MuxLayerTest, AFailedDeliveryFailsTheCarrierButTheRestStillGo) {
  int calls = 0;
  phy.onMsg = [&](cBusMsg&) { phy.result = ++calls != 1; };
  EXPECT_FALSE(carry(packAll({{.id = 1}, {.id = 2}, {.id = 3}})));
  EXPECT_EQ(phy.msgs.size(), 3u);
}

TEST(cBusLayerMux, RegistrationAndMissingLayers) {
  RecordingLayer next;
  cBusLayerMux mux(&next, nullptr);
  EXPECT_FALSE(mux.addConfig(2, 1, 0x700, {2, 3, 4, 5}));
  EXPECT_FALSE(mux.addConfig(3, 1, 0x700, {2, 3, 4, 5}));
  EXPECT_TRUE(mux.addConfig(1, 1, 0x700, {2, 3, 4, 5}));
  EXPECT_TRUE(mux.addConfig(1, 1, 0x700, {1, 1, 1, 1}));  // already present
  cBusMsg msg = canFrame(0x700, {0x00, 0x81, 0x23, 0x11});
  EXPECT_TRUE(mux.newMsg(msg));  // no phy layer: unpacked frames go nowhere
  EXPECT_TRUE(next.msgs.empty());
  EXPECT_FALSE(mux.setPhyLayer(nullptr));
  RecordingLayer phy;
  EXPECT_TRUE(mux.setPhyLayer(&phy));
  EXPECT_TRUE(mux.newMsg(msg));
  ASSERT_EQ(phy.msgs.size(), 1u);
  EXPECT_EQ(phy.msgs[0].channel, 2);  // the first registration stands
  cLogFileInfo info;
  EXPECT_TRUE(mux.newFile(info, true));
  EXPECT_TRUE(mux.endFile(info));
  EXPECT_EQ(next.files, (std::vector<bool>{true}));
  EXPECT_EQ(next.ends, 1);
}

// The whole chain: TP -> MUX -> decoder stand-in, the MUX layer feeding back
// into TP.
struct ChainTest : ::testing::Test {
  RecordingLayer decoder;
  cBusLayerMux mux{&decoder, nullptr};
  cBusLayerTp tp{&mux};
  LogCapture log;

  void SetUp() override { ASSERT_TRUE(mux.setPhyLayer(&tp)); }
  void addCarrier(uint8_t channel, uint32_t id, std::array<uint8_t, 4> map) {
    ASSERT_TRUE(tp.addConfig(1, channel, cDB_can_id2key(id, 0), kTpTypeMux));
    ASSERT_TRUE(mux.addConfig(1, channel, cDB_can_id2key(id, 0), map));
  }
  // Sends `payload` as an ISO-TP message of `id` on `channel`.
  void sendIsoTp(uint8_t channel, uint32_t id, const std::vector<uint8_t>& payload) {
    size_t n = payload.size();
    if (n <= 7) {
      cBusMsg sf = canFrame(id, cat({uint8_t(n)}, payload), false, channel);
      EXPECT_TRUE(tp.newMsg(sf));
      return;
    }
    cBusMsg ff = canFrame(id, cat({uint8_t(0x10 | (n >> 8)), uint8_t(n)}, {payload.begin(), payload.begin() + 6}),
                          false, channel);
    EXPECT_TRUE(tp.newMsg(ff));
    uint8_t counter = 1;
    for (size_t pos = 6; pos < n; pos += 7, ++counter) {
      std::vector<uint8_t> d{uint8_t(0x20 | (counter & 0x0F))};
      for (size_t i = 0; i < 7; ++i) d.push_back(pos + i < n ? payload[pos + i] : 0xCC);
      cBusMsg cf = canFrame(id, d, false, channel);
      EXPECT_TRUE(tp.newMsg(cf));
    }
  }
};

TEST_F(ChainTest, TunnelledFramesAreReassembledAndDecoded) {
  addCarrier(1, 0x700, {2, 3, 1, 5});
  tp.addConfig(1, 2, cDB_can_id2key(0x7E8, 0), kTpTypeIsoTp);
  std::vector<uint8_t> payload = packAll({
      {.index = 0, .dlc = 8, .id = 0x7E8, .data = {0x03, 0xA, 0xB, 0xC, 0, 0, 0, 0}},
      {.index = 1, .ide = true, .dlc = 2, .id = 0x18FEF100, .data = {0x55, 0x66}},
      {.index = 2, .dlc = 1, .id = 0x111, .data = {0x77}},  // back onto channel 1
  });
  sendIsoTp(1, 0x700, payload);
  ASSERT_EQ(decoder.msgs.size(), 2u);
  EXPECT_EQ(decoder.msgs[0].id, 0x7E8u);
  EXPECT_EQ(decoder.msgs[0].channel, 2);
  EXPECT_EQ(decoder.msgs[0].data, (std::vector<uint8_t>{0xA, 0xB, 0xC}));
  EXPECT_EQ(decoder.msgs[1].id, 0x18FEF100u);
  EXPECT_EQ(decoder.msgs[1].channel, 3);
  EXPECT_EQ(tp.getStatistics().successful, 2u);
  EXPECT_EQ(tp.getStatistics().unfinished, 0u);
}

TEST_F(ChainTest, SessionSpansSeveralCarriers) {
  addCarrier(1, 0x700, {2, 3, 4, 5});
  tp.addConfig(1, 2, cDB_can_id2key(0x7E8, 0), kTpTypeIsoTp);
  sendIsoTp(1, 0x700, packAll({{.dlc = 8, .id = 0x7E8, .data = cat({0x10, 0x0A}, ramp(6))}}));
  EXPECT_EQ(tp.getStatistics().unfinished, 1u);
  sendIsoTp(1, 0x700, packAll({{.dlc = 8, .id = 0x7E8, .data = cat({0x21}, ramp(7, 6))}}));
  ASSERT_EQ(decoder.msgs.size(), 1u);
  EXPECT_EQ(decoder.msgs[0].data, ramp(10));
  EXPECT_EQ(tp.getStatistics().successful, 3u);
}

TEST_F(ChainTest, LoopBackToTheDeliveringCarrierIsDropped) {
  // Channel 1's carrier tunnels channel 2's carrier, which tunnels a frame
  // with the key of channel 1's carrier back onto channel 1.
  addCarrier(1, 0x700, {2, 2, 2, 2});
  addCarrier(2, 0x701, {1, 1, 1, 1});
  std::vector<uint8_t> innermost = pack({.dlc = 2, .id = 0x700, .data = {0x01, 0xEE}});
  std::vector<uint8_t> middle = cat({uint8_t(innermost.size())}, innermost);
  std::vector<uint8_t> outer = pack({.dlc = uint8_t(middle.size()), .id = 0x701, .data = middle});
  sendIsoTp(1, 0x700, outer);
  EXPECT_TRUE(decoder.msgs.empty());
  EXPECT_EQ(tp.getStatistics().successful, 2u);
  EXPECT_EQ(tp.getStatistics().unfinished, 0u);
  EXPECT_EQ(log.count("TP error"), 1u);
}

TEST_F(ChainTest, NestedCarriersOnDifferentKeysUnpackAgain) {
  addCarrier(1, 0x700, {2, 2, 2, 2});
  addCarrier(2, 0x701, {1, 3, 3, 3});
  // Channel 2's carrier holds a frame for channel 3 (index 1).
  std::vector<uint8_t> leaf = pack({.index = 1, .dlc = 1, .id = 0x333, .data = {0x42}});
  std::vector<uint8_t> middle = cat({uint8_t(leaf.size())}, leaf);
  sendIsoTp(1, 0x700, pack({.dlc = uint8_t(middle.size()), .id = 0x701, .data = middle}));
  ASSERT_EQ(decoder.msgs.size(), 1u);
  EXPECT_EQ(decoder.msgs[0].id, 0x333u);
  EXPECT_EQ(decoder.msgs[0].channel, 3);
  EXPECT_EQ(decoder.msgs[0].data, (std::vector<uint8_t>{0x42}));
}

TEST_F(ChainTest, RandomTrafficNeverBreaksTheChain) {
  addCarrier(1, 0x700, {2, 3, 1, 4});
  addCarrier(2, 0x701, {1, 3, 3, 3});
  tp.addConfig(1, 2, cDB_can_id2key(0x7E8, 0), kTpTypeIsoTp);
  tp.addConfig(1, 3, cDB_can_id2key(0x7E8, 0), kTpTypeNmeaFastPacket);
  tp.addConfig(2, 4, cDB_can_pgn_id2key(0xEC0000, 1), kTpTypeJ1939);
  const unsigned seed = 777;
  std::printf("seed %u\n", seed);
  std::mt19937 rng(seed);
  const uint32_t ids[] = {0x700, 0x701, 0x7E8, 0x1CECFF20, 0x1CEBFF20, 0x1CEC2010, 0x123};
  cBusMsg msg;
  for (int i = 0; i < 20000; ++i) {
    msg = canFrame(ids[rng() % 7], {}, false, uint8_t(1 + rng() % 4));
    msg.can.ide = msg.id > 0x7FF;
    msg.data.resize(rng() % 2 ? 8 : rng() % 65);
    for (uint8_t& b : msg.data) b = uint8_t(rng());
    // Make protocol starts and plausible counters common.
    if (rng() % 3 == 0 && !msg.data.empty()) msg.data[0] = uint8_t(rng() % 0x40);
    tp.newMsg(msg);
  }
  for (const cBusMsg& m : decoder.msgs) EXPECT_LE(m.data.size(), size_t{kIsoTpMaxPayload});
  const cBusLayerTpStatistics& s = tp.getStatistics();
  std::printf("delivered %zu, sessions ok %lu failed %lu open %lu\n", decoder.msgs.size(),
              (unsigned long)s.successful, (unsigned long)s.failed, (unsigned long)s.unfinished);
  EXPECT_GT(s.successful, 0u);
  EXPECT_GT(s.failed, 0u);
}

}  // namespace
