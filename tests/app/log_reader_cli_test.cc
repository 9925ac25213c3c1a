#include "app/log_reader_cli.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "support/argv.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "version.h"

namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

struct ParseResult {
  bool ok;
  int32_t status;
  std::string out;
};

ParseResult parse(cLogReaderCLI& cli, std::vector<std::string> args) {
  TestArgv a(std::move(args));
  int32_t status = 0;
  CaptureStdout();
  bool ok = cli.parse(a.argc(), a.argv(), &status);
  std::fflush(stdout);
  return {ok, status, GetCapturedStdout()};
}

ParseResult parse(std::vector<std::string> args) {
  cLogReaderCLI cli;
  return parse(cli, std::move(args));
}

TEST(cLogReaderCLI, StatusesAndMessages) {
  TempDir dir;
  dir.write("in/x.mf4", "x");
  const std::string in = dir / "in/x.mf4";
  struct Case {
    std::vector<std::string> args;
    int32_t status;
    std::string out;  // exact standard output; "*" means the usage text
  };
  const Case cases[] = {
      {{}, 0, "*"},
      {{"--help"}, 0, "*"},
      {{"--help", "--bogus", "-v"}, 0, "*"},
      {{"--verbosity=6", "x"}, 0x83, ""},
      {{"--verbosity=-1", in}, 0x83, ""},
      {{"--buffer"}, 0x82, ""},
      {{in, "-b"}, 0x82, ""},
      {{"--buffer=abc", in}, 0x83, ""},
      {{"-b", "1k", in}, 0x83, ""},
      {{"--bogus", "x"}, 0x86, "lograven: invalid option \"--bogus\"\n"},
      {{"-Q", "x"}, 0x86, "lograven: invalid option \"-Q\"\n"},
      {{"--help=1", "x"}, 0x86, "lograven: invalid option \"--help=1\"\n"},
      {{"-d"}, 0x86, "lograven: missing option file(s)/folder(s)\n"},
      {{"-d", "--delete-converted", in},
       0x86,
       "lograven: extraneous option -d|--delete-converted\n"},
      {{"-b", "1", "--buffer=2", in}, 0x86, "lograven: excess option -b|--buffer=2\n"},
      {{"--buffer=99999999999999999999", in},
       0x86,
       "lograven: integer overflow at option -b|--buffer=<n> (99999999999999999999 is too "
       "large)\n"},
      {{"--bogus", "-Q"},
       0x86,
       "lograven: invalid option \"--bogus\"\nlograven: invalid option \"-Q\"\n"
       "lograven: missing option file(s)/folder(s)\n"},
      {{"/data/a/x.mf4", "/data/b/y.mf4"}, 0x84, ""},
      {{"/x.mf4"}, 0x84, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    LogCapture log;
    ParseResult r = parse(c.args);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.status, c.status);
    if (c.out == "*") {
      EXPECT_EQ(r.out.rfind("Usage: lograven [--help] [-v|--version] [--verbosity=<n>] ", 0), 0u)
          << r.out;
    } else {
      EXPECT_EQ(r.out, c.out);
    }
  }
}

TEST(cLogReaderCLI, UsageText) {
  ParseResult r = parse({});
  const std::string expected =
      "Usage: lograven [--help] [-v|--version] [--verbosity=<n>] [--non-interactive] "
      "[-d|--delete-converted] [-X|--no-append-root] [-b|--buffer=<n>] "
      "[-p|--password-file=<path>] [-O|--output-directory=<path>] "
      "[-i|--input-files=<file(s)/folder(s)>] file(s)/folder(s) [file(s)/folder(s)]...\n\n"
      "  --help                                   display this help and exit\n"
      "  -v, --version                            display tool version and exit\n"
      "  --verbosity=<n>                          verbosity of logging messages from 0 to 4, "
      "with 0 being fatal messages only 4 being all messages including debug information. "
      "defaults to 3\n"
      "  --non-interactive                        does not print any progress output\n"
      "  -d, --delete-converted                   deletes files after conversion if specified\n"
      "  -X, --no-append-root                     do not add \"_out\" when converting folders\n"
      "  -b, --buffer=<n>                         buffer size in bytes. 0 disables and -1 takes "
      "entire file\n"
      "  -p, --password-file=<path>               where to find device passwords for encrypted "
      "files, defaults to \"passwords.json\"\n"
      "  -O, --output-directory=<path>            where to place the converted files\n"
      "  -i, --input-files=<file(s)/folder(s)>    list of input files/folders, must have common "
      "root\n";
  EXPECT_EQ(r.out, expected);
}

