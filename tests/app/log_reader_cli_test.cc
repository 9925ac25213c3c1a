// The command line with the decoder options: parsed options, log level, the
// root and file systems of the inputs, the password file and its text, DBC
// discovery and options (bus, channel, order, files that fail), the flag
// pairs and the JSON dump.  Exit statuses of runs that stop while parsing
// are in driver_test.cc.
#include "app/log_reader_cli.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/decoder_cli.h"
#include "support/argv.h"
#include "support/e2e.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

// One line of everything a parse leaves, with `dir`/ left out of paths:
// options, log level, root, inputs, the folders of the file systems, each
// password's length, per bus and channel the message of each database in
// load order, the flags (C concat, S PGN source merge, D PGN destination
// merge), then the log in short: "#n" passwords loaded, DBC "+" loaded, "?"
// invalid argument, "!" not opened, "-" not loaded, ">" dumped.
std::string describe(const cLogReaderCLI& cli, const std::string& dir, std::vector<std::string> log) {
  auto where = [&dir](const cFS* fs) {  // the folder of the file "f"
    std::string f;
    fs->relativeToAbsolutePath("f", &f);
    return std::filesystem::path(f.substr(dir.size())).lexically_normal().parent_path().string();
  };
  const cLogReaderOptions& o = cli.options;
  std::string s = std::string(o.deleteConverted ? "d" : "") + (o.noAppendRoot ? "X" : "") +
                  (o.nonInteractive ? "n" : "") + (o.utc ? "u" : "") + " b" + std::to_string(o.bufferSize) + " level" +
                  std::to_string(zf_log_global_output_lvl) + " root=" + cli.root.substr(dir.size()) + " inputs=";
  for (const std::string& i : cli.inputs) s += i + ",";
  s += " in=" + where(cli.inputFs()) + " out=" + (cli.outputFs() == cli.inputFs() ? "in" : where(cli.outputFs()));
  s += " pw=";
  for (const auto& [key, pw] : std::map(o.passwords.begin(), o.passwords.end()))
    s += key + ":" + std::to_string(pw.size()) + ",";
  for (const cDBMap* map : {&cli.canDatabases, &cli.linDatabases})
    for (int channel = 0; channel < 256; ++channel) {
      if (!map->contains(static_cast<uint8_t>(channel))) continue;
      s += (map == &cli.canDatabases ? " can" : " lin") + std::to_string(channel) + ":";
      for (const auto& db : map->at(static_cast<uint8_t>(channel))) s += db->messages().begin()->second.name + ",";
    }
  s += std::string(" ") + (cli.concat ? "C" : "") + (cli.pgnSrcMerge ? "S" : "") + (cli.pgnDstMerge ? "D" : "") + " |";
  const std::pair<std::string, const char*> marks[] = {
      {"I Successfully loaded DBC file: ", "+"}, {"E Invalid argument: dbc-", "?"},
      {"E Failed to open DBC file: ", "!"},      {"E Could not open ", "!"},
      {"E Failed to load DBC file: ", "-"},      {"I Dumping DB ", ">"}};
  for (std::string& l : log) {
    for (size_t at; (at = l.find(dir + "/")) != std::string::npos;) l.erase(at, dir.size() + 1);
    if (l.ends_with(" password(s) loaded")) s += " #" + l.substr(2, l.find(' ', 2) - 2);
    for (const auto& [text, mark] : marks)  // up to the reason behind ": "
      if (l.starts_with(text)) s += std::string(" ") + mark + l.substr(text.size(), l.find(": ", text.size()) - text.size());
  }
  return s;
}

