// How many CPUs and how much memory this process may use: the default
// worker count of every computation that runs on several threads, in both
// interfaces, and the memory their workers may take.
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

// The bytes this process can still take: the least of the memory the
// machine has available (MemAvailable), the address space left under its
// limit (ulimit -v) and the headroom of its control group's memory limit
// (a container's `memory.max`); 0 when none of them can be read.
double available_memory();
// The same without the machine's available memory: only the limits set on
// this process (address space, control group); 0 when there is none.
double memory_limit();

// The CPUs a quota allows: quota / period rounded up, at least 1; 0 when
// there is no limit (a quota that is negative or not a number).
unsigned cpus_of_quota(int64_t quota_us, int64_t period_us);
// The same for the text of a cgroup v2 `cpu.max` file ("max 100000",
// "150000 100000").
unsigned cpus_of_cpu_max(std::string_view text);

}  // namespace vm
