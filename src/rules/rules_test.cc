// The sorted-keys check at every depth, and the shape of a file's rule results.
#include "rules/rules.h"

#include <gtest/gtest.h>

#include "json/reader.h"
#include "json/writer.h"
#include "natural/natural.h"

namespace orvel {
namespace {

TEST(KeysAreSorted, LooksIntoEveryObjectAtAnyDepth) {
  struct Case {
    const char* json;
    bool sorted;
  };
  const Case cases[] = {
      {R"(1)", true},
      {R"("b")", true},
      {R"([])", true},
      {R"({})", true},
      {R"({"b":{}})", true},
      {R"({"b":0,"a":0})", false},
      {R"({"a2":0,"a10":0})", true},
      {R"({"a10":0,"a2":0})", false},
      {R"({"a1":0,"a01":0})", true},
      {R"({"a01":0,"a1":0})", true},
      {R"({"a1":0,"a01":0,"a0":0})", false},
      {R"({"a":0,"b":0,"c":0,"d":0,"e":0,"f":0,"g":0,"h":0,"i":0,"h0":0})", false},
      {R"([0,{"b":0,"a":0}])", false},
      {R"({"a":0,"b":[{"d":0,"c":0}]})", false},
      {R"({"a":{"d":0,"c":0},"b":null})", false},
      {R"({"a":[{"c":0,"d":0},[{"x1":0,"x2":0}]],"b":{}})", true},
      {R"({"a":{"c":0,"d":0},"b":[[[{"y":0,"x":0}]]]})", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    Arena arena;
    auto doc = read_document(c.json, arena);
    ASSERT_TRUE(doc.ok()) << to_string(doc.error());
    EXPECT_EQ(keys_are_sorted(doc.value()), c.sorted);
    // The writer's judgement of the keys it writes, as the tool reads the document, must agree.
    // The writer loads whole blocks: the text is given the padding that follows an arena's.
    auto kept = read_document(arena.copy(c.json), arena, ReadMode{nullptr, true});
    ASSERT_TRUE(kept.ok());
    ByteBuffer buffer;
    KeyOrderCheck keys{&entries_in_natural_order, &keys_in_natural_order};
    write_pretty_pieces(kept.value(), "  ", "", buffer, 1, PieceSink{[](void*, std::string_view, bool) {}, nullptr},
                        &keys);
    EXPECT_EQ(!keys.out_of_order, c.sorted);
    // And of keys written from the text they were read as, as an object in order is kept.
    KeyOrderCheck text_keys{&entries_in_natural_order, &keys_in_natural_order};
    write_pretty_pieces(JsonValue::text(arena.copy(c.json)), "  ", "", buffer, 1,
                        PieceSink{[](void*, std::string_view, bool) {}, nullptr}, &text_keys);
    EXPECT_EQ(!text_keys.out_of_order, c.sorted);
  }
}

TEST(EvaluateRules, GivesTwoResultsInOrderWithAnEmptyFailMessage) {
  struct Case {
    const char* json;
    Outcome sorted;
  };
  const Case cases[] = {
      {R"({"":0,"A":0,"a":0,"a b":0,"a-b":0,"a_b":0})", Outcome::Pass},
      {R"({"x":{"b":0,"a":0}})", Outcome::Fail},
      {R"(null)", Outcome::Pass},
      {R"({"":0,"CamelCase":0,"kebab-case":0,"snake_case":0,"with space":0})", Outcome::Pass},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    Arena arena;
    auto doc = read_document(c.json, arena);
    ASSERT_TRUE(doc.ok()) << to_string(doc.error());
    std::array<RuleResult, 2> results = evaluate_rules(keys_are_sorted(doc.value()));
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
