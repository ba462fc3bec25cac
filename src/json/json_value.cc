// Objects and their repeated keys.
#include "json/json_value.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "base/pages.h"
#include "base/platform.h"

namespace orvel {

namespace {

// Objects up to this size look for repeated keys through a 256-bit filter first: a key whose
// bit is already set is compared with the keys before it. Repeats are rare, so the filter
// almost always says "new" without a single compare, and crafted keys that share one bit cost
// at most the pairs of this many keys. Only objects it cannot clear build a hash index.
constexpr std::size_t kFilterMax = 64;

// Per-process key for the hash, so that crafted keys cannot be chosen to collide.
std::uint64_t hash_seed() {
  static const std::uint64_t seed = process_random_bits() | 1;
  return seed;
}

std::uint64_t mix(std::uint64_t h) {
  h ^= h >> 32;
  h *= 0xd6e8feb86659fd93ull;
  h ^= h >> 32;
  return h;
}

std::uint64_t load8(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

std::uint64_t load4(const char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

std::uint64_t hash_key(std::string_view key) {
  const char* p = key.data();
  std::size_t n = key.size();
  std::uint64_t h = hash_seed() ^ (n * 0x9e3779b97f4a7c15ull);
  for (; n > 8; n -= 8, p += 8) h = mix(h ^ load8(p)) * 0x9e3779b97f4a7c15ull;
  // The last 1 to 8 bytes in whole loads that may overlap (the length is already mixed in):
  // copying a short tail byte by byte into a word costs a stalled load on every key.
  std::uint64_t tail = 0;
  if (n >= 4) {
    tail = load4(p) | (load4(p + n - 4) << 32);
  } else if (n > 0) {
    auto byte = [p](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])); };
    tail = (byte(0) << 16) | (byte(n / 2) << 8) | byte(n - 1);
  }
  return mix(h ^ tail);
}

// Whether some key occurs twice among `entries`.
bool has_repeated_key(std::span<const ObjectEntry> entries) {
  std::uint64_t seen[4] = {};
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::string_view key = entries[i].key();
    std::uint64_t hash = key.empty() ? key_filter_hash(0, 0, 0)
                                     : key_filter_hash(key.size(), static_cast<unsigned char>(key.front()),
                                                       static_cast<unsigned char>(key.back()));
    auto bit = static_cast<unsigned>((hash >> 50) & 255);
    std::uint64_t& word = seen[bit / 64];
    std::uint64_t mask = std::uint64_t{1} << (bit % 64);
    if ((word & mask) != 0) {
      for (std::size_t j = 0; j < i; ++j) {
        if (entries[j].key() == key) return true;
      }
    }
    word |= mask;
  }
  return false;
}

// Slots of an index over `entries` keys: at most half full, so probes stay short.
std::size_t index_slots_for(std::size_t entries) {
  std::size_t slots = 16;
  while (slots < entries * 2 + 2) slots *= 2;
  return slots;
}

// The slot of `key` in `index`, whose slots hold an entry position + 1 (0 is empty) and whose
// word before the slots holds the slot count - 1: the slot naming the entry with this key, or
// the empty slot where it would go.
std::size_t index_slot(const std::uint32_t* index, const ObjectEntry* entries, std::string_view key) {
  std::size_t mask = index[-1];
  std::size_t slot = hash_key(key) & mask;
  while (index[slot] != 0 && entries[index[slot] - 1].key() != key) slot = (slot + 1) & mask;
  return slot;
}

// Entry `from` joins the kept ones, or, when an earlier kept entry has its key, takes that
// entry's place: the keys are the same bytes, so only the value changes.
void keep_entry(std::span<ObjectEntry> entries, std::size_t from, std::size_t earlier,
                std::size_t& kept) {
  entries[earlier != SIZE_MAX ? earlier : kept++] = entries[from];
}

}  // namespace

// Repeated keys -------------------------------------------------------------------------------

std::size_t remove_repeated_keys(std::span<ObjectEntry> entries) {
  std::size_t n = entries.size();
  // The usual object has no repeated key.
  if (n <= kFilterMax && !has_repeated_key(entries)) return n;
  // Entry positions are 32-bit in the index; an object of four billion entries cannot be held
  // in memory anyway.
  if (n >= UINT32_MAX) throw std::bad_alloc();
  // Zeroed memory: a large index is pages from the kernel, of which only those the keys hash to
  // are ever touched, so one key repeated millions of times costs a page (at most a huge one,
  // 2 MiB).
  std::size_t slots = index_slots_for(n);
  std::size_t index_bytes = (1 + slots) * sizeof(std::uint32_t);
  auto* block = static_cast<std::uint32_t*>(allocate_zeroed_pages(index_bytes));
  if (block == nullptr) throw std::bad_alloc();
  block[0] = static_cast<std::uint32_t>(slots - 1);
  std::uint32_t* index = block + 1;
  std::size_t kept = 0;
  // Kept entries never lie past the one being looked at, so they close up in place.
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t& slot = index[index_slot(index, entries.data(), entries[i].key())];
    keep_entry(entries, i, slot != 0 ? slot - 1 : SIZE_MAX, kept);
    if (slot == 0) slot = static_cast<std::uint32_t>(kept);
  }
  free_pages(block, index_bytes);
  return kept;
}

// Objects -------------------------------------------------------------------------------------

ObjectEntry ObjectEntry::make_long(Arena& arena, std::string_view key, const JsonValue& value) {
  auto* entry = new (arena.allocate(sizeof(LongEntry), alignof(LongEntry)))
      LongEntry{key, value.payload_, value.size_and_kind_};
  auto address = reinterpret_cast<std::uintptr_t>(entry);
  if ((address >> kAddressBits) != 0) throw std::bad_alloc();
  return ObjectEntry(address | (std::uint64_t{kLongKey} << kKeyShift), 0);
}

}  // namespace orvel
