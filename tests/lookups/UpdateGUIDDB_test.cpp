// The refresh of the local table: the once-per-process gate, the named mutex,
// the rebuild's transactions and what each failure leaves behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <future>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "host/Locks.h"
#include "lookups/HXGuidLookups.h"
#include "support/HXGuidLookupsSupport.h"

namespace {

// The lookup tests' own vocabulary: sandboxes, row sources, children.
using namespace testsupport;

const char kTag[] = "bool CHXGuidLookups::UpdateGUIDDB(CGuidDB&)";

// Rows as the table stores them: name and GUID lower-cased.
std::vector<Row> Stored(std::vector<Row> rows) {
  for (auto& r : rows) {
    for (char& c : std::get<0>(r)) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    for (char& c : std::get<1>(r)) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

// The number of "Adding" lines seen at each COMMIT after the first one.
std::vector<int> CommitPoints(const std::vector<std::string>& events) {
  std::vector<int> points;
  int added = 0;
  for (const auto& e : events) {
    if (e.rfind("A:", 0) == 0) ++added;
    if (e == "C" && added > 0) points.push_back(added);
  }
  return points;
}

class UpdateGUIDDBTest : public testsupport::FreshLookupProcessTest {
 protected:
  void SetUp() override {
    FreshLookupProcessTest::SetUp();
    sandbox.MakeCacheDb(oldRows);
    service.guidCacheDir = sandbox.cacheDir();
    service.jobId = 77;
  }

  std::string Now(long delta = 0) {
    return std::to_string(static_cast<long>(time(nullptr)) + delta);
  }

  // Settings for a rebuild from the application manager, decided by age.
  void RebuildSettings(std::vector<std::pair<std::string, std::string>> extra = {}) {
    extra.emplace_back("getSqlLiteDbFromHB", "0");
    extra.emplace_back("nLastGuidNameTableRefreshTime", Now(-2 * 86400));
    sandbox.WriteSettings(extra);
  }

  // True when nobody holds "SQLITE_ACCESS_LOCK".
  static bool MutexIsFree() {
    CNamedMutex probe("SQLITE_ACCESS_LOCK", nullptr, false);
    if (probe.lock(0, false) != 0) return false;
    probe.unlock();
    return true;
  }

  std::future<bool> RefreshOnAnotherThread() {
    return std::async(std::launch::async, [this] {
      CGuidDB db;
      return service.UpdateGUIDDB(db);
    });
  }

  // Waits (bounded) until the capture holds a line containing `fragment`.
  bool WaitForLine(const std::string& fragment) {
    for (int i = 0; i < 1000; ++i) {
      if (log->count(fragment) > 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  LookupSandbox sandbox;
  ScopedLogCapture log;
  CHXGuidLookups service;
  const std::vector<Row> oldRows = {{"old@corp.test", "{old-1}", 1}};
};

TEST_F(UpdateGUIDDBTest, RebuildsEveryRowStoresTimeAndMarker) {
  RebuildSettings({{"nTotalNumberOfRecordsToCommit", "0"}});
  std::vector<Row> rows = {{"Ann@Corp.test", "{AB-1}", 1},
                           {"ann.proxy@corp.test", "{AB-1}", 2},
                           {"Bob@Corp.test", "{AB-2}", 1}};
  ScopedRowSource source(rows);
  time_t before = time(nullptr);
  CGuidDB db;
  ASSERT_TRUE(service.UpdateGUIDDB(db)) << log->dump();

  EXPECT_EQ(Stored(rows), ReadAllRows(sandbox.dbFile()));
  EXPECT_EQ(RefreshDone, CHXGuidLookups::s_shouldRefreshGUIDTable.load());
  EXPECT_EQ(service.lastRefresh, RefreshRebuilt);
  EXPECT_GE(sandbox.EventManagerNumber("nLastGuidNameTableRefreshTime"), before);
  EXPECT_EQ("77", ReadFile(sandbox.markerFile()));
  EXPECT_EQ(0u, service.totalRecordsToCommit);
  EXPECT_TRUE(MutexIsFree());
  const SRefreshReport& report = service.lastReport();
  EXPECT_EQ(RefreshTimeReason::kStale, report.decision.time);
  EXPECT_EQ(1440u, report.decision.intervalMinutes);
  EXPECT_EQ(0u, report.source);
  EXPECT_TRUE(report.timeRecorded);
  EXPECT_FALSE(service.lastFailure().failed());

  // The lines operators grep for, in order and word for word.
  std::vector<std::string> lines;
  for (const auto& line : log->lines())
    if (line.tag == kTag && line.level <= 2 && line.message.rfind("Adding", 0) != 0)
      lines.push_back(std::to_string(line.level) + " " + line.message);
  EXPECT_EQ((std::vector<std::string>{
                "-1 Refreshing SQLite Reason: [IsSQLiteRefreshNeeded: [Refreshing as the table "
                "is not synced in the last refresh interval of (1440)]]",
                "2 Registry EventManager\\getSqlLiteDbFromHB value is set to [0] .",
                "2 value of nTotalNumberOfRecordsToCommit = 0", "2 Size of guildList: 3",
                "2 [3] rows inserted into local guid_name table."}),
            lines);
  // A batch size of 0 makes every row a transaction of its own.
  EXPECT_EQ((std::vector<std::string>{"B", "A:Ann@Corp.test", "C", "B", "A:ann.proxy@corp.test",
                                      "C", "B", "A:Bob@Corp.test", "C", "B", "C"}),
            RebuildEvents(*log));
}

// The rebuild drops the indexes while it inserts; a file it leaves behind
// must carry every index again, the search indexes included, even when the
// old file never had them.
TEST_F(UpdateGUIDDBTest, RebuiltTableCarriesEveryIndex) {
  RebuildSettings();
  ScopedRowSource source({{"a@corp.test", "{a}", 1}, {"b@corp.test", "{b}", 1}});
  CGuidDB db;
  ASSERT_TRUE(service.UpdateGUIDDB(db)) << log->dump();
  CGuidDB reader;
  ASSERT_EQ(0, reader.Open(sandbox.cacheDir().c_str()));
  std::unique_ptr<SQueryHandle> q =
      reader.FindByQuery("SELECT name, '', 0 FROM sqlite_master WHERE type='index' ORDER BY name;");
  ASSERT_TRUE(q);
  std::vector<std::string> indexes;
  SGuidRecord r;
  while (reader.FindNext(q.get(), &r) == 0) indexes.push_back(r.name);
  EXPECT_EQ((std::vector<std::string>{"GUID_NOCASE_index", "GUID_index", "NAME_NOCASE_index",
                                      "NAME_index"}),
            indexes);
}

// A full disk (a file-size limit behaves the same) fails a batch COMMIT, and
// SQLite rolls that transaction back itself: nothing is left open to tell.
// The rebuild must fail on the result code, keep the old file byte for byte
// and its rows findable, and not count as a refresh.
TEST_F(UpdateGUIDDBTest, FullDiskFailsTheRebuildAndKeepsTheOldFile) {
  RebuildSettings({{"nTotalNumberOfRecordsToCommit", "500"}});
  const std::string before = ReadFile(sandbox.dbFile());
  ScopedRowSource source(testsupport::TaggedGroups("big", 5000, 4));
  pid_t child = ForkChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{256 * 1024, 256 * 1024};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 20;
    CGuidDB db;
    if (service.UpdateGUIDDB(db)) return 10;
    if (CHXGuidLookups::s_shouldRefreshGUIDTable.load() != RefreshNeeded) return 11;
    if (!MutexIsFree()) return 12;
    if (service.lastFailure().step != GuidFailureStep::kRebuild ||
        service.lastFailure().rebuildFailure != RebuildFailure::Database)
      return 13;
    // The same process still answers from the old table.
    CHXGuidLookups reader;
    reader.guidCacheDir = sandbox.cacheDir();
    GuidRecordMap records;
    if (!reader.getGUIDRecordForSMTP("old@corp.test", records, false) || records.size() != 1)
      return 14;
    return 0;
  });
  EXPECT_EQ(0, WaitChild(child));
  EXPECT_EQ(before, ReadFile(sandbox.dbFile()));
  EXPECT_EQ(-1, sandbox.EventManagerNumber("nLastGuidNameTableRefreshTime"));
  EXPECT_NE(0, access(sandbox.markerFile().c_str(), F_OK));
  EXPECT_EQ(0, testsupport::RebuildFilesIn(sandbox.cacheDir()));
}

// The swap is a rename: a reader that holds the old file (an operator's
// shell, say) neither blocks it nor sees it; it keeps reading the old rows.
TEST_F(UpdateGUIDDBTest, ReaderHoldingTheOldFileDoesNotStopTheSwap) {
  RebuildSettings();
  testsupport::ScopedConfig busy(hostconfig::Knob::kSqliteBusyTimeoutMs, "200");
  ScopedRowSource source({{"a@corp.test", "{a}", 1}, {"b@corp.test", "{b}", 1}});
  sqlite3* reader = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(sandbox.dbFile().c_str(), &reader));
  ASSERT_EQ(SQLITE_OK,
            sqlite3_exec(reader, "BEGIN; SELECT COUNT(*) FROM GUID;", nullptr, nullptr, nullptr));
  CGuidDB db;
  const bool refreshed = service.UpdateGUIDDB(db);
  sqlite3_stmt* count = nullptr;
  sqlite3_prepare_v2(reader, "SELECT COUNT(*) FROM GUID;", -1, &count, nullptr);
  ASSERT_EQ(SQLITE_ROW, sqlite3_step(count));
  EXPECT_EQ(1, sqlite3_column_int(count, 0));
  sqlite3_finalize(count);
  sqlite3_exec(reader, "COMMIT;", nullptr, nullptr, nullptr);
  sqlite3_close(reader);

  EXPECT_TRUE(refreshed) << log->dump();
  EXPECT_EQ(2u, ReadAllRows(sandbox.dbFile()).size());
  EXPECT_TRUE(MutexIsFree());
}

TEST_F(UpdateGUIDDBTest, SecondCallReturnsAtOnceWithoutAWord) {
  RebuildSettings();
  ScopedRowSource source({{"a@corp.test", "{a}", 1}});
  CGuidDB db;
  ASSERT_TRUE(service.UpdateGUIDDB(db));
  log->clear();
  CHXGuidLookups other;
  other.guidCacheDir = sandbox.cacheDir();
  other.jobFlags = GuidRefreshJobFlag;
  other.jobId = 78;
  CGuidDB db2;
  EXPECT_FALSE(other.UpdateGUIDDB(db2));
  EXPECT_FALSE(service.UpdateGUIDDB(db2));
  EXPECT_EQ(RefreshUndecided, other.lastReport().decision.state);
  EXPECT_EQ("77", ReadFile(sandbox.markerFile()));
}

// Asked to refresh now, a fresh table is refreshed as for a job the marker
// has never seen, even one whose marker holds a time to come.
TEST_F(UpdateGUIDDBTest, RefreshNowRebuildsAFreshTableAsANewJob) {
  sandbox.WriteSettings({{"getSqlLiteDbFromHB", "0"}, {"nLastGuidNameTableRefreshTime", Now(-60)}});
  const unsigned long marker = static_cast<unsigned long>(time(nullptr)) + 1000;
  WriteFile(sandbox.markerFile(), std::to_string(marker));
  ScopedRowSource source({{"new@corp.test", "{new}", 1}});
  service.refreshNow = true;
  CGuidDB db;
  ASSERT_TRUE(service.UpdateGUIDDB(db)) << log->dump();
  const SRefreshDecision& decision = service.lastReport().decision;
  EXPECT_EQ(RefreshJobReason::kAsks, decision.job);
  EXPECT_EQ(marker + 1, decision.jobId);
  EXPECT_EQ(RefreshTimeReason::kRecent, decision.time);
  EXPECT_EQ(std::to_string(marker + 1), ReadFile(sandbox.markerFile()));
  EXPECT_EQ(Stored({{"new@corp.test", "{new}", 1}}), ReadAllRows(sandbox.dbFile()));
}

TEST_F(UpdateGUIDDBTest, ConcurrentNotNeededNeverTakesTheMutex) {
  sandbox.WriteSettings({{"getSqlLiteDbFromHB", "0"}, {"nLastGuidNameTableRefreshTime", Now(-60)}});
  CNamedMutex holder("SQLITE_ACCESS_LOCK", nullptr, false);
  ASSERT_EQ(0, holder.lock(-1, false));
  auto result = RefreshOnAnotherThread();
  bool finished = result.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  holder.unlock();
  ASSERT_TRUE(finished) << "UpdateGUIDDB waited for the mutex";
  EXPECT_FALSE(result.get());
  EXPECT_EQ(RefreshNotNeeded, CHXGuidLookups::s_shouldRefreshGUIDTable.load());
  EXPECT_EQ(RefreshTimeReason::kRecent, service.lastReport().decision.time);
  EXPECT_EQ(0u, service.lastReport().source);
  EXPECT_EQ(Stored(oldRows), ReadAllRows(sandbox.dbFile()));
}

TEST_F(UpdateGUIDDBTest, FailedDownloadIsRememberedAndReleasesTheMutex) {
  // "getSqlLiteDbFromHB" missing: the download path. No control server is
  // configured, so the download fails.
  sandbox.WriteSettings({{"nLastGuidNameTableRefreshTime", Now(-2 * 86400)}});
  CGuidDB db;
  EXPECT_FALSE(service.UpdateGUIDDB(db));
  EXPECT_EQ(1u, service.lastReport().source);
  EXPECT_TRUE(service.lastReport().downloadFailed);
  EXPECT_EQ(GuidFailureStep::kNoSourceFolder, service.lastFailure().step);
  EXPECT_FALSE(shouldFetchGUIDTable.load());
  EXPECT_EQ(-1, service.dbStatus);
  EXPECT_EQ(RefreshNeeded, CHXGuidLookups::s_shouldRefreshGUIDTable.load());
  EXPECT_TRUE(MutexIsFree());
  EXPECT_EQ(Stored(oldRows), ReadAllRows(sandbox.dbFile()));
  EXPECT_NE(0, sandbox.EventManagerNumber("nLastGuidNameTableRefreshTime"));
}

TEST_F(UpdateGUIDDBTest, SuccessfulDownloadRecordsTheTimeButWritesNoMarker) {
  // The control server is installed here and keeps its copy in "hb".
  testsupport::TempDir hb;
  testsupport::MakeGuidDb(hb.path(), {{"hb@corp.test", "{hb-1}", 1}});
  sandbox.WriteSettingsText("[vTaskHost]\ndHOME=" + sandbox.homeDir() +
                            "\n[Base]\nnHXPlatformType=1\ndMORVAXSQLLITEDBDIR=" + hb.path() +
                            "\n[EventManager]\nnLastGuidNameTableRefreshTime=" + Now(-2 * 86400) +
                            "\n");
  service.dbStatus = 5;
  time_t before = time(nullptr);
  CGuidDB db;
  EXPECT_TRUE(service.UpdateGUIDDB(db)) << log->dump();
  EXPECT_TRUE(service.lastReport().timeRecorded);
  EXPECT_EQ((std::vector<Row>{{"hb@corp.test", "{hb-1}", 1}}), ReadAllRows(sandbox.dbFile()));
  EXPECT_EQ(RefreshDone, CHXGuidLookups::s_shouldRefreshGUIDTable.load());
  EXPECT_EQ(service.lastRefresh, RefreshCopiedLocally);
  EXPECT_GE(sandbox.EventManagerNumber("nLastGuidNameTableRefreshTime"), before);
  EXPECT_NE(0, access(sandbox.markerFile().c_str(), F_OK));
  EXPECT_EQ(5, service.dbStatus);
  EXPECT_TRUE(shouldFetchGUIDTable.load());
  EXPECT_TRUE(MutexIsFree());
}

TEST_F(UpdateGUIDDBTest, ConcurrentWaiterAfterAFailedDownloadDoesNotTryAgain) {
  sandbox.WriteSettings({{"nLastGuidNameTableRefreshTime", Now(-2 * 86400)}});
  CNamedMutex holder("SQLITE_ACCESS_LOCK", nullptr, false);
  ASSERT_EQ(0, holder.lock(-1, false));
  auto result = RefreshOnAnotherThread();
  // Decided and queued on the mutex; meanwhile another thread's download fails.
  bool queued = WaitForLine("getSqlLiteDbFromHB value is set to");
  shouldFetchGUIDTable.store(false);
  holder.unlock();
  ASSERT_TRUE(queued);
  EXPECT_FALSE(result.get());
  // No second download: the refresh stopped before trying one.
  EXPECT_EQ(GuidFailureStep::kEarlierDownload, service.lastFailure().step);
  EXPECT_FALSE(service.lastReport().downloadFailed);
  EXPECT_TRUE(MutexIsFree());
}

TEST_F(UpdateGUIDDBTest, ConcurrentWaiterFindsTheRefreshDoneUnderTheMutex) {
  RebuildSettings();
  ScopedRowSource source({{"new@corp.test", "{new}", 1}});
  CNamedMutex holder("SQLITE_ACCESS_LOCK", nullptr, false);
  ASSERT_EQ(0, holder.lock(-1, false));
  auto result = RefreshOnAnotherThread();
  bool queued = WaitForLine("getSqlLiteDbFromHB value is set to");
  CHXGuidLookups::s_shouldRefreshGUIDTable.store(RefreshDone);
  holder.unlock();
  ASSERT_TRUE(queued);
  EXPECT_FALSE(result.get());
  EXPECT_EQ(999u, service.totalRecordsToCommit);
  EXPECT_FALSE(service.lastFailure().failed());
  EXPECT_EQ(RefreshOutcomeNone, service.lastReport().outcome);
  EXPECT_EQ(Stored(oldRows), ReadAllRows(sandbox.dbFile()));
  EXPECT_TRUE(MutexIsFree());
}

TEST_F(UpdateGUIDDBTest, ConcurrentFirstCallersRefreshOnce) {
  RebuildSettings();
  ScopedRowSource source(testsupport::TaggedGroups("v2", 50, 3));
  constexpr int kThreads = 4;
  std::vector<std::thread> threads;
  std::atomic<int> completed{0};
  std::atomic<int> decided{0};
  std::atomic<bool> go{false};
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      CHXGuidLookups mine;
      mine.guidCacheDir = sandbox.cacheDir();
      CGuidDB db;
      while (!go.load()) std::this_thread::yield();
      if (mine.UpdateGUIDDB(db)) completed.fetch_add(1);
      if (mine.lastReport().decision.state != RefreshUndecided) decided.fetch_add(1);
    });
  }
  go.store(true);
  for (auto& t : threads) t.join();
  EXPECT_EQ(1, completed.load());
  EXPECT_EQ(1, decided.load());
  EXPECT_EQ(150u, ReadAllRows(sandbox.dbFile()).size());
  EXPECT_TRUE(MutexIsFree());
}

