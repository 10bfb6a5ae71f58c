// File-system helpers of the host layer: whole-file reads, atomic
// replacement of a file (keeping a symbolic link that names it, built on
// host/StagedFile.h) and folder syncs. Every function is
// thread-safe (no shared state) and never throws; failures come back as false
// with a one-line reason.
#pragma once

#include <unistd.h>

#include <functional>
#include <string>

#include "host/Export.h"

namespace hostfs {

// strerror text of `err`, thread-safe.
GUIDLOOKUPS_EXPORT std::string ErrnoText(int err);

// Owns a descriptor (-1 for none) and closes it at the end of the scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The folder part of `path` ("." when it has none, "/" for a file at the
// root).
GUIDLOOKUPS_EXPORT std::string FolderOf(const std::string& path);

// Reads the whole regular file (or the file a link names) into `content`.
// False when it cannot be opened ("<path>: cannot open (<reason>)"), is not
// a regular file ("<path>: not a regular file"; a FIFO or a device is never
// waited on) or cannot be read ("<path>: read failed (<reason>)"), with that
// text in `error` and errno set; `content` is then unspecified.
GUIDLOOKUPS_EXPORT bool ReadWholeFile(const std::string& path, std::string& content,
                                      std::string* error = nullptr);

// The path a write to `path` must replace: `path` itself, or, when it is a
// symbolic link (or a chain of them), the file the last link names, so that
// replacing it keeps the link. A dangling link resolves to its target's path.
// Relative link targets are taken from the link's folder.
GUIDLOOKUPS_EXPORT std::string ResolveLinks(const std::string& path);

// fsync of a folder, so that a rename in it survives a crash. A file system
// that refuses fsync on folders counts as success.
GUIDLOOKUPS_EXPORT bool SyncFolder(const std::string& folder);

// Replaces the file `path` (through ResolveLinks) atomically: `write` fills a
// new uniquely named file beside it (it gets the descriptor and returns false
// to abandon), which is fsync'ed, given `mode` and renamed over the old one.
// A reader sees the old file or the new one, never a mix. On any failure the
// temporary file is removed, the old file is left whole and `error` says why
// (errno is then set, ENOSPC for a full disk). `mode` -1 keeps the old file's
// mode, or 0644 less the process's umask for a new file; the umask is never
// changed.
GUIDLOOKUPS_EXPORT bool AtomicReplace(const std::string& path,
                                      const std::function<bool(int fd)>& write,
                                      std::string* error = nullptr, int mode = -1);
GUIDLOOKUPS_EXPORT bool AtomicWriteFile(const std::string& path, const std::string& content,
                                        std::string* error = nullptr, int mode = -1);

// Writes every byte, retrying after EINTR and short writes. False with errno
// set on failure.
GUIDLOOKUPS_EXPORT bool WriteAll(int fd, const char* data, size_t size);

}  // namespace hostfs
