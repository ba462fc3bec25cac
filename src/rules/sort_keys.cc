// The key-sorting fix: a stable natural-order sort of every object's entries, in place.
#include "rules/sort_keys.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <utility>

#include "base/pages.h"
#include "natural/natural.h"

namespace orvel {

namespace {

// Runs this short are insertion sorted: for so few entries its shifting costs less than
// merging through the buffer.
constexpr std::size_t kInsertionRun = 16;

// What the sort moves: an entry's place and the summary of its key. Most comparisons are
// settled by the summaries alone, and moving 16 bytes costs less than moving a 32-byte entry.
struct Item {
  std::uint64_t prefix;
  ObjectEntry* entry;
};

bool less(const Item& a, const Item& b) {
  if (a.prefix != b.prefix) return a.prefix < b.prefix;
  return natural_compare(a.entry->key, b.entry->key) < 0;
}

// Room for `count` trivially copyable items whose contents need not survive growth, in page
// memory, so that a large object's sort is counted against the memory budget like the
// document itself.
template <class T>
class Scratch {
 public:
  Scratch() = default;
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() { free_pages(data_, capacity_ * sizeof(T)); }

  T* room(std::size_t count) {
    if (count > capacity_) {
      // Freed first: what it held is not needed, and the old and new block are never both held.
      std::size_t capacity = std::max(count, capacity_ * 2);
      free_pages(data_, capacity_ * sizeof(T));
      data_ = nullptr;
      capacity_ = 0;
      if (capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
      data_ = static_cast<T*>(allocate_pages(capacity * sizeof(T)));
      if (data_ == nullptr) throw std::bad_alloc();
      capacity_ = capacity;
    }
    return data_;
  }

  // Gives a block that only a large object needed back, so that the rest of the run does not
  // hold it. Small blocks stay for the next document.
  void trim() {
    if (capacity_ * sizeof(T) < kKeptScratchBytes) return;
    free_pages(data_, capacity_ * sizeof(T));
    data_ = nullptr;
    capacity_ = 0;
  }

 private:
  static constexpr std::size_t kKeptScratchBytes = 1u << 20;  // 64 Ki items or 32 Ki entries
  T* data_ = nullptr;
  std::size_t capacity_ = 0;
};

// Its buffers are allocated once and reused by every object.
struct Sorter {
  Scratch<Item> items;
  Scratch<Item> buffer;           // the left half of a merge
  Scratch<ObjectEntry> gathered;  // the entries in their new order, before they go back

  // Sorts [lo, hi) when [lo, sorted) is already in order. Stable: an item moves ahead of
  // another only when its key compares Less. The place is found by binary search, since a key
  // comparison may cost far more than moving an item.
  static void insertion_sort(Item* e, std::size_t lo, std::size_t sorted, std::size_t hi) {
    for (std::size_t t = sorted; t < hi; ++t) {
      if (!less(e[t], e[t - 1])) continue;
      // The first of [lo, t - 1] whose key is greater than the moving one: after every equal key.
      std::size_t left = lo;
      std::size_t right = t - 1;
      while (left < right) {
        std::size_t middle = left + (right - left) / 2;
        if (less(e[t], e[middle])) {
          right = middle;
        } else {
          left = middle + 1;
        }
      }
      Item moving = e[t];
      for (std::size_t p = t; p > left; --p) e[p] = e[p - 1];
      e[left] = moving;
    }
  }

  // Merges the sorted ranges [lo, mid) and [mid, hi). On ties the left item goes first.
  void merge(Item* e, std::size_t lo, std::size_t mid, std::size_t hi) {
    if (!less(e[mid], e[mid - 1])) return;  // already in order across the seam
    std::size_t left = mid - lo;
    Item* half = buffer.room(left);
    std::copy(e + lo, e + mid, half);
    std::size_t i = 0;
    std::size_t j = mid;
    std::size_t k = lo;
    // k never passes j: it has written exactly the i + (j - mid) items taken so far.
    while (i < left && j < hi) {
      if (less(e[j], half[i])) {
        e[k++] = e[j++];
      } else {
        e[k++] = half[i++];
      }
    }
    while (i < left) e[k++] = half[i++];
  }

  // Bottom-up merge sort of [lo, hi): no recursion, whatever the size.
  void merge_sort(Item* e, std::size_t lo, std::size_t hi) {
    for (std::size_t run = lo; run < hi; run += kInsertionRun) {
      insertion_sort(e, run, run + 1, run + kInsertionRun < hi ? run + kInsertionRun : hi);
    }
    for (std::size_t width = kInsertionRun; width < hi - lo; width *= 2) {
      for (std::size_t start = lo; start + width < hi; start += 2 * width) {
        std::size_t end = start + 2 * width < hi ? start + 2 * width : hi;
        merge(e, start, start + width, end);
      }
    }
  }

  void sort_object(ObjectMap& map) {
    std::span<ObjectEntry> entries = map.entries();
    std::size_t n = entries.size();
    if (n < 2) return;
    Item* e = items.room(n);
    for (std::size_t i = 0; i < n; ++i) e[i] = Item{natural_prefix(entries[i].key), &entries[i]};
    // A file processed a second time is already in order: that costs n - 1 comparisons and
    // moves nothing. Otherwise the ordered prefix is kept and merged with the sorted rest.
    std::size_t prefix = 1;
    while (prefix < n && !less(e[prefix], e[prefix - 1])) ++prefix;
    if (prefix >= n) return;
    if (n <= 2 * kInsertionRun) {
      insertion_sort(e, 0, prefix, n);
    } else {
      merge_sort(e, prefix, n);
      merge(e, 0, prefix, n);
    }
    // The items point into the entries, so the entries are gathered aside before any moves.
    ObjectEntry* aside = gathered.room(n);
    for (std::size_t i = 0; i < n; ++i) aside[i] = std::move(*e[i].entry);
    std::move(aside, aside + n, entries.begin());
    map.drop_index();  // positions moved; a stale index would find the wrong entries
  }

  // Recursion depth is the document's nesting, which the reader caps at 127 levels.
  void sort_value(JsonValue& value) {
    switch (value.kind()) {
      case JsonKind::Array:
        for (JsonValue& item : value.as_array()) {
          if (item.is_container()) sort_value(item);
        }
        break;
      case JsonKind::Object: {
        ObjectMap& map = value.as_object();
        sort_object(map);
        for (ObjectEntry& entry : map.entries()) {
          if (entry.value.is_container()) sort_value(entry.value);
        }
        break;
      }
      case JsonKind::Null:
      case JsonKind::Bool:
      case JsonKind::Number:
      case JsonKind::String:
        break;
    }
  }
};

}  // namespace

void sort_keys(JsonValue& value) {
  // Kept from document to document: a run over many small files then allocates nothing here.
  // What it holds is sized by the largest object met, at most 56 bytes an entry, and given
  // back after a large one.
  static thread_local Sorter sorter;
  sorter.sort_value(value);
  sorter.items.trim();
  sorter.buffer.trim();
  sorter.gathered.trim();
}

}  // namespace orvel
