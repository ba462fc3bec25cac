// Fuzz target: path resolution always yields a normalised path no longer than what was joined,
// matches a slow split-and-join twin, and display names lead back to the path they name.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "discovery/paths.h"
#include "fuzz/fuzz_split.h"

namespace orvel {
namespace {

using fuzz::require;

// Begins with '/', no empty or "." component, no trailing '/' unless it is the root alone.
bool is_normalised(std::string_view path) {
  if (path.empty() || path[0] != '/') return false;
  if (path == "/") return true;
  std::size_t start = 1;
  for (;;) {
    std::size_t end = path.find('/', start);
    std::string_view piece = path.substr(start, end == std::string_view::npos ? end : end - start);
    if (piece.empty() || piece == ".") return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

// The slow twin: split at every '/', drop empty and "." pieces, put a '/' before each kept one.
std::string normalise(std::string_view joined) {
  std::string out;
  std::size_t start = 0;
  while (start <= joined.size()) {
    std::size_t end = joined.find('/', start);
    if (end == std::string_view::npos) end = joined.size();
    std::string_view piece = joined.substr(start, end - start);
    if (!piece.empty() && piece != ".") {
      out += '/';
      out += piece;
    }
    start = end + 1;
  }
  return out.empty() ? std::string("/") : out;
}

std::string join(std::string_view base, std::string_view path) {
  if (!path.empty() && path[0] == '/') return std::string(path);
  return std::string(base) + "/" + std::string(path);
}

void check_resolve(std::string_view base, std::string_view path) {
  std::string resolved = resolve_path(base, path);
  std::string joined = join(base, path);
  require(is_normalised(resolved));
  require(resolved.size() <= joined.size());
  require(resolved == normalise(joined));
  // A normalised absolute path resolves to itself, whatever the base.
  require(resolve_path(base, resolved) == resolved);
  require(resolve_path("", resolved) == resolved);
}

// Any normalised path comes back from its display name; one below the working directory is
// named by the rest after the directory and its '/'.
void check_display(std::string_view path, std::string_view cwd) {
  std::string name = display_name(path, cwd);
  require(resolve_path(cwd, name) == path);
  bool below = cwd == "/" ? true
                          : path.size() > cwd.size() && path.substr(0, cwd.size()) == cwd &&
                                path[cwd.size()] == '/';
  if (below) {
    require(name == path.substr(cwd == "/" ? 1 : cwd.size() + 1));
  } else {
    require(name == path);
  }
}

void fuzz_one(const std::array<std::string_view, 4>& parts) {
  std::string_view flags = parts[0];
  bool empty_base = !flags.empty() && (static_cast<unsigned char>(flags[0]) & 1) != 0;
  std::string base = empty_base ? std::string() : normalise(parts[1]);
  std::string_view path = parts[2];
  std::string cwd = normalise(parts[3]);

  check_resolve(base, path);
  check_display(resolve_path(base, path), cwd);

  // The same bytes taken relative to the working directory always lie below it (or are it).
  std::string_view relative = path;
  while (!relative.empty() && relative[0] == '/') relative.remove_prefix(1);
  std::string inside = resolve_path(cwd, relative);
  check_display(inside, cwd);
  if (inside != cwd) {
    std::string name = display_name(inside, cwd);
    require(!name.empty() && name[0] != '/');
  }
}

}  // namespace
}  // namespace orvel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orvel::fuzz_one(orvel::fuzz::split_input<4>(data, size));
  return 0;
}
