// Container header, compressed and encrypted containers, built at test time
// with the project's container writer and then damaged in chosen places.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/log.h"
#include "support/log_capture.h"
#include "container_writer/container_writer.h"
#include "input/encrypted_file.h"
#include "input/generic_file.h"
#include "io/io.h"

namespace {

using Bytes = std::vector<uint8_t>;


std::unique_ptr<cIO_memoryAlloc> memoryOf(const Bytes& bytes) {
  auto m = cIO_memoryAlloc_ctor();
  if (!bytes.empty()) m->write(bytes.data(), static_cast<int64_t>(bytes.size()));
  m->seek(0, cIO::kSeekSet);
  return m;
}

Bytes readAll(cIO& s) {
  Bytes out;
  uint8_t buf[4096];
  s.seek(0, cIO::kSeekSet);
  for (int64_t got; (got = s.read(buf, sizeof buf)) > 0;) out.insert(out.end(), buf, buf + got);
  return out;
}

Bytes logLike(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes d(size);
  for (size_t i = 0; i < size; ++i) {
    d[i] = (i % 24 < 8) ? static_cast<uint8_t>(i / 24 >> (8 * (i % 3))) : static_cast<uint8_t>(rng() % 5);
  }
  return d;
}

std::unique_ptr<cIO> openCompressed(const Bytes& file) {
  auto in = memoryOf(file);
  cGenericFileHeader h;
  if (!cGenericFile_readHeader(in.get(), &h)) return nullptr;
  return cGenericFile_compressed_open(in.get(), h);
}

std::unique_ptr<cIO> openEncrypted(const Bytes& file, const std::string& password) {
  auto in = memoryOf(file);
  cGenericFileHeader h;
  if (!cGenericFile_readHeader(in.get(), &h)) return nullptr;
  return cGenericFile_encrypted_open(in.get(), h,
                                     reinterpret_cast<const uint8_t*>(password.data()),
                                     password.size());
}

void putU32BE(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

cEncryptOptions encryptOptions(std::string password = "secret") {
  cEncryptOptions o;
  o.password = std::move(password);
  o.deviceId = 0x1A2B3C4D;
  o.iterations = 10;
  return o;
}

TEST(cGenericFile, ReadHeaderParsesFieldsAndRejectsOtherFiles) {
  auto good = cContainer_header(0x22, 1, 1, 0x1A2B3C4D);
  Bytes file(good.begin(), good.end());
  cGenericFileHeader h;
  auto s = memoryOf(file);
  s->seek(7, cIO::kSeekSet);  // the reader seeks to the start itself
  ASSERT_TRUE(cGenericFile_readHeader(s.get(), &h));
  EXPECT_EQ(h.deviceId, 0x1A2B3C4Du);
  EXPECT_EQ(h.variant, 1);
  EXPECT_EQ(h.footerFlag, 1);
  EXPECT_EQ(h.containerType, 0x22);
  EXPECT_EQ(h.headerVersion, 1);

  struct Case {
    const char* name;
    Bytes bytes;
  };
  Bytes mdf(64, 0);
  std::memcpy(mdf.data(), "MDF     4.11    ", 16);
  Bytes lowerCase = file;
  lowerCase[0] = 'g';
  const Case bad[] = {
      {"plain MDF", mdf},
      {"19 bytes", Bytes(file.begin(), file.end() - 1)},
      {"empty", {}},
      {"magic differs in case", lowerCase},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.name);
    auto m = memoryOf(c.bytes);
    EXPECT_FALSE(cGenericFile_readHeader(m.get(), &h));
  }
  EXPECT_FALSE(cGenericFile_readHeader(nullptr, &h));
  EXPECT_FALSE(cGenericFile_readHeader(s.get(), nullptr));
}

TEST(cContainer, Crc32IsJamcrc) {
  struct Case {
    std::string text;
    uint32_t crc;
  };
  const Case cases[] = {{"", 0xFFFFFFFFu}, {"123456789", 0x340BC6D9u}, {"a", 0x174841BCu}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Bytes b(c.text.begin(), c.text.end());
    EXPECT_EQ(cContainer_crc32(b), c.crc);
    auto sink = cIO_memoryAlloc_ctor();
    auto crc = cIO_crc32_ctor(sink.get());
    crc->write(b.data(), static_cast<int64_t>(b.size()));
    EXPECT_EQ(cIO_crc32_getCRC(*crc), c.crc);
  }
}

TEST(cGenericFile_compressed, RoundTripsWithAndWithoutFooter) {
  struct Case {
    uint8_t w, l;
    bool footer;
    size_t size;
  };
  const Case cases[] = {{8, 4, true, 20000},  {8, 4, false, 20000}, {4, 3, true, 777},
                        {11, 4, true, 65536}, {15, 14, false, 40000}, {12, 9, true, 1},
                        {8, 4, true, 0},      {10, 8, false, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "W=" << int(c.w) << " L=" << int(c.l) << " footer "
                                    << c.footer << " size " << c.size);
    Bytes data = logLike(c.size, c.w);
    Bytes file = cContainer_compress(data, {.windowBits = c.w, .lookaheadBits = c.l,
                                            .crcFooter = c.footer, .deviceId = 42});
    ASSERT_FALSE(file.empty());
    auto s = openCompressed(file);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->tell(), static_cast<int64_t>(c.size));  // positioned at its end
    EXPECT_EQ(readAll(*s), data);
    auto* container = dynamic_cast<cGenericFileCompressed*>(s.get());
    ASSERT_NE(container, nullptr);
    EXPECT_EQ(container->window(), 1u << c.w);
    EXPECT_EQ(container->lookahead(), c.l);
    EXPECT_EQ(container->header().deviceId, 42u);
    EXPECT_EQ(cIO_close(s), 0);
  }
}

