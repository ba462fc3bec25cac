// The pretty writer: one pass over the document, into one buffer.
#include "json/writer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "base/byte_buffer.h"
#include "json/string_scan.h"

namespace orvel {

namespace {

// For each byte, the letter that follows the backslash when it is escaped, or 0 when it is
// written as it stands. `u` means the six-byte form \u00XX.
constexpr std::array<char, 256> kEscape = [] {
  std::array<char, 256> table{};
  for (std::size_t c = 0; c < 256; ++c) {
    if (is_string_stop(static_cast<unsigned char>(c))) table[c] = 'u';
  }
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

// For each byte that needs an escape, its escaped form in the first bytes of eight and its length
// in the last, so that an escape is one eight-byte store whatever its length.
constexpr std::array<std::array<char, 8>, 256> kEscapeForm = [] {
  std::array<std::array<char, 8>, 256> forms{};
  constexpr char kHex[] = "0123456789abcdef";
  for (int c = 0; c < 256; ++c) {
    char letter = kEscape[static_cast<std::size_t>(c)];
    if (letter == 0) continue;
    std::array<char, 8>& form = forms[static_cast<std::size_t>(c)];
    form[0] = '\\';
    form[1] = letter;
    form[7] = 2;
    if (letter == 'u') {
      form[2] = '0';
      form[3] = '0';
      form[4] = kHex[c >> 4];
      form[5] = kHex[c & 0xf];
      form[7] = 6;
    }
  }
  return forms;
}();

// Bytes that may be written past the end of the text: tokens are copied in fixed blocks of up to
// 32 bytes and the cursor then advances by their true length. The buffer always keeps this much
// beyond the limit that room is checked against.
constexpr std::size_t kSlack = 64;

// Room in a buffer for pieces beyond the piece and its overrun, so that even tiny pieces leave
// space for the deepest indentation (254 bytes), a key and a value, and the bytes around them.
constexpr std::size_t kPieceReserve = 1024;

// Readable bytes beyond the indentation a line can need, for the same block copies.
constexpr std::size_t kPadOverread = 32;

// The separator, line break and indentation before an element are copied from this run in one
// piece for the usual indent of spaces. A document from the reader is at most 127 levels deep:
// 254 bytes at two spaces a level.
constexpr std::size_t kSpaceRunBytes = 256;
constexpr std::array<char, 2 + kSpaceRunBytes + kPadOverread> kSeparatorSpaces = [] {
  std::array<char, 2 + kSpaceRunBytes + kPadOverread> run{};
  for (char& c : run) c = ' ';
  run[0] = ',';
  run[1] = '\n';
  return run;
}();

// Kept text is copied in stretches of at most this many bytes, so that a string or number of
// any length passes through the buffer without growing it.
constexpr std::size_t kTextStretch = 4096;



int hex_digit(char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

// The code unit of the four hex digits at `p`, which the reader has checked.
std::uint32_t hex4(const char* p) {
  std::uint32_t unit = 0;
  for (int i = 0; i < 4; ++i) unit = unit * 16 + static_cast<std::uint32_t>(hex_digit(p[i]));
  return unit;
}

// The first byte in [p, end) that needs an escape, or `end`. Reads nothing outside the range:
// it serves strings too long for a piece, where a block over-read would gain nothing.
const char* find_escape(const char* p, const char* end) {
  for (; end - p >= 16; p += 16) {
    if (unsigned stops = scan_string_block(p).stops) return p + std::countr_zero(stops);
  }
  while (p != end && !is_string_stop(static_cast<unsigned char>(*p))) ++p;
  return p;
}

// Copies `n` bytes in 32-byte blocks: up to 31 bytes past the end of both are read and written.
inline char* put_blocks(char* c, const char* src, std::size_t n) {
  std::memcpy(c, src, 32);
  for (std::size_t i = 32; i < n; i += 32) std::memcpy(c + i, src + i, 32);
  return c + n;
}

// A number's text is followed by kReadPadding readable bytes, so a short one is copied in one
// block.
inline char* put_number(char* c, std::string_view text) {
  static_assert(kReadPadding >= 32);
  if (text.size() <= 32) [[likely]] {
    std::memcpy(c, text.data(), 32);
  } else {
    std::memcpy(c, text.data(), text.size());
  }
  return c + text.size();
}

// Renders into a ByteBuffer through a raw cursor, passed from call to call so that it stays in a
// register: every element first makes sure of room for itself with one comparison, then is
// copied without further checks, in fixed blocks that may run into the slack past the limit.
// The text is handed over in pieces between elements.
struct Writer {
  ByteBuffer& buf;
  PieceSink sink;
  std::size_t piece_bytes;
  std::string_view indent;
  KeyOrderCheck* keys;
  const char* pad = nullptr;  // ",\n" then indentation, readable kPadOverread bytes past pad_size
  std::size_t pad_size = 0;   // bytes of `pad` that hold the separator and indentation
  std::string owned_pad;      // backs `pad` for unusual indents or depths
  std::size_t line = 2;       // ",\n" and the current depth's indentation
  char* base = nullptr;       // buf.data()
  char* limit = nullptr;      // buf's end less the slack
  // The nearer of `limit` and the point where a piece is full: an element that starts before
  // it and fits below it needs neither a hand-over nor more room.
  char* element_limit = nullptr;

  void set_limits() {
    base = buf.data();
    limit = base + buf.capacity() - kSlack;
    element_limit = piece_bytes < static_cast<std::size_t>(limit - base) ? base + piece_bytes : limit;
  }

  // Text that a piece may hold in one stretch: a string, key or number longer than this goes
  // to the consumer straight from where it lies (put_long_*), so that no element ever needs
  // more room than the buffer has.
  std::size_t long_token = 0;

  // The last key written at each depth of a value written from its text.
  std::array<std::string_view, 129> text_keys{};

  // Hands everything written so far over as a piece; returns the start of the empty buffer.
  char* hand_over(char* c) {
    if (c != base) sink(std::string_view(base, static_cast<std::size_t>(c - base)), false);
    return base;
  }

  // Room for `n` more bytes after `c`; returns where `c` is now. What the buffer holds is handed
  // over rather than kept: the buffer was sized before the first piece went out, and growing it
  // then could fail, or draw the kernel's out-of-memory killer, with the destination half
  // written. With long scalars passed through and the indentation the reader's nesting limit
  // allows, that always makes room; only an indent or a depth the program never uses can need
  // the buffer to grow.
  [[gnu::noinline]] char* make_room(char* c, std::size_t n) {
    c = hand_over(c);
    if (static_cast<std::size_t>(limit - c) >= n) return c;
    buf.reserve(n + kSlack + kPieceReserve);
    set_limits();
    return base;
  }
  char* ensure(char* c, std::size_t n) {
    if (static_cast<std::size_t>(limit - c) < n) c = make_room(c, n);
    return c;
  }

  // Before an element of at most `n` bytes: hands a full piece over, then makes sure of room.
  // Checked per element rather than per byte, so a piece may exceed its size by one element's
  // text.
  char* start_element(char* c, std::size_t n) {
    if (element_limit - c >= static_cast<std::ptrdiff_t>(n)) return c;
    return start_element_slowly(c, n);
  }
  [[gnu::noinline]] char* start_element_slowly(char* c, std::size_t n) {
    if (static_cast<std::size_t>(c - base) >= piece_bytes) c = hand_over(c);
    return ensure(c, n);
  }

  // One level deeper or shallower: the separator run must reach the new indentation.
  void enter() {
    line += indent.size();
    if (line > pad_size) grow_pad();
  }
  void leave() { line -= indent.size(); }
  [[gnu::noinline]] void grow_pad() {
    if (owned_pad.empty()) {
      owned_pad = ",\n";
    } else {
      owned_pad.resize(pad_size);
    }
    while (owned_pad.size() < line) owned_pad.append(indent);
    pad_size = owned_pad.size();
    owned_pad.append(kPadOverread, ' ');
    pad = owned_pad.data();
  }

  // `s` after its opening quote, escaped; the caller closes it. Room on entry: 1 + s.size() +
  // `after`, where `after` is what the caller writes next on the strength of the same check, the
  // closing quote included; each escape makes sure of it again.
  char* put_string_open(char* c, std::string_view s, std::size_t after) {
    const char* p = s.data();
    const char* end = p + s.size();
    *c++ = '"';
    // An empty view may point nowhere; any other is followed by kReadPadding readable bytes.
    if (s.empty()) return c;
    // Sixteen bytes at a time are stored whole; the cursor then moves past the ones up to the
    // first byte that needs an escape or the string's end, whichever comes first. After an
    // escape that ends the string, `p` is its end, which the padding makes readable.
    static_assert(kReadPadding >= 16);
    for (;;) {
      auto rest = static_cast<std::size_t>(end - p);
      std::memcpy(c, p, 16);
      // The bit above the block's sixteen stops the scan of a block without escapes.
      auto clean = static_cast<std::size_t>(std::countr_zero(scan_string_block(p).stops | 0x10000u));
      if (clean >= rest) return c + rest;
      p += clean;
      c += clean;
      if (clean == 16) continue;
      auto byte = static_cast<unsigned char>(*p++);
      c = put_escape(c, byte, static_cast<std::size_t>(end - p) + after);
    }
  }

  // The escaped form of `byte`, then room for `rest` more bytes. The escape itself fits: before
  // it there was room for it as a byte and for the closing quote, and the slack covers the rest.
  char* put_escape(char* c, unsigned char byte, std::size_t rest) {
    const std::array<char, 8>& form = kEscapeForm[byte];
    std::memcpy(c, form.data(), 8);
    c += form[7];
    return ensure(c, rest);
  }

  // Room that `v` needs before its text starts: all of a scalar without escapes (a string's
  // quotes, the longest literal), or a container's brackets. Escapes and elements check for
  // more as they come; a long scalar makes its own room as it goes.
  std::size_t value_room(const JsonValue& v) const {
    std::size_t n = 0;
    if (v.kind() == JsonKind::String) n = v.as_string().size();
    if (v.kind() == JsonKind::Number) n = v.as_number().text.size();
    return (n <= long_token ? n : 0) + 8;
  }

  // A string too long for a piece, after its opening quote, escaped; the caller closes it, with
  // room for `after` bytes. Runs without escapes that are long enough are handed over where
  // they lie, the rest goes through the buffer, which never grows.
  [[gnu::noinline]] char* put_long_string_open(char* c, std::string_view s, std::size_t after) {
    *c++ = '"';
    const char* p = s.data();
    const char* end = p + s.size();
    while (p != end) {
      const char* stop = find_escape(p, end);
      auto run = static_cast<std::size_t>(stop - p);
      if (run != 0 && run >= long_token) {
        c = hand_over(c);
        sink(std::string_view(p, run), false);
      } else {
        c = ensure(c, run + 8);
        std::memcpy(c, p, run);
        c += run;
      }
      p = stop;
      if (p == end) break;
      c = ensure(c, 8);
      c = put_escape(c, static_cast<unsigned char>(*p++), 0);
    }
    return ensure(c, after);
  }

  // A number too long for a piece: what is held goes first, then the digits where they lie.
  [[gnu::noinline]] char* put_long_number(char* c, std::string_view text) {
    c = hand_over(c);
    sink(text, false);
    return c;
  }

  // Bytes copied as they stand, in stretches that fit: they lie in the input, whose padding
  // makes the block copy's over-read safe.
  char* put_plain(char* c, const char* p, std::size_t n) {
    // At most a long token: what fits in the buffer once it has handed its text over.
    std::size_t stretch = std::clamp(long_token, std::size_t{1}, kTextStretch);
    while (n != 0) {
      std::size_t k = n < stretch ? n : stretch;
      c = ensure(c, k + 32);
      c = put_blocks(c, p, k);
      p += k;
      n -= k;
    }
    return c;
  }

  // The escape at `p` (its backslash) in a string kept as read, in the form the writer gives
  // the character it stands for; `p` moves past it. Room for eight bytes is made.
  static char* put_text_escape(char* c, const char*& p) {
    char letter = p[1];
    if (letter != 'u') {
      // Every two-byte escape but `\/` is already the written form of its character.
      p += 2;
      if (letter == '/') {
        *c = '/';
        return c + 1;
      }
      c[0] = '\\';
      c[1] = letter;
      return c + 2;
    }
    std::uint32_t cp = hex4(p + 2);
    p += 6;
    if (cp >= 0xD800 && cp <= 0xDBFF) {  // the reader has checked that its trailing half follows
      cp = 0x10000 + ((cp - 0xD800) << 10) + (hex4(p + 2) - 0xDC00);
      p += 6;
    }
    if (cp < 0x80) {
      const std::array<char, 8>& form = kEscapeForm[cp];
      if (form[7] == 0) {
        *c = static_cast<char>(cp);
        return c + 1;
      }
      std::memcpy(c, form.data(), 8);
      return c + form[7];
    }
    return put_utf8_multibyte(c, cp);
  }

  // The string whose opening quote is at `p`, as read, with its escapes rewritten; `p` moves
  // past its closing quote. Sixteen bytes at a time as put_string_open, over the input's bytes.
  char* put_text_string(char* c, const char*& p) {
    c = ensure(c, 1);
    *c++ = '"';
    ++p;
    for (;;) {
      c = ensure(c, 32);
      std::memcpy(c, p, 16);
      unsigned stops = scan_string_block(p).stops;  // only quotes and backslashes: it was read
      if (stops == 0) {
        c += 16;
        p += 16;
        continue;
      }
      auto clean = static_cast<unsigned>(std::countr_zero(stops));
      c += clean;
      p += clean;
      if (*p == '"') {
        *c = '"';
        ++p;
        return c + 1;
      }
      c = put_text_escape(c, p);
    }
  }

  // The number at `p`, as read, in the form the reader gives it; `p` moves past it. `-0`
  // becomes `0`, and an exponent gets a lower-case `e` and an explicit sign.
  char* put_text_number(char* c, const char*& p, const char* end) {
    const char* start = p;
    if (*p == '-') ++p;
    p = skip_digits(p, end);
    if (p != end && *p == '.') p = skip_digits(p + 1, end);
    const char* exponent = p != end && (*p | 0x20) == 'e' ? p : nullptr;
    if (exponent != nullptr) {
      p += p[1] == '+' || p[1] == '-' ? 2 : 1;  // past the letter and its sign, if it has one
      while (p != end && static_cast<unsigned>(*p - '0') < 10u) ++p;  // a few digits at most
    }
    if (exponent == nullptr) {
      static constexpr char kZero[32] = "0";  // padded for the block copy
      if (p - start == 2 && start[0] == '-' && start[1] == '0') return put_plain(c, kZero, 1);
      return put_plain(c, start, static_cast<std::size_t>(p - start));
    }
    c = put_plain(c, start, static_cast<std::size_t>(exponent - start));
    c = ensure(c, 2);
    *c++ = 'e';
    const char* digits = exponent + 1;
    if (*digits != '-' && *digits != '+') *c++ = '+';
    return put_plain(c, digits, static_cast<std::size_t>(p - digits));
  }

  // A value kept as its text, or a run of array elements kept so, rendered token by token as
  // the same values materialised would be: each comma between elements, at any depth, starts
  // a new line, nested arrays and objects open and close as put_array and put_object do, and a
  // key is followed by ": ". The text was accepted by the reader, so it nests at most 127 deep,
  // and its keys, which had no escapes, are judged as written.
  [[gnu::noinline]] char* put_text(char* c, std::string_view text) {
    const char* p = text.data();
    const char* end = p + text.size();
    unsigned depth = 0;
    while (p != end) {
      switch (*p) {
        case ' ': case '\t': case '\n': case '\r':
          p = skip_space(p, end);
          break;
        case '[': case '{': {
          const char* q = is_space(p[1]) ? skip_space(p + 1, end) : p + 1;
          if ((*q | 0x20) == '}') {  // ']' or '}', which differ in that bit alone
            c = ensure(c, 2);
            *c++ = *p;
            *c++ = *q;
            p = q + 1;
            break;
          }
          c = ensure(c, 1);
          *c++ = *p;
          text_keys[++depth] = {};
          enter();
          c = start_element(c, line + 8);
          c = put_blocks(c, pad + 1, line - 1);
          p = q;
          break;
        }
        case ']': case '}':
          c = close(c, *p);
          --depth;
          ++p;
          break;

        case ',':
          c = start_element(c, line + 8);
          c = put_blocks(c, pad, line);
          // An element follows, in indented text after its line break, skipped here at once.
          p = is_space(p[1]) ? skip_space(p + 1, end) : p + 1;
          break;
        case '"': {
          const char* open = p;
          c = put_text_string(c, p);
          // A string that a colon follows is a key of an object kept as text. The byte after
          // the text is readable: kept text is followed by the input's padding.
          const char* colon = is_space(*p) ? skip_space(p, end) : p;
          if (colon == end || *colon != ':') break;
          if (keys != nullptr) judge_text_key({open + 1, static_cast<std::size_t>(p - open - 2)}, text_keys[depth]);
          c = ensure(c, 2);
          std::memcpy(c, ": ", 2);
          c += 2;
          p = is_space(colon[1]) ? skip_space(colon + 1, end) : colon + 1;  // a value follows
          break;
        }
        case 'n':
        case 't':
        case 'f': {
          std::size_t n = *p == 'f' ? 5 : 4;
          c = put_plain(c, p, n);
          p += n;
          break;
        }
        default:
          c = put_text_number(c, p, end);
          break;
      }
    }
    return c;
  }

  // A key of an object kept as text, against the key before it in its object. The reader keeps
  // only keys without escapes so: they are judged as they stand.
  void judge_text_key(std::string_view key, std::string_view& last) {
    if (last.data() != nullptr && !keys->keys_in_order(last, key)) keys->out_of_order = true;
    last = key;
  }

  // Room for value_room(v) is made. Scalars are written in the loop that meets them; only
  // containers cost a call. The kinds are tested from the most frequent down, which costs fewer
  // instructions than a jump table for the usual strings and numbers. Recursion depth is the
  // document's nesting, which the reader caps at 127 levels.
  [[gnu::always_inline]] char* put_value(char* c, const JsonValue& v) {
    JsonKind kind = v.kind();
    if (kind == JsonKind::Text) {
      // Most values kept as text are one string: written here, without the walk over tokens.
      const char* p = v.as_text().data();
      if (*p == '"') return put_text_string(c, p);
      return put_text(c, v.as_text());
    }
    if (kind == JsonKind::String) {
      std::string_view s = v.as_string();
      c = s.size() <= long_token ? put_string_open(c, s, 1) : put_long_string_open(c, s, 1);
      *c = '"';
      return c + 1;
    }
    if (kind == JsonKind::Number) {
      std::string_view text = v.as_number().text;
      return text.size() <= long_token ? put_number(c, text) : put_long_number(c, text);
    }
    if (kind == JsonKind::Object) return put_object(c, v.as_object());
    if (kind == JsonKind::Array) return put_array(c, v.as_array());
    if (kind == JsonKind::Null) {
      std::memcpy(c, "null    ", 8);
      return c + 4;
    }
    if (v.as_bool()) {
      std::memcpy(c, "true    ", 8);
      return c + 4;
    }
    std::memcpy(c, "false   ", 8);
    return c + 5;
  }

  [[gnu::noinline]] char* put_array(char* c, std::span<const JsonValue> items) {
    if (items.empty()) {
      std::memcpy(c, "[]", 2);
      return c + 2;
    }
    *c++ = '[';
    enter();
    c = put_item<1>(c, items[0]);  // no comma before the first element
    for (const JsonValue& item : items.subspan(1)) c = put_item<0>(c, item);
    return close(c, ']');
  }
  template <std::size_t skip>
  [[gnu::always_inline]] char* put_item(char* c, const JsonValue& item) {
    c = start_element(c, line + value_room(item));
    c = put_blocks(c, pad + skip, line - skip);
    // Text among an array's items may stand for a run of several elements.
    if (item.kind() == JsonKind::Text) return put_text(c, item.as_text());
    return put_value(c, item);
  }

  [[gnu::noinline]] char* put_object(char* c, std::span<const ObjectEntry> entries) {
    if (entries.empty()) {
      std::memcpy(c, "{}", 2);
      return c + 2;
    }
    // Judged here, one call an object, rather than in another walk over the document.
    if (keys != nullptr && !keys->out_of_order && !keys->in_order(entries)) keys->out_of_order = true;
    *c++ = '{';
    enter();
    c = put_entry<1>(c, entries[0]);
    for (const ObjectEntry& entry : entries.subspan(1)) c = put_entry<0>(c, entry);
    return close(c, '}');
  }
  template <std::size_t skip>
  [[gnu::always_inline]] char* put_entry(char* c, const ObjectEntry& entry) {
    // The key, its quotes and ": " are made room for together with the value.
    std::string_view key = entry.key();
    JsonValue value = entry.value();
    std::size_t room = value_room(value);
    bool short_key = key.size() <= long_token;
    c = start_element(c, line + (short_key ? key.size() : 0) + 4 + room);
    c = put_blocks(c, pad + skip, line - skip);
    c = short_key ? put_string_open(c, key, 3 + room) : put_long_string_open(c, key, 3 + room);
    std::memcpy(c, "\": \"", 4);  // the last byte is written over
    return put_value(c + 3, value);
  }

  char* close(char* c, char bracket) {
    leave();
    c = ensure(c, line + 1);
    c = put_blocks(c, pad + 1, line - 1);
    *c++ = bracket;
    return c;
  }
};

// write_pretty's piece size: large enough that appending each piece costs little.
constexpr std::size_t kStringPieceBytes = 64 * 1024;

}  // namespace

void write_pretty(const JsonValue& value, std::string_view indent, std::string& out) {
  ByteBuffer buffer;
  auto append = [](void* context, std::string_view piece, bool) { static_cast<std::string*>(context)->append(piece); };
  write_pretty_pieces(value, indent, "", buffer, kStringPieceBytes, PieceSink{append, &out});
}

std::size_t pieces_buffer_bytes(std::size_t piece_bytes) {
  return piece_bytes + piece_bytes / 4 + kSlack + kPieceReserve;
}

void write_pretty_pieces(const JsonValue& value, std::string_view indent, std::string_view end, ByteBuffer& buffer,
                         std::size_t piece_bytes, PieceSink sink, KeyOrderCheck* keys) {
  // Room for a piece plus the element that may overrun it; it grows after this only for an
  // indent or depth the program never uses.
  buffer.reserve(pieces_buffer_bytes(piece_bytes));
  Writer w{buffer, sink, piece_bytes, indent, keys, nullptr, 0, {}};
  // An element is its indentation, a key and a value: with both scalars at most this long it
  // always fits in the buffer once what it holds has been handed over.
  w.long_token = (buffer.capacity() - kSlack - kPieceReserve) / 2;
  if (std::all_of(indent.begin(), indent.end(), [](char ch) { return ch == ' '; })) {
    w.pad = kSeparatorSpaces.data();
    w.pad_size = 2 + kSpaceRunBytes;
  } else {
    w.grow_pad();
  }
  w.set_limits();
  char* c = w.ensure(w.base, w.value_room(value));
  c = w.put_value(c, value);
  // `end` is checked for like any element, not written into the slack.
  c = std::copy(end.begin(), end.end(), w.ensure(c, end.size()));
  buffer.set_size(static_cast<std::size_t>(c - w.base));
  sink(buffer.view(), true);
}

}  // namespace orvel
