#include "host/FXPath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "host/Files.h"

namespace {

CLmError ErrnoError(int err, const std::string& what) {
  int32_t code = hxerr::kIo;
  if (err == ENOSPC || err == EDQUOT) code = hxerr::kNoSpace;
  return CLmError(code, what + ": " + hostfs::ErrnoText(err));
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

// The body of CLmFile::Copy, which turns exceptions into errors around it.
//
// hostfs::AtomicReplace writes the bytes to a temporary file beside the
// destination and renames it over, so a reader (or a crash) sees the old file
// or the complete new one; a destination that is a symbolic link stays a link
// and the file it names gets the copy.
CLmError CopyFile(const std::string& source, const std::string& destination) {
  // O_NONBLOCK: a FIFO as the source must be refused, not waited on at open.
  hostfs::ScopedFd in(open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
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

  // A failed read is the source's fault, while AtomicReplace would blame the
  // temporary file; the callback keeps its own account.
  std::string readError;
  auto copy = [&](int out) {
    std::vector<char> buf(1 << 16);
    for (;;) {
      ssize_t n = read(in.get(), buf.data(), buf.size());
      if (n < 0) {
        int err = errno;
        if (err == EINTR) continue;
        readError = "Cannot read '" + source + "'";
        errno = err;
        return false;
      }
      if (n == 0) return true;
      if (!hostfs::WriteAll(out, buf.data(), static_cast<size_t>(n))) return false;
    }
  };
  std::string error;
  if (!hostfs::AtomicReplace(destination, copy, &error, static_cast<int>(st.st_mode & 0777))) {
    int err = errno;
    if (!readError.empty()) return ErrnoError(err, readError);
    int32_t code = err == ENOSPC || err == EDQUOT ? hxerr::kNoSpace : hxerr::kIo;
    return CLmError(code, "Cannot copy '" + source + "' to '" + destination + "': " + error);
  }
  return CLmError::Success();
}

}  // namespace

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
