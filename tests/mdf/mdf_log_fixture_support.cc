#include "mdf_log_fixture.h"

#include <gtest/gtest.h>

#include <string>

cMklogPlan testLog_plan() {
  cMklogPlan plan;
  plan.histories = {cMklog_historyXml("QZ")};
  return plan;
}

cMklogDataGroup testLog_group(cMklogKind kind, const std::vector<cMklogFrame>& frames, bool sorted) {
  cMklogDataGroup dg;
  dg.sorted = sorted && kind != cMklogKind::CanFdVlsd;
  dg.groups.push_back({"group", kind, 0, "", 0, std::nullopt});
  for (const auto& f : frames) dg.frames.emplace_back(0, f);
  return dg;
}

std::unique_ptr<cTestLog> testLog_open(const cMklogPlan& plan,
                                       const std::function<void(cMdfBlock_ID&)>& edit) {
  std::string error;
  auto id = cMklog_buildTree(plan, &error);
  EXPECT_TRUE(id) << error;
  if (!id) return nullptr;
  if (edit) edit(*id);
  auto log = std::make_unique<cTestLog>();
  log->stream = cIO_memoryAlloc_ctor();
  EXPECT_TRUE(cMklog_saveTree(*id, log->stream.get()));
  id.reset();  // everything is read back from the bytes
  log->mdf = cMdf_open(log->stream.get());
  EXPECT_TRUE(log->mdf) << "the written file does not open";
  if (!log->mdf) return nullptr;
  return log;
}

std::vector<cBusMsg> testLog_frames(const cTestLog& log) {
  std::vector<cBusMsg> out;
  auto iter = cMdf_getIter(log.mdf.get());
  EXPECT_TRUE(iter);
  if (!iter) return out;
  for (cBusMsg* m = iter->current(); m != nullptr && out.size() < 10000000; m = iter->next())
    out.push_back(*m);
  return out;
}
