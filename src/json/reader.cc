// Strict JSON reader: one pass over one contiguous buffer, values built straight into the arena.
#include "json/reader.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/byte_buffer.h"
#include "json/string_scan.h"

namespace orvel {

namespace {

// Containers are copied out of the reader's stacks with memcpy.
static_assert(std::is_trivially_copyable_v<JsonValue>);
static_assert(std::is_trivially_copyable_v<ObjectEntry>);
// Word scans take the first matching byte of a word from its low end.
static_assert(std::endian::native == std::endian::little);

// A budget of 128 lets 127 containers be open at once; the 128th opening bracket fails.
constexpr unsigned kNestingBudget = 128;
constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

// Below this, a closed container's items are copied into the arena; from here on, the block
// they were gathered in becomes arena memory instead, so that they are never held twice.
constexpr std::size_t kHandOverBytes = 4u << 20;

// The items of the containers that outgrow the frames reading them, in a buffer: a mapped
// stack grows by remapping, never holding an old and a new copy, and is given its pages (and
// charged for them) a stretch at a time as items reach them, so pages it never reaches cost
// nothing. Freed with the reader, also when an exception unwinds it.
template <class T>
class GatherStack {
 public:
  GatherStack() = default;
  GatherStack(const GatherStack&) = delete;
  GatherStack& operator=(const GatherStack&) = delete;

  std::size_t size() const { return size_; }
  T* data() { return items(); }

  void append(const T* from, std::size_t count) {
    block_.populate((size_ + count) * sizeof(T));
    std::memcpy(static_cast<void*>(items() + size_), from, count * sizeof(T));
    size_ += count;
  }

  template <class... Fields>
  void emplace(Fields&&... fields) {
    block_.populate((size_ + 1) * sizeof(T));
    new (items() + size_) T{std::forward<Fields>(fields)...};
    ++size_;
  }

  // Moves the first `count` items from `base` on into arena memory and drops everything from
  // `base` on. A large container's items stay where they are: the arena adopts the whole block
  // and the items below `base` (those of the enclosing containers) move to a fresh one, unless
  // they are the larger part, when the container is copied out as a small one is.
  std::span<T> keep(std::size_t base, std::size_t count, Arena& arena) {
    if (count * sizeof(T) < kHandOverBytes || base > count) {
      T* copy = arena.allocate_array<T>(count);
      std::memcpy(static_cast<void*>(copy), items() + base, count * sizeof(T));
      size_ = base;
      return {copy, count};
    }
    // Pages past the container may hold what longer containers left: they go back first.
    block_.resize((base + count) * sizeof(T));
    T* kept = items();
    arena.adopt(block_);  // on failure the stack still owns the block
    size_ = 0;
    if (base > 0) append(kept, base);
    return {kept + base, count};
  }

 private:
  T* items() { return reinterpret_cast<T*>(block_.data()); }

  ByteBuffer block_;
  std::size_t size_ = 0;
};

// The decoded content of one string with escapes, gathered before it is copied into the arena.
class DecodedText {
 public:
  void clear() { text_.clear(); }
  void append(const char* from, const char* to) {
    auto n = static_cast<std::size_t>(to - from);
    text_.populate(text_.size() + n);
    if (n != 0) std::memcpy(text_.data() + text_.size(), from, n);
    text_.set_size(text_.size() + n);
  }
  void push_back(char c) {
    text_.populate(text_.size() + 1);
    text_.data()[text_.size()] = c;
    text_.set_size(text_.size() + 1);
  }
  std::string_view view() const { return text_.view(); }

 private:
  ByteBuffer text_;
};

struct Reader {
  Reader(std::string_view input, Arena& a, ReadMode mode)
      : begin(input.data()),
        p(input.data()),
        end(input.data() + input.size()),
        arena(a),
        order(mode.order),
        keep_text(mode.keep_text) {}

