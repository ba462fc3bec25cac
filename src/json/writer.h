// The canonical text of a document: one element or entry per line, minimal string escapes.
#ifndef ORVEL_JSON_WRITER_H_
#define ORVEL_JSON_WRITER_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "json/json_value.h"

namespace orvel {

// Appends the text of `value` to `out`, each level indented by one more `indent`, with no line
// feed before or after it. `out` is grown once, with room for that text plus one byte (the
// caller's final line feed).
void write_pretty(const JsonValue& value, std::string_view indent, std::string& out);

// The exact number of bytes write_pretty appends for `value`.
std::size_t pretty_size(const JsonValue& value, std::string_view indent);

}  // namespace orvel

#endif  // ORVEL_JSON_WRITER_H_
