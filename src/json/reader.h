// Strict JSON reading: bytes in, a document or the first error with its line and column out.
#ifndef ORVEL_JSON_READER_H_
#define ORVEL_JSON_READER_H_

#include <cstdint>
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

// Reads `input` as one JSON value with only whitespace around it. Strings without escapes are
// views into `input`; containers, decoded strings and normalised numbers live in `arena`. Both
// must outlive the returned value. Nesting deeper than 127 containers is an error, so the
// reader's recursion is bounded whatever the input. Memory running out, in the arena or in the
// reader's own buffers, throws std::bad_alloc; the reader's buffers are given back then, and
// what the arena holds goes at its next reset.
Result<JsonValue, DecodeError> read_document(std::string_view input, Arena& arena);

}  // namespace orvel

#endif  // ORVEL_JSON_READER_H_
