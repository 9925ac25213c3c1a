// Helpers for the output tests: a temporary folder, whole-file reads and
// writes, a recursive listing and a capture of log lines.
#pragma once

#include <string>
#include <vector>

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Whole file as bytes; empty when it cannot be read.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);
// Regular files below `root`, as sorted paths relative to it.
std::vector<std::string> listFiles(const std::string& root);

// Collects every log line while it lives (all levels).
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  const std::vector<std::string>& lines() const;
  bool contains(const std::string& text) const;
};
