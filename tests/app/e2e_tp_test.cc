// End to end: segmented messages (ISO-TP, J1939 broadcast and request-to-send
// transfers, NMEA 2000 fast packets) and tunnelled frames (MUXTP) are
// reassembled from logged frames, decoded with DBC files whose attributes
// declare the transport, and written as CSV rows; the transport statistics
// count successful, failed and unfinished sessions.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bus/test_frames.h"
#include "support/e2e.h"
#include "support/memory_stream.h"

namespace {

using namespace bustest;

// `frame` lines of the "can" group, one millisecond apart.
struct Timeline {
  double t = 0;
  std::string text = "group can can\n";

  Timeline& at(double when) {
    t = when;
    return *this;
  }
  Timeline& add(uint32_t id, const std::vector<Bytes>& frames, int channel = 1) {
    for (const Bytes& f : frames) {
      char line[64];
      std::snprintf(line, sizeof line, "frame can t=%.6f ch=%d id=0x%X ide=%d data=", t, channel, unsigned(id), id > 0x7FF);
      text += line;
      text += hex(f) + "\n";
      t += 0.001;
    }
    return *this;
  }
};

Bytes withLast(Bytes p, uint8_t last) {
  p.back() = last;
  return p;
}

// Channel 1: a 120-byte ISO-TP response with signals at the start, beyond
// byte 64 (Motorola) and in the last byte; an 18-byte fast packet; a MUXTP
// carrier whose tunnelled channel indices 0 to 3 map to channels 2 (258 mod
// 256), 3, 1 (its own: never fed back) and 5.  Channel 2 takes tunnelled
// frames, one of them an ISO-TP single frame.  Channel 4 is J1939.
const std::string kCan1Dbc = e2eDbc("CAN", "BO_ 2024 LongResp: 120 ECU\n SG_ First : 0|16@1+ (1,0) [0|0] \"\" ECU\n"
                                           " SG_ Deep : 567|16@0+ (0.5,0) [0|0] \"\" ECU\n"
                                           " SG_ Last : 952|8@1- (1,0) [0|0] \"\" ECU\n"
                                           "BO_ 2583168259 Position: 18 ECU\n SG_ Lat : 0|32@1- (0.5,0) [0|0] \"\" ECU\n"
                                           " SG_ Mode : 136|8@1+ (1,0) [0|0] \"\" ECU\n"
                                           "BO_ 1536 Tunnel: 64 ECU\n SG_ T0 : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                           "BO_ 291 Plain: 2 ECU\n SG_ P : 0|16@1+ (1,0) [0|0] \"\" ECU\n") +
                             "BA_ \"TransportProtocolType\" BO_ 2024 \"ISOTP\";\nBA_ \"TransportProtocolType\" BO_ "
                             "2583168259 \"NMEATP\";\nBA_ \"TransportProtocolType\" BO_ 1536 \"MUXTP#258:3:1:5\";\n";
const std::string kCan2Dbc = e2eDbc("CAN", "BO_ 291 Inner: 2 ECU\n SG_ V : 0|16@1+ (1,0) [0|0] \"\" ECU\n"
                                           "BO_ 2025 DiagInner: 5 ECU\n SG_ E : 32|8@1+ (1,0) [0|0] \"\" ECU\n") +
                             "BA_ \"TransportProtocolType\" BO_ 2025 \"ISOTP\";\n";
// BamMsg 0x18FEE300 (broadcast), RtsMsg 0x18EF0000 (to a destination).
const std::string kJ1939Dbc = e2eDbc("J1939", "BO_ 2566841088 BamMsg: 20 ECU\n SG_ A : 0|16@1+ (0.5,0) [0|0] \"\" ECU\n"
                                              " SG_ B : 152|8@1- (1,0) [0|0] \"\" ECU\n"
                                              "BO_ 2565799936 RtsMsg: 16 ECU\n SG_ X : 0|32@1+ (1,0) [0|0] \"\" ECU\n"
                                              " SG_ Y : 127|8@0- (1,0) [0|0] \"\" ECU\n");

TEST(E2eTransport, SegmentedAndTunnelledMessagesBecomeRows) {
  const std::vector<Bytes> one = isoTpFrames(withLast(ramp(120), 0xF0)), two = isoTpFrames(withLast(ramp(120, 1), 0x7F));
  const std::vector<Bytes> flowControl = {{0x30, 0x00, 0x00, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}};
  Timeline l{.t = 0.010};
  // ISO-TP: two transfers with the tester's flow control (0x7E0, in no
  // database; the counter wraps from 0x2F to 0x20), one failed by a skipped
  // counter, one that never ends.
  l.add(0x7E8, {one[0]}).add(0x7E0, flowControl).add(0x7E8, {one.begin() + 1, one.end()});
  l.at(0.100).add(0x7E8, {two[0]}).add(0x7E0, flowControl).add(0x7E8, {two.begin() + 1, two.end()});
  l.at(0.200).add(0x7E8, {one[0], one[1], one[3]}).at(0.300).add(0x7E8, {two[0], two[1]});
  // J1939 on channel 4: broadcasts of sources 0x20 and 0x21 interleaved; a
  // request to send from 0x21 to 0x42 with the receiver's clear to send and
  // acknowledgement; a broadcast with a sequence gap.
  const std::vector<Bytes> b20 = j1939Packets(withLast(ramp(20, 0x10), 0x80)),
                           b21 = j1939Packets(withLast(ramp(20, 0x40), 0x05)),
                           rts = j1939Packets(withLast(ramp(16, 0xA0), 0xAF));
  const Bytes bam = j1939Announce(0x20, 20, 0xFEE3), rtsCm = j1939Announce(0x10, 16, 0xEF00);
  l.at(0.400).add(0x1CECFF20, {bam}, 4).add(0x1CEBFF20, {b20[0]}, 4).add(0x1CECFF21, {bam}, 4);
  for (int i : {0, 1}) l.add(0x1CEBFF21, {b21[i]}, 4).add(0x1CEBFF20, {b20[i + 1]}, 4);
  l.add(0x1CEBFF21, {b21[2]}, 4);
  l.at(0.410).add(0x1CEC4221, {rtsCm}, 4).add(0x1CEC2142, {{0x11, 3, 1, 0xFF, 0xFF, 0, 0xEF, 0}}, 4);
  l.add(0x1CEB4221, rts, 4).add(0x1CEC2142, {{0x13, 0x10, 0, 3, 0xFF, 0, 0xEF, 0}}, 4);
  l.at(0.430).add(0x1CECFF30, {bam}, 4).add(0x1CEBFF30, {b20[0], b20[2]}, 4);
  // Fast packet of 18 bytes: -2 as a 32-bit integer, 4..16, 42; then a
  // packet whose second frame has another sequence counter.
  l.at(0.500).add(0x19F80503, fastPacketFrames(cat({0xFE, 0xFF, 0xFF, 0xFF}, withLast(ramp(14, 4), 42)), 2));
  l.add(0x19F80503, {{0x60, 18, 1, 2, 3, 4, 5, 6}, {0x81, 7, 8, 9, 10, 11, 12, 13}});
  // MUXTP carrier: frames for channel indices 0 (twice), 5 (skipped), 2 (the
  // carrier's channel) and an ISO-TP single frame of 0x7E9 for index 0,
  // padding, a frame after the end.
  const Bytes tunnel = {0x01, 0x01, 0x23, 0x34, 0x12, 0xA1, 0x01, 0x23, 0x11, 0x11, 0x41, 0x01, 0x23, 0x22, 0x22,
                        0x01, 0x01, 0x23, 0x02, 0x00, 0x04, 0x07, 0xE9, 0x05, 0x11, 0x22, 0x33, 0x44, 0x55, 0xAA,
                        0xAA, 0x07, 0x01, 0x01, 0x23, 0xFF, 0xFF};
  l.at(0.600).add(0x600, isoTpFrames(tunnel));
  E2eFolder f;
  f.writeDbc("can1.dbc", kCan1Dbc);
  f.writeDbc("can2.dbc", kCan2Dbc);
  f.writeDbc("j1939.dbc", kJ1939Dbc);
  f.writeLog("in/a.mf4", e2eLogHeader("AB12", 1, 1) + l.text);
  E2eRun r = f.run({"--dbc-can1=can1.dbc", "--dbc-can2=can2.dbc", "--dbc-can4=j1939.dbc", f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  // Rows carry the time of a message's last frame, tunnelled ones that of
  // their carrier.  LongResp: First = bytes 0-1, Deep = bytes 70-71
  // big-endian / 2, Last = byte 119 signed; BamMsg: A = bytes 0-1 / 2,
  // B = byte 19 signed; RtsMsg: X = bytes 0-3, Y = byte 15 signed.  J1939
  // files are named with the source address.
  const std::string o = "AB12_out/CAN", day = "/2023/11/14/00000001_00000001.csv";
  E2eTree tree = f.csvTree();
  EXPECT_EQ(tree, (E2eTree{
                      {o + "1_LongResp" + day, "t,First,Deep,Last\n1700000000.028000,256.000000,8995.500000,-16.000000\n"
                                               "1700000000.118000,513.000000,9124.000000,127.000000\n"},
                      {o + "1_Position" + day, "t,Lat,Mode\n1700000000.502000,-1.000000,42.000000\n"},
                      {o + "2_Inner" + day, "t,V\n1700000000.605000,4660.000000\n1700000000.605000,2.000000\n"},
                      {o + "2_DiagInner" + day, "t,E\n1700000000.605000,85.000000\n"},
                      {o + "4_BamMsg_S20" + day, "t,A,B\n1700000000.406000,2184.000000,-128.000000\n"},
                      {o + "4_BamMsg_S21" + day, "t,A,B\n1700000000.407000,8352.000000,5.000000\n"},
                      {o + "4_RtsMsg_S21" + day, "t,X,Y\n1700000000.414000,2745344416.000000,-81.000000\n"}}))
      << e2eDescribe(tree) << r.logText();
  // Succeeded: ISO-TP 2, fast packet 1, carrier and tunnelled single frame
  // 2, J1939 3.  One ISO-TP, fast-packet and J1939 session each failed; an
  // ISO-TP transfer stays open.
  const std::string block = "Transport protocol statistics";
  EXPECT_EQ(std::vector<long long>({r.statistic(block, "Successful sessions"), r.statistic(block, "Failed sessions"),
                                    r.statistic(block, "Unfinished sessions")}),
            std::vector<long long>({8, 3, 1}))
      << r.out;
  for (const std::string& line : r.log) EXPECT_NE(line[0], 'E') << line;
}

}  // namespace