TEST(cLogReaderCLI, VersionLines) {
  for (const char* flag : {"-v", "--version"}) {
    SCOPED_TRACE(flag);
    ParseResult r = parse({flag, "--bogus"});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("Version: ") + LOGRAVEN_VERSION + "\nBuild date: " +
                         LOGRAVEN_BUILD_DATE + "\nGIT SHA: " + LOGRAVEN_GIT_SHA + "\n");
  }
}

TEST(cLogReaderCLI, VerbositySetsTheLogLevel) {
  TempDir dir;
  dir.write("x.mf4", "x");
  struct Case {
    const char* option;
    int32_t level;
  };
  const Case cases[] = {{nullptr, 3},        {"--verbosity=0", 6}, {"--verbosity=1", 5},
                        {"--verbosity=2", 4}, {"--verbosity=3", 3}, {"--verbosity=4", 1},
                        {"--verbosity=5", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option ? c.option : "none");
    LogCapture log;
    std::vector<std::string> args{dir / "x.mf4"};
    if (c.option) args.push_back(c.option);
    EXPECT_TRUE(parse(args).ok);
    EXPECT_EQ(zf_log_global_output_lvl, c.level);
  }
}

TEST(cLogReaderCLI, SuccessfulParseFillsOptionsRootAndFileSystems) {
  TempDir dir;
  dir.write("in/x.mf4", "x");
  dir.mkdir("in/logs");
  dir.mkdir("out");
  LogCapture log;
  cLogReaderCLI cli;
  ScopedCwd cwd(dir.path());
  ParseResult r = parse(cli, {"-d", "-X", "--non-interactive", "-b", "4096", "-O", "out", "-i",
                      "in/x.mf4", dir / "in/logs"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(cli.options.deleteConverted);
  EXPECT_TRUE(cli.options.noAppendRoot);
  EXPECT_TRUE(cli.options.nonInteractive);
  EXPECT_EQ(cli.options.bufferSize, 4096);
  EXPECT_EQ(cli.root, dir / "in/");
  EXPECT_EQ(cli.inputs, (std::vector<std::string>{"x.mf4", "logs/"}));
  ASSERT_TRUE(cli.inputFs());
  EXPECT_EQ(cli.inputFs()->root(), dir / "in/");
  ASSERT_TRUE(cli.outputFs());
  EXPECT_EQ(cli.outputFs()->root(), dir / "out/");
  EXPECT_EQ(cli.outputDirectory, std::vector<std::string>{dir / "out/"});
  EXPECT_TRUE(log.contains("I 0 password(s) loaded"));
}

TEST(cLogReaderCLI, DefaultsWithoutOptions) {
  TempDir dir;
  dir.write("x.mf4", "x");
  LogCapture log;
  cLogReaderCLI cli;
  ASSERT_TRUE(parse(cli, {dir / "x.mf4"}).ok);
  EXPECT_FALSE(cli.options.deleteConverted);
  EXPECT_FALSE(cli.options.noAppendRoot);
  EXPECT_EQ(cli.options.bufferSize, -1);
  EXPECT_EQ(cli.outputFs(), cli.inputFs());
  EXPECT_TRUE(cli.concat);
  EXPECT_FALSE(cli.pgnSrcMerge);
  EXPECT_TRUE(cli.pgnDstMerge);
}

TEST(cLogReaderCLI, FolderInputKeepsTrailingSlash) {
  TempDir dir;
  dir.mkdir("data/logs");
  LogCapture log;
  cLogReaderCLI cli;
  ASSERT_TRUE(parse(cli, {dir / "data/logs/"}).ok);
  EXPECT_EQ(cli.root, dir / "data/");
  EXPECT_EQ(cli.inputs, std::vector<std::string>{"logs/"});
}

TEST(cLogReaderCLI, CommonRoot) {
  struct Case {
    std::vector<std::string> inputs;
    bool ok;
    std::string root;
    std::string log;
  };
  const Case cases[] = {
      {{"/data/a/x.mf4", "/data/a/y"}, true, "/data/a/", ""},
      {{"/data/logs/"}, true, "/data/", ""},
      {{"/data/a/x.mf4", "/data/b/y.mf4"}, false, "", "F No common root detected for all inputs"},
      {{"/x.mf4"}, false, "", "F Could not find root for /x.mf4"},
      {{"/"}, false, "", "F Could not find root for /"},
      {{"/a/", "/a/b"}, false, "", "F Could not find root for /a/"},
      {{"//x"}, true, "//", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.inputs));
    LogCapture log;
    std::string root;
    EXPECT_EQ(cLogReaderCLI_commonRoot(c.inputs, &root), c.ok);
    if (c.ok) {
      EXPECT_EQ(root, c.root);
    }
    if (!c.log.empty()) {
      EXPECT_TRUE(log.contains(c.log)) << ::testing::PrintToString(log.messages());
    }
  }
}

TEST(cLogReaderCLI, RunDoesNotStartWithoutUsableFileSystems) {
  TempDir dir;
  dir.write("x.mf4", "x");
  {
    LogCapture log;
    ParseResult r = parse({"/nonexistent_lograven_dir/x.mf4"});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.status, 1) << "a missing input root must not look like success";
    EXPECT_TRUE(log.contains("W Could not find input file/folder /nonexistent_lograven_dir/"));
  }
  {
    LogCapture log;
    const std::string out = dir / "missing_out";
    ParseResult r = parse({"-O", out, dir / "x.mf4"});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.status, 0x86) << "an unusable output directory must not look like success";
    EXPECT_TRUE(log.contains("E Invalid output path: " + out));
  }
}

