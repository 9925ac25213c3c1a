// Frame builders and a recording layer shared by the bus tests.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "base/log.h"
#include "support/log_capture.h"
#include "bus/bus_msg.h"

namespace bustest {

inline cBusMsg canFrame(uint32_t id, std::vector<uint8_t> data, bool ide = false,
                        uint8_t channel = 1, double timeStamp = 1.5) {
  cBusMsg msg;
  msg.timeStamp = timeStamp;
  msg.channel = channel;
  msg.id = id;
  msg.type = cBusMsgType::BUS_MSG_CAN_DATA_FRAME;
  msg.can.ide = ide;
  msg.can.dlc = static_cast<uint8_t>(data.size() <= 8 ? data.size() : 15);
  msg.data = std::move(data);
  return msg;
}

inline cBusMsg linFrame(uint32_t id, std::vector<uint8_t> data, uint8_t channel = 1) {
  cBusMsg msg;
  msg.channel = channel;
  msg.id = id;
  msg.type = cBusMsgType::BUS_MSG_LIN_FRAME;
  msg.data = std::move(data);
  return msg;
}

// Bytes first, first + 1, ... (mod 256): payloads whose every byte shows
// where it came from.
inline std::vector<uint8_t> ramp(size_t n, uint8_t first = 0) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
  return v;
}

// `head` followed by `tail`.
inline std::vector<uint8_t> cat(std::initializer_list<uint8_t> head, const std::vector<uint8_t>& tail) {
  std::vector<uint8_t> v(head);
  v.insert(v.end(), tail.begin(), tail.end());
  return v;
}

inline std::vector<uint8_t> cat(const std::vector<uint8_t>& head, const std::vector<uint8_t>& tail) {
  std::vector<uint8_t> v(head);
  v.insert(v.end(), tail.begin(), tail.end());
  return v;
}

// Keeps a copy of everything it receives; `onMsg` runs inside newMsg (for
// re-entry tests) before `result` is returned.
class RecordingLayer final : public cBusLayer {
 public:
  bool newMsg(cBusMsg& msg) override {
    msgs.push_back(msg);
    if (onMsg) onMsg(msg);
    return result;
  }
  bool newFile(const cLogFileInfo&, bool continuation) override {
    files.push_back(continuation);
    return result;
  }
  bool endFile(const cLogFileInfo&) override {
    ++ends;
    return result;
  }

  std::vector<cBusMsg> msgs;
  std::vector<bool> files;
  int ends = 0;
  bool result = true;
  std::function<void(cBusMsg&)> onMsg;
};

// Counts messages without keeping them (allocation-free).
class CountingLayer final : public cBusLayer {
 public:
  bool newMsg(cBusMsg& msg) override {
    ++count;
    bytes += msg.data.size();
    return true;
  }
  size_t count = 0;
  size_t bytes = 0;
};

using ::LogCapture;

}  // namespace bustest
