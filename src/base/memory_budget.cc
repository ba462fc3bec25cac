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
#include <utility>
#include <vector>

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

// Kept free below a control group's limit. Past its limit a group does not fail an allocation,
// it runs its out-of-memory killer; and some of what the group is charged is never metered:
// the kernel's own structures for the process (page tables, the tmpfs file's inode), the heap's
// small blocks, the stack, what is touched between two readings of the limits.
std::uint64_t limit_less_margin(std::uint64_t limit) {
  constexpr std::uint64_t kMarginFloor = 2u << 20;
  std::uint64_t margin = kMarginFloor + limit / 32;
  return room_under(limit, margin);
}

// Memory a group holds that only swap could take away: anonymous memory, and shared memory,
// which is where a tmpfs file's pages are counted.
std::uint64_t unreclaimable(std::string_view stat, std::string_view anon_key, std::string_view shmem_key) {
  return field(stat, anon_key).value_or(0) + field(stat, shmem_key).value_or(0);
}

// cgroup v1: the limit that holds for the group (its own or an ancestor's, whichever is lower)
// less what the group and its descendants hold.
std::uint64_t v1_room(const std::string& dir) {
  std::optional<std::string> stat = read_small_file(dir + "/memory.stat");
  if (!stat) return kNoMemoryBound;
  std::optional<std::uint64_t> limit = field(*stat, "hierarchical_memory_limit ");
  if (!limit) {
    std::optional<std::string> text = read_small_file(dir + "/memory.limit_in_bytes");
    if (text) limit = parse_number(*text);
  }
  if (!limit || *limit >= kUnlimitedV1) return kNoMemoryBound;
  return room_under(limit_less_margin(*limit), unreclaimable(*stat, "total_rss ", "total_shmem "));
}

// cgroup v2: each group from the process's up to the mount's root has its own `memory.max`.
std::uint64_t v2_room(const std::string& root, std::string path) {
  std::uint64_t room = kNoMemoryBound;
  for (;;) {
    std::string dir = root + path;
    std::optional<std::string> max = read_small_file(dir + "/memory.max");
    std::optional<std::uint64_t> limit = max ? parse_number(*max) : std::nullopt;  // "max": none
    if (limit) {
      std::optional<std::string> stat = read_small_file(dir + "/memory.stat");
      std::uint64_t held = stat ? unreclaimable(*stat, "anon ", "shmem ") : 0;
      room = std::min(room, room_under(limit_less_margin(*limit), held));
    }
    if (path.empty() || path == "/") return room;
    std::size_t slash = path.rfind('/');
    path.resize(slash == std::string::npos ? 0 : slash);
  }
}

// One control group hierarchy as mounted: `root` is the group the mount shows at `point`.
struct CgroupMount {
  bool unified;  // cgroup2; otherwise a v1 hierarchy with the memory controller
  std::string root;
  std::string point;
};

// A path field of the mount table, where the kernel writes space, tab, newline and backslash
// as three octal digits after a backslash.
std::string unescape_mount_path(std::string_view text) {
  std::string path;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && text.size() - i > 3) {
      int value = 0;
      bool octal = true;
      for (std::size_t k = 1; k <= 3; ++k) {
        if (text[i + k] < '0' || text[i + k] > '7') octal = false;
        value = value * 8 + (text[i + k] - '0');
      }
      if (octal) {
        path += static_cast<char>(value);
        i += 3;
        continue;
      }
    }
    path += text[i];
  }
  return path;
}

bool has_item(std::string_view list, std::string_view item) {
  while (!list.empty()) {
    std::size_t comma = list.find(',');
    if (list.substr(0, comma) == item) return true;
    list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
  }
  return false;
}

// The memory hierarchies in the mount table: "id parent dev root point options [tags] - type
// source super-options".
std::vector<CgroupMount> mounts_from_table(std::string_view table) {
  std::vector<CgroupMount> mounts;
  while (!table.empty()) {
    std::size_t end = table.find('\n');
    std::string_view line = table.substr(0, end);
    table.remove_prefix(end == std::string_view::npos ? table.size() : end + 1);
    std::vector<std::string_view> fields;
    for (std::string_view rest = line; !rest.empty();) {
      std::size_t space = rest.find(' ');
      fields.push_back(rest.substr(0, space));
      rest.remove_prefix(space == std::string_view::npos ? rest.size() : space + 1);
    }
    auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
    if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
    std::string_view type = dash[1];
    bool unified = type == "cgroup2";
    if (!unified && !(type == "cgroup" && has_item(dash[3], "memory"))) continue;
    mounts.push_back(CgroupMount{unified, unescape_mount_path(fields[3]), unescape_mount_path(fields[4])});
  }
  return mounts;
}

// Without a mount table: the usual layout under `cgroup_root`, each hierarchy showing its root.
std::vector<CgroupMount> usual_mounts(const std::string& cgroup_root) {
  // The unified hierarchy is mounted at the root, or beside the v1 ones as "unified".
  std::string unified = cgroup_root;
  if (::access((unified + "/cgroup.controllers").c_str(), F_OK) != 0) unified += "/unified";
  return {CgroupMount{false, "/", cgroup_root + "/memory"}, CgroupMount{true, "/", unified}};
}

// Where the group at `path` of a hierarchy is, as a mount point and the path below it. A
// container without its own cgroup namespace names the host's path for its group, while the
// mount shows that group as its root: the mount's root is taken off the path. Where the path
// still leads nowhere under any mount, the group is the mount point itself, as a container
// mounts it.
std::optional<std::pair<std::string, std::string>> locate_group(const std::vector<CgroupMount>& mounts,
                                                                bool unified, const std::string& path) {
  const CgroupMount* first = nullptr;
  for (const CgroupMount& mount : mounts) {
    if (mount.unified != unified) continue;
    if (first == nullptr) first = &mount;
    std::string root = mount.root == "/" ? std::string() : mount.root;
    if (path.compare(0, root.size(), root) != 0) continue;
    std::string below = path.substr(root.size());
    if (!below.empty() && below.front() != '/') continue;
    if (below == "/") below.clear();
    if (::access((mount.point + below).c_str(), F_OK) == 0) return std::make_pair(mount.point, below);
  }
  if (first == nullptr) return std::nullopt;
  return std::make_pair(first->point, std::string());
}

std::uint64_t cgroup_room(const MemorySources& sources) {
  std::optional<std::string> membership = read_small_file(sources.cgroup_membership);
  if (!membership) return kNoMemoryBound;
  std::optional<std::string> table = read_small_file(sources.mountinfo);
  std::vector<CgroupMount> mounts = table ? mounts_from_table(*table) : usual_mounts(sources.cgroup_root);
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
    bool unified = controllers.empty();
    if (!unified && !has_item(controllers, "memory")) continue;
    auto group = locate_group(mounts, unified, std::string(line.substr(second + 1)));
    if (!group) continue;
    room = std::min(room, unified ? v2_room(group->first, group->second) : v1_room(group->first + group->second));
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

std::uint64_t address_space_room() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kNoMemoryBound;
  // What is mapped already counts against the limit: the program, its stack and heap.
  std::uint64_t mapped = 0;
  if (std::optional<std::string> statm = read_small_file("/proc/self/statm")) {
    mapped = parse_number(*statm).value_or(0) * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  }
  return room_under(limit.rlim_cur, mapped + kAddressSpaceHeadroom);
}

std::uint64_t memory_budget(const MemorySources& sources) {
  return std::min(cgroup_room(sources), available_memory(sources.meminfo));
}

}  // namespace orvel
