// End to end: a card with broken inputs next to good ones.  Every bad input
// gets its message and its exit-status bit, and every good file converts
// exactly as it does on its own.
#include <gtest/gtest.h>

#include "support/e2e.h"

namespace {

const std::string kDbc = e2eDbc("CAN",
                                 "BO_ 256 M: 4 ECU\n"
                                 " SG_ V : 0|16@1+ (1,0) [0|0] \"\" ECU\n"
                                 " SG_ W : 23|16@0- (0.5,0) [0|0] \"\" ECU\n"
                                 "BO_ 2147484160 X: 1 ECU\n"
                                 " SG_ B : 0|8@1+ (1,0) [0|0] \"\" ECU\n");

// A log of device `serial` with `frames` frames of both messages.
std::string goodLog(const std::string& serial, int frames, const std::string& wrap = "") {
  std::string d = e2eLogHeader(serial, 3, 1) + "group c can\n";
  for (int i = 0; i < frames; ++i) {
    char line[128];
    std::snprintf(line, sizeof line,
                  "frame c t=%d.25 id=0x100 data=%02X%02X%02X%02X\n"
                  "frame c t=%d.5 id=0x200 ide=1 data=%02X\n",
                  i, i & 0xFF, (i * 7) & 0xFF, (i * 13) & 0xFF, (i * 29) & 0xFF, i, (i * 3) & 0xFF);
    d += line;
  }
  return d + wrap;
}

// The bytes of `text` with the first occurrence of `from` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The CSV tree of one log file converted on its own.
E2eTree convertedAlone(const std::string& name, const std::string& bytes,
                       const std::string& passwords = "") {
  E2eFolder f;
  f.writeDbc("can1-m.dbc", kDbc);
  if (!passwords.empty()) f.write("passwords.json", passwords);
  f.write("in/" + name, bytes);
  E2eRun r = f.run({f / "in"});
  EXPECT_EQ(r.status, 0) << r.logText();
  return f.csvTree();
}

TEST(E2eBadInput, EveryBadFileIsReportedAndEveryGoodFileConverts) {
  const std::string passwords = "{\"0000C0DE\": \"pw\"}";
  const std::string good1 = E2eFolder::logBytes(goodLog("GOODA", 50));
  const std::string good2 = E2eFolder::logBytes(goodLog("GOODB", 40, "compress\n"));
  const std::string good3 =
      E2eFolder::logBytes(goodLog("GOODC", 30, "encrypt password=pw device=0x0000C0DE\n"));
  const std::string plain = E2eFolder::logBytes(goodLog("BAD", 20));
  const std::string compressed = E2eFolder::logBytes(goodLog("BAD", 20, "compress\n"));

  E2eFolder f;
  f.writeDbc("can1-m.dbc", kDbc);
  f.writeDbc("dbc/broken.dbc", "");  // a database that fails to load
  f.write("passwords.json", passwords);
  // Names sort the bad files around the good ones.
  f.write("in/a_corrupt.mf4", replaced(plain, "##HD", "##XX"));
  f.write("in/b_good.mf4", good1);
  f.write("in/c_truncated.mf4", plain.substr(0, plain.size() / 3));
  f.write("in/d_good.mfc", good2);
  f.write("in/e_truncated.mfc", compressed.substr(0, compressed.size() / 2));
  // The file history names another tool.
  f.writeLog("in/f_other_tool.mf4", replaced(goodLog("BAD", 5), "history QZ\n", "history none\n"));
  f.write("in/g_good.mfe", good3);
  f.writeLog("in/h_no_password.mfe", goodLog("BAD", 5, "encrypt password=x device=0x00ABCDEF\n"));
  f.write("in/i_empty.mf4", "");
  E2eRun r = f.run({"--dbc-can1=can1-m.dbc", "--dbc-can1=dbc/broken.dbc", f / "in", f / "gone"});

  EXPECT_EQ(r.status, 1 | 2 | 4 | 8) << r.logText();
  const char* const expectedLines[] = {
      "E Failed to load DBC file: dbc/broken.dbc",
      "E Error during conversion of in/a_corrupt.mf4",
      "E Error during conversion of in/c_truncated.mf4",
      "E Could not decompress file",
      "E Error during conversion of in/e_truncated.mfc",
      "E Unsupported MF4 file",
      "E Error during conversion of in/f_other_tool.mf4",
      "E No password found for device 00ABCDEF",
      "E Error during conversion of in/h_no_password.mfe",
      "E Error during conversion of in/i_empty.mf4",
      "W Could not find input file/folder gone",
  };
  for (const char* line : expectedLines) EXPECT_TRUE(r.logged(line)) << line << "\n" << r.logText();
  // Corrupt, truncated, other tool and empty: the MDF file does not open.
  EXPECT_EQ(r.count("E Could not open MDF"), 4u) << r.logText();
  EXPECT_EQ(r.count("E Error during conversion of in/b_good.mf4"), 0u);
  EXPECT_EQ(r.statistic("Reader statistics", "Files"), 9);

  // No output of a bad file; every good file exactly as converted alone.
  E2eTree tree = f.csvTree();
  E2eTree expected = convertedAlone("b.mf4", good1);
  expected.merge(convertedAlone("d.mfc", good2));
  expected.merge(convertedAlone("g.mfe", good3, passwords));
  EXPECT_EQ(expected.size(), 6u);
  EXPECT_EQ(tree, expected) << e2eDescribe(tree);
  for (const auto& [path, text] : tree) EXPECT_EQ(path.find("BAD"), std::string::npos) << path;
}

TEST(E2eBadInput, GoodFileAloneHasTheHandCheckedRows) {
  // Anchors the comparison above: V Intel, W Motorola signed half steps.
  E2eTree tree = convertedAlone("b.mf4", E2eFolder::logBytes(goodLog("GOODA", 3)));
  const std::string day = "/2023/11/14/00000003_00000001.csv";
  EXPECT_EQ(tree, (E2eTree{
                      {"GOODA_out/CAN1_M" + day,
                       "t,V,W\n"
                       "1700000000.250000,0.000000,0.000000\n"
                       "1700000001.250000,1793.000000,1678.500000\n"
                       "1700000002.250000,3586.000000,3357.000000\n"},
                      {"GOODA_out/CAN1_X" + day,
                       "t,B\n1700000000.500000,0.000000\n1700000001.500000,3.000000\n"
                       "1700000002.500000,6.000000\n"},
                  }))
      << e2eDescribe(tree);
}

TEST(E2eBadInput, OutputThatCannotBeWrittenIsReportedWithItsPath) {
  E2eFolder f;
  f.writeDbc("can1-m.dbc", kDbc);
  f.writeLog("in/a.mf4", goodLog("BLOCKED", 2));
  f.writeLog("in/b.mf4", goodLog("OPEN", 2));
  // A file where the device folder of BLOCKED would go.
  f.write("out/BLOCKED_out", "in the way");
  E2eRun r = f.run({"-O", f / "out", f / "in"});
  EXPECT_EQ(r.status, 8) << r.logText();
  EXPECT_TRUE(r.logged("E Could not create output writer")) << r.logText();
  bool namesPath = false;
  for (const std::string& l : r.log)
    namesPath |= l.rfind("I Output file " + f.path() + "/out/", 0) == 0 &&
                 l.find("/BLOCKED_out/CAN1_M/2023/11/14/00000003_00000001.csv: ") !=
                     std::string::npos;
  EXPECT_TRUE(namesPath) << r.logText();
  E2eTree tree = f.csvTree("out");
  E2eTree expected = convertedAlone("b.mf4", E2eFolder::logBytes(goodLog("OPEN", 2)));
  EXPECT_EQ(tree, expected) << e2eDescribe(tree);
  EXPECT_EQ(f.read("out/BLOCKED_out"), "in the way");
}

TEST(E2eBadInput, InputWhoseRowsCouldNotBeWrittenIsNotDeleted) {
  E2eFolder f;
  f.writeDbc("can1-m.dbc", kDbc);
  f.writeLog("in/a.mf4", goodLog("BLOCKED", 2));
  f.writeLog("in/b.mf4", goodLog("OPEN", 2));
  f.write("out/BLOCKED_out", "in the way");
  E2eRun r = f.run({"--delete-converted", "-O", f / "out", f / "in"});
  EXPECT_EQ(r.status, 8) << r.logText();
  EXPECT_TRUE(r.logged("E Error during conversion of in/a.mf4")) << r.logText();
  EXPECT_FALSE(r.logged("E Error during conversion of in/b.mf4")) << r.logText();
  EXPECT_TRUE(f.exists("in/a.mf4"));
  EXPECT_FALSE(f.exists("in/b.mf4"));
  EXPECT_EQ(f.csvTree("out"), convertedAlone("b.mf4", E2eFolder::logBytes(goodLog("OPEN", 2))));
}

TEST(E2eBadInput, ContinuedFilesOfABlockedOutputAreAllKept) {
  // Splits 1 and 2 share their (failing) output files; once the folder is
  // free again, split 3 of another session converts and is deleted.
  E2eFolder f;
  f.writeDbc("can1-m.dbc", kDbc);
  std::string split2 = goodLog("BLOCKED", 2);
  split2.replace(split2.find("split 1"), 7, "split 2");
  f.writeLog("in/a.mf4", goodLog("BLOCKED", 2));
  f.writeLog("in/b.mf4", split2);
  f.write("out/BLOCKED_out", "in the way");
  E2eRun r = f.run({"-d", "-O", f / "out", f / "in"});
  EXPECT_EQ(r.status, 8) << r.logText();
  EXPECT_TRUE(f.exists("in/a.mf4"));
  EXPECT_TRUE(f.exists("in/b.mf4"));
  EXPECT_TRUE(f.csvTree("out").empty());
}

TEST(E2eBadInput, OutputDirectoryThatDoesNotExistStopsTheRun) {
  E2eFolder f;
  f.writeDbc("can1-m.dbc", kDbc);
  f.writeLog("in/a.mf4", goodLog("A", 1));
  E2eRun r = f.run({"-O", f / "nowhere", f / "in"});
  EXPECT_TRUE(r.logged("E Invalid output path: " + f.path() + "/nowhere")) << r.logText();
  EXPECT_EQ(r.status, 0x86);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(f.csvTree().empty());
}

TEST(E2eBadInput, HostileBytesNeverCrash) {
  // Pseudo-random damage at many places of a log file and of a container:
  // each run ends with a status, and any output is well-formed CSV text.
  const std::string plain = E2eFolder::logBytes(goodLog("FZ", 8));
  const std::string packed = E2eFolder::logBytes(goodLog("FZ", 8, "compress\n"));
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  E2eFolder f;
  f.writeDbc("can1-m.dbc", kDbc);
  for (int i = 0; i < 40; ++i) {
    std::string bytes = (i % 2 == 0 ? plain : packed);
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
