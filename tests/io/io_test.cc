#include <gtest/gtest.h>

#include "io/io.h"

TEST(Crc32Stream, CheckValueOfDigits) {
  auto mem = cIO_memoryAlloc_ctor();
  ASSERT_EQ(mem->write("123456789", 9), 9);
  ASSERT_EQ(mem->seek(0, cIO::kSeekSet), 0);
  auto crc = cIO_crc32_ctor(mem.get());
  char buf[16];
  ASSERT_EQ(crc->read(buf, sizeof buf), 9);
  EXPECT_EQ(crc->getCRC(), 0x340BC6D9u);
}
