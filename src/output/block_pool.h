// Buffers of a few KiB to a few hundred KiB that writers take while they
// collect rows and give back when they go, carved out of huge pages.
//
// A session's writers take their full-size buffers all at once, and fresh
// memory costs a page fault per 4 KiB page the first time it is touched
// (about 12 us each on a virtual machine that shadows the guest's page
// tables: 5 ms for a hundred writers).  Chunks of one huge page each, which
// the kernel may back with one huge page, make that a fault per 2 MiB; a
// block given back is taken again by the next writer that asks for its size,
// so later sessions touch no fresh memory at all.
//
// Single-threaded, as the writers that use it (see cCsvFilePool).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

class cBlockPool {
 public:
  // Blocks larger than this come from elsewhere (take() returns null).
  static constexpr size_t kMaxBlock = 256 * 1024;

  cBlockPool() = default;
  // Unmaps the chunks: every block must have been given back or dropped.
  ~cBlockPool();
  cBlockPool(const cBlockPool&) = delete;
  cBlockPool& operator=(const cBlockPool&) = delete;

  // A block of at least `size` bytes; *granted receives its size (`size`
  // rounded up to 4 KiB), which give() takes back.  Null when `size` is
  // above kMaxBlock or no memory can be mapped.
  char* take(size_t size, size_t* granted);
  // Gives back a block from take() for the next take() of its size.
  void give(char* block, size_t granted);

 private:
  std::vector<uint8_t*> chunks_;  // each cIO_kHugePage bytes
  size_t chunkUsed_ = 0;          // bytes of the last chunk handed out
  std::map<size_t, std::vector<char*>> free_;  // blocks given back, by size
};
