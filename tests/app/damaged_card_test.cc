// A memory card as it comes back from the field: good log files next to
// copies cut short at many points and copies with flipped bytes, plainly and
// inside compressed and encrypted containers.  The whole card must convert
// without a crash, the exit status may only carry the per-file failure bits,
// and every good file's CSV output must be exactly what it gives alone.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/e2e.h"

namespace {

const std::string kCanDbc = e2eDbc(
    "CAN",
    "BO_ 256 Engine: 8 ECU\n"
    " SG_ Speed : 0|16@1+ (0.1,0) [0|6553.5] \"km/h\" ECU\n"
    " SG_ Temp : 16|8@1- (1,0) [-100|100] \"C\" ECU\n"
    "BO_ 512 Mode: 8 ECU\n"
    " SG_ Sel M : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
    " SG_ A m1 : 8|16@0+ (1,0) [0|0] \"\" ECU\n"
    " SG_ B m2 : 8|8@1- (2,1) [0|0] \"\" ECU\n"
    "BO_ 768 Fd: 12 ECU\n"
    " SG_ Wide : 32|32@1+ (1,0) [0|0] \"\" ECU\n");
const std::string kLinDbc = e2eDbc("LIN",
                                   "BO_ 33 Door: 4 ECU\n"
                                   " SG_ Open : 0|1@1+ (1,0) [0|1] \"\" ECU\n"
                                   " SG_ Pos : 8|16@1+ (0.5,0) [0|0] \"\" ECU\n");
const char kPassword[] = "card-password";

// Deterministic generator for frame contents and damage positions.
struct Rng {
  uint64_t s;
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return static_cast<uint32_t>(s >> 16);
  }
};

std::string hex(Rng& rng, int n) {
  static const char* digits = "0123456789ABCDEF";
  std::string h;
  for (int i = 0; i < n; ++i) {
    uint8_t b = static_cast<uint8_t>(rng.next());
    h += digits[b >> 4];
    h += digits[b & 15];
  }
  return h;
}

// A logger file with frames of every decoded message on CAN and LIN, a CAN FD
// group with VLSD data, and `wrap` (container statements) at the end.
std::string logDescription(const std::string& serial, const std::string& wrap,
                           bool unfinished = false) {
  Rng rng{0x1234567 + serial.size() * 7 + serial.back()};
  std::string d = unfinished ? "unfinished\n" : "";
  d += e2eLogHeader(serial, 4, 1) + "datagroup\ngroup c can\ngroup l lin\n";
  for (int i = 0; i < 24; ++i) {
    std::string t = "t=" + std::to_string(i * 0.01 + 0.001);
    switch (i % 4) {
      case 0: d += "frame c " + t + " id=0x100 data=" + hex(rng, 8) + "\n"; break;
      case 1: d += "frame c " + t + " id=0x200 data=0" + std::to_string(1 + (i / 4) % 2) + hex(rng, 7) + "\n"; break;
      case 2: d += "frame l " + t + " id=0x21 data=" + hex(rng, 4) + "\n"; break;
      default: d += "frame c " + t + " ch=2 id=0x100 data=" + hex(rng, 8) + "\n"; break;
    }
  }
  d += "datagroup\ngroup fd canfd_vlsd\n";
  for (int i = 0; i < 6; ++i)
    d += "frame fd t=" + std::to_string(i * 0.03 + 0.002) + " id=0x300 brs=1 data=" +
         hex(rng, 12) + "\n";
  return d + wrap;
}

struct Form {
  const char* extension;
  std::string wrap;
};

std::vector<Form> forms() {
  const std::string enc = std::string("encrypt password=") + kPassword + " iterations=10 device=0x00C0FFEE\n";
  return {{"mf4", ""},
          {"mfc", "compress\n"},
          {"mfc", "compress crc=0 window=9 lookahead=4\n"},
          {"mfe", enc},
          {"mfm", "compress\n" + enc}};
}

