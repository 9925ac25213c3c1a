// Record access: sorted and unsorted groups, VLSD data in channel groups and
// signal-data blocks, invalidation bytes, and damaged data.
#include "mdf/mdf_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"
#include "bus/bus_msg.h"
#include "mklog.h"
#include "support/log_capture.h"

namespace {


std::unique_ptr<cIO_memoryAlloc> streamOf(const std::vector<uint8_t>& bytes) {
  auto mem = cIO_memoryAlloc_ctor();
  mem->write(bytes.data(), static_cast<int64_t>(bytes.size()));
  mem->seek(0, cIO::kSeekSet);
  return mem;
}

struct Loaded {
  std::unique_ptr<cIO_memoryAlloc> stream;
  std::shared_ptr<cMdfBlock_ID> id;
  cMdfBlock_DG& dg(size_t i) { return *id->getHeader()->dataGroups.at(i); }
};

Loaded loadBytes(const std::vector<uint8_t>& bytes) {
  Loaded l;
  l.stream = streamOf(bytes);
  l.id = cMdfBlock_loadTree(l.stream.get());
  return l;
}

std::vector<uint8_t> render(const std::string& description) {
  std::string error;
  auto bytes = cMklog_build(description, &error);
  EXPECT_TRUE(bytes) << error;
  return bytes ? *bytes : std::vector<uint8_t>{};
}

// A data group in memory: channel groups (record id, data bytes, cycle count)
// and a payload.
struct GroupDef {
  uint64_t recordId;
  uint32_t bytes;
  uint64_t cycles = 1;
};
std::shared_ptr<cMdfBlock_DG> makeGroup(uint8_t idSize, const std::vector<GroupDef>& groups,
                                        const std::vector<uint8_t>& payload) {
  auto dg = std::make_shared<cMdfBlock_DG>();
  dg->setRecordIDSize(idSize);
  for (const auto& g : groups) {
    auto cg = std::make_shared<cMdfBlock_CG>();
    cg->setRecordID(g.recordId);
    cg->setRecordSize(g.bytes);
    cg->setCycleCount(g.cycles);
    dg->channelGroups.push_back(cg);
  }
  dg->data = cMdfBlock_DT_ctor_fromIO(streamOf(payload));
  cMdfBlock_DG_updateRecordMap(*dg);
  return dg;
}

struct Read {
  uint64_t position;  // where the record started
  std::vector<uint8_t> record;
  std::vector<uint8_t> vlsd;
};
std::vector<Read> readAll(const cMdfBlock_DG& dg, size_t limit = 1000) {
  cMdfIteratorState state;
  EXPECT_TRUE(cMdfBlock_DG_iteratorState_init(&state));
  std::vector<Read> out;
  while (out.size() < limit) {
    uint64_t at = state.position;
    const cMdfRecordView* view = cMdfBlock_DG_at(dg, state);
    if (view == nullptr) break;
    out.push_back({at, {view->record.begin(), view->record.end()}, {view->vlsd.begin(), view->vlsd.end()}});
  }
  return out;
}

std::vector<uint8_t> counting(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i);
  return v;
}

TEST(cMdfBlock_DG_at, SortedGroupReadsRecordsBackToBack) {
  auto payload = counting(120);
  auto dg = makeGroup(0, {{0, 12}}, payload);
  EXPECT_TRUE(cMdfBlock_DG_isSorted(*dg));
  auto reads = readAll(*dg);
  ASSERT_EQ(reads.size(), 10u);
  for (size_t i = 0; i < reads.size(); ++i) {
    EXPECT_EQ(reads[i].position, 12 * i);
    EXPECT_EQ(reads[i].record, std::vector<uint8_t>(payload.begin() + 12 * i, payload.begin() + 12 * i + 12));
    EXPECT_TRUE(reads[i].vlsd.empty());
  }
}

