// Where orvel's time goes on one file: the steps of a rewrite timed one by one with the
// project's own library, in the order the tool runs them.
//
//   phases FILE   (the file is rewritten in place, exactly as orvel would rewrite it)
//
// Prints one line per step: "<step> <seconds>".
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "base/byte_buffer.h"
#include "bench/io.h"
#include "json/json_value.h"
#include "json/reader.h"
#include "json/writer.h"
#include "rules/sort_keys.h"

namespace {

constexpr std::size_t kPieceBytes = 512 * 1024;  // the piece size the tool writes

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Writes each rendered piece at the next offset, timing only the writing.
struct PieceWriter {
  int fd;
  std::size_t offset = 0;
  int error = 0;
  double seconds = 0;

  void put(std::string_view piece) {
    double start = now();
    std::size_t done = 0;
    while (error == 0 && done < piece.size()) {
      ssize_t n = ::pwrite(fd, piece.data() + done, piece.size() - done,
                           static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) error = n < 0 ? errno : EIO;
      else done += static_cast<std::size_t>(n);
    }
    offset += piece.size();
    seconds += now() - start;
  }

  static void take(void* context, std::string_view piece, bool) {
    static_cast<PieceWriter*>(context)->put(piece);
  }
};

int fail(const char* path, const char* what) {
  std::fprintf(stderr, "phases: %s: %s\n", path, what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: phases FILE  (FILE is rewritten in place: give it a copy)\n");
    return 2;
  }
  const char* path = argv[1];

  double t0 = now();
  Bytes bytes;
  if (read_whole(path, &bytes) != 0) return fail(path, std::strerror(errno));
  double t1 = now();

  // Each object is sorted as the reader closes it and the rest kept as read, as in the tool.
  orvel::Arena arena;
  orvel::SortScratch sort;
  orvel::EntryOrder order = orvel::natural_entry_order(sort);
  auto document = orvel::read_document(std::string_view(bytes.data, bytes.size), arena,
                                       orvel::ReadMode{&order, true});
  double t2 = now();
  if (!document.ok()) {
    std::string message = orvel::to_string(document.error());
    release_bytes(&bytes);
    return fail(path, message.c_str());
  }

  // Rendering and writing back interleave as in the tool: each piece of text goes into the
  // file as soon as it is rendered. Time spent inside the piece writes counts as writing.
  int fd = bytes.fd;
  PieceWriter writer{fd};
  orvel::ByteBuffer buffer;
  orvel::write_pretty_pieces(document.value(), "  ", "\n", buffer, kPieceBytes,
                             orvel::PieceSink{&PieceWriter::take, &writer});
  double t4_rendered = now();
  if (writer.error == 0 && ::ftruncate(fd, static_cast<off_t>(writer.offset)) != 0) writer.error = errno;
  double t5 = now();
  release_bytes(&bytes);
  if (writer.error != 0) return fail(path, std::strerror(writer.error));
  double write_time = writer.seconds + (t5 - t4_rendered);
  double t3 = t5 - write_time;

  std::printf("read %.6f\ndecode %.6f\nrender %.6f\nwrite %.6f\n", t1 - t0, t2 - t1, t3 - t2,
              t5 - t3);
  return 0;
}
