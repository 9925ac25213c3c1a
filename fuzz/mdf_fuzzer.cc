// Arbitrary bytes as an MDF log file: open, metadata, and every frame of the
// time-ordered merge.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "mdf/mdf_file.h"

namespace {
volatile uint64_t gSink;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::silenceLog();
  std::unique_ptr<cIO_memoryAlloc> memory = fuzz::memoryStream(data, size);
  // The reader always reads log files through a read-ahead buffer; a small,
  // odd window exercises its refills.
  std::unique_ptr<cIO> stream = cIO_bufferAlloc_ctor(memory.get(), 200);
  if (!stream) return 0;
  std::unique_ptr<cMdf> mdf = cMdf_open(stream.get());
  if (!mdf) return 0;
  cMdfMetaDataMap meta = cMdf_getMetaData(mdf.get());
  uint64_t sum = meta.size();
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
