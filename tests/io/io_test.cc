#include "io/io.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

namespace {

// Counts the calls that reach a stream, so tests can tell whether a buffer
// served a request from its window.
class CountingStream final : public cIO {
 public:
  explicit CountingStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  int64_t read(void* dst, int64_t n) override {
    ++reads;
    int64_t take = std::min<int64_t>(n, static_cast<int64_t>(bytes_.size()) - pos_);
    if (take <= 0) return 0;
    std::copy_n(bytes_.begin() + pos_, take, static_cast<uint8_t*>(dst));
    pos_ += take;
    return take;
  }
  int64_t tell() override { return pos_; }
  int64_t seek(int64_t offset, int32_t origin) override {
    ++seeks;
    int64_t base = origin == 0 ? 0 : origin == 1 ? pos_ : static_cast<int64_t>(bytes_.size());
    if (base + offset < 0) return -1;
    pos_ = base + offset;
    return pos_;
  }
  int reads = 0;
  int seeks = 0;

 private:
  std::vector<uint8_t> bytes_;
  int64_t pos_ = 0;
};

std::vector<uint8_t> iota(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 1);
  return v;
}

std::string tempPath(const char* name) {
  return testing::TempDir() + "/lograven_io_" + std::to_string(getpid()) + "_" + name;
}

TEST(StreamDispatch, MissingOperationsReturnMinusTwo) {
  cIO bare;
  uint8_t b = 0;
  EXPECT_EQ(bare.read(&b, 1), -2);
  EXPECT_EQ(bare.write(&b, 1), -2);
  EXPECT_EQ(bare.tell(), -2);
  EXPECT_EQ(bare.seek(0, 0), -2);
  EXPECT_EQ(bare.close(), 0);

  auto mem = cIO_memoryAlloc_ctor();
  auto crc = cIO_crc32_ctor(mem.get());
  EXPECT_EQ(crc->tell(), -2);
  EXPECT_EQ(crc->seek(0, 0), -2);
}

TEST(FileStream, ModesRestrictOperations) {
  std::string path = tempPath("modes");
  {
    auto w = cIO_file_open(path.c_str(), 1);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->write("abcdef", 6), 6);
    uint8_t b;
    EXPECT_EQ(w->read(&b, 1), -2);
    EXPECT_EQ(cIO_close(w), 0);
    EXPECT_FALSE(w);
  }
  auto r = cIO_file_open(path.c_str(), 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->write("x", 1), -2);
  EXPECT_EQ(r->getSize(), 6);
  EXPECT_EQ(r->tell(), 0) << "getSize must restore the position";
  char buf[8] = {};
  EXPECT_EQ(r->seek(2, 0), 2);
  EXPECT_EQ(r->read(buf, 8), 4);
  EXPECT_STREQ(buf, "cdef");
  EXPECT_EQ(r->seek(9, 3), -1);
  EXPECT_FALSE(cIO_file_open(path.c_str(), 3));
  EXPECT_FALSE(cIO_file_open(nullptr, 0));
  EXPECT_FALSE(cIO_file_open((path + ".missing").c_str(), 0));
  std::remove(path.c_str());
}

TEST(BufferStream, ReadsAcrossWindowEndsRefillAtNextUnreadOffset) {
  auto bytes = iota(100);
  CountingStream inner(bytes);
  auto buf = cIO_bufferAlloc_ctor(&inner, 16);
  ASSERT_TRUE(buf);
  std::vector<uint8_t> got(100);
  // Odd-sized reads straddle the 16-byte window boundaries.
  int64_t total = 0;
  while (total < 100) {
    int64_t n = buf->read(got.data() + total, std::min<int64_t>(13, 100 - total));
    ASSERT_GT(n, 0);
    total += n;
  }
  EXPECT_EQ(got, bytes);
  EXPECT_EQ(buf->tell(), 100);
  uint8_t b;
  EXPECT_EQ(buf->read(&b, 1), 0);
}

