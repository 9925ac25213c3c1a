// Containers kept unwrapped from the planning of a parallel run for their
// conversion.  The plan unwraps every container (decompressing, decrypting)
// to read the identity of the log inside; a container whose unwrapped bytes
// are kept here is converted from them instead of being unwrapped a second
// time.
//
// The bytes are copied into one region of memory of the budget's size,
// taken in 4 KiB pages as it fills, and stay there until the cache goes;
// each kept file is taken once.  Thread-safe: the planning threads put, the
// workers take.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "io/io.h"

class cUnwrapCache {
 public:
  // Up to `budget` bytes.
  explicit cUnwrapCache(uint64_t budget);
  ~cUnwrapCache();
  cUnwrapCache(const cUnwrapCache&) = delete;
  cUnwrapCache& operator=(const cUnwrapCache&) = delete;

  // Keeps a copy of `bytes`, the unwrapped log file `path`, which came out
  // of the containers `layers` (kGenericFileType*, outermost first).  False
  // when it does not fit in what is left of the budget or the path is kept
  // already.
  bool put(const std::string& path, std::span<const uint8_t> bytes, std::vector<uint8_t> layers);
  // A stream of the bytes kept for `path` (valid while the cache lives) and
  // *layers; null when none are kept.  Forgets the path.
  std::unique_ptr<cIO> take(const std::string& path, std::vector<uint8_t>* layers);
  // Forgets the paths not in `paths` (the units of other shards).
  void keepOnly(const std::set<std::string>& paths);
  // Bytes of the kept paths.
  uint64_t bytesKept() const;

 private:
  struct Entry {
    std::span<const uint8_t> bytes;
    std::vector<uint8_t> layers;
  };
  mutable std::mutex mutex_;
  std::map<std::string, Entry> entries_;
  uint8_t* region_ = nullptr;  // mapped at the first put
  uint64_t budget_;
  uint64_t used_ = 0;  // of the region, by the copies made so far
  uint64_t kept_ = 0;  // by the entries not taken
};
