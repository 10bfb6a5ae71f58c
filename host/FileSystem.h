// The few file-system calls on which a replaced file's durability rests: the
// exclusive creation of a file written aside, its flush, the rename that puts
// it in place and the flush of the folder that makes the rename last. Every
// writer of the library reaches them through FileSystemInUse(), so that a
// test can hand in a file system that fails one of them with a chosen errno
// or reports what a crash at any point would leave.
//
// Thread-safety: FileSystem's own methods keep no state and may be called
// from any thread. The file system in use is one process-wide pointer, read
// with one atomic load per call; installing another is for tests, between
// operations, and the one installed must outlive every call that reaches it.
#pragma once

#include <string>

#include "host/Export.h"

namespace hostfs {

// The real calls. Each method returns 0 or the errno value of the failure,
// and leaves errno unspecified.
class GUIDLOOKUPS_EXPORT FileSystem {
 public:
  FileSystem() = default;
  virtual ~FileSystem() = default;
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;

  // Creates `path` for reading and writing, exclusively (EEXIST when any
  // file or link is there), close-on-exec, with `mode` narrowed by the
  // umask. The descriptor goes to `fd`.
  virtual int CreateExclusive(const std::string& path, unsigned mode, int& fd);
  virtual int Fsync(int fd);
  virtual int Fdatasync(int fd);
  // rename(2): atomic within one file system.
  virtual int Rename(const std::string& from, const std::string& to);
  // fsync(2) of the folder itself, so that a creation or rename in it
  // survives a crash.
  virtual int SyncFolder(const std::string& folder);
};

// The file system every writer of the library uses: the real one unless a
// test installed another.
GUIDLOOKUPS_EXPORT FileSystem& FileSystemInUse();

// Makes `fs` the file system in use (nullptr: the real one again) and returns
// the one installed before (nullptr when that was the real one).
GUIDLOOKUPS_EXPORT FileSystem* InstallFileSystem(FileSystem* fs);

}  // namespace hostfs
