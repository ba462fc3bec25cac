// The memory budget from control group files, meminfo and the address-space room.
#include "base/memory_budget.h"

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/pages.h"
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
    std::uint64_t room;
    std::uint64_t budget;
  };
  const std::string v2_stat = "anon 104857600\nfile 9999999999\n";  // 100 MiB not reclaimable
  const std::string v1_stat = "cache 1\nrss 2\nhierarchical_memory_limit 734003200\ntotal_cache 9999999999\n"
                              "total_rss 209715200\n";  // 700 MiB limit, 200 MiB resident
  const Case cases[] = {
      {"nothing readable", "", {}, "", kNoMemoryBound, kNoMemoryBound},
      {"memory available", "", {}, "MemTotal: 9 kB\nMemAvailable:    2048 kB\n", kNoMemoryBound, 2 * kMiB},
      {"address space", "", {}, "MemAvailable: 4096 kB\n", 3 * kMiB, 3 * kMiB},
      {"v2 group, page cache not counted",
       "0::/box\n",
       {{"cgroup.controllers", "memory\n"}, {"box/memory.max", "734003200\n"}, {"box/memory.stat", v2_stat}},
       "MemAvailable: 8388608 kB\n", kNoMemoryBound, 600 * kMiB},
      {"v2 ancestor lower than the group",
       "0::/outer/inner\n",
       {{"cgroup.controllers", ""},
        {"outer/memory.max", "314572800\n"},
        {"outer/memory.stat", v2_stat},
        {"outer/inner/memory.max", "max\n"},
        {"outer/inner/memory.stat", v2_stat}},
       "", kNoMemoryBound, 200 * kMiB},
      {"v2 beside v1, under unified/",
       "4:memory:/\n0::/box\n",
       {{"memory/memory.stat", "hierarchical_memory_limit 9223372036854771712\ntotal_rss 5\n"},
        {"unified/box/memory.max", "209715200\n"},
        {"unified/box/memory.stat", v2_stat}},
       "", kNoMemoryBound, 100 * kMiB},
      {"v1 group with other controllers",
       "5:cpu,memory:/job\n3:pids:/\n",
       {{"memory/job/memory.stat", v1_stat}},
       "MemAvailable: 8388608 kB\n", kNoMemoryBound, 500 * kMiB},
      {"v1 unlimited", "4:memory:/\n", {{"memory/memory.stat", "hierarchical_memory_limit 9223372036854771712\n"}},
       "", kNoMemoryBound, kNoMemoryBound},
      {"more held than allowed", "0::/box\n",
       {{"cgroup.controllers", ""}, {"box/memory.max", "1048576\n"}, {"box/memory.stat", v2_stat}},
       "", kNoMemoryBound, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    MemorySources sources;
    sources.cgroup_root = dir / "cgroup";
    sources.cgroup_membership = dir / "membership";
    sources.meminfo = dir / "meminfo";
    sources.address_space_room = c.room;
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

// The limits are read once, when the first block is to be mapped, and bind from then on.
TEST(MemoryBudget, IsWorkedOutWhenTheFirstBlockIsMappedAndThenKept) {
  static int calls = 0;
  static std::size_t budget = 0;
  calls = 0;
  budget = mapped_bytes() + 8 * kMiB;
  set_memory_budget_from([] {
    ++calls;
    return budget;
  });
  void* small = allocate_pages(1024);  // from malloc: needs no budget
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(allocate_pages(16 * kMiB), nullptr);
  EXPECT_EQ(calls, 1);
  void* block = allocate_pages(6 * kMiB);
  EXPECT_NE(block, nullptr);
  EXPECT_EQ(resize_pages(block, 6 * kMiB, 12 * kMiB), nullptr);
  EXPECT_EQ(calls, 1);
  free_pages(block, 6 * kMiB);
  free_pages(small, 1024);
  set_memory_budget(SIZE_MAX);
}

}  // namespace
}  // namespace orvel
