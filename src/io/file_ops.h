// The file system calls a rewrite makes, behind one table, and what each device needs of them.
#ifndef ORVEL_IO_FILE_OPS_H_
#define ORVEL_IO_FILE_OPS_H_

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

#include <cstddef>

namespace orvel {

// The calls through which a held file is read, checked, overwritten and put back. The program
// uses the system's, which retry a call that a signal interrupted, so no caller does; tests
// substitute calls that fail at a chosen step with a chosen error number, or change the file at
// a chosen moment, so every failure of a rewrite can be played without the disk or network, or
// the other program, that causes it.
struct FileOps {
  ssize_t (*read)(int fd, void* data, std::size_t size);
  ssize_t (*pread)(int fd, void* data, std::size_t size, off_t offset);
  ssize_t (*pwrite)(int fd, const void* data, std::size_t size, off_t offset);
  int (*ftruncate)(int fd, off_t length);
  int (*fallocate)(int fd, int mode, off_t offset, off_t length);
  int (*fsync)(int fd);
  int (*dup)(int fd);
  int (*close)(int fd);
  int (*fstat)(int fd, struct stat* status);
  int (*stat)(const char* path, struct stat* status);
  off_t (*lseek)(int fd, off_t offset, int whence);
  int (*fstatfs)(int fd, struct statfs* status);
};

// The table of the real calls.
const FileOps& system_file_ops();

// What a rewrite must know of the file system a file lives on.
struct DeviceFacts {
  bool overwrites_allocate = false;  // copy-on-write: rewriting a byte in place takes a new block
  bool reports_late = false;         // write errors may first show at fsync or close (network, FUSE)
  bool pages_are_memory = false;     // the file's pages are memory (tmpfs, ramfs)
};

// Facts by device, looked up once per device for the run: a file on a device already seen costs
// no system call. A device whose type cannot be learnt is taken as a plain local disk.
class DeviceCache {
 public:
  DeviceFacts facts(const FileOps& ops, int fd, dev_t device);

 private:
  static constexpr std::size_t kDevices = 8;  // a run spans few file systems; more only cost a call
  dev_t devices_[kDevices] = {};
  DeviceFacts facts_[kDevices] = {};
  std::size_t count_ = 0;
  std::size_t next_ = 0;  // the slot taken next once all are full
};

}  // namespace orvel

#endif  // ORVEL_IO_FILE_OPS_H_
