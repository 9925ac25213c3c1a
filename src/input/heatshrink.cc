// Heatshrink decoder.  poll() moves the partly consumed input byte and the
// bytes it needs into a 64-bit bit buffer (eight bytes per load while the
// input holds them), decodes from there (whole tokens at a time while input
// and output room allow, one field at a time otherwise) and puts the unused
// bits back on return, so between calls the state is exactly "current byte,
// bit mask, input index".  Output bytes are copied from the caller's buffer
// where the reference lies inside this call's output (16 or 8 bytes per
// move, the last one reaching past the reference when the buffer has room),
// from the window otherwise; the window takes the call's last 2^W output
// bytes when poll returns.
#include "input/heatshrink.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

class heatshrink_decoder::BitReader {
 public:
  explicit BitReader(heatshrink_decoder& d)
      : d_(d), buf_(d.buffers_.get()), index_(d.inputIndex_), size_(d.inputSize_) {
    if (d.bitIndex_ != 0) {
      unsigned k = static_cast<unsigned>(std::bit_width(d.bitIndex_));  // bits left, 1..7
      acc_ = static_cast<uint64_t>(d.currentByte_ & ((1u << k) - 1)) << (64 - k);
      count_ = k;
    }
  }

  // True when at least n bits can be taken; nothing is consumed either way.
  bool ensure(unsigned n) {
    if (count_ < n) refill();
    return count_ >= n;
  }

  // Takes n (1..15) bits, most significant first.  Requires ensure(n).
  uint32_t take(unsigned n) {
    uint32_t v = static_cast<uint32_t>(acc_ >> (64 - n));
    acc_ <<= n;
    count_ -= n;
    return v;
  }

  unsigned count() const { return count_; }
  // The unread bits are the first count() bits of the accumulator; the bits
  // after them are zero or those of the next input byte.

  void refill() {
    if (count_ > 56) return;
    if (size_ - index_ >= 8) {
      // Eight bytes at once; the bits of a byte taken only in part are
      // those the next refill puts in the same place again.
      uint64_t next;
      std::memcpy(&next, buf_ + index_, sizeof next);
      if constexpr (std::endian::native == std::endian::little) next = __builtin_bswap64(next);
      acc_ |= next >> count_;
      const unsigned bytes = (64 - count_) / 8;
      index_ += bytes;
      count_ += bytes * 8;
      return;
    }
    while (count_ <= 56 && index_ < size_) {
      acc_ |= static_cast<uint64_t>(buf_[index_++]) << (56 - count_);
      count_ += 8;
    }
  }

  // Returns unused whole bytes to the input buffer and keeps the remaining
  // bits of a partly used byte as the decoder's current byte.
  void store() {
    index_ -= count_ / 8;
    unsigned r = count_ % 8;
    if (r != 0) {
      d_.currentByte_ = static_cast<uint8_t>(acc_ >> (64 - r));
      d_.bitIndex_ = static_cast<uint8_t>(1u << (r - 1));
    } else {
      d_.bitIndex_ = 0;
    }
    if (index_ == size_) index_ = size_ = 0;
    d_.inputIndex_ = static_cast<uint16_t>(index_);
    d_.inputSize_ = static_cast<uint16_t>(size_);
  }

 private:
  heatshrink_decoder& d_;
  const uint8_t* buf_;
  size_t index_;
  size_t size_;
  uint64_t acc_ = 0;  // unread bits, left-aligned
  unsigned count_ = 0;
};

heatshrink_decoder::heatshrink_decoder(uint16_t inputBufferSize, uint8_t windowBits,
                                       uint8_t lookaheadBits, std::unique_ptr<uint8_t[]> buffers)
    : windowBits_(windowBits),
      lookaheadBits_(lookaheadBits),
      inputBufferSize_(inputBufferSize),
      buffers_(std::move(buffers)) {
  reset();
}

void heatshrink_decoder::reset() {
  std::memset(buffers_.get(), 0, inputBufferSize_ + (size_t{1} << windowBits_));
  inputSize_ = inputIndex_ = outputCount_ = outputIndex_ = headIndex_ = 0;
  state_ = State::kTagBit;
  currentByte_ = 0;
  bitIndex_ = 0;
}

HSD_sink_res heatshrink_decoder::sink(const uint8_t* in, size_t size, size_t* inputSize) {
  if (in == nullptr || inputSize == nullptr) return HSD_sink_res::kErrorNull;
  size_t room = inputBufferSize_ - inputSize_;
  if (room == 0) {
    *inputSize = 0;
    return HSD_sink_res::kFull;
  }
  size_t take = std::min(size, room);
  std::memcpy(buffers_.get() + inputSize_, in, take);
  inputSize_ = static_cast<uint16_t>(inputSize_ + take);
  *inputSize = take;
  return HSD_sink_res::kOk;
}

HSD_finish_res heatshrink_decoder::finish() const {
  if (state_ == State::kYieldBackref) return HSD_finish_res::kMore;
  return inputSize_ != 0 ? HSD_finish_res::kMore : HSD_finish_res::kDone;
}

