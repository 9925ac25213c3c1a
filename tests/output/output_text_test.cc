// Text the output layer makes: numbers exactly as printf "%f" (special values
// spelled out), path-safe names and the folder layout of a signal set (device,
// bus, channel, multiplexor ranges, J1939 addresses, date, session, split).
// CSV files themselves, their headers, appending and the open-file limit are
// tested through the decoder.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "bus/bus_msg.h"
#include "db/db.h"
#include "output/csv_writer.h"
#include "output/output_naming.h"
#include "fs/fs.h"
#include "support/temp_dir.h"

namespace {

TEST(cCsvWriter, NumbersMatchPrintfFixed) {
  auto formatted = [](double v) {
    char buf[kCsvMaxNumberLength];
    return std::string(buf, cCsvWriter_formatNumber(buf, v));
  };
  std::mt19937_64 rng(0x5EED1234ABCDull);
  auto check = [&](double v) {
    char expected[400];
    std::snprintf(expected, sizeof expected, "%f", v);
    ASSERT_EQ(formatted(v), expected) << std::hexfloat << v;
  };
  for (double v : {0.0, 1.5, -2.25, 1e20, 4.5e-7, 5e-7, 0.0078125, -0.0078125, 1e300, DBL_MAX,
                   -DBL_MAX, DBL_MIN, DBL_TRUE_MIN, 9.2e18, 9223372036854775807.0,
                   18446744073709551615.0, 0.9999995, 0.99999949999999, 10000.5, 100000000.0})
    check(v);
  for (int i = 0; i < 40000; ++i) {
    if (const double v = std::bit_cast<double>(rng()); std::isfinite(v)) check(v);
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

// Rows reuse the text of a column's previous value and of the previous row's
// whole seconds: every row must still read as printf writes it.
TEST(cCsvWriter, RowsWithRepeatedValuesAndSecondsMatchPrintf) {
  TempDir dir;
  auto fs = cFS_os_ctor(dir.path() + "/");
  const std::string_view columns[] = {"a", "b"};
  auto writer = cCsvWriter_ctor(*fs, "rows", columns, false, nullptr);
  ASSERT_NE(writer, nullptr);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double rows[][3] = {
      {1700000000.25, 1.5, nan},     {1700000000.9999996, 1.5, nan}, {1700000001.5, -0.0, 0.0},
      {1700000001.5, 0.0, -0.0},     {-1.25, 1e30, 1e30},            {nan, 1e30, 2.0},
      {1700000001.0000004, 2.0, 2.0}, {0.0, 2.0, 1e-7},
  };
  std::string expected = "t,a,b\n";
  for (const auto& r : rows) {
    const double values[] = {r[1], r[2]};
    ASSERT_TRUE(writer->write(r[0], values));
    char line[1200];
    std::snprintf(line, sizeof line, "%f,%f,%f\n", r[0], r[1], r[2]);
    expected += line;
  }
  ASSERT_TRUE(writer->close());
  for (const char* special : {"-nan", "nan"})
    for (size_t at; (at = expected.find(special)) != std::string::npos;)
      expected.replace(at, std::strlen(special), "NaN");
  EXPECT_EQ(readFile(dir / "rows.csv"), expected);
}

constexpr uint32_t kCan = static_cast<uint32_t>(cBusMsgType::BUS_MSG_CAN_DATA_FRAME);
constexpr uint32_t kLin = static_cast<uint32_t>(cBusMsgType::BUS_MSG_LIN_FRAME);

TEST(string2Path, KeepsOnlyAsciiLettersAndDigits) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"Engine_Speed-1", "EngineSpeed1"},
      {"a b.c/d\\eZz", "abcdeZz"},  // the last letters kept
      {"Gr\xC3\xB6\xC3\x9F" "e9", "Gre9"},  // two-byte letters dropped
      {"\xE2\x82\xAC" "5", "5"},            // three bytes
      {"\xF0\x9F\x98\x80" "x", "x"},        // four bytes
      {"ab\xE2\x82", "ab"},                 // cut short: the walk ends
      {"\x80x", ""},                        // a stray byte swallows the next
      {std::string("a\0b", 3), "ab"},
  };
  for (const auto& c : cases) EXPECT_EQ(string2Path(c.in), c.out) << c.in;
}

