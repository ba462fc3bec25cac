// Tests of the buffer's growth, its pages and their charge to the memory meter.
#include "base/byte_buffer.h"

#include <cstdint>
#include <new>
#include <utility>

#include <gtest/gtest.h>

#include "base/memory_meter.h"

namespace orvel {
namespace {

// The room a limit leaves beside what is charged, as the kernel would give it.
std::uint64_t g_memory_limit = 0;
std::uint64_t room_under_limit() {
  return g_memory_limit > charged_memory() ? g_memory_limit - charged_memory() : 0;
}

bool refused(ByteBuffer& buffer, std::size_t end) {
  try {
    buffer.populate(end);
  } catch (const std::bad_alloc&) {
    return true;
  }
  return false;
}

TEST(ByteBuffer, IsChargedForThePagesItIsGivenAndGivesThemBack) {
  constexpr std::size_t kMb = std::size_t{1} << 20;
  const std::uint64_t held = charged_memory();
  g_memory_limit = held + 16 * kMb;
  set_memory_room_source(room_under_limit);
  {
    ByteBuffer a;
    // Address space is not memory: a buffer far larger than the limit may be mapped.
    a.resize(64 * kMb);
    EXPECT_EQ(charged_memory(), held);
    a.populate(10 * kMb);
    EXPECT_EQ(charged_memory(), held + 10 * kMb);
    // A populate beyond the limit is refused and charges nothing.
    a.data()[10 * kMb - 1] = 'a';
    EXPECT_TRUE(refused(a, 20 * kMb));
    EXPECT_EQ(a.populated(), 10 * kMb);
    EXPECT_EQ(charged_memory(), held + 10 * kMb);
    // A buffer filled a little at a time is given a stretch ahead.
    a.populate(10 * kMb + 1);
    EXPECT_EQ(a.populated(), 12 * kMb);
    EXPECT_EQ(charged_memory(), held + 12 * kMb);
    // Shrinking gives back the pages past the new end.
    a.resize(6 * kMb);
    EXPECT_EQ(charged_memory(), held + 6 * kMb);
    ByteBuffer b;
    b.resize(8 * kMb);
    b.populate(8 * kMb);
    {
      ByteBuffer c;
      c.resize(4 * kMb);
      EXPECT_TRUE(refused(c, 4 * kMb));
      b.release();
      EXPECT_EQ(charged_memory(), held + 6 * kMb);
      EXPECT_FALSE(refused(c, 4 * kMb));
    }
    // A mapped buffer is whole huge pages, and is populated and charged in whole ones, as the
    // kernel gives them.
    {
      ByteBuffer d;
      d.resize(3 * kMb);
      EXPECT_EQ(d.capacity(), 4 * kMb);
      d.populate(3 * kMb + 1);
      EXPECT_EQ(d.populated(), 4 * kMb);
      EXPECT_EQ(charged_memory(), held + 10 * kMb);
    }
    // Growing past the capacity doubles it at least, keeps the contents and charges only what
    // is populated.
    a.data()[6 * kMb - 1] = 'b';
    a.populate(6 * kMb + 1);
    EXPECT_EQ(a.capacity(), 12 * kMb);
    EXPECT_EQ(a.data()[6 * kMb - 1], 'b');
    EXPECT_EQ(charged_memory(), held + 8 * kMb);
    a.populate(14 * kMb);
    // A moved buffer keeps its pages and their charge.
    ByteBuffer moved(std::move(a));
    EXPECT_EQ(moved.populated(), 14 * kMb);
    EXPECT_EQ(charged_memory(), held + 14 * kMb);
  }
  EXPECT_EQ(charged_memory(), held);
  // Small buffers come from malloc and are charged all the same.
  g_memory_limit = held;
  set_memory_room_source(room_under_limit);  // read anew: the last reading left room
  ByteBuffer small;
  small.resize(1024);
  EXPECT_TRUE(refused(small, 1024));
  set_memory_room_source(nullptr);
}

}  // namespace
}  // namespace orvel
