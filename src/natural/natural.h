// The natural order of object keys: digit runs compare by value, other bytes as unsigned.
#ifndef ORVEL_NATURAL_NATURAL_H_
#define ORVEL_NATURAL_NATURAL_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace orvel {

// Three-way order of two keys: digit runs by numeric value (a run sorts before any non-digit
// byte; leading zeros never break a tie), other bytes as unsigned. <0, 0, >0 like memcmp.
int natural_compare(std::string_view a, std::string_view b);

// The same, with the usual case inline: keys of one object mostly differ in a first byte that
// is not a digit, which then decides alone without a call.
inline int natural_compare_inline(std::string_view a, std::string_view b) {
  auto digit = [](char c) { return static_cast<unsigned>(static_cast<unsigned char>(c)) - '0' < 10u; };
  if (!a.empty() && !b.empty() && a[0] != b[0] && !digit(a[0]) && !digit(b[0])) {
    return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]) ? -1 : 1;
  }
  return natural_compare(a, b);
}

// A summary of the first bytes of `key` that keeps the natural order one way: when
// natural_prefix(a) < natural_prefix(b), natural_compare(a, b) < 0. Equal summaries decide
// nothing. A sort compares summaries, one instruction, and calls natural_compare only on a tie.
//
// The summary is the bytes before the first digit, at most eight, read as a big-endian number
// and padded with zero bytes. A digit and the end of the key both become a zero byte and stop
// the summary: each sorts before any other byte that could stand in its place, and whatever
// comes after them is left to the tie-break.
inline std::uint64_t natural_prefix(std::string_view key) {
  static_assert(std::endian::native == std::endian::little, "the loads below put byte 0 lowest");
  const char* p = key.data();
  std::size_t n = key.size();
  std::uint64_t word = 0;
  if (n >= 8) {
    std::memcpy(&word, p, 8);
  } else if (n >= 4) {
    // Two loads that overlap cover 4 to 7 bytes without reading past the key.
    std::uint32_t low;
    std::uint32_t high;
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + n - 4, 4);
    word = low | (static_cast<std::uint64_t>(high) << (8 * (n - 4)));
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      word |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    }
  }
  // The lowest digit byte. A borrow can only mark a byte above a true digit, so the lowest mark
  // is exact; bytes past the key are zero and never look like a digit.
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  std::uint64_t shifted = word ^ (kOnes * '0');
  std::uint64_t digits = (shifted - kOnes * 10) & ~shifted & (kOnes * 0x80);
  if (digits != 0) word &= (std::uint64_t{1} << (std::countr_zero(digits) & ~7)) - 1;
  return __builtin_bswap64(word);
}

}  // namespace orvel

#endif  // ORVEL_NATURAL_NATURAL_H_
