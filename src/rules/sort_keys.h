// The fix: every object at every depth put into natural key order.
#ifndef ORVEL_RULES_SORT_KEYS_H_
#define ORVEL_RULES_SORT_KEYS_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "base/byte_buffer.h"
#include "json/json_value.h"
#include "json/reader.h"

namespace orvel {

// What the sort moves: an entry's place and the summary of its key. Most comparisons are
// settled by the summaries alone, and moving 16 bytes costs less than moving a 32-byte entry.
struct SortItem {
  std::uint64_t prefix;
  ObjectEntry* entry;
};

// Room for `count` trivially copyable items whose contents need not survive growth, in a
// buffer given its pages and charged to the memory meter as far as it is used, so that a large
// object's sort is counted like the document itself.
template <class T>
class PageScratch {
 public:
  T* room(std::size_t count) {
    std::size_t bytes = count * sizeof(T);
    if (bytes > block_.capacity()) {
      // Given back first: what it held is not needed, and the old and new block are never both held.
      std::size_t doubled = block_.capacity() * 2;
      block_.release();
      block_.reserve(std::max(bytes, doubled));
    }
    block_.populate(bytes);
    return reinterpret_cast<T*>(block_.data());
  }

  // Gives a block that only a large object needed back, so that the rest of the run does not
  // hold it. Small blocks stay for the next document.
  void trim() {
    if (block_.capacity() >= kKeptScratchBytes) block_.release();
  }

 private:
  static constexpr std::size_t kKeptScratchBytes = 1u << 20;  // 64 Ki items or 32 Ki entries
  ByteBuffer block_;
};

// Buffers the sort reuses from object to object and, kept by the caller, from document to
// document: a run over many small files then allocates nothing here. They are sized by the
// largest object met, at most 64 bytes an entry, given back after a large one, and mean
// nothing between calls.
struct SortScratch {
  PageScratch<SortItem> items;
  PageScratch<SortItem> buffer;
  PageScratch<ObjectEntry> gathered;
};

// Reorders the entries of every object in `value` by natural_compare with a stable sort (keys
// that compare equal, such as a1 and a01, keep their order). Arrays keep their element order.
// Memory running out for its buffers throws std::bad_alloc, the entries then in no promised order.
void sort_keys(JsonValue& value);

// The same order given to the reader, which then sorts each object as it closes, while its
// entries are still in the cache, instead of in a second walk over the whole document. The
// sort works in `scratch`, which must outlive the read; trim_sort_scratch after the document.
EntryOrder natural_entry_order(SortScratch& scratch);

// Gives back what only a large object needed, so that the rest of the run does not hold it.
void trim_sort_scratch(SortScratch& scratch);

}  // namespace orvel

#endif  // ORVEL_RULES_SORT_KEYS_H_
