// End to end: logged frames of every bus kind through the whole program into
// CSV files, compared as whole files with hand-computed text.
#include <gtest/gtest.h>

#include "support/e2e.h"

namespace {

// 1700000000 s = 2023-11-14 22:13:20 UTC.
const std::string kDay = "/2023/11/14/00000001_00000001.csv";

// Intel unsigned with scale, Intel signed with offset, Motorola 12 bits
// across a byte boundary; an extended-identifier message with a Motorola
// signal.
const std::string kEngineDbc = e2eDbc("CAN",
                                      "BO_ 256 Engine: 8 ECU\n"
                                      " SG_ Speed : 0|16@1+ (0.1,0) [0|0] \"km/h\" ECU\n"
                                      " SG_ Temp : 16|8@1- (1,-40) [0|0] \"C\" ECU\n"
                                      " SG_ Load : 31|12@0+ (0.5,0) [0|0] \"%\" ECU\n"
                                      "\n"
                                      "BO_ 2364539904 Ext: 8 ECU\n"
                                      " SG_ Word : 7|16@0+ (1,0) [0|0] \"\" ECU\n");

TEST(E2eFrames, ClassicCanIntelMotorolaAndExtendedIds) {
  E2eFolder f;
  f.writeDbc("can1-engine.dbc", kEngineDbc);
  f.writeLog("in/a.mf4", e2eLogHeader("AB12", 1, 1) +
                             "group can can\n"
                             "group rtr remote\n"
                             "group err error\n"
                             "frame can t=0.001 id=0x100 data=1027D8ABC0000000\n"
                             "frame rtr t=0.002 id=0x100 dlc=8\n"
                             "frame can t=0.25 id=0x0CF00400 ide=1 data=1234\n"
                             "frame err t=0.3 type=1\n"
                             "frame can t=0.4 id=0x101 data=FFFFFFFFFFFFFFFF\n"
                             "frame can t=0.4 ch=2 id=0x100 data=FFFFFFFFFFFFFFFF\n"
                             "frame can t=0.5 id=0x100 data=0000280010000000\n");
  E2eRun r = f.run({f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  EXPECT_EQ(f.csvTree("in"), (E2eTree{}));
  E2eTree tree = f.csvTree();
  EXPECT_EQ(tree, (E2eTree{
                      {"AB12_out/CAN1_Engine" + kDay,
                       "t,Speed,Temp,Load\n"
                       "1700000000.001000,1000.000000,-80.000000,1374.000000\n"
                       "1700000000.500000,0.000000,0.000000,0.500000\n"},
                      {"AB12_out/CAN1_Ext" + kDay, "t,Word\n1700000000.250000,4660.000000\n"},
                  }))
      << e2eDescribe(tree);
  EXPECT_EQ(r.statistic("Reader statistics", "Messages"), 7);
  EXPECT_EQ(r.statistic("Writer statistics", "Files"), 2);
  EXPECT_EQ(r.statistic("Writer statistics", "Messages"), 3);
  EXPECT_EQ(r.statistic("Writer statistics", "Signals"), 7);
}

// 64 data bytes: `first` at byte 0, 0x12 0x34 at bytes 12-13, `tail`
// little-endian at bytes 60-63, the rest 0xEE.
std::string fdPayload(int first, uint32_t tail) {
  std::string bytes(64, '\xEE');
  bytes[0] = static_cast<char>(first);
  bytes[12] = 0x12;
  bytes[13] = 0x34;
  for (int i = 0; i < 4; ++i) bytes[60 + i] = static_cast<char>(tail >> (8 * i));
  static const char* kHex = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += kHex[c >> 4];
    hex += kHex[c & 15];
  }
  return hex;
}

TEST(E2eFrames, CanFdFramesOfEveryStorageKind) {
  E2eFolder f;
  f.writeDbc("can1-fd.dbc", e2eDbc("CAN",
                                   "BO_ 768 Fd: 64 ECU\n"
                                   " SG_ First : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                   " SG_ Mid : 103|16@0+ (1,0) [0|0] \"\" ECU\n"
                                   " SG_ Tail : 480|32@1+ (1,0) [0|0] \"\" ECU\n"));
  // Fixed 64-byte records, bytes in a VLSD channel group, bytes in a
  // signal-data block: three data groups merged in time order.
  f.writeLog("in/fd.mf4", e2eLogHeader("FD1", 7, 1) +
                              "datagroup\ngroup fixed canfd\n"
                              "datagroup\ngroup vlsd canfd_vlsd\n"
                              "datagroup\ngroup sd canfd_sd\n"
                              "frame sd t=0.3 id=0x300 brs=1 data=" + fdPayload(3, 0xFFFFFFFF) +
                              "\nframe fixed t=0.1 id=0x300 brs=1 data=" + fdPayload(1, 0x12345678) +
                              "\nframe vlsd t=0.2 id=0x300 data=" + fdPayload(2, 1) + "\n");
  E2eRun r = f.run({f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  E2eTree tree = f.csvTree();
  EXPECT_EQ(tree, (E2eTree{{"FD1_out/CAN1_Fd/2023/11/14/00000007_00000001.csv",
                            "t,First,Mid,Tail\n"
                            "1700000000.100000,1.000000,4660.000000,305419896.000000\n"
                            "1700000000.200000,2.000000,4660.000000,1.000000\n"
                            "1700000000.300000,3.000000,4660.000000,4294967295.000000\n"}}))
      << e2eDescribe(tree);
}

TEST(E2eFrames, LinAndCanFramesUseTheDatabasesOfTheirBus) {
  E2eFolder f;
  // A CAN database for channel 1 that knows identifier 0x21 too.
  f.writeDbc("can1-body.dbc", e2eDbc("CAN",
                                     "BO_ 33 CanBody: 3 ECU\n"
                                     " SG_ First : 0|8@1+ (1,0) [0|0] \"\" ECU\n"));
  f.writeDbc("lin1-body.dbc", e2eDbc("LIN",
                                     "BO_ 33 Body: 3 ECU\n"
                                     " SG_ Pos : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                     " SG_ Angle : 8|16@1- (0.5,0) [0|0] \"\" ECU\n"));
  f.writeLog("in/lin.mf4", e2eLogHeader("L1", 2, 1) +
                               "group lin lin\n"
                               "group cs lin_checksum_error\n"
                               "group can can\n"
                               "frame lin t=1 id=0x21 data=0A38FF\n"
                               "frame cs t=1.5 id=0x21 data=0B38FF\n"
                               "frame can t=1.6 id=0x21 data=0C38FF\n"
                               "frame lin t=2 ch=2 id=0x21 data=0D38FF\n"
                               "frame lin t=3 id=0x21 data=FF0100\n");
  E2eRun r = f.run({f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  E2eTree tree = f.csvTree();
  EXPECT_EQ(tree, (E2eTree{{"L1_out/LIN1_Body/2023/11/14/00000002_00000001.csv",
                            "t,Pos,Angle\n"
                            "1700000001.000000,10.000000,-100.000000\n"
                            "1700000003.000000,255.000000,0.500000\n"},
                           {"L1_out/CAN1_CanBody/2023/11/14/00000002_00000001.csv",
                            "t,First\n1700000001.600000,12.000000\n"}}))
      << e2eDescribe(tree);
}

TEST(E2eFrames, MultiplexedMessageGetsOneFilePerMultiplexorValue) {
  E2eFolder f;
  f.writeDbc("can1-mux.dbc", e2eDbc("CAN",
                                    "BO_ 512 Mux: 8 ECU\n"
                                    " SG_ Sel M : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                    " SG_ A m1 : 8|8@1+ (1,0) [0|0] \"\" ECU\n"
                                    " SG_ B m2 : 8|16@1+ (0.01,0) [0|0] \"\" ECU\n"
                                    " SG_ C m16 : 8|8@1- (1,0) [0|0] \"\" ECU\n"
                                    " SG_ Common : 56|8@1+ (1,0) [0|0] \"\" ECU\n"
                                    "\nSG_MUL_VAL_ 512 C Sel 16-31;\n"));
  f.writeLog("in/m.mf4", e2eLogHeader("MX", 1, 1) +
                             "group c can\n"
                             "frame c t=1 id=0x200 data=012A000000000007\n"
                             "frame c t=2 id=0x200 data=0210270000000008\n"
                             "frame c t=3 id=0x200 data=05FF000000000009\n"
                             "frame c t=4 id=0x200 data=1AFE00000000000A\n"
                             "frame c t=5 id=0x200 data=0101000000000000\n"
                             "frame c t=6 id=0x200 data=1F7F00000000000B\n");
  E2eRun r = f.run({f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  const std::string day = "/2023/11/14/00000001_00000001.csv";
  E2eTree tree = f.csvTree();
  EXPECT_EQ(tree, (E2eTree{
                      {"MX_out/CAN1_Mux_Sel_M01" + day,
                       "t,Sel,A,Common\n1700000001.000000,1.000000,42.000000,7.000000\n"
                       "1700000005.000000,1.000000,1.000000,0.000000\n"},
                      {"MX_out/CAN1_Mux_Sel_M02" + day,
                       "t,Sel,B,Common\n1700000002.000000,2.000000,100.000000,8.000000\n"},
                      // 0x1A and 0x1F both lie in the range starting at 0x10.
                      {"MX_out/CAN1_Mux_Sel_M10" + day,
                       "t,Sel,C,Common\n1700000004.000000,26.000000,-2.000000,10.000000\n"
                       "1700000006.000000,31.000000,127.000000,11.000000\n"},
                      // No range holds 5: the multiplexor and the plain signal only.
                      {"MX_out/CAN1_Mux" + day, "t,Sel,Common\n1700000003.000000,5.000000,9.000000\n"},
                  }))
      << e2eDescribe(tree);
}

TEST(E2eFrames, LimitsReplaceValuesAndDropRowsWithoutAnyValue) {
  E2eFolder f;
  f.writeDbc("can1-lim.dbc", e2eDbc("CAN",
                                    "BO_ 272 Lim: 2 ECU\n"
                                    " SG_ A : 0|8@1+ (1,0) [10|20] \"\" ECU\n"
                                    " SG_ B : 8|8@1+ (1,0) [0|0] \"\" ECU\n"
                                    "BO_ 273 Only: 1 ECU\n"
                                    " SG_ C : 0|8@1- (1,0) [-5|5] \"\" ECU\n"
                                    "BO_ 274 Never: 1 ECU\n"
                                    " SG_ D : 0|8@1+ (1,0) [1|2] \"\" ECU\n"));
  f.writeLog("in/l.mf4", e2eLogHeader("LM", 1, 1) +
                             "group c can\n"
                             "frame c t=1 id=0x110 data=0F03\n"   // both in range
                             "frame c t=2 id=0x110 data=1900\n"   // A too large, B unlimited
                             "frame c t=3 id=0x110 data=0AFF\n"   // A at its minimum
                             "frame c t=4 id=0x110 data=0900\n"   // A too small
                             "frame c t=5 id=0x111 data=06\n"     // C too large: no row
                             "frame c t=6 id=0x111 data=FB\n"     // C = -5
                             "frame c t=7 id=0x111 data=FA\n"     // C = -6: no row
                             "frame c t=8 id=0x112 data=00\n"     // D out of range: no file
                             "frame c t=9 id=0x112 data=03\n");
  E2eRun r = f.run({f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  const std::string day = "/2023/11/14/00000001_00000001.csv";
  E2eTree tree = f.csvTree();
  EXPECT_EQ(tree, (E2eTree{
                      {"LM_out/CAN1_Lim" + day,
                       "t,A,B\n1700000001.000000,15.000000,3.000000\n"
                       "1700000002.000000,NaN,0.000000\n"
                       "1700000003.000000,10.000000,255.000000\n"
                       "1700000004.000000,NaN,0.000000\n"},
                      {"LM_out/CAN1_Only" + day, "t,C\n1700000006.000000,-5.000000\n"},
                  }))
      << e2eDescribe(tree);
  EXPECT_EQ(r.statistic("Writer statistics", "Files"), 2);
  EXPECT_EQ(r.statistic("Writer statistics", "Messages"), 5);
  EXPECT_EQ(r.statistic("Writer statistics", "Signals"), 7);
}

TEST(E2eFrames, TwoDatabasesOnOneChannelBothDecode) {
  E2eFolder f;
  // Alpha / Beta: two names for one identifier.  Same: one definition in
  // both files (one file, two rows per frame).  Delta: one name with other
  // signals (a second file beside the first).
  f.writeDbc("dbc/a.dbc", e2eDbc("CAN",
                                 "BO_ 256 Alpha: 2 ECU\n SG_ Lo : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                 "BO_ 257 Same: 1 ECU\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                 "BO_ 258 Delta: 2 ECU\n SG_ X : 0|8@1+ (1,0) [0|0] \"\" ECU\n"));
  f.writeDbc("dbc/b.dbc", e2eDbc("CAN",
                                 "BO_ 256 Beta: 2 ECU\n SG_ Word : 0|16@1+ (1,0) [0|0] \"\" ECU\n"
                                 "BO_ 257 Same: 1 ECU\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                 "BO_ 258 Delta: 2 ECU\n SG_ Y : 8|8@1+ (1,0) [0|0] \"\" ECU\n"));
  f.writeLog("in/two.mf4", e2eLogHeader("TW", 3, 4) +
                               "group c can\n"
                               "frame c t=1 id=0x100 data=0201\n"
                               "frame c t=2 id=0x101 data=05\n"
                               "frame c t=3 id=0x102 data=0708\n");
  E2eRun r = f.run({"--dbc-can1=dbc/b.dbc", "--dbc-can1=dbc/a.dbc", f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  const std::string day = "/2023/11/14/00000003_00000004";
  E2eTree tree = f.csvTree();
  EXPECT_EQ(tree, (E2eTree{
                      {"TW_out/CAN1_Alpha" + day + ".csv", "t,Lo\n1700000001.000000,2.000000\n"},
                      {"TW_out/CAN1_Beta" + day + ".csv", "t,Word\n1700000001.000000,258.000000\n"},
                      {"TW_out/CAN1_Same" + day + ".csv",
                       "t,S\n1700000002.000000,5.000000\n1700000002.000000,5.000000\n"},
                      // b.dbc was given first: its Delta gets the plain name.
                      {"TW_out/CAN1_Delta" + day + ".csv", "t,Y\n1700000003.000000,8.000000\n"},
                      {"TW_out/CAN1_Delta" + day + "_2.csv", "t,X\n1700000003.000000,7.000000\n"},
                  }))
      << e2eDescribe(tree);
}

TEST(E2eFrames, ShippedExampleConverts) {
  const std::string examples = LOGRAVEN_SOURCE_DIR "/examples/";
  const std::string dbc = readFile(examples + "can1-example.dbc");
  const std::string description = readFile(examples + "example.log.txt");
  ASSERT_FALSE(dbc.empty());
  ASSERT_FALSE(description.empty());
  E2eFolder f;
  f.writeDbc("can1-example.dbc", dbc);
  f.writeLog("card/00000001.MF4", description);
  E2eRun r = f.run({f / "card"});
  ASSERT_EQ(r.status, 0) << r.logText();
  E2eTree tree = f.csvTree();
  const std::string base = "1A2B3C4D_out/CAN1_";
  const std::string day = "/2024/03/05/00000001_00000001.csv";
  ASSERT_EQ(tree.size(), 4u) << e2eDescribe(tree);
  auto head = [&tree](const std::string& path, const std::string& expected) {
    EXPECT_EQ(tree[path].substr(0, expected.size()), expected) << path;
  };
  head(base + "EngineData" + day,
            "t,EngineSpeed,CoolantTemp,ThrottlePos\n"
            "1709640000.000000,800.000000,60.000000,4.800000\n"
            "1709640000.100000,950.000000,60.000000,6.800000\n");
  // Motorola: 0x00FA = 250 * 0.01; 0x12D688 = 1234568 * 0.1.
  head(base + "VehicleSpeed" + day,
            "t,Speed,Odometer\n1709640000.120000,2.500000,123456.800000\n");
  EXPECT_EQ(tree[base + "BatteryStatus_Page_M01" + day],
            "t,Page,PackCurrent,BatteryTemp\n"
            "1709640000.650000,1.000000,-18.500000,26.000000\n"
            "1709640001.450000,1.000000,-26.500000,28.000000\n");
  head(base + "BatteryStatus_Page_M00" + day,
            "t,Page,PackVoltage,BatteryTemp\n"
            "1709640000.250000,0.000000,396.300000,25.000000\n");
}

}  // namespace
