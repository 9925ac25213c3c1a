// Container header and the compressed container.
#include "input/generic_file.h"

#include <unistd.h>

#include <array>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

#include "base/log.h"
#include "input/heatshrink.h"
#include "io/serializer.h"

namespace {

constexpr int64_t kPayloadStart = 28;
constexpr int64_t kCopyStep = 64 * 1024;

uint64_t defaultMemoryLimit() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return uint64_t{1} << 32;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) / 4;
}

uint64_t& memoryLimit() {
  static uint64_t limit = defaultMemoryLimit();
  return limit;
}

bool isCompressedHeader(const cGenericFileHeader& h) {
  return h.containerType == kGenericFileTypeCompressed && h.headerVersion == 1 &&
         h.variant == h.footerFlag && h.footerFlag <= 1;
}

// Copies all of `source` into `memory`; false on a read error, a failed
// write (memory exhausted) or when the total would pass the memory limit.
bool copyAll(cIO* source, cIO_spill* memory) {
  std::vector<uint8_t> buf(kCopyStep);
  uint64_t total = 0;
  for (;;) {
    int64_t got = source->read(buf.data(), kCopyStep);
    if (got == 0) return true;
    if (got < 0) return false;
    total += static_cast<uint64_t>(got);
    if (!cGenericFile_withinMemoryLimit(total)) return false;
    if (memory->write(buf.data(), got) != got) return false;
  }
}

// Decompresses payload [28, end) of `stream` into `memory`; *crc gets the
// CRC register over the payload bytes.
bool decompress(cIO* stream, int64_t end, uint8_t windowBits, uint8_t lookaheadBits,
                cIO_spill* memory, uint32_t* crc) {
  auto window = cIO_scoped_ctor(stream, kPayloadStart, end);
  auto crcStream = cIO_crc32_ctor(window.get());
  if (!window || !crcStream) return false;
  auto inflater = cIO_heatshrink_open(crcStream.get(), windowBits, lookaheadBits);
  if (!inflater) return false;
  bool ok = copyAll(inflater.get(), memory);
  *crc = crcStream->getCRC();
  return ok;
}

std::unique_ptr<cIO> compressedOpen(cIO* stream, const cGenericFileHeader& header,
                                    const cGenericFileUnpack& unpack) {
  if (stream == nullptr || !isCompressedHeader(header)) return nullptr;
  if (stream->seek(20, cIO::kSeekSet) != 20) return nullptr;
  cSerializer fields(stream);
  uint32_t lookahead = 0;
  uint32_t windowSize = 0;
  if (!(fields.readU32_BE(&lookahead) & fields.readU32_BE(&windowSize))) return nullptr;
  // The window exponent is log2 of the window size, which must be a power of
  // two; 0 or any other value is refused rather than guessed at.
  if (!std::has_single_bit(windowSize)) return nullptr;
  const auto windowBits = static_cast<uint8_t>(std::countr_zero(windowSize));
  const auto lookaheadBits = static_cast<uint8_t>(lookahead & 0xFFu);

  auto memory = std::make_unique<cIO_spill>(unpack.memoryBytes, unpack.folder);
  const int64_t size = stream->getSize();
  if (size < kPayloadStart) return nullptr;
  const bool hasFooter = header.footerFlag == 1;
  if (hasFooter && size - 4 < kPayloadStart) {
    LOG_ERROR("Expected to read out CRC from footer, but found none");
    return nullptr;
  }
  const int64_t end = hasFooter ? size - 4 : size;
  uint32_t computed = 0;
  if (!decompress(stream, end, windowBits, lookaheadBits, memory.get(), &computed)) {
    return unpack.fail(*memory);
  }
  if (hasFooter) {
    uint32_t footer = 0;
    if (stream->seek(-4, cIO::kSeekEnd) < 0 || !cSerializer(stream).readU32_BE(&footer)) {
      LOG_ERROR("Expected to read out CRC from footer, but found none");
      return nullptr;
    }
    if (footer != computed) {
      LOG_ERROR("Could not validate checksum, expected %08X but found %08X", footer, computed);
      return nullptr;
    }
  }
  return std::make_unique<cGenericFileCompressed>(header, std::move(memory));
}

}  // namespace

bool cGenericFile_readHeader(cIO* stream, cGenericFileHeader* header) {
  if (stream == nullptr || header == nullptr) return false;
  if (stream->seek(0, cIO::kSeekSet) != 0) return false;
  cSerializer s(stream);
  cGenericFileHeader h;
  bool ok = s.readRaw(h.magic.data(), h.magic.size()) & s.readU8(&h.variant) &
            s.readU8(&h.footerFlag) & s.readU8(&h.containerType) & s.readU8(&h.headerVersion) &
            s.readU32_BE(&h.deviceId);
  if (!ok) return false;
  *header = h;
  return std::memcmp(h.magic.data(), "Generic File", 12) == 0;
}

int32_t cGenericFileStream::close() {
  int32_t result = memory_ ? memory_->close() : 0;
  memory_.reset();
  return result;
}

std::unique_ptr<cIO> cGenericFile_compressed_open(cIO* stream, const cGenericFileHeader& header,
                                                  const cGenericFileUnpack& unpack) {
  try {
    return compressedOpen(stream, header, unpack);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

uint64_t cGenericFile_getMemoryLimit() { return memoryLimit(); }

bool cGenericFile_withinMemoryLimit(uint64_t bytes) {
  if (bytes <= memoryLimit()) return true;
  LOG_ERROR("The unwrapped contents are larger than the limit of %llu bytes (a quarter of the "
            "memory)", static_cast<unsigned long long>(memoryLimit()));
  return false;
}

void cGenericFile_setMemoryLimit(uint64_t bytes) { memoryLimit() = bytes; }
