#include "lookups/StaticCache.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/Locks.h"
#include "lookups/ProcessFlags.h"
#include "support/StaticCacheSupport.h"
#include "support/TestSupport.h"

namespace {

using testsupport::MakeGuidDb;
using testsupport::Row;

const char kTag[] = "int StaticCache::fastload(const string&, bool, bool)";

class StaticCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { bIsExchGuid = true; }
  void TearDown() override { bIsExchGuid = true; }

  const std::string& folder() const { return dir_.path(); }
  std::string dbFile() const { return dir_.file(GUIDDB_NAME); }

  // Whether another holder can take "SQLITE_ACCESS_LOCK" now: a load that
  // left it held makes this time out.
  static bool NamedMutexIsFree() {
    CNamedMutex mutex("SQLITE_ACCESS_LOCK", nullptr, false);
    if (mutex.lock(500, false) != 0) return false;
    mutex.unlock();
    return true;
  }

  bool LoggedFilledIn() {
    for (const auto& line : log_->lines()) {
      const std::string& m = line.message;
      if (line.level == -1 && line.tag == kTag && m.rfind("Cache filled in ", 0) == 0 &&
          m.size() > 23 && m.compare(m.size() - 7, 7, " second") == 0)
        return true;
    }
    return false;
  }

  testsupport::TempDir dir_;
  testsupport::ScopedConfig config_{{hostconfig::Knob::kLockDir, dir_.path()},
                                    {hostconfig::Knob::kLogDir, ""}};
  testsupport::ScopedLogCapture log_;
};

const std::vector<Row> kRows = {
    {"Ann@Example.com", "{12-34}", 1},
    {"Bob@Example.com", "{12-34}", 8},
    {"Carol", "{12-34}", 16},
    {"dave@example.com", "{56-78}", 1},
};

TEST_F(StaticCacheTest, FindBeforeLoadReturnsFalse) {
  MakeGuidDb(folder(), kRows);
  StaticCache cache;
  GuidRecordMap out{{5, SGuidRecord("keep", "g", 5)}};
  EXPECT_FALSE(cache.find("ann@example.com", out));
  EXPECT_EQ(out.size(), 1u);
}

TEST_F(StaticCacheTest, LoadFindsUpperCasedKeysInAnyCase) {
  MakeGuidDb(folder(), kRows);
  StaticCache cache;
  ASSERT_EQ(cache.fastload(folder(), false, false), 0) << log_->dump();
  EXPECT_TRUE(cache.bIsLoaded.load());
  EXPECT_TRUE(log_->has(-1, kTag, "Loading Cache"));
  EXPECT_TRUE(LoggedFilledIn()) << log_->dump();
  EXPECT_EQ(cache.keyCount(), 6u);  // two GUIDs, four names

  for (const char* key : {"ann@example.com", "ANN@EXAMPLE.COM", "aNn@ExAmPlE.cOm",
                          "bob@example.com", "carol", "{12-34}"}) {
    GuidRecordMap out;
    ASSERT_TRUE(cache.find(key, out)) << key;
    ASSERT_EQ(out.size(), 3u) << key;
    EXPECT_EQ(out.begin()->second.guid, "{12X34}");
    EXPECT_EQ(out.find(16)->second.name, "Carol");
  }
  GuidRecordMap out;
  ASSERT_TRUE(cache.find("Dave@Example.com", out));
  EXPECT_EQ(out.size(), 1u);
  EXPECT_FALSE(cache.find("nobody@example.com", out));
  EXPECT_TRUE(NamedMutexIsFree());
}

TEST_F(StaticCacheTest, FindReplacesOutWithACopy) {
  MakeGuidDb(folder(), kRows);
  StaticCache cache;
  ASSERT_EQ(cache.fastload(folder(), false, false), 0);
  GuidRecordMap out{{99, SGuidRecord("stale", "stale", 99)}};
  ASSERT_TRUE(cache.find("carol", out));
  EXPECT_EQ(out.count(99), 0u);
  out.begin()->second.name = "changed";
  out.clear();
  ASSERT_TRUE(cache.find("carol", out));
  EXPECT_EQ(out.size(), 3u);
  EXPECT_EQ(out.begin()->second.name, "Ann@Example.com");
}

