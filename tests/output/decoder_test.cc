#include "output/decoder.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "db/db.h"
#include "db/dbc_parser.h"
#include "fs/fs.h"
#include "io/io.h"
#include "output/output_test_support.h"

namespace {

// 2024-03-05 12:00:00 UTC.
constexpr double kNoon = 1709640000.0;
constexpr double kMidnight = 1709683200.0;  // 2024-03-06 00:00:00 UTC

struct SignalDef {
  const char* name;
  uint16_t byte;
  double minimum = 0.0;
  double maximum = 0.0;
  uint8_t ignored = 0;
};

// Adds a message of 8-bit unsigned Intel signals (one per byte) to `db`.
cDBMessage* addMessage(cDB* db, const char* name, uint32_t key,
                       std::initializer_list<SignalDef> signals) {
  cDBMessage* m = cDB_messageAdd(db, name, key, 8, cDBTransport::None, "", 0);
  for (const SignalDef& s : signals) {
    cDBSignalParameters p;
    p.bitPosition = static_cast<uint16_t>(s.byte * 8);
    p.bitLength = 8;
    p.minimum = s.minimum;
    p.maximum = s.maximum;
    cDB_signalAdd(&m->signals, s.name, p, s.ignored);
  }
  return m;
}

cBusMsg canFrame(double t, uint32_t id, std::vector<uint8_t> data, uint8_t channel = 1,
                 bool ide = false) {
  cBusMsg msg;
  msg.timeStamp = t;
  msg.channel = channel;
  msg.id = id;
  msg.data = std::move(data);
  msg.type = cBusMsgType::BUS_MSG_CAN_DATA_FRAME;
  msg.can.ide = ide;
  msg.can.dlc = static_cast<uint8_t>(msg.data.size());
  return msg;
}

cLogFileInfo fileInfo(const char* serial = "0A1B2C3D", uint32_t session = 12, uint32_t split = 3) {
  cLogFileInfo info;
  info.inputPath = "x.mf4";
  info.serialNumber = serial;
  info.session = session;
  info.split = split;
  return info;
}

// A decoder over a temporary output folder with its own database maps.
struct Harness {
  TempDir dir;
  std::unique_ptr<cFS> fs = cFS_os_ctor(dir.path());
  cDBMap can;
  cDBMap lin;
  std::unique_ptr<cDecoder> decoder;

