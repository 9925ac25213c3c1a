// Block layer: a written tree loads with its fields, order and sharing and
// saves back byte for byte; damaged links and lengths fail with their
// message; text and data blocks keep to their bounds.
#include "mdf/mdf_block.h"

#include <gtest/gtest.h>

#include <cstring>

#include "mdf_log_fixture.h"
#include "support/log_capture.h"
#include "support/memory_stream.h"

namespace {

constexpr const char* kDescription = R"(
start_ns 1700000000123456789
tz_offset 60
dst_offset -30
history none
history QZ
datagroup unsorted
group can1 can
group rem remote
frame can1 t=0.001 ch=1 id=0x123 data=0102030405060708
frame rem t=0.002 ch=2 id=0x10 len=3
datagroup sorted
group lin1 lin
frame lin1 t=0.004 id=0x21 data=11223344
datagroup
group fd canfd_vlsd
group sd canfd_sd
frame fd t=0.005 id=0x300 data=000102030405060708090A0B0C0D0E0F
frame sd t=0.006 id=0x301 data=0F0E0D
)";

TEST(cMdfBlock, WrittenTreeLoadsWholeAndSavesBackByteForByte) {
  const auto bytes = testLog_bytes(kDescription);
  cTestTree t = testLog_load(bytes);
  ASSERT_TRUE(t.id);
  EXPECT_EQ(t.id->versionNumber(), 411);
  EXPECT_EQ(t.hd().startTimeNs, 1700000000123456789u);
  EXPECT_EQ(t.hd().tzOffsetMin * 1000 + t.hd().dstOffsetMin, 60000 - 30);
  ASSERT_EQ(t.hd().fileHistories.size(), 2u);
  EXPECT_EQ(cMdfBlock_getText(t.hd().fileHistories[1]->comment.get()), cMklog_historyXml("QZ"));
  ASSERT_EQ(t.hd().dataGroups.size(), 3u);
  EXPECT_EQ(t.dg(0).getRecordIDSize() * 10 + t.dg(1).getRecordIDSize(), 10);
  // Sibling lists keep the chain order.
  const cMdfBlock_CG& can = *t.dg(0).channelGroups.at(0);
  std::vector<std::string> names = {std::string(can.channels.at(0)->getName())};
  for (const auto& cn : can.channels.at(1)->composition) names.emplace_back(cn->getName());
  EXPECT_EQ(names, (std::vector<std::string>{"Timestamp", "CAN_DataFrame.BusChannel", "CAN_DataFrame.ID",
                                             "CAN_DataFrame.IDE", "CAN_DataFrame.DLC", "CAN_DataFrame.Dir",
                                             "CAN_DataFrame.EDL", "CAN_DataFrame.ESI", "CAN_DataFrame.BRS",
                                             "CAN_DataFrame.DataLength", "CAN_DataFrame.DataBytes"}));
  // FD group, its VLSD group (which the data bytes link to), the SD group.
  const auto& fd = t.dg(2).channelGroups;
  ASSERT_EQ(fd.size(), 3u);
  EXPECT_EQ(fd[0]->isVLSD() * 10 + fd[1]->isVLSD(), 1);
  EXPECT_EQ(fd[1]->getVLSDBytes(), 4u + 16u);
  EXPECT_EQ(fd[0]->channels[1]->composition.back()->signalData.get(), fd[1].get());
  EXPECT_EQ(fd[2]->channels[1]->composition.back()->signalData->kind(), cMdfBlockKind::SD);
  // The conversion that every time channel links to is one object.
  cMdfBlockSet set;
  cMdfBlock_getLinks(t.id.get(), set);
  std::map<cMdfBlockKind, int> kinds;
  for (const cMdfBlock* b : set) ++kinds[b->kind()];
  EXPECT_EQ(kinds, (std::map<cMdfBlockKind, int>{{cMdfBlockKind::ID, 1}, {cMdfBlockKind::HD, 1}, {cMdfBlockKind::FH, 2},
                   {cMdfBlockKind::MD, 3}, {cMdfBlockKind::TX, 68}, {cMdfBlockKind::SI, 5}, {cMdfBlockKind::DG, 3},
                   {cMdfBlockKind::CG, 6}, {cMdfBlockKind::CN, 52}, {cMdfBlockKind::CC, 1},
                   {cMdfBlockKind::DT, 3}, {cMdfBlockKind::SD, 1}}));
  EXPECT_EQ(mdf_cast<cMdfBlock_CC>(can.channels[0]->conversion)->values, (std::vector<double>{0.0, 1e-6}));
  auto out = cIO_memoryAlloc_ctor();
  ASSERT_TRUE(cMklog_saveTree(*t.id, out.get()));
  EXPECT_EQ(readAll(*out), bytes);
}

std::string le64(uint64_t v) { return std::string(reinterpret_cast<const char*>(&v), 8); }

