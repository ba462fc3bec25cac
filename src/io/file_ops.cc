// The system's file calls, and the facts of the file system types that change how a file is
// overwritten.
#include "io/file_ops.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace orvel {

namespace {

// The file system types, as statfs names them in f_type, whose overwrites need more than a plain
// local disk's, with what they need. The values are those of linux/magic.h and the file systems'
// own sources, spelled out, since not every one is in the headers of every C library.
constexpr DeviceFacts kCopyOnWrite{.overwrites_allocate = true};
constexpr DeviceFacts kReportsLate{.reports_late = true};
constexpr DeviceFacts kPagesAreMemory{.pages_are_memory = true};
constexpr std::pair<std::uint32_t, DeviceFacts> kKnownTypes[] = {
    {0x9123683e, kCopyOnWrite},     // btrfs
    {0xca451a4e, kCopyOnWrite},     // bcachefs
    {0x2fc12fc1, kCopyOnWrite},     // zfs
    {0x3434, kCopyOnWrite},         // nilfs
    {0x65735546, kReportsLate},     // fuse
    {0x6969, kReportsLate},         // nfs
    {0x517b, kReportsLate},         // smb
    {0xff534d42, kReportsLate},     // cifs
    {0xfe534d42, kReportsLate},     // smb2
    {0x01021997, kReportsLate},     // v9fs
    {0x00c36400, kReportsLate},     // ceph
    {0x5346414f, kReportsLate},     // afs
    {0x6b414653, kReportsLate},     // kafs
    {0x73757245, kReportsLate},     // coda
    {0x20030528, kReportsLate},     // orangefs
    {0x01161970, kReportsLate},     // gfs2
    {0x7461636f, kReportsLate},     // ocfs2
    {0x01021994, kPagesAreMemory},  // tmpfs
    {0x858458f6, kPagesAreMemory},  // ramfs
};

// `call`, made again for as long as a signal interrupts it.
template <auto call, class... Args>
auto retried(Args... args) {
  for (;;) {
    auto result = call(args...);
    if (result != -1 || errno != EINTR) return result;
  }
}

}  // namespace

const FileOps& system_file_ops() {
  static constexpr FileOps kOps = {
      retried<::read, int, void*, std::size_t>,
      retried<::pread, int, void*, std::size_t, off_t>,
      retried<::pwrite, int, const void*, std::size_t, off_t>,
      ::ftruncate,
      retried<::fallocate, int, int, off_t, off_t>,
      retried<::fsync, int>,
      ::dup,
      ::close,
      ::fstat,
      ::stat,
      ::lseek,
      retried<::fstatfs, int, struct statfs*>,
  };
  return kOps;
}

DeviceFacts DeviceCache::facts(const FileOps& ops, int fd, dev_t device) {
  for (std::size_t i = 0; i < count_; ++i) {
    if (devices_[i] == device) return facts_[i];
  }
  struct statfs status {};
  if (ops.fstatfs(fd, &status) != 0) return DeviceFacts{};  // asked again for the next file
  // f_type is a signed word on some targets: its bit pattern is what names the type.
  auto type = static_cast<std::uint32_t>(status.f_type);
  DeviceFacts found;
  for (const auto& [known, facts] : kKnownTypes) {
    if (known == type) found = facts;
  }
  std::size_t slot = count_ < kDevices ? count_++ : next_++ % kDevices;
  devices_[slot] = device;
  facts_[slot] = found;
  return found;
}

}  // namespace orvel
