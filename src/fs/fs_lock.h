// Advisory locks on byte ranges of a lock file, so that processes (on this
// machine, or on others sharing the folder over a network file system) can
// tell whether another one works on the same thing.  The locks belong to the
// open file (fcntl F_OFD_SETLK), so they conflict between two opens in one
// process too, and the system drops them when the process ends in any way.
//
// The file is made when missing and removed by the last holder that lets go
// (one that can then lock it whole).  A process that locks a file removed
// meanwhile finds the name gone, or naming another file, and locks again.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class cFSLock {
 public:
  cFSLock(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~cFSLock();
  cFSLock(const cFSLock&) = delete;
  cFSLock& operator=(const cFSLock&) = delete;

 private:
  int fd_;
  std::string path_;
};

enum class cFSLockResult { kHeld, kBusy, kFailed };

// Locks `length` bytes at `start` of the file at `path` for writing (length
// 0: from `start` on, however long the file grows), without waiting.
// kHeld with *out set; kBusy when another open holds a lock on part of that
// range; kFailed (errno says why) when the file cannot be made or opened or
// its system keeps no locks.
cFSLockResult cFSLock_acquire(const std::string& path, uint64_t start, uint64_t length,
                              std::unique_ptr<cFSLock>* out);
