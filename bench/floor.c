// The I/O floor: reads every selected file whole and rewrites it in place, unparsed, with the
// same system calls as orvel. No JSON tool can be faster than this on the same files.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "io.h"

static int rewrite_file(const char* path) {
  struct Bytes bytes;
  if (read_whole(path, &bytes) != 0) {
    fprintf(stderr, "floor: %s: %s\n", path, strerror(errno));
    return 1;
  }
  int status = 0;
  if (write_back(path, bytes.data, bytes.size) != 0) {
    fprintf(stderr, "floor: %s: %s\n", path, strerror(errno));
    status = 1;
  }
  free(bytes.data);
  return status;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: floor PATH...\n");
    return 2;
  }
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    struct PathList files;
    if (select_files(argv[i], &files) != 0) {
      fprintf(stderr, "floor: %s: %s\n", argv[i], strerror(errno));
      return 1;
    }
    for (size_t k = 0; k < files.count; ++k) status |= rewrite_file(files.paths[k]);
    free_path_list(&files);
  }
  return status;
}
