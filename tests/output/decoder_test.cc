// Decoder layer: limits, day folders, signal sets sharing a path, the
// open-file limit and output failures, checked as whole CSV trees, with the
// rows written by the decoder's own thread, by a writing thread from the
// start, and by one started mid-input when a spare processor turns up.
#include "output/decoder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "base/log.h"
#include "fs/fs.h"
#include "support/fault_fs.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

constexpr double kNoon = 1709640000.0;      // 2024-03-05 12:00:00 UTC
constexpr double kMidnight = 1709683200.0;  // 2024-03-06 00:00:00 UTC
const std::string kFile = "/2024/03/05/00000012_00000003.csv";

struct SignalDef { const char* name; uint16_t byte; double minimum = 0.0, maximum = 0.0; uint8_t ignored = 0; double factor = 1; };

// Who writes the decoder's rows.
enum class Rows { kInLine, kByAThread, kBySpareProcessor };
constexpr const char* kRowsNames[] = {"InLine", "ByAThread", "BySpareProcessor"};
class cDecoderTest : public ::testing::TestWithParam<Rows> {};

// A decoder of device 0A1B2C3D, session 12, split 3, over a temporary folder.
struct Harness {
  TempDir dir;
  std::shared_ptr<FaultLog> faults = std::make_shared<FaultLog>(dir.path());
  std::unique_ptr<cFS> fs = std::make_unique<cFS>(dir.path(), std::make_unique<FaultBackend>(faults));
  cDBMap can, lin;
  std::atomic<uint32_t> spare{cDecoderTest::GetParam() == Rows::kBySpareProcessor ? 1u : 0u};
  std::unique_ptr<cDecoder> decoder = cDecoder_ctor(
      fs.get(), &can, &lin, {.writeThread = cDecoderTest::GetParam() == Rows::kByAThread, .spareProcessors = &spare});

  Harness() {
    EXPECT_TRUE(decoder->newFile({.inputPath = "x.mf4", .serialNumber = "0A1B2C3D", .session = 12, .split = 3}, false));
  }

  // Adds a message of 8-bit unsigned Intel signals to `db` (null: a new
  // database on channel 1).
  cDB* add(const char* name, uint32_t key, std::initializer_list<SignalDef> signals, cDB* db = nullptr) {
    if (db == nullptr) db = can[1].emplace_back(std::make_unique<cDB>(cDBBusKind::Can)).get();
    cDBMessage* m = cDB_messageAdd(db, name, key, 8, cDBTransport::None, "", 0);
    for (const SignalDef& s : signals)
      cDB_signalAdd(&m->signals, s.name, {.bitPosition = static_cast<uint16_t>(s.byte * 8), .bitLength = 8,
                                          .factor = s.factor, .minimum = s.minimum, .maximum = s.maximum}, s.ignored);
    return db;
  }
  void send(double t, uint32_t id, std::vector<uint8_t> data, bool extended = false) {
    cBusMsg msg{.timeStamp = t, .channel = 1, .id = id, .data = std::move(data),
                .type = cBusMsgType::BUS_MSG_CAN_DATA_FRAME, .can = {.ide = extended}, .lin = {}, .canError = {}};
    EXPECT_TRUE(decoder->newMsg(msg));
  }
  FileTree tree() {
    EXPECT_TRUE(decoder->closeWriters());
    return readTree(dir.path());
  }
};

