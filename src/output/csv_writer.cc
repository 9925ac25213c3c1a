#include "output/csv_writer.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "base/log.h"
#include "fs/fs.h"

namespace {
// Rows collected before they go to the file: a busy file costs one system
// call per block, and a reopen after eviction per block at most.
constexpr size_t kBlockSize = 16 * 1024;
// A writer starts small (a decoder may hold thousands of them, most with a
// few rows) and doubles while small; past kSmallCapacity it grows at once
// to a block and a line, so that a busy writer reallocates a few times, not
// once per doubling up to the block.
constexpr size_t kInitialCapacity = 256;
constexpr size_t kSmallCapacity = 2048;
}  // namespace

namespace {

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The six decimals of a fraction f in (0, 1), rounded as printf does (the
// exact binary value, ties to even); 1000000 when f rounds up to the next
// integer.  f = m * 2^-shift (m below 2^53) is scaled by 10^6 in 128-bit
// arithmetic.
uint32_t exactMicros(double fraction) {
  uint64_t bits;
  std::memcpy(&bits, &fraction, sizeof bits);
  int exponent = static_cast<int>((bits >> 52) & 0x7FF);
  if (exponent < 1000) return 0;  // below 2^-23: far below half a millionth
  uint64_t mantissa = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
  int shift = 1075 - exponent;  // fraction = mantissa * 2^-shift, shift in [53, 75]
  unsigned __int128 scaled = static_cast<unsigned __int128>(mantissa) * 1000000u;
  auto micros = static_cast<uint64_t>(scaled >> shift);
  unsigned __int128 rest = scaled - (static_cast<unsigned __int128>(micros) << shift);
  unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
  if (rest > half || (rest == half && (micros & 1) != 0)) ++micros;
  return static_cast<uint32_t>(micros);
}

// The same, usually from one double multiplication: f * 10^6 is below 2^20,
// so its rounding error is below 2^-33, and only a product that close to a
// half needs the exact arithmetic.
uint32_t roundMicros(double fraction) {
  constexpr double kUnsure = 1e-6;
  double scaled = fraction * 1e6;
  auto down = static_cast<uint32_t>(scaled);
  double rest = scaled - static_cast<double>(down);  // exact
  if (rest < 0.5 - kUnsure) return down;
  if (rest > 0.5 + kUnsure) return down + 1;
  return exactMicros(fraction);
}

unsigned digitCount(uint64_t value) {
  for (unsigned n = 1;; n += 4, value /= 10000) {
    if (value < 10) return n;
    if (value < 100) return n + 1;
    if (value < 1000) return n + 2;
    if (value < 10000) return n + 3;
  }
}

void writePair(char* out, uint64_t pair) { std::memcpy(out, kDigitPairs + 2 * pair, 2); }

// Decimal digits of `value`, written from the end with digit pairs.
template <typename Unsigned>
char* writeDigits(char* out, Unsigned value) {
  char* const end = out + digitCount(value);
  char* p = end;
  while (value >= 100) {
    p -= 2;
    writePair(p, value % 100);
    value /= 100;
  }
  if (value >= 10)
    writePair(p - 2, value);
  else
    p[-1] = static_cast<char>('0' + value);
  return end;
}

// Most integer parts (time stamps in seconds, signal values) fit in 32 bits,
// whose divisions are cheaper.
char* writeWhole(char* out, uint64_t value) {
  if (value <= UINT32_MAX) return writeDigits(out, static_cast<uint32_t>(value));
  return writeDigits(out, value);
}

// A finite, non-negative value below 2^63 split into its integer part and its
// six decimals, exactly as printf rounds it (a fraction that rounds up to one
// carries into the integer part).
void splitFixed(double value, uint64_t* whole, uint32_t* micros) {
  *whole = static_cast<uint64_t>(value);
  double fraction = value - static_cast<double>(*whole);  // exact
  *micros = fraction > 0.0 ? roundMicros(fraction) : 0;
  if (*micros == 1000000) {
    *micros = 0;
    ++*whole;
  }
}

char* writeMicros(char* out, uint32_t micros) {
  *out++ = '.';
  writePair(out, micros / 10000);
  writePair(out + 2, micros / 100 % 100);
  writePair(out + 4, micros % 100);
  return out + 6;
}

// Fixed notation with six decimals of a finite, non-negative value below 2^63.
char* formatFixedSmall(char* out, double value) {
  uint64_t whole;
  uint32_t micros;
  splitFixed(value, &whole, &micros);
  return writeMicros(writeWhole(out, whole), micros);
}

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
  double magnitude = std::fabs(value);
  if (magnitude < 9.2e18) {
    if (std::signbit(value)) *out++ = '-';  // also for -0.0 and values that round to 0
    return formatFixedSmall(out, magnitude);
  }
  // The longest fixed text of a finite double: sign, 309 digits, point, 6 decimals.
  return std::to_chars(out, out + kCsvMaxNumberLength, value, std::chars_format::fixed, 6).ptr;
}

// ---------------------------------------------------------------- pool

cCsvFilePool::cCsvFilePool(size_t maxOpen, cCsvOpenGate* gate)
    : maxOpen_(maxOpen < 1 ? 1 : maxOpen), gate_(gate) {}

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

cCsvWriter::cCsvWriter(const cFS& fs, std::string path, size_t columnCount, cCsvFilePool* pool)
    : fs_(fs), path_(std::move(path)), columnCount_(columnCount), pool_(pool) {
  capacity_ = kInitialCapacity;
  pending_ = newBuffer(&capacity_);
}

cCsvWriter::~cCsvWriter() { close(); }

void cCsvWriter::fail(const char* what, int err) {
  if (!error_) {
    std::string full;
    fs_.relativeToAbsolutePath(path_, &full);
    if (what == nullptr) {  // the file was never created: its path and why first
      LOG_ERROR("Output file %s: %s", full.c_str(), std::strerror(err));
      LOG_ERROR("Could not create output writer");
    } else {
      LOG_ERROR("Could not %s output file %s: %s", what, full.c_str(), std::strerror(err));
    }
  }
  error_ = true;
}

bool cCsvWriter::open() {
  errno = 0;
  if (pool_ != nullptr) pool_->makeRoom();
  file_ = fs_.open(path_, cFS::kAppend);
  // A rollback elsewhere (another worker's input) may have removed the
  // folder as empty since this writer made it: it is made again.
  for (int tries = 0; file_ == nullptr && errno == ENOENT && tries < 3; ++tries) {
    if (!fs_.mkdirs(cFS_getParentFolder(path_))) break;
    file_ = fs_.open(path_, cFS::kAppend);
  }
  if (file_ == nullptr) return false;
  if (pool_ != nullptr) pool_->add(this);
  return true;
}

bool cCsvWriter::flush() {
  if (used_ == 0) return true;
  size_t length = used_;
  used_ = 0;  // a block that cannot be written is dropped (and reported)
  // The journal knows the file before a block of an input reaches it,
  // whether the file is still open from the input before or not.
  cCsvOpenGate* gate = pool_ != nullptr ? pool_->gate_ : nullptr;
  errno = 0;
  if (!cleared_ && gate != nullptr && !gate->clearForWriting(*this)) {
    knownSize_ = -1;
    fail(file_ != nullptr ? "write" : appends_ ? "reopen" : nullptr, errno != 0 ? errno : EIO);
    return false;
  }
  if (file_ == nullptr) {
    if (!open()) {
      knownSize_ = -1;
      fail(appends_ ? "reopen" : nullptr, errno != 0 ? errno : EIO);
      return false;
    }
    if (!appends_) knownSize_ = 0;  // created (or replaced) empty
    appends_ = true;
  } else if (pool_ != nullptr) {
    pool_->touch(this);
  }
  errno = 0;
  if (file_->write(pending_.get(), static_cast<int64_t>(length)) != static_cast<int64_t>(length)) {
    knownSize_ = -1;
    fail("write", errno != 0 ? errno : EIO);
    return false;
  }
  if (knownSize_ >= 0 && !error_) knownSize_ += static_cast<int64_t>(length);
  return true;
}

void cCsvWriter::suspend() {
  if (file_ == nullptr) return;
  flush();
  if (pool_ != nullptr) pool_->remove(this);
  errno = 0;
  if (file_->close() != 0) fail("write", errno != 0 ? errno : EIO);
  file_.reset();
}

bool cCsvWriter::close() {
  flush();
  suspend();
  return !error_;
}

void cCsvWriter::discard() {
  used_ = 0;
  if (file_ == nullptr) return;
  if (pool_ != nullptr) pool_->remove(this);
  file_->close();
  file_.reset();
}

void cCsvWriter::ReleaseBuffer::operator()(char* bytes) const {
  if (pool != nullptr)
    pool->give(bytes, size);
  else
    delete[] bytes;
}

cCsvWriter::Buffer cCsvWriter::newBuffer(size_t* capacity) {
  if (pool_ != nullptr && *capacity >= kBlockSize) {
    size_t granted = 0;
    if (char* block = pool_->blocks_.take(*capacity, &granted)) {
      *capacity = granted;
      return Buffer(block, ReleaseBuffer{&pool_->blocks_, granted});
    }
  }
  return Buffer(new char[*capacity], ReleaseBuffer{nullptr, 0});
}

char* cCsvWriter::reserve(size_t n) {
  if (capacity_ - used_ < n) {
    const size_t grown = capacity_ < kSmallCapacity ? capacity_ * 2 : kBlockSize + n;
    size_t capacity = std::max(grown, used_ + n);
    Buffer bigger = newBuffer(&capacity);
    std::memcpy(bigger.get(), pending_.get(), used_);
    pending_ = std::move(bigger);
    capacity_ = capacity;
  }
  return pending_.get() + used_;
}

char* cCsvWriter::formatTimeStamp(char* out, double timeStamp) {
  if (!(timeStamp >= 0.0 && timeStamp < 9.2e18) || std::signbit(timeStamp))
    return cCsvWriter_formatNumber(out, timeStamp);
  // Rows of a file mostly fall in the same second: its digits are kept.
  uint64_t whole;
  uint32_t micros;
  splitFixed(timeStamp, &whole, &micros);
  if (whole != lastSecond_ || lastSecondLength_ == 0) {
    lastSecond_ = whole;
    lastSecondLength_ = static_cast<uint8_t>(writeWhole(lastSecondText_, whole) - lastSecondText_);
  }
  std::memcpy(out, lastSecondText_, sizeof lastSecondText_);
  return writeMicros(out + lastSecondLength_, micros);
}

void cCsvWriter::formatRow(double timeStamp, std::span<const double> values) {
  // Room for the longest line, so that the numbers go straight in.
  char* const start = reserve((values.size() + 1) * (kCsvMaxNumberLength + 1) + 1);
  char* p = formatTimeStamp(start, timeStamp);
  if (lastNumbers_.size() != values.size()) lastNumbers_.assign(values.size(), LastNumber{});
  LastNumber* last = lastNumbers_.data();
  for (double v : values) {
    *p++ = ',';
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    if (last->length != 0 && last->bits == bits) {
      // Every number has room for kCsvMaxNumberLength bytes: copy all 23.
      std::memcpy(p, last->text, sizeof last->text);
      p += last->length;
    } else {
      char* end = cCsvWriter_formatNumber(p, v);
      const auto length = static_cast<size_t>(end - p);
      last->bits = bits;
      last->length = length <= sizeof last->text ? static_cast<uint8_t>(length) : 0;
      std::memcpy(last->text, p, std::min(length, sizeof last->text));
      p = end;
    }
    ++last;
  }
  *p++ = '\n';
  used_ += static_cast<size_t>(p - start);
}

bool cCsvWriter::write(double timeStamp, std::span<const double> values) {
  if (values.size() != columnCount_) return false;
  if (columnCount_ == 0) return true;  // a row without values has no line
  formatRow(timeStamp, values);
  if (used_ < kBlockSize) return true;
  return flush();
}

std::unique_ptr<cCsvWriter> cCsvWriter_ctor(const cFS& fs, std::string_view path,
                                            std::span<const std::string_view> columns,
                                            bool append, cCsvFilePool* pool) {
  if (path.empty()) return nullptr;
  std::string fileName(path);
  fileName += ".csv";
  std::unique_ptr<cCsvWriter> writer(new cCsvWriter(fs, std::move(fileName), columns.size(), pool));
  writer->appends_ = append;
  if (append) return writer;
  std::string header = "t";
  for (std::string_view name : columns) {
    header += ',';
    header += name;
  }
  header += '\n';
  std::memcpy(writer->reserve(header.size()), header.data(), header.size());
  writer->used_ = header.size();
  return writer;
}
