#include "fs/fs.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

std::vector<std::string> names(const cFSListing& listing) {
  std::vector<std::string> out;
  for (const auto& [name, st] : listing) out.push_back(name);
  return out;
}

// Binds a unix socket at `path`, leaving a socket file behind.
void makeSocket(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);
}

TEST(cFSPath, HelpersSplitPaths) {
  struct Case {
    const char* path;
    const char* fileName;
    const char* extension;
    const char* baseName;
    const char* parent;
  };
  const Case cases[] = {
      {"dir.d/file.MF4", "file.MF4", "MF4", "file", "dir.d/"},
      {"x/00000001.MF4", "00000001.MF4", "MF4", "00000001", "x/"},
      {"README", "README", "README", "", ""},
      {"file", "file", "file", "", ""},
      {"a/b/c", "c", "c", "", "a/b/"},
      {"/a", "a", "a", "", "/"},
      {"a/b/", "", "", "", "a/b/"},
      {"name.", "name.", "", "name.", ""},
      {"a.b.c", "a.b.c", "c", "a.b", ""},
      {".hidden", ".hidden", "hidden", "", ""},
      {"", "", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(cFS_getFileName(c.path), c.fileName);
    EXPECT_EQ(cFS_getExtension(c.path), c.extension);
    EXPECT_EQ(cFS_getBaseName(c.path), c.baseName);
    EXPECT_EQ(cFS_getParentFolder(c.path), c.parent);
  }
}

TEST(cFSPath, AbsoluteTest) {
  EXPECT_TRUE(cFS_os_isPathAbsolute("/"));
  EXPECT_TRUE(cFS_os_isPathAbsolute("/x"));
  EXPECT_FALSE(cFS_os_isPathAbsolute(""));
  EXPECT_FALSE(cFS_os_isPathAbsolute("x/"));
}

TEST(cFS, RelativeToAbsolutePathComposesRootAndPath) {
  struct Case {
    const char* root;
    const char* path;
    const char* expected;
  };
  const Case cases[] = {
      {"/r", "a/b", "pre/r/a/b"}, {"/r", "", "pre/r"}, {"", "a", "prea"},
      {"/r", "..", "pre"},        {"", "", "pre"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.root) + " + " + c.path);
    std::unique_ptr<cFS> fs = cFS_ctor(c.root);
    std::string out = "pre";
    fs->relativeToAbsolutePath(c.path, &out);
    EXPECT_EQ(out, c.expected);
  }
}

TEST(cFS, DoNothingBackendFailsEverything) {
  std::unique_ptr<cFS> fs = cFS_ctor("/tmp");
  ASSERT_TRUE(fs);
  cFSStat st;
  EXPECT_FALSE(fs->stat("", &st));
  cFSListing listing;
  fs->ls("", &listing);
  EXPECT_TRUE(listing.empty());
  EXPECT_FALSE(fs->mkdir("x"));
  EXPECT_FALSE(fs->mkdirs("x/y"));
  EXPECT_TRUE(fs->mkdirs(""));
  EXPECT_FALSE(fs->remove("x"));
  EXPECT_EQ(fs->open("x", cFS::kRead), nullptr);
}

TEST(cFS, OsCtorNeedsAnExistingDirectory) {
  TempDir dir;
  dir.write("f", "x");
  EXPECT_TRUE(cFS_os_ctor(dir.path()));
  EXPECT_FALSE(cFS_os_ctor(dir / "f"));
  EXPECT_FALSE(cFS_os_ctor(dir / "missing"));
  EXPECT_FALSE(cFS_os_ctor(""));
}

