// The processors a process may use: cgroup v2 CPU limits (the file's text,
// the least limit up the hierarchy) and the CPU affinity.
#include "base/processors.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>

#include "support/temp_dir.h"

namespace {

TEST(Processors, CpuMaxTextGivesTheProcessorsRoundedUp) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"400000 100000\n", 4}, {"150000 100000\n", 2}, {"50000 100000", 1},
      {"100000 100000", 1},   {"max 100000\n", 0},    {"", 0},
      {"100000", 0},          {"100000 0", 0},        {"0 100000", 0},
      {"abc 100000", 0},      {"100000 100000 5", 0}, {"-100000 100000", 0},
      {"18446744073709551615 100000", UINT32_MAX},  // no overflow in the rounding
  };
  for (const auto& [text, processors] : cases)
    EXPECT_EQ(cProcessors_ofCpuMax(text), processors) << '"' << text << '"';
}

TEST(Processors, TheLeastLimitUpTheCgroupHierarchyCounts) {
  struct Case {
    const char* self;                              // /proc/self/cgroup
    std::map<std::string, std::string> cpuMax;     // cgroup -> cpu.max text
    uint32_t limit;
  };
  const Case cases[] = {
      {"0::/pod/ctr\n", {{"pod/ctr", "max 100000\n"}, {"pod", "200000 100000\n"}}, 2},
      {"0::/pod/ctr\n", {{"pod/ctr", "300000 100000\n"}, {"pod", "800000 100000\n"}}, 3},
      {"0::/pod/ctr\n", {{"pod/ctr", "max 100000\n"}, {"pod", "max 100000\n"}}, 0},
      {"0::/\n", {{"", "250000 100000\n"}}, 3},
      {"0::/gone\n", {}, 0},
      // cgroup v1 only: no unified line.
      {"4:memory:/pod\n1:cpu:/pod\n", {{"pod", "100000 100000\n"}}, 0},
      {"12:pids:/x\n0::/x\n", {{"x", "100000 100000\n"}}, 1},
  };
  for (const Case& c : cases) {
    TempDir mount;
    for (const auto& [group, text] : c.cpuMax)
      mount.write(group.empty() ? "cpu.max" : group + "/cpu.max", text);
    EXPECT_EQ(cProcessors_cgroupLimit(mount.path(), c.self), c.limit) << c.self;
  }
}

// A process bound to one processor (taskset, a cpuset) starts one worker;
// one bound to two may use both, unless its cgroup allows fewer.
TEST(Processors, AProcessBoundToOneOrTwoProcessorsMayUseThem) {
  EXPECT_GE(cProcessors_usable(), 1u);
  EXPECT_LE(cProcessors_usable(), static_cast<uint32_t>(sysconf(_SC_NPROCESSORS_ONLN)));
  const uint32_t cgroup = cProcessors_cgroupLimit("/sys/fs/cgroup", readFile("/proc/self/cgroup"));
  for (int want : {1, 2}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      cpu_set_t set, bound;
      if (sched_getaffinity(0, sizeof set, &set) != 0) _exit(100);
      if (CPU_COUNT(&set) < want) _exit(0);  // not on this machine
      CPU_ZERO(&bound);
      for (int cpu = 0; CPU_COUNT(&bound) < want; ++cpu)
        if (CPU_ISSET(cpu, &set)) CPU_SET(cpu, &bound);
      if (sched_setaffinity(0, sizeof bound, &bound) != 0) _exit(101);
      _exit(static_cast<int>(cProcessors_usable()));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) != 0) { EXPECT_EQ(WEXITSTATUS(status), cgroup == 1 ? 1 : want); }
  }
}

}  // namespace
