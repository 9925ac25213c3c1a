#include "app/work_units.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <map>
#include <numeric>
#include <set>
#include <thread>

#include "base/interrupt.h"
#include "base/log.h"
#include "base/processors.h"
#include "bus/bus_msg.h"
#include "fs/fs.h"
#include "input/log_reader.h"
#include "output/output_naming.h"

namespace {

// What a container unwraps into memory when no read buffer is given.
constexpr uint64_t kUnpackMemory = uint64_t{256} << 20;

// The reader's continuation rule: the same logger and the same split again
// (a repeat), the next split, or the next session going on from a split
// whose low 8 bits are zero.
bool continues(const cFileIdentity& previous, const cFileIdentity& file) {
  if (!previous.known() || previous.serialNumber != file.serialNumber) return false;
  if (file.session == previous.session)
    return file.split == previous.split || file.split == previous.split + 1;
  return file.session == previous.session + 1 && file.split == previous.split + 1 &&
         (previous.split & 0xFFu) == 0;
}

// Disjoint sets of file indices.
class cUnionFind {
 public:
  explicit cUnionFind(size_t n) : parent_(n) { std::iota(parent_.begin(), parent_.end(), 0); }
  size_t find(size_t i) {
    while (parent_[i] != i) i = parent_[i] = parent_[parent_[i]];
    return i;
  }
  // The smaller index stays the root, so a set's root is its first file.
  void unite(size_t a, size_t b) {
    a = find(a);
    b = find(b);
    if (a != b) parent_[std::max(a, b)] = std::min(a, b);
  }

 private:
  std::vector<size_t> parent_;
};

// "<device folder>/<session>" of the file's device.
std::string deviceSessionKey(const cFileIdentity& id, uint32_t session) {
  return cOutputNaming_deviceId(id.serialNumber) + "/" + std::to_string(session);
}

std::string sessionKey(const cFileIdentity& id) { return deviceSessionKey(id, id.session); }

// The shard key of a file: its device folder and the session its chain of
// split files started in.  The logger goes on in the next session number
// after every 256th split, so split k of session s continues a chain that
// started in session s - (k - 1) / 256.  Computed from the file alone, the
// key is the same whichever other files are still there (with -d, shards
// that started earlier delete theirs), so two shards never take one file of
// sessions numbered that way.
std::string chainKey(const cFileIdentity& id) {
  const uint32_t back =
      id.split == 0 || id.session == 0 ? 0 : std::min((id.split - 1) / 256, id.session - 1);
  return deviceSessionKey(id, id.session - back);
}

// The key of a file without identity: the last two parts of its path, its
// device folder and name, which do not depend on where the card is mounted
// nor on how it was named on the command line.
std::string pathKey(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash != std::string_view::npos && slash > 0) slash = path.rfind('/', slash - 1);
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The file is gone since the walk: another shard converted and deleted it
// (-d), or someone else removed it.
bool vanished(cFS* fs, const std::string& path) {
  cFSStat st;
  return fs->stat(path, &st) && st.type == cFSType::kMissing;
}

// Reads the identities of `files` with up to `threads` threads, each with a
// reader of its own.
void probeAll(cFS* inputFs, const cLogReaderOptions& all, std::vector<cProbedFile>& files,
              uint32_t threads, cUnwrapCache* unwrapped) {
  const size_t count = std::min<size_t>(std::max<uint32_t>(threads, 1), files.size());
  const cLogReaderOptions options = cWorkUnits_share(all, static_cast<uint32_t>(count));
  std::atomic<size_t> next{0};
  auto probe = [&] {
    cBusLayer none;  // probing never drives the chain
    std::unique_ptr<cLogReader> reader = cLogReader_ctor(inputFs, &options, &none);
    reader->setUnwrapCache(unwrapped);
    for (size_t i = next++; i < files.size() && !cInterrupt_requested(); i = next++) {
      // A file that fails is read once more: a passing read error (a card
      // reader, a network file system) would otherwise make it a unit of
      // its own, apart from its session.
      const std::string& path = files[i].path;
      cLogFileInfo info;
      bool known = reader->probeIdentity(path, &info);
      bool gone = !known && vanished(inputFs, path);
      if (!known && !gone) {
        info = {};
        known = reader->probeIdentity(path, &info);
        gone = !known && vanished(inputFs, path);
      }
      if (known) {
        files[i].identity = {info.serialNumber, info.session, info.split};
        continue;
      }
      files[i].unread = true;
      files[i].vanished = gone;
    }
  };
  std::vector<std::thread> pool;
  for (size_t t = 1; t < count; ++t) pool.emplace_back(probe);
  probe();
  for (std::thread& t : pool) t.join();
}

}  // namespace

uint32_t cWorkUnits_defaultJobs() {
  return std::clamp<uint32_t>(cProcessors_usable(), 1, kMaxJobs);
}

cLogReaderOptions cWorkUnits_share(const cLogReaderOptions& all, uint32_t ways) {
  cLogReaderOptions share = all;
  ways = std::max<uint32_t>(ways, 1);
  if (share.bufferSize > 0)
    share.bufferSize = std::max<int64_t>(1, share.bufferSize / ways);
  else
    share.unpackMemory = kUnpackMemory / ways;
  return share;
}

bool cShard_parse(std::string_view text, cShard* out) {
  const size_t slash = text.find('/');
  if (slash == std::string_view::npos) return false;
  cShard shard;
  const char* slashAt = text.data() + slash;
  const char* end = text.data() + text.size();
  // An empty number, a sign or another character fails its conversion.
  auto [afterIndex, e1] = std::from_chars(text.data(), slashAt, shard.index);
  auto [afterCount, e2] = std::from_chars(slashAt + 1, end, shard.count);
  if (e1 != std::errc() || afterIndex != slashAt || e2 != std::errc() || afterCount != end ||
      shard.index >= shard.count)
    return false;
  *out = shard;
  return true;
}