TEST(cMdfBlock_DG_at, UnsortedGroupUsesEachRecordsOwnLength) {
  std::vector<uint8_t> payload;
  auto add = [&](uint8_t id, size_t n) {
    payload.push_back(id);
    for (size_t i = 0; i < n; ++i) payload.push_back(static_cast<uint8_t>(id * 16 + i));
  };
  add(1, 8);
  add(2, 16);
  add(1, 8);
  add(3, 4);  // unknown id: the group ends here
  add(1, 8);
  auto dg = makeGroup(1, {{1, 8}, {2, 16}}, payload);
  EXPECT_FALSE(cMdfBlock_DG_isSorted(*dg));
  auto reads = readAll(*dg);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[0].record.size(), 8u);
  EXPECT_EQ(reads[1].record.size(), 16u);
  EXPECT_EQ(reads[1].record[0], 0x20);
  EXPECT_EQ(reads[2].position, 9u + 17u);
}

TEST(cMdfBlock_DG_at, TwoByteRecordIdsAreReadAndSkipped) {
  std::vector<uint8_t> payload;
  for (int r = 0; r < 3; ++r) {
    payload.push_back(0x02);
    payload.push_back(0x01);  // id 0x0102, little-endian
    for (int i = 0; i < 5; ++i) payload.push_back(static_cast<uint8_t>(r * 10 + i));
  }
  auto dg = makeGroup(2, {{0x0102, 5}}, payload);
  auto reads = readAll(*dg);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[2].record, (std::vector<uint8_t>{20, 21, 22, 23, 24}));
}

TEST(cMdfBlock_DG_at, NoRecordIdsWithSeveralGroupsNeedsOneWithRecords) {
  struct Case {
    uint64_t cyclesA, cyclesB;
    size_t records;  // 0: the group is skipped with a warning
    size_t length;
  };
  const Case cases[] = {{5, 0, 6, 10}, {0, 4, 15, 4}, {5, 4, 0, 0}, {0, 0, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.cyclesA) + "/" + std::to_string(c.cyclesB));
    LogCapture log;
    auto dg = makeGroup(0, {{1, 10, c.cyclesA}, {2, 4, c.cyclesB}}, counting(60));
    auto reads = readAll(*dg);
    EXPECT_EQ(reads.size(), c.records);
    if (!reads.empty()) {
      EXPECT_EQ(reads[0].record.size(), c.length);
    }
    EXPECT_EQ(log.count("no record ids"), c.records == 0 ? 1 : 0);
  }
}

TEST(cMdfBlock_DG_at, RepeatedRecordIdKeepsTheFirstGroup) {
  std::vector<uint8_t> payload = {7, 1, 2, 7, 3, 4};
  auto dg = makeGroup(1, {{7, 2}, {7, 5}}, payload);
  auto reads = readAll(*dg);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[1].record, (std::vector<uint8_t>{3, 4}));
}

TEST(cMdfBlock_DG_at, LengthsBeyondTheDataEndTheGroup) {
  struct Case {
    const char* what;
    uint32_t recordBytes;
    size_t payload;
    size_t records;
  };
  const Case cases[] = {
      {"last record cut short", 10, 35, 3},
      {"record length near 4 GiB", 0xFFFFFF00u, 64, 0},
      {"empty data", 8, 0, 0},
      {"records of zero bytes without ids", 0, 16, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto dg = makeGroup(0, {{0, c.recordBytes}}, counting(c.payload));
    EXPECT_EQ(readAll(*dg).size(), c.records);
  }
}

TEST(cMdfBlock_DG_at, UnsupportedRecordIdSizeSkipsTheGroup) {
  auto bytes = render("datagroup\ngroup c can\nframe c t=0 id=1\nframe c t=1 id=2\n");
  uint64_t sizeAt;
  {
    auto probe = loadBytes(bytes);
    ASSERT_TRUE(probe.id);
    EXPECT_EQ(readAll(probe.dg(0)).size(), 2u);
    sizeAt = probe.dg(0).fileOffset() + 24 + 4 * 8;
  }
  bytes[sizeAt] = 3;
  LogCapture log;
  auto file = loadBytes(bytes);
  ASSERT_TRUE(file.id) << "the rest of the file stays readable";
  EXPECT_TRUE(readAll(file.dg(0)).empty());
  EXPECT_EQ(log.count("Unsupported record id size 3"), 1);
  cMdfBlock_DG other;
  other.setRecordIDSize(9);
  EXPECT_EQ(other.getRecordIDSize(), 0) << "sizes above 8 are ignored by the setter";
}

TEST(cMdfBlock_DG_at, NoDataBlockMeansNoRecords) {
  auto dg = makeGroup(0, {{0, 4}}, counting(8));
  dg->data = std::make_shared<cMdfBlock_SD>();
  EXPECT_TRUE(readAll(*dg).empty());
  dg->data.reset();
  EXPECT_TRUE(readAll(*dg).empty());
  EXPECT_FALSE(cMdfBlock_DG_iteratorState_init(nullptr));
}

constexpr const char* kVlsdFile = R"(
datagroup unsorted
group fd canfd_vlsd
group c can
frame fd t=0.001 id=0x300 data=000102030405060708090A0B0C0D0E0F
frame c t=0.002 id=0x12 data=AABB
frame fd t=0.003 id=0x301 len=64 data=FF
)";

