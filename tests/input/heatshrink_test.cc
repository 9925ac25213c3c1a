// Heatshrink decoder and decompressing stream: hand-built bit streams, a
// plain reference decoder over random input, and round trips through the
// project's encoder.
#include "input/heatshrink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "container_writer/container_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

// "1 0100 0001" style bit text (spaces ignored) to bytes, zero padded.
Bytes fromBits(const std::string& text) {
  Bytes out;
  int n = 0;
  for (char c : text) {
    if (c != '0' && c != '1') continue;
    if (n % 8 == 0) out.push_back(0);
    if (c == '1') out.back() |= static_cast<uint8_t>(0x80 >> (n % 8));
    ++n;
  }
  return out;
}

std::string bitsOf(uint32_t value, unsigned width) {
  std::string s;
  for (unsigned i = width; i-- > 0;) s += ((value >> i) & 1) ? '1' : '0';
  return s;
}

// Straightforward decoder written from the format description: whole tokens
// only, a reference before the first output byte reads zero.
Bytes referenceDecode(const Bytes& in, unsigned w, unsigned l) {
  Bytes out;
  size_t bit = 0;
  const size_t total = in.size() * 8;
  auto take = [&](unsigned n) {
    uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i, ++bit) v = (v << 1) | ((in[bit / 8] >> (7 - bit % 8)) & 1);
    return v;
  };
  for (;;) {
    if (bit + 1 > total) break;
    size_t start = bit;
    if (take(1)) {
      if (bit + 8 > total) break;
      out.push_back(static_cast<uint8_t>(take(8)));
      continue;
    }
    if (bit + w + l > total) {
      bit = start;
      break;
    }
    size_t dist = take(w) + 1;
    size_t count = take(l) + 1;
    for (size_t i = 0; i < count; ++i) {
      out.push_back(out.size() >= dist ? out[out.size() - dist] : 0);
    }
  }
  return out;
}

// Drives a decoder with input pieces of `sinkStep` bytes and output room of
// `pollStep` bytes, as an embedded caller would.
Bytes decodeInSteps(const Bytes& in, uint8_t w, uint8_t l, size_t sinkStep, size_t pollStep,
                    uint16_t bufferSize = 64) {
  auto d = heatshrink_decoder_alloc(bufferSize, w, l);
  EXPECT_NE(d, nullptr);
  if (!d) return {};
  Bytes out;
  Bytes room(pollStep);
  size_t pos = 0;
  auto drain = [&] {
    for (;;) {
      size_t got = 0;
      HSD_poll_res r = d->poll(room.data(), room.size(), &got);
      out.insert(out.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(got));
      if (r != HSD_poll_res::kMore) {
        EXPECT_EQ(r, HSD_poll_res::kEmpty);
        return;
      }
    }
  };
  while (pos < in.size()) {
    size_t accepted = 0;
    size_t step = std::min(sinkStep, in.size() - pos);
    HSD_sink_res r = d->sink(in.data() + pos, step, &accepted);
    EXPECT_NE(r, HSD_sink_res::kErrorNull);
    pos += accepted;
    drain();
  }
  for (int guard = 0; d->finish() == HSD_finish_res::kMore && guard < 1000; ++guard) drain();
  EXPECT_EQ(d->finish(), HSD_finish_res::kDone);
  return out;
}

// In-memory source for the stream tests.
class MemorySource final : public cIO {
 public:
  explicit MemorySource(Bytes bytes, int64_t failAt = -1) : bytes_(std::move(bytes)), failAt_(failAt) {}
  int64_t read(void* dst, int64_t n) override {
    if (failAt_ >= 0 && pos_ >= failAt_) return -1;
    int64_t take = std::min<int64_t>(n, static_cast<int64_t>(bytes_.size()) - pos_);
    if (take <= 0) return 0;
    std::memcpy(dst, bytes_.data() + pos_, static_cast<size_t>(take));
    pos_ += take;
    return take;
  }

 private:
  Bytes bytes_;
  int64_t failAt_;
  int64_t pos_ = 0;
};

Bytes readStream(cIO& s, int64_t step) {
  Bytes out;
  Bytes buf(static_cast<size_t>(step));
  for (;;) {
    int64_t got = s.read(buf.data(), step);
    EXPECT_GE(got, 0);
    if (got <= 0) return out;
    out.insert(out.end(), buf.begin(), buf.begin() + got);
  }
}

