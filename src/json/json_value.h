// The in-memory form of one JSON document: its kinds of value, objects as entries in order.
//
// A document does not own its memory one value at a time. Containers, decoded strings and
// normalised numbers live in an `Arena` that belongs to whoever read the document, and strings
// without escapes are views into the bytes that were read. Both must outlive the document;
// releasing the arena releases every value at once. That keeps a value at 16 bytes and avoids a
// heap allocation per value or key, which is what dominates the cost of reading large files.
#ifndef ORVEL_JSON_JSON_VALUE_H_
#define ORVEL_JSON_JSON_VALUE_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/arena.h"

namespace orvel {

// A JSON number as the text that stands for it, never converted to a machine number, so that
// numbers of any size and precision survive a rewrite exactly. Grammar: optional `-`, `0` or a
// digit run without leading zero, optional `.digits`, optional `e` + sign + digits.
struct NumberText {
  std::string_view text;
};

// Text is a value with nothing inside it that a rewrite moves, kept as its bytes in the input for
// a reader that is asked to: a scalar, an empty object, an object already in order whose keys
// are written as they stand, or an array of such values. Only entries out of order move, so the
// rest is rendered again from what was read, at no cost per value.
enum class JsonKind : std::uint8_t { Null, Bool, Number, String, Text, Array, Object };

class ObjectEntry;

// One value: a kind and a payload. Trivially movable (moves copy the handle; the arena owns what
// it points to) and never copied by accident.
class JsonValue {
 public:
  JsonValue() = default;  // Null
  JsonValue(const JsonValue&) = delete;
  JsonValue& operator=(const JsonValue&) = delete;
  JsonValue(JsonValue&&) = default;
  JsonValue& operator=(JsonValue&&) = default;

  // Defined here rather than in the .cc: the reader makes one per value, and a call each costs.
  static JsonValue boolean(bool b) {
    JsonValue v;
    v.payload_.boolean = b;
    v.set(JsonKind::Bool, 0);
    return v;
  }
  static JsonValue number(NumberText n) {
    JsonValue v;
    v.payload_.chars = n.text.data();
    v.set(JsonKind::Number, n.text.size());
    return v;
  }
  static JsonValue string(std::string_view s) {
    JsonValue v;
    v.payload_.chars = s.data();
    v.set(JsonKind::String, s.size());
    return v;
  }
  // `source` is valid JSON as the reader accepted it, with no entry inside; it must stay valid
  // as long as the value and be followed by kReadPadding readable bytes.
  static JsonValue text(std::string_view source) {
    JsonValue v;
    v.payload_.chars = source.data();
    v.set(JsonKind::Text, source.size());
    return v;
  }
  // `items` must stay valid as long as the value (normally arena memory).
  static JsonValue array(std::span<JsonValue> items) {
    JsonValue v;
    v.payload_.items = items.data();
    v.set(JsonKind::Array, items.size());
    return v;
  }
  // `entries` must have distinct keys (remove_repeated_keys) and stay valid as long as the
  // value. An object is its entries alone, with no header: a document holds millions of them.
  static JsonValue object(std::span<ObjectEntry> entries);

  JsonKind kind() const { return static_cast<JsonKind>(size_and_kind_ & 0xff); }
  // Arrays and objects: the only values a walk over the document has to enter.
  bool is_container() const { return kind() >= JsonKind::Array; }

  bool as_bool() const { return payload_.boolean; }
  NumberText as_number() const { return NumberText{{payload_.chars, size()}}; }
  std::string_view as_string() const { return {payload_.chars, size()}; }
  std::string_view as_text() const { return {payload_.chars, size()}; }
  std::span<JsonValue> as_array() { return {payload_.items, size()}; }
  std::span<const JsonValue> as_array() const { return {payload_.items, size()}; }
  std::span<ObjectEntry> as_object();
  std::span<const ObjectEntry> as_object() const;

 private:
  friend class ObjectEntry;

  std::size_t size() const { return static_cast<std::size_t>(size_and_kind_ >> 8); }
  void set(JsonKind kind, std::size_t size) {
    size_and_kind_ = (static_cast<std::uint64_t>(size) << 8) | static_cast<std::uint8_t>(kind);
  }

