// End to end: the inspection mode on a generated card.  Two split files of
// one session (plain and compressed), files in each kind of container and one
// that does not decrypt; databases know some identifiers of CAN1 and LIN1,
// LIN2 has none.  The text and the JSON tell the same counts, times, decoded
// messages and unknown identifiers; nothing is written anywhere.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <limits>
#include <sstream>

#include "support/e2e.h"

namespace {

using nlohmann::json;

// Split `split` of session 1 of AB12, logged with a +60 min time zone.
std::string splitLog(unsigned split, const std::string& frames, const std::string& wrap) {
  return "tz_offset 60\n" + e2eLogHeader("AB12", 1, split) + "group c can\ngroup l lin\n" + frames + wrap;
}

const std::string kFirstFrames = e2eLines({
    "frame c t=0.5 id=0x100 data=01", "frame l t=0.75 ch=2 id=0x21 data=11",
    "frame c t=1 id=0x200 data=02", "frame c t=1.25 id=0x18FEF100 ide=1 data=03",
    "frame c t=1.5 id=0x100 data=04", "frame c t=2 id=0x18FEF100 ide=1 data=05",
    "frame c t=2.25 id=0x100 data=06", "frame l t=2.5 ch=2 id=0x21 data=12",
    "frame l t=2.5 ch=1 id=0x21 data=13"});

// Every file below the folder, with its text: what a run must leave unchanged.
FileTree everything(const E2eFolder& f) { return readTree(f.path()); }

TEST(E2eInfo, ReportsEachFileAsTextAndJsonAndWritesNothing) {
  E2eFolder f;
  f.writeDbc("m.dbc", e2eDbc("CAN", "BO_ 256 M: 1 ECU\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                    "BO_ 2566844672 E: 1 ECU\n SG_ B : 0|8@1+ (1,0) [0|0] \"\" ECU\n"));
  f.writeDbc("l.dbc", e2eDbc("LIN", "BO_ 33 L: 1 ECU\n SG_ B : 0|8@1+ (1,0) [0|0] \"\" ECU\n"));
  f.write("pw.json", "{\"default\": \"pw\"}");
  f.writeLog("card/A/00000001.MF4", splitLog(1, kFirstFrames, ""));
  f.writeLog("card/A/00000002.MFC", splitLog(2, "frame c t=3 id=0x100 data=07\n", "compress\n"));
  const std::string one = "frame c t=0 id=0x300 data=01\n";
  const std::string enc = "encrypt password=pw iterations=10\n";
  f.writeLog("card/B/b.mfe", e2eLogHeader("CD34", 2, 1) + "group c can\n" + one + enc);
  f.writeLog("card/B/c.mfm", e2eLogHeader("CD34", 2, 2) + "group c can\n" + one + "compress\n" + enc);
  f.writeLog("card/B/d.mfe", e2eLogHeader("CD34", 3, 1) + "group c can\n" + one +
                                 "encrypt password=other iterations=10\n");
  const FileTree before = everything(f);
  const std::vector<std::string> args = {"--info", "--dbc-can1=" + f / "m.dbc", "--dbc-lin1=" + f / "l.dbc",
                                         "-p", f / "pw.json", "-O", f / "out", f / "card"};

  E2eRun text = f.run(args);
  EXPECT_EQ(text.status, 2) << text.logText();  // d.mfe does not decrypt
  EXPECT_TRUE(text.logged("E Could not decrypt file")) << text.logText();
  const std::string first = f / "card/A/00000001.MF4\n" +
      "  device: AB12\n  session: 1, split: 1\n  container: plain\n"
      "  start: 1700003600.500000 (2023-11-14 23:13:20.500000)\n"
      "  end: 1700003602.500000 (2023-11-14 23:13:22.500000)\n  duration: 2.000000 s\n"
      "  CAN1: 6 frames, 3 identifiers\n    most frequent: 0x100 (3), 0x18FEF100 (2), 0x200 (1)\n"
      "    decoded: 5 messages; by name: E (2), M (3)\n    unknown identifiers: 0x200\n"
      "  LIN1: 1 frame, 1 identifier\n    most frequent: 0x21 (1)\n    decoded: 1 message; by name: L (1)\n"
      "  LIN2: 2 frames, 1 identifier\n    most frequent: 0x21 (2)\n    no database for LIN2\n";
  EXPECT_EQ(text.out.find(first + "\n" + f / "card/A/00000002.MFC\n" +
                          "  device: AB12\n  session: 1, split: 2\n  container: compressed\n"),
            0u) << text.out;  // a blank line between reports, none before the first
  EXPECT_NE(text.out.find(f / "card/B/d.mfe\n  failed (status 2): no password for the device, or "
                              "decryption failed\n"), std::string::npos) << text.out;
  EXPECT_EQ(text.out.find("Reader statistics"), std::string::npos);

  std::vector<std::string> jsonArgs = args;
  jsonArgs.insert(jsonArgs.begin(), "--json");
  E2eRun js = f.run(jsonArgs);
  EXPECT_EQ(js.status, 2);
  std::vector<json> lines;
  std::istringstream in(js.out);
  for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
  ASSERT_EQ(lines.size(), 5u) << js.out;
  const json& a = lines[0];
  EXPECT_TRUE(a["path"] == f / "card/A/00000001.MF4" && a["device"] == "AB12" && a["split"] == 1) << a;
  EXPECT_TRUE(a["start"] == 1700003600.5 && a["end"] == 1700003602.5 && a["duration"] == 2.0) << a;
  ASSERT_EQ(a["channels"].size(), 3u);
  EXPECT_EQ(a["channels"][0], json::parse(R"({"channel": "CAN1", "frames": 6, "identifiers": 3,
      "remoteFrames": 0, "errorFrames": 0, "mostFrequent": [{"id": "0x100", "frames": 3},
      {"id": "0x18FEF100", "frames": 2}, {"id": "0x200", "frames": 1}], "database": true,
      "decoded": 5, "messages": {"E": 2, "M": 3}, "unknown": ["0x200"]})"));
  EXPECT_EQ(a["channels"][1]["messages"], (json{{"L", 1}}));
  const json& lin2 = a["channels"][2];
  EXPECT_TRUE(lin2["channel"] == "LIN2" && lin2["database"] == false && !lin2.contains("decoded")) << lin2;
  EXPECT_TRUE(lines[1]["start"] == 1700003603.0 && lines[1]["channels"][0]["messages"] == (json{{"M", 1}}));
  const char* kinds[] = {"plain", "compressed", "encrypted", "compressed and encrypted"};
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(lines[i]["container"], kinds[i]) << i;
  EXPECT_TRUE(lines[4]["path"] == f / "card/B/d.mfe" && lines[4]["status"] == 2) << lines[4];

  // With a LIN database only, CAN1 has none.
  E2eRun lin = f.run({"--info", "--dbc-lin1=" + f / "l.dbc", f / "card/A"});
  EXPECT_TRUE(lin.status == 0 && lin.out.find("0x200 (1)\n    no database for CAN1\n") != std::string::npos) << lin.out;

  EXPECT_EQ(everything(f), before);
  EXPECT_FALSE(f.exists("out"));
  std::string many = e2eLogHeader("EF56", 1, 1) + "group c can\n";  // 12 identifiers M does not know
  for (int id = 0x301; id <= 0x30C; ++id) many += "frame c t=1 id=" + std::to_string(id) + " data=01\n";
  f.writeLog("many.MF4", many);
  const E2eRun m = f.run({"--info", "--dbc-can1=" + f / "m.dbc", f / "many.MF4"});
  EXPECT_NE(m.out.find(" unknown identifiers: 0x301, 0x302, 0x303, 0x304, 0x305, 0x306, 0x307, 0x308, 0x309, "
                       "0x30A, ... (2 more)\n"), std::string::npos) << m.out;
}

// A file whose time channel converts with a factor that is no number (a
// damaged conversion block): its times show as the CSV column would, with no
// date, and the file is still reported.
TEST(E2eInfo, TimesThatAreNoNumbersShowWithoutADate) {
  E2eFolder f;
  std::string bytes = E2eFolder::logBytes(splitLog(1, kFirstFrames, ""));
  const size_t cc = bytes.find("##CC");  // the time channel's, which all groups share
  ASSERT_NE(cc, std::string::npos);
  uint64_t links = 0;
  std::memcpy(&links, bytes.data() + cc + 16, 8);
  // Block header 24, the links, 8 bytes of fields, the physical range, the offset.
  const double factor = std::numeric_limits<double>::quiet_NaN();
  std::memcpy(bytes.data() + cc + 24 + 8 * links + 8 + 16 + 8, &factor, 8);
  f.write("a.MF4", bytes);
  E2eRun text = f.run({"--info", f / "a.MF4"});
  EXPECT_EQ(text.status, 0) << text.logText();
  EXPECT_NE(text.out.find("  start: NaN\n  end: NaN\n  duration: NaN s\n  CAN1: 6 frames"),
            std::string::npos) << text.out;
  E2eRun js = f.run({"--info", "--json", f / "a.MF4"});
  EXPECT_EQ(json::parse(js.out)["start"], nullptr) << js.out;
}

}  // namespace
