// How much memory a run may take before the kernel refuses it or ends the process, and the one
// meter that every stretch of memory given its pages is charged to.
#ifndef ORVEL_BASE_MEMORY_BUDGET_H_
#define ORVEL_BASE_MEMORY_BUDGET_H_

#include <cstdint>
#include <string>

namespace orvel {

inline constexpr std::uint64_t kNoMemoryBound = UINT64_MAX;

// Where the limits are read. The defaults are the running process's, without an address-space
// room (see address_space_room); tests point them at files of their own.
struct MemorySources {
  std::string cgroup_membership = "/proc/self/cgroup";
  // Where each control group hierarchy is mounted, and which of its groups the mount shows.
  std::string mountinfo = "/proc/self/mountinfo";
  // Where the hierarchies are looked for when the mount table cannot be read.
  std::string cgroup_root = "/sys/fs/cgroup";
  std::string meminfo = "/proc/meminfo";
  // Address space still free under the process's limit, or kNoMemoryBound.
  std::uint64_t address_space_room = kNoMemoryBound;
};

// Address space still free under the process's limit, less what is mapped now and a headroom
// kept for the stack and the heap's small blocks; kNoMemoryBound without a limit.
std::uint64_t address_space_room();

// The smallest of: the address-space room; for each memory control group the process is in (and
// each v2 ancestor), its limit less a margin less the memory it holds that cannot be reclaimed
// without swap (v1 `total_rss` and `total_shmem`, v2 `anon` and `shmem`: tmpfs files and shared
// memory count, page cache does not); and MemAvailable. A value that cannot be read bounds
// nothing; kNoMemoryBound when nothing can be read. The group is found through the mount table,
// so a container that shows its own group as the hierarchy's root is measured too.
std::uint64_t memory_budget(const MemorySources& sources);

// The memory meter. Memory is charged when it is about to be given its pages (not when address
// space is mapped for it) and released when it is given back. The limits are read when the
// charges first pass a few megabytes, and again whenever a charge would be refused, so memory
// that other processes gave back meanwhile counts. Single-threaded, like the rest of the tool.

// Charges `bytes`; false, charging nothing, when they do not fit in the room left.
[[nodiscard]] bool charge_memory(std::uint64_t bytes);
// Gives back `bytes` charged before.
void release_memory(std::uint64_t bytes);
// What is charged now.
std::uint64_t charged_memory();

// Whether a file whose bytes live in memory (tmpfs, ramfs) may grow by `growth_bytes`, asked
// before it is extended: its new pages are charged to this process's control group and stay
// there until the file shrinks or goes, so when it may, the growth stays charged to the meter
// (the next reading of the limits sees those pages in the group's own count and corrects for
// it). Matches `bool (*)(std::uint64_t)`.
bool may_grow_file_in_memory(std::uint64_t growth_bytes);

// Replaces how the meter learns the room left beside what it has charged, for tests; nullptr
// restores the default: memory_budget of the process's sources without the address-space room,
// which large blocks are held to where they are mapped. The next charge asks the new source.
void set_memory_room_source(std::uint64_t (*room)());

}  // namespace orvel

#endif  // ORVEL_BASE_MEMORY_BUDGET_H_
