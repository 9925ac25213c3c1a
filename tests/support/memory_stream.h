// Test helper: memory streams that hold given bytes, positioned at the start,
// and the whole content of a stream read back.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
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
