// Opening logger files: tool markers, unfinished-file repair, and every frame
// kind read back through the time-ordered merge.
#include "mdf/mdf_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/log.h"
#include "mdf/mdf_record.h"
#include "mklog.h"
#include "support/log_capture.h"

namespace {


std::unique_ptr<cIO_memoryAlloc> streamOf(const std::vector<uint8_t>& bytes) {
  auto mem = cIO_memoryAlloc_ctor();
  mem->write(bytes.data(), static_cast<int64_t>(bytes.size()));
  mem->seek(0, cIO::kSeekSet);
  return mem;
}

std::vector<uint8_t> render(const std::string& description) {
  std::string error;
  auto bytes = cMklog_build(description, &error);
  EXPECT_TRUE(bytes) << error;
  return bytes ? *bytes : std::vector<uint8_t>{};
}

const char* kFrames = "datagroup\ngroup c can\nframe c t=0.5 id=0x10 data=01\n";

TEST(cMdf_open, ToolMarkerDecidesAcceptance) {
  struct Case {
    const char* what;
    std::string histories;
    bool accepted;
  };
  const Case cases[] = {
      {"short marker", "history QZ\n", true},
      {"long marker", "history Brenlog\n", true},
      {"marker in a later history", "history none\nhistory nocomment\nhistory Brenlog\n", true},
      {"exactly the 21-byte marker", "history raw <tool_id>QZ</tool_id>\n", true},
      {"no marker", "history none\n", false},
      {"no history at all", "no_history\n", false},
      {"history without comment", "history nocomment\n", false},
      {"space inside the tag", "history raw <tool_id> QZ</tool_id>\n", false},
      {"other case", "history raw <tool_id>qz</tool_id>\n", false},
      {"attribute in the tag", "history raw <tool_id a=\"1\">QZ</tool_id>\n", false},
      {"long marker cut to 25 bytes", "history raw <tool_id>Brenlog</tool_id\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto bytes = render(c.histories + kFrames);
    auto stream = streamOf(bytes);
    LogCapture log;
    auto mdf = cMdf_open(stream.get());
    EXPECT_EQ(mdf != nullptr, c.accepted);
    EXPECT_EQ(log.count("Unsupported MF4 file"), c.accepted ? 0 : 1);
    cMdf_close(mdf);
    EXPECT_FALSE(mdf);
  }
}

TEST(cMdf_open, MarkerInATextCommentIsNotAccepted) {
  // The history comment must be a metadata block; a text block is passed over.
  auto bytes = render(std::string("history QZ\n") + kFrames);
  auto probe = streamOf(bytes);
  auto tree = cMdfBlock_loadTree(probe.get());
  ASSERT_TRUE(tree);
  uint64_t md = tree->getHeader()->fileHistories[0]->comment->fileOffset();
  std::memcpy(bytes.data() + md, "##TX", 4);
  auto stream = streamOf(bytes);
  LogCapture log;
  EXPECT_FALSE(cMdf_open(stream.get()));
}

TEST(cMdf_open, UnreadableInputFailsWithoutHandle) {
  LogCapture log;
  EXPECT_FALSE(cMdf_open(nullptr));
  auto empty = cIO_memoryAlloc_ctor();
  EXPECT_FALSE(cMdf_open(empty.get()));
  std::unique_ptr<cMdf> none;
  cMdf_close(none);
  EXPECT_FALSE(cMdf_getIter(nullptr));
  EXPECT_TRUE(cMdf_getMetaData(nullptr).empty());
}

// Three data groups; with flag bit 2 only the data block at the greatest
// offset is extended to the end of the stream.
TEST(cMdf_open, UnfinishedFileGetsItsLastDataBlockRepaired) {
  const std::string description = R"(
unfinished
datagroup
group a can
frame a t=0.001 id=1 data=01
datagroup
group b can
frame b t=0.002 id=2 data=02
datagroup
group c can
frame c t=0.003 id=3 data=03
frame c t=0.004 id=4 data=04
frame c t=0.005 id=5 data=05
)";
  auto bytes = render(description);
  ASSERT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "UnFinMF ");
  auto stream = streamOf(bytes);
  auto mdf = cMdf_open(stream.get());
  ASSERT_TRUE(mdf);
  const auto& id = *mdf->tree();
  EXPECT_EQ(id.getFinalizationFlags() & 4, 0) << "the flag is cleared in memory";
  const auto& dgs = id.getHeader()->dataGroups;
  auto* last = mdf_cast<cMdfBlock_DT>(dgs[2]->data.get());
  EXPECT_EQ(last->length(), bytes.size() - last->fileOffset());
  EXPECT_EQ(dgs[0]->data->length(), 24u + 1 + 23) << "other blocks keep their stored length";
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "UnFinMF ") << "the file is not written";

  std::vector<uint32_t> ids;
  auto iter = cMdf_getIter(mdf.get());
  ASSERT_TRUE(iter);
  for (cBusMsg* m = iter->current(); m != nullptr; m = iter->next()) ids.push_back(m->id);
  EXPECT_EQ(ids, (std::vector<uint32_t>{1, 2, 3, 4, 5}));
}