Bytes sampleData(int kind, size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes d(size);
  switch (kind) {
    case 0:  // random
      for (auto& b : d) b = static_cast<uint8_t>(rng());
      break;
    case 1:  // long runs
      for (size_t i = 0; i < size; ++i) d[i] = static_cast<uint8_t>((i / 700) * 37);
      break;
    case 2:  // small alphabet, many short repeats
      for (auto& b : d) b = static_cast<uint8_t>("ABCD"[rng() % 4]);
      break;
    default:  // log-like records: slowly changing fields
      for (size_t i = 0; i < size; ++i) {
        d[i] = (i % 16 < 4) ? static_cast<uint8_t>(i / 16) : static_cast<uint8_t>((i % 16) * (rng() % 3));
      }
  }
  return d;
}

struct HandBuilt {
  const char* name;
  uint8_t w, l;
  std::string bits;
  Bytes expected;
};

TEST(heatshrink_decoder, DecodesHandBuiltStreams) {
  const Bytes fiveA(5, 0x41);
  Bytes abc300;  // 300 bytes of "abc" repeated, then a reference 300 back
  for (int i = 0; i < 300; ++i) abc300.push_back(static_cast<uint8_t>("abc"[i % 3]));
  std::string abcBits;
  for (int i = 0; i < 300; ++i) abcBits += "1" + bitsOf(abc300[i], 8);
  Bytes abcExpected = abc300;
  abcExpected.insert(abcExpected.end(), abc300.begin(), abc300.begin() + 290);
  Bytes lastTwice = abcExpected;

  const std::vector<HandBuilt> cases = {
      {"literal then overlapping run", 8, 4, "1 01000001  0 00000000 0011", fiveA},
      {"reference before the start reads zeros", 8, 4, "0 00000100 0010  1 01111010",
       {0, 0, 0, 'z'}},
      {"window below 8 bits", 5, 3, "1 01111000 1 01111001 0 00001 111", {'x', 'y', 'x', 'y', 'x', 'y', 'x', 'y', 'x', 'y'}},
      {"window above 8 bits, count above 8 bits", 12, 10,
       abcBits + "0" + bitsOf(299, 12) + bitsOf(289, 10), abcExpected},
      {"largest window and lookahead", 15, 14,
       "1 00000001 0" + bitsOf(0, 15) + bitsOf(16383, 14), Bytes(16385, 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes in = fromBits(c.bits);
    EXPECT_EQ(decodeInSteps(in, c.w, c.l, in.size(), 100000), c.expected);
    EXPECT_EQ(decodeInSteps(in, c.w, c.l, 1, 1), c.expected);
    EXPECT_EQ(referenceDecode(in, c.w, c.l), c.expected);
  }
}

TEST(heatshrink_decoder, CapacityOneDuringReferenceYieldsOneByteEach) {
  auto d = heatshrink_decoder_alloc(32, 8, 4);
  ASSERT_NE(d, nullptr);
  Bytes in = fromBits("1 01000001  0 00000000 0011  1 01000010");  // "A", 4 x "A", "B"
  size_t accepted = 0;
  ASSERT_EQ(d->sink(in.data(), in.size(), &accepted), HSD_sink_res::kOk);
  ASSERT_EQ(accepted, in.size());
  uint8_t byte = 0;
  size_t got = 0;
  struct Step {
    HSD_poll_res result;
    size_t produced;
    uint8_t value;
  };
  const Step steps[] = {
      {HSD_poll_res::kMore, 1, 'A'},  // literal
      {HSD_poll_res::kMore, 1, 'A'}, {HSD_poll_res::kMore, 1, 'A'},
      {HSD_poll_res::kMore, 1, 'A'}, {HSD_poll_res::kMore, 1, 'A'},  // reference of 4
      {HSD_poll_res::kMore, 1, 'B'},  // next tag, literal
      {HSD_poll_res::kEmpty, 0, 0},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(i);
    byte = 0;
    EXPECT_EQ(d->poll(&byte, 1, &got), steps[i].result);
    EXPECT_EQ(got, steps[i].produced);
    if (got == 1) {
      EXPECT_EQ(byte, steps[i].value);
    }
    if (i >= 1 && i <= 3) {
      EXPECT_EQ(d->state(), heatshrink_decoder::State::kYieldBackref);
    }
  }
  EXPECT_EQ(d->finish(), HSD_finish_res::kDone);
}

TEST(heatshrink_decoder, AllocRejectsParametersOutOfRange) {
  struct Case {
    uint16_t buffer;
    uint8_t w, l;
    bool ok;
  };
  const Case cases[] = {
      {1024, 8, 4, true},   {1024, 4, 3, true},   {1024, 15, 14, true}, {1, 9, 8, true},
      {1024, 16, 4, false}, {1024, 3, 2, false},  {1024, 8, 8, false},  {1024, 8, 2, false},
      {1024, 8, 9, false},  {0, 8, 4, false},     {1024, 0, 0, false},  {1024, 255, 4, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.buffer << " " << int(c.w) << " " << int(c.l));
    EXPECT_EQ(heatshrink_decoder_alloc(c.buffer, c.w, c.l) != nullptr, c.ok);
  }
}

TEST(heatshrink_decoder, SinkAcceptsOnlyFreeRoomAndChecksArguments) {
  auto d = heatshrink_decoder_alloc(16, 8, 4);
  ASSERT_NE(d, nullptr);
  Bytes in(20, 0xFF);
  size_t accepted = 99;
  EXPECT_EQ(d->sink(nullptr, 1, &accepted), HSD_sink_res::kErrorNull);
  EXPECT_EQ(d->sink(in.data(), 1, nullptr), HSD_sink_res::kErrorNull);
  EXPECT_EQ(d->sink(in.data(), 10, &accepted), HSD_sink_res::kOk);
  EXPECT_EQ(accepted, 10u);
  EXPECT_EQ(d->sink(in.data(), 10, &accepted), HSD_sink_res::kOk);
  EXPECT_EQ(accepted, 6u);
  EXPECT_EQ(d->sink(in.data(), 10, &accepted), HSD_sink_res::kFull);
  EXPECT_EQ(accepted, 0u);
  EXPECT_EQ(d->finish(), HSD_finish_res::kMore);  // input still held
  size_t got = 0;
  EXPECT_EQ(d->poll(nullptr, 1, &got), HSD_poll_res::kErrorNull);
  uint8_t out[256];
  EXPECT_EQ(d->poll(out, sizeof out, nullptr), HSD_poll_res::kErrorNull);
  // 16 bytes of 0xFF are 14 literals of 0xFF with 2 bits over.
  EXPECT_EQ(d->poll(out, sizeof out, &got), HSD_poll_res::kEmpty);
  EXPECT_EQ(got, 14u);
  EXPECT_EQ(d->inputHeld(), 0u);
  EXPECT_EQ(d->sink(in.data(), 16, &accepted), HSD_sink_res::kOk);
  EXPECT_EQ(accepted, 16u);
}

TEST(heatshrink_decoder, PaddingBitsLookingLikeAReferenceCountAsDone) {
  // One literal leaves 7 zero padding bits: a tag 0 and the start of an index.
  for (uint8_t w = 4; w <= 15; ++w) {
    for (uint8_t l = 3; l < w; ++l) {
      SCOPED_TRACE(testing::Message() << "W=" << int(w) << " L=" << int(l));
      Bytes in = fromBits("1 10101010");
      EXPECT_EQ(decodeInSteps(in, w, l, 1, 7), Bytes{0xAA});
    }
  }
}

TEST(heatshrink_decoder, ResetForgetsWindowAndInput) {
  auto d = heatshrink_decoder_alloc(64, 8, 4);
  ASSERT_NE(d, nullptr);
  Bytes first = fromBits("1 01100001 1 01100010 1 01100011");
  Bytes second = fromBits("0 00000010 0010");  // 3 bytes from 3 back
  uint8_t out[16];
  size_t n = 0, got = 0;
  d->sink(first.data(), first.size(), &n);
  d->poll(out, sizeof out, &got);
  ASSERT_EQ(got, 3u);
  d->reset();
  EXPECT_EQ(d->finish(), HSD_finish_res::kDone);
  d->sink(second.data(), second.size(), &n);
  d->poll(out, sizeof out, &got);
  ASSERT_EQ(got, 3u);
  EXPECT_EQ(Bytes(out, out + 3), Bytes(3, 0));
}

TEST(heatshrink_decoder, MatchesReferenceOnRandomBitStreams) {
  const uint32_t seed = 20261206;
  std::mt19937 rng(seed);
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  const std::pair<uint8_t, uint8_t> params[] = {{4, 3}, {5, 4}, {8, 4}, {8, 7}, {9, 8},
                                                {10, 9}, {12, 10}, {13, 4}, {15, 14}};
  for (auto [w, l] : params) {
    for (int round = 0; round < 4; ++round) {
      Bytes in(200 + rng() % 3000);
      for (auto& b : in) b = static_cast<uint8_t>(rng());
      SCOPED_TRACE(testing::Message() << "W=" << int(w) << " L=" << int(l) << " round " << round);
      Bytes expected = referenceDecode(in, w, l);
      size_t sinkStep = 1 + rng() % 100;
      size_t pollStep = 1 + rng() % 300;
      EXPECT_EQ(decodeInSteps(in, w, l, sinkStep, pollStep, static_cast<uint16_t>(1 + rng() % 128)),
                expected);
      EXPECT_EQ(decodeInSteps(in, w, l, in.size(), 1 << 20, 4096), expected);
    }
  }
}

TEST(heatshrink_decoder, RoundTripsThroughEncoderForAllParameters) {
  for (uint8_t w = 4; w <= 15; ++w) {
    for (uint8_t l = 3; l < w; ++l) {
      for (int kind = 0; kind < 4; ++kind) {
        SCOPED_TRACE(testing::Message() << "W=" << int(w) << " L=" << int(l) << " kind " << kind);
        Bytes data = sampleData(kind, 3000 + 97 * kind, w * 100u + l);
        auto packed = cHeatshrink_encode(data, w, l);
        ASSERT_TRUE(packed.has_value());
        EXPECT_EQ(decodeInSteps(*packed, w, l, 1024, 4096, 1024), data);
        if (kind != 0) {
          EXPECT_LT(packed->size(), data.size());
        }
      }
    }
  }
}

TEST(cIO_heatshrink, ReadsInAnyStepSize) {
  Bytes data = sampleData(3, 50000, 7);
  auto packed = cHeatshrink_encode(data, 11, 4);
  ASSERT_TRUE(packed.has_value());
  for (int64_t step : {1, 3, 1000, 4096, 100000}) {
    SCOPED_TRACE(step);
    MemorySource src(*packed);
    auto s = cIO_heatshrink_open(&src, 11, 4);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(readStream(*s, step), data);
    uint8_t b;
    EXPECT_EQ(s->read(&b, 1), 0);  // stays at the end
  }
}

TEST(cIO_heatshrink, EmptyInputEndsAtOnceAndOtherOperationsFail) {
  MemorySource src({});
  auto s = cIO_heatshrink_open(&src, 8, 4);
  ASSERT_NE(s, nullptr);
  uint8_t buf[8];
  EXPECT_EQ(s->read(buf, 0), 0);
  EXPECT_EQ(s->read(buf, sizeof buf), 0);
  EXPECT_EQ(s->write(buf, 1), -1);
  EXPECT_EQ(s->tell(), -1);
  EXPECT_EQ(s->seek(0, cIO::kSeekSet), -1);
  EXPECT_EQ(s->close(), 0);
}

TEST(cIO_heatshrink, RefusesBadParametersAndNullInner) {
  MemorySource src({});
  EXPECT_EQ(cIO_heatshrink_open(&src, 8, 8), nullptr);
  EXPECT_EQ(cIO_heatshrink_open(&src, 16, 4), nullptr);
  EXPECT_EQ(cIO_heatshrink_open(nullptr, 8, 4), nullptr);
}

TEST(cIO_heatshrink, InnerReadErrorIsAnError) {
  Bytes data = sampleData(0, 10000, 3);
  auto packed = cHeatshrink_encode(data, 8, 4);
  ASSERT_TRUE(packed.has_value());
  MemorySource src(*packed, 2048);  // fails after two input steps
  auto s = cIO_heatshrink_open(&src, 8, 4);
  ASSERT_NE(s, nullptr);
  Bytes buf(100000);
  int64_t total = 0, got;
  while ((got = s->read(buf.data(), 4096)) > 0) total += got;
  EXPECT_EQ(got, -1);
  EXPECT_LT(total, static_cast<int64_t>(data.size()));
}

}  // namespace
