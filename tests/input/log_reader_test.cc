#include "input/log_reader.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "mklog.h"

namespace {

// The chain head: records what the walker hands it.  newMsg fails from the
// `failAt`-th message on (1-based; 0 never).
class RecordingLayer final : public cBusLayer {
 public:
  struct File {
    std::string path;
    std::string serial;
    uint32_t session;
    uint32_t split;
    bool continuation;
    int messages = 0;
    bool ended = false;
  };
  bool newFile(const cLogFileInfo& info, bool continuation) override {
    files.push_back({info.inputPath, info.serialNumber, info.session, info.split, continuation});
    return !failNewFile;
  }
  bool newMsg(cBusMsg& msg) override {
    ++files.back().messages;
    ids.push_back(msg.id);
    return failAt == 0 || ++seen < failAt;
  }
  bool endFile(const cLogFileInfo& info) override {
    if (files.empty() || files.back().path != info.inputPath) return false;
    files.back().ended = true;
    return !failEndFile;
  }
  std::vector<std::string> paths() const {
    std::vector<std::string> out;
    for (const File& f : files) out.push_back(f.path);
    return out;
  }

  std::vector<File> files;
  std::vector<uint32_t> ids;
  int failAt = 0;
  int seen = 0;
  bool failNewFile = false;
  bool failEndFile = false;
};

// A logger file of device `serial` with two frames (ids 0x100 + session and
// 0x200 + split), wrapped as `wrap` says ("compress", "encrypt password=...").
std::string logFile(const std::string& serial = "1A2B", uint32_t session = 1, uint32_t split = 1,
                    const std::string& wrap = "", const std::string& extra = "") {
  std::string d = "start_ns 1700000000000000000\n";
  if (!serial.empty()) d += "serial " + serial + "\n";
  d += "session " + std::to_string(session) + "\nsplit " + std::to_string(split) + "\n" + extra +
       "group c can\nframe c t=0.1 id=" + std::to_string(0x100 + session) +
       " data=01\nframe c t=0.2 id=" + std::to_string(0x200 + split) + " data=02\n" + wrap;
  std::string error;
  std::optional<std::vector<uint8_t>> bytes = cMklog_build(d, &error);
  EXPECT_TRUE(bytes) << error;
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

// Accepted files in the order the walker reached them (its debug lines).
std::vector<std::string> visited(const LogCapture& log) {
  std::vector<std::string> out;
  for (const std::string& m : log.messages())
    if (m.rfind("D Input file ", 0) == 0) out.push_back(m.substr(13));
  return out;
}

struct Walk {
  int32_t result;
  uint64_t files;
  uint64_t bytes;
  uint64_t messages;
};

Walk walk(const std::string& root, const std::vector<std::string>& inputs,
          cLogReaderOptions options = {}, RecordingLayer* head = nullptr) {
  std::unique_ptr<cFS> fs = cFS_os_ctor(root);
  EXPECT_TRUE(fs);
  if (!fs) return {-1, 0, 0, 0};
  RecordingLayer own;
  std::unique_ptr<cLogReader> reader = cLogReader_ctor(fs.get(), &options, head ? head : &own);
  int32_t result = reader->process(inputs);
  return {result, reader->files(), reader->bytes(), reader->messages()};
}

TEST(cLogReader, CtorNeedsAllArguments) {
  std::unique_ptr<cFS> fs = cFS_ctor("");
  cLogReaderOptions options;
  RecordingLayer head;
  EXPECT_FALSE(cLogReader_ctor(nullptr, &options, &head));
  EXPECT_FALSE(cLogReader_ctor(fs.get(), nullptr, &head));
  EXPECT_FALSE(cLogReader_ctor(fs.get(), &options, nullptr));
  EXPECT_TRUE(cLogReader_ctor(fs.get(), &options, &head));
}

TEST(cLogReader, WalksFoldersDepthFirstInByteOrder) {
  TempDir dir;
  // Each file of its own session, so none continues or repeats another; the
  // extension does not have to match the container found inside.
  const std::string files[][2] = {
      {"in/B.MF4", logFile("D", 1)},
      {"in/a.mf4", logFile("D", 2, 1, "compress\n")},
      {"in/a/z.mfc", logFile("D", 3, 1, "compress\n")},
      {"in/a.b/y.mfe", logFile("D", 4, 1, "encrypt password=pw device=0x1234ABCD\n")},
      {"in/Z/x.mfm", logFile("D", 5, 1, "compress\nencrypt password=pw device=0x1234ABCD\n")},
  };
  uint64_t bytes = 0;
  for (const auto& [name, content] : files) {
    dir.write(name, content);
    bytes += content.size();
  }
  dir.write("in/notes.txt", "ignored");
  LogCapture log;
  zf_log_set_output_level(ZF_LOG_VERBOSE);
  cLogReaderOptions options;
  options.passwords["1234ABCD"] = "pw";
  RecordingLayer head;
  Walk w = walk(dir.path() + "/", {"in"}, options, &head);
  EXPECT_EQ(w.result, 0);
  const std::vector<std::string> order{"in/B.MF4", "in/Z/x.mfm", "in/a/z.mfc", "in/a.b/y.mfe",
                                       "in/a.mf4"};
  EXPECT_EQ(visited(log), order);
  EXPECT_EQ(head.paths(), order);
  EXPECT_EQ(w.files, 5u);
  EXPECT_EQ(w.bytes, bytes);
  EXPECT_EQ(w.messages, 10u);
  for (const RecordingLayer::File& f : head.files) {
    EXPECT_EQ(f.messages, 2) << f.path;
    EXPECT_TRUE(f.ended) << f.path;
    EXPECT_FALSE(f.continuation) << f.path;
  }
}

TEST(cLogReader, ChildPathsDoNotDoubleSlashes) {
  TempDir dir;
  dir.write("in/sub/f.mf4", logFile());
  LogCapture log;
  zf_log_set_output_level(ZF_LOG_VERBOSE);
  RecordingLayer head;
  Walk w = walk(dir.path(), {"in/", "in/sub"}, {}, &head);
  EXPECT_EQ(w.result, 0);
  EXPECT_EQ(visited(log), (std::vector<std::string>{"in/sub/f.mf4", "in/sub/f.mf4"}));
  // The second visit is the same file again: not converted.
  EXPECT_EQ(head.paths(), (std::vector<std::string>{"in/sub/f.mf4"}));
  EXPECT_TRUE(log.contains("W Repeated input file (1A2B, 00000001, 00000001)"));
}

TEST(cLogReader, EmptyPathWalksTheRoot) {
  TempDir dir;
  dir.write("f.mf4", logFile());
  LogCapture log;
  zf_log_set_output_level(ZF_LOG_VERBOSE);
  RecordingLayer head;
  walk(dir.path(), {""}, {}, &head);
  EXPECT_EQ(visited(log), (std::vector<std::string>{"f.mf4"}));
  EXPECT_EQ(head.paths(), (std::vector<std::string>{"f.mf4"}));
}

TEST(cLogReader, AcceptsOnlyLogFileExtensionsInAnyCase) {
  struct Case {
    const char* name;
    bool accepted;
  };
  const Case cases[] = {
      {"a.mf4", true},   {"a.MF4", true},  {"a.Mf4", true},    {"a.mfc", true},
      {"a.MFE", true},   {"a.mfm", true},  {"a.mf", false},    {"a.mf44", false},
      {"mf4", true},  // no ".": the whole name is the extension
          {"a.mf4.txt", false}, {"a.dbc", false}, {".mf4", true},
      {"a.", false},     {"x.mf4.MFC", true},
  };
  const std::string content = logFile();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dir.write(c.name, content);
    RecordingLayer asFileHead, inFolderHead;
    Walk asFile = walk(dir.path(), {c.name}, {}, &asFileHead);
    Walk inFolder = walk(dir.path(), {""}, {}, &inFolderHead);
    EXPECT_EQ(asFile.files, c.accepted ? 1u : 0u);
    EXPECT_EQ(asFile.bytes, c.accepted ? content.size() : 0u);
    EXPECT_EQ(asFileHead.files.size(), asFile.files);
    EXPECT_EQ(inFolder.files, asFile.files);
    EXPECT_EQ(inFolderHead.files.size(), asFile.files);
    EXPECT_EQ(asFile.result, 0);
    EXPECT_EQ(inFolder.result, 0);
  }
}

TEST(cLogReader, MissingInputIsReportedAndOthersStillVisited) {
  TempDir dir;
  dir.write("good.mf4", logFile());
  LogCapture log;
  Walk w = walk(dir.path(), {"missing.mf4", "good.mf4", "gone/"});
  EXPECT_EQ(w.result, 1);
  EXPECT_EQ(w.files, 1u);
  EXPECT_TRUE(log.contains("W Could not find input file/folder missing.mf4"));
  EXPECT_TRUE(log.contains("W Could not find input file/folder gone/"));
}

TEST(cLogReader, InputThatIsNeitherFileNorFolderGives0x81) {
  TempDir dir;
  dir.write("good.mf4", logFile());
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string sock = dir / "s.mf4";
  ASSERT_LT(sock.size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, sock.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);
  Walk w = walk(dir.path(), {"s.mf4", "good.mf4"});
  EXPECT_EQ(w.result, 0x81);
  EXPECT_EQ(w.files, 1u);
}

TEST(cLogReader, DanglingLinkInFolderIsSkipped) {
  TempDir dir;
  dir.write("in/a.mf4", logFile("D", 1));
  dir.write("in/c.mf4", logFile("D", 2));
  std::filesystem::create_symlink(dir / "nowhere.mf4", dir / "in/b.mf4");
  Walk w = walk(dir.path(), {"in"});
  EXPECT_EQ(w.result, 0);
  EXPECT_EQ(w.files, 2u);
}

TEST(cLogReader, UnreadableFolderIsReportedAndOthersStillVisited) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not apply to root";
  TempDir dir;
  dir.write("in/a/x.mf4", logFile("D", 1));
  dir.write("in/b/y.mf4", logFile("D", 2));
  ASSERT_EQ(::chmod((dir / "in/a").c_str(), 0), 0);
  LogCapture log;
  Walk w = walk(dir.path(), {"in"});
  EXPECT_EQ(w.files, 1u);
  EXPECT_TRUE(log.contains("W Could not list folder " + dir.path() + "/in/a"));
}

