// Tests of the in-process critical section and the machine-wide named mutex.
#include "host/Locks.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

// Lets a test make the nothrow allocation of the critical section fail.
// Replacing the global operator affects the whole test program, so it passes
// every other request on to the ordinary allocator.
namespace {
std::atomic<bool> g_failNothrowNew{false};
}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (g_failNothrowNew.load()) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

namespace {

using testsupport::ChildProgram;
using testsupport::ForkChild;
using testsupport::ForkChildAsNobody;
using testsupport::IsRoot;
using testsupport::ScopedConfig;
using testsupport::ScopedEnv;
using Knob = hostconfig::Knob;
using testsupport::ScopedLogCapture;
using testsupport::TempDir;
using testsupport::WaitChild;

// A one-byte message between parent and child.
struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() {
    if (pipe(fds) != 0) std::abort();
  }
  ~Pipe() {
    close(fds[0]);
    close(fds[1]);
  }
  void Send(char c) const {
    if (write(fds[1], &c, 1) != 1) std::abort();
  }
  char Receive() const {
    char c = 0;
    return read(fds[0], &c, 1) == 1 ? c : '\0';
  }
};

class LocksTest : public ::testing::Test {
 protected:
  LocksTest() : lockDir_(Knob::kLockDir, dir_.path()) {}
  void TearDown() override { g_failNothrowNew = false; }

  TempDir dir_;
  ScopedConfig lockDir_;
};

// --- Critical section -------------------------------------------------------

TEST_F(LocksTest, FailedAllocationThrowsTheDocumentedCString) {
  g_failNothrowNew = true;
  const char* thrown = nullptr;
  try {
    HxCriticalSection section;
  } catch (const char* text) {
    thrown = text;
  }
  g_failNothrowNew = false;
  ASSERT_NE(thrown, nullptr);
  EXPECT_STREQ(thrown, "Not enough memory to initialize HxCriticalSection");
}

TEST_F(LocksTest, ConcurrentTryEnterFailsWhileAnotherThreadHolds) {
  HxCriticalSectionH handle;
  std::atomic<int> stage{0};
  std::thread holder([&] {
    handle.enter(true);
    stage = 1;
    while (stage.load() != 2) std::this_thread::yield();
    handle.leave();
    stage = 3;
  });
  while (stage.load() != 1) std::this_thread::yield();
  EXPECT_FALSE(handle.enter(false));
  stage = 2;
  while (stage.load() != 3) std::this_thread::yield();
  holder.join();
  EXPECT_TRUE(handle.enter(false));
  handle.leave();
}

TEST_F(LocksTest, ConcurrentScopeLocksSerialiseAPlainCounter) {
  // The counter is deliberately not atomic: lost updates (or a ThreadSanitizer
  // report) show a scope lock that does not exclude.
  HxCriticalSection section;
  long counter = 0;
  const int kThreads = 8, kRounds = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        HxCriticalSectionLock lock(&section);
        counter = counter + 1;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
  HxCriticalSectionLock none(nullptr);  // a null section is simply not taken
}

// --- Named mutex --------------------------------------------------------------

TEST_F(LocksTest, ChildHoldingTheMutexBlocksTheParentUntilItUnlocks) {
  Pipe locked, release;
  pid_t child = ForkChild([&] {
    CNamedMutex mutex("SQLITE_ACCESS_LOCK", nullptr, false);
    if (mutex.lock(-1, false) != 0) return 2;
    locked.Send('L');
    release.Receive();
    return mutex.unlock() == 0 ? 0 : 3;
  });
  ASSERT_EQ(locked.Receive(), 'L');
  CNamedMutex mutex("SQLITE_ACCESS_LOCK", nullptr, false);
  EXPECT_EQ(mutex.lockFilePath(), dir_.file("SQLITE_ACCESS_LOCK.lock"));
  EXPECT_EQ(mutex.lock(50, false), -1);
  EXPECT_FALSE(mutex.isLocked());
  release.Send('U');
  EXPECT_EQ(mutex.lock(-1, false), 0);  // returns once the child has unlocked
  EXPECT_EQ(WaitChild(child), 0);
  EXPECT_EQ(mutex.unlock(), 0);
}

