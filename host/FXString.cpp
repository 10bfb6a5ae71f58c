#include "host/FXString.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "host/LogWriter.h"

namespace {

std::string ErrnoText(int err) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf.
  return strerror_r(err, buf, sizeof buf);
}

CLmError ErrnoError(int err, const std::string& what) {
  int32_t code = hxerr::kIo;
  if (err == ENOSPC || err == EDQUOT) code = hxerr::kNoSpace;
  return CLmError(code, what + ": " + ErrnoText(err));
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates one folder; an existing folder is fine, an existing non-folder is not.
CLmError MakeOneFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return CLmError::Success();
  const int err = errno;
  if (err == EEXIST) {
    if (IsFolder(path)) return CLmError::Success();
    return ErrnoError(ENOTDIR, "Cannot create folder '" + path + "'");
  }
  // mkdir reports EACCES or EROFS for a folder that exists but lies in a
  // place we may not write to; an existing folder is still success.
  if (IsFolder(path)) return CLmError::Success();
  return ErrnoError(err, "Cannot create folder '" + path + "'");
}

// The folder part of a path: "." for a bare name, "/" for a file in the root.
std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Writes the whole buffer, resuming after short writes and signals.
bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Closes a descriptor when the scope ends, unless released.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) close(fd_);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  int get() const { return fd_; }
  // Closes now and reports close's own error (a deferred write error on some
  // file systems).
  int CloseNow() {
    int fd = fd_;
    fd_ = -1;
    return close(fd);
  }

 private:
  int fd_;
};

// The body of CLmFile::Copy, which turns exceptions into errors around it.
//
// The destination is replaced by rename(2), which is atomic within one file
// system: a reader (or a crash) sees either the old file or the complete new
// one. That is why the temporary file must lie in the destination's own
// folder. The data are fsync'ed before the rename, so that a crash right after
// it cannot leave an empty or partial file under the destination's name, and
// the folder is fsync'ed after it, so that the rename itself survives a crash.
CLmError CopyFile(const std::string& source, const std::string& destination) {
  FdCloser in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) {
    int err = errno;
    CLmError e = ErrnoError(err, "Cannot open source file '" + source + "'");
    if (err == ENOENT) return CLmError(hxerr::kNotFound, e.Text());
    return e;
  }
  struct stat st;
  if (fstat(in.get(), &st) != 0) {
    int err = errno;
    return ErrnoError(err, "Cannot stat '" + source + "'");
  }
  if (!S_ISREG(st.st_mode))
    return CLmError(hxerr::kIo, "Cannot copy '" + source + "': not a regular file");

  const std::string folder = FolderOf(destination);
  std::string pattern = folder + "/." + BaseNameOf(destination) + ".tmpXXXXXX";
  std::vector<char> temp(pattern.begin(), pattern.end());
  temp.push_back('\0');
  FdCloser out(mkostemp(temp.data(), O_CLOEXEC));
  if (out.get() < 0) {
    int err = errno;
    return ErrnoError(
        err, "Cannot create a temporary file in '" + folder + "' for '" + destination + "'");
  }
  const std::string tempPath = temp.data();

  // From here on every failure removes the temporary file.
  auto fail = [&](int err, const std::string& what) {
    unlink(tempPath.c_str());
    return ErrnoError(err, what);
  };

  std::vector<char> buf(1 << 16);
  for (;;) {
    ssize_t n = read(in.get(), buf.data(), buf.size());
    if (n < 0) {
      int err = errno;
      if (err == EINTR) continue;
      return fail(err, "Cannot read '" + source + "'");
    }
    if (n == 0) break;
    if (!WriteAll(out.get(), buf.data(), static_cast<size_t>(n))) {
      int err = errno;
      return fail(err, "Cannot write '" + tempPath + "'");
    }
  }
  if (fchmod(out.get(), st.st_mode & 0777) != 0) {
    int err = errno;
    return fail(err, "Cannot set the mode of '" + tempPath + "'");
  }
  if (fsync(out.get()) != 0) {
    int err = errno;
    return fail(err, "Cannot flush '" + tempPath + "'");
  }
  if (out.CloseNow() != 0) {
    int err = errno;
    return fail(err, "Cannot close '" + tempPath + "'");
  }
  if (rename(tempPath.c_str(), destination.c_str()) != 0) {
    int err = errno;
    return fail(err, "Cannot replace '" + destination + "'");
  }

  // The copy is complete and in place; a folder that cannot be flushed
  // (some file systems refuse fsync on folders) does not undo that.
  FdCloser dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) fsync(dir.get());
  return CLmError::Success();
}

}  // namespace

std::string FXString::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = hxlog::VFormat(format, args);
  va_end(args);
  return out;
}

void FXString::ToLower(std::string& s) {
  for (char& c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 'A' && u <= 'Z') c = static_cast<char>(u - 'A' + 'a');
  }
}

void FXString::ToUpper(std::string& s) {
  for (char& c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 'a' && u <= 'z') c = static_cast<char>(u - 'a' + 'A');
  }
}

void FXString::ReplaceAll(std::string& s, const std::string& from, const std::string& to,
                          unsigned long start) {
  if (from.empty() || start >= s.size()) return;
  size_t pos = start;
  while ((pos = s.find(from, pos)) != std::string::npos) {
    s.replace(pos, from.size(), to);
    pos += to.size();  // never rescan the replacement, or "a"->"aa" would not end
  }
}

std::string FXString::CopyAndReplaceAll(const std::string& s, const std::string& from,
                                        const std::string& to) {
  std::string out = s;
  ReplaceAll(out, from, to, 0);
  return out;
}

int FXString::Compare(const std::string& a, const std::string& b) {
  return strcmp(a.c_str(), b.c_str());
}

CLmError FXPath::Append(std::string& path, const std::string& name, unsigned /*flags*/) {
  size_t first = name.find_first_not_of('/');
  std::string tail = first == std::string::npos ? std::string() : name.substr(first);
  if (path.empty() || path.back() != '/') path += '/';
  path += tail;
  return CLmError::Success();
}

bool FXFile::DoesFileExist(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FXFolder::DoesFolderExist(const std::string& path) { return IsFolder(path); }

CLmError FXFolder::CreateFoldersIteratively(const std::string& path, void* /*reserved*/) {
  if (path.empty()) return CLmError(hxerr::kInvalid, "Cannot create a folder with an empty path");
  try {
    // Create each prefix that ends before a '/', then the whole path. Empty
    // prefixes (a leading '/' or a doubled separator) are skipped.
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      if (path[slash - 1] == '/') continue;
      CLmError e = MakeOneFolder(path.substr(0, slash));
      if (e.IsError()) return e;
    }
    return MakeOneFolder(path);
  } catch (...) {
    return CLmError(hxerr::kGeneric, "Out of memory");
  }
}

CLmError CLmDirectory::Create(const char* path, bool recursive) {
  if (!path || !*path)
    return CLmError(hxerr::kInvalid, "Cannot create a folder with an empty path");
  try {
    if (recursive) return FXFolder::CreateFoldersIteratively(path, nullptr);
    return MakeOneFolder(path);
  } catch (...) {
    return CLmError(hxerr::kGeneric, "Out of memory");
  }
}

CLmError CLmFile::Copy(const char* source, const char* destination) {
  if (!source || !*source || !destination || !*destination)
    return CLmError(hxerr::kInvalid, "Cannot copy: empty source or destination path");
  try {
    return CopyFile(source, destination);
  } catch (...) {
    return CLmError(hxerr::kGeneric, "Out of memory");
  }
}
