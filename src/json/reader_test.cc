// Tests of the strict reader: error kinds and positions, number and string decoding, nesting.
#include "json/reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "base/memory_meter.h"
#include "json/string_scan.h"

namespace orvel {
namespace {

struct ErrorCase {
  std::string input;
  DecodeErrorKind kind;
  std::uint64_t line;
  std::uint64_t column;
};

std::string nested(std::string_view unit, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += unit;
  return out;
}

// Reads `input` expecting failure; returns the error or reports the unexpected success.
std::optional<DecodeError> read_error(std::string_view input) {
  Arena arena;
  auto result = read_document(input, arena);
  if (result.ok()) return std::nullopt;
  return result.error();
}

void expect_errors(const std::vector<ErrorCase>& cases) {
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.input));
    std::optional<DecodeError> error = read_error(c.input);
    ASSERT_TRUE(error.has_value()) << "read without error";
    EXPECT_EQ(error->kind, c.kind);
    EXPECT_EQ(error->line, c.line);
    EXPECT_EQ(error->column, c.column);
  }
}

TEST(ReadDocument, ErrorsNameKindLineAndColumn) {
  using K = DecodeErrorKind;
  const std::vector<ErrorCase> cases = {
      // End of input, wherever it can come.
      {"", K::EndInValue, 1, 0},
      {"\n", K::EndInValue, 2, 0},
      {"  \t", K::EndInValue, 1, 3},
      {"[", K::EndInArray, 1, 1},
      {"[1", K::EndInArray, 1, 2},
      {"[1\n", K::EndInArray, 2, 0},
      {"[1,", K::EndInValue, 1, 3},
      {"{", K::EndInObject, 1, 1},
      {"{\"a\"", K::EndInObject, 1, 4},
      {"{\"a\":", K::EndInValue, 1, 5},
      {"{\"a\":1", K::EndInObject, 1, 6},
      {"{\"a\":1,", K::EndInValue, 1, 7},
      {"\"abc", K::EndInString, 1, 4},
      {"\"\\", K::EndInString, 1, 2},
      {"\"\\u12\"", K::EndInString, 1, 6},  // fewer than four bytes after `u`
      {"\"\\uD800", K::EndInString, 1, 7},
      {"\"\\uD800\\", K::EndInString, 1, 8},
      {"\"\\uD800\\u00", K::EndInString, 1, 11},
      {"nul", K::EndInValue, 1, 3},
      {"-", K::EndInValue, 1, 1},
      {"1.", K::EndInValue, 1, 2},
      {"1e", K::EndInValue, 1, 2},
      {"1E+", K::EndInValue, 1, 3},
      // Structure.
      {"[1,]", K::CommaBeforeClose, 1, 4},
      {"{\"a\":1,}", K::CommaBeforeClose, 1, 8},
      {"[1 2]", K::NoArrayDelimiter, 1, 4},
      {"[truex]", K::NoArrayDelimiter, 1, 6},
      {"[1,,2]", K::NoValue, 1, 4},
      {"{\"a\" 1}", K::NoColon, 1, 6},
      {"{1:2}", K::KeyNotString, 1, 2},
      {"{\"a\":1,2:3}", K::KeyNotString, 1, 8},
      {"{\"a\":1 \"b\":2}", K::NoObjectDelimiter, 1, 8},
      {"{} x", K::ContentAfterValue, 1, 4},
      {"nullx", K::ContentAfterValue, 1, 5},
      {"1.5.3", K::ContentAfterValue, 1, 4},
      {"[1]\n\nx", K::ContentAfterValue, 3, 1},
      {"1\f", K::ContentAfterValue, 1, 2},  // form feed is not whitespace
      // Values.
      {"nulx", K::BadLiteral, 1, 4},
      {"falsE", K::BadLiteral, 1, 5},
      {"\xEF\xBB\xBF{}", K::NoValue, 1, 1},  // a byte-order mark starts no value
      {"\xC2\xA0" "1", K::NoValue, 1, 1},    // nor does a no-break space
      {"+1", K::NoValue, 1, 1},
      {".5", K::NoValue, 1, 1},
      {"01", K::BadNumber, 1, 2},
      {"-01", K::BadNumber, 1, 3},
      {"-a", K::BadNumber, 1, 2},
      {"1.x", K::BadNumber, 1, 3},
      {"1ex", K::BadNumber, 1, 3},
      {"1e-+2", K::BadNumber, 1, 4},
      // Strings: escapes and surrogates.
      {"\"\\q\"", K::BadEscape, 1, 3},
      {"\"\\u12G4\"", K::BadEscape, 1, 7},  // placed at the fourth byte after `u`
      {"\"\\uDC00\"", K::UnpairedSurrogate, 1, 7},
      {"\"\\uD800\\u0041\"", K::UnpairedSurrogate, 1, 13},
      {"\"\\uD800\\uD800\"", K::UnpairedSurrogate, 1, 13},
      {"\"\\uD800x\"", K::SurrogateNotFollowed, 1, 8},
      {"\"\\uD800\\x\"", K::SurrogateNotFollowed, 1, 9},
      {"\"\\uD800\\u", K::EndInString, 1, 9},
      // Strings: raw control bytes and text.
      {"\"a\nb\"", K::RawControl, 2, 0},
      {"\"a\tb\"", K::RawControl, 1, 3},
      {std::string("\"a\0\"", 4), K::RawControl, 1, 3},
      {"\"\xFF\"", K::BadText, 1, 3},
      {"\"\\n\xC3\"", K::BadText, 1, 5},
      // Invalid text is judged only at the closing quote, so errors before it come first.
      {"\"\xFF\x01\"", K::RawControl, 1, 3},
      {"\"\xFF", K::EndInString, 1, 2},
      {"\"\xFF\\q\"", K::BadEscape, 1, 4},
      // Positions after CR LF, tabs and multi-byte characters; columns count bytes.
      {"{\r\n  \"a\" 1}", K::NoColon, 2, 7},
      {"[1,\r\n2,\r\n]", K::CommaBeforeClose, 3, 1},
      {"\t\tx", K::NoValue, 1, 3},
      {"[\"\xC3\xA9\" x]", K::NoArrayDelimiter, 1, 7},
      {"[\n\"\xE2\x82\xAC\" x", K::NoArrayDelimiter, 2, 7},
      // Nesting: the 128th open bracket fails, at that bracket.
      {nested("[", 128), K::TooDeep, 1, 128},
      {nested("{\"a\":", 127) + "[", K::TooDeep, 1, 127 * 5 + 1},
      {nested("[", 127) + nested("]", 127) + "]", K::ContentAfterValue, 1, 255},
  };
  expect_errors(cases);

  // Every kind is caught at least once above.
  std::set<DecodeErrorKind> seen;
  for (const ErrorCase& c : cases) seen.insert(c.kind);
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(DecodeErrorKind::TooDeep) + 1);
}

