#include "input/log_reader.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/exit_status.h"
#include "base/interrupt.h"
#include "base/log.h"
#include "input/encrypted_file.h"
#include "input/generic_file.h"
#include "input/unwrap_cache.h"
#include "mdf/mdf_file.h"

namespace {

// A compressed container could in principle unpack to itself; this bounds
// the unwrapping of one file.
constexpr int kMaxContainerDepth = 256;

// Rows of an input when no transaction counts them.
constexpr uint64_t kUnknownRows = UINT64_MAX;

// Decimal number at the start of `text` (after white space), truncated to 32
// bits; 0 when there is none.
uint32_t parseUnsigned(const std::string& text) {
  return static_cast<uint32_t>(std::strtoull(text.c_str(), nullptr, 10));
}

// A failure's reason when nothing was logged for it (a quiet verbosity).
const char* statusReason(int32_t code) {
  switch (code) {
    case kExitNoPassword: return "no password for its device, or decryption failed";
    case kExitDecompression: return "decompression failed";
    default: return "conversion failed";
  }
}

bool isLogFileExtension(std::string_view extension) {
  if (extension.size() != 3) return false;
  std::string lower(extension);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower == "mf4" || lower == "mfc" || lower == "mfe" || lower == "mfm";
}

}  // namespace

std::unique_ptr<cLogReader> cLogReader_ctor(cFS* inputFs, const cLogReaderOptions* options,
                                            cBusLayer* head, cInputTransaction* transaction) {
  if (inputFs == nullptr || options == nullptr || head == nullptr) return nullptr;
  return std::make_unique<cLogReader>(inputFs, options, head, transaction);
}

cLogReader::cLogReader(cFS* inputFs, const cLogReaderOptions* options, cBusLayer* head,
                       cInputTransaction* transaction)
    : inputFs_(inputFs), options_(options), head_(head), transaction_(transaction) {}

cLogReader::~cLogReader() = default;

int32_t cLogReader::process(const std::vector<std::string>& inputs) {
  int32_t result = 0;
  for (const std::string& input : inputs) {
    cFSStat st;
    if (!options_->noAppendRoot) {
      if (!inputFs_->stat(input, &st)) {
        const int err = errno;
        LOG_FATAL("Could not query %s for information: %s", fullPath(input).c_str(),
                  std::strerror(err));
        addFailure(input, std::string("could not be queried for information: ") +
                              std::strerror(err));
        return kExitNotFileOrFolder;
      }
    }
    result |= handleInputPath(input, options_->noAppendRoot ? nullptr : &st);
  }
  return result;
}

int32_t cLogReader::handleInputPath(const std::string& path, const cFSStat* known) {
  if (cInterrupt_requested()) {
    interrupted_ = true;
    return kExitOk;
  }
  cFSStat st;
  if (known != nullptr) {
    st = *known;
  } else if (!inputFs_->stat(path, &st)) {
    // Reported in the exit status: the input was not converted.
    const int err = errno;
    LOG_FATAL("Error during stat of %s: %s", fullPath(path).c_str(), std::strerror(err));
    addFailure(path, std::string("its type could not be queried: ") + std::strerror(err));
    return kExitNotFileOrFolder;
  }
  switch (st.type) {
    case cFSType::kMissing:
      LOG_WARN("Could not find input file/folder %s", fullPath(path).c_str());
      addFailure(path, "not found");
      return kExitMissingInput;
    case cFSType::kOther:
      LOG_ERROR("Input %s is neither a file nor a folder", fullPath(path).c_str());
      addFailure(path, "neither a file nor a folder");
      return kExitNotFileOrFolder;
    case cFSType::kDir:
      return handleFolder(path, st);
    case cFSType::kFile:
      break;
  }
  if (!isLogFileExtension(cFS_getExtension(path))) return kExitOk;
  ++files_;
  bytes_ += st.size;
  if (surveying_) return kExitOk;
  LOG_DEBUG("Input file %.*s", static_cast<int>(path.size()), path.data());
  zf_log_clear_first_error();
  if (visitor_) return visitor_(path, st.size);
  if (observer_ != nullptr) observer_->inputStarted(st.size);
  const int32_t result = convertFile(path, st);
  if (observer_ != nullptr) observer_->inputDone();
  return result;
}

