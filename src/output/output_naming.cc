#include "output/output_naming.h"

#include <sys/resource.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "bus/bus_msg.h"
#include "fs/fs.h"

namespace {

constexpr size_t kDeviceIdLength = 15;
constexpr size_t kMaxOpenFiles = 256;

bool isAsciiAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

template <typename T>
char* putLittleEndian(char* p, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) *p++ = static_cast<char>((value >> (8 * i)) & 0xFF);
  return p;
}

void appendFormat(std::string* out, const char* fmt, unsigned value) {
  char buf[16];
  int n = std::snprintf(buf, sizeof buf, fmt, value);
  out->append(buf, static_cast<size_t>(n));
}

// The range of a multiplexor's decoded value (truncated toward zero), or null.
const cDBRange* selectedRange(const cDBDecodedMessage& decoded, const cDBDecodedSignal& mux) {
  const cDBSignal* signal = mux.signal;
  if (signal == nullptr && decoded.message != nullptr)
    signal = cDB_signalFind(decoded.message->signals, mux.name);
  if (signal == nullptr) return nullptr;
  double value = std::trunc(mux.value);
  if (!(value >= 0.0 && value <= 4294967295.0)) return nullptr;  // also NaN
  return cDB_multiplexedFindValue(signal->ranges, static_cast<uint32_t>(value));
}

}  // namespace

void string2Path_append(std::string_view text, std::string* out) {
  size_t i = 0;
  while (i < text.size()) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (i + length > text.size()) break;
    if (length == 1 && isAsciiAlnum(lead)) out->push_back(static_cast<char>(lead));
    i += length;
  }
}

std::string cOutputNaming_deviceId(std::string_view serialNumber) {
  std::string id = string2Path(serialNumber);
  if (id.size() > kDeviceIdLength) id.resize(kDeviceIdLength);
  return id;
}

std::string string2Path(std::string_view text) {
  std::string out;
  string2Path_append(text, &out);
  return out;
}

void cSignalSetKey_build(const cOutputNaming& naming, const cMessageIdentity& identity,
                         const cDBDecodedMessage& decoded, std::string* out) {
  constexpr size_t kIdentityLength = 24;
  out->resize(kDeviceIdLength + kIdentityLength + 5 * decoded.signals.size());
  char* p = out->data();
  std::string_view device = std::string_view(naming.deviceId).substr(0, kDeviceIdLength);
  std::memcpy(p, device.data(), device.size());
  std::memset(p + device.size(), 0, kDeviceIdLength - device.size());
  p += kDeviceIdLength;
  p = putLittleEndian(p, identity.nameHash);
  p = putLittleEndian(p, identity.type);
  p = putLittleEndian(p, identity.channel);
  p = putLittleEndian(p, uint8_t{0});
  p = putLittleEndian(p, uint16_t{0});
  p = putLittleEndian(p, identity.key);
  p = putLittleEndian(p, static_cast<uint8_t>(naming.pgnSrcMerge ? 0 : identity.sourceAddress));
  p = putLittleEndian(p, identity.hasSourceAddress);
  p = putLittleEndian(p, static_cast<uint8_t>(naming.pgnDstMerge ? 0 : identity.destinationAddress));
  p = putLittleEndian(p, identity.hasDestinationAddress);
  // Whether a signal is ignored sets the columns: two databases that differ
  // only in that have two signal sets.
  for (const cDBDecodedSignal& s : decoded.signals) {
    p = putLittleEndian(p, s.nameHash);
    p = putLittleEndian(p, s.ignored);
  }
}

void cOutputPath_build(const cOutputNaming& naming, const cMessageIdentity& identity,
                       const cDBDecodedMessage& decoded, std::string* out) {
  out->clear();
  out->append(std::string_view(naming.deviceId).substr(0, kDeviceIdLength));
  out->append(naming.folderSuffix);
  out->append(identity.type == static_cast<uint32_t>(cBusMsgType::BUS_MSG_CAN_DATA_FRAME) ? "/CAN"
                                                                                         : "/LIN");
  appendFormat(out, "%u", identity.channel);
  out->push_back('_');
  if (decoded.message != nullptr) string2Path_append(decoded.message->name, out);
  for (const cDBDecodedSignal& s : decoded.signals) {
    if (!s.isMultiplexor) continue;
    const cDBRange* range = selectedRange(decoded, s);
    if (range == nullptr) continue;
    out->push_back('_');
    string2Path_append(s.name, out);
    appendFormat(out, "_M%02X", range->from);
  }
  if (identity.hasSourceAddress && !naming.pgnSrcMerge) appendFormat(out, "_S%02X", identity.sourceAddress);
  if (identity.hasDestinationAddress && !naming.pgnDstMerge)
    appendFormat(out, "_D%02X", identity.destinationAddress);
  char date[64];
  int n = std::snprintf(date, sizeof date, "/%04i/%02i/%02i/%08u_%08u", naming.year, naming.month,
                        naming.day, naming.session, naming.split);
  out->append(date, static_cast<size_t>(n));
}

