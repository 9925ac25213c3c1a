// LZSS encoder for the heatshrink bit format: hash chains over the last 2^W
// bytes, greedy longest match, a back-reference only where it is shorter in
// bits than the literals it replaces.
#include <algorithm>
#include <cstddef>

#include "container_writer.h"

void cHeatshrinkBitWriter::bits(uint32_t value, unsigned count) {
  if (count == 0) return;
  if (count < 32) value &= (uint32_t{1} << count) - 1;
  pending_ = (pending_ << count) | value;
  pendingCount_ += count;
  while (pendingCount_ >= 8) {
    pendingCount_ -= 8;
    out_.push_back(static_cast<uint8_t>(pending_ >> pendingCount_));
  }
  pending_ &= (uint64_t{1} << pendingCount_) - 1;
}

void cHeatshrinkBitWriter::literal(uint8_t byte) {
  bits(1, 1);
  bits(byte, 8);
}

void cHeatshrinkBitWriter::backref(uint32_t distance, uint32_t count) {
  bits(0, 1);
  bits(distance - 1, windowBits_);
  bits(count - 1, lookaheadBits_);
}

std::vector<uint8_t> cHeatshrinkBitWriter::finish() {
  if (pendingCount_ > 0) bits(0, 8 - pendingCount_);
  std::vector<uint8_t> result;
  result.swap(out_);
  pending_ = 0;
  pendingCount_ = 0;
  return result;
}

namespace {

constexpr unsigned kHashBits = 15;
constexpr size_t kNoPosition = SIZE_MAX;
constexpr int kMaxChain = 48;

class MatchFinder {
 public:
  MatchFinder(std::span<const uint8_t> data, uint8_t windowBits, size_t hashLength)
      : data_(data),
        window_(size_t{1} << windowBits),
        hashLength_(hashLength),
        head_(size_t{1} << kHashBits, kNoPosition),
        prev_(window_, kNoPosition) {}

  // Records position `pos` as a possible match start.
  void insert(size_t pos) {
    if (pos + hashLength_ > data_.size()) return;
    uint32_t h = hash(pos);
    prev_[pos & (window_ - 1)] = head_[h];
    head_[h] = pos;
  }

  // Longest earlier match for `pos` within the window, at most `maxLength`.
  // Returns {distance, length}; length 0 when there is none.
  std::pair<size_t, size_t> longest(size_t pos, size_t maxLength) const {
    size_t limit = std::min(maxLength, data_.size() - pos);
    if (limit < hashLength_) return {0, 0};
    size_t bestLength = 0;
    size_t bestDistance = 0;
    size_t candidate = head_[hash(pos)];
    for (int chain = 0; chain < kMaxChain && candidate != kNoPosition; ++chain) {
      if (candidate >= pos || pos - candidate > window_) break;
      size_t length = 0;
      while (length < limit && data_[candidate + length] == data_[pos + length]) ++length;
      if (length > bestLength) {
        bestLength = length;
        bestDistance = pos - candidate;
        if (length == limit) break;
      }
      size_t next = prev_[candidate & (window_ - 1)];
      if (next == kNoPosition || next >= candidate) break;
      candidate = next;
    }
    return {bestDistance, bestLength};
  }

 private:
  uint32_t hash(size_t pos) const {
    uint32_t v = 0;
    for (size_t i = 0; i < hashLength_; ++i) v = (v << 8) | data_[pos + i];
    return (v * 2654435761u) >> (32 - kHashBits);
  }

  std::span<const uint8_t> data_;
  size_t window_;
  size_t hashLength_;
  std::vector<size_t> head_;
  std::vector<size_t> prev_;  // ring of the window: previous position, same hash
};

}  // namespace

std::optional<std::vector<uint8_t>> cHeatshrink_encode(std::span<const uint8_t> data,
                                                       uint8_t windowBits,
                                                       uint8_t lookaheadBits) {
  if (windowBits < 4 || windowBits > 15 || lookaheadBits < 3 || lookaheadBits >= windowBits) {
    return std::nullopt;
  }
  // A back-reference costs 1 + W + L bits, a literal 9: use one only where it
  // saves bits.
  const size_t tokenBits = 1u + windowBits + lookaheadBits;
  const size_t minLength = tokenBits / 9 + 1;
  const size_t maxLength = size_t{1} << lookaheadBits;
  MatchFinder finder(data, windowBits, std::clamp<size_t>(minLength, 2, 3));
  cHeatshrinkBitWriter writer(windowBits, lookaheadBits);

  size_t pos = 0;
  while (pos < data.size()) {
    auto [distance, length] = finder.longest(pos, maxLength);
    if (length >= minLength) {
      writer.backref(static_cast<uint32_t>(distance), static_cast<uint32_t>(length));
    } else {
      writer.literal(data[pos]);
      length = 1;
    }
    for (size_t i = 0; i < length; ++i) finder.insert(pos + i);
    pos += length;
  }
  return writer.finish();
}