TEST(cMdfBlock_DG_at, VlsdRecordsFollowTheirRecord) {
  auto file = loadBytes(render(kVlsdFile));
  ASSERT_TRUE(file.id);
  auto reads = readAll(file.dg(0));
  ASSERT_EQ(reads.size(), 3u);
  ASSERT_EQ(reads[0].vlsd.size(), 4u + 16u);
  EXPECT_EQ(reads[0].vlsd[0], 16);
  EXPECT_EQ(reads[0].vlsd[4 + 15], 0x0F);
  EXPECT_EQ(reads[1].position, 1u + 23u + 1u + 4u + 16u) << "the next read starts behind the VLSD record";
  EXPECT_TRUE(reads[1].vlsd.empty());
  ASSERT_EQ(reads[2].vlsd.size(), 4u + 64u);
  EXPECT_EQ(reads[2].vlsd[4], 0xFF);
  EXPECT_EQ(reads[2].vlsd[5], 0x00);
}

// Position of the first VLSD length in kVlsdFile's data block.
uint64_t firstVlsdLengthAt(Loaded& file) {
  auto* dt = mdf_cast<cMdfBlock_DT>(file.dg(0).data.get());
  return dt->getDataOffset() + 1 + 23 + 1;
}

TEST(cMdfBlock_DG_at, LargeVlsdLengthsAreLoggedNotRead) {
  auto bytes = render(kVlsdFile);
  struct Case {
    uint32_t length;
    size_t records;  // the rest of the group is out of step and ends
  };
  for (const Case& c : {Case{129, 1}, Case{0xFFFFFFFFu, 1}}) {
    SCOPED_TRACE(c.length);
    auto copy = bytes;
    {
      auto probe = loadBytes(bytes);
      std::memcpy(copy.data() + firstVlsdLengthAt(probe), &c.length, 4);
    }
    auto file = loadBytes(copy);
    ASSERT_TRUE(file.id);
    LogCapture log;
    auto reads = readAll(file.dg(0));
    ASSERT_GE(reads.size(), c.records);
    ASSERT_EQ(reads[0].vlsd.size(), 4u);
    uint32_t n;
    std::memcpy(&n, reads[0].vlsd.data(), 4);
    EXPECT_EQ(n, c.length);
    EXPECT_EQ(log.count("Unexpectedly large record: " + std::to_string(c.length)), 1);
  }
}

