#include "io/io.h"

#include <array>

int64_t cIO::getSize() {
  int64_t here = tell();
  seek(0, kSeekEnd);
  int64_t size = tell();
  seek(here, kSeekSet);
  return size;
}

int32_t cIO_close(std::unique_ptr<cIO>& stream) {
  if (!stream) return 0;
  int32_t r = stream->close();
  if (r == 0) stream.reset();
  return r;
}

void cIO_cat(cIO* source, cIO* destination) {
  if (source == nullptr || destination == nullptr) return;
  std::array<uint8_t, 4096> buf;
  for (;;) {
    int64_t n = source->read(buf.data(), static_cast<int64_t>(buf.size()));
    if (n < 1) return;
    destination->write(buf.data(), n);
  }
}
