// End to end: splits of a session concatenated or not, a device folder shared
// by two serial numbers, and where the output goes.
#include <gtest/gtest.h>

#include "support/e2e.h"

namespace {

TEST(E2eSession, SplitsConcatenateUnlessDisabledAndGoWhereTheOptionsSay) {
  const std::string day = "/CAN1_M/2023/11/14/00000001_0000000";
  const E2eTree concatenated = {
      {day + "1.csv", "t,V\n1700000010.500000,1.000000\n1700000020.500000,2.000000\n1700000030.500000,3.000000\n"},
      {day + "5.csv", "t,V\n1700000050.500000,5.000000\n1700000070.500000,7.000000\n1700000060.500000,6.000000\n"},
      {day + "6.csv", "t,V\n1700000040.500000,4.000000\n"}};
  const E2eTree apart = {{day + "1.csv", "t,V\n1700000010.500000,1.000000\n"},
                         {day + "2.csv", "t,V\n1700000020.500000,2.000000\n"},
                         {day + "3.csv", "t,V\n1700000030.500000,3.000000\n"},
                         {day + "5.csv", "t,V\n1700000050.500000,5.000000\n1700000060.500000,6.000000\n"},
                         {day + "6.csv", "t,V\n1700000040.500000,4.000000\n1700000070.500000,7.000000\n"}};
  const struct {
    std::vector<std::string> options;
    std::string device;  // where the device folder is expected
    bool concat;
  } cases[] = {
      {{}, "CC_out", true},
      {{"--no-concat", "-O", "out"}, "out/CC_out", false},  // relative to the working directory
      {{"-X", "--output-directory=out/deeper"}, "out/deeper/CC", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.options));
    E2eFolder f;
    f.writeDbc("can1-m.dbc", e2eDbc("CAN", "BO_ 256 M: 2 ECU\n SG_ V : 0|16@1+ (1,0) [0|0] \"\" ECU\n"));
    f.mkdir("out/deeper");
    // Splits 1, 2, 3, 5 and 6 of session 1, each with one frame of value n
    // at 10 n s; split 5 does not follow split 3.  Serial "C-C" is another
    // logger of the same device folder: its splits 6 and 5 write the same
    // files, and split 6 written before is not an earlier run's to replace.
    const struct { const char* name; const char* serial; unsigned split, n; } files[] = {
        {"s1", "CC", 1, 1}, {"s2", "CC", 2, 2}, {"s3", "CC", 3, 3}, {"s4", "C-C", 6, 4},
        {"s5", "CC", 5, 5}, {"s5b", "CC", 6, 7}, {"s6", "C-C", 5, 6}};
    for (const auto& [name, serial, split, n] : files)
      f.writeLog("in/" + std::string(name) + ".mf4", e2eLogHeader(serial, 1, split, 1700000000000000000ULL + n * 10000000000ULL) +
                                                        "group c can\nframe c t=0.5 id=0x100 data=0" + std::to_string(n) + "00\n");
    E2eRun r = f.runWith(c.options, {f / "in"});
    ASSERT_EQ(r.status, 0) << r.logText();
    E2eTree expected;
    for (const auto& [path, text] : c.concat ? concatenated : apart) expected[c.device + path] = text;
    E2eTree tree = f.csvTree();
    EXPECT_EQ(tree, expected) << e2eDescribe(tree);
    EXPECT_EQ(f.runWith(c.options, {f / "in"}).status, 0);
    EXPECT_EQ(f.csvTree(), expected) << "again, over the files of the first run";
  }
}

}  // namespace