TEST_F(StaticCacheTest, SecondFastloadDoesNotOpenTheDatabaseAgain) {
  MakeGuidDb(folder(), kRows);
  StaticCache cache;
  ASSERT_EQ(cache.fastload(folder(), false, false), 0);
  ASSERT_EQ(std::remove(dbFile().c_str()), 0);
  log_->clear();
  EXPECT_EQ(cache.fastload(folder(), false, false), 0);
  EXPECT_TRUE(log_->has(-1, kTag, "Cache already Loaded"));
  EXPECT_EQ(log_->lines().size(), 1u) << log_->dump();
  cache.invalidate();
  GuidRecordMap out;
  EXPECT_TRUE(cache.find("carol", out));
  EXPECT_EQ(cache.keyCount(), 6u);
}

TEST_F(StaticCacheTest, MissingFileReturnsOneAndALaterLoadSucceeds) {
  StaticCache cache;
  EXPECT_EQ(cache.fastload(folder(), false, false), 1);
  EXPECT_TRUE(log_->has(-1, kTag,
                        "Either Sqlite DB at " + folder() +
                            " does not exist or the DB has no records. Not populating the static "
                            "cache"));
  EXPECT_FALSE(cache.bIsLoaded.load());
  EXPECT_TRUE(NamedMutexIsFree());
  GuidRecordMap out;
  EXPECT_FALSE(cache.find("carol", out));

  MakeGuidDb(folder(), kRows);
  EXPECT_EQ(cache.fastload(folder(), false, false), 0);
  EXPECT_TRUE(cache.find("carol", out));
}

// Loading without the machine-wide mutex could read a table another process
// is rebuilding, and a loaded cache is never reloaded: no lock, no load.
TEST_F(StaticCacheTest, LoadWithoutTheNamedMutexIsRefusedAndRetried) {
  MakeGuidDb(folder(), kRows);
  StaticCache cache;
  {
    testsupport::ScopedConfig noLockDir(hostconfig::Knob::kLockDir, folder() + "/missing");
    EXPECT_EQ(cache.fastload(folder(), false, false), -1);
  }
  EXPECT_TRUE(log_->has(
      -1, kTag,
      "Could not lock SQLITE_ACCESS_LOCK; not loading the static cache from " + folder()));
  EXPECT_FALSE(cache.bIsLoaded.load());
  EXPECT_EQ(cache.fastload(folder(), false, false), 0);  // criticalSec was left
  GuidRecordMap out;
  EXPECT_TRUE(cache.find("carol", out));
}

TEST_F(StaticCacheTest, FileWithoutGuidTableReturnsOne) {
  testsupport::ExecSql(dbFile(), "CREATE TABLE Other (x INTEGER);");
  StaticCache cache;
  EXPECT_EQ(cache.fastload(folder(), false, false), 1);
  EXPECT_FALSE(cache.bIsLoaded.load());
  EXPECT_TRUE(NamedMutexIsFree());
}

TEST_F(StaticCacheTest, CorruptFileReturnsMinusOneAndStaysUnloaded) {
  std::string junk;
  for (int i = 0; i < 200; ++i) junk += "this is not an SQLite database ";
  testsupport::WriteFile(dbFile(), junk);
  StaticCache cache;
  EXPECT_EQ(cache.fastload(folder(), false, false), -1);
  EXPECT_TRUE(log_->has(-1, kTag, "Sqlite DB at " + folder() + " is corrupted."));
  EXPECT_FALSE(cache.bIsLoaded.load());
  EXPECT_FALSE(LoggedFilledIn());
  EXPECT_TRUE(NamedMutexIsFree());
}

TEST_F(StaticCacheTest, EmptyTableLoadsWithNoKeys) {
  MakeGuidDb(folder(), {});
  StaticCache cache;
  EXPECT_EQ(cache.fastload(folder(), false, false), 0);
  EXPECT_TRUE(cache.bIsLoaded.load());
  EXPECT_EQ(cache.keyCount(), 0u);
  // Loaded for good: rows added later are not seen.
  MakeGuidDb(folder(), kRows);
  EXPECT_EQ(cache.fastload(folder(), false, false), 0);
  GuidRecordMap out;
  EXPECT_FALSE(cache.find("carol", out));
}

