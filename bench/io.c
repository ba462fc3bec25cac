// File selection, whole-file reads and in-place rewrites for the benchmark's own programs.
#define _GNU_SOURCE
#include "io.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
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

// Readable bytes past the data: one for a terminator, and the padding orvel's reader and writer
// rely on, which read up to 32 bytes past a value (the phases tool runs them on these bytes).
enum { kSpareBytes = 64 };

// The buffer is held as orvel holds its own: from 256 KiB on, a mapping in whole 2 MiB huge pages
// where the kernel has them, below that from malloc. Where small pages are dear (a hypervisor
// that shadows the guest's page tables traps on each), a floor in small pages would charge the
// floor for what orvel does not pay.
enum { kMappedBytes = 256 * 1024 };
static const size_t kHugePageBytes = (size_t)2 << 20;

static size_t mapped_length(size_t bytes) { return (bytes + kHugePageBytes - 1) & ~(kHugePageBytes - 1); }

static char* allocate_block(size_t bytes) {
  if (bytes < kMappedBytes) return malloc(bytes);
  void* block = mmap(NULL, mapped_length(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return NULL;
  (void)madvise(block, mapped_length(bytes), MADV_HUGEPAGE);
  return block;
}

static void free_block(char* block, size_t bytes) {
  if (block == NULL) return;
  if (bytes < kMappedBytes) {
    free(block);
  } else {
    munmap(block, mapped_length(bytes));
  }
}

int read_whole(const char* path, struct Bytes* file) {
  file->data = NULL;
  file->size = 0;
  file->held = 0;
  file->fd = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (file->fd < 0) return -1;
  size_t capacity = 4096;
  size_t expected = 0;
  if (fstat(file->fd, &file->as_read) != 0) goto failed;
  if (file->as_read.st_size > 0) {
    expected = (size_t)file->as_read.st_size;
    capacity = expected + 1;
  }
  file->data = allocate_block(capacity + kSpareBytes);
  file->held = capacity + kSpareBytes;
  if (!file->data) {
    errno = ENOMEM;
    goto failed;
  }
  for (;;) {
    if (file->size == capacity) {
      size_t grown = capacity * 2;
      char* bigger = allocate_block(grown + kSpareBytes);
      if (!bigger) {
        errno = ENOMEM;
        goto failed;
      }
      memcpy(bigger, file->data, file->size);
      free_block(file->data, file->held);
      file->data = bigger;
      file->held = grown + kSpareBytes;
      capacity = grown;
    }
    size_t asked = capacity - file->size;
    ssize_t n = read(file->fd, file->data + file->size, asked);
    if (n < 0) {
      if (errno == EINTR) continue;
      goto failed;
    }
    file->size += (size_t)n;
    if (n == 0 || ((size_t)n < asked && file->size >= expected)) return 0;
  }
failed: {
  int saved = errno;
  release_bytes(file);
  errno = saved;
  return -1;
}
}

void release_bytes(struct Bytes* file) {
  if (file->fd >= 0) close(file->fd);
  file->fd = -1;
  free_block(file->data, file->held);
  file->data = NULL;
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

// orvel's check before it writes: the path still leads to the file as it was read.
static int still_as_read(const char* path, const struct Bytes* file) {
  struct stat now;
  if (stat(path, &now) != 0) return -1;
  const struct stat* then = &file->as_read;
  if (now.st_dev != then->st_dev || now.st_ino != then->st_ino || now.st_size != then->st_size ||
      (size_t)now.st_size != file->size || now.st_mtim.tv_sec != then->st_mtim.tv_sec ||
      now.st_mtim.tv_nsec != then->st_mtim.tv_nsec) {
    errno = EBUSY;
    return -1;
  }
  return 0;
}

// Reserves the bytes from `from` to `to` without changing the size, where the file system can.
static int reserve(int fd, size_t from, size_t to) {
  if (to <= from || fallocate(fd, FALLOC_FL_KEEP_SIZE, (off_t)from, (off_t)(to - from)) == 0) return 0;
  return errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL ? 0 : -1;
}

int write_back_pieces(const char* path, struct Bytes* file, const char* piece, size_t piece_size,
                      size_t size) {
  int failed = still_as_read(path, file) != 0;
  size_t old_size = file->size;
  for (size_t written = 0; !failed && written < size; written += piece_size) {
    size_t n = size - written < piece_size ? size - written : piece_size;
    // Like orvel, only the part of a piece beyond the old length gets new blocks reserved.
    failed = reserve(file->fd, written > old_size ? written : old_size, written + n) != 0 ||
             pwrite_all(file->fd, piece, n, written) != 0;
  }
  if (!failed && size < old_size) failed = ftruncate(file->fd, (off_t)size) != 0;
  int saved = errno;
  close(file->fd);
  file->fd = -1;
  errno = saved;
  return failed ? -1 : 0;
}

int write_back(const char* path, struct Bytes* file, const char* data, size_t size) {
  // One piece holding the whole text: one reservation at most and one pwrite, as orvel writes a
  // text that fits in one of its pieces.
  return write_back_pieces(path, file, data, size > 0 ? size : 1, size);
}
