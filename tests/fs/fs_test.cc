// File-system access: path helpers, full paths under a root, stat and sorted
// listings, making and removing folders, open flags and path normalisation.
#include "fs/fs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

std::vector<std::string> names(const cFSListing& listing) {
  std::vector<std::string> out;
  for (const auto& [name, st] : listing) out.push_back(name);
  return out;
}

TEST(cFSPath, HelpersSplitPaths) {
  struct Case { const char *path, *fileName, *extension, *parent; };
  for (const Case& c : {Case{"dir.d/file.MF4", "file.MF4", "MF4", "dir.d/"}, {"README", "README", "README", ""},
                        {"/a", "a", "a", "/"}, {"a/b/", "", "", "a/b/"}, {"name.", "name.", "", ""},
                        {"a.b.c", "a.b.c", "c", ""}, {".hidden", ".hidden", "hidden", ""}, {"", "", "", ""}}) {
    EXPECT_EQ(std::tuple(cFS_getFileName(c.path), cFS_getExtension(c.path), cFS_getParentFolder(c.path)),
              std::tuple(c.fileName, c.extension, c.parent)) << c.path;
  }
}

// Records the full paths mkdir made (a path exists once made; making it
// again fails as on a disk), and lists entries as full paths, as some
// backends do.
class FakeBackend final : public cFSBackend {
 public:
  bool stat(const std::string& fullPath, cFSStat* out) override {
    return out->type = std::count(made.begin(), made.end(), fullPath) ? cFSType::kDir : cFSType::kMissing, true;
  }
  bool mkdir(const std::string& fullPath) override {
    if (std::count(made.begin(), made.end(), fullPath)) return errno = EEXIST, false;
    return made.push_back(fullPath), true;
  }
  bool ls(const std::string& fullPath, cFSListing* out) override {
    out->emplace(fullPath + "/x.mf4", cFSStat{cFSType::kFile, 1, 0, 0});
    out->emplace("rootish.mf4", cFSStat{cFSType::kFile, 2, 0, 0});
    return true;
  }
  std::vector<std::string> made;
};

TEST(cFS, ComposesFullPathsUnderTheRoot) {
  struct Case { const char *root, *path, *full; std::vector<std::string> made; };
  const Case cases[] = {
      {"/r", "a/b", "/r/a/b", {"/r/a", "/r/a/b"}},
      {"", "a//b/", "a//b/", {"a", "a/b"}},  // never "/a" at the top of the disk
      {"r", "/x", "r/x", {"r/x"}}, {"/r/", "a", "/r/a", {"/r/a"}}, {"/r", "", "/r", {}}, {"", "", "", {}}, {"/r", "..", "", {"/r/.."}},
  };
  for (const Case& c : cases) {
    auto backend = std::make_unique<FakeBackend>();
    const std::vector<std::string>& made = backend->made;
    cFS fs(c.root, std::move(backend));
    std::string out = "pre";
    fs.relativeToAbsolutePath(c.path, &out);
    EXPECT_EQ(out, std::string("pre") + c.full) << c.root << " + " << c.path;
    EXPECT_TRUE(fs.mkdirs(c.path) && fs.mkdirs(c.path));
    EXPECT_EQ(made, c.made) << "each level is made once";
  }
  cFS fs("root", std::make_unique<FakeBackend>());
  cFSListing listing;
  EXPECT_TRUE(fs.ls("", &listing));
  EXPECT_EQ(names(listing), (std::vector<std::string>{"rootish.mf4", "x.mf4"})) << "only full paths lose the root";
}

