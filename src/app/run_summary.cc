#include "app/run_summary.h"

#include <algorithm>
#include <vector>

namespace {

constexpr size_t kTopIdentifiers = 5;
constexpr char kRule[] =
    "-------------------------------------------------------------------------------\n";

// The DBC files of a channel's databases, in load order.
std::vector<std::string> databaseFiles(const cLogReaderCLI& cli, size_t slot) {
  const bool lin = slot >= kBusLinSlot0;
  const auto channel = static_cast<uint8_t>(lin ? slot - kBusLinSlot0 : slot);
  const cDBMap& map = lin ? cli.linDatabases : cli.canDatabases;
  const auto& files = lin ? cli.linDatabaseFiles : cli.canDatabaseFiles;
  auto it = map.find(channel);
  if (it == map.end()) return {};
  auto named = files.find(channel);
  std::vector<std::string> names;
  for (size_t i = 0; i < it->second.size(); ++i) {
    const bool known = named != files.end() && i < named->second.size();
    names.push_back(known ? named->second[i] : "database " + std::to_string(i + 1));
  }
  return names;
}

std::string channelList(const std::vector<size_t>& slots) {
  std::string text;
  for (size_t slot : slots) {
    if (!text.empty()) text += ", ";
    text += cBusChannel_name(slot);
  }
  return text.empty() ? "none" : text;
}

std::string topIdentifiers(const cDecodeTally& tally, size_t slot) {
  const std::vector<cIdentifierCount> ids = tally.unknownIdentifiers(slot);
  if (ids.empty()) return "";
  std::string text = "  most frequent identifiers on " + cBusChannel_name(slot) + ": ";
  for (size_t i = 0; i < ids.size() && i < kTopIdentifiers; ++i) {
    text += (i == 0 ? "" : ", ") + cBusChannel_identifier(ids[i].id, ids[i].extended, slot >= kBusLinSlot0) + " (" +
            std::to_string(ids[i].frames) + ")";
  }
  if (ids.size() > kTopIdentifiers)
    text += " and " + std::to_string(ids.size() - kTopIdentifiers) + " more";
  return text + "\n";
}

std::string unloadedDatabases(const cLogReaderCLI& cli) {
  if (cli.unloadedDatabases.empty()) return "";
  std::string text = "Databases not loaded\n";
  for (const std::string& why : cli.unloadedDatabases) text += "- " + why + "\n";
  return text + kRule;
}

std::string failedInputs(const cRunReport& reader) {
  if (reader.failures.empty()) return "";
  std::string text = "Failed inputs\n";
  for (const cInputFailure& f : reader.failures) text += "- " + f.path + ": " + f.reason + "\n";
  return text + kRule;
}

struct ChannelView {
  std::vector<size_t> shown;         // had frames or has databases
  std::vector<size_t> withFrames;    // frames read or reached the decoder
  std::vector<size_t> withDatabase;
};

ChannelView channelView(const cRunReport& reader, const cDecodeTally& tally,
                        const cLogReaderCLI& cli) {
  ChannelView view;
  for (size_t slot = 0; slot < kBusChannelSlots; ++slot) {
    const bool frames = reader.channelFrames.frames[slot] > 0 || tally.decoded(slot) > 0 ||
                        tally.unknown(slot) > 0;
    const bool database = !databaseFiles(cli, slot).empty();
    if (frames) view.withFrames.push_back(slot);
    if (database) view.withDatabase.push_back(slot);
    if (frames || database) view.shown.push_back(slot);
  }
  return view;
}

// The warnings of one channel.
std::string channelWarnings(size_t slot, uint64_t read, const cDecodeTally& tally,
                            const cLogReaderCLI& cli, const ChannelView& view) {
  const std::string name = cBusChannel_name(slot);
  const std::vector<std::string> files = databaseFiles(cli, slot);
  const uint64_t frames = std::max(read, tally.decoded(slot) + tally.unknown(slot));
  if (files.empty()) {
    if (tally.unknown(slot) == 0) return "";
    return "Warning: no database for " + name + ": " + std::to_string(tally.unknown(slot)) +
           " frames not decoded; databases are given for " + channelList(view.withDatabase) +
           "\n" + topIdentifiers(tally, slot);
  }
  std::string text;
  for (size_t i = 0; i < files.size(); ++i) {
    if (tally.decodedBy(slot, i) > 0) continue;
    if (frames == 0) {
      const std::string why = view.withFrames.empty()
                                  ? "no frames were read on any channel"
                                  : "no frames were read on " + name + "; frames were read on " +
                                        channelList(view.withFrames);
      text += "Warning: " + files[i] + " for " + name + " decoded nothing: " + why + "\n";
    } else {
      text += "Warning: " + files[i] + " for " + name + " decoded none of the " +
              std::to_string(frames) + " frames on " + name + "\n" + topIdentifiers(tally, slot);
    }
  }
  return text;
}

}  // namespace

void cRunReport::addFailures(const std::vector<cInputFailure>& more) {
  failures.insert(failures.end(), more.begin(), more.end());
  std::stable_sort(failures.begin(), failures.end(),
                   [](const cInputFailure& a, const cInputFailure& b) { return a.path < b.path; });
}

void cRunReport::add(const cLogReader& reader, const cDecodeTally& decoded) {
  files += reader.files();
  addFailures(reader.failures());
  channelFrames.add(reader.channelFrames());
  tally.add(decoded);
}

std::string cRunSummary_text(const cRunReport& reader, const cLogReaderCLI& cli) {
  const cDecodeTally& tally = reader.tally;
  const ChannelView view = channelView(reader, tally, cli);
  std::string text = unloadedDatabases(cli) + failedInputs(reader);
  if (view.shown.empty()) return text;
  std::string lines = "Bus channels\n";
  std::string warnings;
  // Nothing to read: what each database decoded would say only that.
  const bool noLogs = reader.files == 0 && reader.failures.empty();
  for (size_t slot : view.shown) {
    const uint64_t read = reader.channelFrames.frames[slot];
    lines += "- " + cBusChannel_name(slot) + ": " + std::to_string(read) + " frames read, " +
             std::to_string(tally.decoded(slot)) + " decoded\n";
    if (!noLogs) warnings += channelWarnings(slot, read, tally, cli, view);
  }
  if (noLogs && !cli.shard.sharded())
    warnings += "Warning: no log files (.mf4, .mfc, .mfe, .mfm) were found in the inputs\n";
  return text + lines + warnings + kRule;
}
