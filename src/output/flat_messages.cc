#include "output/flat_messages.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "db/decode.h"

namespace {
constexpr uint64_t kMix = 0x9E3779B97F4A7C15u;
constexpr size_t kInitialSlots = 256;
// Entries kept at most: past them the table starts over, so that a log of
// millions of distinct identifiers (most in no database) cannot fill memory.
// The signals of dropped entries stay: a writing thread may still read them.
constexpr size_t kMaxEntries = size_t{1} << 16;
// Longest payload with one-load extraction: a CAN FD frame.
constexpr uint32_t kMaxFastLength = 64;

uint64_t hashOf(const cDB& db, uint32_t key) {
  return (reinterpret_cast<uintptr_t>(&db) * kMix ^ key) * kMix;
}

// The physical value of a field's integer, as every row computes it.
inline double physical(const cFlatSignal& s, double number) {
  return number * s.params.factor + s.params.offset;
}
// A value, or NaN outside its limits; counts the values within them.
inline double limited(const cFlatSignal& s, double value, int64_t* inLimits) {
  if (s.limits.hold(value)) {
    ++*inLimits;
    return value;
  }
  return std::numeric_limits<double>::quiet_NaN();
}
// The values of a field's smallest and largest integers.  With a finite
// factor, rounding keeps the order of the integers (or reverses it, for a
// negative factor), so every value of the field lies between these two.
// An infinite factor makes 0 NaN between two infinite ends.
double lowestValue(const cFlatSignal& s) {
  const uint32_t n = s.params.bitLength;
  return physical(s, s.isSigned ? -std::ldexp(1.0, static_cast<int>(n) - 1) : 0.0);
}
double highestValue(const cFlatSignal& s) {
  const uint32_t n = s.params.bitLength;
  const uint64_t top = s.isSigned ? (uint64_t{1} << (n - 1)) - 1 : ~uint64_t{0} >> (64 - n);
  return physical(s, static_cast<double>(top));
}
}  // namespace

cFlatMessage& cFlatMessageTable::find(const cDB& db, uint32_t key) {
  const size_t mask = slots_.size() - 1;
  if (!slots_.empty()) {
    for (size_t i = hashOf(db, key) >> 32 & mask;; i = (i + 1) & mask) {
      cFlatMessage& entry = slots_[i];
      if (entry.db == &db && entry.key == key) return entry;
      if (entry.db == nullptr) break;
    }
  }
  cFlatMessage& entry = slot(db, key);
  fill(entry, db, key);
  return entry;
}

// A free slot for a new entry, growing the table to keep it at most half full.
cFlatMessage& cFlatMessageTable::slot(const cDB& db, uint32_t key) {
  if (used_ >= kMaxEntries) {
    slots_.assign(slots_.size(), cFlatMessage{});
    used_ = 0;
  }
  if (2 * (used_ + 1) > slots_.size()) {
    std::vector<cFlatMessage> old(std::max(kInitialSlots, 2 * slots_.size()));
    old.swap(slots_);
    used_ = 0;
    for (cFlatMessage& entry : old)
      if (entry.db != nullptr) slot(*entry.db, entry.key) = entry;
  }
  const size_t mask = slots_.size() - 1;
  size_t i = hashOf(db, key) >> 32 & mask;
  while (slots_[i].db != nullptr) i = (i + 1) & mask;
  ++used_;
  slots_[i].db = &db;
  slots_[i].key = key;
  return slots_[i];
}

void cFlatMessageTable::fill(cFlatMessage& entry, const cDB& db, uint32_t key) {
  const cDBMessage* message = cDB_messageFind(&db, key);
  entry.message = message;
  entry.busKind = db.busKind();
  if (message != nullptr) {
    entry.nameHash = message->nameHash;
    entry.ignored = message->ignored != 0;
  }
  if (message == nullptr || message->ignored != 0 || message->signals.empty()) return;
  for (const cDBSignal& s : message->signals)
    if (s.isMultiplexor()) return;
  entry.flat = true;
  const size_t count = message->signals.size();
  size_t values = 0;
  for (const cDBSignal& s : message->signals) values += s.ignored == 0;
  auto signals = std::make_unique<cFlatSignal[]>(count + values);
  for (size_t i = 0; i < count; ++i) {
    const cDBSignal& s = message->signals[i];
    signals[i] = cFlatSignal{.params = s.params,
                             .ignored = s.ignored != 0,
                             .limits = s.limits};
  }
  entry.signals = signals.get();
  entry.signalCount = static_cast<uint32_t>(count);
  entry.valueCount = static_cast<uint32_t>(values);
  compile(entry, {signals.get(), count}, message->length);
  std::copy_if(signals.get(), signals.get() + count, signals.get() + count,
               [](const cFlatSignal& s) { return !s.ignored; });
  signalArrays_.push_back(std::move(signals));
}

