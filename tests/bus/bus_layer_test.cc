// The transport-protocol layer (which frames feed which session, statistics,
// re-entry, the session limit) and the multiplexed-transport layer (unpacking
// of tunnelled frames), chained as the program wires them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <tuple>

#include "bus/bus_layer_mux.h"
#include "bus/bus_layer_tp.h"
#include "bus/test_frames.h"
#include "db/message_key.h"
#include "support/log_capture.h"
#include "support/recording_layer.h"

// Steady traffic must not allocate: operator new counts while asked to.
static volatile bool gCounting = false;
static volatile size_t gAllocations = 0;
void* operator new(std::size_t n) {
  if (gCounting) gAllocations = gAllocations + 1;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace bustest;
using Frames = std::vector<cBusMsg>;
using Got = std::vector<std::tuple<uint32_t, int, Bytes>>;  // identifier, channel, payload
using Stats = std::vector<uint64_t>;                        // successful, failed, unfinished

constexpr uint32_t kTpCm = cDB_can_pgn_id2key(0xEC0000, 1);

Got got(const Frames& msgs) {
  Got out;
  for (const cBusMsg& m : msgs) out.emplace_back(m.id, m.channel, m.data);
  return out;
}

// TP -> MUX -> sink, the MUX layer feeding unpacked frames back into TP.
struct Chain {
  RecordingLayer sink;
  cBusLayerMux mux{&sink, nullptr};
  cBusLayerTp tp{&mux};
  LogCapture log;

  Chain() { EXPECT_EQ(std::pair(mux.setPhyLayer(nullptr), mux.setPhyLayer(&tp)), std::pair(false, true)); }
  bool send(Frames frames) {  // true when every frame was taken with true
    bool ok = true;
    for (cBusMsg& f : frames) ok = tp.newMsg(f) && ok;
    return ok;
  }
  Stats stats() { return {tp.getStatistics().successful, tp.getStatistics().failed, tp.getStatistics().unfinished}; }
};

// A tunnelled frame as a carrier packs it; `flag` is RTR for classic frames
// and BRS for FD.
struct Tunnelled {
  uint8_t index = 0;
  bool ide = false, edl = false, dir = false, flag = false;
  uint8_t dlc = 0;
  uint32_t id = 0;
  Bytes data{};
};

Bytes pack(const std::vector<Tunnelled>& frames) {
  Bytes out;
  for (const Tunnelled& f : frames) {
    const uint8_t b1 = uint8_t(((f.dlc & 1) << 7) | (f.dir << 6) | (f.flag << 5));
    out.push_back(uint8_t((f.index << 5) | (f.ide << 4) | (f.edl << 3) | ((f.dlc >> 1) & 7)));
    if (f.ide) out.insert(out.end(), {uint8_t(b1 | ((f.id >> 24) & 0x1F)), uint8_t(f.id >> 16), uint8_t(f.id >> 8)});
    if (!f.ide) out.push_back(uint8_t(b1 | ((f.id >> 8) & 7)));
    out.push_back(uint8_t(f.id));
    out.insert(out.end(), f.data.begin(), f.data.end());
  }
  return out;
}

TEST(LayerChain, FramesFeedTheSessionOfTheirKey) {
  Chain c;
  // Channel 1 carries CAN, LIN and (database kind 2) J1939 messages; 0x125
  // is registered twice, 0x126 with an unknown transport type.
  const cDBBusKind can = cDBBusKind::Can;
  struct Config { cDBBusKind kind; uint32_t key; cDBTransport type; };
  for (auto [kind, key, type] : std::initializer_list<Config>{
           {can, 0x7E8, cDBTransport::IsoTp}, {can, 0x123, cDBTransport::NmeaFastPacket}, {can, 0x125, cDBTransport::IsoTp},
           {can, 0x125, cDBTransport::NmeaFastPacket}, {can, 0x126, static_cast<cDBTransport>(2)},
           {cDBBusKind::Lin, 0x3C, cDBTransport::IsoTp},
           {cDBBusKind::J1939, cDB_can_pgn_id2key(0x09F80100, 1), cDBTransport::NmeaFastPacket}, {can, 0x700, cDBTransport::MuxTp}}) {
    EXPECT_TRUE(c.tp.addConfig(kind, 1, key, type));
  }
  EXPECT_TRUE(c.mux.addConfig(cDBBusKind::Can, 1, 0x700, {2, 3, 4, 5}));
  EXPECT_FALSE(c.mux.addConfig(cDBBusKind::J1939, 1, 0x701, {2, 3, 4, 5}));  // carriers are CAN messages
  const Bytes ff32 = cat({0x10, 0x20}, ramp(6)), sf = {0x02, 1, 2};
  auto as = [](cBusMsgType type, cBusMsg m, bool ide) { return m.type = type, m.can.ide = ide, m; };
  const Frames unregistered = {canFrame(0x7E9, ff32), canFrame(0x7E8, sf, 3),
                               as(cBusMsgType::BUS_MSG_CAN_DATA_FRAME, canFrame(0x7E8, sf), true),
                               as(cBusMsgType::BUS_MSG_LIN_FRAME, canFrame(0x7E8, sf), false),
                               as(cBusMsgType::BUS_MSG_CAN_REMOTE_FRAME, canFrame(0x700, {}), false),
                               canFrame(0x1CEBFF00, ramp(8), 3), canFrame(0x700, {0x00, 0x81, 0x23, 0x11}, 3)};
  auto fp = [](uint8_t src, Bytes d) { return canFrame(0x09F80100u | src, std::move(d)); };
  const struct {
    const char* name;
    Frames frames;
    Got delivered;
    Stats stats;
    const char* log = nullptr;
    bool refuse = false;  // the next layer answers false
  } cases[] = {
      {"no registered message", unregistered, got(unregistered), {0, 0, 0}},
      {"ISO-TP session fails, then a fresh one", frames(0x7E8, {ff32, cat({0x22}, ramp(7)), {0x01, 0x77}}),
       {{0x7E8, 1, {0x77}}}, {1, 1, 0}, "I TP error (time: 1.500000, id: 0x7E8)"},
      {"ISO-TP first frame ends an unfinished message",
       frames(0x7E8, {ff32, cat({0x10, 0x0A}, ramp(6, 50)), cat({0x21}, ramp(7, 56))}), {{0x7E8, 1, ramp(10, 50)}},
       {1, 1, 0}},
      {"ISO-TP single frame ends an unfinished message", frames(0x7E8, {ff32, sf}), {{0x7E8, 1, {1, 2}}}, {1, 1, 0}},
      {"ISO-TP empty frame only ends it", frames(0x7E8, {ff32, {}}), {}, {0, 1, 0}},
      {"a failed delivery fails the carrier", {canFrame(0x700, {0x04, 0x00, 0x81, 0x23, 0x11})}, {{0x123, 2, {0x11}}},
       {1, 0, 0}, nullptr, true},
      {"fast-packet frame 0 ends an unfinished message",
       frames(0x123, {cat({0x20, 40}, ramp(6)), cat({0x40, 9}, ramp(6, 70)), cat({0x41}, ramp(7, 76))}),
       {{0x123, 1, ramp(9, 70)}}, {1, 1, 0}},
      {"fast-packet later frame only ends it", frames(0x123, {cat({0x20, 40}, ramp(6)), {0x22}}), {}, {0, 1, 0}},
      {"the first registration stands", frames(0x125, {sf}), {{0x125, 1, {1, 2}}}, {1, 0, 0}},
      {"unsupported transport type", frames(0x126, {sf}), {}, {0, 0, 0}, "E Unsupported transport protocol"},
      {"LIN message: LIN frames only", {as(cBusMsgType::BUS_MSG_LIN_FRAME, canFrame(0x3C, sf), false), canFrame(0x3C, sf)},
       {{0x3C, 1, {1, 2}}, {0x3C, 1, sf}}, {1, 0, 0}},
      {"fast packet of a J1939 group: a session per source",
       {fp(3, cat({0x00, 10}, ramp(6, 10))), fp(4, cat({0x20, 10}, ramp(6, 40))), fp(4, cat({0x21}, ramp(7, 46))),
        fp(3, cat({0x01}, ramp(7, 16)))},
       {{0x09F80104, 1, ramp(10, 40)}, {0x09F80103, 1, ramp(10, 10)}}, {2, 0, 0}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    c.sink.msgs.clear();
    c.sink.result = !k.refuse;
    LogCapture log;
    const Stats before = c.stats();
    EXPECT_EQ(c.send(k.frames), !k.refuse);
    EXPECT_EQ(got(c.sink.msgs), k.delivered);
    const Stats after = c.stats();
    EXPECT_EQ((Stats{after[0] - before[0], after[1] - before[1], after[2]}), k.stats);
    if (k.log != nullptr) {
      EXPECT_EQ(log.messages(), std::vector<std::string>{k.log});
    }
    EXPECT_EQ(c.tp.newFile({}, false), !k.refuse);  // drops what is left open, uncounted
    EXPECT_EQ(c.tp.endFile({}), !k.refuse);
  }
}

TEST(LayerChain, SessionsOpenAndCloseWhileAMessageIsDelivered) {
  Chain c;
  c.tp.addConfig(cDBBusKind::Can, 1, 0x100, cDBTransport::IsoTp);
  c.tp.addConfig(cDBBusKind::Can, 2, 0x200, cDBTransport::IsoTp);
  // Each delivery on channel 1 brings one frame of a channel-2 message and
  // one for the key being delivered, which is dropped.
  const Frames inner = frames(0x200, {cat({0x10, 0x0A}, ramp(6, 30)), cat({0x21}, ramp(7, 36)), {0x01, 0x99}}, 2);
  size_t next = 0;
  c.sink.onMsg = [&](cBusMsg& msg) {
    if (msg.channel == 1 && next < inner.size()) {
      EXPECT_TRUE(c.send({inner[next++], canFrame(0x100, {0x01, 0xEE})}));
    }
  };
  EXPECT_TRUE(c.send(frames(0x100, {{0x01, 0}, {0x01, 1}, {0x01, 2}, {0x01, 3}})));
  EXPECT_EQ(got(c.sink.msgs), (Got{{0x100, 1, {0}}, {0x100, 1, {1}}, {0x200, 2, ramp(10, 30)}, {0x100, 1, {2}},
                                   {0x200, 2, {0x99}}, {0x100, 1, {3}}}));
  EXPECT_EQ(c.stats(), (Stats{6, 0, 0}));
  EXPECT_EQ(c.log.count("TP error (time: 1.500000, id: 0x100)"), 3);
}

TEST(LayerChain, OpenSessionsAreBoundedAndKeptOnlyAcrossContinuedFiles) {
  Chain c;
  c.tp.addConfig(cDBBusKind::J1939, 1, kTpCm, cDBTransport::J1939);
  const Bytes cm = j1939Announce(0x20, 20, 0xFEF1);
  for (uint32_t i = 0; i <= cBusLayerTp::kMaxOpenSessions; ++i) {
    EXPECT_TRUE(c.send({canFrame(0x18EC0000u | i, cm)}));  // one sender-receiver pair each
  }
  EXPECT_EQ(c.log.count("W Too many open transport sessions (4096): an unfinished one is dropped"), 1);
  EXPECT_TRUE(c.tp.newFile({}, true));
  EXPECT_EQ(c.stats(), (Stats{0, 1, cBusLayerTp::kMaxOpenSessions}));
  EXPECT_TRUE(c.tp.newFile({}, false));  // dropped sessions make room again, uncounted
  EXPECT_TRUE(c.send({canFrame(0x1CECFF00, cm)}));
  EXPECT_EQ(c.stats(), (Stats{0, 1, 1}));
  EXPECT_EQ(c.sink.files.size(), 2u);
}

TEST(LayerChain, CarriersAreUnpackedOntoMappedChannels) {
  Chain c;
  c.tp.addConfig(cDBBusKind::Can, 1, 0x700, cDBTransport::MuxTp);
  c.mux.addConfig(cDBBusKind::Can, 1, 0x700, {2, 3, 4, 5});
  const Bytes good = {0x20, 0x82, 0x34, 0x22};  // index 1, 0x234, one byte
  const std::pair<Bytes, std::vector<uint32_t>> cases[] = {  // carried bytes, identifiers delivered
      {cat({0x80, 0x81, 0x23, 0x11, 0xE0, 0x01, 0x24}, good), {0x234}},  // channel indices 4 and 7 skipped
      {cat(good, {0x00, 0x01, 0x23}), {0x234, 0x123}},                   // header only, at the end
      {cat(good, {0x00, 0x81}), {0x234}},                                // cut short: header,
      {cat(good, {0x01, 0x81, 0x23, 1, 2}), {0x234}}};                   // data
  for (const auto& [carried, ids] : cases) {
    SCOPED_TRACE(::testing::PrintToString(carried));
    c.sink.msgs.clear();
    EXPECT_TRUE(c.send({canFrame(0x700, cat({0x00, uint8_t(carried.size())}, carried))}));  // FD single frame
    std::vector<uint32_t> delivered;
    for (const cBusMsg& m : c.sink.msgs) delivered.push_back(m.id);
    EXPECT_EQ(delivered, ids);
  }
  // Random frames of every kind survive the round trip bit for bit.
  std::mt19937 rng(20261206);
  std::vector<Tunnelled> sent;
  while (sent.size() < 100) {
    Tunnelled f{.index = uint8_t(rng() % 4), .ide = rng() % 2 == 1, .edl = rng() % 2 == 1, .dir = rng() % 2 == 1,
                .flag = rng() % 2 == 1, .dlc = uint8_t(rng() % 16)};
    f.id = f.ide ? rng() & 0x1FFFFFFF : rng() & 0x7FF;
    if (f.edl || !f.flag) f.data = ramp(cCanMsg_dlcToNob(f.dlc), uint8_t(rng()));
    if (f.ide || f.edl || (f.dlc >> 1) != 7) sent.push_back(f);  // not read as padding
  }
  c.sink.msgs.clear();
  EXPECT_TRUE(c.send(frames(0x700, isoTpFrames(pack(sent)))));
  std::vector<Tunnelled> received;
  for (const cBusMsg& m : c.sink.msgs) {
    const bool remote = m.type == cBusMsgType::BUS_MSG_CAN_REMOTE_FRAME;
    EXPECT_EQ(std::tuple(m.can.rtr, m.can.esi, m.can.brs && !m.can.edl, m.timeStamp), std::tuple(remote, false, false, 1.5));
    received.push_back({uint8_t(m.channel - 2), m.can.ide, m.can.edl, m.can.dir, m.can.edl ? m.can.brs : remote,
                        m.can.dlc, m.id, m.data});
  }
  EXPECT_EQ(pack(received), pack(sent));
}

TEST(LayerChain, SteadyTrafficAllocatesNothing) {
  struct : cBusLayer {
    bool newMsg(cBusMsg&) override { return ++count != 0; }
    size_t count = 0;
  } decoder;
  cBusLayerMux mux(&decoder, nullptr);
  cBusLayerTp tp(&mux);
  ASSERT_TRUE(mux.setPhyLayer(&tp));
  for (uint8_t channel : {1, 3}) tp.addConfig(cDBBusKind::Can, channel, 0x7E8, cDBTransport::IsoTp);
  tp.addConfig(cDBBusKind::Can, 1, cDB_can_id2key(0x09F80103, 1), cDBTransport::NmeaFastPacket);
  tp.addConfig(cDBBusKind::J1939, 2, kTpCm, cDBTransport::J1939);
  tp.addConfig(cDBBusKind::Can, 1, 0x700, cDBTransport::MuxTp);
  mux.addConfig(cDBBusKind::Can, 1, 0x700, {3, 3, 3, 3});
  // Plain, ISO-TP single frame, carrier of a single frame for channel 3,
  // segmented ISO-TP and fast packet; on channel 2 J1939 and a clear to send.
  Frames traffic = {canFrame(0x123, ramp(8)), canFrame(0x7E8, {0x03, 1, 2, 3, 0, 0, 0, 0}),
                    canFrame(0x700, {0x05, 0x01, 0x07, 0xE8, 0x01, 0x55, 0xCC, 0xCC})};
  for (const Frames& f : {frames(0x7E8, isoTpFrames(ramp(10))), frames(0x09F80103, fastPacketFrames(ramp(9), 2)),
                          j1939Transfer(0xFEF1, ramp(9), 0x20), frames(0x1CEC2010, {j1939Announce(0x11, 9, 0xEF00)})}) {
    traffic.insert(traffic.end(), f.begin(), f.end());
  }
  for (cBusMsg& f : traffic) f.channel = f.id >> 20 == 0x1CE ? 2 : 1;
  cBusMsg work;
  for (int i = 0; i < 250; ++i) {
    gCounting = i >= 50;  // after the first rounds the records and sessions are reused
    for (const cBusMsg& f : traffic) EXPECT_TRUE(tp.newMsg(work = f));
  }
  gCounting = false;
  EXPECT_EQ(gAllocations, 0u);
  EXPECT_EQ(decoder.count, 250u * 6);
  EXPECT_EQ(tp.getStatistics().failed, 0u);
}

}  // namespace
