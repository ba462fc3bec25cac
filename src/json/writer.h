// The canonical text of a document: one element or entry per line, minimal string escapes.
#ifndef ORVEL_JSON_WRITER_H_
#define ORVEL_JSON_WRITER_H_

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "base/byte_buffer.h"
#include "base/pieces.h"
#include "json/json_value.h"

namespace orvel {

// Appends the text of `value` to `out`, each level indented by one more `indent`, with no line
// feed before or after it. Every non-empty string, key and number of `value` must be followed by
// kReadPadding readable bytes, as the text in an arena or in a file's padded bytes is: the writer
// loads their bytes in whole blocks.
void write_pretty(const JsonValue& value, std::string_view indent, std::string& out);

// Where the writer reports on the order of the keys it writes: the entries of each object are
// given to `in_order` as they are written, and `out_of_order` is set when it says no. Once it
// is set, no more objects are judged.
struct KeyOrderCheck {
  bool (*in_order)(std::span<const ObjectEntry> entries);
  // The same for two neighbouring keys of an object written from the text it was read as.
  bool (*keys_in_order)(std::string_view before, std::string_view after);
  bool out_of_order = false;
};

// Renders like write_pretty and appends `end`, but hands the text to `sink` in pieces instead of
// holding it whole, so a large document's text never occupies memory at once. A piece is handed
// over once the buffer holds `piece_bytes` or more; the last, marked so and possibly short, holds
// the rest of the text and `end`, and stays valid in `buffer` until `buffer` is used again.
// `buffer` is emptied and serves as the only working memory (its capacity is kept for reuse).
// Once it holds pieces_buffer_bytes(piece_bytes), nothing is allocated for the usual indents and
// depths: a string, key or number longer than a piece is handed over where it lies. The keys
// written are checked against `keys` when it is given.
void write_pretty_pieces(const JsonValue& value, std::string_view indent, std::string_view end, ByteBuffer& buffer,
                         std::size_t piece_bytes, PieceSink sink, KeyOrderCheck* keys = nullptr);

// The capacity write_pretty_pieces gives `buffer` for pieces of `piece_bytes`.
std::size_t pieces_buffer_bytes(std::size_t piece_bytes);

}  // namespace orvel

#endif  // ORVEL_JSON_WRITER_H_