// ---------------------------------------------------------------- writer set

cWriterSet::cWriterSet(size_t maxOpenFiles, const cFS& outputFs, std::string journalName)
    : fs_(outputFs), journal_(&outputFs, std::move(journalName)), pool_(maxOpenFiles, this) {}

cWriterSet::~cWriterSet() {
  if (!commit(false)) rollback();
  closeAll();
}

cCsvWriter* cWriterSet::find(const std::string& key) const {
  auto it = writers_.find(key);
  return it == writers_.end() ? nullptr : it->second.get();
}

cCsvWriter* cWriterSet::create(const std::string& key, std::string_view relativePath,
                               std::span<const std::string_view> columns) {
  std::string plain(relativePath);
  std::vector<std::string>& claims = written_[plain];
  size_t variant = 0;
  while (variant < claims.size() && claims[variant] != key) ++variant;
  bool append = variant < claims.size();
  std::string path = plain;
  if (variant > 0) path += "_" + std::to_string(variant + 1);

  if (!makeFolder(std::string(cFS_getParentFolder(path)))) {
    int err = errno;
    failed();
    std::string fullPath;
    fs_.relativeToAbsolutePath(path, &fullPath);
    if (failedPaths_.insert(fullPath).second) {
      // The path and why first: the first error names a failed input.
      LOG_ERROR("Output file %s.csv: %s", fullPath.c_str(), std::strerror(err));
      LOG_ERROR("Could not create output writer");
    }
    if (claims.empty()) written_.erase(plain);
    return nullptr;
  }
  if (!append) {
    claimsBefore_.emplace_back(plain, claims.size());
    claims.push_back(key);
  }
  std::unique_ptr<cCsvWriter> writer = cCsvWriter_ctor(fs_, path, columns, append, &pool_);
  if (writer && protectedInInput_.contains(writer->path())) writer->setCleared(true);
  cCsvWriter* result = writer.get();
  writers_.emplace(key, std::move(writer));
  return result;
}

bool cWriterSet::makeFolder(const std::string& folder) {
  if (madeFolders_.contains(folder)) return true;
  // The folder holding `f` ("a/b/" for "a/b/c/"); empty at the top.
  auto parentOf = [](std::string_view f) {
    if (!f.empty() && f.back() == '/') f.remove_suffix(1);
    return std::string(cFS_getParentFolder(f));
  };
  // Only the levels below the deepest folder this set made before: a new
  // message's folders below the device's, a new day beside the days before.
  // A level that has gone since (a rollback removes folders it left empty,
  // another worker's too) makes the whole walk from the top.
  std::vector<std::string> missing;
  for (std::string level = folder; !level.empty() && !madeFolders_.contains(level);
       level = parentOf(level))
    missing.push_back(level);
  bool made = true;
  for (auto level = missing.rbegin(); made && level != missing.rend(); ++level) {
    bool created = false;
    made = fs_.mkdir(*level, &created);
    if (created) createdFolders_.insert(*level);
  }
  if (!made && !fs_.mkdirs(folder)) return false;
  madeFolders_.insert(missing.begin(), missing.end());
  return true;
}

bool cWriterSet::clearForWriting(cCsvWriter& asking) {
  std::vector<cOutputJournal::File> files;
  std::vector<cCsvWriter*> clearing;
  for (auto& [key, writer] : writers_) {
    if (writer->cleared() || (!writer->hasPending() && writer.get() != &asking)) continue;
    const bool knownMissing =
        !writer->appends() &&
        createdFolders_.contains(std::string(cFS_getParentFolder(writer->path())));
    files.push_back({writer->path(), writer->appends(), writer->knownSize(), knownMissing});
    clearing.push_back(writer.get());
  }
  for (size_t i = 0, n = files.size(); i < n; ++i) addEarlierSplitFile(files[i].path, files);
  if (!journal_.protect(files)) {
    failed();
    return false;
  }
  for (cCsvWriter* writer : clearing) {
    writer->setCleared(true);
    protectedInInput_.insert(writer->path());
  }
  return true;
}