TEST(cLogReader, LinkLoopDoesNotHang) {
  TempDir dir;
  dir.write("in/f.mf4", logFile());
  std::filesystem::create_directory_symlink(dir / "in", dir / "in/loop1");
  std::filesystem::create_directory_symlink(dir / "in", dir / "in/loop2");
  LogCapture log;
  Walk w = walk(dir.path(), {"in"});
  EXPECT_EQ(w.files, 1u);
  EXPECT_EQ(w.result, 0);
}

TEST(cLogReader, FailedQueryStopsTheWalkUnlessNoAppendRoot) {
  TempDir dir;
  dir.write("good.mf4", logFile());
  const std::string tooLong(5000, 'a');  // stat fails with "name too long"
  {
    LogCapture log;
    Walk w = walk(dir.path(), {tooLong, "good.mf4"});
    EXPECT_EQ(w.result, 0x81);
    EXPECT_EQ(w.files, 0u);
    ASSERT_FALSE(log.messages().empty());
    EXPECT_EQ(log.messages().back().substr(0, 24), "F Could not query aaaaaa");
  }
  {
    LogCapture log;
    cLogReaderOptions options;
    options.noAppendRoot = true;
    Walk w = walk(dir.path(), {tooLong, "good.mf4"}, options);
    EXPECT_EQ(w.result, 0);
    EXPECT_EQ(w.files, 1u);
    ASSERT_FALSE(log.messages().empty());
    EXPECT_EQ(log.messages().front().substr(0, 28), "F Error during stat of aaaaa");
  }
}

