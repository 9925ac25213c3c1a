// End to end: messages that travel segmented (ISO-TP, J1939 broadcast and
// request-to-send transfers, NMEA 2000 fast packets) or tunnelled (MUXTP)
// are reassembled from logged frames, decoded with DBC files whose
// attributes declare the transport, and written as CSV rows; the transport
// statistics count successful, failed and unfinished sessions.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/e2e.h"

namespace {

using Bytes = std::vector<uint8_t>;

// 1700000000 s = 2023-11-14 22:13:20 UTC.
const std::string kDay = "/2023/11/14/00000001_00000001.csv";

std::string hex(const Bytes& bytes) {
  static const char* kDigits = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

// The identifier as a DBC file writes it: bit 31 set for 29-bit identifiers.
std::string dbcId(uint32_t canId) {
  return std::to_string(canId > 0x7FF ? (canId | 0x80000000u) : canId);
}

// `frame` statements of the "can" group, one millisecond apart from `t0`
// (seconds after the file start).
class Frames {
 public:
  explicit Frames(double t0 = 0.0) : t_(t0) {}

  Frames& at(double t) {
    t_ = t;
    return *this;
  }
  Frames& add(uint32_t id, const Bytes& data, int channel = 1) {
    char head[96];
    std::snprintf(head, sizeof head, "frame can t=%.6f ch=%d id=0x%X ide=%d data=", t_, channel,
                  static_cast<unsigned>(id), id > 0x7FF ? 1 : 0);
    text_ += head + hex(data) + "\n";
    t_ += 0.001;
    return *this;
  }
  Frames& addAll(uint32_t id, const std::vector<Bytes>& frames, int channel = 1) {
    for (const Bytes& f : frames) add(id, f, channel);
    return *this;
  }
  const std::string& text() const { return text_; }

 private:
  double t_;
  std::string text_;
};

// ISO-TP segments of `payload` (at least 8 bytes): the first frame and the
// consecutive frames, each of 8 bytes, padded with 0xAA.
std::vector<Bytes> isoTpSegments(const Bytes& payload) {
  std::vector<Bytes> frames;
  Bytes first = {static_cast<uint8_t>(0x10 | (payload.size() >> 8)),
                 static_cast<uint8_t>(payload.size() & 0xFF)};
  first.insert(first.end(), payload.begin(), payload.begin() + 6);
  frames.push_back(first);
  size_t at = 6;
  for (uint8_t counter = 1; at < payload.size(); ++counter) {
    Bytes cf = {static_cast<uint8_t>(0x20 | (counter & 0x0F))};
    for (int i = 0; i < 7; ++i) cf.push_back(at < payload.size() ? payload[at++] : 0xAA);
    frames.push_back(cf);
  }
  return frames;
}

// J1939 data-transfer packets of `payload`: sequence number and 7 bytes,
// padded with 0xFF.
std::vector<Bytes> j1939Packets(const Bytes& payload) {
  std::vector<Bytes> packets;
  for (size_t at = 0, seq = 1; at < payload.size(); ++seq) {
    Bytes dt = {static_cast<uint8_t>(seq)};
    for (int i = 0; i < 7; ++i) dt.push_back(at < payload.size() ? payload[at++] : 0xFF);
    packets.push_back(dt);
  }
  return packets;
}

// Connection-management frame (announce or request to send) for `size` bytes
// of the parameter group `pgn`.
Bytes j1939Announce(uint8_t control, size_t size, uint32_t pgn) {
  return {control,
          static_cast<uint8_t>(size & 0xFF),
          static_cast<uint8_t>(size >> 8),
          static_cast<uint8_t>((size + 6) / 7),
          0xFF,
          static_cast<uint8_t>(pgn & 0xFF),
          static_cast<uint8_t>((pgn >> 8) & 0xFF),
          static_cast<uint8_t>(pgn >> 16)};
}

void expectSessions(const E2eRun& r, long long successful, long long failed,
                    long long unfinished) {
  const std::string block = "Transport protocol statistics";
  EXPECT_EQ(r.statistic(block, "Successful sessions"), successful) << r.out;
  EXPECT_EQ(r.statistic(block, "Failed sessions"), failed) << r.out;
  EXPECT_EQ(r.statistic(block, "Unfinished sessions"), unfinished) << r.out;
}

// ------------------------------------------------------------------ ISO-TP

// 120 bytes: signals at the start, beyond the 64th byte (Motorola) and in
// the last byte.
const std::string kIsoTpDbc =
    e2eDbc("CAN",
           "BO_ 2024 LongResp: 120 ECU\n"
           " SG_ First : 0|16@1+ (1,0) [0|0] \"\" ECU\n"
           " SG_ Deep : 567|16@0+ (0.5,0) [0|0] \"\" ECU\n"
           " SG_ Last : 952|8@1- (1,0) [0|0] \"\" ECU\n") +
    "BA_ \"TransportProtocolType\" BO_ 2024 \"ISOTP\";\n";

// Byte i is i + shift; the last byte is `last`.
Bytes longPayload(uint8_t shift, uint8_t last) {
  Bytes p(120);
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i + shift);
  p.back() = last;
  return p;
}

const Bytes kFlowControl = {0x30, 0x00, 0x00, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};

TEST(E2eTransport, IsoTpMessageOfMoreThan100BytesBecomesOneRow) {
  const std::vector<Bytes> one = isoTpSegments(longPayload(0, 0xF0));
  const std::vector<Bytes> two = isoTpSegments(longPayload(1, 0x7F));
  ASSERT_EQ(one.size(), 18u);  // 6 + 17 * 7 bytes: the counter wraps from 0x2F to 0x20
  Frames frames(0.010);
  // Each transfer: first frame, the tester's flow control (0x7E0, not in
  // the database), the consecutive frames.
  frames.add(0x7E8, one[0]).add(0x7E0, kFlowControl);
  frames.addAll(0x7E8, std::vector<Bytes>(one.begin() + 1, one.end()));
  frames.at(0.100).add(0x7E8, two[0]).add(0x7E0, kFlowControl);
  frames.addAll(0x7E8, std::vector<Bytes>(two.begin() + 1, two.end()));
  // A consecutive frame that skips a counter value fails the third transfer.
  frames.at(0.200).add(0x7E8, one[0]).add(0x7E8, one[1]).add(0x7E8, one[3]);
  // The fourth never ends.
  frames.at(0.300).add(0x7E8, two[0]).add(0x7E8, two[1]).add(0x7E8, two[2]);

  E2eFolder f;
  f.writeDbc("long.dbc", kIsoTpDbc);
  f.writeLog("in/a.mf4", e2eLogHeader("AB12", 1, 1) + "group can can\n" + frames.text());
  E2eRun r = f.run({"--dbc-can1=long.dbc", f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  E2eTree tree = f.csvTree();
  // Rows carry the time of the last consecutive frame.  First = bytes 0-1;
  // Deep = bytes 70-71 big-endian / 2; Last = byte 119 signed.
  EXPECT_EQ(tree, (E2eTree{{"AB12_out/CAN1_LongResp" + kDay,
                            "t,First,Deep,Last\n"
                            "1700000000.028000,256.000000,8995.500000,-16.000000\n"
                            "1700000000.118000,513.000000,9124.000000,127.000000\n"}}))
      << e2eDescribe(tree) << r.logText();
  expectSessions(r, 2, 1, 1);
  EXPECT_EQ(r.statistic("Reader statistics", "Messages"), 44);
  EXPECT_EQ(r.statistic("Writer statistics", "Messages"), 2);
}

TEST(E2eTransport, IsoTpSessionSpansSplitsButNotUnrelatedFiles) {
  const std::vector<Bytes> one = isoTpSegments(longPayload(0, 0xF0));
  const std::vector<Bytes> two = isoTpSegments(longPayload(1, 0x7F));
  E2eFolder f;
  f.writeDbc("long.dbc", kIsoTpDbc);
  // Session 1, split 1 ends after five consecutive frames; split 2 brings
  // the rest: one message, written into the file of split 1.
  f.writeLog("in/a.mf4", e2eLogHeader("AB12", 1, 1) + "group can can\n" +
                             Frames(1.0).addAll(0x7E8, {one.begin(), one.begin() + 6}).text());
  f.writeLog("in/b.mf4", e2eLogHeader("AB12", 1, 2) + "group can can\n" +
                             Frames(2.0).addAll(0x7E8, {one.begin() + 6, one.end()}).text());
  // Session 2 stops in the middle of a transfer; session 3 starts with its
  // next consecutive frame, which belongs to no transfer (a failed session).
  // The half transfer is dropped with the file and not counted.
  f.writeLog("in/c.mf4", e2eLogHeader("AB12", 2, 1) + "group can can\n" +
                             Frames(3.0).addAll(0x7E8, {two.begin(), two.begin() + 4}).text());
  f.writeLog("in/d.mf4", e2eLogHeader("AB12", 3, 1) + "group can can\n" +
                             Frames(4.0).add(0x7E8, two[4]).text());
  E2eRun r = f.run({"--dbc-can1=long.dbc", f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  E2eTree tree = f.csvTree();
  EXPECT_EQ(tree, (E2eTree{{"AB12_out/CAN1_LongResp" + kDay,
                            "t,First,Deep,Last\n"
                            "1700000002.011000,256.000000,8995.500000,-16.000000\n"}}))
      << e2eDescribe(tree) << r.logText();
  expectSessions(r, 1, 1, 0);
}

// ------------------------------------------------------------------ J1939

const std::string kJ1939Dbc =
    e2eDbc("J1939", "BO_ " + dbcId(0x18FEE300) +
                        " BamMsg: 20 ECU\n"
                        " SG_ A : 0|16@1+ (0.5,0) [0|0] \"\" ECU\n"
                        " SG_ C : 71|8@0+ (1,0) [0|0] \"\" ECU\n"
                        " SG_ B : 152|8@1- (1,0) [0|0] \"\" ECU\n\n"
                        "BO_ " + dbcId(0x18EF0000) +
                        " RtsMsg: 16 ECU\n"
                        " SG_ X : 0|32@1+ (1,0) [0|0] \"\" ECU\n"
                        " SG_ Y : 127|8@0- (1,0) [0|0] \"\" ECU\n\n"
                        "BO_ " + dbcId(0x18FEF100) +
                        " Single: 8 ECU\n"
                        " SG_ S : 8|16@1+ (1,0) [0|0] \"\" ECU\n");

// Byte i is `base` + i; the last byte is `last`.
Bytes rampPayload(size_t size, uint8_t base, uint8_t last) {
  Bytes p(size);
  for (size_t i = 0; i < size; ++i) p[i] = static_cast<uint8_t>(base + i);
  p.back() = last;
  return p;
}

// Broadcast transfers from sources 0x20 and 0x21, interleaved; a
// request-to-send transfer from 0x21 to 0x42 with the receiver's clear to
// send and acknowledgement; an 8-byte frame; a broadcast with a sequence
// gap (failed) and a request-to-send transfer that never ends.
std::string j1939Log() {
  const std::vector<Bytes> bam20 = j1939Packets(rampPayload(20, 0x10, 0x80));
  const std::vector<Bytes> bam21 = j1939Packets(rampPayload(20, 0x40, 0x05));
  const std::vector<Bytes> rts = j1939Packets(rampPayload(16, 0xA0, 0xAF));
  Frames fr(0.010);
  fr.add(0x1CECFF20, j1939Announce(0x20, 20, 0xFEE3)).add(0x1CEBFF20, bam20[0]);
  fr.add(0x1CECFF21, j1939Announce(0x20, 20, 0xFEE3)).add(0x1CEBFF21, bam21[0]);
  fr.add(0x1CEBFF20, bam20[1]).add(0x1CEBFF21, bam21[1]);
  fr.add(0x1CEBFF20, bam20[2]).add(0x1CEBFF21, bam21[2]);
  fr.at(0.020).add(0x1CEC4221, j1939Announce(0x10, 16, 0xEF00));
  fr.add(0x1CEC2142, {0x11, 0x03, 0x01, 0xFF, 0xFF, 0x00, 0xEF, 0x00});
  fr.addAll(0x1CEB4221, rts);
  fr.add(0x1CEC2142, {0x13, 0x10, 0x00, 0x03, 0xFF, 0x00, 0xEF, 0x00});
  fr.at(0.030).add(0x18FEF105, {0x00, 0x34, 0x12, 0, 0, 0, 0, 0});
  fr.at(0.040).add(0x1CECFF30, j1939Announce(0x20, 20, 0xFEE3));
  fr.add(0x1CEBFF30, bam20[0]).add(0x1CEBFF30, bam20[2]);
  fr.at(0.050).add(0x1CEC4222, j1939Announce(0x10, 16, 0xEF00)).add(0x1CEB4222, rts[0]);
  return e2eLogHeader("J1", 1, 1) + "group can can\n" + fr.text();
}

// Rows, hand-computed: A = bytes 0-1 / 2, C = byte 8, B = byte 19 signed;
// X = bytes 0-3, Y = byte 15 signed.
const std::string kBam20 = "1700000000.016000,2184.000000,24.000000,-128.000000\n";
const std::string kBam21 = "1700000000.017000,8352.000000,72.000000,5.000000\n";
const std::string kRts = "t,X,Y\n1700000000.024000,2745344416.000000,-81.000000\n";
const std::string kSingle = "t,S\n1700000000.030000,4660.000000\n";

struct J1939Case {
  const char* name;
  std::vector<std::string> flags;
  E2eTree expected;
};

TEST(E2eTransport, J1939BroadcastAndRequestToSendTransfersWithAddressParts) {
  const std::string d = "J1_out/CAN1_";
  const std::vector<J1939Case> cases = {
      {"defaults: source part, destinations merged",
       {},
       {{d + "BamMsg_S20" + kDay, "t,A,C,B\n" + kBam20},
        {d + "BamMsg_S21" + kDay, "t,A,C,B\n" + kBam21},
        {d + "RtsMsg_S21" + kDay, kRts},
        {d + "Single_S05" + kDay, kSingle}}},
      {"destination part",
       {"--no-pgn-dst-merge"},
       {{d + "BamMsg_S20" + kDay, "t,A,C,B\n" + kBam20},
        {d + "BamMsg_S21" + kDay, "t,A,C,B\n" + kBam21},
        {d + "RtsMsg_S21_D42" + kDay, kRts},
        {d + "Single_S05" + kDay, kSingle}}},
      {"sources merged",
       {"--pgn-src-merge"},
       {{d + "BamMsg" + kDay, "t,A,C,B\n" + kBam20 + kBam21},
        {d + "RtsMsg" + kDay, kRts},
        {d + "Single" + kDay, kSingle}}},
      {"sources merged, destination part",
       {"--pgn-src-merge", "--no-pgn-dst-merge"},
       {{d + "BamMsg" + kDay, "t,A,C,B\n" + kBam20 + kBam21},
        {d + "RtsMsg_D42" + kDay, kRts},
        {d + "Single" + kDay, kSingle}}},
  };
  const std::string log = j1939Log();
  for (const J1939Case& c : cases) {
    SCOPED_TRACE(c.name);
    E2eFolder f;
    f.writeDbc("j1939.dbc", kJ1939Dbc);
    f.writeLog("in/j.mf4", log);
    std::vector<std::string> args = c.flags;
    args.push_back("--dbc-can1=j1939.dbc");
    args.push_back(f / "in");
    E2eRun r = f.run(args);
    ASSERT_EQ(r.status, 0) << r.logText();
    E2eTree tree = f.csvTree();
    EXPECT_EQ(tree, c.expected) << e2eDescribe(tree) << r.logText();
    expectSessions(r, 3, 1, 1);
  }
}

// --------------------------------------------------- NMEA 2000 fast packet

TEST(E2eTransport, FastPacketReassembledAndSequenceMismatchFails) {
  const uint32_t id = 0x19F80503;
  E2eFolder f;
  f.writeDbc("n2k.dbc", e2eDbc("CAN", "BO_ " + dbcId(id) +
                                          " Position: 18 ECU\n"
                                          " SG_ Lat : 0|32@1- (0.5,0) [0|0] \"\" ECU\n"
                                          " SG_ Mode : 136|8@1+ (1,0) [0|0] \"\" ECU\n") +
                            "BA_ \"TransportProtocolType\" BO_ " + dbcId(id) + " \"NMEATP\";\n");
  // 18 bytes: -2 as a 32-bit integer, 4..16, 42.  Frame 0 carries the size
  // and 6 bytes, frames 1 and 2 seven bytes each (two surplus bytes).
  Bytes p = {0xFE, 0xFF, 0xFF, 0xFF};
  for (uint8_t b = 4; b <= 16; ++b) p.push_back(b);
  p.push_back(42);
  Frames fr(0.010);
  fr.add(id, {0x40, 18, p[0], p[1], p[2], p[3], p[4], p[5]});
  fr.add(id, {0x41, p[6], p[7], p[8], p[9], p[10], p[11], p[12]});
  fr.add(id, {0x42, p[13], p[14], p[15], p[16], p[17], 0xFF, 0xFF});
  // Sequence counter 3, then a frame of sequence 4: the session fails.
  fr.at(0.020).add(id, {0x60, 18, 1, 2, 3, 4, 5, 6});
  fr.add(id, {0x81, 7, 8, 9, 10, 11, 12, 13});
  f.writeLog("in/n.mf4", e2eLogHeader("N2K", 1, 1) + "group can can\n" + fr.text());
  E2eRun r = f.run({"--dbc-can1=n2k.dbc", f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  E2eTree tree = f.csvTree();
  EXPECT_EQ(tree, (E2eTree{{"N2K_out/CAN1_Position" + kDay,
                            "t,Lat,Mode\n1700000000.012000,-1.000000,42.000000\n"}}))
      << e2eDescribe(tree) << r.logText();
  expectSessions(r, 1, 1, 0);
}

// ------------------------------------------------------------------ MUXTP

TEST(E2eTransport, TunnelledFramesReachTheDatabasesOfTheirMappedChannels) {
  E2eFolder f;
  // Channel index 0 -> channel 2, 1 -> 3, 2 -> 1 (the carrier's own
  // channel: never fed back), 3 -> 5.
  f.writeDbc("carrier.dbc", e2eDbc("CAN",
                                   "BO_ 1536 Tunnel: 64 ECU\n"
                                   " SG_ T0 : 0|8@1+ (1,0) [0|0] \"\" ECU\n\n"
                                   "BO_ 291 Plain: 2 ECU\n"
                                   " SG_ P : 0|16@1+ (1,0) [0|0] \"\" ECU\n") +
                                "BA_ \"TransportProtocolType\" BO_ 1536 \"MUXTP#2:3:1:5\";\n");
  // Channel 2 also has an ISO-TP message: a tunnelled single frame of it is
  // reassembled on its way back through the transport layer.
  f.writeDbc("inner2.dbc", e2eDbc("CAN",
                                  "BO_ 291 Inner: 2 ECU\n"
                                  " SG_ V : 0|16@1+ (1,0) [0|0] \"\" ECU\n\n"
                                  "BO_ 2025 DiagInner: 5 ECU\n"
                                  " SG_ D : 0|16@1+ (1,0) [0|0] \"\" ECU\n"
                                  " SG_ E : 32|8@1+ (1,0) [0|0] \"\" ECU\n") +
                               "BA_ \"TransportProtocolType\" BO_ 2025 \"ISOTP\";\n");
  f.writeDbc("inner3.dbc", e2eDbc("CAN", "BO_ " + dbcId(0x18FF0080) +
                                             " ExtInner: 8 ECU\n"
                                             " SG_ W : 0|32@1+ (1,0) [0|0] \"\" ECU\n"
                                             " SG_ Z : 63|8@0+ (1,0) [0|0] \"\" ECU\n"));
  const Bytes tunnel = {
      0x01, 0x01, 0x23, 0x34, 0x12,                    // index 0, 0x123, DLC 2
      0x34, 0x18, 0xFF, 0x00, 0x80,                    // index 1, 0x18FF0080, DLC 8
      0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x00, 0x9C,  //
      0xA1, 0x01, 0x23, 0x11, 0x11,                    // index 5: skipped
      0x41, 0x01, 0x23, 0x22, 0x22,                    // index 2: the carrier's channel
      0x01, 0x01, 0x23, 0x02, 0x00,                    // index 0 again
      0x04, 0x07, 0xE9, 0x05, 0x11, 0x22, 0x33, 0x44,  // index 0, 0x7E9, DLC 8: ISO-TP
      0x55, 0xAA, 0xAA,                                // single frame of 5 bytes
      0x07,                                            // end of the list
      0x01, 0x01, 0x23, 0xFF, 0xFF,                    // after the end: never delivered
  };
  Frames fr(0.010);
  fr.addAll(0x600, isoTpSegments(tunnel));
  f.writeLog("in/m.mf4", e2eLogHeader("MX", 1, 1) + "group can can\n" + fr.text());
  E2eRun r = f.run({"--dbc-can1=carrier.dbc", "--dbc-can2=inner2.dbc", "--dbc-can3=inner3.dbc",
                    f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  E2eTree tree = f.csvTree();
  // Every tunnelled frame carries the time of the carrier's last frame.
  EXPECT_EQ(tree, (E2eTree{{"MX_out/CAN2_Inner" + kDay,
                            "t,V\n1700000000.017000,4660.000000\n"
                            "1700000000.017000,2.000000\n"},
                           {"MX_out/CAN2_DiagInner" + kDay,
                            "t,D,E\n1700000000.017000,8721.000000,85.000000\n"},
                           {"MX_out/CAN3_ExtInner" + kDay,
                            "t,W,Z\n1700000000.017000,305419896.000000,156.000000\n"}}))
      << e2eDescribe(tree) << r.logText();
  expectSessions(r, 2, 0, 0);
}

TEST(E2eTransport, CarrierWithoutAValidChannelMapIsStillReassembledButNotUnpacked) {
  E2eFolder f;
  f.writeDbc("carrier.dbc", e2eDbc("CAN",
                                   "BO_ 1536 Tunnel: 16 ECU\n"
                                   " SG_ T0 : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                   " SG_ T9 : 72|8@1+ (1,0) [0|0] \"\" ECU\n") +
                                "BA_ \"TransportProtocolType\" BO_ 1536 \"MUXTP#2:3:4\";\n");
  f.writeDbc("inner2.dbc", e2eDbc("CAN", "BO_ 291 Inner: 2 ECU\n"
                                         " SG_ V : 0|16@1+ (1,0) [0|0] \"\" ECU\n"));
  const Bytes tunnel = {0x01, 0x01, 0x23, 0x34, 0x12, 0x01, 0x01, 0x23, 0x02, 0x00};
  f.writeLog("in/m.mf4", e2eLogHeader("MX", 1, 1) + "group can can\n" +
                             Frames(0.010).addAll(0x600, isoTpSegments(tunnel)).text());
  E2eRun r = f.run({"--dbc-can1=carrier.dbc", "--dbc-can2=inner2.dbc", f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  EXPECT_EQ(r.count("E Failed to add MUX config"), 1u) << r.logText();
  // The carrier itself is decoded from the reassembled 10 bytes.
  E2eTree tree = f.csvTree();
  EXPECT_EQ(tree, (E2eTree{{"MX_out/CAN1_Tunnel" + kDay,
                            "t,T0,T9\n1700000000.011000,1.000000,0.000000\n"}}))
      << e2eDescribe(tree) << r.logText();
  expectSessions(r, 1, 0, 0);
}

}  // namespace