TEST(cGenericFile_compressed, RefusesBadHeaderAndParameterFields) {
  const Bytes data = logLike(3000, 1);
  const Bytes file = cContainer_compress(data, {.windowBits = 8, .lookaheadBits = 4});
  ASSERT_NE(openCompressed(file), nullptr);
  struct Case {
    const char* name;
    size_t at;
    uint8_t value;
    bool ok;
  };
  const Case cases[] = {
      {"variant 1, footer 0", 13, 0, false},
      {"variant 0, footer 1", 12, 0, false},
      {"variant and footer 2", 12, 2, false},
      {"encrypted type", 14, 0x11, false},
      {"unknown type", 14, 0x23, false},
      {"header version 2", 15, 2, false},
      {"header version 0", 15, 0, false},
      {"lookahead = window exponent", 23, 8, false},
      {"lookahead 2", 23, 2, false},
      {"lookahead field uses only its low byte", 22, 0x01, true},
      {"window 0", 26, 0, false},
      {"window 384 is not a power of two", 26, 0x81, false},
      {"window 2^16", 25, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bad = file;
    bad[c.at] = c.value;
    if (c.at == 25) bad[26] = 0;
    LogCapture log;
    EXPECT_EQ(openCompressed(bad) != nullptr, c.ok);
  }
}

TEST(cGenericFile_compressed, FooterMismatchNamesBothValues) {
  const Bytes data = logLike(5000, 2);
  Bytes file = cContainer_compress(data, {.windowBits = 8, .lookaheadBits = 4});
  auto payload = cHeatshrink_encode(data, 8, 4);
  const uint32_t computed = cContainer_crc32(*payload);
  for (int bit : {0, 13, 31}) {
    SCOPED_TRACE(bit);
    Bytes bad = file;
    const uint32_t footer = computed ^ (1u << bit);
    putU32BE(bad, bad.size() - 4, footer);
    LogCapture log;
    EXPECT_EQ(openCompressed(bad), nullptr);
    char expected[100];
    std::snprintf(expected, sizeof expected,
                  "E Could not validate checksum, expected %08X but found %08X", footer, computed);
    EXPECT_TRUE(log.has(expected)) << expected;
  }
}

TEST(cGenericFile_compressed, DamagedOrTruncatedPayloadFailsWithFooter) {
  const Bytes data = logLike(8000, 3);
  const Bytes file = cContainer_compress(data, {.windowBits = 10, .lookaheadBits = 5});
  for (size_t cut : {1u, 3u, 4u, 5u, 100u}) {
    SCOPED_TRACE(testing::Message() << "cut " << cut);
    LogCapture log;
    EXPECT_EQ(openCompressed(Bytes(file.begin(), file.end() - static_cast<long>(cut))), nullptr);
    EXPECT_TRUE(log.has("Could not validate checksum"));
  }
  for (size_t at : {size_t{28}, file.size() / 2, file.size() - 5}) {
    SCOPED_TRACE(testing::Message() << "flipped byte " << at);
    Bytes bad = file;
    bad[at] ^= 0x10;
    LogCapture log;
    EXPECT_EQ(openCompressed(bad), nullptr);
  }
}

TEST(cGenericFile_compressed, FooterThatCannotBeThereIsReported) {
  const Bytes file = cContainer_compress({}, {.windowBits = 8, .lookaheadBits = 4});
  ASSERT_EQ(file.size(), 32u);
  ASSERT_NE(openCompressed(file), nullptr);  // empty payload, footer present
  for (size_t size : {28u, 29u, 31u}) {
    SCOPED_TRACE(size);
    LogCapture log;
    EXPECT_EQ(openCompressed(Bytes(file.begin(), file.begin() + static_cast<long>(size))), nullptr);
    EXPECT_TRUE(log.has("E Expected to read out CRC from footer, but found none"));
  }
  // Shorter than the two parameter fields: refused without a footer message.
  LogCapture log;
  EXPECT_EQ(openCompressed(Bytes(file.begin(), file.begin() + 27)), nullptr);
  EXPECT_TRUE(log.messages().empty());
}

TEST(cGenericFile_compressed, WithoutFooterTruncationYieldsAPrefix) {
  const Bytes data = logLike(8000, 4);
  const Bytes file = cContainer_compress(data, {.windowBits = 8, .lookaheadBits = 4,
                                                .crcFooter = false});
  auto s = openCompressed(Bytes(file.begin(), file.end() - 500));
  ASSERT_NE(s, nullptr);
  Bytes got = readAll(*s);
  ASSERT_LT(got.size(), data.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
}

TEST(cGenericFile_compressed, MemoryLimitFailsTheFileInsteadOfTheProgram) {
  const Bytes data(200000, 0x55);  // compresses to a few kB
  const Bytes file = cContainer_compress(data, {.windowBits = 12, .lookaheadBits = 11});
  const uint64_t saved = cGenericFile_getMemoryLimit();
  cGenericFile_setMemoryLimit(100000);
  EXPECT_EQ(openCompressed(file), nullptr);
  Bytes small = cContainer_compress(Bytes(1000, 1), {});
  EXPECT_NE(openCompressed(small), nullptr);
  cGenericFile_setMemoryLimit(saved);
  EXPECT_NE(openCompressed(file), nullptr);
}

TEST(cGenericFile_compressed, NullStreamOrWrongHeaderYieldsNone) {
  cGenericFileHeader h;
  h.containerType = 0x22;
  h.headerVersion = 1;
  EXPECT_EQ(cGenericFile_compressed_open(nullptr, h), nullptr);
  auto s = memoryOf(Bytes(20, 0));  // fields after the header are missing
  EXPECT_EQ(cGenericFile_compressed_open(s.get(), h), nullptr);
}

TEST(cGenericFile_encrypted, MatchesIndependentlyComputedVector) {
  // Ciphertext and tag computed outside this project for these parameters.
  const std::string plain = "lograven container";
  cEncryptOptions o = encryptOptions();
  o.deviceId = 0x12345678;
  o.iterations = 3;
  o.salt.emplace();
  o.iv.emplace();
  for (int i = 0; i < 16; ++i) (*o.salt)[i] = static_cast<uint8_t>(i);
  for (int i = 0; i < 12; ++i) (*o.iv)[i] = static_cast<uint8_t>(0xA0 + i);
  auto file = cContainer_encrypt(Bytes(plain.begin(), plain.end()), o);
  ASSERT_TRUE(file.has_value());
  std::string hex;
  char two[3];
  for (size_t i = 52; i < file->size(); ++i) {
    std::snprintf(two, sizeof two, "%02x", (*file)[i]);
    hex += two;
  }
  EXPECT_EQ(hex, "4ffacf487e95cd27ded19b9f73341e2e832f018b21becd81db10b51f9ea3aae983c6");
  auto s = openEncrypted(*file, "secret");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(readAll(*s), Bytes(plain.begin(), plain.end()));
}

TEST(cGenericFile_encrypted, RoundTripsAnySize) {
  for (size_t size : {0u, 1u, 511u, 512u, 513u, 5000u}) {
    SCOPED_TRACE(size);
    Bytes data = logLike(size, 9);
    cEncryptOptions o = encryptOptions();
    o.variant = size % 2;
    auto file = cContainer_encrypt(data, o);
    ASSERT_TRUE(file.has_value());
    ASSERT_EQ(file->size(), size + 68);
    auto s = openEncrypted(*file, "secret");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->tell(), static_cast<int64_t>(size));
    EXPECT_EQ(readAll(*s), data);
  }
}

TEST(cGenericFile_encrypted, AnyChangedByteOrWrongPasswordFails) {
  const Bytes data = logLike(1500, 5);
  const auto file = cContainer_encrypt(data, encryptOptions());
  ASSERT_TRUE(file.has_value());
  struct Case {
    const char* name;
    size_t at;
  };
  const Case cases[] = {
      {"device id (additional data)", 19}, {"IV", 25},  {"iteration count", 35},
      {"salt", 40},                        {"first ciphertext byte", 52},
      {"ciphertext", 900},                 {"tag", file->size() - 10},
      {"last byte", file->size() - 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bad = *file;
    bad[c.at] ^= 0x01;
    EXPECT_EQ(openEncrypted(bad, "secret"), nullptr);
  }
  EXPECT_EQ(openEncrypted(*file, "Secret"), nullptr);
  EXPECT_EQ(openEncrypted(*file, "secret "), nullptr);
  EXPECT_EQ(openEncrypted(*file, ""), nullptr);
  EXPECT_NE(openEncrypted(*file, "secret"), nullptr);
}

TEST(cGenericFile_encrypted, TruncatedFilesAreRefused) {
  const auto file = cContainer_encrypt(logLike(100, 6), encryptOptions());
  ASSERT_TRUE(file.has_value());
  for (size_t size = 20; size < file->size(); size += (size < 70 ? 1 : 17)) {
    SCOPED_TRACE(size);
    EXPECT_EQ(openEncrypted(Bytes(file->begin(), file->begin() + static_cast<long>(size)), "secret"),
              nullptr);
  }
}

TEST(cGenericFile_encrypted, EmptyPlaintextIsExactly68Bytes) {
  auto file = cContainer_encrypt({}, encryptOptions(""));
  ASSERT_TRUE(file.has_value());
  ASSERT_EQ(file->size(), 68u);
  auto s = openEncrypted(*file, "");
  ASSERT_NE(s, nullptr);
  EXPECT_TRUE(readAll(*s).empty());
  // A null password of length 0 is the empty password.
  auto in = memoryOf(*file);
  cGenericFileHeader h;
  ASSERT_TRUE(cGenericFile_readHeader(in.get(), &h));
  EXPECT_NE(cGenericFile_encrypted_open(in.get(), h, nullptr, 0), nullptr);
  EXPECT_EQ(cGenericFile_encrypted_open(in.get(), h, nullptr, 3), nullptr);
  EXPECT_EQ(cGenericFile_encrypted_open(nullptr, h, nullptr, 0), nullptr);
}

TEST(cGenericFile_encrypted, RefusedBeforeKeyDerivation) {
  // Each of these would cost seconds or more if the key were derived.
  const auto file = cContainer_encrypt(logLike(64, 7), encryptOptions());
  ASSERT_TRUE(file.has_value());
  struct Case {
    const char* name;
    size_t at;
    uint8_t value;
    uint32_t iterations;
  };
  const Case cases[] = {
      {"footer flag 1", 13, 1, 0xFFFFFFFFu},
      {"variant 2", 12, 2, 0xFFFFFFFFu},
      {"compressed type", 14, 0x22, 0xFFFFFFFFu},
      {"header version 2", 15, 2, 0xFFFFFFFFu},
      {"iteration count above 10,000,000", 12, 0, 10'000'001u},
      {"largest iteration count", 12, 0, 0xFFFFFFFFu},
      {"iteration count 0", 12, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bad = *file;
    bad[c.at] = c.value;
    putU32BE(bad, 32, c.iterations);
    EXPECT_EQ(openEncrypted(bad, "secret"), nullptr);
  }
}

TEST(cGenericFile_encrypted, MemoryLimitFailsTheFile) {
  const auto file = cContainer_encrypt(Bytes(5000, 3), encryptOptions());
  ASSERT_TRUE(file.has_value());
  const uint64_t saved = cGenericFile_getMemoryLimit();
  cGenericFile_setMemoryLimit(4999);
  EXPECT_EQ(openEncrypted(*file, "secret"), nullptr);
  cGenericFile_setMemoryLimit(5000);
  EXPECT_NE(openEncrypted(*file, "secret"), nullptr);
  cGenericFile_setMemoryLimit(saved);
}

// A compressed container larger than 2 GiB, produced on the fly: the payload
// is all zero bits, which with W = 15 and L = 14 decode as 30-bit references
// of one byte each.  Too slow for every run (a few seconds in an optimised
// build); run with --gtest_also_run_disabled_tests.
class HugeZeroContainer final : public cIO {
 public:
  explicit HugeZeroContainer(int64_t size) : size_(size) {
    auto h = cContainer_header(kContainerTypeCompressed, 1, 1, 7);
    std::memcpy(head_, h.data(), 20);
    const uint8_t fields[8] = {0, 0, 0, 14, 0, 0, 0x80, 0};
    std::memcpy(head_ + 20, fields, 8);
    auto sink = cIO_memoryAlloc_ctor();
    auto crc = cIO_crc32_ctor(sink.get());
    static const uint8_t kZeros[1 << 16] = {};
    for (int64_t left = size - 32; left > 0;) {
      int64_t step = std::min<int64_t>(left, sizeof kZeros);
      crc->write(kZeros, step);
      sink->seek(0, cIO::kSeekSet);  // keep the sink small
      left -= step;
    }
    const uint32_t value = crc->getCRC();
    for (int i = 0; i < 4; ++i) tail_[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  }
  int64_t read(void* dst, int64_t n) override {
    n = std::max<int64_t>(0, std::min(n, size_ - pos_));
    auto* out = static_cast<uint8_t*>(dst);
    std::memset(out, 0, static_cast<size_t>(n));
    copyPart(out, n, 0, head_, 28);
    copyPart(out, n, size_ - 4, tail_, 4);
    pos_ += n;
    return n;
  }
  int64_t tell() override { return pos_; }
  int64_t seek(int64_t offset, int32_t origin) override {
    int64_t target = origin == kSeekSet ? offset : origin == kSeekCur ? pos_ + offset : size_ + offset;
    if (origin > kSeekEnd || target < 0 || target > size_) return -1;
    return pos_ = target;
  }

 private:
  // Copies the part of bytes [from, from + count) that falls into this read.
  void copyPart(uint8_t* out, int64_t n, int64_t from, const uint8_t* bytes, int64_t count) const {
    int64_t lo = std::max(from, pos_);
    int64_t hi = std::min(from + count, pos_ + n);
    for (int64_t at = lo; at < hi; ++at) out[at - pos_] = bytes[at - from];
  }

  int64_t size_;
  int64_t pos_ = 0;
  uint8_t head_[28];
  uint8_t tail_[4];
};

TEST(cGenericFile_compressed, DISABLED_ContainerOver2GiBUsesSixtyFourBitSizes) {
  const int64_t size = (int64_t{1} << 31) + 1000;
  HugeZeroContainer file(size);
  cGenericFileHeader h;
  ASSERT_TRUE(cGenericFile_readHeader(&file, &h));
  LogCapture log;
  auto s = cGenericFile_compressed_open(&file, h);
  ASSERT_NE(s, nullptr) << (log.messages().empty() ? "" : log.messages().front());
  EXPECT_EQ(s->tell(), (size - 32) * 8 / 30);
}

// Unwraps as the input walker does: read a header, open, repeat.
std::optional<Bytes> unwrapAll(const Bytes& file, const std::string& password, int* layers) {
  std::unique_ptr<cIO> current = memoryOf(file);
  *layers = 0;
  cGenericFileHeader h;
  while (cGenericFile_readHeader(current.get(), &h)) {
    std::unique_ptr<cIO> next;
    if (h.containerType == kGenericFileTypeCompressed) {
      next = cGenericFile_compressed_open(current.get(), h);
    } else if (h.containerType == kGenericFileTypeEncrypted) {
      next = cGenericFile_encrypted_open(current.get(), h,
                                         reinterpret_cast<const uint8_t*>(password.data()),
                                         password.size());
    }
    if (!next) return std::nullopt;
    EXPECT_EQ(cIO_close(current), 0);
    current = std::move(next);
    ++*layers;
  }
  return readAll(*current);
}

TEST(cContainer, NestedContainersUnwrapInAnyOrder) {
  Bytes mdf(3000, 0);
  std::memcpy(mdf.data(), "MDF     4.11    ", 16);
  for (size_t i = 16; i < mdf.size(); ++i) mdf[i] = static_cast<uint8_t>(i % 13);
  const cCompressOptions small{.windowBits = 9, .lookaheadBits = 5};
  const cCompressOptions large{.windowBits = 14, .lookaheadBits = 8, .crcFooter = false};
  struct Case {
    const char* name;
    std::vector<cContainerLayer> layers;
  };
  const Case cases[] = {
      {"compressed inside encrypted", {small, encryptOptions()}},
      {"encrypted inside compressed", {encryptOptions(), small}},
      {"twice compressed", {small, large}},
      {"mixed four deep", {large, encryptOptions(), small, encryptOptions()}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto file = cContainer_wrap(mdf, c.layers);
    ASSERT_TRUE(file.has_value());
    int layers = 0;
    auto plain = unwrapAll(*file, "secret", &layers);
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(*plain, mdf);
    EXPECT_EQ(layers, static_cast<int>(c.layers.size()));
  }
}

TEST(cContainer, HundredDeepNestingUnwraps) {
  Bytes mdf(100, 0);
  std::memcpy(mdf.data(), "MDF     4.11    ", 16);
  std::vector<cContainerLayer> layers;
  cEncryptOptions e = encryptOptions();
  e.iterations = 1;
  for (int i = 0; i < 100; ++i) {
    if (i % 10 == 9) {
      layers.emplace_back(cCompressOptions{.windowBits = 15, .lookaheadBits = 14});
    } else {
      layers.emplace_back(e);
    }
  }
  auto file = cContainer_wrap(mdf, layers);
  ASSERT_TRUE(file.has_value());
  int depth = 0;
  auto plain = unwrapAll(*file, "secret", &depth);
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(depth, 100);
  EXPECT_EQ(*plain, mdf);
  // With a wrong password unwrapping stops below the outermost (compressed)
  // layer, at the first encrypted one.
  EXPECT_FALSE(unwrapAll(*file, "wrong", &depth).has_value());
  EXPECT_EQ(depth, 1);
}

}  // namespace