  const char* begin;
  const char* p;
  const char* end;
  Arena& arena;
  const EntryOrder* order;  // null: entries stay in the order read
  bool keep_text;
  unsigned budget = kNestingBudget;
  // Elements and entries of the long containers being read, innermost last.
  GatherStack<JsonValue> values;
  GatherStack<ObjectEntry> entries;
  DecodedText scratch;  // decoded content of a string that has escapes
  bool failed = false;
  DecodeErrorKind error_kind = DecodeErrorKind::EndInValue;
  std::size_t error_count = 0;  // input bytes up to and including the offending one
};

// What a failing step returns: it converts to the "nothing" of each step's result type, and the
// caller sees `r.failed` and passes the failure straight up. Values are returned rather than
// written through an out-parameter so that they come back in registers.
struct Failed {
  operator bool() const { return false; }  // NOLINT: implicit by design
  operator std::string_view() const { return {}; }  // NOLINT
  operator JsonValue() const { return JsonValue(); }  // NOLINT
};

Failed fail_at(Reader& r, DecodeErrorKind kind, const char* at) {
  r.failed = true;
  r.error_kind = kind;
  r.error_count = static_cast<std::size_t>(at - r.begin) + 1;
  return {};
}

Failed fail_at_end(Reader& r, DecodeErrorKind kind) {
  r.failed = true;
  r.error_kind = kind;
  r.error_count = static_cast<std::size_t>(r.end - r.begin);
  return {};
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Out of line, so that the inlined test above it stays small where minified text is read.
[[gnu::noinline]] const char* skip_space_run(const char* p, const char* end) { return skip_space(p, end); }

void skip_whitespace(Reader& r) {
  // Minified text has nothing to skip: one test and no store. Indented text has one space
  // after each colon, which is not worth a call.
  if (r.p == r.end || static_cast<unsigned char>(*r.p) > ' ') return;
  bool one_space = *r.p == ' ' && r.end - r.p > 1 && static_cast<unsigned char>(r.p[1]) > ' ';
  r.p = one_space ? r.p + 1 : skip_space_run(r.p, r.end);
}

// A run of string content without escapes: where it stops (at a quote, a backslash, a control
// byte or the end of the input), and whether a byte above 0x7F was passed over, so that runs of
// ASCII skip UTF-8 checking. Returned by value, so it comes back in registers.
struct PlainRun {
  const char* stop;
  bool high;
};

// The run from `p` on: sixteen bytes at a time while sixteen remain, so no load reaches past the
// input, then byte by byte.
PlainRun scan_plain_run(const char* p, const char* end) {
  unsigned high = 0;
  while (end - p >= 16) {
    StringBlock block = scan_string_block(p);
    if (block.stops != 0) {
      int index = std::countr_zero(block.stops);
      // Most text is ASCII: one test, and the mask of the bytes before the stop only if not.
      if (block.high != 0) high |= block.high & ((1u << index) - 1);
      return {p + index, high != 0};
    }
    high |= block.high;
    p += 16;
  }
  for (; p != end; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (is_string_stop(c)) break;
    high |= c & 0x80u;
  }
  return {p, high != 0};
}

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Strict UTF-8: no overlong forms, no encoded surrogates, nothing above U+10FFFF.
bool is_valid_utf8(const unsigned char* s, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    unsigned char c = s[i];
    if (c < 0x80) {
      // ASCII tends to come in runs: eight bytes at a time after an ASCII byte. Text in other
      // scripts goes from one sequence to the next without trying.
      ++i;
      std::uint64_t word;
      while (n - i >= 8 && (std::memcpy(&word, s + i, 8), (word & kHighBits) == 0)) i += 8;
    } else if (c < 0xC2) {
      return false;  // a stray continuation byte or an overlong two-byte form
    } else if (c < 0xE0) {
      if (n - i < 2 || !is_continuation(s[i + 1])) return false;
      i += 2;
    } else if (c < 0xF0) {
      if (n - i < 3) return false;
      unsigned char low = c == 0xE0 ? 0xA0 : 0x80;   // below: overlong
      unsigned char high = c == 0xED ? 0x9F : 0xBF;  // above: a surrogate
      if (s[i + 1] < low || s[i + 1] > high || !is_continuation(s[i + 2])) return false;
      i += 3;
      // Scripts written in three bytes mostly lead with E1-EC, whose second byte has no bounds.
      while (n - i >= 3 && s[i] - 0xE1u < 12 && is_continuation(s[i + 1]) && is_continuation(s[i + 2])) i += 3;
    } else if (c < 0xF5) {
      if (n - i < 4) return false;
      unsigned char low = c == 0xF0 ? 0x90 : 0x80;   // below: overlong
      unsigned char high = c == 0xF4 ? 0x8F : 0xBF;  // above: beyond U+10FFFF
      if (s[i + 1] < low || s[i + 1] > high || !is_continuation(s[i + 2]) ||
          !is_continuation(s[i + 3])) {
        return false;
      }
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

bool run_is_valid(const char* from, const char* to, bool high) {
  if (!high) return true;
  return is_valid_utf8(reinterpret_cast<const unsigned char*>(from),
                       static_cast<std::size_t>(to - from));
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the four hex digits of a `\u` escape at r.p into `unit`.
bool read_hex4(Reader& r, unsigned& unit) {
  if (r.end - r.p < 4) return fail_at_end(r, DecodeErrorKind::EndInString);
  unsigned value = 0;
  bool all_hex = true;
  for (int i = 0; i < 4; ++i) {
    int digit = hex_value(r.p[i]);
    all_hex = all_hex && digit >= 0;
    value = value * 16 + static_cast<unsigned>(digit & 0xF);
  }
  if (!all_hex) return fail_at(r, DecodeErrorKind::BadEscape, r.p + 3);
  r.p += 4;
  unit = value;
  return true;
}

// Code point `cp` as UTF-8, at the end of `out`.
void append_utf8(DecodedText& out, std::uint32_t cp) {
  char bytes[4] = {static_cast<char>(cp)};
  out.append(bytes, cp < 0x80 ? bytes + 1 : put_utf8_multibyte(bytes, cp));
}

// The `\u` escape whose `u` has just been consumed; appends its character to the scratch buffer.
bool read_unicode_escape(Reader& r) {
  unsigned unit;
  if (!read_hex4(r, unit)) return false;
  if (unit >= 0xDC00 && unit <= 0xDFFF) {
    return fail_at(r, DecodeErrorKind::UnpairedSurrogate, r.p - 1);
  }
  if (unit < 0xD800 || unit > 0xDFFF) {
    append_utf8(r.scratch, unit);
    return true;
  }
  // A leading surrogate: its trailing half must follow at once as another `\u` escape.
  for (char expected : {'\\', 'u'}) {
    if (r.p == r.end) return fail_at_end(r, DecodeErrorKind::EndInString);
    if (*r.p != expected) return fail_at(r, DecodeErrorKind::SurrogateNotFollowed, r.p);
    ++r.p;
  }
  unsigned trail;
  if (!read_hex4(r, trail)) return false;
  if (trail < 0xDC00 || trail > 0xDFFF) {
    return fail_at(r, DecodeErrorKind::UnpairedSurrogate, r.p - 1);
  }
  append_utf8(r.scratch, 0x10000 + ((unit - 0xD800) << 10) + (trail - 0xDC00));
  return true;
}

// The escape whose backslash is at r.p; appends what it stands for to the scratch buffer.
bool read_escape(Reader& r) {
  ++r.p;
  if (r.p == r.end) return fail_at_end(r, DecodeErrorKind::EndInString);
  char letter = *r.p;
  char decoded;
  switch (letter) {
    case '"': decoded = '"'; break;
    case '\\': decoded = '\\'; break;
    case '/': decoded = '/'; break;
    case 'b': decoded = '\b'; break;
    case 'f': decoded = '\f'; break;
    case 'n': decoded = '\n'; break;
    case 'r': decoded = '\r'; break;
    case 't': decoded = '\t'; break;
    case 'u':
      ++r.p;
      return read_unicode_escape(r);
    default:
      return fail_at(r, DecodeErrorKind::BadEscape, r.p);
  }
  ++r.p;
  r.scratch.push_back(decoded);
  return true;
}

// The rest of a string after its first backslash, which is at r.p; `start` is the first content
// byte. Content is gathered in the scratch buffer and copied into the arena at the end, unless
// only its validity is wanted (`decoded` false), when the result is merely not empty.
std::string_view read_escaped_string(Reader& r, const char* start, bool valid, bool decoded) {
  r.scratch.clear();
  r.scratch.append(start, r.p);
  for (;;) {
    if (*r.p == '\\') {
      if (!read_escape(r)) return {};
    } else if (*r.p == '"') {
      if (!valid) return fail_at(r, DecodeErrorKind::BadText, r.p);
      ++r.p;
      return decoded ? r.arena.copy(r.scratch.view()) : std::string_view(start, 1);
    } else {
      return fail_at(r, DecodeErrorKind::RawControl, r.p);
    }
    const char* run = r.p;
    PlainRun plain = scan_plain_run(run, r.end);
    r.p = plain.stop;
    if (r.p == r.end) return fail_at_end(r, DecodeErrorKind::EndInString);
    // Decoded escapes are whole characters, so the content is valid exactly when every raw run
    // is; the verdict waits for the closing quote, as errors met before it come first.
    valid = valid && run_is_valid(run, r.p, plain.high);
    r.scratch.append(run, r.p);
  }
}

// The rest of read_string once the first plain run, from `start` to `stop`, is not the whole
// of an ASCII string: UTF-8 to check, an escape, an error. Kept out of line so that the common
// case stays small enough to be inlined where strings are read.
[[gnu::noinline]] std::string_view read_string_rest(Reader& r, const char* start, const char* stop,
                                                    bool high, bool decoded) {
  r.p = stop;
  if (stop == r.end) return fail_at_end(r, DecodeErrorKind::EndInString);
  bool valid = run_is_valid(start, stop, high);
  if (*stop == '"') {
    if (!valid) return fail_at(r, DecodeErrorKind::BadText, stop);
    r.p = stop + 1;
    return std::string_view(start, static_cast<std::size_t>(stop - start));
  }
  if (*stop == '\\') return read_escaped_string(r, start, valid, decoded);
  return fail_at(r, DecodeErrorKind::RawControl, stop);
}

// A string whose opening quote is at r.p. Without escapes the result is a view into the input;
// with them, the decoded content in the arena, or only its validity checked when not `decoded`.
std::string_view read_string(Reader& r, bool decoded = true) {
  const char* start = r.p + 1;
  PlainRun plain = scan_plain_run(start, r.end);
  if (plain.stop != r.end && *plain.stop == '"' && !plain.high) {
    r.p = plain.stop + 1;
    return std::string_view(start, static_cast<std::size_t>(plain.stop - start));
  }
  return read_string_rest(r, start, plain.stop, plain.high, decoded);
}

// One digit must come next (after `-`, `.`, or the exponent letter and sign).
bool expect_digit(Reader& r, const char* p) {
  if (p == r.end) return fail_at_end(r, DecodeErrorKind::EndInValue);
  if (!is_digit(*p)) return fail_at(r, DecodeErrorKind::BadNumber, p);
  return true;
}

// `text` with its exponent letter at `exponent` written as `e` followed by an explicit sign.
std::string_view normalise_exponent(Arena& arena, std::string_view text, std::size_t exponent) {
  bool has_sign = text[exponent + 1] == '+' || text[exponent + 1] == '-';
  std::size_t size = text.size() + (has_sign ? 0 : 1);
  char* copy = static_cast<char*>(arena.allocate(size, 1));
  std::memcpy(copy, text.data(), exponent);
  copy[exponent] = 'e';
  std::size_t at = exponent + 1;
  if (!has_sign) copy[at++] = '+';
  std::memcpy(copy + at, text.data() + exponent + 1, text.size() - exponent - 1);
  return std::string_view(copy, size);
}

// A number starting at r.p, kept as text. The text is a view into the input unless it has to be
// rewritten: an exponent gets a lower-case `e` and an explicit sign, and `-0` becomes `0`.
JsonValue read_number(Reader& r) {
  const char* start = r.p;
  const char* p = start;
  if (*p == '-') ++p;
  if (!expect_digit(r, p)) return {};
  if (*p == '0') {
    ++p;
    if (p != r.end && is_digit(*p)) return fail_at(r, DecodeErrorKind::BadNumber, p);
  } else {
    p = skip_digits(p + 1, r.end);
  }
  bool integer = true;
  if (p != r.end && *p == '.') {
    integer = false;
    ++p;
    if (!expect_digit(r, p)) return {};
    p = skip_digits(p + 1, r.end);
  }
  const char* exponent = nullptr;
  bool rewrite = false;
  if (p != r.end && (*p == 'e' || *p == 'E')) {
    integer = false;
    exponent = p;
    rewrite = *p == 'E';
    ++p;
    if (p != r.end && (*p == '+' || *p == '-')) {
      ++p;
    } else {
      rewrite = true;
    }
    if (!expect_digit(r, p)) return {};
    p = skip_digits(p + 1, r.end);
  }
  r.p = p;
  std::string_view text(start, static_cast<std::size_t>(p - start));
  // A number that must be rewritten is kept as text, which the writer normalises as it renders
  // it, so that kept text never costs arena memory; any other is its own written form.
  if (rewrite && r.keep_text) return JsonValue::text(text);
  if (rewrite) {
    text = normalise_exponent(r.arena, text, static_cast<std::size_t>(exponent - start));
  } else if (integer && text.size() == 2 && text[0] == '-' && text[1] == '0') {
    // Integers in the 64-bit range are stored as the decimal form of their value; the grammar
    // leaves `-0` as the only integer that this changes. Its text is padded like the input's.
    static constexpr char kZero[1 + kReadPadding] = "0";
    text = std::string_view(kZero, 1);
  }
  return JsonValue::number(NumberText{text});
}

// `null`, `true` or `false`, whose first letter is at r.p. What follows the last letter is left
// to the enclosing context. Out of line: inlined, it makes read_value's number path slower.
[[gnu::noinline]] JsonValue read_literal(Reader& r, std::string_view word, JsonValue value) {
  // The caller has matched the first letter, so comparing the last four bytes of a four- or
  // five-letter word as one load covers the rest.
  if (static_cast<std::size_t>(r.end - r.p) >= word.size()) {
    std::uint32_t have;
    std::uint32_t want;
    std::memcpy(&have, r.p + word.size() - 4, 4);
    std::memcpy(&want, word.data() + word.size() - 4, 4);
    if (have == want) {
      r.p += word.size();
      return value;
    }
  }
  for (std::size_t i = 1;; ++i) {
    // Some letter differs or the input ends, or the full match above would have been taken.
    if (r.p + i == r.end) return fail_at_end(r, DecodeErrorKind::EndInValue);
    if (r.p[i] != word[i]) return fail_at(r, DecodeErrorKind::BadLiteral, r.p + i);
  }
}

JsonValue read_value(Reader& r);

// The items of one container while it is read. The first `N` stay in the frame of the function
// reading it; a longer container moves them to the end of the reader's shared stack and goes on
// there, so the items are always in one piece. Most containers are short and never touch the
// shared stack, whose growth check and memory traffic then cost nothing.
template <class T, std::size_t N>
class ItemBuffer {
 public:
  explicit ItemBuffer(GatherStack<T>& shared) : shared_(shared), base_(shared.size()) {}
  ItemBuffer(const ItemBuffer&) = delete;
  ItemBuffer& operator=(const ItemBuffer&) = delete;

  // Builds the item in its place from its fields. Building it elsewhere and copying it over
  // let the compiler store the fields one by one and load them back as one vector, a load that
  // has to wait for both stores to retire.
  template <class... Fields>
  void emplace(Fields&&... fields) {
    if (count_ < N) {
      new (local_ + count_ * sizeof(T)) T{std::forward<Fields>(fields)...};
    } else {
      if (count_ == N) shared_.append(items(), N);
      shared_.emplace(std::forward<Fields>(fields)...);
    }
    ++count_;
  }
  std::size_t size() const { return count_; }
  bool is_local() const { return count_ <= N; }
  // Valid until the next push.
  T* items() { return count_ <= N ? reinterpret_cast<T*>(local_) : shared_.data() + base_; }
  // The first `count` items, in arena memory, after a container on the shared stack closes;
  // the shared stack goes back to the enclosing containers.
  std::span<T> keep_shared(std::size_t count, Arena& arena) {
    return shared_.keep(base_, count, arena);
  }

 private:
  GatherStack<T>& shared_;
  std::size_t base_;
  std::size_t count_ = 0;
  alignas(T) unsigned char local_[N * sizeof(T)];
};

// Room for most arrays and objects of typical documents (measured: larger buffers cost more
// than the copies they save). Each level of the reader's recursion holds one buffer, and the
// nesting budget keeps it within 128 levels: about 1.5 KiB a level, under 200 KiB in all.
constexpr std::size_t kLocalValues = 8;
constexpr std::size_t kLocalEntries = 32;

// Spends one unit of the nesting budget for the bracket at r.p, or fails when none is left.
bool enter_container(Reader& r) {
  if (--r.budget == 0) return fail_at(r, DecodeErrorKind::TooDeep, r.p);
  ++r.p;
  return true;
}

JsonValue read_array(Reader& r) {
  const char* open = r.p;
  if (!enter_container(r)) return {};
  ItemBuffer<JsonValue, kLocalValues> values(r.values);
  // When text is kept, elements with no entry inside are not stored one by one: each stretch
  // of them becomes one Text item, from its first element's first byte to its last element's
  // last, and an array with no entry inside at all is one Text value.
  const char* run = nullptr;
  const char* run_end = nullptr;
  skip_whitespace(r);
  if (r.p == r.end) return fail_at_end(r, DecodeErrorKind::EndInArray);
  if (*r.p != ']') {
    for (;;) {
      const char* at = r.p;
      JsonValue element = read_value(r);
      if (r.failed) return {};
      if (r.keep_text && !element.is_container()) {
        if (run == nullptr) run = at;
        run_end = r.p;
      } else {
        if (run != nullptr) values.emplace(JsonValue::text({run, static_cast<std::size_t>(run_end - run)}));
        run = nullptr;
        values.emplace(std::move(element));
      }
      skip_whitespace(r);
      if (r.p == r.end) return fail_at_end(r, DecodeErrorKind::EndInArray);
      if (*r.p == ']') break;
      if (*r.p != ',') return fail_at(r, DecodeErrorKind::NoArrayDelimiter, r.p);
      ++r.p;
      skip_whitespace(r);
      if (r.p == r.end) return fail_at_end(r, DecodeErrorKind::EndInValue);
      if (*r.p == ']') return fail_at(r, DecodeErrorKind::CommaBeforeClose, r.p);
    }
  }
  ++r.p;
  ++r.budget;
  if (r.keep_text && values.size() == 0) return JsonValue::text({open, static_cast<std::size_t>(r.p - open)});
  if (run != nullptr) values.emplace(JsonValue::text({run, static_cast<std::size_t>(run_end - run)}));
  const std::size_t count = values.size();
  if (count == 0) return JsonValue::array({});
  if (!values.is_local()) return JsonValue::array(values.keep_shared(count, r.arena));
  auto* items = r.arena.allocate_array<JsonValue>(count);
  std::memcpy(static_cast<void*>(items), values.items(), count * sizeof(JsonValue));
  return JsonValue::array(std::span<JsonValue>(items, count));
}

JsonValue read_object(Reader& r) {
  const char* open = r.p;
  if (!enter_container(r)) return {};
  ItemBuffer<ObjectEntry, kLocalEntries> entries(r.entries);
  // Each key sets one of 64 bits as it comes, while its bytes are at hand. An object in which no
  // two keys share a bit has no repeated key and is copied as it is; the rest (a few among small
  // objects, nearly all large ones) go to remove_repeated_keys, which sorts out repeats on its own.
  // Keeping the compares out of this loop keeps it free of branches that depend on the keys.
  std::uint64_t seen = 0;
  std::uint64_t collided = 0;
  // Whether the object can stay as its text: nothing in it moves, and its keys are as written.
  bool as_text = r.keep_text && r.order != nullptr;
  skip_whitespace(r);
  if (r.p == r.end) return fail_at_end(r, DecodeErrorKind::EndInObject);
  if (*r.p != '}') {
    if (*r.p != '"') return fail_at(r, DecodeErrorKind::KeyNotString, r.p);
    for (;;) {
      const char* key_at = r.p + 1;
      std::string_view key = read_string(r);
      if (r.failed) return {};
      // An empty key is a view between its quotes, so both bytes read are quotes.
      std::uint64_t hash = key_filter_hash(key.size(), static_cast<unsigned char>(key.data()[0]),
                                           static_cast<unsigned char>(*(key.data() + key.size() - 1)));
      std::uint64_t bit = std::uint64_t{1} << (hash >> 58);
      collided |= seen & bit;
      seen |= bit;
      skip_whitespace(r);
      if (r.p == r.end) return fail_at_end(r, DecodeErrorKind::EndInObject);
      if (*r.p != ':') return fail_at(r, DecodeErrorKind::NoColon, r.p);
      ++r.p;
      skip_whitespace(r);
      JsonValue value = read_value(r);
      if (r.failed) return {};
      as_text = as_text && key.data() == key_at && !value.is_container();  // no escape, no entry to move
      entries.emplace(ObjectEntry::make(r.arena, key, value));
      skip_whitespace(r);
      if (r.p == r.end) return fail_at_end(r, DecodeErrorKind::EndInObject);
      if (*r.p == '}') break;
      if (*r.p != ',') return fail_at(r, DecodeErrorKind::NoObjectDelimiter, r.p);
      ++r.p;
      skip_whitespace(r);
      if (r.p == r.end) return fail_at_end(r, DecodeErrorKind::EndInValue);
      if (*r.p == '}') return fail_at(r, DecodeErrorKind::CommaBeforeClose, r.p);
      if (*r.p != '"') return fail_at(r, DecodeErrorKind::KeyNotString, r.p);
    }
  }
  ++r.p;
  ++r.budget;
  // An empty object has no entry to move: kept as text, a run of them in an array is one item.
  if (r.keep_text && entries.size() == 0) return JsonValue::text({open, static_cast<std::size_t>(r.p - open)});
  // A repeated key keeps its first place and takes the later value; the earlier one is dropped
  // where the entries were gathered, so only distinct entries are ever ordered or kept.
  std::span<ObjectEntry> gathered(entries.items(), entries.size());
  std::size_t count = collided == 0 ? gathered.size() : remove_repeated_keys(gathered);
  // Entries already in order, none repeated, are kept as the text they were read from.
  if (as_text && count == gathered.size() && entries.is_local() && r.order->in_order(gathered)) {
    return JsonValue::text({open, static_cast<std::size_t>(r.p - open)});
  }
  // A long object is kept where it was gathered, without a second copy, and put in order there.
  // A short one is put in order on its way into the arena, so that its entries move once.
  std::span<ObjectEntry> kept = entries.is_local()
                                    ? std::span<ObjectEntry>(r.arena.allocate_array<ObjectEntry>(count), count)
                                    : entries.keep_shared(count, r.arena);
  if (r.order != nullptr) {
    // Keeping a long object may move its block, so it is then sorted where it was kept.
    r.order->put_in_order(r.order->context, entries.is_local() ? gathered.first(count) : kept, kept.data());
  } else if (entries.is_local()) {
    std::memcpy(static_cast<void*>(kept.data()), gathered.data(), count * sizeof(ObjectEntry));
  }
  return JsonValue::object(kept);
}

// The value at r.p, which is past any whitespace.
JsonValue read_value(Reader& r) {
  if (r.p == r.end) return fail_at_end(r, DecodeErrorKind::EndInValue);
  switch (*r.p) {
    case '"':
      if (r.keep_text) {
        const char* quote = r.p;
        read_string(r, false);
        return JsonValue::text({quote, static_cast<std::size_t>(r.p - quote)});
      }
      return JsonValue::string(read_string(r));
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
      return read_number(r);
    case '[':
      return read_array(r);
    case '{':
      return read_object(r);
    case 'n':
      return read_literal(r, "null", JsonValue());
    case 't':
      return read_literal(r, "true", JsonValue::boolean(true));
    case 'f':
      return read_literal(r, "false", JsonValue::boolean(false));
    default:
      return fail_at(r, DecodeErrorKind::NoValue, r.p);
  }
}

// Line and column of the error placed after `count` bytes, counted only now that it is needed.
DecodeError locate(std::string_view input, DecodeErrorKind kind, std::size_t count) {
  std::string_view seen = input.substr(0, count);
  std::uint64_t line = 1 + static_cast<std::uint64_t>(std::count(seen.begin(), seen.end(), '\n'));
  std::size_t last_feed = seen.rfind('\n');
  std::size_t line_start = last_feed == std::string_view::npos ? 0 : last_feed + 1;
  return DecodeError{kind, line, count - line_start};
}

}  // namespace

std::string_view decode_error_message(DecodeErrorKind kind) {
  switch (kind) {
    case DecodeErrorKind::EndInArray: return "EOF while parsing a list";
    case DecodeErrorKind::EndInObject: return "EOF while parsing an object";
    case DecodeErrorKind::EndInString: return "EOF while parsing a string";
    case DecodeErrorKind::EndInValue: return "EOF while parsing a value";
    case DecodeErrorKind::NoColon: return "expected `:`";
    case DecodeErrorKind::NoArrayDelimiter: return "expected `,` or `]`";
    case DecodeErrorKind::NoObjectDelimiter: return "expected `,` or `}`";
    case DecodeErrorKind::BadLiteral: return "expected ident";
    case DecodeErrorKind::NoValue: return "expected value";
    case DecodeErrorKind::BadEscape: return "invalid escape";
    case DecodeErrorKind::BadNumber: return "invalid number";
    case DecodeErrorKind::BadText: return "invalid unicode code point";
    case DecodeErrorKind::RawControl:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case DecodeErrorKind::KeyNotString: return "key must be a string";
    case DecodeErrorKind::UnpairedSurrogate: return "lone leading surrogate in hex escape";
    case DecodeErrorKind::CommaBeforeClose: return "trailing comma";
    case DecodeErrorKind::ContentAfterValue: return "trailing characters";
    case DecodeErrorKind::SurrogateNotFollowed: return "unexpected end of hex escape";
    case DecodeErrorKind::TooDeep: return "recursion limit exceeded";
  }
  return "unknown decode error";  // only for a value outside the enum
}

bool cannot_begin_json(std::string_view prefix) {
  for (char c : prefix) {
    if (is_space(c)) continue;
    switch (c) {
      case '"': case '-': case '[': case '{': case 'n': case 't': case 'f':
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        return false;
      default:
        return true;
    }
  }
  return false;
}

std::string to_string(const DecodeError& error) {
  std::string text(decode_error_message(error.kind));
  text += " at line ";
  text += std::to_string(error.line);
  text += " column ";
  text += std::to_string(error.column);
  return text;
}

Result<JsonValue, DecodeError> read_document(std::string_view input, Arena& arena, ReadMode mode) {
  Reader r(input, arena, mode);
  skip_whitespace(r);
  JsonValue root = read_value(r);
  if (!r.failed) {
    skip_whitespace(r);
    if (r.p != r.end) fail_at(r, DecodeErrorKind::ContentAfterValue, r.p);
  }
  if (r.failed) return Err(locate(input, r.error_kind, r.error_count));
  return root;
}

}  // namespace orvel
