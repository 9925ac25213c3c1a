#include "mdf/mdf_merge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "mdf_log_fixture.h"

namespace {

// Test records: time stamp (f64) @0, id (u32) @8, accepted flag @12.
bool testDecoder(const cMdfRecordView& view, cBusMsg& msg) {
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | view.record[i];
  if (view.record[12] != 2) msg.timeStamp = std::bit_cast<double>(bits);  // 2: no time channel
  msg.id = view.record[8] | view.record[9] << 8 | view.record[10] << 16 |
           static_cast<uint32_t>(view.record[11]) << 24;
  msg.data.push_back(view.record[12]);
  if (view.record[12] == 0) return false;
  msg.type = cBusMsgType::BUS_MSG_CAN_DATA_FRAME;
  return true;
}

struct TestRecord {
  double t;
  uint32_t id;
  bool accepted = true;
  bool timed = true;
};

class FakeSource final : public cMdfRecordSource {
 public:
  explicit FakeSource(std::vector<TestRecord> records, bool bus = true, int* reads = nullptr)
      : bus_(bus), reads_(reads) {
    for (const TestRecord& r : records) {
      std::vector<uint8_t> bytes(13);
      const auto bits = std::bit_cast<uint64_t>(r.t);
      for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
      for (int i = 0; i < 4; ++i) bytes[8 + i] = static_cast<uint8_t>(r.id >> (8 * i));
      bytes[12] = !r.accepted ? 0 : r.timed ? 1 : 2;
      records_.push_back(std::move(bytes));
    }
  }
  void rewind() override { pos_ = 0; }
  const cMdfRecordView* next() override {
    if (reads_) ++*reads_;
    if (pos_ >= records_.size()) return nullptr;
    view_ = {records_[pos_++], {}, nullptr, testDecoder};
    return &view_;
  }
  bool hasBusRecords() const override { return bus_; }

