// Rows handed to a writing thread reach their writers as if written
// directly: in order, across more batches than the ring holds, through
// writers that share a file pool (and its buffer blocks), with a row wider
// than a batch, and with rows handed over as payloads of 3 and 12 bytes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fs/fs.h"
#include "output/csv_writer.h"
#include "output/flat_messages.h"
#include "output/row_thread.h"
#include "support/temp_dir.h"

namespace {

// Two messages whose rows go over as payloads: 3 bytes (padded to a word)
// and 12 (two words, a field in the second).
struct FlatMessages {
  cDB db{cDBBusKind::Can};
  cFlatMessageTable table;
  FlatMessages() {
    cDBMessage* m = cDB_messageAdd(&db, "Short", 1, 3, cDBTransport::None, "", 0);
    cDB_signalAdd(&m->signals, "a", {.bitPosition = 0, .bitLength = 8}, 0);
    cDB_signalAdd(&m->signals, "b", {.byteOrder = cDBByteOrder::BigEndian, .bitPosition = 8, .bitLength = 16}, 0);
    cDB_signalAdd(&m->signals, "c", {.bitPosition = 20, .bitLength = 2}, 0);
    m = cDB_messageAdd(&db, "Long", 2, 12, cDBTransport::None, "", 0);
    cDB_signalAdd(&m->signals, "a", {.bitPosition = 3, .bitLength = 9, .factor = 0.5}, 0);
    cDB_signalAdd(&m->signals, "b", {.valueType = cDBValueType::Signed, .bitPosition = 80, .bitLength = 12}, 0);
    cDB_signalAdd(&m->signals, "c", {.bitPosition = 60, .bitLength = 8, .offset = -7}, 0);
  }
};

// Writes the same rows to writers "<prefix>0" .. "<prefix>4" (writer 2 with
// 20,000 columns, wider than a batch, for one row; 3 and 4 from payloads)
// directly or through a thread.
void writeRows(const cFS& fs, const std::string& prefix, bool threaded) {
  cCsvFilePool pool(2);
  std::vector<std::string> names(20000);
  for (size_t i = 0; i < names.size(); ++i) names[i] = "s" + std::to_string(i);
  std::vector<std::string_view> wide(names.begin(), names.end());
  const std::vector<std::string_view> narrow(wide.begin(), wide.begin() + 3);
  std::vector<std::unique_ptr<cCsvWriter>> writers;
  for (int w = 0; w < 5; ++w)
    writers.push_back(cCsvWriter_ctor(fs, prefix + std::to_string(w), w == 2 ? wide : narrow, false, &pool));
  FlatMessages flat;
  const cFlatMessage* entries[] = {&flat.table.find(flat.db, 1), &flat.table.find(flat.db, 2)};
  auto thread = threaded ? std::make_unique<cRowWriterThread>() : nullptr;
  std::vector<double> values(20000);
  std::vector<uint8_t> payload;
  for (int row = 0; row < 20000; ++row) {
    const int w = row == 10000 ? 2 : row % 4 < 2 ? row % 2 : row % 4 + 1;
    if (w >= 3) {
      const cFlatMessage& entry = *entries[w - 3];
      ASSERT_EQ(entry.fastLength, entry.message->length);
      payload.resize(entry.fastLength);
      for (size_t b = 0; b < payload.size(); ++b) payload[b] = static_cast<uint8_t>(row * 7 + b * 31);
      if (thread) {
        thread->writeFlat(writers[w].get(), row, cFlatMessageTable::valueSignals(entry), payload);
      } else {
        ASSERT_EQ(flat.table.row(entry, payload, &values), 3);
        ASSERT_TRUE(writers[w]->write(row, values));
      }
      continue;
    }
    values.resize(20000);
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
  for (int w = 0; w < 5; ++w) {
    const std::string direct = readFile(dir / ("direct" + std::to_string(w) + ".csv"));
    EXPECT_GT(direct.size(), 100000u);
    EXPECT_EQ(readFile(dir / ("threaded" + std::to_string(w) + ".csv")), direct) << w;
  }
}

}  // namespace
