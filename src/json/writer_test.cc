// The pretty writer's layout and escaping, byte for byte.
#include "json/writer.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "json/reader.h"
#include "tests/test_support.h"

namespace orvel {
namespace {

struct Entry {
  std::string_view key;
  JsonValue value;
};

// Builds documents through the model, the way the reader leaves them.
struct Builder {
  Arena arena;

  JsonValue num(std::string_view text) { return JsonValue::number({arena.copy(text)}); }
  JsonValue str(std::string_view text) { return JsonValue::string(arena.copy(text)); }

  template <class... V>
  JsonValue arr(V... items) {
    JsonValue* slots = arena.allocate_array<JsonValue>(sizeof...(items));
    std::size_t i = 0;
    ((new (&slots[i++]) JsonValue(std::move(items))), ...);
    return JsonValue::array({slots, sizeof...(items)});
  }

  template <class... E>
  JsonValue obj(E... entries) {
    ObjectMap* map = ObjectMap::create(arena);
    (map->append_unique(arena.copy(entries.key), std::move(entries.value)), ...);
    return JsonValue::object(map);
  }
};

std::string pretty(const JsonValue& v, std::string_view indent = "  ") {
  std::string out;
  write_pretty(v, indent, out);
  return out;
}

// The escaping rules written out byte by byte, with no tables and no word tricks.
std::string reference_quoted(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    auto b = static_cast<unsigned char>(c);
    if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '\b') {
      out += "\\b";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\f') {
      out += "\\f";
    } else if (c == '\r') {
      out += "\\r";
    } else if (b < 0x20) {
      out += "\\u00";
      out += "0123456789abcdef"[b >> 4];
      out += "0123456789abcdef"[b & 0xf];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

TEST(WritePretty, LaysOutTheWorkedExample) {
  // {"b":1,"a":[true,null,{"x":"\u00e9\n"}],"c":{},"d":1E5,"e":[]} as the reader leaves it.
  Builder b;
  JsonValue doc = b.obj(Entry{"b", b.num("1")},
                        Entry{"a", b.arr(JsonValue::boolean(true), JsonValue(),
                                         b.obj(Entry{"x", b.str("\xc3\xa9\n")}))},
                        Entry{"c", b.obj()}, Entry{"d", b.num("1e+5")}, Entry{"e", b.arr()});
  EXPECT_EQ(pretty(doc),
            "{\n"
            "  \"b\": 1,\n"
            "  \"a\": [\n"
            "    true,\n"
            "    null,\n"
            "    {\n"
            "      \"x\": \"\xc3\xa9\\n\"\n"
            "    }\n"
            "  ],\n"
            "  \"c\": {},\n"
            "  \"d\": 1e+5,\n"
            "  \"e\": []\n"
            "}");
}

TEST(WritePretty, WritesScalarsAndEmptyContainers) {
  Builder b;
  struct Case {
    const char* name;
    JsonValue value;
    std::string expected;
  };
  Case cases[] = {
      {"number", b.num("5"), "5"},
      {"negative zero fraction", b.num("-0.0"), "-0.0"},
      {"30 digits", b.num("123456789012345678901234567890"), "123456789012345678901234567890"},
      {"string", b.str("x"), "\"x\""},
      {"empty string", b.str(""), "\"\""},
      {"null", JsonValue(), "null"},
      {"true", JsonValue::boolean(true), "true"},
      {"false", JsonValue::boolean(false), "false"},
      {"empty array", b.arr(), "[]"},
      {"empty object", b.obj(), "{}"},
      {"array in array", b.arr(b.arr()), "[\n  []\n]"},
      {"object in object", b.obj(Entry{"a", b.obj()}), "{\n  \"a\": {}\n}"},
      {"empty after full", b.arr(b.arr(b.num("1")), b.obj()), "[\n  [\n    1\n  ],\n  {}\n]"},
      {"full after empty", b.obj(Entry{"a", b.arr()}, Entry{"b", b.arr(JsonValue())}),
       "{\n  \"a\": [],\n  \"b\": [\n    null\n  ]\n}"},
      {"escaped key", b.obj(Entry{"q\"b\\", b.num("0")}), "{\n  \"q\\\"b\\\\\": 0\n}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(pretty(c.value), c.expected);
  }
}

TEST(WritePretty, EscapesExactlyControlBytesQuoteAndBackslash) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {std::string(1, '\0'), "\\u0000"}, {"\x01", "\\u0001"}, {"\x02", "\\u0002"},
      {"\x03", "\\u0003"}, {"\x04", "\\u0004"}, {"\x05", "\\u0005"}, {"\x06", "\\u0006"},
      {"\x07", "\\u0007"}, {"\x08", "\\b"}, {"\x09", "\\t"}, {"\x0a", "\\n"},
      {"\x0b", "\\u000b"}, {"\x0c", "\\f"}, {"\x0d", "\\r"}, {"\x0e", "\\u000e"},
      {"\x0f", "\\u000f"}, {"\x10", "\\u0010"}, {"\x11", "\\u0011"}, {"\x12", "\\u0012"},
      {"\x13", "\\u0013"}, {"\x14", "\\u0014"}, {"\x15", "\\u0015"}, {"\x16", "\\u0016"},
      {"\x17", "\\u0017"}, {"\x18", "\\u0018"}, {"\x19", "\\u0019"}, {"\x1a", "\\u001a"},
      {"\x1b", "\\u001b"}, {"\x1c", "\\u001c"}, {"\x1d", "\\u001d"}, {"\x1e", "\\u001e"},
      {"\x1f", "\\u001f"}, {"\"", "\\\""}, {"\\", "\\\\"}, {"/", "/"}, {"\x7f", "\x7f"},
      {" ", " "}, {"\xc3\xa9", "\xc3\xa9"}, {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {"\x01\x7f", "\\u0001\x7f"}, {"a\"b\\c\nd", "a\\\"b\\\\c\\nd"},
  };
  Builder b;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.in));
    EXPECT_EQ(pretty(b.str(c.in)), "\"" + c.out + "\"");
    EXPECT_EQ(pretty(b.obj(Entry{c.in, JsonValue()})), "{\n  \"" + c.out + "\": null\n}");
  }
}

