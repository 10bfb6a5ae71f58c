#include "host/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "host/FileSystem.h"
#include "host/StagedFile.h"

namespace hostfs {

namespace {

bool Fail(std::string* error, int err, const std::string& what) {
  if (error != nullptr) *error = what + ": " + ErrnoText(err);
  errno = err;
  return false;
}

bool Fail(std::string* error, const Status& status) {
  if (error != nullptr) *error = status.context();
  errno = status.sysError();
  return false;
}

}  // namespace

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
  ScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat st;
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
    const int err = errno;
    return failWith(err, "cannot open (" + ErrnoText(err) + ")");
  }
  if (!S_ISREG(st.st_mode))
    return failWith(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, "not a regular file");
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
  const int err = FileSystemInUse().SyncFolder(folder);
  return err == 0 || err == EINVAL;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    // A write that takes nothing would be retried for ever.
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The temporary file lies in the target's own folder because rename(2) is
// atomic only within one file system. Its data are flushed before the
// rename, so a crash right after cannot leave an empty or partial file under
// the target's name, and the folder after it, so the rename itself survives.
bool AtomicReplace(const std::string& path, const std::function<bool(int fd)>& write,
                   std::string* error, int mode) {
  if (path.empty()) return Fail(error, EINVAL, "no file name");
  const std::string target = ResolveLinks(path);
  const std::string folder = FolderOf(target);
  if (mode < 0) {
    struct stat st;
    if (::stat(target.c_str(), &st) == 0) mode = static_cast<int>(st.st_mode & 07777);
  }
  // A new file gets 0644 through the umask at its creation; one that keeps
  // or takes a given mode is private until it is flushed.
  StagedFileOptions options;
  // npos + 1: a name without a folder is taken whole.
  options.prefix = "." + target.substr(target.find_last_of('/') + 1) + ".tmp";
  options.finalMode = mode;
  StagedFile staged;
  if (Status s = staged.Create(folder, options); !s.ok()) return Fail(error, s);
  errno = 0;
  if (!write(staged.fd()))
    return Fail(error, errno != 0 ? errno : EIO, "cannot write " + staged.path());
  if (Status s = staged.Flush(); !s.ok()) return Fail(error, s);
  if (Status s = staged.Install(target, false); !s.ok())
    return Fail(error, s.sysError(), "cannot replace " + target);
  return true;
}

bool AtomicWriteFile(const std::string& path, const std::string& content, std::string* error,
                     int mode) {
  return AtomicReplace(
      path, [&](int fd) { return WriteAll(fd, content.data(), content.size()); }, error, mode);
}

}  // namespace hostfs
