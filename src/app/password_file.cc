#include "app/password_file.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <iterator>
#include <new>
#include <nlohmann/json.hpp>
#include <vector>

#include "base/log.h"

namespace {

using Json = nlohmann::json;

// Reads the text for the parser and records how far it got, so that a value
// the handler refuses can be located.
class TrackingIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  TrackingIterator() = default;
  TrackingIterator(const char* at, const char** furthest) : at_(at), furthest_(furthest) {}
  reference operator*() const { return *at_; }
  TrackingIterator& operator++() {
    ++at_;
    if (furthest_ != nullptr && at_ > *furthest_) *furthest_ = at_;
    return *this;
  }
  TrackingIterator operator++(int) {
    TrackingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const TrackingIterator& other) const { return at_ == other.at_; }

 private:
  const char* at_ = nullptr;
  const char** furthest_ = nullptr;
};

bool isHexKey(const std::string& key) {
  return std::all_of(key.begin(), key.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

bool matchesDevices(const std::string& key) {
  return key == "default" ||
         (key.size() == 8 && std::all_of(key.begin(), key.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
          }));
}

// Takes the members of the one top-level object; refuses everything else.
// A refusal stops the parser and leaves its reason in `problem`.
class PasswordHandler {
 public:
  PasswordHandler(std::string_view path, std::unordered_map<std::string, std::string>* passwords)
      : path_(path), passwords_(passwords) {}

  std::string problem;
  std::vector<std::string> warnings;  // for a file that turns out well-formed
  bool parserError = false;  // a syntax error, found at `errorOffset`
  size_t errorOffset = 0;    // characters the parser read, the failing one included
  bool numberRead = false;   // a refused number: the parser may have read beyond it

  bool null() { return refuse("null"); }
  bool boolean(bool) { return refuse("true or false"); }
  bool number_integer(Json::number_integer_t) { return refuseNumber(); }
  bool number_unsigned(Json::number_unsigned_t) { return refuseNumber(); }
  bool number_float(Json::number_float_t, const Json::string_t&) { return refuseNumber(); }
  bool binary(Json::binary_t&) { return refuse("binary data"); }
  bool start_array(std::size_t) { return refuse("an array"); }
  bool end_array() { return true; }
  bool start_object(std::size_t) { return inObject_ ? refuse("an object") : (inObject_ = true); }
  bool end_object() { return true; }
  bool key(Json::string_t& key) {
    key_ = key;
    return true;
  }
  bool string(Json::string_t& value);
  bool parse_error(std::size_t position, const std::string&, const Json::exception& error);

 private:
  bool refuse(const char* kind);
  bool refuseNumber() {
    numberRead = true;
    return refuse("a number");
  }

  std::string_view path_;
  std::unordered_map<std::string, std::string>* passwords_;
  bool inObject_ = false;
  std::string key_;
};

bool PasswordHandler::string(Json::string_t& value) {
  if (!inObject_) return refuse("a text");
  // A key of other characters is not shown: it may be a password written in
  // the key's place.
  if (!matchesDevices(key_))
    warnings.push_back("Password file " + std::string(path_) + ": " +
                       (isHexKey(key_) ? "key \"" + key_ + "\""
                                       : "a key of " + std::to_string(key_.size()) +
                                             " characters, not all hexadecimal digits,") +
                       " matches no device: \"default\" or a serial number of eight upper-case "
                       "hexadecimal digits is expected");
  if (key_ != "default" && !isHexKey(key_)) return true;
  if (!passwords_->emplace(key_, value).second)
    warnings.push_back("Failed to insert key for \"" + key_ + "\" in password storage");
  return true;
}

bool PasswordHandler::refuse(const char* kind) {
  if (inObject_) {
    problem =
        "the password of \"" + key_ + "\" is " + kind + "; a text in double quotes is expected";
  } else {
    problem = std::string("the file is ") + kind +
              "; one object of serial numbers and passwords is expected ({\"default\": \"...\"})";
  }
  return false;
}

// The parser's message without its own prefix and position, and without the
// text it read last: that may be part of a password.
bool PasswordHandler::parse_error(std::size_t position, const std::string&,
                                  const Json::exception& error) {
  std::string_view what = error.what();
  const size_t column = what.find("column ");
  const size_t colon = column == std::string_view::npos ? column : what.find(": ", column);
  if (colon != std::string_view::npos) what.remove_prefix(colon + 2);
  const size_t lastRead = what.find("; last read:");
  problem = what.substr(0, lastRead);
  parserError = true;
  errorOffset = position;
  return false;
}

// "line L, column C" of the character at `offset` (one past the end: the end
// of the text).
std::string lineAndColumn(std::string_view text, size_t offset) {
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  const size_t line = 1 + static_cast<size_t>(std::count(before.begin(), before.end(), '\n'));
  const size_t newline = before.rfind('\n');
  const size_t column = newline == std::string_view::npos ? offset + 1 : offset - newline;
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// Offset of the last character read when the parse stopped: the parser
// counts the character it failed on (the end of the text too); the handler
// sees a value once it was read.
size_t failureOffset(const PasswordHandler& handler, std::string_view text, size_t read) {
  if (handler.parserError) read = handler.errorOffset;
  size_t offset = read > 0 ? read - 1 : 0;
  // A valid number ends in a digit; the character read behind it does not.
  if (handler.numberRead && offset > 0 && !std::isdigit(static_cast<unsigned char>(text[offset])))
    --offset;
  return offset;
}

}  // namespace

bool cLogReaderCLI_parsePasswords(std::string_view text, std::string_view path,
                                  std::unordered_map<std::string, std::string>* passwords) {
  std::unordered_map<std::string, std::string> found;
  PasswordHandler handler(path, &found);
  const char* const begin = text.data();
  const char* furthest = begin;
  size_t offset = 0;
  try {
    const TrackingIterator first(begin, &furthest), last(begin + text.size(), nullptr);
    if (Json::sax_parse(first, last, &handler)) {
      for (const std::string& warning : handler.warnings) LOG_WARN("%s", warning.c_str());
      for (auto& pair : found) passwords->insert(std::move(pair));
      return true;
    }
    offset = failureOffset(handler, text, static_cast<size_t>(furthest - begin));
  } catch (const std::bad_alloc&) {
    handler.problem = "out of memory";
  } catch (const Json::exception& error) {
    handler.problem = error.what();
  }
  LOG_ERROR("Could not parse password file %.*s: %s: %s", static_cast<int>(path.size()),
            path.data(), lineAndColumn(text, offset).c_str(), handler.problem.c_str());
  return false;
}
