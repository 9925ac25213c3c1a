#include <gtest/gtest.h>

#include "bus/bus_tp.h"
#include "bus/test_frames.h"

namespace {

using bustest::canFrame;
using bustest::cat;
using bustest::ramp;
using R = cBusTpResult;

// Feeds `frames` in order; returns the result of each.
std::vector<R> feed(cBusTp& tp, std::vector<cBusMsg>& frames) {
  std::vector<R> results;
  for (cBusMsg& f : frames) results.push_back(tp.parse(f));
  return results;
}

// Splits `payload` into a classic first frame and consecutive frames with
// counters from 1 (wrapping), the last frame padded with 0xCC.
std::vector<cBusMsg> segment(const std::vector<uint8_t>& payload) {
  std::vector<cBusMsg> frames;
  size_t n = payload.size();
  frames.push_back(canFrame(0x7E8, cat({static_cast<uint8_t>(0x10 | (n >> 8)), static_cast<uint8_t>(n)},
                                       {payload.begin(), payload.begin() + 6})));
  uint8_t counter = 1;
  for (size_t pos = 6; pos < n; pos += 7, ++counter) {
    std::vector<uint8_t> d{static_cast<uint8_t>(0x20 | (counter & 0x0F))};
    for (size_t i = 0; i < 7; ++i) d.push_back(pos + i < n ? payload[pos + i] : 0xCC);
    frames.push_back(canFrame(0x7E8, d));
  }
  return frames;
}

TEST(cIsoTp, OnlyVariantZeroExists) {
  EXPECT_NE(cIsoTp_ctor(0), nullptr);
  EXPECT_EQ(cIsoTp_ctor(1), nullptr);
}

TEST(cIsoTp, SingleFrames) {
  struct Case {
    const char* name;
    std::vector<uint8_t> frame;
    R result;
    std::vector<uint8_t> payload;
  };
  std::vector<uint8_t> fd = cat({0x00, 0x30}, ramp(48, 1));
  const Case cases[] = {
      {"classic, padded", {0x03, 0xA1, 0xA2, 0xA3, 0xCC, 0xCC, 0xCC, 0xCC}, R::Complete, {0xA1, 0xA2, 0xA3}},
      {"classic, seven bytes", cat({0x07}, ramp(7)), R::Complete, ramp(7)},
      {"length beyond frame", {0x05, 1, 2, 3}, R::Error, {}},
      {"FD escape, 48 bytes", fd, R::Complete, ramp(48, 1)},
      {"FD escape without length", {0x00}, R::Error, {}},
      {"FD escape, length beyond frame", cat({0x00, 0x30}, ramp(40)), R::Error, {}},
      {"empty frame", {}, R::Error, {}},
      {"reserved control nibble", {0x40, 1, 2}, R::Error, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto tp = cIsoTp_ctor(0);
    cBusMsg msg = canFrame(0x7E8, c.frame, false, 3, 7.25);
    ASSERT_EQ(tp->parse(msg), c.result);
    if (c.result != R::Complete) continue;
    EXPECT_EQ(msg.data, c.payload);
    EXPECT_EQ(msg.id, 0x7E8u);
    EXPECT_EQ(msg.channel, 3);
    EXPECT_EQ(msg.timeStamp, 7.25);
    EXPECT_EQ(tp->state(), cBusTpState::Complete);
  }
}

TEST(cIsoTp, SurplusBytesOfLastFrameAreNotTaken) {
  auto tp = cIsoTp_ctor(0);
  std::vector<cBusMsg> frames{canFrame(0x7E8, cat({0x10, 0x13}, ramp(6))),
                              canFrame(0x7E8, cat({0x21}, ramp(7, 6))),
                              canFrame(0x7E8, cat({0x22}, ramp(7, 13)))};
  EXPECT_EQ(feed(*tp, frames), (std::vector<R>{R::InProgress, R::InProgress, R::Complete}));
  EXPECT_EQ(frames[2].data, ramp(19));
}

TEST(cIsoTp, CounterWrapsAfterFifteen) {
  std::vector<uint8_t> payload = ramp(6 + 7 * 40, 9);
  std::vector<cBusMsg> frames = segment(payload);
  ASSERT_EQ(frames[16].data[0], 0x20);  // 0x2F is followed by 0x20
  auto tp = cIsoTp_ctor(0);
  std::vector<R> results = feed(*tp, frames);
  EXPECT_EQ(results.back(), R::Complete);
  for (size_t i = 0; i + 1 < results.size(); ++i) EXPECT_EQ(results[i], R::InProgress) << i;
  EXPECT_EQ(frames.back().data, payload);
}

TEST(cIsoTp, ConsecutiveFrameOrderFaults) {
  struct Case {
    const char* name;
    std::vector<uint8_t> counters;  // low nibbles of the consecutive frames
    size_t failsAt;                 // index into counters
  };
  const Case cases[] = {
      {"skipped frame", {2}, 0},
      {"repeated frame", {1, 1}, 1},
      {"out of order", {1, 3, 2}, 1},
      {"wrapped too early", {1, 0}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto tp = cIsoTp_ctor(0);
    cBusMsg ff = canFrame(0x7E8, cat({0x10, 0x40}, ramp(6)));
    ASSERT_EQ(tp->parse(ff), R::InProgress);
    for (size_t i = 0; i < c.counters.size(); ++i) {
      cBusMsg cf = canFrame(0x7E8, cat({static_cast<uint8_t>(0x20 | c.counters[i])}, ramp(7)));
      R r = tp->parse(cf);
      if (i < c.failsAt) {
        EXPECT_EQ(r, R::InProgress);
      } else {
        EXPECT_EQ(r, R::Error);
        EXPECT_EQ(tp->state(), cBusTpState::Failed);
        break;
      }
    }
  }
}

TEST(cIsoTp, FramesOutOfPlace) {
  struct Case {
    const char* name;
    bool afterFirstFrame;
    std::vector<uint8_t> frame;
    R result;
  };
  const Case cases[] = {
      {"consecutive frame while idle", false, cat({0x21}, ramp(7)), R::Error},
      {"flow control while idle", false, {0x30, 0, 0}, R::Error},
      {"single frame while receiving", true, {0x02, 1, 2}, R::Error},
      {"first frame while receiving", true, cat({0x10, 0x20}, ramp(6)), R::Error},
      {"flow control continue", true, {0x30, 0x08, 0x00}, R::InProgress},
      {"flow control wait", true, {0x31, 0x00, 0x00}, R::InProgress},
      {"flow control overflow", true, {0x32, 0x00, 0x00}, R::Error},
      {"flow control reserved status", true, {0x35, 0x00, 0x00}, R::Error},
      {"flow control too short", true, {0x30, 0x00}, R::Error},
      {"empty frame while receiving", true, {}, R::Error},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto tp = cIsoTp_ctor(0);
    if (c.afterFirstFrame) {
      cBusMsg ff = canFrame(0x7E8, cat({0x10, 0x40}, ramp(6)));
      ASSERT_EQ(tp->parse(ff), R::InProgress);
    }
    cBusMsg msg = canFrame(0x7E8, c.frame);
    EXPECT_EQ(tp->parse(msg), c.result);
  }
}

TEST(cIsoTp, FlowControlDoesNotDisturbTheTransfer) {
  auto tp = cIsoTp_ctor(0);
  std::vector<cBusMsg> frames{canFrame(0x7E8, cat({0x10, 0x0A}, ramp(6))),
                              canFrame(0x7E0, {0x30, 0x00, 0x00}),
                              canFrame(0x7E8, cat({0x21}, ramp(7, 6)))};
  EXPECT_EQ(feed(*tp, frames), (std::vector<R>{R::InProgress, R::InProgress, R::Complete}));
  EXPECT_EQ(frames[2].data, ramp(10));
}

TEST(cIsoTp, OnlySingleAndFirstFramesStartSessions) {
  auto tp = cIsoTp_ctor(0);
  const std::pair<std::vector<uint8_t>, bool> cases[] = {
      {{0x03, 1, 2, 3}, true}, {{0x10, 0x20}, true}, {{0x21}, false}, {{0x30}, false}, {{}, false}};
  for (const auto& [frame, starts] : cases) {
    EXPECT_EQ(tp->startsSession(canFrame(0x7E8, frame)), starts) << int(frame.empty() ? -1 : frame[0]);
  }
}

TEST(cIsoTp, FirstFrameThatFitsItselfIsRejected) {
  // Six data bytes but only five announced: taking the frame would deliver a
  // byte beyond the message.
  auto tp = cIsoTp_ctor(0);
  cBusMsg ff = canFrame(0x7E8, cat({0x10, 0x05}, ramp(6)));
  EXPECT_EQ(tp->parse(ff), R::Error);
  cBusMsg escaped = canFrame(0x7E8, {0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0xAA, 0xBB});
  EXPECT_EQ(cIsoTp_ctor(0)->parse(escaped), R::Error);
}

TEST(cIsoTp, FdFramesCarryLongSegments) {
  std::vector<uint8_t> payload = ramp(100, 3);
  auto tp = cIsoTp_ctor(0);
  cBusMsg ff = canFrame(0x7E8, cat({0x10, 100}, {payload.begin(), payload.begin() + 62}));
  cBusMsg cf = canFrame(0x7E8, cat({0x21}, {payload.begin() + 62, payload.end()}));
  cf.data.resize(64, 0xCC);
  EXPECT_EQ(tp->parse(ff), R::InProgress);
  EXPECT_EQ(tp->parse(cf), R::Complete);
  EXPECT_EQ(cf.data, payload);
}

// Feeds consecutive frames after `ff` until one is rejected; returns how many
// were accepted.
size_t acceptedUntilError(cBusTp& tp, cBusMsg ff) {
  EXPECT_EQ(tp.parse(ff), R::InProgress);
  for (size_t i = 1; i < 100000; ++i) {
    cBusMsg cf = canFrame(0x7E8, cat({static_cast<uint8_t>(0x20 | (i & 0x0F))}, ramp(7, uint8_t(i))));
    R r = tp.parse(cf);
    if (r == R::Error) return i - 1;
    EXPECT_EQ(r, R::InProgress);
  }
  return 0;
}

TEST(cIsoTp, OverflowPast8192Fails) {
  bustest::LogCapture log;
  auto tp = cIsoTp_ctor(0);
  // 32-bit escape announcing 10 000 bytes, two bytes in the first frame.
  size_t accepted = acceptedUntilError(*tp, canFrame(0x7E8, {0x10, 0x00, 0x00, 0x00, 0x27, 0x10, 1, 2}));
  EXPECT_EQ(accepted, 1170u);  // 2 + 7 * 1170 == 8192 is still accepted
  EXPECT_EQ(log.count("ISO-TP payload overflow (8192)"), 1u);
}

TEST(cIsoTp, FourGigabyteAnnouncementAllocatesNothingUpFront) {
  bustest::LogCapture log;
  auto tp = cIsoTp_ctor(0);
  cBusMsg ff = canFrame(0x7E8, {0x10, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2});
  ASSERT_EQ(tp->parse(ff), R::InProgress);
  EXPECT_LT(tp->buffer().capacity(), 1024u);
  tp = cIsoTp_ctor(0);
  EXPECT_EQ(acceptedUntilError(*tp, canFrame(0x7E8, {0x10, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2})), 1170u);
}

TEST(cIsoTp, ClearedSessionStartsFromScratch) {
  auto tp = cIsoTp_ctor(0);
  cBusMsg ff = canFrame(0x7E8, cat({0x10, 0x10}, ramp(6, 100)));
  ASSERT_EQ(tp->parse(ff), R::InProgress);
  tp->clear();
  EXPECT_EQ(tp->state(), cBusTpState::Idle);
  cBusMsg sf = canFrame(0x7E8, {0x02, 7, 8});
  ASSERT_EQ(tp->parse(sf), R::Complete);
  EXPECT_EQ(sf.data, (std::vector<uint8_t>{7, 8}));
}

}  // namespace
