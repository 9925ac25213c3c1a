// The writers' buffer blocks: each block as large as asked (in whole 4 KiB
// pages), no two blocks overlapping, within one huge-page chunk or across
// several, and a block given back taken again only for its own size; under
// AddressSanitizer a write outside the blocks taken is still caught.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "output/block_pool.h"

namespace {

struct Taken {
  char* block;
  size_t size;
};

// Fills every block with its own byte, then checks that no other block
// wrote over it.
void expectApart(const std::vector<Taken>& taken) {
  for (size_t i = 0; i < taken.size(); ++i) std::memset(taken[i].block, static_cast<int>(i % 251), taken[i].size);
  for (size_t i = 0; i < taken.size(); ++i) {
    const char want = static_cast<char>(i % 251);
    size_t wrong = 0;
    for (size_t b = 0; b < taken[i].size; ++b) wrong += taken[i].block[b] != want;
    EXPECT_EQ(wrong, 0u) << "block " << i << " of " << taken[i].size << " bytes";
  }
}

TEST(cBlockPool, BlocksAreWholePagesApartAndReusedBySize) {
  const struct {
    size_t asked;
    size_t granted;  // 0: none (too large)
  } cases[] = {
      {1, 4096}, {4096, 4096}, {4097, 8192}, {16 * 1024 + 200, 20 * 1024},
      {cBlockPool::kMaxBlock, cBlockPool::kMaxBlock}, {cBlockPool::kMaxBlock + 1, 0},
  };
  cBlockPool pool;
  std::vector<Taken> taken;
  for (const auto& c : cases) {
    size_t granted = 0;
    char* block = pool.take(c.asked, &granted);
    EXPECT_EQ(block != nullptr, c.granted != 0) << c.asked;
    if (block == nullptr) continue;
    EXPECT_EQ(granted, c.granted) << c.asked;
    taken.push_back({block, granted});
  }
  // Past the first 2 MiB chunk: 300 blocks of 20 KiB take three chunks.
  for (int i = 0; i < 300; ++i) {
    size_t granted = 0;
    char* block = pool.take(20 * 1024, &granted);
    ASSERT_NE(block, nullptr);
    taken.push_back({block, granted});
  }
  expectApart(taken);

  // A block given back goes to the next take of its size only.
  const Taken back = taken[3];  // 20 KiB
  pool.give(back.block, back.size);
  size_t granted = 0;
  EXPECT_NE(pool.take(8192, &granted), back.block);
  EXPECT_EQ(pool.take(16 * 1024 + 1, &granted), back.block);
  EXPECT_EQ(granted, back.size);
  EXPECT_NE(pool.take(16 * 1024 + 1, &granted), back.block);
}

#if defined(__SANITIZE_ADDRESS__)
TEST(cBlockPool, AddressSanitizerStillSeesWritesOutsideTakenBlocks) {
  auto pastTheEnd = [] {
    cBlockPool pool;
    size_t granted = 0;
    volatile char* block = pool.take(100, &granted);
    block[granted] = 1;
  };
  auto intoAGivenBack = [] {
    cBlockPool pool;
    size_t granted = 0;
    char* block = pool.take(100, &granted);
    pool.give(block, granted);
    static_cast<volatile char*>(block)[0] = 1;
  };
  EXPECT_DEATH(pastTheEnd(), "AddressSanitizer");
  EXPECT_DEATH(intoAGivenBack(), "AddressSanitizer");
}
#endif

}  // namespace