TEST(cMdf_open, RepairPicksTheGreatestOffsetAndNeedsTheFlag) {
  auto id = std::make_shared<cMdfBlock_ID>();
  auto hd = std::make_shared<cMdfBlock_HD>();
  id->setHeader(hd);
  const uint64_t offsets[] = {1000, 5000, 3000};
  for (uint64_t at : offsets) {
    auto dg = std::make_shared<cMdfBlock_DG>();
    auto dt = std::make_shared<cMdfBlock_DT>();
    dt->setFileOffset(at);
    dt->setLength(24);
    dg->data = dt;
    hd->dataGroups.push_back(dg);
  }
  hd->dataGroups.push_back(std::make_shared<cMdfBlock_DG>());  // no data block
  EXPECT_FALSE(cMdf_repairUnfinished(*id, 9000)) << "flag clear: nothing changes";
  EXPECT_EQ(hd->dataGroups[1]->data->length(), 24u);
  id->setFinalizationFlags(4 | 1);
  EXPECT_TRUE(cMdf_repairUnfinished(*id, 9000));
  EXPECT_EQ(hd->dataGroups[0]->data->length(), 24u);
  EXPECT_EQ(hd->dataGroups[1]->data->length(), 4000u);
  EXPECT_EQ(hd->dataGroups[2]->data->length(), 24u);
  EXPECT_EQ(id->getFinalizationFlags(), 1);
}

TEST(cMdf_open, FinishedFileKeepsAZeroLengthDataBlock) {
  auto bytes = render(std::string(kFrames));
  auto probe = streamOf(bytes);
  auto tree = cMdfBlock_loadTree(probe.get());
  uint64_t dt = tree->getHeader()->dataGroups[0]->data->fileOffset();
  uint64_t zero = 0;
  std::memcpy(bytes.data() + dt + 8, &zero, 8);
  auto stream = streamOf(bytes);
  auto mdf = cMdf_open(stream.get());
  ASSERT_TRUE(mdf);
  auto iter = cMdf_getIter(mdf.get());
  ASSERT_TRUE(iter);
  EXPECT_EQ(iter->current(), nullptr);
}

struct Expected {
  cBusMsgType type;
  double t;
  uint8_t channel;
  uint32_t id;
  std::vector<uint8_t> data;
  bool ide = false, dir = false, edl = false, brs = false, esi = false;
};

