// The overwrite against every failure a file system can return: each call of a rewrite made to
// fail in turn, once or from then on, and the file must end old or new, or the message must say
// that the old text could not be put back.
#include "io/overwrite.h"

#include <fcntl.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "base/byte_buffer.h"
#include "base/os_error.h"
#include "tests/test_support.h"

namespace orvel {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

enum class Call : std::uint8_t {
  Read, Pread, Pwrite, Ftruncate, Fallocate, Fsync, Dup, Close, Fstat, Stat, Lseek, Fstatfs
};
constexpr std::size_t kCalls = 12;
constexpr std::array<std::string_view, kCalls> kCallNames = {
    "read", "pread", "pwrite", "ftruncate", "fallocate", "fsync", "dup", "close", "fstat", "stat", "lseek", "fstatfs"};

// The clock the fake file system stamps times with, as its statuses report them.
enum class Clock : std::uint8_t {
  Behind,   // 1000 s behind: nothing was written lately, and only a time that moved shows a change
  Stopped,  // has not moved since the file was read: every write falls in the tick of its open
};

// The one fault in play, and what the fake file system says of itself. Function pointers carry
// no context, hence one set of globals, reset by every case.
struct FaultPlan {
  Call call = Call::Pwrite;
  int nth = 0;                 // the call of that kind that fails first, from 1; 0: none fails
  bool from_then_on = false;   // every later call of that kind fails too, as on a disk that is full
  int error_number = 0;
  std::uint64_t file_system_type = 0xef53;  // ext4
  std::uint64_t free_blocks = 1u << 30;     // of 4096 bytes
  Clock clock = Clock::Behind;
  struct timespec stopped_at {};
  // Written over the file's first bytes by another program just before the path is looked at
  // again, which then puts the file's times back as they were (rsync -t, cp -p, touch -r).
  std::string_view other_edit;
  std::array<int, kCalls> made = {};
  std::vector<std::string> trace;           // the calls in order, for the counts of system calls
};
FaultPlan g_plan;

// Counts the call and tells whether it must fail now.
bool fails(Call call) {
  auto index = static_cast<std::size_t>(call);
  int made = ++g_plan.made[index];
  g_plan.trace.emplace_back(kCallNames[index]);
  if (g_plan.nth == 0 || g_plan.call != call) return false;
  if (made == g_plan.nth || (g_plan.from_then_on && made > g_plan.nth)) {
    errno = g_plan.error_number;
    return true;
  }
  return false;
}

ssize_t fake_pwrite(int fd, const void* data, std::size_t size, off_t offset) {
  if (fails(Call::Pwrite)) {
    // The worst a failing write can do: part of it landed before the error came back.
    int error_number = errno;
    (void)!::pwrite(fd, data, size / 2, offset);
    errno = error_number;
    return -1;
  }
  return ::pwrite(fd, data, size, offset);
}
ssize_t fake_read(int fd, void* data, std::size_t size) { return fails(Call::Read) ? -1 : ::read(fd, data, size); }
ssize_t fake_pread(int fd, void* data, std::size_t size, off_t offset) {
  return fails(Call::Pread) ? -1 : ::pread(fd, data, size, offset);
}
int fake_ftruncate(int fd, off_t length) { return fails(Call::Ftruncate) ? -1 : ::ftruncate(fd, length); }
int fake_fallocate(int fd, int mode, off_t offset, off_t length) {
  return fails(Call::Fallocate) ? -1 : ::fallocate(fd, mode, offset, length);
}
int fake_fsync(int fd) { return fails(Call::Fsync) ? -1 : ::fsync(fd); }
int fake_dup(int fd) { return fails(Call::Dup) ? -1 : ::dup(fd); }
int fake_close(int fd) {
  // The descriptor is gone whatever close says, as on Linux.
  int result = ::close(fd);
  return fails(Call::Close) ? -1 : result;
}
// The times as the plan's clock would have stamped them.
void stamp_times(struct stat* status) {
  if (g_plan.clock == Clock::Behind) {
    status->st_mtim.tv_sec -= 1000;
    status->st_ctim.tv_sec -= 1000;
  } else {
    if (g_plan.stopped_at.tv_sec == 0) ::clock_gettime(CLOCK_REALTIME_COARSE, &g_plan.stopped_at);
    status->st_mtim = status->st_ctim = g_plan.stopped_at;
  }
}
int fake_fstat(int fd, struct stat* status) {
  if (fails(Call::Fstat) || ::fstat(fd, status) != 0) return -1;
  stamp_times(status);
  return 0;
}
int fake_stat(const char* path, struct stat* status) {
  if (!g_plan.other_edit.empty() && g_plan.made[static_cast<std::size_t>(Call::Stat)] == 0) {
    struct stat before {};
    int fd = ::open(path, O_WRONLY);
    EXPECT_TRUE(fd >= 0 && ::fstat(fd, &before) == 0);
    EXPECT_EQ(::pwrite(fd, g_plan.other_edit.data(), g_plan.other_edit.size(), 0),
              static_cast<ssize_t>(g_plan.other_edit.size()));
    struct timespec times[2] = {before.st_atim, before.st_mtim};
    EXPECT_EQ(::futimens(fd, times), 0);
    ::close(fd);
  }
  if (fails(Call::Stat) || ::stat(path, status) != 0) return -1;
  stamp_times(status);
  return 0;
}
off_t fake_lseek(int fd, off_t offset, int whence) { return fails(Call::Lseek) ? -1 : ::lseek(fd, offset, whence); }
int fake_fstatfs(int fd, struct statfs* status) {
  if (fails(Call::Fstatfs)) return -1;
  if (::fstatfs(fd, status) != 0) return -1;
  status->f_type = static_cast<decltype(status->f_type)>(g_plan.file_system_type);
  status->f_bsize = 4096;
  status->f_bavail = static_cast<decltype(status->f_bavail)>(g_plan.free_blocks);
  return 0;
}

constexpr FileOps kFakeOps = {fake_read,  fake_pread, fake_pwrite, fake_ftruncate, fake_fallocate, fake_fsync,
                              fake_dup,   fake_close, fake_fstat,  fake_stat,      fake_lseek,     fake_fstatfs};

// The new text handed over as the program's renderer does: full pieces, then the rest, last.
struct Pieces {
  std::string_view text;
  std::size_t piece_bytes;

