// End to end: logged frames of every bus kind through the whole program into
// CSV files, compared as whole files with hand-computed text.
#include <gtest/gtest.h>

#include "app/e2e_support.h"

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

}  // namespace
