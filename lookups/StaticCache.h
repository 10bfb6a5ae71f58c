// The process-wide cache of the whole GUID table. Its bulk loader is
// GUIDTable (lookups/GUIDTable.h), which fastload runs: the loader hands its
// groups to the cache, or to the shared snapshot's writer, which the cache
// then maps.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "guiddb/GuidDB.h"
#include "host/Export.h"
#include "lookups/GUIDTable.h"
#include "lookups/MFUCache.h"
#include "lookups/Statistics.h"
#include "lookups/snapshot/SharedSnapshot.h"

// Value of the static cache: a map shared by several keys. Copying copies the
// pointer; destroying it does not free the map (the static cache owns it).
struct MFC_Cache_Value_Type {
  GuidRecordMap* map;
  explicit MFC_Cache_Value_Type(GuidRecordMap* m = nullptr) : map(m) {}
};

// Thread-safe after load: find() takes no lock and may run in any number of
// threads at once; fastload() serialises loads with criticalSec, then the
// access lock (AccessLock). The singleton lives until the process ends.
class GUIDLOOKUPS_EXPORT StaticCache : public GroupSink {
 public:
  // A separate, empty cache. The process normally uses instance(); tests make
  // their own.
  StaticCache();
  ~StaticCache() override;
  StaticCache(const StaticCache&) = delete;
  StaticCache& operator=(const StaticCache&) = delete;

  // The process's cache, created on first use (under criticalSec). Null only
  // when it cannot be allocated.
  static StaticCache* instance();
  // Does nothing: the loaded table is kept for the life of the process.
  void invalidate();
  // Keeps the group's records under its GUID key and each key it offers,
  // but for keys already present (the first group wins); takes the keys and
  // records away. REQUIRES: not loaded (called by the loader under
  // fastload's locks).
  void Take(GuidGroup& group) override;
  // When loaded and the key of `key` (cachekey::Form) is present, replaces
  // `out` with a copy of the map and returns true; otherwise returns false
  // and leaves `out` alone.
  bool find(const std::string& key, GuidRecordMap& out);
  // Loads the table of "<folder>/GUIDDB.DAT" once. Returns 0 when loaded (now
  // or before), 1 when there is no file or no GUID table, -1 when the file
  // cannot be opened or the load failed part-way (nothing is kept and a later
  // call tries again).
  //
  // Unless "[EventManager] nSharedTableSnapshot" is 0, the load goes through
  // the machine's shared snapshot of the table (see SharedSnapshot.h): a
  // current, sound snapshot is mapped instead of reading the table, with the
  // same results, answers, log lines and dump; otherwise the table is read
  // and a snapshot written for the next process. A snapshot that cannot be
  // used or written costs one log line, and the table is held in-heap.
  int fastload(const std::string& folder, bool addProxySmtp, bool dumpCache);

  // Writes the shared snapshot of "<folder>/GUIDDB.DAT" for the Exchange or
  // the Lotus Notes loader and the proxy flag, as the first shared-mode load
  // of such an agent would (one already current is kept), so that the agents
  // map it at once. "" when a current snapshot is in place afterwards, else
  // why not: snapshots are turned off ("[EventManager] nSharedTableSnapshot"
  // is 0), the table cannot be loaded, or the snapshot cannot be written.
  // Takes criticalSec and the named mutex, as a load does.
  static std::string WriteSnapshotFor(const std::string& folder, bool exchange, bool addProxySmtp);

  // Number of keys; for tests and tools.
  size_t keyCount() const;
  // Visits the loaded groups in load order, each with the keys that lead to
  // it (in the order they were stored) and its records; nothing before the
  // load. For tools; costs time in proportion to the table.
  void forEachGroup(const std::function<void(const std::vector<std::string>& keys,
                                             const GuidRecordMap& records)>& fn) const;

  // The cache's figures (see SStaticCacheStatistics). Callable from any
  // thread at any time, without a lock; rows, keys and bytesHeld are counted
  // by walking the loaded table, so a call costs time in proportion to it.
  SStaticCacheStatistics GetStatistics() const;
  // Adds a lookup object's shared-mode hits, misses and refreshes; called by
  // CHXGuidLookups when it is destroyed, so that find() counts nothing
  // itself. Thread-safe.
  void AddLookupCounts(const SLookupStatistics& counts);

  // Whether the loaded table is a mapped snapshot rather than in-heap.
  bool mapped() const;

  static StaticCache* p_inst;

  // Published with release after the fill, read with acquire.
  std::atomic<bool> bIsLoaded{false};
  MFU_Cache<MFC_Cache_Value_Type> entries;
  bool bFilterByGuidForm = false;

 private:
  // What a load is asked for and how it goes (defined with the steps).
  struct Load;
  // Frees every owned map and empties `entries`. REQUIRES: not loaded.
  void dropAll();
  // fastload for the given loader.
  int load(const std::string& folder, bool exchange, bool addProxySmtp, bool dumpCache);
  // The steps of a load, under criticalSec.
  int loadLocked(Load& load);
  bool planSnapshot(Load& load);
  bool mapSnapshot(const Load& load);
  int loadTable(const Load& load);
  bool writeSnapshot(GUIDTable& table, const Load& load, int& loaded);
  bool streamSnapshot(GUIDTable& table, const Load& load, int& loaded, std::string& why);
  int loadInHeap(GUIDTable& table, const Load& load);
  int publish(const Load& load);

  // Set under criticalSec before bIsLoaded is published (release), never
  // changed afterwards; find() reads it after its acquire load.
  std::unique_ptr<SharedSnapshot> snapshot_;
  std::string snapshotPath_;   // snapshot_'s file, for the log
  std::string snapshotError_;  // why the last load did not map a snapshot

  // Written only by the loader under criticalSec before bIsLoaded is
  // published; never changed afterwards. Each map is shared by the keys of
  // its group.
  std::vector<std::unique_ptr<GuidRecordMap>> ownedMaps_;

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
