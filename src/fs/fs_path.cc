#include "fs/fs.h"

std::string_view cFS_getFileName(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return path;
  return path.substr(slash + 1);
}

std::string_view cFS_getExtension(std::string_view path) {
  std::string_view name = cFS_getFileName(path);
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return name;
  return name.substr(dot + 1);
}

std::string_view cFS_getParentFolder(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return path.substr(0, 0);
  return path.substr(0, slash + 1);
}

bool cFS_os_isPathAbsolute(std::string_view path) { return !path.empty() && path[0] == '/'; }
