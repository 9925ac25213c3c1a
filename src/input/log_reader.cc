#include "input/log_reader.h"

#include <algorithm>
#include <cctype>

#include "app/log.h"

namespace {

bool isLogFileExtension(std::string_view extension) {
  if (extension.size() != 3) return false;
  std::string lower(extension);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower == "mf4" || lower == "mfc" || lower == "mfe" || lower == "mfm";
}

}  // namespace

std::unique_ptr<cLogReader> cLogReader_ctor(cFS* inputFs, const cLogReaderOptions* options,
                                            cBusLayer* head) {
  if (inputFs == nullptr || options == nullptr || head == nullptr) return nullptr;
  return std::make_unique<cLogReader>(inputFs, options, head);
}

cLogReader::cLogReader(cFS* inputFs, const cLogReaderOptions* options, cBusLayer* head)
    : inputFs_(inputFs), options_(options), head_(head) {}

cLogReader::~cLogReader() = default;

int32_t cLogReader::process(const std::vector<std::string>& inputs) {
  int32_t result = 0;
  for (const std::string& input : inputs) {
    if (!options_->noAppendRoot) {
      cFSStat st;
      if (!inputFs_->stat(input, &st)) {
        LOG_FATAL("Could not query %.*s for information", static_cast<int>(input.size()),
                  input.data());
        return 0x81;
      }
    }
    result |= handleInputPath(input);
  }
  return result;
}

int32_t cLogReader::handleInputPath(const std::string& path) {
  cFSStat st;
  if (!inputFs_->stat(path, &st)) {
    LOG_FATAL("Error during stat of %.*s, exiting", static_cast<int>(path.size()), path.data());
    return 0;
  }
  switch (st.type) {
    case cFSType::kMissing:
      LOG_WARN("Could not find input file/folder %.*s", static_cast<int>(path.size()),
               path.data());
      return 1;
    case cFSType::kOther:
      return 0x81;
    case cFSType::kDir:
      return handleFolder(path, st);
    case cFSType::kFile:
      break;
  }
  if (!isLogFileExtension(cFS_getExtension(path))) return 0;
  ++files_;
  bytes_ += st.size;
  LOG_DEBUG("Input file %.*s", static_cast<int>(path.size()), path.data());
  return convertFile(path, st);
}

int32_t cLogReader::handleFolder(const std::string& path, const cFSStat& st) {
  const std::pair<uint64_t, uint64_t> id{st.device, st.inode};
  if (st.inode != 0 &&
      std::find(openFolders_.begin(), openFolders_.end(), id) != openFolders_.end()) {
    LOG_WARN("Skipping folder %.*s: it leads back to a folder above it",
             static_cast<int>(path.size()), path.data());
    return 0;
  }
  cFSListing entries;
  inputFs_->ls(path, &entries);
  openFolders_.push_back(id);
  int32_t result = 0;
  std::string child;
  for (const auto& [name, entry] : entries) {
    child = path;
    if (!child.empty() && child.back() != '/') child.push_back('/');
    child.append(name);
    result |= handleInputPath(child);
  }
  openFolders_.pop_back();
  return result;
}

int32_t cLogReader::convertFile(const std::string& /*path*/, const cFSStat& /*st*/) {
  // Opening and converting the file comes with the MDF reader.
  return 0;
}