TEST(cMdfBlock_DG_at, MissingVlsdRecordGivesBackThePeekedId) {
  // Channel group 1 has a VLSD channel whose data lies in group 2; the
  // record after a group-1 record belongs to group 3 instead.
  auto dg = std::make_shared<cMdfBlock_DG>();
  dg->setRecordIDSize(1);
  auto vlsd = std::make_shared<cMdfBlock_CG>();
  vlsd->setFlags(1);
  vlsd->setRecordID(2);
  auto cg = std::make_shared<cMdfBlock_CG>();
  cg->setRecordID(1);
  cg->setRecordSize(8);
  auto cn = std::make_shared<cMdfBlock_CN>();
  auto name = std::make_shared<cMdfBlock_TX>();
  name->setData("CAN_DataFrame.DataBytes");
  cn->name = name;
  cn->setChannelType(1);
  cn->setDataType(11);
  cn->setBitLength(64);
  cn->signalData = vlsd;
  cg->channels.push_back(cn);
  cg->rebuildDecodingRules();
  auto other = std::make_shared<cMdfBlock_CG>();
  other->setRecordID(3);
  other->setRecordSize(2);
  dg->channelGroups = {cg, vlsd, other};
  std::vector<uint8_t> payload = {1, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0xAB, 0xCD,
                                  1, 0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0x11, 0x22};
  dg->data = cMdfBlock_DT_ctor_fromIO(streamOf(payload));
  cMdfBlock_DG_updateRecordMap(*dg);
  auto reads = readAll(*dg);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_TRUE(reads[0].vlsd.empty());
  EXPECT_EQ(reads[1].position, 9u);
  EXPECT_EQ(reads[1].record, (std::vector<uint8_t>{0xAB, 0xCD}));
  EXPECT_EQ(reads[2].vlsd, (std::vector<uint8_t>{2, 0, 0, 0, 0x11, 0x22}));

  // A VLSD record met on its own ends the group.
  std::vector<uint8_t> stray = {2, 1, 0, 0, 0, 0x55, 3, 1, 2};
  dg->data = cMdfBlock_DT_ctor_fromIO(streamOf(stray));
  EXPECT_TRUE(readAll(*dg).empty());
}