TEST_F(LocksTest, ChildKilledWhileHoldingReleasesTheMutex) {
  Pipe locked;
  pid_t child = ForkChild([&] {
    CNamedMutex mutex("SQLITE_ACCESS_LOCK", nullptr, false);
    if (mutex.lock(-1, false) != 0) return 2;
    locked.Send('L');
    for (;;) pause();
  });
  ASSERT_EQ(locked.Receive(), 'L');
  CNamedMutex mutex("SQLITE_ACCESS_LOCK", nullptr, false);
  EXPECT_EQ(mutex.lock(20, false), -1);
  kill(child, SIGKILL);
  EXPECT_EQ(WaitChild(child), 128 + SIGKILL);
  EXPECT_EQ(mutex.lock(0, false), 0);
  mutex.unlock();
}

TEST_F(LocksTest, TwoObjectsInOneProcessExcludeEachOther) {
  CNamedMutex first("SQLITE_ACCESS_LOCK", nullptr, false);
  CNamedMutex second("SQLITE_ACCESS_LOCK", nullptr, false);
  CNamedMutex unrelated("OTHER_LOCK", nullptr, false);
  ASSERT_EQ(first.lock(-1, false), 0);
  EXPECT_EQ(first.lock(-1, false), 0);  // already held: no self-deadlock
  EXPECT_EQ(second.lock(0, false), -1);
  EXPECT_EQ(unrelated.lock(0, false), 0);
  EXPECT_EQ(first.unlock(), 0);
  EXPECT_EQ(first.unlock(), -1);
  EXPECT_EQ(second.lock(0, false), 0);
  EXPECT_EQ(unrelated.unlock(), 0);
  EXPECT_EQ(second.unlock(), 0);
}

TEST_F(LocksTest, DestructorReleasesAHeldLock) {
  {
    CNamedMutex forgotten("SQLITE_ACCESS_LOCK", nullptr, false);
    ASSERT_EQ(forgotten.lock(-1, false), 0);
  }
  CNamedMutex next("SQLITE_ACCESS_LOCK", nullptr, false);
  EXPECT_EQ(next.lock(0, false), 0);
}

TEST_F(LocksTest, LockFileIsNotInheritedByExecutedPrograms) {
  CNamedMutex mutex("SQLITE_ACCESS_LOCK", nullptr, false);
  ASSERT_EQ(mutex.lock(-1, false), 0);
  const std::string target = mutex.lockFilePath();
  std::vector<int> fds = testsupport::DescriptorsOn(target);
  ASSERT_EQ(fds.size(), 1u);
  EXPECT_TRUE(fcntl(fds[0], F_GETFD) & FD_CLOEXEC) << "fd " << fds[0];
  mutex.unlock();
  // unlock() closes the descriptor, so nothing of the lock outlives it.
  EXPECT_TRUE(testsupport::DescriptorsOn(target).empty());
}

// A kept descriptor saves the open and close of each lock, but must not go on
// locking a file that was removed: a newcomer locks the new file at the path.
TEST_F(LocksTest, KeptDescriptorFollowsARemovedLockFileAndTheFolderInUse) {
  CNamedMutex kept("SQLITE_ACCESS_LOCK", nullptr, false);
  kept.keepDescriptorOpen(true);
  ASSERT_EQ(kept.lock(-1, false), 0);
  const std::string target = kept.lockFilePath();
  ASSERT_EQ(kept.unlock(), 0);
  EXPECT_EQ(testsupport::DescriptorsOn(target).size(), 1u);
  EXPECT_FALSE(kept.isLocked());
  // One that looks for the removal at most every 100 ms notices it too.
  CNamedMutex lazy("SQLITE_ACCESS_LOCK", nullptr, false);
  lazy.keepDescriptorOpen(true);
  lazy.recheckKeptFileEvery(std::chrono::milliseconds(100));
  ASSERT_EQ(lazy.lock(-1, false), 0);
  lazy.unlock();

  ASSERT_EQ(unlink(target.c_str()), 0);
  CNamedMutex newcomer("SQLITE_ACCESS_LOCK", nullptr, false);
  ASSERT_EQ(newcomer.lock(-1, false), 0);
  EXPECT_EQ(kept.lock(0, false), -1);  // the newcomer holds the file now at the path
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(lazy.lock(0, false), -1);
  newcomer.unlock();
  EXPECT_EQ(kept.lock(0, false), 0);
  kept.unlock();

  // A lock folder set in-process moves the kept lock with it, and back.
  const std::string other = dir_.file("other");
  ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
  {
    ScopedConfig moved(Knob::kLockDir, other);
    CNamedMutex there("SQLITE_ACCESS_LOCK", nullptr, false);
    ASSERT_EQ(there.lock(-1, false), 0);
    EXPECT_EQ(kept.lock(0, false), -1);
    there.unlock();
    ASSERT_EQ(kept.lock(0, false), 0);
    EXPECT_EQ(testsupport::DescriptorsOn(other + "/SQLITE_ACCESS_LOCK.lock").size(), 1u);
    kept.unlock();
  }
  ASSERT_EQ(kept.lock(0, false), 0);
  EXPECT_EQ(testsupport::DescriptorsOn(target).size(), 1u);
  kept.unlock();
}

