// The run: every candidate read, decoded, sorted and rewritten in place, then the report.
#include "main/lint_run.h"

#include <array>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/arena.h"
#include "base/byte_buffer.h"
#include "base/memory_meter.h"
#include "base/os_error.h"
#include "discovery/find_files.h"
#include "discovery/paths.h"
#include "io/file_ops.h"
#include "io/held_file.h"
#include "io/io_error.h"
#include "io/overwrite.h"
#include "json/reader.h"
#include "json/writer.h"
#include "main/interrupts.h"
#include "natural/natural.h"
#include "rules/rules.h"
#include "rules/sort_keys.h"

namespace orvel {

namespace {

constexpr std::size_t kPieceBytes = 512 * 1024;  // large enough that write calls cost nothing
constexpr std::string_view kIndent = "  ";

std::string io_failure(const IoError& error) { return "IOError: " + to_string(error); }

[[noreturn]] void fail_fatally(std::string_view message) {
  (void)write_all(2, message);
  std::exit(1);
}

// The document's canonical text and one line feed, rendered into `text` a piece at a time.
// The sorted-keys rule is judged on the keys as they are written.
struct Rendering {
  const JsonValue& document;
  ByteBuffer& text;
  KeyOrderCheck keys{&entries_in_natural_order, &keys_in_natural_order};

  static void render(void* context, PieceSink sink) {
    auto& rendering = *static_cast<Rendering*>(context);
    rendering.keys.out_of_order = false;  // a rendering that starts again judges again
    write_pretty_pieces(rendering.document, kIndent, "\n", rendering.text, kPieceBytes, sink, &rendering.keys);
  }
};

// Everything the rewrite needs is held, and touched, before the first byte goes to the file:
// running out of memory later, or being charged for fresh pages under a control group's limit,
// would leave the file half rewritten.
void hold_text_buffer(ByteBuffer& text) {
  text.reserve(pieces_buffer_bytes(kPieceBytes));
  text.populate(text.capacity());
}

Result<FixedFile, std::string> lint_file_unguarded(const std::string& path, FileScratch& scratch) {
  // The previous file's document dies here: it pointed into these very buffers.
  scratch.arena.reset();
  scratch.bytes.clear();
  scratch.text.clear();

  const FileOps& ops = *scratch.file_ops;
  HeldFile file;
  std::optional<IoError> unread = read_whole_file(ops, path, file, scratch.bytes, &cannot_begin_json, kReadPadding);
  if (unread) return Err{io_failure(*unread)};
  EntryOrder order = natural_entry_order(scratch.sort);
  // Only objects move, and the document is only written out again: the rest stays as read.
  Result<JsonValue, DecodeError> read =
      read_document(scratch.bytes.view(), scratch.arena, ReadMode{&order, true});
  trim_sort_scratch(scratch.sort);
  if (!read.ok()) {
    // Bytes caught half way through another program's write are not the file's error.
    std::optional<IoError> changed = check_unchanged(ops, file, scratch.bytes.view(), nullptr);
    if (changed && changed->kind == IoErrorKind::Changed) return Err{io_failure(*changed)};
    return Err{"JSONDecodeError: " + to_string(read.error())};
  }
  JsonValue document = std::move(read).value();
  if (file.write_refused == 0) hold_text_buffer(scratch.text);
  Rendering rendering{document, scratch.text};
  // A file whose pages are memory takes more of it as it grows, charged to this process's group.
  OverwriteOptions options{ops, scratch.devices, &charge_memory};
  // Fatal signals wait until the file is old or new again.
  RewriteInProgress rewriting;
  if (std::optional<IoError> failure =
          overwrite_file(path, file, scratch.bytes.view(), NewText{&Rendering::render, &rendering}, options)) {
    return Err{io_failure(*failure)};
  }
  return FixedFile{std::move(document), !rendering.keys.out_of_order};
}

// Appends the results of one candidate to `results`: the two rules' on the fixed document, or
// the one failure.
void judge(const std::string& path, FileScratch& scratch, std::vector<RuleResult>& results) {
  Result<FixedFile, std::string> linted = lint_file(path, scratch);
  if (!linted.ok()) {
    results.push_back(RuleResult{"lint_file", fail(std::move(linted.error()))});
    return;
  }
  // Memory running out here is the run's, not the file's: it ends the run.
  for (RuleResult& result : evaluate_rules(linted.value().keys_sorted)) results.push_back(std::move(result));
}

}  // namespace

Result<FixedFile, std::string> lint_file(const std::string& path, FileScratch& scratch) {
  // The one catch around a file's processing: memory running out while its bytes are gathered,
  // decoded, sorted or rendered fails this file alone, its bytes untouched, and every block the
  // scratch holds goes back, so that the next file starts with the memory it took; the file
  // calls stay those the run was given.
  try {
    return lint_file_unguarded(path, scratch);
  } catch (const std::bad_alloc&) {
    const FileOps* ops = scratch.file_ops;
    std::destroy_at(&scratch);
    std::construct_at(&scratch);
    scratch.file_ops = ops;
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
