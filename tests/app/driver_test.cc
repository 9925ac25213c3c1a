// The whole program: exit status, standard output and messages of runs that
// stop while parsing the command line, and the statistics block of a run.
#include "app/driver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <regex>
#include <string>
#include <vector>

#include "support/e2e.h"
#include "version.h"

namespace {

const std::string kRule(79, '-');

TEST(Driver, RunsThatStopWhileParsing) {
  E2eFolder dir;  // the working directory: no DBC files in it
  dir.write("in/x.mf4", "x");
  dir.writeDbc("m.dbc", e2eDbc("CAN", "BO_ 256 M: 1 ECU\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" ECU\n"));
  dir.write("empty.json", "");  // read whole, then refused as JSON
  const std::string in = dir / "in/x.mf4", dbc = "--dbc-can1=" + dir / "m.dbc";
  const std::string verbosity = ": an integer from 0 to 4 is expected\n";
  const std::string bytes = ": a whole number of bytes is expected: -1 (whole file), 0 (no buffer) or a size\n";
  const std::string jobs = ": a number of worker threads from 1 to 1024 is expected\n";
  const std::string shard = ": K/N is expected, two whole numbers with 0 <= K < N (for example 0/4)\n";
  const std::string usage =
      "Usage: lograven [-h|--help] [-v|--version] [--verbosity=<n>] [--non-interactive] [-d|--delete-converted] "
      "[-X|--no-append-root] [-b|--buffer=<n>] [--utc] [-j|--jobs=<n>] [--shard=<K/N>] [-p|--password-file=<path>] "
      "[--concat] [--no-concat] "
      "[--pgn-src-merge] [--no-pgn-src-merge] [--pgn-dst-merge] [--no-pgn-dst-merge] [--dbdump] [--no-dbdump] "
      "[--dbc-can<n>=<file>]... [--dbc-lin<n>=<file>]... [-O|--output-directory=<path>] [--info] [--json] "
      "[-i|--input-files=<file(s)/folder(s)>] file(s)/folder(s) [file(s)/folder(s)]...\n\n";
  const std::string version = std::string("Version: ") + LOGRAVEN_VERSION + "\nBuild date: " +
                              LOGRAVEN_BUILD_DATE + "\nGIT SHA: " + LOGRAVEN_GIT_SHA + "\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;  // standard output; of the usage text only the syntax line
    std::string log;  // a line that must be logged (none: nothing may be)
  } const cases[] = {
      {{}, 0, usage, ""},
      {{"--help", "--bogus", "-v"}, 0, usage, ""},
      {{"-h"}, 0, usage, ""},
      {{"-v", "--bogus"}, 0, version, ""},
      // Every refusal says why, with the offending argument.
      {{"--verbosity=5", "x"}, 0x83, "lograven: invalid argument \"5\" to option --verbosity=<n>" + verbosity, ""},
      {{"--verbosity", "-1", in}, 0x83, "lograven: invalid argument \"-1\" to option --verbosity=<n>" + verbosity, ""},
      {{"--buffer=abc", in}, 0x83, "lograven: invalid argument \"abc\" to option -b|--buffer=<n>" + bytes, ""},
      {{"-b", "-2", in}, 0x83, "lograven: invalid argument \"-2\" to option -b|--buffer=<n>" + bytes, ""},
      {{"-j", "0", in}, 0x83, "lograven: invalid argument \"0\" to option -j|--jobs=<n>" + jobs, ""},
      {{"--jobs=-1", in}, 0x83, "lograven: invalid argument \"-1\" to option -j|--jobs=<n>" + jobs, ""},
      {{"-jabc", in}, 0x83, "lograven: invalid argument \"abc\" to option -j|--jobs=<n>" + jobs, ""},
      {{"--shard", "3/2", in}, 0x83, "lograven: invalid argument \"3/2\" to option --shard=<K/N>" + shard, ""},
      {{"--shard=1", in}, 0x83, "lograven: invalid argument \"1\" to option --shard=<K/N>" + shard, ""},
      {{"--shard=a/b", in}, 0x83, "lograven: invalid argument \"a/b\" to option --shard=<K/N>" + shard, ""},
      {{in, "-b"}, 0x82, "lograven: option \"-b\" requires an argument\n", ""},
      {{in, "--dbc-can1"}, 0x82, "lograven: option \"--dbc-can1\" requires an argument\n", ""},
      {{"--bogus", "-Q", "x"}, 0x86, "lograven: invalid option \"--bogus\"\nlograven: invalid option \"-Q\"\n", ""},
      {{"-d"}, 0x86, "lograven: missing option file(s)/folder(s)\n", ""},
      {{"/data/a/x.mf4", "/data/b/y.mf4"}, 0x84, "", "F No common root detected for all inputs"},
      {{"/data/a/x.mf4", "/data/b/y.mf4"}, 0x84, "", "F The inputs lie in 2 folders, such as /data/a/ and /data/b/: give "
                                                      "inputs of one folder, or a folder that holds them all"},
      {{"/x.mf4"}, 0x84, "", "F Could not find root for /x.mf4"},
      {{"/"}, 0x84, "", "F Could not find root for /"},
      {{"/nonexistent_lograven_dir/", "/nonexistent_lograven_dir/x"}, 0x84, "",
       "F Could not find root for /nonexistent_lograven_dir/"},
      {{"/nonexistent_lograven_dir/x.mf4"}, 1, "", "W Could not find input file/folder /nonexistent_lograven_dir/"},
      {{"-p", dir / "nope.json", in}, 1, "", "E Failed to open password file at " + dir / "nope.json: No such file or directory"},
      {{"-p", dir.path(), dbc, in}, 1, "", "E Failed to open password file at " + dir / ": Is a directory"},
      {{"-p", "empty.json", dbc, in}, 1, "", "E Could not parse password file " + dir / "empty.json: line 1, column 1: "
                                             "syntax error while parsing value - unexpected end of input; expected '[', '{', or a literal"},
      {{"-O", in + "/out", dbc, in}, 0x86, "", "E Invalid output path: " + in + "/out: Not a directory"},  // a file in the way
      {{"-O", "", dbc, in}, 0x86, "", "E Invalid output path: the path is empty"},
      {{"-O", dir / std::string(300, 'o'), dbc, in}, 0x86, "",
       "E Invalid output path: " + dir / std::string(300, 'o') + ": File name too long"},  // the reason it cannot be made
      {{in}, 0x86, "", "E No DBC files found: give --dbc-can<n>=<file> or --dbc-lin<n>=<file>, or place can<n>-*.dbc"
                       " or lin<n>-*.dbc files in the working directory"},
      {{"--dbc-can1=nope.dbc", in}, 0x86, "", "E No DBC files found: none of the databases given loaded"},
      {{"--dbc-can0=x.dbc", in}, 0x86, "", "E Invalid argument: dbc-can0=x.dbc: the channel must be a number from 1 to 255"},
      {{"--dbc-lin2", "x.txt", in}, 0x86, "", "E Invalid argument: dbc-lin2=x.txt: --dbc-can<n>=<file> or "
                                              "--dbc-lin<n>=<file> is expected, with a channel n and a file name ending in .dbc"},
      {{"--json", dbc, in}, 0x86, "lograven: option --json needs --info\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    E2eRun r = dir.run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(c.out == usage ? r.out.substr(0, r.out.find("\n\n") + 2) : r.out, c.out);
    EXPECT_TRUE(c.log.empty() ? r.log.empty() : r.logged(c.log)) << r.logText();
  }
}

TEST(Driver, ANamedDatabaseThatDoesNotLoadFailsTheRunWhileTheOthersConvertIntoANewFolder) {
  E2eFolder dir;
  dir.writeDbc("m.dbc", e2eDbc("CAN", "BO_ 256 M: 1 ECU\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" ECU\n"));
  dir.writeLog("in/a.mf4", e2eLogHeader("A1", 1, 1) + "group c can\nframe c t=1 id=0x100 data=07\n");
  const struct { std::string option, why; } cases[] = {
      {"--dbc-can2=" + dir / "nope.dbc", "Failed to open DBC file: " + dir / "nope.dbc: No such file or directory"},
      {"--dbc-can2=", "Invalid argument: dbc-can2=: --dbc-can<n>=<file> or --dbc-lin<n>=<file> is expected, with a "
                      "channel n and a file name ending in .dbc"}};
  for (const auto& [bad, why] : cases) {
    SCOPED_TRACE(bad);
    const E2eRun r = dir.run({"--dbc-can1=" + dir / "m.dbc", bad, "-O", dir / "made\\here", dir / "in"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.statistic("Writer statistics", "Messages"), 1);
    // The closing summary names it, the first thing it says.
    EXPECT_EQ(r.out.substr(r.out.find("Databases not loaded"), r.out.find("Bus channels") - r.out.find("Databases not loaded")),
              "Databases not loaded\n- " + why + "\n" + kRule + "\n");
  }
  EXPECT_TRUE(dir.exists("made/here/A1_out/CAN1_M")) << "-O makes its folder";
}

// A file-size limit (ulimit -f) fails the input that reaches it as a full
// disk would; the signal the system sends for it does not end the run.
TEST(Driver, AFileSizeLimitFailsTheInputNotTheRun) {
  E2eFolder dir;
  dir.writeDbc("m.dbc", e2eDbc("CAN", "BO_ 256 M: 1 ECU\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" ECU\n"));
  std::string log = e2eLogHeader("A1", 1, 1) + "group c can\n";
  for (int i = 0; i < 200; ++i) log += "frame c t=" + std::to_string(i) + " id=0x100 data=07\n";
  dir.writeLog("in/a.mf4", log);
  E2eRun r;
  ASSERT_TRUE(withResourceLimit(RLIMIT_FSIZE, 2048, [&] {
    std::signal(SIGXFSZ, SIG_DFL);  // as a shell leaves it
    r = dir.run({"--dbc-can1=" + dir / "m.dbc", "-d", dir / "in"});
  }));
  EXPECT_EQ(r.status, 8);
  EXPECT_TRUE(r.logText().find("File too large") != std::string::npos) << r.logText();
  EXPECT_TRUE(dir.exists("in/a.mf4"));
}

// A permission problem names the system's reason, never a missing file.
TEST(Driver, PermissionProblemsGiveTheSystemsReason) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  E2eFolder dir;
  const std::string m = e2eDbc("CAN", "BO_ 256 M: 1 ECU\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" ECU\n");
  dir.writeDbc("m.dbc", m);
  dir.writeDbc("locked.dbc", m);
  dir.write("locked.json", "{}");
  dir.writeLog("in/a.mf4", e2eLogHeader("A1", 1, 1) + "group c can\nframe c t=1 id=0x100 data=07\n");
  dir.writeLog("in/b.mf4", e2eLogHeader("A1", 2, 1) + "group c can\nframe c t=1 id=0x100 data=07\n");
  dir.mkdir("closed/sub");
  dir.mkdir("ro");
  for (const char* locked : {"locked.dbc", "locked.json", "in/b.mf4", "closed"}) ::chmod((dir / locked).c_str(), 0);
  ::chmod((dir / "ro").c_str(), 0500);
  const std::string dbc = "--dbc-can1=m.dbc", a = dir / "in/a.mf4", denied = ": Permission denied";
  struct Case { std::vector<std::string> args; int status; std::string log; } const cases[] = {
      {{"-p", "locked.json", dbc, a}, 1, "E Failed to open password file at " + dir / "locked.json" + denied},
      {{"--dbc-can2", "locked.dbc", dbc, a}, 1, "E Failed to open DBC file: locked.dbc" + denied},
      {{dbc, dir / "in"}, 8, "E Could not open input file " + dir / "in/b.mf4" + denied},
      {{dbc, dir / "closed"}, 8, "E Could not list folder " + dir / "closed/" + denied},
      {{dbc, dir / "closed/sub/x.mf4"}, 0x81, "E Could not open input folder " + dir / "closed/sub/" + denied},
      {{dbc, "-O", "ro/out", a}, 0x86, "E Invalid output path: " + dir / "ro/out" + denied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const E2eRun r = dir.run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(r.logged(c.log)) << r.logText();
  }
}

// The header's start time is 2023-11-14 23:36:40 UTC and its time zone an
// hour ahead: on the logger's clock the frame falls on the next day.
TEST(Driver, TimeStampsOnTheLoggersClockOrInUtc) {
  E2eFolder dir;
  dir.writeDbc("can1-m.dbc", e2eDbc("CAN", "BO_ 256 M: 1 ECU\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" ECU\n"));
  dir.writeLog("in/a.mf4", "tz_offset 60\n" + e2eLogHeader("A1", 1, 1, 1700005000000000000ULL) +
                               "group c can\nframe c t=1 id=0x100 data=07\n");
  const std::tuple<std::vector<std::string>, std::string, std::string> runs[] = {
      {{}, "15", "1700008601"}, {{"--utc"}, "14", "1700005001"}};
  for (const auto& [options, day, t] : runs) {
    EXPECT_EQ(dir.runWith(options, {"-O", dir / ("out" + day), dir / "in"}).status, 0);
    EXPECT_EQ(dir.csvTree("out" + day), (E2eTree{{"A1_out/CAN1_M/2023/11/" + day + "/00000001_00000001.csv",
                                                 "t,A\n" + t + ".000000,7.000000\n"}}));
  }
}

TEST(Driver, StatisticsBlockAndStatusOfARun) {
  E2eFolder dir;
  dir.writeDbc("can1-m.dbc", e2eDbc("CAN", "BO_ 256 M: 2 ECU\n SG_ A : 0|8@1+ (1,0) [0|100] \"\" ECU\n"
                                           " SG_ B : 8|8@1+ (1,0) [0|0] \"\" ECU\n"));
  // A J1939 database puts the transport-protocol layer at the head of the
  // chain: a broadcast session reaches the decoder as one message.
  dir.writeDbc("can2-j.dbc", e2eDbc("J1939", "BO_ 2566848256 Big: 12 ECU\n SG_ L : 88|8@1+ (1,0) [0|0] \"\" ECU\n"));
  dir.write("passwords.json", "{\"default\": \"pw\"}");
  // Per file: `frames` frames of M and one of an unknown identifier.
  auto log = [](unsigned session, int frames, const std::string& tail) {
    std::string d = e2eLogHeader("A1", session, 1) + "group c can\n";
    for (int i = 0; i < frames; ++i) d += "frame c t=" + std::to_string(i) + " id=0x100 data=0709\n";
    return d + "frame c t=0.5 id=0x200 data=01\n" + tail;
  };
  dir.writeLog("logs/a.mf4", log(1, 2, "frame c t=0.6 ch=2 id=0x18ECFF01 ide=1 data=200C0002FFFFFE00\n"
                                       "frame c t=0.7 ch=2 id=0x18EBFF01 ide=1 data=0101020304050607\n"
                                       "frame c t=0.8 ch=2 id=0x18EBFF01 ide=1 data=0208090A0B0CFFFF\n"));
  dir.writeLog("logs/B.MFC", log(2, 3, "compress\n"));
  dir.writeLog("logs/sub/c.mfe", log(3, 1, "encrypt password=pw device=0x11\n"));
  dir.write("logs/sub/readme.txt", std::string(100000, 'r'));
  dir.write("logs/sub/e.mf", "x");
  dir.write("logs/big.mf4", std::string(3 << 20, 'b'));  // counted, then refused
  std::filesystem::create_symlink(dir / "logs/sub/self", dir / "logs/sub/self");  // a folder read in part
  E2eRun r = dir.run({dir / "logs/a.mf4", dir / "logs/B.MFC", dir / "logs/sub", dir / "logs/missing.mf4", dir / "logs/big.mf4"});
  EXPECT_EQ(r.status, 1 | 8) << r.logText();
  EXPECT_TRUE(r.logged("W Could not find input file/folder " + dir / "logs/missing.mf4"));
  // Reader: 4 files, 6 + 4 + 2 frames, 3 MiB and some bytes.  Writer: a file
  // per session and message, a row per known message, M with two signals.
  // Processor time varies: only its form is fixed.
  const std::string out = std::regex_replace(r.out, std::regex("time: \\d+ s"), "time: N s");
  EXPECT_EQ(out, kRule + "\nReader statistics\n- Files: 4\n- Messages: 12\n- Size: 3 MB\n" + kRule +
                     "\nTransport protocol statistics\n- Successful sessions: 1\n- Failed sessions: 0\n"
                     "- Unfinished sessions: 0\n" + kRule + "\nWriter statistics\n- Files: 4\n- Messages: 7\n"
                     "- Signals: 13\n" + kRule + "\nExecution time: N s\n" + kRule +
                     // The closing summary: failed inputs with their reasons, then per
                     // channel the frames read and the messages decoded (a reassembled
                     // transport-protocol message counts once).
                     "\nFailed inputs\n- " + dir / "logs/big.mf4" + ": Unable to load block header for type bbbb\n- " +
                     dir / "logs/missing.mf4" + ": not found\n- " + dir / "logs/sub/" + ": Could not query " +
                     dir / "logs/sub/self" + ": Too many levels of symbolic links\n" + kRule +
                     "\nBus channels\n- CAN1: 9 frames read, 6 decoded\n- CAN2: 3 frames read, 1 decoded\n" +
                     kRule + "\n");
  E2eTree tree = dir.csvTree();
  EXPECT_EQ(tree.size(), 4u) << e2eDescribe(tree);
  EXPECT_EQ(tree["logs/A1_out/CAN2_Big_S01/2023/11/14/00000001_00000001.csv"], "t,L\n1700000000.800000,12.000000\n");
}

// The closing summary makes a database on the wrong channel, or one that
// knows none of the frames, obvious; the right database gives no warning.
TEST(Driver, ClosingSummaryPointsAtDatabasesThatDecodeNothing) {
  E2eFolder dir;
  const std::string m = e2eDbc("CAN", "BO_ 256 M: 1 ECU\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" ECU\n");
  dir.writeDbc("m.dbc", m);
  dir.writeDbc("other.dbc", e2eDbc("CAN", "BO_ 768 O: 1 ECU\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" ECU\n"));
  // Values out of their limits write no row, yet the message is decoded, also
  // when it is multiplexed (the multiplexor's value 5 alone writes a row).
  dir.writeDbc("range.dbc", e2eDbc("CAN", "BO_ 256 M: 1 ECU\n SG_ A : 0|8@1+ (1,0) [2|3] \"\" ECU\n"));
  dir.writeDbc("muxrange.dbc", e2eDbc("CAN", "BO_ 256 M: 1 ECU\n SG_ S M : 0|4@1+ (1,0) [5|6] \"\" ECU\n"
                                             " SG_ A m1 : 4|4@1+ (1,0) [2|3] \"\" ECU\n"));
  std::string log = e2eLogHeader("A1", 1, 1) + "group c can\n";
  for (int n = 0; const char* id : {"0x100", "0x18FEF100 ide=1", "0x100", "0x200", "0x1FF", "0x100", "0x202", "0x201"})
    log += std::string("frame c t=1 id=") + id + " data=0" + std::to_string(n++) + "\n";
  dir.writeLog("logs/a.mf4", log);
  // Equally frequent ones: standard identifiers first, then by value; the first five only.
  const std::string top =
      "  most frequent identifiers on CAN1: 0x100 (3), 0x1FF (1), 0x200 (1), 0x201 (1), 0x202 (1) and 1 more\n";
  struct Case { std::string option, summary; long long rows; } const cases[] = {
      {"--dbc-can2=" + dir / "m.dbc",
       "- CAN1: 8 frames read, 0 decoded\n- CAN2: 0 frames read, 0 decoded\n"
       "Warning: no database for CAN1: 8 frames not decoded; databases are given for CAN2\n" + top +
           "Warning: " + dir / "m.dbc" + " for CAN2 decoded nothing: no frames were read on CAN2; "
           "frames were read on CAN1\n", 0},
      {"--dbc-can1=" + dir / "other.dbc",
       "- CAN1: 8 frames read, 0 decoded\nWarning: " + dir / "other.dbc" +
           " for CAN1 decoded none of the 8 frames on CAN1\n" + top, 0},
      {"--dbc-can1=" + dir / "m.dbc",
       "- CAN1: 8 frames read, 3 decoded\n", 3},
      {"--dbc-can1=" + dir / "range.dbc",
       "- CAN1: 8 frames read, 3 decoded\n", 1},
      {"--dbc-can1=" + dir / "muxrange.dbc",
       "- CAN1: 8 frames read, 3 decoded\n", 1},
  };
  for (const Case& c : cases) {
    E2eRun r = dir.run({c.option, dir / "logs"});
    EXPECT_EQ(r.status, 0);
    const size_t at = r.out.find("Bus channels\n");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(at), "Bus channels\n" + c.summary + kRule + "\n");
    EXPECT_EQ(r.statistic("Writer statistics", "Messages"), c.rows) << "rows written";
  }
  // Beyond the fourth database of a channel: only the four that decode nothing are named.
  const std::string other = "--dbc-can1=" + dir / "other.dbc", warning = dir / "other.dbc for CAN1 decoded";
  const E2eRun five = dir.run({other, other, other, other, "--dbc-can1=" + dir / "m.dbc", dir / "logs"});
  EXPECT_EQ(five.out.find(dir / "m.dbc for CAN1"), std::string::npos) << five.out;
  size_t warnings = 0;
  for (size_t at = 0; (at = five.out.find(warning, at)) != std::string::npos; ++at) ++warnings;
  EXPECT_EQ(warnings, 4u) << five.out;
  // Inputs without any log file: that, not what each database decoded.
  dir.write("notes/readme.txt", "no log here");
  const E2eRun none = dir.run({"--dbc-can1=" + dir / "m.dbc", dir / "notes"});
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.out.substr(none.out.find("Bus channels\n")),
            "Bus channels\n- CAN1: 0 frames read, 0 decoded\n"
            "Warning: no log files (.mf4, .mfc, .mfe, .mfm) were found in the inputs\n" + kRule + "\n");
}

}  // namespace
