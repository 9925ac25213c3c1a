// Containers and their decompressor: LZSS token streams decoded in arbitrary
// steps and round trips through the project's encoder; compressed and
// encrypted containers built at test time with the project's container writer,
// then damaged in chosen places.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>

#include "container_writer/container_writer.h"
#include "input/encrypted_file.h"
#include "input/generic_file.h"
#include "input/heatshrink.h"
#include "support/log_capture.h"
#include "support/memory_stream.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Records of slowly changing counters and a few small random values.
Bytes logLike(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes d(size);
  for (size_t i = 0; i < size; ++i) d[i] = static_cast<uint8_t>(i % 24 < 8 ? i / 24 >> (8 * (i % 3)) : rng() % 5);
  return d;
}

// Opens `file` as a compressed container, or with a password as an encrypted one.
std::unique_ptr<cIO> openContainer(const Bytes& file, const char* password = nullptr,
                                   const cGenericFileUnpack& unpack = {}) {
  auto in = memoryStream(file);
  cGenericFileHeader h;
  if (!cGenericFile_readHeader(in.get(), &h)) return nullptr;
  if (password == nullptr) return cGenericFile_compressed_open(in.get(), h, unpack);
  auto* pw = reinterpret_cast<const uint8_t*>(password);
  return cGenericFile_encrypted_open(in.get(), h, pw, std::strlen(password), unpack);
}

