// Byte streams: one interface over files, read-ahead buffers, growable memory,
// windows onto other streams and filters (CRC-32, decompression).  Streams
// stack: a buffer over a file, a window over a buffer, and so on.
//
// Every operation returns a signed count or position; negative means failure.
// A kind that lacks an operation inherits the default, which returns kMissing
// (-2) without doing anything.  Seek origins are 0 start, 1 current, 2 end.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

class cIO {
 public:
  static constexpr int64_t kMissing = -2;
  static constexpr int32_t kSeekSet = 0;
  static constexpr int32_t kSeekCur = 1;
  static constexpr int32_t kSeekEnd = 2;

  cIO() = default;
  cIO(const cIO&) = delete;
  cIO& operator=(const cIO&) = delete;
  virtual ~cIO() = default;

  // Reads up to `n` bytes into `dst`; returns the count read (0 at the end).
  virtual int64_t read(void* /*dst*/, int64_t /*n*/) { return kMissing; }
  // Writes `n` bytes from `src`; returns the count written.
  virtual int64_t write(const void* /*src*/, int64_t /*n*/) { return kMissing; }
  // Current position.
  virtual int64_t tell() { return kMissing; }
  // Moves to `offset` from `origin`; returns the new position.
  virtual int64_t seek(int64_t /*offset*/, int32_t /*origin*/) { return kMissing; }
  // Releases what the stream holds (closes files, owned inner streams).
  // 0 on success; on failure the stream stays usable for another attempt.
  // The destructor closes a stream that was not closed.
  virtual int32_t close() { return 0; }

  // Size of the stream; negative on failure.  The default seeks to the end
  // and back; kinds that know their size answer without moving.
  virtual int64_t getSize();

  // The system's error number of the first read that failed (an I/O error
  // of the device, not the end of the stream); 0 when none did.  Readers
  // that take a failed read for the end (the records of a log) ask here
  // whether the end was real.  Pass-through kinds answer for their inner
  // stream.
  virtual int readError() const { return 0; }
};

// Closes `stream` and, on success, destroys it.  Null yields 0.
int32_t cIO_close(std::unique_ptr<cIO>& stream);

// Copies `source` to `destination` in 4096-byte steps until a read returns
// less than 1.  Write results are ignored.  Null streams: nothing happens.
void cIO_cat(cIO* source, cIO* destination);

// File stream: mode 0 read, 1 write ("wb", truncating), 2 read and write an
// existing file ("r+b"), 3 append (created when missing, unbuffered: each
// write is one system call at the end of the file, wherever a seek put the
// position).  Null on failure.  Mode 0 reads through a 16 KiB window of
// positioned reads: its seeks never touch the file, and its size is the
// file's when first asked (a pipe has none: -1, errno ESPIPE).  In modes 1
// and 2 a seek from the start to the current position is answered without
// touching the file.
std::unique_ptr<cIO> cIO_file_open(const char* path, int mode);

// Read-ahead buffer over `inner` with a window of `size` bytes (raised to a
// multiple of 8); a window that a jump starts (not continuing the last one)
// takes at most 64 KiB of it unless the window covers the whole stream.  The
// owning form closes `inner` on close; the borrowing form requires `inner` to outlive the buffer.  Null when the window cannot be
// allocated or size < 1.
std::unique_ptr<cIO> cIO_bufferAlloc_ctor(std::unique_ptr<cIO> inner, int64_t size);
std::unique_ptr<cIO> cIO_bufferAlloc_ctor(cIO* inner, int64_t size);

// Pass-through that owns `inner` and adds every byte read to *bytesRead;
// `onMegabyte` (may be empty) runs after each read that takes that count
// past a multiple of 1 MiB, so that a progress display follows long reads
// without a call per read.  Null when `inner` or `bytesRead` is null.
std::unique_ptr<cIO> cIO_counted_ctor(std::unique_ptr<cIO> inner, uint64_t* bytesRead,
                                      std::function<void()> onMegabyte);

// Growable memory stream.  Capacity grows 2, 4, 8, ...; seeking from the end
// past the size extends the stream with zero bytes; a seek past the capacity
// fails.  Writes return -1 when memory runs out.  Large capacities are taken
// in huge pages where the system offers them: filling a stream of a hundred
// megabytes (an unpacked container) then costs a few page faults, not tens of
// thousands.
class cIO_memoryAlloc final : public cIO {
 public:
  int64_t read(void* dst, int64_t n) override;
  int64_t write(const void* src, int64_t n) override;
  int64_t tell() override { return static_cast<int64_t>(position_); }
  int64_t seek(int64_t offset, int32_t origin) override;
  int32_t close() override;