void cWriterSet::addEarlierSplitFile(const std::string& path,
                                     std::vector<cOutputJournal::File>& files) {
  // ".../<session:08>_<split:08>[_<n>].csv"
  const size_t name = path.rfind('/') + 1;
  constexpr size_t kSplitAt = 9;
  if (path.size() < name + kSplitAt + 8 || path[name + 8] != '_') return;
  char split[16];
  std::snprintf(split, sizeof split, "%08u", inputSplit_);
  if (path.compare(name + kSplitAt, 8, split) == 0) return;
  std::string earlier = path;
  earlier.replace(name + kSplitAt, 8, split);
  if (written_.contains(earlier.substr(0, name + kSplitAt + 8))) return;
  // A folder this run made holds no earlier run's file: no question asked.
  if (createdFolders_.contains(std::string(cFS_getParentFolder(path)))) return;
  cFSStat st;
  if (fs_.stat(earlier, &st) && st.type == cFSType::kFile) files.push_back({earlier});
}

bool cWriterSet::closeAll() {
  bool ok = true;
  for (auto& [key, writer] : writers_) ok = writer->close() && ok;
  writers_.clear();
  ++generation_;
  if (!ok) failed();
  return ok;
}

bool cWriterSet::commit(bool forDeletion) {
  // Where closing a file may report a write error (a network file system),
  // the files are closed, so that the error belongs to this input; elsewhere
  // they stay open for the next input of the session.
  if (closeAtCommit_ < 0) closeAtCommit_ = fs_.closeReportsWriteErrors("") ? 1 : 0;
  for (auto& [key, writer] : writers_)
    if (!(closeAtCommit_ != 0 ? writer->close() : writer->flushPending())) failed();
  if (failedInInput_ || !journal_.commit(forDeletion)) return false;
  for (auto& [key, writer] : writers_) writer->setCleared(false);
  claimsBefore_.clear();
  protectedInInput_.clear();
  return true;
}

void cWriterSet::rollback() {
  for (auto& [key, writer] : writers_) writer->discard();
  writers_.clear();
  madeFolders_.clear();  // restoring the files may remove folders
  createdFolders_.clear();
  ++generation_;
  (void)journal_.rollback();  // what cannot be restored now is left to the next run
  for (auto it = claimsBefore_.rbegin(); it != claimsBefore_.rend(); ++it) {
    auto found = written_.find(it->first);
    if (found == written_.end()) continue;
    found->second.resize(it->second);
    if (found->second.empty()) written_.erase(found);
  }
  claimsBefore_.clear();
  protectedInInput_.clear();
  failedInInput_ = false;
}

cCsvWriter* signalSet2Writer(cWriterSet& writers, const cOutputNaming& naming,
                             const cMessageIdentity& identity, const cDBDecodedMessage& decoded,
                             uint64_t* filesCounter) {
  cSignalSetKey_build(naming, identity, decoded, &writers.keyBuffer);
  if (cCsvWriter* found = writers.find(writers.keyBuffer)) return found;

  cOutputPath_build(naming, identity, decoded, &writers.pathBuffer);
  writers.columnBuffer.clear();
  for (const cDBDecodedSignal& s : decoded.signals)
    if (!s.ignored) writers.columnBuffer.push_back(s.name);
  cCsvWriter* writer = writers.create(writers.keyBuffer, writers.pathBuffer, writers.columnBuffer);
  if (writer != nullptr && filesCounter != nullptr) ++*filesCounter;
  return writer;
}

size_t cWriterSet_halfOpenFileLimit() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  return static_cast<size_t>(limit.rlim_cur / 2);
}

size_t cWriterSet_defaultMaxOpenFiles() {
  // Leave half of the allowance to the inputs, the logs and the libraries.
  const size_t half = cWriterSet_halfOpenFileLimit();
  return half < 1 ? 1 : (half < kMaxOpenFiles ? half : kMaxOpenFiles);
}
