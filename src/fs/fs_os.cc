// Operating-system backend and helpers: stat, opendir/readdir, mkdir 0700,
// remove, file streams, truncate, rename, fsync, statfs, getcwd.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/log.h"
#include "fs/fs.h"

namespace {

// `name` in the folder `folder` (a descriptor of it, or AT_FDCWD for a path).
bool osStat(int folder, const char* name, cFSStat* out) {
  struct stat st;
  if (::fstatat(folder, name, &st, 0) != 0) {
    if (errno != ENOENT) return false;
    *out = cFSStat{cFSType::kMissing, 0, 0, 0};
    return true;
  }
  cFSStat r;
  r.device = static_cast<uint64_t>(st.st_dev);
  r.inode = static_cast<uint64_t>(st.st_ino);
  if (S_ISREG(st.st_mode)) {
    r.type = cFSType::kFile;
    r.size = static_cast<uint64_t>(st.st_size);
  } else if (S_ISDIR(st.st_mode)) {
    r.type = cFSType::kDir;
  }
  *out = r;
  return true;
}

bool osStat(const std::string& path, cFSStat* out) { return osStat(AT_FDCWD, path.c_str(), out); }

class OsBackend final : public cFSBackend {
 public:
  bool stat(const std::string& fullPath, cFSStat* out) override { return osStat(fullPath, out); }

  bool ls(const std::string& fullPath, cFSListing* out) override {
    DIR* dir = ::opendir(fullPath.c_str());
    if (dir == nullptr) {
      LOG_ERROR("Could not list folder %s: %s", fullPath.c_str(), std::strerror(errno));
      return false;
    }
    bool complete = true;
    std::string child;
    while (const struct dirent* e = ::readdir(dir)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      child.assign(fullPath);
      if (child.empty() || child.back() != '/') child.push_back('/');
      child.append(e->d_name);
      cFSStat st;
      // Relative to the open folder: the path is not walked again.
      if (!osStat(::dirfd(dir), e->d_name, &st)) {
        LOG_ERROR("Could not query %s: %s", child.c_str(), std::strerror(errno));
        complete = false;
        continue;
      }
      if (st.type == cFSType::kFile || st.type == cFSType::kDir) out->emplace(e->d_name, st);
    }
    ::closedir(dir);
    return complete;
  }

  bool mkdir(const std::string& fullPath) override { return ::mkdir(fullPath.c_str(), 0700) == 0; }

  bool rm(const std::string& fullPath) override { return std::remove(fullPath.c_str()) == 0; }

  std::unique_ptr<cIO> open(const std::string& fullPath, int flags) override {
    if (flags == cFS::kAppend) return cIO_file_open(fullPath.c_str(), 3);
    const bool rd = (flags & cFS::kRead) != 0;
    const bool wr = (flags & cFS::kWrite) != 0;
    if (rd && wr) return cIO_file_open(fullPath.c_str(), 2);
    if (rd) return cIO_file_open(fullPath.c_str(), 0);
    if (wr) return cIO_file_open(fullPath.c_str(), 1);
    return nullptr;
  }

  bool truncate(const std::string& fullPath, uint64_t length) override {
    return ::truncate(fullPath.c_str(), static_cast<off_t>(length)) == 0;
  }

  bool rename(const std::string& from, const std::string& to) override {
    return std::rename(from.c_str(), to.c_str()) == 0;
  }

  bool sync(const std::string& fullPath) override {
    const int fd = ::open(fullPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    const int err = errno;
    ::close(fd);
    errno = err;
    return ok;
  }

  // Local file systems report write errors at the write (or at fsync), never
  // at close; network and user-space ones may send the data at close.
  bool closeReportsWriteErrors(const std::string& fullPath) override {
    struct statfs fs {};
    if (::statfs(fullPath.c_str(), &fs) != 0) return true;
    switch (static_cast<unsigned long>(fs.f_type)) {
      case 0xEF53:      // ext2, ext3, ext4
      case 0x58465342:  // XFS
      case 0x9123683E:  // Btrfs
      case 0xF2F52010:  // F2FS
      case 0x01021994:  // tmpfs
        return false;
      default:
        return true;
    }
  }
};

}  // namespace

std::unique_ptr<cFSBackend> cFS_os_backend() { return std::make_unique<OsBackend>(); }

std::unique_ptr<cFS> cFS_os_ctor(std::string_view root) {
  cFSStat st;
  if (!osStat(std::string(root), &st) || st.type != cFSType::kDir) return nullptr;
  return std::make_unique<cFS>(root, std::make_unique<OsBackend>());
}

bool cFS_os_getCwd(std::string* out) {
  if (out == nullptr) return false;
  out->clear();
  // Start at 2048 bytes and grow for deeper working directories.
  for (size_t room = 2048; room <= (1u << 20); room *= 2) {
    std::vector<char> buf(room);
    if (::getcwd(buf.data(), buf.size()) != nullptr) {
      out->assign(buf.data());
      return true;
    }
    if (errno != ERANGE) return false;
  }
  return false;
}

void cFS_os_normalizePath(std::string* path) {
  if (path == nullptr) return;
  std::string& p = *path;
  for (char& c : p)
    if (c == '\\') c = '/';
  std::string once;
  once.reserve(p.size());
  for (size_t i = 0; i < p.size(); ++i) {
    once.push_back(p[i]);
    if (p[i] == '/' && i + 1 < p.size() && p[i + 1] == '/') ++i;
  }
  p.swap(once);

  if (!cFS_os_isPathAbsolute(p)) {
    std::string cwd;
    if (!cFS_os_getCwd(&cwd)) return;
    std::unique_ptr<cFS> fs = cFS_os_ctor(cwd);
    if (!fs) return;
    std::string absolute;
    fs->relativeToAbsolutePath(p, &absolute);
    p.swap(absolute);
  }

  cFSStat st;
  bool ok = osStat(p, &st);
  if (!ok && p.size() > 1 && p.back() == '/') {
    // "file/" does not stat (not a directory); the file itself does.
    ok = osStat(p.substr(0, p.size() - 1), &st) && st.type == cFSType::kFile;
  }
  if (!ok) {
    LOG_ERROR("Could not stat path %s: %s", p.c_str(), std::strerror(errno));
    return;
  }
  if (st.type == cFSType::kDir) {
    if (p.empty() || p.back() != '/') p.push_back('/');
  } else if (st.type == cFSType::kFile) {
    if (!p.empty() && p.back() == '/') p.pop_back();
  }
}
