#include "output/output_journal.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <set>

#include "base/log.h"
#include "fs/fs.h"

namespace {

// A journal is a few lines per CSV file of one input; anything larger is not
// one of ours.
constexpr int64_t kMaxJournalSize = 64 << 20;

std::string fullPathOf(const cFS& fs, std::string_view path) {
  std::string full;
  fs.relativeToAbsolutePath(path, &full);
  return full;
}

// Only CSV files inside the output tree may be named by a journal line: a
// damaged or planted journal must not make a run remove anything else.
bool isOutputFile(std::string_view path) {
  if (path.empty() || path.front() == '/' || path.size() < 4 ||
      path.substr(path.size() - 4) != ".csv")
    return false;
  for (size_t start = 0; start <= path.size();) {
    size_t end = std::min(path.find('/', start), path.size());
    if (path.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

std::string backupOf(std::string_view path) {
  return std::string(path) + std::string(kOutputBackupSuffix);
}

// Each parent folder of `path`, deepest first, ending with the root ("").
std::vector<std::string_view> foldersOf(std::string_view path) {
  std::vector<std::string_view> folders;
  for (size_t slash = path.rfind('/'); slash != std::string_view::npos && slash > 0;
       slash = path.rfind('/', slash - 1)) {
    folders.push_back(path.substr(0, slash));
  }
  folders.emplace_back();
  return folders;
}

}  // namespace

cOutputJournal::cOutputJournal(const cFS* fs, std::string name)
    : fs_(fs), name_(name.empty() ? std::string(kOutputJournalName) : std::move(name)) {}

cOutputJournal::~cOutputJournal() = default;

void cOutputJournal::begin(std::string_view inputPath) {
  finish();  // the records of a committed input never mix with the next one's
  input_.assign(inputPath);
  for (char& c : input_)
    if (c == '\n' || c == '\r') c = '?';  // one record per line
  inputWritten_ = false;
  failureLogged_ = false;
}

bool cOutputJournal::append(const std::string& text, bool sync) {
  errno = 0;  // what a failed open or write leaves is the reason
  if (file_ == nullptr) file_ = fs_->open(name_, cFS::kAppend);
  bool ok = file_ != nullptr &&
            file_->write(text.data(), static_cast<int64_t>(text.size())) ==
                static_cast<int64_t>(text.size());
  // A new journal's entry in the folder must be on disk too.
  if (ok && sync) ok = fs_->sync(name_) && (rootSynced_ || fs_->sync(""));
  if (!ok) {
    // Every CSV block of the input asks again: once is enough to say why.
    if (!failureLogged_)
      LOG_ERROR("Could not write output journal %s: %s", fullPathOf(*fs_, name_).c_str(),
                std::strerror(errno != 0 ? errno : EIO));
    failureLogged_ = true;
    return false;
  }
  rootSynced_ = rootSynced_ || sync;
  return true;
}

bool cOutputJournal::clear(bool sync) {
  if (file_ != nullptr) cIO_close(file_);
  file_.reset();
  rootSynced_ = false;
  if (!fs_->remove(name_) || (sync && !fs_->sync(""))) {
    LOG_ERROR("Could not clear output journal %s: %s", fullPathOf(*fs_, name_).c_str(),
              std::strerror(errno));
    return false;
  }
  records_.clear();
  inputWritten_ = false;
  return true;
}

bool cOutputJournal::protect(const std::vector<File>& files) {
  if (fs_ == nullptr || files.empty()) return true;
  finish();
  std::string text;
  if (!inputWritten_) text.append("input ").append(input_).append("\n");
  const size_t first = records_.size();
  for (const File& f : files) {
    // A length the writer counted, or a folder this run made, needs no
    // question to the file system.
    cFSStat st{cFSType::kFile, static_cast<uint64_t>(f.knownSize), 0, 0};
    if (f.knownMissing && !f.appendTo) st.type = cFSType::kMissing;
    else if (!(f.appendTo && f.knownSize >= 0) && !fs_->stat(f.path, &st)) {
      LOG_ERROR("Could not query output file %s: %s", fullPathOf(*fs_, f.path).c_str(),
                std::strerror(errno));
      records_.resize(first);
      return false;
    }
    Record r{Kind::kAppend, st.size, f.path};
    if (st.type == cFSType::kMissing) {
      r.kind = Kind::kNew;
      text.append("new ").append(f.path).append("\n");
    } else if (f.appendTo) {
      text.append("append ").append(std::to_string(st.size)).append(" ").append(f.path).append("\n");
    } else {
      r.kind = Kind::kReplace;
      text.append("replace ").append(f.path).append("\n");
    }
    records_.push_back(std::move(r));
  }
  if (!append(text, true)) {
    records_.resize(first);
    return false;
  }
  inputWritten_ = true;
  for (size_t i = first; i < records_.size(); ++i) {
    const Record& r = records_[i];
    if (r.kind == Kind::kReplace && !fs_->rename(r.path, backupOf(r.path))) {
      LOG_ERROR("Could not move aside output file %s: %s", fullPathOf(*fs_, r.path).c_str(),
                std::strerror(errno));
      return false;
    }
  }
  return true;
}

bool cOutputJournal::syncWritten() const {
  std::set<std::string_view> folders;
  for (const Record& r : records_) {
    cFSStat st;
    if (fs_->stat(r.path, &st) && st.type == cFSType::kMissing) continue;  // never written
    if (!fs_->sync(r.path)) {
      LOG_ERROR("Could not flush output file %s: %s", fullPathOf(*fs_, r.path).c_str(),
                std::strerror(errno));
      return false;
    }
    if (r.kind == Kind::kAppend) continue;
    for (std::string_view folder : foldersOf(r.path)) folders.insert(folder);
  }
  // Deepest first, so that a new folder's entries are on disk before its own.
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    if (!fs_->sync(*it)) {
      LOG_ERROR("Could not flush output folder %s: %s", fullPathOf(*fs_, *it).c_str(),
                std::strerror(errno));
      return false;
    }
  }
  return true;
}

bool cOutputJournal::dropBackups() const {
  for (const Record& r : records_) {
    if (r.kind != Kind::kReplace) continue;
    cFSStat st;
    const std::string backup = backupOf(r.path);
    if (fs_->stat(backup, &st) && st.type != cFSType::kMissing && !fs_->remove(backup))
      LOG_WARN("Could not remove %s", fullPathOf(*fs_, backup).c_str());
  }
  return true;
}

bool cOutputJournal::commit(bool forDeletion) {
  if (fs_ == nullptr || records_.empty()) return true;
  if (forDeletion && !syncWritten()) return false;
  const bool replaced = std::any_of(records_.begin(), records_.end(),
                                    [](const Record& r) { return r.kind == Kind::kReplace; });
  if (!forDeletion && !replaced) return clear(false);
  if (!append(forDeletion ? "commit delete\n" : "commit\n", true)) return false;
  // From here the commit stands: what is left undone, the next run finishes.
  dropBackups();
  committed_ = forDeletion;
  if (!forDeletion && !clear(false)) records_.clear();
  return true;
}

void cOutputJournal::finish() {
  if (!committed_) return;
  committed_ = false;
  if (!clear(true)) records_.clear();
}

void cOutputJournal::removeEmptyFolders(std::string_view path) const {
  for (std::string_view folder : foldersOf(path)) {
    if (folder.empty() || !fs_->remove(folder)) return;  // a folder with entries stays
  }
}

bool cOutputJournal::undo(const Record& r) const {
  cFSStat st;
  const std::string backup = backupOf(r.path);
  bool ok = true;
  switch (r.kind) {
    case Kind::kNew:
      if (fs_->stat(r.path, &st) && st.type != cFSType::kMissing) ok = fs_->remove(r.path);
      if (ok) removeEmptyFolders(r.path);
      break;
    case Kind::kAppend:
      if (fs_->stat(r.path, &st) && st.type == cFSType::kFile && st.size > r.length)
        ok = fs_->truncate(r.path, r.length);
      break;
    case Kind::kReplace:
      if (fs_->stat(backup, &st) && st.type != cFSType::kMissing) ok = fs_->rename(backup, r.path);
      break;
  }
  if (!ok)
    LOG_ERROR("Could not restore output file %s: %s", fullPathOf(*fs_, r.path).c_str(),
              std::strerror(errno));
  return ok;
}

bool cOutputJournal::rollback() {
  if (committed_) finish();  // committed records are never undone
  if (fs_ == nullptr) return true;
  // A journal made for records that could not be written holds nothing to
  // undo, and goes.
  if (records_.empty()) return file_ == nullptr || clear(true);
  bool ok = true;
  for (auto it = records_.rbegin(); it != records_.rend(); ++it) ok = undo(*it) && ok;
  return ok && clear(true);
}

bool cOutputJournal::parse(std::string_view text, Parsed* out) {
  // A last line without its end was cut by the crash before it was flushed,
  // so no file was written under it.
  text = text.substr(0, text.rfind('\n') + 1);
  // No name the journal records holds a NUL byte: the file system would read
  // the name only up to it, and act on another file than the one recorded.
  if (text.find('\0') != std::string_view::npos) return false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    const size_t space = line.find(' ');
    const std::string_view word = line.substr(0, space);
    std::string_view rest = space == std::string_view::npos ? "" : line.substr(space + 1);
    Record r{Kind::kNew, 0, ""};
    if (word == "input") {
      // A commit covers the records before it only: a journal that could not
      // be removed after one goes on with the next input's records.
      if (out->committed) *out = Parsed{};
      out->input.assign(rest);
      continue;
    }
    if (word == "commit" && (rest.empty() || rest == "delete")) {
      out->committed = true;
      out->deleteInput = !rest.empty();
      continue;
    }
    if (word == "append") {
      const size_t gap = rest.find(' ');
      const char* digits = rest.data();
      auto [ptr, ec] = std::from_chars(digits, digits + std::min(gap, rest.size()), r.length);
      if (ec != std::errc() || gap == std::string_view::npos || ptr != digits + gap) return false;
      r.kind = Kind::kAppend;
      rest.remove_prefix(gap + 1);
    } else if (word == "replace") {
      r.kind = Kind::kReplace;
    } else if (word != "new") {
      return false;
    }
    if (!isOutputFile(rest)) return false;
    r.path.assign(rest);
    out->records.push_back(std::move(r));
  }
  return true;
}

void cOutputJournal::removeCommittedInput(const std::string& input) const {
  // Only a log file named by its absolute path is ever removed this way.
  const std::string_view extension = cFS_getExtension(input);
  std::string lower(extension);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (input.empty() || input.front() != '/' ||
      (lower != "mf4" && lower != "mfc" && lower != "mfe" && lower != "mfm"))
    return;
  std::unique_ptr<cFS> disk = cFS_os_ctor("/");
  cFSStat st;
  if (!disk || !disk->stat(input, &st) || st.type != cFSType::kFile) return;
  LOG_WARN("Removing %s: an earlier run converted it and was stopped before it could remove it",
           input.c_str());
  if (!disk->remove(input) || !disk->sync(cFS_getParentFolder(input)))
    LOG_ERROR("Could not remove input file after conversion: %s", input.c_str());
}

bool cOutputJournal::recover() {
  if (fs_ == nullptr) return true;
  const std::string full = fullPathOf(*fs_, name_);
  cFSStat st;
  if (!fs_->stat(name_, &st)) {
    LOG_ERROR("Could not query output journal %s: %s", full.c_str(), std::strerror(errno));
    return false;
  }
  if (st.type == cFSType::kMissing) return true;
  // Only a regular file is opened: opening a pipe would wait for a writer.
  std::unique_ptr<cIO> in = st.type == cFSType::kFile ? fs_->open(name_, cFS::kRead) : nullptr;
  std::string text(static_cast<size_t>(std::min<int64_t>(in ? in->getSize() : 0, kMaxJournalSize)),
                   '\0');
  errno = 0;
  if (in == nullptr || st.size > kMaxJournalSize ||
      in->read(text.data(), static_cast<int64_t>(text.size())) != static_cast<int64_t>(text.size())) {
    const std::string why = st.type != cFSType::kFile ? "not a regular file"
                            : st.size > kMaxJournalSize ? "larger than 64 MB"
                            : std::strerror(errno != 0 ? errno : EIO);
    LOG_ERROR("Could not read output journal %s: %s; remove it to convert into this folder anyway",
              full.c_str(), why.c_str());
    return false;
  }
  cIO_close(in);
  Parsed parsed;
  if (!parse(text, &parsed)) {
    LOG_ERROR("Output journal %s is damaged; remove it to convert into this folder anyway",
              full.c_str());
    return false;
  }
  bool ok = true;
  if (parsed.committed) {
    records_ = std::move(parsed.records);
    dropBackups();
    records_.clear();
    if (parsed.deleteInput) removeCommittedInput(parsed.input);
  } else if (!parsed.records.empty()) {
    LOG_WARN("Rolling back the unfinished output of %s from an earlier run", parsed.input.c_str());
    for (auto it = parsed.records.rbegin(); it != parsed.records.rend(); ++it) ok = undo(*it) && ok;
  }
  if (!ok) return false;
  if (!fs_->remove(name_) || !fs_->sync("")) {
    LOG_ERROR("Could not remove output journal %s: %s", full.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}