// A database whose one message is called `name`.
std::string dbcWith(const std::string& name, const std::string& bus = "CAN") {
  return e2eDbc(bus, "BO_ 256 " + name + ": 1 ECU\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" ECU\n");
}

TEST(cLogReaderCLI, ParseFillsOptionsRootsPasswordsAndDatabases) {
  TempDir dir;
  dir.write("in/x.mf4", "x");
  for (const char* folder : {"in/logs", "out", "folder", "folder.dbc", "can6-folder.dbc", "work/body.json"})
    dir.mkdir(folder);
  dir.write("pw.txt", R"({"default": "secret", "0000ABCD": "pw"})");
  // A megabyte-long password and a megabyte of white space: read in pieces.
  dir.write("big.txt", "{\"0000CAFE\":\"found\",\n\"00000001\":\"" + std::string(1 << 20, 'y') + "\"" +
                            std::string(1 << 20, ' ') + "}");
  // Discovered: "<bus><channel>-<anything>.dbc", letter case of the
  // extension aside; the argument made of it still needs ".dbc" and a bus of
  // the options.  Names without "-", other extensions and folders are passed over.
  struct Dbc { const char* name; const char* message; const char* bus = "CAN"; };
  const Dbc dbcs[] = {{"can1-b.dbc", "B"}, {"can1-a.dbc", "A"}, {"can12-x-y.DbC", "X"}, {"can5-.dbc", "G"},
                      {"CAN7-upper.dbc", "U"}, {"j1939-e.dbc", "E"}, {"notes.dbc", "N"}, {"can4-f.dbc.txt", "F"},
                      {"lin3-d.dbc", "D", "LIN"}, {"x.dbc", "x"}, {"y.dbc", "y"}, {"a.DBC", "a"}, {"z.dbc", "z", "LIN"},
                      {"dbc/engine.dbc", "Engine"}, {"dbc/other/engine.dbc", "Second"}, {"body.dbc", "Body", "LIN"}};
  for (const Dbc& d : dbcs) dir.write(d.name, dbcWith(d.message, d.bus));
  int piped[2];  // a password file through a pipe, as `-p <(…)` gives it
  ASSERT_EQ(pipe(piped), 0);
  ASSERT_EQ(write(piped[1], R"({"0000BEEF":"piped"})", 21), 21);
  close(piped[1]);
  dir.write("empty.dbc", "");
  dir.write("twice.dbc", e2eDbc("CAN", "BO_ 256 One: 1 ECU\nBO_ 256 Two: 1 ECU\n"));
  struct Case {
    std::vector<std::string> args;
    std::string expected;
    std::string cwd = "";
  } const cases[] = {
      {{"-d", "-X", "--non-interactive", "--utc", "-b", "4096", "-O", "out", "-i", "in/x.mf4", dir / "in/logs",
        "--verbosity", "4", "-p", "pw.txt", "--dbc-can1", "x.dbc"},
       "dXnu b4096 level1 root=/in/ inputs=x.mf4,logs/, in=/in out=/out pw=0000ABCD:2,default:6, can1:x, CD |"
       " #2 +x.dbc"},
      {{"in//x.mf4", "--verbosity=0", "--password-file", "big.txt", "--dbc-lin2=z.dbc"},
       " b0 level6 root=/in/ inputs=x.mf4, in=/in out=in pw=00000001:1048576,0000CAFE:5, lin2:z, CD |"},
      {{"-p", "/dev/fd/" + std::to_string(piped[0]), "--verbosity=4", "--dbc-can1=x.dbc", "in/x.mf4"},
       " b0 level1 root=/in/ inputs=x.mf4, in=/in out=in pw=0000BEEF:5, can1:x, CD | #1 +x.dbc"},
      {{"--buffer=0", "--verbosity=2", dir / "in/logs/", "--dbc-can1=x.dbc"},
       " b0 level4 root=/in/ inputs=logs/, in=/in out=in pw= can1:x, CD |"},
      {{"-b", "-1", "--verbosity=4", "in"},
       " b-1 level1 root=/ inputs=in/, in=/ out=in pw= can1:A,B, can5:G, can12:X, lin3:D, CD | #0"
       " ?CAN7=CAN7-upper.dbc +can1-a.dbc +can1-b.dbc +can12-x-y.DbC +can5-.dbc ?j1939=j1939-e.dbc +lin3-d.dbc"},
      {{"--dbc-lin1=z.dbc", "--dbc-can3=y.dbc", "--dbc-can255=x.dbc", "--dbc-can007=x.dbc", "--dbc-can3=x.dbc",
        "--dbc-can0=x.dbc", "--dbc-can256=x.dbc", "--dbc-can99999999999999999999=x.dbc", "--dbc-can=x.dbc",
        "--dbc-canX=x.dbc", "--dbc-can-1=x.dbc", "--dbc-can1=a.DBC", "--dbc-can1=.dbc", "--dbc-can1", "x.txt",
        "--dbc-can3=no.dbc", "--dbc-can3=empty.dbc", "--dbc-can3=twice.dbc", "--dbc-can3=folder.dbc",
        "--dbc-can3=y.dbc", "--dbc-lin1=z.dbc", "--no-concat", "--concat", "--pgn-src-merge",
        "--no-pgn-dst-merge", "--dbdump", "--no-dbdump", "in/x.mf4"},
       " b0 level3 root=/in/ inputs=x.mf4, in=/in out=in pw= can1:a, can3:y,x,y, can7:x, can255:x, lin1:z,z, S |"
       " #0 +y.dbc +x.dbc +x.dbc +x.dbc ?can0=x.dbc ?can256=x.dbc ?can99999999999999999999=x.dbc ?can=x.dbc"
       " ?canX=x.dbc ?can-1=x.dbc +a.DBC ?can1=.dbc ?can1=x.txt !no.dbc -empty.dbc -twice.dbc !folder.dbc"
       " +y.dbc +z.dbc +z.dbc"},
      // The dump goes to the working directory; one that cannot be written is skipped.
      {{"--dbdump", "--dbc-can1=" + dir / "dbc/engine.dbc", "--dbc-can2=../dbc/other/engine.dbc",
        "--dbc-lin1=../body.dbc", "--no-concat", "--pgn-src-merge", "--no-pgn-src-merge", "--pgn-dst-merge",
        dir / "in/x.mf4"},
       " b0 level3 root=/in/ inputs=x.mf4, in=/in out=in pw= can1:Engine, can2:Second, lin1:Body, D | #0"
       " +dbc/engine.dbc >dbc/engine.dbc to engine.json +../dbc/other/engine.dbc"
       " >../dbc/other/engine.dbc to engine.json +../body.dbc >../body.dbc to body.json"
       " !body.json for output of DBC dump", "work"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    LogCapture log;
    ScopedCwd cwd(dir / c.cwd);
    std::unique_ptr<cLogReaderCLI> cli = cDecoderCLI_ctor();
    TestArgv a(c.args);
    int32_t status = 0;
    ASSERT_TRUE(cli->parse(a.argc(), a.argv(), &status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(describe(*cli, dir.path(), log.messages()), c.expected);
  }
  close(piped[0]);
  // Only the one dump asked for; of two with the same file name, the later.
  const FileTree dumps = readTree(dir.path(), ".json");
  ASSERT_EQ(dumps.size(), 1u);
  EXPECT_NE(dumps.at("work/engine.json").find("\"Second\""), std::string::npos);
  EXPECT_EQ(dumps.at("work/engine.json").find("Engine"), std::string::npos);
}

TEST(cLogReaderCLI, PasswordFileIsOneObjectOfTexts) {
  const std::string noDevice = "\" matches no device: \"default\" or a serial number of eight upper-case "
                               "hexadecimal digits is expected";
  const std::string notText = "; a text in double quotes is expected";
  struct Case {
    std::string text;
    std::unordered_map<std::string, std::string> expected;  // added to {"x": "y"}
    std::vector<std::string> log;  // with the path "p.json" left out
  } const cases[] = {
      {"{\"default\":\"pw\",\n  \"0000abcd\" : \"x y\", \"name\":\"not hex\",\"ABC\":\"six\"}",
       {{"default", "pw"}, {"0000abcd", "x y"}, {"ABC", "six"}},
       {"W : key \"0000abcd" + noDevice, "W : a key of 4 characters, not all hexadecimal digits," + noDevice.substr(1),
        "W : key \"ABC" + noDevice}},
      {R"( {"00C0FFEE":"with \"escape\" \u00e9\n", "":"empty key"} )",
       {{"00C0FFEE", "with \"escape\" \xC3\xA9\n"}, {"", "empty key"}}, {"W : key \"" + noDevice}},
      {R"({"0000009A":"first","0000009A":"second","default":"d"})", {{"0000009A", "first"}, {"default", "d"}},
       {"W Failed to insert key for \"0000009A\" in password storage"}},
      {"{}", {}, {}},
      // Malformed: nothing is taken, the position is that of the last character read.
      {R"({"1122AABB": s3cret})", {},
       {"E : line 1, column 14: syntax error while parsing value - invalid literal"}},
      {"{\"A1B2C3D4\": \"x\",\n \"default\": 12}", {}, {"E : line 2, column 14: the password of \"default\" is a number" + notText}},
      {R"({"00000001":"ok", "name": [1]})", {}, {"E : line 1, column 27: the password of \"name\" is an array" + notText}},
      {R"({"default":{"x":"y"}})", {}, {"E : line 1, column 12: the password of \"default\" is an object" + notText}},
      {R"(["a"])", {}, {"E : line 1, column 1: the file is an array; one object of serial numbers and passwords is expected"
                       " ({\"default\": \"...\"})"}},
      {"", {}, {"E : line 1, column 1: syntax error while parsing value - unexpected end of input; expected '[', '{', or a literal"}},
      {R"({"default":"x"} {})", {}, {"E : line 1, column 17: syntax error while parsing value - unexpected '{'; expected end of input"}},
      {"{\"default\":\"\xFF\"}", {}, {"E : line 1, column 13: syntax error while parsing value - invalid string: ill-formed UTF-8 byte"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    LogCapture log;
    std::unordered_map<std::string, std::string> got{{"x", "y"}}, expected{{"x", "y"}};
    expected.insert(c.expected.begin(), c.expected.end());
    EXPECT_EQ(cLogReaderCLI_parsePasswords(c.text, "p.json", &got), c.log.empty() || c.log[0][0] != 'E');
    EXPECT_EQ(got, expected);
    std::vector<std::string> messages = log.messages();
    for (std::string& m : messages) {
      for (const char* path : {"Password file p.json", "Could not parse password file p.json"})
        if (m.find(path) == 2) m.erase(2, std::string(path).size());
    }
    EXPECT_EQ(messages, c.log);
  }
}

// An extension that cannot add its options: the run cannot start.
struct BrokenExtension : cLogReaderCLIExtension {
  bool addOptions(cLogReaderCLI&, cArgTable&) override { return false; }
};

TEST(cLogReaderCLIExtension, OptionsThatCannotBeAddedStopTheRun) {
  cLogReaderCLI cli;
  cli.setExtension(std::make_unique<BrokenExtension>());
  TestArgv a({"/tmp"});
  int32_t status = 0;
  EXPECT_FALSE(cli.parse(a.argc(), a.argv(), &status));
  EXPECT_EQ(status, 0x81);
}

}  // namespace