TEST(cLogReaderCLI, NamedPasswordFileThatDoesNotOpen) {
  TempDir dir;
  dir.write("x.mf4", "x");
  LogCapture log;
  ParseResult r = parse({"-p", dir / "nope.json", dir / "x.mf4"});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(log.contains("E Failed to open password file at " + dir / "nope.json"));
}

TEST(cLogReaderCLI, DefaultPasswordFileFromWorkingDirectory) {
  TempDir dir;
  dir.write("x.mf4", "x");
  dir.write("passwords.json", R"({"default": "secret", "0000ABCD": "pw"})");
  ScopedCwd cwd(dir.path());
  LogCapture log;
  cLogReaderCLI cli;
  ASSERT_TRUE(parse(cli, {"x.mf4"}).ok);
  EXPECT_EQ(cli.options.passwords.size(), 2u);
  EXPECT_EQ(cli.options.passwords.at("default"), "secret");
  EXPECT_TRUE(log.contains("I 2 password(s) loaded"));
}

TEST(cLogReaderCLI, PasswordTextPairs) {
  using Map = std::unordered_map<std::string, std::string>;
  struct Case {
    std::string text;
    Map expected;
  };
  const Case cases[] = {
      {R"({"default":"pw","12345678":"x y"})", {{"default", "pw"}, {"12345678", "x y"}}},
      {"{\n  \"0000abcd\" : \"lower\",\n  \"ABC\": \"six\"\n}",
       {{"0000abcd", "lower"}, {"ABC", "six"}}},
      {R"("":"empty key")", {{"", "empty key"}}},
      {R"({"name":"not hex","00000001":"ok"})", {{"00000001", "ok"}}},
      {R"("00000001":"no "escape" handling")", {{"00000001", "no "}}},
      {"\"00000002\":\"split\nline\",\"00000003\":\"ok\"", {{"00000003", "ok"}}},
      {R"("default":"", )", {{"default", ""}}},
      {"", {}},
      {std::string("\"AB\":\"\xFF\x00\x01\"", 10), {{"AB", std::string("\xFF\x00\x01", 3)}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    LogCapture log;
    Map got;
    EXPECT_TRUE(cLogReaderCLI_parsePasswords(c.text, &got));
    EXPECT_EQ(got, c.expected);
  }
}

TEST(cLogReaderCLI, DuplicateKeyKeepsFirstPasswordAndWarnsOnce) {
  LogCapture log;
  std::unordered_map<std::string, std::string> got;
  EXPECT_TRUE(cLogReaderCLI_parsePasswords(
      R"({"0000000A":"first","0000000A":"second","default":"d"})", &got));
  EXPECT_EQ(got.at("0000000A"), "first");
  int warnings = 0;
  for (const std::string& m : log.messages())
    if (m == "W Failed to insert key for \"0000000A\" in password storage") ++warnings;
  EXPECT_EQ(warnings, 1);
}

// Hostile password files: the parse must finish and keep what matches.
TEST(cLogReaderCLI, HostilePasswordFiles) {
  TempDir dir;
  dir.write("x.mf4", "x");
  std::mt19937 rng(12345);  // fixed seed
  auto randomBytes = [&rng](size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
  };
  const std::string pair = "\"0000CAFE\":\"found\"";
  struct Case {
    const char* name;
    std::string content;
    size_t entries;
  };
  std::vector<Case> cases;
  cases.push_back({"empty", "", 0});
  cases.push_back({"binary", randomBytes(1 << 16) + "\n" + pair + "\n" + randomBytes(1 << 16), 1});
  cases.push_back({"unterminated 1 MB line", "{\"default\":\"" + std::string(1 << 20, 'x'), 0});
  cases.push_back({"1 MB password", "{\"default\":\"" + std::string(1 << 20, 'y') + "\"}", 1});
  cases.push_back({"1 MB of quotes", std::string(1 << 20, '"') + "\n" + pair, 1});
  std::string big = randomBytes(1 << 20);
  big.reserve(100u << 20);
  while (big.size() < (100u << 20)) big.append(big, 0, std::min(big.size(), (100u << 20) - big.size()));
  big.append("\n" + pair + "\n");
  cases.push_back({"100 MB", std::move(big), 1});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dir.write("pw.json", c.content);
    LogCapture log;
    cLogReaderCLI cli;
    ParseResult r = parse(cli, {"-p", dir / "pw.json", dir / "x.mf4"});
    EXPECT_TRUE(r.ok);
    EXPECT_GE(cli.options.passwords.size(), c.entries);
    if (c.entries == 1 && c.content.find(pair) != std::string::npos) {
      EXPECT_EQ(cli.options.passwords.count("0000CAFE"), 1u);
    }
  }
}

TEST(cLogReaderCLI, PasswordFileThatIsAFolderLoadsNothing) {
  TempDir dir;
  dir.write("x.mf4", "x");
  dir.mkdir("pw");
  LogCapture log;
  cLogReaderCLI cli;
  ParseResult r = parse(cli, {"-p", dir / "pw", dir / "x.mf4"});
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(cli.options.passwords.empty());
  EXPECT_TRUE(log.contains("W Could not read password file " + dir / "pw/"));
  EXPECT_TRUE(log.contains("I 0 password(s) loaded"));
}

// A test-only extension: a flag pair sharing one target, a wildcard option
// and hooks that record what they saw.
struct ExtensionProbe {
  bool added = false;
  bool completedWithRoot = false;
  bool flag = true;
  std::vector<std::string> databases;
  std::string rootAtDestruction;
};

class TestExtension final : public cLogReaderCLIExtension {
 public:
  TestExtension(ExtensionProbe* probe, bool addResult, bool completeResult)
      : probe_(probe), addResult_(addResult), completeResult_(completeResult) {}
  ~TestExtension() override {
    if (cli_ != nullptr) probe_->rootAtDestruction = cli_->root;
  }
  bool addOptions(cLogReaderCLI& cli, cArgTable& table) override {
    cli_ = &cli;
    probe_->added = true;
    on_ = table.addFlag(0, "thing", "enable the thing (default)");
    off_ = table.addFlag(0, "no-thing", "disable the thing");
    on_->target = off_->target = &probe_->flag;
    on_->targetValue = true;
    off_->targetValue = false;
    db_ = table.addWildcard("dbc-can*", "<n>=<file>", "path to CAN DBC file", 0, 99);
    return addResult_;
  }
  bool parseOptionsComplete(cLogReaderCLI& cli) override {
    probe_->completedWithRoot = !cli.root.empty() && cli.inputFs() != nullptr;
    probe_->databases = db_->values;
    return completeResult_;
  }

 private:
  ExtensionProbe* probe_;
  bool addResult_;
  bool completeResult_;
  cLogReaderCLI* cli_ = nullptr;
  cArgOption* on_ = nullptr;
  cArgOption* off_ = nullptr;
  cArgOption* db_ = nullptr;
};

TEST(cLogReaderCLIExtension, AddsOptionsAndCompletesParsing) {
  TempDir dir;
  dir.write("in/x.mf4", "x");
  ExtensionProbe probe;
  {
    LogCapture log;
    cLogReaderCLI cli;
    cli.setExtension(std::make_unique<TestExtension>(&probe, true, true));
    ParseResult r = parse(cli, {"--no-thing", "--dbc-can1=a.dbc", dir / "in/x.mf4", "--thing",
                        "--dbc-can2=b.dbc"});
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(probe.added);
    EXPECT_TRUE(probe.completedWithRoot);
    EXPECT_FALSE(probe.flag);  // the "no-" option wins whatever the order
    EXPECT_EQ(probe.databases, (std::vector<std::string>{"dbc-can1=a.dbc", "dbc-can2=b.dbc"}));
  }
  EXPECT_EQ(probe.rootAtDestruction, dir / "in/");
}

TEST(cLogReaderCLIExtension, OptionsAppearBetweenPasswordFileAndOutputDirectory) {
  ExtensionProbe probe;
  cLogReaderCLI cli;
  cli.setExtension(std::make_unique<TestExtension>(&probe, true, true));
  ParseResult r = parse(cli, {});
  EXPECT_NE(r.out.find("[-p|--password-file=<path>] [--thing] [--no-thing] "
                       "[--dbc-can<n>=<file>]... [-O|--output-directory=<path>]"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("  --dbc-can<n>=<file>                      path to CAN DBC file\n"),
            std::string::npos);
}

TEST(cLogReaderCLIExtension, ResultsAndErrors) {
  TempDir dir;
  dir.write("x.mf4", "x");
  struct Case {
    bool addResult;
    bool completeResult;
    std::vector<std::string> args;
    bool ok;
    int32_t status;
    std::string out;
  };
  const Case cases[] = {
      {false, true, {"x"}, false, 0x81, ""},
      {true, false, {dir / "x.mf4"}, false, 0x86, ""},
      {true, true, {"--thing", "--thing", dir / "x.mf4"}, false, 0x86,
       "lograven: extraneous option --thing\n"},
      {true, true, {"--dbc-lin1=x.dbc", dir / "x.mf4"}, false, 0x86,
       "lograven: invalid option \"--dbc-lin1=x.dbc\"\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    ExtensionProbe probe;
    LogCapture log;
    cLogReaderCLI cli;
    cli.setExtension(std::make_unique<TestExtension>(&probe, c.addResult, c.completeResult));
    ParseResult r = parse(cli, c.args);
    EXPECT_EQ(r.ok, c.ok);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
  }
}

TEST(cLogReaderCLIExtension, WildcardAcceptsNinetyNineOccurrences) {
  TempDir dir;
  dir.write("x.mf4", "x");
  std::vector<std::string> args;
  for (int i = 1; i <= 100; ++i) args.push_back("--dbc-can" + std::to_string(i) + "=f.dbc");
  args.push_back(dir / "x.mf4");
  ExtensionProbe probe;
  LogCapture log;
  cLogReaderCLI cli;
  cli.setExtension(std::make_unique<TestExtension>(&probe, true, true));
  ParseResult r = parse(cli, args);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, 0x86);
  EXPECT_EQ(r.out, "lograven: excess option --dbc-can100=f.dbc\n");
}

}  // namespace