TEST_P(cDecoderTest, LimitsTurnValuesIntoNaNAndDropRowsWithoutAnyValidValue) {
  const struct {
    double minA, maxA, minB, maxB;
    uint8_t a, b;
    const char* row;  // null: no row and no file
    uint64_t signals;
    double factor = 1;
  } cases[] = {
      {0, 10, 0, 10, 5, 6, "5.000000,6.000000", 2},
      {0, 10, 0, 10, 5, 60, "5.000000,NaN", 1},
      {5, 5, 6, 6, 5, 6, "5.000000,6.000000", 2},  // limits inclusive
      {0, 0, 1, 2, 200, 9, "200.000000,NaN", 1},   // no limits: always within
      {1, 2, 1, 2, 5, 6, nullptr, 0},
      {0.3, 0.3, 0, 0.6, 3, 7, "0.300000,NaN", 1, 0.1},  // 3 * 0.1 is a rounding above 0.3
      // Limits that hold every value of the byte: a writing thread takes
      // the values from the payload.
      {0, 255, 0, 255, 0, 255, "0.000000,255.000000", 2},
      {0, 255, 0, 254, 0, 255, "0.000000,NaN", 1},
      {1, 255, 1, 255, 0, 0, nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.row ? c.row : "no row");
    Harness h;
    h.add("Engine_Speed-1", 0x10, {{"A", 0, c.minA, c.maxA, 0, c.factor}, {"B", 1, c.minB, c.maxB, 0, c.factor},
                                   {"Hidden", 2, 1, 2, 1}});
    cDecoder& d = *h.decoder;
    h.send(kNoon + 0.25, 0x10, {c.a, c.b, 99, 0, 0, 0, 0, 0});  // Hidden: ignored, never written
    h.send(kNoon + 0.25, 0x10, {c.a, c.b});  // without Hidden: decoded signal by signal, another set
    h.send(kNoon + 0.5, 0x11, {1, 2, 3});        // unknown key
    FileTree expected;
    for (const char* file : {"", "_2"})  // the second: the short frame's signal set
      if (c.row) expected["0A1B2C3D_out/CAN1_EngineSpeed1" + kFile.substr(0, 29) + file + ".csv"] =
          std::string("t,A,B\n1709640000.250000,") + c.row + "\n";
    EXPECT_EQ(h.tree(), expected);
    EXPECT_EQ(d.getStatistics().files, expected.size());
    EXPECT_EQ(d.getStatistics().messages, expected.size());
    EXPECT_EQ(d.getStatistics().signals, 2 * c.signals);
  }
}

TEST_P(cDecoderTest, DayFoldersFollowTheUtcDateOfEveryRow) {
  auto at = [](const std::string& day) { return "0A1B2C3D_out/CAN1_M/" + day + "/00000012_00000003.csv"; };
  const struct {
    std::vector<double> times;  // the n-th frame carries the value n + 1
    FileTree expected;
    int undatedWarnings = 0;
  } cases[] = {
      // Over midnight (its very second is the new day's) and back: the earlier
      // day's file is appended to, one header.
      {{kMidnight - 2, kMidnight, kMidnight + 1, kMidnight - 1},
       {{at("2024/03/05"), "t,A\n1709683198.000000,1.000000\n1709683199.000000,4.000000\n"},
        {at("2024/03/06"), "t,A\n1709683200.000000,2.000000\n1709683201.000000,3.000000\n"}}},
      // The day of the second the row prints: before 1970 the second below,
      // and a time rounded up to midnight the new day's.
      {{-1.5}, {{at("1969/12/31"), "t,A\n-1.500000,1.000000\n"}}},
      {{-0.5}, {{at("1969/12/31"), "t,A\n-0.500000,1.000000\n"}}},
      {{kMidnight - 4e-7}, {{at("2024/03/06"), "t,A\n1709683200.000000,1.000000\n"}}},
      // Non-numbers and times outside the years 1 to 9999 (an erased record)
      // go to 1970-01-01, with a warning.
      {{std::nan(""), HUGE_VAL, -1e300, 0.999, 1.8e13},
       {{at("1970/01/01"),
         "t,A\nNaN,1.000000\nInf,2.000000\n" + std::to_string(-1e300) +
             ",3.000000\n0.999000,4.000000\n18000000000000.000000,5.000000\n"}},
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.times[0]);
    LogCapture log;
    Harness h;
    h.add("M", 0x10, {{"A", 0}});
    for (size_t i = 0; i < c.times.size(); ++i) h.send(c.times[i], 0x10, {static_cast<uint8_t>(i + 1)});
    EXPECT_EQ(h.tree(), c.expected);
    EXPECT_EQ(log.count("Rows of x.mf4 have time stamps that are no date"), c.undatedWarnings);
    // One journal record per file, however often the day went back and forth.
    EXPECT_EQ(std::count(h.faults->ops.begin(), h.faults->ops.end(), "sync .lograven-journal"), static_cast<std::ptrdiff_t>(c.expected.size()));
  }
}

