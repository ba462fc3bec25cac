// How much memory a run may take before the kernel refuses it or ends the process, read from the
// resource limits, the control groups as mounted and the kernel's memory counters.
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
  // Where each control group hierarchy is mounted, and which of its groups the mount shows.
  std::string mountinfo = "/proc/self/mountinfo";
  // Where the hierarchies are looked for when the mount table cannot be read.
  std::string cgroup_root = "/sys/fs/cgroup";
  std::string meminfo = "/proc/meminfo";
};

// Address space still free under the process's limit, less what is mapped now and a headroom
// kept for the stack and the heap's small blocks; kNoMemoryBound without a limit. Mapped blocks
// are held to it where they are mapped (populating memory takes no more address space).
std::uint64_t address_space_room();

// The smaller of: for each memory control group the process is in (and each v2 ancestor), its
// limit less a margin less the memory it holds that cannot be reclaimed without swap (v1
// `total_rss` and `total_shmem`, v2 `anon` and `shmem`: tmpfs files and shared memory count,
// page cache does not); and MemAvailable. A value that cannot be read bounds nothing;
// kNoMemoryBound when nothing can be read. The group is found through the mount table, so a
// container that shows its own group as the hierarchy's root is measured too.
std::uint64_t memory_budget(const MemorySources& sources);

}  // namespace orvel

#endif  // ORVEL_BASE_MEMORY_BUDGET_H_