TEST(ReadDocument, LiteralsFailAtTheFirstWrongLetterOrAtTheEnd) {
  // Every cut and every wrong letter after the first, inside an array so that the word is
  // followed by more input whatever its length.
  std::vector<ErrorCase> cases;
  for (std::string word : {"null", "true", "false"}) {
    for (std::size_t length = 1; length < word.size(); ++length) {
      cases.push_back({word.substr(0, length), DecodeErrorKind::EndInValue, 1, length});
    }
    for (std::size_t at = 1; at < word.size(); ++at) {
      std::string wrong = word;
      wrong[at] = 'x';
      cases.push_back({"[" + wrong + "]", DecodeErrorKind::BadLiteral, 1, at + 2});
    }
  }
  expect_errors(cases);
}

TEST(ReadDocument, ErrorTextIsMessageLineAndColumn) {
  // Each kind's message once; the tests above compare kinds.
  using K = DecodeErrorKind;
  const std::pair<DecodeErrorKind, std::string_view> messages[] = {
      {K::EndInArray, "EOF while parsing a list"},
      {K::EndInObject, "EOF while parsing an object"},
      {K::EndInString, "EOF while parsing a string"},
      {K::EndInValue, "EOF while parsing a value"},
      {K::NoColon, "expected `:`"},
      {K::NoArrayDelimiter, "expected `,` or `]`"},
      {K::NoObjectDelimiter, "expected `,` or `}`"},
      {K::BadLiteral, "expected ident"},
      {K::NoValue, "expected value"},
      {K::BadEscape, "invalid escape"},
      {K::BadNumber, "invalid number"},
      {K::BadText, "invalid unicode code point"},
      {K::RawControl, "control character (\\u0000-\\u001F) found while parsing a string"},
      {K::KeyNotString, "key must be a string"},
      {K::UnpairedSurrogate, "lone leading surrogate in hex escape"},
      {K::CommaBeforeClose, "trailing comma"},
      {K::ContentAfterValue, "trailing characters"},
      {K::SurrogateNotFollowed, "unexpected end of hex escape"},
      {K::TooDeep, "recursion limit exceeded"},
  };
  static_assert(std::size(messages) == static_cast<std::size_t>(K::TooDeep) + 1);
  for (const auto& [kind, text] : messages) EXPECT_EQ(decode_error_message(kind), text);

  std::optional<DecodeError> colon = read_error("{\"a\" 1}");
  ASSERT_TRUE(colon.has_value());
  EXPECT_EQ(to_string(*colon), "expected `:` at line 1 column 6");

  std::optional<DecodeError> control = read_error("[\n\n\"a\tb\"]");
  ASSERT_TRUE(control.has_value());
  EXPECT_EQ(to_string(*control),
            "control character (\\u0000-\\u001F) found while parsing a string at line 3 column 3");

  EXPECT_EQ(to_string(DecodeError{DecodeErrorKind::NoValue, 3, 7}), "expected value at line 3 column 7");
  EXPECT_EQ(to_string(DecodeError{DecodeErrorKind::TooDeep, 1, 1280}),
            "recursion limit exceeded at line 1 column 1280");
}

TEST(ReadDocument, ReadsUpToTheNestingLimitAndGivesTheBudgetBack) {
  const std::vector<std::string> inputs = {
      nested("[", 127) + nested("]", 127),
      nested("{\"k\":", 126) + "[]" + nested("}", 126),
      // Many siblings at the deepest level, and deep containers one after another.
      nested("[", 126) + "[],{},[" + nested("1,", 1000) + "1]" + nested("]", 126),
      "[" + nested(nested("[", 126) + nested("]", 126) + ",", 50) + "0]",
  };
  for (const std::string& input : inputs) {
    SCOPED_TRACE(input.substr(0, 40));
    Arena arena;
    EXPECT_TRUE(read_document(input, arena).ok());
  }
}

TEST(ReadDocument, VeryDeepInputFailsAtTheLimitWithoutDeepRecursion) {
  // 100,000 levels would overflow a stack if the reader went on recursing.
  const std::vector<ErrorCase> cases = {
      {nested("[", 100000), DecodeErrorKind::TooDeep, 1, 128},
      {nested("{\"a\":", 100000), DecodeErrorKind::TooDeep, 1, 127 * 5 + 1},
      {nested("[{\"a\":", 100000), DecodeErrorKind::TooDeep, 1, 63 * 6 + 2},
  };
  expect_errors(cases);
}

