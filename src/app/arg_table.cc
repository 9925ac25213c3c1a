#include "app/arg_table.h"

#include <charconv>
#include <new>

namespace {

// The part of a long name that is matched: up to a documentation "=".
std::string_view matchName(const cArgOption& option) {
  std::string_view name = option.longName;
  return name.substr(0, name.find('='));
}

bool isWildcardMatch(const cArgOption& option, std::string_view name) {
  std::string_view prefix = option.longName;
  prefix.remove_suffix(1);  // the "*"
  return name.substr(0, prefix.size()) == prefix;
}

// ": <what is expected>" for an option that says it, else nothing.
std::string expectation(const cArgOption& option) {
  return option.expected.empty() ? std::string() : ": " + option.expected;
}

enum class IntParse { kOk, kInvalid, kOverflow };

IntParse parseInt(const std::string& text, int64_t* out) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (begin != end && *begin == '+') {
    ++begin;
    if (begin != end && (*begin == '+' || *begin == '-')) return IntParse::kInvalid;
  }
  if (begin == end) return IntParse::kInvalid;
  auto [ptr, ec] = std::from_chars(begin, end, *out, 10);
  if (ptr != end) return IntParse::kInvalid;
  if (ec == std::errc::result_out_of_range) return IntParse::kOverflow;
  if (ec != std::errc()) return IntParse::kInvalid;
  return IntParse::kOk;
}

}  // namespace

std::string cArgOption_text(const cArgOption& option, std::string_view separator,
                            std::string_view value) {
  std::string out;
  if (option.kind == cArgKind::kPositional) return std::string(value);
  if (option.shortName != 0) {
    out.push_back('-');
    out.push_back(option.shortName);
  }
  if (option.kind == cArgKind::kWildcard) {
    if (!out.empty()) out.append(separator);
    std::string_view prefix = option.longName;
    prefix.remove_suffix(1);
    out.append("--").append(prefix).append(value);
    return out;
  }
  if (!option.longName.empty()) {
    if (!out.empty()) out.append(separator);
    out.append("--").append(option.longName);
    if (!value.empty()) out.append("=").append(value);
  } else if (!value.empty()) {
    out.append(" ").append(value);
  }
  return out;
}

cArgOption* cArgTable::add(cArgOption option) {
  const bool named = option.shortName != 0 || !option.longName.empty();
  if (option.kind != cArgKind::kPositional && !named) return nullptr;
  if (option.kind == cArgKind::kWildcard &&
      (option.longName.size() < 2 || option.longName.back() != '*'))
    return nullptr;
  if (option.minCount < 0 || option.maxCount < option.minCount) return nullptr;
  options_.push_back(std::make_unique<cArgOption>(std::move(option)));
  return options_.back().get();
}

cArgOption* cArgTable::addFlag(char shortName, std::string longName, std::string help) {
  cArgOption o;
  o.kind = cArgKind::kFlag;
  o.shortName = shortName;
  o.longName = std::move(longName);
  o.help = std::move(help);
  return add(std::move(o));
}

cArgOption* cArgTable::addInt(char shortName, std::string longName, std::string placeholder,
                              std::string help) {
  cArgOption o;
  o.kind = cArgKind::kInt;
  o.shortName = shortName;
  o.longName = std::move(longName);
  o.placeholder = std::move(placeholder);
  o.help = std::move(help);
  return add(std::move(o));
}

cArgOption* cArgTable::addText(char shortName, std::string longName, std::string placeholder,
                               std::string help) {
  cArgOption o;
  o.kind = cArgKind::kText;
  o.shortName = shortName;
  o.longName = std::move(longName);
  o.placeholder = std::move(placeholder);
  o.help = std::move(help);
  return add(std::move(o));
}

cArgOption* cArgTable::addWildcard(std::string longName, std::string placeholder,
                                   std::string help, int minCount, int maxCount) {
  cArgOption o;
  o.kind = cArgKind::kWildcard;
  o.longName = std::move(longName);
  o.placeholder = std::move(placeholder);
  o.help = std::move(help);
  o.minCount = minCount;
  o.maxCount = maxCount;
  return add(std::move(o));
}

cArgOption* cArgTable::addPositional(std::string placeholder, int minCount, int maxCount) {
  cArgOption o;
  o.kind = cArgKind::kPositional;
  o.placeholder = std::move(placeholder);
  o.minCount = minCount;
  o.maxCount = maxCount;
  return add(std::move(o));
}

