// Test helper: collects the messages of log lines (the text behind the
// 33-character context) while in scope, and restores the output level and
// the standard-error output afterwards.  Lines may come from several threads;
// read them once the threads are done.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "base/log.h"

class LogCapture {
 public:
  LogCapture() {
    lines().clear();
    savedLevel_ = zf_log_global_output_lvl;
    zf_log_set_output_callback(&LogCapture::collect);
  }
  ~LogCapture() {
    zf_log_set_output_callback(nullptr);
    zf_log_set_output_level(savedLevel_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // "L message" of every line so far (level letter, space, message).
  const std::vector<std::string>& messages() const { return lines(); }

  bool contains(const std::string& levelAndMessage) const {
    for (const std::string& l : lines())
      if (l == levelAndMessage) return true;
    return false;
  }

  // Number of lines whose "L message" text contains `text`.
  int count(const std::string& text) const {
    int n = 0;
    for (const std::string& l : lines()) n += l.find(text) != std::string::npos;
    return n;
  }
  bool has(const std::string& text) const { return count(text) > 0; }

 private:
  static std::vector<std::string>& lines() {
    static std::vector<std::string> captured;
    return captured;
  }
  static void collect(const char* line, int len) {
    std::string s(line, static_cast<size_t>(len));
    // Context: date, time, process id and thread id, then the letter.  Ids
    // of more than five digits widen it, so skip four fields, not columns.
    size_t pos = 0;
    int fields = 0;
    while (pos < s.size() && fields < 4) {
      while (pos < s.size() && s[pos] == ' ') ++pos;
      while (pos < s.size() && s[pos] != ' ') ++pos;
      ++fields;
    }
    while (pos < s.size() && s[pos] == ' ') ++pos;
    static std::mutex guard;  // worker threads log at the same time
    std::lock_guard<std::mutex> lock(guard);
    lines().push_back(s.substr(pos));
  }

  int32_t savedLevel_;
};