TEST(ReadDocument, NumbersKeepTheirTextWithExponentAndNegativeZeroNormalised) {
  struct Case {
    std::string_view input;
    std::string_view text;
  };
  const Case cases[] = {
      {"1E5", "1e+5"},
      {"1e5", "1e+5"},
      {"2.5E-3", "2.5e-3"},
      {"1E-7", "1e-7"},
      {"1e+07", "1e+07"},
      {"0e0", "0e+0"},
      {"-0E0", "-0e+0"},
      {"-0e-0", "-0e-0"},
      {"-0", "0"},
      {"-0.0", "-0.0"},
      {"0", "0"},
      {"-1", "-1"},
      {"1.50", "1.50"},
      {"18446744073709551615", "18446744073709551615"},
      {"18446744073709551616", "18446744073709551616"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"-9223372036854775809", "-9223372036854775809"},
      {"12345678901234567890123", "12345678901234567890123"},
      {" \r\n\t-12.5e10 \n", "-12.5e+10"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    Arena arena;
    auto result = read_document(c.input, arena);
    ASSERT_TRUE(result.ok()) << to_string(result.error());
    ASSERT_EQ(result.value().kind(), JsonKind::Number);
    EXPECT_EQ(result.value().as_number().text, c.text);
  }

  // The end of a number is found the same way inside containers.
  Arena arena;
  auto result = read_document("[1E5,-0,2e-1]", arena);
  ASSERT_TRUE(result.ok());
  auto items = result.value().as_array();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].as_number().text, "1e+5");
  EXPECT_EQ(items[1].as_number().text, "0");
  EXPECT_EQ(items[2].as_number().text, "2e-1");
}

// Digit runs are skipped a word at a time: every run length, at every offset within a word,
// followed by every kind of byte that can end a number, must end exactly where it should. The
// bytes just above '9' and the high bytes are the ones a carry in the word trick could mistake.
TEST(ReadDocument, DigitRunsEndAtTheFirstNonDigitWhateverTheirLengthAndOffset) {
  const std::string enders[] = {"]", ",", " ", ":", "/", "A", "\xff", "e"};
  for (std::size_t pad = 0; pad < 8; ++pad) {
    for (std::size_t length = 1; length <= 24; ++length) {
      for (const std::string& ender : enders) {
        std::string digits = "1" + std::string(length - 1, '7');
        std::string input = std::string(pad, ' ') + "[" + digits + "." + digits + ender;
        SCOPED_TRACE(input);
        Arena arena;
        auto result = read_document(input, arena);
        if (ender == "]") {
          ASSERT_TRUE(result.ok()) << to_string(result.error());
          EXPECT_EQ(result.value().as_array()[0].as_number().text, digits + "." + digits);
          continue;
        }
        ASSERT_FALSE(result.ok());
        // Bytes before the ender: the number ran exactly to it.
        std::size_t number_end = pad + 1 + 2 * digits.size() + 1;
        if (ender == ",") {
          EXPECT_EQ(result.error().kind, DecodeErrorKind::EndInValue);
        } else if (ender == " ") {
          EXPECT_EQ(result.error().kind, DecodeErrorKind::EndInArray);
        } else if (ender == "e") {
          EXPECT_EQ(result.error().kind, DecodeErrorKind::EndInValue);
        } else {
          EXPECT_EQ(result.error().kind, DecodeErrorKind::NoArrayDelimiter);
          EXPECT_EQ(result.error().column, number_end + 1);
        }
      }
    }
  }
}

// Runs of spaces are skipped a word at a time: whatever their length, and whatever breaks them
// (a tab, a carriage return, the input's end), the next token is found at the right byte.
TEST(ReadDocument, DigitRunsEndAtTheFirstNonDigitWithMoreInputAfterIt) {
  // Long inputs, so that the blocks of sixteen meet the end of the run at each offset and the
  // words and single bytes meet it near the end of the input. Enders next to the digits in
  // value, and with the high bit set over a digit's low bits.
  const std::string enders[] = {"/", ":", "\x10", "\xB0", "\xB9", "\xFF", " "};
  for (std::size_t length = 1; length <= 40; ++length) {
    for (std::size_t after = 0; after <= 20; ++after) {
      for (const std::string& ender : enders) {
        std::string digits = "1" + std::string(length - 1, '7');
        std::string input = "[" + digits + ender + std::string(after, ' ');
        SCOPED_TRACE(testing::PrintToString(input));
        std::optional<DecodeError> error = read_error(input);
        ASSERT_TRUE(error.has_value());
        if (ender == " ") {
          EXPECT_EQ(error->kind, DecodeErrorKind::EndInArray);
        } else {
          EXPECT_EQ(error->kind, DecodeErrorKind::NoArrayDelimiter);
          EXPECT_EQ(error->column, length + 2);
        }
      }
    }
  }
}

TEST(ReadDocument, WhitespaceRunsOfAnyLengthEndAtTheNextToken) {
  for (std::size_t spaces = 0; spaces <= 20; ++spaces) {
    for (std::string_view tail : {"x", "\tx", " \r x", ""}) {
      std::string input = "[\n" + std::string(spaces, ' ') + std::string(tail);
      SCOPED_TRACE(::testing::PrintToString(input));
      Arena arena;
      auto result = read_document(input, arena);
      ASSERT_FALSE(result.ok());
      if (tail.empty()) {
        EXPECT_EQ(result.error().kind, DecodeErrorKind::EndInArray);
        EXPECT_EQ(result.error().column, spaces);
      } else {
        EXPECT_EQ(result.error().kind, DecodeErrorKind::NoValue);
        EXPECT_EQ(result.error().column, spaces + tail.size());
      }
      EXPECT_EQ(result.error().line, 2u);
    }
  }
}

struct StringCase {
  std::string input;
  std::string decoded;
};

