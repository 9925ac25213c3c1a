// The log writer: description errors, random frames and bulk frames read back
// through the reader, unfinished files, containers and the command.
#include "mklog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/log.h"
#include "mdf/mdf_file.h"

namespace {

struct Quiet {
  Quiet() { zf_log_set_output_callback([](const char*, int) {}); }
  ~Quiet() { zf_log_set_output_callback(nullptr); }
};

std::unique_ptr<cIO_memoryAlloc> streamOf(const std::vector<uint8_t>& bytes) {
  auto mem = cIO_memoryAlloc_ctor();
  mem->write(bytes.data(), static_cast<int64_t>(bytes.size()));
  mem->seek(0, cIO::kSeekSet);
  return mem;
}

// Every message of a file, copied.
std::vector<cBusMsg> readAll(cIO* stream) {
  std::vector<cBusMsg> out;
  auto mdf = cMdf_open(stream);
  EXPECT_TRUE(mdf);
  if (!mdf) return out;
  auto iter = cMdf_getIter(mdf.get());
  for (cBusMsg* m = iter ? iter->current() : nullptr; m != nullptr; m = iter->next())
    out.push_back(*m);
  return out;
}

std::vector<cBusMsg> readBytes(const std::vector<uint8_t>& bytes) {
  auto stream = streamOf(bytes);
  return readAll(stream.get());
}

std::string hex(const std::vector<uint8_t>& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : bytes) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s.empty() ? "-" : s;
}

TEST(cMklog_parse, BadLinesNameTheirLine) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"frobnicate", "line 1: unknown keyword"},
      {"group a can\ngroup a lin", "line 2: group 'a' defined twice"},
      {"frame x t=1", "line 1: unknown group"},
      {"group a can\n\n# note\nframe a t=abc", "line 4: bad frame field"},
      {"group a can\nframe a id=0x20000000", "line 2: bad frame field"},
      {"group a can\nframe a data=123", "line 2: bad frame field"},
      {"group a canbus", "line 1: unknown group kind"},
      {"version 4.x", "line 1: usage: version"},
      {"program eightchr", "line 1: program"},
      {"group a can\nframe a t=0\nbulk a count=5", "line 3: bulk frames need a data group of their own"},
      {"group a can foo", "line 1: bad option"},
      {"history maybe", "line 1: unknown history kind"},
      {"tz_offset 40000", "line 1: usage: tz_offset"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    EXPECT_FALSE(cMklog_parse(c.text, &error));
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
  }
}

TEST(cMklog_build, ContradictionsAreRefused) {
  const char* cases[] = {
      "datagroup sorted\ngroup a can\ngroup b can",
      "datagroup sorted\ngroup v canfd_vlsd",
      "compress window=99\ngroup a can",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    std::string error;
    EXPECT_FALSE(cMklog_build(text, &error));
    EXPECT_FALSE(error.empty());
  }
}

// Random classic and FD frames survive the trip through file and reader.
TEST(cMklog_build, RandomFramesReadBackExactly) {
  const uint32_t seed = 77031;
  std::mt19937 rng(seed);
  std::ostringstream text;
  text << "datagroup\ngroup c can\ngroup fd canfd\ngroup v canfd_vlsd\n";
  struct Sent {
    uint32_t id;
    bool ide, fd, dir;
    uint8_t channel;
    std::vector<uint8_t> data;
  };
  std::vector<Sent> sent;
  for (int i = 0; i < 300; ++i) {
    Sent s;
    s.ide = rng() % 2;
    s.id = s.ide ? rng() & 0x1FFFFFFF : rng() & 0x7FF;
    s.dir = rng() % 2;
    s.channel = static_cast<uint8_t>(1 + rng() % 4);
    int kind = static_cast<int>(rng() % 3);
    s.fd = kind != 0;
    static const size_t kFdLengths[] = {0, 1, 8, 12, 16, 20, 24, 32, 48, 64};
    size_t n = s.fd ? kFdLengths[rng() % 10] : rng() % 9;
    for (size_t k = 0; k < n; ++k) s.data.push_back(static_cast<uint8_t>(rng()));
    text << "frame " << (kind == 0 ? "c" : kind == 1 ? "fd" : "v") << " t=" << (i + 1) * 0.001
         << " ch=" << int(s.channel) << " id=" << s.id << " ide=" << s.ide << " dir=" << s.dir
         << " data=" << hex(s.data) << "\n";
    sent.push_back(std::move(s));
  }
  std::string error;
  auto bytes = cMklog_build(text.str(), &error);
  ASSERT_TRUE(bytes) << error;
  auto got = readBytes(*bytes);
  ASSERT_EQ(got.size(), sent.size()) << "seed " << seed;
  for (size_t i = 0; i < sent.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(got[i].timeStamp, (i + 1) * 0.001, 1e-9);
    EXPECT_EQ(got[i].id, sent[i].id);
    EXPECT_EQ(got[i].can.ide, sent[i].ide);
    EXPECT_EQ(got[i].can.dir, sent[i].dir);
    EXPECT_EQ(got[i].can.edl, sent[i].fd);
    EXPECT_EQ(got[i].channel, sent[i].channel);
    EXPECT_EQ(got[i].data, sent[i].data);
  }
}

