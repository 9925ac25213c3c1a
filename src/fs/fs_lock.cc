#include "fs/fs_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool setLock(int fd, short type, uint64_t start, uint64_t length) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(start);
  lock.l_len = static_cast<off_t>(length);
  int rc;
  do rc = ::fcntl(fd, F_OFD_SETLK, &lock);
  while (rc != 0 && errno == EINTR);
  return rc == 0;
}

// The name still leads to the file `fd` has open.
bool stillNamed(int fd, const std::string& path) {
  struct stat opened {}, named {};
  return ::fstat(fd, &opened) == 0 && ::stat(path.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

}  // namespace

cFSLock::~cFSLock() {
  // Whole only when no other open holds a lock: then nobody needs the name.
  if (setLock(fd_, F_WRLCK, 0, 0)) ::unlink(path_.c_str());
  ::close(fd_);
}

cFSLockResult cFSLock_acquire(const std::string& path, uint64_t start, uint64_t length,
                              std::unique_ptr<cFSLock>* out) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return cFSLockResult::kFailed;
    if (!setLock(fd, F_WRLCK, start, length)) {
      const int error = errno;
      ::close(fd);
      errno = error;
      return error == EAGAIN || error == EACCES ? cFSLockResult::kBusy : cFSLockResult::kFailed;
    }
    if (stillNamed(fd, path)) {
      *out = std::make_unique<cFSLock>(fd, path);
      return cFSLockResult::kHeld;
    }
    ::close(fd);  // its last holder removed it meanwhile
  }
  errno = EAGAIN;
  return cFSLockResult::kBusy;
}
