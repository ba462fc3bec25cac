// The I/O floor: reads every selected file whole and rewrites it in place, unparsed, with the
// same system calls as orvel. No JSON tool can be faster than this on the same files.
//
//   floor PATH...
//   floor --sizes SIZES PATH...
//
// With --sizes, each file is rewritten with as many bytes as SIZES gives for it (one decimal
// number a line, in the order the files are selected; orvel's output sizes): the least that
// writing the new text costs, since pretty text is larger than the minified text it replaces.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "io.h"

struct Sizes {
  FILE* file;  // null when files are written back at their own size
};

// The number of bytes to write for the next file, or -1 when the list has ended or is unreadable.
static long long next_size(struct Sizes* sizes, size_t own) {
  if (sizes->file == NULL) return (long long)own;
  long long size;
  if (fscanf(sizes->file, "%lld", &size) != 1 || size < 0) return -1;
  return size;
}

// orvel hands its text to the file in pieces of this size as it renders it.
enum { kPieceBytes = 512 * 1024 };

// One piece of text for a file whose new text has `size` bytes: the bytes that were read,
// repeated. What is written matters less than how much, and through how many calls.
static char* piece_for(const struct Bytes* bytes, size_t size) {
  size_t piece_size = size < kPieceBytes ? size : kPieceBytes;
  char* piece = malloc(piece_size + 1);
  if (piece == NULL) return NULL;
  size_t done = 0;
  while (done < piece_size && bytes->size > 0) {
    size_t n = bytes->size < piece_size - done ? bytes->size : piece_size - done;
    memcpy(piece + done, bytes->data, n);
    done += n;
  }
  memset(piece + done, ' ', piece_size - done);
  return piece;
}

static int rewrite_file(const char* path, struct Sizes* sizes) {
  struct Bytes bytes;
  if (read_whole(path, &bytes) != 0) {
    fprintf(stderr, "floor: %s: %s\n", path, strerror(errno));
    return 1;
  }
  int status = 0;
  long long size = next_size(sizes, bytes.size);
  if (size < 0) {
    fprintf(stderr, "floor: no size for %s in the size list\n", path);
    release_bytes(&bytes);
    return 1;
  }
  if (sizes->file == NULL) {
    if (write_back(path, &bytes, bytes.data, bytes.size) != 0) {
      fprintf(stderr, "floor: %s: %s\n", path, strerror(errno));
      status = 1;
    }
  } else {
    char* piece = piece_for(&bytes, (size_t)size);
    if (piece == NULL || write_back_pieces(path, &bytes, piece, kPieceBytes, (size_t)size) != 0) {
      fprintf(stderr, "floor: %s: %s\n", path, strerror(piece == NULL ? ENOMEM : errno));
      status = 1;
    }
    free(piece);
  }
  release_bytes(&bytes);
  return status;
}

int main(int argc, char** argv) {
  struct Sizes sizes = {NULL};
  int first = 1;
  if (argc > 1 && strcmp(argv[1], "--sizes") == 0) {
    if (argc < 4) {
      fprintf(stderr, "usage: floor [--sizes SIZES] PATH...\n");
      return 2;
    }
    sizes.file = fopen(argv[2], "r");
    if (sizes.file == NULL) {
      fprintf(stderr, "floor: %s: %s\n", argv[2], strerror(errno));
      return 1;
    }
    first = 3;
  }
  if (argc <= first) {
    fprintf(stderr, "usage: floor [--sizes SIZES] PATH...\n");
    return 2;
  }
  int status = 0;
  for (int i = first; i < argc; ++i) {
    struct PathList files;
    if (select_files(argv[i], &files) != 0) {
      fprintf(stderr, "floor: %s: %s\n", argv[i], strerror(errno));
      return 1;
    }
    for (size_t k = 0; k < files.count; ++k) status |= rewrite_file(files.paths[k], &sizes);
    free_path_list(&files);
  }
  if (sizes.file != NULL) fclose(sizes.file);
  return status;
}
