#include "output/csv_writer.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "app/log.h"

namespace {
// stdio buffer of an open output file: large enough that a busy file costs a
// system call only every few hundred rows.
constexpr size_t kFileBufferSize = 64 * 1024;
constexpr size_t kInitialLineCapacity = 256;
}  // namespace

char* cCsvWriter_formatNumber(char* out, double value) {
  if (std::isnan(value)) {
    std::memcpy(out, "NaN", 3);
    return out + 3;
  }
  if (std::isinf(value)) {
    if (value < 0) *out++ = '-';
    std::memcpy(out, "Inf", 3);
    return out + 3;
  }
  // The longest fixed text of a finite double: sign, 309 digits, point, 6 decimals.
  auto res = std::to_chars(out, out + kCsvMaxNumberLength, value, std::chars_format::fixed, 6);
  return res.ptr;
}

// ---------------------------------------------------------------- pool

cCsvFilePool::cCsvFilePool(size_t maxOpen) : maxOpen_(maxOpen < 1 ? 1 : maxOpen) {}

void cCsvFilePool::makeRoom() {
  while (lru_.size() >= maxOpen_) lru_.back()->suspend();  // suspend() removes it
}

void cCsvFilePool::add(cCsvWriter* writer) {
  lru_.push_front(writer);
  writer->poolPos_ = lru_.begin();
}

void cCsvFilePool::touch(cCsvWriter* writer) {
  if (writer->poolPos_ != lru_.begin()) lru_.splice(lru_.begin(), lru_, writer->poolPos_);
}

void cCsvFilePool::remove(cCsvWriter* writer) { lru_.erase(writer->poolPos_); }

// ---------------------------------------------------------------- writer

cCsvWriter::cCsvWriter(std::string path, size_t columnCount, cCsvFilePool* pool)
    : path_(std::move(path)), columnCount_(columnCount), pool_(pool) {
  line_.resize(kInitialLineCapacity);
}

cCsvWriter::~cCsvWriter() { close(); }

void cCsvWriter::fail(const char* what, int err) {
  if (!error_) LOG_ERROR("Could not %s output file %s: %s", what, path_.c_str(), std::strerror(err));
  error_ = true;
}

bool cCsvWriter::open(const char* mode) {
  if (pool_ != nullptr) pool_->makeRoom();
  file_ = std::fopen(path_.c_str(), mode);
  if (file_ == nullptr) return false;
  fileBuffer_ = std::make_unique<char[]>(kFileBufferSize);
  std::setvbuf(file_, fileBuffer_.get(), _IOFBF, kFileBufferSize);
  if (pool_ != nullptr) pool_->add(this);
  return true;
}

void cCsvWriter::suspend() {
  if (file_ == nullptr) return;
  if (pool_ != nullptr) pool_->remove(this);
  errno = 0;
  bool ok = std::fflush(file_) == 0;
  int err = errno;
  if (std::fclose(file_) != 0 && ok) {
    ok = false;
    err = errno;
  }
  file_ = nullptr;
  fileBuffer_.reset();
  if (!ok) fail("write", err != 0 ? err : EIO);
}

bool cCsvWriter::close() {
  suspend();
  return !error_;
}

size_t cCsvWriter::formatRow(double timeStamp, std::span<const double> values) {
  size_t need = (values.size() + 1) * (kCsvMaxNumberLength + 1) + 1;
  if (line_.size() < need) line_.resize(need);
  char* p = cCsvWriter_formatNumber(line_.data(), timeStamp);
  for (double v : values) {
    *p++ = ',';
    p = cCsvWriter_formatNumber(p, v);
  }
  *p++ = '\n';
  return static_cast<size_t>(p - line_.data());
}

bool cCsvWriter::write(double timeStamp, std::span<const double> values) {
  if (values.size() != columnCount_) return false;
  if (columnCount_ == 0) return true;  // a row without values has no line
  size_t length = formatRow(timeStamp, values);
  if (file_ == nullptr) {
    if (!open("ab")) {
      fail("reopen", errno);
      return false;
    }
  } else if (pool_ != nullptr) {
    pool_->touch(this);
  }
  errno = 0;
  if (std::fwrite(line_.data(), 1, length, file_) != length) {
    fail("write", errno != 0 ? errno : EIO);
    return false;
  }
  return true;
}

std::unique_ptr<cCsvWriter> cCsvWriter_ctor(std::string_view path,
                                            std::span<const std::string_view> columns,
                                            bool append, cCsvFilePool* pool) {
  if (path.empty()) return nullptr;
  std::string fileName(path);
  fileName += ".csv";
  std::unique_ptr<cCsvWriter> writer(new cCsvWriter(std::move(fileName), columns.size(), pool));
  if (!writer->open(append ? "ab" : "wb")) return nullptr;
  if (append) return writer;
  std::string header = "t";
  for (std::string_view name : columns) {
    header += ',';
    header += name;
  }
  header += '\n';
  if (std::fwrite(header.data(), 1, header.size(), writer->file_) != header.size())
    writer->fail("write", errno != 0 ? errno : EIO);
  return writer;
}
