// Time-ordered merge of record sources: delivery by time stamp, equal stamps
// in source order, refused records skipped once, NaN stamps, and containers
// that reuse one message.  (Written files: see the frame-kind test.)
#include "mdf/mdf_merge.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

struct TestRecord {
  double t;
  uint32_t id;
  uint8_t kind = 1;  // 0: refused, 1: timed, 2: without time channel
};

// The record bytes are the TestRecord itself.
bool testDecoder(const cMdfRecordView& view, cBusMsg& msg) {
  TestRecord r;
  std::memcpy(&r, view.record.data(), sizeof r);
  if (r.kind != 2) msg.timeStamp = r.t;
  msg.id = r.id;
  msg.data.push_back(r.kind);
  return r.kind != 0;
}

class FakeSource final : public cMdfRecordSource {
 public:
  FakeSource(std::vector<TestRecord> records, bool bus = true) : records_(std::move(records)), bus_(bus) {}
  void rewind() override { pos_ = 0; }
  const cMdfRecordView* next() override {
    ++reads;
    if (pos_ >= records_.size()) return nullptr;
    view_ = {{reinterpret_cast<const uint8_t*>(&records_[pos_++]), sizeof(TestRecord)}, {}, nullptr, testDecoder};
    return &view_;
  }
  bool hasBusRecords() const override { return bus_; }
  int reads = 0;

 private:
  std::vector<TestRecord> records_;
  size_t pos_ = 0;
  cMdfRecordView view_;
  bool bus_;
};

using Groups = std::vector<std::vector<TestRecord>>;

std::vector<std::pair<double, uint32_t>> merged(const Groups& groups, double offset = 0) {
  std::vector<std::unique_ptr<cMdfBusMsgContainer>> containers;
  for (const auto& g : groups) containers.push_back(std::make_unique<cMdfBusMsgContainer>(std::make_unique<FakeSource>(g)));
  cMdfParallelIter merge(std::move(containers), offset);
  std::vector<std::pair<double, uint32_t>> out;
  for (cBusMsg* m = merge.current(); m != nullptr && out.size() < 100000; m = merge.next())
    out.emplace_back(m->timeStamp, m->id);
  EXPECT_EQ(merge.next(), nullptr) << "stays exhausted";
  EXPECT_EQ(merge.current(), nullptr);
  return out;
}

TEST(cMdfParallelIter, DeliversInTimeOrderAcrossGroups) {
  const double nan = std::nan("");
  struct Case { const char* what; Groups groups; std::vector<uint32_t> ids; };
  const Case cases[] = {
      {"interleaved", {{{1, 1}, {2, 2}, {3, 3}}, {{1.5, 4}, {2.5, 5}}, {{0.2, 6}, {4, 7}}, {{2.2, 8}}},
       {6, 1, 4, 2, 8, 5, 3, 7}},
      {"empty groups stop nothing", {{}, {{1, 1}}, {}, {{0.5, 2}}}, {2, 1}},
      {"refused record in the middle", {{{1, 1}, {2, 2, 0}, {3, 3}}, {{2.5, 4}}}, {1, 4, 3}},
      {"equal stamps keep group order", {{{1, 1}, {2, 2}}, {{1, 3}, {2, 4}}, {{1, 5}}}, {1, 3, 5, 2, 4}},
      {"a group out of order is not reordered", {{{3, 1}, {1, 2}}, {{2, 3}}}, {3, 1, 2}},
      {"NaN stamps after numbers", {{{nan, 1}, {1, 2}}, {{0.5, 3}, {nan, 4}, {2, 5}}}, {3, 1, 2, 4, 5}},
  };
  for (const Case& c : cases) {
    std::vector<uint32_t> ids;
    for (auto [t, id] : merged(c.groups)) ids.push_back(id);
    EXPECT_EQ(ids, c.ids) << c.what;
  }
  // The start offset is added once, also to a group without time channel.
  EXPECT_EQ(merged({{{7, 1, 2}, {7, 2, 2}}, {{0.5, 3}}}, 100.0),
            (std::vector<std::pair<double, uint32_t>>{{100, 1}, {100, 2}, {100.5, 3}}));
}

TEST(cMdfBusMsgContainer, ReusesOneMessageRewindsAndSkipsSourcesWithoutBusRecords) {
  cMdfBusMsgContainer c(std::make_unique<FakeSource>(std::vector<TestRecord>{{1, 1}, {2, 2}}));
  cBusMsg* first = c.begin();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(c.next(), first);
  EXPECT_EQ(first->data.size(), 1u) << "emptied before every record";
  EXPECT_EQ(c.next(), nullptr);
  EXPECT_EQ(c.current(), nullptr);
  auto idle = std::make_unique<FakeSource>(std::vector<TestRecord>{{1, 1}}, false);
  const FakeSource* source = idle.get();
  cMdfBusMsgContainer none(std::move(idle));
  EXPECT_EQ(none.begin(), nullptr);
  EXPECT_EQ(source->reads, 0);
}

}  // namespace