  cDB* addDb(uint8_t channel, uint32_t busKind, bool isLin = false) {
    auto& list = (isLin ? lin : can)[channel];
    list.push_back(std::make_unique<cDB>(busKind));
    return list.back().get();
  }
  cDecoder& make(bool concat = true, bool srcMerge = false, bool dstMerge = true,
                 bool noAppendRoot = false) {
    decoder = cDecoder_ctor(fs.get(), &can, &lin, noAppendRoot, concat, srcMerge, dstMerge);
    return *decoder;
  }
  void send(cBusMsg msg) { EXPECT_TRUE(decoder->newMsg(msg)); }
  std::vector<std::string> files() {
    decoder->closeWriters();
    return listFiles(dir.path());
  }
  std::string read(const std::string& relative) { return readFile(dir.path() + "/" + relative); }
};

const std::string kDay = "/2024/03/05/";

TEST(cDecoder, WritesOneRowPerFrameIntoTheFileOfItsMessage) {
  Harness h;
  addMessage(h.addDb(1, cDB::kBusCan), "Engine_Speed-1", 0x100, {{"Rpm", 0}, {"Temp", 1}});
  cDecoder& d = h.make();
  ASSERT_TRUE(d.newFile(fileInfo(), false));
  h.send(canFrame(kNoon + 0.25, 0x100, {1, 2}));
  h.send(canFrame(kNoon + 0.5, 0x100, {3, 4}));
  h.send(canFrame(kNoon + 0.5, 0x101, {3, 4}));  // unknown key
  ASSERT_TRUE(d.endFile(fileInfo()));
  const std::string file = "0A1B2C3D_out/CAN1_EngineSpeed1" + kDay + "00000012_00000003.csv";
  EXPECT_EQ(h.files(), std::vector<std::string>{file});
  EXPECT_EQ(h.read(file),
            "t,Rpm,Temp\n1709640000.250000,1.000000,2.000000\n1709640000.500000,3.000000,4.000000\n");
  EXPECT_EQ(d.getStatistics().files, 1u);
  EXPECT_EQ(d.getStatistics().messages, 2u);
  EXPECT_EQ(d.getStatistics().signals, 4u);
  EXPECT_FALSE(d.hadWriteError());
}

TEST(cDecoder, LimitsTurnValuesIntoNaNAndDropRowsWithoutAnyValidValue) {
  struct Case {
    const char* name;
    double minA, maxA, minB, maxB;
    std::vector<uint8_t> payload;
    const char* row;  // null: no row and no file
    uint64_t signals;
  } const cases[] = {
      {"both within", 0, 10, 0, 10, {5, 6}, "5.000000,6.000000", 2},
      {"one above", 0, 10, 0, 10, {5, 60}, "5.000000,NaN", 1},
      {"limits inclusive", 5, 5, 6, 6, {5, 6}, "5.000000,6.000000", 2},
      {"zero limits always written", 0, 0, 1, 2, {200, 9}, "200.000000,NaN", 1},
      {"all out of range", 1, 2, 1, 2, {5, 6}, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    addMessage(h.addDb(1, cDB::kBusCan), "M", 0x10,
               {{"A", 0, c.minA, c.maxA}, {"B", 1, c.minB, c.maxB}, {"Hidden", 2, 1, 2, 1}});
    cDecoder& d = h.make();
    d.newFile(fileInfo(), false);
    std::vector<uint8_t> payload = c.payload;
    payload.push_back(99);  // the ignored signal: out of range, never written
    h.send(canFrame(kNoon, 0x10, payload));
    std::vector<std::string> files = h.files();
    EXPECT_EQ(d.getStatistics().signals, c.signals);
    if (c.row == nullptr) {
      EXPECT_TRUE(files.empty());
      EXPECT_EQ(d.getStatistics().messages, 0u);
      continue;
    }
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(h.read(files[0]), std::string("t,A,B\n1709640000.000000,") + c.row + "\n");
    EXPECT_EQ(d.getStatistics().messages, 1u);
  }
}

TEST(cDecoder, OnlyCanDataAndLinFramesAreDecoded) {
  const cBusMsgType types[] = {
      cBusMsgType::BUS_MSG_GENERIC,          cBusMsgType::BUS_MSG_CAN_REMOTE_FRAME,
      cBusMsgType::BUS_MSG_CAN_ERROR_FRAME,  cBusMsgType::BUS_MSG_LIN_CHECKSUM_ERROR,
      cBusMsgType::BUS_MSG_LIN_RECEIVE_ERROR, cBusMsgType::BUS_MSG_LIN_TRANSMISSION_ERROR,
      cBusMsgType::BUS_MSG_LIN_SYNC_ERROR,
  };
  Harness h;
  addMessage(h.addDb(1, cDB::kBusCan), "M", 0x10, {{"A", 0}});
  addMessage(h.addDb(1, cDB::kBusLin, true), "L", 0x10, {{"A", 0}});
  cDecoder& d = h.make();
  d.newFile(fileInfo(), false);
  for (cBusMsgType type : types) {
    cBusMsg msg = canFrame(kNoon, 0x10, {1});
    msg.type = type;
    h.send(msg);
  }
  h.send(canFrame(kNoon, 0x10, {1}, /*channel=*/2));  // no database on channel 2
  EXPECT_TRUE(h.files().empty());
  EXPECT_EQ(d.getStatistics().messages, 0u);
}

TEST(cDecoder, LinFramesUseTheLinDatabasesAndSixBitKeys) {
  Harness h;
  addMessage(h.addDb(2, cDB::kBusLin, true), "Lin_Msg", 0x3F, {{"A", 0}});
  cDecoder& d = h.make(true, false, true, /*noAppendRoot=*/true);
  d.newFile(fileInfo("dev-1"), false);
  cBusMsg msg = canFrame(kNoon, 0x7F, {9}, 2);
  msg.type = cBusMsgType::BUS_MSG_LIN_FRAME;
  msg.can = {};
  h.send(msg);
  EXPECT_EQ(h.files(), std::vector<std::string>{"dev1/LIN2_LinMsg" + kDay + "00000012_00000003.csv"});
}

TEST(cDecoder, J1939AddressesAndMergeOptionsChooseTheFolder) {
  struct Case {
    const char* name;
    bool srcMerge, dstMerge;
    std::vector<uint32_t> ids;
    std::vector<std::string> folders;
  } const cases[] = {
      {"PDU2 sources apart", false, true, {0x18FEF101, 0x0CFEF102},
       {"CAN1_EEC1_S01", "CAN1_EEC1_S02"}},
      {"PDU2 sources merged", true, true, {0x18FEF101, 0x0CFEF102}, {"CAN1_EEC1"}},
      {"PDU2 never has a destination", false, false, {0x18FEF117}, {"CAN1_EEC1_S17"}},
      {"PDU1 destination merged", false, true, {0x18EA2117, 0x18EA2217}, {"CAN1_Req_S17"}},
      {"PDU1 destination kept", false, false, {0x18EA2117, 0x18EA2217},
       {"CAN1_Req_S17_D21", "CAN1_Req_S17_D22"}},
      {"PDU1 both merged", true, true, {0x18EA2117, 0x18EA2218}, {"CAN1_Req"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    cDB* db = h.addDb(1, cDB::kBusJ1939);
    addMessage(db, "EEC1", cDB_can_pgn_id2key(0x18FEF100, 1), {{"Speed", 0}});
    addMessage(db, "Req", cDB_can_pgn_id2key(0x18EA0000, 1), {{"Pgn", 0}});
    cDecoder& d = h.make(true, c.srcMerge, c.dstMerge);
    d.newFile(fileInfo(), false);
    for (uint32_t id : c.ids) h.send(canFrame(kNoon, id, {1}, 1, /*ide=*/true));
    std::vector<std::string> expected;
    for (const std::string& f : c.folders)
      expected.push_back("0A1B2C3D_out/" + f + kDay + "00000012_00000003.csv");
    EXPECT_EQ(h.files(), expected);
    EXPECT_EQ(d.getStatistics().messages, c.ids.size());
  }
}

TEST(cDecoder, DateChangeOpensFilesInTheNextDayFolder) {
  Harness h;
  addMessage(h.addDb(1, cDB::kBusCan), "M", 0x10, {{"A", 0}});
  cDecoder& d = h.make();
  d.newFile(fileInfo(), false);
  h.send(canFrame(kMidnight - 0.1, 0x10, {1}));
  h.send(canFrame(kMidnight + 0.1, 0x10, {2}));
  EXPECT_EQ(d.getStatistics().files, 2u);
  std::vector<std::string> files = h.files();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0], "0A1B2C3D_out/CAN1_M/2024/03/05/00000012_00000003.csv");
  EXPECT_EQ(files[1], "0A1B2C3D_out/CAN1_M/2024/03/06/00000012_00000003.csv");
  EXPECT_EQ(h.read(files[0]), "t,A\n1709683199.900000,1.000000\n");
  EXPECT_EQ(h.read(files[1]), "t,A\n1709683200.100000,2.000000\n");
}

TEST(cDecoder, ClockJumpingBackOverMidnightAppendsWithoutSecondHeader) {
  Harness h;
  addMessage(h.addDb(1, cDB::kBusCan), "M", 0x10, {{"A", 0}});
  cDecoder& d = h.make();
  d.newFile(fileInfo(), false);
  h.send(canFrame(kMidnight - 2, 0x10, {1}));
  h.send(canFrame(kMidnight + 1, 0x10, {2}));
  h.send(canFrame(kMidnight - 1, 0x10, {3}));  // back to the first day
  std::vector<std::string> files = h.files();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(h.read(files[0]), "t,A\n1709683198.000000,1.000000\n1709683199.000000,3.000000\n");
  EXPECT_EQ(h.read(files[1]), "t,A\n1709683201.000000,2.000000\n");
}

TEST(cDecoder, ConcatenationKeepsSplitsOfASessionInOneFile) {
  for (bool concat : {true, false}) {
    SCOPED_TRACE(concat);
    Harness h;
    addMessage(h.addDb(1, cDB::kBusCan), "M", 0x10, {{"A", 0}});
    cDecoder& d = h.make(concat);
    for (uint32_t split = 1; split <= 3; ++split) {
      cLogFileInfo info = fileInfo("0A1B2C3D", 7, split);
      d.newFile(info, /*continuation=*/split > 1);
      h.send(canFrame(kNoon + split, 0x10, {static_cast<uint8_t>(split)}));
      d.endFile(info);
    }
    std::vector<std::string> files = h.files();
    const std::string dir = "0A1B2C3D_out/CAN1_M" + kDay;
    if (concat) {
      EXPECT_EQ(files, std::vector<std::string>{dir + "00000007_00000001.csv"});
      EXPECT_EQ(h.read(files[0]),
                "t,A\n1709640001.000000,1.000000\n1709640002.000000,2.000000\n"
                "1709640003.000000,3.000000\n");
    } else {
      EXPECT_EQ(files, (std::vector<std::string>{dir + "00000007_00000001.csv",
                                                 dir + "00000007_00000002.csv",
                                                 dir + "00000007_00000003.csv"}));
    }
  }
}

TEST(cDecoder, SerialNumbersReducingToOneFolderShareAFileWithOneHeader) {
  Harness h;
  addMessage(h.addDb(1, cDB::kBusCan), "M", 0x10, {{"A", 0}});
  cDecoder& d = h.make();
  d.newFile(fileInfo("AB-12"), false);
  h.send(canFrame(kNoon, 0x10, {1}));
  d.newFile(fileInfo("AB12"), false);  // not a continuation: writers closed
  h.send(canFrame(kNoon + 1, 0x10, {2}));
  std::vector<std::string> files = h.files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(h.read(files[0]), "t,A\n1709640000.000000,1.000000\n1709640001.000000,2.000000\n");
}

TEST(cDecoder, DifferentSignalSetsOnOnePathGetDistinctFiles) {
  Harness h;
  // Two databases on one channel: names that differ only in dropped
  // characters, different signals; plus a third with the first's definition.
  addMessage(h.addDb(1, cDB::kBusCan), "Eng_1", 0x10, {{"A", 0}, {"B", 7}});
  addMessage(h.addDb(1, cDB::kBusCan), "Eng1", 0x10, {{"C", 0}});
  addMessage(h.addDb(1, cDB::kBusCan), "Eng_1", 0x10, {{"A", 0}, {"B", 7}});
  cDecoder& d = h.make();
  d.newFile(fileInfo(), false);
  h.send(canFrame(kNoon, 0x10, {1, 0, 0, 0, 0, 0, 0, 2}));
  h.send(canFrame(kNoon + 1, 0x10, {3}));  // short: Eng_1 decodes only A
  const std::string base = "0A1B2C3D_out/CAN1_Eng1" + kDay + "00000012_00000003";
  EXPECT_EQ(h.files(), (std::vector<std::string>{base + ".csv", base + "_2.csv", base + "_3.csv"}));
  EXPECT_EQ(h.read(base + ".csv"),
            "t,A,B\n1709640000.000000,1.000000,2.000000\n1709640000.000000,1.000000,2.000000\n");
  EXPECT_EQ(h.read(base + "_2.csv"),
            "t,C\n1709640000.000000,1.000000\n1709640001.000000,3.000000\n");
  EXPECT_EQ(h.read(base + "_3.csv"),
            "t,A\n1709640001.000000,3.000000\n1709640001.000000,3.000000\n");
  EXPECT_EQ(d.getStatistics().files, 3u);
}

// Lowers the soft limit of open files for one test and restores it.
class OpenFileLimit {
 public:
  explicit OpenFileLimit(rlim_t limit) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    struct rlimit lowered = saved_;
    if (lowered.rlim_max == RLIM_INFINITY || lowered.rlim_max > limit) lowered.rlim_cur = limit;
    setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~OpenFileLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  struct rlimit saved_ {};
};

TEST(cDecoder, ThousandsOfOpenSignalSetsLoseNoRows) {
  OpenFileLimit limit(1024);
  Harness h;
  cDB* db = h.addDb(1, cDB::kBusCan);
  constexpr uint32_t kSets = 1100;  // more than the usual limit of open files
  for (uint32_t i = 0; i < kSets; ++i) {
    std::string name = "M" + std::to_string(i);
    addMessage(db, name.c_str(), i, {{"A", 0}});
  }
  cDecoder& d = h.make();
  d.newFile(fileInfo(), false);
  for (int row = 0; row < 3; ++row)
    for (uint32_t i = 0; i < kSets; ++i) h.send(canFrame(kNoon + row, i, {static_cast<uint8_t>(row)}));
  EXPECT_TRUE(d.closeWriters());
  std::vector<std::string> files = listFiles(h.dir.path());
  ASSERT_EQ(files.size(), kSets);
  for (uint32_t i = 0; i < kSets; i += 97) {
    EXPECT_EQ(h.read("0A1B2C3D_out/CAN1_M" + std::to_string(i) + kDay + "00000012_00000003.csv"),
              "t,A\n1709640000.000000,0.000000\n1709640001.000000,1.000000\n"
              "1709640002.000000,2.000000\n");
  }
  EXPECT_EQ(d.getStatistics().files, kSets);
}

TEST(cDecoder, FullDiskIsReportedAndRemembered) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full not available";
  Harness h;
  addMessage(h.addDb(1, cDB::kBusCan), "M", 0x10, {{"A", 0}});
  const std::string rel = "0A1B2C3D_out/CAN1_M" + kDay + "00000012_00000003.csv";
  std::filesystem::create_directories(std::filesystem::path(h.dir.path() + "/" + rel).parent_path());
  ASSERT_EQ(symlink("/dev/full", (h.dir.path() + "/" + rel).c_str()), 0);
  LogCapture log;
  cDecoder& d = h.make();
  d.newFile(fileInfo(), false);
  h.send(canFrame(kNoon, 0x10, {1}));
  EXPECT_FALSE(d.closeWriters());
  EXPECT_TRUE(d.hadWriteError());
  EXPECT_TRUE(log.contains(rel)) << (log.lines().empty() ? "" : log.lines()[0]);
}

TEST(cDecoder, UnwritableOutputIsReportedOnceAndRemembered) {
  Harness h;
  addMessage(h.addDb(1, cDB::kBusCan), "M", 0x10, {{"A", 0}});
  writeFile(h.dir.path() + "/0A1B2C3D_out", "a file where the device folder belongs");
  LogCapture log;
  cDecoder& d = h.make();
  d.newFile(fileInfo(), false);
  for (int i = 0; i < 5; ++i) h.send(canFrame(kNoon + i, 0x10, {1}));
  int errors = 0;
  for (const std::string& line : log.lines())
    if (line.find("Could not create output writer") != std::string::npos) ++errors;
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(d.getStatistics().files, 0u);
  EXPECT_FALSE(d.closeWriters());
  EXPECT_TRUE(d.hadWriteError());
}

}  // namespace

