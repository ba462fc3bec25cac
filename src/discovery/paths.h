// Purely textual path handling: absolute normalised paths and the names files are reported by.
#ifndef ORVEL_DISCOVERY_PATHS_H_
#define ORVEL_DISCOVERY_PATHS_H_

#include <string>
#include <string_view>

#include "base/result.h"

namespace orvel {

// The process's working directory as the system reports it (links resolved), normalised. On
// failure, the error number.
Result<std::string, int> working_dir();

// `path` joined to `base` unless it is absolute, with empty and "." components dropped. ".." is
// kept as it stands: it is never collapsed, since a link before it would change its meaning.
std::string resolve_path(std::string_view base, std::string_view path);

// The report name of `path`: relative to `working_dir` when it lies textually below it, else
// the whole path.
std::string display_name(std::string_view path, std::string_view working_dir);

}  // namespace orvel

#endif  // ORVEL_DISCOVERY_PATHS_H_