TEST(ReadDocument, StringsDecodeEscapesAndKeepRawText) {
  const std::vector<StringCase> cases = {
      {"\"\"", ""},
      {"\"abc\"", "abc"},
      {"\"\\/\"", "/"},
      {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\/\b\f\n\r\t"},
      {"\"\\u00e9\"", "\xC3\xA9"},
      {"\"\\u00E9\"", "\xC3\xA9"},
      {"\"\\u0041\\u007f\"", "A\x7F"},
      {"\"\\u0800\\u20AC\\uFFFF\"", "\xE0\xA0\x80\xE2\x82\xAC\xEF\xBF\xBF"},
      {"\"\\ud83d\\ude00\"", "\xF0\x9F\x98\x80"},
      {"\"\\uD800\\uDC00\\uDBFF\\uDFFF\"", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
      {"\"\\u0000\"", std::string(1, '\0')},
      {"\"a\\u0000b\"", std::string("a\0b", 3)},
      {"\"\x7F\"", "\x7F"},
      {"\"\xC3\xA9\\n\xE2\x82\xAC\"", "\xC3\xA9\n\xE2\x82\xAC"},
      {"\"long plain run before an escape\\tand after it\"",
       "long plain run before an escape\tand after it"},
      // Boundaries of valid UTF-8, written raw.
      {"\"\xC2\x80\xDF\xBF\"", "\xC2\x80\xDF\xBF"},
      {"\"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\"", "\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80"},
      {"\"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\"", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
      // A run of three-byte sequences, each lead with its own bounds.
      {"\"\xE3\x81\x82\xE1\x80\x80\xEC\xBF\xBF\xED\x9F\xBF\xEF\xBF\xBF\xE0\xA0\x80\"",
       "\xE3\x81\x82\xE1\x80\x80\xEC\xBF\xBF\xED\x9F\xBF\xEF\xBF\xBF\xE0\xA0\x80"},
  };
  for (const StringCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.input));
    Arena arena;
    auto result = read_document(c.input, arena);
    ASSERT_TRUE(result.ok()) << to_string(result.error());
    ASSERT_EQ(result.value().kind(), JsonKind::String);
    EXPECT_EQ(result.value().as_string(), c.decoded);
  }
}

TEST(ReadDocument, InvalidUtf8InAStringIsBadTextAtTheClosingQuote) {
  const std::vector<std::string> contents = {
      "\x80",                      // lone continuation byte
      "abc\xBF",                   // ... after ASCII
      "\xC3",                      // truncated two-byte sequence
      "\xC3" "a",                  // ... followed by ASCII
      "\xE2\x82",                  // truncated three-byte sequence
      "\xF0\x9F\x98",              // truncated four-byte sequence
      "\xC0\xAF",                  // overlong two-byte
      "\xC1\xBF",                  // overlong two-byte
      "\xE0\x80\xAF",              // overlong three-byte
      "\xE0\x9F\xBF",              // overlong three-byte
      "\xF0\x80\x80\xAF",          // overlong four-byte
      "\xF0\x8F\xBF\xBF",          // overlong four-byte
      "\xED\xA0\x80",              // encoded leading surrogate
      "\xED\xBF\xBF",              // encoded trailing surrogate
      "\xF4\x90\x80\x80",          // above U+10FFFF
      "\xF5\x80\x80\x80",          // above U+10FFFF
      "\xFF",                      // never valid
      "\xFE",                      // never valid
      "\\n\x80",                   // after an escape
      "\xC3\\n\xA9",               // a sequence cut by an escape
      "abcdefghijklmnop\xFF",      // after two plain words
      "\xFF" "abcdefghijklmnop",   // before them
      "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3",  // truncated at the end of a word
      // ... and within a run of three-byte sequences
      "\xE3\x81\x82\xE3\x81\x82\xED\xA0\x80",  // a surrogate
      "\xE3\x81\x82\xE3\x81\x82\xE0\x80\xAF",  // an overlong form
      "\xE3\x81\x82\xE3\x81\x82\xE3\x81",      // truncated
      "\xE3\x81\x82\xE3\x81\x41",              // a third byte that is not a continuation
      "\xE3\x81\x82\xE3\xC3\x81",              // nor a second
      "\xE3\x81\x82\xE3\x81\x82\x80",          // a stray continuation byte
  };
  for (const std::string& content : contents) {
    SCOPED_TRACE(testing::PrintToString(content));
    std::optional<DecodeError> error = read_error("\"" + content + "\"");
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind, DecodeErrorKind::BadText);
    EXPECT_EQ(error->line, 1u);
    EXPECT_EQ(error->column, content.size() + 2);
  }
}

TEST(ReadDocument, PlainStringsAreViewsIntoTheInput) {
  const std::string input = "[\"plain\",\"esc\\n\"]";
  Arena arena;
  auto result = read_document(input, arena);
  ASSERT_TRUE(result.ok());
  auto items = result.value().as_array();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].as_string().data(), input.data() + 2);
  EXPECT_EQ(items[1].as_string(), "esc\n");
}

TEST(ReadDocument, DuplicateKeysKeepTheFirstPlaceAndTheLastValue) {
  struct Case {
    std::string input;
    std::vector<std::pair<std::string, std::string>> entries;  // key, number text
  };
  std::string many = "{";
  std::vector<std::pair<std::string, std::string>> many_entries;
  for (int i = 0; i < 40; ++i) {
    many += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    many_entries.emplace_back("k" + std::to_string(i), std::to_string(i == 17 ? 100 : i));
  }
  many += "\"k17\":100}";
  const std::vector<Case> cases = {
      {"{\"a\":1,\"b\":2,\"a\":3}", {{"a", "3"}, {"b", "2"}}},
      {"{\"a\":1,\"\\u0061\":2}", {{"a", "2"}}},
      {"{\"b\":1,\"a\":2,\"b\":3,\"a\":4,\"b\":5}", {{"b", "5"}, {"a", "4"}}},
      {many, many_entries},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    Arena arena;
    auto result = read_document(c.input, arena);
    ASSERT_TRUE(result.ok()) << to_string(result.error());
    auto entries = result.value().as_object();
    ASSERT_EQ(entries.size(), c.entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(entries[i].key(), c.entries[i].first);
      EXPECT_EQ(entries[i].value().as_number().text, c.entries[i].second);
    }
  }
}

