// The in-memory form of one JSON document: its kinds of value, objects as entries in order.
//
// A document does not own its memory one value at a time. Containers, decoded strings and
// normalised numbers live in an `Arena` that belongs to whoever read the document, and strings
// without escapes are views into the bytes that were read. Both must outlive the document;
// releasing the arena releases every value at once. That keeps a value at 16 bytes and avoids a
// heap allocation per value or key, which is what dominates the cost of reading large files.
#ifndef ORVEL_JSON_JSON_VALUE_H_
#define ORVEL_JSON_JSON_VALUE_H_

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

// Text is a value with no object inside it (a scalar, or an array of scalars and such arrays)
// kept as its bytes in the input, for a reader that is asked to: objects are the only values a
// rewrite moves, so the rest is rendered again from what was read, at no cost per value.
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
  // `source` is valid JSON as the reader accepted it, with no object inside; it must stay valid
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

// One key and its value in 24 bytes, where a view and a value take 32: a document holds one per
// key, and they are most of its memory. The key's size and the value's kind and size share one
// word. A key of kLongKey bytes or more is held through a view of it in the arena; a value is
// at most 2^40 bytes or items, which no input that fits in memory comes near.
class ObjectEntry {
 public:
  // `key` is decoded UTF-8 bytes; it and what `value` points to must stay valid as long as the
  // entry. Throws std::bad_alloc when a long key's view finds no room in `arena`, and when
  // `value` is too large to be held.
  static ObjectEntry make(Arena& arena, std::string_view key, const JsonValue& value) {
    // One test for both: a value too large to fit has a size at least kLongKey << 19.
    if ((key.size() | (value.size() >> (64 - kValueShift - kKeySizeBits))) >= kLongKey) {
      return make_long(arena, key, value);
    }
    return ObjectEntry(key.data(), key.size(), value);
  }

  std::string_view key() const {
    auto size = static_cast<std::size_t>(bits_ & kLongKey);
    if (size != kLongKey) return {key_, size};
    return *reinterpret_cast<const std::string_view*>(key_);
  }
  JsonValue value() const {
    JsonValue v;
    v.payload_ = payload_;
    v.set(static_cast<JsonKind>((bits_ >> kKeySizeBits) & kKindMask), static_cast<std::size_t>(bits_ >> kValueShift));
    return v;
  }
  // Gives the key another value; throws std::bad_alloc as make does.
  void set_value(const JsonValue& value);

 private:
  static constexpr unsigned kKindBits = 3;
  static constexpr std::uint64_t kKindMask = (1u << kKindBits) - 1;
  static constexpr unsigned kKeySizeBits = 21;
  static constexpr std::size_t kLongKey = (std::size_t{1} << kKeySizeBits) - 1;
  static constexpr unsigned kValueShift = kKindBits + kKeySizeBits;

  static bool fits(const JsonValue& value) { return (value.size() >> (64 - kValueShift)) == 0; }
  static ObjectEntry make_long(Arena& arena, std::string_view key, const JsonValue& value);

  ObjectEntry(const char* key, std::size_t key_size, const JsonValue& value)
      : key_(key),
        payload_(value.payload_),
        bits_((std::uint64_t{value.size()} << kValueShift) |
              (static_cast<std::uint64_t>(value.kind()) << kKeySizeBits) | key_size) {}

  const char* key_;  // the key's bytes, or its view for a long key
  JsonValue::Payload payload_;
  std::uint64_t bits_;  // from the lowest bit: key size, value kind, value size
};

static_assert(sizeof(ObjectEntry) == 24);

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
