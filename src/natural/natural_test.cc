// natural_compare against a slow tokenising twin, plus the order properties sorting relies on.
#include "natural/natural.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace orvel {
namespace {

int sign_of(int c) { return (c > 0) - (c < 0); }

bool digit(char c) { return c >= '0' && c <= '9'; }

// The obvious reading of the order: a key is a list of tokens, a digit run being one number
// token (kept as its significant digits) and every other byte one byte token.
struct Token {
  bool number;
  std::string text;  // significant digits, or the single byte
};

std::vector<Token> tokenise(const std::string& key) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < key.size()) {
    if (!digit(key[i])) {
      tokens.push_back({false, std::string(1, key[i])});
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < key.size() && digit(key[end])) ++end;
    std::size_t first = i;
    while (first < end && key[first] == '0') ++first;
    tokens.push_back({true, key.substr(first, end - first)});
    i = end;
  }
  return tokens;
}

int compare_tokens(const std::vector<Token>& ta, const std::vector<Token>& tb) {
  for (std::size_t i = 0; i < ta.size() && i < tb.size(); ++i) {
    const Token& x = ta[i];
    const Token& y = tb[i];
    if (x.number != y.number) return x.number ? -1 : 1;
    if (x.number && x.text.size() != y.text.size()) return x.text.size() < y.text.size() ? -1 : 1;
    // std::string compares as unsigned bytes, so this is byte order for both kinds.
    if (x.text != y.text) return x.text < y.text ? -1 : 1;
  }
  if (ta.size() == tb.size()) return 0;
  return ta.size() < tb.size() ? -1 : 1;
}

int reference_compare(const std::string& a, const std::string& b) {
  return compare_tokens(tokenise(a), tokenise(b));
}

// The key with every digit run cut down to its significant digits (one 0 for an all-zero run).
std::string without_leading_zeros(const std::string& key) {
  std::string out;
  std::size_t i = 0;
  while (i < key.size()) {
    if (!digit(key[i])) {
      out.push_back(key[i++]);
      continue;
    }
    std::size_t end = i;
    while (end < key.size() && digit(key[end])) ++end;
    while (i + 1 < end && key[i] == '0') ++i;
    out.append(key, i, end - i);
    i = end;
  }
  return out;
}

// Keys drawn to hit the rules: short alphabets so that equal prefixes, zero runs and ties are
// common; punctuation below '0'; both letter cases; multi-byte characters; a long shared prefix
// so that the word-at-a-time scan runs; runs longer than any machine integer.
std::string random_key(std::mt19937_64& rng) {
  static const std::vector<std::string> kPieces = {
      "0",  "00", "1",  "2",  "9",      "10",       "a",        "A",
      "b",  "z",  "-",  ".",  " ",      "\xc3\xa9", "\xd9\xa3", "\xe2\x82\xac",
      "x_", "",   "07", "99", "prefix_12345678_", "123456789012345678901234",
  };
  std::uniform_int_distribution<std::size_t> count(0, 6);
  std::uniform_int_distribution<std::size_t> pick(0, kPieces.size() - 1);
  std::string key;
  for (std::size_t n = count(rng); n > 0; --n) key += kPieces[pick(rng)];
  return key;
}

std::vector<std::string> all_keys_up_to(std::size_t length, const std::vector<std::string>& alphabet) {
  std::vector<std::string> keys = {""};
  std::size_t from = 0;
  for (std::size_t len = 1; len <= length; ++len) {
    std::size_t to = keys.size();
    for (std::size_t i = from; i < to; ++i) {
      for (const std::string& c : alphabet) keys.push_back(keys[i] + c);
    }
    from = to;
  }
  return keys;
}

TEST(NaturalCompare, OrdersTheTableCases) {
  struct Case {
    std::string a;
    std::string b;
    int expected;
  };
  const Case cases[] = {
      {"", "", 0},
      {"", "a", -1},
      {"a", "ab", -1},
      {"0", "", 1},
      {"B", "a", -1},
      {"a2", "a10", -1},
      {"a10", "a9", 1},
      {"9", "10", -1},
      {"007", "7", 0},
      {"a01", "a1", 0},
      {"0", "00", 0},
      {"x0", "x", 1},
      {"007a", "7b", -1},
      {"a007b", "a7a", 1},
      {"1", "a", -1},
      {"a1", "a!", -1},
      {"a-1", "a1", 1},
      {"a_b", "a1", 1},
      {"a0b", "ab", -1},
      {"file1.txt", "file01.txt", 0},
      {"1.10", "1.9", 1},
      {"1.2.3", "1.2.10", -1},
      {"k2", "k2x", -1},
      {"\xc3\xa9", "z", 1},
      // A number sorts before every byte below '0', not only letters.
      {"a1", "a ", -1},
      {"a1", "a/", -1},
      {"a1", "a.", -1},
      {"a1", std::string("a\0", 2), -1},
      // Leading zeros never break a tie, even when the rest decides the other way.
      {"a00", "a0", 0},
      {"a001z", "a1a", 1},
      {"a0", "a00x", -1},
      // Runs longer than 64-bit integers.
      {"1234567890123456789012340", "1234567890123456789012349", -1},
      {"100000000000000000000", "99999999999999999999", 1},
      {"k000000000000000000000000000001", "k1", 0},
      // Differences found past a word-sized shared prefix, inside and after a digit run.
      {"item_0000000123", "item_000000099", 1},
      {"abcdefgh12", "abcdefgh9", 1},
      {"abcdefg1234567890", "abcdefg1234567891x", -1},
      {"x12345678a", "x12345678b", -1},
      {"prefix_long_12", "prefix_long_123", -1},
      {"same_bytes_for_sixteen", "same_bytes_for_sixteen", 0},
      // Other scripts' digits are plain bytes; non-ASCII sorts by code point.
      {"\xd9\xa3", "3", 1},
      {"\xd9\xa3", "\xd9\xa4", -1},
      {"\xc3\xa9", "\xe2\x82\xac", -1},
      {"\x7f", "\xc2\x80", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.a + " vs " + c.b);
    EXPECT_EQ(sign_of(natural_compare(c.a, c.b)), c.expected);
    EXPECT_EQ(sign_of(natural_compare(c.b, c.a)), -c.expected);
  }
}

