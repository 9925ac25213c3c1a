#include "db/json_check.h"

#include <cctype>

namespace {

class Checker {
 public:
  explicit Checker(std::string_view text) : text_(text) {}

  bool document() {
    skipSpace();
    if (!value(0)) return false;
    skipSpace();
    return pos_ == text_.size();
  }

 private:
  bool value(int depth) {
    if (depth > 200 || pos_ >= text_.size()) return false;
    char c = text_[pos_];
    if (c == '{') return object(depth);
    if (c == '[') return array(depth);
    if (c == '"') return string();
    if (c == '-' || std::isdigit(static_cast<unsigned char>(c))) return number();
    return literal("true") || literal("false") || literal("null");
  }

  bool object(int depth) {
    ++pos_;
    skipSpace();
    if (eat('}')) return true;
    do {
      skipSpace();
      if (!string()) return false;
      skipSpace();
      if (!eat(':')) return false;
      skipSpace();
      if (!value(depth + 1)) return false;
      skipSpace();
    } while (eat(','));
    return eat('}');
  }

  bool array(int depth) {
    ++pos_;
    skipSpace();
    if (eat(']')) return true;
    do {
      skipSpace();
      if (!value(depth + 1)) return false;
      skipSpace();
    } while (eat(','));
    return eat(']');
  }

  bool string() {
    if (!eat('"')) return false;
    while (pos_ < text_.size()) {
      unsigned char c = static_cast<unsigned char>(text_[pos_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c == '\\') {
        if (pos_ >= text_.size()) return false;
        char e = text_[pos_++];
        if (e == 'u') {
          for (int i = 0; i < 4; ++i) {
            if (pos_ >= text_.size() || !std::isxdigit(static_cast<unsigned char>(text_[pos_++]))) return false;
          }
        } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
          return false;
        }
      }
    }
    return false;
  }

  bool number() {
    eat('-');
    if (eat('0')) {
    } else if (!digits()) {
      return false;
    }
    if (eat('.') && !digits()) return false;
    if (eat('e') || eat('E')) {
      if (!eat('+')) eat('-');
      if (!digits()) return false;
    }
    return true;
  }

  bool digits() {
    size_t start = pos_;
    while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    return pos_ > start;
  }

  bool literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  bool eat(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  void skipSpace() {
    while (pos_ < text_.size() && std::string_view(" \t\r\n").find(text_[pos_]) != std::string_view::npos) ++pos_;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

bool jsonIsValid(std::string_view text) { return Checker(text).document(); }
