#include "host/Files.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

namespace hostfs {

namespace {

// Closes the descriptor at the end of the scope unless it was closed already.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int CloseNow() {
    int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

std::string BaseNameOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Fail(std::string* error, int err, const std::string& what) {
  if (error != nullptr) *error = what + ": " + ErrnoText(err);
  errno = err;
  return false;
}

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

}  // namespace

int CreateUniqueFile(std::string& pattern, unsigned mode) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const size_t size = pattern.size();
  if (size < 6 || pattern.compare(size - 6, 6, "XXXXXX") != 0) {
    errno = EINVAL;
    return -1;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint64_t bits = NameBits();
    for (size_t i = size - 6; i < size; ++i, bits /= 62) pattern[i] = kLetters[bits % 62];
    int fd = ::open(pattern.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                    static_cast<mode_t>(mode));
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

std::string ErrnoText(int err) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = ::strerror_r(err, buf, sizeof buf);
  return text != nullptr ? text : "unknown error";
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer,
// and the check that refuses it comes only after the open.
bool ReadWholeFile(const std::string& path, std::string& content, std::string* error) {
  auto failWith = [&](int err, const std::string& what) {
    if (error != nullptr) *error = path + ": " + what;
    errno = err;
    return false;
  };
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) {
    int err = errno;
    return failWith(err, "cannot open (" + ErrnoText(err) + ")");
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    int err = errno;
    return failWith(err, "cannot open (" + ErrnoText(err) + ")");
  }
  if (!S_ISREG(st.st_mode)) return failWith(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, "not a regular file");
  content.clear();
  char buf[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      int err = errno;
      if (err == EINTR) continue;
      return failWith(err, "read failed (" + ErrnoText(err) + ")");
    }
    if (n == 0) return true;
    content.append(buf, static_cast<size_t>(n));
  }
}

std::string ResolveLinks(const std::string& path) {
  std::string current = path;
  // A loop of links would never end; the kernel gives up after 40 as well.
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::vector<char> target(PATH_MAX + 1);
    ssize_t n = ::readlink(current.c_str(), target.data(), PATH_MAX);
    if (n <= 0) return current;
    std::string next(target.data(), static_cast<size_t>(n));
    current = next[0] == '/' ? next : FolderOf(current) + "/" + next;
  }
  return current;
}

bool SyncFolder(const std::string& folder) {
  Fd dir(::open(folder.empty() ? "/" : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return false;
  return ::fsync(dir.get()) == 0 || errno == EINVAL;
}

bool RenameOver(const std::string& from, const std::string& to, std::string* error) {
  const std::string target = ResolveLinks(to);
  if (::rename(from.c_str(), target.c_str()) != 0)
    return Fail(error, errno, "cannot rename " + from + " to " + target);
  // The new file is in place; a folder that cannot be flushed only weakens
  // durability, never the file.
  SyncFolder(FolderOf(target));
  return true;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The temporary file lies in the target's own folder because rename(2) is
// atomic only within one file system. Its data are fsync'ed before the
// rename, so a crash right after cannot leave an empty or partial file under
// the target's name, and the folder after it, so the rename itself survives.
bool AtomicReplace(const std::string& path, const std::function<bool(int fd)>& write,
                   std::string* error, int mode) {
  if (path.empty()) return Fail(error, EINVAL, "no file name");
  const std::string target = ResolveLinks(path);
  const std::string folder = FolderOf(target);
  std::string pattern = folder + "/." + BaseNameOf(target) + ".tmpXXXXXX";
  if (mode < 0) {
    struct stat st;
    if (::stat(target.c_str(), &st) == 0) mode = static_cast<int>(st.st_mode & 07777);
  }
  // A new file gets 0644 through the umask at its creation. A file that
  // takes a given mode is made private first, so that its content is never
  // readable more widely than that mode while it is written.
  Fd out(CreateUniqueFile(pattern, mode < 0 ? 0644 : 0600));
  if (out.get() < 0) return Fail(error, errno, "cannot create a temporary file in " + folder);
  const std::string temp = pattern;
  auto fail = [&](int err, const std::string& what) {
    ::unlink(temp.c_str());
    return Fail(error, err, what);
  };

  errno = 0;
  if (!write(out.get())) return fail(errno != 0 ? errno : EIO, "cannot write " + temp);
  if (mode >= 0 && ::fchmod(out.get(), static_cast<mode_t>(mode)) != 0)
    return fail(errno, "cannot set the mode of " + temp);
  if (::fsync(out.get()) != 0) return fail(errno, "cannot flush " + temp);
  if (out.CloseNow() != 0) return fail(errno, "cannot close " + temp);
  if (::rename(temp.c_str(), target.c_str()) != 0) return fail(errno, "cannot replace " + target);
  SyncFolder(folder);
  return true;
}

bool AtomicWriteFile(const std::string& path, const std::string& content, std::string* error,
                     int mode) {
  return AtomicReplace(
      path, [&](int fd) { return WriteAll(fd, content.data(), content.size()); }, error, mode);
}

}  // namespace hostfs
