// The bytes that end a plain run of string text, found sixteen at a time: the reader stops at
// them to decode or to fail, the writer to escape. Both kernels are always compiled where they
// can be, so that each is tested on every machine that can run it.
#ifndef ORVEL_JSON_STRING_SCAN_H_
#define ORVEL_JSON_STRING_SCAN_H_

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

}  // namespace orvel

#endif  // ORVEL_JSON_STRING_SCAN_H_
