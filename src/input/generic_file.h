// The logger's container files: a 20-byte header shared by all containers,
// and the compressed container, whose heatshrink payload is unpacked (into
// memory, or past a size into an unnamed temporary file) and checked against
// an optional CRC-32 footer.  (The encrypted
// container is in encrypted_file.h.)  Containers nest: whatever a container
// stream yields may itself start with a container header.
//
// Header layout (multi-byte fields big-endian):
//   0  12  "Generic File"
//   12  1  variant byte
//   13  1  footer flag
//   14  1  container type: 0x22 compressed, 0x11 encrypted
//   15  1  header version (1)
//   16  4  device identifier
//
// Compressed container: header (type 0x22, variant byte == footer flag,
// both 0 or 1), lookahead exponent (u32, low byte used), window size in bytes
// (u32, a power of two), heatshrink payload, and with footer flag 1 a CRC-32
// footer (u32) over the payload bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "io/io.h"

inline constexpr uint8_t kGenericFileTypeCompressed = 0x22;
inline constexpr uint8_t kGenericFileTypeEncrypted = 0x11;

struct cGenericFileHeader {
  std::array<char, 12> magic{};
  uint32_t deviceId = 0;  // host order
  uint8_t variant = 0;    // byte 12
  uint8_t footerFlag = 0; // byte 13
  uint8_t headerVersion = 0;
  uint8_t containerType = 0;
};

// Reads the header from the start of `stream` into *header.  True only when
// all 20 bytes were read and the magic is "Generic File"; the other fields are
// not checked here.  Null arguments yield false.  Moves the stream position.
bool cGenericFile_readHeader(cIO* stream, cGenericFileHeader* header);

// Where a container's unwrapped bytes go: memory up to `memoryBytes`, beyond
// that an unnamed temporary file in `folder` (or the system's temporary
// folder), gone when the stream closes.  When that file cannot be made or
// written, the open fails and *storageError (if given) gets the system's
// error number, so that a full disk is not taken for a damaged container.
struct cGenericFileUnpack {
  uint64_t memoryBytes = uint64_t{256} << 20;
  std::string folder;
  int* storageError = nullptr;

  // Null, after noting the storage error of `memory` if it has one.
  std::nullptr_t fail(const cIO_spill& memory) const {
    if (storageError != nullptr && memory.storageError() != 0)
      *storageError = memory.storageError();
    return nullptr;
  }
};

// A container's unwrapped bytes: read, write, tell and seek act on the
// stream of them the container owns (see cIO_spill); close releases it.
class cGenericFileStream : public cIO {
 public:
  cGenericFileStream(const cGenericFileHeader& header, std::unique_ptr<cIO_spill> memory)
      : header_(header), memory_(std::move(memory)) {}

  int64_t read(void* dst, int64_t n) override { return memory_ ? memory_->read(dst, n) : -1; }
  int64_t write(const void* src, int64_t n) override {
    return memory_ ? memory_->write(src, n) : -1;
  }
  int64_t tell() override { return memory_ ? memory_->tell() : -1; }
  int64_t seek(int64_t offset, int32_t origin) override {
    return memory_ ? memory_->seek(offset, origin) : -1;
  }
  int32_t close() override;
  int readError() const override { return memory_ ? memory_->readError() : 0; }

  const cGenericFileHeader& header() const { return header_; }
  // The unwrapped bytes while they are in memory; empty after close or
  // once they went to a file.  Valid until the next write.
  std::span<const uint8_t> data() const {
    return memory_ ? memory_->data() : std::span<const uint8_t>{};
  }

 private:
  cGenericFileHeader header_;
  std::unique_ptr<cIO_spill> memory_;
};

// Compressed container stream.
class cGenericFileCompressed final : public cGenericFileStream {
 public:
  using cGenericFileStream::cGenericFileStream;
};

// Decompresses the compressed container on `stream` (header already read
// into `header`) as `unpack` says.  The returned stream is positioned at its end
// and does not refer to `stream`, which stays the caller's.  Null when the
// header is not that of a compressed container, the parameter fields are
// short or out of range (window 0 or not a power of two), the input cannot be
// read, the result would pass the unwrapping memory limit or memory runs out,
// or the CRC footer is missing ("Expected to read out CRC from footer, but
// found none") or differs ("Could not validate checksum, expected %08X but
// found %08X", footer value first).  Sizes are 64-bit throughout.
std::unique_ptr<cIO> cGenericFile_compressed_open(cIO* stream, const cGenericFileHeader& header,
                                                  const cGenericFileUnpack& unpack = {});

// Largest number of bytes one container may unwrap (in memory and file
// together).  The default is a quarter of the machine's physical memory, so
// that a hostile file fails cleanly instead of exhausting memory or disk.  Process-wide; for tests and tools.
uint64_t cGenericFile_getMemoryLimit();
// True when `bytes` are within that limit; else false, logged.
bool cGenericFile_withinMemoryLimit(uint64_t bytes);
void cGenericFile_setMemoryLimit(uint64_t bytes);
