// Helpers shared by the signal-database tests: capturing log lines and
// loading DBC text held in memory.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/db.h"

// Captures every log line while alive (all levels) and restores standard
// error and the previous level afterwards.
class cLogCapture {
 public:
  struct Line {
    char level;           // V D I W E F
    std::string message;  // text after the level letter
  };
  cLogCapture();
  ~cLogCapture();
  cLogCapture(const cLogCapture&) = delete;
  cLogCapture& operator=(const cLogCapture&) = delete;

  const std::vector<Line>& lines() const;
  // Lines of `level` whose message equals `message`.
  size_t count(char level, std::string_view message) const;
  // Lines of `level`, any message.
  size_t count(char level) const;
  void clear();

 private:
  int32_t savedLevel_;
};

// Parses `text` as a DBC file through a memory stream.
std::unique_ptr<cDB> loadDbc(std::string_view text);

// Every signal of a message, depth-first.
size_t countSignals(const std::vector<cDBSignal>& signals);
