// File streams.  Reading goes through two small windows of its own filled
// with positioned reads: the block loader of a log visits the blocks of its
// tree one field at a time, and a seek is then only a number, never a system
// call.
// Appending is a descriptor opened with O_APPEND: every block is one write
// at the file's end, with no stdio buffer, no seek and no lock shared with
// other threads' files in between.  Other writing goes through stdio; its
// tracked position lets a seek to the current position return at once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "io/io.h"

namespace {

// cIO's seek origins in the order of their values.
constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};

// A stream on a file descriptor of its own.
class DescriptorFile : public cIO {
 public:
  explicit DescriptorFile(int fd) : fd_(fd) {}
  ~DescriptorFile() override { DescriptorFile::close(); }

  int32_t close() final {
    if (fd_ < 0) return 0;
    const int r = ::close(fd_);
    fd_ = -1;  // the descriptor is released even when close reports failure
    return r == 0 ? 0 : -1;
  }

 protected:
  int fd_;
};

class ReadFile final : public DescriptorFile {
 public:
  using DescriptorFile::DescriptorFile;

  int64_t read(void* dst, int64_t n) override {
    if (fd_ < 0 || n < 0) return -1;
    auto* out = static_cast<uint8_t*>(dst);
    int64_t done = 0;
    while (done < n) {
      if (!covers(windows_[current_]) && covers(windows_[current_ ^ 1])) current_ ^= 1;
      const Window& w = windows_[current_];
      if (covers(w)) {
        const int64_t at = position_ - w.start;
        const int64_t take = std::min(w.fill - at, n - done);
        std::memcpy(out + done, w.bytes + at, static_cast<size_t>(take));
        position_ += take;
        done += take;
        continue;
      }
      // Large reads go straight to the caller.
      if (n - done >= kWindow) {
        const int64_t got = readAt(position_, out + done, n - done);
        if (got < 0) return done > 0 ? done : -1;
        if (got == 0) break;
        position_ += got;
        done += got;
        continue;
      }
      // Small ones fill the window used less recently, from the page the
      // position lies in.
      Window& fill = windows_[current_ ^ 1];
      const int64_t start = position_ & ~(kPage - 1);
      const int64_t got = readAt(start, fill.bytes, kWindow);
      if (got < 0) return done > 0 ? done : -1;
      fill.start = start;
      fill.fill = got;
      current_ ^= 1;
      if (!covers(fill)) break;  // the position is at or past the end
    }
    return done;
  }

  int64_t tell() override { return fd_ < 0 ? -1 : position_; }
  int readError() const override { return readError_; }

  int64_t seek(int64_t offset, int32_t origin) override {
    if (fd_ < 0) return -1;
    int64_t base = 0;
    if (origin == kSeekCur) {
      base = position_;
    } else if (origin == kSeekEnd) {
      base = getSize();
      if (base < 0) return -1;
    } else if (origin != kSeekSet) {
      return -1;
    }
    if (offset < 0 && base < -offset) return -1;
    position_ = base + offset;
    return position_;
  }

  // Only a regular file has a size; a pipe or a terminal has none to seek
  // to.  A log is read as it was when first asked for its size: the block
  // loader asks before every block, and one fstat then serves them all.
  int64_t getSize() override {
    if (fd_ < 0) return -1;
    if (size_ >= 0) return size_;
    struct stat st {};
    if (fstat(fd_, &st) != 0) return -1;
    if (!S_ISREG(st.st_mode)) {
      errno = ESPIPE;
      return -1;
    }
    size_ = static_cast<int64_t>(st.st_size);
    return size_;
  }

 private:
  // Two windows: the block loader reads the header blocks at the start of a
  // log, a data block's header further on, then blocks near the start again
  // (one positioned read for each jump with a single window).
  static constexpr int64_t kWindow = 16 * 1024;
  static constexpr int64_t kPage = 4096;
  struct Window {
    int64_t start = 0;
    int64_t fill = 0;  // bytes read into it
    uint8_t bytes[kWindow];
  };
  bool covers(const Window& w) const {
    return position_ >= w.start && position_ < w.start + w.fill;
  }

  int64_t readAt(int64_t at, uint8_t* dst, int64_t n) {
    for (;;) {
      const ssize_t got = pread(fd_, dst, static_cast<size_t>(n), static_cast<off_t>(at));
      if (got >= 0) return got;
      if (errno == EINTR) continue;
      if (readError_ == 0) readError_ = errno;
      return got;
    }
  }

  int64_t size_ = -1;  // the file's size once asked for
  int readError_ = 0;
  int64_t position_ = 0;
  Window windows_[2];
  int current_ = 0;  // the window used last
};

class AppendFile final : public DescriptorFile {
 public:
  using DescriptorFile::DescriptorFile;

  // All of `n` bytes, or as many as went out before a failure (errno set);
  // -1 when none did.
  int64_t write(const void* src, int64_t n) override {
    if (fd_ < 0 || n < 0) return -1;
    const auto* in = static_cast<const uint8_t*>(src);
    int64_t done = 0;
    while (done < n) {
      const ssize_t put = ::write(fd_, in + done, static_cast<size_t>(n - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        if (put == 0) errno = EIO;
        return done > 0 ? done : -1;
      }
      done += put;
    }
    return done;
  }

  // The descriptor's offset; whatever it is, a write goes to the end.
  int64_t tell() override { return seek(0, kSeekCur); }
  int64_t seek(int64_t offset, int32_t origin) override {
    if (fd_ < 0 || origin < 0 || origin > 2) return -1;
    return static_cast<int64_t>(lseek(fd_, static_cast<off_t>(offset), kWhence[origin]));
  }
};

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
  if (mode == 0) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    // A folder opens for reading, but no read gives it: say so here.
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd);
      errno = EISDIR;
      return nullptr;
    }
    return std::make_unique<ReadFile>(fd);
  }
  if (mode == 3) {
    // Appenders hand over whole blocks: one system call each, nothing held back.
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    return std::make_unique<AppendFile>(fd);
  }
  std::FILE* f = std::fopen(path, kModes[mode]);
  if (f == nullptr) return nullptr;
  return std::make_unique<FileStream>(f, mode != 1, mode != 0);
}
