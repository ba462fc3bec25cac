// The system's file calls, and the facts of the file system types that change how a file is
// overwritten.
#include "io/file_ops.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace orvel {

namespace {

// f_type values from linux/magic.h and the file systems' own sources; spelled out, since not
// every one is in the headers of every C library.
constexpr std::uint64_t kBtrfs = 0x9123683e;
constexpr std::uint64_t kBcachefs = 0xca451a4e;
constexpr std::uint64_t kZfs = 0x2fc12fc1;
constexpr std::uint64_t kNilfs = 0x3434;
constexpr std::uint64_t kFuse = 0x65735546;
constexpr std::uint64_t kNfs = 0x6969;
constexpr std::uint64_t kSmb = 0x517b;
constexpr std::uint64_t kCifs = 0xff534d42;
constexpr std::uint64_t kSmb2 = 0xfe534d42;
constexpr std::uint64_t kV9fs = 0x01021997;
constexpr std::uint64_t kCeph = 0x00c36400;
constexpr std::uint64_t kAfs = 0x5346414f;
constexpr std::uint64_t kKafs = 0x6b414653;
constexpr std::uint64_t kCoda = 0x73757245;
constexpr std::uint64_t kOrangefs = 0x20030528;
constexpr std::uint64_t kGfs2 = 0x01161970;
constexpr std::uint64_t kOcfs2 = 0x7461636f;
constexpr std::uint64_t kTmpfs = 0x01021994;
constexpr std::uint64_t kRamfs = 0x858458f6;

int fsync_retried(int fd) {
  for (;;) {
    if (::fsync(fd) == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

int fstatfs_retried(int fd, struct statfs* status) {
  for (;;) {
    if (::fstatfs(fd, status) == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

}  // namespace

const FileOps& system_file_ops() {
  static constexpr FileOps kOps = {
      ::pwrite, ::pread, ::ftruncate, ::fallocate, fsync_retried, ::dup, ::close, ::fstat, fstatfs_retried,
  };
  return kOps;
}

DeviceFacts facts_of_type(std::uint64_t file_system_type) {
  DeviceFacts facts;
  switch (file_system_type) {
    case kBtrfs:
    case kBcachefs:
    case kZfs:
    case kNilfs:
      facts.overwrites_allocate = true;
      break;
    case kFuse:
    case kNfs:
    case kSmb:
    case kCifs:
    case kSmb2:
    case kV9fs:
    case kCeph:
    case kAfs:
    case kKafs:
    case kCoda:
    case kOrangefs:
    case kGfs2:
    case kOcfs2:
      facts.reports_late = true;
      break;
    case kTmpfs:
    case kRamfs:
      facts.pages_are_memory = true;
      break;
    default:
      break;
  }
  return facts;
}

DeviceFacts DeviceCache::facts(const FileOps& ops, int fd, dev_t device) {
  for (std::size_t i = 0; i < count_; ++i) {
    if (devices_[i] == device) return facts_[i];
  }
  struct statfs status {};
  if (ops.fstatfs(fd, &status) != 0) return DeviceFacts{};  // asked again for the next file
  // f_type is a signed word on some targets: its bit pattern is what names the type.
  DeviceFacts found = facts_of_type(static_cast<std::uint32_t>(status.f_type));
  std::size_t slot = count_ < kDevices ? count_++ : next_++ % kDevices;
  devices_[slot] = device;
  facts_[slot] = found;
  return found;
}

}  // namespace orvel
