#include "host/StagedFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "host/FileSystem.h"
#include "host/Files.h"

namespace hostfs {

const char* const kSqliteSidecars[3] = {"-journal", "-wal", "-shm"};

namespace {

// 36 bits for a file name: from getrandom, or, where the kernel has none to
// give, from the clock and a counter (uniqueness never rests on them: the
// create is exclusive and retried).
uint64_t NameBits() {
  uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits))
    return bits;
  static std::atomic<uint64_t> counter{0};
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  bits = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
         (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull) ^ static_cast<uint64_t>(::getpid());
  bits ^= bits >> 31;
  return bits * 0xBF58476D1CE4E5B9ull;
}

// Whether the process that named a file "<pid>-<random>" may still write it.
// A name that is not of that form is no writer's.
bool WriterAlive(const char* rest) {
  errno = 0;
  char* end = nullptr;
  const long pid = std::strtol(rest, &end, 10);
  if (end == rest || *end != '-' || pid <= 0 || errno != 0) return false;
  // Other threads of this process may be writing theirs.
  if (pid == static_cast<long>(::getpid())) return true;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// Creates a new file from `pattern`, whose "XXXXXX" end becomes a unique
// name, exclusively (nothing existing at the name is ever opened). The kernel
// narrows `mode` by the umask, which is therefore never read; unlike
// mkostemp the file is not forced to 0600. -1 with errno set on failure.
// REQUIRES: `pattern` ends in "XXXXXX".
int CreateUniqueFile(std::string& pattern, unsigned mode) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const size_t size = pattern.size();
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint64_t bits = NameBits();
    for (size_t i = size - 6; i < size; ++i, bits /= 62) pattern[i] = kLetters[bits % 62];
    int fd = -1;
    const int err = FileSystemInUse().CreateExclusive(pattern, mode, fd);
    if (err == 0) return fd;
    if (err != EEXIST) {
      errno = err;
      return -1;
    }
  }
  errno = EEXIST;
  return -1;
}

// A failure never reads as success, even where the call left errno at 0.
Status Failed(int err, const std::string& what) {
  if (err == 0) err = EIO;
  return Status::IOError(what + ": " + ErrnoText(err), err);
}

}  // namespace

void RemoveWithSidecars(const std::string& path) {
  ::unlink(path.c_str());
  for (const char* suffix : kSqliteSidecars) ::unlink((path + suffix).c_str());
}

std::vector<std::string> RemoveLeftovers(const std::string& folder, const std::string& prefix,
                                         Leftovers which) {
  std::vector<std::string> removed;
  if (which == Leftovers::kKeep || prefix.empty()) return removed;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return removed;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    if (which == Leftovers::kWriterGone && WriterAlive(name.c_str() + prefix.size())) continue;
    const std::string path = folder + "/" + name;
    if (::unlink(path.c_str()) == 0) removed.push_back(path);
  }
  ::closedir(dir);
  return removed;
}

Status StagedFile::Create(const std::string& folder, const StagedFileOptions& options) {
  removed_ = RemoveLeftovers(folder, options.prefix, options.leftovers);
  std::string pattern = folder + "/" + options.prefix;
  if (options.withPid) pattern += std::to_string(static_cast<long>(::getpid())) + "-";
  pattern += "XXXXXX";
  const int fd = CreateUniqueFile(pattern, options.finalMode >= 0 ? 0600 : options.createMode);
  if (fd < 0) return Failed(errno, "cannot create a temporary file in " + folder);
  fd_ = fd;
  path_ = pattern;
  finalMode_ = options.finalMode;
  sqlite_ = options.sqlite;
  return Status::OK();
}

void StagedFile::Adopt(const std::string& path, bool sqlite) {
  path_ = path;
  sqlite_ = sqlite;
}

Status StagedFile::Write(const char* data, size_t size) {
  if (fd_ < 0) return Failed(EBADF, "cannot write " + path_);
  return WriteAll(fd_, data, size) ? Status::OK() : Failed(errno, "cannot write " + path_);
}

Status StagedFile::CopyFrom(const std::string& source) {
  if (fd_ < 0) return Failed(EBADF, "cannot write " + path_);
  // O_NONBLOCK: a FIFO as the source must be refused, not waited on at open.
  ScopedFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat st;
  if (in.get() < 0 || ::fstat(in.get(), &st) != 0) return Failed(errno, "cannot read " + source);
  if (!S_ISREG(st.st_mode)) return Failed(EINVAL, "cannot copy " + source);
  for (bool kernel = true;;) {
    ssize_t n = kernel ? ::copy_file_range(in.get(), nullptr, fd_, nullptr, 1 << 30, 0) : -1;
    if (n < 0 && kernel &&
        (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
         errno == EPERM)) {
      kernel = false;  // not between these two files: through a buffer instead
      continue;
    }
    if (!kernel) {
      char buffer[1 << 16];
      n = ::read(in.get(), buffer, sizeof(buffer));
      if (n > 0 && !WriteAll(fd_, buffer, static_cast<size_t>(n)))
        return Failed(errno, "cannot write " + path_);
    }
    if (n == 0) return Status::OK();
    if (n < 0 && errno != EINTR) return Failed(errno, "cannot copy " + source + " to " + path_);
  }
}

Status StagedFile::Close() {
  if (fd_ < 0) return Status::OK();
  const int rc = ::close(fd_);
  fd_ = -1;
  return rc == 0 ? Status::OK() : Failed(errno, "cannot close " + path_);
}

// A file written by name (SQLite's, a copy) is flushed through a descriptor
// of its own: fsync flushes the file, whichever descriptor wrote it.
Status StagedFile::Flush() {
  if (path_.empty()) return Failed(EBADF, "cannot flush a file not staged");
  if (fd_ < 0) {
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0) return Failed(errno, "cannot flush " + path_);
  }
  int err = 0;
  if (finalMode_ >= 0 && ::fchmod(fd_, static_cast<mode_t>(finalMode_)) != 0) err = errno;
  if (err == 0) err = FileSystemInUse().Fsync(fd_);
  if (err != 0) return Failed(err, "cannot flush " + path_);
  return Close();
}

Status StagedFile::Install(const std::string& destination, bool keepLink) {
  const std::string target = keepLink ? ResolveLinks(destination) : destination;
  if (const int err = FileSystemInUse().Rename(path_, target))
    return Failed(err, "cannot rename " + path_ + " to " + target);
  path_.clear();
  SyncFolder(FolderOf(target));
  return Status::OK();
}

void StagedFile::Abandon() {
  Close();
  if (path_.empty()) return;
  if (sqlite_)
    RemoveWithSidecars(path_);
  else
    ::unlink(path_.c_str());
  path_.clear();
}

}  // namespace hostfs