cInputTotals cLogReader::survey(const std::vector<std::string>& inputs) {
  const uint64_t files = files_;
  const uint64_t bytes = bytes_;
  cLogQuiet quiet;  // the conversion reports what it finds
  surveying_ = true;
  for (const std::string& input : inputs) (void)handleInputPath(input);
  surveying_ = false;
  const cInputTotals totals{files_ - files, bytes_ - bytes};
  files_ = files;
  bytes_ = bytes;
  return totals;
}

void cLogReader::addFailure(const std::string& path, std::string reason) {
  if (surveying_) return;
  cInputFailure failure{std::string(), std::move(reason)};
  inputFs_->relativeToAbsolutePath(path, &failure.path);
  failures_.push_back(std::move(failure));
}

int32_t cLogReader::handleFolder(const std::string& path, const cFSStat& st) {
  const std::pair<uint64_t, uint64_t> id{st.device, st.inode};
  if (st.inode != 0 &&
      std::find(openFolders_.begin(), openFolders_.end(), id) != openFolders_.end()) {
    LOG_WARN("Skipping folder %.*s: it leads back to a folder above it",
             static_cast<int>(path.size()), path.data());
    return kExitOk;
  }
  // A folder that cannot be read whole fails, with the reason logged first;
  // what could be read still converts.
  cFSListing entries;
  int32_t result = kExitOk;
  zf_log_clear_first_error();
  if (!inputFs_->ls(path, &entries)) {
    result = kExitConversion;
    const char* firstError = zf_log_first_error();
    addFailure(path, *firstError != '\0' ? firstError : "could not be read whole");
  }
  openFolders_.push_back(id);
  std::string child;
  for (const auto& [name, entry] : entries) {
    child = path;
    if (!child.empty() && child.back() != '/') child.push_back('/');
    child.append(name);
    // A walk that converts nothing (planning, surveying) visits each entry
    // as the listing found it; a conversion asks again, as a file may have
    // changed while the files before it converted.
    result |= handleInputPath(child, visitor_ || surveying_ ? &entry : nullptr);
  }
  openFolders_.pop_back();
  return result;
}

std::string cLogReader::fullPath(const std::string& path) const {
  std::string full;  // the whole path, as the user would look for it
  inputFs_->relativeToAbsolutePath(path, &full);
  return full;
}

int32_t cLogReader::failFile(const std::string& path, int32_t code) {
  const char* firstError = zf_log_first_error();
  addFailure(path, *firstError != '\0' ? firstError : statusReason(code));
  LOG_ERROR("Error during conversion of %s", fullPath(path).c_str());
  if (transaction_ != nullptr) transaction_->failed(path, code);
  return code;
}

int32_t cLogReader::openInput(const std::string& path, const cFSStat& st,
                              std::unique_ptr<cIO>& stream) {
  if (unwrapCache_ != nullptr && (stream = unwrapCache_->take(path, &unwrappedLayers_))) {
    // The messages of unwrapping, as if it happened now.
    for (uint8_t layer : unwrappedLayers_)
      LOG_INFO("Found %s file %s", layer == kGenericFileTypeCompressed ? "compressed" : "encrypted",
               path.c_str());
    auto has = [this](uint8_t type) {
      return std::find(unwrappedLayers_.begin(), unwrappedLayers_.end(), type) !=
             unwrappedLayers_.end();
    };
    unwrappedCompressed_ = has(kGenericFileTypeCompressed);
    unwrappedEncrypted_ = has(kGenericFileTypeEncrypted);
    inputBytesRead_ = st.size;
    if (observer_ != nullptr) observer_->inputRead(inputBytesRead_);
    return kExitOk;
  }
  errno = 0;
  stream = inputFs_->open(path, cFS::kRead);
  if (!stream) {
    const int err = errno != 0 ? errno : EIO;
    LOG_ERROR("Could not open input file %s: %s", fullPath(path).c_str(), std::strerror(err));
    return kExitConversion;
  }
  if (observer_ != nullptr) {
    inputBytesRead_ = 0;
    stream = cIO_counted_ctor(std::move(stream), &inputBytesRead_,
                              [this] { observer_->inputRead(inputBytesRead_); });
  }
  int64_t bufferSize = options_->bufferSize < 0 ? stream->getSize() : options_->bufferSize;
  if (bufferSize >= 1) {
    stream = cIO_bufferAlloc_ctor(std::move(stream), bufferSize);  // closes the file on failure
    if (!stream) {
      LOG_ERROR("Could not allocate buffer of size %zd", static_cast<ssize_t>(bufferSize));
      return kExitConversion;
    }
  }
  return unwrapContainers(path, stream);
}

