// The process-wide cache of the whole GUID table, and its bulk loader.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "guiddb/GuidDB.h"
#include "host/EventLog.h"
#include "host/Export.h"
#include "lookups/MFUCache.h"
#include "lookups/Statistics.h"

class StaticCache;

// Load counters of one bulk load.
struct GUIDLOOKUPS_EXPORT recordInfo_t {
  int32_t uniqueGUIDs = 0;        // groups stored
  int32_t totalCacheRecords = 0;  // keys offered to the cache, duplicates included
  int32_t emptyRecords = 0;       // empty name lists and empty names
};

// Reads the whole GUID table in one query sorted by GUID and stores each
// group of rows with one GUID as one map under the GUID and the upper-cased
// names whose status makes them keys.
//
// Thread-safety: one thread at a time; called by StaticCache::fastload with
// criticalSec and the named mutex held.
class GUIDLOOKUPS_EXPORT GUIDTable : public CGuidDB {
 public:
  GUIDTable() = default;
  ~GUIDTable() override = default;

  // The Exchange loader: keys are the names of status 1, 8, 16 (the last
  // row's only) and, with `addProxySmtp`, 2. Returns 1 after every row was
  // read, a negative value when a row could not be read, -1 when the query
  // could not be started or the database layer threw.
  int getAllGUIDs(StaticCache& cache, bool addProxySmtp, bool dumpCache);
  // The Lotus Notes loader: keys are the names of status 1, 8, 64, 128 (the
  // last row's only) and 288; GUIDs keep their case. Results as above, the
  // read error being -1.
  int getAllLNGUIDs(StaticCache& cache, bool addProxySmtp, bool dumpCache);

  // The number of rows of the GUID table, or 0 when it cannot be counted.
  // Only a size hint for the load; never logs, never throws.
  long rowCountHint();

  // Upper-cases at most dstLen - 1 characters of `src` into `dst` and
  // terminates it; nothing when `dst` is null. Bytes are taken as unsigned;
  // wide characters of 256 or more pass unchanged. REQUIRES: dstLen >= 1.
  static void ToUpper(const std::string& src, char* dst, int dstLen);
  static void ToUpper(const std::basic_string<wchar_t>& src, wchar_t* dst, int dstLen);
};

// Stores one group: the GUID and every non-empty name as keys of `map`
// (ownership of `map` passes to the cache), counts them and, with
// `dumpCache`, writes the group's dump line.
GUIDLOOKUPS_EXPORT void InsertIntoMFUCache(std::vector<std::string>& firstNames,
                                           std::string& singleName,
                                           std::vector<std::string>& thirdNames,
                                           std::vector<std::string>& fourthNames,
                                           std::string& groupGuid, GuidRecordMap* map,
                                           StaticCache& cache, recordInfo_t& counters,
                                           bool dumpCache, EvDebug& dumpLog, bool useFourthNames);

// Thread-safe after load: find() takes no lock and may run in any number of
// threads at once; fastload() serialises loads with criticalSec, then the
// named mutex "SQLITE_ACCESS_LOCK". The cache owns every map handed to
// insert(); the singleton lives until the process ends.
class GUIDLOOKUPS_EXPORT StaticCache {
 public:
  // A separate, empty cache. The process normally uses instance(); tests make
  // their own.
  StaticCache();
  ~StaticCache();
  StaticCache(const StaticCache&) = delete;
  StaticCache& operator=(const StaticCache&) = delete;

  // The process's cache, created on first use (under criticalSec). Null only
  // when it cannot be allocated.
  static StaticCache* instance();
  // Does nothing: the loaded table is kept for the life of the process.
  void invalidate();
  // Adds `key` for `map` unless the key is present (the first map wins). The
  // cache takes ownership of `map` the first time it sees it, also when the
  // key is dropped or the call runs out of memory; a null map is ignored.
  // REQUIRES: not loaded (called by the loader under fastload's locks).
  void insert(const std::string& key, GuidRecordMap* map);
  // When loaded and the upper-cased key (its first 10239 characters) is
  // present, replaces `out` with a copy of the map and returns true; otherwise
  // returns false and leaves `out` alone.
  bool find(const std::string& key, GuidRecordMap& out);
  // Loads the table of "<folder>/GUIDDB.DAT" once. Returns 0 when loaded (now
  // or before), 1 when there is no file or no GUID table, -1 when the file
  // cannot be opened or the load failed part-way (nothing is kept and a later
  // call tries again).
  int fastload(const std::string& folder, bool addProxySmtp, bool dumpCache);

  // Number of keys; for tests and tools.
  size_t keyCount() const;

  // The cache's figures (see SStaticCacheStatistics). Callable from any
  // thread at any time, without a lock; rows, keys and bytesHeld are counted
  // by walking the loaded table, so a call costs time in proportion to it.
  SStaticCacheStatistics GetStatistics() const;
  // Adds a lookup object's shared-mode hits, misses and refreshes; called by
  // CHXGuidLookups when it is destroyed, so that find() counts nothing
  // itself. Thread-safe.
  void AddLookupCounts(const SLookupStatistics& counts);

  static StaticCache* p_inst;

  // Published with release after the fill, read with acquire.
  std::atomic<bool> bIsLoaded{false};
  MFU_Cache<MFC_Cache_Value_Type> entries;
  bool bFilterByGuidForm = false;

 private:
  // Frees every owned map and empties `entries`. REQUIRES: not loaded.
  void dropAll();

  // Written only by the loader under criticalSec before bIsLoaded is
  // published; never changed afterwards.
  std::vector<std::unique_ptr<GuidRecordMap>> ownedMaps_;
  std::unordered_set<const GuidRecordMap*> adopted_;  // the maps of ownedMaps_
  const GuidRecordMap* lastAdopted_ = nullptr;        // the newest of them

  // Relaxed: each is a count on its own, read for reporting only. None is
  // touched by find(): the threads of the shared hit path would contend for
  // their cache line.
  std::atomic<uint64_t> hits_{0};
  std::atomic<uint64_t> misses_{0};
  std::atomic<uint64_t> refreshes_{0};
  std::atomic<uint64_t> loads_{0};
  std::atomic<uint64_t> failedLoads_{0};
  std::atomic<uint64_t> loadTimeMs_{0};  // written before bIsLoaded is published
};
