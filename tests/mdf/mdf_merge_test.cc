// Time-ordered merge: containers of records from several sources delivered
// by time stamp, equal stamps in data-group order, refused records skipped
// once; on written files absolute time stamps and refusing groups.
#include "mdf/mdf_merge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <cmath>
#include <random>

#include "mdf_log_fixture.h"

namespace {

// Test records: time stamp (f64) @0, id (u32) @8, kind @12 (0: refused,
// 1: timed, 2: without time channel).
bool testDecoder(const cMdfRecordView& view, cBusMsg& msg) {
  uint64_t t = 0;
  uint32_t id = 0;
  std::memcpy(&t, view.record.data(), 8);
  std::memcpy(&id, view.record.data() + 8, 4);
  if (view.record[12] != 2) msg.timeStamp = std::bit_cast<double>(t);
  msg.id = id;
  msg.data.push_back(view.record[12]);
  return view.record[12] != 0;
}

struct TestRecord {
  double t;
  uint32_t id;
  uint8_t kind = 1;
};

class FakeSource final : public cMdfRecordSource {
 public:
  FakeSource(const std::vector<TestRecord>& records, bool bus = true) : bus_(bus) {
    for (const TestRecord& r : records) {
      std::vector<uint8_t> bytes(13, r.kind);
      std::memcpy(bytes.data(), &r.t, 8);
      std::memcpy(bytes.data() + 8, &r.id, 4);
      records_.push_back(std::move(bytes));
    }
  }
  void rewind() override { pos_ = 0; }
  const cMdfRecordView* next() override {
    ++reads;
    if (pos_ >= records_.size()) return nullptr;
    view_ = {records_[pos_++], {}, nullptr, testDecoder};
    return &view_;
  }
  bool hasBusRecords() const override { return bus_; }
  int reads = 0;

 private:
  std::vector<std::vector<uint8_t>> records_;
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
  struct Case {
    const char* what;
    Groups groups;
    std::vector<uint32_t> ids;
  };
  const Case cases[] = {
      {"interleaved", {{{1, 1}, {2, 2}, {3, 3}}, {{1.5, 4}, {2.5, 5}}}, {1, 4, 2, 5, 3}},
      {"empty groups stop nothing", {{}, {{1, 1}}, {}, {{0.5, 2}}}, {2, 1}},
      {"no groups", {}, {}},
      {"refused record in the middle", {{{1, 1}, {2, 2, 0}, {3, 3}}, {{2.5, 4}}}, {1, 4, 3}},
      {"refused first records", {{{0.5, 1, 0}, {0.7, 2, 0}, {1, 3}}, {{0.9, 4}}}, {4, 3}},
      {"only refused records", {{{1, 1, 0}, {2, 2, 0}}, {{3, 3}}}, {3}},
      {"equal stamps keep group order", {{{1, 1}, {2, 2}}, {{1, 3}, {2, 4}}, {{1, 5}}}, {1, 3, 5, 2, 4}},
      {"a group out of order is not reordered", {{{3, 1}, {1, 2}}, {{2, 3}}}, {3, 1, 2}},
      {"NaN stamps after numbers", {{{nan, 1}, {1, 2}}, {{0.5, 3}, {nan, 4}, {2, 5}}}, {3, 1, 2, 4, 5}},
  };
  for (const Case& c : cases) {
    std::vector<uint32_t> ids;
    for (auto [t, id] : merged(c.groups)) ids.push_back(id);
    EXPECT_EQ(ids, c.ids) << c.what;
  }
  // A group without time channel does not accumulate the start offset.
  EXPECT_EQ(merged({{{7, 1, 2}, {7, 2, 2}}}, 100.0), (std::vector<std::pair<double, uint32_t>>{{100, 1}, {100, 2}}));
}

TEST(cMdfParallelIter, RandomGroupsMergeSortedAndComplete) {
  std::mt19937 rng(4711);
  for (int round = 0; round < 20; ++round) {
    Groups groups(1 + rng() % 7);
    std::vector<std::pair<double, uint32_t>> expected;
    uint32_t id = 0;
    for (auto& g : groups) {
      double t = 0;
      for (size_t i = 0, n = rng() % 50; i < n; ++i, ++id) {
        t += (rng() % 4) * 0.25;  // equal stamps now and then
        g.push_back({t, id, static_cast<uint8_t>(rng() % 5 != 0)});
        if (g.back().kind) expected.emplace_back(t, id);
      }
    }
    // Ids grow with the group index: sorting by (time, id) gives group order.
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(merged(groups), expected) << round;
  }
}

TEST(cMdfBusMsgContainer, ReusesOneMessageRewindsAndSkipsSourcesWithoutBusRecords) {
  auto source = std::make_unique<FakeSource>(std::vector<TestRecord>{{1, 1}, {2, 2}});
  cMdfBusMsgContainer c(std::move(source));
  cBusMsg* first = c.begin();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->data.size(), 1u) << "emptied before every record";
  EXPECT_EQ(c.next(), first);
  EXPECT_EQ(first->id, 2u);
  EXPECT_EQ(c.next(), nullptr);
  EXPECT_EQ(c.current(), nullptr);
  ASSERT_NE(c.begin(), nullptr);
  EXPECT_EQ(c.current()->id, 1u);
  auto* idle = new FakeSource({{1, 1}}, false);
  cMdfBusMsgContainer none{std::unique_ptr<cMdfRecordSource>(idle)};
  EXPECT_EQ(none.begin(), nullptr);
  EXPECT_EQ(none.next(), nullptr);
  EXPECT_EQ(idle->reads, 0);
}

