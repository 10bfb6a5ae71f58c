#include "host/Locks.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "host/LogWriter.h"

namespace {

const char kLockTag[] = "int CNamedMutex::lock(int, bool)";

std::string ErrnoText(int err) {
  char buf[256];
  return strerror_r(err, buf, sizeof buf);
}

// flock(2) with EINTR retried; returns 0 or the errno of the failure.
int FlockRetrying(int fd, int operation) {
  for (;;) {
    if (flock(fd, operation) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

}  // namespace

bool HxCriticalSectionH::enter(bool wait) {
  if (wait) {
    mutex_.lock();
    return true;
  }
  return mutex_.try_lock();
}

void HxCriticalSectionH::leave() { mutex_.unlock(); }

HxCriticalSection::HxCriticalSection() : handle_(new (std::nothrow) HxCriticalSectionH) {
  if (!handle_) throw "Not enough memory to initialize HxCriticalSection";
}

HxCriticalSection::~HxCriticalSection() {
  delete handle_;
  handle_ = nullptr;
}

HxCriticalSectionLock::HxCriticalSectionLock(HxCriticalSection* section) : section_(section) {
  if (section_) section_->enter();
}

HxCriticalSectionLock::~HxCriticalSectionLock() {
  if (section_) section_->leave();
}

CNamedMutex::CNamedMutex(const char* name, CError* /*errorSink*/, bool /*flag*/) {
  try {
    name_ = name ? name : "";
  } catch (...) {
    // An empty name makes every lock() fail, which is logged there.
  }
}

CNamedMutex::~CNamedMutex() {
  if (fd_ >= 0) unlock();
}

std::string CNamedMutex::lockFilePath() const {
  const char* dir = std::getenv("GUIDLOOKUPS_LOCK_DIR");
  std::string path = dir && *dir ? dir : "/tmp";
  if (path.back() != '/') path += '/';
  return path + name_ + ".lock";
}

// The lock is the flock(2) of a descriptor this object opens for itself. The
// file is opened at lock() and closed at unlock(), and never deleted: deleting
// it would let a waiter that already opened the old file and a newcomer that
// creates a new one both "hold" the lock. A process that dies loses its
// descriptors and with them its lock.
int CNamedMutex::lock(int timeoutMs, bool /*flag*/) {
  if (fd_ >= 0) return 0;
  try {
    if (name_.empty() || name_.find('/') != std::string::npos) {
      HXLOG(-1, kLockTag, "Invalid named mutex name '%s'", name_.c_str());
      return -1;
    }
    const std::string path = lockFilePath();
    // O_NOFOLLOW: the default folder is world-writable, and a planted symlink
    // must not make us create or lock some other file.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0 && errno == EACCES) {
      // A lock file made by another user with a narrower umask can still be
      // locked through a read-only descriptor.
      fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd < 0) {
      int err = errno;
      HXLOG(-1, kLockTag, "Cannot open lock file %s: %s", path.c_str(), ErrnoText(err).c_str());
      return -1;
    }

    if (timeoutMs < 0) {
      int err = FlockRetrying(fd, LOCK_EX);
      if (err != 0) {
        close(fd);
        HXLOG(-1, kLockTag, "Cannot lock %s: %s", path.c_str(), ErrnoText(err).c_str());
        return -1;
      }
      fd_ = fd;
      return 0;
    }

    // A bounded wait polls: flock has no time-out of its own, and a signal
    // based one would disturb the host's signal handling. The pause grows
    // from 1 ms to 20 ms so that a short wait stays short.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
      int err = FlockRetrying(fd, LOCK_EX | LOCK_NB);
      if (err == 0) {
        fd_ = fd;
        return 0;
      }
      if (err != EWOULDBLOCK) {
        close(fd);
        HXLOG(-1, kLockTag, "Cannot lock %s: %s", path.c_str(), ErrnoText(err).c_str());
        return -1;
      }
      auto now = std::chrono::steady_clock::now();
      if (now >= deadline) {
        close(fd);
        return -1;
      }
      std::this_thread::sleep_for(
          std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
      pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
  } catch (...) {
    return -1;
  }
}

int CNamedMutex::unlock() {
  if (fd_ < 0) return -1;
  // Closing the only descriptor of the open file description releases the
  // lock too; the explicit unlock makes the release independent of that.
  flock(fd_, LOCK_UN);
  close(fd_);
  fd_ = -1;
  return 0;
}
