#include "io/serializer.h"

#include <gtest/gtest.h>

namespace {

std::unique_ptr<cIO_memoryAlloc> memoryWith(std::initializer_list<uint8_t> bytes) {
  auto mem = cIO_memoryAlloc_ctor();
  std::vector<uint8_t> v(bytes);
  mem->write(v.data(), static_cast<int64_t>(v.size()));
  mem->seek(0, 0);
  return mem;
}

TEST(Serializer, ByteOrders) {
  auto mem = memoryWith({0x01, 0x02, 0x03, 0x04});
  cSerializer le(mem.get());
  uint32_t v = 0;
  ASSERT_TRUE(le.readU32(&v));
  EXPECT_EQ(v, 0x04030201u);
  mem->seek(0, 0);
  cSerializer be(mem.get());
  ASSERT_TRUE(be.readU32_BE(&v));
  EXPECT_EQ(v, 0x01020304u);
  EXPECT_FALSE(be.readU32_BE(nullptr));
}

TEST(Serializer, WidthsAndSkips) {
  auto mem = memoryWith({0xFF, 0x34, 0x12, 9, 9, 9, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F, 1});
  cSerializer s(mem.get());
  int8_t i8 = 0;
  uint16_t u16 = 0;
  double f64 = 0;
  bool flag = false;
  EXPECT_TRUE(s.readI8(&i8) & s.readU16(&u16) & s.skip(3) & s.readF64(&f64) & s.readBool(&flag));
  EXPECT_EQ(i8, -1);
  EXPECT_EQ(u16, 0x1234);
  EXPECT_EQ(f64, 1.0);
  EXPECT_TRUE(flag);
  EXPECT_EQ(s.cursor(), 15u);
}

TEST(Serializer, InterleavedSerializersKeepTheirOwnCursor) {
  auto mem = memoryWith({1, 2, 3, 4, 5, 6, 7, 8});
  cSerializer a(mem.get());
  mem->seek(4, 0);
  cSerializer b(mem.get());
  uint8_t x = 0, y = 0;
  for (uint8_t i = 0; i < 4; ++i) {
    ASSERT_TRUE(a.readU8(&x));
    ASSERT_TRUE(b.readU8(&y));
    EXPECT_EQ(x, i + 1);
    EXPECT_EQ(y, i + 5);
  }
}

TEST(Serializer, ShortReadFailsAndRetriesAfterGrowth) {
  auto mem = memoryWith({0xAA, 0xBB});
  cSerializer s(mem.get());
  uint32_t v = 0;
  EXPECT_FALSE(s.readU32(&v));
  EXPECT_EQ(s.cursor(), 0u);
  mem->seek(0, 2);
  uint8_t more[2] = {0xCC, 0xDD};
  mem->write(more, 2);
  ASSERT_TRUE(s.readU32(&v));
  EXPECT_EQ(v, 0xDDCCBBAAu);
}

TEST(Serializer, ReadCstrAppends) {
  auto mem = memoryWith({'a', 'b', 'c', 'd', 'e', 0});
  cSerializer s(mem.get());
  std::string str = "xy";
  EXPECT_TRUE(s.readCstr(&str, 0));
  EXPECT_EQ(str, "xy");
  ASSERT_TRUE(s.readCstr(&str, 5));
  EXPECT_EQ(str, "xyabcde");
  std::string big;
  EXPECT_FALSE(s.readCstr(&big, uint64_t{1} << 62)) << "a length is never trusted past the stream";
  EXPECT_TRUE(big.empty());
}

TEST(Serializer, WritersRoundTrip) {
  auto mem = cIO_memoryAlloc_ctor();
  cSerializer w(mem.get());
  uint8_t u8 = 7;
  int16_t i16 = -2;
  uint64_t u64 = 0x1122334455667788u;
  float f32 = 1.5f;
  bool t = true;
  ASSERT_TRUE(w.writeU8(&u8) & w.writeI16(&i16) & w.skip(1) & w.writeU64(&u64) &
              w.writeF32(&f32) & w.writeBool(&t) & w.writeCstr("ok"));
  mem->seek(0, 0);
  cSerializer r(mem.get());
  uint8_t a = 0, gap = 9;
  int16_t b = 0;
  uint64_t c = 0;
  float d = 0;
  bool e = false;
  std::string s;
  ASSERT_TRUE(r.readU8(&a) & r.readI16(&b) & r.readU8(&gap) & r.readU64(&c) & r.readF32(&d) &
              r.readBool(&e) & r.readCstr(&s, 2));
  EXPECT_EQ(a, 7);
  EXPECT_EQ(gap, 0) << "skipped bytes are not written; the memory stream leaves zeros";
  EXPECT_EQ(b, -2);
  EXPECT_EQ(c, u64);
  EXPECT_EQ(d, 1.5f);
  EXPECT_TRUE(e);
  EXPECT_EQ(s, "ok");
}

TEST(Serializer, NullStreamFailsEverything) {
  cSerializer s(nullptr);
  uint8_t v;
  EXPECT_FALSE(s.readU8(&v));
  EXPECT_FALSE(s.writeU8(&v));
}

}  // namespace