HSD_poll_res heatshrink_decoder::poll(uint8_t* out, size_t outBufSize, size_t* outputSize) {
  if (out == nullptr || outputSize == nullptr) return HSD_poll_res::kErrorNull;
  BitReader in(*this);
  size_t n = 0;
  HSD_poll_res result = decode(in, out, outBufSize, n);
  in.store();
  // The window keeps the last 2^W output bytes.
  const size_t window = size_t{1} << windowBits_;
  uint8_t* win = buffers_.get() + inputBufferSize_;
  const size_t keep = std::min(n, window);
  const size_t at = (headIndex_ + n - keep) & (window - 1);
  const size_t first = std::min(keep, window - at);
  std::memcpy(win + at, out + n - keep, first);
  std::memcpy(win, out + n - keep + first, keep - first);
  headIndex_ = static_cast<uint16_t>(headIndex_ + n);
  *outputSize = n;
  return result;
}

namespace {

// Copies `count` bytes from `dist` bytes back; positions before the start of
// this call's output (`n` bytes so far) come from the window, whose write
// position at the start of the call was `head`.
inline void copyReference(uint8_t* out, size_t n, size_t dist, size_t count, const uint8_t* win,
                          size_t mask, size_t head) {
  size_t i = 0;
  for (; i < count && n + i < dist; ++i) out[n + i] = win[(head + n + i - dist) & mask];
  uint8_t* d = out + n + i;
  const uint8_t* s = d - dist;
  size_t rest = count - i;
  if (dist >= rest) {
    std::memcpy(d, s, rest);
  } else if (dist == 1) {
    std::memset(d, *s, rest);
  } else {
    for (size_t k = 0; k < rest; ++k) d[k] = s[k];
  }
}

// Copies `count` bytes from `dist` bytes back inside `out`, in chunks of 16
// (8 when the distance is shorter): the last chunk may write up to 15 bytes
// past the reference, which the caller has room for and overwrites later.
inline void copyChunks(uint8_t* d, size_t dist, size_t count) {
  const uint8_t* s = d - dist;
  if (dist >= 16) {
    for (size_t k = 0; k < count; k += 16) std::memcpy(d + k, s + k, 16);
  } else if (dist >= 8) {
    for (size_t k = 0; k < count; k += 8) std::memcpy(d + k, s + k, 8);
  } else if (dist == 1) {
    std::memset(d, *s, count);
  } else {
    for (size_t k = 0; k < count; ++k) d[k] = s[k];
  }
}

}  // namespace

size_t heatshrink_decoder::decodeFast(BitReader& in, uint8_t* out, size_t cap, size_t n) {
  const unsigned w = windowBits_;
  const unsigned l = lookaheadBits_;
  const unsigned tokenBits = std::max(9u, 1 + w + l);
  const uint8_t* win = buffers_.get() + inputBufferSize_;
  const size_t mask = (size_t{1} << w) - 1;
  while (n < cap) {
    if (in.count() < tokenBits) {
      in.refill();
      if (in.count() < tokenBits) break;
    }
    if (in.take(1)) {
      out[n++] = static_cast<uint8_t>(in.take(8));
      continue;
    }
    size_t dist = in.take(w) + 1;
    size_t count = in.take(l) + 1;
    if (n >= dist && cap - n >= count + 15) {  // inside this call's output, with room
      copyChunks(out + n, dist, count);
      n += count;
      continue;
    }
    size_t now = std::min(count, cap - n);
    copyReference(out, n, dist, now, win, mask, headIndex_);
    n += now;
    if (now < count) {  // the output is full: finish the reference next time
      outputIndex_ = static_cast<uint16_t>(dist);
      outputCount_ = static_cast<uint16_t>(count - now);
      state_ = State::kYieldBackref;
      break;
    }
  }
  return n;
}

