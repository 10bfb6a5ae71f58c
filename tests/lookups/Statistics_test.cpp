// The statistics of a lookup object and of the static cache: each counter
// follows what really happened (a hit, a query, a failed query, a refresh, a
// load), and a destroyed object reports its figures in one log line.
#include "lookups/Statistics.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "lookups/HXGuidLookups.h"
#include "lookups/ServiceLogTags.h"
#include "support/HXGuidLookupsSupport.h"
#include "support/StaticCacheSupport.h"

namespace {

using testsupport::Row;
using testsupport::ScopedLogCapture;
using testsupport::ScopedRowSource;

const std::vector<Row> kRows = {
    {"ann@corp.test", "{AB-01}", 1},
    {"ann.proxy@corp.test", "{AB-01}", 2},
    {"berg, ann", "{AB-01}", 8},
    {"bob@corp.test", "{CD-02}", 1},
};

using StatisticsTest = testsupport::LookupServiceTest;

bool Lookup(CHXGuidLookups& lookups, std::string key) {
  GuidRecordMap records;
  return lookups.Lookup(key, records, false) && !records.empty();
}

TEST_F(StatisticsTest, PrivateModeCountsHitsMissesQueriesAndFailures) {
  CHXGuidLookups lookups;
  ASSERT_NO_FATAL_FAILURE(StartPrivate(lookups, kRows, 0));

  EXPECT_TRUE(Lookup(lookups, "ann@corp.test"));      // miss, query
  EXPECT_TRUE(Lookup(lookups, "ann@corp.test"));      // hit
  EXPECT_FALSE(Lookup(lookups, "nobody@corp.test"));  // miss, query, empty answer
  EXPECT_FALSE(Lookup(lookups, "nobody@corp.test"));  // the empty answer is a hit
  ASSERT_EQ(std::remove(sandbox.dbFile().c_str()), 0);
  EXPECT_FALSE(Lookup(lookups, "bob@corp.test"));  // miss, failed query
  SLookupStatistics stats = lookups.GetStatistics();
  EXPECT_EQ(stats.hits, 2u);
  EXPECT_EQ(stats.misses, 3u);
  EXPECT_EQ(stats.databaseQueries, 3u);
  EXPECT_EQ(stats.databaseFailures, 1u);
  EXPECT_EQ(stats.refreshes, 0u);
}

TEST_F(StatisticsTest, CompletedRefreshIsCountedByTheObjectThatMadeIt) {
  StaleSettings();
  ScopedRowSource source(kRows);
  CHXGuidLookups lookups;
  ASSERT_FALSE(lookups.Initialize(0, 0, false, true, nullptr).IsError());
  EXPECT_TRUE(Lookup(lookups, "bob@corp.test"));
  CHXGuidLookups other;
  ASSERT_FALSE(other.Initialize(0, 0, false, true, nullptr).IsError());
  EXPECT_TRUE(Lookup(other, "bob@corp.test"));
  EXPECT_EQ(lookups.GetStatistics().refreshes, 1u);
  EXPECT_EQ(other.GetStatistics().refreshes, 0u);  // decided once per process
  EXPECT_EQ(other.GetStatistics().databaseQueries, 1u);
}

// The shared hit path counts in the object; the cache gets the figures when
// the object goes, together with the one log line.
TEST_F(StatisticsTest, SharedCountsReachTheCacheWhenTheObjectIsDestroyed) {
  testsupport::ScopedSnapshotSetting inHeap(false);  // the heap bytes are measured
  sandbox.MakeCacheDb(kRows);
  StaticCache cache;
  SStaticCacheStatistics before = cache.GetStatistics();
  EXPECT_FALSE(before.loaded);
  EXPECT_EQ(before.keys, 0u);
  ASSERT_EQ(cache.fastload(sandbox.cacheDir(), false, false), 0);
  ScopedLogCapture log(1);
  {
    CHXGuidLookups lookups;
    lookups.isInMemoryShared = true;
    lookups.staticCache = &cache;
    EXPECT_TRUE(Lookup(lookups, "ANN@corp.test"));
    EXPECT_TRUE(Lookup(lookups, "{ab-01}"));
    EXPECT_FALSE(Lookup(lookups, "nobody@corp.test"));
    EXPECT_EQ(lookups.GetStatistics().hits, 2u);
    EXPECT_EQ(lookups.GetStatistics().misses, 1u);
    EXPECT_EQ(lookups.GetStatistics().databaseQueries, 0u);
    EXPECT_EQ(cache.GetStatistics().counts.hits, 0u);
  }
  EXPECT_TRUE(log->has(1, servicetags::kDestructorTag,
                       "GUID lookup statistics (shared mode): hits 2, misses 1, database queries "
                       "0, database failures 0, refreshes 0"));
  SStaticCacheStatistics stats = cache.GetStatistics();
  EXPECT_EQ(stats.counts.hits, 2u);
  EXPECT_EQ(stats.counts.misses, 1u);
  EXPECT_EQ(stats.counts.databaseQueries, 1u);
  EXPECT_EQ(stats.counts.databaseFailures, 0u);
  EXPECT_TRUE(stats.loaded);
  EXPECT_EQ(stats.rows, 4u);
  // Keys: the two GUIDs, ann's primary and display name, bob's primary.
  EXPECT_EQ(stats.keys, 5u);
  EXPECT_EQ(stats.keys, cache.keyCount());
  // At least the bytes of every string, at most a generous bound per record.
  EXPECT_GT(stats.bytesHeld, 4u * (sizeof(SGuidRecord) + 4 * sizeof(void*)));
  EXPECT_LT(stats.bytesHeld, 9u * 1024u);
}

TEST_F(StatisticsTest, FailedLoadsOfTheCacheAreCounted) {
  StaticCache cache;
  EXPECT_EQ(cache.fastload(sandbox.cacheDir(), false, false), 1);  // no file
  sandbox.MakeCacheDb(kRows);
  EXPECT_EQ(cache.fastload(sandbox.cacheDir(), false, false), 0);
  EXPECT_EQ(cache.fastload(sandbox.cacheDir(), false, false), 0);  // already loaded: no query
  SStaticCacheStatistics stats = cache.GetStatistics();
  EXPECT_EQ(stats.counts.databaseQueries, 2u);
  EXPECT_EQ(stats.counts.databaseFailures, 1u);
  EXPECT_TRUE(stats.loaded);
}

}  // namespace