TEST(ReadDocument, OneRepeatedKeyAtAnyPlaceKeepsTheFirstPlaceAndTheLastValue) {
  // Keys that agree in length and in their first and last bytes, so that all of them share a
  // bit of the reader's filter and must be told apart by a full compare; the empty key too.
  // Sizes reach past the reader's frame buffer, and the repeat of each key goes to every later
  // place, written with an escape at every other place.
  auto key = [](std::size_t i) {
    if (i == 0) return std::string();
    std::string k = "pA-zA";
    k[1] = static_cast<char>('a' + i % 26);
    k[3] = static_cast<char>('a' + i / 26);
    return k;
  };
  for (std::size_t distinct = 0; distinct <= 40; ++distinct) {
    for (std::size_t repeated = 0; repeated <= distinct; ++repeated) {
      // repeated == distinct stands for no repeat at all, tried once.
      for (std::size_t at = std::min(repeated + 1, distinct); at <= distinct; ++at) {
        std::vector<std::string> keys;
        for (std::size_t i = 0; i < distinct; ++i) keys.push_back(key(i));
        if (repeated < distinct) {
          keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(at), key(repeated));
        }
        std::string input = "{";
        std::vector<std::string> expected_keys;
        std::vector<std::string> expected_values;
        for (std::size_t i = 0; i < keys.size(); ++i) {
          bool escape = repeated < distinct && i == at && at % 2 == 1 && !keys[i].empty();
          input += escape ? "\"\\u0070" + keys[i].substr(1) + "\"" : "\"" + keys[i] + "\"";
          input += ":" + std::to_string(i) + (i + 1 < keys.size() ? "," : "}");
          auto first = std::find(keys.begin(), keys.end(), keys[i]) - keys.begin();
          if (static_cast<std::size_t>(first) == i) {
            expected_keys.push_back(keys[i]);
            expected_values.push_back(std::to_string(i));
          } else {
            expected_values[static_cast<std::size_t>(first)] = std::to_string(i);
          }
        }
        if (keys.empty()) input += "}";
        SCOPED_TRACE(input);
        Arena arena;
        auto result = read_document(input, arena);
        ASSERT_TRUE(result.ok()) << to_string(result.error());
        auto entries = result.value().as_object();
        ASSERT_EQ(entries.size(), expected_keys.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
          ASSERT_EQ(entries[i].key(), expected_keys[i]);
          ASSERT_EQ(entries[i].value().as_number().text, expected_values[i]);
        }
      }
    }
  }
}

TEST(ReadDocument, NestedContainersKeepTheirOrder) {
  Arena arena;
  auto result = read_document(" {\"z\": [1, [], {}, \"s\", true, false, null], \"a\": {\"x\": []}} ", arena);
  ASSERT_TRUE(result.ok()) << to_string(result.error());
  auto root = result.value().as_object();
  ASSERT_EQ(root.size(), 2u);
  EXPECT_EQ(root[0].key(), "z");
  EXPECT_EQ(root[1].key(), "a");
  auto items = root[0].value().as_array();
  ASSERT_EQ(items.size(), 7u);
  const JsonKind kinds[] = {JsonKind::Number, JsonKind::Array, JsonKind::Object, JsonKind::String,
                            JsonKind::Bool,   JsonKind::Bool,  JsonKind::Null};
  for (std::size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i].kind(), kinds[i]) << i;
  EXPECT_TRUE(items[4].as_bool());
  EXPECT_FALSE(items[5].as_bool());
  EXPECT_TRUE(items[1].as_array().empty());
  EXPECT_TRUE(items[2].as_object().empty());
  auto inner = root[1].value().as_object();
  ASSERT_EQ(inner.size(), 1u);
  EXPECT_EQ(inner[0].key(), "x");
}

// The text of a value read from text without whitespace, escapes or repeated keys: the same
// text again.
std::string compact(const JsonValue& value) {
  std::string out;
  switch (value.kind()) {
    case JsonKind::Null: return "null";
    case JsonKind::Bool: return value.as_bool() ? "true" : "false";
    case JsonKind::Number: return std::string(value.as_number().text);
    case JsonKind::Text: return std::string(value.as_text());
    case JsonKind::String:
      out += '"';
      out += value.as_string();
      out += '"';
      return out;
    case JsonKind::Array:
      for (const JsonValue& item : value.as_array()) {
        out += out.empty() ? '[' : ',';
        out += compact(item);
      }
      return out.empty() ? "[]" : out + "]";
    case JsonKind::Object:
      for (const ObjectEntry& entry : value.as_object()) {
        out += out.empty() ? '{' : ',';
        out += '"';
        out += entry.key();
        out += "\":";
        out += compact(entry.value());
      }
      return out.empty() ? "{}" : out + "}";
  }
  return out;
}

// An array or object of `size` numbered items, the middle one `inner` unless that is empty.
std::string container(bool object, std::size_t size, const std::string& inner) {
  std::string out(1, object ? '{' : '[');
  for (std::size_t i = 0; i < size; ++i) {
    if (i > 0) out += ',';
    if (object) {
      out += "\"k";
      out += std::to_string(i);
      out += "\":";
    }
    out += i == size / 2 && !inner.empty() ? inner : std::to_string(i);
  }
  out += object ? '}' : ']';
  return out;
}