 private:
  std::vector<std::vector<uint8_t>> records_;
  size_t pos_ = 0;
  cMdfRecordView view_;
  bool bus_;
  int* reads_;
};

std::unique_ptr<cMdfBusMsgContainer> container(std::vector<TestRecord> records) {
  return std::make_unique<cMdfBusMsgContainer>(std::make_unique<FakeSource>(std::move(records)));
}

using Groups = std::vector<std::vector<TestRecord>>;

std::vector<std::pair<double, uint32_t>> drain(cMdfParallelIter& merge, size_t limit = 100000) {
  std::vector<std::pair<double, uint32_t>> out;
  for (cBusMsg* m = merge.current(); m != nullptr && out.size() < limit; m = merge.next()) {
    out.emplace_back(m->timeStamp, m->id);
  }
  return out;
}

std::vector<std::pair<double, uint32_t>> mergeGroups(const Groups& groups, double offset = 0) {
  std::vector<std::unique_ptr<cMdfBusMsgContainer>> containers;
  for (const auto& g : groups) containers.push_back(container(g));
  cMdfParallelIter merge(std::move(containers), offset);
  return drain(merge);
}

TEST(cMdfParallelIter, DeliversInTimeOrderAcrossGroups) {
  struct Case {
    const char* what;
    Groups groups;
    std::vector<uint32_t> ids;
  };
  const Case cases[] = {
      {"interleaved", {{{1, 1}, {2, 2}, {3, 3}}, {{1.5, 4}, {2.5, 5}}}, {1, 4, 2, 5, 3}},
      {"empty group does not stop others", {{}, {{1, 1}}, {}, {{0.5, 2}}}, {2, 1}},
      {"no groups", {}, {}},
      {"refused record in the middle is skipped",
       {{{1, 1}, {2, 2, false}, {3, 3}}, {{2.5, 4}}}, {1, 4, 3}},
      {"refused first records are skipped", {{{0.5, 1, false}, {0.7, 2, false}, {1, 3}}, {{0.9, 4}}},
       {4, 3}},
      {"group of refused records contributes nothing", {{{1, 1, false}, {2, 2, false}}, {{3, 3}}},
       {3}},
      {"equal stamps keep group order", {{{1, 1}, {2, 2}}, {{1, 3}, {2, 4}}, {{1, 5}}}, {1, 3, 5, 2, 4}},
      {"a group out of order is not reordered", {{{3, 1}, {1, 2}}, {{2, 3}}}, {3, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint32_t> ids;
    for (auto [t, id] : mergeGroups(c.groups)) ids.push_back(id);
    EXPECT_EQ(ids, c.ids);
  }
}

TEST(cMdfParallelIter, GroupWithoutTimeChannelDoesNotAccumulateTheOffset) {
  const auto out = mergeGroups({{{0, 1, true, false}, {0, 2, true, false}, {0, 3, true, false}}}, 100.0);
  ASSERT_EQ(out.size(), 3u);
  for (auto [t, id] : out) EXPECT_EQ(t, 100.0) << id;
}

TEST(cMdfParallelIter, StaysExhausted) {
  std::vector<std::unique_ptr<cMdfBusMsgContainer>> containers;
  containers.push_back(container({{1, 1}}));
  cMdfParallelIter merge(std::move(containers), 0);
  ASSERT_NE(merge.current(), nullptr);
  EXPECT_EQ(merge.next(), nullptr);
  EXPECT_EQ(merge.next(), nullptr);
  EXPECT_EQ(merge.current(), nullptr);
}

TEST(cMdfParallelIter, NanTimeStampsNeitherLoseNorRepeatMessages) {
  const double nan = std::nan("");
  const auto out = mergeGroups({{{nan, 1}, {1, 2}, {nan, 3}}, {{0.5, 4}, {nan, 5}, {2, 6}}});
  std::vector<uint32_t> ids;
  for (auto [t, id] : out) ids.push_back(id);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
}

TEST(cMdfParallelIter, RandomGroupsMergeSortedAndComplete) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  for (int round = 0; round < 20; ++round) {
    Groups groups(1 + rng() % 7);
    uint32_t id = 0;
    size_t accepted = 0;
    for (auto& g : groups) {
      double t = 0;
      const size_t n = rng() % 50;
      for (size_t i = 0; i < n; ++i) {
        t += (rng() % 4) * 0.25;  // repeats equal stamps now and then
        const bool ok = rng() % 5 != 0;
        accepted += ok;
        g.push_back({t, id++, ok});
      }
    }
    const auto out = mergeGroups(groups);
    ASSERT_EQ(out.size(), accepted);
    EXPECT_TRUE(std::is_sorted(out.begin(), out.end(),
                               [](auto& a, auto& b) { return a.first < b.first; }));
    std::vector<uint32_t> ids;
    for (auto [t, i] : out) ids.push_back(i);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << "a message came twice";
  }
}

TEST(cMdfBusMsgContainer, SourceWithoutBusRecordsIsNotRead) {
  int reads = 0;
  cMdfBusMsgContainer c(std::make_unique<FakeSource>(std::vector<TestRecord>{{1, 1}}, false, &reads));
  EXPECT_EQ(c.begin(), nullptr);
  EXPECT_EQ(c.next(), nullptr);
  EXPECT_EQ(reads, 0);
}

TEST(cMdfBusMsgContainer, ReusesOneMessageAndRewinds) {
  cMdfBusMsgContainer c(std::make_unique<FakeSource>(std::vector<TestRecord>{{1, 1}, {2, 2}}));
  cBusMsg* first = c.begin();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->data.size(), 1u);  // emptied before every record
  cBusMsg* second = c.next();
  EXPECT_EQ(first, second);
  EXPECT_EQ(second->id, 2u);
  EXPECT_EQ(c.next(), nullptr);
  EXPECT_EQ(c.current(), nullptr);
  ASSERT_NE(c.begin(), nullptr);
  EXPECT_EQ(c.current()->id, 1u);
}

TEST(cMdfBusMsgContainer, IteratorsOrderByTimeWithEndsLast) {
  cBusMsg early, late, nanMsg;
  early.timeStamp = 1;
  late.timeStamp = 2;
  nanMsg.timeStamp = std::nan("");
  cMdfBusMsgContainer owner(nullptr);
  const cMdfBusMsgContainer_iter e{&early, &owner}, l{&late, &owner}, n{&nanMsg, &owner},
      end{nullptr, &owner}, none{};
  struct Case {
    cMdfBusMsgContainer_iter a, b;
    int sign;
  };
  const Case cases[] = {{e, l, -1}, {l, e, 1}, {e, e, 0}, {l, n, -1}, {n, l, 1},
                        {e, end, -1}, {end, e, 1}, {none, e, 1}, {end, none, 0}};
  for (const Case& c : cases) {
    const int got = cMdfBusMsgContainer_iter_cmp(c.a, c.b);
    EXPECT_EQ((got > 0) - (got < 0), c.sign);
  }
}

// ---------------------------------------------------------------------------
// On log files written by the writer.

cMklogFrame at(double t, uint32_t id, uint8_t channel = 1) {
  cMklogFrame f;
  f.t = t;
  f.id = id;
  f.channel = channel;
  f.data = {static_cast<uint8_t>(id), 2, 3, 4, 5, 6, 7, 8};
  return f;
}

cMklogDataGroup canGroup(const std::vector<cMklogFrame>& frames, bool sorted = true) {
  return testLog_group(cMklogKind::Can, frames, sorted);
}

std::vector<uint32_t> idsOf(const std::vector<cBusMsg>& frames) {
  std::vector<uint32_t> ids;
  for (const auto& m : frames) ids.push_back(m.id);
  return ids;
}

// The structure channel (second channel) of channel group `cg` of data group
// `dg`, as the writer builds it.
cMdfBlock_CN& structureOf(cMdfBlock_ID& id, size_t dg, size_t cg) {
  return *id.getHeader()->dataGroups.at(dg)->channelGroups.at(cg)->channels.at(1);
}

TEST(cMdfParallelIterFile, TimeStampsAreAbsoluteWithZoneOffsets) {
  struct Case {
    uint64_t startNs;
    int16_t tz, dst;
    double t;
    double expected;
  };
  const Case cases[] = {
      {1000000000, 1, 0, 0.25, 61.25},
      {0, -60, 60, 1.5, 1.5},
      {0, 120, 60, 0, 10800},
      {1700000000123456789, 0, 0, 0.5, 1700000000.623456789},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    cMklogPlan plan = testLog_plan();
    plan.startNs = c.startNs;
    plan.tzOffsetMin = c.tz;
    plan.dstOffsetMin = c.dst;
    plan.timeFlags = 0;  // offsets count whatever the flags say
    plan.dataGroups = {canGroup({at(c.t, 1)})};
    auto log = testLog_open(plan);
    ASSERT_TRUE(log);
    const auto frames = testLog_frames(*log);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_NEAR(frames[0].timeStamp, c.expected, 1e-6);
  }
}

TEST(cMdfParallelIterFile, UnsortedGroupOfSeveralKindsKeepsRecordOrder) {
  cMklogDataGroup mixed;
  mixed.groups = {{"can", cMklogKind::Can, 0, "", 0, std::nullopt},
                  {"err", cMklogKind::Error, 0, "", 0, std::nullopt},
                  {"lin", cMklogKind::Lin, 0, "", 0, std::nullopt},
                  {"fd", cMklogKind::CanFdVlsd, 0, "", 0, std::nullopt}};
  const cMklogFrame frames[] = {at(0.1, 1), at(0.2, 0), at(0.3, 3), at(0.4, 4), at(0.5, 5)};
  const size_t groupOf[] = {0, 1, 2, 3, 0};
  for (size_t i = 0; i < 5; ++i) mixed.frames.emplace_back(groupOf[i], frames[i]);
  cMklogPlan plan = testLog_plan();
  plan.dataGroups = {mixed, canGroup({at(0.35, 9)})};
  auto log = testLog_open(plan);
  ASSERT_TRUE(log);
  const auto got = testLog_frames(*log);
  using T = cBusMsgType;
  const std::vector<T> types = {T::BUS_MSG_CAN_DATA_FRAME, T::BUS_MSG_CAN_ERROR_FRAME, T::BUS_MSG_LIN_FRAME,
                                T::BUS_MSG_CAN_DATA_FRAME, T::BUS_MSG_CAN_DATA_FRAME, T::BUS_MSG_CAN_DATA_FRAME};
  ASSERT_EQ(got.size(), types.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].type, types[i]) << i;
  EXPECT_EQ(got[3].id, 9u);
  EXPECT_EQ(got[4].id, 4u);
  EXPECT_EQ(got[4].data.size(), 8u);
}