TEST_F(LocksTest, UnopenableLockFileFailsWithOneLogLine) {
  ScopedConfig missing(Knob::kLockDir, dir_.path() + "/missing");
  ScopedLogCapture log;
  CNamedMutex mutex("SQLITE_ACCESS_LOCK", nullptr, false);
  EXPECT_EQ(mutex.lock(-1, false), -1);
  EXPECT_FALSE(mutex.isLocked());
  auto lines = log->lines();
  ASSERT_EQ(lines.size(), 1u) << log->dump();
  EXPECT_EQ(lines[0].level, -1);
  EXPECT_EQ(lines[0].tag, "int CNamedMutex::lock(int, bool)");
  EXPECT_NE(lines[0].message.find(dir_.path() + "/missing/SQLITE_ACCESS_LOCK.lock"),
            std::string::npos)
      << lines[0].message;
  EXPECT_EQ(mutex.unlock(), -1);

  CNamedMutex empty("", nullptr, false);
  EXPECT_EQ(empty.lock(0, false), -1);
  CNamedMutex slash("../escape", nullptr, false);
  EXPECT_EQ(slash.lock(0, false), -1);
}

TEST_F(LocksTest, ConcurrentNamedMutexesExcludeThreads) {
  // flock is invisible to ThreadSanitizer, so the shared state is atomic and
  // exclusion is checked by hand: the increment is a separate load and store
  // (lost without exclusion), and `inside` catches two holders at once.
  const int kThreads = 4, kRounds = 200;
  std::atomic<long> counter{0};
  std::atomic<bool> inside{false};
  std::atomic<int> overlaps{0}, failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      CNamedMutex mutex("SQLITE_ACCESS_LOCK", nullptr, false);
      for (int i = 0; i < kRounds; ++i) {
        if (mutex.lock(-1, false) != 0) {
          ++failures;
          continue;
        }
        if (inside.exchange(true, std::memory_order_relaxed)) ++overlaps;
        long seen = counter.load(std::memory_order_relaxed);
        std::this_thread::yield();
        counter.store(seen + 1, std::memory_order_relaxed);
        inside.store(false, std::memory_order_relaxed);
        mutex.unlock();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(counter.load(), static_cast<long>(kThreads) * kRounds);
}

// --- Lock folder and lock file that no other user can hold ---------------------

// Runs lock(-1) in a child process under an alarm, so that a lock that waits
// instead of refusing fails the test rather than hanging it. The child exits
// 0 when the lock was refused with exactly one log line naming `expected`.
int RefusedWithOneLine(const std::string& expected) {
  pid_t child = ForkChild([&] {
    alarm(10);
    ScopedLogCapture log;
    CNamedMutex mutex("SQLITE_ACCESS_LOCK", nullptr, false);
    if (mutex.lock(-1, false) != -1) return 2;
    auto lines = log->lines();
    if (lines.size() != 1 || lines[0].level != -1) return 3;
    return lines[0].message.find(expected) != std::string::npos ? 0 : 4;
  });
  return WaitChild(child);
}

TEST_F(LocksTest, DefaultFolderFollowsTheEffectiveUser) {
  EXPECT_EQ(CNamedMutex::DefaultLockFolder(0, "/run/user/0"), "/run/guidlookups");
  EXPECT_EQ(CNamedMutex::DefaultLockFolder(1000, "/run/user/1000"), "/run/user/1000/guidlookups");
  EXPECT_EQ(CNamedMutex::DefaultLockFolder(1000, nullptr), "/tmp/guidlookups-1000");
  EXPECT_EQ(CNamedMutex::DefaultLockFolder(1000, "relative"), "/tmp/guidlookups-1000");
}

TEST_F(LocksTest, NonRegularLockPathFailsWithOneLineInsteadOfHanging) {
  const std::string path = dir_.file("SQLITE_ACCESS_LOCK.lock");
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  EXPECT_EQ(RefusedWithOneLine(path), 0);
  ASSERT_EQ(rmdir(path.c_str()), 0);
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(RefusedWithOneLine(path), 0);
  ASSERT_EQ(unlink(path.c_str()), 0);
  // A link, even to a good lock file, is never followed.
  testsupport::WriteFile(dir_.file("elsewhere"), "");
  ASSERT_EQ(symlink(dir_.file("elsewhere").c_str(), path.c_str()), 0);
  EXPECT_EQ(RefusedWithOneLine(path), 0);
}

TEST_F(LocksTest, LockFileOfAnotherUserIsRefusedNotWaitedOn) {
  if (!IsRoot()) GTEST_SKIP() << "acting as another user needs root";
  // A folder everybody may write to, as /tmp is.
  ASSERT_EQ(chmod(dir_.path().c_str(), 0711), 0);
  const std::string shared = dir_.file("shared");
  ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  ScopedConfig lockDir(Knob::kLockDir, shared);
  const std::string path = shared + "/SQLITE_ACCESS_LOCK.lock";

  // nobody creates the lock file and holds a shared lock on it.
  ChildProgram holder(testsupport::AsNobody(
      {"flock", "--shared", "--close", path, "sh", "-c", "echo held; read line; true"}));
  ASSERT_EQ(holder.ReadLine(), "held");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  ASSERT_EQ(st.st_uid, testsupport::NobodyUid());
  EXPECT_EQ(RefusedWithOneLine(path), 0);
  EXPECT_EQ(holder.Finish(), 0);
}

TEST_F(LocksTest, PrivateFolderKeepsOtherUsersFromTheLockFile) {
  if (!IsRoot()) GTEST_SKIP() << "acting as another user needs root";
  ASSERT_EQ(chmod(dir_.path().c_str(), 0711), 0);
  const std::string folder = dir_.file("guidlookups");
  std::string why;
  ASSERT_TRUE(CNamedMutex::PreparePrivateFolder(folder, &why)) << why;
  struct stat st;
  ASSERT_EQ(lstat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(st.st_uid, 0u);

  // nobody can neither create a lock file there nor open ours to hold it.
  const std::string ours = folder + "/SQLITE_ACCESS_LOCK.lock";
  const std::string theirs = folder + "/OTHER.lock";
  EXPECT_NE(ChildProgram(testsupport::AsNobody({"flock", "--nonblock", theirs, "true"})).Finish(),
            0);
  EXPECT_NE(access(theirs.c_str(), F_OK), 0);
  ScopedConfig lockDir(Knob::kLockDir, folder);
  CNamedMutex mutex("SQLITE_ACCESS_LOCK", nullptr, false);
  ASSERT_EQ(mutex.lock(-1, false), 0);
  EXPECT_NE(ChildProgram(testsupport::AsNobody({"flock", "--nonblock", "--shared", ours, "true"}))
                .Finish(),
            0);
  EXPECT_EQ(mutex.unlock(), 0);
}

TEST_F(LocksTest, DefaultFolderOfAnotherUserIsMadePrivateAndSquattersAreRefused) {
  if (!IsRoot()) GTEST_SKIP() << "acting as another user needs root";
  ASSERT_EQ(chmod(dir_.path().c_str(), 0711), 0);
  const std::string runtime = dir_.file("run");
  ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
  ASSERT_EQ(chown(runtime.c_str(), testsupport::NobodyUid(), testsupport::NobodyGid()), 0);
  ScopedEnv xdg("XDG_RUNTIME_DIR", runtime);
  ScopedConfig unset(Knob::kLockDir, "");
  const std::string folder = runtime + "/guidlookups";

  pid_t child = ForkChildAsNobody([&] {
    CNamedMutex mutex("SQLITE_ACCESS_LOCK", nullptr, false);
    if (mutex.lockFilePath() != folder + "/SQLITE_ACCESS_LOCK.lock") return 2;
    return mutex.lock(-1, false) == 0 && mutex.unlock() == 0 ? 0 : 3;
  });
  ASSERT_EQ(WaitChild(child), 0);
  struct stat st;
  ASSERT_EQ(lstat(folder.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(st.st_uid, testsupport::NobodyUid());

  // A folder of that name that someone else made, or that others may write
  // to, is refused with one line naming it.
  ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
  child = ForkChildAsNobody([&] { return RefusedWithOneLine(folder); });
  EXPECT_EQ(WaitChild(child), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
  ASSERT_EQ(chown(folder.c_str(), 0, 0), 0);
  child = ForkChildAsNobody([&] { return RefusedWithOneLine(folder); });
  EXPECT_EQ(WaitChild(child), 0);
}

}  // namespace
