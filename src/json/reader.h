// Strict JSON reading: bytes in, a document or the first error with its line and column out.
#ifndef ORVEL_JSON_READER_H_
#define ORVEL_JSON_READER_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"
#include "json/json_value.h"

namespace orvel {

enum class DecodeErrorKind : std::uint8_t {
  EndInArray,
  EndInObject,
  EndInString,
  EndInValue,
  NoColon,
  NoArrayDelimiter,
  NoObjectDelimiter,
  BadLiteral,
  NoValue,
  BadEscape,
  BadNumber,
  BadText,
  RawControl,
  KeyNotString,
  UnpairedSurrogate,
  CommaBeforeClose,
  ContentAfterValue,
  SurrogateNotFollowed,
  TooDeep,
};

struct DecodeError {
  DecodeErrorKind kind;
  std::uint64_t line;    // from 1
  std::uint64_t column;  // bytes; 0 when the offending byte is a line feed or at a line's end
};

// The fixed message of a kind: "expected value".
std::string_view decode_error_message(DecodeErrorKind kind);

// "<message> at line L column C".
std::string to_string(const DecodeError& error);

// Whether the first bytes of a document, `prefix`, already show that it cannot be JSON: its
// first byte after whitespace cannot begin a value, so reading fails there whatever follows.
// False while `prefix` is all whitespace.
bool cannot_begin_json(std::string_view prefix);

// How each object's entries are to be ordered: `put_in_order` is given the distinct entries of
// every object the moment it closes, while they are still in the cache, and puts them in their
// order at `destination`: room for as many entries, either elsewhere or `entries` itself. It may
// throw std::bad_alloc, which leaves the reader with nothing to clean up.
struct EntryOrder {
  void (*put_in_order)(void* context, std::span<ObjectEntry> entries, ObjectEntry* destination);
  void* context;
  // Whether `entries` are in that order already, as read.
  bool (*in_order)(std::span<const ObjectEntry> entries);
};

// How a document is to be built. By default every value is materialised and objects keep
// their entries in the order first read.
struct ReadMode {
  const EntryOrder* order = nullptr;
  // Every value with no entry inside kept as a Text view of its bytes in the input, for a
  // caller that only writes the document out again: such values cost no memory of their own.
  // With an order, so is a short object of such values whose keys have no escape, no repeat
  // and are in that order already.
  bool keep_text = false;
};

// Reads `input` as one JSON value with only whitespace around it. Strings without escapes are
// views into `input`; containers, decoded strings and normalised numbers live in `arena`. Both
// must outlive the returned value. Nesting deeper than 127 containers is an error, so the
// reader's recursion is bounded whatever the input. Memory running out, in the arena or in the
// reader's own buffers, throws std::bad_alloc; the reader's buffers are given back then, and
// what the arena holds goes at its next reset.
Result<JsonValue, DecodeError> read_document(std::string_view input, Arena& arena, ReadMode mode = {});

}  // namespace orvel

#endif  // ORVEL_JSON_READER_H_