// A loader that stops on a read error has stored only part of the table;
// the cache must not serve it as complete, must release both locks, and
// must load again once the file is sound.
TEST_F(StaticCacheTest, ReadErrorMidLoadLeavesCacheUnloaded) {
  for (bool lotusNotes : {true, false}) {
    SCOPED_TRACE(lotusNotes ? "Lotus Notes" : "Exchange");
    bIsExchGuid = !lotusNotes;
    std::remove(dbFile().c_str());
    log_->clear();
    MakeGuidDb(folder(), testsupport::NumberedGroupRows(400));
    testsupport::CorruptTableLeafPage(folder(), 0.5);

    StaticCache cache;
    EXPECT_EQ(cache.fastload(folder(), false, false), -1);
    EXPECT_FALSE(cache.bIsLoaded.load());
    EXPECT_EQ(cache.keyCount(), 0u);
    EXPECT_TRUE(log_->has(-1, kTag,
                          "Could not read every record of Sqlite DB at " + folder() +
                              ". The static cache stays empty and is loaded again on the next "
                              "request"));
    EXPECT_EQ(log_->count("Cache filled in"), 0);
    EXPECT_TRUE(NamedMutexIsFree());
    GuidRecordMap out;
    EXPECT_FALSE(cache.find(testsupport::NumberedGroupName(0, 0), out));

    ASSERT_EQ(std::remove(dbFile().c_str()), 0);
    MakeGuidDb(folder(), testsupport::NumberedGroupRows(400));
    EXPECT_EQ(cache.fastload(folder(), false, false), 0);  // criticalSec was left
    EXPECT_TRUE(cache.find(testsupport::NumberedGroupName(399, 0), out));
    EXPECT_EQ(out.size(), 4u);
  }
}

TEST_F(StaticCacheTest, KeyLongerThanBufferComparesItsFirst10239Characters) {
  std::string name(12000, 'q');
  name[10238] = 'x';  // the last character that takes part
  MakeGuidDb(folder(), {{name, "{L-1}", 1}});
  StaticCache cache;
  ASSERT_EQ(cache.fastload(folder(), false, false), 0);
  GuidRecordMap out;
  std::string probe = name.substr(0, 10239) + "different tail";
  EXPECT_TRUE(cache.find(probe, out));
  EXPECT_EQ(out.begin()->second.name.size(), 12000u);  // the record keeps the full name
  EXPECT_FALSE(cache.find(name.substr(0, 10238), out));
  std::string upper(10239, 'Q');
  upper[10238] = 'X';
  EXPECT_TRUE(cache.find(upper, out));
}

TEST_F(StaticCacheTest, NonAsciiBytesTakePartUnchanged) {
  MakeGuidDb(folder(), {{"m\xc3\xbcller@example.com", "{U-1}", 1}});
  StaticCache cache;
  ASSERT_EQ(cache.fastload(folder(), false, false), 0);
  GuidRecordMap out;
  EXPECT_TRUE(cache.find("M\xc3\xbcLLER@EXAMPLE.COM", out));
  EXPECT_FALSE(cache.find("M\xc3\x9cLLER@EXAMPLE.COM", out));  // no Unicode case folding
}

TEST_F(StaticCacheTest, DestructorFreesEveryHandedMapOnce) {
  // Under AddressSanitizer a map left behind is a leak and one freed twice
  // (it is shared by keys) is a double free.
  StaticCache cache;
  GuidGroup first{"{1}", {"A"}, {{1, SGuidRecord("a", "{1}", 1)}}};
  GuidGroup second{"{2}", {"A", "{1}"}, {{1, SGuidRecord("b", "{2}", 1)}}};
  cache.Take(first);
  cache.Take(second);  // "A" and "{1}" dropped: the first group wins a key
  EXPECT_EQ(cache.keyCount(), 3u);
  cache.bIsLoaded = true;
  GuidRecordMap out;
  ASSERT_TRUE(cache.find("a", out));
  EXPECT_EQ(out.begin()->second.name, "a");
  ASSERT_TRUE(cache.find("{2}", out));
  EXPECT_EQ(out.begin()->second.name, "b");
}

