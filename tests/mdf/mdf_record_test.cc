// Record access: record ids and lengths delimit the records; VLSD records
// follow their record; lengths beyond the limit or the data end the group,
// never a read outside it.  (Signal-data blocks: see the frame-kind test.)
#include "mdf/mdf_record.h"

#include <gtest/gtest.h>

#include "mdf_log_fixture.h"
#include "support/log_capture.h"
#include "support/memory_stream.h"

namespace {

struct GroupDef {
  uint64_t recordId, bytes, cycles = 1;
};
std::shared_ptr<cMdfBlock_DG> makeGroup(uint8_t idSize, const std::vector<GroupDef>& groups,
                                        const std::vector<uint8_t>& payload) {
  auto dg = std::make_shared<cMdfBlock_DG>();
  dg->recordIdSize = idSize;
  for (const auto& g : groups) {
    auto& cg = *dg->channelGroups.emplace_back(std::make_shared<cMdfBlock_CG>());
    cg.recordId = g.recordId;
    cg.dataBytes = static_cast<uint32_t>(g.bytes);
    cg.cycleCount = g.cycles;
  }
  dg->data = cMdfBlock_DT_ctor_fromIO(memoryStream(payload));
  return dg;
}

struct Read {
  uint64_t position;  // where the record started
  std::vector<uint8_t> record, vlsd;
};
// The records of `dg` as its decoding plan reads them.
std::vector<Read> readRecords(const cMdfBlock_DG& dg) {
  const auto plan = cMdfDataGroupPlan_build(dg);
  cMdfIteratorState state;
  EXPECT_TRUE(cMdfBlock_DG_iteratorState_init(&state));
  std::vector<Read> out;
  for (uint64_t at = 0; const cMdfRecordView* view = cMdfDataGroupPlan_at(*plan, state); at = state.position)
    out.push_back({at, {view->record.begin(), view->record.end()}, {view->vlsd.begin(), view->vlsd.end()}});
  return out;
}

std::vector<uint8_t> counting(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7);
  return v;
}