TEST(cLogReader, ResultCodeAndMessageOfEachFailure) {
  const std::string plain = logFile("D");
  std::string truncatedContainer = logFile("D", 1, 1, "compress\n");
  truncatedContainer.resize(truncatedContainer.size() / 2);
  struct Case {
    const char* what;
    std::string content;
    std::vector<std::pair<std::string, std::string>> passwords;
    int32_t result;
    std::string message;  // "" for none
  };
  const Case cases[] = {
      {"plain", plain, {}, 0, ""},
      {"no password at all", logFile("D", 1, 1, "encrypt password=pw device=0x00C0FFEE\n"), {},
       2, "E No password found for device 00C0FFEE"},
      {"other device only", logFile("D", 1, 1, "encrypt password=pw device=0x00C0FFEE\n"),
       {{"00C0FFEF", "pw"}}, 2, "E No password found for device 00C0FFEE"},
      {"lower-case key", logFile("D", 1, 1, "encrypt password=pw device=0x00C0FFEE\n"),
       {{"00c0ffee", "pw"}}, 2, "E No password found for device 00C0FFEE"},
      {"default key", logFile("D", 1, 1, "encrypt password=pw device=0x00C0FFEE\n"),
       {{"default", "pw"}}, 0, ""},
      {"own key before default", logFile("D", 1, 1, "encrypt password=pw device=0x00C0FFEE\n"),
       {{"default", "wrong"}, {"00C0FFEE", "pw"}}, 0, ""},
      {"wrong password", logFile("D", 1, 1, "encrypt password=pw device=0x00C0FFEE\n"),
       {{"00C0FFEE", "wrong"}}, 2, "E Could not decrypt file"},
      {"truncated container", truncatedContainer, {}, 4, "E Could not decompress file"},
      {"not a log file", std::string(300, '\x5A'), {}, 8, "E Could not open MDF"},
      {"truncated log file", plain.substr(0, 200), {}, 8, "E Could not open MDF"},
      {"no serial number", logFile(""), {}, 8, "E Could not parse file header"},
      {"another tool", logFile("D", 1, 1, "", "no_history\n"), {}, 8, "E Could not open MDF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    dir.write("x.mf4", c.content);
    cLogReaderOptions options;
    for (const auto& [key, password] : c.passwords) options.passwords[key] = password;
    LogCapture log;
    RecordingLayer head;
    Walk w = walk(dir.path(), {"x.mf4"}, options, &head);
    EXPECT_EQ(w.result, c.result);
    EXPECT_EQ(w.files, 1u);
    EXPECT_EQ(w.bytes, c.content.size());
    if (c.result == 0) {
      ASSERT_EQ(head.files.size(), 1u);
      EXPECT_EQ(head.files[0].messages, 2);
      EXPECT_TRUE(head.files[0].ended);
    } else {
      EXPECT_TRUE(head.files.empty());
      EXPECT_TRUE(log.contains(c.message));
      EXPECT_TRUE(log.contains("E Error during conversion of x.mf4"));
    }
  }
}

TEST(cLogReader, ContinuationOfSplitsAndSessions) {
  struct Step {
    const char* serial;
    uint32_t session;
    uint32_t split;
    bool continuation;
  };
  const Step steps[] = {
      {"D", 1, 1, false},   {"D", 1, 2, true},  {"D", 1, 3, true},    {"D", 1, 5, false},
      {"D", 2, 6, false},   // next session, but split 5 does not end a block of 256
      {"D", 2, 256, false}, {"D", 3, 257, true},  // split 256 does
      {"E", 3, 258, false},  // another device
      {"E", 3, 258, false},  // repeated: not converted
  };
  TempDir dir;
  std::vector<std::string> inputs;
  for (size_t i = 0; i < std::size(steps); ++i) {
    std::string name = "f" + std::to_string(i) + ".mf4";
    dir.write(name, logFile(steps[i].serial, steps[i].session, steps[i].split));
    inputs.push_back(name);
  }
  LogCapture log;
  RecordingLayer head;
  Walk w = walk(dir.path(), inputs, {}, &head);
  EXPECT_EQ(w.result, 0);
  ASSERT_EQ(head.files.size(), std::size(steps) - 1);
  for (size_t i = 0; i < head.files.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(head.files[i].serial, steps[i].serial);
    EXPECT_EQ(head.files[i].session, steps[i].session);
    EXPECT_EQ(head.files[i].split, steps[i].split);
    EXPECT_EQ(head.files[i].continuation, steps[i].continuation);
  }
  EXPECT_TRUE(log.contains("W Repeated input file (E, 00000003, 00000258)"));
}

TEST(cLogReader, ChainFailuresAndDeletion) {
  struct Case {
    const char* what;
    int failAt;
    bool failNewFile;
    bool failEndFile;
    int32_t result;
    int messages;
    const char* message;
  };
  const Case cases[] = {
      {"converted", 0, false, false, 0, 2, nullptr},
      {"first message refused", 1, false, false, 8, 1, "E Error during handle record callback"},
      {"second message refused", 2, false, false, 8, 2, "E Error during handle record callback"},
      {"new file refused", 0, true, false, 8, 0, "E Error on new file"},
      {"end file refused", 0, false, true, 8, 2, "E Error during end file callback"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    dir.write("x.mf4", logFile());
    cLogReaderOptions options;
    options.deleteConverted = true;
    RecordingLayer head;
    head.failAt = c.failAt;
    head.failNewFile = c.failNewFile;
    head.failEndFile = c.failEndFile;
    LogCapture log;
    Walk w = walk(dir.path(), {"x.mf4"}, options, &head);
    EXPECT_EQ(w.result, c.result);
    ASSERT_EQ(head.files.size(), 1u);
    EXPECT_EQ(head.files[0].messages, c.messages);
    EXPECT_TRUE(head.files[0].ended);  // every newFile gets its endFile
    EXPECT_EQ(w.messages, static_cast<uint64_t>(c.messages));
    // Only a converted file is deleted.
    EXPECT_EQ(std::filesystem::exists(dir / "x.mf4"), c.result != 0);
    if (c.message != nullptr) {
      EXPECT_TRUE(log.contains(c.message));
    }
  }
}

TEST(cLogReader, RepeatedFileIsNeitherConvertedNorDeleted) {
  TempDir dir;
  const std::string content = logFile();
  dir.write("a/x.mf4", content);
  dir.write("b/x.mf4", content);
  cLogReaderOptions options;
  options.deleteConverted = true;
  RecordingLayer head;
  LogCapture log;
  Walk w = walk(dir.path(), {"a", "b"}, options, &head);
  EXPECT_EQ(w.result, 0);
  EXPECT_EQ(head.paths(), (std::vector<std::string>{"a/x.mf4"}));
  EXPECT_FALSE(std::filesystem::exists(dir / "a/x.mf4"));
  EXPECT_TRUE(std::filesystem::exists(dir / "b/x.mf4"));
  EXPECT_EQ(w.files, 2u);
  EXPECT_EQ(w.messages, 2u);
}

TEST(cLogReader, BufferSizesReadTheSameFrames) {
  TempDir dir;
  dir.write("x.mfc", logFile("D", 1, 1, "compress\n"));
  LogCapture log;
  for (int64_t buffer : {-1, 0, 1, 7, 4096}) {
    SCOPED_TRACE(buffer);
    cLogReaderOptions options;
    options.bufferSize = buffer;
    RecordingLayer head;
    Walk w = walk(dir.path(), {"x.mfc"}, options, &head);
    EXPECT_EQ(w.result, 0);
    EXPECT_EQ(head.ids, (std::vector<uint32_t>{0x101, 0x201}));
  }
}

}  // namespace
