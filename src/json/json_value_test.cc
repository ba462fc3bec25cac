// Tests of how an object's repeated keys are resolved.
#include "json/json_value.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <span>
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

using Pairs = std::vector<std::pair<std::string, std::string>>;

// Entries for `keys` whose values are their places, and what setting them one by one in a map
// that keeps first places gives: what removing repeated keys must match.
std::pair<std::vector<ObjectEntry>, Pairs> numbered(Arena& arena, const std::vector<std::string>& keys) {
  std::vector<ObjectEntry> entries;
  Pairs expected;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    entries.push_back(ObjectEntry::make(arena, keys[i], num(arena, std::to_string(i))));
    auto same = std::find_if(expected.begin(), expected.end(), [&](const auto& e) { return e.first == keys[i]; });
    if (same == expected.end()) {
      expected.emplace_back(keys[i], std::to_string(i));
    } else {
      same->second = std::to_string(i);
    }
  }
  return {std::move(entries), std::move(expected)};
}

// The distinct entries left, as pairs.
Pairs without_repeats(std::vector<ObjectEntry>& entries) {
  Pairs kept;
  for (const ObjectEntry& e : std::span<ObjectEntry>(entries).first(remove_repeated_keys(entries))) {
    kept.emplace_back(e.key(), e.value().as_number().text);
  }
  return kept;
}

TEST(RemoveRepeatedKeys, KeepsFirstPlacesAndLastValuesLikeSettingInOrder) {
  // Sizes on both sides of each way of finding repeats; every third key comes back later.
  for (std::size_t distinct : {1u, 5u, 8u, 9u, 100u}) {
    SCOPED_TRACE(distinct);
    Arena arena;
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < distinct; ++i) keys.push_back(label("key", i));
    for (std::size_t i = 0; i < distinct; i += 3) keys.push_back(keys[i]);

    auto [entries, expected] = numbered(arena, keys);
    ASSERT_EQ(expected.size(), distinct);
    EXPECT_EQ(without_repeats(entries), expected);
  }
}

TEST(RemoveRepeatedKeys, FindsOneRepeatAtAnyPlaceLikeSettingInOrder) {
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
        ASSERT_EQ(without_repeats(entries), expected);
      }
    }
  }
}

// An entry packs the key's size with the value's kind and size, and holds what does not pack in
// a record of its own: keys and values on both sides of the sizes it packs, up to the largest
// value a JsonValue holds. The large values are never read, only their sizes.
TEST(ObjectEntry, HoldsKeysAndValuesOfEverySize) {
  Arena arena;
  const std::string long_key(std::size_t{3} << 20, 'k');
  const char* nowhere = long_key.data();
  for (std::size_t key_size : {std::size_t{0}, std::size_t{1}, std::size_t{8190}, std::size_t{8191},
                               std::size_t{8192}, long_key.size()}) {
    for (std::size_t value_size : {std::size_t{0}, std::size_t{65535}, std::size_t{65536}, std::size_t{1} << 40,
                                   (std::size_t{1} << 56) - 1}) {
      SCOPED_TRACE(testing::Message() << key_size << " " << value_size);
      std::string_view key(long_key.data(), key_size);
      ObjectEntry entry = ObjectEntry::make(arena, key, JsonValue::text({nowhere + 1, value_size}));
      EXPECT_EQ(entry.key().data(), key.data());
      EXPECT_EQ(entry.key().size(), key_size);
      EXPECT_EQ(entry.value().kind(), JsonKind::Text);
      EXPECT_EQ(entry.value().as_text().data(), nowhere + 1);
      EXPECT_EQ(entry.value().as_text().size(), value_size);
    }
    ObjectEntry yes = ObjectEntry::make(arena, {long_key.data(), key_size}, JsonValue::boolean(true));
    EXPECT_EQ(yes.value().kind(), JsonKind::Bool);
    EXPECT_TRUE(yes.value().as_bool());
  }
}

}  // namespace
}  // namespace orvel
