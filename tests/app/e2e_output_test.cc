// End to end: CSV files are never truncated or mixed — a path reached again
// in one run appends, different signal sets on one path get their own files,
// and many signal sets at once lose no rows.
#include <gtest/gtest.h>

#include <cstdio>

#include "support/e2e.h"

namespace {

const std::string kDbc = e2eDbc("CAN",
                                 "BO_ 256 M: 8 ECU\n"
                                 " SG_ V : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                 " SG_ Far : 48|16@1+ (1,0) [0|0] \"\" ECU\n");

TEST(E2eOutput, SerialNumbersThatShareAFolderAppendToOneFile) {
  E2eFolder f;
  f.writeDbc("can1-m.dbc", kDbc);
  // "AB-12" and "AB12" both become the device folder AB12.
  f.writeLog("in/a.mf4", e2eLogHeader("AB-12", 1, 1) +
                             "group c can\nframe c t=1 id=0x100 data=0100000000000200\n");
  f.writeLog("in/b.mf4", e2eLogHeader("AB12", 1, 1) +
                             "group c can\nframe c t=2 id=0x100 data=0300000000000400\n");
  E2eRun r = f.run({f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  E2eTree tree = f.csvTree();
  EXPECT_EQ(tree, (E2eTree{{"AB12_out/CAN1_M/2023/11/14/00000001_00000001.csv",
                            "t,V,Far\n1700000001.000000,1.000000,2.000000\n"
                            "1700000002.000000,3.000000,4.000000\n"}}))
      << e2eDescribe(tree);
}

TEST(E2eOutput, ClockJumpingBackOverMidnightAppendsToTheEarlierDay) {
  E2eFolder f;
  f.writeDbc("can1-m.dbc", kDbc);
  // Starts at 2023-11-14 23:59:59 UTC; the records of one group keep their
  // order, so the clock goes back from the new day to the old one.
  f.writeLog("in/a.mf4", e2eLogHeader("CK", 1, 1, 1700006399000000000ULL) +
                             "group a can\n"
                             "frame a t=0.5 id=0x100 data=0100000000000000\n"
                             "frame a t=1.5 id=0x100 data=0200000000000000\n"
                             "frame a t=0.75 id=0x100 data=0300000000000000\n");
  E2eRun r = f.run({f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  E2eTree tree = f.csvTree();
  const std::string dir = "CK_out/CAN1_M/2023/11/";
  ASSERT_EQ(tree.size(), 2u) << e2eDescribe(tree);
  // The earlier day's file is appended to, not truncated: one header, both
  // rows.
  EXPECT_EQ(tree[dir + "14/00000001_00000001.csv"],
            "t,V,Far\n1700006399.500000,1.000000,0.000000\n1700006399.750000,3.000000,0.000000\n");
  EXPECT_EQ(tree[dir + "15/00000001_00000001.csv"], "t,V,Far\n1700006400.500000,2.000000,0.000000\n");
}

TEST(E2eOutput, ShortFrameOfAMessageGetsAFileOfItsOwn) {
  E2eFolder f;
  f.writeDbc("can1-m.dbc", kDbc);
  f.writeLog("in/a.mf4", e2eLogHeader("SH", 1, 1) +
                             "group c can\n"
                             "frame c t=1 id=0x100 data=0100000000000200\n"
                             "frame c t=2 id=0x100 data=05\n"
                             "frame c t=3 id=0x100 data=0300000000000400\n");
  E2eRun r = f.run({f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  E2eTree tree = f.csvTree();
  const std::string base = "SH_out/CAN1_M/2023/11/14/00000001_00000001";
  ASSERT_EQ(tree.size(), 2u) << e2eDescribe(tree);
  EXPECT_EQ(tree[base + ".csv"],
            "t,V,Far\n1700000001.000000,1.000000,2.000000\n1700000003.000000,3.000000,4.000000\n");
  // The one-byte frame decodes V only: another signal set, another file.
  EXPECT_EQ(tree[base + "_2.csv"].substr(0, 4), "t,V\n") << tree[base + "_2.csv"];
}

TEST(E2eOutput, ManySignalSetsAtOnceLoseNoRows) {
  // 256 J1939 source addresses x 2 multiplexor values: 512 files, written
  // in turn twice, more than the files kept open at once.
  E2eFolder f;
  f.writeDbc("can1-j.dbc", e2eDbc("J1939",
                                  "BO_ 2566848256 Many: 8 ECU\n"
                                  " SG_ Sel M : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                  " SG_ A m0 : 8|8@1+ (1,0) [0|0] \"\" ECU\n"
                                  " SG_ B m1 : 8|8@1+ (1,0) [0|0] \"\" ECU\n"
                                  " SG_ C m2 : 8|8@1+ (1,0) [0|0] \"\" ECU\n"));
  std::string log = e2eLogHeader("MANY", 1, 1) + "group c can\n";
  E2eTree expected;
  const char* names[] = {"A", "B", "C"};
  int n = 0;
  for (int round = 0; round < 2; ++round) {
    for (int sa = 0; sa < 256; ++sa) {
      for (int sel = 0; sel < 2; ++sel, ++n) {
        char line[96];
        std::snprintf(line, sizeof line, "frame c t=%d.%06d id=0x18FEFF%02X ide=1 data=%02X%02X\n",
                      n / 1000, (n % 1000) * 1000, sa, sel, (sa + round) & 0xFF);
        log += line;
        char path[96];
        std::snprintf(path, sizeof path, "MANY_out/CAN1_Many_Sel_M%02X_S%02X", sel, sa);
        std::string& text = expected[std::string(path) + "/2023/11/14/00000001_00000001.csv"];
        if (text.empty()) text = std::string("t,Sel,") + names[sel] + "\n";
        char row[96];
        std::snprintf(row, sizeof row, "%d.%06d,%d.000000,%d.000000\n", 1700000000 + n / 1000,
                      (n % 1000) * 1000, sel, (sa + round) & 0xFF);
        text += row;
      }
    }
  }
  f.writeLog("in/a.mf4", log);
  E2eRun r = f.run({f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  EXPECT_EQ(r.statistic("Writer statistics", "Files"), 512);
  EXPECT_EQ(r.statistic("Writer statistics", "Messages"), 1024);
  E2eTree tree = f.csvTree();
  ASSERT_EQ(tree.size(), expected.size());
  EXPECT_TRUE(tree == expected);
  for (const auto& [path, text] : expected) {
    auto it = tree.find(path);
    ASSERT_NE(it, tree.end()) << path;
    ASSERT_EQ(it->second, text) << path;
  }
}

}  // namespace