void cArgTable::addError(cArgErrorKind kind, const cArgOption* option, std::string text,
                         int code) {
  if (errors_.size() < kMaxErrors) {
    errors_.push_back(cArgError{kind, option, std::move(text), code});
  } else {
    errors_.back() = cArgError{cArgErrorKind::kTooMany, nullptr, {}, 0};
  }
}

cArgOption* cArgTable::findLong(std::string_view name) const {
  for (const auto& o : options_) {
    if (o->kind == cArgKind::kPositional || o->kind == cArgKind::kWildcard) continue;
    if (!o->longName.empty() && matchName(*o) == name) return o.get();
  }
  for (const auto& o : options_)
    if (o->kind == cArgKind::kWildcard && isWildcardMatch(*o, name)) return o.get();
  return nullptr;
}

cArgOption* cArgTable::findShort(char c) const {
  for (const auto& o : options_)
    if (o->kind != cArgKind::kPositional && o->shortName == c) return o.get();
  return nullptr;
}

cArgOption* cArgTable::positional() const {
  for (const auto& o : options_)
    if (o->kind == cArgKind::kPositional) return o.get();
  return nullptr;
}

void cArgTable::acceptFlag(cArgOption* option) {
  if (option->count >= option->maxCount) {
    addError(cArgErrorKind::kExtraneous, option, {});
    return;
  }
  ++option->count;
}

void cArgTable::acceptValue(cArgOption* option, const std::string& value) {
  if (option->count >= option->maxCount) {
    addError(option->kind == cArgKind::kPositional ? cArgErrorKind::kUnexpectedArgument
                                                   : cArgErrorKind::kExcess,
             option, value);
    return;
  }
  if (option->kind == cArgKind::kInt) {
    int64_t v = 0;
    switch (parseInt(value, &v)) {
      case IntParse::kInvalid:
        addError(cArgErrorKind::kBadInt, option, value);
        return;
      case IntParse::kOverflow:
        addError(cArgErrorKind::kOverflow, option, value);
        return;
      case IntParse::kOk:
        break;
    }
    if (v < option->minValue || v > option->maxValue) {
      addError(cArgErrorKind::kBadInt, option, value);
      return;
    }
    option->ints.push_back(v);
    ++option->count;
    return;
  }
  if (option->onValue) {
    int code = option->onValue(value);
    if (code != 0) {
      addError(cArgErrorKind::kCallback, option, value, code);
      return;
    }
  }
  option->values.push_back(value);
  ++option->count;
}

void cArgTable::parseLong(int argc, char** argv, int* i) {
  std::string_view arg = argv[*i];
  std::string_view body = arg.substr(2);
  size_t eq = body.find('=');
  std::string_view name = body.substr(0, eq);
  cArgOption* option = findLong(name);
  if (option == nullptr) {
    addError(cArgErrorKind::kInvalidLong, nullptr, std::string(arg));
    return;
  }
  switch (option->kind) {
    case cArgKind::kFlag:
      if (eq != std::string_view::npos) {
        addError(cArgErrorKind::kInvalidLong, nullptr, std::string(arg));
      } else {
        acceptFlag(option);
      }
      return;
    case cArgKind::kWildcard:
      if (eq != std::string_view::npos) {
        acceptValue(option, std::string(body));
      } else if (*i + 1 < argc) {
        acceptValue(option, std::string(body) + "=" + argv[++*i]);
      } else {
        addError(cArgErrorKind::kMissingValue, option, std::string(arg));
      }
      return;
    default:
      break;
  }
  if (eq != std::string_view::npos) {
    acceptValue(option, std::string(body.substr(eq + 1)));
  } else if (*i + 1 < argc) {
    acceptValue(option, argv[++*i]);
  } else {
    addError(cArgErrorKind::kMissingValue, option, std::string(arg));
  }
}

void cArgTable::parseShort(int argc, char** argv, int* i) {
  std::string_view arg = argv[*i];
  for (size_t j = 1; j < arg.size(); ++j) {
    cArgOption* option = findShort(arg[j]);
    if (option == nullptr) {
      addError(cArgErrorKind::kInvalidShort, nullptr, std::string(1, arg[j]));
      continue;
    }
    if (option->kind == cArgKind::kFlag) {
      acceptFlag(option);
      continue;
    }
    if (j + 1 < arg.size()) {
      acceptValue(option, std::string(arg.substr(j + 1)));
    } else if (*i + 1 < argc) {
      acceptValue(option, argv[++*i]);
    } else {
      addError(cArgErrorKind::kMissingValue, option, std::string("-") + arg[j]);
    }
    return;
  }
}

