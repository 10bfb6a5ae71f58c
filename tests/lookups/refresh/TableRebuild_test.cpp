// The rebuild operation: every way it can fail leaves the old file byte for
// byte, and what it did reaches the caller through the observer and result.
#include "lookups/refresh/TableRebuild.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/Files.h"
#include "host/Locks.h"
#include "support/HXGuidLookupsSupport.h"

// Every umask call of this program (the library's included: its calls bind
// here) holds the mask it set for 20 ms, so that a library that changed the
// umask to learn it would visibly spoil files other threads create.
namespace {
std::atomic<bool> g_holdUmask{false};
}  // namespace

extern "C" mode_t umask(mode_t mask) noexcept {
  using Fn = mode_t (*)(mode_t);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "umask"));
  const mode_t old = real(mask);
  if (g_holdUmask.load()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return old;
}

namespace {

using testsupport::LookupSandbox;
using testsupport::ReadAllRows;
using testsupport::ReadFile;
using testsupport::Row;

std::list<GUIDNameInfo> Rows(int count) {
  std::list<GUIDNameInfo> rows;
  for (int i = 0; i < count; ++i)
    rows.push_back({1, "{g" + std::to_string(i) + "}", "u" + std::to_string(i) + "@corp.test"});
  return rows;
}

bool MutexIsFree() {
  CNamedMutex probe("SQLITE_ACCESS_LOCK", nullptr, false);
  if (probe.lock(0, false) != 0) return false;
  probe.unlock();
  return true;
}

// Calls `after(progress)` after each row.
struct Observer : CRebuildObserver {
  std::function<void(const SRebuildProgress&)> after;
  std::vector<std::string> refused;
  void OnRow(const SRebuildProgress& p) override {
    if (after) after(p);
  }
  void OnFailedRow(const SGuidRecord& row, const std::string& reason) override {
    refused.push_back(row.name + ": " + reason);
  }
};

class TableRebuildTest : public ::testing::Test {
 protected:
  void SetUp() override { sandbox.MakeCacheDb({{"old@corp.test", "{old}", 1}}); }
  LookupSandbox sandbox;
  testsupport::ScopedLogCapture log;
};

TEST_F(TableRebuildTest, EveryFailureKeepsTheOldFileByteForByte) {
  const std::string before = ReadFile(sandbox.dbFile());
  const std::list<GUIDNameInfo> many = Rows(3000);
  std::atomic<bool> cancel{false};
  struct Case {
    const char* what;
    GuidRowReader rows;
    RebuildFailure failure;
    bool refuse = false;
  };
  int served = 0;
  GuidRowReader breaking = [&served, inner = RowsOf(many)](GUIDNameInfo& row, std::string& error) {
    if (++served > 1500) return error = "connection to the directory lost", -1;
    return inner(row, error);
  };
  // A source that waits on the network fails when its wait is cancelled.
  GuidRowReader waiting = [&cancel](GUIDNameInfo&, std::string& error) {
    cancel.store(true);
    return error = "cancelled", -1;
  };
  const std::list<GUIDNameInfo> none;
  Case cases[] = {{"source fails half-way", breaking, RebuildFailure::Source},
                  {"cancelled", RowsOf(many), RebuildFailure::Cancelled},
                  {"cancelled while the source waits", waiting, RebuildFailure::Cancelled},
                  {"no rows", RowsOf(none), RebuildFailure::NoRows},
                  {"refused before the install", RowsOf(many), RebuildFailure::Refused, true}};
  for (Case& c : cases) {
    cancel.store(false);
    Observer observer;
    observer.after = [&](const SRebuildProgress& p) {
      if (p.rowsRead == 1200 && c.failure == RebuildFailure::Cancelled) cancel.store(true);
    };
    SRebuildOptions options;
    options.observer = &observer;
    options.cancel = &cancel;
    if (c.refuse)
      options.beforeInstall = [](const std::string&, std::string& why) {
        return why = "too few", false;
      };
    SRebuildResult result = RebuildGuidTable(sandbox.cacheDir(), c.rows, options);
    EXPECT_FALSE(result.replaced) << c.what;
    EXPECT_EQ(c.failure, result.failure) << c.what << ": " << result.error;
    EXPECT_EQ(before, ReadFile(sandbox.dbFile())) << c.what;
    EXPECT_EQ(0, testsupport::RebuildFilesIn(sandbox.cacheDir())) << c.what;
    EXPECT_TRUE(MutexIsFree()) << c.what;
  }
  EXPECT_EQ(5, log->count("Rebuild of the local GUID table failed")) << log->dump();
}

// An address several GUIDs hold goes to one of them whatever the order of
// the rows: a primary address (1) before a proxy one (2), then the lowest
// GUID; names and other statuses are left alone.
TEST_F(TableRebuildTest, OnePerAddressKeepsOneHolderWhateverTheOrder) {
  std::list<GUIDNameInfo> rows = {{2, "{a}", "x@corp.test"}, {1, "{b}", "x@corp.test"},
                                  {2, "{c}", "y@corp.test"}, {2, "{b}", "y@corp.test"},
                                  {8, "{a}", "same name"},   {8, "{b}", "same name"}};
  const std::vector<Row> expected = {{"same name", "{a}", 8},
                                     {"same name", "{b}", 8},
                                     {"x@corp.test", "{b}", 1},
                                     {"y@corp.test", "{b}", 2}};
  for (int order = 0; order < 2; ++order) {
    SRebuildOptions options;
    options.onePerAddress = true;
    SRebuildResult result = RebuildGuidTable(sandbox.cacheDir(), RowsOf(rows), options);
    ASSERT_TRUE(result.replaced) << result.error;
    EXPECT_EQ(ReadAllRows(sandbox.dbFile()), expected);
    EXPECT_EQ(result.shared.addresses, 2u);
    EXPECT_EQ(result.shared.rowsDropped, 2u);
    EXPECT_EQ(result.shared.examples, (std::vector<std::string>{"x@corp.test", "y@corp.test"}));
    rows.reverse();
  }
}

// Lookups never wait on the source: the mutex is free while the rows are
// read and held from the caller's last check of the new file to the install.
TEST_F(TableRebuildTest, MutexIsHeldOnlyToInstall) {
  const std::list<GUIDNameInfo> rows = Rows(10);
  bool freeWhileReading = true;
  GuidRowReader reading = [&, inner = RowsOf(rows)](GUIDNameInfo& row, std::string& error) {
    freeWhileReading = freeWhileReading && MutexIsFree();
    return inner(row, error);
  };
  bool heldToInstall = false;
  std::string checked;
  SRebuildOptions options;
  options.beforeInstall = [&](const std::string& file, std::string&) {
    heldToInstall = !MutexIsFree();
    checked = file;
    return true;
  };
  SRebuildResult result = RebuildGuidTable(sandbox.cacheDir(), reading, options);
  ASSERT_TRUE(result.replaced) << result.error;
  EXPECT_TRUE(freeWhileReading);
  EXPECT_TRUE(heldToInstall);
  EXPECT_NE(checked.find(".GUIDDB.DAT.rebuild-"), std::string::npos) << checked;
  EXPECT_EQ(ReadAllRows(sandbox.dbFile()).size(), 10u);
  EXPECT_TRUE(MutexIsFree());
}

// The file's own count is checked against the rows the database reported:
// a row it claimed but never stored keeps the new table out.
TEST_F(TableRebuildTest, DatabaseThatDropsARowItReportedIsRefusedAtVerification) {
  const std::string before = ReadFile(sandbox.dbFile());
  const std::list<GUIDNameInfo> rows = Rows(10);
  testsupport::UnderReportingGuidDB db("u5@corp.test");
  SRebuildOptions options;
  options.database = &db;
  SRebuildResult result = RebuildGuidTable(sandbox.cacheDir(), RowsOf(rows), options);
  EXPECT_FALSE(result.replaced);
  EXPECT_EQ(RebuildFailure::Verify, result.failure) << result.error;
  EXPECT_EQ(10u, result.counts.rowsAdded);
  EXPECT_EQ(before, ReadFile(sandbox.dbFile()));
  EXPECT_EQ(0, testsupport::RebuildFilesIn(sandbox.cacheDir()));
}

TEST_F(TableRebuildTest, ObserverAndResultCountEveryRowAndEachRefusedOne) {
  std::list<GUIDNameInfo> rows = Rows(10);
  rows.push_back({2, "{bad}", "bad"});
  testsupport::RefusingGuidDB refusing("bad");
  Observer observer;
  uint64_t lastRead = 0;
  observer.after = [&](const SRebuildProgress& p) { lastRead = p.rowsRead; };
  SRebuildOptions options;
  options.batchSize = 3;
  options.observer = &observer;
  options.database = &refusing;
  SRebuildResult result = RebuildGuidTable(sandbox.cacheDir(), RowsOf(rows), options);
  ASSERT_TRUE(result.replaced) << result.error;
  EXPECT_EQ(11u, result.counts.rowsRead);
  EXPECT_EQ(10u, result.counts.rowsAdded);
  EXPECT_EQ(1u, result.counts.rowsFailed);
  EXPECT_EQ(11u, lastRead);
  EXPECT_EQ(std::vector<std::string>{"bad: "}, observer.refused);
  EXPECT_EQ(10u, ReadAllRows(sandbox.dbFile()).size());
  // Left open on the new file, as the refresh promises its caller.
  EXPECT_EQ(sandbox.cacheDir(), refusing.folder());
}

// A GUIDDB.DAT that is a link to the real file elsewhere stays a link; the
// new table lands in the file it names.
TEST_F(TableRebuildTest, LinkNamedGuiddbStaysALink) {
  testsupport::TempDir elsewhere;
  testsupport::MakeGuidDb(elsewhere.path(), {{"old@corp.test", "{old}", 1}});
  ASSERT_EQ(0, unlink(sandbox.dbFile().c_str()));
  ASSERT_EQ(0, symlink(elsewhere.file(GUIDDB_NAME).c_str(), sandbox.dbFile().c_str()));
  const std::list<GUIDNameInfo> rows = Rows(5);
  ASSERT_TRUE(RebuildGuidTable(sandbox.cacheDir(), RowsOf(rows)).replaced) << log->dump();
  char target[4096] = {0};
  EXPECT_GT(readlink(sandbox.dbFile().c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(elsewhere.file(GUIDDB_NAME), target);
  EXPECT_EQ(5u, ReadAllRows(elsewhere.file(GUIDDB_NAME)).size());
}

// A rebuild and an atomic replace create their files with the modes they
// want (0644 less the umask for new ones) and leave the umask alone: files
// that another thread creates meanwhile keep the agent's umask.
TEST_F(TableRebuildTest, ConcurrentFileCreatorsKeepTheirUmaskDuringARebuild) {
  const mode_t saved = umask(022);
  ASSERT_EQ(0, unlink(sandbox.dbFile().c_str()));
  g_holdUmask.store(true);
  std::atomic<bool> stop{false};
  std::atomic<int> created{0}, wrong{0};
  std::thread creator([&] {
    const std::string path = sandbox.root() + "/other-thread";
    while (!stop.load()) {
      int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
      struct stat st;
      if (fd >= 0 && fstat(fd, &st) == 0 && (st.st_mode & 0777) != 0644) wrong.fetch_add(1);
      if (fd >= 0) close(fd);
      unlink(path.c_str());
      created.fetch_add(1);
    }
  });
  const std::list<GUIDNameInfo> rows = Rows(2000);
  const bool rebuilt = RebuildGuidTable(sandbox.cacheDir(), RowsOf(rows)).replaced;
  const bool written = hostfs::AtomicWriteFile(sandbox.root() + "/new-file", "text");
  stop.store(true);
  creator.join();
  g_holdUmask.store(false);
  umask(saved);
  ASSERT_TRUE(rebuilt && written) << log->dump();
  EXPECT_GT(created.load(), 0);
  EXPECT_EQ(0, wrong.load());
  struct stat db, file;
  ASSERT_EQ(0, stat(sandbox.dbFile().c_str(), &db));
  ASSERT_EQ(0, stat((sandbox.root() + "/new-file").c_str(), &file));
  EXPECT_EQ(0644u, db.st_mode & 0777);
  EXPECT_EQ(0644u, file.st_mode & 0777);
}

}  // namespace
