// Working directory, path joining and report names: text only, no file system beyond getcwd.
#include "discovery/paths.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace orvel {

namespace {

// A first guess that fits nearly every working directory; getcwd tells us when it does not.
constexpr std::size_t kInitialCwdBytes = 256;

// Appends each component of `text` that is neither empty nor ".", each preceded by one "/".
void append_components(std::string& out, std::string_view text) {
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('/', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view piece = text.substr(start, end - start);
    if (!piece.empty() && piece != ".") {
      out += '/';
      out.append(piece);
    }
    start = end + 1;
  }
}

}  // namespace

Result<std::string, int> working_dir() {
  std::string buffer(kInitialCwdBytes, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) break;
    if (errno != ERANGE) return Err{errno};
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(buffer.find('\0'));
  return resolve_path("", buffer);
}

std::string resolve_path(std::string_view base, std::string_view path) {
  // The join always inserts one "/" between base and path; empty pieces vanish in the walk, so
  // there is no need to special-case an empty base, the root as base or an empty path.
  std::string out;
  if (!path.empty() && path.front() == '/') {
    out.reserve(path.size());
    append_components(out, path);
  } else {
    out.reserve(base.size() + 1 + path.size());
    append_components(out, base);
    append_components(out, path);
  }
  if (out.empty()) out.push_back('/');
  return out;
}

std::string display_name(std::string_view path, std::string_view working_dir) {
  if (working_dir == "/") return std::string(path.substr(path.empty() ? 0 : 1));
  if (path.size() > working_dir.size() && path.substr(0, working_dir.size()) == working_dir &&
      path[working_dir.size()] == '/') {
    return std::string(path.substr(working_dir.size() + 1));
  }
  return std::string(path);
}

}  // namespace orvel
