// Fuzz target: natural_compare on three keys must agree with a slow tokenising twin and be a
// strict weak ordering (antisymmetric, transitive, Equal an equivalence), whatever the bytes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_split.h"
#include "natural/natural.h"

namespace orvel {
namespace {

using fuzz::require;

int sign(int v) { return (v > 0) - (v < 0); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A key as the ordering sees it: each digit run one number token (its significant digits),
// every other byte one byte token.
struct Token {
  bool is_number;
  std::string_view digits;  // number: the run without leading zeros (empty for zero)
  unsigned char byte;       // byte token
};

std::vector<Token> tokenise(std::string_view key) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < key.size()) {
    if (!is_digit(key[i])) {
      tokens.push_back({false, {}, static_cast<unsigned char>(key[i])});
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < key.size() && is_digit(key[end])) ++end;
    std::size_t first = i;
    while (first < end && key[first] == '0') ++first;
    tokens.push_back({true, key.substr(first, end - first), 0});
    i = end;
  }
  return tokens;
}

int compare_tokens(const Token& x, const Token& y) {
  if (x.is_number != y.is_number) return x.is_number ? -1 : 1;
  if (!x.is_number) return x.byte < y.byte ? -1 : (x.byte > y.byte ? 1 : 0);
  if (x.digits.size() != y.digits.size()) return x.digits.size() < y.digits.size() ? -1 : 1;
  return sign(x.digits.compare(y.digits));
}

int reference_compare(std::string_view a, std::string_view b) {
  std::vector<Token> ta = tokenise(a);
  std::vector<Token> tb = tokenise(b);
  for (std::size_t i = 0; i < ta.size() && i < tb.size(); ++i) {
    int c = compare_tokens(ta[i], tb[i]);
    if (c != 0) return c;
  }
  return ta.size() < tb.size() ? -1 : (ta.size() > tb.size() ? 1 : 0);
}

void fuzz_one(const std::array<std::string_view, 3>& keys) {
  std::array<std::array<int, 3>, 3> order{};
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 3; ++j) {
      order[i][j] = sign(natural_compare(keys[i], keys[j]));
      require(order[i][j] == reference_compare(keys[i], keys[j]));
      // The sort trusts the 8-byte summary whenever two summaries differ.
      std::uint64_t pi = natural_prefix(keys[i]);
      std::uint64_t pj = natural_prefix(keys[j]);
      if (pi != pj) require(order[i][j] == (pi < pj ? -1 : 1));
    }
  }
  for (std::size_t i = 0; i < 3; ++i) {
    require(order[i][i] == 0);
    for (std::size_t j = 0; j < 3; ++j) require(order[i][j] == -order[j][i]);
  }
  // Every ordered triple: x <= y <= z gives x <= z, strictly if either step was strict.
  for (std::size_t x = 0; x < 3; ++x) {
    for (std::size_t y = 0; y < 3; ++y) {
      for (std::size_t z = 0; z < 3; ++z) {
        if (order[x][y] <= 0 && order[y][z] <= 0) {
          require(order[x][z] <= 0);
          if (order[x][y] < 0 || order[y][z] < 0) require(order[x][z] < 0);
        }
      }
    }
  }
}

}  // namespace
}  // namespace orvel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orvel::fuzz_one(orvel::fuzz::split_input<3>(data, size));
  return 0;
}
