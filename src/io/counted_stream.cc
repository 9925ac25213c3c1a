// Pass-through stream that counts the bytes read through it.
#include "io/io.h"

namespace {

class CountedStream final : public cIO {
 public:
  CountedStream(std::unique_ptr<cIO> inner, uint64_t* bytesRead, std::function<void()> onMegabyte)
      : inner_(std::move(inner)), bytesRead_(bytesRead), onMegabyte_(std::move(onMegabyte)) {}

  int64_t read(void* dst, int64_t n) override {
    const int64_t got = inner_->read(dst, n);
    if (got <= 0) return got;
    const uint64_t before = *bytesRead_;
    *bytesRead_ += static_cast<uint64_t>(got);
    if ((before >> 20) != (*bytesRead_ >> 20) && onMegabyte_) onMegabyte_();
    return got;
  }
  int64_t write(const void* src, int64_t n) override { return inner_->write(src, n); }
  int64_t tell() override { return inner_->tell(); }
  int64_t seek(int64_t offset, int32_t origin) override { return inner_->seek(offset, origin); }
  int64_t getSize() override { return inner_->getSize(); }
  int32_t close() override { return inner_->close(); }
  int readError() const override { return inner_->readError(); }

 private:
  std::unique_ptr<cIO> inner_;
  uint64_t* bytesRead_;
  std::function<void()> onMegabyte_;
};

}  // namespace

std::unique_ptr<cIO> cIO_counted_ctor(std::unique_ptr<cIO> inner, uint64_t* bytesRead,
                                      std::function<void()> onMegabyte) {
  if (!inner || bytesRead == nullptr) return nullptr;
  return std::make_unique<CountedStream>(std::move(inner), bytesRead, std::move(onMegabyte));
}
