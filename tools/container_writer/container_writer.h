// Writer side of the logger's container formats, for tests, benchmarks and the
// mkcontainer tool: an LZSS encoder producing the heatshrink bit format, the
// compressed container (with or without its CRC-32 footer) and the encrypted
// container (PBKDF2-HMAC-SHA-256 key, AES-256-GCM).  Everything works in
// memory; containers nest by wrapping the output of one call in another.
//
// Container header (20 bytes, multi-byte fields big-endian):
//   0  12  "Generic File"
//   12  1  variant byte
//   13  1  footer flag (1 = CRC-32 footer at the end of a compressed container)
//   14  1  container type: 0x22 compressed, 0x11 encrypted
//   15  1  header version (1)
//   16  4  device identifier
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

inline constexpr uint8_t kContainerTypeCompressed = 0x22;
inline constexpr uint8_t kContainerTypeEncrypted = 0x11;

// The 20-byte container header with the given fields and header version 1.
std::array<uint8_t, 20> cContainer_header(uint8_t type, uint8_t variant, uint8_t footerFlag,
                                          uint32_t deviceId);

// CRC-32/JAMCRC (reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF,
// no final inversion): the value a compressed container's footer carries.
uint32_t cContainer_crc32(std::span<const uint8_t> bytes);

// Low-level heatshrink token writer, for hand-built streams.  A token is a tag
// bit (1 literal, 0 back-reference), then either the 8-bit literal or the
// W-bit index (distance - 1) and the L-bit count (length - 1); every field is
// written most significant bit first, bytes filled from their top bit.
class cHeatshrinkBitWriter {
 public:
  cHeatshrinkBitWriter(uint8_t windowBits, uint8_t lookaheadBits)
      : windowBits_(windowBits), lookaheadBits_(lookaheadBits) {}

  void literal(uint8_t byte);
  // `distance` in 1..2^W, `count` in 1..2^L; larger values are truncated to
  // their field width (useful for writing deliberately odd streams).
  void backref(uint32_t distance, uint32_t count);
  // Appends the low `count` bits of `value` (count <= 32), top bit first.
  void bits(uint32_t value, unsigned count);
  // Pads the last byte with zero bits and returns the stream; the writer is
  // empty afterwards.
  std::vector<uint8_t> finish();

 private:
  std::vector<uint8_t> out_;
  uint64_t pending_ = 0;  // bits not yet flushed, right-aligned
  unsigned pendingCount_ = 0;
  uint8_t windowBits_;
  uint8_t lookaheadBits_;
};

// Compresses `data` into a heatshrink bit stream with window 2^windowBits and
// back-references of up to 2^lookaheadBits bytes.  Accepted parameters are
// those a decoder accepts: windowBits 4..15, lookaheadBits 3..windowBits-1;
// anything else yields none.
std::optional<std::vector<uint8_t>> cHeatshrink_encode(std::span<const uint8_t> data,
                                                       uint8_t windowBits,
                                                       uint8_t lookaheadBits);

struct cCompressOptions {
  uint8_t windowBits = 8;     // W: the window field holds 2^W
  uint8_t lookaheadBits = 4;  // L: the lookahead field holds L
  bool crcFooter = true;      // footer flag and variant byte 1, CRC at the end
  uint32_t deviceId = 0;
};

// A compressed container (type 0x22) holding `data`.  Returns an empty vector
// when the window/lookahead options are out of range (a valid container is
// never empty: its fixed part is 28 bytes).
std::vector<uint8_t> cContainer_compress(std::span<const uint8_t> data,
                                         const cCompressOptions& options);

struct cEncryptOptions {
  std::string password;           // used as raw bytes, no terminator
  uint32_t deviceId = 0;          // readers look the password up by "%08X" of it
  uint32_t iterations = 1000;     // PBKDF2 iteration count stored in the file
  uint8_t variant = 0;            // header byte 12; readers accept 0 or 1
  // Random (from the system's entropy source) when not given.
  std::optional<std::array<uint8_t, 16>> salt;
  std::optional<std::array<uint8_t, 12>> iv;
};

// An encrypted container (type 0x11) holding `data`: header, IV, iteration
// count, salt, ciphertext, 16-byte GCM tag; the first 52 bytes are the
// additional authenticated data.  None when the cipher cannot be set up or
// no random bytes can be had.
std::optional<std::vector<uint8_t>> cContainer_encrypt(std::span<const uint8_t> data,
                                                       const cEncryptOptions& options);

// One wrapping step.
using cContainerLayer = std::variant<cCompressOptions, cEncryptOptions>;

// Applies `layers` in order: the first wraps `data`, each later one wraps the
// previous result (so the last layer is the outermost container).  None when
// any step fails.
std::optional<std::vector<uint8_t>> cContainer_wrap(std::span<const uint8_t> data,
                                                    std::span<const cContainerLayer> layers);
