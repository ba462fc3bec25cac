// The pretty writer's layout and escaping, byte for byte.
#include "json/writer.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "json/reader.h"
#include "tests/test_support.h"

namespace orvel {
namespace {

// Also checks that the size the buffer is grown to beforehand is the size written.
std::string pretty(const JsonValue& v, std::string_view indent = "  ") {
  std::string out;
  write_pretty(v, indent, out);
  return out;
}

// The pieces a rendering handed over, joined, and how the last was marked.
struct Joined {
  std::string text;
  int marked_last = 0;     // pieces marked last
  int after_last = 0;      // pieces that came after one marked last
  std::size_t last_bytes = 0;

  static void take(void* context, std::string_view piece, bool last) {
    auto& joined = *static_cast<Joined*>(context);
    joined.after_last += joined.marked_last;
    joined.marked_last += last ? 1 : 0;
    joined.last_bytes = piece.size();
    joined.text.append(piece);
  }
};

// The text `json` is rewritten as, or a note that the reader refused it. Also checks that the
// document read with every value without an object inside kept as its text, as the tool reads
// it, is written the same way.
std::string rewrite(std::string_view json, std::string_view indent = "  ") {
  Arena arena;
  auto doc = read_document(arena.copy(json), arena);
  if (!doc.ok()) return "refused: " + to_string(doc.error());
  auto kept = read_document(arena.copy(json), arena, ReadMode{nullptr, true});
  EXPECT_TRUE(kept.ok());
  std::string written = pretty(doc.value(), indent);
  if (kept.ok()) {
    EXPECT_EQ(pretty(kept.value(), indent), written) << "kept as text";
  }
  // And with every object that it may keep so kept as its text too, as the tool keeps those
  // that are in order already: here every order is taken as it was read.
  EntryOrder as_read{[](void*, std::span<ObjectEntry> entries, ObjectEntry* to) {
                       std::memmove(static_cast<void*>(to), entries.data(), entries.size_bytes());
                     },
                     nullptr, [](std::span<const ObjectEntry>) { return true; }};
  auto objects_kept = read_document(arena.copy(json), arena, ReadMode{&as_read, true});
  EXPECT_TRUE(objects_kept.ok());
  if (objects_kept.ok()) {
    EXPECT_EQ(pretty(objects_kept.value(), indent), written) << "objects kept as text";
  }
  return written;
}

// The escaping rules written out byte by byte, with no tables and no word tricks.
std::string reference_quoted(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\b' || c == '\t' || c == '\n' || c == '\f' || c == '\r') {
      out += '\\';
      out += "btn?fr"[c - '\b'];
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

// An object over a copy of `entries` in `arena`, which outlives the entries given.
JsonValue object_copy(Arena& arena, std::span<const ObjectEntry> entries) {
  auto* copy = arena.allocate_array<ObjectEntry>(entries.size());
  std::copy(entries.begin(), entries.end(), copy);
  return JsonValue::object({copy, entries.size()});
}

TEST(WritePretty, LaysOutTheWorkedExample) {
  EXPECT_EQ(rewrite(R"({"b":1,"a":[true,null,{"x":"\u00e9\n"}],"c":{},"d":1E5,"e":[]})"),
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

TEST(WritePretty, WritesScalarsAndContainers) {
  struct Case {
    const char* json;
    const char* expected;
  };
  const Case cases[] = {
      {"5", "5"},
      {"-0.0", "-0.0"},
      {"123456789012345678901234567890", "123456789012345678901234567890"},
      {"\"x\"", "\"x\""},
      {"\"\"", "\"\""},
      {"null", "null"},
      {"true", "true"},
      {"false", "false"},
      {" [ ] ", "[]"},
      {"{}", "{}"},
      {"[[]]", "[\n  []\n]"},
      {"{\"a\":{}}", "{\n  \"a\": {}\n}"},
      {"[[1],{}]", "[\n  [\n    1\n  ],\n  {}\n]"},
      {"{\"a\":[],\"b\":[null]}", "{\n  \"a\": [],\n  \"b\": [\n    null\n  ]\n}"},
      {"{\"\":\"\"}", "{\n  \"\": \"\"\n}"},
      {"{\"q\\\"b\\\\\":0}", "{\n  \"q\\\"b\\\\\": 0\n}"},
      // Arrays with objects among their elements, and numbers the reader rewrites.
      // Empty objects, which are kept as text and among runs of text.
      {"[ { } ,{\n\t},[{ }],{\"a\":{ }}]", "[\n  {},\n  {},\n  [\n    {}\n  ],\n  {\n    \"a\": {}\n  }\n]"},
      {"[1, 2 ,{},[3],[{}], \"\\u0041\"]", "[\n  1,\n  2,\n  {},\n  [\n    3\n  ],\n  [\n    {}\n  ],\n  \"A\"\n]"},
      {"[-0,-0.0,-0e1,1E5,2e-3,3E+04,4.5e6]", "[\n  0,\n  -0.0,\n  -0e+1,\n  1e+5,\n  2e-3,\n  3e+04,\n  4.5e+6\n]"},
      {"{\"a\":[ [ ] ,[[ ]], true,false ,null ]}",
       "{\n  \"a\": [\n    [],\n    [\n      []\n    ],\n    true,\n    false,\n    null\n  ]\n}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(rewrite(c.json), c.expected);
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
  Arena arena;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.in));
    EXPECT_EQ(pretty(JsonValue::string(arena.copy(c.in))), "\"" + c.out + "\"");
    ObjectEntry entry[] = {ObjectEntry::make(arena, arena.copy(c.in), JsonValue())};
    EXPECT_EQ(pretty(JsonValue::object(entry)), "{\n  \"" + c.out + "\": null\n}");
  }
}

TEST(WritePretty, WordAtATimeScanAgreesWithBytewiseEscaping) {
  // Bytes that need escaping at every offset within and across 8-byte words, and the bytes
  // right beside the ones the word test looks for (0x1f/0x20, 0x21-0x23, 0x5b-0x5d, 0x80 up).
  const std::string kBytes("\x00\x1f\x20\x21\x22\x23\x5b\x5c\x5d\x7f\x80\xff\x0a", 13);
  std::mt19937_64 rng(42);
  Arena arena;
  for (int n = 0; n < 20000; ++n) {
    std::string s(rng() % 40, 'a');
    for (std::size_t k = rng() % 4; k > 0 && !s.empty(); --k) s[rng() % s.size()] = kBytes[rng() % kBytes.size()];
    std::string got = pretty(JsonValue::string(arena.copy(s)));
    if (got != reference_quoted(s)) FAIL() << ::testing::PrintToString(s) << " gave " << got;
  }
}

// The bytes the escape test puts into strings: every one that needs an escape, and those beside
// them or otherwise special that must be written as they stand.
std::string special_bytes() {
  std::string bytes;
  for (int b = 0; b < 0x20; ++b) bytes += static_cast<char>(b);
  bytes += "\x20\x21\x22\x23/\x5b\x5c\x5d\x7f\x80\xc3\xff";
  return bytes;
}

TEST(WritePretty, EscapesEverySpecialByteAtEveryPositionOfShortStrings) {
  // Lengths around the 16-byte blocks the writer scans, with the byte at each position, as a
  // value and as a key (whose text is followed by ": " on the same room check).
  Arena arena;
  for (char special : special_bytes()) {
    for (std::size_t length = 1; length <= 40; ++length) {
      for (std::size_t at = 0; at < length; ++at) {
        std::string s(length, 'a');
        s[at] = special;
        std::string expected = reference_quoted(s);
        std::string got = pretty(JsonValue::string(arena.copy(s)));
        if (got != expected) FAIL() << ::testing::PrintToString(s) << " gave " << got;
        ObjectEntry entry[] = {ObjectEntry::make(arena, arena.copy(s), JsonValue::boolean(false))};
        got = pretty(JsonValue::object(entry));
        if (got != "{\n  " + expected + ": false\n}") FAIL() << ::testing::PrintToString(s) << " gave " << got;
      }
    }
  }
  // Every length without escapes, and all escapes, which write the most per byte read.
  for (std::size_t length = 0; length <= 40; ++length) {
    for (std::string s : {std::string(length, 'x'), std::string(length, '\x01'), std::string(length, '"')}) {
      EXPECT_EQ(pretty(JsonValue::string(arena.copy(s))), reference_quoted(s));
    }
  }
}

TEST(WritePretty, WritesAnEmptyViewThatPointsNowhere) {
  Arena arena;
  ObjectEntry entry[] = {ObjectEntry::make(arena, std::string_view(), JsonValue::string(std::string_view()))};
  EXPECT_EQ(pretty(JsonValue::object(entry)), "{\n  \"\": \"\"\n}");
}

// Two pages of which the second cannot be read: text placed so that its padding ends right at the
// boundary shows that the writer reads nothing past the padding after a string or number.
class GuardedPages {
 public:
  GuardedPages() {
    page_ = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    void* block = ::mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return;
    base_ = static_cast<char*>(block);
    if (::mprotect(base_ + page_, page_, PROT_NONE) != 0) {
      ::munmap(base_, 2 * page_);
      base_ = nullptr;
    }
  }
  GuardedPages(const GuardedPages&) = delete;
  GuardedPages& operator=(const GuardedPages&) = delete;
  ~GuardedPages() {
    if (base_ != nullptr) ::munmap(base_, 2 * page_);
  }
  bool ok() const { return base_ != nullptr; }
  // `text` copied so that the last byte of the padding after it is the last readable one.
  std::string_view at_end(std::string_view text) {
    char* at = base_ + page_ - kReadPadding - text.size();
    std::memcpy(at, text.data(), text.size());
    return {at, text.size()};
  }

 private:
  std::size_t page_ = 0;
  char* base_ = nullptr;
};

TEST(WritePretty, ReadsNothingPastThePaddingAfterText) {
  GuardedPages pages;
  ASSERT_TRUE(pages.ok());
  Arena arena;
  for (std::size_t length = 0; length <= 40; ++length) {
    SCOPED_TRACE(length);
    std::string plain(length, 'q');
    std::string escaped = plain;
    if (length > 0) escaped[length - 1] = '\n';
    for (const std::string& s : {plain, escaped}) {
      EXPECT_EQ(pretty(JsonValue::string(pages.at_end(s))), reference_quoted(s));
      ObjectEntry entry[] = {ObjectEntry::make(arena, pages.at_end(s), JsonValue())};
      EXPECT_EQ(pretty(JsonValue::object(entry)), "{\n  " + reference_quoted(s) + ": null\n}");
      EXPECT_EQ(pretty(JsonValue::text(pages.at_end(reference_quoted(s)))), reference_quoted(s));
    }
    if (length > 0) {
      std::string digits(length, '7');
      EXPECT_EQ(pretty(JsonValue::number({pages.at_end(digits)})), digits);
      EXPECT_EQ(pretty(JsonValue::text(pages.at_end(digits))), digits);
      EXPECT_EQ(pretty(JsonValue::text(pages.at_end(digits + "E7"))), digits + "e+7");
    }
  }
}

TEST(WritePrettyPieces, LongScalarsPassThroughWithoutGrowingTheBuffer) {
  // Strings, keys and numbers far longer than a piece, escaped throughout or not at all: the
  // buffer, sized before the first piece goes out, must be the only memory used, and every
  // piece size must give the whole text.
  std::mt19937_64 rng(7);
  const std::string kBytes("ab\n\x01\"\\/\x7f\xc3", 9);
  Arena arena;
  std::vector<JsonValue> items;
  for (std::size_t length : {std::size_t{1000}, std::size_t{20000}, std::size_t{70000}, std::size_t{3} << 20}) {
    std::string s(length, 'z');
    for (char& c : s) c = kBytes[rng() % kBytes.size()];
    items.push_back(JsonValue::string(arena.copy(s)));
    // The same string kept as read, with escapes in the forms the writer does not use.
    std::string quoted = reference_quoted(s);
    std::string read_form;
    for (std::size_t i = 0; i < quoted.size(); ++i) {
      if (quoted[i] == '/') read_form += '\\';
      read_form += quoted[i];
      if (quoted.compare(i, 2, "\\u") == 0) {
        read_form += quoted.substr(i + 1, 3);
        for (char hex : quoted.substr(i + 4, 2)) read_form += static_cast<char>(std::toupper(hex));
        i += 5;
      }
    }
    EXPECT_EQ(pretty(JsonValue::text(arena.copy(read_form))), pretty(items.back()));
    items.push_back(JsonValue::text(arena.copy(read_form)));
    ObjectEntry entry[] = {ObjectEntry::make(arena, arena.copy(s), JsonValue::string(arena.copy(s)))};
    items.push_back(object_copy(arena, entry));
  }
  const std::string clean(std::size_t{3} << 20, 'c');
  ObjectEntry entry[] = {ObjectEntry::make(arena, arena.copy(clean), JsonValue::string(arena.copy(clean)))};
  items.push_back(object_copy(arena, entry));
  const std::string digits(std::size_t{3} << 20, '7');
  items.push_back(JsonValue::number({arena.copy(digits)}));
  items.push_back(JsonValue::text(arena.copy(digits + "E" + digits)));
  items.push_back(JsonValue::text(arena.copy("[" + digits + ",[" + digits + "]]")));
  auto* storage = arena.allocate_array<JsonValue>(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) new (&storage[i]) JsonValue(std::move(items[i]));
  JsonValue doc = JsonValue::array({storage, items.size()});
  std::string whole = pretty(doc);
  for (std::size_t piece_bytes : {std::size_t{1}, std::size_t{100}, std::size_t{4096}, std::size_t{1} << 20}) {
    SCOPED_TRACE(piece_bytes);
    Joined joined;
    ByteBuffer buffer;
    buffer.reserve(pieces_buffer_bytes(piece_bytes));
    const char* memory = buffer.data();
    std::size_t capacity = buffer.capacity();
    write_pretty_pieces(doc, "  ", "\n", buffer, piece_bytes, PieceSink{&Joined::take, &joined});
    EXPECT_EQ(buffer.data(), memory);
    EXPECT_EQ(buffer.capacity(), capacity);
    EXPECT_TRUE(joined.text == whole + "\n");
  }
}

// `depth` arrays around {"k":0,"l":[]}, as text and as the layout expected with `unit`.
struct Nested {
  std::string json;
  std::string expected;
};

Nested nested(std::size_t depth, const std::string& unit) {
  std::vector<std::string> pad(depth + 2);
  for (std::size_t d = 1; d < pad.size(); ++d) pad[d] = pad[d - 1] + unit;
  Nested n;
  for (std::size_t d = 0; d < depth; ++d) {
    n.json += '[';
    n.expected += pad[d];
    n.expected += "[\n";
  }
  n.json += R"({"k":0,"l":[]})";
  n.expected += pad[depth] + "{\n" + pad[depth + 1] + "\"k\": 0,\n" + pad[depth + 1] + "\"l\": []\n" + pad[depth] + "}";
  for (std::size_t d = depth; d-- > 0;) {
    n.json += ']';
    n.expected += '\n';
    n.expected += pad[d];
    n.expected += ']';
  }
  return n;
}

TEST(WritePretty, IndentsTheDeepestReadableNestingBy254Spaces) {
  std::string json = std::string(127, '[') + "1" + std::string(127, ']');
  std::string expected;
  for (std::size_t d = 0; d < 127; ++d) expected += std::string(2 * d, ' ') + "[\n";
  expected += std::string(254, ' ') + "1";
  for (std::size_t d = 127; d-- > 0;) {
    expected += '\n';
    expected.append(2 * d, ' ');
    expected += ']';
  }
  EXPECT_EQ(rewrite(json), expected);
}

TEST(WritePretty, RepeatsAnyIndentUnitPerLevel) {
  struct Case {
    std::string unit;
    std::size_t depth;
  };
  // Tabs and units too wide for the precomputed run of spaces take the general path.
  const Case cases[] = {{"  ", 3}, {"\t", 3}, {"    ", 100}, {"", 4}, {" ", 2}, {"-=", 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.unit) + " x" + std::to_string(c.depth));
    Nested n = nested(c.depth, c.unit);
    EXPECT_EQ(rewrite(n.json, c.unit), n.expected);
  }
}

TEST(WritePretty, AppendsToWhatTheBufferHolds) {
  Arena arena;
  auto doc = read_document(arena.copy("[1]"), arena);
  ASSERT_TRUE(doc.ok());
  std::string out = "prefix";
  write_pretty(doc.value(), "  ", out);
  EXPECT_EQ(out, "prefix[\n  1\n]");
}

// Every accepted file of the conformance suite plus the benchmark documents.
std::vector<std::string> sample_files() {
  std::vector<std::string> paths;
  std::string suite = orvel::testing::source_path("tests/data/json-test-suite/test_parsing");
  if (DIR* dir = ::opendir(suite.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name.ends_with(".json") && (name[0] == 'y' || name[0] == 'i')) paths.push_back(suite + "/" + name);
    }
    ::closedir(dir);
  }
  std::sort(paths.begin(), paths.end());
  for (const char* name : {"canada.json", "citm_catalog.json", "twitter.json"}) {
    paths.push_back(orvel::testing::source_path(std::string("bench/data/") + name));
  }
  return paths;
}

TEST(WritePretty, OutputReadBackIsWrittenTheSameWay) {
  std::vector<std::string> paths = sample_files();
  ASSERT_GT(paths.size(), 100u);
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    std::string bytes = orvel::testing::read_file(path);
    Arena arena;
    auto doc = read_document(arena.copy(bytes), arena);
    if (!doc.ok()) continue;  // an implementation-defined input this reader refuses
    std::string once = pretty(doc.value());
    EXPECT_EQ(rewrite(bytes), once);
    EXPECT_EQ(rewrite(once), once);
  }
}

// Rendering in pieces must give the same bytes however the pieces fall: tiny pieces put a
// boundary between nearly every element, and a piece size of one forces a hand-over each time.
// The end goes after the text, in the one piece marked last, which comes last and stays in the
// buffer; an end longer than a piece still fits.
TEST(WritePrettyPieces, ConcatenatedPiecesEqualTheWholeText) {
  std::vector<std::string> paths = sample_files();
  ASSERT_GT(paths.size(), 100u);
  for (std::size_t piece_bytes : {std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
    for (const std::string& path : paths) {
      SCOPED_TRACE(path + " in pieces of " + std::to_string(piece_bytes));
      std::string bytes = orvel::testing::read_file(path);
      Arena arena;
      auto doc = read_document(arena.copy(bytes), arena, ReadMode{nullptr, piece_bytes != 4096});
      if (!doc.ok()) continue;
      std::string whole;
      write_pretty(doc.value(), "  ", whole);
      const std::string end = piece_bytes == 7 ? std::string(3000, '\n') : "\n";
      Joined joined;
      ByteBuffer buffer;
      write_pretty_pieces(doc.value(), "  ", end, buffer, piece_bytes, PieceSink{&Joined::take, &joined});
      EXPECT_EQ(joined.text, whole + end);
      EXPECT_EQ(joined.marked_last, 1);
      EXPECT_EQ(joined.after_last, 0);
      EXPECT_EQ(buffer.view(), std::string_view(joined.text).substr(joined.text.size() - joined.last_bytes));
    }
  }
}

}  // namespace
}  // namespace orvel
