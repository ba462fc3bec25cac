// File selection, whole-file reads and in-place rewrites for the benchmark's own programs.
#define _GNU_SOURCE
#include "io.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int push_path(struct PathList* list, size_t* capacity, char* path) {
  if (list->count == *capacity) {
    size_t grown = *capacity ? *capacity * 2 : 64;
    char** paths = realloc(list->paths, grown * sizeof *paths);
    if (!paths) return -1;
    list->paths = paths;
    *capacity = grown;
  }
  list->paths[list->count++] = path;
  return 0;
}

static int compare_paths(const void* a, const void* b) {
  return strcmp(*(char* const*)a, *(char* const*)b);
}

static int ends_with_json(const char* name) {
  size_t n = strlen(name);
  return n >= 5 && memcmp(name + n - 5, ".json", 5) == 0;
}

static int list_directory(const char* dir_path, struct PathList* out, size_t* capacity) {
  DIR* dir = opendir(dir_path);
  if (!dir) return -1;
  size_t dir_len = strlen(dir_path);
  struct dirent* entry;
  int status = 0;
  while (status == 0 && (entry = readdir(dir)) != NULL) {
    if (!ends_with_json(entry->d_name)) continue;
    size_t name_len = strlen(entry->d_name);
    char* path = malloc(dir_len + 1 + name_len + 1);
    if (!path) {
      status = -1;
      break;
    }
    memcpy(path, dir_path, dir_len);
    path[dir_len] = '/';
    memcpy(path + dir_len + 1, entry->d_name, name_len + 1);
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
      free(path);
      continue;
    }
    if (push_path(out, capacity, path) != 0) {
      free(path);
      status = -1;
    }
  }
  int saved = errno;
  closedir(dir);
  errno = saved;
  if (status == 0) qsort(out->paths, out->count, sizeof *out->paths, compare_paths);
  return status;
}

int select_files(const char* path, struct PathList* out) {
  out->paths = NULL;
  out->count = 0;
  size_t capacity = 0;
  struct stat st;
  if (stat(path, &st) != 0) return 0;  // a missing path selects nothing
  if (S_ISDIR(st.st_mode)) return list_directory(path, out, &capacity);
  if (!S_ISREG(st.st_mode)) return 0;
  char* copy = strdup(path);
  if (!copy || push_path(out, &capacity, copy) != 0) {
    free(copy);
    return -1;
  }
  return 0;
}

void free_path_list(struct PathList* list) {
  for (size_t i = 0; i < list->count; ++i) free(list->paths[i]);
  free(list->paths);
  list->paths = NULL;
  list->count = 0;
}

int read_whole(const char* path, struct Bytes* out) {
  out->data = NULL;
  out->size = 0;
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  size_t capacity = 4096;
  if (fstat(fd, &st) == 0 && st.st_size > 0) capacity = (size_t)st.st_size + 1;
  char* data = malloc(capacity + 1);
  if (!data) {
    close(fd);
    errno = ENOMEM;
    return -1;
  }
  size_t size = 0;
  for (;;) {
    if (size == capacity) {
      size_t grown = capacity * 2;
      char* bigger = realloc(data, grown + 1);
      if (!bigger) {
        free(data);
        close(fd);
        errno = ENOMEM;
        return -1;
      }
      data = bigger;
      capacity = grown;
    }
    ssize_t n = read(fd, data + size, capacity - size);
    if (n < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      free(data);
      close(fd);
      errno = saved;
      return -1;
    }
    if (n == 0) break;
    size += (size_t)n;
  }
  close(fd);
  out->data = data;
  out->size = size;
  return 0;
}

int write_back(const char* path, const char* data, size_t size) {
  int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  // orvel checks the file's kind and reserves the new text's blocks before it overwrites
  // anything; the floor and the peer pay for the same calls.
  struct stat st;
  if (fstat(fd, &st) != 0 ||
      (size > 0 && fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, (off_t)size) != 0 &&
       errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL)) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(fd, data + done, size - done, (off_t)done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      close(fd);
      errno = saved;
      return -1;
    }
    if (n == 0) {
      close(fd);
      errno = EIO;
      return -1;
    }
    done += (size_t)n;
  }
  if (ftruncate(fd, (off_t)size) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  close(fd);
  return 0;
}

// pwrite of all of `data` at `offset`, EINTR retried; a write that accepts nothing is EIO.
static int pwrite_all(int fd, const char* data, size_t size, size_t offset) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(fd, data + done, size - done, (off_t)(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    done += (size_t)n;
  }
  return 0;
}

int write_back_pieces(const char* path, const char* piece, size_t piece_size, size_t size) {
  int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  int failed = fstat(fd, &st) != 0;
  size_t old_size = failed ? 0 : (size_t)st.st_size;
  for (size_t written = 0; !failed && written < size; written += piece_size) {
    size_t n = size - written < piece_size ? size - written : piece_size;
    // Like orvel, only the part of a piece beyond the old length gets new blocks reserved.
    size_t from = written > old_size ? written : old_size;
    if (written + n > from && fallocate(fd, FALLOC_FL_KEEP_SIZE, (off_t)from, (off_t)(written + n - from)) != 0 &&
        errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL) {
      failed = 1;
      break;
    }
    failed = pwrite_all(fd, piece, n, written) != 0;
  }
  if (!failed) failed = ftruncate(fd, (off_t)size) != 0;
  int saved = errno;
  close(fd);
  errno = saved;
  return failed ? -1 : 0;
}
