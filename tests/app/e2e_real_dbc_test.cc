// End to end with real-world DBC files (when the shared set is present): for
// every message of each file, multiplexed ones included, logged frames with
// generated payloads go through the whole program, and every CSV file is
// compared with the values of a small reference decoder written here (bit by
// bit, DBC numbering).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <filesystem>
#include <map>
#include <random>

#include "db/db.h"
#include "db/dbc_parser.h"
#include "output/output_naming.h"
#include "support/e2e.h"
#include "support/memory_stream.h"

namespace {

// Positions (byte * 8 + bit) of a signal's field from its least significant
// bit up; empty when the field leaves `bytes` or is longer than 64 bits.
// Motorola: the start bit is the most significant; the field goes down within
// a byte, then on to bit 7 of the next byte.
std::vector<unsigned> fieldBits(const cDBSignalParameters& s, size_t bytes) {
  const bool intel = s.byteOrder == cDBByteOrder::LittleEndian;
  std::vector<unsigned> bits;
  unsigned at = intel ? s.bitPosition : s.bitPosition ^ 7u;
  for (unsigned i = 0; i < s.bitLength && s.bitLength <= 64; ++i) {
    if (at / 8 >= bytes) return {};
    bits.push_back(at);
    at = intel ? at + 1 : at % 8 == 0 ? at + 15 : at - 1;
  }
  if (!intel) std::reverse(bits.begin(), bits.end());
  return bits;
}

// Physical value of a signal; false when the reference cannot decode it.
bool referenceValue(const std::vector<uint8_t>& payload, const cDBSignalParameters& s, double* value) {
  const std::vector<unsigned> bits = fieldBits(s, payload.size());
  const unsigned n = s.bitLength;
  uint64_t raw = 0;
  for (size_t i = 0; i < bits.size(); ++i) raw |= uint64_t((payload[bits[i] / 8] >> (bits[i] % 8)) & 1u) << i;
  double x = 0.0;
  if (bits.empty()) return false;
  if (s.valueType == cDBValueType::Unsigned) x = static_cast<double>(raw);
  else if (s.valueType == cDBValueType::Signed)  // sign bit n - 1 extended
    x = static_cast<double>(static_cast<int64_t>(raw << (64 - n)) >> (64 - n));
  else if (s.valueType == cDBValueType::Float && n == 32) x = std::bit_cast<float>(static_cast<uint32_t>(raw));
  else if (s.valueType == cDBValueType::Double && n == 64) x = std::bit_cast<double>(raw);
  else return false;
  *value = x * s.factor + s.offset;
  return true;
}

// Writes the low bits of `raw` into the field of a signal (which must fit).
void referenceWrite(std::vector<uint8_t>* payload, const cDBSignalParameters& s, uint64_t raw) {
  const std::vector<unsigned> bits = fieldBits(s, payload->size());
  for (size_t i = 0; i < bits.size(); ++i) {
    uint8_t& byte = (*payload)[bits[i] / 8];
    const uint8_t mask = static_cast<uint8_t>(1u << (bits[i] % 8));
    byte = static_cast<uint8_t>((raw >> i) & 1u ? byte | mask : byte & ~mask);
  }
}

// Every signal at any depth of the multiplexing tree readable by the reference.
bool readable(const std::vector<cDBSignal>& signals, const std::vector<uint8_t>& zeros) {
  double v;
  return std::all_of(signals.begin(), signals.end(), [&](const cDBSignal& s) {
    return referenceValue(zeros, s.params, &v) &&
           std::all_of(s.ranges.begin(), s.ranges.end(), [&](const cDBRange& r) { return readable(r.signals, zeros); });
  });
}

// Multiplexor settings that select one range each: for every range at any
// depth, the raw values of its multiplexor and of the multiplexors above it.
using Selection = std::vector<std::pair<const cDBSignal*, uint64_t>>;
void rangeSelections(const std::vector<cDBSignal>& signals, Selection* above, std::vector<Selection>* out) {
  for (const cDBSignal& s : signals) {
    const cDBSignalParameters& p = s.params;
    if (p.factor == 0.0 || p.valueType == cDBValueType::Float || p.valueType == cDBValueType::Double) continue;
    for (const cDBRange& r : s.ranges) {
      above->emplace_back(&s, static_cast<uint64_t>(std::llround((r.from - p.offset) / p.factor)));
      out->push_back(*above);
      rangeSelections(r.signals, above, out);
      above->pop_back();
    }
  }
}

// Depth-first: each signal, and after a multiplexor the signals of the first
// of its ranges that holds its value.  Returns the path part of the decoded
// multiplexors: "_<name>_M<start of range>" where the whole value lies in a range.
std::string referenceDecode(const std::vector<cDBSignal>& signals, const std::vector<uint8_t>& payload,
                            std::vector<std::pair<const cDBSignal*, double>>* out) {
  std::string parts;
  for (const cDBSignal& s : signals) {
    double v = 0.0;
    referenceValue(payload, s.params, &v);
    out->emplace_back(&s, v);
    const double whole = std::trunc(v);
    auto holds = [](double x) { return [x](const cDBRange& r) { return r.from <= x && x <= r.to; }; };
    if (auto r = std::find_if(s.ranges.begin(), s.ranges.end(), holds(whole)); r != s.ranges.end()) {
      char text[16];
      std::snprintf(text, sizeof text, "_M%02X", r->from);
      parts += "_" + string2Path(s.name) + text;
    }
    if (auto r = std::find_if(s.ranges.begin(), s.ranges.end(), holds(v)); r != s.ranges.end())
      parts += referenceDecode(r->signals, payload, out);
  }
  return parts;
}

// The log file of frames for every covered message of `db`; *expected gets
// the CSV files the reference decoder makes of them.
std::string planFor(const cDB& db, E2eTree* expected) {
  std::mt19937 random(20231114);
  std::string log = e2eLogHeader("REAL", 1, 1) + "group c can\ngroup fd canfd\n";
  std::map<std::string, std::string> fileOfSet;  // signal set (path and names) -> file
  std::map<std::string, int> setsOnPath;
  int k = 0;
  for (const auto& [key, m] : db.messages()) {
    // Covered: no transport protocol (nor J1939 transport frames), every
    // signal inside the message and readable by the reference.
    const uint32_t pf = (key >> 16) & 0xFFu;
    if (m.ignored || m.transportType != cDBTransport::None || m.length == 0 || m.length > 64 || m.signals.empty() ||
        (db.busKind() == cDBBusKind::J1939 && (key & 0x80000000u) && (pf == 0xEC || pf == 0xEB)) ||
        !readable(m.signals, std::vector<uint8_t>(m.length, 0)))
      continue;
    // CAN identifier of the key; J1939: source address 0x42.
    const bool extended = (key & 0x80000000u) != 0, j1939 = extended && db.busKind() == cDBBusKind::J1939;
    const uint32_t id = (key & 0x1FFFFFFFu) | (j1939 ? 0x42u : 0u);
    std::vector<Selection> selections;
    Selection above;
    rangeSelections(m.signals, &above, &selections);
    selections.resize(std::min<size_t>(selections.size(), 64));
    // Eight frames (zeros, ones, random), then two per range that select it.
    for (size_t n = 0; n < 8 + selections.size() * 2; ++n, ++k) {
      std::vector<uint8_t> payload(m.length);
      for (uint8_t& b : payload) b = n == 0 ? 0x00 : n == 1 ? 0xFF : static_cast<uint8_t>(random());
      if (n >= 8)
        for (const auto& [mux, raw] : selections[(n - 8) / 2]) referenceWrite(&payload, mux->params, raw);
      static const unsigned kFdLengths[] = {12, 16, 20, 24, 32, 48, 64};
      if (m.length > 8) payload.resize(*std::lower_bound(std::begin(kFdLengths), std::end(kFdLengths), m.length));
      char text[64];
      std::snprintf(text, sizeof text, "frame %s t=%d.%03d id=0x%X ide=%d data=", m.length > 8 ? "fd" : "c",
                    k / 1000, k % 1000, id, extended ? 1 : 0);
      log += text;
      log += hex(payload) + "\n";
      // Expected row: values outside the limits become NaN; a row without any
      // value inside them is not written.
      std::vector<std::pair<const cDBSignal*, double>> decoded;
      const std::string path = "REAL_out/CAN1_" + string2Path(m.name) + referenceDecode(m.signals, payload, &decoded) +
                               (j1939 ? "_S42" : "") + "/2023/11/14/00000001_00000001";
      std::string row, header = "t", set = path + "|";
      bool any = false;
      for (const auto& [s, v] : decoded) {
        set += s->name + ",";
        if (s->ignored) continue;
        header += "," + s->name;
        const cDBSignalParameters& p = s->params;
        // The limits are decimals: a value a rounding off a limit is at it.
        auto near = [&](double limit) { return 1e-12 * (std::fabs(limit) + std::fabs(p.offset)); };
        const bool used = (p.minimum - near(p.minimum) <= v && v <= p.maximum + near(p.maximum)) ||
                          (p.minimum == 0.0 && p.maximum == 0.0);
        any |= used;
        row += "," + (!used || std::isnan(v) ? "NaN" : std::isinf(v) ? (v < 0 ? "-Inf" : "Inf") : std::to_string(v));
      }
      if (!any) continue;
      auto [it, fresh] = fileOfSet.emplace(set, "");
      if (fresh) {  // a further signal set on one path gets "_2", "_3", ...
        const int nth = ++setsOnPath[path];
        it->second = path + (nth == 1 ? "" : "_" + std::to_string(nth)) + ".csv";
        (*expected)[it->second] = header + "\n";
      }
      (*expected)[it->second] += std::to_string(1700000000.0 + k / 1000.0) + row + "\n";
    }
  }
  return log;
}

TEST(E2eRealDbc, EveryMessageMatchesTheReferenceDecoder) {
  const std::string dir = LOGRAVEN_SOURCE_DIR "/../shared/dbc";
  if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no shared DBC files";
  size_t compared = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".dbc") continue;
    SCOPED_TRACE(entry.path().filename().string());
    const std::string text = readFile(entry.path().string());
    std::unique_ptr<cDB> db;
    {
      LogCapture quiet;  // the parser's complaints
      db = cDBC_dbc2db(memoryStream(text).get());
    }
    E2eFolder f;
    E2eTree expected;
    f.writeDbc("can1-real.dbc", text);
    f.writeLog("in/a.mf4", db ? planFor(*db, &expected) : e2eLogHeader("REAL", 1, 1) + "group c can\n");
    E2eRun r = f.run({f / "in"});
    // A file the parser rejects leaves nothing to convert with.
    ASSERT_EQ(r.status, db ? 0 : 0x86) << r.logText();
    E2eTree tree = f.csvTree();
    EXPECT_EQ(tree.size(), expected.size());
    for (const auto& [path, text] : expected) EXPECT_EQ(tree[path], text) << path;
    compared += expected.size();
  }
  EXPECT_GT(compared, 0u);
}

}  // namespace
