// How many processors this process may use.  A process sees every online
// processor of its machine, but may be bound to some of them (its CPU
// affinity: taskset, a batch scheduler's or a container's cpuset) or limited
// to a share of their time (a cgroup v2 CPU limit, as a container runtime or
// a Kubernetes pod's CPU limit sets it).  Starting more threads than that
// only makes them wait for each other.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The online processors, no more than the affinity allows, no more than the
// CPU limits of the process's cgroup and its ancestors allow (rounded up);
// at least 1.
uint32_t cProcessors_usable();

// The processors a cgroup v2 "cpu.max" file allows: "<quota> <period>" in
// microseconds, rounded up ("150000 100000" allows 2); 0 for "max <period>"
// (no limit) and for text that is not of that form.
uint32_t cProcessors_ofCpuMax(std::string_view text);

// The least limit of "cpu.max" in the cgroup that `selfCgroup` (the contents
// of /proc/self/cgroup) names and in each of its ancestors, under the cgroup
// v2 file system mounted at `mount`; 0 when none sets a limit.
uint32_t cProcessors_cgroupLimit(const std::string& mount, std::string_view selfCgroup);
