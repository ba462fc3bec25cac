// The key-sorting fix: a stable natural-order sort of every object's entries, in place.
#include "rules/sort_keys.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <utility>

#include "base/pages.h"
#include "natural/natural.h"
#include "rules/rules.h"

namespace orvel {

namespace {

// Runs this short are insertion sorted: for so few entries its shifting costs less than
// merging through the buffer.
constexpr std::size_t kInsertionRun = 16;

using Item = SortItem;

bool less(const Item& a, const Item& b) {
  if (a.prefix != b.prefix) return a.prefix < b.prefix;
  return natural_compare(a.entry->key(), b.entry->key()) < 0;
}

// Sorts through the caller's buffers, which every object of every document reuses.
struct Sorter {
  PageScratch<Item>& items;
  PageScratch<Item>& buffer;           // the left half of a merge
  PageScratch<ObjectEntry>& gathered;  // the entries in their new order, before they go back

  // Sorts [lo, hi) when [lo, sorted) is already in order. Stable: an item moves ahead of
  // another only when its key compares Less. Each item is moved back one place at a time while
  // it compares Less: on runs this short that costs fewer steps than finding its place first,
  // and most steps are settled by the summaries alone.
  static void insertion_sort(Item* e, std::size_t lo, std::size_t sorted, std::size_t hi) {
    for (std::size_t t = sorted; t < hi; ++t) {
      if (!less(e[t], e[t - 1])) continue;
      Item moving = e[t];
      std::size_t p = t;
      do {
        e[p] = e[p - 1];
        --p;
      } while (p > lo && less(moving, e[p - 1]));
      e[p] = moving;
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

  // Puts `entries` in order at `destination`, which is either `entries` itself or room for as
  // many entries elsewhere.
  void sort_object(std::span<ObjectEntry> entries, ObjectEntry* destination) {
    std::size_t n = entries.size();
    bool in_place = destination == entries.data();
    if (n < 2) {
      if (n == 1 && !in_place) std::memcpy(static_cast<void*>(destination), entries.data(), sizeof(ObjectEntry));
      return;
    }
    Item* e = items.room(n);
    for (std::size_t i = 0; i < n; ++i) e[i] = Item{natural_prefix(entries[i].key()), &entries[i]};
    // A file processed a second time is already in order: that costs n - 1 comparisons and
    // moves nothing. Otherwise the ordered prefix is kept and merged with the sorted rest.
    std::size_t prefix = 1;
    while (prefix < n && !less(e[prefix], e[prefix - 1])) ++prefix;
    if (prefix >= n) {
      if (!in_place) std::memcpy(static_cast<void*>(destination), entries.data(), n * sizeof(ObjectEntry));
      return;
    }
    if (n <= 2 * kInsertionRun) {
      insertion_sort(e, 0, prefix, n);
    } else {
      merge_sort(e, prefix, n);
      merge(e, 0, prefix, n);
    }
    // In place, the items point into the entries, so the entries are gathered aside first.
    ObjectEntry* to = in_place ? gathered.room(n) : destination;
    for (std::size_t i = 0; i < n; ++i) std::memcpy(static_cast<void*>(to + i), e[i].entry, sizeof(ObjectEntry));
    if (in_place) std::memcpy(static_cast<void*>(destination), to, n * sizeof(ObjectEntry));
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
        sort_object(value.as_object(), value.as_object().data());
        for (ObjectEntry& entry : value.as_object()) {
          if (JsonValue inner = entry.value(); inner.is_container()) sort_value(inner);
        }
        break;
      }
      case JsonKind::Null:
      case JsonKind::Bool:
      case JsonKind::Number:
      case JsonKind::String:
      case JsonKind::Text:
        break;
    }
  }
};

}  // namespace

void sort_keys(JsonValue& value) {
  SortScratch scratch;
  Sorter{scratch.items, scratch.buffer, scratch.gathered}.sort_value(value);
}

EntryOrder natural_entry_order(SortScratch& scratch) {
  return EntryOrder{[](void* context, std::span<ObjectEntry> entries, ObjectEntry* destination) {
                      auto& s = *static_cast<SortScratch*>(context);
                      Sorter{s.items, s.buffer, s.gathered}.sort_object(entries, destination);
                    },
                    &scratch, &entries_in_natural_order};
}

void trim_sort_scratch(SortScratch& scratch) {
  scratch.items.trim();
  scratch.buffer.trim();
  scratch.gathered.trim();
}

}  // namespace orvel
