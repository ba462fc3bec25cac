// Which files a run processes, in what order, and the map their results are gathered in.
#ifndef ORVEL_DISCOVERY_FIND_FILES_H_
#define ORVEL_DISCOVERY_FIND_FILES_H_

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "rules/rules.h"

namespace orvel {

// Display name -> results, in unsigned byte order of names (std::string's own order).
using FileSet = std::map<std::string, std::vector<RuleResult>>;

// The candidate list: for each argument in order, the regular file it names, or else the JSON
// files directly inside the directory it names. Duplicates are kept; nothing here fails.
std::vector<std::string> find_files(const std::vector<std::string>& arguments,
                                    std::string_view working_dir);

// Absolute paths of the regular files (links followed) directly in `directory` whose names end
// in ".json", in byte order; empty when the directory cannot be listed.
std::vector<std::string> list_json_files(std::string_view directory);

}  // namespace orvel

#endif  // ORVEL_DISCOVERY_FIND_FILES_H_