TEST_F(UpdateGUIDDBTest, FailedAddIsSkippedAndStartsANewBatch) {
  RebuildSettings({{"nTotalNumberOfRecordsToCommit", "5"}});
  std::vector<Row> rows;
  for (int i = 1; i <= 12; ++i)
    rows.emplace_back(i == 3 ? "bad" : "r" + std::to_string(i), "{g" + std::to_string(i) + "}", i);
  ScopedRowSource source(rows);
  testsupport::RefusingGuidDB db("bad");
  ASSERT_TRUE(service.UpdateGUIDDB(db)) << log->dump();

  // Commit after the failed row; then the counter restarts at 1, so the next
  // batch holds one row fewer.
  EXPECT_EQ((std::vector<int>{3, 8, 12}), CommitPoints(RebuildEvents(*log)));
  rows.erase(rows.begin() + 2);
  EXPECT_EQ(Stored(rows), ReadAllRows(sandbox.dbFile()));
  EXPECT_EQ(RefreshDone, CHXGuidLookups::s_shouldRefreshGUIDTable.load());
}

TEST_F(UpdateGUIDDBTest, StatusKeepsTheLowThirtyTwoBitsAsSigned) {
  RebuildSettings();
  ScopedRowSource source(GUIDRowSource([](std::list<GUIDNameInfo>& out) {
    for (int64_t status : {int64_t{4294967298}, int64_t{-1}, int64_t{2147483648}}) {
      GUIDNameInfo row;
      row.status = status;
      row.guid = "{g}";
      row.name = "s" + std::to_string(status);
      out.push_back(row);
    }
    return 0;
  }));
  CGuidDB db;
  ASSERT_TRUE(service.UpdateGUIDDB(db));
  EXPECT_EQ((std::vector<Row>{
                {"s-1", "{g}", -1}, {"s2147483648", "{g}", INT32_MIN}, {"s4294967298", "{g}", 2}}),
            ReadAllRows(sandbox.dbFile()));
}

