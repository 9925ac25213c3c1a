// Log files for the reading tests: written by the project's writer (mklog)
// into memory at test time, then loaded as a block tree or opened like a
// file on the card.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bus/bus_msg.h"
#include "mdf/mdf_file.h"
#include "mklog/mklog.h"

// The bytes of a description (a test failure when the writer refuses it).
std::vector<uint8_t> testLog_bytes(const std::string& description);

// A block tree loaded from bytes, with the stream its data blocks read from.
struct cTestTree {
  std::unique_ptr<cIO_memoryAlloc> stream;
  std::shared_ptr<cMdfBlock_ID> id;  // null when the load failed
  cMdfBlock_HD& hd() const { return *id->header; }
  cMdfBlock_DG& dg(size_t i) const { return *hd().dataGroups.at(i); }
};
cTestTree testLog_load(const std::vector<uint8_t>& bytes);

// An opened log: the stream outlives the handle, the handle is closed first.
struct cTestLog {
  std::unique_ptr<cIO_memoryAlloc> stream;
  std::unique_ptr<cMdf> mdf;
  ~cTestLog() { cMdf_close(mdf); }
};
// Opens `bytes`; null when the file does not open.
std::unique_ptr<cTestLog> testLog_openBytes(const std::vector<uint8_t>& bytes);

// Copies of every message the file's merge delivers, in delivery order.
std::vector<cBusMsg> testLog_frames(const cTestLog* log);
// A message in one line: its type, then the fields that differ from their
// defaults: "CAN t=1.500000 ch=2 id=0x7FF dlc=9 edl brs data=0A0B".
std::string testLog_describe(const cBusMsg& m);
