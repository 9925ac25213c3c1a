#include "output/output_journals.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <string_view>

#include "base/log.h"
#include "fs/fs.h"
#include "fs/fs_lock.h"
#include "output/output_journal.h"

namespace {

struct Owner {
  uint32_t shardIndex = 0;
  uint32_t shardCount = 1;
};

// Reads a decimal number at the front of `text` and drops it; false without
// digits.
bool takeNumber(std::string_view& text, uint32_t* value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  if (ec != std::errc() || end == text.data()) return false;
  text.remove_prefix(static_cast<size_t>(end - text.data()));
  return true;
}

bool takeWord(std::string_view& text, std::string_view word) {
  if (!text.starts_with(word)) return false;
  text.remove_prefix(word.size());
  return true;
}

// The shard of a worker journal's name; none for any other name.
std::optional<Owner> ownerOf(std::string_view name) {
  Owner owner;
  uint32_t worker = 0;
  if (!takeWord(name, kOutputJournalName) || !takeWord(name, "-") ||
      !takeNumber(name, &owner.shardIndex) || !takeWord(name, "of") ||
      !takeNumber(name, &owner.shardCount) || !takeWord(name, "-w") ||
      !takeNumber(name, &worker) || !name.empty())
    return std::nullopt;
  return owner;
}

std::string fullPathOf(const cFS& fs, std::string_view name) {
  std::string full;
  fs.relativeToAbsolutePath(name, &full);
  return full;
}

}  // namespace

std::string cOutputJournals_workerName(uint32_t shardIndex, uint32_t shardCount,
                                       uint32_t worker) {
  return std::string(kOutputJournalName) + "-" + std::to_string(shardIndex) + "of" +
         std::to_string(shardCount) + "-w" + std::to_string(worker);
}

bool cOutputJournals_lock(const cFS& fs, uint32_t shardIndex, uint32_t shardCount,
                          std::unique_ptr<cFSLock>* held) {
  const bool sharded = shardCount > 1;
  const uint64_t start = sharded ? uint64_t{shardCount} * (shardCount - 1) / 2 + shardIndex : 0;
  const std::string path = fullPathOf(fs, kOutputLockName);
  switch (cFSLock_acquire(path, start, sharded ? 1 : 0, held)) {
    case cFSLockResult::kHeld:
      return true;
    case cFSLockResult::kFailed:
      LOG_WARN("Could not lock %s: %s; make sure that no other run converts into this folder "
               "at the same time", path.c_str(), std::strerror(errno));
      return true;
    case cFSLockResult::kBusy:
      break;
  }
  const std::string folder = fullPathOf(fs, "");
  if (sharded)
    LOG_ERROR("Another run of shard %u of %u, or one without --shard, is converting into %s; "
              "wait for it to end (or stop it), then run again", shardIndex, shardCount,
              folder.c_str());
  else
    LOG_ERROR("Another run is converting into %s; wait for it to end (or stop it), then run again",
              folder.c_str());
  return false;
}

bool cOutputJournals_recover(const cFS& fs, uint32_t shardIndex, uint32_t shardCount) {
  // The plain journal by its name, as a run with one worker always did; the
  // worker journals from the listing (an entry that cannot be queried does
  // not keep the others from being found).
  cFSListing entries;
  (void)fs.ls("", &entries);
  cFSStat plain;
  if (fs.stat(kOutputJournalName, &plain) && plain.type != cFSType::kMissing)
    entries.emplace(std::string(kOutputJournalName), plain);
  bool ok = true;
  for (const auto& [name, st] : entries) {
    const std::optional<Owner> owner = ownerOf(name);
    if (name != kOutputJournalName && !owner) continue;
    if (shardCount > 1 && owner && owner->shardCount == shardCount &&
        owner->shardIndex != shardIndex)
      continue;  // another shard's, maybe converting right now
    if (shardCount > 1 && (!owner || owner->shardCount != shardCount)) {
      if (!owner || owner->shardCount == 1)
        LOG_ERROR("Output journal %s was left by an earlier run without --shard; run lograven "
                  "without --shard to recover it first", fullPathOf(fs, name).c_str());
      else
        LOG_ERROR("Output journal %s was left by an earlier run with other shards; run those "
                  "shards again, or lograven without --shard, to recover it first",
                  fullPathOf(fs, name).c_str());
      ok = false;
      continue;
    }
    cOutputJournal journal(&fs, name);
    ok = journal.recover() && ok;
  }
  return ok;
}