TEST_F(UpdateGUIDDBTest, EmptyApplicationManagerTableLeavesTheTableAlone) {
  RebuildSettings();
  ScopedRowSource source(std::vector<Row>{});
  long long storedTime = sandbox.EventManagerNumber("nLastGuidNameTableRefreshTime");
  CGuidDB db;
  EXPECT_FALSE(service.UpdateGUIDDB(db));
  EXPECT_EQ(GuidFailureStep::kNoRows, service.lastFailure().step);
  EXPECT_EQ(Stored(oldRows), ReadAllRows(sandbox.dbFile()));
  EXPECT_EQ(storedTime, sandbox.EventManagerNumber("nLastGuidNameTableRefreshTime"));
  EXPECT_EQ(RefreshNeeded, CHXGuidLookups::s_shouldRefreshGUIDTable.load());
  EXPECT_TRUE(MutexIsFree());
}

TEST_F(UpdateGUIDDBTest, FailedFetchLeavesTheTableAloneAndIsLoggedOncePerProcess) {
  RebuildSettings();
  // In a child, so that the once-per-process flag starts fresh.
  pid_t child = ForkChild([&] {
    ScopedLogCapture childLog;
    ScopedRowSource source(GUIDRowSource([](std::list<GUIDNameInfo>&) { return 5; }));
    for (int round = 0; round < 3; ++round) {
      CHXGuidLookups::s_shouldRefreshGUIDTable.store(RefreshUndecided);
      CGuidDB db;
      if (service.UpdateGUIDDB(db)) return 10;
      if (!MutexIsFree()) return 11;
    }
    if (childLog->count("Failed to get app_guid table from appmgr.") != 1) return 12;
    if (!childLog->has(-1, kTag, "Failed to get app_guid table from appmgr.")) return 13;
    return 0;
  });
  EXPECT_EQ(0, WaitChild(child));
  EXPECT_EQ(Stored(oldRows), ReadAllRows(sandbox.dbFile()));
}

