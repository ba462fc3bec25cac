// The memory meter: charges against the room the memory budget leaves.
#include "base/memory_meter.h"

#include <algorithm>
#include <new>

#include "base/memory_budget.h"

namespace orvel {

namespace {

// Charges up to this need no reading of the limits: most runs never get there, and reading
// them costs more than rewriting a small file. It is within what the margin below a group's
// limit keeps free anyway.
constexpr std::uint64_t kUnmeteredBytes = 4u << 20;

std::uint64_t default_room() {
  // Without memory even to read the limits, nothing more is allowed: the file that asked fails.
  // The address-space room is not asked: populating memory takes no more address space, and
  // blocks are held to it where they are mapped.
  try {
    return memory_budget(MemorySources{});
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

// The tool is single-threaded; the meter is only used between system calls of its own thread.
std::uint64_t g_charged = 0;
// Charges fit up to here: what was charged when the limits were last read plus the room they
// left. Stale charges (memory given back that the meter still counts, pages of a file that
// shrank) cancel out at each reading.
std::uint64_t g_ceiling = kUnmeteredBytes;
std::uint64_t (*g_room_source)() = default_room;

bool fits(std::uint64_t bytes) { return g_charged <= g_ceiling && bytes <= g_ceiling - g_charged; }

}  // namespace

bool charge_memory(std::uint64_t bytes) {
  if (!fits(bytes)) {
    std::uint64_t room = g_room_source();
    g_ceiling = room > kNoMemoryBound - g_charged ? kNoMemoryBound : g_charged + room;
    if (!fits(bytes)) return false;
  }
  g_charged += bytes;
  return true;
}

void release_memory(std::uint64_t bytes) { g_charged -= std::min(bytes, g_charged); }

void set_memory_room_source(std::uint64_t (*room)()) {
  g_room_source = room != nullptr ? room : default_room;
  g_ceiling = g_charged;
}

std::uint64_t charged_memory() { return g_charged; }

}  // namespace orvel
