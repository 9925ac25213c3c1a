#include "input/unwrap_cache.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

namespace {

// A file's unwrapped bytes, read where they are kept.
class cKeptStream final : public cIO {
 public:
  explicit cKeptStream(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  int64_t read(void* dst, int64_t n) override {
    if (n < 0) return -1;
    const uint64_t take = std::min<uint64_t>(static_cast<uint64_t>(n), bytes_.size() - position_);
    if (take > 0) std::memcpy(dst, bytes_.data() + position_, take);
    position_ += take;
    return static_cast<int64_t>(take);
  }
  int64_t tell() override { return static_cast<int64_t>(position_); }
  int64_t seek(int64_t offset, int32_t origin) override {
    const int64_t base = origin == kSeekSet   ? 0
                         : origin == kSeekCur ? static_cast<int64_t>(position_)
                         : origin == kSeekEnd ? static_cast<int64_t>(bytes_.size())
                                              : -1;
    if (base < 0 || offset < -base || base + offset > static_cast<int64_t>(bytes_.size())) return -1;
    position_ = static_cast<uint64_t>(base + offset);
    return static_cast<int64_t>(position_);
  }
  int64_t getSize() override { return static_cast<int64_t>(bytes_.size()); }

 private:
  std::span<const uint8_t> bytes_;
  uint64_t position_ = 0;
};

// The region in small pages.  The plan fills all of it before any of it is
// given back, so none of it is memory the process used before.  On a
// virtual machine that returns free memory to its host (free page
// reporting), a fresh huge page the host has taken back (seconds after it
// was freed) costs up to 3.4 ms per MB to fill, a fresh small page 0.6 to
// 0.8 ms per MB; a planning that filled 89 MB took 240 ms instead of 170.
uint8_t* mapRegion(uint64_t size) {
  void* region = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (region == MAP_FAILED) return nullptr;
  (void)::madvise(region, size, MADV_NOHUGEPAGE);  // advice only
  return static_cast<uint8_t*>(region);
}

}  // namespace

cUnwrapCache::cUnwrapCache(uint64_t budget)
    : budget_(budget) {}

cUnwrapCache::~cUnwrapCache() {
  if (region_ != nullptr) ::munmap(region_, budget_);
}

bool cUnwrapCache::put(const std::string& path, std::span<const uint8_t> bytes,
                       std::vector<uint8_t> layers) {
  uint8_t* at = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bytes.empty() || bytes.size() > budget_ - used_ || entries_.contains(path)) return false;
    if (region_ == nullptr && (region_ = mapRegion(budget_)) == nullptr) {
      budget_ = 0;  // no memory for it: nothing is kept
      return false;
    }
    at = region_ + used_;
    used_ += (bytes.size() + 63) & ~uint64_t{63};
    used_ = std::min(used_, budget_);
  }
  std::memcpy(at, bytes.data(), bytes.size());  // outside the lock: the slice is this thread's
  std::lock_guard<std::mutex> lock(mutex_);
  kept_ += bytes.size();
  entries_.emplace(path, Entry{{at, bytes.size()}, std::move(layers)});
  return true;
}

std::unique_ptr<cIO> cUnwrapCache::take(const std::string& path, std::vector<uint8_t>* layers) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(path);
  if (it == entries_.end()) return nullptr;
  kept_ -= it->second.bytes.size();
  *layers = std::move(it->second.layers);
  auto stream = std::make_unique<cKeptStream>(it->second.bytes);
  entries_.erase(it);
  return stream;
}

void cUnwrapCache::keepOnly(const std::set<std::string>& paths) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (paths.contains(it->first)) {
      ++it;
      continue;
    }
    kept_ -= it->second.bytes.size();
    it = entries_.erase(it);
  }
}

uint64_t cUnwrapCache::bytesKept() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return kept_;
}