  union Payload {
    const char* chars;
    JsonValue* items;
    ObjectEntry* entries;
    bool boolean;
  };
  Payload payload_{nullptr};
  std::uint64_t size_and_kind_ = 0;  // Null, size 0
};

static_assert(sizeof(JsonValue) == 16);

// One key and its value in 16 bytes, where a view and a value take 32: a document holds one per
// key, and they are most of its memory. Each word is an address in its low 48 bits, which is all
// that user space on Linux spans unless a program asks the kernel for more, and sizes above it:
// the key's with the value's kind, and the value's. A key of kLongKey bytes or more, or a value
// of kLongValue or more, is held whole in a record in the arena, which few entries need.
class ObjectEntry {
 public:
  // `key` is decoded UTF-8 bytes; it and what `value` points to must stay valid as long as the
  // entry. Throws std::bad_alloc when a long entry's record finds no room in `arena`.
  static ObjectEntry make(Arena& arena, std::string_view key, const JsonValue& value) {
    std::uint64_t key_word = reinterpret_cast<std::uintptr_t>(key.data());
    auto value_word = std::bit_cast<std::uint64_t>(value.payload_);
    if (((key_word | value_word) >> kAddressBits) != 0 || key.size() >= kLongKey || value.size() >= kLongValue) {
      return make_long(arena, key, value);
    }
    return ObjectEntry(key_word | (std::uint64_t{key.size()} << kKeyShift) |
                           (static_cast<std::uint64_t>(value.kind()) << kAddressBits),
                       value_word | (std::uint64_t{value.size()} << kAddressBits));
  }

  std::string_view key() const {
    auto size = static_cast<std::size_t>(key_word_ >> kKeyShift);
    if (size != kLongKey) return {reinterpret_cast<const char*>(key_word_ & kAddressMask), size};
    return long_entry().key;
  }
  JsonValue value() const {
    if ((key_word_ >> kKeyShift) == kLongKey) return long_entry().value();
    JsonValue v;
    v.payload_ = std::bit_cast<JsonValue::Payload>(value_word_ & kAddressMask);
    v.set(static_cast<JsonKind>((key_word_ >> kAddressBits) & kKindMask), static_cast<std::size_t>(value_word_ >> kAddressBits));
    return v;
  }

 private:
  static constexpr unsigned kAddressBits = 48;
  static constexpr std::uint64_t kAddressMask = (std::uint64_t{1} << kAddressBits) - 1;
  static constexpr std::uint64_t kKindMask = 7;
  static constexpr unsigned kKeyShift = kAddressBits + 3;
  static constexpr std::size_t kLongKey = (std::size_t{1} << (64 - kKeyShift)) - 1;
  static constexpr std::size_t kLongValue = std::size_t{1} << (64 - kAddressBits);

  struct LongEntry {
    std::string_view key;
    JsonValue::Payload payload;
    std::uint64_t size_and_kind;
    JsonValue value() const {
      JsonValue v;
      v.payload_ = payload;
      v.size_and_kind_ = size_and_kind;
      return v;
    }
  };

  static ObjectEntry make_long(Arena& arena, std::string_view key, const JsonValue& value);
  const LongEntry& long_entry() const { return *reinterpret_cast<const LongEntry*>(key_word_ & kAddressMask); }

  ObjectEntry(std::uint64_t key_word, std::uint64_t value_word) : key_word_(key_word), value_word_(value_word) {}

  std::uint64_t key_word_;    // the key's address, the value's kind, the key's size
  std::uint64_t value_word_;  // what the value points to (or a bool), the value's size
};

static_assert(sizeof(ObjectEntry) == 16);

// A hash of a key's length and its first and last bytes, for the filters that rule out repeated
// keys before any key is compared: cheap, and different for most keys of an object. The reader
// takes its top six bits while it reads, the map's filter eight bits below those, so that keys
// that share a bit in the one seldom share a bit in the other.
inline std::uint64_t key_filter_hash(std::size_t size, unsigned char first, unsigned char last) {
  return (first | (std::uint64_t{last} << 8) | (std::uint64_t{size} << 16)) * 0x9e3779b97f4a7c15ull;
}

// Drops the repeated keys of `entries` in place: a key that occurs again keeps its first
// position and takes the later value, and the distinct entries close up at the front in their
// order. Returns how many there are. Spans that a filter cannot clear are checked through a
// temporary hash index, which throws std::bad_alloc when there is no memory for it.
std::size_t remove_repeated_keys(std::span<ObjectEntry> entries);

inline JsonValue JsonValue::object(std::span<ObjectEntry> entries) {
  JsonValue v;
  v.payload_.entries = entries.data();
  v.set(JsonKind::Object, entries.size());
  return v;
}
inline std::span<ObjectEntry> JsonValue::as_object() { return {payload_.entries, size()}; }
inline std::span<const ObjectEntry> JsonValue::as_object() const { return {payload_.entries, size()}; }

}  // namespace orvel

#endif  // ORVEL_JSON_JSON_VALUE_H_
