// Incremental heatshrink (LZSS) decoder and the decompressing stream built on
// it.
//
// The bit stream is a sequence of tokens, every field most significant bit
// first: a tag bit, then either an 8-bit literal (tag 1) or a back-reference
// (tag 0) of a W-bit index (distance - 1) and an L-bit count (length - 1).
// Output goes through a window of 2^W bytes that starts as zeros, so a
// reference reaching before the first output yields zero bytes.
//
// Input is pushed in with sink(), output pulled with poll(), and finish()
// tells whether decoding is complete once no more input will come.  All state
// lives in the decoder, so decoding stops at any bit and resumes when more
// input or output room is available.  Memory is fixed at allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "io/io.h"

enum class HSD_sink_res : int8_t {
  kOk = 0,         // input accepted (possibly only part of it)
  kFull = 1,       // the input buffer has no room
  kErrorNull = -1, // null argument
};

enum class HSD_poll_res : int8_t {
  kEmpty = 0,          // needs more input
  kMore = 1,           // the output buffer is full; more output is pending
  kErrorNull = -1,     // null argument
  kErrorUnknown = -2,  // the decoder is in an unknown state
};

enum class HSD_finish_res : int8_t {
  kDone = 0,        // everything decoded
  kMore = 1,        // output or input is still pending: poll again
  kErrorNull = -1,  // null argument
};

// The decoder record; heatshrink_decoder_reset, _sink, _poll and _finish are
// its members reset(), sink(), poll() and finish().
class heatshrink_decoder {
 public:
  enum class State : uint8_t {
    kTagBit = 0,
    kYieldLiteral = 1,
    kBackrefIndexMsb = 2,
    kBackrefIndexLsb = 3,
    kBackrefCountMsb = 4,
    kBackrefCountLsb = 5,
    kYieldBackref = 6,
  };

  // Use heatshrink_decoder_alloc.
  heatshrink_decoder(uint16_t inputBufferSize, uint8_t windowBits, uint8_t lookaheadBits,
                     std::unique_ptr<uint8_t[]> buffers);

  // Back to the freshly allocated state: empty input, zeroed window, state 0.
  void reset();

  // Copies min(size, free input space) bytes of `in` after the held input and
  // stores that count in *inputSize.  kFull (and 0 accepted) when there is no
  // room; kErrorNull for a null pointer.
  HSD_sink_res sink(const uint8_t* in, size_t size, size_t* inputSize);

  // Decodes into `out` until it holds `outBufSize` bytes or the input runs
  // dry; *outputSize is the number of bytes decoded by this call.  kMore when
  // it stopped because `out` is full, kEmpty when it needs input.  The bytes
  // of `out` past *outputSize may have been written over.
  HSD_poll_res poll(uint8_t* out, size_t outBufSize, size_t* outputSize);

  // kDone when no output is pending and the held input is used up (trailing
  // padding bits of the last byte do not count), else kMore.
  HSD_finish_res finish() const;

 private:
  class BitReader;
  HSD_poll_res decode(BitReader& in, uint8_t* out, size_t cap, size_t& n);
  size_t decodeFast(BitReader& in, uint8_t* out, size_t cap, size_t n);

  uint16_t inputSize_ = 0;    // bytes held in the input buffer
  uint16_t inputIndex_ = 0;   // next unread input byte
  uint16_t outputCount_ = 0;  // bytes still to copy for the current reference
  uint16_t outputIndex_ = 0;  // distance of the current reference
  uint16_t headIndex_ = 0;    // window write position (mod 2^W)
  State state_ = State::kTagBit;
  uint8_t currentByte_ = 0;   // input byte being consumed bit by bit
  uint8_t bitIndex_ = 0;      // mask of its next bit; 0 = a new byte is needed
  uint8_t windowBits_;
  uint8_t lookaheadBits_;
  uint16_t inputBufferSize_;
  std::unique_ptr<uint8_t[]> buffers_;  // input buffer, then the window
};

// A reset decoder with an input buffer of `inputBufferSize` bytes and a
// window of 2^windowBits bytes.  Null when windowBits is outside 4..15,
// lookaheadBits is below 3 or not below windowBits, inputBufferSize is 0, or
// memory is short.
std::unique_ptr<heatshrink_decoder> heatshrink_decoder_alloc(uint16_t inputBufferSize,
                                                             uint8_t windowBits,
                                                             uint8_t lookaheadBits);

// Decompressing read-only stream over `inner`, which is borrowed and must
// outlive the stream.  A read polls the decoder, refills it from `inner` in
// steps of 1024 bytes and asks it to finish once `inner` ends; it returns 0
// at the end of the decompressed data and -1 on a read error of `inner` or a
// stalled decoder.  write, tell and seek return -1.  Null when the decoder
// cannot be allocated (parameters out of range, memory short) or `inner` is
// null.
std::unique_ptr<cIO> cIO_heatshrink_open(cIO* inner, uint8_t windowBits, uint8_t lookaheadBits);
