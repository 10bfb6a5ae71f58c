#include "host/Locks.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "host/Files.h"
#include "host/HostConfig.h"
#include "host/LogWriter.h"

namespace {

const char kLockTag[] = "int CNamedMutex::lock(int, bool)";

// flock(2) with EINTR retried; returns 0 or the errno of the failure.
int FlockRetrying(int fd, int operation) {
  for (;;) {
    if (flock(fd, operation) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

// The folder of the lock files now: GUIDLOOKUPS_LOCK_DIR (`given` true) or
// the default one of the effective user.
std::string FolderInUse(bool* given) {
  std::string dir = hostconfig::Get(hostconfig::Knob::kLockDir);
  *given = !dir.empty();
  if (*given) return dir;
  return CNamedMutex::DefaultLockFolder(geteuid(), std::getenv("XDG_RUNTIME_DIR"));
}

std::string LockFilePath(std::string folder, const std::string& name) {
  if (folder.back() != '/') folder += '/';
  return folder + name + ".lock";
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
  if (locked_) unlock();
  if (fd_ >= 0) close(fd_);
}

std::string CNamedMutex::DefaultLockFolder(unsigned euid, const char* runtimeDir) {
  if (euid == 0) return "/run/guidlookups";
  if (runtimeDir && runtimeDir[0] == '/') {
    std::string folder = runtimeDir;
    if (folder.back() != '/') folder += '/';
    return folder + "guidlookups";
  }
  return "/tmp/guidlookups-" + std::to_string(euid);
}

// A world-writable parent such as /tmp lets anybody create our folder's name
// first, so an existing folder is trusted only after the checks below; the
// parent's sticky bit then keeps others from renaming or removing it.
bool CNamedMutex::PreparePrivateFolder(const std::string& folder, std::string* why) {
  auto refuse = [&](const std::string& reason) {
    if (why) *why = reason;
    return false;
  };
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    int err = errno;
    return refuse("cannot create it: " + hostfs::ErrnoText(err));
  }
  struct stat st;
  if (lstat(folder.c_str(), &st) != 0) {
    int err = errno;
    return refuse(hostfs::ErrnoText(err));
  }
  if (S_ISLNK(st.st_mode)) return refuse("it is a symbolic link");
  if (!S_ISDIR(st.st_mode)) return refuse("it is not a folder");
  const uid_t euid = geteuid();
  if (st.st_uid != euid)
    return refuse("it belongs to uid " + std::to_string(st.st_uid) + ", not to uid " +
                  std::to_string(euid));
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return refuse("group or others may write to it");
  return true;
}

std::string CNamedMutex::lockFilePath() const {
  bool given = false;
  return LockFilePath(FolderInUse(&given), name_);
}

// The lock is the flock(2) of a descriptor this object opens for itself. The
// file is opened at lock() and closed at unlock() (or with the object, when
// kept open), and never deleted: deleting
// it would let a waiter that already opened the old file and a newcomer that
// creates a new one both "hold" the lock. A process that dies loses its
// descriptors and with them its lock.
//
// Whoever can open the lock file can hold it, even through a read-only
// descriptor and a shared lock, and so stop every lookup of the machine. So
// the file must lie in a folder no other user can write to, and must be our
// own (or root's, which only an administrator can have put there).
int CNamedMutex::lock(int timeoutMs, bool /*flag*/) {
  if (locked_) return 0;
  try {
    if (name_.empty() || name_.find('/') != std::string::npos) {
      HXLOG(-1, kLockTag, "Invalid named mutex name '%s'", name_.c_str());
      return -1;
    }
    const uint64_t generation = hostconfig::Generation();
    if (fd_ >= 0) {
      // A kept descriptor still names the lock only while the folder is the
      // one in use and its file is the one at the path: once removed,
      // newcomers lock a new file. The folder is derived again only when
      // what it comes from moved (no knob read, no path built per lock).
      bool given = kept_.given;
      const uid_t euid = given ? kept_.euid : geteuid();
      const bool sameFolder = (generation == kept_.generation && euid == kept_.euid) ||
                              FolderInUse(&given) == kept_.folder;
      if (sameFolder && KeptFileStillLinked()) {
        kept_.generation = generation;
        kept_.given = given;
        kept_.euid = euid;
        return Acquire(fd_, path_, timeoutMs);
      }
      close(fd_);
      fd_ = -1;
    }
    bool given = false;
    const std::string folder = FolderInUse(&given);
    std::string why;
    if (!given && !PreparePrivateFolder(folder, &why)) {
      HXLOG(-1, kLockTag, "Refusing lock folder %s: %s", folder.c_str(), why.c_str());
      return -1;
    }
    const std::string path = LockFilePath(folder, name_);
    // O_NOFOLLOW: a planted link must not make us create or lock another
    // file. O_NONBLOCK: a FIFO planted at the path must not stall the open.
    int fd =
        open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0600);
    if (fd < 0) {
      int err = errno;
      if (err == ELOOP || err == EISDIR) {
        HXLOG(-1, kLockTag, "Refusing lock file %s: not a regular file", path.c_str());
      } else {
        HXLOG(-1, kLockTag, "Cannot open lock file %s: %s", path.c_str(),
              hostfs::ErrnoText(err).c_str());
      }
      return -1;
    }
    struct stat st;
    const uid_t euid = geteuid();
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      HXLOG(-1, kLockTag, "Refusing lock file %s: not a regular file", path.c_str());
      return -1;
    }
    if (st.st_uid != euid && st.st_uid != 0) {
      close(fd);
      HXLOG(-1, kLockTag, "Refusing lock file %s: it belongs to uid %u, not to uid %u",
            path.c_str(), static_cast<unsigned>(st.st_uid), static_cast<unsigned>(euid));
      return -1;
    }

    kept_ = {folder, generation, given, euid};
    fileCheckedAt_ = std::chrono::steady_clock::now();
    return Acquire(fd, path, timeoutMs);
  } catch (...) {
    return -1;
  }
}

bool CNamedMutex::KeptFileStillLinked() {
  const auto now = std::chrono::steady_clock::now();
  if (recheckEvery_.count() > 0 && now - fileCheckedAt_ < recheckEvery_) return true;
  struct stat kept;
  if (fstat(fd_, &kept) != 0 || kept.st_nlink == 0) return false;
  fileCheckedAt_ = now;
  return true;
}

// Takes the flock on `fd`, open on `path`. On success the object holds it;
// on failure a descriptor not kept for later is closed.
int CNamedMutex::Acquire(int fd, const std::string& path, int timeoutMs) {
  auto give = [&](int result) {
    if (result == 0) {
      fd_ = fd;
      path_ = path;
      locked_ = true;
    } else if (!keepOpen_ || fd != fd_) {
      if (fd == fd_) fd_ = -1;
      close(fd);
    }
    return result;
  };
  if (timeoutMs < 0) {
    int err = FlockRetrying(fd, LOCK_EX);
    if (err != 0) {
      HXLOG(-1, kLockTag, "Cannot lock %s: %s", path.c_str(), hostfs::ErrnoText(err).c_str());
      return give(-1);
    }
    return give(0);
  }

  // A bounded wait polls: flock has no time-out of its own, and a signal
  // based one would disturb the host's signal handling. The pause grows
  // from 1 ms to 20 ms so that a short wait stays short.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    int err = FlockRetrying(fd, LOCK_EX | LOCK_NB);
    if (err == 0) return give(0);
    if (err != EWOULDBLOCK) {
      HXLOG(-1, kLockTag, "Cannot lock %s: %s", path.c_str(), hostfs::ErrnoText(err).c_str());
      return give(-1);
    }
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return give(-1);
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
}

int CNamedMutex::unlock() {
  if (!locked_) return -1;
  // Closing the only descriptor of the open file description releases the
  // lock too; the explicit unlock makes the release independent of that.
  flock(fd_, LOCK_UN);
  locked_ = false;
  if (!keepOpen_) {
    close(fd_);
    fd_ = -1;
  }
  return 0;
}
