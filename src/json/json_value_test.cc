// Tests of the object map's insert, lookup and repeated keys.
#include "json/json_value.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace orvel {
namespace {

JsonValue num(Arena& arena, const std::string& text) {
  return JsonValue::number(NumberText{arena.copy(text)});
}

// Appends rather than using operator+, which trips a false -Wrestrict in g++ 12 at -O3.
std::string label(std::string_view prefix, std::size_t i) {
  std::string text(prefix);
  text += std::to_string(i);
  return text;
}

std::vector<std::string> keys_of(const ObjectMap& map) {
  std::vector<std::string> keys;
  for (const ObjectEntry& e : map.entries()) keys.emplace_back(e.key);
  return keys;
}

// Entries for `keys` whose values are their places, and the map that inserting them one by one
// gives: what removing repeated keys must match.
std::pair<std::vector<ObjectEntry>, ObjectMap*> numbered(Arena& arena,
                                                         const std::vector<std::string>& keys) {
  std::vector<ObjectEntry> entries;
  ObjectMap* expected = ObjectMap::create(arena);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    entries.push_back(ObjectEntry{keys[i], num(arena, std::to_string(i))});
    (void)expected->insert(keys[i], num(arena, std::to_string(i)));
  }
  return {std::move(entries), expected};
}

TEST(ObjectMap, InsertOfAPresentKeyReplacesInPlaceAndHandsBackTheOldValue) {
  Arena arena;
  ObjectMap* map = ObjectMap::create(arena);
  EXPECT_FALSE(map->insert("b", num(arena, "1")).has_value());
  EXPECT_FALSE(map->insert("a", num(arena, "2")).has_value());

  std::optional<JsonValue> old = map->insert("b", num(arena, "3"));
  ASSERT_TRUE(old.has_value());
  EXPECT_EQ(old->as_number().text, "1");
  EXPECT_EQ(keys_of(*map), (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(map->find("b")->as_number().text, "3");
  EXPECT_EQ(map->find("a")->as_number().text, "2");
  EXPECT_EQ(map->find("c"), nullptr);
}

TEST(ObjectMap, FromEntriesResolvesRepeatedKeysLikeInsertingInOrder) {
  // Sizes on both sides of each way of finding repeats; every third key comes back later.
  for (std::size_t distinct : {1u, 5u, 8u, 9u, 100u}) {
    SCOPED_TRACE(distinct);
    Arena arena;
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < distinct; ++i) keys.push_back(label("key", i));
    for (std::size_t i = 0; i < distinct; i += 3) keys.push_back(keys[i]);

    auto [entries, expected] = numbered(arena, keys);
    ObjectMap* map = ObjectMap::from_distinct_entries(arena, std::span<ObjectEntry>(entries).first(remove_repeated_keys(entries)));
    ASSERT_EQ(map->size(), distinct);
    for (std::size_t i = 0; i < distinct; ++i) {
      EXPECT_EQ(map->entries()[i].key, expected->entries()[i].key);
      EXPECT_EQ(map->entries()[i].value.as_number().text, expected->entries()[i].value.as_number().text);
      EXPECT_EQ(map->find(keys[i]), &map->entries()[i].value);
    }
    // The map goes on working: a new key appends, a present one is replaced in place.
    EXPECT_FALSE(map->insert("new", JsonValue()).has_value());
    EXPECT_TRUE(map->insert(keys[0], JsonValue()).has_value());
    EXPECT_EQ(map->size(), distinct + 1);
    EXPECT_EQ(map->entries().back().key, "new");
    EXPECT_EQ(map->find("new"), &map->entries().back().value);
  }
}

TEST(ObjectMap, FromEntriesFindsOneRepeatAtAnyPlaceLikeInsertingInOrder) {
  // Keys that agree in length and in their first, middle and last bytes, so that all of them
  // share a bit of the small objects' filter and must be told apart by a full compare; the
  // empty key too. Sizes reach past the filter's limit, and the repeat of each key goes to every
  // later place.
  auto key = [](std::size_t i) {
    if (i == 0) return std::string();
    std::string k = "pA-zA";
    k[1] = static_cast<char>('a' + i % 26);
    k[3] = static_cast<char>('a' + i / 26);
    return k;
  };
  for (std::size_t distinct = 0; distinct <= 70; ++distinct) {
    if (distinct == 41) distinct = 60;  // and around the filter's limit of 64
    for (std::size_t repeated = 0; repeated <= distinct; ++repeated) {
      // repeated == distinct stands for no repeat at all, tried once.
      for (std::size_t at = std::min(repeated + 1, distinct); at <= distinct; ++at) {
        std::vector<std::string> keys;
        for (std::size_t i = 0; i < distinct; ++i) keys.push_back(key(i));
        if (repeated < distinct) {
          keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(at), key(repeated));
        }
        SCOPED_TRACE(testing::Message() << distinct << " keys, " << repeated << " again at " << at);
        Arena arena;
        auto [entries, expected] = numbered(arena, keys);
        ObjectMap* map = ObjectMap::from_distinct_entries(arena, std::span<ObjectEntry>(entries).first(remove_repeated_keys(entries)));
        ASSERT_EQ(keys_of(*map), keys_of(*expected));
        for (std::size_t i = 0; i < map->size(); ++i) {
          ASSERT_EQ(map->entries()[i].value.as_number().text,
                    expected->entries()[i].value.as_number().text);
          ASSERT_EQ(map->find(key(i)), &map->entries()[i].value);
        }
        EXPECT_FALSE(map->insert("new", JsonValue()).has_value());
        EXPECT_EQ(map->find("new"), &map->entries().back().value);
      }
    }
  }
}

}  // namespace
}  // namespace orvel
