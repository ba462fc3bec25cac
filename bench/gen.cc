// Deterministic benchmark data: the same seed always gives the same bytes, so results from
// different machines and days measure the same work.
//
//   gen gen100 OUT_FILE [SEED]    one minified document of about 100 MB
//   gen small10k OUT_DIR [SEED]   10,000 minified files of 1-4 KB each
//
// The documents are built to exercise what costs time in orvel: keys out of natural order with
// digit runs and leading zeros, strings with escapes and raw UTF-8, numbers of every form the
// grammar allows (25-digit integers, exponents in both letter cases, negative zero), and nesting.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::uint64_t kDefaultSeed = 20261208;
constexpr std::size_t kGen100Bytes = 100'000'000;
constexpr int kSmallFiles = 10'000;
constexpr std::size_t kSmallMinBytes = 1024;
constexpr std::size_t kSmallMaxBytes = 4096;

// splitmix64: tiny, fast and identical everywhere, unlike the standard distributions.
struct Rng {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  std::uint64_t below(std::uint64_t n) { return next() % n; }
  bool chance(unsigned percent) { return below(100) < percent; }
};

constexpr std::string_view kPrefixes[] = {"item", "field", "k", "Zone", "node_", "val", "x-", "id",
                                          "élément", "row", "a.b", "Name"};
constexpr std::string_view kWords[] = {"alpha", "beta", "gamma", "delta", "orbit", "quartz",
                                       "river", "stone", "amber", "cedar", "lumen", "tide"};
// Text that needs escapes or holds raw multi-byte UTF-8, as it appears inside the quotes.
constexpr std::string_view kSpecialText[] = {
    "line\\nbreak",        "tab\\there",           "quote \\\"inside\\\"",
    "back\\\\slash",       "slash \\/ escaped",     "caf\\u00e9 escaped",
    "smile \\ud83d\\ude00", "ctrl \\u001f\\u0001",  "café raw",
    "日本語のテキスト",       "emoji 😀 raw",          "Ελληνικά",
    "mixed \\u00e9 and é", "del \\u007f",          "\\b\\f\\r"};

void append_digits(Rng& rng, std::string& out, int count) {
  out += static_cast<char>('1' + rng.below(9));
  for (int i = 1; i < count; ++i) out += static_cast<char>('0' + rng.below(10));
}

void append_number(Rng& rng, std::string& out) {
  switch (rng.below(12)) {
    case 0: out += std::to_string(rng.below(1000)); break;
    case 1: out += '-'; out += std::to_string(1 + rng.below(100000)); break;
    case 2: append_digits(rng, out, 25); break;                      // beyond 64 bits
    case 3: out += '-'; append_digits(rng, out, 25); break;
    case 4: append_digits(rng, out, 19); break;                      // near the 64-bit edge
    case 5: out += rng.chance(50) ? "-0" : "-0.0"; break;            // negative zero
    case 6:
      out += std::to_string(rng.below(1000));
      out += '.';
      append_digits(rng, out, 1 + static_cast<int>(rng.below(8)));
      if (rng.chance(30)) out += '0';                                // trailing zero kept
      break;
    case 7:
      out += std::to_string(1 + rng.below(9));
      out += rng.chance(50) ? 'E' : 'e';                             // upper-case exponent
      out += std::to_string(rng.below(30));
      break;
    case 8:
      out += std::to_string(rng.below(10));
      out += '.';
      append_digits(rng, out, 3);
      out += rng.chance(50) ? "e-" : "E+";
      if (rng.chance(30)) out += '0';                                // exponent's leading zero
      out += std::to_string(1 + rng.below(300));
      break;
    case 9:
      out += '-';
      out += std::to_string(rng.below(100));
      out += '.';
      out += std::to_string(rng.below(1000));
      break;
    case 10: out += "0"; break;
    default: out += std::to_string(rng.next() >> 1); break;
  }
}

void append_string(Rng& rng, std::string& out) {
  out += '"';
  if (rng.chance(25)) {
    out += kSpecialText[rng.below(std::size(kSpecialText))];
  } else {
    int words = 1 + static_cast<int>(rng.below(6));
    for (int i = 0; i < words; ++i) {
      if (i) out += ' ';
      out += kWords[rng.below(std::size(kWords))];
    }
  }
  out += '"';
}

// A key with a digit run, sometimes with leading zeros. `unique` keeps keys of one object
// distinct as byte strings even where their zeros make them compare equal in natural order.
void append_key(Rng& rng, std::string& out, unsigned unique) {
  out += '"';
  out += kPrefixes[rng.below(std::size(kPrefixes))];
  unsigned zeros = rng.chance(20) ? 1 + static_cast<unsigned>(rng.below(3)) : 0;
  out.append(zeros, '0');
  out += std::to_string(unique);
  if (rng.chance(15)) {
    out += '_';
    out += std::to_string(rng.below(100));
  }
  out += "\":";
}

void append_scalar(Rng& rng, std::string& out) {
  switch (rng.below(10)) {
    case 0: out += "null"; break;
    case 1: out += rng.chance(50) ? "true" : "false"; break;
    case 2: case 3: case 4: case 5: append_string(rng, out); break;
    default: append_number(rng, out); break;
  }
}