void cFlatMessageTable::compile(cFlatMessage& entry, std::span<cFlatSignal> signals,
                                uint32_t length) {
  if (length == 0 || length > kMaxFastLength) return;
  // Payloads shorter than eight bytes are read from a zero-padded copy.
  const uint32_t loaded = std::max<uint32_t>(length, 8);
  for (cFlatSignal& s : signals) {
    const cDBSignalParameters& p = s.params;
    const uint32_t count = p.bitLength;
    if (p.valueType != cDBValueType::Unsigned && p.valueType != cDBValueType::Signed) return;
    if (count == 0 || count > 64 || p.bitPosition + count > 8 * length) return;
    const uint32_t byte = p.bitPosition >> 3;
    const uint32_t start = byte + 8 <= loaded ? byte : loaded - 8;
    const uint32_t first = 8 * (byte - start) + (p.bitPosition & 7u);  // in load order
    if (first + count > 64) return;
    s.load = static_cast<uint8_t>(start);
    s.bigEndian = p.byteOrder == cDBByteOrder::BigEndian;
    // Intel fields count from the least significant end of the word,
    // Motorola fields from the most significant one.
    s.left = static_cast<uint8_t>(s.bigEndian ? first : 64 - first - count);
    s.isSigned = p.valueType == cDBValueType::Signed;
  }
  entry.fastLength = static_cast<uint8_t>(length);
  entry.alwaysInLimits = std::all_of(signals.begin(), signals.end(), [](const cFlatSignal& s) {
    return s.ignored || s.limits.none ||
           (std::isfinite(s.params.factor) && s.limits.hold(lowestValue(s)) &&
            s.limits.hold(highestValue(s)));
  });
}

int64_t cFlatMessageTable::row(const cFlatMessage& entry, std::span<const uint8_t> payload,
                               std::vector<double>* values) const {
  values->resize(entry.valueCount);
  if (entry.fastLength == 0 || payload.size() != entry.fastLength)
    return checkedRow(entry, payload, values->data());
  uint8_t padded[8] = {};
  const uint8_t* bytes = payload.data();
  if (payload.size() < 8) {
    std::memcpy(padded, payload.data(), payload.size());
    bytes = padded;
  }
  return cFlatSignals_fastRow(valueSignals(entry), bytes, values->data());
}

int64_t cFlatSignals_fastRow(std::span<const cFlatSignal> valueSignals, const uint8_t* bytes,
                             double* out) {
  int64_t inLimits = 0;
  for (const cFlatSignal& s : valueSignals) {
    uint64_t word;
    std::memcpy(&word, bytes + s.load, 8);
    if (s.bigEndian == (std::endian::native == std::endian::little))
      word = __builtin_bswap64(word);
    word <<= s.left;
    const uint32_t right = 64u - s.params.bitLength;
    const double number = s.isSigned ? static_cast<double>(static_cast<int64_t>(word) >> right)
                                     : static_cast<double>(word >> right);
    *out++ = limited(s, physical(s, number), &inLimits);
  }
  return inLimits;
}

int64_t cFlatMessageTable::checkedRow(const cFlatMessage& entry,
                                      std::span<const uint8_t> payload, double* out) {
  int64_t inLimits = 0;
  for (const cFlatSignal& s : signals(entry)) {
    double value;
    if (!cDecode_decodeQuiet(payload, s.params, &value)) return -1;
    if (!s.ignored) *out++ = limited(s, value, &inLimits);
  }
  return inLimits;
}