int32_t cLogReader::convertFile(const std::string& path, const cFSStat& st) {
  std::unique_ptr<cIO> stream;
  int32_t result = openInput(path, st, stream);
  bool repeated = false;
  uint64_t rows = 0;
  if (result == 0) result = convertMdf(path, stream, &repeated, &rows);
  if (result != 0) return failFile(path, result);
  // A repeated file was not converted this time, so it is kept.
  if (options_->deleteConverted && !repeated && !interrupted_) {
    removeInput(path, rows);
    if (transaction_ != nullptr) transaction_->finish();
  }
  return kExitOk;
}

void cLogReader::removeInput(const std::string& path, uint64_t rows) {
  if (rows == 0) {
    LOG_WARN("Input file %.*s is kept: no row was decoded from it (no database for its channels?)",
             static_cast<int>(path.size()), path.data());
    return;
  }
  if (!inputFs_->remove(path)) {
    LOG_ERROR("Could not remove input file after conversion: %.*s", static_cast<int>(path.size()),
              path.data());
    return;
  }
  // The removal must not come back after a power loss once later inputs
  // have continued this one's files.
  (void)inputFs_->sync(cFS_getParentFolder(path));
}

int32_t cLogReader::finishInput(const std::string& path, int32_t result, uint64_t* rows) {
  if (transaction_ == nullptr) {
    *rows = kUnknownRows;
    return result;
  }
  *rows = transaction_->pendingRows();
  if (result == kExitOk && !interrupted_ &&
      transaction_->commit(options_->deleteConverted && *rows > 0))
    return kExitOk;
  transaction_->rollback();
  if (*rows > 0)
    LOG_WARN("%s: the rows of %.*s were rolled back", interrupted_ ? "Interrupted" : "Failed",
             static_cast<int>(path.size()), path.data());
  *rows = 0;
  return result == kExitOk && !interrupted_ ? kExitConversion : result;
}

int32_t cLogReader::unwrapContainers(const std::string& path, std::unique_ptr<cIO>& stream) {
  int storageError = 0;
  cGenericFileUnpack unpack;
  unpack.storageError = &storageError;
  if (options_->bufferSize > 0) unpack.memoryBytes = static_cast<uint64_t>(options_->bufferSize);
  if (options_->unpackMemory > 0) unpack.memoryBytes = options_->unpackMemory;
  unpack.folder = options_->unpackFolder;
  unwrappedCompressed_ = unwrappedEncrypted_ = false;
  unwrappedLayers_.clear();
  for (int depth = 0;; ++depth) {
    cGenericFileHeader header;
    if (!cGenericFile_readHeader(stream.get(), &header)) return kExitOk;
    if (depth == kMaxContainerDepth) {
      LOG_ERROR("Too many nested containers");
      return kExitConversion;
    }
    std::unique_ptr<cIO> inner;
    unwrappedLayers_.push_back(header.containerType);
    if (header.containerType == kGenericFileTypeCompressed) {
      LOG_INFO("Found compressed file %s", path.c_str());
      unwrappedCompressed_ = true;
      inner = cGenericFile_compressed_open(stream.get(), header, unpack);
      if (!inner && storageError != 0) return failStorage(storageError);
      if (!inner && stream->readError() != 0) return failRead(path, stream->readError());
      if (!inner) {
        LOG_ERROR("Could not decompress file");
        return kExitDecompression;
      }
    } else if (header.containerType == kGenericFileTypeEncrypted) {
      LOG_INFO("Found encrypted file %s", path.c_str());
      unwrappedEncrypted_ = true;
      const std::string* password = findPassword(header.deviceId);
      if (password == nullptr) {
        LOG_ERROR("No password found for device %08X", header.deviceId);
        return kExitNoPassword;
      }
      inner = cGenericFile_encrypted_open(stream.get(), header,
                                          reinterpret_cast<const uint8_t*>(password->data()),
                                          password->size(), unpack);
      if (!inner && storageError != 0) return failStorage(storageError);
      if (!inner && stream->readError() != 0) return failRead(path, stream->readError());
      if (!inner) {
        LOG_ERROR("Could not decrypt file");
        return kExitNoPassword;
      }
    } else {
      LOG_ERROR("Unknown container type 0x%02X", header.containerType);
      return kExitConversion;
    }
    cIO_close(stream);
    stream = std::move(inner);
  }
}