// A distinct shuffled list of small integers: entries are written out of natural order.
std::vector<unsigned> shuffled_ids(Rng& rng, unsigned count) {
  std::vector<unsigned> ids(count);
  for (unsigned i = 0; i < count; ++i) ids[i] = i * 7 + static_cast<unsigned>(rng.below(7));
  for (unsigned i = count; i > 1; --i) std::swap(ids[i - 1], ids[rng.below(i)]);
  return ids;
}

void append_flat_object(Rng& rng, std::string& out, unsigned entries) {
  out += '{';
  std::vector<unsigned> ids = shuffled_ids(rng, entries);
  for (unsigned i = 0; i < entries; ++i) {
    if (i) out += ',';
    append_key(rng, out, ids[i]);
    append_scalar(rng, out);
  }
  out += '}';
}

// One record: a few scalars, an array of strings, a matrix, nested objects, empty containers.
void append_record(Rng& rng, std::string& out, std::uint64_t serial) {
  out += "{\"z_serial\":";
  out += std::to_string(serial);
  out += ",\"v01\":1,\"v1\":2";  // equal in natural order: their order must survive the sort
  std::vector<unsigned> ids = shuffled_ids(rng, 6 + static_cast<unsigned>(rng.below(6)));
  for (unsigned id : ids) {
    out += ',';
    append_key(rng, out, id);
    append_scalar(rng, out);
  }
  out += ",\"tags10\":[";
  unsigned tags = static_cast<unsigned>(rng.below(5));
  for (unsigned i = 0; i < tags; ++i) {
    if (i) out += ',';
    append_string(rng, out);
  }
  out += "],\"tags9\":{}";
  out += ",\"matrix\":[";
  for (int row = 0; row < 3; ++row) {
    if (row) out += ',';
    out += '[';
    for (int col = 0; col < 3; ++col) {
      if (col) out += ',';
      append_number(rng, out);
    }
    out += ']';
  }
  out += "],\"children\":[";
  unsigned children = 1 + static_cast<unsigned>(rng.below(3));
  for (unsigned i = 0; i < children; ++i) {
    if (i) out += ',';
    out += "{\"level2\":";
    append_flat_object(rng, out, 2 + static_cast<unsigned>(rng.below(4)));
    out += ",\"Level10\":[[],{\"deep1\":{\"deep01\":[null,{\"b2\":";
    append_scalar(rng, out);
    out += ",\"b10\":";
    append_scalar(rng, out);
    out += "}]}}],\"id\":";
    out += std::to_string(i);
    out += '}';
  }
  out += "],\"empty\":[]}";
}

std::string make_gen100(Rng& rng) {
  std::string out;
  out.reserve(kGen100Bytes + (1 << 20));
  out += "{\"records\":[";
  std::uint64_t serial = 0;
  while (out.size() < kGen100Bytes) {
    if (serial) out += ',';
    append_record(rng, out, serial++);
  }
  out += "],\"count\":";
  out += std::to_string(serial);
  out += ",\"a10\":\"ten\",\"a9\":\"nine\",\"A1\":null,\"meta\":{\"seed\":\"fixed\",\"v2\":[],\"v10\":{}}}";
  return out;
}

// A small file: records appended while the file stays below its drawn size.
std::string make_small(Rng& rng, std::uint64_t& serial) {
  std::size_t target = kSmallMinBytes + rng.below(kSmallMaxBytes - kSmallMinBytes);
  std::string out = "{\"file_records\":[";
  std::string record;
  bool first = true;
  for (;;) {
    record.clear();
    append_record(rng, record, serial++);
    // Keep the file within its size band: a record that would overshoot ends the file,
    // unless the file would otherwise stay below the minimum.
    if (out.size() + record.size() + 40 > kSmallMaxBytes && !first) break;
    if (!first) out += ',';
    out += record;
    first = false;
    if (out.size() >= target) break;
  }
  out += "],\"n10\":1,\"n9\":2}";
  return out;
}

bool write_file(const std::string& path, std::string_view bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return close(fd) == 0;
}

int fail(const std::string& path) {
  std::fprintf(stderr, "gen: %s: %s\n", path.c_str(), std::strerror(errno));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: gen gen100 OUT_FILE [SEED] | gen small10k OUT_DIR [SEED]\n");
    return 2;
  }
  std::string_view what = argv[1];
  std::string out_path = argv[2];
  Rng rng{argc == 4 ? std::strtoull(argv[3], nullptr, 10) : kDefaultSeed};
  if (what == "gen100") {
    if (!write_file(out_path, make_gen100(rng))) return fail(out_path);
    return 0;
  }
  if (what == "small10k") {
    if (mkdir(out_path.c_str(), 0755) != 0 && errno != EEXIST) return fail(out_path);
    std::uint64_t serial = 0;
    for (int i = 0; i < kSmallFiles; ++i) {
      std::string number = std::to_string(i);
      std::string path = out_path + "/f" + std::string(5 - number.size(), '0') + number + ".json";
      if (!write_file(path, make_small(rng, serial))) return fail(path);
    }
    return 0;
  }
  std::fprintf(stderr, "gen: unknown data set %s\n", argv[1]);
  return 2;
}
