// The sorted-keys check at every depth, and the shape of a file's rule results.
#include "rules/rules.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace orvel {
namespace {

struct Entry {
  std::string_view key;
  JsonValue value;
};

struct Builder {
  Arena arena;

  JsonValue num(std::string_view text) { return JsonValue::number({arena.copy(text)}); }

  template <class... V>
  JsonValue arr(V... items) {
    JsonValue* slots = arena.allocate_array<JsonValue>(sizeof...(items));
    std::size_t i = 0;
    ((new (&slots[i++]) JsonValue(std::move(items))), ...);
    return JsonValue::array({slots, sizeof...(items)});
  }

  template <class... E>
  JsonValue obj(E... entries) {
    ObjectMap* map = ObjectMap::create(arena);
    (map->append_unique(entries.key, std::move(entries.value)), ...);
    return JsonValue::object(map);
  }

  // An object with the given keys, each holding null.
  JsonValue keys(std::vector<std::string_view> keys) {
    ObjectMap* map = ObjectMap::create(arena);
    for (std::string_view k : keys) map->append_unique(k, JsonValue());
    return JsonValue::object(map);
  }
};

TEST(KeysAreSorted, LooksIntoEveryObjectAtAnyDepth) {
  Builder b;
  struct Case {
    const char* name;
    JsonValue doc;
    bool sorted;
  };
  Case cases[] = {
      {"scalar", b.num("1"), true},
      {"string", JsonValue::string("b"), true},
      {"empty array", b.arr(), true},
      {"empty object", b.keys({}), true},
      {"one key", b.keys({"b"}), true},
      {"b a", b.keys({"b", "a"}), false},
      {"a2 a10", b.keys({"a2", "a10"}), true},
      {"a10 a2", b.keys({"a10", "a2"}), false},
      {"a1 a01", b.keys({"a1", "a01"}), true},
      {"a01 a1", b.keys({"a01", "a1"}), true},
      {"violation after a tie", b.keys({"a1", "a01", "a0"}), false},
      {"only the last pair", b.keys({"a", "b", "c", "d", "e", "f", "g", "h", "i", "h"}), false},
      {"object in array", b.arr(b.num("0"), b.keys({"b", "a"})), false},
      {"array in object", b.obj(Entry{"a", b.num("0")}, Entry{"b", b.arr(b.keys({"d", "c"}))}), false},
      {"object in object", b.obj(Entry{"a", b.keys({"d", "c"})}, Entry{"b", JsonValue()}), false},
      {"deep and sorted",
       b.obj(Entry{"a", b.arr(b.keys({"c", "d"}), b.arr(b.keys({"x1", "x2"})))}, Entry{"b", b.keys({})}),
       true},
      {"deep in the last value",
       b.obj(Entry{"a", b.keys({"c", "d"})}, Entry{"b", b.arr(b.arr(b.arr(b.keys({"y", "x"}))))}),
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(keys_are_sorted(c.doc), c.sorted);
  }
}

TEST(EvaluateRules, GivesTwoResultsInOrderWithAnEmptyFailMessage) {
  Builder b;
  struct Case {
    const char* name;
    JsonValue doc;
    Outcome sorted;
  };
  Case cases[] = {
      {"sorted", b.keys({"", "A", "a", "a b", "a-b", "a_b"}), Outcome::Pass},
      {"unsorted", b.obj(Entry{"x", b.keys({"b", "a"})}), Outcome::Fail},
      {"scalar", JsonValue(), Outcome::Pass},
      {"mixed naming styles", b.keys({"", "CamelCase", "kebab-case", "snake_case", "with space"}),
       Outcome::Pass},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::array<RuleResult, 2> results = evaluate_rules(c.doc);
    EXPECT_EQ(results[0].name, "rule_keys_are_sorted");
    EXPECT_EQ(results[0].outcome.kind, c.sorted);
    EXPECT_EQ(results[0].outcome.message, "");
    EXPECT_EQ(results[1].name, "rule_naming_style_is_correct");
    EXPECT_EQ(results[1].outcome.kind, Outcome::Pass);
    EXPECT_EQ(results[1].outcome.message, "");
  }
}

}  // namespace
}  // namespace orvel
