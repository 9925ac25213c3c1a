// End to end: what happens across files and runs — concatenation of splits,
// dates, repeated files, J1939 address merging, the output options, DBC
// discovery and dumps, and containers.
#include <gtest/gtest.h>

#include "support/e2e.h"

namespace {

// 2023-11-14 22:13:20 UTC.
constexpr unsigned long long kStartNs = 1700000000000000000ULL;

const std::string kDbc = e2eDbc("CAN",
                                 "BO_ 256 M: 2 ECU\n"
                                 " SG_ V : 0|16@1+ (1,0) [0|0] \"\" ECU\n");

// One frame of message M with value `value` at `t` seconds after the start.
std::string splitLog(const std::string& serial, unsigned session, unsigned split,
                     unsigned long long startNs, int value, const std::string& extra = "") {
  char data[8];
  std::snprintf(data, sizeof data, "%02X%02X", value & 0xFF, (value >> 8) & 0xFF);
  return e2eLogHeader(serial, session, split, startNs) + "group c can\nframe c t=0.5 id=0x100 data=" +
         data + "\n" + extra;
}

TEST(E2eSession, SplitsOfOneSessionAreConcatenatedUnlessDisabled) {
  struct Case {
    std::vector<std::string> options;
    E2eTree expected;
  };
  const std::string dir = "CC_out/CAN1_M/2023/11/14/";
  const Case cases[] = {
      {{},
       {{dir + "00000001_00000001.csv",
         "t,V\n1700000010.500000,1.000000\n1700000020.500000,2.000000\n"
         "1700000030.500000,3.000000\n"},
        // Split 5 does not follow split 3: a file of its own.
        {dir + "00000001_00000005.csv", "t,V\n1700000050.500000,5.000000\n"}}},
      {{"--no-concat"},
       {{dir + "00000001_00000001.csv", "t,V\n1700000010.500000,1.000000\n"},
        {dir + "00000001_00000002.csv", "t,V\n1700000020.500000,2.000000\n"},
        {dir + "00000001_00000003.csv", "t,V\n1700000030.500000,3.000000\n"},
        {dir + "00000001_00000005.csv", "t,V\n1700000050.500000,5.000000\n"}}},
      {{"--no-concat", "--concat"},  // the "no-" option wins
       {{dir + "00000001_00000001.csv", "t,V\n1700000010.500000,1.000000\n"},
        {dir + "00000001_00000002.csv", "t,V\n1700000020.500000,2.000000\n"},
        {dir + "00000001_00000003.csv", "t,V\n1700000030.500000,3.000000\n"},
        {dir + "00000001_00000005.csv", "t,V\n1700000050.500000,5.000000\n"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.options));
    E2eFolder f;
    f.writeDbc("can1-m.dbc", kDbc);
    for (unsigned split : {1u, 2u, 3u, 5u}) {
      f.writeLog("in/s" + std::to_string(split) + ".mf4",
                 splitLog("CC", 1, split, kStartNs + split * 10000000000ULL, static_cast<int>(split)));
    }
    std::vector<std::string> args = c.options;
    args.push_back(f / "in");
    E2eRun r = f.run(args);
    ASSERT_EQ(r.status, 0) << r.logText();
    E2eTree tree = f.csvTree();
    EXPECT_EQ(tree, c.expected) << e2eDescribe(tree);
  }
}

TEST(E2eSession, FileSpanningMidnightGoesToTwoDateFolders) {
  E2eFolder f;
  f.writeDbc("can1-m.dbc", kDbc);
  // Starts at 2023-11-14 23:59:59 UTC.
  f.writeLog("in/a.mf4", e2eLogHeader("MN", 4, 2, 1700006399000000000ULL) +
                             "group c can\n"
                             "frame c t=0.9 id=0x100 data=0100\n"
                             "frame c t=1.1 id=0x100 data=0200\n"
                             "frame c t=2 id=0x100 data=0300\n");
  E2eRun r = f.run({f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  E2eTree tree = f.csvTree();
  EXPECT_EQ(tree, (E2eTree{
                      {"MN_out/CAN1_M/2023/11/14/00000004_00000002.csv",
                       "t,V\n1700006399.900000,1.000000\n"},
                      {"MN_out/CAN1_M/2023/11/15/00000004_00000002.csv",
                       "t,V\n1700006400.100000,2.000000\n1700006401.000000,3.000000\n"},
                  }))
      << e2eDescribe(tree);
  EXPECT_EQ(r.statistic("Writer statistics", "Files"), 2);
}

TEST(E2eSession, RepeatedFileIsConvertedOnce) {
  E2eFolder f;
  f.writeDbc("can1-m.dbc", kDbc);
  const std::string log = splitLog("RP", 2, 1, kStartNs, 7);
  f.writeLog("in/a/x.mf4", log);
  f.writeLog("in/b/x.mf4", log);
  E2eRun r = f.run({f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  EXPECT_TRUE(r.logged("W Repeated input file (RP, 00000002, 00000001)"));
  E2eTree tree = f.csvTree();
  EXPECT_EQ(tree, (E2eTree{{"RP_out/CAN1_M/2023/11/14/00000002_00000001.csv",
                            "t,V\n1700000000.500000,7.000000\n"}}))
      << e2eDescribe(tree);
  EXPECT_EQ(r.statistic("Reader statistics", "Files"), 2);
  EXPECT_EQ(r.statistic("Reader statistics", "Messages"), 1);
}

TEST(E2eSession, DeleteConvertedRemovesOnlyConvertedFiles) {
  E2eFolder f;
  f.writeDbc("can1-m.dbc", kDbc);
  f.writeLog("in/a.mf4", splitLog("DL", 1, 1, kStartNs, 1));
  f.writeLog("in/b.mf4", splitLog("DL", 1, 1, kStartNs, 1));  // repeated: kept
  f.write("in/c.mf4", "not a log file");                       // fails: kept
  f.writeLog("in/d.mfc", splitLog("DL", 2, 1, kStartNs, 2, "compress\n"));
  f.write("in/notes.txt", "kept");
  E2eRun r = f.run({"--delete-converted", f / "in"});
  EXPECT_EQ(r.status, 8) << r.logText();
  EXPECT_FALSE(f.exists("in/a.mf4"));
  EXPECT_TRUE(f.exists("in/b.mf4"));
  EXPECT_TRUE(f.exists("in/c.mf4"));
  EXPECT_FALSE(f.exists("in/d.mfc"));
  EXPECT_TRUE(f.exists("in/notes.txt"));
  EXPECT_EQ(f.csvTree().size(), 2u);
}

TEST(E2eSession, OutputPlacement) {
  struct Case {
    std::vector<std::string> options;  // "@" stands for the scratch folder
    std::string csvRoot;               // where the tree is expected
    std::string device;                // device folder
  };
  const Case cases[] = {
      {{}, "", "OP_out"},
      {{"--no-append-root"}, "", "OP"},
      {{"-X"}, "", "OP"},
      {{"--output-directory", "@/out"}, "out", "OP_out"},
      {{"-O", "@/out", "-X"}, "out", "OP"},
      {{"--output-directory=@/out/deeper"}, "out/deeper", "OP_out"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.options));
    E2eFolder f;
    f.writeDbc("can1-m.dbc", kDbc);
    f.writeLog("logs/in/a.mf4", splitLog("OP", 1, 1, kStartNs, 3));
    f.mkdir("out/deeper");
    std::vector<std::string> args;
    for (std::string o : c.options) {
      size_t at = o.find('@');
      if (at != std::string::npos) o.replace(at, 1, f.path());
      args.push_back(o);
    }
    args.push_back(f / "logs/in");
    E2eRun r = f.run(args);
    ASSERT_EQ(r.status, 0) << r.logText();
    // The input root is logs/: the output goes there unless redirected.
    const std::string root = c.csvRoot.empty() ? "logs" : c.csvRoot;
    E2eTree tree = f.csvTree(root);
    EXPECT_EQ(tree, (E2eTree{{c.device + "/CAN1_M/2023/11/14/00000001_00000001.csv",
                              "t,V\n1700000000.500000,3.000000\n"}}))
        << e2eDescribe(f.csvTree());
    EXPECT_EQ(f.csvTree().size(), 1u) << e2eDescribe(f.csvTree());
  }
}

TEST(E2eSession, DatabasesAreFoundInTheWorkingDirectoryOnly) {
  E2eFolder f;
  f.writeDbc("cwd/can1-m.dbc", kDbc);
  f.writeDbc("cwd/can2-other.dbc", e2eDbc("CAN",
                                          "BO_ 256 Other: 1 ECU\n"
                                          " SG_ W : 0|8@1+ (1,0) [0|0] \"\" ECU\n"));
  f.writeDbc("in/can1-ignored.dbc", kDbc);  // beside the logs: not a database
  f.writeLog("in/a.mf4", e2eLogHeader("DS", 1, 1) +
                             "group c can\n"
                             "frame c t=1 ch=1 id=0x100 data=0900\n"
                             "frame c t=2 ch=2 id=0x100 data=0A\n");
  E2eRun r = f.run({f / "in"}, f / "cwd");
  ASSERT_EQ(r.status, 0) << r.logText();
  EXPECT_TRUE(r.logged("I Successfully loaded DBC file: " + f.path() + "/cwd/can1-m.dbc"));
  EXPECT_TRUE(r.logged("I Successfully loaded DBC file: " + f.path() + "/cwd/can2-other.dbc"));
  E2eTree tree = f.csvTree();
  EXPECT_EQ(tree, (E2eTree{
                      {"DS_out/CAN1_M/2023/11/14/00000001_00000001.csv",
                       "t,V\n1700000001.000000,9.000000\n"},
                      {"DS_out/CAN2_Other/2023/11/14/00000001_00000001.csv",
                       "t,W\n1700000002.000000,10.000000\n"},
                  }))
      << e2eDescribe(tree);

  // The same run from a working directory without databases converts nothing.
  E2eRun none = f.run({f / "in"}, f / "in/..");
  EXPECT_EQ(none.status, 0x86);
  EXPECT_TRUE(none.logged("E No DBC files found"));
  EXPECT_EQ(none.out, "");
}

TEST(E2eSession, DbdumpWritesJsonIntoTheWorkingDirectory) {
  E2eFolder f;
  f.writeDbc("dbc/engine.dbc", kDbc);
  f.writeLog("in/a.mf4", splitLog("DD", 1, 1, kStartNs, 1));
  f.mkdir("work");
  E2eRun r = f.run({"--dbdump", "--dbc-can1=" + f.path() + "/dbc/engine.dbc", f / "in"}, f / "work");
  ASSERT_EQ(r.status, 0) << r.logText();
  const std::string json = f.read("work/engine.json");
  EXPECT_EQ(json.substr(0, 1), "{");
  EXPECT_NE(json.find("\"V\""), std::string::npos) << json;
  EXPECT_FALSE(f.exists("dbc/engine.json"));
  EXPECT_TRUE(r.logged("I Dumping DB " + f.path() + "/dbc/engine.dbc to engine.json"));
  EXPECT_EQ(f.csvTree().size(), 1u);

  // Without the option (or with it switched off again) nothing is dumped.
  E2eFolder g;
  g.writeDbc("can1-engine.dbc", kDbc);
  g.writeLog("in/a.mf4", splitLog("DD", 1, 1, kStartNs, 1));
  E2eRun plain = g.run({"--dbdump", "--no-dbdump", g / "in"});
  ASSERT_EQ(plain.status, 0);
  EXPECT_FALSE(g.exists("can1-engine.json"));
}

TEST(E2eSession, J1939AddressesAndTheirMergeOptions) {
  const std::string dbc = e2eDbc("J1939",
                                 // PDU2: source address only.
                                 "BO_ 2364539904 EEC1: 8 ECU\n"
                                 " SG_ EngineSpeed : 24|16@1+ (0.125,0) [0|8031.875] \"rpm\" ECU\n"
                                 // PDU1: source and destination.
                                 "BO_ 2565799936 PropA: 8 ECU\n"
                                 " SG_ P : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                 // A standard identifier: no addresses.
                                 "BO_ 291 Std: 1 ECU\n"
                                 " SG_ Q : 0|8@1+ (1,0) [0|0] \"\" ECU\n");
  const std::string log = e2eLogHeader("J9", 1, 1) +
                          "group c can\n"
                          "frame c t=1 id=0x0CF00400 ide=1 data=FFFFFF2003FFFFFF\n"
                          "frame c t=2 id=0x0CF00417 ide=1 data=FFFFFF4006FFFFFF\n"
                          "frame c t=3 id=0x18EF2117 ide=1 data=05\n"
                          "frame c t=4 id=0x18EF2217 ide=1 data=06\n"
                          "frame c t=5 id=0x18EF2100 ide=1 data=07\n"
                          "frame c t=6 id=0x123 data=08\n";
  const std::string eec1S00 = "t,EngineSpeed\n1700000001.000000,100.000000\n";
  const std::string eec1S17 = "t,EngineSpeed\n1700000002.000000,200.000000\n";
  const std::string eec1All = "t,EngineSpeed\n1700000001.000000,100.000000\n"
                              "1700000002.000000,200.000000\n";
  const std::string day = "/2023/11/14/00000001_00000001.csv";
  struct Case {
    std::vector<std::string> options;
    E2eTree expected;
  };
  const Case cases[] = {
      {{},  // sources apart, destinations merged
       {{"J9_out/CAN1_EEC1_S00" + day, eec1S00},
        {"J9_out/CAN1_EEC1_S17" + day, eec1S17},
        {"J9_out/CAN1_PropA_S17" + day, "t,P\n1700000003.000000,5.000000\n1700000004.000000,6.000000\n"},
        {"J9_out/CAN1_PropA_S00" + day, "t,P\n1700000005.000000,7.000000\n"}}},
      {{"--pgn-src-merge"},
       {{"J9_out/CAN1_EEC1" + day, eec1All},
        {"J9_out/CAN1_PropA" + day,
         "t,P\n1700000003.000000,5.000000\n1700000004.000000,6.000000\n"
         "1700000005.000000,7.000000\n"}}},
      {{"--no-pgn-dst-merge"},
       {{"J9_out/CAN1_EEC1_S00" + day, eec1S00},
        {"J9_out/CAN1_EEC1_S17" + day, eec1S17},
        {"J9_out/CAN1_PropA_S17_D21" + day, "t,P\n1700000003.000000,5.000000\n"},
        {"J9_out/CAN1_PropA_S17_D22" + day, "t,P\n1700000004.000000,6.000000\n"},
        {"J9_out/CAN1_PropA_S00_D21" + day, "t,P\n1700000005.000000,7.000000\n"}}},
      {{"--pgn-src-merge", "--no-pgn-dst-merge"},
       {{"J9_out/CAN1_EEC1" + day, eec1All},
        {"J9_out/CAN1_PropA_D21" + day,
         "t,P\n1700000003.000000,5.000000\n1700000005.000000,7.000000\n"},
        {"J9_out/CAN1_PropA_D22" + day, "t,P\n1700000004.000000,6.000000\n"}}},
      {{"--pgn-src-merge", "--no-pgn-src-merge", "--pgn-dst-merge"},
       {{"J9_out/CAN1_EEC1_S00" + day, eec1S00},
        {"J9_out/CAN1_EEC1_S17" + day, eec1S17},
        {"J9_out/CAN1_PropA_S17" + day, "t,P\n1700000003.000000,5.000000\n1700000004.000000,6.000000\n"},
        {"J9_out/CAN1_PropA_S00" + day, "t,P\n1700000005.000000,7.000000\n"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.options));
    E2eFolder f;
    f.writeDbc("can1-j1939.dbc", dbc);
    f.writeLog("in/j.mf4", log);
    std::vector<std::string> args = c.options;
    args.push_back(f / "in");
    E2eRun r = f.run(args);
    ASSERT_EQ(r.status, 0) << r.logText();
    E2eTree tree = f.csvTree();
    E2eTree expected = c.expected;
    expected["J9_out/CAN1_Std" + day] = "t,Q\n1700000006.000000,8.000000\n";
    EXPECT_EQ(tree, expected) << e2eDescribe(tree);
  }
}

TEST(E2eSession, ContainersConvertLikeThePlainFile) {
  const std::string body = e2eLogHeader("0000BEEF", 1, 1) +
                           "group c can\n"
                           "frame c t=1 id=0x100 data=3412\n"
                           "frame c t=2 id=0x100 data=FFFF\n";
  const E2eTree expected = {{"0000BEEF_out/CAN1_M/2023/11/14/00000001_00000001.csv",
                             "t,V\n1700000001.000000,4660.000000\n1700000002.000000,65535.000000\n"}};
  struct Case {
    const char* name;
    std::string wrap;
    std::string passwords;  // passwords.json in the working directory
  };
  const Case cases[] = {
      {"x.mf4", "", ""},
      {"x.mfc", "compress\n", ""},
      {"x.mfe", "encrypt password=secret device=0x0000BEEF\n",
       "{\n  \"0000BEEF\": \"secret\"\n}\n"},
      {"x.mfe", "encrypt password=fallback device=0x0000BEEF\n",
       "{\"00001234\": \"other\", \"default\": \"fallback\"}"},
      {"x.mfm", "compress\nencrypt password=secret device=0x0000BEEF\n",
       "{\"0000BEEF\": \"secret\"}"},
      // Encrypted inside compressed, and two compressions: any nesting.
      {"x.mfm", "encrypt password=secret device=0x0000BEEF\ncompress\n",
       "{\"default\": \"secret\"}"},
      {"x.mfc", "compress\ncompress window=10 lookahead=4\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wrap);
    E2eFolder f;
    f.writeDbc("can1-m.dbc", kDbc);
    if (!c.passwords.empty()) f.write("passwords.json", c.passwords);
    f.writeLog(std::string("in/") + c.name, body + c.wrap);
    E2eRun r = f.run({f / "in"});
    ASSERT_EQ(r.status, 0) << r.logText();
    E2eTree tree = f.csvTree();
    EXPECT_EQ(tree, expected) << e2eDescribe(tree);
  }
}

TEST(E2eSession, ReadingOptionsAndUnfinishedFilesGiveTheSameRows) {
  // Frames in two data groups, interleaved in time.
  const std::string body = "datagroup\ngroup a can\ndatagroup sorted\ngroup b can\n"
                           "frame a t=1 id=0x100 data=0100\n"
                           "frame b t=1.5 id=0x100 data=0200\n"
                           "frame a t=2 id=0x100 data=0300\n"
                           "frame b t=2.5 id=0x100 data=0400\n";
  const E2eTree expected = {{"UF_out/CAN1_M/2023/11/14/00000001_00000001.csv",
                             "t,V\n1700000001.000000,1.000000\n1700000001.500000,2.000000\n"
                             "1700000002.000000,3.000000\n1700000002.500000,4.000000\n"}};
  struct Case {
    std::vector<std::string> options;
    std::string extra;  // description lines
  };
  const Case cases[] = {
      {{}, ""},
      {{"-b", "0"}, ""},
      {{"--buffer=1"}, ""},
      {{"-b", "33"}, "compress\n"},
      {{"--buffer", "1048576"}, ""},
      {{"--non-interactive", "-i"}, ""},
      // A logger that did not finish its file: the last data block's length
      // is not written; the file is read up to its end.
      {{}, "unfinished\n"},
      {{"-b", "7"}, "unfinished dtlength=0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.options) + " " + c.extra);
    E2eFolder f;
    f.writeDbc("can1-m.dbc", kDbc);
    f.writeLog("in/a.mf4", e2eLogHeader("UF", 1, 1) + c.extra + body);
    std::vector<std::string> args = c.options;
    args.push_back(f / "in");
    E2eRun r = f.run(args);
    ASSERT_EQ(r.status, 0) << r.logText();
    E2eTree tree = f.csvTree();
    EXPECT_EQ(tree, expected) << e2eDescribe(tree);
  }
}

TEST(E2eSession, TimeZoneOffsetsOfTheHeaderShiftTimeStampsAndDates) {
  E2eFolder f;
  f.writeDbc("can1-m.dbc", kDbc);
  // 22:13:20 UTC plus 60 + 60 minutes: 00:13:20 of the next day.
  f.writeLog("in/a.mf4", e2eLogHeader("TZ", 1, 1) + "tz_offset 60\ndst_offset 60\n" +
                             "group c can\nframe c t=0.5 id=0x100 data=0500\n");
  E2eRun r = f.run({f / "in"});
  ASSERT_EQ(r.status, 0) << r.logText();
  E2eTree tree = f.csvTree();
  EXPECT_EQ(tree, (E2eTree{{"TZ_out/CAN1_M/2023/11/15/00000001_00000001.csv",
                            "t,V\n1700007200.500000,5.000000\n"}}))
      << e2eDescribe(tree);
}

}  // namespace