TEST(cMklog_build, WiderRecordIdsReadBack) {
  for (int ids : {1, 2, 4, 8}) {
    SCOPED_TRACE(ids);
    std::string error;
    auto bytes = cMklog_build("datagroup ids=" + std::to_string(ids) +
                                  "\ngroup c can\ngroup v canfd_vlsd\n"
                                  "frame c t=1 id=1 data=01\nframe v t=2 id=2 data=0203\n"
                                  "frame c t=3 id=3 data=04\n"
                                  "datagroup sorted\ngroup b can\nbulk b count=3 t0=1.5 rate=1\n",
                              &error);
    ASSERT_TRUE(bytes) << error;
    auto got = readBytes(*bytes);
    std::vector<uint32_t> seen;
    for (auto& m : got) seen.push_back(m.id);
    EXPECT_EQ(seen, (std::vector<uint32_t>{1, 0x100, 2, 0x100, 3, 0x100}));
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[2].data, (std::vector<uint8_t>{2, 3}));
  }
  std::string error;
  EXPECT_FALSE(cMklog_parse("datagroup ids=3", &error));
}

void expectBulk(const std::vector<cBusMsg>& got, size_t count) {
  ASSERT_EQ(got.size(), count);
  const uint32_t ids[] = {0x100, 0x18DAF100};
  for (size_t i = 0; i < count; i += 97) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(got[i].timeStamp, 2.0 + i / 1000.0, 1e-6);
    EXPECT_EQ(got[i].id, ids[i % 2]);
    EXPECT_EQ(got[i].can.ide, i % 2 == 1);
    EXPECT_EQ(got[i].channel, 1 + i % 3);
    ASSERT_EQ(got[i].data.size(), 8u);
    uint64_t counter;
    std::memcpy(&counter, got[i].data.data(), 8);
    EXPECT_EQ(counter, i);
  }
}

const char* kBulk =
    "datagroup sorted\ngroup b can\n"
    "bulk b count=5000 ids=0x100,0x18DAF100 channels=1,2,3 rate=1000 t0=2\n";

TEST(cMklog_build, BulkFramesAreGeneratedInOrder) {
  std::string error;
  auto bytes = cMklog_build(kBulk, &error);
  ASSERT_TRUE(bytes) << error;
  expectBulk(readBytes(*bytes), 5000);
}

TEST(cMklog_writeFile, WritesBulkStraightToAFile) {
  std::string path = testing::TempDir() + "/mklog_bulk_" + std::to_string(getpid()) + ".mf4";
  std::string error;
  ASSERT_TRUE(cMklog_writeFile(std::string(kBulk) + "datagroup unsorted\ngroup x can\n"
                               "bulk x count=10 ids=0x5 rate=10 t0=1\n",
                               path.c_str(), &error))
      << error;
  auto file = cIO_file_open(path.c_str(), 0);
  ASSERT_TRUE(file);
  auto buffered = cIO_bufferAlloc_ctor(file.get(), 4096);
  auto got = readAll(buffered.get());
  EXPECT_EQ(got.size(), 5010u);
  std::remove(path.c_str());
  EXPECT_FALSE(cMklog_writeFile("group a can", "/nonexistent-dir/x.mf4", &error));
}

TEST(cMklog_build, UnfinishedFileCarriesFlagAndWrongLength) {
  for (uint64_t stored : {24u, 0u, 1000000u}) {
    SCOPED_TRACE(stored);
    std::string text = "unfinished dtlength=" + std::to_string(stored) +
                       "\ndatagroup\ngroup a can\nframe a t=0 id=1\n"
                       "datagroup\ngroup b can\nframe b t=1 id=2\nframe b t=2 id=3\n";
    std::string error;
    auto bytes = cMklog_build(text, &error);
    ASSERT_TRUE(bytes) << error;
    EXPECT_EQ(std::string(bytes->begin(), bytes->begin() + 8), "UnFinMF ");
    EXPECT_EQ((*bytes)[60], 4);
    // The last data block ends the file and its stored length is the given one.
    Quiet quiet;
    auto stream = streamOf(*bytes);
    auto tree = cMdfBlock_loadTree(stream.get());
    ASSERT_TRUE(tree);
    const auto& dt = tree->getHeader()->dataGroups.back()->data;
    EXPECT_EQ(dt->length(), stored);
    EXPECT_EQ(dt->fileOffset() + 24 + 2 * 24, bytes->size());
    auto got = readBytes(*bytes);
    ASSERT_EQ(got.size(), 3u) << "the repair makes every record readable";
    EXPECT_EQ(got[2].id, 3u);
  }
}

