// The lookup service end to end: Initialize and Lookup on real settings,
// database files, application-manager tables and logs, in both modes and for
// both agent kinds; the refresh decisions, the rebuild, the faults it mends,
// and bad input.
//
// Shared-mode tests load the process's static cache, which is never reset, so
// they need a process of their own (as CTest runs every test) and skip
// otherwise.
#include "lookups/HXGuidLookups.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/Locks.h"
#include "host/Settings.h"
#include "lookups/ServiceLogTags.h"
#include "lookups/refresh/TableRebuild.h"
#include "support/HXGuidLookupsSupport.h"

// Counts every call that may change the locale, made by anyone in this test
// program (the library included: its calls bind to this definition), and
// passes it on to the C library.
namespace {
std::atomic<int> g_localeChanges{0};
}  // namespace

extern "C" char* setlocale(int category, const char* locale) noexcept {
  using Fn = char* (*)(int, const char*);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "setlocale"));
  if (locale != nullptr) g_localeChanges.fetch_add(1);
  return real != nullptr ? real(category, locale) : nullptr;
}

namespace {

// The lookup tests' own vocabulary: sandboxes, row sources, children.
using namespace testsupport;

using namespace servicetags;

std::string LongAddress(size_t length, char fill) {
  std::string domain = "@corp.test";
  return std::string(length - domain.size(), fill) + domain;
}

// An Exchange directory with the awkward names of real ones.
std::vector<Row> ExchangeRows() {
  return {
      {"Ann@Corp.test", "{AB-01}", 1},
      {"ann.proxy@corp.test", "{AB-01}", 2},
      {"ann.x500@corp.test", "{AB-01}", 8},
      {"Carol.Single@corp.test", "{AB-01}", 16},
      {"ann.second@corp.test", "{AB-01}", 8},
      {"bob@corp.test", "{CD-02}", 1},
      {"o'brien@corp.test", "{EF-03}", 1},
      {"dom\\user@corp.test", "{EF-04}", 1},
      {"j\xC3\xBCrgen@corp.test", "{EF-05}", 1},
      {"a_b@corp.test", "{EF-06}", 1},
      {"axb@corp.test", "{EF-07}", 1},
      {"100%@corp.test", "{EF-08}", 1},
      {LongAddress(300, 'l'), "{EF-09}", 1},
      {LongAddress(200, 'm'), "{EF-10}", 1},
      // The last 126 characters of the 200-character address, as a cut
      // query would have looked for it.
      {LongAddress(200, 'm').substr(200 - 126), "{EF-11}", 1},
  };
}

// A Lotus Notes directory: keys are the names of status 1, 8, 64, 128, 288.
std::vector<Row> NotesRows() {
  return {
      {"Dana Notes/Corp", "{ln-01}", 1},
      {"dana@notes.test", "{ln-01}", 64},
      {"Dana Short", "{ln-01}", 128},
      {"dana.alt@notes.test", "{ln-01}", 288},
      {"dana.exch.single@notes.test", "{ln-01}", 16},
  };
}

class HXGuidLookupsTest : public testsupport::LookupServiceTest {
 protected:
  std::string Now(long delta = 0) {
    return std::to_string(static_cast<long>(time(nullptr)) + delta);
  }

  using LookupServiceTest::StartPrivate;
  // `service` in private mode over the Exchange rows, with nothing to refresh.
  void StartPrivate(CHXGuidLookups& service) {
    LookupServiceTest::StartPrivate(service, ExchangeRows(), 7);
  }

  static bool StaticCacheIsFresh() {
    return StaticCache::p_inst == nullptr || !StaticCache::p_inst->bIsLoaded.load();
  }

  struct Answer {
    bool ok;
    GuidRecordMap records;
  };
  static Answer Find(CHXGuidLookups& service, std::string address, bool keyIsGuid = false) {
    Answer a;
    a.ok = service.Lookup(address, a.records, keyIsGuid);
    return a;
  }
  static std::vector<std::string> Names(const GuidRecordMap& records) {
    std::vector<std::string> names;
    for (const auto& e : records) names.push_back(e.second.name);
    return names;
  }
  static std::string FirstGuid(const GuidRecordMap& records) {
    return records.empty() ? "" : records.begin()->second.guid;
  }