int32_t cLogReader::failRead(const std::string& path, int error) const {
  LOG_ERROR("Could not read input file %s: %s", fullPath(path).c_str(), std::strerror(error));
  return kExitConversion;
}

int32_t cLogReader::failStorage(int error) const {
  const std::string& folder = options_->unpackFolder;
  LOG_ERROR("Could not store the unwrapped contents in a temporary file in %s%s: %s",
            folder.empty() ? "" : (folder + " or ").c_str(), "the system's temporary folder",
            std::strerror(error));
  return kExitConversion;
}

const std::string* cLogReader::findPassword(uint32_t deviceId) const {
  const auto& passwords = options_->passwords;
  if (passwords.empty()) return nullptr;
  char key[16];
  std::snprintf(key, sizeof key, "%08X", deviceId);
  auto it = passwords.find(key);
  if (it == passwords.end()) it = passwords.find("default");
  return it == passwords.end() ? nullptr : &it->second;
}

int32_t cLogReader::convertMdf(const std::string& path, std::unique_ptr<cIO>& stream,
                               bool* repeatedFile, uint64_t* rows) {
  std::unique_ptr<cMdf> mdf = cMdf_open(stream.get());
  if (!mdf && stream->readError() != 0) return failRead(path, stream->readError());
  if (!mdf) {
    LOG_ERROR("Could not open MDF");
    return kExitConversion;
  }
  // The block's warning cannot say which of the inputs it is.
  if (mdf->cutShort)
    LOG_WARN("Input file %s is cut short: its records beyond the end of the file are lost",
             fullPath(path).c_str());
  cLogFileInfo info;
  info.inputPath = path;
  info.compressed = unwrappedCompressed_;
  info.encrypted = unwrappedEncrypted_;
  readIdentity(*mdf, &info);
  if (info.serialNumber.empty() || info.session == 0 || info.split == 0) {
    LOG_ERROR("Could not parse file header");
    return kExitConversion;
  }
  if (unreadWhilePlanning_) {
    LOG_ERROR("Could not read the file's identity while planning the work");
    return kExitConversion;
  }

  bool repeated = false;
  bool continuation = false;
  if (!previousSerialNumber_.empty() && info.serialNumber == previousSerialNumber_) {
    repeated = info.session == previousSession_ && info.split == previousSplit_;
    continuation =
        !previousFailed_ &&
        ((info.session == previousSession_ &&
          (info.split == previousSplit_ || info.split == previousSplit_ + 1)) ||
         (info.session == previousSession_ + 1 && info.split == previousSplit_ + 1 &&
          (previousSplit_ & 0xFFu) == 0));
  }
  if (repeated) {
    LOG_WARN("Repeated input file (%s, %08u, %08u)", info.serialNumber.c_str(), info.session,
             info.split);
  }
  previousSerialNumber_ = info.serialNumber;
  previousSession_ = info.session;
  previousSplit_ = info.split;
  previousFailed_ = false;
  if (repeated) {
    *repeatedFile = true;
    return closeInput(path, mdf, stream) ? kExitOk : kExitConversion;
  }

  bool failed = false;
  if (transaction_ != nullptr) {
    std::string full;
    inputFs_->relativeToAbsolutePath(path, &full);
    transaction_->begin(full);
  }
  if (!head_->newFile(info, continuation)) {
    LOG_ERROR("Error on new file");
    failed = true;
  } else {
    std::unique_ptr<cMdfParallelIter> merge =
        cMdf_getIter(mdf.get(), options_->utc ? cMdfClock::kUtc : cMdfClock::kLoggerLocal);
    if (merge) {
      for (cBusMsg* msg = merge->current(); msg != nullptr && deliver(*msg, &failed);
           msg = merge->next()) {
      }
    }
    // The records end at a failed read as at their end: only the stream
    // tells them apart.  Rows up to a read error are not the file's rows.
    if (stream->readError() != 0) {
      (void)failRead(path, stream->readError());
      failed = true;
    }
  }
  if (!head_->endFile(info)) {
    LOG_ERROR("Error during end file callback");
    failed = true;
  }
  if (!closeInput(path, mdf, stream)) failed = true;
  const int32_t result = finishInput(path, failed ? kExitConversion : kExitOk, rows);
  previousFailed_ = result != kExitOk && options_->deleteConverted;
  return result;
}