TEST_F(UpdateGUIDDBTest, ConcurrentFetchFailuresAreLoggedOncePerProcess) {
  RebuildSettings();
  pid_t child = ForkChild([&] {
    ScopedLogCapture childLog;
    ScopedRowSource source(GUIDRowSource([](std::list<GUIDNameInfo>&) { return 5; }));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        CHXGuidLookups mine;
        mine.guidCacheDir = sandbox.cacheDir();
        for (int round = 0; round < 10; ++round) {
          CHXGuidLookups::s_shouldRefreshGUIDTable.store(RefreshUndecided);
          CGuidDB db;
          mine.UpdateGUIDDB(db);
        }
      });
    }
    for (auto& t : threads) t.join();
    return childLog->count("Failed to get app_guid table from appmgr.") == 1 ? 0 : 1;
  });
  EXPECT_EQ(0, WaitChild(child));
}

TEST_F(UpdateGUIDDBTest, UncreatableDatabaseFailsAndReleasesTheMutex) {
  RebuildSettings();
  ScopedRowSource source({{"a@corp.test", "{a}", 1}});
  service.guidCacheDir = sandbox.root() + "/missing/folder";
  CGuidDB db;
  EXPECT_FALSE(service.UpdateGUIDDB(db));
  EXPECT_EQ(GuidFailureStep::kMissingFolder, service.lastFailure().step);
  EXPECT_EQ(sandbox.root() + "/missing/folder", service.lastFailure().subject);
  EXPECT_EQ(RefreshNeeded, CHXGuidLookups::s_shouldRefreshGUIDTable.load());
  EXPECT_TRUE(MutexIsFree());
}

