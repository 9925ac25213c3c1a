#include "output/block_pool.h"

#include <sanitizer/asan_interface.h>
#include <sys/mman.h>

#include "io/io.h"

namespace {
constexpr size_t kPage = 4096;
constexpr size_t kChunk = cIO_kHugePage;
static_assert(cBlockPool::kMaxBlock <= kChunk);
}  // namespace

// Under AddressSanitizer the chunks are poisoned but for the blocks taken,
// so that a write past a block or into one given back is still caught.
cBlockPool::~cBlockPool() {
  for (uint8_t* chunk : chunks_) {
    ASAN_UNPOISON_MEMORY_REGION(chunk, kChunk);
    ::munmap(chunk, kChunk);
  }
}

char* cBlockPool::take(size_t size, size_t* granted) {
  if (size > kMaxBlock) return nullptr;
  size = (size + kPage - 1) & ~(kPage - 1);
  auto it = free_.find(size);
  if (it != free_.end() && !it->second.empty()) {
    char* block = it->second.back();
    it->second.pop_back();
    ASAN_UNPOISON_MEMORY_REGION(block, size);
    *granted = size;
    return block;
  }
  // The rest of a chunk too small for this block stays unused.
  if (chunks_.empty() || kChunk - chunkUsed_ < size) {
    uint8_t* chunk = cIO_mapHugePages(kChunk);
    if (chunk == nullptr) return nullptr;
    ASAN_POISON_MEMORY_REGION(chunk, kChunk);
    chunks_.push_back(chunk);
    chunkUsed_ = 0;
  }
  char* block = reinterpret_cast<char*>(chunks_.back() + chunkUsed_);
  chunkUsed_ += size;
  ASAN_UNPOISON_MEMORY_REGION(block, size);
  *granted = size;
  return block;
}

void cBlockPool::give(char* block, size_t granted) {
  ASAN_POISON_MEMORY_REGION(block, granted);
  free_[granted].push_back(block);
}
