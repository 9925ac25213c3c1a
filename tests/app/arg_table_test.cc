// Command-line argument table: every argument notation, the parsed values
// and counts, the error messages, the syntax line and the glossary.
#include "app/arg_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/argv.h"

namespace {

// A small tool's table: flags (one short-only, one with a documented long
// name, a pair sharing a target), an integer, a checked path, a checked
// wildcard and one or two positional files.
struct Tool {
  cArgTable table;
  bool color = false;

  Tool() {
    table.addFlag('V', "verbose", "talk more");
    table.addFlag('q', "", "talk less");
    cArgOption* on = table.addFlag(0, "color", "");
    cArgOption* off = table.addFlag(0, "no-color", "");
    on->target = off->target = &color;
    off->targetValue = false;
    table.addFlag('i', "in=<files>", "");
    cArgOption* level = table.addInt('l', "level", "<n>", "");
    level->maxValue = 100;
    level->expected = "at most 100";
    cArgOption* out = table.addText('o', "out", "<path>", "output");
    out->onValue = [](const std::string& v) { return v == "bad" ? 3 : 0; };
    out->errorText = [](int code) { return "code " + std::to_string(code); };
    table.addWildcard("db-can*", "<n>=<file>", "database", 0, 3)->onValue = [](const std::string& v) {
      return v.starts_with("db-can0") ? 1 : 0;
    };
    table.addPositional("file", 1, 2);
  }
  // "C" when the colour target is set, then "key=value," per given option:
  // the count of a flag, each value of the others.
  std::string state() const {
    std::string s = color ? "C" : "";
    for (const auto& o : table.options()) {
      if (o->count == 0) continue;
      const std::string key = o->shortName ? std::string(1, o->shortName) : o->longName;
      s += std::string(s.empty() ? "" : " ") + (key.empty() ? o->placeholder : key) + "=";
      if (o->kind == cArgKind::kFlag) s += std::to_string(o->count) + ",";
      for (int64_t n : o->ints) s += std::to_string(n) + ",";
      for (const std::string& v : o->values) s += v + ",";
    }
    return s;
  }
  std::vector<std::string> parse(const std::vector<std::string>& args) {
    TestArgv a(args);
    const bool ok = table.parse(a.argc(), a.argv());
    std::vector<std::string> m;
    for (const cArgError& e : table.errors()) m.push_back(table.errorMessage(e));
    EXPECT_EQ(ok, m.empty());
    return m;
  }
};

TEST(cArgTable, ParsesArgumentsIntoValuesAndErrors) {
  const std::string badInt = "\" to option -l|--level=<n>: at most 100";
  struct Case {
    std::vector<std::string> args;
    std::string state;
    std::vector<std::string> errors;
  } const cases[] = {
      {{"--level=5", "-o", "-x", "f"}, "l=5, o=-x, file=f,", {}},
      {{"--level", "-5", "--out=", "f", "g"}, "l=-5, o=, file=f,g,", {}},
      {{"f", "-Vqil", "+100", "--out", "y"}, "V=1, q=1, i=1, l=100, o=y, file=f,", {}},
      {{"-l-9223372036854775808", "-o=y", "--", "-l", "--out=z"}, "l=-9223372036854775808, o==y, file=-l,--out=z,", {}},
      {{"-", "--db-can1=e.dbc", "--db-can12", "/x/b.dbc", "--db-can2", "-o", "--db-can"},
       "db-can*=db-can1=e.dbc,db-can12=/x/b.dbc,db-can2=-o, file=-,", {"option \"--db-can\" requires an argument"}},
      {{"--color", "--in", "f"}, "C color=1, i=1, file=f,", {}},
      {{"--no-color", "--color", "f"}, "color=1, no-color=1, file=f,", {}},  // later table entry wins
      {{"--bogus=1", "-Vzq", "--verbose=1", "--verb", "--in=x", "f"}, "V=1, q=1, file=f,",
       {"invalid option \"--bogus=1\"", "invalid option \"-z\"", "invalid option \"--verbose=1\"",
        "invalid option \"--verb\"", "invalid option \"--in=x\""}},
      {{"f", "--level"}, "file=f,", {"option \"--level\" requires an argument"}},
      {{"f", "-l"}, "file=f,", {"option \"-l\" requires an argument"}},
      {{"-V", "-V", "-q", "-q", "--in", "-i"}, "V=1, q=1, i=1,",
       {"extraneous option -V|--verbose", "extraneous option -q", "extraneous option -i|--in=<files>",
        "missing option file"}},
      {{"--level=1", "-l2", "-o", "a", "--out=b", "--db-can1=a", "--db-can2=b", "--db-can3=c", "--db-can4=d", "f"},
       "l=1, o=a, db-can*=db-can1=a,db-can2=b,db-can3=c, file=f,",
       {"excess option -l|--level=2", "excess option -o|--out=b", "excess option --db-can4=d"}},
      {{"--level=abc", "--level=", "-l12x", "-l+-1", "-l", "0x10", "-l+", "--level", "101", "--level=9223372036854775808", "f"},
       "file=f,",
       {"invalid argument \"abc" + badInt, "invalid argument \"" + badInt, "invalid argument \"12x" + badInt,
        "invalid argument \"+-1" + badInt, "invalid argument \"0x10" + badInt, "invalid argument \"+" + badInt,
        "invalid argument \"101" + badInt, "integer overflow at option -l|--level=<n> (9223372036854775808 is too large): at most 100"}},
      {{"-o", "bad", "--db-can0=x", "a", "b", "c"}, "file=a,b,",
       {"code 3", "invalid value \"db-can0=x\"", "unexpected argument \"c\""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Tool t;
    EXPECT_EQ(t.parse(c.args), c.errors);
    EXPECT_EQ(t.state(), c.state);
  }
  // Twenty errors are kept, the last saying that there were more.
  std::vector<std::string> expected(19, "invalid option \"-z\"");
  expected.push_back("too many errors to display");
  EXPECT_EQ(Tool().parse({"-" + std::string(25, 'z'), "f"}), expected);
}

TEST(cArgTable, DescriptionsSyntaxAndGlossary) {
  Tool t;
  EXPECT_EQ(t.table.syntax(),
            " [-V|--verbose] [-q] [--color] [--no-color] [-i|--in=<files>] [-l|--level=<n>]"
            " [-o|--out=<path>] [--db-can<n>=<file>]... file [file]");
  EXPECT_EQ(t.table.glossary(),
            "  -V, --verbose                            talk more\n"
            "  -q                                       talk less\n"
            "  -o, --out=<path>                         output\n"
            "  --db-can<n>=<file>                       database\n");
  cArgTable bare;  // no positional arguments: any is unexpected
  EXPECT_EQ(bare.addFlag(0, "", "nameless"), nullptr);
  EXPECT_EQ(bare.addWildcard("db-can", "<x>", "no star", 0, 1), nullptr);
  EXPECT_EQ(bare.addWildcard("*", "<x>", "star only", 0, 1), nullptr);
  EXPECT_EQ(bare.addWildcard("db-can*", "<x>", "backwards", 2, 1), nullptr);
  EXPECT_EQ(bare.addPositional("file", -1, 1), nullptr);
  ASSERT_NE(bare.addInt('n', "", "<n>", "count"), nullptr);
  EXPECT_EQ(bare.syntax(), " [-n <n>]");
  TestArgv a({"stray", "-n", "1"});
  EXPECT_FALSE(bare.parse(a.argc(), a.argv()));
  ASSERT_EQ(bare.errors().size(), 1u);
  EXPECT_EQ(bare.errorMessage(bare.errors()[0]), "unexpected argument \"stray\"");
}

}  // namespace
