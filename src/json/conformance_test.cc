// The reader against a public conformance suite, and read-write-read round trips on real files.
#include <dirent.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json/json_value.h"
#include "json/reader.h"
#include "json/writer.h"
#include "tests/test_support.h"

namespace orvel {
namespace {

std::vector<std::string> list_files(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    ADD_FAILURE() << "cannot list " << dir;
    return names;
  }
  while (const dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0) names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::string suite_dir() { return testing::source_path("tests/data/json-test-suite/test_parsing"); }

// What the reader decides where the suite leaves the choice to the implementation: numbers of
// any size or exponent are kept as text and read; 500 nested arrays exceed the 127 levels; a
// byte-order mark, or UTF-16, starts no value; invalid UTF-8 in a string is rejected at its
// closing quote; a surrogate escape without its partner is rejected where the pair breaks.
// An empty message means the file reads.
const std::map<std::string, std::string>& implementation_defined() {
  static const std::map<std::string, std::string> decided = {
      {"i_number_double_huge_neg_exp.json", ""},
      {"i_number_huge_exp.json", ""},
      {"i_number_neg_int_huge_exp.json", ""},
      {"i_number_pos_double_huge_exp.json", ""},
      {"i_number_real_neg_overflow.json", ""},
      {"i_number_real_pos_overflow.json", ""},
      {"i_number_real_underflow.json", ""},
      {"i_number_too_big_neg_int.json", ""},
      {"i_number_too_big_pos_int.json", ""},
      {"i_number_very_big_negative_int.json", ""},
      {"i_object_key_lone_2nd_surrogate.json", "lone leading surrogate in hex escape at line 1 column 8"},
      {"i_string_1st_surrogate_but_2nd_missing.json", "unexpected end of hex escape at line 1 column 9"},
      {"i_string_1st_valid_surrogate_2nd_invalid.json",
       "lone leading surrogate in hex escape at line 1 column 14"},
      {"i_string_UTF-16LE_with_BOM.json", "expected value at line 1 column 1"},
      {"i_string_UTF-8_invalid_sequence.json", "invalid unicode code point at line 1 column 9"},
      {"i_string_UTF8_surrogate_U+D800.json", "invalid unicode code point at line 1 column 6"},
      {"i_string_incomplete_surrogate_and_escape_valid.json",
       "unexpected end of hex escape at line 1 column 10"},
      {"i_string_incomplete_surrogate_pair.json",
       "lone leading surrogate in hex escape at line 1 column 8"},
      {"i_string_incomplete_surrogates_escape_valid.json",
       "lone leading surrogate in hex escape at line 1 column 14"},
      {"i_string_invalid_lonely_surrogate.json", "unexpected end of hex escape at line 1 column 9"},
      {"i_string_invalid_surrogate.json", "unexpected end of hex escape at line 1 column 9"},
      {"i_string_invalid_utf-8.json", "invalid unicode code point at line 1 column 4"},
      {"i_string_inverted_surrogates_U+1D11E.json",
       "lone leading surrogate in hex escape at line 1 column 8"},
      {"i_string_iso_latin_1.json", "invalid unicode code point at line 1 column 4"},
      {"i_string_lone_second_surrogate.json", "lone leading surrogate in hex escape at line 1 column 8"},
      {"i_string_lone_utf8_continuation_byte.json", "invalid unicode code point at line 1 column 4"},
      {"i_string_not_in_unicode_range.json", "invalid unicode code point at line 1 column 7"},
      {"i_string_overlong_sequence_2_bytes.json", "invalid unicode code point at line 1 column 5"},
      {"i_string_overlong_sequence_6_bytes.json", "invalid unicode code point at line 1 column 9"},
      {"i_string_overlong_sequence_6_bytes_null.json", "invalid unicode code point at line 1 column 9"},
      {"i_string_truncated-utf-8.json", "invalid unicode code point at line 1 column 5"},
      {"i_string_utf16BE_no_BOM.json", "expected value at line 1 column 1"},
      {"i_string_utf16LE_no_BOM.json", "expected value at line 1 column 2"},
      {"i_structure_500_nested_arrays.json", "recursion limit exceeded at line 1 column 128"},
      {"i_structure_UTF-8_BOM_empty_object.json", "expected value at line 1 column 1"},
  };
  return decided;
}

TEST(Conformance, AcceptsEveryValidFileAndRejectsEveryInvalidOne) {
  const std::string dir = suite_dir();
  std::map<char, int> visited;
  Arena arena;
  for (const std::string& name : list_files(dir)) {
    SCOPED_TRACE(name);
    const std::string bytes = testing::read_file(dir + "/" + name);
    arena.reset();
    auto result = read_document(bytes, arena);
    ++visited[name[0]];
    if (name.starts_with("y_")) {
      EXPECT_TRUE(result.ok()) << to_string(result.error());
    } else if (name.starts_with("n_")) {
      EXPECT_FALSE(result.ok());
    } else if (name.starts_with("i_")) {
      auto decided = implementation_defined().find(name);
      if (decided == implementation_defined().end()) continue;  // new files: only "no crash"
      EXPECT_EQ(result.ok() ? std::string() : to_string(result.error()), decided->second);
    } else {
      ADD_FAILURE() << "unexpected file in the suite";
    }
  }
  // The suite holds 95 valid, 188 invalid and 35 open cases; reading far fewer means the
  // directory was not really visited.
  EXPECT_GE(visited['y'], 90);
  EXPECT_GE(visited['n'], 180);
  EXPECT_GE(visited['i'], 30);
}

// Reads `bytes`, writes the document, reads that text and writes again: both texts must match.
void expect_round_trip(const std::string& bytes) {
  Arena arena;
  auto first = read_document(arena.copy(bytes), arena);
  ASSERT_TRUE(first.ok()) << to_string(first.error());
  std::string written;
  write_pretty(first.value(), "  ", written);

  Arena again;
  auto second = read_document(again.copy(written), again);
  ASSERT_TRUE(second.ok()) << to_string(second.error());
  std::string rewritten;
  write_pretty(second.value(), "  ", rewritten);
  EXPECT_TRUE(written == rewritten) << "first text:\n" << written.substr(0, 2000)
                                    << "\nsecond text:\n" << rewritten.substr(0, 2000);
}

TEST(Conformance, WrittenTextReadsBackToTheSameText) {
  const std::string dir = suite_dir();
  int files = 0;
  for (const std::string& name : list_files(dir)) {
    if (!name.starts_with("y_")) continue;
    SCOPED_TRACE(name);
    expect_round_trip(testing::read_file(dir + "/" + name));
    ++files;
  }
  EXPECT_GE(files, 90);

  for (const char* name : {"twitter.json", "citm_catalog.json", "canada.json"}) {
    SCOPED_TRACE(name);
    expect_round_trip(testing::read_file(testing::source_path(std::string("bench/data/") + name)));
  }
}

}  // namespace
}  // namespace orvel