// `file` with the byte at `at` XORed with `mask`, then the u32 at `at32` set
// (big-endian) unless `at32` is 0; or cut to `size` bytes.
Bytes changed(Bytes file, size_t at, uint8_t mask, size_t at32 = 0, uint32_t value = 0) {
  file[at] ^= mask;
  for (size_t i = 0; at32 != 0 && i < 4; ++i) file[at32 + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  return file;
}
Bytes prefix(const Bytes& file, size_t size) { return Bytes(file.begin(), file.begin() + size); }

std::optional<Bytes> plainOf(const Bytes& file, const char* password = nullptr) {
  auto s = openContainer(file, password);
  return s ? std::optional(readAll(*s)) : std::nullopt;
}

// Feeds `in` in pieces of `sinkStep` bytes and polls into room for `pollStep`
// bytes; poll must report kMore exactly when it filled the room.
Bytes decodeInSteps(const Bytes& in, uint8_t w, uint8_t l, size_t sinkStep, size_t pollStep,
                    uint16_t bufferSize = 64) {
  auto d = heatshrink_decoder_alloc(bufferSize, w, l);
  Bytes out, room(pollStep);
  for (size_t pos = 0, accepted = 0; d && pos < in.size(); pos += accepted) {
    EXPECT_EQ(d->sink(&in[pos], std::min(sinkStep, in.size() - pos), &accepted), HSD_sink_res::kOk);
    for (HSD_poll_res r = HSD_poll_res::kMore; r == HSD_poll_res::kMore;) {
      size_t got = 0;
      r = d->poll(room.data(), room.size(), &got);
      EXPECT_EQ(r, got == room.size() ? HSD_poll_res::kMore : HSD_poll_res::kEmpty);
      out.insert(out.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(got));
    }
  }
  EXPECT_TRUE(d && d->finish() == HSD_finish_res::kDone);
  return out;
}

// A random token stream and the bytes it stands for, worked out token by
// token; a reference reaching before the first output byte reads zero.
std::pair<Bytes, Bytes> randomTokens(uint8_t w, uint8_t l, std::mt19937& rng) {
  cHeatshrinkBitWriter writer(w, l);
  Bytes e;  // expected
  for (uint32_t tokens = 100 + rng() % 400; tokens-- > 0;) {
    const uint32_t literal = rng() % 2, byte = rng() % 256;
    const uint32_t distance = 1 + rng() % (1u << w), count = literal ? 1 : 1 + rng() % (1u << l);
    literal ? writer.literal(static_cast<uint8_t>(byte)) : writer.backref(distance, count);
    for (uint32_t i = 0; i < count; ++i)
      e.push_back(static_cast<uint8_t>(literal ? byte : e.size() >= distance ? e[e.size() - distance] : 0));
  }
  return {writer.finish(), e};
}

TEST(heatshrink_decoder, DecodesTokenStreamsInAnySteps) {
  // Hand-built: a literal "A", then 4 bytes from 1 back (W=8, L=4); 3 bytes
  // from before the start, then "z"; fields are read most significant bit first.
  const Bytes run = {0xA0, 0x80, 0x0C}, zeros = {0x02, 0x15, 0xE8};
  EXPECT_EQ(decodeInSteps(run, 8, 4, 1, 1), Bytes(5, 'A'));
  EXPECT_EQ(decodeInSteps(zeros, 8, 4, 4, 100), (Bytes{0, 0, 0, 'z'}));
  std::mt19937 rng(20261206);
  for (uint8_t w = 4; w <= 15; ++w) {
    for (uint8_t l = 3; l < w; ++l) {
      SCOPED_TRACE(testing::Message() << "W=" << int(w) << " L=" << int(l));
      const auto [in, expected] = randomTokens(w, l, rng);
      EXPECT_EQ(decodeInSteps(in, w, l, 1 + rng() % 100, 1 + rng() % 300,
                              static_cast<uint16_t>(1 + rng() % 128)), expected);
      EXPECT_EQ(decodeInSteps(in, w, l, in.size(), expected.size() + 1, 4096), expected);
      // Log-like data through the encoder and back, read from the stream in steps.
      const Bytes data = logLike(6000 + 7 * w, w * 16 + l);
      auto inner = memoryStream(cHeatshrink_encode(data, w, l).value_or(Bytes{}));
      auto s = cIO_heatshrink_open(inner.get(), w, l);
      ASSERT_NE(s, nullptr);
      const int64_t step = std::array<int64_t, 5>{1, 3, 1000, 4096, 100000}[(w + l) % 5];
      Bytes buf(static_cast<size_t>(step)), got;
      for (int64_t n; (n = s->read(buf.data(), step)) > 0;) got.insert(got.end(), buf.begin(), buf.begin() + n);
      EXPECT_EQ(got, data);
      EXPECT_EQ(s->read(buf.data(), 1), 0);  // stays at the end
    }
  }
}

TEST(heatshrink_decoder, SinkTakesFreeRoomResetForgetsAndFinishWaitsForOutput) {
  auto d = heatshrink_decoder_alloc(16, 8, 4);
  ASSERT_NE(d, nullptr);
  const Bytes ff(20, 0xFF), ref = {0x01, 0x10};  // 3 bytes from 3 back
  size_t accepted = 0, got = 0;
  uint8_t out[64];
  EXPECT_EQ(d->sink(nullptr, 1, &accepted), HSD_sink_res::kErrorNull);
  EXPECT_EQ(d->sink(ff.data(), 1, nullptr), HSD_sink_res::kErrorNull);
  EXPECT_EQ(d->poll(nullptr, 1, &got), HSD_poll_res::kErrorNull);
  EXPECT_EQ(d->poll(out, 1, nullptr), HSD_poll_res::kErrorNull);
  EXPECT_EQ(d->sink(ff.data(), 20, &accepted), HSD_sink_res::kOk);
  EXPECT_EQ(accepted, 16u);  // the room there is
  EXPECT_EQ(d->sink(ff.data(), 20, &accepted), HSD_sink_res::kFull);
  EXPECT_EQ(d->finish(), HSD_finish_res::kMore);  // input held
  EXPECT_EQ(d->poll(out, sizeof out, &got), HSD_poll_res::kEmpty);
  EXPECT_EQ(Bytes(out, out + got), Bytes(14, 0xFF));  // 14 literals, 2 bits over
  d->reset();  // the window is zeros again, not the 0xFF just decoded
  ASSERT_EQ(d->sink(ref.data(), ref.size(), &accepted), HSD_sink_res::kOk);
  EXPECT_EQ(d->poll(out, 1, &got), HSD_poll_res::kMore);
  EXPECT_EQ(d->finish(), HSD_finish_res::kMore);  // two bytes of the reference pending
  EXPECT_EQ(d->poll(out + 1, 8, &got), HSD_poll_res::kEmpty);
  EXPECT_EQ(Bytes(out, out + 1 + got), Bytes(3, 0));
}

TEST(heatshrink_decoder, ParametersOutOfRangeAndFailingInputAreRefused) {
  struct Case { uint16_t buffer; uint8_t w, l; bool ok; };
  const Case cases[] = {{1024, 8, 4, true},  {1024, 4, 3, true},  {1024, 15, 14, true},  {1, 9, 8, true},
                        {1024, 16, 4, false}, {1024, 3, 2, false}, {1024, 8, 8, false}, {1024, 8, 2, false},
                        {1024, 8, 9, false},  {0, 8, 4, false},    {1024, 255, 4, false}};
  auto empty = memoryStream(Bytes{});
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.buffer << " " << int(c.w) << " " << int(c.l));
    EXPECT_EQ(heatshrink_decoder_alloc(c.buffer, c.w, c.l) != nullptr, c.ok);
    EXPECT_EQ(cIO_heatshrink_open(empty.get(), c.w, c.l) != nullptr, c.ok || c.buffer != 1024);
  }
  EXPECT_EQ(cIO_heatshrink_open(nullptr, 8, 4), nullptr);
  uint8_t b[8];
  auto e = cIO_heatshrink_open(empty.get(), 8, 4);
  EXPECT_EQ(std::make_tuple(e->read(b, 0), e->read(b, -1), e->read(b, 8)), std::make_tuple(0, -1, 0));
  cIO unreadable;  // every operation fails
  auto s = cIO_heatshrink_open(&unreadable, 8, 4);
  EXPECT_EQ(std::make_tuple(s->read(b, 8), s->write(b, 1), s->tell(), s->seek(0, cIO::kSeekSet)),
            std::make_tuple(-1, -1, -1, -1));
}

