#include <gtest/gtest.h>

#include "bus/bus_tp.h"
#include "bus/test_frames.h"

namespace {

using bustest::canFrame;
using bustest::cat;
using bustest::ramp;
using R = cBusTpResult;

// TP.CM announcement from `src` to `dst` of `size` bytes of `pgn`.
cBusMsg announce(uint8_t control, uint32_t size, uint32_t pgn, uint8_t src, uint8_t dst = 0xFF) {
  uint8_t packets = static_cast<uint8_t>((size + 6) / 7);
  return canFrame(0x1CEC0000u | (uint32_t{dst} << 8) | src,
                  {control, static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), packets, 0xFF,
                   static_cast<uint8_t>(pgn), static_cast<uint8_t>(pgn >> 8), static_cast<uint8_t>(pgn >> 16)},
                  true);
}

// TP.DT packet `seq` of `payload` (seven bytes per packet, 0xFF padding).
cBusMsg packet(uint8_t seq, const std::vector<uint8_t>& payload, uint8_t src, uint8_t dst = 0xFF,
               uint32_t priority = 7) {
  std::vector<uint8_t> d{seq};
  for (size_t i = 0; i < 7; ++i) {
    size_t at = (seq - 1u) * 7 + i;
    d.push_back(at < payload.size() ? payload[at] : 0xFF);
  }
  return canFrame((priority << 26) | 0x00EB0000u | (uint32_t{dst} << 8) | src, d, true);
}

TEST(cJ1939Tp, CompletedIdentifierTable) {
  struct Case {
    const char* name;
    uint32_t pgn;
    uint8_t src, dst;
    uint32_t priority;  // of the data frames, which the message takes
    uint32_t id;
  };
  const Case cases[] = {
      {"PDU2 broadcast", 0xFEF1, 0x00, 0xFF, 6, 0x18FEF100},
      {"PDU2 from another source", 0xFECA, 0x21, 0xFF, 7, 0x1CFECA21},
      {"PDU2 with data page", 0x1FEF1, 0x33, 0xFF, 7, 0x1DFEF133},
      {"PDU1 keeps destination", 0xEF00, 0x20, 0x0A, 3, 0x0CEF0A20},
      {"PDU1 with data page", 0x1DA00, 0x05, 0x17, 7, 0x1DDA1705},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto tp = cJ1939Tp_ctor();
    std::vector<uint8_t> payload = ramp(20, 0x40);
    cBusMsg cm = announce(c.dst == 0xFF ? 0x20 : 0x10, 20, c.pgn, c.src, c.dst);
    ASSERT_EQ(tp->parse(cm), R::InProgress);
    for (uint8_t seq = 1; seq <= 3; ++seq) {
      cBusMsg dt = packet(seq, payload, c.src, c.dst, c.priority);
      R r = tp->parse(dt);
      if (seq < 3) {
        ASSERT_EQ(r, R::InProgress);
        continue;
      }
      ASSERT_EQ(r, R::Complete);
      EXPECT_EQ(dt.id, c.id);
      EXPECT_EQ(dt.data, payload);
    }
  }
}

TEST(cJ1939Tp, AnnouncedSizes) {
  struct Case {
    uint32_t size;
    bool accepted;
  };
  const Case cases[] = {{0, false}, {1, true}, {9, true}, {1785, true}, {1786, false}, {65535, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    auto tp = cJ1939Tp_ctor();
    cBusMsg cm = announce(0x20, c.size, 0xFEF1, 0x01);
    ASSERT_EQ(tp->parse(cm), c.accepted ? R::InProgress : R::Error);
    if (!c.accepted) continue;
    std::vector<uint8_t> payload = ramp(c.size, 5);
    size_t packets = (c.size + 6) / 7;
    for (size_t seq = 1; seq <= packets; ++seq) {
      cBusMsg dt = packet(static_cast<uint8_t>(seq), payload, 0x01);
      ASSERT_EQ(tp->parse(dt), seq == packets ? R::Complete : R::InProgress) << seq;
      if (seq == packets) {
        EXPECT_EQ(dt.data, payload);
      }
    }
  }
}

TEST(cJ1939Tp, SequenceFaults) {
  struct Case {
    const char* name;
    std::vector<uint8_t> sequence;
    size_t failsAt;
  };
  const Case cases[] = {
      {"gap", {1, 3}, 1},
      {"repeat", {1, 1}, 1},
      {"starts at two", {2}, 0},
      {"starts at zero", {0}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto tp = cJ1939Tp_ctor();
    std::vector<uint8_t> payload = ramp(30);
    cBusMsg cm = announce(0x20, 30, 0xFEF1, 0x00);
    ASSERT_EQ(tp->parse(cm), R::InProgress);
    for (size_t i = 0; i <= c.failsAt; ++i) {
      cBusMsg dt = packet(c.sequence[i], payload, 0x00);
      EXPECT_EQ(tp->parse(dt), i == c.failsAt ? R::Error : R::InProgress);
    }
  }
}

TEST(cJ1939Tp, FramesOutOfPlace) {
  struct Case {
    const char* name;
    bool announced;
    cBusMsg frame;
    R result;
  };
  std::vector<uint8_t> payload = ramp(20);
  cBusMsg shortDt = packet(1, payload, 0x00);
  shortDt.data.resize(5);
  cBusMsg shortCm = announce(0x20, 20, 0xFEF1, 0x00);
  shortCm.data.resize(7);
  const Case cases[] = {
      {"data while idle", false, packet(1, payload, 0x00), R::Error},
      {"clear to send while idle", false, announce(0x11, 20, 0xFEF1, 0x00), R::Error},
      {"short announcement", false, shortCm, R::Error},
      {"other group", false, canFrame(0x18FEF100, ramp(8), true), R::Error},
      {"empty announcement", false, canFrame(0x1CECFF00, {}, true), R::Error},
      {"short data frame", true, shortDt, R::Error},
      {"repeated announcement", true, announce(0x20, 20, 0xFEF1, 0x00), R::InProgress},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto tp = cJ1939Tp_ctor();
    if (c.announced) {
      cBusMsg cm = announce(0x20, 20, 0xFEF1, 0x00);
      ASSERT_EQ(tp->parse(cm), R::InProgress);
    }
    cBusMsg msg = c.frame;
    EXPECT_EQ(tp->parse(msg), c.result);
  }
}

TEST(cJ1939Tp, RepeatedAnnouncementDoesNotRestartTransfer) {
  auto tp = cJ1939Tp_ctor();
  std::vector<uint8_t> payload = ramp(14, 0x80);
  std::vector<cBusMsg> frames{announce(0x20, 14, 0xFEF1, 0), packet(1, payload, 0),
                              announce(0x20, 30, 0xFECA, 0), packet(2, payload, 0)};
  std::vector<R> results;
  for (cBusMsg& f : frames) results.push_back(tp->parse(f));
  EXPECT_EQ(results, (std::vector<R>{R::InProgress, R::InProgress, R::InProgress, R::Complete}));
  EXPECT_EQ(frames[3].data, payload);
  EXPECT_EQ(frames[3].id, 0x1CFEF100u);
}

}  // namespace