  static void render(void* context, PieceSink sink) {
    auto& pieces = *static_cast<Pieces*>(context);
    std::string_view rest = pieces.text;
    while (rest.size() > pieces.piece_bytes) {
      sink(rest.substr(0, pieces.piece_bytes), false);
      rest.remove_prefix(pieces.piece_bytes);
    }
    sink(rest, true);
  }
};

constexpr std::size_t kPieceBytes = 512 * 1024;
constexpr std::uint64_t kExt4 = 0xef53;
constexpr std::uint64_t kBtrfs = 0x9123683e;
constexpr std::uint64_t kFuse = 0x65735546;
constexpr std::uint64_t kTmpfs = 0x01021994;

struct Outcome {
  std::optional<IoError> error;
  std::string after;
};

// Writes `old_text` to a fresh file, reads it as the program does, and overwrites it with
// `new_text` through the fake calls, with the plan as it stands.
Outcome overwrite_through_fakes(const TempDir& dir, const std::string& old_text, const std::string& new_text,
                                MayGrowMemory may_grow = nullptr) {
  std::string path = dir / "a.json";
  write_file(path, old_text);
  HeldFile file;
  ByteBuffer bytes;
  EXPECT_EQ(read_whole_file(kFakeOps, path, file, bytes, nullptr, 32), std::nullopt);
  // Only the overwrite's calls are counted and made to fail.
  g_plan.made = {};
  g_plan.trace.clear();
  Pieces pieces{new_text, kPieceBytes};
  DeviceCache devices;
  OverwriteOptions options{kFakeOps, devices, may_grow};
  Outcome outcome;
  outcome.error = overwrite_file(path, file, bytes.view(), NewText{&Pieces::render, &pieces}, options);
  outcome.after = read_file(path);
  return outcome;
}

std::string text_of(const std::optional<IoError>& error) { return error ? to_string(*error) : "(written)"; }

// Compact text and a longer or shorter replacement, both ways across the 512 KiB pieces.
std::string filler(std::size_t bytes, char c) { return std::string(bytes, c); }

struct TextPair {
  std::string_view what;
  std::string old_text;
  std::string new_text;
};

std::vector<TextPair> text_pairs() {
  return {
      {"growing, whole", filler(3000, 'o'), filler(7000, 'n')},
      {"shrinking, whole", filler(7000, 'o'), filler(3000, 'n')},
      {"growing, in pieces", filler(300 * 1024, 'o'), filler(1300 * 1024 + 17, 'n')},
      {"shrinking, in pieces", filler(1300 * 1024, 'o'), filler(600 * 1024 + 5, 'n')},
  };
}

TEST(Overwrite, EveryFailingCallLeavesOldOrNewAndSaysWhenTheOldCouldNotBePutBack) {
  struct FileSystem {
    std::string_view what;
    std::uint64_t type;
  };
  const FileSystem file_systems[] = {{"ext4", kExt4}, {"btrfs", kBtrfs}, {"fuse", kFuse}, {"tmpfs", kTmpfs}};
  struct Failure {
    Call call;
    int error_number;
  };
  const Failure failures[] = {{Call::Stat, EIO},        {Call::Pwrite, ENOSPC}, {Call::Pwrite, EIO},
                              {Call::Ftruncate, ENOSPC}, {Call::Fallocate, ENOSPC}, {Call::Fsync, EIO},
                              {Call::Dup, EMFILE},       {Call::Close, EIO},     {Call::Fstatfs, EIO}};
  TempDir dir;
  int cases = 0;
  int rolled_back = 0;
  int not_put_back = 0;
  for (const TextPair& pair : text_pairs()) {
    for (const FileSystem& fs : file_systems) {
      // A clean run counts the calls of each kind: each of them is then made to fail.
      g_plan = FaultPlan{};
      g_plan.file_system_type = fs.type;
      Outcome clean = overwrite_through_fakes(dir, pair.old_text, pair.new_text);
      ASSERT_EQ(clean.error, std::nullopt) << pair.what << " on " << fs.what << ": " << text_of(clean.error);
      ASSERT_TRUE(clean.after == pair.new_text);
      std::array<int, kCalls> made = g_plan.made;
      for (const Failure& failure : failures) {
        for (bool from_then_on : {false, true}) {
          for (int nth = 1; nth <= made[static_cast<std::size_t>(failure.call)]; ++nth) {
            SCOPED_TRACE(std::string(pair.what) + " on " + std::string(fs.what) + ": " +
                         std::string(kCallNames[static_cast<std::size_t>(failure.call)]) + " #" + std::to_string(nth) +
                         (from_then_on ? " and on" : " once") + " fails with " + std::to_string(failure.error_number));
            g_plan = FaultPlan{};
            g_plan.file_system_type = fs.type;
            g_plan.call = failure.call;
            g_plan.nth = nth;
            g_plan.from_then_on = from_then_on;
            g_plan.error_number = failure.error_number;
            Outcome outcome = overwrite_through_fakes(dir, pair.old_text, pair.new_text);
            ++cases;
            if (!outcome.error) {
              // Only the type of a file system may go unlearnt: it is then written as a local disk.
              EXPECT_TRUE(failure.call == Call::Fstatfs && nth == 1) << "a failing call went unnoticed";
              EXPECT_TRUE(outcome.after == pair.new_text);
              continue;
            }
            const std::string cause = os_error_text(failure.error_number);
            const std::string not_put_back_message = cause + "; the old text could not be put back";
            if (outcome.after == pair.old_text) {
              ++rolled_back;
              // A repair whose own write failed says so, even where what it did write was enough.
              if (from_then_on) {
                EXPECT_TRUE(to_string(*outcome.error) == cause || to_string(*outcome.error) == not_put_back_message)
                    << to_string(*outcome.error);
              } else {
                EXPECT_EQ(to_string(*outcome.error), cause);
              }
            } else {
              // Only a fault that persists can defeat the repair, and then the message says so.
              ++not_put_back;
              EXPECT_TRUE(from_then_on) << "a single failure left " << outcome.after.size() << " bytes";
              EXPECT_EQ(to_string(*outcome.error), not_put_back_message);
            }
          }
        }
      }
    }
  }
  // Both ends of the table were reached: repairs that held and repairs the fault defeated.
  EXPECT_GT(rolled_back, 0);
  EXPECT_GT(not_put_back, 0);
  EXPECT_GT(cases, 100);
}

// Which calls a rewrite makes, by file system: a local disk pays for nothing beyond the writes,
// a network or FUSE one flushes and closes a duplicate to hear late errors, a copy-on-write one
// asks its free space.
TEST(Overwrite, MakesOnlyTheCallsItsFileSystemNeeds) {
  struct Case {
    std::string_view what;
    std::uint64_t type;
    std::size_t old_bytes;
    std::size_t new_bytes;
    std::string_view calls;
  };
  const Case cases[] = {
      {"growing on ext4", kExt4, 300, 700, "stat fstatfs pwrite pwrite"},
      {"shrinking on ext4", kExt4, 700, 300, "stat fstatfs pwrite ftruncate"},
      {"same length on tmpfs", kTmpfs, 500, 500, "stat fstatfs pwrite"},
      {"growing on fuse", kFuse, 300, 700, "stat fstatfs pwrite pwrite fsync dup close"},
      {"shrinking on btrfs", kBtrfs, 700, 300, "stat fstatfs fstatfs pwrite ftruncate"},
      {"growing in pieces on ext4", kExt4, 1000, 600 * 1024, "stat fstatfs fallocate pwrite fallocate pwrite"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_plan = FaultPlan{};
    g_plan.file_system_type = c.type;
    Outcome outcome = overwrite_through_fakes(dir, filler(c.old_bytes, 'o'), filler(c.new_bytes, 'n'));
    EXPECT_EQ(outcome.error, std::nullopt);
    std::string calls;
    for (const std::string& call : g_plan.trace) calls += (calls.empty() ? "" : " ") + call;
    EXPECT_EQ(calls, c.calls);
  }
}

// Refusals that come before the first byte: the file is untouched, or keeps what another program
// wrote into it since it was read, and no write was tried.
TEST(Overwrite, RefusesBeforeTheFirstByteWhenSpaceOrMemoryWouldRunOutOrTheFileChanged) {
  struct Case {
    std::string_view what;
    std::uint64_t type;
    std::uint64_t free_blocks;
    bool memory_allowed;
    Clock clock;
    std::string_view other_edit;
    std::size_t old_bytes;
    std::size_t new_bytes;
    std::string_view message;
  };
  constexpr std::string_view kChanged = "the file was changed while it was being processed";
  // 2 MiB of new text and 1 MiB of roll-back need more than 768 blocks of 4 KiB beyond the margin.
  const Case cases[] = {
      {"btrfs without room for text and roll-back", kBtrfs, 1000, true, Clock::Behind, "", 1u << 20, 2u << 20,
       "No space left on device (os error 28)"},
      {"btrfs shrinking without room", kBtrfs, 200, true, Clock::Behind, "", 2000, 1000,
       "No space left on device (os error 28)"},
      {"tmpfs growth refused", kTmpfs, 1u << 30, false, Clock::Behind, "", 100, 5000, "out of memory"},
      {"tmpfs growth in pieces refused", kTmpfs, 1u << 30, false, Clock::Behind, "", 100, 700 * 1024, "out of memory"},
      // Size and modification time as read: only the change time, which no program sets, moved.
      {"edited long after its last write, times put back", kExt4, 1u << 30, true, Clock::Behind, "edit", 100, 5000,
       kChanged},
      // Every time as read, though they have nanoseconds: only the bytes tell.
      {"edited in the tick of its open", kExt4, 1u << 30, true, Clock::Stopped, "edit", 100, 5000, kChanged},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_plan = FaultPlan{};
    g_plan.file_system_type = c.type;
    g_plan.free_blocks = c.free_blocks;
    g_plan.clock = c.clock;
    g_plan.other_edit = c.other_edit;
    std::string old_text = filler(c.old_bytes, 'o');
    MayGrowMemory may_grow = c.memory_allowed ? +[](std::uint64_t) { return true; }
                                              : +[](std::uint64_t) { return false; };
    Outcome outcome = overwrite_through_fakes(dir, old_text, filler(c.new_bytes, 'n'), may_grow);
    EXPECT_EQ(text_of(outcome.error), c.message);
    EXPECT_TRUE(outcome.after == old_text.replace(0, c.other_edit.size(), c.other_edit));
    EXPECT_EQ(g_plan.made[static_cast<std::size_t>(Call::Pwrite)], 0);
  }
  // Allowed, the growth is asked for once, whole, before the first byte, even in pieces.
  static std::vector<std::uint64_t> asked;
  asked.clear();
  g_plan = FaultPlan{};
  g_plan.file_system_type = kTmpfs;
  Outcome grown = overwrite_through_fakes(dir, filler(100, 'o'), filler(1100 * 1024, 'n'), +[](std::uint64_t growth) {
    asked.push_back(growth);
    return true;
  });
  EXPECT_EQ(grown.error, std::nullopt);
  EXPECT_TRUE(grown.after == filler(1100 * 1024, 'n'));
  EXPECT_EQ(asked, std::vector<std::uint64_t>{1100 * 1024 - 100});
  // The same refusals on a plain disk, or with room, do not happen.
  g_plan = FaultPlan{};
  g_plan.file_system_type = kExt4;
  g_plan.free_blocks = 10;
  EXPECT_EQ(overwrite_through_fakes(dir, filler(1000, 'o'), filler(2000, 'n'), +[](std::uint64_t) { return false; })
                .error,
            std::nullopt);
}

}  // namespace
}  // namespace orvel
