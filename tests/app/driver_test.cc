#include "app/driver.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/cli_test_util.h"
#include "app/log_capture.h"
#include "fs/temp_dir.h"

namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

const std::string kRule(79, '-');

std::string statisticsBlock(uint64_t files, uint64_t megabytes) {
  return kRule + "\nReader statistics\n- Files: " + std::to_string(files) +
         "\n- Messages: 0\n- Size: " + std::to_string(megabytes) + " MB\n" + kRule +
         "\nTransport protocol statistics\n- Successful sessions: 0\n- Failed sessions: 0\n"
         "- Unfinished sessions: 0\n" +
         kRule + "\nWriter statistics\n- Files: 0\n- Messages: 0\n- Signals: 0\n" + kRule +
         "\nExecution time: 0 s\n" + kRule + "\n";
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

TEST(Driver, PrintsStatisticsForAFolderOfLogFiles) {
  TempDir dir;
  // 1,048,575 accepted bytes in total: 0 MB.
  dir.write("logs/a.mf4", std::string(500000, 'a'));
  dir.write("logs/B.MFC", std::string(500000, 'b'));
  dir.write("logs/sub/c.mfe", std::string(48575, 'c'));
  dir.write("logs/sub/d.MfM", "");
  dir.write("logs/readme.txt", std::string(100000, 'r'));
  dir.write("logs/e.mf", "x");
  LogCapture log;
  MainResult r = runMain({dir / "logs"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, statisticsBlock(4, 0));
}

TEST(Driver, SizeIsInWholeMebibytes) {
  TempDir dir;
  dir.write("logs/a.mf4", std::string(3 << 20, 'a'));
  dir.write("logs/b.mf4", std::string((1 << 20) - 1, 'b'));
  LogCapture log;
  MainResult r = runMain({dir / "logs/a.mf4", dir / "logs/b.mf4"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, statisticsBlock(2, 3));
}

TEST(Driver, MissingInputNextToAGoodOneGivesStatusOne) {
  TempDir dir;
  dir.write("logs/a.mf4", "x");
  LogCapture log;
  MainResult r = runMain({dir / "logs/a.mf4", dir / "logs/missing.mf4"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, statisticsBlock(1, 0));
  EXPECT_TRUE(log.contains("W Could not find input file/folder missing.mf4"));
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
