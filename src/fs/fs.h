// Access to a directory tree: a file-system object is a root path plus a
// backend that performs stat, list, make-directory, remove, open, truncate,
// rename and sync, and tells whether closing a written file may report an
// error.  Every path handed to an operation is relative to the
// root; the object composes the full path (root + "/" + path, one slash
// between them) before it calls the backend.  Failing operations leave the
// reason in errno.
//
// Two backends exist: the operating system (cFS_os_ctor) and a do-nothing one
// (cFS_ctor) whose operations all fail.  Next to the object there are pure
// path helpers (file name, extension, parent folder) that return
// views into their argument, and three operating-system helpers (current
// directory, absolute-path test, path normalisation).
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "io/io.h"

// What a path names.  The numbers are part of the walker's contract.
enum class cFSType : uint32_t {
  kOther = 0,    // exists but is neither a regular file nor a directory
  kFile = 1,     // regular file
  kDir = 2,      // directory
  kMissing = 3,  // does not exist
};

// Result of a stat.  `size` is the byte size of a regular file, else 0.
// `device` and `inode` identify the object (0 when the backend has none); the
// walkers use them to notice folders that loop back to a parent.
struct cFSStat {
  cFSType type = cFSType::kOther;
  uint64_t size = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
};

// Order of entry names: byte-wise, as zero-terminated strings (strcmp
// order: "B.mf4" before "a.mf4", "a" before "a.b").
struct cFSNameOrder {
  bool operator()(const std::string& a, const std::string& b) const {
    return std::strcmp(a.c_str(), b.c_str()) < 0;
  }
};

// A listing: entry name -> stat record, in byte-wise name order.  Adding a
// name that is already present keeps the existing entry.
using cFSListing = std::map<std::string, cFSStat, cFSNameOrder>;

// Backend operations on full paths.  The defaults are the do-nothing backend:
// stat, ls, mkdir, rm, truncate, rename and sync fail, open yields no stream.
class cFSBackend {
 public:
  cFSBackend() = default;
  cFSBackend(const cFSBackend&) = delete;
  cFSBackend& operator=(const cFSBackend&) = delete;
  virtual ~cFSBackend() = default;

  // True and *out filled on success; false leaves *out unchanged.
  virtual bool stat(const std::string& /*fullPath*/, cFSStat* /*out*/) { return false; }
  // Adds the entries of the directory (bare names) to *out.  False when the
  // directory, or one of its entries, could not be read (logged with the
  // system's reason); the entries that could be read are added all the same.
  virtual bool ls(const std::string& /*fullPath*/, cFSListing* /*out*/) { return false; }
  // Makes one directory; false (errno set) when it cannot, also when the
  // path exists already (EEXIST): true means it was not there before.
  virtual bool mkdir(const std::string& /*fullPath*/) { return false; }
  virtual bool rm(const std::string& /*fullPath*/) { return false; }
  // flags: cFS::kRead, kWrite, kAppend.  Null on failure.
  virtual std::unique_ptr<cIO> open(const std::string& /*fullPath*/, int /*flags*/) {
    return nullptr;
  }
  // Cuts a regular file to `length` bytes.
  virtual bool truncate(const std::string& /*fullPath*/, uint64_t /*length*/) { return false; }
  // Renames `from` to `to`, replacing `to` atomically when it exists.
  virtual bool rename(const std::string& /*from*/, const std::string& /*to*/) { return false; }
  // Flushes a file's data, or a folder's entries, to stable storage.
  virtual bool sync(const std::string& /*fullPath*/) { return false; }
  // False when closing a written file below `fullPath` never reports an
  // error its writes did not (local file systems); true when it may (a
  // network file system sends the data at close) or when it is not known.
  virtual bool closeReportsWriteErrors(const std::string& /*fullPath*/) { return true; }
};

class cFS {
 public:
  static constexpr int kRead = 1;
  static constexpr int kWrite = 2;
  static constexpr int kAppend = 4;  // write only, at the end, creating the file

