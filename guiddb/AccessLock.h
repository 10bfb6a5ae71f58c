// The access lock: the machine-wide mutex GUIDDB_ACCESS_LOCK_NAME that
// serialises every use of the table across the processes of the machine
// (its folder and file rules are CNamedMutex's). An AccessLock object is the
// one way to take it; a function that needs it held takes `const AccessLock&`
// (or a pointer, when holding it is optional), so that the type says what a
// comment or a flag could only promise.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "guiddb/CacheFiles.h"
#include "host/Export.h"
#include "host/Locks.h"

// A long-lived handle of the access lock, for a caller that takes it again
// and again (the private-mode miss): with the descriptor kept open, each
// taking costs one flock.
class GUIDLOOKUPS_EXPORT AccessMutex {
 public:
  AccessMutex() : mutex_(GUIDDB_ACCESS_LOCK_NAME, nullptr, false) {}
  void keepDescriptorOpen(bool keep) { mutex_.keepDescriptorOpen(keep); }
  void recheckKeptFileEvery(std::chrono::milliseconds interval) {
    mutex_.recheckKeptFileEvery(interval);
  }
  // The lock file's path as it would be used now (nothing is created).
  std::string lockFilePath() const { return mutex_.lockFilePath(); }

 private:
  friend class AccessLock;
  CNamedMutex mutex_;
};

// Holds the access lock for a scope: takes it at construction and, when that
// succeeded, releases it exactly once at the end of the scope, on every path.
class GUIDLOOKUPS_EXPORT AccessLock {
 public:
  // Takes a mutex of its own, waiting up to `timeoutMs` (-1: without limit).
  explicit AccessLock(int timeoutMs = -1)
      : own_(std::make_unique<AccessMutex>()), mutex_(*own_), held_(Take(timeoutMs)) {}
  // Takes `mutex`, which the caller keeps across uses.
  explicit AccessLock(AccessMutex& mutex, int timeoutMs = -1)
      : mutex_(mutex), held_(Take(timeoutMs)) {}
  ~AccessLock() {
    if (held_) mutex_.mutex_.unlock();
  }
  AccessLock(const AccessLock&) = delete;
  AccessLock& operator=(const AccessLock&) = delete;

  // False when the lock could not be taken (logged by CNamedMutex::lock).
  bool held() const { return held_; }
  std::string lockFilePath() const { return mutex_.lockFilePath(); }

 private:
  bool Take(int timeoutMs) { return mutex_.mutex_.lock(timeoutMs, false) == 0; }

  std::unique_ptr<AccessMutex> own_;
  AccessMutex& mutex_;
  bool held_;
};
