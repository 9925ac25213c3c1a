#include "mdf_log_fixture.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <sstream>

#include "support/memory_stream.h"

std::vector<uint8_t> testLog_bytes(const std::string& description) {
  std::string error;
  auto bytes = cMklog_build(description, &error);
  EXPECT_TRUE(bytes) << error;
  return bytes ? *bytes : std::vector<uint8_t>{};
}

cTestTree testLog_load(const std::vector<uint8_t>& bytes) {
  cTestTree t{memoryStream(bytes), nullptr};
  t.id = cMdfBlock_loadTree(t.stream.get());
  return t;
}

std::unique_ptr<cTestLog> testLog_openBytes(const std::vector<uint8_t>& bytes) {
  auto log = std::make_unique<cTestLog>();
  log->stream = memoryStream(bytes);
  log->mdf = cMdf_open(log->stream.get());
  return log->mdf ? std::move(log) : nullptr;
}

std::vector<cBusMsg> testLog_frames(const cTestLog* log) {
  std::vector<cBusMsg> out;
  auto iter = cMdf_getIter(log ? log->mdf.get() : nullptr);
  EXPECT_TRUE(iter);
  for (cBusMsg* m = iter ? iter->current() : nullptr; m != nullptr && out.size() < 1000000; m = iter->next())
    out.push_back(*m);
  return out;
}

std::string testLog_describe(const cBusMsg& m) {
  static const char* const kTypes[] = {"GENERIC", "CAN", "REMOTE", "ERROR", "LIN", "LIN_CHECKSUM", "LIN_RECEIVE",
                                       "LIN_TRANSMISSION", "LIN_SYNC"};
  std::ostringstream s;
  s << kTypes[static_cast<size_t>(m.type) % 9] << std::uppercase << std::setfill('0');
  if (m.timeStamp != 0) s << " t=" << std::fixed << std::setprecision(6) << m.timeStamp;
  if (m.channel != 0) s << " ch=" << int{m.channel};
  if (m.id != 0) s << " id=0x" << std::hex << m.id << std::dec;
  if (m.can.dlc != 0) s << " dlc=" << int{m.can.dlc};
  for (auto [on, name] : {std::pair{m.can.ide, "ide"}, {m.can.dir, "dir"}, {m.can.edl, "edl"}, {m.can.brs, "brs"},
                          {m.can.esi, "esi"}, {m.can.rtr, "rtr"}, {m.lin.dir, "lin.dir"}})
    if (on) s << ' ' << name;
  if (m.lin.receivedDataByteCount != 0) s << " rx=" << int{m.lin.receivedDataByteCount};
  if (m.canError.errorType != 0) s << " err=" << m.canError.errorType;
  if (!m.data.empty()) s << " data=" << std::hex;
  for (uint8_t b : m.data) s << std::setw(2) << int{b};
  return s.str();
}
