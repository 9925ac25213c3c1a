// Arbitrary bytes as the text of a password file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "app/log_reader_cli.h"
#include "fuzz_support.h"

namespace {
volatile uint64_t gSink;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::silenceLog();
  std::unordered_map<std::string, std::string> passwords;
  (void)cLogReaderCLI_parsePasswords(std::string_view(reinterpret_cast<const char*>(data), size),
                                     "fuzz.json", &passwords);
  uint64_t sum = 0;
  for (const auto& [key, value] : passwords) sum += key.size() + value.size();
  gSink = sum;
  return 0;
}
