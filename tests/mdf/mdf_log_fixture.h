// Log files for the reading tests: written by the project's writer (mklog)
// into memory at test time and opened like a file on the card.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "bus/bus_msg.h"
#include "io/io.h"
#include "mdf/mdf_file.h"
#include "mklog/mklog.h"

// An opened log: the stream outlives the handle, the handle is closed first.
struct cTestLog {
  std::unique_ptr<cIO_memoryAlloc> stream;
  std::unique_ptr<cMdf> mdf;
  cTestLog() = default;
  cTestLog(const cTestLog&) = delete;
  ~cTestLog() { cMdf_close(mdf); }
};

// A plan whose file history carries the logger's tool marker.
cMklogPlan testLog_plan();

// One data group of `kind` frames (sorted unless the kind needs record ids).
cMklogDataGroup testLog_group(cMklogKind kind, const std::vector<cMklogFrame>& frames,
                              bool sorted = true);

// Builds the tree of `plan`, lets `edit` change it, saves it to memory and
// opens it.  Null (with a test failure) when any step fails.
std::unique_ptr<cTestLog> testLog_open(const cMklogPlan& plan,
                                       const std::function<void(cMdfBlock_ID&)>& edit = {});

// Copies of every message the file's merge delivers, in delivery order.
std::vector<cBusMsg> testLog_frames(const cTestLog& log);
