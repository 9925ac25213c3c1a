// Steady traffic through the transport layers must not allocate.  The global
// operator new of this test executable counts while `gCounting` is set.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "bus/bus_layer_mux.h"
#include "bus/bus_layer_tp.h"
#include "bus/test_frames.h"
#include "db/message_key.h"

namespace {
volatile bool gCounting = false;
volatile size_t gAllocations = 0;
}  // namespace

void* operator new(std::size_t n) {
  if (gCounting) gAllocations = gAllocations + 1;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using bustest::canFrame;
using bustest::cat;
using bustest::CountingLayer;
using bustest::ramp;

TEST(cBusLayerTp, SteadyTrafficAllocatesNothing) {
  CountingLayer decoder;
  cBusLayerMux mux(&decoder, nullptr);
  cBusLayerTp tp(&mux);
  ASSERT_TRUE(mux.setPhyLayer(&tp));
  tp.addConfig(1, 1, cDB_can_id2key(0x7E8, 0), kTpTypeIsoTp);
  tp.addConfig(1, 1, cDB_can_id2key(0x09F80103, 1), kTpTypeNmeaFastPacket);
  tp.addConfig(2, 2, cDB_can_pgn_id2key(0xEC0000, 1), kTpTypeJ1939);
  tp.addConfig(1, 1, cDB_can_id2key(0x700, 0), kTpTypeMux);
  mux.addConfig(1, 1, cDB_can_id2key(0x700, 0), {3, 3, 3, 3});
  tp.addConfig(1, 3, cDB_can_id2key(0x7E8, 0), kTpTypeIsoTp);

  const std::vector<cBusMsg> frames{
      canFrame(0x123, ramp(8), false, 1),                                   // unregistered
      canFrame(0x7E8, {0x03, 1, 2, 3, 0, 0, 0, 0}, false, 1),               // single frame
      canFrame(0x7E8, cat({0x10, 0x0A}, ramp(6)), false, 1),               // first frame
      canFrame(0x7E8, cat({0x21}, ramp(7, 6)), false, 1),                  // last frame
      canFrame(0x09F80103, cat({0x40, 9}, ramp(6)), true, 1),              // fast packet
      canFrame(0x09F80103, cat({0x41}, ramp(7, 6)), true, 1),
      canFrame(0x1CECFF20, {0x20, 9, 0, 2, 0xFF, 0xF1, 0xFE, 0}, true, 2),  // BAM
      canFrame(0x1CEBFF20, cat({1}, ramp(7)), true, 2),
      canFrame(0x1CEBFF20, cat({2}, ramp(7, 7)), true, 2),
      canFrame(0x1CEC2010, {0x11, 1, 1, 0xFF, 0xFF, 0, 0xEF, 0}, true, 2),  // CTS
      // Carrier with a single frame for channel 3 and a plain frame.
      canFrame(0x700, {0x05, 0x01, 0x07, 0xE8, 0x01, 0x55, 0xCC, 0xCC}, false, 1),
  };
  cBusMsg work;
  auto round = [&] {
    for (const cBusMsg& f : frames) {
      work.timeStamp = f.timeStamp;
      work.channel = f.channel;
      work.id = f.id;
      work.type = f.type;
      work.can = f.can;
      work.data.assign(f.data.begin(), f.data.end());
      EXPECT_TRUE(tp.newMsg(work));
    }
  };
  for (int i = 0; i < 50; ++i) round();
  size_t delivered = decoder.count;
  gAllocations = 0;
  gCounting = true;
  for (int i = 0; i < 200; ++i) round();
  gCounting = false;
  EXPECT_EQ(gAllocations, 0u);
  EXPECT_EQ(tp.getStatistics().failed, 0u);
  EXPECT_GT(decoder.count, delivered);
}

}  // namespace
