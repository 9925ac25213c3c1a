// Test helpers for command-line tests: argv from strings, and a parse run
// that captures standard output.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

// argv for a list of arguments; the program name "lograven" comes first.
class TestArgv {
 public:
  explicit TestArgv(std::vector<std::string> args) : args_(std::move(args)) {
    args_.insert(args_.begin(), "lograven");
    for (std::string& a : args_) ptrs_.push_back(a.data());
    ptrs_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(args_.size()); }
  char** argv() { return ptrs_.data(); }

 private:
  std::vector<std::string> args_;
  std::vector<char*> ptrs_;
};