TEST(ReadDocument, ContainersOfAnySizeNestedInEachOtherKeepEveryItemInOrder) {
  // A container's first items are gathered apart from the rest; sizes on both sides of where
  // that ends, for arrays and objects, three levels deep with the inner ones read in between.
  const std::size_t sizes[] = {0, 1, 7, 8, 9, 31, 32, 33, 40};
  for (bool outer_object : {false, true}) {
    for (std::size_t outer : sizes) {
      for (bool middle_object : {false, true}) {
        for (std::size_t middle : sizes) {
          for (bool inner_object : {false, true}) {
            for (std::size_t inner : sizes) {
              std::string text = container(
                  outer_object, outer,
                  container(middle_object, middle, container(inner_object, inner, "")));
              SCOPED_TRACE(text);
              Arena arena;
              auto result = read_document(text, arena);
              ASSERT_TRUE(result.ok()) << to_string(result.error());
              ASSERT_EQ(compact(result.value()), text);
            }
          }
        }
      }
    }
  }
}

// Containers whose items outgrow the block sizes at which the reader stops copying them and
// keeps the block they were gathered in: alone, after and before the items of an enclosing
// container on the same stack, and with repeated keys dropped where they were gathered.
struct LargeCase {
  std::string input;
  std::string expected;  // its compact text, or the input itself when empty
};

std::vector<LargeCase> large_cases() {
  constexpr std::size_t kLarge = 300000;  // 4.8 MB of values, 9.6 MB of entries
  std::string keys = container(true, kLarge, "");
  std::string repeats = keys;
  repeats.back() = ',';
  repeats += "\"k5\":\"x\",\"k299999\":\"y\",\"k5\":\"z\"}";
  std::string repeats_expected = keys;
  repeats_expected.replace(repeats_expected.find("\"k5\":5,"), 7, "\"k5\":\"z\",");
  repeats_expected.replace(repeats_expected.rfind(":299999}"), 8, ":\"y\"}");
  std::string one_key = "{";
  for (std::size_t i = 0; i < kLarge; ++i) one_key += "\"\":" + std::to_string(i % 10) + ",";
  one_key.back() = '}';
  // A string whose decoded text, gathered apart before it goes to the arena, is megabytes long.
  std::string escaped = "[\"";
  std::string unescaped = "[\"";
  for (std::size_t i = 0; i < 10 * kLarge; ++i) {
    escaped += "x\\/";
    unescaped += "x/";
  }
  escaped += "\"]";
  unescaped += "\"]";
  return {
      {escaped, unescaped},
      {container(false, kLarge, ""), ""},
      {container(false, 20, container(false, kLarge, "")), ""},
      {container(true, 40, container(true, kLarge, "")), ""},
      {container(false, kLarge, container(false, kLarge / 2, "")), ""},
      {container(false, 3 * kLarge, container(false, kLarge, "")), ""},
      {container(true, 3, container(false, 2 * kLarge, keys)), ""},
      {repeats, repeats_expected},
      {one_key, "{\"\":9}"},
  };
}

TEST(ReadDocument, LargeContainersKeepEveryItemInOrderWhereverTheyAreGathered) {
  for (const LargeCase& c : large_cases()) {
    SCOPED_TRACE(c.input.substr(0, 40));
    Arena arena;
    auto result = read_document(c.input, arena);
    ASSERT_TRUE(result.ok()) << to_string(result.error());
    ASSERT_TRUE(compact(result.value()) == (c.expected.empty() ? c.input : c.expected));
  }
}

// The room a limit leaves beside what is charged, as the kernel would give it.
std::uint64_t g_memory_limit = 0;
std::uint64_t room_under_limit() {
  return g_memory_limit > charged_memory() ? g_memory_limit - charged_memory() : 0;
}

TEST(ReadDocument, RunningOutOfMemoryMidReadThrowsAndKeepsNoMemory) {
  // Budgets that run out at different steps: the gathering stacks, the arena, the block an
  // arena adopts, the decoded text of a long string. Whatever step fails, every charge is given
  // back, and the arena serves the next document.
  const std::uint64_t held = charged_memory();
  for (const LargeCase& c : large_cases()) {
    SCOPED_TRACE(c.input.substr(0, 40));
    for (std::uint64_t budget_mb : {0u, 6u, 12u, 20u, 32u, 48u}) {
      SCOPED_TRACE(budget_mb);
      {
        Arena arena;
        g_memory_limit = held + (budget_mb << 20);
        set_memory_room_source(room_under_limit);
        bool failed = false;
        try {
          (void)read_document(c.input, arena);
        } catch (const std::bad_alloc&) {
          failed = true;
        }
        set_memory_room_source(nullptr);
        EXPECT_TRUE(failed || budget_mb > 0);
        arena.reset();
        ASSERT_TRUE(read_document(c.input, arena).ok());
      }
      EXPECT_EQ(charged_memory(), held);
    }
  }
}

// A bytewise twin of the reader for a document that is one string, its opening quote at `at`:
// the content, or the error's kind and byte count, following the reading steps byte by byte.
struct TwinResult {
  bool ok = false;
  std::string content;
  DecodeErrorKind kind = DecodeErrorKind::EndInValue;
  std::size_t count = 0;
};

// Decodes each code point and judges its value, unlike the reader's byte-range checks.
bool twin_valid_utf8(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0) return false;
    std::uint32_t cp = extra == 0 ? c : c & (0x3Fu >> extra);
    for (int k = 1; k <= extra; ++k) {
      if (i + static_cast<std::size_t>(k) >= s.size()) return false;
      auto d = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3Fu);
    }
    const std::uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
    if (cp < smallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}