TEST(cFS, OperatingSystemBackend) {
  TempDir dir;
  for (const char* name : {"b", "A", "a.txt", "a", "a.b", "B.mf4", "\xC3\xA9", "full/x"}) dir.write(name, "");
  dir.write("f.bin", std::string(1234, 'x'));
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink(dir / "gone", dir / "dangling");
  std::filesystem::create_symlink(dir / "b", dir / "link_to_b");
  std::filesystem::create_symlink("loop", dir / "full/loop");  // cannot be queried
  EXPECT_FALSE(cFS_os_ctor(dir / "f.bin") || cFS_os_ctor(dir / "missing") || cFS_os_ctor(""));
  std::unique_ptr<cFS> fs = cFS_os_ctor(dir.path());
  ASSERT_TRUE(fs);
  struct Case { const char* path; cFSType type; uint64_t size; };
  for (auto [path, type, size] : {Case{"f.bin", cFSType::kFile, 1234}, {"full", cFSType::kDir, 0},
                                  {"fifo", cFSType::kOther, 0}, {"nothing", cFSType::kMissing, 0}}) {
    cFSStat st;
    ASSERT_TRUE(fs->stat(path, &st)) << path;
    EXPECT_EQ(std::pair(st.type, st.size), std::pair(type, size)) << path;
  }
  cFSStat st;
  EXPECT_FALSE(fs->stat("f.bin/x", &st) || fs->stat("f.bin", nullptr)) << "not a folder: the query fails";
  cFSListing listing;
  EXPECT_TRUE(fs->ls("", &listing));  // unsigned byte order; the fifo and the dangling link are left out
  EXPECT_EQ(names(listing), (std::vector<std::string>{"A", "B.mf4", "a", "a.b", "a.txt", "b", "f.bin", "full",
                                                     "link_to_b", "\xC3\xA9"}));
  LogCapture log;
  EXPECT_FALSE(fs->ls("missing", &listing) || fs->ls("full", &listing));
  EXPECT_EQ(listing.size(), 11u) << "full/x is listed all the same";
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"E Could not list folder " + dir / "missing: No such file or directory",
                                                     "E Could not query " + dir / "full/loop: Too many levels of symbolic links"}));

  bool created = true;
  EXPECT_TRUE(fs->mkdir("full", &created) && !created) << "an existing folder";
  EXPECT_TRUE(fs->mkdir("made", &created) && created);
  EXPECT_FALSE(fs->mkdir("f.bin") || fs->mkdir("missing/child") || fs->mkdirs("f.bin/g"));
  EXPECT_TRUE(fs->mkdirs("c//d/") && fs->sync("c/d") && !fs->sync("c/e"));  // a folder flushed; none to flush
  EXPECT_EQ(std::filesystem::status(dir / "c/d").permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
  EXPECT_TRUE(fs->remove("b") && fs->remove("c/d"));
  EXPECT_FALSE(dir.exists("b") || dir.exists("c/d"));
  EXPECT_FALSE(fs->remove("full") || fs->remove("missing")) << "a folder must be empty";

  EXPECT_FALSE(fs->open("new", cFS::kRead) || fs->open("new", cFS::kRead | cFS::kWrite) || fs->open("f.bin", 0));
  std::unique_ptr<cIO> w = fs->open("new", cFS::kWrite | 4);
  ASSERT_TRUE(w);
  EXPECT_EQ(w->write("hello", 5), 5);
  EXPECT_EQ(w->read(nullptr, 0), cIO::kMissing) << "write only";
  w.reset();
  w = fs->open("new", cFS::kRead | cFS::kWrite);
  ASSERT_TRUE(w);
  EXPECT_EQ(w->write("J", 1), 1);
  w.reset();
  EXPECT_EQ(dir.read("new"), "Jello");
}

TEST(cFSOs, NormalizePath) {
  TempDir dir;
  dir.mkdir("logs/2024");
  dir.write("x.mf4", "data");
  ScopedCwd cwd(dir.path());
  const std::string d = dir.path();
  struct Case { std::string in, out; bool unreadable; };
  const Case cases[] = {
      {"logs\\2024", d + "/logs/2024/", false}, {"logs/2024/", d + "/logs/2024/", false},
      {d + "//x.mf4/", d + "/x.mf4", false}, {d + "\\\\\\x.mf4", d + "//x.mf4", false},  // "///" becomes "//"
      {"nothing/here", d + "/nothing/here", false}, {"x.mf4/y", d + "/x.mf4/y", true},
      {"./logs", d + "/./logs/", false}, {"", d + "/", false}, {"..", "", false}, {"/", "/", false},
  };
  for (const Case& c : cases) {
    LogCapture log;
    std::string p = c.in;
    cFS_os_normalizePath(&p);
    EXPECT_EQ(p, c.out) << c.in;
    EXPECT_EQ(log.count("E Could not stat path " + c.out), c.unreadable ? 1 : 0) << c.in;
  }
}

}  // namespace