TEST(BufferStream, SeekInsideWindowMakesNoInnerCall) {
  CountingStream inner(iota(100));
  auto buf = cIO_bufferAlloc_ctor(&inner, 32);
  uint8_t b[4];
  ASSERT_EQ(buf->read(b, 4), 4);
  int reads = inner.reads, seeks = inner.seeks;
  EXPECT_EQ(buf->seek(20, 0), 20);
  EXPECT_EQ(buf->seek(-10, 1), 10);
  EXPECT_EQ(buf->seek(32, 0), 32) << "the window's end is still inside";
  EXPECT_EQ(inner.reads, reads);
  EXPECT_EQ(inner.seeks, seeks);
  EXPECT_EQ(buf->seek(10, 0), 10);
  ASSERT_EQ(buf->read(b, 1), 1);
  EXPECT_EQ(b[0], iota(100)[10]);
}

TEST(BufferStream, SeeksOutsideWindowAndToTheEnd) {
  auto bytes = iota(100);
  CountingStream inner(bytes);
  auto buf = cIO_bufferAlloc_ctor(&inner, 8);
  uint8_t b;
  EXPECT_EQ(buf->seek(70, 0), 70);
  ASSERT_EQ(buf->read(&b, 1), 1);
  EXPECT_EQ(b, bytes[70]);
  EXPECT_EQ(buf->seek(0, 2), 100);
  EXPECT_EQ(buf->getSize(), 100);
  EXPECT_EQ(buf->read(&b, 1), 0);
  // A target past the end cannot be filled: the position stays.
  EXPECT_EQ(buf->seek(5, 0), 5);
  EXPECT_EQ(buf->seek(500, 0), 5);
}

TEST(BufferStream, OwningBufferClosesItsFile) {
  std::string path = tempPath("owned");
  {
    auto w = cIO_file_open(path.c_str(), 1);
    w->write("0123456789", 10);
  }
  auto buf = cIO_bufferAlloc_ctor(cIO_file_open(path.c_str(), 0), 3);
  ASSERT_TRUE(buf);
  char s[11] = {};
  EXPECT_EQ(buf->read(s, 10), 10);
  EXPECT_STREQ(s, "0123456789");
  EXPECT_EQ(cIO_close(buf), 0);
  EXPECT_FALSE(cIO_bufferAlloc_ctor(std::unique_ptr<cIO>(), 8));
  EXPECT_FALSE(cIO_bufferAlloc_ctor(static_cast<cIO*>(nullptr), 8));
  std::remove(path.c_str());
}

TEST(MemoryStream, CapacityDoublesFromTwo) {
  auto mem = cIO_memoryAlloc_ctor();
  struct Step { int64_t bytes; uint64_t capacity; };
  for (auto [bytes, capacity] : {Step{1, 2}, Step{3, 4}, Step{1, 8}, Step{0, 8}, Step{9, 16}}) {
    std::vector<uint8_t> v(static_cast<size_t>(bytes), 0xAB);
    EXPECT_EQ(mem->write(v.data(), bytes), bytes);
    EXPECT_EQ(mem->capacity(), capacity);
  }
  EXPECT_EQ(mem->tell(), 14);
}

TEST(MemoryStream, ReadBackAndSeekRules) {
  auto mem = cIO_memoryAlloc_ctor();
  ASSERT_EQ(mem->write("hello", 5), 5);
  char s[8] = {};
  EXPECT_EQ(mem->seek(0, 0), 0);
  EXPECT_EQ(mem->read(s, 8), 5);
  EXPECT_STREQ(s, "hello");
  EXPECT_EQ(mem->read(s, 1), 0);
  EXPECT_EQ(mem->seek(9, 0), -1) << "beyond the capacity of 8";
  EXPECT_EQ(mem->seek(-1, 0), -1);
  EXPECT_EQ(mem->seek(1, 7), -1);
  // Seeking past the end from the end extends with zero bytes.
  EXPECT_EQ(mem->seek(600, 2), 605);
  EXPECT_EQ(mem->data().size(), 605u);
  EXPECT_EQ(mem->data()[604], 0);
  EXPECT_EQ(mem->data()[4], 'o');
}

