#include "db/json_check.h"

#include <cctype>

namespace {

// Recursive descent over the JSON grammar; `p` advances over what it accepts.
struct Checker {
  std::string_view s;
  size_t p = 0;

  bool at(char c) const { return p < s.size() && s[p] == c; }
  bool eat(char c) { return at(c) ? (++p, true) : false; }
  void space() { while (p < s.size() && std::isspace(static_cast<unsigned char>(s[p]))) ++p; }
  bool digits() {
    size_t start = p;
    while (p < s.size() && std::isdigit(static_cast<unsigned char>(s[p]))) ++p;
    return p > start;
  }
  bool word(std::string_view w) { return s.substr(p, w.size()) == w ? (p += w.size(), true) : false; }

  bool string() {
    if (!eat('"')) return false;
    while (p < s.size()) {
      unsigned char c = static_cast<unsigned char>(s[p++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c == '\\' && (p >= s.size() || std::string_view("\"\\/bfnrtu").find(s[p++]) == std::string_view::npos)) {
        return false;
      }
    }
    return false;
  }

  bool number() {
    eat('-');
    if (!eat('0') && !digits()) return false;
    if (eat('.') && !digits()) return false;
    if (eat('e') || eat('E')) {
      if (!eat('+')) eat('-');
      if (!digits()) return false;
    }
    return true;
  }

  // Members of an object or elements of an array up to `close`.
  bool sequence(char close, bool members, int depth) {
    space();
    if (eat(close)) return true;
    do {
      space();
      if (members && (!string() || (space(), !eat(':')))) return false;
      space();
      if (!value(depth + 1)) return false;
      space();
    } while (eat(','));
    return eat(close);
  }

  bool value(int depth) {
    if (depth > 200) return false;
    if (eat('{')) return sequence('}', true, depth);
    if (eat('[')) return sequence(']', false, depth);
    if (at('"')) return string();
    if (at('-') || (p < s.size() && std::isdigit(static_cast<unsigned char>(s[p])))) return number();
    return word("true") || word("false") || word("null");
  }
};

}  // namespace

bool jsonIsValid(std::string_view text) {
  Checker checker{text};
  checker.space();
  if (!checker.value(0)) return false;
  checker.space();
  return checker.p == text.size();
}
