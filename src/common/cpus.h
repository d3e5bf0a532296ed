// How many CPUs this process may use: the default worker count of every
// computation that runs on several threads, in both interfaces.
#pragma once

#include <cstdint>
#include <string_view>

namespace vm {

// The CPUs in this process's affinity mask (taskset, cpuset), lowered to
// the CPU quota of its control group (a container's CPU limit; cgroup v2
// `cpu.max` or v1 `cpu.cfs_quota_us`), rounded up; at least 1. Read anew on
// every call.
unsigned usable_cpus();

// The workers of a computation: `requested`, or usable_cpus() when it is 0
// (no count given).
inline unsigned worker_count(unsigned requested) { return requested != 0 ? requested : usable_cpus(); }

// The CPUs a quota allows: quota / period rounded up, at least 1; 0 when
// there is no limit (a quota that is negative or not a number).
unsigned cpus_of_quota(int64_t quota_us, int64_t period_us);
// The same for the text of a cgroup v2 `cpu.max` file ("max 100000",
// "150000 100000").
unsigned cpus_of_cpu_max(std::string_view text);

}  // namespace vm
