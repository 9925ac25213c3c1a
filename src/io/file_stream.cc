// File stream over stdio.  The tracked position lets a seek to the current
// position return at once, so that field-by-field readers that seek before
// every field make no system call for it.
#include <cstdio>

#include "io/io.h"

namespace {

class FileStream final : public cIO {
 public:
  FileStream(std::FILE* f, bool canRead, bool canWrite)
      : file_(f), canRead_(canRead), canWrite_(canWrite) {}
  ~FileStream() override { close(); }

  int64_t read(void* dst, int64_t n) override {
    if (!canRead_) return kMissing;
    if (file_ == nullptr || n < 0) return -1;
    size_t got = std::fread(dst, 1, static_cast<size_t>(n), file_);
    position_ += got;
    return static_cast<int64_t>(got);
  }

  int64_t write(const void* src, int64_t n) override {
    if (!canWrite_) return kMissing;
    if (file_ == nullptr || n < 0) return -1;
    size_t put = std::fwrite(src, 1, static_cast<size_t>(n), file_);
    position_ += put;
    return static_cast<int64_t>(put);
  }

  int64_t tell() override {
    if (file_ == nullptr) return -1;
    return static_cast<int64_t>(std::ftell(file_));
  }

  int64_t seek(int64_t offset, int32_t origin) override {
    if (file_ == nullptr || origin < 0 || origin > 2) return -1;
    if (origin == kSeekSet && offset >= 0 && static_cast<uint64_t>(offset) == position_)
      return offset;
    static constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    int r = std::fseek(file_, static_cast<long>(offset), kWhence[origin]);
    if (r != 0) return r < 0 ? r : -1;
    long pos = std::ftell(file_);
    if (pos < 0) return -1;
    position_ = static_cast<uint64_t>(pos);
    return pos;
  }

  int32_t close() override {
    if (file_ == nullptr) return 0;
    int r = std::fclose(file_);
    file_ = nullptr;  // fclose releases the handle even when it reports failure
    return r;
  }

 private:
  std::FILE* file_;
  bool canRead_;
  bool canWrite_;
  uint64_t position_ = 0;
};

}  // namespace

std::unique_ptr<cIO> cIO_file_open(const char* path, int mode) {
  static constexpr const char* kModes[] = {"rb", "wb", "r+b", "ab"};
  if (path == nullptr || mode < 0 || mode > 3) return nullptr;
  std::FILE* f = std::fopen(path, kModes[mode]);
  if (f == nullptr) return nullptr;
  // Appenders hand over whole blocks: one system call each, nothing held back.
  if (mode == 3) std::setvbuf(f, nullptr, _IONBF, 0);
  return std::make_unique<FileStream>(f, mode != 1, mode != 0);
}