TEST(MemoryStream, WriteBehindTheEndLeavesZerosInTheGap) {
  auto mem = cIO_memoryAlloc_ctor();
  ASSERT_EQ(mem->write("abcd", 4), 4);
  ASSERT_EQ(mem->seek(0, 0), 0);
  ASSERT_EQ(mem->write("z", 1), 1);
  ASSERT_EQ(mem->seek(4, 0), 4);
  ASSERT_EQ(mem->write("q", 1), 1);  // grows to 8 at size 4: no gap yet
  ASSERT_EQ(mem->seek(7, 0), 7);
  ASSERT_EQ(mem->write("e", 1), 1);
  std::vector<uint8_t> want = {'z', 'b', 'c', 'd', 'q', 0, 0, 'e'};
  EXPECT_TRUE(std::equal(want.begin(), want.end(), mem->data().begin(), mem->data().end()));
}

TEST(ScopedStream, ClampsToWindow) {
  auto bytes = iota(100);
  CountingStream inner(bytes);
  auto win = cIO_scoped_ctor(&inner, 28, 60);
  EXPECT_EQ(win->tell(), 0);
  std::vector<uint8_t> got(100);
  EXPECT_EQ(win->read(got.data(), 100), 32);
  EXPECT_EQ(got[0], bytes[28]);
  EXPECT_EQ(win->read(got.data(), 1), 0);
  EXPECT_EQ(win->seek(-5, 0), 0) << "below the start lands at the start";
  EXPECT_EQ(win->seek(1000, 0), 32) << "past the end lands at the end";
  EXPECT_EQ(win->seek(-2, 2), 30);
  EXPECT_EQ(win->getSize(), 32);

  auto open = cIO_scoped_ctor(&inner, 90, 0);
  EXPECT_EQ(open->getSize(), 10) << "no end: up to the inner stream's end";
  EXPECT_EQ(open->read(got.data(), 100), 10);
}

TEST(Crc32Stream, CheckValueOfDigits) {
  auto mem = cIO_memoryAlloc_ctor();
  ASSERT_EQ(mem->write("123456789", 9), 9);
  ASSERT_EQ(mem->seek(0, cIO::kSeekSet), 0);
  auto crc = cIO_crc32_ctor(mem.get());
  char buf[16];
  ASSERT_EQ(crc->read(buf, sizeof buf), 9);
  EXPECT_EQ(cIO_crc32_getCRC(*crc), 0x340BC6D9u);
  EXPECT_EQ(crc->read(buf, sizeof buf), 0);
  EXPECT_EQ(crc->getCRC(), 0x340BC6D9u) << "an empty read changes nothing";
}

TEST(Crc32Stream, WritesCountLikeReads) {
  auto mem = cIO_memoryAlloc_ctor();
  auto crc = cIO_crc32_ctor(mem.get());
  crc->write("1234", 4);
  crc->write("56789", 5);
  EXPECT_EQ(crc->getCRC(), 0x340BC6D9u);
  EXPECT_EQ(mem->data().size(), 9u);
}

TEST(Cat, CopiesEverythingInSteps) {
  auto src = cIO_memoryAlloc_ctor();
  std::vector<uint8_t> bytes(10000);
  std::iota(bytes.begin(), bytes.end(), 0);
  src->write(bytes.data(), static_cast<int64_t>(bytes.size()));
  src->seek(0, 0);
  auto dst = cIO_memoryAlloc_ctor();
  cIO_cat(src.get(), dst.get());
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), dst->data().begin(), dst->data().end()));
  cIO_cat(nullptr, dst.get());
}

TEST(Location, PushAndPop) {
  auto mem = cIO_memoryAlloc_ctor();
  mem->write("abcdef", 6);
  int64_t loc = 0;
  mem->seek(2, 0);
  EXPECT_TRUE(mem->pushLocation(&loc));
  EXPECT_EQ(loc, 2);
  mem->seek(5, 0);
  EXPECT_TRUE(mem->popLocation(&loc));
  EXPECT_EQ(mem->tell(), 2);
  EXPECT_FALSE(mem->pushLocation(nullptr));
  EXPECT_FALSE(mem->popLocation(nullptr));
  int64_t far = 1000;
  EXPECT_FALSE(mem->popLocation(&far));
}

}  // namespace
