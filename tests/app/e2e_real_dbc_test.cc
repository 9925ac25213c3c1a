// End to end with real-world DBC files (when the shared set is present): for
// every message of each file (multiplexed ones included), logged frames with generated payloads go
// through the whole program, and every CSV file is compared with the values
// of a small reference decoder written here (bit by bit, DBC numbering).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>

#include "support/e2e.h"
#include "db/db.h"
#include "db/dbc_parser.h"
#include "io/io.h"
#include "output/output_naming.h"

namespace {

const std::string kDbcDir = LOGRAVEN_SOURCE_DIR "/../shared/dbc";

// Raw bits of a signal, read one bit at a time in DBC numbering; false when
// the field does not fit the payload or is longer than 64 bits.
bool referenceRaw(const std::vector<uint8_t>& payload, const cDBSignalParameters& s,
                  uint64_t* raw) {
  const unsigned length = s.bitLength;
  if (length == 0 || length > 64) return false;
  uint64_t v = 0;
  if (s.byteOrder == cDBByteOrder::LittleEndian) {
    for (unsigned i = 0; i < length; ++i) {
      unsigned bit = s.bitPosition + i;
      if (bit / 8 >= payload.size()) return false;
      v |= static_cast<uint64_t>((payload[bit / 8] >> (bit % 8)) & 1u) << i;
    }
  } else {
    // Motorola: the DBC start bit is the most significant bit; the field
    // goes down within a byte, then on to bit 7 of the next byte.
    unsigned start = s.bitPosition ^ 7u;
    unsigned byte = start / 8;
    int bit = static_cast<int>(start % 8);
    for (unsigned i = 0; i < length; ++i) {
      if (byte >= payload.size()) return false;
      v = (v << 1) | ((payload[byte] >> bit) & 1u);
      if (bit == 0) {
        ++byte;
        bit = 7;
      } else {
        --bit;
      }
    }
  }
  *raw = v;
  return true;
}

// Writes the low bits of `raw` into the field of a signal (the inverse of
// referenceRaw); the field must fit.
void referenceWrite(std::vector<uint8_t>* payload, const cDBSignalParameters& s, uint64_t raw) {
  const unsigned length = s.bitLength;
  auto put = [payload](unsigned byte, unsigned bit, bool on) {
    uint8_t mask = static_cast<uint8_t>(1u << bit);
    (*payload)[byte] = static_cast<uint8_t>(on ? (*payload)[byte] | mask : (*payload)[byte] & ~mask);
  };
  if (s.byteOrder == cDBByteOrder::LittleEndian) {
    for (unsigned i = 0; i < length; ++i) {
      unsigned bit = s.bitPosition + i;
      put(bit / 8, bit % 8, ((raw >> i) & 1u) != 0);
    }
  } else {
    unsigned start = s.bitPosition ^ 7u;
    unsigned byte = start / 8;
    int bit = static_cast<int>(start % 8);
    for (unsigned i = 0; i < length; ++i) {
      put(byte, static_cast<unsigned>(bit), ((raw >> (length - 1 - i)) & 1u) != 0);
      if (bit == 0) {
        ++byte;
        bit = 7;
      } else {
        --bit;
      }
    }
  }
}

// Physical value of a signal; false when the reference cannot decode it.
bool referenceValue(const std::vector<uint8_t>& payload, const cDBSignalParameters& s,
                    double* value) {
  uint64_t raw = 0;
  if (!referenceRaw(payload, s, &raw)) return false;
  double x = 0.0;
  switch (s.valueType) {
    case cDBValueType::Unsigned:
      x = static_cast<double>(raw);
      break;
    case cDBValueType::Signed:
      if (s.bitLength < 64 && ((raw >> (s.bitLength - 1)) & 1u) != 0) raw |= ~0ULL << s.bitLength;
      x = static_cast<double>(static_cast<int64_t>(raw));
      break;
    case cDBValueType::Float: {
      if (s.bitLength != 32) return false;
      uint32_t bits = static_cast<uint32_t>(raw);
      float f;
      std::memcpy(&f, &bits, sizeof f);
      x = f;
      break;
    }
    case cDBValueType::Double: {
      if (s.bitLength != 64) return false;
      std::memcpy(&x, &raw, sizeof x);
      break;
    }
    default:
      return false;
  }
  *value = x * s.factor + s.offset;
  return true;
}

std::string formatValue(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-Inf" : "Inf";
  char text[512];
  std::snprintf(text, sizeof text, "%f", v);
  return text;
}

std::string hex(const std::vector<uint8_t>& bytes) {
  static const char* kDigits = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

// Every signal at any depth of the multiplexing tree inside the message and
// readable by the reference.
bool allSignalsReadable(const std::vector<cDBSignal>& signals, const std::vector<uint8_t>& zeros) {
  for (const cDBSignal& s : signals) {
    double v;
    if (!referenceValue(zeros, s.params, &v)) return false;
    for (const cDBRange& r : s.ranges)
      if (!allSignalsReadable(r.signals, zeros)) return false;
  }
  return true;
}

// A message the reference decoder covers: no transport protocol, every
// signal inside the message and readable.
bool isCovered(const cDB& db, const cDBMessage& m) {
  if (m.ignored || m.transportType != cDBTransport::None || m.length == 0 || m.length > 64)
    return false;
  if (db.busKind() == cDB::kBusJ1939 && (m.key & 0x80000000u) != 0) {
    uint32_t pf = (m.key >> 16) & 0xFFu;
    if (pf == 0xEC || pf == 0xEB) return false;  // transport-protocol frames
  }
  return !m.signals.empty() && allSignalsReadable(m.signals, std::vector<uint8_t>(m.length, 0));
}

// Multiplexor settings that select one range each: for every range at any
// depth, the raw values of its multiplexor and of the multiplexors above it.
using Selection = std::vector<std::pair<const cDBSignal*, uint64_t>>;
void rangeSelections(const std::vector<cDBSignal>& signals, Selection* above,
                     std::vector<Selection>* out) {
  for (const cDBSignal& s : signals) {
    const cDBSignalParameters& p = s.params;
    if (p.factor == 0.0 || p.valueType == cDBValueType::Float ||
        p.valueType == cDBValueType::Double)
      continue;
    for (const cDBRange& r : s.ranges) {
      long long raw = std::llround((r.from - p.offset) / p.factor);
      above->emplace_back(&s, static_cast<uint64_t>(raw));
      out->push_back(*above);
      rangeSelections(r.signals, above, out);
      above->pop_back();
    }
  }
}

struct RefSignal {
  const cDBSignal* signal;
  double value;
};

// Depth-first: each multiplexor is followed by the signals of the first of
// its ranges that holds its physical value, then by its next sibling.
void referenceDecode(const std::vector<cDBSignal>& signals, const std::vector<uint8_t>& payload,
                     std::vector<RefSignal>* out) {
  for (const cDBSignal& s : signals) {
    double v = 0.0;
    referenceValue(payload, s.params, &v);
    out->push_back({&s, v});
    for (const cDBRange& r : s.ranges) {
      if (r.from <= v && v <= r.to) {
        referenceDecode(r.signals, payload, out);
        break;
      }
    }
  }
}

// "_<multiplexor>_M<start of range>" for each decoded multiplexor whose
// value, cut to an integer, lies in one of its ranges.
std::string multiplexorParts(const std::vector<RefSignal>& decoded) {
  std::string parts;
  for (const RefSignal& d : decoded) {
    double whole = std::trunc(d.value);
    for (const cDBRange& r : d.signal->ranges) {
      if (r.from <= whole && whole <= r.to) {
        char text[32];
        std::snprintf(text, sizeof text, "_M%02X", r.from);
        parts += "_" + string2Path(d.signal->name) + text;
        break;
      }
    }
  }
  return parts;
}

// CAN identifier of a message key (J1939: source address 0x42).
uint32_t frameId(const cDB& db, uint32_t key, bool* extended) {
  *extended = (key & 0x80000000u) != 0;
  uint32_t id = key & 0x1FFFFFFFu;
  if (*extended && db.busKind() == cDB::kBusJ1939) id |= 0x42u;
  return id;
}

uint32_t fdLength(uint32_t n) {
  for (uint32_t size : {8u, 12u, 16u, 20u, 24u, 32u, 48u, 64u})
    if (n <= size) return size;
  return 64;
}

struct Plan {
  std::string description;  // the log file
  E2eTree expected;         // relative to the output root
  size_t messages = 0;
};

Plan planFor(const cDB& db) {
  std::mt19937 random(20231114);
  Plan plan;
  std::string frames;
  // Signal set (all decoded names) -> its file, and the sets seen per path.
  std::map<std::string, std::string> fileOfSet;
  std::map<std::string, int> setsOnPath;
  int k = 0;
  for (const auto& [key, m] : db.messages()) {
    if (!isCovered(db, m)) continue;
    ++plan.messages;
    bool extended = false;
    uint32_t id = frameId(db, key, &extended);
    const std::string source = extended && db.busKind() == cDB::kBusJ1939 ? "_S42" : "";
    std::vector<Selection> selections;
    Selection above;
    rangeSelections(m.signals, &above, &selections);
    if (selections.size() > 64) selections.resize(64);
    const int count = 8 + static_cast<int>(selections.size()) * 2;
    for (int n = 0; n < count; ++n, ++k) {
      std::vector<uint8_t> payload(m.length);
      for (uint8_t& b : payload) b = n == 0 ? 0x00 : n == 1 ? 0xFF : static_cast<uint8_t>(random());
      // Past the first eight frames, each range gets two frames selecting it.
      if (n >= 8) {
        for (const auto& [mux, raw] : selections[(n - 8) / 2]) referenceWrite(&payload, mux->params, raw);
      }
      char line[64];
      std::snprintf(line, sizeof line, "frame %s t=%d.%03d id=0x%X ide=%d data=",
                    m.length > 8 ? "fd" : "c", k / 1000, k % 1000, id, extended ? 1 : 0);
      std::vector<uint8_t> logged = payload;
      if (m.length > 8) logged.resize(fdLength(m.length), 0);
      frames += line + hex(logged) + "\n";

      std::vector<RefSignal> decoded;
      referenceDecode(m.signals, logged, &decoded);
      // Expected row: values outside the limits become NaN; a row without any
      // value inside them is not written.
      std::string row, header = "t", set;
      bool any = false;
      for (const RefSignal& d : decoded) {
        set += d.signal->name + ",";
        if (d.signal->ignored) continue;
        header += "," + d.signal->name;
        const cDBSignalParameters& p = d.signal->params;
        double v = d.value;
        bool used = (p.minimum <= v && v <= p.maximum) || (p.minimum == 0.0 && p.maximum == 0.0);
        any |= used;
        row += "," + (used ? formatValue(v) : std::string("NaN"));
      }
      if (!any) continue;
      const std::string path =
          "REAL_out/CAN1_" + string2Path(m.name) + multiplexorParts(decoded) + source +
          "/2023/11/14/00000001_00000001";
      set = path + "|" + set;
      auto [it, fresh] = fileOfSet.emplace(set, "");
      if (fresh) {
        // A further signal set on one path gets "_2", "_3", ...
        int nth = ++setsOnPath[path];
        it->second = path + (nth == 1 ? "" : "_" + std::to_string(nth)) + ".csv";
        plan.expected[it->second] = header + "\n";
      }
      char t[32];
      std::snprintf(t, sizeof t, "%f", 1700000000.0 + k / 1000.0);
      plan.expected[it->second] += t + row + "\n";
    }
  }
  plan.description = e2eLogHeader("REAL", 1, 1) + "group c can\ngroup fd canfd\n" + frames;
  return plan;
}

// Non-numbers carry no meaningful sign.
std::string withoutNaNSigns(std::string text) {
  for (size_t at; (at = text.find("-NaN")) != std::string::npos;) text.erase(at, 1);
  return text;
}

TEST(E2eRealDbc, EveryMessageMatchesTheReferenceDecoder) {
  if (!std::filesystem::is_directory(kDbcDir)) GTEST_SKIP() << "no shared DBC files";
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kDbcDir)) {
    if (entry.path().extension() != ".dbc") continue;
    SCOPED_TRACE(entry.path().filename().string());
    std::unique_ptr<cDB> db;
    {
      LogCapture quiet;
      std::unique_ptr<cIO> in = cIO_file_open(entry.path().c_str(), 0);
      ASSERT_TRUE(in);
      db = cDBC_dbc2db(in.get());
    }
    E2eFolder f;
    f.writeDbc("can1-real.dbc", readFile(entry.path().string()));
    if (!db) {
      // A file the parser rejects: nothing to convert with.
      f.writeLog("in/a.mf4", e2eLogHeader("REAL", 1, 1) + "group c can\n");
      E2eRun r = f.run({f / "in"});
      EXPECT_TRUE(r.logged("E No DBC files found"));
      continue;
    }
    Plan plan = planFor(*db);
    if (plan.messages == 0) continue;
    ++files;
    f.writeLog("in/a.mf4", plan.description);
    E2eRun r = f.run({f / "in"});
    ASSERT_EQ(r.status, 0) << r.logText();
    E2eTree tree = f.csvTree();
    for (auto& [path, text] : tree) text = withoutNaNSigns(text);
    EXPECT_EQ(tree.size(), plan.expected.size());
    for (const auto& [path, text] : plan.expected) {
      auto it = tree.find(path);
      if (it == tree.end()) {
        ADD_FAILURE() << "missing " << path;
        continue;
      }
      EXPECT_EQ(it->second, text) << path;
    }
  }
  EXPECT_GT(files, 0u);
}

}  // namespace
