// Arbitrary bytes as a container chain: container headers are unwrapped
// (compressed or encrypted with the fixed password "fuzz-password") as long
// as they appear, and what remains is opened and iterated as an MDF file.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "input/encrypted_file.h"
#include "input/generic_file.h"
#include "mdf/mdf_file.h"

namespace {
volatile uint64_t gSink;
constexpr char kPassword[] = "fuzz-password";
// Key derivation cost grows with the stored count; the fuzzer need not spend
// its time there (the limit of the reader itself is tested elsewhere).
constexpr uint32_t kMaxFuzzIterations = 64;
constexpr int kMaxDepth = 4;

uint32_t storedIterations(cIO* stream) {
  uint8_t b[4] = {};
  const int64_t at = stream->tell();
  if (stream->seek(32, cIO::kSeekSet) != 32 || stream->read(b, 4) != 4) {
    stream->seek(at, cIO::kSeekSet);
    return 0;
  }
  stream->seek(at, cIO::kSeekSet);
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Keep one hostile container from taking all of the fuzzer's memory.
  cGenericFile_setMemoryLimit(64u << 20);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::silenceLog();
  std::unique_ptr<cIO> stream = fuzz::memoryStream(data, size);
  for (int depth = 0; depth < kMaxDepth; ++depth) {
    cGenericFileHeader header;
    if (!cGenericFile_readHeader(stream.get(), &header)) break;
    std::unique_ptr<cIO> inner;
    if (header.containerType == kGenericFileTypeCompressed) {
      inner = cGenericFile_compressed_open(stream.get(), header);
    } else if (header.containerType == kGenericFileTypeEncrypted) {
      if (storedIterations(stream.get()) > kMaxFuzzIterations) return 0;
      stream->seek(20, cIO::kSeekSet);
      inner = cGenericFile_encrypted_open(stream.get(), header,
                                          reinterpret_cast<const uint8_t*>(kPassword),
                                          std::strlen(kPassword));
    } else {
      return 0;
    }
    cIO_close(stream);
    if (!inner) return 0;
    stream = std::move(inner);
  }
  // As in the reader: the MDF file is opened where the unwrapping left it.
  std::unique_ptr<cMdf> mdf = cMdf_open(stream.get());
  if (!mdf) return 0;
  uint64_t sum = cMdf_getMetaData(mdf.get()).size();
  {
    std::unique_ptr<cMdfParallelIter> it = cMdf_getIter(mdf.get());
    if (it) {
      for (cBusMsg* m = it->current(); m != nullptr; m = it->next()) sum += fuzz::touch(*m);
    }
  }
  cMdf_close(mdf);
  gSink = sum;
  return 0;
}
