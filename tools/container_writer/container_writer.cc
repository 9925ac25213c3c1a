// Compressed and encrypted container writers.
#include "container_writer.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <random>

namespace {

void appendU32BE(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

template <size_t N>
bool randomBytes(std::array<uint8_t, N>& out) {
  try {
    std::random_device device;
    for (auto& b : out) b = static_cast<uint8_t>(device());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

// PBKDF2-HMAC-SHA-256.  A stored count of 0 (which readers refuse) gets the
// key of one iteration, so that such files can still be written; counts the
// interface cannot carry fail.
bool deriveKey(const std::string& password, std::span<const uint8_t, 16> salt,
               uint32_t iterations, uint8_t (&key)[32]) {
  if (password.size() > static_cast<size_t>(INT_MAX) ||
      iterations > static_cast<uint32_t>(INT_MAX)) {
    return false;
  }
  return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                           static_cast<int>(salt.size()),
                           static_cast<int>(std::max(iterations, uint32_t{1})), EVP_sha256(),
                           static_cast<int>(sizeof key), key) == 1;
}

// AES-256-GCM over `data` into `out` (data.size() bytes) with `aad` as the
// additional authenticated data, and the 16-byte tag into `tag`.
bool gcmEncrypt(const uint8_t (&key)[32], std::span<const uint8_t, 12> iv,
                std::span<const uint8_t> aad, std::span<const uint8_t> data, uint8_t* out,
                uint8_t* tag) {
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, iv.data()) != 1) {
    return false;
  }
  int produced = 0;
  if (EVP_EncryptUpdate(ctx.get(), nullptr, &produced, aad.data(),
                        static_cast<int>(aad.size())) != 1) {
    return false;
  }
  constexpr size_t kChunk = size_t{1} << 30;  // the interface counts in int
  for (size_t done = 0; done < data.size();) {
    const size_t n = std::min(kChunk, data.size() - done);
    if (EVP_EncryptUpdate(ctx.get(), out + done, &produced, data.data() + done,
                          static_cast<int>(n)) != 1 ||
        static_cast<size_t>(produced) != n) {
      return false;
    }
    done += n;
  }
  return EVP_EncryptFinal_ex(ctx.get(), out + data.size(), &produced) == 1 && produced == 0 &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, tag) == 1;
}

}  // namespace

std::array<uint8_t, 20> cContainer_header(uint8_t type, uint8_t variant, uint8_t footerFlag,
                                          uint32_t deviceId) {
  std::array<uint8_t, 20> h{};
  std::memcpy(h.data(), "Generic File", 12);
  h[12] = variant;
  h[13] = footerFlag;
  h[14] = type;
  h[15] = 1;
  for (int i = 0; i < 4; ++i) h[16 + i] = static_cast<uint8_t>(deviceId >> (24 - 8 * i));
  return h;
}

uint32_t cContainer_crc32(std::span<const uint8_t> bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc;
}

std::vector<uint8_t> cContainer_compress(std::span<const uint8_t> data,
                                         const cCompressOptions& options) {
  auto payload = cHeatshrink_encode(data, options.windowBits, options.lookaheadBits);
  if (!payload) return {};
  const uint8_t flag = options.crcFooter ? 1 : 0;
  auto header = cContainer_header(kContainerTypeCompressed, flag, flag, options.deviceId);
  std::vector<uint8_t> out(header.begin(), header.end());
  out.reserve(28 + payload->size() + 4);
  appendU32BE(out, options.lookaheadBits);
  appendU32BE(out, uint32_t{1} << options.windowBits);
  out.insert(out.end(), payload->begin(), payload->end());
  if (options.crcFooter) appendU32BE(out, cContainer_crc32(*payload));
  return out;
}

std::optional<std::vector<uint8_t>> cContainer_encrypt(std::span<const uint8_t> data,
                                                       const cEncryptOptions& options) {
  std::array<uint8_t, 16> salt{};
  std::array<uint8_t, 12> iv{};
  if (options.salt) salt = *options.salt;
  else if (!randomBytes(salt)) return std::nullopt;
  if (options.iv) iv = *options.iv;
  else if (!randomBytes(iv)) return std::nullopt;

  auto header = cContainer_header(kContainerTypeEncrypted, options.variant, 0, options.deviceId);
  std::vector<uint8_t> out(header.begin(), header.end());
  out.insert(out.end(), iv.begin(), iv.end());
  appendU32BE(out, options.iterations);
  out.insert(out.end(), salt.begin(), salt.end());
  const size_t aadLength = out.size();  // 52
  out.resize(aadLength + data.size() + 16);

  uint8_t key[32];
  const bool ok = deriveKey(options.password, salt, options.iterations, key) &&
                  gcmEncrypt(key, iv, std::span(out).first(aadLength), data,
                             out.data() + aadLength, out.data() + aadLength + data.size());
  OPENSSL_cleanse(key, sizeof key);
  if (!ok) return std::nullopt;
  return out;
}

std::optional<std::vector<uint8_t>> cContainer_wrap(std::span<const uint8_t> data,
                                                    std::span<const cContainerLayer> layers) {
  std::vector<uint8_t> current(data.begin(), data.end());
  for (const auto& layer : layers) {
    if (const auto* c = std::get_if<cCompressOptions>(&layer)) {
      auto next = cContainer_compress(current, *c);
      if (next.empty()) return std::nullopt;
      current = std::move(next);
    } else {
      auto next = cContainer_encrypt(current, std::get<cEncryptOptions>(layer));
      if (!next) return std::nullopt;
      current = std::move(*next);
    }
  }
  return current;
}
