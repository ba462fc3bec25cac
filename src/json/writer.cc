// The pretty writer: one pass over the document, into one buffer.
#include "json/writer.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "base/byte_buffer.h"

namespace orvel {

namespace {

// For each byte, the letter that follows the backslash when it is escaped, or 0 when it is
// written as it stands. `u` means the six-byte form \u00XX.
constexpr std::array<char, 256> kEscape = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighs = 0x8080808080808080ull;

// Whether any byte of the word is zero. Exact as a yes/no answer (borrows only cross bytes above
// a zero byte, which is already a yes).
constexpr std::uint64_t has_zero(std::uint64_t w) { return (w - kOnes) & ~w & kHighs; }

// Whether any of the eight bytes needs an escape: below 0x20, a quote or a backslash.
constexpr bool word_needs_escape(std::uint64_t w) {
  std::uint64_t below_space = (w - kOnes * 0x20) & ~w & kHighs;
  return (below_space | has_zero(w ^ (kOnes * '"')) | has_zero(w ^ (kOnes * '\\'))) != 0;
}

// The separator, line break and indentation before an element are appended from this run in
// one piece for the usual indent of spaces. A document from the reader is at most 127 levels
// deep: 254 bytes at two spaces a level.
constexpr std::size_t kSpaceRunBytes = 256;
constexpr std::array<char, 2 + kSpaceRunBytes> kSeparatorSpaces = [] {
  std::array<char, 2 + kSpaceRunBytes> run{};
  for (char& c : run) c = ' ';
  run[0] = ',';
  run[1] = '\n';
  return run;
}();

bool all_spaces(std::string_view s) {
  for (char c : s) {
    if (c != ' ') return false;
  }
  return true;
}

// Bytes that the quoted, escaped form of `s` takes.
std::size_t quoted_size(std::string_view s) {
  std::size_t size = s.size() + 2;
  const char* p = s.data();
  const char* end = p + s.size();
  while (p != end) {
    if (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if (!word_needs_escape(w)) {
        p += 8;
        continue;
      }
    }
    char letter = kEscape[static_cast<unsigned char>(*p++)];
    if (letter != 0) size += letter == 'u' ? 5 : 1;
  }
  return size;
}

// Exact bytes that the text of `v` at nesting `depth` takes with an indent of `unit` bytes.
// Recursion depth is the document's nesting, which the reader caps at 127 levels.
std::size_t text_size(const JsonValue& v, std::size_t depth, std::size_t unit) {
  switch (v.kind()) {
    case JsonKind::Null:
      return 4;
    case JsonKind::Bool:
      return v.as_bool() ? 4 : 5;
    case JsonKind::Number:
      return v.as_number().text.size();
    case JsonKind::String:
      return quoted_size(v.as_string());
    case JsonKind::Array:
    case JsonKind::Object:
      break;
  }
  std::size_t n = 0;
  std::size_t size = 2;  // the brackets
  if (v.kind() == JsonKind::Array) {
    for (const JsonValue& item : v.as_array()) size += text_size(item, depth + 1, unit);
    n = v.as_array().size();
  } else {
    for (const ObjectEntry& entry : v.as_object().entries()) {
      size += quoted_size(entry.key) + 2 + text_size(entry.value, depth + 1, unit);
    }
    n = v.as_object().size();
  }
  if (n == 0) return size;
  // A line feed and indentation before each element and before the close; commas between.
  return size + n * (1 + (depth + 1) * unit) + (n - 1) + 1 + depth * unit;
}

// Renders into a ByteBuffer through a raw cursor: every token first makes sure of its room with
// one comparison, then is copied without further checks. The text is either collected whole or
// handed over in pieces between elements.
struct Writer {
  ByteBuffer& buf;
  const TextPieces* pieces;  // null when the text is collected whole
  std::string_view indent;
  std::string_view pad;    // ",\n", then at least depth * indent bytes of indentation
  std::string owned_pad;   // backs `pad` for unusual indents or depths
  char* cur = nullptr;
  char* limit = nullptr;
  std::size_t depth = 0;
  bool has_value = false;  // one flag per call: set by every finished element, read at a close

  std::size_t used() const { return static_cast<std::size_t>(cur - buf.data()); }

  // Room for `n` more bytes. Growing keeps what is written; only a string longer than the
  // buffer, or a document collected whole, ever gets here.
  void make_room(std::size_t n) {
    std::size_t size = used();
    std::size_t capacity = buf.capacity();
    std::size_t wanted = capacity * 2 > size + n ? capacity * 2 : size + n;
    buf.set_size(size);
    if (!buf.reserve(wanted < 4096 ? 4096 : wanted)) throw std::bad_alloc();
    cur = buf.data() + size;
    limit = buf.data() + buf.capacity();
  }
  void ensure(std::size_t n) {
    if (static_cast<std::size_t>(limit - cur) < n) make_room(n);
  }
  void put(const char* p, std::size_t n) {
    std::memcpy(cur, p, n);
    cur += n;
  }
  void put(std::string_view s) { put(s.data(), s.size()); }

