// The logger's encrypted container: an MDF file (or another container)
// encrypted with AES-256-GCM under a key derived from the device password
// with PBKDF2-HMAC-SHA-256.
//
// Layout (multi-byte fields big-endian):
//   0       20  container header (generic_file.h): type 0x11, version 1,
//               variant byte 0 or 1, footer flag 0
//   20      12  GCM initialisation vector
//   32       4  PBKDF2 iteration count
//   36      16  PBKDF2 salt
//   52   n-68  ciphertext
//   n-16    16  GCM tag
// The first 52 bytes, as stored, are the additional authenticated data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "input/generic_file.h"
#include "io/io.h"

// Highest PBKDF2 iteration count accepted.  Loggers use far fewer; a larger
// stored count would only let a damaged or hostile file stall the conversion
// in key derivation.
inline constexpr uint32_t kEncryptedMaxIterations = 10'000'000;

// Encrypted container stream (the plaintext, see cGenericFileUnpack).
class cGenericFileEncrypted final : public cGenericFileStream {
 public:
  using cGenericFileStream::cGenericFileStream;
};

// Verifies and decrypts the encrypted container on `stream` (header already
// read into `header`) with `password` (`length` bytes, no terminator) as
// `unpack` says.  The returned stream is positioned at its end; `stream` stays the
// caller's.  Null, without a message, when the header is not that of an
// encrypted container, the file is shorter than 68 bytes, the iteration count
// is 0 or above kEncryptedMaxIterations (checked before any key derivation),
// a read comes up short, the plaintext would pass the unwrapping memory limit
// or memory runs out, or the tag does not match (wrong password, damaged or
// truncated file).  No plaintext is handed out before the tag is verified.
std::unique_ptr<cIO> cGenericFile_encrypted_open(cIO* stream, const cGenericFileHeader& header,
                                                 const uint8_t* password, size_t length,
                                                 const cGenericFileUnpack& unpack = {});
