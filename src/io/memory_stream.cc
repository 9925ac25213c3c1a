// Growable memory stream.
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "io/io.h"

namespace {
constexpr uint64_t kHugePage = cIO_kHugePage;
}  // namespace

void cIO_memoryAlloc::FreeBytes::operator()(uint8_t* bytes) const {
  if (mapped != 0)
    ::munmap(bytes, mapped);
  else
    std::free(bytes);
}

uint8_t* cIO_mapHugePages(uint64_t size) {
  const uint64_t span = size + kHugePage;
  if (span < size) return nullptr;
  void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
  if (aligned > start) ::munmap(raw, aligned - start);
  if (aligned + size < start + span) ::munmap(reinterpret_cast<void*>(aligned + size), start + span - aligned - size);
  (void)::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);  // advice only
  return reinterpret_cast<uint8_t*>(aligned);
}

bool cIO_memoryAlloc::regrow(uint64_t capacity) {
  Bytes grown;
  if (capacity >= kHugePage) {
    // Whole huge pages of fresh memory, which the kernel may back one by one.
    const uint64_t rounded = (capacity + kHugePage - 1) & ~(kHugePage - 1);
    if (rounded < capacity) return false;
    grown = Bytes(cIO_mapHugePages(rounded), FreeBytes{rounded});
  } else {
    grown = Bytes(static_cast<uint8_t*>(std::malloc(capacity)));
  }
  if (!grown) return false;
  if (size_ > 0) std::memcpy(grown.get(), bytes_.get(), size_);
  bytes_ = std::move(grown);
  capacity_ = capacity;
  return true;
}

int64_t cIO_memoryAlloc::read(void* dst, int64_t n) {
  if (n < 0) return -1;
  if (position_ >= size_) return 0;
  uint64_t take = std::min<uint64_t>(static_cast<uint64_t>(n), size_ - position_);
  std::memcpy(dst, bytes_.get() + position_, take);
  position_ += take;
  return static_cast<int64_t>(take);
}

bool cIO_memoryAlloc::reserve(uint64_t bytes) {
  return bytes <= capacity_ || regrow(bytes);
}

int64_t cIO_memoryAlloc::write(const void* src, int64_t n) {
  if (n < 0) return -1;
  uint64_t need = static_cast<uint64_t>(n);
  uint64_t capacity = capacity_;
  if (capacity - position_ < need) {
    while (capacity - position_ < need) {
      if (capacity > (uint64_t{1} << 62)) return -1;
      capacity = capacity == 0 ? 2 : capacity * 2;
    }
    // Grown without zero-filling; only the first size_ bytes are ever read.
    if (!regrow(capacity)) return -1;
  }
  // A write behind the end after a seek leaves no stale bytes in the gap.
  if (position_ > size_) std::memset(bytes_.get() + size_, 0, position_ - size_);
  if (need > 0) std::memcpy(bytes_.get() + position_, src, need);
  position_ += need;
  if (position_ > size_) size_ = position_;
  return n;
}

int64_t cIO_memoryAlloc::seek(int64_t offset, int32_t origin) {
  int64_t target;
  switch (origin) {
    case kSeekSet: target = offset; break;
    case kSeekCur: target = static_cast<int64_t>(position_) + offset; break;
    case kSeekEnd: {
      target = static_cast<int64_t>(size_) + offset;
      if (target > static_cast<int64_t>(size_)) {
        // Extend with zero bytes from the old size up to the target.
        static const uint8_t kZeros[512] = {};
        position_ = size_;
        while (static_cast<int64_t>(position_) < target) {
          int64_t piece = std::min<int64_t>(512, target - static_cast<int64_t>(position_));
          if (write(kZeros, piece) != piece) return -1;
        }
      }
      break;
    }
    default: return -1;
  }
  if (target < 0 || static_cast<uint64_t>(target) > capacity_) return -1;
  position_ = static_cast<uint64_t>(target);
  return target;
}

int32_t cIO_memoryAlloc::close() {
  bytes_.reset();
  capacity_ = 0;
  size_ = 0;
  position_ = 0;
  return 0;
}

std::unique_ptr<cIO_memoryAlloc> cIO_memoryAlloc_ctor() {
  return std::unique_ptr<cIO_memoryAlloc>(new (std::nothrow) cIO_memoryAlloc());
}
