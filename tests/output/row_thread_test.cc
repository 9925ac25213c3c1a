// Rows handed to a writing thread reach their writers as if written
// directly: in order, across more batches than the ring holds, through
// writers that share a file pool (and its buffer blocks), and with a row
// wider than a batch.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fs/fs.h"
#include "output/csv_writer.h"
#include "output/row_thread.h"
#include "support/temp_dir.h"

namespace {

// Writes the same rows to writers "<prefix>0" .. "<prefix>2" (two narrow,
// one with 20,000 columns, wider than a batch, for one row) directly or through a thread.
void writeRows(const cFS& fs, const std::string& prefix, bool threaded) {
  cCsvFilePool pool(2);
  std::vector<std::string> names(20000);
  for (size_t i = 0; i < names.size(); ++i) names[i] = "s" + std::to_string(i);
  std::vector<std::string_view> wide(names.begin(), names.end());
  const std::vector<std::string_view> narrow(wide.begin(), wide.begin() + 3);
  std::vector<std::unique_ptr<cCsvWriter>> writers;
  for (int w = 0; w < 3; ++w)
    writers.push_back(cCsvWriter_ctor(fs, prefix + std::to_string(w), w == 2 ? wide : narrow, false, &pool));
  auto thread = threaded ? std::make_unique<cRowWriterThread>() : nullptr;
  std::vector<double> values(20000);
  for (int row = 0; row < 20000; ++row) {
    const int w = row == 10000 ? 2 : row % 2;
    const size_t count = w == 2 ? values.size() : 3;
    for (size_t v = 0; v < count; ++v) values[v] = row * 0.5 + static_cast<double>(v);
    const std::span<const double> span(values.data(), count);
    if (thread)
      thread->write(writers[w].get(), row, span);
    else
      ASSERT_TRUE(writers[w]->write(row, span));
  }
  if (thread) thread->drain();
  for (auto& writer : writers) ASSERT_TRUE(writer->close());
}

TEST(cRowWriterThread, RowsReachTheirWritersAsWithoutTheThread) {
  TempDir dir;
  auto fs = cFS_os_ctor(dir.path() + "/");
  writeRows(*fs, "direct", false);
  writeRows(*fs, "threaded", true);
  for (int w = 0; w < 3; ++w) {
    const std::string direct = readFile(dir / ("direct" + std::to_string(w) + ".csv"));
    EXPECT_GT(direct.size(), 100000u);
    EXPECT_EQ(readFile(dir / ("threaded" + std::to_string(w) + ".csv")), direct) << w;
  }
}

}  // namespace
