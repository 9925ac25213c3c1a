// End to end: a card with broken inputs, a repeated file and an output folder
// that cannot be written, next to good files.  Every bad input gets its
// message and exit-status bit and is kept; every good file converts exactly as
// it does on its own and is deleted.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/e2e.h"

namespace {

const std::string kDbc = e2eDbc("CAN", "BO_ 256 M: 4 ECU\n"
                                 " SG_ V : 0|16@1+ (1,0) [0|0] \"\" ECU\n"
                                 " SG_ W : 23|16@0- (0.5,0) [0|0] \"\" ECU\n"
                                 "BO_ 2147484160 X: 1 ECU\n SG_ B : 0|8@1+ (1,0) [0|0] \"\" ECU\n");

// A log of device `serial` with `frames` frames of both messages.
std::string goodLog(const std::string& serial, int frames, const std::string& wrap = "", unsigned split = 1) {
  std::string d = e2eLogHeader(serial, 3, split) + "group c can\n";
  for (int i = 0; i < frames; ++i) {
    char line[128];
    std::snprintf(line, sizeof line,
                  "frame c t=%d.25 id=0x100 data=%02X%02X%02X%02X\nframe c t=%d.5 id=0x200 ide=1 data=%02X\n",
                  i, i & 0xFF, (i * 7) & 0xFF, (i * 13) & 0xFF, (i * 29) & 0xFF, i, (i * 3) & 0xFF);
    d += line;
  }
  return d + wrap;
}

// `text` with the first occurrence of `from` (which must be there) replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
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
  const auto bytes = E2eFolder::logBytes;
  const std::string passwords = "{\"0000C0DE\": \"pw\"}";
  const std::string good1 = bytes(goodLog("GOODA", 50)), good2 = bytes(goodLog("GOODB", 40, "compress\n"));
  const std::string good3 = bytes(goodLog("GOODC", 30, "encrypt password=pw device=0x0000C0DE\n"));
  const std::string plain = bytes(goodLog("BAD", 20)), packed = bytes(goodLog("BAD", 20, "compress\n"));
  enum Outcome { kConverted, kRepeated, kFailed };
  // In name order: bad files around the good ones, a repeat right after its
  // file, two splits whose output folder is taken by a file.
  const struct { std::string name, bytes; Outcome outcome; std::string message; } inputs[] = {
      {"a_corrupt.mf4", replaced(plain, "##HD", "##XX"), kFailed, "E Could not open MDF"},
      {"b_good.mf4", good1, kConverted, ""},
      {"b_repeated.mf4", good1, kRepeated, "W Repeated input file (GOODA, 00000003, 00000001)"},
      {"c_truncated.mf4", plain.substr(0, plain.size() * 2 / 3), kFailed, "E Could not open MDF"},
      {"d_good.mfc", good2, kConverted, ""},
      {"e_truncated.mfc", packed.substr(0, packed.size() / 2), kFailed, "E Could not decompress file"},
      {"f_other_tool.mf4", bytes(replaced(goodLog("BAD", 5), "QZ", "none")), kFailed, "E Unsupported MF4 file"},
      {"g_good.mfe", good3, kConverted, ""},
      {"h_no_password.mfe", bytes(goodLog("BAD", 5, "encrypt password=x device=0x00ABCDEF\n")), kFailed,
       "E No password found for device 00ABCDEF"},
      {"i_empty.mf4", "", kFailed, "E Could not open MDF"},
      {"k_blocked.mf4", bytes(goodLog("BLOCKED", 2)), kFailed, "E Could not create output writer"},
      {"l_blocked.mf4", bytes(goodLog("BLOCKED", 2, "", 2)), kFailed, ""},
  };
  E2eFolder f;
  f.writeDbc("can1-m.dbc", kDbc);
  f.writeDbc("dbc/broken.dbc", "");  // a database that fails to load
  f.write("passwords.json", passwords);
  for (const auto& in : inputs) f.write("in/" + in.name, in.bytes);
  f.write("out/BLOCKED_out", "in the way");
  E2eRun r = f.run({"-d", "-O", f / "out", "--dbc-can1=can1-m.dbc", "--dbc-can1=dbc/broken.dbc", f / "in"});

  EXPECT_EQ(r.status, 1 | 2 | 4 | 8) << r.logText();
  EXPECT_TRUE(r.logged("E Failed to load DBC file: dbc/broken.dbc"));
  for (const auto& in : inputs) {
    EXPECT_EQ(f.exists("in/" + in.name), in.outcome != kConverted) << in.name;
    EXPECT_EQ(r.count("E Error during conversion of " + f / "in/" + in.name), in.outcome == kFailed ? 1u : 0u) << in.name;
    EXPECT_TRUE(in.message.empty() || r.logged(in.message)) << in.message << "\n" << r.logText();
  }
  // Corrupt, truncated, other tool and empty: the MDF file does not open.
  EXPECT_EQ(r.count("E Could not open MDF"), 4u) << r.logText();
  // For each of M and X, in both splits: with -d, a split after a failed one starts files of its own.
  EXPECT_EQ(r.count("E Could not create output writer"), 4u);
  const std::string day = "/2023/11/14/00000003_00000001.csv";
  EXPECT_EQ(std::count_if(r.log.begin(), r.log.end(), [&](const std::string& l) {
              return l.starts_with("E Output file " + f.path() + "/out/") &&
                     l.ends_with("/BLOCKED_out/CAN1_M" + day + ": Not a directory");
            }), 1) << r.logText();
  EXPECT_EQ(r.statistic("Reader statistics", "Files"), 12);
  // The repeat is kept as one that was not converted, not as one without rows.
  EXPECT_EQ(r.count("W Input file in/b_repeated.mf4 is kept: no row was decoded from it (no database for its channels?)"), 0u);
  EXPECT_EQ(f.read("out/BLOCKED_out"), "in the way");

  // No output of a bad file, nor a second copy of a repeated one; every good
  // file exactly as converted alone.
  E2eTree tree = f.csvTree("out");
  E2eTree expected = convertedAlone("b.mf4", good1);
  expected.merge(convertedAlone("d.mfc", good2));
  expected.merge(convertedAlone("g.mfe", good3, passwords));
  EXPECT_EQ(expected.size(), 6u);
  EXPECT_EQ(tree, expected) << e2eDescribe(tree);
}

}  // namespace
