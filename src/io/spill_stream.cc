// Memory stream that moves into an unnamed temporary file past a size.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "io/io.h"

namespace {

int openUnnamed(const std::string& folder) {
  return ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

}  // namespace

bool cIO_spill::store(const uint8_t* p, uint64_t n, uint64_t at) {
  while (n > 0) {
    const ssize_t put = ::pwrite(fd_, p, n, static_cast<off_t>(at));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      storageError_ = put < 0 ? errno : ENOSPC;
      return false;
    }
    p += put;
    at += static_cast<uint64_t>(put);
    n -= static_cast<uint64_t>(put);
  }
  return true;
}

cIO_spill::cIO_spill(uint64_t memoryBytes, std::string folder)
    : memoryBytes_(memoryBytes), folder_(std::move(folder)), memory_(cIO_memoryAlloc_ctor()) {}

cIO_spill::~cIO_spill() { close(); }

bool cIO_spill::spill() {
  if (fd_ >= 0) return true;
  if (!folder_.empty()) fd_ = openUnnamed(folder_);
  if (fd_ < 0) {
    const char* tmp = std::getenv("TMPDIR");
    fd_ = openUnnamed(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
  }
  if (fd_ < 0) {
    storageError_ = errno;
    return false;
  }
  const std::span<const uint8_t> bytes = memory_->data();
  if (!store(bytes.data(), bytes.size(), 0)) {
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  size_ = bytes.size();
  position_ = static_cast<uint64_t>(memory_->tell());
  memory_.reset();
  return true;
}

bool cIO_spill::reserve(uint64_t bytes) {
  if (fd_ >= 0) return true;
  return bytes > memoryBytes_ ? spill() : memory_->reserve(bytes);
}

std::span<const uint8_t> cIO_spill::data() const {
  return memory_ ? memory_->data() : std::span<const uint8_t>{};
}

int64_t cIO_spill::read(void* dst, int64_t n) {
  if (memory_) return memory_->read(dst, n);
  if (fd_ < 0 || n < 0) return -1;
  if (position_ >= size_) return 0;
  const uint64_t want = std::min<uint64_t>(static_cast<uint64_t>(n), size_ - position_);
  ssize_t got;
  do got = ::pread(fd_, dst, want, static_cast<off_t>(position_));
  while (got < 0 && errno == EINTR);
  if (got < 0) {
    if (readError_ == 0) readError_ = errno;
    return -1;
  }
  position_ += static_cast<uint64_t>(got);
  return got;
}

int64_t cIO_spill::write(const void* src, int64_t n) {
  if (n < 0) return -1;
  if (memory_ && static_cast<uint64_t>(memory_->tell()) + static_cast<uint64_t>(n) > memoryBytes_ &&
      !spill())
    return -1;
  if (memory_) return memory_->write(src, n);
  if (fd_ < 0 || !store(static_cast<const uint8_t*>(src), static_cast<uint64_t>(n), position_))
    return -1;
  position_ += static_cast<uint64_t>(n);
  if (position_ > size_) size_ = position_;
  return n;
}

int64_t cIO_spill::tell() {
  if (memory_) return memory_->tell();
  return fd_ < 0 ? -1 : static_cast<int64_t>(position_);
}

int64_t cIO_spill::seek(int64_t offset, int32_t origin) {
  if (memory_) return memory_->seek(offset, origin);
  if (fd_ < 0) return -1;
  int64_t target;
  switch (origin) {
    case kSeekSet: target = offset; break;
    case kSeekCur: target = static_cast<int64_t>(position_) + offset; break;
    case kSeekEnd: target = static_cast<int64_t>(size_) + offset; break;
    default: return -1;
  }
  if (target < 0) return -1;
  // Seeking past the end from the end extends the stream with zero bytes.
  if (origin == kSeekEnd && static_cast<uint64_t>(target) > size_) {
    if (::ftruncate(fd_, target) != 0) return -1;
    size_ = static_cast<uint64_t>(target);
  }
  position_ = static_cast<uint64_t>(target);
  return target;
}

int32_t cIO_spill::close() {
  int32_t result = 0;
  if (memory_) result = memory_->close();
  memory_.reset();
  if (fd_ >= 0 && ::close(fd_) != 0) result = -1;
  fd_ = -1;
  return result;
}
