#include "output/output_test_support.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "base/log.h"

namespace {
std::vector<std::string>& capturedLines() {
  static std::vector<std::string> lines;
  return lines;
}
void captureLine(const char* line, int len) { capturedLines().emplace_back(line, len); }
}  // namespace

TempDir::TempDir() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/lograven_out_XXXXXX";
  char* made = mkdtemp(pattern.data());
  if (made != nullptr) path_ = made;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::vector<std::string> listFiles(const std::string& root) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file()) out.push_back(std::filesystem::relative(it->path(), root).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

LogCapture::LogCapture() {
  capturedLines().clear();
  zf_log_set_output_callback(captureLine);
}
LogCapture::~LogCapture() { zf_log_set_output_callback(nullptr); }
const std::vector<std::string>& LogCapture::lines() const { return capturedLines(); }
bool LogCapture::contains(const std::string& text) const {
  for (const auto& l : capturedLines())
    if (l.find(text) != std::string::npos) return true;
  return false;
}
