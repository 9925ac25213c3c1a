// Test helper: the end of a layer chain that keeps a copy of everything it is
// handed, and can be told to fail.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "bus/bus_msg.h"

class RecordingLayer final : public cBusLayer {
 public:
  struct File {
    cLogFileInfo info;
    bool continuation = false;
    size_t firstMsg = 0;  // index into msgs of the file's first message
    bool ended = false;
  };

  bool newMsg(cBusMsg& msg) override {
    msgs.push_back(msg);
    if (onMsg) onMsg(msg);
    return result && msgs.size() != failMsgAt;
  }
  bool newFile(const cLogFileInfo& info, bool continuation) override {
    files.push_back({info, continuation, msgs.size(), false});
    return result && !failNewFile;
  }
  bool endFile(const cLogFileInfo& info) override {
    if (files.empty() || files.back().info.inputPath != info.inputPath) return false;
    files.back().ended = true;
    return result && !failEndFile;
  }

  // Input paths of the files, in order.
  std::vector<std::string> paths() const {
    std::vector<std::string> out;
    for (const File& f : files) out.push_back(f.info.inputPath);
    return out;
  }

  std::vector<cBusMsg> msgs;
  std::vector<File> files;
  bool result = true;      // what every call returns unless told otherwise
  size_t failMsgAt = 0;    // newMsg fails for this message (1-based; 0 never)
  bool failNewFile = false;
  bool failEndFile = false;
  std::function<void(cBusMsg&)> onMsg;  // runs inside newMsg (re-entry tests)
};
