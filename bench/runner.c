// Runs one command and reports its wall time and peak resident memory, measured around fork and
// wait4 so that nothing but the command itself (and its children) is counted.
//
//   runner COMMAND [ARG...]
//
// The command's standard output goes to /dev/null (orvel's report is not what is measured); its
// standard error is passed through. Prints "wall_seconds=S cpu_seconds=C max_rss_kib=K status=N"
// on standard output and exits with the command's status (128 + signal when it was killed). CPU
// seconds (user + system) say little about waiting but stay meaningful on a busy machine, where
// wall time also counts the time other processes held the cores.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double seconds_of(const struct timeval* t) {
  return (double)t->tv_sec + (double)t->tv_usec / 1e6;
}

static double seconds_between(const struct timespec* a, const struct timespec* b) {
  return (double)(b->tv_sec - a->tv_sec) + (double)(b->tv_nsec - a->tv_nsec) / 1e9;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: runner COMMAND [ARG...]\n");
    return 2;
  }
  int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devnull < 0) {
    fprintf(stderr, "runner: /dev/null: %s\n", strerror(errno));
    return 2;
  }
  fflush(stdout);
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = fork();
  if (pid < 0) {
    fprintf(stderr, "runner: fork: %s\n", strerror(errno));
    return 2;
  }
  if (pid == 0) {
    if (dup2(devnull, STDOUT_FILENO) < 0) _exit(127);
    execvp(argv[1], argv + 1);
    fprintf(stderr, "runner: %s: %s\n", argv[1], strerror(errno));
    _exit(127);
  }
  int wstatus = 0;
  struct rusage usage;
  memset(&usage, 0, sizeof usage);
  // The rusage of wait4 covers the child and every descendant it waited for; ru_maxrss is the
  // largest of them, which is what a shell loop over many files should report.
  while (wait4(pid, &wstatus, 0, &usage) < 0) {
    if (errno != EINTR) {
      fprintf(stderr, "runner: wait4: %s\n", strerror(errno));
      return 2;
    }
  }
  struct timespec end;
  clock_gettime(CLOCK_MONOTONIC, &end);
  int status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  printf("wall_seconds=%.6f cpu_seconds=%.6f max_rss_kib=%ld status=%d\n",
         seconds_between(&start, &end), seconds_of(&usage.ru_utime) + seconds_of(&usage.ru_stime),
         usage.ru_maxrss, status);
  return status;
}
