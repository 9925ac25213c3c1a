#include "output/csv_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "base/log.h"
#include "output/output_test_support.h"

namespace {

std::string formatted(double v) {
  char buf[kCsvMaxNumberLength];
  return std::string(buf, cCsvWriter_formatNumber(buf, v));
}

TEST(cCsvWriter, NumbersMatchPrintfFixed) {
  const uint64_t seed = 0x5EED1234ABCDull;
  std::printf("seed %llu\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);
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
    // Values of everyday magnitude, and exact ties of the sixth decimal
    // (dyadic fractions such as 2^-7 = 0.0078125).
    check(std::ldexp(static_cast<double>(rng() >> 11), -static_cast<int>(rng() % 80)));
    check(static_cast<double>(static_cast<int64_t>(rng() % 2000001) - 1000000) / 128.0);
    check(static_cast<double>(rng() % 100000000) * 1e-6 + 0.5e-6);
    check(static_cast<double>(rng() % 1000000) / 1024.0 + 9007199254740992.0 * (rng() % 2));
  }
}

TEST(cCsvWriter, SpecialValuesHaveTheirOwnSpelling) {
  struct Case {
    double value;
    const char* text;
  } const cases[] = {
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::numeric_limits<double>::infinity(), "Inf"},
      {-std::numeric_limits<double>::infinity(), "-Inf"},
      {-0.0, "-0.000000"},
      {-1e-9, "-0.000000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(formatted(c.value), c.text);
  }
}

TEST(cCsvWriter, HeaderAndRowsForVariousColumnCounts) {
  TempDir dir;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    std::vector<std::string_view> columns;
    double time;
    std::vector<double> values;
    std::string expected;
  } const cases[] = {
      {{"A", "B"}, 1.5, {2, nan}, "t,A,B\n1.500000,2.000000,NaN\n"},
      {{}, 1.0, {}, "t\n"},
      {{"x"}, 1700000000.123456, {-0.0}, "t,x\n1700000000.123456,-0.000000\n"},
      {{"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l"},
       2.0,
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, -12},
       "t,a,b,c,d,e,f,g,h,i,j,k,l\n2.000000,1.000000,2.000000,3.000000,4.000000,5.000000,"
       "6.000000,7.000000,8.000000,9.000000,10.000000,11.000000,-12.000000\n"},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string base = dir.path() + "/f" + std::to_string(n++);
    SCOPED_TRACE(base);
    {
      auto w = cCsvWriter_ctor(base, c.columns);
      ASSERT_NE(w, nullptr);
      EXPECT_TRUE(w->write(c.time, c.values));
      EXPECT_TRUE(w->close());
    }
    EXPECT_EQ(readFile(base + ".csv"), c.expected);
  }
}

TEST(cCsvWriter, WrongValueCountLeavesFileUnchanged) {
  TempDir dir;
  std::string base = dir.path() + "/f";
  std::vector<std::string_view> cols = {"A", "B"};
  auto w = cCsvWriter_ctor(base, cols);
  ASSERT_NE(w, nullptr);
  EXPECT_FALSE(w->write(1.0, std::vector<double>{1.0}));
  EXPECT_FALSE(w->write(1.0, std::vector<double>{1.0, 2.0, 3.0}));
  EXPECT_FALSE(w->hadError());
  w.reset();
  EXPECT_EQ(readFile(base + ".csv"), "t,A,B\n");
}

TEST(cCsvWriter, CreateTruncatesAndAppendKeepsRowsWithoutSecondHeader) {
  TempDir dir;
  std::string base = dir.path() + "/f";
  writeFile(base + ".csv", "old content\n");
  std::vector<std::string_view> cols = {"A"};
  {
    auto w = cCsvWriter_ctor(base, cols);
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(w->write(1.0, std::vector<double>{1.0}));
  }
  {
    auto w = cCsvWriter_ctor(base, cols, /*append=*/true);
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(w->write(2.0, std::vector<double>{2.0}));
  }
  EXPECT_EQ(readFile(base + ".csv"), "t,A\n1.000000,1.000000\n2.000000,2.000000\n");
}

TEST(cCsvWriter, MissingFolderOrEmptyPathGivesNull) {
  TempDir dir;
  std::vector<std::string_view> cols = {"A"};
  EXPECT_EQ(cCsvWriter_ctor(dir.path() + "/no/such/folder/f", cols), nullptr);
  EXPECT_EQ(cCsvWriter_ctor("", cols), nullptr);
}

TEST(cCsvFilePool, ManyWritersKeepEveryRowWithFewOpenFiles) {
  TempDir dir;
  cCsvFilePool pool(3);
  std::vector<std::string_view> cols = {"v"};
  std::vector<std::unique_ptr<cCsvWriter>> writers;
  for (int i = 0; i < 20; ++i) {
    writers.push_back(cCsvWriter_ctor(dir.path() + "/w" + std::to_string(i), cols, false, &pool));
    ASSERT_NE(writers.back(), nullptr);
    EXPECT_LE(pool.openCount(), 3u);
  }
  // Interleave enough rows that every writer hands several blocks to a file
  // that another writer's block has closed in between.
  constexpr int kRows = 2500;
  for (int row = 0; row < kRows; ++row)
    for (int i = 0; i < 20; ++i) {
      ASSERT_TRUE(writers[i]->write(row, std::vector<double>{double(i)}));
      EXPECT_LE(pool.openCount(), 3u);
    }
  for (auto& w : writers) EXPECT_TRUE(w->close());
  EXPECT_EQ(pool.openCount(), 0u);
  for (int i = 0; i < 20; ++i) {
    std::string expected = "t,v\n";
    for (int row = 0; row < kRows; ++row) {
      char line[64];
      std::snprintf(line, sizeof line, "%f,%f\n", double(row), double(i));
      expected += line;
    }
    EXPECT_EQ(readFile(dir.path() + "/w" + std::to_string(i) + ".csv"), expected) << i;
  }
}

TEST(cCsvFilePool, DestroyingAWriterReleasesItsSlot) {
  TempDir dir;
  cCsvFilePool pool(2);
  std::vector<std::string_view> cols = {"v"};
  auto a = cCsvWriter_ctor(dir.path() + "/a", cols, false, &pool);
  auto b = cCsvWriter_ctor(dir.path() + "/b", cols, false, &pool);
  EXPECT_EQ(pool.openCount(), 2u);
  a.reset();
  EXPECT_EQ(pool.openCount(), 1u);
  EXPECT_TRUE(b->isOpen());
}

TEST(cCsvWriter, FullDiskIsReportedWithThePath) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full not available";
  TempDir dir;
  std::string base = dir.path() + "/full";
  ASSERT_EQ(symlink("/dev/full", (base + ".csv").c_str()), 0);
  LogCapture log;
  std::vector<std::string_view> cols = {"A"};
  auto w = cCsvWriter_ctor(base, cols);
  ASSERT_NE(w, nullptr);
  // Rows are buffered; the failure shows at the latest when the file is closed.
  for (int i = 0; i < 10; ++i) (void)w->write(i, std::vector<double>{1.0});
  EXPECT_FALSE(w->close());
  EXPECT_TRUE(w->hadError());
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_NE(log.lines()[0].find(base + ".csv"), std::string::npos) << log.lines()[0];
}

}  // namespace
