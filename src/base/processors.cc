#include "base/processors.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

namespace {

// The cgroup v2 path of the process: the line "0::<path>" of
// /proc/self/cgroup (cgroup v1 lines have a controller list between the
// colons).
std::string unifiedPath(std::string_view selfCgroup) {
  constexpr std::string_view kUnified = "0::";
  size_t start = 0;
  while (start < selfCgroup.size()) {
    size_t end = selfCgroup.find('\n', start);
    if (end == std::string_view::npos) end = selfCgroup.size();
    const std::string_view line = selfCgroup.substr(start, end - start);
    if (line.starts_with(kUnified)) return std::string(line.substr(kUnified.size()));
    start = end + 1;
  }
  return {};
}

std::string readSmallFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

uint32_t affinityCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 0;
  return static_cast<uint32_t>(CPU_COUNT(&set));
}

}  // namespace

uint32_t cProcessors_ofCpuMax(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  const size_t space = text.find(' ');
  if (space == std::string_view::npos) return 0;
  uint64_t quota = 0, period = 0;
  const char* end = text.data() + text.size();
  auto [afterQuota, e1] = std::from_chars(text.data(), text.data() + space, quota);
  auto [afterPeriod, e2] = std::from_chars(text.data() + space + 1, end, period);
  if (e1 != std::errc() || afterQuota != text.data() + space || e2 != std::errc() ||
      afterPeriod != end || quota == 0 || period == 0)
    return 0;
  const uint64_t processors = quota / period + (quota % period != 0 ? 1 : 0);
  return static_cast<uint32_t>(std::min<uint64_t>(processors, UINT32_MAX));
}

uint32_t cProcessors_cgroupLimit(const std::string& mount, std::string_view selfCgroup) {
  std::string path = unifiedPath(selfCgroup);
  if (path.empty() || path.front() != '/') return 0;
  uint32_t least = 0;
  for (;;) {
    const uint32_t limit = cProcessors_ofCpuMax(readSmallFile(mount + path + "/cpu.max"));
    if (limit > 0 && (least == 0 || limit < least)) least = limit;
    if (path == "/") break;
    const size_t slash = path.rfind('/');
    path.resize(slash == 0 ? 1 : slash);
  }
  return least;
}

uint32_t cProcessors_usable() {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  uint32_t usable = online > 0 ? static_cast<uint32_t>(online) : 1;
  const uint32_t bound = affinityCount();
  if (bound > 0) usable = std::min(usable, bound);
  const uint32_t limit =
      cProcessors_cgroupLimit("/sys/fs/cgroup", readSmallFile("/proc/self/cgroup"));
  if (limit > 0) usable = std::min(usable, limit);
  return std::max<uint32_t>(usable, 1);
}
