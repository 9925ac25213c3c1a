// CSV writer: number text exactly as printf "%f" (special values spelled
// out), header and rows, truncation and appending, and the open-file pool.
#include "output/csv_writer.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

std::string formatted(double v) {
  char buf[kCsvMaxNumberLength];
  return std::string(buf, cCsvWriter_formatNumber(buf, v));
}

TEST(cCsvWriter, NumbersMatchPrintfFixed) {
  std::mt19937_64 rng(0x5EED1234ABCDull);
  auto check = [](double v) {
    char expected[400];
    std::snprintf(expected, sizeof expected, "%f", v);
    ASSERT_EQ(formatted(v), expected) << std::hexfloat << v;
  };
  for (double v : {0.0, 1.5, -2.25, 1e20, 4.5e-7, 5e-7, 0.0078125, -0.0078125, 1e300, DBL_MAX,
                   -DBL_MAX, DBL_MIN, DBL_TRUE_MIN, 9.2e18, 9223372036854775807.0,
                   18446744073709551615.0, 0.9999995, 0.99999949999999})
    check(v);
  for (int i = 0; i < 40000; ++i) {
    uint64_t bits = rng();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (std::isfinite(v)) check(v);
    // Everyday magnitudes, and exact ties of the sixth decimal (2^-7 = 0.0078125).
    check(std::ldexp(static_cast<double>(rng() >> 11), -static_cast<int>(rng() % 80)));
    check(static_cast<double>(static_cast<int64_t>(rng() % 2000001) - 1000000) / 128.0);
    check(static_cast<double>(rng() % 100000000) * 1e-6 + 0.5e-6);
    check(static_cast<double>(rng() % 1000000) / 1024.0 + 9007199254740992.0 * (rng() % 2));
  }
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(formatted(nan) + formatted(-nan) + formatted(inf) + formatted(-inf), "NaNNaNInf-Inf");
  EXPECT_EQ(formatted(-0.0) + formatted(-1e-9), "-0.000000-0.000000");
}

TEST(cCsvWriter, CreatingTruncatesAppendingAddsNoHeaderWrongValueCountsWriteNothing) {
  TempDir dir;
  dir.write("f.csv", "old content\n");
  const std::vector<std::string_view> columns = {"a", "b", "c"};
  for (bool append : {false, true}) {
    auto w = cCsvWriter_ctor(dir / "f", columns, append);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->write(append ? 1700000000.123456 : 2.0, std::vector<double>{1, -2.5, std::nan("")}));
    EXPECT_FALSE(w->write(3.0, std::vector<double>{1, 2}));
    EXPECT_FALSE(w->write(3.0, std::vector<double>{1, 2, 3, 4}));
    EXPECT_TRUE(w->close());
  }
  EXPECT_EQ(dir.read("f.csv"), "t,a,b,c\n2.000000,1.000000,-2.500000,NaN\n1700000000.123456,1.000000,-2.500000,NaN\n");
  EXPECT_EQ(cCsvWriter_ctor(dir / "no/such/folder/f", columns), nullptr);
}

TEST(cCsvFilePool, ManyWritersKeepEveryRowWithFewOpenFiles) {
  TempDir dir;
  cCsvFilePool pool(3);
  const std::vector<std::string_view> cols = {"v"};
  std::vector<std::unique_ptr<cCsvWriter>> writers;
  for (int i = 0; i < 20; ++i) {
    writers.push_back(cCsvWriter_ctor(dir / ("w" + std::to_string(i)), cols, false, &pool));
    ASSERT_NE(writers.back(), nullptr);
    EXPECT_LE(pool.openCount(), 3u);
  }
  // Enough interleaved rows that every writer hands several blocks to a file
  // that another writer's block has closed in between.
  constexpr int kRows = 2500;
  for (int row = 0; row < kRows; ++row)
    for (int i = 0; i < 20; ++i) {
      ASSERT_TRUE(writers[i]->write(row, std::vector<double>{double(i)}));
      EXPECT_LE(pool.openCount(), 3u);
    }
  ASSERT_EQ(pool.openCount(), 3u);
  writers[19].reset();  // the most recently written: open until destroyed
  EXPECT_EQ(pool.openCount(), 2u);
  for (int i = 0; i < 19; ++i) EXPECT_TRUE(writers[i]->close());
  EXPECT_EQ(pool.openCount(), 0u);
  for (int i = 0; i < 20; ++i) {
    std::string expected = "t,v\n";
    for (int row = 0; row < kRows; ++row) expected += std::to_string(double(row)) + "," + std::to_string(double(i)) + "\n";
    EXPECT_EQ(dir.read("w" + std::to_string(i) + ".csv"), expected) << i;
  }
}

}  // namespace
