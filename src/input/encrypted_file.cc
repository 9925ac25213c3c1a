// Encrypted container: PBKDF2-HMAC-SHA-256 key, AES-256-GCM in 512-byte
// pieces into a memory stream, tag checked before the stream is handed out.
#include "input/encrypted_file.h"

#include <mbedtls/cipher.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>

#include <array>
#include <cstring>
#include <new>

#include "io/serializer.h"

namespace {

constexpr int64_t kAadSize = 52;
constexpr int64_t kTagSize = 16;
constexpr int64_t kMinSize = kAadSize + kTagSize;  // 68: empty ciphertext
constexpr int64_t kPiece = 512;

struct Parameters {
  std::array<uint8_t, 12> iv{};
  uint32_t iterations = 0;
  std::array<uint8_t, 16> salt{};
};

bool isEncryptedHeader(const cGenericFileHeader& h) {
  return h.containerType == kGenericFileTypeEncrypted && h.headerVersion == 1 &&
         ((uint32_t{h.footerFlag} << 8) | h.variant) <= 1;
}

bool deriveKey(const uint8_t* password, size_t length, const Parameters& p,
               std::array<uint8_t, 32>& key) {
  static const uint8_t kEmpty = 0;
  mbedtls_md_context_t md;
  mbedtls_md_init(&md);
  const mbedtls_md_info_t* info = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
  bool ok = info != nullptr && mbedtls_md_setup(&md, info, 1) == 0 &&
            mbedtls_pkcs5_pbkdf2_hmac(&md, length > 0 ? password : &kEmpty, length, p.salt.data(),
                                      p.salt.size(), p.iterations,
                                      static_cast<uint32_t>(key.size()), key.data()) == 0;
  mbedtls_md_free(&md);
  return ok;
}

// Owns an mbedtls cipher context for the duration of one decryption.
class GcmDecryptor {
 public:
  GcmDecryptor() { mbedtls_cipher_init(&ctx_); }
  ~GcmDecryptor() { mbedtls_cipher_free(&ctx_); }
  GcmDecryptor(const GcmDecryptor&) = delete;
  GcmDecryptor& operator=(const GcmDecryptor&) = delete;

  bool setup(const std::array<uint8_t, 32>& key, const std::array<uint8_t, 12>& iv) {
    const mbedtls_cipher_info_t* info =
        mbedtls_cipher_info_from_values(MBEDTLS_CIPHER_ID_AES, 256, MBEDTLS_MODE_GCM);
    return info != nullptr && mbedtls_cipher_setup(&ctx_, info) == 0 &&
           mbedtls_cipher_setkey(&ctx_, key.data(), 256, MBEDTLS_DECRYPT) == 0 &&
           mbedtls_cipher_set_iv(&ctx_, iv.data(), iv.size()) == 0;
  }
  bool addAad(const uint8_t* aad, size_t n) {
    return mbedtls_cipher_update_ad(&ctx_, aad, n) == 0;
  }
  // Decrypts `n` bytes of `in` into `out` (room for n + one block).
  bool update(const uint8_t* in, size_t n, uint8_t* out, size_t* produced) {
    return mbedtls_cipher_update(&ctx_, in, n, out, produced) == 0;
  }
  bool finish(uint8_t* out, size_t* produced) {
    return mbedtls_cipher_finish(&ctx_, out, produced) == 0;
  }
  bool checkTag(const uint8_t* tag, size_t n) {
    return mbedtls_cipher_check_tag(&ctx_, tag, n) == 0;
  }

 private:
  mbedtls_cipher_context_t ctx_;
};

bool readParameters(cIO* stream, Parameters& p) {
  if (stream->seek(20, cIO::kSeekSet) != 20) return false;
  cSerializer s(stream);
  return s.readRaw(p.iv.data(), p.iv.size()) & s.readU32_BE(&p.iterations) &
         s.readRaw(p.salt.data(), p.salt.size());
}

bool readExactly(cIO* stream, uint8_t* dst, int64_t n) { return stream->read(dst, n) == n; }

bool appendAll(cIO_memoryAlloc* memory, const uint8_t* bytes, size_t n) {
  return n == 0 || memory->write(bytes, static_cast<int64_t>(n)) == static_cast<int64_t>(n);
}

// Steps after key derivation: AAD, ciphertext in pieces, tag.
bool decrypt(cIO* stream, int64_t size, GcmDecryptor& gcm, cIO_memoryAlloc* memory) {
  std::array<uint8_t, kTagSize> tag;
  if (stream->seek(size - kTagSize, cIO::kSeekSet) != size - kTagSize ||
      !readExactly(stream, tag.data(), kTagSize)) {
    return false;
  }
  std::array<uint8_t, kAadSize> aad;
  if (stream->seek(0, cIO::kSeekSet) != 0 || !readExactly(stream, aad.data(), kAadSize) ||
      !gcm.addAad(aad.data(), aad.size())) {
    return false;
  }
  std::array<uint8_t, kPiece> in;
  std::array<uint8_t, kPiece + 16> out;
  for (int64_t left = size - kMinSize; left > 0;) {
    const int64_t piece = left < kPiece ? left : kPiece;
    size_t produced = 0;
    if (!readExactly(stream, in.data(), piece) ||
        !gcm.update(in.data(), static_cast<size_t>(piece), out.data(), &produced) ||
        !appendAll(memory, out.data(), produced)) {
      return false;
    }
    left -= piece;
  }
  size_t produced = 0;
  return gcm.finish(out.data(), &produced) && appendAll(memory, out.data(), produced) &&
         gcm.checkTag(tag.data(), tag.size());
}

std::unique_ptr<cIO> encryptedOpen(cIO* stream, const cGenericFileHeader& header,
                                   const uint8_t* password, size_t length) {
  if (stream == nullptr || !isEncryptedHeader(header)) return nullptr;
  if (password == nullptr && length > 0) return nullptr;
  const int64_t size = stream->getSize();
  if (size < kMinSize) return nullptr;
  if (static_cast<uint64_t>(size - kMinSize) > cGenericFile_getMemoryLimit()) return nullptr;
  Parameters params;
  if (!readParameters(stream, params)) return nullptr;
  if (params.iterations == 0 || params.iterations > kEncryptedMaxIterations) return nullptr;

  auto memory = cIO_memoryAlloc_ctor();
  if (!memory) return nullptr;
  std::array<uint8_t, 32> key{};
  GcmDecryptor gcm;
  const bool keyed = deriveKey(password, length, params, key) && gcm.setup(key, params.iv);
  std::memset(key.data(), 0, key.size());
  if (!keyed || !decrypt(stream, size, gcm, memory.get())) return nullptr;
  return std::make_unique<cGenericFileEncrypted>(header, std::move(memory));
}

}  // namespace

std::unique_ptr<cIO> cGenericFile_encrypted_open(cIO* stream, const cGenericFileHeader& header,
                                                 const uint8_t* password, size_t length) {
  try {
    return encryptedOpen(stream, header, password, length);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