// The new table never goes through the old file: a corrupt one, or one whose
// triggers would refuse every change, is replaced whole, and the file left
// by a rebuild that died is removed, never taken for the database.
TEST_F(UpdateGUIDDBTest, CorruptOldFileAndDeadRebuildFilesAreReplaced) {
  for (const char* old : {"garbage", "trigger"}) {
    testsupport::ResetLookupProcessState();
    RebuildSettings();
    unlink(sandbox.dbFile().c_str());
    sandbox.MakeCacheDb(oldRows);
    if (std::string(old) == "garbage")
      testsupport::WriteFile(sandbox.dbFile(), std::string(4096, 'x'));
    else
      ExecSql(sandbox.dbFile(),
              "CREATE TRIGGER keep_rows BEFORE DELETE ON GUID BEGIN SELECT RAISE(ABORT,'k'); END;");
    testsupport::WriteFile(sandbox.cacheDir() + "/.GUIDDB.DAT.rebuild-dead01", "half a table");
    ScopedRowSource source({{"new@corp.test", "{new}", 1}});
    CGuidDB db;
    EXPECT_TRUE(service.UpdateGUIDDB(db)) << old << "\n" << log->dump();
    EXPECT_EQ((std::vector<Row>{{"new@corp.test", "{new}", 1}}), ReadAllRows(sandbox.dbFile()));
    EXPECT_EQ(0, testsupport::RebuildFilesIn(sandbox.cacheDir()));
    EXPECT_TRUE(MutexIsFree());
  }
}