TEST(cMdfParallelIterFile, GroupOfOtherChannelsContributesNothing) {
  cMklogPlan plan = testLog_plan();
  plan.dataGroups = {canGroup({at(1, 1), at(2, 2)}), canGroup({at(1.5, 3)})};
  auto log = testLog_open(plan, [](cMdfBlock_ID& id) {
    for (auto& cn : structureOf(id, 0, 0).composition) {
      std::string name(cn->getName());
      name.replace(0, name.find('.'), "GPS");
      mdf_cast<cMdfBlock_TX>(cn->name)->setData(name);
    }
  });
  ASSERT_TRUE(log);
  EXPECT_EQ(idsOf(testLog_frames(*log)), std::vector<uint32_t>{3});
}

TEST(cMdfParallelIterFile, RefusedRecordsInTheMiddleAreSkippedOnce) {
  cMklogDataGroup mixed;
  mixed.groups = {{"can", cMklogKind::Can, 0, "", 0, std::nullopt},
                  {"lin", cMklogKind::Lin, 0, "", 0, std::nullopt}};
  const size_t groupOf[] = {1, 0, 1, 1, 0, 1, 0, 1};
  for (size_t i = 0; i < 8; ++i) mixed.frames.emplace_back(groupOf[i], at(0.1 * (i + 1), 100 + i));
  cMklogPlan plan = testLog_plan();
  plan.dataGroups = {mixed, canGroup({at(0.45, 1)})};
  auto log = testLog_open(plan, [](cMdfBlock_ID& id) {
    // A byte-array channel the LIN decoder does not know makes it refuse
    // every LIN record of the group.
    auto extra = std::make_shared<cMdfBlock_CN>();
    auto name = std::make_shared<cMdfBlock_TX>();
    name->setData("LIN_Frame.Checksum");
    extra->name = name;
    extra->setByteOffset(11);
    extra->setBitLength(8);
    extra->setDataType(11);
    structureOf(id, 0, 1).composition.push_back(extra);
  });
  ASSERT_TRUE(log);
  EXPECT_EQ(idsOf(testLog_frames(*log)), (std::vector<uint32_t>{101, 1, 104, 106}));
}