TEST(cGenericFileCompressed, RoundTripsWithAndWithoutFooter) {
  struct Case { uint8_t w, l; bool footer; size_t size; };
  const Case cases[] = {{8, 4, true, 20000}, {8, 4, false, 20000}, {4, 3, true, 777}, {11, 4, true, 65536},
                        {15, 14, false, 40000}, {12, 9, true, 1}, {8, 4, true, 0}, {10, 8, false, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.w) << " " << int(c.l) << " " << c.footer << " " << c.size);
    const Bytes data = logLike(c.size, c.w);
    auto s = openContainer(cContainer_compress(data, {c.w, c.l, c.footer, 42}));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->tell(), static_cast<int64_t>(c.size));  // positioned at its end
    EXPECT_EQ(readAll(*s), data);
    EXPECT_EQ(static_cast<cGenericFileStream&>(*s).header().deviceId, 42u);
    EXPECT_EQ(cIO_close(s), 0);
  }
}

TEST(cGenericFileCompressed, DamagedFilesAreRefusedWithTheirMessage) {
  // Lookahead field 00 00 00 05 at 20, window field 00 00 04 00 at 24.
  const Bytes file = cContainer_compress(logLike(8000, 3), {.windowBits = 10, .lookaheadBits = 5});
  const size_t n = file.size();
  EXPECT_NE(openContainer(changed(file, 22, 1)), nullptr);  // only the low byte counts
  const std::string noFooter = "E Expected to read out CRC from footer, but found none";
  const std::string bad = "E Could not validate checksum";
  struct Case { const char* name; Bytes file; std::string message; };  // "": nothing logged
  auto footer = [&](size_t at, uint8_t mask) {  // the footer holds the CRC of the payload
    const Bytes b = changed(file, at, mask);
    return Case{"footer", b, bad + ", expected " + hex(Bytes(b.end() - 4, b.end())) + " but found " +
                                 hex(Bytes(file.end() - 4, file.end()))};
  };
  const Case cases[] = {
      {"variant 1, footer 0", changed(file, 13, 1), ""}, {"variant 0, footer 1", changed(file, 12, 1), ""},
      {"variant and footer 2", changed(changed(file, 12, 3), 13, 3), ""},
      {"encrypted type", changed(file, 14, 0x33), ""}, {"unknown type", changed(file, 14, 0x01), ""},
      {"header version 2", changed(file, 15, 3), ""}, {"header version 0", changed(file, 15, 1), ""},
      {"lookahead = window exponent", changed(file, 23, 0x0F), ""}, {"lookahead 2", changed(file, 23, 7), ""},
      {"window 0", changed(file, 26, 4), ""}, {"window 1280", changed(file, 26, 1), ""},
      {"window 2^16", changed(changed(file, 25, 1), 26, 4), ""},
      {"magic differs in case", changed(file, 0, 0x20), ""}, {"header cut", prefix(file, 19), ""},
      {"parameter fields missing", prefix(file, 20), ""}, {"shorter than them", prefix(file, 27), ""},
      {"no room for a footer", prefix(file, 28), noFooter}, {"part of one", prefix(file, 31), noFooter},
      footer(n - 1, 0x01), footer(n - 4, 0x80),
      {"cut by 1", prefix(file, n - 1), bad}, {"cut by 4", prefix(file, n - 4), bad},
      {"cut by 5", prefix(file, n - 5), bad}, {"cut by 100", prefix(file, n - 100), bad},
      {"first payload byte", changed(file, 28, 0x10), bad}, {"last one", changed(file, n - 5, 0x10), bad},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    EXPECT_EQ(openContainer(c.file), nullptr);
    EXPECT_TRUE(c.message.empty() ? log.messages().empty() : log.has(c.message)) << c.message;
  }
  cGenericFileHeader h;
  auto in = memoryStream(file);
  EXPECT_TRUE(cGenericFile_readHeader(in.get(), &h) && h.deviceId == 0 && h.containerType == 0x22);
  EXPECT_FALSE(cGenericFile_readHeader(nullptr, &h) || cGenericFile_readHeader(in.get(), nullptr) ||
               cGenericFile_compressed_open(nullptr, h));
}

