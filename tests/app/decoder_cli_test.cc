#include "app/decoder_cli.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/argv.h"
#include "support/e2e.h"
#include "support/log_capture.h"
#include "db/db.h"
#include "support/temp_dir.h"

namespace {

// A database with one message `name` (identifier 0x100, one signal).
std::string dbcWith(const std::string& name, const std::string& bus = "CAN") {
  return e2eDbc(bus, "BO_ 256 " + name + ": 1 ECU\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" ECU\n");
}

// The name of message 0x100 in each database of `channel`, in order.
std::vector<std::string> messageNames(const cDBMap& map, uint8_t channel, uint32_t key = 0x100) {
  std::vector<std::string> names;
  auto it = map.find(channel);
  if (it == map.end()) return names;
  for (const auto& db : it->second) {
    const cDBMessage* m = cDB_messageFind(db.get(), key);
    names.push_back(m != nullptr ? m->name : "?");
  }
  return names;
}

// One parse of `args` (an input folder "in" is appended) in the working
// directory `cwd`, with the decoder extension reachable.
struct Parsed {
  std::unique_ptr<cLogReaderCLI> cli;
  cDecoderCLI* decoder = nullptr;
  bool run = false;
  int32_t status = 0;
  std::vector<std::string> log;

  bool logged(const std::string& line) const {
    for (const std::string& l : log)
      if (l == line) return true;
    return false;
  }
};

Parsed parse(const TempDir& dir, std::vector<std::string> args, const std::string& cwd = "") {
  Parsed p;
  p.cli = cLogReaderCLI_ctor();
  auto extension = std::make_unique<cDecoderCLI>();
  p.decoder = extension.get();
  p.cli->setExtension(std::move(extension));
  dir.mkdir("in");
  args.push_back(dir / "in");
  LogCapture log;
  {
    ScopedCwd inCwd(cwd.empty() ? dir.path() : cwd);
    TestArgv a(std::move(args));
    p.run = p.cli->parse(a.argc(), a.argv(), &p.status);
  }
  p.log = log.messages();
  return p;
}

TEST(cDecoderCLI, DiscoveryTakesBusAndChannelFromTheFileName) {
  TempDir dir;
  dir.write("can1-b.dbc", dbcWith("B"));
  dir.write("can1-a.dbc", dbcWith("A"));
  dir.write("can12-x-y.DbC", dbcWith("X"));  // any letter case of the extension
  dir.write("lin2-c.DBC", dbcWith("C", "LIN"));
  dir.write("lin3-d.dbc", dbcWith("D", "LIN"));
  dir.write("notes.dbc", dbcWith("N"));       // no "-": passed over
  dir.write("j1939-e.dbc", dbcWith("E"));     // not a bus this tool knows
  dir.write("can4-f.dbc.txt", dbcWith("F"));  // not a DBC file name
  dir.write("can5-.dbc", dbcWith("G"));
  dir.mkdir("can6-folder.dbc");  // a folder, not a file
  dir.write("CAN7-upper.dbc", dbcWith("U"));  // the bus name is case-sensitive
  Parsed p = parse(dir, {});
  ASSERT_TRUE(p.run);
  const std::string cwd = dir.path() + "/";
  EXPECT_EQ(p.decoder->dbcArguments(),
            (std::vector<std::string>{"dbc-CAN7=" + cwd + "CAN7-upper.dbc",
                                      "dbc-can1=" + cwd + "can1-a.dbc",
                                      "dbc-can1=" + cwd + "can1-b.dbc",
                                      "dbc-can12=" + cwd + "can12-x-y.DbC",
                                      "dbc-can5=" + cwd + "can5-.dbc",
                                      "dbc-j1939=" + cwd + "j1939-e.dbc",
                                      "dbc-lin2=" + cwd + "lin2-c.DBC",
                                      "dbc-lin3=" + cwd + "lin3-d.dbc"}));
  EXPECT_EQ(messageNames(p.cli->canDatabases, 1), (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(messageNames(p.cli->canDatabases, 5), (std::vector<std::string>{"G"}));
  EXPECT_EQ(messageNames(p.cli->linDatabases, 3, 0), (std::vector<std::string>{"D"}));
  // The expression on the argument is case-sensitive: upper-case extensions
  // are found but rejected.
  EXPECT_TRUE(p.cli->canDatabases.find(12) == p.cli->canDatabases.end());
  EXPECT_TRUE(p.cli->linDatabases.find(2) == p.cli->linDatabases.end());
  EXPECT_TRUE(p.logged("E Invalid argument: dbc-can12=" + cwd + "can12-x-y.DbC"));
  EXPECT_TRUE(p.logged("E Invalid argument: dbc-lin2=" + cwd + "lin2-c.DBC"));
  EXPECT_TRUE(p.logged("E Invalid argument: dbc-j1939=" + cwd + "j1939-e.dbc"));
  EXPECT_TRUE(p.logged("E Invalid argument: dbc-CAN7=" + cwd + "CAN7-upper.dbc"));
  EXPECT_EQ(p.cli->canDatabases.size(), 2u);
  EXPECT_EQ(p.cli->linDatabases.size(), 1u);
}

TEST(cDecoderCLI, OptionsReplaceDiscovery) {
  TempDir dir;
  dir.write("can1-found.dbc", dbcWith("Found"));
  dir.write("given.dbc", dbcWith("Given"));
  Parsed p = parse(dir, {"--dbc-can2=given.dbc"});
  ASSERT_TRUE(p.run);
  EXPECT_EQ(p.decoder->dbcArguments(), (std::vector<std::string>{"dbc-can2=given.dbc"}));
  EXPECT_TRUE(p.cli->canDatabases.find(1) == p.cli->canDatabases.end());
  EXPECT_EQ(messageNames(p.cli->canDatabases, 2), (std::vector<std::string>{"Given"}));
}

TEST(cDecoderCLI, ChannelMustBeADecimalNumberFrom1To255) {
  struct Case {
    std::string option;
    int channel;  // 0: rejected with "Invalid argument: <text behind -->"
  };
  const Case cases[] = {
      {"--dbc-can1=a.dbc", 1},
      {"--dbc-can255=a.dbc", 255},
      {"--dbc-can007=a.dbc", 7},
      {"--dbc-can0=a.dbc", 0},
      {"--dbc-can256=a.dbc", 0},
      {"--dbc-can99999999999999999999999=a.dbc", 0},
      {"--dbc-can=a.dbc", 0},
      {"--dbc-canX=a.dbc", 0},
      {"--dbc-can-1=a.dbc", 0},
      {"--dbc-can1=a.txt", 0},
      {"--dbc-can1=a.DBC", 0},
      {"--dbc-can1=.dbc", 0},
      {"--dbc-can1", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option);
    TempDir dir;
    dir.write("a.dbc", dbcWith("A"));
    dir.write("a.txt", dbcWith("A"));
    dir.write("a.DBC", dbcWith("A"));
    // A second, good LIN database keeps the run going when the first fails.
    dir.write("l.dbc", dbcWith("L", "LIN"));
    Parsed p = parse(dir, {c.option, "--dbc-lin9=l.dbc"});
    EXPECT_TRUE(p.run);
    EXPECT_EQ(p.status, 0);
    if (c.channel != 0) {
      EXPECT_EQ(messageNames(p.cli->canDatabases, static_cast<uint8_t>(c.channel)),
                (std::vector<std::string>{"A"}));
      EXPECT_EQ(p.cli->canDatabases.size(), 1u);
    } else {
      EXPECT_TRUE(p.cli->canDatabases.empty());
      EXPECT_TRUE(p.logged("E Invalid argument: " + c.option.substr(2))) << c.option;
    }
  }
}

TEST(cDecoderCLI, OnlyInvalidArgumentsMeanNoDatabases) {
  TempDir dir;
  dir.write("can1-a.dbc", dbcWith("A"));  // not looked for: options were given
  Parsed p = parse(dir, {"--dbc-can0=a.dbc", "--dbc-lin256=b.dbc"});
  EXPECT_FALSE(p.run);
  EXPECT_EQ(p.status, 0x86);
  EXPECT_TRUE(p.logged("E Invalid argument: dbc-can0=a.dbc"));
  EXPECT_TRUE(p.logged("E Invalid argument: dbc-lin256=b.dbc"));
  EXPECT_TRUE(p.logged("E No DBC files found"));

  // The whole program: nothing converted, no statistics, a failure status.
  E2eRun r = e2eRunMain({"--dbc-can0=a.dbc", dir / "in"}, dir.path());
  EXPECT_EQ(r.status, 0x86);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.logged("E No DBC files found"));
}

TEST(cDecoderCLI, FilesThatDoNotLoadAreSkipped) {
  TempDir dir;
  dir.write("good.dbc", dbcWith("Good"));
  dir.write("empty.dbc", "");
  dir.write("twice.dbc", e2eDbc("CAN",
                                "BO_ 256 One: 1 ECU\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                "BO_ 256 Two: 1 ECU\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" ECU\n"));
  dir.mkdir("folder.dbc");
  Parsed p = parse(dir, {"--dbc-can1=missing.dbc", "--dbc-can1=empty.dbc", "--dbc-can1=good.dbc",
                         "--dbc-can1=twice.dbc", "--dbc-can1=folder.dbc"});
  ASSERT_TRUE(p.run);
  EXPECT_TRUE(p.logged("E Failed to open DBC file: missing.dbc"));
  EXPECT_TRUE(p.logged("E Failed to load DBC file: empty.dbc"));
  EXPECT_TRUE(p.logged("E Failed to load DBC file: twice.dbc"));
  EXPECT_FALSE(p.logged("I Successfully loaded DBC file: folder.dbc"));
  EXPECT_TRUE(p.logged("I Successfully loaded DBC file: good.dbc"));
  EXPECT_EQ(messageNames(p.cli->canDatabases, 1), (std::vector<std::string>{"Good"}));
}

TEST(cDecoderCLI, DatabasesOfOneChannelKeepTheirOrder) {
  TempDir dir;
  dir.write("x.dbc", dbcWith("X"));
  dir.write("y.dbc", dbcWith("Y"));
  dir.write("z.dbc", dbcWith("Z", "LIN"));
  // LIN options given first still come after the CAN ones.
  Parsed p = parse(dir, {"--dbc-lin1=z.dbc", "--dbc-can3=y.dbc", "--dbc-can3=x.dbc",
                         "--dbc-can3=y.dbc", "--dbc-lin1=z.dbc"});
  ASSERT_TRUE(p.run);
  EXPECT_EQ(p.decoder->dbcArguments(),
            (std::vector<std::string>{"dbc-can3=y.dbc", "dbc-can3=x.dbc", "dbc-can3=y.dbc",
                                      "dbc-lin1=z.dbc", "dbc-lin1=z.dbc"}));
  EXPECT_EQ(messageNames(p.cli->canDatabases, 3), (std::vector<std::string>{"Y", "X", "Y"}));
  EXPECT_EQ(messageNames(p.cli->linDatabases, 1, 0), (std::vector<std::string>{"Z", "Z"}));
}

TEST(cDecoderCLI, FlagPairsAndTheirDefaults) {
  struct Case {
    std::vector<std::string> flags;
    bool concat, srcMerge, dstMerge, dump;
  };
  const Case cases[] = {
      {{}, true, false, true, false},
      {{"--no-concat"}, false, false, true, false},
      {{"--concat"}, true, false, true, false},
      {{"--concat", "--no-concat"}, false, false, true, false},
      {{"--no-concat", "--concat"}, false, false, true, false},
      {{"--pgn-src-merge"}, true, true, true, false},
      {{"--no-pgn-src-merge", "--pgn-src-merge"}, true, false, true, false},
      {{"--no-pgn-dst-merge"}, true, false, false, false},
      {{"--pgn-dst-merge", "--no-pgn-dst-merge"}, true, false, false, false},
      {{"--dbdump"}, true, false, true, true},
      {{"--no-dbdump", "--dbdump"}, true, false, true, false},
      {{"--no-concat", "--pgn-src-merge", "--no-pgn-dst-merge", "--dbdump"},
       false, true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.flags));
    TempDir dir;
    dir.write("can1-a.dbc", dbcWith("A"));
    Parsed p = parse(dir, c.flags);
    ASSERT_TRUE(p.run);
    EXPECT_EQ(p.cli->concat, c.concat);
    EXPECT_EQ(p.cli->pgnSrcMerge, c.srcMerge);
    EXPECT_EQ(p.cli->pgnDstMerge, c.dstMerge);
    EXPECT_EQ(p.decoder->dbDump(), c.dump);
  }
}

TEST(cDecoderCLI, FlagGivenTwiceIsAnOptionError) {
  TempDir dir;
  dir.write("can1-a.dbc", dbcWith("A"));
  E2eRun r = e2eRunMain({"--concat", "--concat", dir / "in"}, dir.path());
  EXPECT_EQ(r.status, 0x86);
  EXPECT_EQ(r.out.rfind("lograven: extraneous option ", 0), 0u) << r.out;
}

TEST(cDecoderCLI, DumpGoesToTheWorkingDirectory) {
  TempDir dir;
  dir.write("dbc/engine.dbc", dbcWith("Engine"));
  dir.write("dbc/other/engine.dbc", dbcWith("Second"));
  dir.write("body.dbc", dbcWith("Body", "LIN"));
  dir.mkdir("work");
  Parsed p = parse(dir,
                   {"--dbdump", "--dbc-can1=" + dir.path() + "/dbc/engine.dbc",
                    "--dbc-can2=../dbc/other/engine.dbc", "--dbc-lin1=../body.dbc"},
                   dir / "work");
  ASSERT_TRUE(p.run);
  EXPECT_TRUE(p.logged("I Dumping DB " + dir.path() + "/dbc/engine.dbc to engine.json"));
  EXPECT_TRUE(p.logged("I Dumping DB ../dbc/other/engine.dbc to engine.json"));
  EXPECT_TRUE(p.logged("I Dumping DB ../body.dbc to body.json"));
  // Same file name twice: the later database is the one left.
  const std::string engine = readFile(dir / "work/engine.json");
  EXPECT_NE(engine.find("Second"), std::string::npos) << engine;
  EXPECT_EQ(engine.find("Engine"), std::string::npos) << engine;
  EXPECT_NE(readFile(dir / "work/body.json").find("Body"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "dbc/engine.json"));
}

TEST(cDecoderCLI, DumpFailureDoesNotStopTheRun) {
  TempDir dir;
  dir.write("can1-a.dbc", dbcWith("A"));
  dir.mkdir("can1-a.json");  // the dump cannot be opened over a folder
  Parsed p = parse(dir, {"--dbdump"});
  EXPECT_TRUE(p.run);
  EXPECT_TRUE(p.logged("E Could not open can1-a.json for output of DBC dump"));
  EXPECT_EQ(messageNames(p.cli->canDatabases, 1), (std::vector<std::string>{"A"}));
}

}  // namespace
