// Command-line argument table: a list of option descriptions that parses
// argv in the usual way of C command-line tools and renders the one-line
// syntax summary, the glossary and the error messages.
//
// Long options are "--name", "--name=value" or "--name value"; short options
// "-c", "-cvalue" or "-c value", and short flags may be grouped ("-dX").  A
// value given as the next argument is taken whatever it looks like ("-o -x"
// gives "-x").  "--" ends the options; a lone "-" is a positional argument.
// A wildcard long option ("dbc-can*") matches every long option beginning
// with its prefix and receives the whole option text behind the two dashes,
// the next argument joined with "=" when the option has no "=" of its own
// ("--dbc-can1=a.dbc" and "--dbc-can1 a.dbc" both give "dbc-can1=a.dbc").  Long names are matched
// exactly; a long name may carry a documentation suffix after "=" (as in
// "input-files=<file(s)/folder(s)>"), which is shown but not matched.
//
// Every option may occur minCount..maxCount times; parse() records a
// violation as an error.  Up to kMaxErrors errors are kept; beyond that the
// last one is replaced by "too many errors to display".
#pragma once

#include <climits>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum class cArgKind {
  kFlag,        // no value
  kInt,         // signed decimal integer value
  kText,        // text value (paths)
  kWildcard,    // long name "prefix*"; value is the whole option text
  kPositional,  // an argument that is not an option
};

struct cArgOption {
  cArgKind kind = cArgKind::kFlag;
  char shortName = 0;        // 0: none
  std::string longName;      // empty: none
  std::string placeholder;   // value placeholder, e.g. "<n>"
  std::string help;          // empty: not listed in the glossary
  int minCount = 0;
  int maxCount = 1;

  // Integer options: the accepted range, and what a valid value is, for the
  // message that refuses another ("an integer from 0 to 4 is expected").
  int64_t minValue = INT64_MIN;
  int64_t maxValue = INT64_MAX;
  std::string expected;

  // Called for every text, wildcard or positional value before it is stored;
  // returns 0 to accept it or an error code, rendered by `errorText`.
  std::function<int(const std::string&)> onValue;
  std::function<std::string(int)> errorText;

  // A flag may name a target: after parsing, in table order, every given
  // flag stores its targetValue there.  Two flags sharing a target thus
  // resolve to the one later in the table.
  bool* target = nullptr;
  bool targetValue = true;

  // Results of parse().
  int count = 0;
  std::vector<std::string> values;  // text, wildcard and positional values
  std::vector<int64_t> ints;        // integer values
};

enum class cArgErrorKind {
  kUnexpectedArgument,  // "unexpected argument \"%s\""
  kInvalidLong,         // "invalid option \"%s\""
  kInvalidShort,        // "invalid option \"-%c\""
  kMissingValue,        // "option \"%s\" requires an argument"
  kTooMany,             // "too many errors to display"
  kNoMemory,            // "insufficient memory"
  kMissingOption,       // "missing option " + names and placeholder
  kExtraneous,          // "extraneous option " + names (a flag given again)
  kExcess,              // "excess option " + names and value
  // Both followed by ": " and the option's `expected` text when it has one.
  kBadInt,              // "invalid argument \"%s\" to option " + names (also out of range)
  kOverflow,            // "integer overflow at option " + names + " (%s is too large)"
  kCallback,            // the option's errorText(code)
};

struct cArgError {
  cArgErrorKind kind;
  const cArgOption* option = nullptr;  // points into the table
  std::string text;                    // argument or value concerned
  int code = 0;                        // kCallback: the callback's code
};

class cArgTable {
 public:
  static constexpr size_t kMaxErrors = 20;
  static constexpr int kUnlimited = INT_MAX;

  cArgTable() = default;
  cArgTable(const cArgTable&) = delete;
  cArgTable& operator=(const cArgTable&) = delete;

  // Appends an option; the returned pointer stays valid for the table's
  // lifetime.  Null if the description is unusable (no name at all, or a
  // wildcard whose long name does not end in "*").
  cArgOption* add(cArgOption option);

  cArgOption* addFlag(char shortName, std::string longName, std::string help);
  cArgOption* addInt(char shortName, std::string longName, std::string placeholder,
                     std::string help);
  cArgOption* addText(char shortName, std::string longName, std::string placeholder,
                      std::string help);
  cArgOption* addWildcard(std::string longName, std::string placeholder, std::string help,
                          int minCount, int maxCount);
  cArgOption* addPositional(std::string placeholder, int minCount, int maxCount);

  // Parses argv[1..argc-1] into the options.  May be called once.  Returns
  // true when no error was found.
  bool parse(int argc, char** argv);

  const std::vector<cArgError>& errors() const { return errors_; }
  const std::vector<std::unique_ptr<cArgOption>>& options() const { return options_; }

  // " [--help] [-v|--version] [--verbosity=<n>] ... file [file]..."
  std::string syntax() const;
  // One "  %-40s %s\n" line per option that has a help text.
  std::string glossary() const;
  // Text of one error, without the program name.
  std::string errorMessage(const cArgError& error) const;
  // Every error as "<progname>: <message>\n" on `out`.
  void printErrors(std::FILE* out, const char* progname) const;

 private:
  void addError(cArgErrorKind kind, const cArgOption* option, std::string text, int code = 0);
  cArgOption* findLong(std::string_view name) const;
  cArgOption* findShort(char c) const;
  cArgOption* positional() const;
  void parseLong(int argc, char** argv, int* i);
  void parseShort(int argc, char** argv, int* i);
  void acceptFlag(cArgOption* option);
  void acceptValue(cArgOption* option, const std::string& value);
  void finish();

  std::vector<std::unique_ptr<cArgOption>> options_;
  std::vector<cArgError> errors_;
};

// Renders an option as "-c|--name=value" (separator "|") or "-c, --name=value"
// (separator ", "); `value` empty leaves out the value part.
std::string cArgOption_text(const cArgOption& option, std::string_view separator,
                            std::string_view value);