TEST(NaturalCompare, MatchesTheTokenisingReferenceOnAllShortKeys) {
  std::vector<std::string> keys = all_keys_up_to(4, {"0", "1", "9", "a", "-", "."});
  ASSERT_EQ(keys.size(), 1555u);
  std::vector<std::vector<Token>> tokens;
  for (const std::string& k : keys) tokens.push_back(tokenise(k));
  std::size_t mismatches = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    for (std::size_t j = 0; j < keys.size(); ++j) {
      int expected = compare_tokens(tokens[i], tokens[j]);
      if (sign_of(natural_compare(keys[i], keys[j])) != expected && ++mismatches <= 10) {
        ADD_FAILURE() << "'" << keys[i] << "' vs '" << keys[j] << "': reference " << expected;
      }
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST(NaturalCompare, MatchesTheTokenisingReferenceOnRandomKeys) {
  std::mt19937_64 rng(20261208);
  for (int n = 0; n < 50000; ++n) {
    std::string a = random_key(rng);
    // Half the pairs share a stem, so long common prefixes are common.
    std::string b = n % 2 == 0 ? random_key(rng) : a.substr(0, a.size() / 2) + random_key(rng);
    int expected = reference_compare(a, b);
    if (sign_of(natural_compare(a, b)) != expected) {
      FAIL() << "'" << a << "' vs '" << b << "': reference " << expected;
    }
  }
}

TEST(NaturalCompare, IsAStrictWeakOrderWhoseTiesAreLeadingZeros) {
  std::mt19937_64 rng(7);
  std::vector<std::string> keys;
  for (int n = 0; n < 150; ++n) keys.push_back(random_key(rng));
  // Keys that differ only in leading zeros, so that Equal pairs are plentiful.
  for (const char* k : {"a1", "a01", "a001", "0", "00", "", "x0y", "x00y", "x0", "1-0", "01-00"}) {
    keys.push_back(k);
  }
  const std::size_t n = keys.size();
  std::vector<int> cmp(n * n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) cmp[i * n + j] = sign_of(natural_compare(keys[i], keys[j]));
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      SCOPED_TRACE("'" + keys[i] + "' vs '" + keys[j] + "'");
      ASSERT_EQ(cmp[i * n + j], -cmp[j * n + i]);
      ASSERT_EQ(cmp[i * n + j] == 0, without_leading_zeros(keys[i]) == without_leading_zeros(keys[j]));
      for (std::size_t k = 0; k < n; ++k) {
        // Less is transitive, and so is Equal.
        if (cmp[i * n + j] < 0 && cmp[j * n + k] < 0) {
          ASSERT_LT(cmp[i * n + k], 0) << keys[k];
        }
        if (cmp[i * n + j] == 0 && cmp[j * n + k] == 0) {
          ASSERT_EQ(cmp[i * n + k], 0) << keys[k];
        }
      }
    }
  }
}


// The summary may leave a pair undecided but must never contradict the full comparison. Short
// keys over an alphabet with a NUL byte, 0xFF and the bytes just below and above the digits
// reach every branch of the summary: each length from 0 to 8, a digit at each place, padding.
TEST(NaturalPrefix, NeverContradictsTheFullComparison) {
  std::vector<std::string> keys = all_keys_up_to(3, {std::string(1, '\0'), "/", "0", "7", ":", "\xff"});
  for (const char* k : {"abcdefgh", "abcdefghi", "abcdefg0", "abcdefg", "abcd", "abcd1", "abc1",
                        "a\xff\xff\xff\xff\xff\xff\xff", "a9", "a10", "a-", "a.b", "a b"}) {
    keys.push_back(k);
  }
  std::size_t mismatches = 0;
  for (const std::string& a : keys) {
    for (const std::string& b : keys) {
      std::uint64_t pa = natural_prefix(a);
      std::uint64_t pb = natural_prefix(b);
      int full = sign_of(natural_compare(a, b));
      if (((pa < pb && full >= 0) || (pa > pb && full <= 0)) && ++mismatches <= 10) {
        ADD_FAILURE() << "'" << a << "' vs '" << b << "': summaries " << pa << ", " << pb;
      }
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

// A summary that decided nothing would pass the test above; these pairs it must settle.
TEST(NaturalPrefix, DecidesKeysThatDifferBeforeTheirFirstDigit) {
  const std::pair<std::string, std::string> kLess[] = {
      {"a", "b"},         {"", "a"},          {"a", "ab"},        {"a1", "a-"},
      {"B", "a"},         {"abcdefg", "abcdefgh"}, {"item_b", "item_c"}, {"x9", "x\x01"},
      {"\xc3\xa9", "\xc3\xaa"}, {"abcd", "abce"},
  };
  for (const auto& [a, b] : kLess) {
    EXPECT_LT(natural_prefix(a), natural_prefix(b)) << "'" << a << "' vs '" << b << "'";
  }
}

}  // namespace
}  // namespace orvel