  ScopedLogCapture log;
};

#define REQUIRE_FRESH_STATIC_CACHE() \
  if (!StaticCacheIsFresh()) GTEST_SKIP() << "needs a process of its own (CTest)"

// ---------------------------------------------------------------- private mode

TEST_F(HXGuidLookupsTest, PrivateModeQueriesOnceThenServesFromItsCache) {
  CHXGuidLookups service;
  ASSERT_NO_FATAL_FAILURE(StartPrivate(service));
  EXPECT_EQ(sandbox.cacheDir(), service.guidCacheDir);
  EXPECT_EQ(100000u, service.mfuCache.maxSize());
  EXPECT_EQ(nullptr, service.staticCache);
  EXPECT_EQ(0, service.dbStatus);

  Answer a = Find(service, "ann@corp.test");
  ASSERT_TRUE(a.ok) << log->dump();
  EXPECT_EQ((std::vector<std::string>{"Ann@Corp.test", "ann.proxy@corp.test", "ann.x500@corp.test",
                                      "ann.second@corp.test", "Carol.Single@corp.test"}),
            Names(a.records));
  // Only the first record's GUID shows X for every dash.
  EXPECT_EQ("{ABX01}", FirstGuid(a.records));
  EXPECT_EQ("{AB-01}", a.records.find(16)->second.guid);
  EXPECT_EQ(RefreshTimeReason::kRecent, service.lastReport().decision.time);
  EXPECT_EQ(1u, service.GetStatistics().databaseQueries);

  // The second call never reaches the file.
  ASSERT_EQ(0, unlink(sandbox.dbFile().c_str()));
  log->clear();
  Answer again = Find(service, "ann@corp.test");
  EXPECT_TRUE(again.ok);
  EXPECT_EQ(a.records.size(), again.records.size());
  EXPECT_EQ("{ABX01}", FirstGuid(again.records));
  EXPECT_EQ(1u, service.GetStatistics().hits);
  EXPECT_EQ(1u, service.mfuCache.size());
}

TEST_F(HXGuidLookupsTest, PrivateModeRemembersThatAnAddressIsUnknown) {
  CHXGuidLookups service;
  ASSERT_NO_FATAL_FAILURE(StartPrivate(service));
  Answer a = Find(service, "nobody@corp.test");
  EXPECT_TRUE(a.ok);
  EXPECT_TRUE(a.records.empty());
  Answer again = Find(service, "nobody@corp.test");
  EXPECT_TRUE(again.ok);
  EXPECT_TRUE(again.records.empty());
  EXPECT_EQ(1u, service.GetStatistics().hits);
  EXPECT_EQ(1u, service.GetStatistics().databaseQueries);

  // Letter case makes another entry; the query itself ignores case.
  Answer upper = Find(service, "BOB@CORP.TEST");
  EXPECT_TRUE(upper.ok);
  EXPECT_EQ((std::vector<std::string>{"bob@corp.test"}), Names(upper.records));
  EXPECT_EQ(2u, service.mfuCache.size());
}

TEST_F(HXGuidLookupsTest, PrivateModeLotusNotesAgentResolvesNamesAndGuids) {
  FreshSettings({{"AddressCacheMemorySize", "3"}});
  sandbox.MakeCacheDb(NotesRows());
  CHXGuidLookups service;
  ASSERT_FALSE(service.Initialize(8, 0, false, false, nullptr).IsError());
  EXPECT_FALSE(bIsExchGuid.load());
  EXPECT_EQ(3u, service.mfuCache.maxSize());

  Answer byName = Find(service, "dana@notes.test");
  ASSERT_TRUE(byName.ok);
  EXPECT_EQ(5u, byName.records.size());
  EXPECT_EQ("{lnX01}", FirstGuid(byName.records));

  Answer byGuid = Find(service, "{LN-01}", true);
  ASSERT_TRUE(byGuid.ok);
  EXPECT_EQ(5u, byGuid.records.size());
  // A GUID is not a name.
  Answer guidAsName = Find(service, "{ln-01}");
  EXPECT_TRUE(guidAsName.ok);
  EXPECT_TRUE(guidAsName.records.empty());
}

TEST_F(HXGuidLookupsTest, LookupAndFindPicksTheFirstRecordOfAStatus) {
  CHXGuidLookups service;
  ASSERT_NO_FATAL_FAILURE(StartPrivate(service));
  std::string address = "ann@corp.test";
  std::string name = "stale";
  EXPECT_TRUE(service.LookupAndFind(address, 8, name, false));
  EXPECT_EQ("ann.x500@corp.test", name);

  EXPECT_FALSE(service.LookupAndFind(address, 64, name, false));
  EXPECT_EQ("", name);
  std::string unknown = "nobody@corp.test";
  name = "stale";
  EXPECT_FALSE(service.LookupAndFind(unknown, 1, name, false));
  EXPECT_EQ("", name);
}

// ----------------------------------------------------------------- shared mode

TEST_F(HXGuidLookupsTest, SharedModeRebuildsThenServesEveryThreadFromTheStaticCache) {
  REQUIRE_FRESH_STATIC_CACHE();
  StaleSettings({{"naddproxysmtp", "0"}});
  sandbox.WriteAppMgrTable(ExchangeRows());
  CHXGuidLookups service;
  ASSERT_FALSE(service.Initialize(7, 0, true, true, nullptr).IsError());
  EXPECT_EQ(RefreshRebuilt, service.lastRefresh);
  EXPECT_EQ(0, service.dbStatus);
  EXPECT_EQ(StaticCache::instance(), service.staticCache);

  Answer a = Find(service, "ANN@corp.TEST");
  ASSERT_TRUE(a.ok) << log->dump();
  EXPECT_EQ(5u, a.records.size());
  EXPECT_EQ("{ABX01}", FirstGuid(a.records));
  EXPECT_EQ(1u, service.GetStatistics().hits);
  // Keys: status 1, 8, 16 and the GUID; a proxy address only on request.
  EXPECT_TRUE(Find(service, "carol.single@corp.test").ok);
  EXPECT_TRUE(Find(service, "ann.second@corp.test").ok);
  EXPECT_TRUE(Find(service, "{ab-01}", true).ok);
  Answer proxy = Find(service, "ann.proxy@corp.test");
  EXPECT_FALSE(proxy.ok);
  EXPECT_TRUE(proxy.records.empty());
  EXPECT_EQ(1u, service.GetStatistics().misses);

  std::string address = "ann@corp.test";
  std::string name;
  EXPECT_TRUE(service.LookupAndFind(address, 16, name, false));
  EXPECT_EQ("carol.single@corp.test", name);

  // A second object finds the cache loaded; destroying one leaves it so.
  {
    CHXGuidLookups second;
    log->clear();
    ASSERT_FALSE(second.Initialize(8, 0, true, true, nullptr).IsError());
    EXPECT_EQ(0, second.dbStatus);
    EXPECT_TRUE(log->has("Cache already Loaded"));
    EXPECT_EQ(RefreshOutcomeNone, second.lastRefresh);
  }
  EXPECT_TRUE(Find(service, "bob@corp.test").ok);
}

TEST_F(HXGuidLookupsTest, SharedModeLotusNotesAgentUsesItsOwnKeys) {
  REQUIRE_FRESH_STATIC_CACHE();
  FreshSettings({{"naddproxysmtp", "7"}});
  sandbox.MakeCacheDb(NotesRows());
  CHXGuidLookups service;
  ASSERT_FALSE(service.Initialize(9, 0, true, false, nullptr).IsError());
  EXPECT_EQ(0, service.dbStatus);
  EXPECT_FALSE(bIsExchGuid.load());
  for (const char* key :
       {"dana notes/corp", "DANA@NOTES.TEST", "dana short", "dana.alt@notes.test"})
    EXPECT_TRUE(Find(service, key).ok) << key;
  // Status 16 is an Exchange key only.
  EXPECT_FALSE(Find(service, "dana.exch.single@notes.test").ok);
}

TEST_F(HXGuidLookupsTest, ConcurrentSharedSetUpLoadsOnceAndAnswersEveryThread) {
  REQUIRE_FRESH_STATIC_CACHE();
  StaleSettings();
  ScopedRowSource source(testsupport::TaggedGroups("v1", 200, 3));
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      CHXGuidLookups service;
      if (service.Initialize(t, 0, true, true, nullptr).IsError() || service.dbStatus != 0)
        failures.fetch_add(1);
      for (int g = t; g < 200; g += 4) {
        GuidRecordMap records;
        std::string address = "USER" + std::to_string(g) + "@corp.test";
        if (!service.Lookup(address, records, false) || records.size() != 3) failures.fetch_add(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(0, failures.load()) << log->dump();
  EXPECT_EQ(1, log->count("rows inserted into local guid_name table."));
  EXPECT_EQ(1, log->count("Cache filled in"));
}

// ------------------------------------------------------------ refresh decisions

TEST_F(HXGuidLookupsTest, JobThatAsksForARefreshGetsOneOnceAndTheMarkerRemembersIt) {
  FreshSettings();
  sandbox.MakeCacheDb({{"old@corp.test", "{old}", 1}});
  WriteFile(sandbox.markerFile(), "41");
  std::vector<Row> rows = {{"new@corp.test", "{NEW-1}", 1}};
  ScopedRowSource source(rows);
  {
    CHXGuidLookups service;
    ASSERT_FALSE(service.Initialize(42, GuidRefreshJobFlag, false, true, nullptr).IsError());
    Answer a = Find(service, "new@corp.test");
    ASSERT_TRUE(a.ok);
    EXPECT_EQ("{newX1}", FirstGuid(a.records));
    EXPECT_TRUE(Find(service, "old@corp.test").records.empty());
    EXPECT_EQ(RefreshJobReason::kAsks, service.lastReport().decision.job);
    EXPECT_EQ(42u, service.lastReport().decision.jobId);
    EXPECT_EQ("42", ReadFile(sandbox.markerFile()));
  }
  // The job resumes in a new process: no second refresh.
  testsupport::ResetLookupProcessState();
  ScopedRowSource other(std::vector<Row>{{"newer@corp.test", "{newer}", 1}});
  log->clear();
  CHXGuidLookups resumed;
  ASSERT_FALSE(resumed.Initialize(42, GuidRefreshJobFlag, false, true, nullptr).IsError());
  EXPECT_FALSE(Find(resumed, "new@corp.test").records.empty());
  EXPECT_EQ(RefreshJobReason::kAlreadyRefreshed, resumed.lastReport().decision.job);
  EXPECT_EQ(RefreshNotNeeded, resumed.lastReport().decision.state);
}

TEST_F(HXGuidLookupsTest, MarkerHoldingGarbageCountsAsAnotherJob) {
  FreshSettings();
  sandbox.MakeCacheDb({{"old@corp.test", "{old}", 1}});
  WriteFile(sandbox.markerFile(), "42 and then some\x01\xFF");
  ScopedRowSource source({{"new@corp.test", "{new}", 1}});
  CHXGuidLookups service;
  ASSERT_FALSE(service.Initialize(42, GuidRefreshJobFlag, false, true, nullptr).IsError());
  EXPECT_FALSE(Find(service, "new@corp.test").records.empty());
  EXPECT_EQ(RefreshJobReason::kAsks, service.lastReport().decision.job);
  EXPECT_EQ("42", ReadFile(sandbox.markerFile()));
}

// -------------------------------------------------------------------- rebuild

TEST_F(HXGuidLookupsTest, RebuildOf2500RowsCommitsEvery999Rows) {
  REQUIRE_FRESH_STATIC_CACHE();
  StaleSettings();
  sandbox.MakeCacheDb({{"old@corp.test", "{old}", 1}});
  std::vector<Row> rows;
  for (int i = 1; i <= 2500; ++i)
    rows.emplace_back("user" + std::to_string(i) + "@corp.test", "{G-" + std::to_string(i) + "}",
                      1);
  sandbox.WriteAppMgrTable(rows);
  CHXGuidLookups service;
  ASSERT_FALSE(service.Initialize(7, 0, true, true, nullptr).IsError());
  EXPECT_EQ(0, service.dbStatus);
  EXPECT_EQ(999u, service.lastReport().batchSize);

  // B, and a C + B before rows 1000 and 1999, then the last commit of rows
  // 1999..2500.
  std::vector<std::string> events = RebuildEvents(*log);
  ASSERT_EQ(2506u, events.size());
  EXPECT_EQ((std::vector<std::string>{"B", "A:user1@corp.test"}),
            std::vector<std::string>(events.begin(), events.begin() + 2));
  size_t at1000 = 1 + 999;
  EXPECT_EQ((std::vector<std::string>{"A:user1000@corp.test", "C", "B", "A:user1001@corp.test"}),
            std::vector<std::string>(events.begin() + at1000, events.begin() + at1000 + 4));
  size_t at1999 = at1000 + 3 + 998;
  EXPECT_EQ((std::vector<std::string>{"A:user1999@corp.test", "C", "B", "A:user2000@corp.test"}),
            std::vector<std::string>(events.begin() + at1999, events.begin() + at1999 + 4));
  EXPECT_EQ("A:user2500@corp.test", events[events.size() - 2]);
  EXPECT_EQ("C", events.back());

  EXPECT_EQ(2500u, ReadAllRows(sandbox.dbFile()).size());
  for (int i : {1, 999, 1000, 1999, 2500}) {
    Answer a = Find(service, "user" + std::to_string(i) + "@corp.test");
    EXPECT_TRUE(a.ok) << i;
    EXPECT_EQ("{GX" + std::to_string(i) + "}", FirstGuid(a.records));
  }
  EXPECT_FALSE(Find(service, "old@corp.test").ok);
}

TEST_F(HXGuidLookupsTest, FailedAddMidRebuildSkipsTheRowAndGoesOn) {
  StaleSettings();
  sandbox.MakeCacheDb({{"old@corp.test", "{old}", 1}});
  std::vector<Row> rows;
  for (int i = 1; i <= 2500; ++i)
    rows.emplace_back(i == 500 ? "bad" : "u" + std::to_string(i) + "@corp.test",
                      "{g" + std::to_string(i) + "}", 1);
  sandbox.WriteAppMgrTable(rows);
  CHXGuidLookups service;
  ASSERT_FALSE(service.Initialize(7, 0, false, true, nullptr).IsError());
  // The first refresh of the process, through a database that refuses "bad".
  testsupport::RefusingGuidDB refusing("bad");
  ASSERT_TRUE(service.UpdateGUIDDB(refusing)) << log->dump();
  Answer a = Find(service, "u2500@corp.test");
  EXPECT_TRUE(a.ok);
  EXPECT_FALSE(a.records.empty());
  std::vector<int> commits;
  int added = 0;
  for (const auto& e : RebuildEvents(*log)) {
    if (e.rfind("A:", 0) == 0) ++added;
    if (e == "C" && added > 0) commits.push_back(added);
  }
  EXPECT_EQ((std::vector<int>{500, 1499, 2498, 2500}), commits);
  EXPECT_EQ(2499u, ReadAllRows(sandbox.dbFile()).size());
  EXPECT_TRUE(Find(service, "bad").records.empty());
  EXPECT_EQ(RefreshDone, CHXGuidLookups::s_shouldRefreshGUIDTable.load());
}

// ----------------------------------------------------------------- the mends

TEST_F(HXGuidLookupsTest, DatabaseFailureIsNotCachedAsAnEmptyAnswer) {
  FreshSettings();
  sandbox.MakeCacheDb(ExchangeRows());
  std::string good = ReadFile(sandbox.dbFile());
  WriteFile(sandbox.dbFile(), std::string(4096, 'x'));  // not a database
  CHXGuidLookups service;
  ASSERT_FALSE(service.Initialize(7, 0, false, true, nullptr).IsError());

  Answer a = Find(service, "bob@corp.test");
  EXPECT_FALSE(a.ok);
  EXPECT_TRUE(a.records.empty());
  EXPECT_EQ(GuidFailureStep::kOpen, service.lastFailure().step);
  EXPECT_EQ(sandbox.cacheDir(), service.lastFailure().subject);
  EXPECT_EQ(0u, service.mfuCache.size());

  // Also when the caller's map held entries: they stay, nothing is cached.
  std::string bob = "bob@corp.test";
  GuidRecordMap callers{{99, SGuidRecord("caller", "{caller}", 99)}};
  EXPECT_FALSE(service.Lookup(bob, callers, false));
  ASSERT_EQ(1u, callers.size());
  EXPECT_EQ("{caller}", callers.begin()->second.guid);
  EXPECT_EQ(0u, service.mfuCache.size());

  // The file is repaired: the next lookup finds the address.
  WriteFile(sandbox.dbFile(), good);
  Answer repaired = Find(service, "bob@corp.test");
  EXPECT_TRUE(repaired.ok);
  EXPECT_EQ((std::vector<std::string>{"bob@corp.test"}), Names(repaired.records));
}

TEST_F(HXGuidLookupsTest, QueryThatCannotRunIsAFailureToo) {
  FreshSettings();
  sandbox.MakeCacheDb({});
  // A view named GUID passes the open test, but the query cannot run on it.
  ExecSql(sandbox.dbFile(), "DROP TABLE GUID; CREATE VIEW GUID AS SELECT 1 AS x;");
  CHXGuidLookups service;
  ASSERT_FALSE(service.Initialize(7, 0, false, true, nullptr).IsError());
  EXPECT_FALSE(Find(service, "bob@corp.test").ok);
  EXPECT_EQ(GuidFailureStep::kQuery, service.lastFailure().step);
  EXPECT_EQ("bob@corp.test", service.lastFailure().subject);
  EXPECT_EQ(0u, service.mfuCache.size());
}

TEST_F(HXGuidLookupsTest, LongAddressesAreQueriedWhole) {
  CHXGuidLookups service;
  ASSERT_NO_FATAL_FAILURE(StartPrivate(service));
  for (size_t length : {200u, 300u}) {
    std::string address = LongAddress(length, length == 200 ? 'm' : 'l');
    Answer a = Find(service, address);
    ASSERT_TRUE(a.ok) << length;
    EXPECT_EQ(length == 200 ? "{EFX10}" : "{EFX09}", FirstGuid(a.records)) << length;
    // Cached under the full text.
    GuidRecordMap cached;
    EXPECT_TRUE(service.mfuCache.find(address, cached, false));
  }
}

TEST_F(HXGuidLookupsTest, WithoutAHomeFolderNoDatabaseFileIsEverTouched) {
  REQUIRE_FRESH_STATIC_CACHE();
  // A refresh would be due, and the application manager has rows.
  sandbox.WriteSettings({{"getSqlLiteDbFromHB", "0"}}, /*withHome=*/false);
  sandbox.WriteAppMgrTable(ExchangeRows());
  TempDir cwd;
  std::string previous = std::filesystem::current_path().string();
  ASSERT_EQ(0, chdir(cwd.path().c_str()));
  bool rootFileBefore = access("/" GUIDDB_NAME, F_OK) == 0;

  const auto loads = [] { return StaticCache::instance()->GetStatistics().counts.databaseQueries; };
  const uint64_t loadsBefore = loads();
  CHXGuidLookups shared;
  EXPECT_FALSE(shared.Initialize(7, 0, true, true, nullptr).IsError());
  EXPECT_EQ("", shared.guidCacheDir);
  EXPECT_EQ(1, shared.dbStatus);
  EXPECT_EQ(GuidFailureStep::kNoFolder, shared.lastFailure().step);
  EXPECT_EQ(loadsBefore, loads());  // no load was tried
  EXPECT_EQ(RefreshUndecided, CHXGuidLookups::s_shouldRefreshGUIDTable.load());
  EXPECT_FALSE(Find(shared, "bob@corp.test").ok);

  CHXGuidLookups priv;
  EXPECT_FALSE(priv.Initialize(7, 0, false, true, nullptr).IsError());
  for (int round = 0; round < 2; ++round) {
    Answer a = Find(priv, "bob@corp.test");
    EXPECT_FALSE(a.ok);
    EXPECT_TRUE(a.records.empty());
  }
  EXPECT_EQ(0u, priv.mfuCache.size());
  EXPECT_EQ(GuidFailureStep::kNoFolder, priv.lastFailure().step);
  EXPECT_EQ(2u, priv.GetStatistics().databaseFailures);

  // An empty "dHOME" is no home either.
  sandbox.WriteSettingsText("[vTaskHost]\ndHOME=\n[EventManager]\ngetSqlLiteDbFromHB=0\n");
  CHXGuidLookups empty;
  EXPECT_FALSE(empty.Initialize(7, 0, false, true, nullptr).IsError());
  EXPECT_EQ("", empty.guidCacheDir);
  EXPECT_FALSE(Find(empty, "bob@corp.test").ok);

  EXPECT_EQ(0, chdir(previous.c_str()));
  EXPECT_EQ(rootFileBefore, access("/" GUIDDB_NAME, F_OK) == 0);
  EXPECT_NE(0, access((cwd.path() + "/" GUIDDB_NAME).c_str(), F_OK));
  EXPECT_NE(0, access((sandbox.homeDir() + "/JobResults").c_str(), F_OK));
  EXPECT_NE(0, access((cwd.path() + "/JobResults").c_str(), F_OK));
}

TEST_F(HXGuidLookupsTest, LookupsLeaveTheProcessLocaleAlone) {
  // The counter must see the library's calls: this program's definition is
  // the one every module binds to.
  ASSERT_EQ(reinterpret_cast<void*>(&setlocale), dlsym(RTLD_DEFAULT, "setlocale"));
  FreshSettings();
  sandbox.MakeCacheDb(ExchangeRows());
  g_localeChanges.store(0);
  CHXGuidLookups service;
  ASSERT_FALSE(service.Initialize(7, 0, false, true, nullptr).IsError());
  EXPECT_TRUE(Find(service, "bob@corp.test").ok);
  EXPECT_TRUE(Find(service, "nobody@corp.test").ok);
  EXPECT_TRUE(Find(service, LongAddress(300, 'l')).ok);
  EXPECT_EQ(0, g_localeChanges.load());
}

// A log writer for a child that is to die in the middle of a rebuild: after
// `rows` "Adding" lines it tells the parent through `fd` and waits for the
// end.
class StopInRebuildWriter : public CLogWriterInterface {
 public:
  StopInRebuildWriter(int rows, int fd) : rows_(rows), fd_(fd) {}
  void WriteLine(int, const char*, int, const std::string& message) override {
    if (message.rfind("Adding, Guid=[", 0) == 0 && ++seen_ == rows_) {
      char byte = 1;
      if (write(fd_, &byte, 1) != 1) _exit(3);
      for (;;) pause();
    }
  }
  int GetLevel() override { return 7; }

 private:
  int rows_;
  int fd_;
  int seen_ = 0;
};

TEST_F(HXGuidLookupsTest, RebuildKilledHalfWayIsNotTakenAsFresh) {
  FreshSettings();
  sandbox.MakeCacheDb({{"old@corp.test", "{old}", 1}});
  std::vector<Row> rows;
  for (int i = 1; i <= 2500; ++i)
    rows.emplace_back("user" + std::to_string(i) + "@corp.test", "{g" + std::to_string(i) + "}", 1);
  ScopedRowSource source(rows);
  int pipeFds[2];
  ASSERT_EQ(0, pipe(pipeFds));
  pid_t child = ForkChild([&] {
    close(pipeFds[0]);
    SetLogWriter(std::make_shared<StopInRebuildWriter>(1500, pipeFds[1]));
    CHXGuidLookups service;
    if (service.Initialize(42, GuidRefreshJobFlag, false, true, nullptr).IsError()) return 1;
    std::string address = "user1@corp.test";
    GuidRecordMap records;
    service.Lookup(address, records, false);
    return 2;  // not reached: killed in the rebuild
  });
  close(pipeFds[1]);
  pollfd pfd{pipeFds[0], POLLIN, 0};
  bool stopped = poll(&pfd, 1, 60000) == 1;
  char byte = 0;
  stopped = stopped && read(pipeFds[0], &byte, 1) == 1;
  close(pipeFds[0]);
  kill(child, SIGKILL);
  EXPECT_EQ(128 + SIGKILL, WaitChild(child));
  ASSERT_TRUE(stopped) << "the child never reached row 1500";

  // The first batch went into the new file only; the old table is whole.
  EXPECT_EQ((std::vector<Row>{{"old@corp.test", "{old}", 1}}), ReadAllRows(sandbox.dbFile()));
  EXPECT_GE(testsupport::RebuildFilesIn(sandbox.cacheDir()), 1);
  EXPECT_EQ(-1, sandbox.EventManagerNumber("nLastGuidNameTableRefreshTime"));
  std::string reason;
  EXPECT_EQ(RefreshNeeded, IsSQLiteRefreshNeeded(reason, 0, sandbox.markerFile(), 43));
  EXPECT_EQ("IsSQLiteRefreshNeeded: [Refreshing as the GUID table was not refreshed at all]",
            reason);
  // Even refreshing by time switched off does not keep the partial table.
  {
    HXPlatformInfo settings;
    ASSERT_NE(0, settings.setNumber("EventManager", "SmtpGuidTableRefreshInterval", 0));
    EXPECT_EQ(RefreshNeeded, IsSQLiteRefreshNeeded(reason, 0, sandbox.markerFile(), 43));
    ASSERT_NE(0, settings.removeValue("EventManager", "SmtpGuidTableRefreshInterval"));
  }

  // The next process (no job flag) rebuilds the whole table; the dead
  // child's mutex is gone with it.
  CHXGuidLookups service;
  ASSERT_FALSE(service.Initialize(43, 0, false, true, nullptr).IsError());
  Answer a = Find(service, "user2500@corp.test");
  EXPECT_TRUE(a.ok);
  EXPECT_EQ("{g2500}", a.records.empty() ? "" : a.records.begin()->second.guid);
  EXPECT_EQ(2500u, ReadAllRows(sandbox.dbFile()).size());
  EXPECT_GT(sandbox.EventManagerNumber("nLastGuidNameTableRefreshTime"), 0);
  EXPECT_EQ(0, testsupport::RebuildFilesIn(sandbox.cacheDir()));
}

// ------------------------------------------------------------------ bad input

// Descriptors of this process on `file`, replaced (deleted) ones included.
int DescriptorsOnFile(const std::string& file) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (!ec && target.rfind(file, 0) == 0) ++count;
  }
  return count;
}

// Private mode keeps its connection between misses. Whatever happens to the
// file between two misses (another process renames a new table over it, it is
// deleted and made again, a shell changes it in place, it turns unreadable),
// the next miss answers from the file as it is then, and no descriptor stays
// on a file that was replaced.
TEST_F(HXGuidLookupsTest, KeptConnectionFollowsTheFileBetweenMisses) {
  CHXGuidLookups service;
  ASSERT_NO_FATAL_FAILURE(StartPrivate(service, {{"a@corp.test", "{A}", 1}}, 7));
  EXPECT_EQ(1u, Find(service, "a@corp.test").records.size());
  EXPECT_EQ(1, DescriptorsOnFile(sandbox.dbFile()));

  // Replaced whole by another process's rebuild.
  pid_t child = ForkChild([&] {
    const std::list<GUIDNameInfo> rows = {{1, "{B}", "b@corp.test"}};
    return RebuildGuidTable(sandbox.cacheDir(), RowsOf(rows)).replaced ? 0 : 1;
  });
  ASSERT_EQ(0, WaitChild(child));
  EXPECT_EQ(1u, Find(service, "b@corp.test").records.size());
  EXPECT_EQ(1, DescriptorsOnFile(sandbox.dbFile()));  // none left on the old file

  // Deleted and made again.
  ASSERT_EQ(0, unlink(sandbox.dbFile().c_str()));
  sandbox.MakeCacheDb({{"c@corp.test", "{C}", 1}});
  EXPECT_EQ(1u, Find(service, "c@corp.test").records.size());

  // Changed in place by a foreign writer.
  ExecSql(sandbox.dbFile(), "INSERT INTO GUID VALUES ('d@corp.test', '{d}', 1);");
  EXPECT_EQ(1u, Find(service, "d@corp.test").records.size());

  // Unreadable in place: a failure, not an answer; repaired: answers again.
  const std::string good = ReadFile(sandbox.dbFile());
  WriteFile(sandbox.dbFile(), std::string(good.size(), 'x'));
  EXPECT_FALSE(Find(service, "e@corp.test").ok);
  WriteFile(sandbox.dbFile(), good);
  EXPECT_TRUE(Find(service, "e@corp.test").ok);
  EXPECT_EQ(1u, Find(service, "c@corp.test").records.size());
}

// `cp other.dat GUIDDB.DAT`: the same inode, size, row count and SQLite
// change counter, one GUID changed. Both files are older than any timestamp
// granularity, so only the file's new times can tell the kept connection.
TEST_F(HXGuidLookupsTest, FileCopiedOverInPlaceIsReadAfreshByTheNextMiss) {
  FreshSettings();
  TempDir other;
  testsupport::MakeGuidDb(other.path(), {{"a@corp.test", "{A1}", 1}, {"b@corp.test", "{B2}", 1}});
  sandbox.MakeCacheDb({{"a@corp.test", "{A1}", 1}, {"b@corp.test", "{B1}", 1}});
  const std::string copy = ReadFile(other.file(GUIDDB_NAME));
  ASSERT_EQ(copy.size(), ReadFile(sandbox.dbFile()).size());
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  CHXGuidLookups service;
  ASSERT_FALSE(service.Initialize(7, 0, false, true, nullptr).IsError());
  ASSERT_EQ("{A1}", FirstGuid(Find(service, "a@corp.test").records));
  struct stat before, after;
  ASSERT_EQ(0, stat(sandbox.dbFile().c_str(), &before));
  WriteFile(sandbox.dbFile(), copy);
  ASSERT_EQ(0, stat(sandbox.dbFile().c_str(), &after));
  ASSERT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ("{B2}", FirstGuid(Find(service, "b@corp.test").records));
}

// However many private-mode objects a process makes, they share one
// connection and one lock descriptor: 10,000 of them fit under 256
// descriptors, and every one answers.
TEST_F(HXGuidLookupsTest, TenThousandPrivateObjectsFitUnderAFewDescriptors) {
  FreshSettings();
  sandbox.MakeCacheDb({{"a@corp.test", "{A}", 1}});
  pid_t child = ForkChild([] {
    rlimit limit{256, 256};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;
    std::vector<std::unique_ptr<CHXGuidLookups>> services;
    int failures = 0;
    for (int i = 0; i < 10000; ++i) {
      services.push_back(std::make_unique<CHXGuidLookups>());
      if (services.back()->Initialize(7, 0, false, true, nullptr).IsError()) ++failures;
      std::string address = "a@corp.test";
      GuidRecordMap records;
      if (!services.back()->Lookup(address, records, false) || records.size() != 1) ++failures;
    }
    return failures == 0 ? 0 : 1;
  });
  EXPECT_EQ(0, WaitChild(child));
}

// Threads of one process still take turns on the shared connection (TSan
// sees any overlap), and each gets its own answers.
TEST_F(HXGuidLookupsTest, ConcurrentPrivateObjectsTakeTurnsOnTheSharedConnection) {
  FreshSettings({{"AddressCacheMemorySize", "0"}});
  sandbox.MakeCacheDb(testsupport::TaggedGroups("v1", 200, 3));
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      CHXGuidLookups service;
      if (service.Initialize(t, 0, false, true, nullptr).IsError()) failures.fetch_add(1);
      for (int g = t; g < 200; g += 4) {
        const std::string guid = "{v1X" + std::to_string(g) + "}";
        Answer a = Find(service, "user" + std::to_string(g) + "@corp.test");
        if (!a.ok || a.records.size() != 3 || FirstGuid(a.records) != guid) failures.fetch_add(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(0, failures.load()) << log->dump();
  EXPECT_EQ(1, DescriptorsOnFile(sandbox.dbFile()));
}

// A settings file that is there but cannot be read, here for want of
// descriptors, fails the set-up with its name and reason; it is not taken
// for a file without "dHOME".
TEST_F(HXGuidLookupsTest, UnreadableSettingsFileFailsTheSetUp) {
  FreshSettings();
#if defined(__SANITIZE_ADDRESS__)
  // UndefinedBehaviorSanitizer, built in with AddressSanitizer, checks each
  // virtual call's object through a pipe of its own the first time it meets
  // its type: with no descriptor left it calls every object invalid. The
  // plain build runs this test.
  GTEST_SKIP() << "needs descriptors the sanitizer's own checks would take";
#endif
  pid_t child = ForkChild([&] {
    const int next = dup(0);
    close(next);
    rlimit limit{static_cast<rlim_t>(next), static_cast<rlim_t>(next)};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;
    CHXGuidLookups service;
    CLmError err = service.Initialize(7, 0, false, true, nullptr);
    const bool named = err.Text().find(sandbox.settingsFile()) != std::string::npos &&
                       service.lastError.find("Too many open files") != std::string::npos;
    return err.IsError() && named && service.guidCacheDir.empty() &&
                   log->count("Cannot read settings file") == 1
               ? 0
               : 1;
  });
  EXPECT_EQ(0, WaitChild(child));
}

// A key is the whole key: the text before a NUL byte must not answer for it,
// in either mode, and the database is not asked.
TEST_F(HXGuidLookupsTest, KeyWithANulByteIsNotFoundInEitherMode) {
  REQUIRE_FRESH_STATIC_CACHE();
  const std::string key("bob@corp.test\0garbage", 22);
  CHXGuidLookups privateService;
  ASSERT_NO_FATAL_FAILURE(StartPrivate(privateService));
  Answer a = Find(privateService, key);
  EXPECT_TRUE(a.ok);
  EXPECT_TRUE(a.records.empty());
  EXPECT_EQ(0u, privateService.GetStatistics().databaseQueries);

  CHXGuidLookups sharedService;
  ASSERT_FALSE(sharedService.Initialize(7, 0, true, true, nullptr).IsError());
  ASSERT_TRUE(Find(sharedService, "bob@corp.test").ok);
  EXPECT_FALSE(Find(sharedService, key).ok);
}

// A row with an empty name must not make the empty key somebody's mailbox;
// the empty key never reaches the database (here: a file that is none).
TEST_F(HXGuidLookupsTest, EmptyKeyResolvesToNothingWithoutTheDatabase) {
  CHXGuidLookups service;
  ASSERT_NO_FATAL_FAILURE(
      StartPrivate(service, {{"", "{EMPTY}", 1}, {"a@corp.test", "{A}", 1}}, 7));
  WriteFile(sandbox.dbFile(), std::string(4096, 'x'));
  for (bool byGuid : {false, true}) {
    Answer a = Find(service, "", byGuid);
    EXPECT_TRUE(a.ok);
    EXPECT_TRUE(a.records.empty());
  }
  service.isInMemoryShared = true;
  Answer shared = Find(service, "");
  EXPECT_FALSE(shared.ok);
}

TEST_F(HXGuidLookupsTest, AwkwardAddressesInPrivateMode) {
  CHXGuidLookups service;
  ASSERT_NO_FATAL_FAILURE(StartPrivate(service));
  struct Case {
    std::string address;
    std::string guid;  // first record's GUID, "" for no match
  } cases[] = {
      {"", ""},
      {"O'Brien@corp.test", "{EFX03}"},
      {"'; DROP TABLE GUID; --", ""},
      {"dom\\user@corp.test", "{EFX04}"},
      {"j\xC3\xBCrgen@corp.test", "{EFX05}"},
      {"a_b@corp.test", "{EFX06}"},  // not axb's
      {"a%@corp.test", ""},          // no wildcard
      {"100%@corp.test", "{EFX08}"},
      {"%", ""},
      {"_", ""},
  };
  for (const Case& c : cases) {
    Answer a = Find(service, c.address);
    EXPECT_TRUE(a.ok) << c.address;
    EXPECT_EQ(c.guid, FirstGuid(a.records)) << c.address;
  }
  EXPECT_EQ(ExchangeRows().size(), ReadAllRows(sandbox.dbFile()).size());
  // A GUID as key, by GUID and as a name.
  EXPECT_EQ(5u, Find(service, "{ab-01}", true).records.size());
}

TEST_F(HXGuidLookupsTest, AwkwardAddressesInSharedMode) {
  REQUIRE_FRESH_STATIC_CACHE();
  FreshSettings();
  sandbox.MakeCacheDb(ExchangeRows());
  CHXGuidLookups service;
  ASSERT_FALSE(service.Initialize(7, 0, true, true, nullptr).IsError());
  ASSERT_EQ(0, service.dbStatus);
  EXPECT_FALSE(Find(service, "").ok);
  for (const std::string& address :
       {std::string("O'BRIEN@corp.test"), std::string("DOM\\USER@corp.test"),
        std::string("j\xC3\xBCrgen@CORP.test"), std::string("a_b@corp.test"),
        std::string("100%@corp.test"), LongAddress(300, 'l'), std::string("{ab-01}")})
    EXPECT_TRUE(Find(service, address).ok) << address;
  for (const char* address : {"a%@corp.test", "a?b@corp.test", "%", "J\xC3\x9CRGEN@corp.test"})
    EXPECT_FALSE(Find(service, address).ok) << address;
}

TEST_F(HXGuidLookupsTest, GarbageAndHugeSettingsFallBackToDefaults) {
  sandbox.MakeCacheDb(ExchangeRows());
  sandbox.WriteSettings({{"AddressCacheMemorySize", "lots"},
                         {"nLastGuidNameTableRefreshTime", Now(-60)},
                         {"SmtpGuidTableRefreshInterval", "-5"},
                         {"getSqlLiteDbFromHB", "99999999999999999999999"}});
  CHXGuidLookups a;
  ASSERT_FALSE(a.Initialize(7, 0, false, true, nullptr).IsError());
  EXPECT_EQ(100000u, a.mfuCache.maxSize());
  EXPECT_TRUE(Find(a, "bob@corp.test").ok);

  // 2^32 + 1 keeps its low 32 bits.
  sandbox.WriteSettings(
      {{"AddressCacheMemorySize", "4294967297"}, {"nLastGuidNameTableRefreshTime", Now(-60)}});
  CHXGuidLookups b;
  ASSERT_FALSE(b.Initialize(7, 0, false, true, nullptr).IsError());
  EXPECT_TRUE(log->has(-1, kInitializeTag, "[AddressCacheMemorySize] set to [1]"));
  EXPECT_TRUE(Find(b, "bob@corp.test").ok);
  EXPECT_TRUE(Find(b, "ann@corp.test").ok);
  EXPECT_EQ(1u, b.mfuCache.size());

  // A batch size beyond any table: one transaction for the rows.
  testsupport::ResetLookupProcessState();
  sandbox.WriteSettings({{"getSqlLiteDbFromHB", "0"},
                         {"nTotalNumberOfRecordsToCommit", "18446744073709551615"},
                         {"AddressCacheMemorySize", "0"}});
  ScopedRowSource source(testsupport::TaggedGroups("v1", 10, 3));
  log->clear();
  CHXGuidLookups c;
  ASSERT_FALSE(c.Initialize(7, 0, false, true, nullptr).IsError());
  EXPECT_EQ(0u, c.mfuCache.maxSize());
  EXPECT_EQ(3u, Find(c, "user3@corp.test").records.size());
  EXPECT_EQ(3u, Find(c, "user4@corp.test").records.size());
  EXPECT_LE(c.mfuCache.size(), 1u);
  EXPECT_EQ(1, log->count("COMMIT successfully executed")) << log->dump();  // the rows
}

TEST_F(HXGuidLookupsTest, MalformedApplicationManagerLineLeavesTheTableUntouched) {
  StaleSettings();
  sandbox.MakeCacheDb(ExchangeRows());
  WriteFile(sandbox.appMgrFile(), "1\t{N-1}\tnew@corp.test\n2\t{N-1}\n");
  // In a child: the failed fetch is logged once per process, and the tests
  // of that rule must find this process unmarked.
  pid_t child = ForkChild([&] {
    CHXGuidLookups service;
    EXPECT_FALSE(service.Initialize(7, 0, false, true, nullptr).IsError());
    EXPECT_FALSE(Find(service, "bob@corp.test").records.empty());
    EXPECT_TRUE(Find(service, "new@corp.test").records.empty());
    EXPECT_TRUE(log->has(-1,
                         "int GUIDFromName::getGUIDList(const std::string&, "
                         "std::list<GUIDNameInfo>&, void*)",
                         sandbox.appMgrFile() +
                             ":2: expected 3 tab-separated fields (status, GUID, name), found 2"));
    EXPECT_EQ(GuidFailureStep::kAppManager, service.lastReport().failure.step);
    EXPECT_EQ(RefreshNeeded, CHXGuidLookups::s_shouldRefreshGUIDTable.load());
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  EXPECT_EQ(0, WaitChild(child));
  EXPECT_EQ(ExchangeRows().size(), ReadAllRows(sandbox.dbFile()).size());
  EXPECT_EQ(-1, sandbox.EventManagerNumber("nLastGuidNameTableRefreshTime"));
}

TEST_F(HXGuidLookupsTest, DatabaseDeletedBetweenTwoLookups) {
  CHXGuidLookups service;
  ASSERT_NO_FATAL_FAILURE(StartPrivate(service));
  EXPECT_FALSE(Find(service, "ann@corp.test").records.empty());
  ASSERT_EQ(0, unlink(sandbox.dbFile().c_str()));

  Answer gone = Find(service, "bob@corp.test");
  EXPECT_FALSE(gone.ok);
  EXPECT_TRUE(gone.records.empty());
  EXPECT_EQ(1u, service.mfuCache.size());
  EXPECT_NE(0, access(sandbox.dbFile().c_str(), F_OK)) << "a lookup created the file";
  EXPECT_FALSE(Find(service, "ann@corp.test").records.empty()) << "cached before";

  sandbox.MakeCacheDb(ExchangeRows());
  Answer back = Find(service, "bob@corp.test");
  EXPECT_TRUE(back.ok);
  EXPECT_EQ((std::vector<std::string>{"bob@corp.test"}), Names(back.records));
}

TEST_F(HXGuidLookupsTest, FolderThatCannotBeCreatedIsReturnedWithItsLocation) {
  sandbox.WriteSettingsText("[vTaskHost]\ndHOME=" + sandbox.root() + "/plainfile\n");
  WriteFile(sandbox.root() + "/plainfile", "not a folder");
  CHXGuidLookups service;
  CLmError err = service.Initialize(7, GuidRefreshJobFlag, false, false, nullptr);
  ASSERT_TRUE(err.IsError());
  ASSERT_FALSE(err.Locations().empty());
  EXPECT_STREQ("HXGuidLookups", err.Locations().back().file);
  EXPECT_STREQ(kInitializeTag, err.Locations().back().function);
  EXPECT_EQ(sandbox.root() + "/plainfile/JobResults/GUIDCacheDir", service.guidCacheDir);
  EXPECT_EQ(GuidRefreshJobFlag, service.jobFlags);
  EXPECT_EQ(7u, service.jobId);
  EXPECT_FALSE(bIsExchGuid.load());
  EXPECT_EQ(GuidFailureStep::kCacheFolder, service.lastFailure().step);
  EXPECT_EQ(nullptr, service.staticCache);
}

}  // namespace