TEST_F(StaticCacheTest, ConcurrentInstanceCallsShareOneCache) {
  std::vector<StaticCache*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i)
    threads.emplace_back([&seen, i] { seen[i] = StaticCache::instance(); });
  for (auto& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (StaticCache* p : seen) EXPECT_EQ(p, seen[0]);
  EXPECT_EQ(StaticCache::p_inst, seen[0]);
}

TEST_F(StaticCacheTest, ConcurrentFastloadLoadsOnceWhileReadersSeeCompleteMaps) {
  const int kGroups = 300;
  const int kLoaders = 4;
  const int kReaders = 3;
  MakeGuidDb(folder(), testsupport::NumberedGroupRows(kGroups));
  StaticCache cache;

  std::atomic<bool> go{false};
  std::atomic<bool> stop{false};
  std::atomic<int> incomplete{0};
  std::atomic<int> missAfterHit{0};
  std::atomic<int> hits{0};
  std::vector<int> results(kLoaders, 99);

  std::vector<std::thread> threads;
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&, r] {
      bool seenLoaded = false;
      int group = r;
      while (!stop.load()) {
        group = (group + 7) % kGroups;
        GuidRecordMap out;
        if (!cache.find(testsupport::NumberedGroupName(group, 0), out)) {
          if (seenLoaded) ++missAfterHit;
          continue;
        }
        seenLoaded = true;
        ++hits;
        // Every record of the group, each once, and only those.
        std::set<std::string> names;
        for (const auto& entry : out) names.insert(entry.second.name);
        bool complete = out.size() == static_cast<size_t>(testsupport::NumberedGroupSize(group)) &&
                        names.size() == out.size();
        for (int i = 0; i < testsupport::NumberedGroupSize(group); ++i)
          complete = complete && names.count(testsupport::NumberedGroupName(group, i)) == 1;
        if (!complete) ++incomplete;
      }
    });
  }
  for (int l = 0; l < kLoaders; ++l) {
    threads.emplace_back([&, l] {
      while (!go.load()) std::this_thread::yield();
      results[l] = cache.fastload(folder(), false, false);
    });
  }
  {
    // Hold the load lock until every loader has passed the unlocked check,
    // so that all of them queue for the load: only the check under the lock
    // keeps them from loading again.
    HxCriticalSectionLock hold(&criticalSec);
    go = true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (log_->count("Loading Cache") < kLoaders && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (int l = 0; l < kLoaders; ++l) threads[kReaders + l].join();
  // Let the readers read the loaded cache for a while (bounded).
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (hits.load() < 3000 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  stop = true;
  for (int r = 0; r < kReaders; ++r) threads[r].join();

  for (int result : results) EXPECT_EQ(result, 0);
  EXPECT_EQ(log_->count("Cache filled in"), 1) << log_->dump();
  EXPECT_EQ(log_->count("Loading Cache"), kLoaders);
  EXPECT_EQ(log_->count("Cache already Loaded"), 0);
  EXPECT_GE(hits.load(), 1);
  EXPECT_EQ(incomplete.load(), 0);
  EXPECT_EQ(missAfterHit.load(), 0);
  EXPECT_EQ(cache.keyCount(),
            static_cast<size_t>(kGroups + testsupport::NumberedGroupRows(kGroups).size()));
}

TEST_F(StaticCacheTest, ConcurrentLoadWaitsForNamedMutexHeldElsewhere) {
  MakeGuidDb(folder(), kRows);
  StaticCache cache;
  CNamedMutex held("SQLITE_ACCESS_LOCK", nullptr, false);
  ASSERT_EQ(held.lock(-1, false), 0);
  std::atomic<int> result{99};
  std::thread loader([&] { result = cache.fastload(folder(), false, false); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(result.load(), 99);  // still waiting for the lock
  EXPECT_FALSE(cache.bIsLoaded.load());
  held.unlock();
  loader.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_TRUE(cache.bIsLoaded.load());
}

}  // namespace