TEST(cMdfParallelIterFile, InvalidationBytesKeepRecordsInStep) {
  cMklogDataGroup mixed;
  mixed.groups = {{"can", cMklogKind::Can, 0, "", 3, std::nullopt},
                  {"err", cMklogKind::Error, 0, "", 1, std::nullopt}};
  for (uint32_t i = 0; i < 6; ++i) mixed.frames.emplace_back(i % 2, at(i, 10 + i));
  cMklogPlan plan = testLog_plan();
  plan.dataGroups = {mixed};
  auto log = testLog_open(plan);
  ASSERT_TRUE(log);
  const auto got = testLog_frames(*log);
  ASSERT_EQ(got.size(), 6u);
  for (uint32_t i = 0; i < 6; ++i) {
    EXPECT_DOUBLE_EQ(got[i].timeStamp, i);
    if (i % 2 == 0) {
      EXPECT_EQ(got[i].id, 10 + i);
    }
  }
}

TEST(cMdfParallelIterFile, GeneratedBulkGroupsMergeCompletely) {
  cMklogPlan plan = testLog_plan();
  for (int g = 0; g < 3; ++g) {
    cMklogDataGroup dg;
    dg.sorted = true;
    cMklogBulk bulk;
    bulk.count = 5000;
    bulk.rate = 1000.0 + 250 * g;
    bulk.t0 = 0.0001 * g;
    bulk.ids = {static_cast<uint32_t>(0x100 + g)};
    dg.groups.push_back({"bulk", cMklogKind::Can, 0, "", 0, bulk});
    plan.dataGroups.push_back(dg);
  }
  auto log = testLog_open(plan);
  ASSERT_TRUE(log);
  auto iter = cMdf_getIter(log->mdf.get());
  ASSERT_TRUE(iter);
  size_t count[3] = {0, 0, 0};
  double last = -1;
  bool ordered = true;
  for (cBusMsg* m = iter->current(); m != nullptr; m = iter->next()) {
    ordered &= m->timeStamp >= last;
    last = m->timeStamp;
    ASSERT_GE(m->id, 0x100u);
    ASSERT_LT(m->id, 0x103u);
    const uint64_t index = count[m->id - 0x100]++;
    uint64_t payloadIndex = 0;
    for (int k = 0; k < 8; ++k) payloadIndex |= uint64_t{m->data[k]} << (8 * k);
    ASSERT_EQ(payloadIndex, index);
  }
  EXPECT_TRUE(ordered);
  EXPECT_EQ(count[0] + count[1] + count[2], 15000u);
}