  // The bytes written so far; valid until the next write or close.
  std::span<const uint8_t> data() const { return {bytes_.get(), size_}; }
  // Makes room for `bytes` in all, so that writes up to there do not regrow
  // (and copy) the stream; false when memory runs out.
  bool reserve(uint64_t bytes);

 private:
  struct FreeBytes {
    FreeBytes() : mapped(0) {}
    explicit FreeBytes(uint64_t length) : mapped(length) {}
    uint64_t mapped;  // length of a mapping; 0: from malloc
    void operator()(uint8_t* bytes) const;
  };
  using Bytes = std::unique_ptr<uint8_t[], FreeBytes>;
  // Moves the stream into `capacity` bytes; false when memory runs out.
  bool regrow(uint64_t capacity);

  Bytes bytes_;  // capacity_ bytes, the first size_ valid
  uint64_t capacity_ = 0;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
};
std::unique_ptr<cIO_memoryAlloc> cIO_memoryAlloc_ctor();

// `size` bytes (a multiple of cIO_kHugePage) of fresh memory aligned to a
// huge page and advised to be backed by huge pages, so that touching it
// costs a page fault per 2 MiB; null when there is none.  Give it back with
// munmap(p, size).
inline constexpr uint64_t cIO_kHugePage = uint64_t{2} << 20;
uint8_t* cIO_mapHugePages(uint64_t size);

// Growable stream that keeps its bytes in memory up to `memoryBytes` and,
// when a write would pass that, moves them into an unnamed temporary file
// (O_TMPFILE: it has no name and is gone when the stream closes or the
// process ends) in `folder`, or in the system's temporary folder when that
// is not possible there.  Reads, writes, seeks and tell behave as on the
// memory stream; a write that needs the file fails (-1) when none can be
// made.
class cIO_spill final : public cIO {
 public:
  cIO_spill(uint64_t memoryBytes, std::string folder);
  ~cIO_spill() override;
  int64_t read(void* dst, int64_t n) override;
  int64_t write(const void* src, int64_t n) override;
  int64_t tell() override;
  int64_t seek(int64_t offset, int32_t origin) override;
  int32_t close() override;
  int readError() const override { return readError_; }
  // Reserves memory for `bytes` in all, or moves to the file at once when
  // that is more than the memory allows.  False when neither works.
  bool reserve(uint64_t bytes);
  // The bytes while they are in memory; empty once they are in the file.
  std::span<const uint8_t> data() const;
  bool spilled() const { return fd_ >= 0; }
  // The system's error number of the last failure to make or write the
  // file (ENOSPC for a write that stored nothing); 0 when none failed.
  int storageError() const { return storageError_; }

 private:
  bool spill();
  bool store(const uint8_t* p, uint64_t n, uint64_t at);

  uint64_t memoryBytes_;
  std::string folder_;
  std::unique_ptr<cIO_memoryAlloc> memory_;  // until spilled
  int fd_ = -1;
  int storageError_ = 0;
  int readError_ = 0;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
};

// Window onto [start, end) of `inner` (end < 1: up to the inner end).  Seeks
// are clamped into the window; reads and writes stop at its end.  `inner` is
// borrowed and must outlive the window.  Construction seeks inner to start.
std::unique_ptr<cIO> cIO_scoped_ctor(cIO* inner, int64_t start, int64_t end);

// One step of the reflected CRC-32 (polynomial 0xEDB88320).
uint32_t update_crc_32(uint32_t crc, uint8_t byte);

// Pass-through that runs every byte read or written through CRC-32.  The
// register starts at 0xFFFFFFFF and is returned without final inversion
// (CRC-32/JAMCRC).  No tell or seek.  `inner` is borrowed.
class cIO_crc32 final : public cIO {
 public:
  explicit cIO_crc32(cIO* inner) : inner_(inner) {}
  int64_t read(void* dst, int64_t n) override;
  int64_t write(const void* src, int64_t n) override;
  uint32_t getCRC() const { return crc_; }

 private:
  cIO* inner_;
  uint32_t crc_ = 0xFFFFFFFFu;
};
std::unique_ptr<cIO_crc32> cIO_crc32_ctor(cIO* inner);
inline uint32_t cIO_crc32_getCRC(const cIO_crc32& stream) { return stream.getCRC(); }
