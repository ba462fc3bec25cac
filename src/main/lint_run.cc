// The run: every candidate read, decoded, sorted and rewritten in place, then the report.
#include "main/lint_run.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/byte_buffer.h"
#include "base/os_error.h"
#include "discovery/find_files.h"
#include "discovery/paths.h"
#include "json/reader.h"
#include "main/rewrite.h"
#include "rules/rules.h"
#include "rules/sort_keys.h"

namespace orvel {

namespace {

std::string io_failure(const IoError& error) { return "IOError: " + to_string(error); }

[[noreturn]] void fail_fatally(std::string_view message) {
  (void)write_all(2, message);
  std::exit(1);
}

Result<JsonValue, std::string> lint_file_unguarded(const std::string& path, FileScratch& scratch,
                                                   const std::function<void()>* before_write_back) {
  // The previous file's document dies here: it pointed into these very buffers.
  scratch.arena.reset();
  scratch.bytes.clear();
  scratch.text.clear();

  HeldFile file;
  if (std::optional<IoError> failure = read_whole_file(path, file, scratch.bytes)) {
    return Err{io_failure(*failure)};
  }
  Result<JsonValue, DecodeError> read = read_document(scratch.bytes.view(), scratch.arena);
  if (!read.ok()) return Err{"JSONDecodeError: " + to_string(read.error())};
  JsonValue document = std::move(read).value();

  sort_keys(document, scratch.sort);
  if (before_write_back != nullptr) (*before_write_back)();
  if (std::optional<IoError> failure = rewrite_file(path, file, scratch.bytes.view(), document, scratch.text)) {
    return Err{io_failure(*failure)};
  }
  return document;
}

// Gives back every block the scratch holds, so that the next file starts with the memory the
// failed one took.
void release(FileScratch& scratch) {
  std::destroy_at(&scratch);
  std::construct_at(&scratch);
}

// Appends the results of one candidate to `results`: the two rules' on the fixed document, or
// the one failure.
void judge(const std::string& path, FileScratch& scratch, std::vector<RuleResult>& results) {
  Result<JsonValue, std::string> linted = lint_file(path, scratch);
  if (linted.ok()) {
    std::optional<std::array<RuleResult, 2>> judged;
    try {
      judged.emplace(evaluate_rules(linted.value()));
    } catch (const std::bad_alloc&) {
      release(scratch);
      linted = Err{io_failure(IoError{IoErrorKind::OutOfMemory})};
    }
    if (judged) {
      // Memory running out here is the run's, not the file's: it ends the run.
      for (RuleResult& result : *judged) results.push_back(std::move(result));
      return;
    }
  }
  results.push_back(RuleResult{"lint_file", fail(std::move(linted.error()))});
}

}  // namespace

Result<JsonValue, std::string> lint_file(const std::string& path, FileScratch& scratch,
                                         const std::function<void()>* before_write_back) {
  // One catch around the whole of a file's processing: memory can run out while its bytes are
  // gathered, decoded, sorted or rendered, and each fails this file alone, its bytes untouched.
  try {
    return lint_file_unguarded(path, scratch, before_write_back);
  } catch (const std::bad_alloc&) {
    release(scratch);
  }
  return Err{io_failure(IoError{IoErrorKind::OutOfMemory})};
}

int LintRun(const std::vector<std::string>& arguments, ReportStream& out) {
  Result<std::string, int> cwd = working_dir();
  if (!cwd.ok()) {
    fail_fatally("orvel: cannot get the working directory: " + os_error_text(cwd.error()) + "\n");
  }
  const std::string& working_directory = cwd.value();
  std::vector<std::string> candidates = find_files(arguments, working_directory);
  if (candidates.empty()) {
    out.write("No files found.\n");
    return 1;
  }

  FileSet files;
  FileScratch scratch;  // one for the whole run: later files reuse memory that is already mapped
  for (const std::string& path : candidates) {
    // The entry exists before the file is read, so a file that fails still has its line.
    std::vector<RuleResult>& results = files[display_name(path, working_directory)];
    judge(path, scratch, results);
  }

  ReportCounts counts = print_report(out, files);
  return counts.passed == counts.total ? 0 : 1;
}

}  // namespace orvel