TEST(cFS, StatReportsTypeAndSize) {
  TempDir dir;
  dir.write("f.bin", std::string(1234, 'x'));
  dir.mkdir("sub");
  makeSocket(dir / "sock");
  std::unique_ptr<cFS> fs = cFS_os_ctor(dir.path());
  ASSERT_TRUE(fs);
  struct Case {
    const char* path;
    cFSType type;
    uint64_t size;
  };
  const Case cases[] = {{"f.bin", cFSType::kFile, 1234},
                        {"sub", cFSType::kDir, 0},
                        {"sock", cFSType::kOther, 0},
                        {"nothing", cFSType::kMissing, 0},
                        {"", cFSType::kDir, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    cFSStat st;
    ASSERT_TRUE(fs->stat(c.path, &st));
    EXPECT_EQ(st.type, c.type);
    EXPECT_EQ(st.size, c.size);
  }
  EXPECT_FALSE(fs->stat("f.bin", nullptr));
}

TEST(cFS, ListingIsByteWiseSortedFilesAndFoldersOnly) {
  TempDir dir;
  dir.write("b", "");
  dir.write("A", "");
  dir.write("a.txt", "");
  dir.write("a", "");
  dir.write("a.b", "");
  dir.write("B.mf4", "");
  dir.write("\xC3\xA9", "");  // sorts after ASCII as unsigned bytes
  dir.mkdir("dir");
  makeSocket(dir / "sock");
  std::filesystem::create_symlink(dir / "gone", dir / "dangling");
  std::filesystem::create_symlink(dir / "b", dir / "link_to_b");
  std::unique_ptr<cFS> fs = cFS_os_ctor(dir.path());
  ASSERT_TRUE(fs);
  cFSListing listing;
  fs->ls("", &listing);
  EXPECT_EQ(names(listing), (std::vector<std::string>{"A", "B.mf4", "a", "a.b", "a.txt", "b",
                                                     "dir", "link_to_b", "\xC3\xA9"}));
  EXPECT_EQ(listing.at("dir").type, cFSType::kDir);
  EXPECT_EQ(listing.at("a.txt").type, cFSType::kFile);
}

TEST(cFS, ListingOfMissingDirectoryAddsNothing) {
  TempDir dir;
  std::unique_ptr<cFS> fs = cFS_os_ctor(dir.path());
  cFSListing listing;
  fs->ls("missing", &listing);
  EXPECT_TRUE(listing.empty());
}

// A backend that reports entries as full paths, as some listings do.
class FullPathBackend final : public cFSBackend {
 public:
  void ls(const std::string& fullPath, cFSListing* out) override {
    out->emplace(fullPath + "/x.mf4", cFSStat{cFSType::kFile, 1, 0, 0});
    out->emplace("rootish.mf4", cFSStat{cFSType::kFile, 2, 0, 0});
  }
};

TEST(cFS, ListingStripsRootFromFullPathNamesOnly) {
  cFS fs("root", std::make_unique<FullPathBackend>());
  cFSListing listing;
  fs.ls("", &listing);
  EXPECT_EQ(names(listing), (std::vector<std::string>{"rootish.mf4", "x.mf4"}));
}

TEST(cFS, RecursiveListingNamesRelativeToRoot) {
  TempDir dir;
  dir.write("top.mf4", "");
  dir.write("a/one.mf4", "");
  dir.write("a/b/two.mf4", "");
  dir.mkdir("a/empty");
  std::unique_ptr<cFS> fs = cFS_os_ctor(dir.path());
  cFSListing listing;
  fs->ls_recursive("", &listing);
  EXPECT_EQ(names(listing), (std::vector<std::string>{"a", "a/b", "a/b/two.mf4", "a/empty",
                                                     "a/one.mf4", "top.mf4"}));
  cFSListing sub;
  fs->ls_recursive("a", &sub);
  EXPECT_EQ(names(sub), (std::vector<std::string>{"a/b", "a/b/two.mf4", "a/empty", "a/one.mf4"}));
}

TEST(cFS, RecursiveListingDoesNotFollowLoops) {
  TempDir dir;
  dir.write("a/f.mf4", "");
  std::filesystem::create_directory_symlink(dir / "a", dir / "a/again");
  std::filesystem::create_directory_symlink(dir / "a", dir / "a/more");
  std::unique_ptr<cFS> fs = cFS_os_ctor(dir.path());
  cFSListing listing;
  fs->ls_recursive("", &listing);
  EXPECT_EQ(names(listing), (std::vector<std::string>{"a", "a/again", "a/f.mf4", "a/more"}));
}

TEST(cFS, MkdirAcceptsExistingDirectoryAndRefusesFile) {
  TempDir dir;
  dir.write("file", "x");
  dir.mkdir("exists");
  std::unique_ptr<cFS> fs = cFS_os_ctor(dir.path());
  EXPECT_TRUE(fs->mkdir("exists"));
  EXPECT_FALSE(fs->mkdir("file"));
  EXPECT_TRUE(fs->mkdir("new"));
  EXPECT_EQ(std::filesystem::status(dir / "new").permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
  EXPECT_FALSE(fs->mkdir("missing/child"));
}

TEST(cFS, MkdirsCreatesEveryLevelSkippingEmptyParts) {
  TempDir dir;
  std::unique_ptr<cFS> fs = cFS_os_ctor(dir.path());
  EXPECT_TRUE(fs->mkdirs("a//b/"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "a/b"));
  EXPECT_TRUE(fs->mkdirs("/c/d"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "c/d"));
  EXPECT_TRUE(fs->mkdirs("a/b"));
  dir.write("f", "x");
  EXPECT_FALSE(fs->mkdirs("f/g"));
}

// Records the full paths that reach mkdir; a path exists once made.
class RecordingBackend final : public cFSBackend {
 public:
  bool stat(const std::string& fullPath, cFSStat* out) override {
    bool made = std::find(made_.begin(), made_.end(), fullPath) != made_.end();
    out->type = made ? cFSType::kDir : cFSType::kMissing;
    return true;
  }
  bool mkdir(const std::string& fullPath) override {
    made_.push_back(fullPath);
    return true;
  }
  const std::vector<std::string>& made() const { return made_; }

 private:
  std::vector<std::string> made_;
};

TEST(cFS, MkdirsComposesEachLevelUnderTheRoot) {
  struct Case {
    const char* root;
    const char* path;
    std::vector<std::string> made;
  };
  const Case cases[] = {
      {"r", "a/b", {"r/a", "r/a/b"}},
      {"", "a//b/", {"a", "a/b"}},  // never "/a" at the top of the disk
      {"r", "/x", {"r/x"}},
      {"r", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.root) + " " + c.path);
    auto backend = std::make_unique<RecordingBackend>();
    RecordingBackend* rec = backend.get();
    cFS fs(c.root, std::move(backend));
    EXPECT_TRUE(fs.mkdirs(c.path));
    EXPECT_EQ(rec->made(), c.made);
  }
}

TEST(cFS, RemoveDeletesFilesAndEmptyFolders) {
  TempDir dir;
  dir.write("f", "x");
  dir.write("full/x", "x");
  dir.mkdir("empty");
  std::unique_ptr<cFS> fs = cFS_os_ctor(dir.path());
  EXPECT_TRUE(fs->remove("f"));
  EXPECT_FALSE(std::filesystem::exists(dir / "f"));
  EXPECT_TRUE(fs->remove("empty"));
  EXPECT_FALSE(fs->remove("full"));
  EXPECT_FALSE(fs->remove("missing"));
}

TEST(cFS, OpenHonoursFlags) {
  TempDir dir;
  std::unique_ptr<cFS> fs = cFS_os_ctor(dir.path());
  EXPECT_EQ(fs->open("new", cFS::kRead), nullptr);
  EXPECT_EQ(fs->open("new", 0), nullptr);
  EXPECT_EQ(fs->open("new", cFS::kRead | cFS::kWrite), nullptr);  // must exist
  {
    std::unique_ptr<cIO> w = fs->open("new", cFS::kWrite | 4);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->write("hello", 5), 5);
    EXPECT_EQ(w->read(nullptr, 0), cIO::kMissing);
  }
  std::unique_ptr<cIO> r = fs->open("new", cFS::kRead);
  ASSERT_TRUE(r);
  char buf[8] = {};
  EXPECT_EQ(r->read(buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf), "hello");
  std::unique_ptr<cIO> rw = fs->open("new", cFS::kRead | cFS::kWrite);
  ASSERT_TRUE(rw);
  EXPECT_EQ(rw->write("J", 1), 1);
  EXPECT_EQ(rw->seek(0, cIO::kSeekSet), 0);
  EXPECT_EQ(rw->read(buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), "Jello");
}

TEST(cFSOs, GetCwdMatchesWorkingDirectory) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  std::string out = "junk";
  ASSERT_TRUE(cFS_os_getCwd(&out));
  EXPECT_EQ(out, std::filesystem::current_path().string());
}

TEST(cFSOs, NormalizePath) {
  TempDir dir;
  dir.mkdir("logs/2024");
  dir.write("x.mf4", "data");
  ScopedCwd cwd(dir.path());
  const std::string d = dir.path();
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"logs\\2024", d + "/logs/2024/"},
      {"logs/2024/", d + "/logs/2024/"},
      {d + "//x.mf4/", d + "/x.mf4"},
      {d + "\\\\\\x.mf4", d + "//x.mf4"},  // one pass: "///" becomes "//"
      {"x.mf4", d + "/x.mf4"},
      {"nothing/here", d + "/nothing/here"},
      {"./logs", d + "/./logs/"},
      {"..", ""},
      {"/", "/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    std::string p = c.in;
    cFS_os_normalizePath(&p);
    EXPECT_EQ(p, c.out);
  }
}

}  // namespace
