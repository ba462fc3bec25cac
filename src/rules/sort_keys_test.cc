// The key-sorting fix: natural order, stability, nesting and a usable map afterwards.
#include "rules/sort_keys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "json/writer.h"
#include "natural/natural.h"
#include "rules/rules.h"

namespace orvel {
namespace {

using Keys = std::vector<std::string>;

// An object over a copy of `entries` in `arena`, which outlives the entries given.
JsonValue object_copy(Arena& arena, std::span<const ObjectEntry> entries) {
  auto* copy = arena.allocate_array<ObjectEntry>(entries.size());
  std::copy(entries.begin(), entries.end(), copy);
  return JsonValue::object({copy, entries.size()});
}

// An object whose value under each key is the key's original position, so that moves can be
// followed: after sorting, every key must still carry its own position.
JsonValue object_of(Arena& arena, const Keys& keys) {
  std::vector<ObjectEntry> entries;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    entries.push_back(ObjectEntry::make(arena, arena.copy(keys[i]), JsonValue::number({arena.copy(std::to_string(i))})));
  }
  return object_copy(arena, entries);
}

JsonValue array_of(Arena& arena, std::vector<JsonValue> items) {
  JsonValue* slots = arena.allocate_array<JsonValue>(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) new (&slots[i]) JsonValue(std::move(items[i]));
  return JsonValue::array({slots, items.size()});
}

Keys keys_of(const JsonValue& object) {
  Keys keys;
  for (const ObjectEntry& e : object.as_object()) keys.emplace_back(e.key());
  return keys;
}

// The order a stable sort by natural_compare must give, from the standard library's sort.
Keys stably_sorted(Keys keys) {
  std::stable_sort(keys.begin(), keys.end(),
                   [](const std::string& a, const std::string& b) { return natural_compare(a, b) < 0; });
  return keys;
}

void expect_each_key_keeps_its_value(const JsonValue& object, const Keys& original) {
  for (const ObjectEntry& e : object.as_object()) {
    auto at = std::find(original.begin(), original.end(), std::string(e.key())) - original.begin();
    EXPECT_EQ(e.value().as_number().text, std::to_string(at)) << e.key();
  }
}

std::string pretty(const JsonValue& v) {
  std::string out;
  write_pretty(v, "  ", out);
  return out;
}

// Keys from a short alphabet, so that ties such as a1/a01 and shared prefixes are frequent.
std::string random_key(std::mt19937_64& rng) {
  static const char* const kPieces[] = {"a", "b", "B", "0", "1", "01", "9", "10", "-", ".", "\xc3\xa9"};
  std::string key;
  for (std::size_t n = rng() % 5; n > 0; --n) key += kPieces[rng() % std::size(kPieces)];
  return key;
}

Keys random_unique_keys(std::mt19937_64& rng, std::size_t count) {
  Keys keys;
  while (keys.size() < count) {
    std::string k = random_key(rng) + std::to_string(rng() % 1000);
    if (std::find(keys.begin(), keys.end(), k) == keys.end()) keys.push_back(k);
  }
  return keys;
}

TEST(SortKeys, PutsObjectsInNaturalOrderKeepingTies) {
  struct Case {
    Keys in;
    Keys out;
  };
  const Case cases[] = {
      {{}, {}},
      {{"a"}, {"a"}},
      {{"b", "a"}, {"a", "b"}},
      {{"a10", "a9", "a1"}, {"a1", "a9", "a10"}},
      {{"a01", "a1"}, {"a01", "a1"}},
      {{"a1", "a01"}, {"a1", "a01"}},
      {{"b", "a01", "a1"}, {"a01", "a1", "b"}},
      {{"b", "a1", "a01"}, {"a1", "a01", "b"}},
      {{"a-1", "a1", "a0b"}, {"a0b", "a1", "a-1"}},
      {{"a", "b", "c", "a0"}, {"a", "a0", "b", "c"}},
      {{"\xc3\xa9", "z", "Z", "1"}, {"1", "Z", "z", "\xc3\xa9"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.in));
    Arena arena;
    JsonValue v = object_of(arena, c.in);
    sort_keys(v);
    ASSERT_EQ(v.kind(), JsonKind::Object);
    EXPECT_EQ(keys_of(v), c.out);
    expect_each_key_keeps_its_value(v, c.in);
  }
}

TEST(SortKeys, AgreesWithAStableSortOnObjectsOfEverySize) {
  std::mt19937_64 rng(99);
  for (std::size_t size : {1u, 2u, 3u, 15u, 16u, 17u, 31u, 32u, 33u, 64u, 100u, 257u, 1000u}) {
    for (int shape = 0; shape < 4; ++shape) {
      Keys keys = random_unique_keys(rng, size);
      // Plain random, an ordered prefix (long or short), and reversed: the paths the sort
      // takes for a partly ordered object.
      if (shape == 1) std::stable_sort(keys.begin(), keys.begin() + static_cast<long>(size * 3 / 4),
                                       [](auto& a, auto& b) { return natural_compare(a, b) < 0; });
      if (shape == 2) std::stable_sort(keys.begin(), keys.begin() + 1 + static_cast<long>(size / 8),
                                       [](auto& a, auto& b) { return natural_compare(a, b) < 0; });
      if (shape == 3) {
        keys = stably_sorted(keys);
        std::reverse(keys.begin(), keys.end());
      }
      SCOPED_TRACE("size " + std::to_string(size) + " shape " + std::to_string(shape));
      Arena arena;
      JsonValue v = object_of(arena, keys);
      sort_keys(v);
      EXPECT_EQ(keys_of(v), stably_sorted(keys));
      // And as the reader sorts each object it closes: short ones on their way into the arena,
      // long ones where they were gathered.
      std::string text;
      for (std::size_t i = 0; i < keys.size(); ++i) text += (i ? ",\"" : "{\"") + keys[i] + "\":" + std::to_string(i);
      text += "}";
      SortScratch scratch;
      EntryOrder order = natural_entry_order(scratch);
      auto read = read_document(arena.copy(text), arena, ReadMode{&order, true});
      ASSERT_TRUE(read.ok());
      expect_each_key_keeps_its_value(v, keys);
      // An object in order already, and short, has nothing to move: it stays as its text.
      if (read.value().kind() == JsonKind::Text) {
        EXPECT_TRUE(keys.size() <= 32 && keys == stably_sorted(keys));
        EXPECT_EQ(read.value().as_text(), text);
        continue;
      }
      EXPECT_EQ(keys_of(read.value()), stably_sorted(keys));
      for (const ObjectEntry& e : read.value().as_object()) {
        auto at = std::find(keys.begin(), keys.end(), std::string(e.key())) - keys.begin();
        EXPECT_EQ(e.value().as_text(), std::to_string(at)) << e.key();
      }
    }
  }
}

TEST(SortKeys, SortsAnObjectTooLongToCopyWhereTheReaderGatheredIt) {
  // 4.8 MB of entries, whose block the arena adopts; in reverse order, so that every entry moves.
  constexpr std::size_t kKeys = 200000;
  std::string text = "{";
  for (std::size_t i = 0; i < kKeys; ++i) {
    // Appended piece by piece: operator+ trips a false -Wrestrict in g++ 12 at -O3.
    text += "\"k";
    text += std::to_string(kKeys - 1 - i);
    text += "\":";
    text += std::to_string(i);
    text += ",";
  }
  text.back() = '}';
  Arena arena;
  SortScratch scratch;
  EntryOrder order = natural_entry_order(scratch);
  auto read = read_document(arena.copy(text), arena, ReadMode{&order, true});
  ASSERT_TRUE(read.ok());
  std::span<const ObjectEntry> entries = read.value().as_object();
  ASSERT_EQ(entries.size(), kKeys);
  for (std::size_t i = 0; i < kKeys; ++i) {
    ASSERT_EQ(entries[i].key().substr(1), std::to_string(i));
    ASSERT_EQ(entries[i].value().as_text(), std::to_string(kKeys - 1 - i));
  }
}

TEST(SortKeys, SortsEveryObjectAtEveryDepthAndKeepsArrayOrder) {
  // {"z": [{"b": 0, "a": 1}, "three", "one", {"d": {"y": 0, "x": 1}}], "a": {"c": 0, "b": 1}}
  Arena arena;
  ObjectEntry inner[] = {ObjectEntry::make(arena, arena.copy("d"), object_of(arena, {"y", "x"}))};
  std::vector<JsonValue> items;
  items.push_back(object_of(arena, {"b", "a"}));
  items.push_back(JsonValue::string(arena.copy("three")));
  items.push_back(JsonValue::string(arena.copy("one")));
  items.push_back(JsonValue::object(inner));
  ObjectEntry root[] = {ObjectEntry::make(arena, arena.copy("z"), array_of(arena, std::move(items))),
                        ObjectEntry::make(arena, arena.copy("a"), object_of(arena, {"c", "b"}))};
  JsonValue doc = JsonValue::object(root);

  sort_keys(doc);
  EXPECT_EQ(pretty(doc),
            "{\n"
            "  \"a\": {\n"
            "    \"b\": 1,\n"
            "    \"c\": 0\n"
            "  },\n"
            "  \"z\": [\n"
            "    {\n"
            "      \"a\": 1,\n"
            "      \"b\": 0\n"
            "    },\n"
            "    \"three\",\n"
            "    \"one\",\n"
            "    {\n"
            "      \"d\": {\n"
            "        \"x\": 1,\n"
            "        \"y\": 0\n"
            "      }\n"
            "    }\n"
            "  ]\n"
            "}");
}

// A nested document with random shapes; depth is capped so the builder's recursion is too.
JsonValue random_document(Arena& arena, std::mt19937_64& rng, int depth) {
  std::size_t pick = depth >= 4 ? 0 : rng() % 3;
  if (pick == 0) return JsonValue::number({arena.copy(std::to_string(rng() % 100))});
  std::size_t count = rng() % (depth == 0 ? 40 : 8);
  if (pick == 1) {
    std::vector<JsonValue> items;
    for (std::size_t i = 0; i < count; ++i) items.push_back(random_document(arena, rng, depth + 1));
    return array_of(arena, std::move(items));
  }
  std::vector<ObjectEntry> entries;
  for (std::size_t i = 0; i < count; ++i) {
    // A repeated key keeps its first place, as the reader does.
    std::string_view key = arena.copy(random_key(rng));
    JsonValue value = random_document(arena, rng, depth + 1);
    auto same = std::find_if(entries.begin(), entries.end(), [&](const ObjectEntry& e) { return e.key() == key; });
    if (same == entries.end()) entries.push_back(ObjectEntry::make(arena, key, value));
  }
  return object_copy(arena, entries);
}

TEST(SortKeys, LeavesRandomDocumentsSortedAndIsIdempotent) {
  std::mt19937_64 rng(2026);
  for (int n = 0; n < 200; ++n) {
    SCOPED_TRACE(n);
    Arena arena;
    JsonValue doc = random_document(arena, rng, 0);
    sort_keys(doc);
    EXPECT_TRUE(keys_are_sorted(doc));
    std::string once = pretty(doc);
    sort_keys(doc);
    EXPECT_EQ(pretty(doc), once);
  }
}

}  // namespace
}  // namespace orvel
