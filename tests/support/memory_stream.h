// Test helper: memory streams that hold given bytes, positioned at the start,
// the whole content of a stream read back, a stream that counts (or fails)
// the reads of another, and bytes as hexadecimal text.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io/io.h"

inline std::unique_ptr<cIO_memoryAlloc> memoryStream(std::span<const uint8_t> bytes) {
  auto m = cIO_memoryAlloc_ctor();
  if (!bytes.empty()) m->write(bytes.data(), static_cast<int64_t>(bytes.size()));
  m->seek(0, cIO::kSeekSet);
  return m;
}
inline std::unique_ptr<cIO_memoryAlloc> memoryStream(std::string_view text) {
  return memoryStream(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}
inline std::unique_ptr<cIO_memoryAlloc> memoryStream(std::initializer_list<uint8_t> bytes) {
  return memoryStream(std::span<const uint8_t>(bytes.begin(), bytes.size()));
}

// Everything from the start of `stream` to its end.
inline std::vector<uint8_t> readAll(cIO& stream) {
  std::vector<uint8_t> out;
  uint8_t buf[4096];
  stream.seek(0, cIO::kSeekSet);
  for (int64_t got; (got = stream.read(buf, sizeof buf)) > 0;) out.insert(out.end(), buf, buf + got);
  return out;
}

// A pass-through over a borrowed stream that counts the reads and the bytes
// they returned, and fails read number `failing` (0: none, counted from 1;
// a card pulled out, a network file system gone for a moment), noting the
// position it was asked at.
struct ReadCounter final : cIO {
  explicit ReadCounter(cIO* i, int64_t failingRead = 0) : inner(i), failing(failingRead) {}
  int64_t read(void* dst, int64_t n) override {
    if (++reads == failing) {
      failedAt = inner->tell();
      return -1;
    }
    const int64_t got = inner->read(dst, n);
    bytes += got > 0 ? got : 0;
    return got;
  }
  int64_t seek(int64_t offset, int32_t origin) override { return inner->seek(offset, origin); }
  int64_t tell() override { return inner->tell(); }
  cIO* inner;
  int64_t failing, reads = 0, bytes = 0, failedAt = -1;
};

// Upper-case hexadecimal digits of `bytes`.
inline std::string hex(const std::vector<uint8_t>& bytes) {
  std::string s;
  for (uint8_t b : bytes) s += {"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15]};
  return s;
}
