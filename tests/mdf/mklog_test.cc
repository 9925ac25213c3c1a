// The log writer as the reader's tests rely on it: bad descriptions name
// their line, random frames and generated bulk frames read back exactly,
// with record ids of every size.
#include "mklog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>

#include "mdf_log_fixture.h"
#include "support/temp_dir.h"

namespace {

TEST(cMklog_parse, BadLinesNameTheirLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"frobnicate", "line 1: unknown keyword"},
      {"group a can\ngroup a lin", "line 2: group 'a' defined twice"},
      {"group a can\n\n# note\nframe a t=abc", "line 4: bad frame field"},
      {"group a can\nframe a id=0x20000000", "line 2: bad frame field"},
      {"group a can\nframe a t=0\nbulk a count=5", "line 3: bulk frames need a data group of their own"},
      {"datagroup ids=3", "line 1:"},
  };
  for (const auto& [text, message] : cases) {
    std::string error;
    EXPECT_FALSE(cMklog_parse(text, &error));
    EXPECT_EQ(error.rfind(message, 0), 0u) << error;
  }
  for (const char* text : {"datagroup sorted\ngroup a can\ngroup b can", "datagroup sorted\ngroup v canfd_vlsd"}) {
    std::string error;
    EXPECT_FALSE(cMklog_build(text, &error)) << text;
  }
}

// Random classic and FD frames, in groups of one data group with record ids
// of every size, survive the trip through file and reader.
TEST(cMklog_build, RandomFramesReadBackExactly) {
  std::mt19937 rng(77031);
  for (int ids : {1, 2, 4, 8}) {
    SCOPED_TRACE(ids);
    std::ostringstream text;
    text << "datagroup ids=" << ids << "\ngroup c can\ngroup fd canfd\ngroup v canfd_vlsd\n";
    std::vector<cMklogFrame> sent(100);
    for (size_t i = 0; i < sent.size(); ++i) {
      cMklogFrame& f = sent[i];
      f.ide = rng() % 2;
      f.id = f.ide ? rng() & 0x1FFFFFFF : rng() & 0x7FF;
      f.dir = rng() % 2;
      f.channel = static_cast<uint8_t>(1 + rng() % 4);
      const int kind = static_cast<int>(rng() % 3);
      static const size_t kFdLengths[] = {0, 1, 8, 12, 16, 20, 24, 32, 48, 64};
      f.data.resize(kind != 0 ? kFdLengths[rng() % 10] : rng() % 9);
      for (auto& b : f.data) b = static_cast<uint8_t>(rng());
      f.brs = kind != 0;  // marks the FD frames
      text << "frame " << (kind == 0 ? "c" : kind == 1 ? "fd" : "v") << " t=" << i + 1 << " ch=" << int{f.channel}
           << " id=" << f.id << " ide=" << f.ide << " dir=" << f.dir << " data=" << (f.data.empty() ? "-" : "");
      for (uint8_t b : f.data) text << "0123456789ABCDEF"[b >> 4] << "0123456789ABCDEF"[b & 15];
      text << "\n";
    }
    const auto got = testLog_frames(testLog_openBytes(testLog_bytes(text.str())).get());
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(got[i].timeStamp, i + 1.0);
      EXPECT_EQ(got[i].id, sent[i].id);
      EXPECT_EQ(got[i].can.ide, sent[i].ide);
      EXPECT_EQ(got[i].can.dir, sent[i].dir);
      EXPECT_EQ(got[i].can.edl, sent[i].brs);
      EXPECT_EQ(got[i].channel, sent[i].channel);
      EXPECT_EQ(got[i].data, sent[i].data);
    }
  }
}

// Bulk frames are generated while the file is written; three data groups
// at different rates merge completely and in time order.
TEST(cMklog_writeFile, BulkGroupsWrittenStraightToAFileMergeCompletely) {
  TempDir dir;
  std::string error;
  ASSERT_TRUE(cMklog_writeFile("datagroup sorted\ngroup a can\nbulk a count=5000 ids=0x100,0x18DAF100 channels=1,2,3 rate=1000 t0=2\n"
                               "datagroup sorted\ngroup b can\nbulk b count=3000 ids=0x5 rate=700 t0=2.0001\n"
                               "datagroup unsorted\ngroup c can\nbulk c count=10 ids=0x6 rate=10 t0=1\n",
                               (dir / "bulk.mf4").c_str(), &error)) << error;
  EXPECT_FALSE(cMklog_writeFile("group a can", "/nonexistent-dir/x.mf4", &error));
  const std::string file = dir.read("bulk.mf4");
  const auto got = testLog_frames(testLog_openBytes({file.begin(), file.end()}).get());
  ASSERT_EQ(got.size(), 8010u);
  std::map<uint32_t, uint64_t> counts;
  for (size_t i = 0; i < got.size(); ++i) {
    const cBusMsg& m = got[i];
    ASSERT_TRUE(i == 0 || got[i - 1].timeStamp <= m.timeStamp) << i;
    const uint64_t index = m.id == 0x5 || m.id == 0x6 ? counts[m.id]++ : counts[0x100]++;
    uint64_t counter = 0;
    std::memcpy(&counter, m.data.data(), 8);
    ASSERT_EQ(counter, index) << i;
    if (m.id == 0x5 || m.id == 0x6) continue;
    EXPECT_EQ(m.id, index % 2 ? 0x18DAF100u : 0x100u);
    EXPECT_EQ(m.can.ide, index % 2 == 1);
    EXPECT_EQ(m.channel, 1 + index % 3);
    EXPECT_NEAR(m.timeStamp, 2.0 + index / 1000.0, 1e-6);
  }
}

}  // namespace
