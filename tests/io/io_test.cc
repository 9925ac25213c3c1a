// Byte streams (file modes, the read-ahead buffer, growable memory, windows,
// CRC-32, copying) and the field serializer over them.
#include "io/io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "io/serializer.h"
#include "support/memory_stream.h"
#include "support/temp_dir.h"

namespace {

constexpr int64_t kSet = cIO::kSeekSet, kCur = cIO::kSeekCur, kEnd = cIO::kSeekEnd;

// Seeks in order: {offset, origin, expected result}.
void expectSeeks(cIO& stream, std::initializer_list<std::array<int64_t, 3>> steps) {
  for (auto [offset, origin, expected] : steps)
    EXPECT_EQ(stream.seek(offset, static_cast<int32_t>(origin)), expected) << offset << " from " << origin;
}

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 1);
  return v;
}

std::string text(std::span<const uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(FileStream, ModesSizeAndSeeks) {
  TempDir dir;
  const std::string path = dir / "f";
  auto w = cIO_file_open(path.c_str(), 1);
  ASSERT_TRUE(w);
  char buf[8] = {};
  EXPECT_TRUE(w->write("abcdef", 6) == 6 && w->write("", 0) == 0 && w->write("x", -1) == -1);
  EXPECT_EQ(w->read(buf, 1), cIO::kMissing);
  EXPECT_TRUE(cIO_close(w) == 0 && !w) << "closed and gone";
  auto r = cIO_file_open(path.c_str(), 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->write("x", 1), cIO::kMissing);
  EXPECT_EQ(r->getSize(), 6);
  EXPECT_EQ(r->tell(), 0) << "getSize restores the position";
  EXPECT_EQ(r->seek(2, kSet), 2);
  EXPECT_EQ(r->read(buf, 2), 2);
  expectSeeks(*r, {{4, kSet, 4}, {-6, kEnd, 0}, {0, 3, -1}});  // the tracked position follows reads
  EXPECT_EQ(r->read(buf, 8), 6);
  EXPECT_EQ(std::string(buf, 6), "abcdef");
  auto a = cIO_file_open(path.c_str(), 3);  // appends, whatever the position
  ASSERT_TRUE(a);
  EXPECT_EQ(a->seek(0, kSet), 0);
  EXPECT_EQ(a->write("gh", 2), 2);
  EXPECT_EQ(cIO_close(a), 0);
  auto rw = cIO_file_open(path.c_str(), 2);  // an existing file, read and changed in place
  ASSERT_TRUE(rw);
  EXPECT_TRUE(rw->seek(6, kSet) == 6 && rw->read(buf, -1) == -1 && rw->read(buf, 8) == 2 && rw->seek(0, kSet) == 0);
  EXPECT_TRUE(std::string(buf, 2) == "gh" && rw->write("AB", 2) == 2 && cIO_close(rw) == 0);
  EXPECT_EQ(readFile(path), "ABcdefgh");
  if (auto full = cIO_file_open("/dev/full", 3)) {  // a full disk: the reason reaches the caller
    errno = 0;
    EXPECT_EQ(full->write("x", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
  }
  EXPECT_FALSE(cIO_file_open(path.c_str(), 4) || cIO_file_open(nullptr, 0) || cIO_file_open("/nonexistent", 0));
  // A read that fails (here at an address this process has not mapped) is
  // told from the end of the file, also through a pass-through stream.
  uint64_t counted = 0;
  auto memory = cIO_counted_ctor(cIO_file_open("/proc/self/mem", 0), &counted, {});
  EXPECT_TRUE(memory && r->readError() == 0 && memory->read(buf, 1) == -1 && memory->readError() == EIO);
}

// A file read in steps that start inside, straddle and skip past the read
// window, and reads larger than the window, must give the file's bytes.
TEST(FileStream, ReadsAnywhereGiveTheFilesBytes) {
  TempDir dir;
  const std::string path = dir / "f";
  const std::vector<uint8_t> bytes = pattern(100000);
  {
    auto w = cIO_file_open(path.c_str(), 1);
    ASSERT_EQ(w->write(bytes.data(), 100000), 100000);
  }
  auto r = cIO_file_open(path.c_str(), 0);
  ASSERT_TRUE(r);
  // Seek to `offset` from `origin`: position `at` (-1: the seek fails); then
  // read `n` bytes: `got` of them.
  struct Step { int64_t offset, origin, at, n, got; };
  const Step steps[] = {
      {0, kSet, 0, 10, 10},              {16380, kSet, 16380, 10, 10},  // across the window's end
      {-5, kCur, 16385, 40000, 40000},   {3, kSet, 3, 2, 2},            // a large read, then back
      {-100, kEnd, 99900, 200, 100},     {0, kEnd, 100000, 1, 0},        // at and to the end
      {5000, kEnd, 105000, 1, 0},        {-1, kSet, -1, 0, 0},           // past the end; before the start
      {50000, kSet, 50000, 50000, 50000},
      // The block loader's jumps: the start, a block further on, back to
      // the start (the other window) and just before where it was.
      {0, kSet, 0, 24, 24},              {52448, kSet, 52448, 24, 24},
      {288, kSet, 288, 100, 100},        {136, kSet, 136, 500, 500},
      {52460, kSet, 52460, 4000, 4000},  {99990, kSet, 99990, 20, 10},
  };
  std::vector<uint8_t> got(50000);
  for (const Step& s : steps) {
    const int64_t before = r->tell();
    ASSERT_EQ(r->seek(s.offset, static_cast<int32_t>(s.origin)), s.at) << s.offset << " from " << s.origin;
    if (s.at < 0) {
      EXPECT_EQ(r->tell(), before) << "a failed seek keeps the position";
      continue;
    }
    ASSERT_EQ(r->read(got.data(), s.n), s.got) << "at " << s.at;
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + s.got, bytes.begin() + std::min<int64_t>(s.at, 100000)))
        << "at " << s.at;
    EXPECT_EQ(r->tell(), s.at + s.got);
  }
  // Reads of any length anywhere, in a fixed pseudo-random order.
  std::mt19937 random(7);
  for (int i = 0; i < 3000; ++i) {
    const int64_t at = static_cast<int64_t>(random() % 100010), n = static_cast<int64_t>(random() % 40000);
    ASSERT_EQ(r->seek(at, kSet), at);
    const int64_t expected = std::clamp<int64_t>(100000 - at, 0, n);
    ASSERT_EQ(r->read(got.data(), n), expected) << "at " << at;
    ASSERT_TRUE(std::equal(got.begin(), got.begin() + expected, bytes.begin() + std::min<int64_t>(at, 100000)))
        << "at " << at << " n " << n;
  }
  EXPECT_EQ(cIO_close(r), 0);
}

TEST(BufferStream, ServesReadsAndSeeksFromItsWindow) {
  const std::vector<uint8_t> bytes = pattern(100);
  auto inner = memoryStream(bytes);
  auto buf = cIO_bufferAlloc_ctor(inner.get(), 13);  // window raised to 16 bytes
  std::vector<uint8_t> got(100);
  for (int64_t total = 0, n = 1; n > 0; total += n) n = buf->read(&got[0] + total, std::min<int64_t>(13, 100 - total));
  EXPECT_EQ(got, bytes) << "13-byte reads straddle the window ends";
  ASSERT_EQ(buf->seek(40, kSet), 40);  // window 40..56
  ASSERT_EQ(buf->read(got.data(), 4), 4);
  expectSeeks(*buf, {{50, kSet, 50}, {-10, kCur, 40}, {56, kSet, 56}});  // the window's end is inside
  EXPECT_EQ(inner->tell(), 56) << "seeks inside the window leave the inner stream alone";
  ASSERT_EQ(buf->read(got.data(), 1), 1);
  EXPECT_EQ(got[0], bytes[56]);
  EXPECT_EQ(buf->getSize(), 100);
  expectSeeks(*buf, {{-10, kEnd, 90}, {0, kEnd, 100}, {500, kSet, 100}, {-1, kSet, -1}});  // past the end: the position stays
  EXPECT_EQ(buf->read(got.data(), 1), 0);
  EXPECT_FALSE(cIO_bufferAlloc_ctor(inner.get(), 0) || cIO_bufferAlloc_ctor(inner.get(), INT64_MAX) ||
               cIO_bufferAlloc_ctor(std::unique_ptr<cIO>(), 8));
  auto owning = cIO_bufferAlloc_ctor(memoryStream(bytes), 8);  // closes its inner stream
  EXPECT_EQ(owning->read(got.data(), 100), 100);
  EXPECT_EQ(cIO_close(owning), 0);
  struct FailsToClose final : cIO { int32_t close() override { return -1; } };
  owning = cIO_bufferAlloc_ctor(std::make_unique<FailsToClose>(), 8);
  EXPECT_TRUE(cIO_close(owning) != 0 && owning) << "a failing close is passed on; the stream stays";
}

// Readers that alternate between distant places (the data groups of a log)
// must not cost a whole window per visit; sequential reading still fills
// whole windows.
TEST(BufferStream, JumpsReadLittleSequentialReadingWholeWindows) {
  const int64_t kChunk = 64 * 1024, kFar = 4 << 20;
  const std::vector<uint8_t> bytes = pattern(8 << 20);
  auto memory = memoryStream(bytes);
  ReadCounter counting(memory.get());
  auto buf = cIO_bufferAlloc_ctor(&counting, 1 << 20);
  std::vector<uint8_t> got(kChunk);
  for (int64_t i = 0; i < 16; ++i) {
    const int64_t at = (i % 2) * kFar + (i / 2) * kChunk;
    ASSERT_EQ(buf->seek(at, kSet), at);
    ASSERT_EQ(buf->read(got.data(), kChunk), kChunk);
    ASSERT_TRUE(std::equal(got.begin(), got.end(), bytes.begin() + at)) << at;
  }
  EXPECT_LE(counting.bytes, 16 * kChunk + 2 * (1 << 20));
  counting.reads = 0;
  for (int64_t i = 0; i < 32; ++i) ASSERT_EQ(buf->read(got.data(), kChunk), kChunk);
  EXPECT_LE(counting.reads, 3) << "sequential reading continues in whole windows";
}

TEST(MemoryStream, GrowsSeeksAndFillsGapsWithZeros) {
  auto mem = cIO_memoryAlloc_ctor();
  // The capacity grows 2, 4, 8, ...; a seek may reach it but not pass it.
  for (auto [bytes, capacity] : {std::pair{1, 2}, {2, 4}, {2, 8}, {0, 8}, {4, 16}}) {
    mem->seek(0, kEnd);
    EXPECT_EQ(mem->write("aaaa", bytes), bytes);
    expectSeeks(*mem, {{capacity, kSet, capacity}, {capacity + 1, kSet, -1}});
  }
  expectSeeks(*mem, {{0, kSet, 0}});
  ASSERT_EQ(mem->write("xyz", 3), 3);
  expectSeeks(*mem, {{11, kSet, 11}});  // two bytes behind the end
  ASSERT_EQ(mem->write("q", 1), 1);
  expectSeeks(*mem, {{-3, kCur, 9}});
  char buf[8];
  EXPECT_EQ(mem->read(buf, 8), 3);
  EXPECT_EQ(mem->read(buf, 8), 0);
  expectSeeks(*mem, {{-1, kSet, -1}, {0, 7, -1}, {600, kEnd, 612}});  // a seek from the end extends
  EXPECT_EQ(text(mem->data()), std::string("xyzaaaaaa\0\0q", 12) + std::string(600, '\0'));
}

TEST(SpillStream, BehavesAsMemoryBeforeAndAfterItMovesToAnUnnamedFile) {
  TempDir dir;
  for (uint64_t limit : {0u, 7u, 1000u}) {  // moves at the first write, at the second, never
    SCOPED_TRACE(limit);
    cIO_spill s(limit, limit == 7 ? dir.path() : "/nonexistent");  // else the system's folder
    setenv("TMPDIR", limit == 7 ? "/nonexistent" : "/tmp", 1);  // the 7-byte case must use its folder
    EXPECT_EQ(s.write("hello", 5), 5);
    EXPECT_EQ(s.write("world", 5), 5);
    expectSeeks(s, {{2, kSet, 2}});
    EXPECT_EQ(s.write("XY", 2), 2);
    expectSeeks(s, {{3, kEnd, 13}, {1, kCur, 14}});  // a seek from the end extends
    EXPECT_EQ(s.write("!", 1), 1);
    expectSeeks(s, {{0, kSet, 0}});
    char buf[32];
    EXPECT_EQ(s.read(buf, 32), 15);
    EXPECT_EQ(std::string(buf, 15), std::string("heXYoworld\0\0\0\0!", 15));
    EXPECT_EQ(s.spilled(), limit < 15);
    EXPECT_EQ(s.data().size(), limit < 15 ? 0u : 15u);
    EXPECT_EQ(s.close(), 0);
  }
  // A full disk (here the file-size limit): the write fails, and is not retried forever.
  cIO_spill full(0, dir.path());
  EXPECT_TRUE(withResourceLimit(RLIMIT_FSIZE, 8, [&] { EXPECT_EQ(full.write("0123456789", 10), -1); }));
  EXPECT_EQ(full.storageError(), EFBIG);
  EXPECT_TRUE(readTree(dir.path()).empty());  // the file never had a name
}

TEST(ScopedStream, ClampsToItsWindow) {
  const std::vector<uint8_t> bytes = pattern(100);
  auto inner = memoryStream(bytes);
  auto win = cIO_scoped_ctor(inner.get(), 28, 60), open = cIO_scoped_ctor(inner.get(), 90, 0);
  EXPECT_EQ(open->getSize(), 10) << "no end: up to the inner stream's end";
  std::vector<uint8_t> got(100);
  expectSeeks(*win, {{-5, kSet, 0}});
  EXPECT_EQ(win->read(got.data(), 100), 32);
  EXPECT_EQ(text({got.data(), 32}), text({&bytes[28], 32}));
  expectSeeks(*win, {{1000, kSet, 32}, {-3, kEnd, 29}, {2, kCur, 31}});
  EXPECT_EQ(win->write("ABCD", 4), 1);
  EXPECT_EQ(text(inner->data().subspan(58, 3)), text({&bytes[58], 1}) + "A" + text({&bytes[60], 1}));
  EXPECT_EQ(win->getSize(), 32);
}

TEST(Crc32Stream, ReadsAndWritesRunThroughTheRegisterAndCatCopiesInSteps) {
  auto source = memoryStream("123456789");
  auto sink = cIO_memoryAlloc_ctor();
  auto reader = cIO_crc32_ctor(source.get()), writer = cIO_crc32_ctor(sink.get());
  cIO_cat(reader.get(), writer.get());
  EXPECT_EQ(reader->getCRC(), 0x340BC6D9u);  // check value, without final inversion
  EXPECT_EQ(writer->getCRC(), 0x340BC6D9u);
  const std::vector<uint8_t> bytes = pattern(10000);
  cIO_cat(memoryStream(bytes).get(), sink.get());
  cIO_cat(nullptr, sink.get());
  EXPECT_EQ(text(sink->data()), "123456789" + text(bytes));
}

TEST(Serializer, FieldsAtItsOwnCursorAndNoLengthTrustedPastTheStream) {
  auto mem = memoryStream({0xEE, 0x34, 0x12, 9, 9, 9, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F, 0xFE, 0xFF, 1, 2, 3, 4, 0xAA, 0xBB});
  mem->seek(1, kSet);
  cSerializer a(mem.get());  // base 1
  mem->seek(16, kSet);
  cSerializer b(mem.get());  // base 16; the two take turns on one stream
  uint16_t u16 = 0;
  double f64 = 0;
  int16_t i16 = 0;
  uint32_t be = 0, le = 0;
  EXPECT_TRUE(a.readU16(&u16) && b.readU32_BE(&be) && a.skip(3) && a.readF64(&f64) && a.readI16(&i16) &&
              a.readU32(&le));
  EXPECT_EQ(std::tuple(u16, f64, i16, be, le), std::tuple(0x1234, 1.0, -2, 0x01020304u, 0x04030201u));
  EXPECT_FALSE(b.readU32_BE(nullptr) || b.readU32(&le)) << "two bytes short";
  mem->seek(0, kEnd);
  mem->write("\xCC\xDD", 2);
  ASSERT_TRUE(b.readU32(&le)) << "the failed read left the cursor in place";
  EXPECT_EQ(le, 0xDDCCBBAAu);
  std::string str = "xy";
  EXPECT_TRUE(a.readCstr(&str, 0));
  EXPECT_FALSE(a.readCstr(&str, 5) || a.readCstr(&str, uint64_t{1} << 62) || a.readCstr(nullptr, 1));
  ASSERT_TRUE(a.readCstr(&str, 4));
  EXPECT_EQ(str, "xy\xAA\xBB\xCC\xDD");
  cSerializer none(nullptr);
  EXPECT_FALSE(none.readU16(&u16) || none.writeU16(&u16));
  // Writes: skipped bytes stay zero.
  auto out = cIO_memoryAlloc_ctor();
  cSerializer w(out.get());
  const uint8_t u8 = 7;
  const uint64_t u64 = 0x1122334455667788;
  ASSERT_TRUE(w.writeU8(&u8) && w.skip(1) && w.writeU16(&u16) && w.writeU64(&u64));
  EXPECT_EQ(text(out->data()), std::string("\x07\0\x34\x12\x88\x77\x66\x55\x44\x33\x22\x11", 12));
}

}  // namespace
