// Parser of the writer's line-based description.
#include <cerrno>
#include <cstdlib>
#include <map>
#include <sstream>

#include "mklog.h"

namespace {

struct KindName {
  const char* name;
  cMklogKind kind;
};
constexpr KindName kKinds[] = {
    {"can", cMklogKind::Can},         {"canfd", cMklogKind::CanFd},
    {"canfd_vlsd", cMklogKind::CanFdVlsd}, {"canfd_sd", cMklogKind::CanFdSd},
    {"remote", cMklogKind::Remote},   {"error", cMklogKind::Error},
    {"lin", cMklogKind::Lin},
    {"lin_checksum_error", cMklogKind::LinChecksumError},
    {"lin_receive_error", cMklogKind::LinReceiveError},
    {"lin_sync_error", cMklogKind::LinSyncError},
    {"lin_transmission_error", cMklogKind::LinTransmissionError},
    {"other", cMklogKind::Other},
};

std::vector<std::string> split(std::string_view line) {
  std::vector<std::string> words;
  std::istringstream in{std::string(line)};
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// The text after the first `n` words of `line`, leading blanks removed.
std::string restAfter(std::string_view line, size_t n) {
  size_t i = 0;
  for (size_t w = 0; w < n; ++w) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
  }
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  return std::string(line.substr(i));
}

bool toU64(const std::string& s, uint64_t* v) {
  if (s.empty() || s[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  *v = std::strtoull(s.c_str(), &end, 0);
  return errno == 0 && end != nullptr && *end == '\0';
}

bool toI64(const std::string& s, int64_t* v) {
  errno = 0;
  char* end = nullptr;
  *v = std::strtoll(s.c_str(), &end, 0);
  return !s.empty() && errno == 0 && end != nullptr && *end == '\0';
}

bool toDouble(const std::string& s, double* v) {
  char* end = nullptr;
  *v = std::strtod(s.c_str(), &end);
  return !s.empty() && end != nullptr && *end == '\0';
}

bool toHex(const std::string& s, std::vector<uint8_t>* out) {
  out->clear();
  if (s == "-") return true;
  if (s.size() % 2 != 0) return false;
  for (size_t i = 0; i < s.size(); i += 2) {
    uint64_t b;
    if (!toU64("0x" + s.substr(i, 2), &b)) return false;
    out->push_back(static_cast<uint8_t>(b));
  }
  return true;
}

template <class T>
bool toList(const std::string& s, std::vector<T>* out) {
  out->clear();
  std::istringstream in(s);
  for (std::string item; std::getline(in, item, ',');) {
    uint64_t v;
    if (!toU64(item, &v)) return false;
    out->push_back(static_cast<T>(v));
  }
  return !out->empty();
}

// key=value options of words[first..].
bool options(const std::vector<std::string>& words, size_t first,
             std::map<std::string, std::string>* out, std::string* bad) {
  for (size_t i = first; i < words.size(); ++i) {
    size_t eq = words[i].find('=');
    if (eq == std::string::npos || eq == 0) {
      *bad = words[i];
      return false;
    }
    (*out)[words[i].substr(0, eq)] = words[i].substr(eq + 1);
  }
  return true;
}

class Parser {
 public:
  bool line(std::string_view text, std::string* why);
  cMklogPlan plan;
  bool noHistory = false;

 private:
  bool group(const std::vector<std::string>& w, std::string* why);
  bool frame(const std::vector<std::string>& w, std::string* why);
  bool bulk(const std::vector<std::string>& w, std::string* why);
  bool wrap(const std::vector<std::string>& w, std::string* why);
  // Finds a group by name: data-group index and group index.
  bool findGroup(const std::string& name, size_t* dg, size_t* g, std::string* why);
  cMklogDataGroup& currentDataGroup() {
    if (plan.dataGroups.empty()) plan.dataGroups.emplace_back();
    return plan.dataGroups.back();
  }
};

bool Parser::findGroup(const std::string& name, size_t* dg, size_t* g, std::string* why) {
  for (size_t i = 0; i < plan.dataGroups.size(); ++i)
    for (size_t j = 0; j < plan.dataGroups[i].groups.size(); ++j)
      if (plan.dataGroups[i].groups[j].name == name) {
        *dg = i;
        *g = j;
        return true;
      }
  *why = "unknown group '" + name + "'";
  return false;
}

bool Parser::group(const std::vector<std::string>& w, std::string* why) {
  if (w.size() < 3) return (*why = "usage: group NAME KIND [options]", false);
  size_t a, b;
  std::string ignored;
  if (findGroup(w[1], &a, &b, &ignored)) return (*why = "group '" + w[1] + "' defined twice", false);
  cMklogGroup g;
  g.name = w[1];
  bool known = false;
  for (const auto& k : kKinds)
    if (w[2] == k.name) g.kind = k.kind, known = true;
  if (!known) return (*why = "unknown group kind '" + w[2] + "'", false);
  std::map<std::string, std::string> opt;
  std::string bad;
  if (!options(w, 3, &opt, &bad)) return (*why = "bad option '" + bad + "'", false);
  for (auto& [key, value] : opt) {
    uint64_t v = 0;
    if (key == "si") {
      if (value == "none") g.siBusType = 1;
      else if (value == "can") g.siBusType = 2;
      else if (value == "lin") g.siBusType = 3;
      else return (*why = "si must be can, lin or none", false);
    } else if (key == "invalidation_bytes" && toU64(value, &v) && v < 256) {
      g.invalidationBytes = static_cast<uint32_t>(v);
    } else {
      return (*why = "bad option '" + key + "=" + value + "'", false);
    }
  }
  currentDataGroup().groups.push_back(std::move(g));
  return true;
}

bool Parser::frame(const std::vector<std::string>& w, std::string* why) {
  if (w.size() < 2) return (*why = "usage: frame GROUP key=value ...", false);
  size_t dg, g;
  if (!findGroup(w[1], &dg, &g, why)) return false;
  std::map<std::string, std::string> opt;
  std::string bad;
  if (!options(w, 2, &opt, &bad)) return (*why = "bad option '" + bad + "'", false);
  cMklogFrame f;
  for (auto& [key, value] : opt) {
    uint64_t v = 0;
    bool ok = true;
    if (key == "t") ok = toDouble(value, &f.t) && f.t >= 0;
    else if (key == "data") ok = toHex(value, &f.data) && f.data.size() <= 64;
    else if (!toU64(value, &v)) ok = false;
    else if (key == "ch") ok = v < 256, f.channel = static_cast<uint8_t>(v);
    else if (key == "id") ok = v <= 0x1FFFFFFF, f.id = static_cast<uint32_t>(v);
    else if (key == "value") ok = v <= 0xFFFF, f.id = static_cast<uint32_t>(v);
    else if (key == "ide") f.ide = v != 0;
    else if (key == "dir") f.dir = v != 0;
    else if (key == "brs") f.brs = v != 0;
    else if (key == "esi") f.esi = v != 0;
    else if (key == "dlc") ok = v < 16, f.dlc = static_cast<int>(v);
    else if (key == "len") ok = v < 256, f.length = static_cast<int>(v);
    else if (key == "type") ok = v < 256, f.errorType = static_cast<uint8_t>(v);
    else if (key == "rx") ok = v < 16, f.receivedCount = static_cast<uint8_t>(v);
    else ok = false;
    if (!ok) return (*why = "bad frame field '" + key + "=" + value + "'", false);
  }
  auto& group = plan.dataGroups[dg].groups[g];
  if (group.bulk) return (*why = "group '" + group.name + "' already has bulk frames", false);
  plan.dataGroups[dg].frames.emplace_back(g, std::move(f));
  return true;
}

bool Parser::bulk(const std::vector<std::string>& w, std::string* why) {
  if (w.size() < 3) return (*why = "usage: bulk GROUP count=N [options]", false);
  size_t dg, g;
  if (!findGroup(w[1], &dg, &g, why)) return false;
  std::map<std::string, std::string> opt;
  std::string bad;
  if (!options(w, 2, &opt, &bad)) return (*why = "bad option '" + bad + "'", false);
  cMklogBulk b;
  for (auto& [key, value] : opt) {
    uint64_t v = 0;
    bool ok = true;
    if (key == "count") ok = toU64(value, &b.count);
    else if (key == "ids") ok = toList(value, &b.ids);
    else if (key == "channels") ok = toList(value, &b.channels);
    else if (key == "rate") ok = toDouble(value, &b.rate) && b.rate > 0;
    else if (key == "t0") ok = toDouble(value, &b.t0) && b.t0 >= 0;
    else if (key == "len") ok = toU64(value, &v) && v <= 8, b.length = static_cast<uint8_t>(v);
    else ok = false;
    if (!ok) return (*why = "bad bulk option '" + key + "=" + value + "'", false);
  }
  cMklogDataGroup& d = plan.dataGroups[dg];
  if (d.groups.size() != 1 || !d.frames.empty())
    return (*why = "bulk frames need a data group of their own", false);
  if (d.groups[g].kind == cMklogKind::CanFdVlsd || d.groups[g].kind == cMklogKind::CanFdSd)
    return (*why = "bulk frames are not supported for VLSD groups", false);
  d.groups[g].bulk = b;
  return true;
}

bool Parser::wrap(const std::vector<std::string>& w, std::string* why) {
  std::map<std::string, std::string> opt;
  std::string bad;
  if (!options(w, 1, &opt, &bad)) return (*why = "bad option '" + bad + "'", false);
  if (w[0] == "compress") {
    cCompressOptions c;
    for (auto& [key, value] : opt) {
      uint64_t v = 0;
      if (!toU64(value, &v)) return (*why = "bad option '" + key + "'", false);
      if (key == "window") c.windowBits = static_cast<uint8_t>(v);
      else if (key == "lookahead") c.lookaheadBits = static_cast<uint8_t>(v);
      else if (key == "crc") c.crcFooter = v != 0;
      else if (key == "device") c.deviceId = static_cast<uint32_t>(v);
      else return (*why = "unknown option '" + key + "'", false);
    }
    plan.wraps.emplace_back(c);
    return true;
  }
  cEncryptOptions e;
  for (auto& [key, value] : opt) {
    uint64_t v = 0;
    if (key == "password") {
      e.password = value;
      continue;
    }
    if (!toU64(value, &v)) return (*why = "bad option '" + key + "'", false);
    if (key == "device") e.deviceId = static_cast<uint32_t>(v);
    else if (key == "iterations") e.iterations = static_cast<uint32_t>(v);
    else if (key == "variant") e.variant = static_cast<uint8_t>(v);
    else return (*why = "unknown option '" + key + "'", false);
  }
  plan.wraps.emplace_back(e);
  return true;
}

bool Parser::line(std::string_view text, std::string* why) {
  std::vector<std::string> w = split(text);
  if (w.empty() || w[0][0] == '#') return true;
  const std::string& k = w[0];
  uint64_t u = 0;
  int64_t i = 0;
  if (k == "unfinished") {
    plan.unfinished = true;
    if (w.size() > 1) {
      if (w[1].rfind("dtlength=", 0) != 0 || !toU64(w[1].substr(9), &plan.unfinishedDtLength))
        return (*why = "usage: unfinished [dtlength=N]", false);
    }
    return true;
  }
  if (k == "version") {
    unsigned major = 0, minor = 0;
    if (w.size() != 2 || std::sscanf(w[1].c_str(), "%u.%u", &major, &minor) != 2 || major >= 100 ||
        minor >= 100)
      return (*why = "usage: version MAJOR.MINOR", false);
    plan.versionMajor = major;
    plan.versionMinor = minor;
    return true;
  }
  if (k == "program") {
    if (w.size() != 2 || w[1].size() > 7) return (*why = "program: at most 7 characters", false);
    plan.program = w[1];
    return true;
  }
  if (k == "start_ns") return (w.size() == 2 && toU64(w[1], &plan.startNs)) || (*why = "usage: start_ns N", false);
  if (k == "tz_offset" || k == "dst_offset") {
    if (w.size() != 2 || !toI64(w[1], &i) || i < -32768 || i > 32767)
      return (*why = "usage: " + k + " MINUTES", false);
    (k == "tz_offset" ? plan.tzOffsetMin : plan.dstOffsetMin) = static_cast<int16_t>(i);
    return true;
  }
  if (k == "time_flags") {
    if (w.size() != 2 || !toU64(w[1], &u) || u > 255) return (*why = "usage: time_flags N", false);
    plan.timeFlags = static_cast<uint8_t>(u);
    return true;
  }
  if (k == "serial" || k == "session" || k == "split") {
    if (w.size() < 2) return (*why = "usage: " + k + " VALUE", false);
    (k == "serial" ? plan.serial : k == "session" ? plan.session : plan.split) = restAfter(text, 1);
    return true;
  }
  if (k == "header_xml") return plan.headerXml = restAfter(text, 1), true;
  if (k == "no_header_comment") return plan.noHeaderComment = true, true;
  if (k == "no_history") return noHistory = true, true;
  if (k == "history") {
    if (w.size() < 2) return (*why = "usage: history QZ|Brenlog|none|nocomment|raw XML", false);
    if (w[1] == "QZ" || w[1] == "Brenlog") plan.histories.push_back(cMklog_historyXml(w[1]));
    else if (w[1] == "none") plan.histories.push_back(cMklog_historyXml("other"));
    else if (w[1] == "nocomment") plan.histories.push_back(std::nullopt);
    else if (w[1] == "raw") plan.histories.push_back(restAfter(text, 2));
    else return (*why = "unknown history kind '" + w[1] + "'", false);
    return true;
  }
  if (k == "si_comment") {
    size_t dg, g;
    if (w.size() < 3 || !findGroup(w[1], &dg, &g, why)) return (*why = "usage: si_comment GROUP XML", false);
    plan.dataGroups[dg].groups[g].siComment = restAfter(text, 2);
    return true;
  }
  if (k == "datagroup") {
    cMklogDataGroup d;
    for (size_t i = 1; i < w.size(); ++i) {
      if (w[i] == "sorted" || w[i] == "unsorted") {
        d.sorted = w[i] == "sorted";
      } else if (w[i].rfind("ids=", 0) == 0 && toU64(w[i].substr(4), &u) &&
                 (u == 1 || u == 2 || u == 4 || u == 8)) {
        d.idSize = static_cast<uint8_t>(u);
      } else {
        return (*why = "usage: datagroup [sorted|unsorted] [ids=1|2|4|8]", false);
      }
    }
    plan.dataGroups.push_back(std::move(d));
    return true;
  }
  if (k == "group") return group(w, why);
  if (k == "frame") return frame(w, why);
  if (k == "bulk") return bulk(w, why);
  if (k == "compress" || k == "encrypt") return wrap(w, why);
  *why = "unknown keyword '" + k + "'";
  return false;
}

}  // namespace

std::optional<cMklogPlan> cMklog_parse(std::string_view text, std::string* error) {
  Parser p;
  size_t number = 0;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string why;
    if (!p.line(line, &why)) {
      if (error != nullptr) *error = "line " + std::to_string(number) + ": " + why;
      return std::nullopt;
    }
  }
  if (p.noHistory) p.plan.histories.clear();
  else if (p.plan.histories.empty()) p.plan.histories.push_back(cMklog_historyXml("QZ"));
  return p.plan;
}