// The message table starts over past 65,536 entries; rows before and after are kept.
TEST_P(cDecoderTest, ManyIdentifiersInNoDatabaseLoseNoRows) {
  Harness h;
  h.add("M", 0x10, {{"A", 0}});
  h.send(kNoon, 0x10, {1});
  for (uint32_t id = 0; id < (1u << 17); ++id) h.send(kNoon, id, {2}, true);
  h.send(kNoon + 1, 0x10, {3});
  EXPECT_EQ(h.tree(), (FileTree{{"0A1B2C3D_out/CAN1_M" + kFile, "t,A\n1709640000.000000,1.000000\n1709640001.000000,3.000000\n"}}));
}

// Another worker's rollback removes folders it left empty, also folders this
// decoder made and still counts on: they are made again, no row is lost.
TEST_P(cDecoderTest, FoldersRemovedByAnotherRollbackAreMadeAgain) {
  Harness h;
  h.add("M", 0x10, {{"A", 0}});
  h.add("N", 0x20, {{"A", 0}});
  h.send(kNoon, 0x10, {1});  // makes 0A1B2C3D_out/CAN1_M/..., the file waits for its block
  std::filesystem::remove_all(h.dir / "0A1B2C3D_out");
  h.send(kNoon, 0x20, {2});  // new folders below the device folder made before
  EXPECT_EQ(h.tree(), (FileTree{{"0A1B2C3D_out/CAN1_M" + kFile, "t,A\n1709640000.000000,1.000000\n"},
                                {"0A1B2C3D_out/CAN1_N" + kFile, "t,A\n1709640000.000000,2.000000\n"}}));
}

TEST_P(cDecoderTest, DifferentSignalSetsOnOnePathGetNumberedFiles) {
  Harness h;
  // Names that differ only in dropped characters, different signals; a third
  // database repeats the first's definition (same set: one file, two rows).
  h.add("Eng_1", 0x10, {{"A", 0}, {"B", 7}});
  h.add("Eng1", 0x10, {{"C", 0}});
  h.add("Eng_1", 0x10, {{"A", 0}, {"B", 7}});
  h.add("Eng_1", 0x10, {{"A", 0}, {"B", 7, 0, 0, 1}});  // B ignored: another set
  h.dir.write("0A1B2C3D_out/CAN1_Eng1" + kFile, "a file of an earlier run\n");  // overwritten
  cDecoder& d = *h.decoder;
  h.send(kNoon, 0x10, {1, 0, 0, 0, 0, 0, 0, 2});
  h.send(kNoon + 1, 0x10, {3});  // short: Eng_1 decodes only A
  const std::string base = "0A1B2C3D_out/CAN1_Eng1/2024/03/05/00000012_00000003";
  EXPECT_EQ(h.tree(), (FileTree{
      {base + ".csv", "t,A,B\n1709640000.000000,1.000000,2.000000\n1709640000.000000,1.000000,2.000000\n"},
      {base + "_2.csv", "t,C\n1709640000.000000,1.000000\n1709640001.000000,3.000000\n"},
      {base + "_3.csv", "t,A\n1709640000.000000,1.000000\n"},
      {base + "_4.csv", "t,A\n1709640001.000000,3.000000\n1709640001.000000,3.000000\n1709640001.000000,3.000000\n"}}));
  EXPECT_EQ(d.getStatistics().files, 4u);
}