TEST(cMdfBlock, DamagedLinksAndLengthsFailWithTheirMessage) {
  const auto good = testLog_bytes(kDescription);
  cTestTree t = testLog_load(good);
  ASSERT_TRUE(t.id);
  const cMdfBlock_CG& cg = *t.dg(0).channelGroups[0];
  const uint64_t hd = t.hd().fileOffset(), dg0 = t.dg(0).fileOffset(), dg1 = t.dg(1).fileOffset(),
                 cg0 = cg.fileOffset(), cn0 = cg.channels[0]->fileOffset(), cn1 = cg.channels[1]->fileOffset(),
                 tx = cg.channels[1]->name->fileOffset(), cc = cg.channels[0]->conversion->fileOffset();
  struct Case {
    const char* what;
    uint64_t at;
    std::string bytes;
    bool loads;
    const char* message;  // "" for a silent failure
  };
  const Case cases[] = {
      {"unfinished identifier", 0, "UnFinMF ", true, ""},
      {"zero byte in the identifier", 0, std::string("MDF  \0  ", 8), false, ""},
      {"other identifier", 0, "MDX     ", false, ""},
      {"data group next to itself", dg0 + 24, le64(dg0), false, "Cyclic block link"},
      {"second data group next to the first", dg1 + 24, le64(dg0), false, "Cyclic block link"},
      {"channel composed of itself", cn1 + 32, le64(cn1), false, "Cyclic block link"},
      {"group's first channel is the group", cg0 + 32, le64(cg0), false, "Cyclic block link"},
      {"group's first channel is a data group", cg0 + 32, le64(dg1), false, "Unexpected block kind"},
      {"conversion is its own inverse", cc + 48, le64(cc), false, "Cyclic block link"},
      {"link past the end", dg0 + 32, le64(good.size() + 4096), false, ""},
      {"link into a block", dg0 + 32, le64(cg0 + 4), false, "Unable to load block header"},
      {"huge link count", cn0 + 16, le64(uint64_t{1} << 60), false, "Invalid length"},
      {"wrong link count", cg0 + 16, le64(5), false, ""},
      {"block length 2^63", tx + 8, le64(uint64_t{1} << 63), false, "Invalid length"},
      {"text longer than the file", tx + 8, le64(good.size()), false, "Invalid length"},
      {"zero-length block", cn0 + 8, le64(0), false, "Invalid length"},
      {"header with attachment", hd + 48, le64(tx), false, "Unsupported parameter present in file"},
      {"group with sample reduction", cg0 + 56, le64(tx), false, "Unsupported parameter present in file"},
      {"conversion with five links", cc + 16, le64(5), false, ""},
      {"conversion with 65535 values", cc + 62, "\xFF\xFF", false, ""},
      {"unknown identifier", cg0, "##XX", false, "Unable to load block header for type ##XX"},
      {"data list instead of data", t.dg(0).data->fileOffset(), "##DL", false, "for type ##DL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto bytes = good;
    std::memcpy(bytes.data() + c.at, c.bytes.data(), c.bytes.size());
    LogCapture log;
    EXPECT_EQ(testLog_load(bytes).id != nullptr, c.loads);
    if (*c.message != '\0') EXPECT_EQ(log.count(c.message), 1) << testing::PrintToString(log.messages());
  }
  LogCapture log;  // a cut file loads only when cut inside the trailing data blocks
  for (size_t cut = 0; cut < t.dg(0).data->fileOffset(); cut += 29)
    EXPECT_FALSE(testLog_load(std::vector<uint8_t>(good.begin(), good.begin() + cut)).id) << cut;
}

TEST(cMdfBlock_TX, TextIsCutAtItsFirstZeroUnlessLeading) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {std::string("abc\0xyz\0", 8), "abc"},
      {"abcdefgh", "abcdefgh"},
      {std::string("\0bc\0\0\0\0\0", 8), std::string("\0bc\0\0\0\0\0", 8)},
  };
  for (const auto& [data, expected] : cases) {
    std::string block = std::string("##TX\0\0\0\0", 8) + le64(24 + data.size()) + le64(0) + data;
    auto stream = memoryStream(block);
    cMdfLoader loader(stream.get());
    auto text = mdf_cast<cMdfBlock_TX>(loader.loadAtSingle(0));
    ASSERT_TRUE(text);
    EXPECT_EQ(text->getData(), expected);
  }
}

TEST(cMdfBlock_DT, OwnedPayloadIsSavedWholeAndItsViewClampsReadsAndSeeks) {
  std::vector<uint8_t> payload(64);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
  auto dt = cMdfBlock_DT_ctor_fromIO(memoryStream(payload));
  ASSERT_TRUE(dt);
  EXPECT_FALSE(cMdfBlock_DT_ctor_fromIO(nullptr));
  auto out = cIO_memoryAlloc_ctor();
  cMdfSaveContext ctx(out.get());
  ASSERT_TRUE(cMdfBlock_save(dt.get(), ctx));
  std::vector<uint8_t> file = readAll(*out);
  ASSERT_EQ(file.size(), 24u + 64u);
  file.insert(file.end(), 16, 0xEE);  // bytes behind the block are no payload
  auto stream = memoryStream(file);
  cMdfLoader loader(stream.get());
  auto loaded = mdf_cast<cMdfBlock_DT>(loader.loadAtSingle(0));
  ASSERT_TRUE(loaded);
  cIO* view = loaded->getIOInterface();
  EXPECT_EQ(readAll(*view), payload);
  uint8_t buf[100];
  EXPECT_EQ(view->seek(60, cIO::kSeekSet), 60);
  EXPECT_EQ(view->read(buf, 100), 4);
  EXPECT_EQ(buf[3], 63);
  EXPECT_EQ(view->seek(1000, cIO::kSeekSet), 64);
  EXPECT_EQ(view->seek(-5, cIO::kSeekEnd), 64) << "the offset from the end is ignored";
  EXPECT_EQ(view->seek(-10, cIO::kSeekCur), 54);
  EXPECT_EQ(view->write(buf, 1), cIO::kMissing);
  const uint64_t sizes[][3] = {{24, 0, 0}, {100, 2, 60}, {30, 1, 0}, {0, 0, 0}, {64, UINT64_MAX / 4, 0}};
  for (const auto& [length, links, expected] : sizes)  // data size of a header never underflows
    EXPECT_EQ(cMdfBlockHeader_getDataSize({cMdfBlockKind::DT, length, links}), expected) << length;
}

}  // namespace