namespace {

// A real DBC with cascaded extended multiplexing: MUX_A selects
// muxed_A_2_MUX_B, which selects muxed_B_1.
TEST(cDecoder, CascadedMultiplexorsOfARealDbcNameTheFolder) {
  const std::string dbc =
      LOGRAVEN_SOURCE_DIR "/../shared/dbc/cantools__issue_184_extended_mux_cascaded.dbc";
  if (access(dbc.c_str(), R_OK) != 0) GTEST_SKIP() << "no shared DBC files";
  std::unique_ptr<cIO> stream = cIO_file_open(dbc.c_str(), 0);
  ASSERT_NE(stream, nullptr);
  Harness h;
  h.can[1].push_back(cDBC_dbc2db(stream.get()));
  ASSERT_NE(h.can[1].back(), nullptr);
  const bool j1939 = h.can[1].back()->busKind() == cDB::kBusJ1939;
  cDecoder& d = h.make();
  d.newFile(fileInfo(), false);
  h.send(canFrame(kNoon, 0x00000001, {2, 1, 0, 5, 0, 0, 0, 0}, 1, /*ide=*/true));
  h.send(canFrame(kNoon + 1, 0x00000001, {2, 1, 0, 0xFB, 0, 0, 0, 0}, 1, /*ide=*/true));
  const std::string folder = std::string("CAN1_extMUXcascaded_MUXA_M02_muxedA2MUXB_M01") +
                             (j1939 ? "_S01" : "");
  const std::string file = "0A1B2C3D_out/" + folder + kDay + "00000012_00000003.csv";
  EXPECT_EQ(h.files(), std::vector<std::string>{file});
  EXPECT_EQ(h.read(file),
            "t,MUX_A,muxed_A_2_MUX_B,muxed_B_1\n"
            "1709640000.000000,2.000000,1.000000,5.000000\n"
            "1709640001.000000,2.000000,1.000000,-5.000000\n");
}

}  // namespace

namespace {

TEST(cDecoder, DateFolderComesFromWholeSecondsEvenForOddTimeStamps) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double t;
    const char* day;
    const char* stamp;
  } const cases[] = {
      {kNoon, "2024/03/05", "1709640000.000000"},
      {0.999, "1970/01/01", "0.999000"},
      {-1.5, "1969/12/31", "-1.500000"},  // toward zero: -1 s
      {std::nan(""), "1970/01/01", "NaN"},
      {inf, "1970/01/01", "Inf"},
      {-1e300, "1970/01/01", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.day);
    Harness h;
    addMessage(h.addDb(1, cDB::kBusCan), "M", 0x10, {{"A", 0}});
    cDecoder& d = h.make();
    d.newFile(fileInfo(), false);
    h.send(canFrame(c.t, 0x10, {1}));
    const std::string file =
        std::string("0A1B2C3D_out/CAN1_M/") + c.day + "/00000012_00000003.csv";
    EXPECT_EQ(h.files(), std::vector<std::string>{file});
    if (c.stamp != nullptr) {
      EXPECT_EQ(h.read(file), std::string("t,A\n") + c.stamp + ",1.000000\n");
    }
  }
}

}  // namespace
