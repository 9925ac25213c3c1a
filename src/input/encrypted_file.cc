// Encrypted container: PBKDF2-HMAC-SHA-256 key, AES-256-GCM in large chunks
// into a memory stream, tag checked before the stream is handed out.
#include "input/encrypted_file.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <climits>
#include <new>

#include "io/serializer.h"

namespace {

constexpr int64_t kAadSize = 52;
constexpr int64_t kTagSize = 16;
constexpr int64_t kMinSize = kAadSize + kTagSize;  // 68: empty ciphertext
// Ciphertext is read and decrypted in place in chunks of this size: large
// enough for the cipher's wide paths, small enough to stay in the cache.
constexpr int64_t kChunk = 256 * 1024;

struct Parameters {
  std::array<uint8_t, 12> iv{};
  uint32_t iterations = 0;
  std::array<uint8_t, 16> salt{};
};

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// Key bytes wiped when they go out of scope, on every path.
struct Key {
  std::array<uint8_t, 32> bytes{};
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

bool isEncryptedHeader(const cGenericFileHeader& h) {
  return h.containerType == kGenericFileTypeEncrypted && h.headerVersion == 1 &&
         ((uint32_t{h.footerFlag} << 8) | h.variant) <= 1;
}

bool deriveKey(const uint8_t* password, size_t length, const Parameters& p, Key& key) {
  // A null password stands for the empty one; lengths the interface cannot
  // carry are refused rather than cut.
  if (length > static_cast<size_t>(INT_MAX)) return false;
  static const char kEmpty = 0;
  const char* pass = length > 0 ? reinterpret_cast<const char*>(password) : &kEmpty;
  return PKCS5_PBKDF2_HMAC(pass, static_cast<int>(length), p.salt.data(),
                           static_cast<int>(p.salt.size()), static_cast<int>(p.iterations),
                           EVP_sha256(), static_cast<int>(key.bytes.size()),
                           key.bytes.data()) == 1;
}

// A decryption context keyed with `key` and `iv` (12 bytes, GCM's default
// length); null when the cipher cannot be set up.
CipherCtx gcmDecryptor(const Key& key, const std::array<uint8_t, 12>& iv) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes.data(),
                                 iv.data()) != 1) {
    return nullptr;
  }
  return ctx;
}

bool readParameters(cIO* stream, Parameters& p) {
  if (stream->seek(20, cIO::kSeekSet) != 20) return false;
  cSerializer s(stream);
  return s.readRaw(p.iv.data(), p.iv.size()) & s.readU32_BE(&p.iterations) &
         s.readRaw(p.salt.data(), p.salt.size());
}

bool readExactly(cIO* stream, uint8_t* dst, int64_t n) { return stream->read(dst, n) == n; }

// Steps after key derivation: tag, AAD, ciphertext in chunks, verification.
bool decrypt(cIO* stream, int64_t size, EVP_CIPHER_CTX* ctx, cIO_spill* memory) {
  std::array<uint8_t, kTagSize> tag;
  if (stream->seek(size - kTagSize, cIO::kSeekSet) != size - kTagSize ||
      !readExactly(stream, tag.data(), kTagSize) ||
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, kTagSize, tag.data()) != 1) {
    return false;
  }
  std::array<uint8_t, kAadSize> aad;
  int produced = 0;
  if (stream->seek(0, cIO::kSeekSet) != 0 || !readExactly(stream, aad.data(), kAadSize) ||
      EVP_DecryptUpdate(ctx, nullptr, &produced, aad.data(), kAadSize) != 1) {
    return false;
  }
  const int64_t total = size - kMinSize;
  std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[total < kChunk ? total + 1 : kChunk]);
  if (!chunk) return false;
  for (int64_t left = total; left > 0;) {
    const int64_t n = left < kChunk ? left : kChunk;
    // GCM is a stream mode: every update returns as many bytes as it takes.
    if (!readExactly(stream, chunk.get(), n) ||
        EVP_DecryptUpdate(ctx, chunk.get(), &produced, chunk.get(), static_cast<int>(n)) != 1 ||
        produced != n || memory->write(chunk.get(), n) != n) {
      return false;
    }
    left -= n;
  }
  // Fails when the computed tag differs from the stored one.
  return EVP_DecryptFinal_ex(ctx, chunk.get(), &produced) == 1 && produced == 0;
}

std::unique_ptr<cIO> encryptedOpen(cIO* stream, const cGenericFileHeader& header,
                                   const uint8_t* password, size_t length,
                                   const cGenericFileUnpack& unpack) {
  if (stream == nullptr || !isEncryptedHeader(header)) return nullptr;
  if (password == nullptr && length > 0) return nullptr;
  const int64_t size = stream->getSize();
  if (size < kMinSize) return nullptr;
  if (!cGenericFile_withinMemoryLimit(static_cast<uint64_t>(size - kMinSize))) return nullptr;
  Parameters params;
  if (!readParameters(stream, params)) return nullptr;
  if (params.iterations == 0 || params.iterations > kEncryptedMaxIterations) return nullptr;

  // The plaintext is as long as the ciphertext: its room is taken at once.
  auto memory = std::make_unique<cIO_spill>(unpack.memoryBytes, unpack.folder);
  if (!memory->reserve(static_cast<uint64_t>(size - kMinSize))) return unpack.fail(*memory);
  CipherCtx ctx;
  {
    Key key;
    if (!deriveKey(password, length, params, key)) return nullptr;
    ctx = gcmDecryptor(key, params.iv);
  }
  if (!ctx || !decrypt(stream, size, ctx.get(), memory.get())) return unpack.fail(*memory);
  return std::make_unique<cGenericFileEncrypted>(header, std::move(memory));
}

}  // namespace

std::unique_ptr<cIO> cGenericFile_encrypted_open(cIO* stream, const cGenericFileHeader& header,
                                                 const uint8_t* password, size_t length,
                                                 const cGenericFileUnpack& unpack) {
  try {
    return encryptedOpen(stream, header, password, length, unpack);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
