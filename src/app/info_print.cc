#include "app/info_print.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "base/exit_status.h"
#include "output/csv_writer.h"

namespace {

using Json = nlohmann::ordered_json;

// Items of a list shown in the text form; the rest are counted.
constexpr size_t kTextListLimit = 10;

// The time as the CSV column t shows it.
std::string timeText(double seconds) {
  char text[kCsvMaxNumberLength + 1];
  return std::string(text, cCsvWriter_formatNumber(text, seconds));
}

// The shown time read back: exactly the value a script gets from the CSV text.
double timeValue(double seconds) { return std::strtod(timeText(seconds).c_str(), nullptr); }

// "1700000000.500000 (2023-11-14 22:13:20.500000)": the same clock as a
// calendar date; the date is left out when the time has none.
std::string timeWithDate(double seconds) {
  const std::string text = timeText(seconds);
  const size_t point = text.find('.');
  const time_t whole = static_cast<time_t>(std::strtoll(text.c_str(), nullptr, 10));
  struct tm date {};
  if (point == std::string::npos || text[0] == '-' || gmtime_r(&whole, &date) == nullptr)
    return text;
  char calendar[64];
  std::strftime(calendar, sizeof calendar, "%Y-%m-%d %H:%M:%S", &date);
  return text + " (" + calendar + text.substr(point) + ")";
}

const char* containerText(const cInfoFileReport& r) {
  if (r.compressed && r.encrypted) return "compressed and encrypted";
  if (r.compressed) return "compressed";
  return r.encrypted ? "encrypted" : "plain";
}

std::string failureText(int32_t code) {
  switch (code) {
    case kExitNoPassword:
      return "no password for the device, or decryption failed";
    case kExitDecompression:
      return "decompression failed";
    default:
      return "not readable as a log file of the logger (damaged or not from the logger)";
  }
}

// "a, b, c" of at most kTextListLimit items, then "... (N more)".
template <typename Range, typename Fn>
std::string listText(const Range& items, Fn toText) {
  std::string out;
  size_t n = 0;
  for (const auto& item : items) {
    if (n == kTextListLimit) {
      out += ", ... (" + std::to_string(std::size(items) - n) + " more)";
      break;
    }
    out += (n++ == 0 ? "" : ", ") + toText(item);
  }
  return out;
}

std::string plural(uint64_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

std::string channelText(const cInfoChannelKey& key, const cInfoChannel& c, bool databases) {
  const std::string name = cInfoChannelKey_text(key);
  std::string out = "  " + name + ": " + plural(c.frames, "frame") + ", " +
                    plural(c.ids.size(), "identifier");
  if (c.remoteFrames > 0) out += ", " + plural(c.remoteFrames, "remote frame");
  if (c.errorFrames > 0) out += ", " + plural(c.errorFrames, "error record");
  out += "\n";
  auto idText = [&key](cInfoFrameId id) { return cInfoFrameId_text(key.lin, id); };
  if (!c.ids.empty()) {
    out += "    most frequent: " +
           listText(cInfo_topIdentifiers(c, kInfoTopIdentifiers), [&](const auto& p) {
             return idText(p.first) + " (" + std::to_string(p.second) + ")";
           }) + "\n";
  }
  if (!databases) return out;
  if (!c.hasDatabase) return out + "    no database for " + name + "\n";
  out += "    decoded: " + plural(c.decoded, "message");
  if (!c.messages.empty()) {
    out += "; by name: " + listText(c.messages, [](const auto& m) {
             return m.first + " (" + std::to_string(m.second) + ")";
           });
  }
  out += "\n";
  if (!c.unknown.empty())
    out += "    unknown identifiers: " + listText(c.unknown, idText) + "\n";
  return out;
}

Json channelJson(const cInfoChannelKey& key, const cInfoChannel& c) {
  Json j;
  j["channel"] = cInfoChannelKey_text(key);
  j["frames"] = c.frames;
  j["remoteFrames"] = c.remoteFrames;
  j["errorFrames"] = c.errorFrames;
  j["identifiers"] = c.ids.size();
  Json top = Json::array();
  for (const auto& [id, count] : cInfo_topIdentifiers(c, kInfoTopIdentifiers))
    top.push_back(Json{{"id", cInfoFrameId_text(key.lin, id)}, {"frames", count}});
  j["mostFrequent"] = std::move(top);
  j["database"] = c.hasDatabase;
  if (!c.hasDatabase) return j;
  j["decoded"] = c.decoded;
  j["messages"] = Json::object();
  for (const auto& [name, count] : c.messages) j["messages"][name] = count;
  j["unknown"] = Json::array();
  for (cInfoFrameId id : c.unknown) j["unknown"].push_back(cInfoFrameId_text(key.lin, id));
  return j;
}

// Invalid UTF-8 in a name (a path, a serial number, a message) is replaced,
// not fatal.
std::string dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

}  // namespace

std::string cInfoChannelKey_text(const cInfoChannelKey& key) {
  return (key.lin ? "LIN" : "CAN") + std::to_string(key.channel);
}

std::vector<std::pair<cInfoFrameId, uint64_t>> cInfo_topIdentifiers(const cInfoChannel& channel,
                                                                    size_t limit) {
  std::vector<std::pair<cInfoFrameId, uint64_t>> ids(channel.ids.begin(), channel.ids.end());
  auto before = [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  };
  const size_t n = std::min(limit, ids.size());
  std::partial_sort(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(n), ids.end(), before);
  ids.resize(n);
  return ids;
}

std::string cInfo_text(const cInfoFileReport& r, const std::string& fullPath, bool databases) {
  std::string out = fullPath + "\n";
  if (r.failure != 0) {
    return out + "  failed (status " + std::to_string(r.failure) + "): " +
           failureText(r.failure) + "\n";
  }
  out += "  device: " + r.serialNumber + "\n  session: " + std::to_string(r.session) +
         ", split: " + std::to_string(r.split) + "\n  container: " + containerText(r) + "\n";
  if (r.hasRecords) {
    out += "  start: " + timeWithDate(r.firstTime) + "\n  end: " + timeWithDate(r.lastTime) +
           "\n  duration: " + timeText(timeValue(r.lastTime) - timeValue(r.firstTime)) + " s\n";
  } else {
    out += "  no records\n";
  }
  for (const auto& [key, channel] : r.channels) out += channelText(key, channel, databases);
  return out;
}

std::string cInfo_json(const cInfoFileReport& r, const std::string& fullPath) {
  Json j;
  j["path"] = fullPath;
  if (r.failure != 0) {
    j["status"] = r.failure;
    j["error"] = failureText(r.failure);
    return dump(j);
  }
  j["device"] = r.serialNumber;
  j["session"] = r.session;
  j["split"] = r.split;
  j["container"] = containerText(r);
  const double start = timeValue(r.firstTime), end = timeValue(r.lastTime);
  j["start"] = r.hasRecords ? Json(start) : Json(nullptr);
  j["end"] = r.hasRecords ? Json(end) : Json(nullptr);
  j["duration"] = r.hasRecords ? Json(timeValue(end - start)) : Json(nullptr);
  j["channels"] = Json::array();
  for (const auto& [key, channel] : r.channels) j["channels"].push_back(channelJson(key, channel));
  return dump(j);
}