TEST_P(cDecoderTest, MoreSignalSetsThanOpenFilesLoseNoRows) {
  // The open-file limit follows the process's: 64 allows 32 CSV files at once.
  ASSERT_TRUE(withResourceLimit(RLIMIT_NOFILE, 64, [] {
    Harness h;
    cDB* db = nullptr;
    for (uint32_t i = 0; i < 40; ++i) db = h.add(("M" + std::to_string(i)).c_str(), i, {{"A", 0}}, db);
    cDecoder& d = *h.decoder;
    // An input rolled back with its files open (more than a block each): none of it stays.
    for (uint32_t row = 0; row < 700 * 40; ++row) h.send(kNoon - 1, row % 40, {9});
    d.rollback();
    ASSERT_TRUE(d.newFile({.inputPath = "y.mf4", .serialNumber = "0A1B2C3D", .session = 12, .split = 3}, false));
    // Enough rows that every file gets more than one block, each handed over
    // after blocks of other files have closed it.
    std::string expected = "t,A\n";
    for (int row = 0; row < 1000; ++row) {
      for (uint32_t i = 0; i < 40; ++i) h.send(kNoon + row, i, {static_cast<uint8_t>(row)});
      expected += std::to_string(kNoon + row) + "," + std::to_string(row % 256) + ".000000\n";
    }
    FileTree tree = h.tree();
    EXPECT_EQ(h.spare.load(), 0u) << "a spare processor is taken at the first look";
    ASSERT_EQ(tree.size(), 40u);
    for (const auto& [path, text] : tree) ASSERT_EQ(text, expected) << path;
    EXPECT_EQ(d.getStatistics().files, 40u);
  }));
}

// A file in a folder the decoder made is new without asking the file system;
// one in a folder that was there is asked about (it may be an earlier run's,
// to be restored on rollback).
TEST_P(cDecoderTest, OnlyFilesInFoldersThatWereThereAreAskedAbout) {
  Harness h;
  for (auto [name, id] : {std::pair("M", 0x10), {"O", 0x30}}) h.add(name, id, {{"A", 0}});
  const std::string m = "0A1B2C3D_out/CAN1_M" + kFile, o = "0A1B2C3D_out/CAN1_O" + kFile;
  std::filesystem::create_directories(std::filesystem::path(h.dir / o).parent_path());
  h.send(kNoon, 0x10, {1});
  h.send(kNoon, 0x30, {1});
  ASSERT_TRUE(h.decoder->commit(false));
  const std::vector<std::string>& asked = h.faults->stats;
  EXPECT_EQ(std::count(asked.begin(), asked.end(), m), 0);
  EXPECT_EQ(std::count(asked.begin(), asked.end(), o), 1);
}