std::string truncated(const std::string& bytes, size_t at) { return bytes.substr(0, at); }

std::string flipped(std::string bytes, Rng& rng, int flips) {
  for (int i = 0; i < flips && !bytes.empty(); ++i) {
    size_t at = rng.next() % bytes.size();
    bytes[at] = static_cast<char>(bytes[at] ^ (1u << (rng.next() % 8)));
  }
  return bytes;
}

// Truncation points: inside the container header and parameters, around the
// MDF identification and header blocks, and spread over the whole file.
std::vector<size_t> cutPoints(size_t size) {
  std::vector<size_t> cuts{0, 1, 11, 19, 20, 27, 28, 51, 52, 63, 64, 100, 200};
  for (int i = 1; i < 12; ++i) cuts.push_back(size * i / 12);
  cuts.push_back(size - 17);
  cuts.push_back(size - 4);
  cuts.push_back(size - 1);
  std::vector<size_t> inside;
  for (size_t c : cuts)
    if (c < size) inside.push_back(c);
  return inside;
}

class DamagedCard : public ::testing::Test {
 protected:
  void SetUp() override {
    card_.writeDbc("can1-card.dbc", kCanDbc);
    card_.writeDbc("can2-card.dbc", kCanDbc);
    card_.writeDbc("lin1-card.dbc", kLinDbc);
    card_.write("passwords.json", std::string("{\"default\": \"") + kPassword + "\"}\n");
  }

  // Writes one damaged copy under its own serial number, so that it can never
  // pass for a good file or continue one.
  void writeDamaged(const std::string& extension, const std::string& bytes) {
    char name[32];
    std::snprintf(name, sizeof name, "card/dmg%04d.%s", damaged_, extension.c_str());
    card_.write(name, bytes);
    ++damaged_;
  }
  std::string damagedSerial() const {
    char s[16];
    std::snprintf(s, sizeof s, "DMG%04d", damaged_);
    return s;
  }

  E2eFolder card_;
  int damaged_ = 0;
};

TEST_F(DamagedCard, GoodFilesConvertAsIfAloneAndTheStatusCarriesOnlyFileFailureBits) {
  std::vector<std::string> goodSerials;
  int index = 0;
  for (const Form& form : forms()) {
    // A good file of this form, named so that it sorts among the damaged ones.
    const std::string serial = "GOOD" + std::to_string(index);
    char name[32];
    std::snprintf(name, sizeof name, "card/dmg%04d_good.%s", damaged_, form.extension);
    card_.writeLog(name, logDescription(serial, form.wrap));
    goodSerials.push_back(serial);
    ++index;

    Rng rng{0xC0FFEE + static_cast<uint64_t>(index)};
    for (size_t cut : cutPoints(E2eFolder::logBytes(logDescription(damagedSerial(), form.wrap)).size())) {
      const std::string bytes = E2eFolder::logBytes(logDescription(damagedSerial(), form.wrap));
      writeDamaged(form.extension, truncated(bytes, cut));
    }
    for (int flips : {1, 1, 1, 2, 3, 8}) {
      const std::string bytes = E2eFolder::logBytes(logDescription(damagedSerial(), form.wrap));
      writeDamaged(form.extension, flipped(bytes, rng, flips));
    }
  }
  // A logger that lost power: an unfinished file cut short mid-data.
  for (int i = 1; i <= 3; ++i) {
    const std::string bytes = E2eFolder::logBytes(logDescription(damagedSerial(), "", true));
    writeDamaged("mf4", truncated(bytes, bytes.size() - static_cast<size_t>(i) * 37));
  }

  card_.mkdir("out");
  E2eRun all = card_.run({"-X", "-O", card_ / "out", card_ / "card"});
  // Damaged files fail one by one; nothing else may appear in the status.
  EXPECT_EQ(all.status & ~0x0E, 0) << all.status;
  EXPECT_EQ(all.status, 0x0E) << all.logText();
  const E2eTree cardTree = card_.csvTree("out");

  int n = 0;
  for (const Form& form : forms()) {
    const std::string serial = goodSerials[static_cast<size_t>(n++)];
    E2eFolder alone;
    alone.writeDbc("can1-card.dbc", kCanDbc);
    alone.writeDbc("can2-card.dbc", kCanDbc);
    alone.writeDbc("lin1-card.dbc", kLinDbc);
    alone.write("passwords.json", std::string("{\"default\": \"") + kPassword + "\"}\n");
    alone.writeLog(std::string("in/good.") + form.extension, logDescription(serial, form.wrap));
    alone.mkdir("out");
    E2eRun one = alone.run({"-X", "-O", alone / "out", alone / "in"});
    ASSERT_EQ(one.status, 0) << one.logText();
    const E2eTree soloTree = alone.csvTree("out");
    ASSERT_EQ(soloTree.size(), 6u) << e2eDescribe(soloTree);
    E2eTree fromCard;
    for (const auto& [path, text] : cardTree)
      if (path.rfind(serial + "/", 0) == 0) fromCard[path] = text;
    EXPECT_EQ(fromCard, soloTree) << serial;
  }
}

