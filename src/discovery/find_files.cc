// Turning path arguments into the list of files a run processes.
#include "discovery/find_files.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "discovery/paths.h"

namespace orvel {

namespace {

constexpr std::string_view kJsonSuffix = ".json";

// Follows links: a link to a regular file counts as one, a dangling link as nothing. Only the
// status is asked for, so a FIFO or device is never opened and cannot make the run block.
bool is_regular_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The listing already gives the type of most entries: a regular file needs no status call (a
// system call a file saved over a directory of small files), and a directory, FIFO, device or
// socket is passed over. Links, and entries whose type the file system does not give, are
// looked up, following links. An entry whose status cannot be queried is passed over too, as a
// link's or an unknown entry's always was, so the listing's word is taken only for a directory
// whose entries are known to be open to a status call: see `ListingTrust`.
enum class ListingTrust {
  Unproven,  // no regular file of the directory looked up yet
  Proven,    // one was: the directory can be searched, so the listing's types stand
  Refused,   // one could not be: each entry is looked up, and what fails is passed over
};

// Whether the entry of `type` at `path` is selected, proving or refusing the listing's word on
// the directory's first regular file. The proof holds for the whole directory, since a status
// call needs search permission on the directories above the entry and nothing of the entry
// itself; only a path too long for a system call is looked up (and passed over) on its own.
bool is_listed_regular_file(unsigned char type, const std::string& path, ListingTrust& trust) {
  if (type != DT_REG) return (type == DT_LNK || type == DT_UNKNOWN) && is_regular_file(path);
  if (trust == ListingTrust::Proven && path.size() < PATH_MAX) return true;
  if (trust == ListingTrust::Refused || path.size() >= PATH_MAX) return is_regular_file(path);
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    trust = ListingTrust::Proven;
    return S_ISREG(st.st_mode);
  }
  // An entry removed since it was listed says nothing about the others; anything else (the
  // directory may be listed but not searched, say) may hold for them all.
  if (errno != ENOENT) trust = ListingTrust::Refused;
  return false;
}

bool has_json_name(std::string_view name) {
  return name.size() >= kJsonSuffix.size() &&
         name.substr(name.size() - kJsonSuffix.size()) == kJsonSuffix;
}

}  // namespace

std::vector<std::string> find_files(const std::vector<std::string>& arguments,
                                    std::string_view working_dir) {
  std::vector<std::string> candidates;
  for (const std::string& argument : arguments) {
    std::string path = resolve_path(working_dir, argument);
    if (is_regular_file(path)) {
      candidates.push_back(std::move(path));
      continue;
    }
    // Missing paths and special files go here too; opendir refuses them and they add nothing.
    std::vector<std::string> listed = list_json_files(path);
    candidates.insert(candidates.end(), std::make_move_iterator(listed.begin()),
                      std::make_move_iterator(listed.end()));
  }
  return candidates;
}

std::vector<std::string> list_json_files(std::string_view directory) {
  std::vector<std::string> files;
  const std::string dir_path(directory);
  DIR* dir = ::opendir(dir_path.c_str());
  if (dir == nullptr) return files;
  std::string entry_path;
  ListingTrust trust = ListingTrust::Unproven;
  // A read error and the end of the listing both come back as nullptr; either way what was
  // taken so far is kept and the listing stops.
  while (const struct dirent* entry = ::readdir(dir)) {
    std::string_view name(entry->d_name, std::strlen(entry->d_name));
    if (name == "." || name == ".." || !has_json_name(name)) continue;
    // The directory is already normalised and a listed name holds no "/", so joining them is
    // all that resolving would do; the root is the one directory that already ends in "/".
    entry_path = dir_path;
    if (entry_path.back() != '/') entry_path += '/';
    entry_path.append(name);
    if (!is_listed_regular_file(entry->d_type, entry_path, trust)) continue;
    files.push_back(entry_path);
  }
  // Closed before the caller looks at the next argument: one directory handle at a time.
  ::closedir(dir);
  std::stable_sort(files.begin(), files.end());
  return files;
}

}  // namespace orvel