// Input 1 writes M and commits to stable storage; input 2 continues M, starts
// N and rewrites O (a file of an earlier run), then fails at one operation or
// is rolled back: every file is as input 1 left it, and input 3 goes on from
// there.  An earlier run that did not continue M wrote files of its own for
// inputs 2 and 3: each goes when its rows are committed in M's file.  On a
// file system whose close may report a write error the files are closed at
// each commit; elsewhere M stays open from input 1 to input 2.
TEST_P(cDecoderTest, AnInputIsCommittedAfterItsJournalAndRolledBackWhereverItFails) {
  struct Case { FaultLog::Fault fault; std::string what, logged; };  // the error: "<what> <full path>: <reason>"
  const Case cases[] = {
      {{}, "", ""},  // rolled back without a failure: an interruption
      {{"write", "CAN1_N", 1, ENOSPC}, "write output file", "0A1B2C3D_out/CAN1_N" + kFile + ": No space left on device"},
      {{"open", "CAN1_N", 1, EACCES}, "E Output file", "0A1B2C3D_out/CAN1_N" + kFile + ": Permission denied"},
      {{"write", "journal", 1, ENOSPC}, "write output journal", ".lograven-journal: No space left on device"},
      {{"rename", "CAN1_O", 1, EXDEV}, "move aside output file", "0A1B2C3D_out/CAN1_O" + kFile + ": Invalid cross-device link"},
      {{"sync", "CAN1_M" + kFile, 1, EIO}, "flush output file", "0A1B2C3D_out/CAN1_M" + kFile + ": Input/output error"},
      {{"sync", "CAN1_N/2024/03/05", 2, EIO}, "flush output folder", "0A1B2C3D_out/CAN1_N/2024/03/05: Input/output error"},
      {{"close", "CAN1_M" + kFile, 1, EIO}, "write output file", "0A1B2C3D_out/CAN1_M" + kFile + ": Input/output error"},
  };
  for (const bool closes : {true, false})
  for (const Case& c : cases) {
    if (c.fault.kind == "close" && !closes) continue;  // nothing closed at the commit
    SCOPED_TRACE(c.logged + (closes ? " (closed at commits)" : " (kept open)"));
    Harness h;
    h.faults->closeReportsWriteErrors = closes;
    for (auto [name, id] : {std::pair("M", 0x10), {"N", 0x20}, {"O", 0x30}}) h.add(name, id, {{"A", 0}});
    const std::string m = "0A1B2C3D_out/CAN1_M" + kFile, o = "0A1B2C3D_out/CAN1_O" + kFile;
    std::filesystem::create_directories(std::filesystem::path(h.dir / o).parent_path());
    h.dir.write(o, "old\n");
    const std::string m4 = "0A1B2C3D_out/CAN1_M/2024/03/05/00000012_00000004.csv", m5 = m4.substr(0, m4.size() - 5) + "5.csv";
    h.dir.write(m4, "old 4\n");
    h.dir.write(m5, "old 5\n");
    cDecoder& d = *h.decoder;
    h.send(kNoon, 0x10, {1});
    ASSERT_TRUE(d.commit(true));
    d.finish();
    const std::vector<std::string> ops = h.faults->ops;
    const FileTree committed = readTree(h.dir.path());
    auto at = [&](const std::string& op) { return std::find(ops.begin(), ops.end(), op) - ops.begin(); };
    EXPECT_LT(at("sync .lograven-journal"), at("write " + m));
    EXPECT_LT(at("write " + m), at("sync " + m));
    EXPECT_LT(at("sync 0A1B2C3D_out/CAN1_M/2024/03/05"), at("rm .lograven-journal"));
    EXPECT_LT(at("rm .lograven-journal"), static_cast<std::ptrdiff_t>(ops.size()));

    h.faults->failAt = c.fault;
    LogCapture log;
    zf_log_clear_first_error();
    EXPECT_TRUE(d.newFile({.inputPath = "y.mf4", .serialNumber = "0A1B2C3D", .session = 12, .split = 4}, true));
    for (int i = 0; i < 2000; ++i)  // several blocks of M
      for (uint32_t id : {0x10, 0x20, 0x30}) h.send(kNoon + 1 + i, id, {2});
    if (c.fault.nth > 0) {
      EXPECT_FALSE(d.commit(true));
      // The reason of the failed input, whichever thread met it.
      EXPECT_NE(std::string(zf_log_first_error()), "");
    }
    d.rollback();
    EXPECT_TRUE(readTree(h.dir.path()) == committed);
    EXPECT_FALSE(std::filesystem::exists(h.dir / "0A1B2C3D_out/CAN1_N"));  // nor N's new folders
    EXPECT_EQ(log.has(c.what + " " + h.dir / c.logged), c.fault.nth > 0);
    EXPECT_EQ(d.getStatistics().messages, 1u);

    h.faults->failAt = {};
    EXPECT_TRUE(d.newFile({.inputPath = "z.mf4", .serialNumber = "0A1B2C3D", .session = 12, .split = 5}, true));
    h.send(kNoon + 9, 0x10, {3});
    h.send(kNoon + 9, 0x30, {3});
    FileTree expected = committed;
    expected[m] += "1709640009.000000,3.000000\n";
    expected[o] = "t,A\n1709640009.000000,3.000000\n";
    expected.erase(m5);
    (void)d.closeWriters();  // false after a failure: the run had a write error
    EXPECT_EQ(readTree(h.dir.path()), expected);
    EXPECT_EQ(d.getStatistics().messages, 3u);
  }
}

INSTANTIATE_TEST_SUITE_P(RowsWritten, cDecoderTest,
                         ::testing::Values(Rows::kInLine, Rows::kByAThread, Rows::kBySpareProcessor),
                         [](const auto& info) { return kRowsNames[static_cast<int>(info.param)]; });

}  // namespace
