#include <gtest/gtest.h>

#include "bus/bus_tp.h"
#include "bus/test_frames.h"

namespace {

using bustest::canFrame;
using bustest::cat;
using bustest::ramp;
using R = cBusTpResult;

constexpr uint32_t kId = 0x09F80103;

// Fast-packet frames of `payload` with sequence counter `seq`; the announced
// size is `size` (the payload's by default).
std::vector<cBusMsg> packetFrames(const std::vector<uint8_t>& payload, uint8_t seq, int size = -1) {
  std::vector<cBusMsg> frames;
  uint8_t announced = static_cast<uint8_t>(size < 0 ? payload.size() : size);
  std::vector<uint8_t> d{static_cast<uint8_t>(seq << 5), announced};
  for (size_t i = 0; i < 6; ++i) d.push_back(i < payload.size() ? payload[i] : 0xFF);
  frames.push_back(canFrame(kId, d, true));
  uint8_t counter = 1;
  for (size_t pos = 6; pos < payload.size(); pos += 7, ++counter) {
    d.assign({static_cast<uint8_t>((seq << 5) | (counter & 0x1F))});
    for (size_t i = 0; i < 7; ++i) d.push_back(pos + i < payload.size() ? payload[pos + i] : 0xFF);
    frames.push_back(canFrame(kId, d, true));
  }
  return frames;
}

std::vector<R> feed(cBusTp& tp, std::vector<cBusMsg>& frames) {
  std::vector<R> results;
  for (cBusMsg& f : frames) results.push_back(tp.parse(f));
  return results;
}

TEST(cNmeaTp, TwelveBytesInTwoFrames) {
  auto tp = cNmeaTp_ctor();
  std::vector<uint8_t> payload = ramp(12, 0x30);
  std::vector<cBusMsg> frames = packetFrames(payload, 2);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(feed(*tp, frames), (std::vector<R>{R::InProgress, R::Complete}));
  EXPECT_EQ(frames[1].data, payload);  // the padding byte is not taken
  EXPECT_EQ(frames[1].id, kId);
}

TEST(cNmeaTp, Sizes) {
  // 223 bytes is the most 32 frames can carry.
  for (size_t size : {0u, 1u, 6u, 7u, 13u, 100u, 223u}) {
    SCOPED_TRACE(size);
    auto tp = cNmeaTp_ctor();
    std::vector<uint8_t> payload = ramp(size, 1);
    std::vector<cBusMsg> frames = packetFrames(payload, 5);
    std::vector<R> results = feed(*tp, frames);
    EXPECT_EQ(results.back(), R::Complete);
    EXPECT_EQ(frames.back().data, payload);
  }
}

TEST(cNmeaTp, CounterWrapFailsOversizedPacket) {
  // 255 announced: after frame 31 the counter would wrap to 0.
  auto tp = cNmeaTp_ctor();
  std::vector<cBusMsg> frames = packetFrames(ramp(255), 1);
  ASSERT_EQ(frames.size(), 37u);
  ASSERT_EQ(frames[32].data[0], 0x20);
  std::vector<R> results = feed(*tp, frames);
  for (size_t i = 0; i < 32; ++i) EXPECT_EQ(results[i], R::InProgress) << i;
  EXPECT_EQ(results[32], R::Error);
  EXPECT_TRUE(tp->startsSession(frames[32]));
}

TEST(cNmeaTp, IdleFrameFaults) {
  for (std::vector<uint8_t> d : {std::vector<uint8_t>{0x41, 1, 2, 3, 4, 5, 6, 7}, {0x40}, {}}) {
    cBusMsg f = canFrame(kId, d, true);
    EXPECT_EQ(cNmeaTp_ctor()->parse(f), R::Error) << d.size();
  }
}

TEST(cNmeaTp, FrameFaults) {
  struct Case {
    const char* name;
    std::vector<std::vector<uint8_t>> frames;  // after a frame 0 of sequence 2, size 40
    R last;
  };
  const Case cases[] = {
      {"sequence mismatch", {{0x61, 1, 2, 3, 4, 5, 6, 7}}, R::Error},
      {"frame gap", {{0x42, 1, 2, 3, 4, 5, 6, 7}}, R::Error},
      {"repeated frame", {{0x41, 1, 2, 3, 4, 5, 6, 7}, {0x41, 1, 2, 3, 4, 5, 6, 7}}, R::Error},
      {"new frame 0", {{0x40, 40, 1, 2, 3, 4, 5, 6}}, R::Error},
      {"empty frame", {{}}, R::Error},
      {"short frame is fine", {{0x41, 1, 2}}, R::InProgress},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto tp = cNmeaTp_ctor();
    cBusMsg first = canFrame(kId, cat({0x40, 40}, ramp(6)), true);
    ASSERT_EQ(tp->parse(first), R::InProgress);
    R r = R::InProgress;
    for (const auto& d : c.frames) {
      cBusMsg f = canFrame(kId, d, true);
      r = tp->parse(f);
    }
    EXPECT_EQ(r, c.last);
  }
}

}  // namespace
