// Read-ahead buffer: a window of `capacity` bytes over an inner stream.  Reads
// and seeks inside the window never touch the inner stream.  A window that
// continues the previous one (sequential reading) or covers the whole stream
// is filled completely; one that a jump elsewhere starts takes only
// kJumpBytes, so that readers alternating between distant places (the data
// groups of a log) do not read a whole window for each visit.
#include <cstring>
#include <new>

#include "io/io.h"

namespace {

constexpr int64_t kJumpBytes = 64 * 1024;

class BufferStream final : public cIO {
 public:
  BufferStream(cIO* inner, std::unique_ptr<cIO> owned, std::unique_ptr<uint8_t[]> storage,
               uint8_t* window, int64_t capacity)
      : inner_(inner), owned_(std::move(owned)), storage_(std::move(storage)),
        window_(window), capacity_(capacity), innerSize_(inner->getSize()) {}
  ~BufferStream() override { close(); }

  int64_t read(void* dst, int64_t n) override {
    if (n <= 0) return n == 0 ? 0 : -1;
    auto* out = static_cast<uint8_t*>(dst);
    int64_t done = 0;
    while (done < n) {
      if (position_ >= fill_) {
        if (!refill(start_ + position_)) break;
      }
      int64_t take = std::min(fill_ - position_, n - done);
      std::memcpy(out + done, window_ + position_, static_cast<size_t>(take));
      position_ += take;
      done += take;
    }
    return done;
  }

  int64_t tell() override { return start_ + position_; }
  int readError() const override { return inner_ != nullptr ? inner_->readError() : 0; }
  // The inner stream's size when the buffer was made: an input being read
  // does not change, and the block loader asks for the size at every block.
  int64_t getSize() override {
    if (innerSize_ >= 0) return innerSize_;
    return inner_ != nullptr ? inner_->getSize() : -1;
  }

  int64_t seek(int64_t offset, int32_t origin) override {
    int64_t target;
    switch (origin) {
      case kSeekSet: target = offset; break;
      case kSeekCur: target = start_ + position_ + offset; break;
      case kSeekEnd:
        if (innerSize_ >= 0) {
          target = innerSize_ + offset;
        } else {
          if (inner_ == nullptr || inner_->seek(offset, kSeekEnd) < 0) return -1;
          target = inner_->tell();
        }
        break;
      default: return -1;
    }
    if (target < 0) return -1;
    if (target >= start_ && target <= start_ + fill_) {
      position_ = target - start_;
      return target;
    }
    if (refill(target)) return target;
    if (inner_ != nullptr && target == getSize()) {
      start_ = target;
      fill_ = 0;
      position_ = 0;
      return target;
    }
    return start_ + position_;
  }

  int32_t close() override {
    if (owned_) {
      int32_t r = cIO_close(owned_);
      if (r != 0) return r;
    }
    inner_ = nullptr;
    return 0;
  }

 private:
  // Loads the window at inner offset `at`; false (window unchanged) when the
  // inner stream yields nothing there.
  bool refill(int64_t at) {
    if (inner_ == nullptr) return false;
    if (inner_->seek(at, kSeekSet) != at) return false;
    const bool sequential = at == start_ + fill_ || capacity_ >= innerSize_;
    int64_t got = inner_->read(window_, sequential ? capacity_ : std::min(capacity_, kJumpBytes));
    if (got < 1) return false;
    start_ = at;
    fill_ = got;
    position_ = 0;
    return true;
  }

  cIO* inner_;
  std::unique_ptr<cIO> owned_;
  std::unique_ptr<uint8_t[]> storage_;
  uint8_t* window_;
  int64_t capacity_;
  int64_t innerSize_;  // -1 when unknown: every window is then filled completely
  int64_t fill_ = 0;
  int64_t position_ = 0;
  int64_t start_ = 0;
};

std::unique_ptr<cIO> makeAlloc(cIO* inner, std::unique_ptr<cIO> owned, int64_t size) {
  // The window is a whole number of 8-byte words: a size that cannot be
  // rounded up to one is refused like any other that cannot be allocated.
  if (inner == nullptr || size < 1 || size > INT64_MAX - 7) return nullptr;
  int64_t capacity = (size + 7) & ~int64_t{7};
  std::unique_ptr<uint8_t[]> storage(new (std::nothrow) uint8_t[static_cast<size_t>(capacity)]);
  if (!storage) return nullptr;
  uint8_t* window = storage.get();
  return std::make_unique<BufferStream>(inner, std::move(owned), std::move(storage), window,
                                        capacity);
}

}  // namespace

std::unique_ptr<cIO> cIO_bufferAlloc_ctor(std::unique_ptr<cIO> inner, int64_t size) {
  cIO* raw = inner.get();
  return makeAlloc(raw, std::move(inner), size);
}

std::unique_ptr<cIO> cIO_bufferAlloc_ctor(cIO* inner, int64_t size) {
  return makeAlloc(inner, nullptr, size);
}