TEST(cGenericFileStream, MemoryLimitAndAFullDiskFailTheFile) {
  const uint64_t saved = cGenericFile_getMemoryLimit();
  const Bytes data(200000, 0x55);
  const Bytes compressed = cContainer_compress(data, {.windowBits = 12, .lookaheadBits = 11});
  const Bytes encrypted = cContainer_encrypt(data, {"pw", 1, 1, 0, {}, {}}).value_or(Bytes{});
  for (uint64_t limit : {199999u, 200000u}) {
    LogCapture log;
    cGenericFile_setMemoryLimit(limit);
    EXPECT_EQ(plainOf(compressed), limit == 200000u ? std::optional(data) : std::nullopt) << limit;
    EXPECT_EQ(plainOf(encrypted, "pw"), limit == 200000u ? std::optional(data) : std::nullopt) << limit;
    EXPECT_EQ(log.count("E The unwrapped contents are larger than the limit of 199999 bytes"), limit == 199999u ? 2 : 0);
  }
  cGenericFile_setMemoryLimit(saved);
  TempDir dir;  // unwrapped into a file that cannot grow: no stream, no unverified plaintext
  EXPECT_TRUE(withResourceLimit(RLIMIT_FSIZE, 4096, [&] {
    EXPECT_FALSE(openContainer(compressed, nullptr, {0, dir.path()}) || openContainer(encrypted, "pw", {0, dir.path()}));
  }));
}