  // `backend` null means the do-nothing backend.  The root is stored as given.
  cFS(std::string_view root, std::unique_ptr<cFSBackend> backend);
  cFS(const cFS&) = delete;
  cFS& operator=(const cFS&) = delete;

  // Stat of root/path.  Missing is a success (type kMissing); false only when
  // the query itself fails (out unchanged) or `out` is null.
  [[nodiscard]] bool stat(std::string_view path, cFSStat* out) const;

  // Adds the files and directories of root/path to *out.  An unreadable or
  // missing directory adds nothing and gives false, as does an entry whose
  // type cannot be queried (the others are still added).  Entries whose names
  // are paths beginning with the root are made relative to it.
  [[nodiscard]] bool ls(std::string_view path, cFSListing* out) const;

  // True when root/path is a directory afterwards (mode 0700 when created);
  // false when something else is in the way or creation fails.  *created
  // (may be null) tells whether this call made it: it was not there before.
  [[nodiscard]] bool mkdir(std::string_view path, bool* created = nullptr) const;
  // Creates every level of the "/"-separated path; empty parts are skipped.
  // True when every level exists afterwards (an empty path: true).
  [[nodiscard]] bool mkdirs(std::string_view path) const;

  // Removes a file or an empty directory; false on failure.
  [[nodiscard]] bool remove(std::string_view path) const;

  // Opens root/path; flags bit 0 read, bit 1 write (read+write needs an
  // existing file, write alone truncates), or kAppend alone (every write goes
  // to the end; the file is created when missing; no buffer).  Null on
  // failure or no flag.
  std::unique_ptr<cIO> open(std::string_view path, int flags) const;

  // Cuts the file root/path to `length` bytes; false on failure.
  [[nodiscard]] bool truncate(std::string_view path, uint64_t length) const;
  // Renames root/from to root/to (replacing it); false on failure.
  [[nodiscard]] bool rename(std::string_view from, std::string_view to) const;
  // Flushes the file or folder root/path to stable storage (fsync); the path
  // "" is the root folder itself.  False on failure.
  [[nodiscard]] bool sync(std::string_view path) const;
  // See cFSBackend::closeReportsWriteErrors; "" is the root folder.
  bool closeReportsWriteErrors(std::string_view path) const;

  // Appends the full path of `path` to *out; the path ".." appends nothing.
  void relativeToAbsolutePath(std::string_view path, std::string* out) const;

 private:
  std::string fullPath(std::string_view path) const;

  std::string root_;
  std::unique_ptr<cFSBackend> backend_;
};

// Object with the do-nothing backend.
std::unique_ptr<cFS> cFS_ctor(std::string_view root);
// The operating-system backend, for wrapping.
std::unique_ptr<cFSBackend> cFS_os_backend();
// Object with the operating-system backend; null unless `root` is an existing
// directory.
std::unique_ptr<cFS> cFS_os_ctor(std::string_view root);

// Path helpers: pure, no file access; the result views `path`.
// Text after the last "/" (all of it without "/"; empty when it ends in "/").
std::string_view cFS_getFileName(std::string_view path);
// Of the file name, the text after its last "." (the whole name without ".";
// empty when it ends in ".").
std::string_view cFS_getExtension(std::string_view path);
// Prefix up to and including the last "/"; empty without "/".
std::string_view cFS_getParentFolder(std::string_view path);

// Current working directory into *out; false on failure (*out then empty).
[[nodiscard]] bool cFS_os_getCwd(std::string* out);
// Length at least 1 and a leading "/".
bool cFS_os_isPathAbsolute(std::string_view path);
// In place: "\" -> "/", "//" -> "/" (one pass), relative paths made absolute
// against the current directory, then a trailing "/" added to a directory and
// removed from a regular file.  "." and ".." are not resolved.  Logs "Could
// not stat path %s: <reason>" when the path cannot be queried.
void cFS_os_normalizePath(std::string* path);
