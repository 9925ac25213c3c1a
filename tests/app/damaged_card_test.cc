// A memory card as it comes back from the field: good log files next to
// copies cut short at many points and copies with flipped bits, plainly and
// inside compressed and encrypted containers.  The card converts without a
// crash, the status carries only the per-file failure bits, and the good
// files give exactly what they give without the damaged ones.  Hostile
// containers on the card (too deeply nested, too costly a key derivation)
// are refused without holding the conversion.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/e2e.h"

namespace {

const std::string kEncrypt = "encrypt password=card-password iterations=";

// Databases for CAN channels 1 and 2 and LIN channel 1, the password and an
// output folder.
void prepare(const E2eFolder& f) {
  const std::string can = e2eDbc(
      "CAN", "BO_ 256 Engine: 8 ECU\n SG_ Speed : 0|16@1+ (0.1,0) [0|6553.5] \"km/h\" ECU\n"
             " SG_ Temp : 16|8@1- (1,0) [-100|100] \"C\" ECU\nBO_ 512 Mode: 8 ECU\n SG_ Sel M : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
             " SG_ A m1 : 8|16@0+ (1,0) [0|0] \"\" ECU\n SG_ B m2 : 8|8@1- (2,1) [0|0] \"\" ECU\n"
             "BO_ 768 Fd: 12 ECU\n SG_ Wide : 32|32@1+ (1,0) [0|0] \"\" ECU\n");
  f.writeDbc("can1-card.dbc", can);
  f.writeDbc("can2-card.dbc", can);
  f.writeDbc("lin1-card.dbc", e2eDbc("LIN", "BO_ 33 Door: 4 ECU\n SG_ Open : 0|1@1+ (1,0) [0|1] \"\" ECU\n"
                                            " SG_ Pos : 8|16@1+ (0.5,0) [0|0] \"\" ECU\n"));
  f.write("passwords.json", "{\"default\": \"card-password\"}\n");
  f.mkdir("out");
}

// A logger file with frames of every decoded message on two CAN channels and
// LIN, a CAN FD group with VLSD data, then `wrap` (container statements).
std::string logBytes(const std::string& serial, const std::string& wrap, bool unfinished = false) {
  std::mt19937 rng(static_cast<uint32_t>(std::hash<std::string>{}(serial)));
  auto hex = [&rng](int digits) {
    std::string h;
    while (digits-- > 0) h += "0123456789ABCDEF"[rng() & 15];
    return h;
  };
  std::string d = (unfinished ? "unfinished\n" : "") + e2eLogHeader(serial, 4, 1) +
                  "datagroup\ngroup c can\ngroup l lin\n";
  for (int i = 0; i < 24; ++i) {
    const std::string frame = "frame " + std::string(i % 4 == 2 ? "l " : i % 4 == 3 ? "c ch=2 " : "c ") +
                              "t=" + std::to_string(i * 0.01 + 0.001);
    d += frame + (i % 4 == 2   ? " id=0x21 data=" + hex(8)
                  : i % 4 == 1 ? " id=0x200 data=0" + std::to_string(1 + i / 4 % 2) + hex(14)
                               : " id=0x100 data=" + hex(16)) + "\n";
  }
  d += "datagroup\ngroup fd canfd_vlsd\n";
  for (int i = 0; i < 6; ++i)
    d += "frame fd t=" + std::to_string(i * 0.03 + 0.002) + " id=0x300 brs=1 data=" + hex(24) + "\n";
  return E2eFolder::logBytes(d + wrap);
}

TEST(DamagedCard, GoodFilesConvertAsWithoutTheDamagedOnes) {
  const std::string enc = kEncrypt + "10 device=0x00C0FFEE\n";
  const std::pair<std::string, std::string> forms[] = {
      {"mf4", ""}, {"mfc", "compress\n"}, {"mfc", "compress crc=0 window=9 lookahead=4\n"},
      {"mfe", enc}, {"mfm", "compress\n" + enc}};
  E2eFolder card, clean;
  prepare(card);
  prepare(clean);
  // Each damaged copy has a serial number of its own, so that it can never
  // pass for a good file or continue one; names sort good and damaged together.
  int n = 0;
  auto damaged = [&n](const std::string& wrap, bool unfinished = false) {
    return logBytes("DMG" + std::to_string(n), wrap, unfinished);
  };
  auto put = [&card, &n](const std::string& ext, const std::string& bytes) {
    card.write("card/" + std::to_string(1000 + n++) + "." + ext, bytes);
  };
  std::mt19937 rng(0xC0FFEE);
  for (size_t i = 0; i < std::size(forms); ++i) {
    const auto& [ext, wrap] = forms[i];
    const std::string good = logBytes("GOOD" + std::to_string(i), wrap);
    put("good." + ext, good);
    clean.write("in/" + std::to_string(i) + "." + ext, good);
    // Cuts inside the container header and parameters, around the MDF
    // identification and header blocks, and spread over the whole file.
    const size_t size = good.size();
    std::vector<size_t> cuts{0, 1, 11, 19, 20, 27, 28, 51, 52, 63, 64, 100, 200, size - 17, size - 4, size - 1};
    for (size_t k = 1; k < 12; ++k) cuts.push_back(size * k / 12);
    for (size_t cut : cuts) put(ext, damaged(wrap).substr(0, cut));
    for (int flips : {1, 1, 1, 2, 3, 8}) {
      std::string bytes = damaged(wrap);
      while (flips-- > 0) bytes[rng() % bytes.size()] ^= static_cast<char>(1u << (rng() % 8));
      put(ext, bytes);
    }
  }
  // Container bounds: 256 nested layers convert, 257 are refused, and so is a
  // huge iteration count (big-endian, bytes 32..35) before key derivation.
  std::string nest256;
  for (int i = 0; i < 256; ++i) nest256 += kEncrypt + "1\n";
  const std::string deep = logBytes("GOOD_DEEP", nest256);
  put("mfe", deep);
  clean.write("in/deep.mfe", deep);
  put("mfe", damaged(nest256 + kEncrypt + "1\n"));
  std::string slow = damaged(kEncrypt + "1\n");
  slow.replace(32, 4, 4, '\xFF');
  put("mfe", slow);
  // A logger that lost power: unfinished files cut short in their data.
  for (size_t i = 1; i <= 3; ++i) {
    const std::string bytes = damaged("", true);
    put("mf4", bytes.substr(0, bytes.size() - i * 37));
  }
  E2eRun all = card.run({"-X", "-O", card / "out", card / "card"});
  EXPECT_EQ(all.status, 2 | 4 | 8) << all.logText();
  EXPECT_TRUE(all.logged("E Too many nested containers"));
  E2eRun alone = clean.run({"-X", "-O", clean / "out", clean / "in"});
  ASSERT_EQ(alone.status, 0) << alone.logText();
  const E2eTree expected = clean.csvTree("out");
  EXPECT_EQ(expected.size(), 6 * (std::size(forms) + 1)) << e2eDescribe(expected);
  E2eTree fromCard;
  for (const auto& [path, text] : card.csvTree("out"))
    if (path.starts_with("GOOD")) fromCard[path] = text;
  EXPECT_EQ(fromCard, expected);
}

}  // namespace
