// Test helper: a fresh folder under /tmp, removed with its contents at the
// end of the test, whole-file reads and writes, a folder read back as a tree
// of relative path -> file text, and limits lowered for a while (a full disk,
// few descriptors).
#pragma once

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

// Runs `f` with the process's soft limit of `resource` (RLIMIT_NOFILE,
// RLIMIT_FSIZE, ...) lowered to `value` (at most the hard limit) and SIGXFSZ
// ignored, so that a write past a file-size limit fails as on a full disk.
// False when the limit cannot be set (f is not run) or restored.
template <typename Resource, typename F>
bool withResourceLimit(Resource resource, rlim_t value, F f) {
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  if (getrlimit(resource, &saved) != 0) return false;
  const rlimit low{value < saved.rlim_max ? value : saved.rlim_max, saved.rlim_max};
  if (setrlimit(resource, &low) != 0) return false;
  f();
  return setrlimit(resource, &saved) == 0;
}

// Relative path ("/"-separated) -> whole file text.
using FileTree = std::map<std::string, std::string>;

// The whole text of a file; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every regular file below `root` whose name ends in `suffix` ("" for all).
inline FileTree readTree(const std::string& root, const std::string& suffix = "") {
  FileTree tree;
  std::error_code ec;
  if (!std::filesystem::is_directory(root, ec)) return tree;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (!it->is_regular_file(ec) || !name.ends_with(suffix)) continue;
    tree[std::filesystem::relative(it->path(), root).generic_string()] = readFile(it->path().string());
  }
  return tree;
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/lograven_test_XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    path_ = made ? made : "";
  }
  ~TempDir() {
    std::error_code ec;
    // Restore permissions that a test may have taken away, then remove.
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
    }
    ::chmod(path_.c_str(), 0700);
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Absolute path without trailing "/".
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

  // Writes `content` to path()/rel, creating parent folders.
  void write(const std::string& rel, const std::string& content) const {
    std::filesystem::path p = std::filesystem::path(path_) / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
  }
  std::string read(const std::string& rel) const { return readFile(*this / rel); }
  bool exists(const std::string& rel) const { return std::filesystem::exists(*this / rel); }
  void mkdir(const std::string& rel) const {
    std::filesystem::create_directories(std::filesystem::path(path_) / rel);
  }

 private:
  std::string path_;
};

// Changes the working directory for the lifetime of the object.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedCwd() {
    std::error_code ec;
    std::filesystem::current_path(old_, ec);
  }

 private:
  std::filesystem::path old_;
};
