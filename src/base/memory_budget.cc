// The memory budget, from resource limits, control groups and the kernel's memory counters.
#include "base/memory_budget.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <optional>
#include <string_view>

namespace orvel {

namespace {

// Kept free under an address-space limit for what is not counted against the budget: the
// stack as the reader's recursion deepens, and the heap's small blocks.
constexpr std::uint64_t kAddressSpaceHeadroom = 8u << 20;
// A v1 limit at or above this is the kernel's way of saying "none".
constexpr std::uint64_t kUnlimitedV1 = std::uint64_t{1} << 62;

// The whole of a small kernel file, or nothing if it cannot be read.
std::optional<std::string> read_small_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::string text;
  std::size_t used = 0;
  for (;;) {
    text.resize(used + 4096);
    ssize_t n = ::read(fd, text.data() + used, 4096);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      if (n < 0) return std::nullopt;
      text.resize(used);
      return text;
    }
    used += static_cast<std::size_t>(n);
  }
}

std::optional<std::uint64_t> parse_number(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

// The number after `key` at the start of a line of `text` ("anon 1234", "MemAvailable: 5 kB").
std::optional<std::uint64_t> field(std::string_view text, std::string_view key) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    if (line.size() > key.size() && line.substr(0, key.size()) == key) {
      return parse_number(line.substr(key.size()));
    }
    at = end + 1;
  }
  return std::nullopt;
}

std::uint64_t room_under(std::uint64_t limit, std::uint64_t held) { return limit > held ? limit - held : 0; }

// cgroup v1: the limit that holds for the group (its own or an ancestor's, whichever is lower)
// less the resident memory of the group and its descendants.
std::uint64_t v1_room(const std::string& dir) {
  std::optional<std::string> stat = read_small_file(dir + "/memory.stat");
  if (!stat) return kNoMemoryBound;
  std::optional<std::uint64_t> limit = field(*stat, "hierarchical_memory_limit ");
  if (!limit) {
    std::optional<std::string> text = read_small_file(dir + "/memory.limit_in_bytes");
    if (text) limit = parse_number(*text);
  }
  if (!limit || *limit >= kUnlimitedV1) return kNoMemoryBound;
  return room_under(*limit, field(*stat, "total_rss ").value_or(0));
}

// cgroup v2: each group from the process's up to the root has its own `memory.max`.
std::uint64_t v2_room(const std::string& root, std::string path) {
  std::uint64_t room = kNoMemoryBound;
  for (;;) {
    std::string dir = root + path;
    std::optional<std::string> max = read_small_file(dir + "/memory.max");
    std::optional<std::uint64_t> limit = max ? parse_number(*max) : std::nullopt;  // "max": none
    if (limit) {
      std::optional<std::string> stat = read_small_file(dir + "/memory.stat");
      std::uint64_t anon = stat ? field(*stat, "anon ").value_or(0) : 0;
      room = std::min(room, room_under(*limit, anon));
    }
    if (path.empty() || path == "/") return room;
    std::size_t slash = path.rfind('/');
    path.resize(slash == std::string::npos ? 0 : slash);
  }
}

std::uint64_t cgroup_room(const MemorySources& sources) {
  std::optional<std::string> membership = read_small_file(sources.cgroup_membership);
  if (!membership) return kNoMemoryBound;
  std::uint64_t room = kNoMemoryBound;
  std::string_view text = *membership;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    // "hierarchy-id:controllers:path"
    std::size_t first = line.find(':');
    std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    std::string_view controllers = line.substr(first + 1, second - first - 1);
    std::string path(line.substr(second + 1));
    if (controllers.empty()) {
      // The unified hierarchy: mounted at the root, or beside the v1 ones as "unified".
      std::string root = sources.cgroup_root;
      if (::access((root + "/cgroup.controllers").c_str(), F_OK) != 0) root += "/unified";
      room = std::min(room, v2_room(root, path));
      continue;
    }
    for (std::string_view rest = controllers; !rest.empty();) {
      std::size_t comma = rest.find(',');
      if (rest.substr(0, comma) == "memory") {
        room = std::min(room, v1_room(sources.cgroup_root + "/memory" + path));
        break;
      }
      rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
    }
  }
  return room;
}

std::uint64_t available_memory(const std::string& meminfo) {
  std::optional<std::string> text = read_small_file(meminfo);
  if (!text) return kNoMemoryBound;
  std::optional<std::uint64_t> kib = field(*text, "MemAvailable:");
  if (!kib || *kib > kNoMemoryBound / 1024) return kNoMemoryBound;
  return *kib * 1024;
}

}  // namespace

MemorySources process_memory_sources() {
  MemorySources sources;
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return sources;
  // What is mapped already counts against the limit: the program, its stack and heap.
  std::uint64_t mapped = 0;
  if (std::optional<std::string> statm = read_small_file("/proc/self/statm")) {
    mapped = parse_number(*statm).value_or(0) * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  }
  sources.address_space_room = room_under(limit.rlim_cur, mapped + kAddressSpaceHeadroom);
  return sources;
}

std::uint64_t memory_budget(const MemorySources& sources) {
  return std::min({sources.address_space_room, cgroup_room(sources), available_memory(sources.meminfo)});
}

}  // namespace orvel
