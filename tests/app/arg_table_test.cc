#include "app/arg_table.h"

#include "support/argv.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Argv = TestArgv;

// A table like a small tool's: a flag pair, an integer, a path, a wildcard
// and positional files.
struct Tool {
  cArgTable table;
  bool color = false;
  cArgOption* verbose = table.addFlag('V', "verbose", "talk more");
  cArgOption* quiet = table.addFlag('q', "", "talk less");
  cArgOption* colorOn = table.addFlag(0, "color", "use colour");
  cArgOption* colorOff = table.addFlag(0, "no-color", "no colour");
  cArgOption* level = table.addInt('l', "level", "<n>", "level");
  cArgOption* out = table.addText('o', "out", "<path>", "output");
  cArgOption* db = table.addWildcard("db-can*", "<n>=<file>", "database", 0, 3);
  cArgOption* files = table.addPositional("file", 1, cArgTable::kUnlimited);

  Tool() {
    colorOn->target = &color;
    colorOn->targetValue = true;
    colorOff->target = &color;
    colorOff->targetValue = false;
  }
  std::vector<std::string> messages() const {
    std::vector<std::string> m;
    for (const cArgError& e : table.errors()) m.push_back(table.errorMessage(e));
    return m;
  }
};

TEST(cArgTable, ParsesValuesInEveryNotation) {
  struct Case {
    std::vector<std::string> args;
    int64_t level;
    std::string out;
    std::vector<std::string> files;
  };
  const Case cases[] = {
      {{"--level=5", "--out=x", "f"}, 5, "x", {"f"}},
      {{"--level", "-5", "--out", "-x", "f"}, -5, "-x", {"f"}},
      {{"-l7", "-ox", "f", "g"}, 7, "x", {"f", "g"}},
      {{"-l", "+7", "-o", "x", "f"}, 7, "x", {"f"}},
      {{"f", "-l", "1", "g", "-o=y"}, 1, "=y", {"f", "g"}},
      {{"--", "-l", "--out=z"}, 0, "", {"-l", "--out=z"}},
      {{"-", "--level=-9223372036854775808"}, INT64_MIN, "", {"-"}},
      {{"--out=", "f"}, 0, "", {"f"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Tool t;
    Argv a(c.args);
    EXPECT_TRUE(t.table.parse(a.argc(), a.argv())) << ::testing::PrintToString(t.messages());
    EXPECT_EQ(t.level->ints.empty() ? 0 : t.level->ints[0], c.level);
    EXPECT_EQ(t.out->values.empty() ? "" : t.out->values[0], c.out);
    EXPECT_EQ(t.files->values, c.files);
  }
}

TEST(cArgTable, GroupedShortFlags) {
  Tool t;
  Argv a({"-Vq", "f"});
  EXPECT_TRUE(t.table.parse(a.argc(), a.argv()));
  EXPECT_EQ(t.verbose->count, 1);
  EXPECT_EQ(t.quiet->count, 1);
}

TEST(cArgTable, ReportsErrorsWithTheirTexts) {
  struct Case {
    std::vector<std::string> args;
    cArgErrorKind first;
    std::vector<std::string> messages;
  };
  const Case cases[] = {
      {{"--bogus", "f"}, cArgErrorKind::kInvalidLong, {"invalid option \"--bogus\""}},
      {{"--bogus=1", "f"}, cArgErrorKind::kInvalidLong, {"invalid option \"--bogus=1\""}},
      {{"-z", "f"}, cArgErrorKind::kInvalidShort, {"invalid option \"-z\""}},
      {{"-Vzq", "f"}, cArgErrorKind::kInvalidShort, {"invalid option \"-z\""}},
      {{"--verbose=1", "f"}, cArgErrorKind::kInvalidLong, {"invalid option \"--verbose=1\""}},
      {{"--verb", "f"}, cArgErrorKind::kInvalidLong, {"invalid option \"--verb\""}},
      {{"f", "--level"}, cArgErrorKind::kMissingValue, {"option \"--level\" requires an argument"}},
      {{"f", "-l"}, cArgErrorKind::kMissingValue, {"option \"-l\" requires an argument"}},
      {{"-V"}, cArgErrorKind::kMissingOption, {"missing option file"}},
      {{"-V", "-V", "f"}, cArgErrorKind::kExtraneous, {"extraneous option -V|--verbose"}},
      {{"-q", "-q", "f"}, cArgErrorKind::kExtraneous, {"extraneous option -q"}},
      {{"--level=1", "-l2", "f"}, cArgErrorKind::kExcess, {"excess option -l|--level=2"}},
      {{"-o", "a", "--out=b", "f"}, cArgErrorKind::kExcess, {"excess option -o|--out=b"}},
      {{"--level=abc", "f"},
       cArgErrorKind::kBadInt,
       {"invalid argument \"abc\" to option -l|--level=<n>"}},
      {{"--level=", "f"}, cArgErrorKind::kBadInt, {"invalid argument \"\" to option -l|--level=<n>"}},
      {{"--level=12x", "f"}, cArgErrorKind::kBadInt, {"invalid argument \"12x\" to option -l|--level=<n>"}},
      {{"--level=+-1", "f"}, cArgErrorKind::kBadInt, {"invalid argument \"+-1\" to option -l|--level=<n>"}},
      {{"--level=0x10", "f"}, cArgErrorKind::kBadInt, {"invalid argument \"0x10\" to option -l|--level=<n>"}},
      {{"--level=9223372036854775808", "f"},
       cArgErrorKind::kOverflow,
       {"integer overflow at option -l|--level=<n> (9223372036854775808 is too large)"}},
      {{"--db-can1=a", "--db-can2=b", "--db-can3=c", "--db-can4=d", "f"},
       cArgErrorKind::kExcess,
       {"excess option --db-can4=d"}},
      {{"--bogus", "-V", "-V"},
       cArgErrorKind::kInvalidLong,
       {"invalid option \"--bogus\"", "extraneous option -V|--verbose", "missing option file"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Tool t;
    Argv a(c.args);
    EXPECT_FALSE(t.table.parse(a.argc(), a.argv()));
    ASSERT_FALSE(t.table.errors().empty());
    EXPECT_EQ(t.table.errors().front().kind, c.first);
    EXPECT_EQ(t.messages(), c.messages);
  }
}

TEST(cArgTable, KeepsTwentyErrorsAndSaysSo) {
  std::vector<std::string> args;
  for (int i = 0; i < 25; ++i) args.push_back("--bad" + std::to_string(i));
  Tool t;
  Argv a(args);
  EXPECT_FALSE(t.table.parse(a.argc(), a.argv()));
  ASSERT_EQ(t.table.errors().size(), cArgTable::kMaxErrors);
  EXPECT_EQ(t.messages()[18], "invalid option \"--bad18\"");
  EXPECT_EQ(t.messages()[19], "too many errors to display");
}

TEST(cArgTable, UnexpectedArgumentBeyondPositionalCount) {
  cArgTable table;
  cArgOption* one = table.addPositional("file", 1, 1);
  Argv a({"a", "b"});
  EXPECT_FALSE(table.parse(a.argc(), a.argv()));
  EXPECT_EQ(one->values, std::vector<std::string>{"a"});
  ASSERT_EQ(table.errors().size(), 1u);
  EXPECT_EQ(table.errorMessage(table.errors()[0]), "unexpected argument \"b\"");

  cArgTable none;
  none.addFlag('x', "x", "");
  Argv b({"stray"});
  EXPECT_FALSE(none.parse(b.argc(), b.argv()));
  EXPECT_EQ(none.errorMessage(none.errors()[0]), "unexpected argument \"stray\"");
}

TEST(cArgTable, WildcardTakesTheWholeOptionText) {
  Tool t;
  Argv a({"--db-can1=engine.dbc", "f", "--db-can12=/x/body.dbc", "--db-can"});
  EXPECT_TRUE(t.table.parse(a.argc(), a.argv()));
  EXPECT_EQ(t.db->values,
            (std::vector<std::string>{"db-can1=engine.dbc", "db-can12=/x/body.dbc", "db-can"}));
  EXPECT_EQ(t.files->values, std::vector<std::string>{"f"});
}

TEST(cArgTable, FlagPairResolvesToTheLaterTableEntry) {
  struct Case {
    std::vector<std::string> args;
    bool color;
  };
  const Case cases[] = {
      {{"f"}, false},
      {{"--color", "f"}, true},
      {{"--no-color", "f"}, false},
      {{"--color", "--no-color", "f"}, false},
      {{"--no-color", "--color", "f"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Tool t;
    Argv a(c.args);
    EXPECT_TRUE(t.table.parse(a.argc(), a.argv()));
    EXPECT_EQ(t.color, c.color);
  }
}

TEST(cArgTable, CallbackRejectsValues) {
  cArgTable table;
  cArgOption* path = table.addText('p', "path", "<path>", "a path");
  path->onValue = [](const std::string& v) { return v == "bad" ? 3 : 0; };
  path->errorText = [](int code) { return "code " + std::to_string(code); };
  Argv a({"--path=bad"});
  EXPECT_FALSE(table.parse(a.argc(), a.argv()));
  ASSERT_EQ(table.errors().size(), 1u);
  EXPECT_EQ(table.errors()[0].kind, cArgErrorKind::kCallback);
  EXPECT_EQ(table.errorMessage(table.errors()[0]), "code 3");
  EXPECT_TRUE(path->values.empty());
}

TEST(cArgTable, RejectsUnusableDescriptions) {
  cArgTable table;
  EXPECT_EQ(table.addFlag(0, "", "nameless"), nullptr);
  EXPECT_EQ(table.addWildcard("db-can", "<x>", "no star", 0, 1), nullptr);
  EXPECT_EQ(table.addWildcard("db-can*", "<x>", "backwards", 2, 1), nullptr);
  EXPECT_TRUE(table.options().empty());
}

TEST(cArgTable, SyntaxAndGlossary) {
  Tool t;
  EXPECT_EQ(t.table.syntax(),
            " [-V|--verbose] [-q] [--color] [--no-color] [-l|--level=<n>] [-o|--out=<path>]"
            " [--db-can<n>=<file>]... file [file]...");
  EXPECT_EQ(t.table.glossary(),
            "  -V, --verbose                            talk more\n"
            "  -q                                       talk less\n"
            "  --color                                  use colour\n"
            "  --no-color                               no colour\n"
            "  -l, --level=<n>                          level\n"
            "  -o, --out=<path>                         output\n"
            "  --db-can<n>=<file>                       database\n");
}

TEST(cArgTable, LongNameSuffixIsShownButNotMatched) {
  cArgTable table;
  cArgOption* in = table.addFlag('i', "input-files=<file(s)>", "documents the inputs");
  Argv a({"--input-files", "-i"});
  EXPECT_FALSE(table.parse(a.argc(), a.argv()));  // given twice
  EXPECT_EQ(in->count, 1);
  EXPECT_EQ(table.errorMessage(table.errors()[0]), "extraneous option -i|--input-files=<file(s)>");
  EXPECT_EQ(table.syntax(), " [-i|--input-files=<file(s)>]");
}

}  // namespace