TEST(cMklog_build, HeaderCommentChoices) {
  auto headerOf = [](const std::string& text) {
    auto bytes = cMklog_build(text, nullptr);
    EXPECT_TRUE(bytes);
    auto stream = streamOf(*bytes);
    auto tree = cMdfBlock_loadTree(stream.get());
    return tree ? std::string(tree->getHeader()->getComment()) : std::string("?");
  };
  std::string generated = headerOf("serial ABC<1>\nsession 3\n");
  EXPECT_NE(generated.find("<e name=\"serial number\" ro=\"true\">ABC&lt;1&gt;</e>"), std::string::npos);
  EXPECT_NE(generated.find("<e name=\"session\" ro=\"true\">3</e>"), std::string::npos);
  EXPECT_EQ(generated.find("split"), std::string::npos);
  EXPECT_EQ(headerOf("header_xml <r><x/></r>"), "<r><x/></r>");
  EXPECT_EQ(headerOf("no_header_comment"), "");
}

TEST(cMklog_build, ContainersWrapInOrder) {
  struct Case {
    const char* layers;
    uint8_t outerType;
  };
  const Case cases[] = {
      {"compress\n", 0x22},
      {"compress window=10 lookahead=5 crc=0\nencrypt password=secret device=0x1234ABCD\n", 0x11},
      {"encrypt password=pw iterations=10\ncompress\n", 0x22},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.layers);
    std::string error;
    auto bytes = cMklog_build(std::string(c.layers) + "group a can\nframe a t=0 id=1\n", &error);
    ASSERT_TRUE(bytes) << error;
    ASSERT_GT(bytes->size(), 20u);
    EXPECT_EQ(std::string(bytes->begin(), bytes->begin() + 12), "Generic File");
    EXPECT_EQ((*bytes)[14], c.outerType);
  }
}

TEST(cMklog_build, LinErrorAndNonBusGroupsKeepTheirNames) {
  std::string error;
  auto bytes = cMklog_build(R"(
group ce lin_checksum_error
group re lin_receive_error
group se lin_sync_error
group te lin_transmission_error
group o other
group c can
frame ce t=0.1 id=3 data=0102
frame re t=0.2 id=4
frame se t=0.3
frame te t=0.4 id=5
frame o t=0.5 value=1234
frame c t=0.6 id=6 data=01
frame o t=0.7 value=1
frame c t=0.8 id=7 data=02
)",
                            &error);
  ASSERT_TRUE(bytes) << error;
  auto stream = streamOf(*bytes);
  auto tree = cMdfBlock_loadTree(stream.get());
  ASSERT_TRUE(tree);
  std::vector<std::string> structures;
  for (auto& cg : tree->getHeader()->dataGroups[0]->channelGroups)
    structures.emplace_back(cg->channels[1]->getName());
  EXPECT_EQ(structures, (std::vector<std::string>{"LIN_ChecksumError", "LIN_ReceiveError",
                                                  "LIN_SyncError", "LIN_TransmissionError",
                                                  "Analog", "CAN_DataFrame"}));
  EXPECT_FALSE(tree->getHeader()->dataGroups[0]->channelGroups[4]->acquisitionSource)
      << "a non-bus group has no bus source";
  std::vector<uint32_t> canIds;
  for (const auto& m : readBytes(*bytes))
    if (m.type == cBusMsgType::BUS_MSG_CAN_DATA_FRAME) canIds.push_back(m.id);
  EXPECT_EQ(canIds, (std::vector<uint32_t>{6, 7})) << "groups without frames stop nothing";
}

TEST(Mklog, CommandWritesALoadableFile) {
  std::string tool = std::string(LOGRAVEN_BINARY_DIR) + "/tools/mklog/mklog";
  if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "mklog not built";
  std::string path = testing::TempDir() + "/mklog_cmd_" + std::to_string(getpid()) + ".mf4";
  std::string cmd = tool + " -e 'group a lin; frame a t=0.5 id=0x21 data=0102' " + path;
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  auto file = cIO_file_open(path.c_str(), 0);
  ASSERT_TRUE(file);
  auto got = readAll(file.get());
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].type, cBusMsgType::BUS_MSG_LIN_FRAME);
  EXPECT_EQ(got[0].data, (std::vector<uint8_t>{1, 2}));
  std::remove(path.c_str());
  EXPECT_NE(std::system((tool + " -e 'bogus' " + path + " 2>/dev/null").c_str()), 0);
}

}  // namespace