TwinResult twin_read_string(const std::string& in, std::size_t at) {
  TwinResult r;
  auto fail = [&](DecodeErrorKind kind, std::size_t count) {
    r.kind = kind;
    r.count = count;
    return r;
  };
  auto hex4 = [&](std::size_t from, unsigned& v) {
    v = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      char h = in[from + k];
      int d = h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10 : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
      if (d < 0) return false;
      v = v * 16 + static_cast<unsigned>(d);
    }
    return true;
  };
  auto put = [&](std::uint32_t cp) {
    std::string bytes;
    if (cp < 0x80) {
      bytes = {static_cast<char>(cp)};
    } else if (cp < 0x800) {
      bytes = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    } else if (cp < 0x10000) {
      bytes = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
               static_cast<char>(0x80 | (cp & 0x3F))};
    } else {
      bytes = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
               static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    }
    r.content += bytes;
  };
  std::size_t i = at + 1;
  for (;;) {
    if (i == in.size()) return fail(DecodeErrorKind::EndInString, in.size());
    auto c = static_cast<unsigned char>(in[i]);
    if (c == '"') break;
    if (c < 0x20) return fail(DecodeErrorKind::RawControl, i + 1);
    if (c != '\\') {
      r.content += in[i++];
      continue;
    }
    if (++i == in.size()) return fail(DecodeErrorKind::EndInString, in.size());
    const std::string simple = "\"\\/bfnrt";
    const std::string stands = "\"\\/\b\f\n\r\t";
    if (std::size_t k = simple.find(in[i]); k != std::string::npos) {
      r.content += stands[k];
      ++i;
      continue;
    }
    if (in[i] != 'u') return fail(DecodeErrorKind::BadEscape, i + 1);
    ++i;
    unsigned n;
    if (in.size() - i < 4) return fail(DecodeErrorKind::EndInString, in.size());
    if (!hex4(i, n)) return fail(DecodeErrorKind::BadEscape, i + 4);
    i += 4;
    if (n >= 0xDC00 && n <= 0xDFFF) return fail(DecodeErrorKind::UnpairedSurrogate, i);
    if (n < 0xD800 || n > 0xDFFF) {
      put(n);
      continue;
    }
    for (char want : {'\\', 'u'}) {
      if (i == in.size()) return fail(DecodeErrorKind::EndInString, in.size());
      if (in[i] != want) return fail(DecodeErrorKind::SurrogateNotFollowed, i + 1);
      ++i;
    }
    unsigned m;
    if (in.size() - i < 4) return fail(DecodeErrorKind::EndInString, in.size());
    if (!hex4(i, m)) return fail(DecodeErrorKind::BadEscape, i + 4);
    i += 4;
    if (m < 0xDC00 || m > 0xDFFF) return fail(DecodeErrorKind::UnpairedSurrogate, i);
    put(0x10000 + (n - 0xD800) * 0x400 + (m - 0xDC00));
  }
  if (!twin_valid_utf8(r.content)) return fail(DecodeErrorKind::BadText, i + 1);
  // The document may go on after the string only with whitespace.
  for (++i; i < in.size(); ++i) {
    if (in[i] != ' ' && in[i] != '\t' && in[i] != '\n' && in[i] != '\r') {
      return fail(DecodeErrorKind::ContentAfterValue, i + 1);
    }
  }
  r.ok = true;
  return r;
}

TEST(ReadDocument, WordAtATimeStringScanMatchesABytewiseTwin) {
  // Pieces that exercise every branch of the string reader; random sequences of them put each
  // special byte at every offset within an 8-byte word.
  const std::vector<std::string> pieces = {
      "a", "b", "xyz", "0123456", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\x7F",
      "\\n", "\\\"", "\\\\", "\\/", "\\u00e9", "\\u20ac", "\\ud83d\\ude00", "\\u0000",
      // Faults, drawn less often.
      "\x01", "\n", "\xFF", "\x80", "\xC3", "\xED\xA0\x80", "\\q", "\\uDC00", "\\uD800x",
      "\\u12G4", "\"",
  };
  const std::size_t first_fault = 16;
  std::mt19937 rng(20240611);
  int read_ok = 0;
  int failed = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string input(static_cast<std::size_t>(round % 8), ' ');
    input += '"';
    int length = static_cast<int>(rng() % 24);
    for (int k = 0; k < length; ++k) {
      bool fault = rng() % 40 == 0;
      std::size_t pick = fault ? first_fault + rng() % (pieces.size() - first_fault) : rng() % first_fault;
      input += pieces[pick];
    }
    if (rng() % 10 != 0) input += '"';
    std::size_t at = static_cast<std::size_t>(round % 8);
    TwinResult want = twin_read_string(input, at);
    SCOPED_TRACE(testing::PrintToString(input));
    Arena arena;
    auto got = read_document(input, arena);
    ASSERT_EQ(got.ok(), want.ok) << (got.ok() ? std::string("read") : to_string(got.error()));
    if (want.ok) {
      ++read_ok;
      ASSERT_EQ(got.value().as_string(), want.content);
    } else {
      ++failed;
      ASSERT_EQ(got.error().kind, want.kind);
      std::size_t feeds = 0;
      std::size_t line_start = 0;
      for (std::size_t k = 0; k < want.count; ++k) {
        if (input[k] == '\n') {
          ++feeds;
          line_start = k + 1;
        }
      }
      ASSERT_EQ(got.error().line, feeds + 1);
      ASSERT_EQ(got.error().column, want.count - line_start);
    }
  }
  // Both outcomes were exercised often enough to mean something.
  EXPECT_GT(read_ok, 5000);
  EXPECT_GT(failed, 3000);
}