// The status bit each kind of damage must set when the file is converted on
// its own.
struct DamageCase {
  const char* name;
  const char* extension;
  std::string wrap;
  int cutFromEnd;  // bytes removed from the end (0: none)
  int flipAt;      // byte flipped, counted from the end (0: none)
  int status;
};

TEST(DamagedFile, EachDamageSetsItsStatusBit) {
  const std::string enc = std::string("encrypt password=") + kPassword + " iterations=10\n";
  const std::vector<DamageCase> cases = {
      {"plain file cut in its block tree", "mf4", "", 100000, 0, 8},
      {"unfinished file cut in its data", "mf4", "", 0, 0, 0},
      {"compressed, CRC footer lost", "mfc", "compress\n", 4, 0, 4},
      {"compressed, payload byte flipped", "mfc", "compress\n", 0, 9, 4},
      {"encrypted, cut short", "mfe", enc, 5, 0, 2},
      {"encrypted, tag byte flipped", "mfe", enc, 0, 3, 2},
      {"encrypted, ciphertext byte flipped", "mfe", enc, 0, 40, 2},
      {"compressed inside encrypted, cut", "mfm", "compress\n" + enc, 1, 0, 2},
      {"encrypted inside compressed, CRC wrong", "mfm", enc + "compress\n", 0, 2, 4},
      {"container header only", "mfc", "compress\n", 1 << 30, 0, 4},
  };
  for (const DamageCase& c : cases) {
    SCOPED_TRACE(c.name);
    E2eFolder dir;
    dir.writeDbc("can1-card.dbc", kCanDbc);
    dir.write("passwords.json", std::string("{\"default\": \"") + kPassword + "\"}\n");
    const bool unfinished = c.status == 0;
    std::string bytes = E2eFolder::logBytes(logDescription("ONE", c.wrap, unfinished));
    if (c.cutFromEnd > 0) {
      // Cut to at most the first 60 bytes when asked for more than there is,
      // keeping a container header (20 bytes) where the file has one.
      size_t keep = static_cast<size_t>(c.cutFromEnd) >= bytes.size()
                        ? (c.wrap.empty() ? 60 : 20)
                        : bytes.size() - static_cast<size_t>(c.cutFromEnd);
      bytes.resize(keep);
    } else if (unfinished) {
      bytes.resize(bytes.size() - 30);
    }
    if (c.flipAt > 0) bytes[bytes.size() - static_cast<size_t>(c.flipAt)] ^= 0x10;
    dir.write(std::string("in/f.") + c.extension, bytes);
    dir.mkdir("out");
    E2eRun r = dir.run({"-O", dir / "out", dir / "in"});
    EXPECT_EQ(r.status, c.status) << r.logText();
  }
}

}  // namespace
