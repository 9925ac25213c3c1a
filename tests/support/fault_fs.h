// Test helper: a file-system backend over the real one that records every
// change it makes (writes, flushes, renames, removals, truncations) in order
// and every path it is asked about (stat), and can be told to fail the n-th
// operation of a kind with an errno.
//
//   auto shared = std::make_shared<FaultLog>(dir);
//   shared->failAt = {"write", "CAN1_M", 3, ENOSPC};  // its third write fails
//   cFS fs(dir, std::make_unique<FaultBackend>(shared));
//   ... shared->ops: {"write .lograven-journal", "sync .lograven-journal", ...}
#pragma once

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "fs/fs.h"

struct FaultLog {
  struct Fault {
    std::string kind;  // "write", "close", "sync", "rename", "open", "rm", "truncate"
    std::string path;  // counted only on paths that contain this text
    int nth = 0;       // 1-based; 0: never
    int error = EIO;
  };
  explicit FaultLog(std::string r) : root(std::move(r)) {}
  std::string root;                  // cut from the front of recorded paths
  std::vector<std::string> ops;      // "kind path" of every change, in order
  std::vector<std::string> stats;    // paths asked about, in order
  Fault failAt;
  int matches = 0;  // operations that matched failAt so far
  // Reads of files fail with EIO from this byte on (-1: never), as on a
  // failing card.
  int64_t failReadsFrom = -1;
  // What the backend says of closing (see cFSBackend::closeReportsWriteErrors).
  bool closeReportsWriteErrors = true;

  // Records the operation (a close only when it fails: it changes nothing);
  // false (errno set) when it is the one to fail.
  std::string relative(const std::string& fullPath) const {
    std::string path = fullPath.compare(0, root.size(), root) == 0 ? fullPath.substr(root.size()) : fullPath;
    if (!path.empty() && path.front() == '/') path.erase(0, 1);
    return path;
  }
  bool pass(const std::string& kind, const std::string& fullPath) {
    const std::string path = relative(fullPath);
    if (kind == failAt.kind && path.find(failAt.path) != std::string::npos && ++matches == failAt.nth) {
      errno = failAt.error;
      ops.push_back("FAILED " + kind + " " + path);
      return false;
    }
    if (kind != "close") ops.push_back(kind + " " + path);
    return true;
  }
};

class FaultBackend final : public cFSBackend {
 public:
  explicit FaultBackend(std::shared_ptr<FaultLog> log) : log_(std::move(log)), os_(cFS_os_backend()) {}

  bool stat(const std::string& p, cFSStat* out) override {
    log_->stats.push_back(log_->relative(p));
    return os_->stat(p, out);
  }
  bool ls(const std::string& p, cFSListing* out) override { return os_->ls(p, out); }
  bool mkdir(const std::string& p) override { return os_->mkdir(p); }
  bool rm(const std::string& p) override { return log_->pass("rm", p) && os_->rm(p); }
  bool truncate(const std::string& p, uint64_t n) override { return log_->pass("truncate", p) && os_->truncate(p, n); }
  bool rename(const std::string& a, const std::string& b) override { return log_->pass("rename", a) && os_->rename(a, b); }
  bool sync(const std::string& p) override { return log_->pass("sync", p) && os_->sync(p); }
  bool closeReportsWriteErrors(const std::string&) override { return log_->closeReportsWriteErrors; }
  std::unique_ptr<cIO> open(const std::string& p, int flags) override {
    if (flags == cFS::kRead) {
      std::unique_ptr<cIO> in = os_->open(p, flags);
      return in && log_->failReadsFrom >= 0 ? std::make_unique<FailingReads>(std::move(in), log_->failReadsFrom) : std::move(in);
    }
    if (!log_->pass("open", p)) return nullptr;
    std::unique_ptr<cIO> inner = os_->open(p, flags);
    return inner ? std::make_unique<Stream>(std::move(inner), log_, p) : nullptr;
  }

 private:
  class Stream final : public cIO {
   public:
    Stream(std::unique_ptr<cIO> inner, std::shared_ptr<FaultLog> log, std::string path)
        : inner_(std::move(inner)), log_(std::move(log)), path_(std::move(path)) {}
    int64_t write(const void* src, int64_t n) override {
      return inner_ && log_->pass("write", path_) ? inner_->write(src, n) : -1;
    }
    int32_t close() override {
      if (!inner_) return 0;
      const bool fails = !log_->pass("close", path_);
      const int err = errno;
      const int32_t r = inner_->close();
      inner_.reset();
      if (!fails) return r;
      errno = err;  // a network file system's late write error
      return -1;
    }

   private:
    std::unique_ptr<cIO> inner_;
    std::shared_ptr<FaultLog> log_;
    std::string path_;
  };
  class FailingReads final : public cIO {
   public:
    FailingReads(std::unique_ptr<cIO> inner, int64_t from) : inner_(std::move(inner)), from_(from) {}
    int64_t read(void* dst, int64_t n) override {
      if (inner_->tell() + n <= from_) return inner_->read(dst, n);
      error_ = errno = EIO;
      return -1;
    }
    int64_t tell() override { return inner_->tell(); }
    int64_t seek(int64_t offset, int32_t origin) override { return inner_->seek(offset, origin); }
    int64_t getSize() override { return inner_->getSize(); }
    int32_t close() override { return inner_->close(); }
    int readError() const override { return error_; }

   private:
    std::unique_ptr<cIO> inner_;
    int64_t from_;
    int error_ = 0;
  };

  std::shared_ptr<FaultLog> log_;
  std::unique_ptr<cFSBackend> os_;
};
