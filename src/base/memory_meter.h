// The one meter that every stretch of memory given its pages is charged to, against the memory
// budget.
#ifndef ORVEL_BASE_MEMORY_METER_H_
#define ORVEL_BASE_MEMORY_METER_H_

#include <cstdint>

namespace orvel {

// Memory is charged when it is about to be given its pages (not when address space is mapped
// for it) and released when it is given back. The limits are read when the charges first pass
// a few megabytes, and again whenever a charge would be refused, so memory that other processes
// gave back meanwhile counts. Single-threaded, like the rest of the tool.

// Charges `bytes`; false, charging nothing, when they do not fit in the room left. Matches
// `bool (*)(std::uint64_t)`, the question an overwrite asks before a file whose pages are memory
// grows: such a growth stays charged, since its pages stay in this process's control group
// until the file shrinks or goes (the next reading of the limits sees them in the group's own
// count and corrects for it).
[[nodiscard]] bool charge_memory(std::uint64_t bytes);
// Gives back `bytes` charged before.
void release_memory(std::uint64_t bytes);

// The meter's seam, as FileOps is the file calls': tests give it a room of their choosing to run
// out of memory at a step they pick, and read what is charged to see that all of it comes back.
// The room source says how much may be charged beside what is charged now; nullptr restores
// memory_budget of the process's own sources. The next charge asks the new source.
void set_memory_room_source(std::uint64_t (*room)());
std::uint64_t charged_memory();

}  // namespace orvel

#endif  // ORVEL_BASE_MEMORY_METER_H_
