// The checks reported for every file that was read and rewritten.
#ifndef ORVEL_RULES_RULES_H_
#define ORVEL_RULES_RULES_H_

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "json/json_value.h"

namespace orvel {

enum class Outcome : std::uint8_t { Pass, Fail };

struct RuleOutcome {
  Outcome kind = Outcome::Pass;
  std::string message;  // only for Fail; may be empty
};

inline RuleOutcome pass() { return {}; }
inline RuleOutcome fail(std::string message) { return {Outcome::Fail, std::move(message)}; }

struct RuleResult {
  std::string_view name;  // static text
  RuleOutcome outcome;
};

inline constexpr std::string_view kRuleKeysAreSorted = "rule_keys_are_sorted";
inline constexpr std::string_view kRuleNamingStyleIsCorrect = "rule_naming_style_is_correct";

// True when every object at any depth has no neighbouring keys in descending natural order.
bool keys_are_sorted(const JsonValue& value);

// The same for one object's own keys: what the writer is given to judge the keys it writes.
bool entries_in_natural_order(std::span<const ObjectEntry> entries);
// The same for two neighbouring keys, `before` then `after`.
bool keys_in_natural_order(std::string_view before, std::string_view after);

// The two rule results of a document, always in this order: keys sorted, naming style.
// `keys_sorted` is what keys_are_sorted says of the document, or what a KeyOrderCheck with
// entries_in_natural_order found in the keys as they were written.
std::array<RuleResult, 2> evaluate_rules(bool keys_sorted);

}  // namespace orvel

#endif  // ORVEL_RULES_RULES_H_
