// Window onto part of another stream, and the CRC-32 pass-through.
#include <array>

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

const std::array<uint32_t, 256>& crcTable() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  return table;
}

}  // namespace

std::unique_ptr<cIO> cIO_scoped_ctor(cIO* inner, int64_t start, int64_t end) {
  return std::make_unique<ScopedStream>(inner, start, end);
}

uint32_t update_crc_32(uint32_t crc, uint8_t byte) {
  return (crc >> 8) ^ crcTable()[(crc ^ byte) & 0xFFu];
}

int64_t cIO_crc32::read(void* dst, int64_t n) {
  if (inner_ == nullptr) return -1;
  int64_t got = inner_->read(dst, n);
  const auto* p = static_cast<const uint8_t*>(dst);
  const auto& table = crcTable();
  uint32_t crc = crc_;
  for (int64_t i = 0; i < got; ++i) crc = (crc >> 8) ^ table[(crc ^ p[i]) & 0xFFu];
  crc_ = crc;
  return got;
}

int64_t cIO_crc32::write(const void* src, int64_t n) {
  if (inner_ == nullptr) return -1;
  int64_t put = inner_->write(src, n);
  const auto* p = static_cast<const uint8_t*>(src);
  for (int64_t i = 0; i < put; ++i) crc_ = update_crc_32(crc_, p[i]);
  return put;
}

std::unique_ptr<cIO_crc32> cIO_crc32_ctor(cIO* inner) {
  if (inner == nullptr) return nullptr;
  return std::make_unique<cIO_crc32>(inner);
}