TEST(cMdfDataGroupPlan_at, RecordIdsAndLengthsDelimitTheRecords) {
  const uint32_t big = static_cast<uint32_t>(cMdfIteratorState::kWindowBytes) + 1000;
  struct Case {
    const char* what;
    uint8_t idSize;
    std::vector<GroupDef> groups;
    std::vector<uint8_t> payload;
    std::vector<std::pair<uint64_t, size_t>> records;  // position, data bytes
    bool warned = false;
  };
  const Case cases[] = {
      {"sorted: back to back", 0, {{0, 12}}, counting(36), {{0, 12}, {12, 12}, {24, 12}}},
      {"own lengths; an unknown id ends the group", 1, {{1, 3}, {2, 5}},
       {1, 11, 12, 13, 2, 21, 22, 23, 24, 25, 1, 31, 32, 33, 3, 41, 1, 51, 52, 53}, {{0, 3}, {4, 5}, {10, 3}}},
      {"two-byte ids", 2, {{0x0102, 2}}, {2, 1, 5, 6, 2, 1, 7, 8, 1, 2, 9, 9}, {{0, 2}, {4, 2}}},
      {"repeated id keeps the first group", 1, {{7, 2}, {7, 5}}, {7, 1, 2, 7, 3, 4}, {{0, 2}, {3, 2}}},
      {"no ids: the one group with cycles", 0, {{1, 10, 5}, {2, 4, 0}}, counting(20), {{0, 10}, {10, 10}}},
      {"no ids: the other group", 0, {{1, 10, 0}, {2, 4, 4}}, counting(8), {{0, 4}, {4, 4}}},
      {"no ids: two groups with cycles", 0, {{1, 10, 5}, {2, 4, 4}}, counting(60), {}, true},
      {"last record cut short", 0, {{0, 10}}, counting(25), {{0, 10}, {10, 10}}},
      {"record length near 4 GiB", 0, {{0, 0xFFFFFF00u}}, counting(64), {}},
      {"records of zero bytes without ids", 0, {{0, 0}}, counting(16), {}},
      {"records larger than the read-ahead window", 0, {{0, big}}, counting(2 * size_t{big} + 7),
       {{0, big}, {big, big}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LogCapture log;
    const auto reads = readRecords(*makeGroup(c.idSize, c.groups, c.payload));
    ASSERT_EQ(reads.size(), c.records.size());
    for (size_t i = 0; i < reads.size(); ++i) {
      const auto [position, bytes] = c.records[i];
      EXPECT_EQ(reads[i].position, position);
      const auto from = c.payload.begin() + static_cast<long>(position + c.idSize);
      EXPECT_EQ(reads[i].record, std::vector<uint8_t>(from, from + static_cast<long>(bytes)));
    }
    EXPECT_EQ(log.count("no record ids"), c.warned ? 1 : 0);
  }
  // A record across the end of the read-ahead window comes out whole.
  const std::vector<uint8_t> payload = counting(70 * 1000);
  const auto reads = readRecords(*makeGroup(0, {{0, 1000}}, payload));
  ASSERT_EQ(reads.size(), 70u);
  EXPECT_EQ(reads[65].record, std::vector<uint8_t>(payload.begin() + 65000, payload.begin() + 66000));
}

// Records: FD (id 1, 23 bytes) + VLSD (id 2: u32 length + bytes), CAN (id 3),
// FD + VLSD.
constexpr const char* kVlsdFile = "datagroup unsorted\ngroup fd canfd_vlsd\ngroup c can\n"
    "frame fd t=0.001 id=0x300 data=000102030405060708090A0B0C0D0E0F\nframe c t=0.002 id=0x12 data=AABB\n"
    "frame fd t=0.003 id=0x301 len=64 data=FF\n";

TEST(cMdfDataGroupPlan_at, VlsdRecordsFollowTheirRecordWithinTheLimits) {
  const auto good = testLog_bytes(kVlsdFile);
  const cTestTree tree = testLog_load(good);
  const uint64_t dg = tree.dg(0).fileOffset(), dt = tree.dg(0).data->fileOffset() + 24;  // the payload
  struct Case {
    const char* what;
    uint64_t at;
    std::vector<uint8_t> bytes;
    size_t records, firstVlsd;  // records read, VLSD bytes (length included) of the first
    const char* message = "";
  };
  const Case cases[] = {
      {"as written", 0, {}, 3, 4 + 16},
      {"VLSD length at the limit", dt + 25, {128, 0, 0, 0}, 1, 4 + 128},
      {"VLSD length over the limit", dt + 25, {129, 0, 0, 0}, 1, 4, "Unexpectedly large record: 129"},
      {"VLSD length near 4 GiB", dt + 25, {0xF0, 0xFF, 0xFF, 0xFF}, 1, 4, "Unexpectedly large record"},
      {"data length beyond the file", dt - 16, {0, 0, 0, 0, 0, 0, 0, 0x40}, 3, 20},
      {"data end before the last VLSD record", dt - 16, {24 + 93}, 2, 20},
      {"VLSD record without its record", dt + 24, {3}, 2, 0},  // reads as a CAN record
      {"VLSD record on its own", dt, {2}, 0, 0},
      {"record id size 3", dg + 56, {3}, 0, 0, "Unsupported record id size 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto bytes = good;
    std::copy(c.bytes.begin(), c.bytes.end(), bytes.begin() + static_cast<long>(c.at));
    LogCapture log;
    cTestTree file = testLog_load(bytes);
    ASSERT_TRUE(file.id) << "data lengths and record id sizes do not fail the load";
    const auto reads = readRecords(file.dg(0));
    ASSERT_EQ(reads.size(), c.records);
    if (!reads.empty()) { EXPECT_EQ(reads[0].vlsd.size(), c.firstVlsd); }
    if (reads.size() > 1) { EXPECT_EQ(reads[1].position, 24 + c.firstVlsd + (c.firstVlsd ? 1 : 0)); }
    if (*c.message) { EXPECT_EQ(log.count(c.message), 1); }
  }
  const auto reads = readRecords(tree.dg(0));
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[0].vlsd, (std::vector<uint8_t>{16, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
  EXPECT_EQ(reads[2].vlsd.size(), 4u + 64) << "the data length sets the VLSD bytes";
}

TEST(cMdfDataGroupPlan_at, SignalDataOffsetPastItsBlockGivesNoBytes) {
  cTestTree file = testLog_load(testLog_bytes("datagroup\ngroup s canfd_sd\nframe s t=1 id=1 data=0102\n"
                                              "frame s t=2 id=2 data=A1A2A3\n"));
  cMdfBlock_CN& bytes = *file.dg(0).channelGroups.at(0)->channels.at(1)->composition.back();
  mdf_cast_mut<cMdfBlock_SD>(bytes.signalData.get())->setLength(24 + 3);
  const auto reads = readRecords(file.dg(0));
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[1].vlsd, (std::vector<uint8_t>{0, 0, 0, 0}));
}

}  // namespace
