// Compressed and encrypted container writers.
#include "container_writer.h"

#include <mbedtls/gcm.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>

#include <cstring>
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

bool deriveKey(const std::string& password, std::span<const uint8_t, 16> salt,
               uint32_t iterations, uint8_t (&key)[32]) {
  mbedtls_md_context_t md;
  mbedtls_md_init(&md);
  const mbedtls_md_info_t* info = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
  bool ok = info != nullptr && mbedtls_md_setup(&md, info, 1) == 0 &&
            mbedtls_pkcs5_pbkdf2_hmac(&md, reinterpret_cast<const unsigned char*>(password.data()),
                                      password.size(), salt.data(), salt.size(), iterations,
                                      sizeof key, key) == 0;
  mbedtls_md_free(&md);
  return ok;
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
  if (!deriveKey(options.password, salt, options.iterations, key)) return std::nullopt;
  mbedtls_gcm_context gcm;
  mbedtls_gcm_init(&gcm);
  bool ok = mbedtls_gcm_setkey(&gcm, MBEDTLS_CIPHER_ID_AES, key, 256) == 0 &&
            mbedtls_gcm_crypt_and_tag(&gcm, MBEDTLS_GCM_ENCRYPT, data.size(), iv.data(), iv.size(),
                                      out.data(), aadLength, data.data(), out.data() + aadLength,
                                      16, out.data() + aadLength + data.size()) == 0;
  mbedtls_gcm_free(&gcm);
  std::memset(key, 0, sizeof key);
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
