// One run of the tool: discovery, every file read, fixed and rewritten, then the report.
#ifndef ORVEL_MAIN_LINT_RUN_H_
#define ORVEL_MAIN_LINT_RUN_H_

#include <string>
#include <vector>

#include "base/byte_buffer.h"
#include "base/result.h"
#include "io/file_ops.h"
#include "json/json_value.h"
#include "main/report.h"
#include "rules/sort_keys.h"

namespace orvel {

// Memory that one file's turn uses, kept from file to file so that later files reuse pages that
// are already mapped. Nothing in it outlives a file's turn as far as results are concerned.
struct FileScratch {
  ByteBuffer bytes;   // the file as read; unescaped strings of the document point into it
  Arena arena;        // the document's containers and decoded strings
  ByteBuffer text;    // the new text, one piece at a time
  SortScratch sort;   // the key sort's buffers
  DeviceCache devices;  // the file systems met so far, each asked for its type once
  const FileOps* file_ops = &system_file_ops();  // every file call goes through these; tests put theirs
};

// A file read, fixed and rewritten: its document (valid until the scratch is reused) and
// whether every object's keys were in natural order as they were written.
struct FixedFile {
  JsonValue document;
  bool keys_sorted;
};

// Reads, decodes, sorts and rewrites the file at the absolute `path`. Returns the fixed file or
// the message of the file's single failed result, which begins "IOError: " or
// "JSONDecodeError: ". A file that fails keeps its old bytes. Running out of memory fails the
// file and gives back what `scratch` held.
Result<FixedFile, std::string> lint_file(const std::string& path, FileScratch& scratch);

// The whole run over `arguments` (non-empty, none an option). Returns the exit status, 0 or 1.
// If the working directory cannot be obtained, writes the error to standard error and ends the
// process. Memory running out outside a file's processing throws std::bad_alloc.
int LintRun(const std::vector<std::string>& arguments, ReportStream& out);

}  // namespace orvel

#endif  // ORVEL_MAIN_LINT_RUN_H_