TEST(cMdfParallelIterFile, CorruptedFilesNeitherCrashNorHang) {
  cMklogDataGroup mixed;
  mixed.groups = {{"can", cMklogKind::Can, 0, "", 0, std::nullopt},
                  {"fd", cMklogKind::CanFdVlsd, 0, "", 0, std::nullopt},
                  {"lin", cMklogKind::Lin, 0, "", 0, std::nullopt}};
  for (uint32_t i = 0; i < 30; ++i) mixed.frames.emplace_back(i % 3, at(0.01 * i, i));
  cMklogPlan plan = testLog_plan();
  plan.serial = "1234";
  plan.dataGroups = {mixed, testLog_group(cMklogKind::CanFdSd, {at(0.1, 1), at(0.2, 2)})};
  std::string error;
  const auto good = cMklog_render(plan, &error);
  ASSERT_TRUE(good) << error;
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> bytes = *good;
    const int flips = 1 + static_cast<int>(rng() % 8);
    for (int k = 0; k < flips; ++k) bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng());
    auto stream = cIO_memoryAlloc_ctor();
    ASSERT_EQ(stream->write(bytes.data(), static_cast<int64_t>(bytes.size())),
              static_cast<int64_t>(bytes.size()));
    auto mdf = cMdf_open(stream.get());
    if (!mdf) continue;
    (void)cMdf_getMetaData(mdf.get());
    auto iter = cMdf_getIter(mdf.get());
    size_t count = 0;
    for (cBusMsg* m = iter ? iter->current() : nullptr; m != nullptr; m = iter->next()) {
      ASSERT_LE(m->data.size(), 255u);
      ASSERT_LT(++count, 100000u) << "round " << round << " does not end";
    }
    iter.reset();
    cMdf_close(mdf);
  }
}

TEST(cMdfParallelIterFile, FileWithoutDataGroupsHasNoCurrentMessage) {
  auto log = testLog_open(testLog_plan());
  ASSERT_TRUE(log);
  auto iter = cMdf_getIter(log->mdf.get());
  ASSERT_TRUE(iter);
  EXPECT_EQ(iter->current(), nullptr);
  EXPECT_EQ(iter->next(), nullptr);
  EXPECT_EQ(cMdf_getIter(nullptr), nullptr);
}

}  // namespace
