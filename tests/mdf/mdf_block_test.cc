// Block layer: a written tree loads with its fields, links and sharing and
// saves back byte for byte; damaged links and lengths fail with their
// message.
#include "mdf/mdf_block.h"

#include "mdf/mdf_block_data.h"
#include "mdf/mdf_block_meta.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <tuple>

#include "mdf_log_fixture.h"
#include "support/log_capture.h"
#include "support/memory_stream.h"

namespace {

constexpr const char* kDescription =
    "start_ns 1700000000123456789\ntz_offset 60\ndst_offset -30\nhistory none\nhistory QZ\n"
    "datagroup unsorted\ngroup can1 can\ngroup rem remote\n"
    "frame can1 t=0.001 ch=1 id=0x123 data=0102030405060708\nframe rem t=0.002 ch=2 id=0x10 len=3\n"
    "datagroup sorted\ngroup lin1 lin\nframe lin1 t=0.004 id=0x21 data=11223344\n"
    "datagroup\ngroup fd canfd_vlsd\ngroup sd canfd_sd\n"
    "frame fd t=0.005 id=0x300 data=000102030405060708090A0B0C0D0E0F\nframe sd t=0.006 id=0x301 data=0F0E0D\n";

TEST(cMdfBlock, WrittenTreeLoadsWholeAndSavesBackByteForByte) {
  const auto bytes = testLog_bytes(kDescription);
  cTestTree t = testLog_load(bytes);
  ASSERT_TRUE(t.id);
  EXPECT_EQ(t.dg(0).recordIdSize, 1);
  // FD group, its VLSD group (which the data bytes link to), the SD group.
  const auto& fd = t.dg(2).channelGroups;
  ASSERT_EQ(fd.size(), 3u);
  EXPECT_TRUE(fd[1]->isVLSD());
  EXPECT_EQ(fd[0]->channels.at(1)->composition.back()->signalData.get(), fd[1].get());
  EXPECT_EQ(fd[2]->channels.at(1)->composition.back()->signalData->kind(), cMdfBlockKind::SD);
  // Every block is one object however often it is linked (one conversion for
  // every time channel), and reached once.
  cMdfBlockSet set;
  cMdfBlock_getLinks(t.id.get(), set);
  std::map<cMdfBlockKind, int> kinds;
  for (const cMdfBlock* b : set) ++kinds[b->kind()];
  using K = cMdfBlockKind;
  EXPECT_EQ(kinds, (std::map<K, int>{{K::ID, 1}, {K::HD, 1}, {K::FH, 2}, {K::MD, 3}, {K::TX, 68}, {K::SI, 5},
                                     {K::DG, 3}, {K::CG, 6}, {K::CN, 52}, {K::CC, 1}, {K::DT, 3}, {K::SD, 1}}));
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
                 tx = cg.channels[1]->name->fileOffset(), cc = cg.channels[0]->conversion->fileOffset(),
                 hdc = t.hd().comment->fileOffset();
  struct Case {
    const char* what;
    uint64_t at;
    std::string bytes;
    bool loads;
    const char* message;  // "" for a silent failure
  };
  const Case cases[] = {
      {"unfinished identifier", 0, "UnFinMF ", true, ""},
      {"other identifier", 0, "MDX     ", false, ""},
      {"data group next to itself", dg0 + 24, le64(dg0), false, "Cyclic block link"},
      {"second data group next to the first", dg1 + 24, le64(dg0), false, "Cyclic block link"},
      {"channel composed of itself", cn1 + 32, le64(cn1), false, "Cyclic block link"},
      {"group's first channel is the group", cg0 + 32, le64(cg0), false, "Cyclic block link"},
      {"group's first channel is a data group", cg0 + 32, le64(dg1), false, "Unexpected block kind"},
      {"conversion is its own inverse", cc + 48, le64(cc), false, "Cyclic block link"},
      // A block with two owners would be read twice; n owners n times.
      {"data block of two data groups", dg1 + 40, le64(t.dg(0).data->fileOffset()), false, "is linked twice"},
      {"channel list of two groups", t.dg(1).channelGroups[0]->fileOffset() + 32, le64(cn0), false,
       "is linked twice"},
      {"link past the end", dg0 + 32, le64(good.size() + 4096), false, ""},
      {"link into a block", dg0 + 32, le64(cg0 + 4), false, "Unable to load block header"},
      {"huge link count", cn0 + 16, le64(uint64_t{1} << 60), false, "Invalid length"},
      {"block length 2^63", tx + 8, le64(uint64_t{1} << 63), false, "Invalid length"},
      // Texts overlapping each other could each be as long as the file.
      {"text block over the rest of the file", hdc + 8, le64(good.size() - hdc), false, "Text blocks overlap"},
      {"zero-length block", cn0 + 8, le64(0), false, "Invalid length"},
      {"header with attachment", hd + 48, le64(tx), false, "Unsupported parameter present in file"},
      {"group with sample reduction", cg0 + 56, le64(tx), false, "Unsupported parameter present in file"},
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
    if (*c.message != '\0') { EXPECT_EQ(log.count(c.message), 1) << testing::PrintToString(log.messages()); }
  }
  LogCapture log;  // a link count other than its kind's, for every kind of block
  for (uint64_t at : {hd, t.hd().fileHistories[0]->fileOffset(), dg0, cg0, cn0, tx, cc,
                      cg.acquisitionSource->fileOffset()}) {
    auto bytes = good;
    ++bytes[at + 16];
    EXPECT_FALSE(testLog_load(bytes).id) << at;
  }
  // A cut file loads only when cut inside the trailing data blocks.
  for (size_t cut = 0; cut < t.dg(0).data->fileOffset(); cut += 29)
    EXPECT_FALSE(testLog_load(std::vector<uint8_t>(good.begin(), good.begin() + cut)).id) << cut;
  // A read that fails anywhere fails the load: nothing half-loaded is used.
  // Only the identification block's fields after its identifier are read
  // leniently (a failed read leaves them 0).
  for (int64_t n = 1, at = 0; at >= 0; ++n) {
    auto memory = memoryStream(good);
    ReadCounter stream(memory.get(), n);
    const bool loaded = cMdfBlock_loadTree(&stream) != nullptr;
    at = stream.failedAt;
    EXPECT_EQ(loaded, at < 0 || (at >= 8 && at < 64)) << "read " << n << " at " << at;
  }
}

// Bus channel groups are marked as bus logging, so that any reader of the
// convention finds their frames: flags, source type and bus type.
TEST(cMklog_buildTree, BusGroupsCarryBusEventFlagsAndTheirBusAsSource) {
  cTestTree t = testLog_load(testLog_bytes("datagroup\ngroup c can\ngroup l lin\ngroup f canfd_vlsd\n"
                                           "group e lin_sync_error\ngroup x remote si=lin\ngroup n can si=none\n"
                                           "group o other\n"));
  ASSERT_TRUE(t.id);
  using S = cMdfSourceType;
  using B = cMdfBusType;
  const std::tuple<uint16_t, S, B> expected[] = {
      {6, S::Bus, B::Can}, {6, S::Bus, B::Lin}, {6, S::Bus, B::Can}, {1, S::Other, B::None},  // f's VLSD group
      {6, S::Bus, B::Lin}, {6, S::Bus, B::Lin}, {6, S::Other, B::None}, {0, S::Other, B::None}};
  const auto& groups = t.dg(0).channelGroups;
  ASSERT_EQ(groups.size(), std::size(expected));
  for (size_t i = 0; i < groups.size(); ++i) {
    const auto* si = mdf_cast<cMdfBlock_SI>(groups[i]->acquisitionSource.get());
    EXPECT_EQ(si != nullptr, std::get<1>(expected[i]) == S::Bus) << i;
    EXPECT_EQ(std::tuple(groups[i]->flags, si ? si->sourceType : S::Other, si ? si->busType : B::None), expected[i]) << i;
  }
}

TEST(cMdfBlockHeader, DataSizeNeverUnderflows) {
  const uint64_t sizes[][3] = {{24, 0, 0}, {100, 2, 60}, {30, 1, 0}, {0, 0, 0}, {64, UINT64_MAX / 4, 0}};
  for (const auto& [length, links, expected] : sizes)
    EXPECT_EQ(cMdfBlockHeader_getDataSize({cMdfBlockKind::DT, length, links}), expected) << length;
}

}  // namespace
