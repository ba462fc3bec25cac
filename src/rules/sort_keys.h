// The fix: every object at every depth put into natural key order.
#ifndef ORVEL_RULES_SORT_KEYS_H_
#define ORVEL_RULES_SORT_KEYS_H_

#include "json/json_value.h"

namespace orvel {

// Reorders the entries of every object in `value` by natural_compare with a stable sort (keys
// that compare equal, such as a1 and a01, keep their order). Arrays keep their element order.
void sort_keys(JsonValue& value);

}  // namespace orvel

#endif  // ORVEL_RULES_SORT_KEYS_H_
