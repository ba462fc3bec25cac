// The memory budget from control group files and meminfo.
#include "base/memory_budget.h"

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace orvel {
namespace {

using testing::TempDir;
using testing::write_file;

constexpr std::uint64_t kMiB = 1u << 20;

TEST(MemoryBudget, IsTheLeastOfEveryLimitThatCanBeRead) {
  struct Case {
    std::string what;
    std::string membership;                                   // /proc/self/cgroup
    std::vector<std::pair<std::string, std::string>> files;  // under the cgroup root
    std::string meminfo;                                      // empty: unreadable
    std::uint64_t budget;
    std::string mountinfo = "";  // empty: unreadable; "@" stands for the cgroup root
  };
  const std::string v2_stat = "anon 104857600\nfile 9999999999\n";  // 100 MiB not reclaimable
  const std::string v1_stat = "cache 1\nrss 2\nhierarchical_memory_limit 734003200\ntotal_cache 9999999999\n"
                              "total_rss 209715200\n";  // 700 MiB limit, 200 MiB resident
  // tmpfs files and shared memory cannot be reclaimed without swap: 50 MiB of them.
  const std::string v1_shmem_stat = "shmem 1\nhierarchical_memory_limit 734003200\ntotal_cache 9999999999\n"
                                    "total_rss 209715200\ntotal_shmem 52428800\n";
  const std::string v2_shmem_stat = "anon 104857600\nfile 9999999999\nshmem 52428800\n";
  // What the limits leave once the margin below a group's limit is kept: 2 MiB and 1/32.
  auto margin = [](std::uint64_t limit) { return (2 * kMiB) + limit / 32; };
  // The mount table of a container that has no cgroup namespace: its own group is mounted as
  // the hierarchy, while /proc/self/cgroup names the host's path for it.
  const std::string docker_v1 =
      "30 22 0:27 / /sys/fs/cgroup ro - tmpfs tmpfs rw,mode=755\n"
      "31 30 0:28 /docker/c0ffee @/cpu,cpuacct ro,nosuid - cgroup cgroup rw,cpu,cpuacct\n"
      "34 30 0:31 /docker/c0ffee @/memory ro,nosuid master:7 - cgroup cgroup rw,memory\n";
  const Case cases[] = {
      {"nothing readable", "", {}, "", kNoMemoryBound},
      {"memory available", "", {}, "MemTotal: 9 kB\nMemAvailable:    2048 kB\n", 2 * kMiB},
      {"v2 group, page cache not counted",
       "0::/box\n",
       {{"cgroup.controllers", "memory\n"}, {"box/memory.max", "734003200\n"}, {"box/memory.stat", v2_stat}},
       "MemAvailable: 8388608 kB\n", 700 * kMiB - margin(700 * kMiB) - 100 * kMiB},
      {"v2 ancestor lower than the group",
       "0::/outer/inner\n",
       {{"cgroup.controllers", ""},
        {"outer/memory.max", "314572800\n"},
        {"outer/memory.stat", v2_stat},
        {"outer/inner/memory.max", "max\n"},
        {"outer/inner/memory.stat", v2_stat}},
       "", 300 * kMiB - margin(300 * kMiB) - 100 * kMiB},
      {"v2 beside v1, under unified/",
       "4:memory:/\n0::/box\n",
       {{"memory/memory.stat", "hierarchical_memory_limit 9223372036854771712\ntotal_rss 5\n"},
        {"unified/box/memory.max", "209715200\n"},
        {"unified/box/memory.stat", v2_stat}},
       "", 200 * kMiB - margin(200 * kMiB) - 100 * kMiB},
      {"v1 group with other controllers",
       "5:cpu,memory:/job\n3:pids:/\n",
       {{"memory/job/memory.stat", v1_stat}},
       "MemAvailable: 8388608 kB\n", 700 * kMiB - margin(700 * kMiB) - 200 * kMiB},
      {"v1 unlimited", "4:memory:/\n", {{"memory/memory.stat", "hierarchical_memory_limit 9223372036854771712\n"}},
       "", kNoMemoryBound},
      {"more held than allowed", "0::/box\n",
       {{"cgroup.controllers", ""}, {"box/memory.max", "1048576\n"}, {"box/memory.stat", v2_stat}},
       "", 0},
      {"v1 shared memory counted", "4:memory:/job\n", {{"memory/job/memory.stat", v1_shmem_stat}},
       "", 700 * kMiB - margin(700 * kMiB) - 250 * kMiB},
      {"v2 shared memory counted", "0::/box\n",
       {{"cgroup.controllers", ""}, {"box/memory.max", "734003200\n"}, {"box/memory.stat", v2_shmem_stat}},
       "", 700 * kMiB - margin(700 * kMiB) - 150 * kMiB},
      {"v1 in a container, found through the mount table", "4:memory:/docker/c0ffee\n",
       {{"memory/memory.stat", v1_stat}}, "", 700 * kMiB - margin(700 * kMiB) - 200 * kMiB,
       docker_v1},
      {"v1 mount of the whole hierarchy elsewhere", "4:memory:/job\n",
       {{"mem/job/memory.stat", v1_stat}, {"mem/memory.stat", "hierarchical_memory_limit 9223372036854771712\n"}},
       "", 700 * kMiB - margin(700 * kMiB) - 200 * kMiB,
       "34 30 0:31 / @/mem rw - cgroup cgroup rw,memory,nosuid\n"},
      {"v1 path unknown under the mount: the mount point is the group", "4:memory:/elsewhere/job\n",
       {{"memory/memory.stat", v1_stat}}, "", 700 * kMiB - margin(700 * kMiB) - 200 * kMiB,
       "34 30 0:31 /docker/c0ffee @/memory rw - cgroup cgroup rw,memory\n"},
      {"v2 in a container, the mount showing an ancestor", "0::/outer/box\n",
       {{"cgroup.controllers", ""},
        {"memory.max", "314572800\n"},
        {"memory.stat", v2_stat},
        {"box/memory.max", "734003200\n"},
        {"box/memory.stat", v2_stat}},
       "", 300 * kMiB - margin(300 * kMiB) - 100 * kMiB,
       "40 30 0:37 /outer @ rw - cgroup2 cgroup2 rw\n"},
      {"a mount point with a space, escaped in the table", "4:memory:/\n",
       {{"my mem/memory.stat", v1_stat}}, "", 700 * kMiB - margin(700 * kMiB) - 200 * kMiB,
       "34 30 0:31 / @/my\\040mem rw - cgroup cgroup rw,memory\n"},
      {"a v1 hierarchy without the memory controller", "4:cpu:/\n",
       {{"cpu/memory.stat", v1_stat}}, "", kNoMemoryBound,
       "31 30 0:28 / @/cpu rw - cgroup cgroup rw,cpu\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    MemorySources sources;
    sources.cgroup_root = dir / "cgroup";
    sources.cgroup_membership = dir / "membership";
    sources.meminfo = dir / "meminfo";
    sources.mountinfo = dir / "mountinfo";
    if (!c.mountinfo.empty()) {
      std::string table = c.mountinfo;
      for (std::size_t at = table.find('@'); at != std::string::npos; at = table.find('@', at)) {
        table.replace(at, 1, sources.cgroup_root);
      }
      write_file(sources.mountinfo, table);
    }
    if (!c.membership.empty()) write_file(sources.cgroup_membership, c.membership);
    if (!c.meminfo.empty()) write_file(sources.meminfo, c.meminfo);
    for (const auto& [path, text] : c.files) {
      std::string full = sources.cgroup_root + "/" + path;
      for (std::size_t slash = full.find('/', dir.path().size() + 1); slash != std::string::npos;
           slash = full.find('/', slash + 1)) {
        ::mkdir(full.substr(0, slash).c_str(), 0755);
      }
      write_file(full, text);
    }
    EXPECT_EQ(memory_budget(sources), c.budget);
  }
}

}  // namespace
}  // namespace orvel
