// End to end: logged frames of every bus kind (classic CAN, CAN FD in each
// storage kind, LIN, multiplexed messages, J1939 addresses with their merge
// options) through the whole program into CSV files compared with
// hand-computed text, under every way of reading the file; time-zone offsets
// of the header; the shipped example.
#include <gtest/gtest.h>

#include "support/e2e.h"

namespace {

const std::string kDay = "/2023/11/14/00000001_00000001.csv";  // 1700000000 s: 22:13:20 UTC

// Intel with scale, signed with offset, Motorola across a byte boundary;
// 64-byte CAN FD; multiplexed with a range 16-31; LIN and CAN on one id.
const std::string kCanDbc = e2eDbc("CAN", "BO_ 256 Engine: 8 ECU\n"
                                   " SG_ Speed : 0|16@1+ (0.1,0) [0|0] \"km/h\" ECU\n"
                                   " SG_ Temp : 16|8@1- (1,-40) [0|0] \"C\" ECU\n"
                                   " SG_ Load : 31|12@0+ (0.5,0) [0|0] \"%\" ECU\n"
                                   "BO_ 2364539904 Ext: 8 ECU\n SG_ Word : 7|16@0+ (1,0) [0|0] \"\" ECU\n"
                                   "BO_ 768 Fd: 64 ECU\n"
                                   " SG_ First : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                   " SG_ Mid : 103|16@0+ (1,0) [0|0] \"\" ECU\n"
                                   " SG_ Tail : 480|32@1+ (1,0) [0|0] \"\" ECU\n"
                                   "BO_ 512 Mux: 8 ECU\n"
                                   " SG_ Sel M : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                   " SG_ A m1 : 8|8@1+ (1,0) [0|0] \"\" ECU\n"
                                   " SG_ C m16 : 8|8@1- (1,0) [0|0] \"\" ECU\n"
                                   " SG_ Common : 56|8@1+ (1,0) [0|0] \"\" ECU\n"
                                   "BO_ 33 CanBody: 3 ECU\n SG_ First : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                   "\nSG_MUL_VAL_ 512 C Sel 16-31;\n");
// PDU2 (source address only), PDU1 (source and destination), a standard id.
const std::string kJ1939Dbc = e2eDbc("J1939",
                                     "BO_ 2364539904 EEC1: 8 ECU\n"
                                     " SG_ EngineSpeed : 24|16@1+ (0.125,0) [0|8031.875] \"rpm\" ECU\n"
                                     "BO_ 2565799936 PropA: 8 ECU\n SG_ P : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                     "BO_ 291 Std: 1 ECU\n SG_ Q : 0|8@1+ (1,0) [0|0] \"\" ECU\n");
const std::string kLinDbc = e2eDbc("LIN", "BO_ 33 Body: 3 ECU\n"
                                   " SG_ Pos : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                   " SG_ Angle : 8|16@1- (0.5,0) [0|0] \"\" ECU\n");

// 64 data bytes: `first`, 0x12 0x34 at bytes 12-13, `tail` at bytes 60-63, the rest 0xEE.
std::string fd(const std::string& first, const std::string& tail) {
  return first + std::string(22, 'E') + "1234" + std::string(92, 'E') + tail;
}

const std::string kFrames =
    "group can can\ngroup rtr remote\ngroup err error\ngroup lin lin\ngroup cs lin_checksum_error\n"
    "datagroup\ngroup fixed canfd\ndatagroup\ngroup vlsd canfd_vlsd\ndatagroup sorted\ngroup sd canfd_sd\n"
    "frame can t=0.001 id=0x100 data=1027D8ABC0000000\n"
    "frame rtr t=0.002 id=0x100 dlc=8\n"
    "frame can t=0.25 id=0x0CF00400 ide=1 data=1234\n"
    "frame err t=0.3 type=1\n"
    "frame can t=0.4 id=0x101 data=FFFFFFFFFFFFFFFF\n"
    "frame can t=0.4 ch=2 id=0x100 data=FFFFFFFFFFFFFFFF\n"
    "frame can t=0.5 id=0x100 data=0000280010000000\n"
    "frame sd t=0.3 id=0x300 brs=1 data=" + fd("03", "FFFFFFFF") + "\n"
    "frame fixed t=0.1 id=0x300 brs=1 data=" + fd("01", "78563412") + "\n"
    "frame vlsd t=0.2 id=0x300 data=" + fd("02", "01000000") + "\n"
    "frame can t=1 id=0x200 data=012A000000000007\n"
    "frame can t=3 id=0x200 data=05FF000000000009\n"
    "frame can t=4 id=0x200 data=1AFE00000000000A\n"
    "frame can t=5 id=0x200 data=0101000000000000\n"
    "frame can t=6 id=0x200 data=1F7F00000000000B\n"
    "frame lin t=1 id=0x21 data=0A38FF\n"
    "frame cs t=1.5 id=0x21 data=0B38FF\n"
    "frame can t=1.6 id=0x21 data=0C38FF\n"
    "frame lin t=2 ch=2 id=0x21 data=0D38FF\n"
    "frame lin t=3 id=0x21 data=FF0100\n"
    "frame can t=7 ch=3 id=0x0CF00400 ide=1 data=FFFFFF2003FFFFFF\n"
    "frame can t=8 ch=3 id=0x0CF00417 ide=1 data=FFFFFF4006FFFFFF\n"
    "frame can t=9 ch=3 id=0x18EF2117 ide=1 data=05\n"
    "frame can t=10 ch=3 id=0x18EF2217 ide=1 data=06\n"
    "frame can t=11 ch=3 id=0x18EF2100 ide=1 data=07\n"
    "frame can t=12 ch=3 id=0x123 data=08\n";

TEST(E2eFrames, EveryBusKindGivesTheSameRowsHoweverTheFileIsRead) {
  E2eTree expected = {
      {"AB12_out/CAN1_Engine" + kDay, "t,Speed,Temp,Load\n"
                                      "1700000000.001000,1000.000000,-80.000000,1374.000000\n"
                                      "1700000000.500000,0.000000,0.000000,0.500000\n"},
      // The same database on channel 2: a file of its own.
      {"AB12_out/CAN2_Engine" + kDay, "t,Speed,Temp,Load\n1700000000.400000,6553.500000,-41.000000,2047.500000\n"},
      {"AB12_out/CAN1_Ext" + kDay, "t,Word\n1700000000.250000,4660.000000\n"},
      {"AB12_out/CAN1_Fd" + kDay, "t,First,Mid,Tail\n"
                                  "1700000000.100000,1.000000,4660.000000,305419896.000000\n"
                                  "1700000000.200000,2.000000,4660.000000,1.000000\n"
                                  "1700000000.300000,3.000000,4660.000000,4294967295.000000\n"},
      {"AB12_out/CAN1_Mux_Sel_M01" + kDay, "t,Sel,A,Common\n1700000001.000000,1.000000,42.000000,7.000000\n"
                                           "1700000005.000000,1.000000,1.000000,0.000000\n"},
      // 0x1A and 0x1F lie in the range from 0x10; no range holds 5.
      {"AB12_out/CAN1_Mux_Sel_M10" + kDay, "t,Sel,C,Common\n1700000004.000000,26.000000,-2.000000,10.000000\n"
                                           "1700000006.000000,31.000000,127.000000,11.000000\n"},
      {"AB12_out/CAN1_Mux" + kDay, "t,Sel,Common\n1700000003.000000,5.000000,9.000000\n"},
      {"AB12_out/LIN1_Body" + kDay, "t,Pos,Angle\n1700000001.000000,10.000000,-100.000000\n"
                                    "1700000003.000000,255.000000,0.500000\n"},
      {"AB12_out/CAN1_CanBody" + kDay, "t,First\n1700000001.600000,12.000000\n"},
      {"AB12_out/CAN3_Std" + kDay, "t,Q\n1700000012.000000,8.000000\n"},
  };
  // J1939 by default: sources apart, destinations merged.
  const E2eTree apart = {
      {"AB12_out/CAN3_EEC1_S00" + kDay, "t,EngineSpeed\n1700000007.000000,100.000000\n"},
      {"AB12_out/CAN3_EEC1_S17" + kDay, "t,EngineSpeed\n1700000008.000000,200.000000\n"},
      {"AB12_out/CAN3_PropA_S17" + kDay, "t,P\n1700000009.000000,5.000000\n1700000010.000000,6.000000\n"},
      {"AB12_out/CAN3_PropA_S00" + kDay, "t,P\n1700000011.000000,7.000000\n"}};
  const E2eTree merged = {
      {"AB12_out/CAN3_EEC1" + kDay, "t,EngineSpeed\n1700000007.000000,100.000000\n1700000008.000000,200.000000\n"},
      {"AB12_out/CAN3_PropA_D21" + kDay, "t,P\n1700000009.000000,5.000000\n1700000011.000000,7.000000\n"},
      {"AB12_out/CAN3_PropA_D22" + kDay, "t,P\n1700000010.000000,6.000000\n"}};
  const struct {
    std::vector<std::string> options;
    std::string extra;  // description lines
    bool merge = false;
  } cases[] = {
      {{}, ""}, {{"-b", "0"}, ""}, {{"--buffer=1"}, ""}, {{"-b", "33"}, "compress\ncompress window=10 lookahead=4\n"},
      {{"--buffer", "1048576"}, ""}, {{"--non-interactive", "-i"}, ""},
      // A logger that did not finish its file: read up to the end.
      {{}, "unfinished\n"}, {{"-b", "7"}, "unfinished dtlength=0\n"},
      {{"--pgn-src-merge", "--no-pgn-dst-merge"}, "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.options) + " " + c.extra);
    E2eFolder f;
    f.writeDbc("can1-all.dbc", kCanDbc);
    f.writeDbc("can2-all.dbc", kCanDbc);
    f.writeDbc("can3-j1939.dbc", kJ1939Dbc);
    f.writeDbc("lin1-body.dbc", kLinDbc);
    f.writeLog("in/a.mf4", e2eLogHeader("AB12", 1, 1) + c.extra + kFrames);
    E2eRun r = f.runWith(c.options, {f / "in"});
    ASSERT_EQ(r.status, 0) << r.logText();
    E2eTree tree = f.csvTree(), all = expected;
    all.insert((c.merge ? merged : apart).begin(), (c.merge ? merged : apart).end());
    EXPECT_EQ(tree, all) << e2eDescribe(tree);
    EXPECT_EQ(r.statistic("Reader statistics", "Messages"), 25);  // LIN errors yield none
    EXPECT_NE(r.out.find("- LIN1: 2 frames read, 2 decoded\n"), std::string::npos) << r.out;
  }
}

TEST(E2eFrames, TimeZoneOffsetsOfTheHeaderShiftTimeStampsAndDates) {
  E2eFolder f;
  f.writeDbc("can1-all.dbc", kCanDbc);
  // 22:13:20 UTC plus 60 + 60 minutes: 00:13:20 of the next day.
  f.writeLog("in/a.mf4", e2eLogHeader("TZ", 1, 1) + "tz_offset 60\ndst_offset 60\n" +
                             "group c can\nframe c t=0.5 id=0x21 data=05\n");
  E2eRun r = f.run({f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  EXPECT_EQ(f.csvTree(), (E2eTree{{"TZ_out/CAN1_CanBody/2023/11/15/00000001_00000001.csv",
                                   "t,First\n1700007200.500000,5.000000\n"}}));
}

TEST(E2eFrames, ShippedExampleConverts) {
  E2eFolder f;
  f.writeDbc("can1-example.dbc", readFile(LOGRAVEN_SOURCE_DIR "/examples/can1-example.dbc"));
  f.writeLog("card/00000001.MF4", readFile(LOGRAVEN_SOURCE_DIR "/examples/example.log.txt"));
  E2eRun r = f.run({f / "card"});
  ASSERT_EQ(r.status, 0) << r.logText();
  E2eTree tree = f.csvTree();
  ASSERT_EQ(tree.size(), 4u) << e2eDescribe(tree);
  const std::string base = "1A2B3C4D_out/CAN1_", day = "/2024/03/05/00000001_00000001.csv";
  // Motorola: 0x00FA = 250 * 0.01; 0x12D688 = 1234568 * 0.1.
  EXPECT_TRUE(tree[base + "VehicleSpeed" + day].starts_with(
      "t,Speed,Odometer\n1709640000.120000,2.500000,123456.800000\n"));
  EXPECT_EQ(tree[base + "BatteryStatus_Page_M01" + day],
            "t,Page,PackCurrent,BatteryTemp\n1709640000.650000,1.000000,-18.500000,26.000000\n"
            "1709640001.450000,1.000000,-26.500000,28.000000\n");
}

}  // namespace
