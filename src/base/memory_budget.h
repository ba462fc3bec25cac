// How much memory a run may take before the kernel refuses it or ends the process.
#ifndef ORVEL_BASE_MEMORY_BUDGET_H_
#define ORVEL_BASE_MEMORY_BUDGET_H_

#include <cstdint>
#include <string>

namespace orvel {

inline constexpr std::uint64_t kNoMemoryBound = UINT64_MAX;

// Where the limits are read. The defaults are the running process's; tests point them at files
// of their own.
struct MemorySources {
  std::string cgroup_membership = "/proc/self/cgroup";
  std::string cgroup_root = "/sys/fs/cgroup";
  std::string meminfo = "/proc/meminfo";
  // Address space still free under the process's limit, or kNoMemoryBound.
  std::uint64_t address_space_room = kNoMemoryBound;
};

// The sources of this process, with the room left under its address-space limit.
MemorySources process_memory_sources();

// The smallest of: the address-space room; for each memory control group the process is in (and
// each v2 ancestor), its limit less the memory it holds that cannot be reclaimed (v2 `anon`, v1
// `total_rss`; page cache can be reclaimed and does not count); and MemAvailable. A value that
// cannot be read bounds nothing; kNoMemoryBound when nothing can be read.
std::uint64_t memory_budget(const MemorySources& sources);

}  // namespace orvel

#endif  // ORVEL_BASE_MEMORY_BUDGET_H_
