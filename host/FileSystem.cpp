#include "host/FileSystem.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace hostfs {

namespace {

FileSystem& RealFileSystem() {
  static FileSystem real;
  return real;
}

// Release/acquire: a test's file system is fully built before a writer of
// another thread can reach it through the pointer.
std::atomic<FileSystem*> installed{nullptr};

int ResultOf(int rc) { return rc == 0 ? 0 : errno; }

}  // namespace

int FileSystem::CreateExclusive(const std::string& path, unsigned mode, int& fd) {
  // O_NOFOLLOW beside O_EXCL: a link planted at the name is never followed.
  fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
              static_cast<mode_t>(mode));
  return fd >= 0 ? 0 : errno;
}

int FileSystem::Fsync(int fd) { return ResultOf(::fsync(fd)); }

int FileSystem::Fdatasync(int fd) { return ResultOf(::fdatasync(fd)); }

int FileSystem::Rename(const std::string& from, const std::string& to) {
  return ResultOf(::rename(from.c_str(), to.c_str()));
}

int FileSystem::SyncFolder(const std::string& folder) {
  const int dir = ::open(folder.empty() ? "/" : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return errno;
  const int err = ResultOf(::fsync(dir));
  ::close(dir);
  return err;
}

FileSystem& FileSystemInUse() {
  FileSystem* fs = installed.load(std::memory_order_acquire);
  return fs != nullptr ? *fs : RealFileSystem();
}

FileSystem* InstallFileSystem(FileSystem* fs) {
  return installed.exchange(fs, std::memory_order_acq_rel);
}

}  // namespace hostfs
