// End to end: a card with broken inputs, a repeated file and an output folder
// that cannot be written, next to good files.  Every bad input gets its
// message and exit-status bit and is kept; every good file converts exactly as
// it does on its own and is deleted; damaged bytes never crash the program.
#include <gtest/gtest.h>

#include "support/e2e.h"

namespace {

const std::string kDbc = e2eDbc("CAN",
                                 "BO_ 256 M: 4 ECU\n"
                                 " SG_ V : 0|16@1+ (1,0) [0|0] \"\" ECU\n"
                                 " SG_ W : 23|16@0- (0.5,0) [0|0] \"\" ECU\n"
                                 "BO_ 2147484160 X: 1 ECU\n SG_ B : 0|8@1+ (1,0) [0|0] \"\" ECU\n");

// A log of device `serial` with `frames` frames of both messages.
std::string goodLog(const std::string& serial, int frames, const std::string& wrap = "", unsigned split = 1) {
  std::string d = e2eLogHeader(serial, 3, split) + "group c can\n";
  for (int i = 0; i < frames; ++i) {
    char line[128];
    std::snprintf(line, sizeof line, "frame c t=%d.25 id=0x100 data=%02X%02X%02X%02X\nframe c t=%d.5 id=0x200 ide=1 data=%02X\n",
                  i, i & 0xFF, (i * 7) & 0xFF, (i * 13) & 0xFF, (i * 29) & 0xFF, i, (i * 3) & 0xFF);
    d += line;
  }
  return d + wrap;
}

// The bytes of `text` with the first occurrence of `from` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos);
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// The CSV tree of one log file converted on its own.
E2eTree convertedAlone(const std::string& name, const std::string& bytes, const std::string& passwords = "") {
  E2eFolder f;
  f.writeDbc("can1-m.dbc", kDbc);
  if (!passwords.empty()) f.write("passwords.json", passwords);
  f.write("in/" + name, bytes);
  E2eRun r = f.run({f / "in"});
  EXPECT_EQ(r.status, 0) << r.logText();
  return f.csvTree();
}

TEST(E2eBadInput, EveryBadFileIsReportedAndKeptAndEveryGoodFileConvertsAndGoes) {
  const std::string passwords = "{\"0000C0DE\": \"pw\"}";
  const std::string good1 = E2eFolder::logBytes(goodLog("GOODA", 50));
  const std::string good2 = E2eFolder::logBytes(goodLog("GOODB", 40, "compress\n"));
  const std::string good3 = E2eFolder::logBytes(goodLog("GOODC", 30, "encrypt password=pw device=0x0000C0DE\n"));
  const std::string plain = E2eFolder::logBytes(goodLog("BAD", 20));
  const std::string packed = E2eFolder::logBytes(goodLog("BAD", 20, "compress\n"));
  enum Outcome { kConverted, kRepeated, kFailed };
  // In name order: bad files around the good ones, a repeat right after its
  // file, two splits whose output folder is taken by a file.
  const struct {
    std::string name, bytes;
    Outcome outcome;
    std::string message;
  } inputs[] = {
      {"a_corrupt.mf4", replaced(plain, "##HD", "##XX"), kFailed, "E Could not open MDF"},
      {"b_good.mf4", good1, kConverted, ""},
      {"b_repeated.mf4", good1, kRepeated, "W Repeated input file (GOODA, 00000003, 00000001)"},
      {"c_truncated.mf4", plain.substr(0, plain.size() / 3), kFailed, "E Could not open MDF"},
      {"d_good.mfc", good2, kConverted, ""},
      {"e_truncated.mfc", packed.substr(0, packed.size() / 2), kFailed, "E Could not decompress file"},
      {"f_other_tool.mf4", E2eFolder::logBytes(replaced(goodLog("BAD", 5), "history QZ", "history none")), kFailed,
       "E Unsupported MF4 file"},
      {"g_good.mfe", good3, kConverted, ""},
      {"h_no_password.mfe", E2eFolder::logBytes(goodLog("BAD", 5, "encrypt password=x device=0x00ABCDEF\n")),
       kFailed, "E No password found for device 00ABCDEF"},
      {"i_empty.mf4", "", kFailed, "E Could not open MDF"},
      {"k_blocked.mf4", E2eFolder::logBytes(goodLog("BLOCKED", 2)), kFailed, "E Could not create output writer"},
      {"l_blocked.mf4", E2eFolder::logBytes(goodLog("BLOCKED", 2, "", 2)), kFailed, ""},
  };
  E2eFolder f;
  f.writeDbc("can1-m.dbc", kDbc);
  f.writeDbc("dbc/broken.dbc", "");  // a database that fails to load
  f.write("passwords.json", passwords);
  for (const auto& in : inputs) f.write("in/" + in.name, in.bytes);
  f.write("out/BLOCKED_out", "in the way");
  E2eRun r = f.run({"-d", "-O", f / "out", "--dbc-can1=can1-m.dbc", "--dbc-can1=dbc/broken.dbc", f / "in", f / "gone"});

  EXPECT_EQ(r.status, 1 | 2 | 4 | 8) << r.logText();
  EXPECT_TRUE(r.logged("E Failed to load DBC file: dbc/broken.dbc"));
  EXPECT_TRUE(r.logged("W Could not find input file/folder gone"));
  for (const auto& in : inputs) {
    EXPECT_EQ(f.exists("in/" + in.name), in.outcome != kConverted) << in.name;
    EXPECT_EQ(r.count("E Error during conversion of in/" + in.name), in.outcome == kFailed ? 1u : 0u) << in.name;
    EXPECT_TRUE(in.message.empty() || r.logged(in.message)) << in.message << "\n" << r.logText();
  }
  // Corrupt, truncated, other tool and empty: the MDF file does not open.
  EXPECT_EQ(r.count("E Could not open MDF"), 4u) << r.logText();
  EXPECT_EQ(r.count("E Could not create output writer"), 2u);  // once for each of M and X
  const std::string day = "/2023/11/14/00000003_00000001.csv";
  size_t named = 0;
  for (const std::string& l : r.log)
    named += l.starts_with("I Output file " + f.path() + "/out/") &&
             l.ends_with("/BLOCKED_out/CAN1_M" + day + ": Not a directory");
  EXPECT_EQ(named, 1u) << r.logText();
  EXPECT_EQ(r.statistic("Reader statistics", "Files"), 12);
  EXPECT_EQ(f.read("out/BLOCKED_out"), "in the way");

  // No output of a bad file, nor a second copy of a repeated one; every good
  // file exactly as converted alone, and that by hand (V Intel, W Motorola).
  E2eTree tree = f.csvTree("out");
  E2eTree expected = convertedAlone("b.mf4", good1);
  expected.merge(convertedAlone("d.mfc", good2));
  expected.merge(convertedAlone("g.mfe", good3, passwords));
  EXPECT_EQ(expected.size(), 6u);
  EXPECT_EQ(tree, expected) << e2eDescribe(tree);
  EXPECT_TRUE(tree["GOODA_out/CAN1_M" + day].starts_with(
      "t,V,W\n1700000000.250000,0.000000,0.000000\n1700000001.250000,1793.000000,1678.500000\n"
      "1700000002.250000,3586.000000,3357.000000\n"));
  EXPECT_TRUE(tree["GOODA_out/CAN1_X" + day].starts_with(
      "t,B\n1700000000.500000,0.000000\n1700000001.500000,3.000000\n1700000002.500000,6.000000\n"));
}

TEST(E2eBadInput, DamagedBytesNeverCrash) {
  // Pseudo-random damage at many places of a log file and of a container:
  // the run ends with a status, and any output is well-formed CSV text.
  const std::string plain = E2eFolder::logBytes(goodLog("FZ", 8));
  const std::string packed = E2eFolder::logBytes(goodLog("FZ", 8, "compress\n"));
  uint32_t seed = 12345;
  auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 8; };
  E2eFolder f;
  f.writeDbc("can1-m.dbc", kDbc);
  for (int i = 0; i < 40; ++i) {
    std::string bytes = i % 2 == 0 ? plain : packed;
    for (int k = 0; k < 4; ++k) bytes[next() % bytes.size()] = static_cast<char>(next());
    f.write("in/f" + std::to_string(100 + i) + (i % 2 == 0 ? ".mf4" : ".mfc"), bytes);
  }
  E2eRun r = f.run({"--no-concat", f / "in"});
  EXPECT_EQ(r.status & ~(4 | 8), 0) << r.logText();
  EXPECT_EQ(r.statistic("Reader statistics", "Files"), 40);
  for (const auto& [path, text] : f.csvTree()) {
    ASSERT_FALSE(text.empty()) << path;
    EXPECT_EQ(text.back(), '\n') << path;
    EXPECT_EQ(text.find('\r'), std::string::npos) << path;
  }
}

}  // namespace