  // Between elements, hands a full piece over. Checked per element rather than per byte, so a
  // piece may exceed its size by one element's text.
  void maybe_hand_over() {
    if (pieces != nullptr && used() >= pieces->piece_bytes) {
      pieces->consume(pieces->context, std::string_view(buf.data(), used()));
      cur = buf.data();
    }
  }

  // A line break and the current indentation, after a comma unless `first`.
  void new_line(bool first) {
    std::size_t need = 2 + depth * indent.size();
    if (need > pad.size()) {
      if (owned_pad.empty()) owned_pad = ",\n";
      while (owned_pad.size() < need) owned_pad.append(indent);
      pad = owned_pad;
    }
    std::size_t skip = first ? 1 : 0;  // the comma
    ensure(need);
    put(pad.data() + skip, need - skip);
  }

  void write_string(std::string_view s) {
    const char* p = s.data();
    const char* end = p + s.size();
    // The common short string without escapes is checked once for its whole length.
    ensure(s.size() + 2);
    *cur++ = '"';
    while (p != end) {
      const char* run = p;
      while (end - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        if (word_needs_escape(w)) break;
        p += 8;
      }
      while (p != end && kEscape[static_cast<unsigned char>(*p)] == 0) ++p;
      // Escapes make the text longer than the room made above: a run and one escape, plus the
      // rest of the string and its closing quote, must fit before they are written.
      ensure(static_cast<std::size_t>(p - run) + 6 + static_cast<std::size_t>(end - p) + 1);
      put(run, static_cast<std::size_t>(p - run));
      if (p == end) break;
      auto byte = static_cast<unsigned char>(*p++);
      char letter = kEscape[byte];
      if (letter == 'u') {
        static constexpr char kHex[] = "0123456789abcdef";
        const char form[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xf]};
        put(form, sizeof form);
      } else {
        const char form[2] = {'\\', letter};
        put(form, sizeof form);
      }
    }
    *cur++ = '"';
  }

  // Recursion depth is the document's nesting, which the reader caps at 127 levels.
  void write(const JsonValue& v) {
    switch (v.kind()) {
      case JsonKind::Null:
        ensure(4);
        put("null", 4);
        break;
      case JsonKind::Bool:
        ensure(5);
        if (v.as_bool()) {
          put("true", 4);
        } else {
          put("false", 5);
        }
        break;
      case JsonKind::Number:
        ensure(v.as_number().text.size());
        put(v.as_number().text);
        break;
      case JsonKind::String:
        write_string(v.as_string());
        break;
      case JsonKind::Array:
        write_array(v.as_array());
        break;
      case JsonKind::Object:
        write_object(v.as_object());
        break;
    }
    has_value = true;
  }

  void open(char bracket) {
    ensure(1);
    *cur++ = bracket;
    ++depth;
    has_value = false;
  }

  void write_array(std::span<const JsonValue> items) {
    open('[');
    bool first = true;
    for (const JsonValue& item : items) {
      maybe_hand_over();
      new_line(first);
      first = false;
      write(item);
    }
    close(']');
  }

  void write_object(const ObjectMap& map) {
    open('{');
    bool first = true;
    for (const ObjectEntry& entry : map.entries()) {
      maybe_hand_over();
      new_line(first);
      first = false;
      write_string(entry.key);
      ensure(2);
      put(": ", 2);
      write(entry.value);
    }
    close('}');
  }

  void close(char bracket) {
    --depth;
    if (has_value) new_line(true);
    ensure(1);
    *cur++ = bracket;
  }
};

// Renders `value` into `buf` (emptied first); returns the number of bytes left in it.
std::size_t render(const JsonValue& value, std::string_view indent, ByteBuffer& buf,
                   const TextPieces* pieces) {
  std::string_view pad;
  if (all_spaces(indent)) pad = std::string_view(kSeparatorSpaces.data(), kSeparatorSpaces.size());
  Writer w{buf, pieces, indent, pad, {}, buf.data(), buf.data() + buf.capacity()};
  w.write(value);
  buf.set_size(w.used());
  return w.used();
}

}  // namespace

void write_pretty(const JsonValue& value, std::string_view indent, std::string& out) {
  // Sized once up front: a buffer that grows by doubling holds its old and new copies at the
  // same time, which for a large file costs more memory than the file itself.
  ByteBuffer text;
  if (!text.reserve(pretty_size(value, indent))) throw std::bad_alloc();
  render(value, indent, text, nullptr);
  out.append(text.view());
}

void write_pretty_pieces(const JsonValue& value, std::string_view indent, ByteBuffer& buffer,
                         const TextPieces& pieces) {
  // Room for a piece plus the element that may overrun it, so the buffer rarely grows.
  if (!buffer.reserve(pieces.piece_bytes + pieces.piece_bytes / 4)) throw std::bad_alloc();
  render(value, indent, buffer, &pieces);
}

std::size_t pretty_size(const JsonValue& value, std::string_view indent) {
  return text_size(value, 0, indent.size());
}

}  // namespace orvel
