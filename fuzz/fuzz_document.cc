// Fuzz target: any bytes through the reader; errors must point inside the input, and whatever is
// accepted must sort and rewrite to a fixed point in the canonical layout.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_split.h"
#include "json/json_value.h"
#include "json/reader.h"
#include "json/writer.h"
#include "natural/natural.h"
#include "rules/rules.h"
#include "rules/sort_keys.h"

namespace orvel {
namespace {

using fuzz::require;

constexpr std::string_view kIndent = "  ";

bool is_end_of_input_kind(DecodeErrorKind kind) {
  switch (kind) {
    case DecodeErrorKind::EndInArray:
    case DecodeErrorKind::EndInObject:
    case DecodeErrorKind::EndInString:
    case DecodeErrorKind::EndInValue:
      return true;
    case DecodeErrorKind::NoColon:
    case DecodeErrorKind::NoArrayDelimiter:
    case DecodeErrorKind::NoObjectDelimiter:
    case DecodeErrorKind::BadLiteral:
    case DecodeErrorKind::NoValue:
    case DecodeErrorKind::BadEscape:
    case DecodeErrorKind::BadNumber:
    case DecodeErrorKind::BadText:
    case DecodeErrorKind::RawControl:
    case DecodeErrorKind::KeyNotString:
    case DecodeErrorKind::UnpairedSurrogate:
    case DecodeErrorKind::CommaBeforeClose:
    case DecodeErrorKind::ContentAfterValue:
    case DecodeErrorKind::SurrogateNotFollowed:
    case DecodeErrorKind::TooDeep:
      return false;
  }
  __builtin_trap();
}

bool is_whitespace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// What the byte an error is placed at must look like, where its kind says so; catches positions
// that are off by one in either direction.
bool byte_fits_kind(DecodeErrorKind kind, unsigned char c) {
  switch (kind) {
    case DecodeErrorKind::TooDeep:
      return c == '[' || c == '{';
    case DecodeErrorKind::CommaBeforeClose:
      return c == ']' || c == '}';
    case DecodeErrorKind::BadText:
      return c == '"';
    case DecodeErrorKind::RawControl:
      return c < 0x20;
    case DecodeErrorKind::NoColon:
      return c != ':' && !is_whitespace(c);
    case DecodeErrorKind::NoArrayDelimiter:
      return c != ',' && c != ']' && !is_whitespace(c);
    case DecodeErrorKind::NoObjectDelimiter:
      return c != ',' && c != '}' && !is_whitespace(c);
    case DecodeErrorKind::KeyNotString:
      return c != '"' && !is_whitespace(c);
    case DecodeErrorKind::ContentAfterValue:
    case DecodeErrorKind::NoValue:
      return !is_whitespace(c);
    case DecodeErrorKind::BadLiteral:
    case DecodeErrorKind::BadEscape:
    case DecodeErrorKind::BadNumber:
    case DecodeErrorKind::UnpairedSurrogate:
    case DecodeErrorKind::SurrogateNotFollowed:
    case DecodeErrorKind::EndInArray:
    case DecodeErrorKind::EndInObject:
    case DecodeErrorKind::EndInString:
    case DecodeErrorKind::EndInValue:
      return true;
  }
  __builtin_trap();
}

// Line L begins after the (L-1)th line feed and the column's bytes lie on it, so an error always
// names a real place of the input; errors of the end-of-input kinds name exactly its end.
void check_error(std::string_view in, const DecodeError& error) {
  std::size_t newlines = static_cast<std::size_t>(std::count(in.begin(), in.end(), '\n'));
  require(error.line >= 1);
  require(error.line <= 1 + newlines);
  std::size_t line_start = 0;
  for (std::uint64_t line = 1; line < error.line; ++line) line_start = in.find('\n', line_start) + 1;
  require(error.column <= in.size() - line_start);
  std::size_t count = line_start + static_cast<std::size_t>(error.column);
  require(in.substr(line_start, error.column).find('\n') == std::string_view::npos);

  if (is_end_of_input_kind(error.kind)) {
    require(count == in.size());
    require(error.line == 1 + newlines);
  } else {
    // Placed at a byte: `count` includes it. Column 0 means that byte is the line feed that
    // ends the previous line (a raw one in a string, or one that breaks a number or literal).
    require(count >= 1);
    require(byte_fits_kind(error.kind, static_cast<unsigned char>(in[count - 1])));
  }

  std::string expected = std::string(decode_error_message(error.kind)) + " at line " +
                         std::to_string(error.line) + " column " + std::to_string(error.column);
  require(to_string(error) == expected);
}

// The canonical layout, checked without a parser: no raw control byte inside strings; outside
// them only line feeds, each followed by an even run of indent spaces, and single spaces after
// colons; nothing trailing.
void check_layout(std::string_view text) {
  require(!text.empty());
  bool in_string = false;
  bool at_line_start = false;
  std::size_t indent = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (in_string) {
      require(c >= 0x20);
      if (c == '\\') {
        require(i + 1 < text.size());
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (at_line_start && c == ' ') {
      ++indent;
      continue;
    }
    if (at_line_start) {
      require(indent % 2 == 0);
      at_line_start = false;
    }
    if (c == '\n') {
      require(i > 0 && text[i - 1] != ' ' && text[i - 1] != '\n');
      at_line_start = true;
      indent = 0;
    } else if (c == ' ') {
      require(i > 0 && text[i - 1] == ':');
    } else if (c == ':') {
      require(i + 2 < text.size() && text[i + 1] == ' ' && text[i + 2] != ' ');
    } else {
      require(c > 0x20);
      if (c == '"') in_string = true;
    }
  }
  require(!in_string);
  require(!at_line_start);
  unsigned char last = static_cast<unsigned char>(text.back());
  require(last != ' ' && last != '\n');
}

std::string write(const JsonValue& value) {
  std::string out;
  write_pretty(value, kIndent, out);
  return out;
}

// `text` reads back, and writing what was read gives `text` again. `file_tail` is appended to the
// text that is read, as the driver appends its final line feed.
void check_fixed_point(std::string_view text, std::string_view file_tail, bool expect_sorted) {
  std::string file = std::string(text) + std::string(file_tail);
  Arena arena;
  auto reread = read_document(arena.copy(file), arena);
  require(reread.ok());
  if (expect_sorted) require(keys_are_sorted(reread.value()));
  require(write(reread.value()) == text);
}

void fuzz_one(std::string_view in) {
  Arena arena;
  // The writer may read past each string and number into the padding that follows text in an
  // arena, as it does in the program's file buffer; the input itself has none.
  auto read = read_document(arena.copy(in), arena);
  if (!read.ok()) {
    check_error(in, read.error());
    return;
  }
  JsonValue& doc = read.value();

  std::string as_read = write(doc);
  check_layout(as_read);
  check_fixed_point(as_read, "", false);

  sort_keys(doc);
  require(keys_are_sorted(doc));
  std::string sorted = write(doc);
  check_layout(sorted);
  sort_keys(doc);
  require(write(doc) == sorted);
  check_fixed_point(sorted, "\n", true);

  // Sorting each object as the reader closes it, as the tool does, gives the same document.
  Arena sorted_arena;
  SortScratch scratch;
  EntryOrder order = natural_entry_order(scratch);
  auto sorted_as_read = read_document(sorted_arena.copy(in), sorted_arena, ReadMode{&order, false});
  require(sorted_as_read.ok() && write(sorted_as_read.value()) == sorted);
  // And so does keeping every value without an object inside as its text, as the tool does,
  // whether the objects are sorted or not.
  Arena kept_arena;
  auto kept = read_document(kept_arena.copy(in), kept_arena, ReadMode{nullptr, true});
  require(kept.ok() && write(kept.value()) == as_read);
  // The writer's judgement of the keys it writes agrees with the walk over the document.
  ByteBuffer buffer;
  KeyOrderCheck keys{&entries_in_natural_order, &keys_in_natural_order};
  write_pretty_pieces(kept.value(), kIndent, "", buffer, 64, PieceSink{[](void*, std::string_view, bool) {}, nullptr},
                      &keys);
  require(keys.out_of_order == !keys_are_sorted(kept.value()));
  auto kept_sorted = read_document(kept_arena.copy(in), kept_arena, ReadMode{&order, true});
  require(kept_sorted.ok() && write(kept_sorted.value()) == sorted && keys_are_sorted(kept_sorted.value()));
}

}  // namespace
}  // namespace orvel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orvel::fuzz_one(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
