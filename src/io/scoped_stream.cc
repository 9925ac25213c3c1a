// Window onto part of another stream, and the CRC-32 pass-through.
#include <zlib.h>

#include "io/io.h"

namespace {

class ScopedStream final : public cIO {
 public:
  ScopedStream(cIO* inner, int64_t start, int64_t end) : inner_(inner), start_(start), end_(end) {
    if (inner_ != nullptr) inner_->seek(start_, kSeekSet);
  }

  int64_t read(void* dst, int64_t n) override {
    if (inner_ == nullptr) return -1;
    return inner_->read(dst, clampCount(n));
  }

  int64_t write(const void* src, int64_t n) override {
    if (inner_ == nullptr) return -1;
    return inner_->write(src, clampCount(n));
  }

  int64_t tell() override {
    if (inner_ == nullptr) return -1;
    int64_t pos = inner_->tell();
    if (pos < 0 || (hasEnd() && pos > end_)) return -1;
    return pos - start_;
  }

  int64_t seek(int64_t offset, int32_t origin) override {
    if (inner_ == nullptr) return -1;
    int64_t target;
    switch (origin) {
      case kSeekSet: target = start_ + offset; break;
      case kSeekCur: {
        int64_t pos = inner_->tell();
        if (pos < 0) return -1;
        target = pos + offset;
        break;
      }
      case kSeekEnd: target = (hasEnd() ? end_ : inner_->getSize()) + offset; break;
      default: return -1;
    }
    if (hasEnd() && target > end_) target = end_;
    if (target < start_) target = start_;
    if (target < 0) return -1;
    if (inner_->seek(target, kSeekSet) != target) return -1;
    return target - start_;
  }

 private:
  bool hasEnd() const { return end_ >= 1; }

  int64_t clampCount(int64_t n) {
    if (!hasEnd()) return n;
    int64_t pos = inner_->tell();
    if (pos < 0) return 0;
    int64_t room = end_ - pos;
    if (room < 0) room = 0;
    return n < room ? n : room;
  }

  cIO* inner_;
  int64_t start_;
  int64_t end_;
};

// zlib's CRC-32 is the same reflected polynomial with the register inverted
// before and after; these streams keep the register itself.
uint32_t crcOver(uint32_t crc, const void* bytes, int64_t n) {
  if (n <= 0) return crc;
  return ~static_cast<uint32_t>(
      ::crc32_z(~crc, static_cast<const Bytef*>(bytes), static_cast<z_size_t>(n)));
}

}  // namespace

std::unique_ptr<cIO> cIO_scoped_ctor(cIO* inner, int64_t start, int64_t end) {
  return std::make_unique<ScopedStream>(inner, start, end);
}

uint32_t update_crc_32(uint32_t crc, uint8_t byte) { return crcOver(crc, &byte, 1); }

int64_t cIO_crc32::read(void* dst, int64_t n) {
  if (inner_ == nullptr) return -1;
  const int64_t got = inner_->read(dst, n);
  crc_ = crcOver(crc_, dst, got);
  return got;
}

int64_t cIO_crc32::write(const void* src, int64_t n) {
  if (inner_ == nullptr) return -1;
  const int64_t put = inner_->write(src, n);
  crc_ = crcOver(crc_, src, put);
  return put;
}

std::unique_ptr<cIO_crc32> cIO_crc32_ctor(cIO* inner) {
  if (inner == nullptr) return nullptr;
  return std::make_unique<cIO_crc32>(inner);
}
