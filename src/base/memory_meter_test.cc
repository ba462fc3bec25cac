// The memory meter: when it reads the limits again, and what stays charged.
#include "base/memory_meter.h"

#include <cstdint>

#include <gtest/gtest.h>

namespace orvel {
namespace {

constexpr std::uint64_t kMiB = 1u << 20;

// What other processes of the group hold, and the group's limit, as a test sets them.
std::uint64_t g_others = 0;
std::uint64_t g_limit = 0;
int g_readings = 0;
std::uint64_t room_in_group() {
  ++g_readings;
  std::uint64_t held = g_others + charged_memory();
  return g_limit > held ? g_limit - held : 0;
}

// The limits are read when a charge does not fit what the last reading left, and only then:
// memory another process gave back since counts, and charges that fit cost no reading.
TEST(MemoryMeter, ReadsTheLimitsAgainBeforeRefusingACharge) {
  const std::uint64_t held = charged_memory();
  g_limit = held + 220 * kMiB;
  g_others = 150 * kMiB;
  g_readings = 0;
  set_memory_room_source(room_in_group);
  EXPECT_TRUE(charge_memory(1 * kMiB));
  EXPECT_EQ(g_readings, 1);
  EXPECT_TRUE(charge_memory(60 * kMiB));
  EXPECT_EQ(g_readings, 1);
  EXPECT_FALSE(charge_memory(20 * kMiB));  // 150 + 61 + 20 > 220
  EXPECT_EQ(g_readings, 2);
  EXPECT_EQ(charged_memory(), held + 61 * kMiB);
  g_others = 0;  // the other process ended
  EXPECT_TRUE(charge_memory(20 * kMiB));
  EXPECT_EQ(g_readings, 3);
  EXPECT_TRUE(charge_memory(100 * kMiB));
  EXPECT_EQ(g_readings, 3);
  // Given back, charged again: no reading while it fits.
  release_memory(100 * kMiB);
  EXPECT_TRUE(charge_memory(100 * kMiB));
  EXPECT_EQ(g_readings, 3);
  // Another process took what was left meanwhile: the refusal is seen from a new reading.
  g_others = 39 * kMiB;
  EXPECT_TRUE(charge_memory(39 * kMiB - 1));  // the last reading left room for it
  EXPECT_FALSE(charge_memory(1 * kMiB));
  EXPECT_EQ(g_readings, 4);
  release_memory(charged_memory() - held);
  set_memory_room_source(nullptr);
}

}  // namespace
}  // namespace orvel