// Every frame kind, several data groups, sorted and unsorted, read back in
// time order with absolute time stamps.
TEST(cMdf_getIter, EveryFrameKindReadsBackInTimeOrder) {
  const std::string description = R"(
start_ns 1000000000
tz_offset 1
dst_offset 0
datagroup unsorted
group c can
group r remote
group e error
frame c t=0.25 ch=1 id=0x123 data=0102030405060708
frame r t=0.40 ch=2 id=0x18FF0001 ide=1 len=4
frame e t=0.45 ch=1 type=3
frame c t=0.60 ch=3 id=0x7FF dir=1 data=AABB
datagroup sorted
group fd canfd
frame fd t=0.30 ch=1 id=0x100 brs=1 esi=1 data=000102030405060708090A0B
datagroup
group v canfd_vlsd
group s canfd_sd
frame v t=0.35 ch=2 id=0x200 data=101112131415161718191A1B1C1D1E1F
frame s t=0.50 ch=2 id=0x201 data=2021222324252627
datagroup sorted
group l lin
frame l t=0.55 ch=1 id=0x21 dir=1 data=31323334
)";
  auto bytes = render(description);
  auto stream = streamOf(bytes);
  auto mdf = cMdf_open(stream.get());
  ASSERT_TRUE(mdf);
  using T = cBusMsgType;
  std::vector<uint8_t> fd12 = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  std::vector<uint8_t> v16;
  for (int i = 0; i < 16; ++i) v16.push_back(static_cast<uint8_t>(0x10 + i));
  const Expected expected[] = {
      {T::BUS_MSG_CAN_DATA_FRAME, 0.25, 1, 0x123, {1, 2, 3, 4, 5, 6, 7, 8}},
      {T::BUS_MSG_CAN_DATA_FRAME, 0.30, 1, 0x100, fd12, false, false, true, true, true},
      {T::BUS_MSG_CAN_DATA_FRAME, 0.35, 2, 0x200, v16, false, false, true},
      {T::BUS_MSG_CAN_REMOTE_FRAME, 0.40, 2, 0x18FF0001, {0, 0, 0, 0}, true},
      {T::BUS_MSG_CAN_ERROR_FRAME, 0.45, 1, 0, {}},
      {T::BUS_MSG_CAN_DATA_FRAME, 0.50, 2, 0x201, {0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27},
       false, false, true},
      {T::BUS_MSG_LIN_FRAME, 0.55, 1, 0x21, {0x31, 0x32, 0x33, 0x34}},
      {T::BUS_MSG_CAN_DATA_FRAME, 0.60, 3, 0x7FF, {0xAA, 0xBB}, false, true},
  };
  auto iter = cMdf_getIter(mdf.get());
  ASSERT_TRUE(iter);
  size_t n = 0;
  for (cBusMsg* m = iter->current(); m != nullptr; m = iter->next(), ++n) {
    ASSERT_LT(n, std::size(expected));
    const Expected& e = expected[n];
    SCOPED_TRACE(n);
    EXPECT_EQ(m->type, e.type);
    EXPECT_NEAR(m->timeStamp, 1.0 + 60.0 + e.t, 1e-9);
    EXPECT_EQ(m->channel, e.channel);
    if (e.type != T::BUS_MSG_CAN_ERROR_FRAME) {
      EXPECT_EQ(m->id, e.id);
      EXPECT_EQ(m->data, e.data);
    }
    if (e.type == T::BUS_MSG_CAN_DATA_FRAME || e.type == T::BUS_MSG_CAN_REMOTE_FRAME) {
      EXPECT_EQ(m->can.ide, e.ide);
      EXPECT_EQ(m->can.dir, e.dir);
      EXPECT_EQ(m->can.edl, e.edl);
      EXPECT_EQ(m->can.brs, e.brs);
      EXPECT_EQ(m->can.esi, e.esi);
    }
    if (e.type == T::BUS_MSG_CAN_ERROR_FRAME) {
      EXPECT_EQ(m->canError.errorType, 3u);
    }
    if (e.type == T::BUS_MSG_LIN_FRAME) {
      EXPECT_TRUE(m->lin.dir);
    }
    if (e.type == T::BUS_MSG_CAN_REMOTE_FRAME) {
      EXPECT_TRUE(m->can.rtr);
    }
  }
  EXPECT_EQ(n, std::size(expected));
  iter.reset();
  cMdf_close(mdf);
}

// Damaged files never crash or hang the reader: every frame it delivers
// comes from a record, so the count stays bounded by the file size.
TEST(cMdf_getIter, RandomCorruptionNeverCrashesOrHangs) {
  auto good = render(R"(
datagroup
group c can
group v canfd_vlsd
group s canfd_sd
frame c t=0.1 id=1 data=0102
frame v t=0.2 id=2 data=000102030405060708090A0B
frame s t=0.3 id=3 data=0A0B0C
frame c t=0.4 id=4 data=01
datagroup sorted
group l lin
frame l t=0.15 id=5 data=0102
frame l t=0.25 id=6 data=0304
)");
  const uint32_t seed = 4242;
  std::mt19937 rng(seed);
  struct Quiet {
    Quiet() { zf_log_set_output_callback([](const char*, int) {}); }
    ~Quiet() { zf_log_set_output_callback(nullptr); }
  } quiet;
  int opened = 0;
  for (int round = 0; round < 300; ++round) {
    auto bytes = good;
    for (int f = 0; f < 1 + static_cast<int>(rng() % 6); ++f)
      bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng());
    auto stream = streamOf(bytes);
    auto mdf = cMdf_open(stream.get());
    if (!mdf) continue;
    ++opened;
    auto iter = cMdf_getIter(mdf.get());
    size_t frames = 0;
    for (cBusMsg* m = iter ? iter->current() : nullptr; m != nullptr; m = iter->next())
      ASSERT_LT(++frames, bytes.size()) << "seed " << seed << " round " << round;
  }
  EXPECT_GT(opened, 0);
}

TEST(cMdf_getMetaData, HeaderEntriesAndBusSourceComments) {
  auto bytes = render(R"(
serial 0A1B2C3D
session 12
split 4
datagroup
group c can
si_comment c <SIcomment><common_properties><e name="bus speed">500000</e></common_properties></SIcomment>
frame c t=0 id=1
)");
  auto stream = streamOf(bytes);
  auto mdf = cMdf_open(stream.get());
  ASSERT_TRUE(mdf);
  auto meta = cMdf_getMetaData(mdf.get());
  std::map<std::string, std::string> byName;
  for (auto& [path, entry] : meta) byName[entry.name] = entry.value;
  EXPECT_EQ(byName["serial number"], "0A1B2C3D");
  EXPECT_EQ(byName["session"], "12");
  EXPECT_EQ(byName["split"], "4");
  EXPECT_EQ(byName["bus speed"], "500000");
  EXPECT_EQ(meta.count("HDcomment.Device Information.serial number"), 1u);
}

}  // namespace