bool cLogReader::deliver(cBusMsg& msg, bool* failed) {
  if (cInterrupt_requested()) {
    interrupted_ = true;
    return false;
  }
  ++messages_;
  channelFrames_.count(msg);
  if ((messages_ & 0xFFF) == 0 && observer_ != nullptr) observer_->inputRead(inputBytesRead_);
  if (!head_->newMsg(msg)) {
    LOG_ERROR("Error during handle record callback");
    *failed = true;
    return false;
  }
  return true;
}

bool cLogReader::probeIdentity(const std::string& path, cLogFileInfo* info) {
  cLogQuiet quiet;
  std::unique_ptr<cIO> stream = inputFs_->open(path, cFS::kRead);
  if (!stream || unwrapContainers(path, stream) != kExitOk) {
    cIO_close(stream);
    return false;
  }
  std::unique_ptr<cMdf> mdf = cMdf_open(stream.get());
  info->inputPath = path;
  info->compressed = unwrappedCompressed_;
  info->encrypted = unwrappedEncrypted_;
  if (mdf) readIdentity(*mdf, info);
  const bool known = mdf && !info->serialNumber.empty() && info->session != 0 && info->split != 0;
  if (known && unwrapCache_ != nullptr) {
    // Containers held in memory are kept for the conversion.
    if (const auto* unwrapped = dynamic_cast<const cGenericFileStream*>(stream.get()))
      (void)unwrapCache_->put(path, unwrapped->data(), unwrappedLayers_);
  }
  closeInput(path, mdf, stream);
  return known;
}

void cLogReader::readIdentity(const cMdf& mdf, cLogFileInfo* info) {
  const std::shared_ptr<cMdfBlock_ID>& id = mdf.tree();
  if (!id) {
    LOG_ERROR("Could not read ID block");
    return;
  }
  const std::shared_ptr<cMdfBlock_HD>& hd = id->header;
  if (!hd) {
    LOG_ERROR("Could not read HD block");
    return;
  }
  info->startTime = static_cast<double>(hd->startTimeNs / 1000) * 0.000001;
  for (const auto& [entryPath, entry] : cMdf_getMetaData(&mdf)) {
    if (entry.name == "serial number") {
      info->serialNumber = entry.value;
    } else if (entry.name == "session") {
      info->session = parseUnsigned(entry.value);
    } else if (entry.name == "split") {
      info->split = parseUnsigned(entry.value);
    }
  }
}

bool cLogReader::closeInput(const std::string& path, std::unique_ptr<cMdf>& mdf,
                            std::unique_ptr<cIO>& stream) {
  cMdf_close(mdf);
  if (cIO_close(stream) != 0) {
    LOG_ERROR("Could not close input file after conversion: %.*s", static_cast<int>(path.size()),
              path.data());
    return false;
  }
  return true;
}
