#include "app/driver.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/argv.h"
#include "support/log_capture.h"
#include "support/e2e.h"
#include "support/temp_dir.h"

namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

const std::string kRule(79, '-');

std::string statisticsBlock(uint64_t files, uint64_t messages, uint64_t megabytes,
                            uint64_t writerFiles, uint64_t rows, uint64_t signals) {
  return kRule + "\nReader statistics\n- Files: " + std::to_string(files) +
         "\n- Messages: " + std::to_string(messages) + "\n- Size: " + std::to_string(megabytes) +
         " MB\n" + kRule +
         "\nTransport protocol statistics\n- Successful sessions: 0\n- Failed sessions: 0\n"
         "- Unfinished sessions: 0\n" +
         kRule + "\nWriter statistics\n- Files: " + std::to_string(writerFiles) +
         "\n- Messages: " + std::to_string(rows) + "\n- Signals: " + std::to_string(signals) +
         "\n" + kRule + "\nExecution time: 0 s\n" + kRule + "\n";
}

struct MainResult {
  int status;
  std::string out;
};

MainResult runMain(std::vector<std::string> args) {
  TestArgv a(std::move(args));
  CaptureStdout();
  int status = lograven_main(a.argc(), a.argv());
  std::fflush(stdout);
  return {status, GetCapturedStdout()};
}

// One message of two signals, one of them limited to [0, 100].
const std::string kDbc = e2eDbc("CAN",
                                "BO_ 256 M: 2 ECU\n"
                                " SG_ A : 0|8@1+ (1,0) [0|100] \"\" ECU\n"
                                " SG_ B : 8|8@1+ (1,0) [0|0] \"\" ECU\n");

// A log of `frames` frames of message 0x100 (A = 7, B = 9) plus one frame of
// an unknown identifier.
std::string logWith(const std::string& serial, unsigned session, int frames,
                    const std::string& wrap = "") {
  std::string d = e2eLogHeader(serial, session, 1) + "group c can\n";
  for (int i = 0; i < frames; ++i) d += "frame c t=" + std::to_string(i) + " id=0x100 data=0709\n";
  d += "frame c t=0.5 id=0x200 data=01\n" + wrap;
  return d;
}

TEST(Driver, PrintsStatisticsForAFolderOfLogFiles) {
  E2eFolder dir;
  dir.writeDbc("can1-m.dbc", kDbc);
  dir.write("passwords.json", "{\"default\": \"pw\"}");
  dir.writeLog("logs/a.mf4", logWith("A1", 1, 2));
  dir.writeLog("logs/B.MFC", logWith("A1", 2, 3, "compress\n"));
  dir.writeLog("logs/sub/c.mfe", logWith("A1", 3, 1, "encrypt password=pw device=0x11\n"));
  dir.write("logs/readme.txt", std::string(100000, 'r'));
  dir.write("logs/e.mf", "x");
  E2eRun r = dir.run({dir / "logs"});
  EXPECT_EQ(r.status, 0) << r.logText();
  // Reader: 3 files, 2+1 + 3+1 + 1+1 frames; writer: one file per session,
  // a row per known frame, two signals per row.
  EXPECT_EQ(r.out, statisticsBlock(3, 9, 0, 3, 6, 12));
  EXPECT_EQ(dir.csvTree().size(), 3u);
}

TEST(Driver, SizeCountsAcceptedFilesInWholeMebibytes) {
  E2eFolder dir;
  dir.writeDbc("can1-m.dbc", kDbc);
  // Not log files inside: counted, then refused.
  dir.write("logs/a.mf4", std::string(3 << 20, 'a'));
  dir.write("logs/b.mf4", std::string((1 << 20) - 1, 'b'));
  E2eRun r = dir.run({dir / "logs/a.mf4", dir / "logs/b.mf4"});
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(r.out, statisticsBlock(2, 0, 3, 0, 0, 0));
  EXPECT_EQ(r.count("E Could not open MDF"), 2u);
}

TEST(Driver, MissingInputNextToAGoodOneGivesStatusOne) {
  E2eFolder dir;
  dir.writeDbc("can1-m.dbc", kDbc);
  dir.writeLog("logs/a.mf4", logWith("A1", 1, 1));
  E2eRun r = dir.run({dir / "logs/a.mf4", dir / "logs/missing.mf4"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, statisticsBlock(1, 2, 0, 1, 1, 2));
  EXPECT_TRUE(r.logged("W Could not find input file/folder missing.mf4"));
}

TEST(Driver, WithoutAnyDatabaseNothingRuns) {
  E2eFolder dir;
  dir.writeLog("logs/a.mf4", logWith("A1", 1, 1));
  E2eRun r = dir.run({dir / "logs"});
  EXPECT_EQ(r.status, 0x86);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.logged("E No DBC files found"));
  EXPECT_TRUE(dir.csvTree().empty());
}

TEST(Driver, TransportLayerAtTheHeadForJ1939) {
  // A J1939 database puts the transport-protocol layer first: a complete
  // broadcast session reaches the decoder as one message.
  E2eFolder dir;
  dir.writeDbc("can1-j.dbc", e2eDbc("J1939",
                                    "BO_ 2566848256 Big: 12 ECU\n"
                                    " SG_ Last : 88|8@1+ (1,0) [0|0] \"\" ECU\n"));
  dir.writeLog("logs/a.mf4", e2eLogHeader("A1", 1, 1) +
                                  "group c can\n"
                                  "frame c t=0.1 id=0x18ECFF01 ide=1 data=200C0002FFFFFE00\n"
                                  "frame c t=0.2 id=0x18EBFF01 ide=1 data=0101020304050607\n"
                                  "frame c t=0.3 id=0x18EBFF01 ide=1 data=0208090A0B0CFFFF\n");
  E2eRun r = dir.run({dir / "logs"});
  EXPECT_EQ(r.status, 0) << r.logText();
  EXPECT_EQ(r.statistic("Transport protocol statistics", "Successful sessions"), 1);
  E2eTree tree = dir.csvTree();
  EXPECT_EQ(tree, (E2eTree{{"A1_out/CAN1_Big_S01/2023/11/14/00000001_00000001.csv",
                            "t,Last\n1700000000.300000,12.000000\n"}}))
      << e2eDescribe(tree);
}

TEST(Driver, StatusOfParsingWhenNothingRuns) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string outStart;
  };
  const Case cases[] = {
      {{}, 0, "Usage: lograven "},
      {{"-v"}, 0, "Version: "},
      {{"--verbosity=6", "x"}, 131, ""},
      {{"--buffer"}, 130, ""},
      {{"--bogus", "x"}, 134, "lograven: invalid option \"--bogus\"\n"},
      {{"/data/a/x.mf4", "/data/b/y.mf4"}, 132, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    LogCapture log;
    MainResult r = runMain(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out.substr(0, c.outStart.size()), c.outStart);
    EXPECT_EQ(r.out.find("Reader statistics"), std::string::npos);
    if (c.outStart.empty()) {
      EXPECT_EQ(r.out, "");
    }
  }
}

TEST(Driver, PrintHorizontalRule) {
  CaptureStdout();
  printhl();
  std::fflush(stdout);
  EXPECT_EQ(GetCapturedStdout(), kRule + "\n");
}

}  // namespace