TEST_F(UpdateGUIDDBTest, UnwritableTimeAndMarkerDoNotFailTheRebuild) {
  RebuildSettings();
  ASSERT_EQ(0, mkdir((sandbox.settingsFile() + ".lock").c_str(), 0755));
  ASSERT_EQ(0, mkdir(sandbox.markerFile().c_str(), 0755));
  ScopedRowSource source({{"new@corp.test", "{new}", 1}});
  CGuidDB db;
  EXPECT_TRUE(service.UpdateGUIDDB(db));
  EXPECT_FALSE(service.lastReport().timeCleared);
  EXPECT_FALSE(service.lastReport().timeRecorded);
  EXPECT_EQ(RefreshRebuilt, service.lastReport().outcome);
  EXPECT_EQ(RefreshDone, CHXGuidLookups::s_shouldRefreshGUIDTable.load());
  EXPECT_EQ((std::vector<Row>{{"new@corp.test", "{new}", 1}}), ReadAllRows(sandbox.dbFile()));
  // No temporary marker is left behind.
  int entries = 0;
  if (DIR* d = opendir(sandbox.cacheDir().c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name).rfind("GUIDDB.JOB.", 0) == 0) ++entries;
    closedir(d);
  }
  EXPECT_EQ(0, entries);
}

TEST_F(UpdateGUIDDBTest, WithoutAFolderNothingIsDecidedOrTouched) {
  RebuildSettings();
  ScopedRowSource source({{"new@corp.test", "{new}", 1}});
  service.guidCacheDir.clear();
  CGuidDB db;
  EXPECT_FALSE(service.UpdateGUIDDB(db));
  EXPECT_EQ(RefreshUndecided, CHXGuidLookups::s_shouldRefreshGUIDTable.load());
  EXPECT_EQ(GuidFailureStep::kNoFolder, service.lastFailure().step);
  EXPECT_EQ(Stored(oldRows), ReadAllRows(sandbox.dbFile()));
}