TEST(cGenericFileEncrypted, MatchesAnIndependentVectorAndRoundTripsAnySize) {
  // Ciphertext and tag computed outside this project for these parameters.
  cEncryptOptions o{"secret", 0x12345678, 3, 0, {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
                    {{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB}}};
  const std::string text = "lograven container";
  const Bytes file = cContainer_encrypt(Bytes(text.begin(), text.end()), o).value_or(Bytes{});
  EXPECT_EQ(hex(Bytes(file.begin() + 52, file.end())),
            "4FFACF487E95CD27DED19B9F73341E2E832F018B21BECD81DB10B51F9EA3AAE983C6");
  EXPECT_EQ(plainOf(file, "secret"), Bytes(text.begin(), text.end()));
  for (size_t size : {0u, 1u, 511u, 512u, 513u, 5000u}) {
    SCOPED_TRACE(size);
    const Bytes data = logLike(size, 9);
    o.password = size == 0 ? "" : "secret";
    o.variant = size % 2;
    const auto file = cContainer_encrypt(data, o);
    ASSERT_EQ(file.value_or(Bytes{}).size(), size + 68);
    EXPECT_EQ(plainOf(*file, o.password.c_str()), data);
    if (size > 0) continue;
    auto in = memoryStream(*file);  // a null password of length 0 is the empty one
    cGenericFileHeader h;
    EXPECT_TRUE(cGenericFile_readHeader(in.get(), &h) && cGenericFile_encrypted_open(in.get(), h, nullptr, 0));
  }
}

TEST(cGenericFileEncrypted, DamagedFilesWrongPasswordsAndBadParametersAreRefused) {
  const Bytes file = cContainer_encrypt(logLike(1500, 5), {"secret", 1, 10, 0, {}, {}}).value_or(Bytes{});
  const size_t n = file.size();
  ASSERT_EQ(plainOf(file, "secret"), logLike(1500, 5));
  // The iteration count (u32 at 32) is checked before any key derivation,
  // which would take seconds with a count above the bound.
  struct Case { std::string name; Bytes file; const char* password = "secret"; };
  std::vector<Case> cases = {
      {"device id (additional data)", changed(file, 19, 1)}, {"IV", changed(file, 25, 1)},
      {"iteration count", changed(file, 35, 1)}, {"salt", changed(file, 40, 1)},
      {"first ciphertext byte", changed(file, 52, 1)}, {"ciphertext", changed(file, 900, 1)},
      {"tag", changed(file, n - 10, 1)}, {"last byte", changed(file, n - 1, 1)},
      {"wrong password", file, "Secret"}, {"longer password", file, "secret "}, {"empty password", file, ""},
      {"iteration count above 10,000,000", changed(file, 0, 0, 32, 10'000'001u)},
      {"iteration count 0", changed(file, 0, 0, 32, 0)},
  };
  for (size_t size = 20; size < n; size += (size < 70 ? 1 : 17)) cases.push_back({"cut", prefix(file, size)});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + " " + std::to_string(c.file.size()));
    EXPECT_EQ(openContainer(c.file, c.password), nullptr);
  }
  // The header as given is checked, not the one in the stream (which decrypts).
  auto in = memoryStream(file);
  cGenericFileHeader h;
  ASSERT_TRUE(cGenericFile_readHeader(in.get(), &h));
  using Field = uint8_t cGenericFileHeader::*;
  for (Field f : {&cGenericFileHeader::footerFlag, &cGenericFileHeader::variant, &cGenericFileHeader::containerType,
                  &cGenericFileHeader::headerVersion}) {
    cGenericFileHeader bad = h;
    bad.*f = 2;
    EXPECT_EQ(cGenericFile_encrypted_open(in.get(), bad, reinterpret_cast<const uint8_t*>("secret"), 6), nullptr);
  }
  EXPECT_FALSE(cGenericFile_encrypted_open(in.get(), h, nullptr, 3) || cGenericFile_encrypted_open(nullptr, h, nullptr, 0));
}

}  // namespace
