#include "fs/fs.h"

#include <algorithm>
#include <cerrno>

cFS::cFS(std::string_view root, std::unique_ptr<cFSBackend> backend)
    : root_(root), backend_(backend ? std::move(backend) : std::make_unique<cFSBackend>()) {}

std::unique_ptr<cFS> cFS_ctor(std::string_view root) {
  return std::make_unique<cFS>(root, nullptr);
}

std::string cFS::fullPath(std::string_view path) const {
  if (path.empty()) return root_;
  if (root_.empty()) return std::string(path);
  std::string full;
  full.reserve(root_.size() + 1 + path.size());
  full.append(root_);
  if (full.back() != '/') full.push_back('/');
  full.append(path.front() == '/' ? path.substr(1) : path);
  return full;
}

bool cFS::stat(std::string_view path, cFSStat* out) const {
  if (out == nullptr) return false;
  return backend_->stat(fullPath(path), out);
}

bool cFS::ls(std::string_view path, cFSListing* out) const {
  if (out == nullptr) return false;
  cFSListing found;
  const bool complete = backend_->ls(fullPath(path), &found);
  for (auto& [name, st] : found) {
    std::string key = name;
    // Backends that report full paths get them cut back to root-relative
    // names.  Bare names (no "/") are never touched, so a file whose name
    // merely starts with the root's text keeps its name.
    if (!root_.empty() && key.find('/') != std::string::npos &&
        key.compare(0, root_.size(), root_) == 0) {
      key.erase(0, root_.size());
      if (!key.empty() && key.front() == '/') key.erase(0, 1);
    }
    out->emplace(std::move(key), st);
  }
  return complete;
}

bool cFS::mkdir(std::string_view path, bool* created) const {
  // Made at the first try in the common case; a failure is looked at
  // afterwards: the folder may exist already (made earlier, or by another
  // thread or process in the meantime) or something else may be in the way.
  const bool made = backend_->mkdir(fullPath(path));
  if (created != nullptr) *created = made;
  if (made) return true;
  const int err = errno;
  cFSStat st;
  if (!stat(path, &st)) return false;
  if (st.type == cFSType::kDir) return true;
  errno = st.type == cFSType::kMissing ? err : ENOTDIR;
  return false;
}

bool cFS::mkdirs(std::string_view path) const {
  // The prefix joins the non-empty parts with single slashes, so that the
  // levels are root/a, root/a/b (and a, a/b with an empty root, never /a).
  std::string prefix;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    if (end > pos) {
      if (!prefix.empty()) prefix.push_back('/');
      prefix.append(path.substr(pos, end - pos));
      if (!mkdir(prefix)) return false;
    }
    pos = end + 1;
  }
  return true;
}

bool cFS::remove(std::string_view path) const { return backend_->rm(fullPath(path)); }

std::unique_ptr<cIO> cFS::open(std::string_view path, int flags) const {
  return backend_->open(fullPath(path), flags);
}

bool cFS::truncate(std::string_view path, uint64_t length) const {
  return backend_->truncate(fullPath(path), length);
}

bool cFS::rename(std::string_view from, std::string_view to) const {
  return backend_->rename(fullPath(from), fullPath(to));
}

bool cFS::sync(std::string_view path) const { return backend_->sync(fullPath(path)); }

bool cFS::closeReportsWriteErrors(std::string_view path) const {
  return backend_->closeReportsWriteErrors(fullPath(path));
}

void cFS::relativeToAbsolutePath(std::string_view path, std::string* out) const {
  if (out == nullptr || path == "..") return;
  out->append(fullPath(path));
}