TEST(cMdfBusMsgContainer, IteratorsOrderByTimeWithEndsLast) {
  cBusMsg early, late, nanMsg;
  early.timeStamp = 1;
  late.timeStamp = 2;
  nanMsg.timeStamp = std::nan("");
  cMdfBusMsgContainer owner(nullptr);
  const cMdfBusMsgContainer_iter e{&early, &owner}, l{&late, &owner}, n{&nanMsg, &owner}, end{nullptr, &owner}, none{};
  const std::tuple<cMdfBusMsgContainer_iter, cMdfBusMsgContainer_iter, int> cases[] = {
      {e, l, -1}, {l, e, 1}, {e, e, 0}, {l, n, -1}, {n, l, 1}, {e, end, -1}, {end, e, 1}, {none, e, 1}, {end, none, 0}};
  for (const auto& [a, b, sign] : cases) {
    const int got = cMdfBusMsgContainer_iter_cmp(a, b);
    EXPECT_EQ((got > 0) - (got < 0), sign);
  }
}

TEST(cMdfParallelIterFile, TimeStampsAreAbsoluteWithZoneOffsets) {
  struct Case {
    const char* header;
    double t, expected;
  };
  const Case cases[] = {
      {"start_ns 1000000000\ntz_offset 1\n", 0.25, 61.25},
      {"tz_offset -60\ndst_offset 60\n", 1.5, 1.5},
      {"tz_offset 120\ndst_offset 60\ntime_flags 0\n", 0, 10800},  // whatever the flags say
      {"start_ns 1700000000123456789\n", 0.5, 1700000000.623456789},
  };
  for (const Case& c : cases) {
    const auto frames = testLog_frames(
        testLog_open(std::string(c.header) + "group c can\nframe c t=" + std::to_string(c.t) + " id=1\n").get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_NEAR(frames[0].timeStamp, c.expected, 1e-6) << c.header;
  }
}

// The structure channel of the first channel group of data group `dg`.
cMdfBlock_CN& structureOf(cMdfBlock_ID& id, size_t dg, size_t cg = 0) {
  return *id.getHeader()->dataGroups.at(dg)->channelGroups.at(cg)->channels.at(1);
}

TEST(cMdfParallelIterFile, GroupsThatRefuseTheirRecordsAreSkippedOnce) {
  const std::string description = R"(
datagroup
group lin lin
group can can
frame lin t=0.1 id=101
frame can t=0.2 id=102
frame lin t=0.3 id=103
frame lin t=0.4 id=104
frame can t=0.5 id=105
frame lin t=0.6 id=106
datagroup sorted
group b can
frame b t=0.45 id=1
datagroup sorted
group o can
frame o t=0.15 id=2
)";
  auto log = testLog_open(description, [](cMdfBlock_ID& id) {
    // A byte-array channel the LIN decoder does not know makes it refuse
    // every LIN record of the group.
    auto extra = std::make_shared<cMdfBlock_CN>();
    auto name = std::make_shared<cMdfBlock_TX>();
    name->setData("LIN_Frame.Checksum");
    extra->name = name;
    extra->setByteOffset(11);
    extra->setBitLength(8);
    extra->setDataType(11);
    structureOf(id, 0).composition.push_back(extra);
    // Channels of another kind of group give no messages.
    for (auto& cn : structureOf(id, 2).composition) {
      std::string other(cn->getName());
      mdf_cast<cMdfBlock_TX>(cn->name)->setData(other.replace(0, other.find('.'), "GPS"));
    }
  });
  EXPECT_EQ(testLog_ids(testLog_frames(log.get())), (std::vector<uint32_t>{102, 1, 105}));
}

}  // namespace
