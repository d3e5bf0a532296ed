#include "common/cpus.h"
#include "common/huge_pages.h"

#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace vm {
namespace {

unsigned cpus_in_affinity_mask() {
  for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, set);
    const int got = ::sched_getaffinity(0, size, set);
    const int count = got == 0 ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (got == 0) return static_cast<unsigned>(std::max(count, 1));
    if (errno != EINVAL) break;  // EINVAL: the mask is wider than the set
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

bool read_first_line(const std::string& path, std::string& line) {
  std::ifstream in(path);
  return static_cast<bool>(std::getline(in, line));
}

bool read_number(const std::string& path, int64_t& value) {
  std::string line;
  if (!read_first_line(path, line)) return false;
  const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), value);
  return error == std::errc() && end != line.data();
}

// The smaller of two CPU limits, 0 standing for none.
unsigned tighter(unsigned a, unsigned b) { return a == 0 ? b : b == 0 ? a : std::min(a, b); }

// The tightest quota on the way from the group `path` up to the root of
// the hierarchy mounted at `root`; `quota_of` reads one folder's quota.
template <class QuotaOf>
unsigned tightest_quota(const std::string& root, std::string path, QuotaOf quota_of) {
  unsigned limit = 0;
  for (;;) {
    limit = tighter(limit, quota_of(root + path));
    if (path.empty() || path == "/") return limit;
    const size_t slash = path.find_last_of('/');
    path.resize(slash == std::string::npos ? 0 : slash);
  }
}

// A line of /proc/self/cgroup, "hierarchy-id:controllers:path"; v2: the
// unified hierarchy ("0::path").
struct CgroupLine {
  std::string controllers, path;
  bool v2 = false;
};

// The lines of this process's /proc/self/cgroup that can be read.
std::vector<CgroupLine> cgroup_lines() {
  std::vector<CgroupLine> lines;
  std::ifstream groups("/proc/self/cgroup");
  std::string line;
  while (std::getline(groups, line)) {
    const size_t first = line.find(':');
    const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    CgroupLine g;
    g.controllers = line.substr(first + 1, second - first - 1);
    g.path = line.substr(second + 1);
    g.v2 = line.compare(0, first, "0") == 0 && g.controllers.empty();
    lines.push_back(std::move(g));
  }
  return lines;
}

unsigned cgroup_cpu_limit() {
  unsigned limit = 0;
  for (const CgroupLine& group : cgroup_lines()) {
    const std::string& controllers = group.controllers;
    const std::string& path = group.path;
    if (group.v2) {
      limit = tighter(limit, tightest_quota("/sys/fs/cgroup", path, [](const std::string& dir) {
                        std::string text;
                        return read_first_line(dir + "/cpu.max", text) ? cpus_of_cpu_max(text) : 0u;
                      }));
      continue;
    }
    const std::string listed = "," + controllers + ",";
    if (listed.find(",cpu,") == std::string::npos) continue;
    auto v1_quota = [](const std::string& dir) {
      int64_t quota = 0, period = 0;
      if (!read_number(dir + "/cpu.cfs_quota_us", quota) || !read_number(dir + "/cpu.cfs_period_us", period)) return 0u;
      return cpus_of_quota(quota, period);
    };
    for (const std::string& mount : {"/sys/fs/cgroup/" + controllers, std::string("/sys/fs/cgroup/cpu")}) {
      limit = tighter(limit, tightest_quota(mount, path, v1_quota));
    }
  }
  return limit;
}

// The smaller of two byte counts, 0 standing for no limit.
double tighter_bytes(double a, double b) { return a <= 0 ? b : b <= 0 ? a : std::min(a, b); }

// The bytes a memory group may still take: its limit less its use; 0 when
// it has no limit.
double group_headroom(const std::string& limit_file, const std::string& usage_file) {
  int64_t limit = 0, usage = 0;
  if (!read_number(limit_file, limit) || limit <= 0 || limit >= (int64_t{1} << 60)) return 0;  // "max", or v1's no limit
  if (!read_number(usage_file, usage)) usage = 0;
  return std::max(1.0, static_cast<double>(limit) - static_cast<double>(usage));
}

// The tightest headroom of the memory groups from this process's group up
// to the root (cgroup v2 `memory.max`, v1 `memory.limit_in_bytes`).
double cgroup_memory_headroom() {
  double headroom = 0;
  for (const CgroupLine& group : cgroup_lines()) {
    const bool v2 = group.v2;
    std::string path = group.path;
    if (!v2 && ("," + group.controllers + ",").find(",memory,") == std::string::npos) continue;
    const std::string root = v2 ? "/sys/fs/cgroup" : "/sys/fs/cgroup/memory";
    for (;;) {
      const std::string dir = root + path;
      headroom = tighter_bytes(headroom, v2 ? group_headroom(dir + "/memory.max", dir + "/memory.current")
                                            : group_headroom(dir + "/memory.limit_in_bytes", dir + "/memory.usage_in_bytes"));
      if (path.empty() || path == "/") break;
      const size_t slash = path.find_last_of('/');
      path.resize(slash == std::string::npos ? 0 : slash);
    }
  }
  return headroom;
}

// A line "Name:   123 kB" of a /proc file, in bytes; 0 when missing.
double kilobytes_line(const std::string& path, const std::string& name) {
  std::ifstream in(path);
  std::string word;
  double kb = 0;
  while (in >> word >> kb) {
    if (word == name) return kb * 1024;
    in.ignore(256, '\n');
  }
  return 0;
}

// The address space still free under RLIMIT_AS (ulimit -v); 0 without a
// limit.
double address_space_headroom() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  const double used = kilobytes_line("/proc/self/status", "VmSize:");
  return std::max(1.0, static_cast<double>(limit.rlim_cur) - used);
}

}  // namespace

double available_memory() {
  const double available = tighter_bytes(kilobytes_line("/proc/meminfo", "MemAvailable:"),
                                         tighter_bytes(address_space_headroom(), cgroup_memory_headroom()));
  // Pages the program keeps for its next large blocks are its to use.
  return available > 0 ? available + static_cast<double>(kept_large_block_bytes()) : available;
}

double memory_limit() {
  return tighter_bytes(address_space_headroom(), cgroup_memory_headroom());
}

unsigned cpus_of_quota(int64_t quota_us, int64_t period_us) {
  if (quota_us <= 0 || period_us <= 0) return 0;
  return static_cast<unsigned>(std::max<int64_t>(1, (quota_us + period_us - 1) / period_us));
}

unsigned cpus_of_cpu_max(std::string_view text) {
  int64_t quota = 0, period = 0;
  const char* end = text.data() + text.size();
  const auto q = std::from_chars(text.data(), end, quota);
  if (q.ec != std::errc() || q.ptr == end || *q.ptr != ' ') return 0;  // "max ..." or malformed
  const auto p = std::from_chars(q.ptr + 1, end, period);
  if (p.ec != std::errc()) return 0;
  return cpus_of_quota(quota, period);
}

unsigned usable_cpus() { return std::max(1u, tighter(cpus_in_affinity_mask(), cgroup_cpu_limit())); }

}  // namespace vm
