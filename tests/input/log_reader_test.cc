#include "input/log_reader.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/log_capture.h"
#include "fs/temp_dir.h"

namespace {

// The chain head; the walker must not call it for files it cannot convert.
class NullLayer final : public cBusLayer {};

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
};

Walk walk(const std::string& root, const std::vector<std::string>& inputs,
          cLogReaderOptions options = {}) {
  std::unique_ptr<cFS> fs = cFS_os_ctor(root);
  EXPECT_TRUE(fs);
  if (!fs) return {-1, 0, 0};
  NullLayer head;
  std::unique_ptr<cLogReader> reader = cLogReader_ctor(fs.get(), &options, &head);
  int32_t result = reader->process(inputs);
  return {result, reader->files(), reader->bytes()};
}

TEST(cLogReader, CtorNeedsAllArguments) {
  std::unique_ptr<cFS> fs = cFS_ctor("");
  cLogReaderOptions options;
  NullLayer head;
  EXPECT_FALSE(cLogReader_ctor(nullptr, &options, &head));
  EXPECT_FALSE(cLogReader_ctor(fs.get(), nullptr, &head));
  EXPECT_FALSE(cLogReader_ctor(fs.get(), &options, nullptr));
  EXPECT_TRUE(cLogReader_ctor(fs.get(), &options, &head));
}

TEST(cLogReader, WalksFoldersDepthFirstInByteOrder) {
  TempDir dir;
  dir.write("in/B.MF4", "12");
  dir.write("in/a.mf4", "123");
  dir.write("in/notes.txt", "ignored");
  dir.write("in/a/z.mfc", "1");
  dir.write("in/a.b/y.mfe", "1");
  dir.write("in/Z/x.mfm", "1");
  LogCapture log;
  zf_log_set_output_level(ZF_LOG_VERBOSE);
  Walk w = walk(dir.path() + "/", {"in"});
  EXPECT_EQ(w.result, 0);
  EXPECT_EQ(visited(log), (std::vector<std::string>{"in/B.MF4", "in/Z/x.mfm", "in/a/z.mfc",
                                                    "in/a.b/y.mfe", "in/a.mf4"}));
  EXPECT_EQ(w.files, 5u);
  EXPECT_EQ(w.bytes, 2u + 3u + 1u + 1u + 1u);
}

TEST(cLogReader, ChildPathsDoNotDoubleSlashes) {
  TempDir dir;
  dir.write("in/sub/f.mf4", "x");
  LogCapture log;
  zf_log_set_output_level(ZF_LOG_VERBOSE);
  Walk w = walk(dir.path(), {"in/", "in/sub"});
  EXPECT_EQ(w.result, 0);
  EXPECT_EQ(visited(log), (std::vector<std::string>{"in/sub/f.mf4", "in/sub/f.mf4"}));
}

TEST(cLogReader, EmptyPathWalksTheRoot) {
  TempDir dir;
  dir.write("f.mf4", "x");
  LogCapture log;
  zf_log_set_output_level(ZF_LOG_VERBOSE);
  walk(dir.path(), {""});
  EXPECT_EQ(visited(log), (std::vector<std::string>{"f.mf4"}));
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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dir.write(c.name, "abcd");
    Walk asFile = walk(dir.path(), {c.name});
    Walk inFolder = walk(dir.path(), {""});
    EXPECT_EQ(asFile.files, c.accepted ? 1u : 0u);
    EXPECT_EQ(asFile.bytes, c.accepted ? 4u : 0u);
    EXPECT_EQ(inFolder.files, asFile.files);
    EXPECT_EQ(asFile.result, 0);
  }
}

TEST(cLogReader, MissingInputIsReportedAndOthersStillVisited) {
  TempDir dir;
  dir.write("good.mf4", "x");
  LogCapture log;
  Walk w = walk(dir.path(), {"missing.mf4", "good.mf4", "gone/"});
  EXPECT_EQ(w.result, 1);
  EXPECT_EQ(w.files, 1u);
  EXPECT_TRUE(log.contains("W Could not find input file/folder missing.mf4"));
  EXPECT_TRUE(log.contains("W Could not find input file/folder gone/"));
}

TEST(cLogReader, InputThatIsNeitherFileNorFolderGives0x81) {
  TempDir dir;
  dir.write("good.mf4", "x");
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
  dir.write("in/a.mf4", "x");
  dir.write("in/c.mf4", "x");
  std::filesystem::create_symlink(dir / "nowhere.mf4", dir / "in/b.mf4");
  Walk w = walk(dir.path(), {"in"});
  EXPECT_EQ(w.result, 0);
  EXPECT_EQ(w.files, 2u);
}

TEST(cLogReader, UnreadableFolderIsReportedAndOthersStillVisited) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not apply to root";
  TempDir dir;
  dir.write("in/a/x.mf4", "x");
  dir.write("in/b/y.mf4", "x");
  ASSERT_EQ(::chmod((dir / "in/a").c_str(), 0), 0);
  LogCapture log;
  Walk w = walk(dir.path(), {"in"});
  EXPECT_EQ(w.files, 1u);
  EXPECT_TRUE(log.contains("W Could not list folder " + dir.path() + "/in/a"));
}

TEST(cLogReader, LinkLoopDoesNotHang) {
  TempDir dir;
  dir.write("in/f.mf4", "x");
  std::filesystem::create_directory_symlink(dir / "in", dir / "in/loop1");
  std::filesystem::create_directory_symlink(dir / "in", dir / "in/loop2");
  LogCapture log;
  Walk w = walk(dir.path(), {"in"});
  EXPECT_EQ(w.files, 1u);
  EXPECT_EQ(w.result, 0);
}

TEST(cLogReader, FailedQueryStopsTheWalkUnlessNoAppendRoot) {
  TempDir dir;
  dir.write("good.mf4", "x");
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

}  // namespace
