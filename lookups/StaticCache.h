// The process-wide cache of the whole GUID table. Its bulk loader is
// GUIDTable (lookups/GUIDTable.h), which fastload runs.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "guiddb/GuidDB.h"
#include "host/Export.h"
#include "lookups/MFUCache.h"
#include "lookups/Statistics.h"
#include "lookups/snapshot/SharedSnapshot.h"

struct recordInfo_t;
class GUIDTable;

// Value of the static cache: a map shared by several keys. Copying copies the
// pointer; destroying it does not free the map (the static cache owns it).
struct MFC_Cache_Value_Type {
  GuidRecordMap* map;
  explicit MFC_Cache_Value_Type(GuidRecordMap* m = nullptr) : map(m) {}
};

// Thread-safe after load: find() takes no lock and may run in any number of
// threads at once; fastload() serialises loads with criticalSec, then the
// access lock (AccessLock). The cache owns every map handed to
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

  // The longest key the cache compares, in bytes: longer keys and probes are
  // cut to it.
  static constexpr size_t kMaxKeyLength = 10239;
  // The form of a key in the cache, for the names the loader stores and the
  // probes find() looks up alike: the text up to a NUL byte and at most
  // kMaxKeyLength bytes, each byte upper-cased as GUIDTable::ToUpper does.
  static std::string NormalizeKey(const std::string& text);

  // The cache's figures (see SStaticCacheStatistics). Callable from any
  // thread at any time, without a lock; rows, keys and bytesHeld are counted
  // by walking the loaded table, so a call costs time in proportion to it.
  SStaticCacheStatistics GetStatistics() const;
  // Adds a lookup object's shared-mode hits, misses and refreshes; called by
  // CHXGuidLookups when it is destroyed, so that find() counts nothing
  // itself. Thread-safe.
  void AddLookupCounts(const SLookupStatistics& counts);

  // The loader's counters at the end of a load; called by GUIDTable's
  // loaders. REQUIRES: called under fastload's locks.
  void recordLoadCounters(const recordInfo_t& counters);
  // Whether the loaded table is a mapped snapshot rather than in-heap.
  bool mapped() const;
  // Whether the load under way streams its groups into a snapshot instead
  // of keeping them (the loader then need not size the in-heap index).
  bool writesSnapshot() const { return builder_ != nullptr; }

  static StaticCache* p_inst;

  // Published with release after the fill, read with acquire.
  std::atomic<bool> bIsLoaded{false};
  MFU_Cache<MFC_Cache_Value_Type> entries;
  bool bFilterByGuidForm = false;

 private:
  // Frees every owned map and empties `entries`. REQUIRES: not loaded.
  void dropAll();
  // fastload for the given loader.
  int load(const std::string& folder, bool exchange, bool addProxySmtp, bool dumpCache);
  // Maps the snapshot at `path` when it is current for `source`, replaying
  // the loader's log lines (and dump); false (with one log line when one
  // was there but could not be used) otherwise.
  bool mapSnapshot(const std::string& path, const SSnapshotSource& source, bool dumpCache);
  // Runs the loader with its groups streamed into a new snapshot at `path`
  // and maps it. False, with `why` set, when the snapshot could not be
  // written or mapped: nothing is then loaded and the temporary file is
  // gone; `loaded` is the loader's result.
  bool streamSnapshot(GUIDTable& table, const std::string& folder, const std::string& path,
                      SSnapshotSource source, bool addProxySmtp, bool dumpCache, int& loaded,
                      std::string& why);

  // Set under criticalSec before bIsLoaded is published (release), never
  // changed afterwards; find() reads it after its acquire load.
  std::unique_ptr<SharedSnapshot> snapshot_;
  std::string snapshotPath_;   // snapshot_'s file, for the log
  std::string snapshotError_;  // why the last load did not map a snapshot
  // Set only while a load that writes a snapshot runs (under both locks);
  // insert() feeds it the groups, and frees each group's map once the next
  // one comes (streamMap_).
  std::unique_ptr<SharedSnapshotBuilder> builder_;
  std::unique_ptr<GuidRecordMap> streamMap_;

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