HSD_poll_res heatshrink_decoder::decode(BitReader& in, uint8_t* out, size_t cap, size_t& n) {
  const unsigned w = windowBits_;
  const unsigned l = lookaheadBits_;
  const uint8_t* win = buffers_.get() + inputBufferSize_;
  const size_t mask = (size_t{1} << w) - 1;
  for (;;) {
    switch (state_) {
      case State::kTagBit:
        n = decodeFast(in, out, cap, n);
        if (state_ != State::kTagBit) break;
        if (!in.ensure(1)) goto suspend;
        if (in.take(1)) {
          state_ = State::kYieldLiteral;
        } else if (w > 8) {
          state_ = State::kBackrefIndexMsb;
        } else {
          outputIndex_ = 0;
          state_ = State::kBackrefIndexLsb;
        }
        break;
      case State::kYieldLiteral:
        if (n == cap || !in.ensure(8)) goto suspend;
        out[n++] = static_cast<uint8_t>(in.take(8));
        state_ = State::kTagBit;
        break;
      case State::kBackrefIndexMsb:
        if (!in.ensure(w - 8)) goto suspend;
        outputIndex_ = static_cast<uint16_t>(in.take(w - 8) << 8);
        state_ = State::kBackrefIndexLsb;
        break;
      case State::kBackrefIndexLsb: {
        unsigned bits = w > 8 ? 8 : w;
        if (!in.ensure(bits)) goto suspend;
        outputIndex_ = static_cast<uint16_t>((outputIndex_ | in.take(bits)) + 1);
        if (l > 8) {
          state_ = State::kBackrefCountMsb;
        } else {
          outputCount_ = 0;
          state_ = State::kBackrefCountLsb;
        }
        break;
      }
      case State::kBackrefCountMsb:
        if (!in.ensure(l - 8)) goto suspend;
        outputCount_ = static_cast<uint16_t>(in.take(l - 8) << 8);
        state_ = State::kBackrefCountLsb;
        break;
      case State::kBackrefCountLsb: {
        unsigned bits = l > 8 ? 8 : l;
        if (!in.ensure(bits)) goto suspend;
        outputCount_ = static_cast<uint16_t>((outputCount_ | in.take(bits)) + 1);
        state_ = State::kYieldBackref;
        break;
      }
      case State::kYieldBackref: {
        size_t count = std::min<size_t>(cap - n, outputCount_);
        copyReference(out, n, outputIndex_, count, win, mask, headIndex_);
        n += count;
        outputCount_ = static_cast<uint16_t>(outputCount_ - count);
        if (outputCount_ != 0) goto suspend;  // the output is full
        state_ = State::kTagBit;
        break;
      }
      default:
        return HSD_poll_res::kErrorUnknown;
    }
  }
suspend:
  return n == cap ? HSD_poll_res::kMore : HSD_poll_res::kEmpty;
}

std::unique_ptr<heatshrink_decoder> heatshrink_decoder_alloc(uint16_t inputBufferSize,
                                                             uint8_t windowBits,
                                                             uint8_t lookaheadBits) {
  if (windowBits < 4 || windowBits > 15 || lookaheadBits < 3 || lookaheadBits >= windowBits ||
      inputBufferSize == 0) {
    return nullptr;
  }
  std::unique_ptr<uint8_t[]> buffers(
      new (std::nothrow) uint8_t[inputBufferSize + (size_t{1} << windowBits)]);
  if (!buffers) return nullptr;
  return std::unique_ptr<heatshrink_decoder>(new (std::nothrow) heatshrink_decoder(
      inputBufferSize, windowBits, lookaheadBits, std::move(buffers)));
}

namespace {

constexpr int64_t kInputStep = 1024;

class HeatshrinkStream final : public cIO {
 public:
  HeatshrinkStream(cIO* inner, std::unique_ptr<heatshrink_decoder> decoder)
      : inner_(inner), decoder_(std::move(decoder)) {}

  int64_t read(void* dst, int64_t n) override;
  int64_t write(const void*, int64_t) override { return -1; }
  int64_t tell() override { return -1; }
  int64_t seek(int64_t, int32_t) override { return -1; }

 private:
  cIO* inner_;
  std::unique_ptr<heatshrink_decoder> decoder_;
  uint8_t scratch_[kInputStep];
};

int64_t HeatshrinkStream::read(void* dst, int64_t n) {
  if (n == 0) return 0;
  if (n < 0 || dst == nullptr) return -1;
  auto* out = static_cast<uint8_t*>(dst);
  int64_t done = 0;
  bool finishing = false;
  for (;;) {
    size_t produced = 0;
    HSD_poll_res r = decoder_->poll(out + done, static_cast<size_t>(n - done), &produced);
    done += static_cast<int64_t>(produced);
    if (r == HSD_poll_res::kMore) {
      if (done == n) return n;
      continue;
    }
    if (r != HSD_poll_res::kEmpty) return -1;
    int64_t got = inner_->read(scratch_, kInputStep);
    if (got < 0) return -1;
    if (got > 0) {
      size_t accepted = 0;
      decoder_->sink(scratch_, static_cast<size_t>(got), &accepted);
      if (accepted == 0) return -1;  // the decoder makes no progress
      if (static_cast<int64_t>(accepted) < got) {
        inner_->seek(static_cast<int64_t>(accepted) - got, kSeekCur);
      }
      if (done == n) return n;
      continue;
    }
    if (decoder_->finish() == HSD_finish_res::kDone) return done;
    // Input is exhausted but the decoder still holds something.  A poll that
    // then makes no progress would repeat forever.
    if (finishing && produced == 0) return -1;
    finishing = true;
    if (done == n) return n;
  }
}

}  // namespace

std::unique_ptr<cIO> cIO_heatshrink_open(cIO* inner, uint8_t windowBits, uint8_t lookaheadBits) {
  if (inner == nullptr) return nullptr;
  auto decoder = heatshrink_decoder_alloc(1024, windowBits, lookaheadBits);
  if (!decoder) return nullptr;
  return std::unique_ptr<cIO>(new (std::nothrow) HeatshrinkStream(inner, std::move(decoder)));
}