// A settings file that cannot be read (a folder in its place, unreadable even
// for root) is no file without a refresh time: nothing is decided, refreshed
// or recorded, and the next call, on a repaired file, decides afresh.
TEST_F(UpdateGUIDDBTest, UnreadableSettingsFileDecidesNothingUntilRepaired) {
  ASSERT_EQ(0, mkdir(sandbox.settingsFile().c_str(), 0755));
  ScopedRowSource source({{"new@corp.test", "{new}", 1}});
  CGuidDB db;
  EXPECT_FALSE(service.UpdateGUIDDB(db));
  EXPECT_EQ(RefreshUndecided, CHXGuidLookups::s_shouldRefreshGUIDTable.load());
  EXPECT_EQ(GuidFailureStep::kSettings, service.lastFailure().step);
  EXPECT_NE(std::string::npos, service.lastError.find("Cannot read settings file"))
      << service.lastError;
  EXPECT_EQ(Stored(oldRows), ReadAllRows(sandbox.dbFile()));

  ASSERT_EQ(0, rmdir(sandbox.settingsFile().c_str()));
  RebuildSettings();
  EXPECT_TRUE(service.UpdateGUIDDB(db)) << log->dump();
  EXPECT_EQ(Stored({{"new@corp.test", "{new}", 1}}), ReadAllRows(sandbox.dbFile()));
}

}  // namespace
