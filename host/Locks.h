// In-process and machine-wide locks.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "host/Export.h"

class CError;

// The host's in-process lock. Thread-safe; not recursive.
class GUIDLOOKUPS_EXPORT HxCriticalSectionH {
 public:
  HxCriticalSectionH() = default;
  ~HxCriticalSectionH() = default;
  HxCriticalSectionH(const HxCriticalSectionH&) = delete;
  HxCriticalSectionH& operator=(const HxCriticalSectionH&) = delete;

  // With `wait` true, blocks until the section is free and returns true;
  // with false, returns whether it was taken.
  bool enter(bool wait);
  void leave();

 private:
  std::mutex mutex_;
};

// Owns one host lock on the heap. Throws the C string "Not enough memory to
// initialize HxCriticalSection" when it cannot be allocated.
class GUIDLOOKUPS_EXPORT HxCriticalSection {
 public:
  HxCriticalSection();
  ~HxCriticalSection();
  HxCriticalSection(const HxCriticalSection&) = delete;
  HxCriticalSection& operator=(const HxCriticalSection&) = delete;

  void enter() { handle_->enter(true); }
  void leave() { handle_->leave(); }

 private:
  HxCriticalSectionH* handle_ = nullptr;
};

// Scope lock: enters the section at construction (when not null) and leaves
// it at destruction.
class GUIDLOOKUPS_EXPORT HxCriticalSectionLock {
 public:
  explicit HxCriticalSectionLock(HxCriticalSection* section);
  ~HxCriticalSectionLock();
  HxCriticalSectionLock(const HxCriticalSectionLock&) = delete;
  HxCriticalSectionLock& operator=(const HxCriticalSectionLock&) = delete;

 private:
  HxCriticalSection* section_;
};

// A machine-wide mutex: flock(2) on the file "<folder>/<name>.lock". The
// database file itself is never locked.
//
// The folder is GUIDLOOKUPS_LOCK_DIR (read at each lock that opens the file,
// and after the knob was set in-process; used as given, never created), or else a folder that only
// this process's effective user (and root) can write, so that no other user can create, hold or
// replace a lock file there: see DefaultLockFolder(). Every process that shares one database must
// therefore run as one user, or share one GUIDLOOKUPS_LOCK_DIR. In either folder the lock file must
// be a regular file owned by the effective user or by root; anything else (a link, a folder, a
// FIFO, a file of another user) is refused with one log line, never waited on.
//
// Each object opens its own file description (O_CLOEXEC, so that programs
// the agent starts never inherit a held lock), so two objects of one process
// exclude each other like two processes do. A process that dies releases its
// locks with its descriptors, so no stale lock survives it.
//
// Thread-safety: an object belongs to one thread at a time. Unlike the
// platform's mutex, the destructor releases a lock still held, so an
// exception can never leave the machine locked; callers still unlock()
// explicitly on every path.
class GUIDLOOKUPS_EXPORT CNamedMutex {
 public:
  // `errorSink` and `flag` are unused (the library passes null and false).
  CNamedMutex(const char* name, CError* errorSink, bool flag);
  ~CNamedMutex();
  CNamedMutex(const CNamedMutex&) = delete;
  CNamedMutex& operator=(const CNamedMutex&) = delete;

  // Waits up to `timeoutMs` milliseconds (-1: without limit). Returns 0 when
  // the lock is held; -1 when the time ran out, or (with one log line at
  // level -1 naming the path) when the lock folder or file is refused or
  // cannot be opened. Locking a held object again returns 0 and does nothing.
  int lock(int timeoutMs, bool flag);
  // Releases the lock; returns 0, or -1 when it was not held.
  int unlock();
  bool isLocked() const { return locked_; }
  // With `keep`, unlock() keeps the lock file open for the next lock() of
  // this object, which then costs one flock instead of an open and a close;
  // the next lock() reopens when the file was removed meanwhile (an age-based
  // cleaner of a temporary folder, say) or the lock folder changed. The
  // descriptor is closed with the object. Default: closed at every unlock.
  void keepDescriptorOpen(bool keep) { keepOpen_ = keep; }
  // With a kept descriptor: look for its file's removal at most once per
  // `interval` rather than at every lock, saving a system call per lock. A
  // removed file may then go on being locked for up to `interval` while a
  // newcomer locks the new one, so only for a holder whose overlap with
  // another holder does no harm: a reader of the table through SQLite, whose
  // own locks keep every read whole, and which checks the table's identity
  // itself. Default 0: at every lock.
  void recheckKeptFileEvery(std::chrono::milliseconds interval) { recheckEvery_ = interval; }
  // The lock file's path as it would be used now (nothing is created).
  std::string lockFilePath() const;

  // The lock folder when GUIDLOOKUPS_LOCK_DIR is unset, for the effective
  // user `euid`: "/run/guidlookups" for root; for other users
  // "<runtimeDir>/guidlookups" when `runtimeDir` (XDG_RUNTIME_DIR) is an
  // absolute path, else "/tmp/guidlookups-<euid>".
  static std::string DefaultLockFolder(unsigned euid, const char* runtimeDir);
  // Makes `folder` a private folder of the effective user: creates it with
  // mode 0700 when missing (its parent must exist), then requires a real
  // folder (not a link) owned by the effective user and writable by neither
  // group nor others. False with the reason in `why` otherwise.
  static bool PreparePrivateFolder(const std::string& folder, std::string* why);

 private:
  int Acquire(int fd, const std::string& path, int timeoutMs);
  // False when the kept descriptor's file was removed from its folder (as
  // far as the last check, within recheckEvery_, knows).
  bool KeptFileStillLinked();

  std::string name_;
  int fd_ = -1;  // open on path_ while locked, and between locks with keepOpen_
  std::string path_;
  // What path_ was made from, for a cheap "changed?" test before a kept
  // descriptor is used again.
  struct KeptFolder {
    std::string folder;
    uint64_t generation = 0;  // hostconfig::Generation() when it was derived
    bool given = false;       // GUIDLOOKUPS_LOCK_DIR, not the user's default
    uid_t euid = 0;           // the user whose default it was
  } kept_;
  std::chrono::steady_clock::duration recheckEvery_{0};
  std::chrono::steady_clock::time_point fileCheckedAt_;  // when the kept file was last found linked
  bool locked_ = false;
  bool keepOpen_ = false;
};
