// The bytes that end a plain run of string text, found sixteen at a time: the reader stops at
// them to decode or to fail, the writer to escape; the end of a number's digits, for both; and
// the UTF-8 form of a code point, which both write.
// Each kernel has a portable twin, and both are compiled wherever they can be, so that each is
// tested on every machine that can run it.
#ifndef ORVEL_JSON_STRING_SCAN_H_
#define ORVEL_JSON_STRING_SCAN_H_

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvel {

// A quote, a backslash or a control byte (0x00-0x1F): what a string cannot hold as it stands.
constexpr bool is_string_stop(unsigned char c) { return c == '"' || c == '\\' || c < 0x20; }

// Sixteen bytes, one bit each: bit i of `stops` is set when byte i is a stop byte, bit i of
// `high` when byte i is above 0x7F (which UTF-8 checking cares about).
struct StringBlock {
  unsigned stops;
  unsigned high;
};

// Eight flags, one in the top bit of each byte, gathered into the low eight bits.
constexpr unsigned gather_byte_flags(std::uint64_t flags) {
  return static_cast<unsigned>(((flags >> 7) * 0x0102040810204080ull) >> 56);
}

// The top bit of each byte of `w` that is zero. Exact per byte: no borrow runs from one byte
// into the next, so any flag can be trusted, not just the lowest.
constexpr std::uint64_t zero_byte_flags(std::uint64_t w) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  return ~(((w & kLow7) + kLow7) | w | kLow7);
}

// The scalar kernel: the block as two machine words.
inline StringBlock scan_string_block_scalar(const char* p) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
  StringBlock block{0, 0};
  for (unsigned half = 0; half < 2; ++half) {
    std::uint64_t w;
    std::memcpy(&w, p + 8 * half, 8);
    std::uint64_t stops = zero_byte_flags(w ^ (kOnes * '"')) | zero_byte_flags(w ^ (kOnes * '\\')) |
                          zero_byte_flags(w & (kOnes * 0xE0));  // 0x00-0x1F: top three bits clear
    block.stops |= gather_byte_flags(stops) << (8 * half);
    block.high |= gather_byte_flags(w & kHighBits) << (8 * half);
  }
  return block;
}

#if defined(__SSE2__)
// The SSE2 kernel.
inline StringBlock scan_string_block_sse2(const char* p) {
  __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // Unsigned `byte <= 0x1F` as `min(byte, 0x1F) == byte`: SSE2 only compares signed bytes.
  __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(bytes, _mm_set1_epi8(0x1F)), bytes);
  __m128i quote = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'));
  __m128i backslash = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'));
  __m128i stops = _mm_or_si128(_mm_or_si128(quote, backslash), control);
  return {static_cast<unsigned>(_mm_movemask_epi8(stops)), static_cast<unsigned>(_mm_movemask_epi8(bytes))};
}
#endif

// The sixteen bytes from `p`, which must all be readable.
inline StringBlock scan_string_block(const char* p) {
#if defined(__SSE2__)
  return scan_string_block_sse2(p);
#else
  return scan_string_block_scalar(p);
#endif
}

// Number text is mostly digits: they are skipped sixteen, then eight at a time. In a word, a
// byte is a digit when its high nibble is 3 both as it stands and after adding 6 (which carries
// 0x3A-0x3F out of it). A carry between bytes only starts at a byte that is already flagged, so
// the lowest flagged byte is always the first non-digit. Only the bytes in [p, end) are read.
inline const char* skip_digits_scalar(const char* p, const char* end) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighNibbles = 0xF0F0F0F0F0F0F0F0ull;
  constexpr std::uint64_t kThrees = kOnes * 0x30;
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    std::uint64_t other = ((word & kHighNibbles) ^ kThrees) |
                          (((word + kOnes * 6) & kHighNibbles) ^ kThrees);
    if (other != 0) return p + std::countr_zero(other) / 8;
    p += 8;
  }
  while (p != end && static_cast<unsigned>(*p - '0') < 10u) ++p;
  return p;
}

#if defined(__SSE2__)
inline const char* skip_digits_sse2(const char* p, const char* end) {
  while (end - p >= 16) {
    __m128i offset = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                                  _mm_set1_epi8('0'));
    // Unsigned `byte - '0' <= 9` as `min(byte - '0', 9) == byte - '0'`.
    __m128i digits = _mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(9)), offset);
    unsigned others = ~static_cast<unsigned>(_mm_movemask_epi8(digits)) & 0xFFFF;
    if (others != 0) return p + std::countr_zero(others);
    p += 16;
  }
  return skip_digits_scalar(p, end);
}
#endif

// Whitespace between tokens, in indented text mostly a line feed and the indentation after it.
inline bool is_space(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

// The portable kernel, a byte at a time. Only the bytes in [p, end) are read.
inline const char* skip_space_scalar(const char* p, const char* end) {
  while (p != end && is_space(*p)) ++p;
  return p;
}

#if defined(__SSE2__)
inline const char* skip_space_sse2(const char* p, const char* end) {
  while (end - p >= 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i blank = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')));
    __m128i control = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')));
    unsigned others = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(blank, control))) & 0xFFFF;
    if (others != 0) return p + std::countr_zero(others);
    p += 16;
  }
  return skip_space_scalar(p, end);
}
#endif

// The first byte in [p, end) that is not whitespace, or `end`.
inline const char* skip_space(const char* p, const char* end) {
#if defined(__SSE2__)
  return skip_space_sse2(p, end);
#else
  return skip_space_scalar(p, end);
#endif
}

// The first byte in [p, end) that is not a digit, or `end`.
inline const char* skip_digits(const char* p, const char* end) {
#if defined(__SSE2__)
  return skip_digits_sse2(p, end);
#else
  return skip_digits_scalar(p, end);
#endif
}

// The UTF-8 form of a code point from U+0080 on, stored from `c`; returns where it ends.
inline char* put_utf8_multibyte(char* c, std::uint32_t cp) {
  int tail = cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;  // continuation bytes after the lead
  *c++ = static_cast<char>(((0xF00u >> (tail + 1)) & 0xFF) | (cp >> (6 * tail)));
  for (int i = tail - 1; i >= 0; --i) *c++ = static_cast<char>(0x80 | ((cp >> (6 * i)) & 0x3F));
  return c;
}

}  // namespace orvel

#endif  // ORVEL_JSON_STRING_SCAN_H_