TEST(WritePretty, WordAtATimeScanAgreesWithBytewiseEscaping) {
  // Bytes that need escaping at every offset within and across 8-byte words, including the
  // ones right next to the boundaries of the word test (0x1f/0x20, 0x21-0x23, 0x5b-0x5d, 0x80+).
  const std::string kBytes = std::string("\x00\x1f\x20\x21\x22\x23\x5b\x5c\x5d\x7f\x80\xff\x0a", 13);
  std::mt19937_64 rng(42);
  Builder b;
  for (int n = 0; n < 20000; ++n) {
    std::string s(rng() % 40, 'a');
    for (std::size_t k = rng() % 4; k > 0 && !s.empty(); --k) s[rng() % s.size()] = kBytes[rng() % kBytes.size()];
    std::string got = pretty(b.str(s));
    if (got != reference_quoted(s)) FAIL() << ::testing::PrintToString(s) << " gave " << got;
  }
}

TEST(WritePretty, IndentsTheDeepestReadableNestingBy254Spaces) {
  Builder b;
  JsonValue v = b.num("1");
  for (int depth = 0; depth < 127; ++depth) v = b.arr(std::move(v));
  std::string expected;
  for (int d = 0; d < 127; ++d) expected += std::string(2 * d, ' ') + "[\n";
  expected += std::string(254, ' ') + "1";
  for (int d = 126; d >= 0; --d) {
    expected += '\n';
    expected.append(2 * d, ' ');
    expected += ']';
  }
  EXPECT_EQ(pretty(v), expected);
}

TEST(WritePretty, RepeatsAnyIndentUnitPerLevel) {
  Builder b;
  struct Case {
    std::string indent;
    std::size_t depth;
  };
  // Tabs and wide units do not fit the precomputed run of spaces.
  const Case cases[] = {{"\t", 3}, {"    ", 100}, {"", 4}, {" ", 2}, {"-=", 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.indent) + " x" + std::to_string(c.depth));
    JsonValue v = b.obj(Entry{"k", b.num("0")}, Entry{"l", b.arr()});
    for (std::size_t d = 0; d < c.depth; ++d) v = b.arr(std::move(v));
    std::vector<std::string> unit_times(c.depth + 2);
    for (std::size_t d = 1; d <= c.depth + 1; ++d) unit_times[d] = unit_times[d - 1] + c.indent;
    std::string expected;
    for (std::size_t d = 0; d < c.depth; ++d) expected += unit_times[d] + "[\n";
    expected += unit_times[c.depth] + "{\n" + unit_times[c.depth + 1] + "\"k\": 0,\n" +
                unit_times[c.depth + 1] + "\"l\": []\n" + unit_times[c.depth] + "}";
    for (std::size_t d = c.depth; d-- > 0;) {
      expected += '\n';
      expected += unit_times[d];
      expected += ']';
    }
    EXPECT_EQ(pretty(v, c.indent), expected);
  }
}

TEST(WritePretty, AppendsToWhatTheBufferHolds) {
  Builder b;
  std::string out = "prefix";
  write_pretty(b.arr(b.num("1")), "  ", out);
  EXPECT_EQ(out, "prefix[\n  1\n]");
}

// Every accepted file of the conformance suite plus the benchmark documents.
std::vector<std::string> readable_sample_files() {
  std::vector<std::string> paths;
  std::string suite = orvel::testing::shared_path("testdata/json-test-suite/test_parsing");
  if (DIR* dir = ::opendir(suite.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name.size() > 5 && name.ends_with(".json") && (name[0] == 'y' || name[0] == 'i')) {
        paths.push_back(suite + "/" + name);
      }
    }
    ::closedir(dir);
  }
  std::sort(paths.begin(), paths.end());
  for (const char* name : {"canada.json", "citm_catalog.json", "twitter.json"}) {
    paths.push_back(orvel::testing::shared_path(std::string("bench-data/") + name));
  }
  return paths;
}

TEST(WritePretty, OutputReadBackIsWrittenTheSameWay) {
  std::vector<std::string> paths = readable_sample_files();
  ASSERT_GT(paths.size(), 100u);
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    std::string bytes = orvel::testing::read_file(path);
    Arena arena;
    auto first = read_document(bytes, arena);
    if (!first.ok()) continue;  // implementation-defined inputs the reader refuses
    std::string once = pretty(first.value());
    auto second = read_document(once, arena);
    ASSERT_TRUE(second.ok()) << to_string(second.error());
    EXPECT_EQ(pretty(second.value()), once);
  }
}

TEST(WritePretty, LaysOutTheWorkedExampleAsRead) {
  Arena arena;
  auto doc = read_document(R"({"b":1,"a":[true,null,{"x":"\u00e9\n"}],"c":{},"d":1E5,"e":[]})", arena);
  ASSERT_TRUE(doc.ok()) << to_string(doc.error());
  EXPECT_EQ(pretty(doc.value()),
            "{\n  \"b\": 1,\n  \"a\": [\n    true,\n    null,\n    {\n      \"x\": \"\xc3\xa9\\n\"\n"
            "    }\n  ],\n  \"c\": {},\n  \"d\": 1e+5,\n  \"e\": []\n}");
}

}  // namespace
}  // namespace orvel