uint32_t cShard_of(std::string_view key, uint32_t count) {
  uint64_t hash = 0xcbf29ce484222325u;  // FNV-1a, 64 bits
  for (unsigned char c : key) hash = (hash ^ c) * 0x100000001b3u;
  return count == 0 ? 0 : static_cast<uint32_t>(hash % count);
}

std::vector<cWorkUnit> cWorkUnits_group(const std::vector<cProbedFile>& files) {
  cUnionFind sets(files.size());
  std::map<std::string, size_t> firstOfSession;
  std::vector<cFileIdentity> previous(files.size());
  size_t last = files.size();  // the last file with a known identity so far
  for (size_t i = 0; i < files.size(); ++i) {
    const cFileIdentity& id = files[i].identity;
    if (last < files.size()) previous[i] = files[last].identity;
    if (!id.known()) continue;
    if (continues(previous[i], id)) sets.unite(i, last);
    auto [it, added] = firstOfSession.emplace(sessionKey(id), i);
    if (!added) sets.unite(i, it->second);
    last = i;
  }
  std::vector<cWorkUnit> units;
  std::vector<size_t> unitOfRoot(files.size(), files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    size_t& u = unitOfRoot[sets.find(i)];
    if (u == files.size()) {
      u = units.size();
      units.emplace_back();
    }
    cWorkUnit& unit = units[u];
    unit.files.push_back({files[i].path, previous[i], files[i].unread});
    unit.bytes += files[i].size;
    unit.holdsLast = unit.holdsLast || i == last;
    const std::string key =
        files[i].identity.known() ? chainKey(files[i].identity) : pathKey(files[i].path);
    if (unit.key.empty() || key < unit.key) unit.key = key;
  }
  return units;
}

cUnitQueue::cUnitQueue(const std::vector<cWorkUnit>& units) {
  std::map<std::string_view, size_t> deviceIndex;
  for (size_t i = 0; i < units.size(); ++i) {
    const std::string& key = units[i].key;
    const std::string_view folder = std::string_view(key).substr(0, key.rfind('/'));
    auto [it, added] = deviceIndex.emplace(folder, devices_.size());
    if (added) devices_.emplace_back();
    devices_[it->second].units.push_back(i);
    deviceOf_.push_back(it->second);
    bytes_.push_back(units[i].bytes);
  }
  for (Device& device : devices_)
    std::stable_sort(device.units.begin(), device.units.end(),
                     [this](size_t a, size_t b) { return bytes_[a] > bytes_[b]; });
}

bool cUnitQueue::better(size_t a, size_t b) const {
  const Device& x = devices_[a];
  const Device& y = devices_[b];
  if ((x.workers == 0) != (y.workers == 0)) return x.workers == 0;
  return bytes_[x.units[x.taken]] > bytes_[y.units[y.taken]];
}

size_t cUnitQueue::next(size_t last) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t pick = kNone;
  if (last < deviceOf_.size()) {
    pick = deviceOf_[last];
    --devices_[pick].workers;
    if (!devices_[pick].left()) pick = kNone;
  }
  if (pick == kNone)
    for (size_t d = 0; d < devices_.size(); ++d)
      if (devices_[d].left() && (pick == kNone || better(d, pick))) pick = d;
  if (pick == kNone) return kNone;
  Device& device = devices_[pick];
  ++device.workers;
  return device.units[device.taken++];
}

cWorkPlan cWorkUnits_plan(cFS* inputFs, const cLogReaderOptions& options,
                          const std::vector<std::string>& inputs, uint32_t threads, cShard shard,
                          cUnwrapCache* unwrapped) {
  cWorkPlan plan;
  std::vector<cProbedFile> files;
  cBusLayer none;
  std::unique_ptr<cLogReader> walker = cLogReader_ctor(inputFs, &options, &none);
  walker->setFileVisitor([&files](const std::string& path, uint64_t size) {
    files.push_back({path, size, {}});
    return 0;
  });
  plan.walkStatus = walker->process(inputs);
  plan.walkFailures = walker->failures();
  // One file alone is one unit: its identity changes nothing.
  const bool probe = files.size() > 1 || shard.sharded();
  if (probe) probeAll(inputFs, options, files, threads, unwrapped);
  plan.interrupted = walker->interrupted() || cInterrupt_requested();
  // A file gone between the walk and its probe was removed by another shard
  // that converted it (with -d), or by someone else; it has nothing left to
  // convert, and a run without shards finds it missing as -j 1 would.
  if (shard.sharded())
    std::erase_if(files, [](const cProbedFile& file) {
      if (file.vanished) LOG_DEBUG("%s is gone: not converted by this shard", file.path.c_str());
      return file.vanished;
    });
  std::vector<cWorkUnit> units = cWorkUnits_group(files);
  if (!probe && !units.empty()) units.front().holdsLast = true;
  plan.allUnits = units.size();
  for (cWorkUnit& unit : units)
    if (cShard_of(unit.key, shard.count) == shard.index) plan.units.push_back(std::move(unit));
  if (unwrapped != nullptr) {
    std::set<std::string> converted;
    for (const cWorkUnit& unit : plan.units)
      for (const cWorkFile& file : unit.files) converted.insert(file.path);
    unwrapped->keepOnly(converted);
  }
  return plan;
}
