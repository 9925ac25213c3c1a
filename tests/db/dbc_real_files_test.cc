// Loads the public DBC files kept beside the repository, when they are there.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "db/db_json.h"
#include "db/db_test_support.h"
#include "db/dbc_parser.h"
#include "db/json_check.h"
#include "io/io.h"

namespace {

const std::filesystem::path kDir = LOGRAVEN_SOURCE_DIR "/../shared/dbc";

std::vector<std::filesystem::path> dbcFiles() {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(kDir, error)) {
    if (entry.path().extension() == ".dbc") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// What the text says, counted without the parser: messages (BO_ lines) and
// the signal lines under them, leaving out the independent-signals message.
struct TextCounts {
  size_t messages = 0;
  size_t signals = 0;
};

TextCounts countText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  TextCounts counts;
  bool independent = false;
  std::string line;
  while (std::getline(in, line)) {
    size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos) continue;
    std::string_view text = std::string_view(line).substr(start);
    if (text.starts_with("BO_ ")) {
      independent = text.find("VECTOR__INDEPENDENT_SIG_MSG") != std::string_view::npos;
      counts.messages += independent ? 0 : 1;
    } else if (text.starts_with("SG_ ") && !independent) {
      ++counts.signals;
    }
  }
  return counts;
}

std::unique_ptr<cDB> loadFile(const std::filesystem::path& path) {
  auto stream = cIO_file_open(path.c_str(), 0);
  if (stream == nullptr) return nullptr;
  return cDBC_dbc2db(stream.get());
}

TEST(cDBCRealFiles, EveryFileLoadsAndMatchesItsText) {
  auto files = dbcFiles();
  if (files.empty()) GTEST_SKIP() << "no DBC files in " << kDir;
  for (const auto& path : files) {
    SCOPED_TRACE(path.filename().string());
    cLogCapture log;
    auto db = loadFile(path);
    TextCounts text = countText(path);
    if (db == nullptr) {
      // The only refusal is a key collision, and it is reported.
      size_t collisions = 0;
      for (const auto& line : log.lines()) {
        collisions += line.level == 'F' && line.message.starts_with("Failed to add message ");
      }
      EXPECT_EQ(collisions, 1u);
      continue;
    }
    EXPECT_EQ(db->messages().size(), text.messages);
    size_t placed = 0;
    for (const auto& [key, message] : db->messages()) placed += countSignals(message.signals);
    size_t unplaced = 0;
    for (const auto& line : log.lines()) {
      unplaced += line.level == 'E' && line.message.starts_with("Failed to load signal ");
    }
    EXPECT_EQ(placed + unplaced, text.signals);
    EXPECT_EQ(unplaced, 0u);
    std::string json;
    cDB_db2json(json, db.get());
    EXPECT_TRUE(jsonIsValid(json));
  }
}

struct FrameCase {
  const char* message;
  uint32_t key;  // names repeat across files; name and key together do not
  const char* signal;
  std::vector<uint8_t> payload;
  double value;  // NaN: the signal must not be decoded
};

std::vector<uint8_t> bytesOf(double value) {
  std::vector<uint8_t> bytes(8);
  std::memcpy(bytes.data(), &value, 8);
  return bytes;
}

std::vector<uint8_t> bytesOf(float low, float high) {
  std::vector<uint8_t> bytes(8);
  std::memcpy(bytes.data(), &low, 4);
  std::memcpy(bytes.data() + 4, &high, 4);
  return bytes;
}

TEST(cDBCRealFiles, HandDecodedFrames) {
  auto files = dbcFiles();
  if (files.empty()) GTEST_SKIP() << "no DBC files in " << kDir;
  std::vector<std::unique_ptr<cDB>> dbs;
  for (const auto& path : files) {
    cLogCapture quiet;
    if (auto db = loadFile(path)) dbs.push_back(std::move(db));
  }
  const double kAbsent = std::nan("");
  const FrameCase cases[] = {
      // Motorola fields in a message whose BO_ line has a blank before the colon.
      {"DSU_CRUISE", 869, "MAIN_ON", {0x01, 0x5A, 0, 0x81, 0, 0, 0}, 1.0},
      {"DSU_CRUISE", 869, "SET_SPEED", {0x01, 0x5A, 0, 0x81, 0, 0, 0}, 90.0},
      {"DSU_CRUISE", 869, "CRUISE_REQUEST", {0x01, 0x5A, 0, 0x81, 0, 0, 0}, 100.0},
      // Signed fields of 7 and 64 bits, both byte orders.
      {"Message378910", 10, "s7", {0xFE, 0, 0, 0, 0, 0, 0, 0}, -1.0},
      {"Message64", 2, "s64", std::vector<uint8_t>(8, 0xFF), -1.0},
      {"Message64big", 3, "s64big", {0x80, 0, 0, 0, 0, 0, 0, 0}, -9223372036854775808.0},
      // Value types from SIG_VALTYPE_.
      {"Message1", 1024, "Signal1", bytesOf(2.5), 2.5},
      {"Message2", 1025, "Signal2", bytesOf(0.25f, -1.5f), -1.5},
      {"Message2", 1025, "Signal1", bytesOf(0.25f, -1.5f), 0.25},
      // Plain multiplexing.
      {"UI_autopilotControl", 1006, "UI_camBlockLaneCheckThreshold", {0xF1, 0x03, 0, 0, 0, 0, 0, 0}, 63 * 0.01587},
      {"UI_autopilotControl", 1006, "UI_hovEnabled", {0xF1, 0x03, 0, 0, 0, 0, 0, 0}, kAbsent},
      {"UI_autopilotControl", 1006, "UI_hovEnabled", {0x08, 0, 0, 0, 0, 0, 0, 0}, 1.0},
      // Cascaded extended multiplexing.
      {"ext_MUX_cascaded", 0x80000000, "muxed_B_1", {2, 1, 0, 0xFD, 0, 0, 0, 0}, -3.0},
      {"ext_MUX_cascaded", 0x80000000, "muxed_B_0", {2, 1, 0, 0xFD, 0, 0, 0, 0}, kAbsent},
      {"ext_MUX_cascaded", 0x80000000, "muxed_A_1", {1, 0x7F, 0, 0, 0, 0, 0, 0}, 127.0},
      {"ext_MUX_cascaded", 0x80000000, "muxed_B_1", {1, 0x7F, 0, 0xFD, 0, 0, 0, 0}, kAbsent},
  };
  size_t checked = 0;
  cDBDecodedMessage decoded;
  for (const FrameCase& c : cases) {
    SCOPED_TRACE(std::string(c.message) + "." + c.signal);
    for (const auto& db : dbs) {
      for (const auto& [key, message] : db->messages()) {
        if (message.name != c.message || key != c.key) continue;
        ++checked;
        ASSERT_TRUE(cDB_decodeMessage(db.get(), key, c.payload, &decoded));
        const cDBDecodedSignal* found = nullptr;
        for (const auto& s : decoded.signals) {
          if (s.name == c.signal) found = &s;
        }
        if (std::isnan(c.value)) {
          EXPECT_EQ(found, nullptr);
        } else {
          ASSERT_NE(found, nullptr);
          EXPECT_DOUBLE_EQ(found->value, c.value);
        }
      }
    }
  }
  EXPECT_EQ(checked, std::size(cases)) << "every message of the table is in the files, once";
}

}  // namespace