bool cArgTable::parse(int argc, char** argv) {
  try {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
      std::string_view arg = argv[i] != nullptr ? argv[i] : "";
      if (!optionsEnded && arg == "--") {
        optionsEnded = true;
      } else if (!optionsEnded && arg.size() > 2 && arg.substr(0, 2) == "--") {
        parseLong(argc, argv, &i);
      } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
        parseShort(argc, argv, &i);
      } else if (cArgOption* p = positional()) {
        acceptValue(p, std::string(arg));
      } else {
        addError(cArgErrorKind::kUnexpectedArgument, nullptr, std::string(arg));
      }
    }
    finish();
  } catch (const std::bad_alloc&) {
    errors_.clear();
    errors_.push_back(cArgError{cArgErrorKind::kNoMemory, nullptr, {}, 0});
  }
  return errors_.empty();
}

void cArgTable::finish() {
  for (const auto& o : options_)
    if (o->count < o->minCount) addError(cArgErrorKind::kMissingOption, o.get(), {});
  for (const auto& o : options_)
    if (o->kind == cArgKind::kFlag && o->target != nullptr && o->count > 0)
      *o->target = o->targetValue;
}

std::string cArgTable::syntax() const {
  std::string out;
  for (const auto& o : options_) {
    std::string text = cArgOption_text(*o, "|", o->placeholder);
    for (int k = 0; k < o->minCount; ++k) out.append(" ").append(text);
    const int64_t optional = static_cast<int64_t>(o->maxCount) - o->minCount;
    if (optional == 1) out.append(" [").append(text).append("]");
    if (optional > 1) out.append(" [").append(text).append("]...");
  }
  return out;
}

std::string cArgTable::glossary() const {
  std::string out;
  for (const auto& o : options_) {
    if (o->help.empty()) continue;
    std::string text = cArgOption_text(*o, ", ", o->placeholder);
    if (text.size() < 40) text.resize(40, ' ');  // "  %-40s %s"
    out.append("  ").append(text).append(" ").append(o->help).append("\n");
  }
  return out;
}

std::string cArgTable::errorMessage(const cArgError& e) const {
  const cArgOption* o = e.option;
  switch (e.kind) {
    case cArgErrorKind::kUnexpectedArgument:
      return "unexpected argument \"" + e.text + "\"";
    case cArgErrorKind::kInvalidLong:
      return "invalid option \"" + e.text + "\"";
    case cArgErrorKind::kInvalidShort:
      return "invalid option \"-" + e.text + "\"";
    case cArgErrorKind::kMissingValue:
      return "option \"" + e.text + "\" requires an argument";
    case cArgErrorKind::kTooMany:
      return "too many errors to display";
    case cArgErrorKind::kNoMemory:
      return "insufficient memory";
    case cArgErrorKind::kMissingOption:
      return "missing option " + cArgOption_text(*o, "|", o->placeholder);
    case cArgErrorKind::kExtraneous:
      return "extraneous option " + cArgOption_text(*o, "|", {});
    case cArgErrorKind::kExcess:
      if (o->kind == cArgKind::kWildcard) return "excess option --" + e.text;
      return "excess option " + cArgOption_text(*o, "|", e.text);
    case cArgErrorKind::kBadInt:
      return "invalid argument \"" + e.text + "\" to option " +
             cArgOption_text(*o, "|", o->placeholder) + expectation(*o);
    case cArgErrorKind::kOverflow:
      return "integer overflow at option " + cArgOption_text(*o, "|", o->placeholder) + " (" +
             e.text + " is too large)" + expectation(*o);
    case cArgErrorKind::kCallback:
      return o->errorText ? o->errorText(e.code) : "invalid value \"" + e.text + "\"";
  }
  return {};
}

void cArgTable::printErrors(std::FILE* out, const char* progname) const {
  for (const cArgError& e : errors_)
    std::fprintf(out, "%s: %s\n", progname, errorMessage(e).c_str());
}
