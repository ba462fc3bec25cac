// Natural key order, working directly on the borrowed bytes of both keys.
#include "natural/natural.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orvel {

namespace {

bool is_digit(char c) { return static_cast<unsigned>(static_cast<unsigned char>(c)) - '0' < 10u; }

// Length of the common prefix of a and b, which both have at least `n` bytes. Keys in one object
// usually share long prefixes ("item_", "user.address."), so this runs a word at a time.
std::size_t common_prefix(const char* a, const char* b, std::size_t n) {
  std::size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    std::uint64_t wa;
    std::uint64_t wb;
    std::memcpy(&wa, a + k, 8);
    std::memcpy(&wb, b + k, 8);
    if (std::uint64_t diff = wa ^ wb; diff != 0) {
      // Little-endian, as natural.h asserts: the first differing byte is the lowest.
      return k + static_cast<std::size_t>(std::countr_zero(diff)) / 8;
    }
  }
  while (k < n && a[k] == b[k]) ++k;
  return k;
}

int sign(bool less) { return less ? -1 : 1; }

}  // namespace

int natural_compare(std::string_view a, std::string_view b) {
  // Its callers settle keys that differ in a first byte that is not a digit before calling:
  // natural_compare_inline by that byte, the sort by the keys' summaries.
  const char* pa = a.data();
  const char* pb = b.data();
  std::size_t na = a.size();
  std::size_t nb = b.size();
  std::size_t i = 0;  // position in a; always at a token boundary at the top of the loop
  std::size_t j = 0;  // position in b
  for (;;) {
    // Identical bytes hold identical tokens, except for a digit run that runs into the point
    // of difference: it may continue differently on each side, so back up to its start.
    std::size_t limit = na - i < nb - j ? na - i : nb - j;
    std::size_t k = common_prefix(pa + i, pb + j, limit);
    std::size_t s = k;
    while (s > 0 && is_digit(pa[i + s - 1])) --s;
    i += s;
    j += s;

    if (i == na) return j == nb ? 0 : -1;
    if (j == nb) return 1;
    char x = pa[i];
    char y = pb[j];
    bool dx = is_digit(x);
    bool dy = is_digit(y);
    if (dx != dy) return sign(dx);  // a number sorts before any other byte
    if (!dx) {
      // Bytes differ here: the prefix scan only stops short of a difference inside a digit run.
      return sign(static_cast<unsigned char>(x) < static_cast<unsigned char>(y));
    }

    // Both start a digit run. Leading zeros are skipped with the run and never decide.
    while (i < na && pa[i] == '0') ++i;
    while (j < nb && pb[j] == '0') ++j;
    std::size_t start_a = i;
    std::size_t start_b = j;
    while (i < na && is_digit(pa[i])) ++i;
    while (j < nb && is_digit(pb[j])) ++j;
    std::size_t len_a = i - start_a;
    std::size_t len_b = j - start_b;
    if (len_a != len_b) return sign(len_a < len_b);
    if (int c = std::memcmp(pa + start_a, pb + start_b, len_a); c != 0) return sign(c < 0);
  }
}

}  // namespace orvel
