// Opening logger files: the tool marker, the unfinished-file repair, and
// every frame kind read back in time order.
#include "mdf/mdf_file.h"

#include <gtest/gtest.h>

#include <cstring>

#include "mdf_log_fixture.h"
#include "support/log_capture.h"

namespace {

const char* kFrames = "datagroup\ngroup c can\nframe c t=0.5 id=0x10 data=01\n";

TEST(cMdf_open, ToolMarkerDecidesAcceptance) {
  const std::pair<const char*, bool> cases[] = {
      {"history QZ\n", true}, {"history Brenlog\n", true}, {"history raw <tool_id>QZ</tool_id>\n", true},
      {"history none\nhistory nocomment\nhistory Brenlog\n", true}, {"history none\n", false},
      {"no_history\n", false}, {"history nocomment\n", false}, {"history raw <tool_id> QZ</tool_id>\n", false},
      {"history raw <tool_id>qz</tool_id>\n", false}, {"history raw <tool_id>Brenlog</tool_id\n", false}};
  for (const auto& [histories, accepted] : cases) {
    SCOPED_TRACE(histories);
    LogCapture log;
    EXPECT_EQ(testLog_openBytes(testLog_bytes(std::string(histories) + kFrames)) != nullptr, accepted);
    EXPECT_EQ(log.count("Unsupported MF4 file"), accepted ? 0 : 1);
  }
  LogCapture log;
  EXPECT_FALSE(cMdf_open(nullptr));
}

// With flag bit 2 only the data block at the greatest offset (the last one
// the writer puts down) is extended to the end of the stream.
TEST(cMdf_open, UnfinishedFileGetsItsLastDataBlockExtended) {
  // The stored length of the last data block claims more than the file holds.
  const auto bytes = testLog_bytes("unfinished dtlength=1000000\ndatagroup\ngroup a can\nframe a t=0.001 id=1\n"
                                   "datagroup\ngroup b can\nframe b t=0.002 id=2\n"
                                   "datagroup\ngroup c can\nframe c t=0.003 id=3\nframe c t=0.004 id=4\n");
  LogCapture capture;
  auto log = testLog_openBytes(bytes);
  ASSERT_TRUE(log);
  const cMdfBlock_ID& id = *log->mdf->tree();
  EXPECT_EQ(id.finalizationFlags, 0) << "the flag is cleared in memory";
  const auto& last = id.header->dataGroups[2]->data;
  EXPECT_EQ(last->length(), bytes.size() - last->fileOffset());
  EXPECT_EQ(testLog_frames(log.get()).size(), 4u) << "every record is read";
  EXPECT_EQ(capture.count("Data block at offset"), 0);
  // A finished file cut short is read up to its end, with a warning.
  auto cut = testLog_bytes(kFrames);
  cut.resize(cut.size() - 3);
  EXPECT_TRUE(testLog_frames(testLog_openBytes(cut).get()).empty());
  EXPECT_TRUE(capture.has("W Data block at offset " + std::to_string(testLog_load(cut).dg(0).data->fileOffset()) +
                          " ends 3 bytes beyond the end of the file: the file is cut short and its "
                          "records beyond the end are lost"));
  // Overlapping data blocks are refused: each group's records could be as long as the file.
  auto overlapping = testLog_bytes(std::string(kFrames) + "datagroup\ngroup d can\nframe d t=0.6 id=0x11\n");
  const uint64_t first = testLog_load(overlapping).dg(0).data->fileOffset(), length = overlapping.size() - first;
  std::memcpy(overlapping.data() + first + 8, &length, 8);
  EXPECT_FALSE(testLog_openBytes(overlapping));
  EXPECT_TRUE(capture.has("E Data blocks overlap at offset "));
  // Without the flag a data block keeps even a length of 0.
  auto finished = testLog_bytes(kFrames);
  std::memset(finished.data() + testLog_load(finished).dg(0).data->fileOffset() + 8, 0, 8);
  EXPECT_TRUE(testLog_frames(testLog_openBytes(finished).get()).empty());
}

// Every frame kind, in sorted and unsorted data groups with record ids of
// every size, merged in time order (equal stamps in data-group order) with
// absolute time stamps (start 1 s, zone and daylight-saving offsets 3 min).
// LIN error records are refused (their channels have no roles their decoders
// take) and skipped once; the analogue group yields nothing.
constexpr const char* kEveryKind =
    "start_ns 1000000000\ntz_offset 1\ndst_offset 2\n"
    "datagroup unsorted ids=2\ngroup c can invalidation_bytes=2\ngroup r remote\ngroup e error\n"
    "frame e t=0.20 ch=1 type=3\nframe c t=0.25 ch=1 id=0x123 data=0102030405060708\n"
    "frame r t=0.40 ch=2 id=0x18FF0001 ide=1 len=4\nframe c t=0.60 ch=3 id=0x7FF dir=1 data=AABB\n"
    "datagroup sorted\ngroup fd canfd\nframe fd t=0.25 ch=1 id=0x100 brs=1 esi=1 data=000102030405060708090A0B\n"
    "datagroup ids=8\ngroup v canfd_vlsd\ngroup s canfd_sd\n"
    "frame v t=0.35 ch=2 id=0x200 data=101112131415161718191A1B1C1D1E1F\nframe s t=0.50 ch=2 id=0x201 data=2021222324252627\n"
    "frame s t=0.52 ch=2 id=0x202 data=-\n"
    "datagroup ids=4\ngroup l lin\ngroup ce lin_checksum_error\ngroup re lin_receive_error\n"
    "frame l t=0.55 ch=1 id=0x21 dir=1 data=31323334\nframe ce t=0.56 ch=2 id=3 data=0102\nframe re t=0.57 id=4\n"
    "frame l t=0.65 ch=2 id=0x22 data=35\ndatagroup sorted\ngroup o other\nframe o t=0.3 value=1234\n";

TEST(cMdf_getIter, EveryFrameKindReadsBackInTimeOrder) {
  std::vector<std::string> got;
  for (const cBusMsg& m : testLog_frames(testLog_openBytes(testLog_bytes(kEveryKind)).get()))
    got.push_back(testLog_describe(m));
  EXPECT_EQ(got, (std::vector<std::string>{
                     "ERROR t=181.200000 ch=1 err=3",
                     "CAN t=181.250000 ch=1 id=0x123 dlc=8 data=0102030405060708",
                     "CAN t=181.250000 ch=1 id=0x100 dlc=9 edl brs esi data=000102030405060708090A0B",
                     "CAN t=181.350000 ch=2 id=0x200 dlc=10 edl data=101112131415161718191A1B1C1D1E1F",
                     "REMOTE t=181.400000 ch=2 id=0x18FF0001 dlc=4 ide rtr data=00000000",
                     "CAN t=181.500000 ch=2 id=0x201 dlc=8 edl data=2021222324252627",
                     "CAN t=181.520000 ch=2 id=0x202 edl",
                     "LIN t=181.550000 ch=1 id=0x21 lin.dir rx=4 data=31323334",
                     "CAN t=181.600000 ch=3 id=0x7FF dlc=2 dir data=AABB",
                     "LIN t=181.650000 ch=2 id=0x22 rx=1 data=35",
                 }));
}

}  // namespace
