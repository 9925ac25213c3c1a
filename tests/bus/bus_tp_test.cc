// Reassembly sessions (ISO-TP, J1939 transport protocol, NMEA 2000 fast
// packet) fed frame by frame: the result of each frame and the message that
// the last one carries out.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "bus/bus_tp.h"
#include "bus/test_frames.h"

namespace {

using namespace bustest;
using Frames = std::vector<cBusMsg>;

enum Proto { Iso, J1939, Nmea };

Frames iso(const std::vector<Bytes>& data) { return frames(0x7E8, data); }
Frames fp(const std::vector<Bytes>& data) { return frames(0x09F80103, data); }
// `n` frames in progress, then `last`.
std::string progress(size_t n, const char* last) { return std::string(n, 'p') + last; }

TEST(cBusTp, FramesInMessageOut) {
  struct Case {
    const char* name;
    Proto proto;
    Frames frames;
    std::string results;  // of the first frames: p in progress, c complete, e error
    Bytes payload{};      // of the completed message
    uint32_t id = 0;      // of the completed message (0: the last frame's)
  };
  const Bytes ff64 = cat({0x10, 0x40}, ramp(6)), cf1 = cat({0x21}, ramp(7)), fp0 = cat({0x40, 40}, ramp(6));
  const Frames bam = j1939Transfer(0xFEF1, ramp(30));
  Frames huge = iso(isoTpFrames(ramp(8300), true));
  huge[0].data = {0x10, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 1};  // 4 GiB announced
  const Case cases[] = {
      {"ISO-TP single frame", Iso, iso({{0x03, 0xA1, 0xA2, 0xA3, 0xCC, 0xCC, 0xCC, 0xCC}}), "c", {0xA1, 0xA2, 0xA3}},
      {"ISO-TP single frame beyond its frame", Iso, iso({{0x05, 1, 2, 3}}), "e"},
      {"ISO-TP FD single frame", Iso, iso({cat({0x00, 0x30}, ramp(48, 1))}), "c", ramp(48, 1)},
      {"ISO-TP FD single frame without length", Iso, iso({{0x00}}), "e"},
      {"ISO-TP empty frame", Iso, iso({{}}), "e"},
      {"ISO-TP reserved frame type", Iso, iso({{0x40, 1, 2}}), "e"},
      {"ISO-TP padding of the last frame", Iso, iso(isoTpFrames(ramp(19))), "ppc", ramp(19)},
      {"ISO-TP counter wraps from 15 to 0", Iso, iso(isoTpFrames(ramp(118, 9))), progress(16, "c"), ramp(118, 9)},
      {"ISO-TP FD segments", Iso, iso({cat({0x10, 100}, ramp(62)), cat(cat({0x21}, ramp(38, 62)), Bytes(25))}), "pc",
       ramp(100)},
      {"ISO-TP 32-bit length", Iso, iso(isoTpFrames(ramp(9), true)), "pc", ramp(9)},
      {"ISO-TP beyond 8192 bytes", Iso, iso(isoTpFrames(ramp(8300), true)), progress(1171, "e")},
      {"ISO-TP beyond 8192 bytes of 4 GiB", Iso, huge, progress(1171, "e")},
      {"ISO-TP first frame holding all its bytes", Iso, iso({cat({0x10, 0x06}, ramp(6))}), "e"},
      {"ISO-TP skipped counter", Iso, iso({ff64, cat({0x22}, ramp(7))}), "pe"},
      {"ISO-TP consecutive frame while idle", Iso, iso({cf1}), "e"},
      {"ISO-TP flow control continue", Iso, iso({cat({0x10, 0x0A}, ramp(6)), {0x30, 8, 0}, cat({0x21}, ramp(7, 6))}),
       "ppc", ramp(10)},
      {"ISO-TP flow control wait", Iso, iso({ff64, {0x31, 0, 0}}), "pp"},
      {"ISO-TP flow control overflow", Iso, iso({ff64, {0x32, 0, 0}}), "pe"},
      {"ISO-TP flow control too short", Iso, iso({ff64, {0x30, 0}}), "pe"},
      // The message takes priority and source of the data packets and the
      // transported group; a destination-specific group keeps the destination.
      {"J1939 broadcast", J1939, j1939Transfer(0xFEF1, ramp(20, 0x40), 0x00, 0xFF, 6), "pppc", ramp(20, 0x40),
       0x18FEF100},
      {"J1939 to a destination", J1939, j1939Transfer(0xEF00, ramp(20), 0x20, 0x0A, 3), "pppc", ramp(20), 0x0CEF0A20},
      {"J1939 255 packets", J1939, j1939Transfer(0xFEF1, ramp(1785)), progress(255, "c"), ramp(1785), 0x1CFEF100},
      {"J1939 empty transfer", J1939, j1939Transfer(0xFEF1, {}), "e"},
      {"J1939 256 packets", J1939, j1939Transfer(0xFEF1, ramp(1786)), "e"},
      {"J1939 sequence gap", J1939, {bam[0], bam[1], bam[3]}, "ppe"},
      {"J1939 short packet", J1939, {bam[0], canFrame(0x1CEBFF00, {1, 2, 3, 4, 5})}, "pe"},
      {"J1939 short announcement", J1939, frames(0x1CECFF00, {Bytes(bam[0].data.begin(), bam[0].data.end() - 1)}),
       "e"},
      {"J1939 empty announcement", J1939, frames(0x1CECFF00, {{}}), "e"},
      {"J1939 repeated announcement keeps the transfer", J1939,
       {bam[0], bam[1], canFrame(0x1CECFF00, j1939Announce(0x20, 9, 0xFECA)), bam[2], bam[3], bam[4], bam[5]},
       "ppppppc", ramp(30), 0x1CFEF100},
      {"fast packet in two frames", Nmea, fp(fastPacketFrames(ramp(12, 0x30), 2)), "pc", ramp(12, 0x30)},
      {"fast packet of no bytes", Nmea, fp(fastPacketFrames({}, 5)), "c", {}},
      {"fast packet of 223 bytes", Nmea, fp(fastPacketFrames(ramp(223), 1)), progress(31, "c"), ramp(223)},
      {"fast packet whose frame counter wraps, then more", Nmea, fp(fastPacketFrames(ramp(255), 1)), progress(32, "ee")},
      {"fast packet frame 0 without size", Nmea, fp({{0x40}}), "e"},
      {"fast packet empty frame", Nmea, fp({{}}), "e"},
      {"fast packet sequence mismatch", Nmea, fp({fp0, {0x61, 1, 2, 3, 4, 5, 6, 7}}), "pe"},
      {"fast packet frame gap", Nmea, fp({fp0, {0x42, 1, 2, 3, 4, 5, 6, 7}}), "pe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<cBusTp> tp = c.proto == Iso ? cIsoTp_ctor(0) : c.proto == J1939 ? cJ1939Tp_ctor() : cNmeaTp_ctor();
    ASSERT_LE(c.results.size(), c.frames.size());
    std::string got;
    cBusMsg msg;
    for (size_t i = 0; i < c.results.size(); ++i) {
      msg = c.frames[i];
      got += "pce"[static_cast<int>(tp->parse(msg))];
    }
    EXPECT_EQ(got, c.results);
    if (got.back() != 'c') continue;
    EXPECT_EQ(msg.data, c.payload);
    EXPECT_EQ(msg.id, c.id != 0 ? c.id : c.frames[c.results.size() - 1].id);
  }
}

}  // namespace