// Checks the reader against the twin on `input`, a string at offset 0.
void expect_string_as_twin(const std::string& input) {
  SCOPED_TRACE(testing::PrintToString(input));
  TwinResult want = twin_read_string(input, 0);
  Arena arena;
  auto got = read_document(input, arena);
  ASSERT_EQ(got.ok(), want.ok) << (got.ok() ? std::string("read") : to_string(got.error()));
  if (want.ok) {
    ASSERT_EQ(got.value().as_string(), want.content);
  } else {
    ASSERT_EQ(got.error().kind, want.kind);
    ASSERT_EQ(got.error().column, want.count);  // the inputs have no line feed
  }
}

TEST(ReadDocument, BlockStringScanFindsEachByteAtEveryOffsetAndDistanceFromTheEnd) {
  // The scan takes sixteen bytes, then eight, then one at a time as the input runs out, so one
  // special piece is put at every offset of plain strings of every length up to three blocks,
  // with and without the closing quote (then the input ends right after the content). Valid
  // non-ASCII text after the piece must not count against the run that the piece ends.
  const std::vector<std::string> pieces = {"\"", "\\n", "\x01", "\x1F", "\x7F", "\xC3\xA9",
                                           "\xFF", "\xC3", "\xF0\x9F\x98\x80", "\xED\xA0\x80"};
  for (const std::string& piece : pieces) {
    for (const std::string fill : {"b", "\xC3\xA9"}) {
      for (std::size_t length = 0; length <= 48; ++length) {
        for (std::size_t at = 0; at <= length; ++at) {
          std::string content = std::string(at, 'a') + piece;
          for (std::size_t k = at; k < length; ++k) content += fill;
          expect_string_as_twin("\"" + content + "\"");
          expect_string_as_twin("\"" + content);
        }
      }
    }
  }
}

TEST(StringScan, BothKernelsMatchABytewiseTwinOnEveryByteAtEveryPlace) {
  // Each byte value at each of the sixteen places, among fillers that are plain, stops or high
  // themselves, then random blocks: the masks must be exact, not only their lowest bit.
  auto twin = [](const unsigned char* block) {
    StringBlock want{0, 0};
    for (unsigned i = 0; i < 16; ++i) {
      unsigned char c = block[i];
      if (c == '"' || c == '\\' || c <= 0x1F) want.stops |= 1u << i;
      if (c >= 0x80) want.high |= 1u << i;
    }
    return want;
  };
  auto check = [&twin](const unsigned char* block) {
    const char* p = reinterpret_cast<const char*>(block);
    StringBlock want = twin(block);
    StringBlock scalar = scan_string_block_scalar(p);
    ASSERT_EQ(scalar.stops, want.stops);
    ASSERT_EQ(scalar.high, want.high);
#if defined(__SSE2__)
    StringBlock sse2 = scan_string_block_sse2(p);
    ASSERT_EQ(sse2.stops, want.stops);
    ASSERT_EQ(sse2.high, want.high);
#endif
  };
  unsigned char block[16];
  for (int filler : {0x61, 0x20, 0x1F, 0x22, 0x80, 0xFF}) {
    for (unsigned value = 0; value < 256; ++value) {
      for (std::size_t at = 0; at < 16; ++at) {
        SCOPED_TRACE(testing::Message() << filler << " with " << value << " at " << at);
        std::memset(block, filler, sizeof block);
        block[at] = static_cast<unsigned char>(value);
        check(block);
      }
    }
  }
  std::mt19937 rng(16);
  for (int round = 0; round < 100000; ++round) {
    for (unsigned char& c : block) c = static_cast<unsigned char>(rng());
    check(block);
  }
}

TEST(StringScan, EachSkipKernelAndItsTwinStopAtEveryByteAtEveryPlaceAndReadNothingPastTheEnd) {
  // Every byte value at every place of runs up to three blocks long, the run ending on a page
  // whose next page cannot be read: a kernel that stops late, early or reads past its end fails.
  using Kernel = const char* (*)(const char*, const char*);
  struct Case {
    const char* name;
    std::string_view fill;  // what the run is made of, repeated
    bool (*member)(char);
    Kernel scalar;
    Kernel sse2;  // null where the machine has none
  };
#if defined(__SSE2__)
  const Kernel digits_sse2 = skip_digits_sse2;
  const Kernel space_sse2 = skip_space_sse2;
#else
  const Kernel digits_sse2 = nullptr;
  const Kernel space_sse2 = nullptr;
#endif
  const Case cases[] = {
      {"digits", "0123456789", [](char c) { return c >= '0' && c <= '9'; }, skip_digits_scalar, digits_sse2},
      // Spaces in runs of eight and more, as indentation has them, and the other three between.
      {"space", "          \n\t  \r         ", [](char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; },
       skip_space_scalar, space_sse2},
  };
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  void* map = ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  char* guard = static_cast<char*>(map) + page;
  ASSERT_EQ(::mprotect(guard, page, PROT_NONE), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (std::size_t length = 0; length <= 48; ++length) {
      char* run = guard - length;
      for (std::size_t at = 0; at <= length; ++at) {
        for (unsigned value = 0; value < 256; ++value) {
          for (std::size_t i = 0; i < length; ++i) run[i] = c.fill[(i + at) % c.fill.size()];
          if (at < length) run[at] = static_cast<char>(value);
          const char* want = run;
          while (want != guard && c.member(*want)) ++want;
          ASSERT_EQ(c.scalar(run, guard), want) << length << " " << at << " " << value;
          if (c.sse2 != nullptr) {
            ASSERT_EQ(c.sse2(run, guard), want) << length << " " << at << " " << value;
          }
          if (at == length) break;  // no byte to vary: the run is all members
        }
      }
    }
  }
  ::munmap(map, 2 * page);
}

}  // namespace
}  // namespace orvel