TEST(cMdfBlock_DG_at, SignalDataBlockHoldsTheBytes) {
  auto file = loadBytes(render(R"(
datagroup
group sd canfd_sd
frame sd t=0.001 id=0x1 data=0102
frame sd t=0.002 id=0x2 data=A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3B4
frame sd t=0.003 id=0x3 data=-
)"));
  ASSERT_TRUE(file.id);
  auto reads = readAll(file.dg(0));
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[0].vlsd, (std::vector<uint8_t>{2, 0, 0, 0, 1, 2}));
  ASSERT_EQ(reads[1].vlsd.size(), 4u + 20u);
  EXPECT_EQ(reads[1].vlsd[4 + 19], 0xB4);
  EXPECT_EQ(reads[2].vlsd, (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(reads[1].position, 1u + 23u) << "signal data does not move the record position";

  // An offset past the signal data gives a zero length.
  auto& cg = *file.dg(0).channelGroups[0];
  auto* sd = mdf_cast_mut<cMdfBlock_SD>(cg.channels[1]->composition.back()->signalData.get());
  ASSERT_NE(sd, nullptr);
  sd->setLength(24 + 3);
  auto shortened = readAll(file.dg(0));
  ASSERT_EQ(shortened.size(), 3u);
  EXPECT_EQ(shortened[1].vlsd, (std::vector<uint8_t>{0, 0, 0, 0}));
}

TEST(cMdfBlock_DG_at, InvalidationBytesAreReadWithTheRecord) {
  auto file = loadBytes(render(R"(
datagroup
group a can invalidation_bytes=2
group b remote
frame a t=0.001 id=0x101 data=01
frame b t=0.002 id=0x202 len=2
frame a t=0.003 id=0x103 data=03
frame b t=0.004 id=0x204 len=4
)"));
  ASSERT_TRUE(file.id);
  cMdfIteratorState state;
  cMdfBlock_DG_iteratorState_init(&state);
  std::vector<uint32_t> ids;
  cBusMsg msg;
  while (const cMdfRecordView* view = cMdfBlock_DG_at(file.dg(0), state)) {
    ASSERT_NE(view->decoder, nullptr);
    if (view->decoder(*view, msg)) ids.push_back(msg.id);
  }
  EXPECT_EQ(ids, (std::vector<uint32_t>{0x101, 0x202, 0x103, 0x204}));
}

TEST(cMdfBlock_DG_at, RecordsLargerThanTheReadAheadWindow) {
  const uint32_t big = static_cast<uint32_t>(cMdfIteratorState::kWindowBytes) + 1000;
  auto payload = counting(3 * size_t{big} + 7);
  auto dg = makeGroup(0, {{0, big}}, payload);
  auto reads = readAll(*dg);
  ASSERT_EQ(reads.size(), 3u);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_TRUE(std::equal(reads[i].record.begin(), reads[i].record.end(), payload.begin() + i * big));
}

TEST(cMdfBlock_DG_at, InterleavedReadersDoNotDisturbEachOther) {
  auto payload = counting(200000);
  auto dg = makeGroup(0, {{0, 13}}, payload);
  cMdfIteratorState a, b;
  cMdfBlock_DG_iteratorState_init(&a);
  cMdfBlock_DG_iteratorState_init(&b);
  for (int i = 0; i < 2000; ++i) {
    const cMdfRecordView* va = cMdfBlock_DG_at(*dg, a);
    ASSERT_NE(va, nullptr);
    std::vector<uint8_t> first(va->record.begin(), va->record.end());
    for (int skip = 0; skip < 3; ++skip) ASSERT_NE(cMdfBlock_DG_at(*dg, b), nullptr);
    EXPECT_EQ(first, std::vector<uint8_t>(payload.begin() + 13 * i, payload.begin() + 13 * i + 13));
  }
}

TEST(cMdfBlock_DG_at, StoredDataLengthIsBoundedByTheFile) {
  auto bytes = render(kVlsdFile);
  uint64_t dtAt, vlsdLengthAt;
  {
    auto probe = loadBytes(bytes);
    ASSERT_TRUE(probe.id);
    dtAt = probe.dg(0).data->fileOffset();
    vlsdLengthAt = firstVlsdLengthAt(probe);
  }
  uint64_t huge = uint64_t{1} << 62;
  std::memcpy(bytes.data() + dtAt + 8, &huge, 8);
  auto file = loadBytes(bytes);
  ASSERT_TRUE(file.id) << "data block lengths are not checked at load";
  EXPECT_EQ(readAll(file.dg(0)).size(), 3u);
  auto* dt = mdf_cast<cMdfBlock_DT>(file.dg(0).data.get());
  EXPECT_EQ(dt->getPayloadSize(), bytes.size() - dt->getDataOffset());

  uint32_t hugeVlsd = 0xFFFFFFF0u;
  std::memcpy(bytes.data() + vlsdLengthAt, &hugeVlsd, 4);
  auto bad = loadBytes(bytes);
  cMdfRawRecord raw;
  EXPECT_EQ(cMdfBlock_DG_getRecordDataRaw(bad.dg(0), 24, raw), -1) << "no allocation of 4 GiB";
}

TEST(cMdfBlock_DG_getRecordDataRaw, ReadsAnyRecordByOffset) {
  auto file = loadBytes(render(kVlsdFile));
  ASSERT_TRUE(file.id);
  cMdfRawRecord raw;
  EXPECT_EQ(cMdfBlock_DG_getRecordDataRaw(file.dg(0), 0, raw), 24);
  EXPECT_EQ(raw.recordId, 1u);
  EXPECT_EQ(raw.bytes.size(), 23u);
  EXPECT_EQ(cMdfBlock_DG_getRecordDataRaw(file.dg(0), 24, raw), 1 + 4 + 16);
  EXPECT_EQ(raw.recordId, 2u);
  EXPECT_EQ(raw.bytes[0], 16);
  EXPECT_EQ(cMdfBlock_DG_getRecordDataRaw(file.dg(0), 5, raw), -1) << "id 0 is unknown here";
  EXPECT_EQ(cMdfBlock_DG_getRecordDataRaw(file.dg(0), 1u << 30, raw), -1);
}

}  // namespace
