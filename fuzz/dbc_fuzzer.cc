// Arbitrary bytes as a DBC file; every message of the resulting database is
// then decoded from a set of payloads (all zero, all ones, pseudo-random;
// the message's own length, shorter and longer).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "db/db.h"
#include "db/dbc_parser.h"
#include "fuzz_support.h"

namespace {
volatile uint64_t gSink;

uint64_t next(uint64_t* state) {
  uint64_t x = *state;
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return *state = x;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::silenceLog();
  std::unique_ptr<cIO_memoryAlloc> stream = fuzz::memoryStream(data, size);
  std::unique_ptr<cDB> db = cDBC_dbc2db(stream.get());
  if (!db) return 0;
  uint64_t state = 0x9E3779B97F4A7C15ull ^ size;
  for (size_t i = 0; i < size && i < 64; ++i) state = state * 31 + data[i];
  if (state == 0) state = 1;
  uint64_t sum = 0;
  cDBDecodedMessage decoded;
  std::vector<uint8_t> payload;
  for (const auto& [key, message] : db->messages()) {
    // The stored length is the file's claim; a frame never carries more than
    // a reassembled transport-protocol message (4095 bytes).
    const size_t claimed = std::min<size_t>(message.length, 4096);
    const size_t lengths[] = {claimed, claimed / 2, 0, 8, 64};
    for (size_t length : lengths) {
      for (int fill = 0; fill < 3; ++fill) {
        payload.assign(length, fill == 0 ? 0x00 : 0xFF);
        if (fill == 2) {
          for (auto& b : payload) b = static_cast<uint8_t>(next(&state));
        }
        if (cDB_decodeMessage(db.get(), key, payload, &decoded)) {
          for (const auto& s : decoded.signals) {
            sum += s.name.size() + static_cast<uint64_t>(s.value != s.value);
          }
        }
      }
    }
  }
  gSink = sum;
  return 0;
}
