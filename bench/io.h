// File selection, whole-file reads and in-place rewrites shared by the benchmark's own programs,
// so that the floor and the peers pay for exactly the same system calls.
#ifndef ORVEL_BENCH_IO_H_
#define ORVEL_BENCH_IO_H_

#include <stddef.h>
#include <sys/stat.h>

#ifdef __cplusplus
extern "C" {
#endif

struct Bytes {
  char* data;            // 64 spare bytes past `size`: a terminator, and orvel's padding
  size_t size;
  size_t held;           // the bytes allocated at `data`
  int fd;                // open read-write from read_whole until write_back or release_bytes
  struct stat as_read;   // the file's status when it was opened
};

struct PathList {
  char** paths;  // malloc'ed strings
  size_t count;
};

// The files that one command-line path selects: the path itself when it is a regular file, the
// regular `*.json` files directly inside it (sorted by name) when it is a directory, otherwise
// nothing. Returns -1 with errno set when a directory cannot be listed.
int select_files(const char* path, struct PathList* out);
void free_path_list(struct PathList* list);

// orvel's read: open read-write, fstat, one read of the size plus one byte (a short read that
// reaches the size is the end; otherwise read on until end of file), EINTR retried. The file is
// left open for write_back. Returns -1 with errno set on failure (nothing is left to release).
int read_whole(const char* path, struct Bytes* file);

// orvel's write-back through the descriptor read_whole opened: stat of the path (it must still
// lead to the file as read, else EBUSY), fallocate of the part beyond the old length (keeping the
// size) only when the new text is longer, pwrite from offset 0 (EINTR retried), ftruncate only
// when the new text is shorter, close. Frees nothing. Returns -1 with errno set on failure.
int write_back(const char* path, struct Bytes* file, const char* data, size_t size);

// write_back for a text of `size` bytes handed over in pieces, as orvel writes what it renders:
// `piece` (of `piece_size` bytes; the last piece is a prefix of it) is written again and again,
// each piece beyond the old length reserved before it is written.
int write_back_pieces(const char* path, struct Bytes* file, const char* piece, size_t piece_size,
                      size_t size);

// Closes the descriptor if it is still open and frees the bytes.
void release_bytes(struct Bytes* file);

#ifdef __cplusplus
}
#endif

#endif  // ORVEL_BENCH_IO_H_
