// Tests of the arena's reuse, alignment and padding.
#include "base/arena.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace orvel {
namespace {

TEST(Arena, ResetReusesTheLargestBlockAndKeepsAllocationsApart) {
  Arena arena;
  constexpr std::size_t kBig = 1 << 20;  // larger than the first block, so it gets its own
  (void)arena.allocate(100, 1);
  void* big = arena.allocate(kBig, 16);
  std::memset(big, 0xAB, kBig);
  arena.reset();
  // The big block is kept and handed out again from its start.
  EXPECT_EQ(arena.allocate(kBig, 16), big);
  // That block is a mapping of whole 2 MiB pages, and all of it is used: the next half
  // megabyte follows on in it rather than starting a block of its own.
  auto* next = static_cast<char*>(arena.allocate(kBig / 2, 16));
  EXPECT_EQ(next, static_cast<char*>(big) + kBig);
  std::memset(next, 0xCD, kBig / 2);

  arena.reset();
  // Alignment is honoured after odd sizes, and allocations never overlap.
  std::vector<std::pair<std::uintptr_t, std::size_t>> spans;
  for (std::size_t i = 1; i < 2000; ++i) {
    std::size_t align = std::size_t{1} << (i % 5);
    auto* p = static_cast<char*>(arena.allocate(i % 97 + 1, align));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % align, 0u);
    std::memset(p, static_cast<int>(i), i % 97 + 1);  // the sanitizer build catches overruns
    spans.emplace_back(reinterpret_cast<std::uintptr_t>(p), i % 97 + 1);
  }
  std::sort(spans.begin(), spans.end());
  for (std::size_t i = 1; i < spans.size(); ++i) {
    EXPECT_LE(spans[i - 1].first + spans[i - 1].second, spans[i].first);
  }
  EXPECT_EQ(arena.copy("text"), "text");
  // Whatever fills a block to its end, the padding after it can be read (the sanitizer build
  // catches a read beyond a block).
  for (std::size_t bytes : {std::size_t{1}, std::size_t{4096}, kBig, 3 * kBig}) {
    Arena fresh;
    auto* p = static_cast<const volatile char*>(fresh.allocate(bytes, 1));
    for (std::size_t i = 0; i < kReadPadding; ++i) (void)p[bytes + i];
  }
  EXPECT_TRUE(arena.copy("").empty());
}

}  // namespace
}  // namespace orvel
