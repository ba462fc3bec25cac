// The fix: every object at every depth put into natural key order.
#ifndef ORVEL_RULES_SORT_KEYS_H_
#define ORVEL_RULES_SORT_KEYS_H_

#include <cstdint>
#include <vector>

#include "json/json_value.h"

namespace orvel {

// What the sort moves: an entry's place and the summary of its key. Most comparisons are
// settled by the summaries alone, and moving 16 bytes costs less than moving a 32-byte entry.
struct SortItem {
  std::uint64_t prefix;
  ObjectEntry* entry;
};

// Buffers the sort reuses from object to object and, kept by the caller, from document to
// document: a run over many small files then allocates nothing here. They are sized by the
// largest object met, at most 64 bytes an entry, and mean nothing between calls.
struct SortScratch {
  std::vector<SortItem> items;
  std::vector<SortItem> buffer;
  std::vector<ObjectEntry> gathered;
};

// Reorders the entries of every object in `value` by natural_compare with a stable sort (keys
// that compare equal, such as a1 and a01, keep their order). Arrays keep their element order.
void sort_keys(JsonValue& value, SortScratch& scratch);
// The same with buffers of its own, for a single document.
void sort_keys(JsonValue& value);

}  // namespace orvel

#endif  // ORVEL_RULES_SORT_KEYS_H_
