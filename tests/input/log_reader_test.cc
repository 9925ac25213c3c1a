// The input walker over logger files written at test time: folder order and
// extension filter, containers, odd inputs, result codes and their messages,
// file continuation, chain failures and deletion of converted files.
#include "input/log_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "mklog.h"
#include "support/fault_fs.h"
#include "support/log_capture.h"
#include "support/recording_layer.h"
#include "support/temp_dir.h"

namespace {

using Strings = std::vector<std::string>;
using Ids = std::vector<uint32_t>;
using Passwords = std::unordered_map<std::string, std::string>;
const std::string kEncrypt = "encrypt password=pw device=0x00C0FFEE\n";

// A logger file of device `serial` with two CAN frames, ids 0x100 + session
// and 0x200 + split, and then the description lines `tail`.
std::string logFile(const std::string& serial, uint32_t session, uint32_t split = 1, const std::string& tail = "") {
  std::string error, s = std::to_string(session), p = std::to_string(split);
  auto bytes = cMklog_build("start_ns 1700000000000000000\nsession " + s + "\nsplit " + p + "\n" +
                                (serial.empty() ? "" : "serial " + serial + "\n") + "group c can\n" +
                                "frame c t=0.1 id=" + std::to_string(0x100 + session) + " data=01\n" +
                                "frame c t=0.2 id=" + std::to_string(0x200 + split) + " data=02\n" + tail,
                            &error);
  EXPECT_TRUE(bytes) << error;
  return bytes ? std::string(bytes->begin(), bytes->end()) : "";
}

// What the reader returned and counted; the ids of the messages the chain received.
struct Walk { int32_t result; uint64_t files, bytes, messages; Ids ids; };

Walk walk(const std::string& root, const Strings& inputs, RecordingLayer& head,
          const cLogReaderOptions& options = {}, std::shared_ptr<FaultLog> faults = nullptr) {
  std::unique_ptr<cFS> fs =
      faults ? std::make_unique<cFS>(root, std::make_unique<FaultBackend>(faults)) : cFS_os_ctor(root);
  std::unique_ptr<cLogReader> reader = cLogReader_ctor(fs.get(), &options, &head);
  Walk w{reader->process(inputs), reader->files(), reader->bytes(), reader->messages(), {}};
  for (const cBusMsg& m : head.msgs) w.ids.push_back(m.id);
  return w;
}

TEST(cLogReader, WalksInputsDepthFirstInByteOrderAndReportsOddOnes) {
  // Each file of its own session, so none continues or repeats another; the
  // extension does not have to match the container found inside.
  const std::pair<std::string, std::string> accepted[] = {
      {"B.MF4", ""}, {"Z/x.mfm", "compress\n" + kEncrypt}, {"a/mf4", ""},  // the whole name
      {"a/z.mfc", "compress\n"}, {"a.b/.mf4", ""}, {"a.b/y.mfe", kEncrypt},
      {"a.mf4", "compress window=4 lookahead=3\ncompress\n"}, {"x.mf4.MFC", kEncrypt + "compress\n"},
      {"y.Mf4", ""}};
  TempDir dir;
  Strings all;  // in walk order
  for (const auto& [name, wrap] : accepted) {
    all.push_back("in/" + name);
    dir.write(all.back(), logFile("D", all.size(), 1, wrap));
  }
  for (const char* other : {"a.", "a.mf", "a.mf44", "a.mf4.txt", "notes.dbc"}) dir.write(std::string("in/") + other, "-");
  std::filesystem::create_symlink(dir / "nowhere.mf4", dir / "in/b.mf4");
  std::filesystem::create_directory_symlink(dir / "in", dir / "in/loop");
  ASSERT_EQ(::mkfifo((dir / "f.mf4").c_str(), 0600), 0);  // neither file nor folder
  const std::string tooLong(5000, 'a');  // its type query fails: name too long
  const std::string loop = "W Skipping folder in/loop: it leads back to a folder above it";
  struct Case { Strings inputs; int64_t buffer; bool noAppendRoot; int32_t result; Strings converted; std::string logged; };
  const Case cases[] = {
      // The second input repeats the file converted just before: not converted.
      {{"", "in/y.Mf4"}, -1, false, 0, all, "W Repeated input file (D, 00000009, 00000001)"},
      {{"in/"}, 0, false, 0, all, loop},
      {{"in"}, 1, false, 0, all, loop},
      {{"in"}, 7, false, 0, all, ""},
      {{"f.mf4", "in/y.Mf4"}, -1, false, 0x81, {"in/y.Mf4"}, "E Input " + dir / "f.mf4 is neither a file nor a folder"},
      {{"missing.mf4", "in/y.Mf4", "gone/"}, 4096, false, 1, {"in/y.Mf4"},
       "W Could not find input file/folder " + dir / "gone/"},
      {{tooLong, "in/y.Mf4"}, -1, false, 0x81, {}, "F Could not query " + dir / "aaaa"},  // stops the walk
      {{tooLong, "in/y.Mf4"}, -1, true, 0x81, {"in/y.Mf4"}, "F Error during stat of " + dir / "aaaa"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inputs[0].substr(0, 12) + " buffer " + std::to_string(c.buffer));
    RecordingLayer head;
    LogCapture log;
    const Walk w = walk(dir.path(), c.inputs, head, {.noAppendRoot = c.noAppendRoot, .bufferSize = c.buffer,
                                                      .passwords = {{"00C0FFEE", "pw"}}});
    Ids ids;  // file i of `all` is of session i + 1
    for (const std::string& p : c.converted)
      ids.insert(ids.end(), {0x101u + static_cast<uint32_t>(std::find(all.begin(), all.end(), p) - all.begin()), 0x201u});
    EXPECT_EQ(std::make_tuple(w.result, head.paths(), w.ids, w.messages),
              std::make_tuple(c.result, c.converted, ids, uint64_t{ids.size()}));
    for (const RecordingLayer::File& f : head.files) EXPECT_TRUE(f.ended && !f.continuation);
    EXPECT_TRUE(c.logged.empty() || log.has(c.logged)) << c.logged;
  }
  const cLogReaderOptions options;
  RecordingLayer head;
  EXPECT_FALSE(cLogReader_ctor(nullptr, &options, &head) ||
               cLogReader_ctor(cFS_ctor("").get(), nullptr, &head) ||
               cLogReader_ctor(cFS_ctor("").get(), &options, nullptr));
}

TEST(cLogReader, ResultCodeMessageAndDeletionOfEachOutcome) {
  const std::string plain = logFile("D", 1), encrypted = logFile("D", 1, 1, kEncrypt);
  const std::string noPassword = "E No password found for device 00C0FFEE";
  const std::string badHeader = "E Could not parse file header", notMdf = "E Could not open MDF";
  // `message` is logged besides "Error during conversion"; the chain refuses
  // message `failMsgAt` (1-based), the file or its end.
  struct Case { const char* what; std::string content; Passwords passwords; int32_t result; std::string message;
                size_t failMsgAt = 0; bool failNewFile = false, failEndFile = false; };
  const Case cases[] = {
      {"plain", plain, {}, 0, ""},
      {"no password", encrypted, {}, 2, noPassword},
      {"other device, lower-case key", encrypted, {{"00C0FFEF", "pw"}, {"00c0ffee", "pw"}}, 2, noPassword},
      {"default key", encrypted, {{"default", "pw"}}, 0, ""},
      {"own key before default", encrypted, {{"default", "wrong"}, {"00C0FFEE", "pw"}}, 0, ""},
      {"wrong password", encrypted, {{"00C0FFEE", "wrong"}}, 2, "E Could not decrypt file"},
      {"wrong password inside a compressed container", logFile("D", 1, 1, kEncrypt + "compress\n"),
       {{"00C0FFEE", "wrong"}}, 2, "E Could not decrypt file"},
      {"truncated compressed container", logFile("D", 1, 1, "compress\n").substr(0, 200), {}, 4,
       "E Could not decompress file"},
      {"unknown container type", logFile("D", 1, 1, "compress\n").replace(14, 1, "\x33"), {}, 8,
       "E Unknown container type 0x33"},
      {"not a log file, shorter than a container header", std::string(19, 'Z'), {}, 8, notMdf},
      {"truncated log file", plain.substr(0, 200), {}, 8, notMdf},
      {"another tool", logFile("D", 1, 1, "no_history\n"), {}, 8, notMdf},
      {"no serial number", logFile("", 1), {}, 8, badHeader},
      {"session 0", logFile("D", 0), {}, 8, badHeader},
      {"split 0", logFile("D", 1, 0), {}, 8, badHeader},
      {"first message refused", plain, {}, 8, "E Error during handle record callback", 1},
      {"second message refused", plain, {}, 8, "E Error during handle record callback", 2},
      {"new file refused", plain, {}, 8, "E Error on new file", 0, true},
      {"end file refused", plain, {}, 8, "E Error during end file callback", 0, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    dir.write("x.mf4", c.content);
    LogCapture log;
    RecordingLayer head;
    head.failMsgAt = c.failMsgAt;
    head.failNewFile = c.failNewFile;
    head.failEndFile = c.failEndFile;
    const Walk w = walk(dir.path(), {"x.mf4"}, head, {.deleteConverted = true, .passwords = c.passwords});
    const bool opened = c.result == 0 || c.message.starts_with("E Error");  // the chain saw the file
    const Ids ids = !opened || c.failNewFile ? Ids{} : c.failMsgAt == 1 ? Ids{0x101} : Ids{0x101, 0x201};
    EXPECT_EQ(std::make_tuple(w.result, w.files, w.bytes, w.ids, w.messages, head.files.size()),
              std::make_tuple(c.result, uint64_t{1}, uint64_t{c.content.size()}, ids, uint64_t{ids.size()},
                              size_t{opened}));
    EXPECT_TRUE(!opened || head.files[0].ended);  // every newFile gets its endFile
    EXPECT_NE(dir.exists("x.mf4"), c.result == 0);  // only a converted file is deleted
    EXPECT_TRUE(c.message.empty() || log.has(c.message)) << c.message;
    EXPECT_TRUE(c.result != 0 ? log.contains("E Error during conversion of " + dir / "x.mf4") : !log.has("E "));
  }
  // A read error is not the end of the records, nor of a container: the file
  // fails with the system's reason and is kept.
  for (const std::string& content : {plain, logFile("D", 1, 1, "compress\n")}) {
    TempDir dir;
    dir.write("x.mf4", content);
    auto faults = std::make_shared<FaultLog>(dir.path());
    faults->failReadsFrom = content == plain ? static_cast<int64_t>(plain.find("##DT")) + 24 : 40;
    LogCapture log;
    RecordingLayer head;
    EXPECT_EQ(walk(dir.path(), {"x.mf4"}, head, {.deleteConverted = true, .passwords = {}}, faults).result, 8);
    EXPECT_TRUE(dir.exists("x.mf4"));
    EXPECT_TRUE(log.contains("E Could not read input file " + dir / "x.mf4: Input/output error"));
  }
}

// A container without room on disk to unwrap into is not taken for a damaged one.
TEST(cLogReader, AContainerWithoutRoomToUnwrapGivesTheSystemsReason) {
  TempDir dir;
  dir.write("x.mfe", logFile("D", 1, 1, kEncrypt));
  dir.write("y.mfc", logFile("D", 2, 1, "compress\n"));
  setenv("TMPDIR", "/nonexistent", 1);
  LogCapture log;
  RecordingLayer head;
  const cLogReaderOptions options{.unpackMemory = 1, .unpackFolder = "/nonexistent", .passwords = {{"00C0FFEE", "pw"}}};
  EXPECT_EQ(walk(dir.path(), {"x.mfe", "y.mfc"}, head, options).result, 8);
  unsetenv("TMPDIR");
  EXPECT_EQ(log.count("E Could not store the unwrapped contents in a temporary file in /nonexistent or the "
                      "system's temporary folder: No such file or directory"), 2);
}

TEST(cLogReader, ContinuationOfSplitsAndSessionsAndRepeatsKept) {
  struct Step { const char* serial; uint32_t session, split; bool continuation; };
  const Step steps[] = {
      {"D", 1, 1, false}, {"D", 1, 2, true},
      {"D", 1, 3, false},  // split 2 failed: with -d split 3 continues nothing
      {"D", 1, 4, true}, {"D", 1, 6, false},
      {"D", 2, 7, false},  // next session, but split 6 does not end a block of 256
      {"D", 2, 256, false}, {"D", 3, 257, true},  // split 256 does
      {"E", 3, 258, false}, {"E", 3, 258, false}};  // another device, then a repeat
  TempDir dir;
  Strings inputs;
  for (const Step& s : steps) {
    inputs.push_back("f" + std::to_string(inputs.size()) + ".mf4");
    dir.write(inputs.back(), logFile(s.serial, s.session, s.split));
  }
  LogCapture log;
  RecordingLayer head;
  head.failMsgAt = 3;  // split 2's first frame
  EXPECT_EQ(walk(dir.path(), inputs, head, {.deleteConverted = true, .passwords = {}}).result, 8);
  ASSERT_EQ(head.files.size(), std::size(steps) - 1);  // the repeat is not converted...
  for (size_t i = 0; i < head.files.size(); ++i) {
    const cLogFileInfo& info = head.files[i].info;
    EXPECT_EQ(std::make_tuple(info.serialNumber, info.session, info.split, info.startTime,
                              head.files[i].continuation),
              std::make_tuple(std::string(steps[i].serial), steps[i].session, steps[i].split,
                              1700000000.0, steps[i].continuation)) << i;
    EXPECT_EQ(dir.exists(inputs[i]), i == 1) << i;
  }
  EXPECT_TRUE(dir.exists(inputs.back()));  // ...nor deleted
  EXPECT_TRUE(log.contains("W Repeated input file (E, 00000003, 00000258)"));
  EXPECT_EQ(log.count("Repeated input file"), 1);
}

}  // namespace
