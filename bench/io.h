// File selection, whole-file reads and in-place rewrites shared by the benchmark's own programs,
// so that the floor and the peers pay for exactly the same system calls.
#ifndef ORVEL_BENCH_IO_H_
#define ORVEL_BENCH_IO_H_

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct Bytes {
  char* data;   // malloc'ed; one spare byte past `size` so that callers may terminate it
  size_t size;
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

// open, fstat for the initial capacity, read until end of file (EINTR retried), close.
// Returns -1 with errno set on failure.
int read_whole(const char* path, struct Bytes* out);

// open O_WRONLY without truncation, fstat, fallocate the new length (keeping the size), pwrite
// from offset 0 until everything is written (EINTR retried), ftruncate to the new length, close. Returns -1 with errno set on failure.
int write_back(const char* path, const char* data, size_t size);

// write_back for a text of `size` bytes handed over in pieces, as orvel writes what it renders:
// per piece of at most `piece_size` bytes (all taken from `piece`, whatever the text would
// hold), fallocate for the part beyond the old length, then pwrite; ftruncate at the end.
int write_back_pieces(const char* path, const char* piece, size_t piece_size, size_t size);

#ifdef __cplusplus
}
#endif

#endif  // ORVEL_BENCH_IO_H_