TEST(cOutputPath, LayoutOfDeviceBusMessageMultiplexorAddressesAndDate) {
  cDB db(cDBBusKind::Can);
  cDBMessage* m = cDB_messageAdd(&db, "Mux_Msg", 0x123, 8, cDBTransport::None, "", 0);
  cDBSignal* mux = cDB_signalAdd(&m->signals, "M-U-X", {.bitLength = 8}, 0);
  cDB_signalAdd(&cDB_multiplexAdd(&mux->ranges, 0x10, 0x1F)->signals, "Low", {.bitPosition = 8, .bitLength = 8}, 0);
  cDB_signalAdd(&cDB_multiplexAdd(&mux->ranges, 300, 0xFFFFFFFF)->signals, "High", {.bitPosition = 8, .bitLength = 8}, 0);
  cDBDecodedMessage decoded;
  ASSERT_TRUE(cDB_decodeMessage(&db, 0x123, std::vector<uint8_t>{0x1A, 1}, &decoded));
  const struct {
    double mux = 0x1A;  // decoded value of the multiplexor: the start of its range names the folder
    uint32_t type = kCan;
    uint8_t channel = 1;
    int sa = -1, da = -1;  // J1939 addresses; -1: none
    bool srcMerge = false, dstMerge = false;
    const char* suffix = "_out";
    const char* device = "0A1B2C3D";
    std::string expected;  // without the date part
  } cases[] = {
      {.expected = "0A1B2C3D_out/CAN1_MuxMsg_MUX_M10"},
      {.mux = 0x10, .expected = "0A1B2C3D_out/CAN1_MuxMsg_MUX_M10"},
      {.mux = 31.9, .expected = "0A1B2C3D_out/CAN1_MuxMsg_MUX_M10"},  // the whole value: 31
      {.mux = 0x0F, .expected = "0A1B2C3D_out/CAN1_MuxMsg"},         // no range holds it
      {.mux = 0x20, .expected = "0A1B2C3D_out/CAN1_MuxMsg"},
      {.mux = 300.7, .expected = "0A1B2C3D_out/CAN1_MuxMsg_MUX_M12C"},
      {.mux = -1.0, .expected = "0A1B2C3D_out/CAN1_MuxMsg"},
      {.mux = 4294967295.0, .expected = "0A1B2C3D_out/CAN1_MuxMsg_MUX_M12C"},  // the largest a range holds
      {.mux = 1e12, .expected = "0A1B2C3D_out/CAN1_MuxMsg"},
      {.mux = std::nan(""), .expected = "0A1B2C3D_out/CAN1_MuxMsg"},
      {.sa = 0x17, .da = 0x21, .expected = "0A1B2C3D_out/CAN1_MuxMsg_MUX_M10_S17_D21"},
      {.sa = 0x17, .da = 0x21, .srcMerge = true, .expected = "0A1B2C3D_out/CAN1_MuxMsg_MUX_M10_D21"},
      {.sa = 0x17, .da = 0x21, .dstMerge = true, .expected = "0A1B2C3D_out/CAN1_MuxMsg_MUX_M10_S17"},
      {.channel = 19, .expected = "0A1B2C3D_out/CAN19_MuxMsg_MUX_M10"},
      {.type = kLin, .channel = 2, .suffix = "", .expected = "0A1B2C3D/LIN2_MuxMsg_MUX_M10"},
      {.device = "0123456789ABCDEFGH", .expected = "0123456789ABCDE_out/CAN1_MuxMsg_MUX_M10"},
  };
  for (const auto& c : cases) {
    decoded.signals[0].value = c.mux;
    cOutputNaming naming{.deviceId = c.device, .folderSuffix = c.suffix, .pgnSrcMerge = c.srcMerge,
                         .pgnDstMerge = c.dstMerge, .year = 2024, .month = 3, .day = 5, .session = 12, .split = 3};
    cMessageIdentity id{.type = c.type, .channel = c.channel, .sourceAddress = static_cast<uint8_t>(c.sa),
                        .hasSourceAddress = c.sa >= 0, .destinationAddress = static_cast<uint8_t>(c.da),
                        .hasDestinationAddress = c.da >= 0};
    std::string path;
    cOutputPath_build(naming, id, decoded, &path);
    EXPECT_EQ(path, c.expected + "/2024/03/05/00000012_00000003");
  }
}

}  // namespace
