// Shared pieces of the fuzz targets: silenced logging and a memory stream
// holding the fuzzer's bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/log.h"
#include "io/io.h"

namespace fuzz {

inline void discardLine(const char* /*line*/, int /*len*/) {}

// Log lines are formatted (so formatting faults still show) but thrown away.
inline void silenceLog() { zf_log_set_output_callback(&discardLine); }

// A memory stream holding `size` bytes of `data`, positioned at the start.
inline std::unique_ptr<cIO_memoryAlloc> memoryStream(const uint8_t* data, size_t size) {
  std::unique_ptr<cIO_memoryAlloc> m = cIO_memoryAlloc_ctor();
  if (size > 0) m->write(data, static_cast<int64_t>(size));
  m->seek(0, cIO::kSeekSet);
  return m;
}

// Reads every byte of every message so that a dangling or short payload is
// seen by the address sanitizer; the sum keeps the reads from being dropped.
template <typename Msg>
inline uint64_t touch(const Msg& msg) {
  uint64_t sum = msg.id + msg.channel + static_cast<uint64_t>(msg.type);
  for (uint8_t b : msg.data) sum += b;
  return sum;
}

}  // namespace fuzz
