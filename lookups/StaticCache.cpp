#include "lookups/StaticCache.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <ctime>

#include "guiddb/AccessLock.h"
#include "host/Locks.h"
#include "host/LogWriter.h"
#include "host/Settings.h"
#include "lookups/CacheKey.h"
#include "lookups/ProcessFlags.h"

namespace {

const char kFastloadTag[] = "int StaticCache::fastload(const string&, bool, bool)";
const char kFindTag[] = "bool StaticCache::find(const string&, GuidRecordMap&)";

// Damage met by a lookup is logged once per process, however many caches
// and keys meet it.
std::atomic<bool> damageLogged{false};

// Heap bytes of a string beyond its own object: none while it fits the
// object's inline buffer, else its capacity and terminator.
uint64_t HeapBytes(const std::string& text) {
  static const size_t kInline = std::string().capacity();
  return text.capacity() > kInline ? text.capacity() + 1 : 0;
}

// Per-node overheads of the containers, as libstdc++ and Boost lay them out:
// a red-black tree node carries a colour and three links; a multi_index node
// of the cache carries an ordered index (three links) and a hashed one (one
// link, plus one bucket slot per element at a load factor of about 1).
constexpr uint64_t kTreeNodeLinks = 4 * sizeof(void*);
constexpr uint64_t kCacheNodeLinks = 5 * sizeof(void*);

// "[EventManager] nSharedTableSnapshot", read at each load: 0 turns the
// shared snapshot off, anything else (and no value) leaves it on.
bool SnapshotsWanted() {
  HXPlatformInfo settings;
  settings.setFocus(HXPI_Focus::getFocus());
  unsigned long value = 1;
  return !settings.getNumber(hxsettings::kSharedTableSnapshot, &value) || value != 0;
}

}  // namespace

StaticCache* StaticCache::p_inst = nullptr;

StaticCache::StaticCache() = default;

// Only caches made outside instance() are ever destroyed; the entries hold
// plain pointers, so the maps are freed here, after the entries.
StaticCache::~StaticCache() {
  entries.clear();
  ownedMaps_.clear();
}

StaticCache* StaticCache::instance() {
  HxCriticalSectionLock lock(&criticalSec);
  if (p_inst == nullptr) {
    try {
      p_inst = new StaticCache();
    } catch (...) {
      return nullptr;  // out of memory; a later call tries again
    }
  }
  return p_inst;
}

void StaticCache::invalidate() {}

void StaticCache::Take(GuidGroup& group) {
  ownedMaps_.push_back(std::make_unique<GuidRecordMap>(std::move(group.records)));
  const MFC_Cache_Value_Type value(ownedMaps_.back().get());
  using Node = MFU_Node_Type<MFC_Cache_Value_Type>;
  entries.insert(Node(std::move(group.guid), value), false);
  for (std::string& key : group.keys) entries.insert(Node(std::move(key), value), false);
}

bool StaticCache::mapped() const {
  return bIsLoaded.load(std::memory_order_acquire) && snapshot_ != nullptr;
}

bool StaticCache::find(const std::string& key, GuidRecordMap& out) {
  // Pairs with the release store in fastload(): seeing true means seeing
  // every entry and map the load wrote. Without it a reader on another core
  // could find a key whose map is not yet complete.
  if (!bIsLoaded.load(std::memory_order_acquire)) return false;
  try {
    if (snapshot_) {
      const uint64_t damageBefore = snapshot_->damageSeen();
      if (snapshot_->Find(cachekey::Form(key), out)) return true;
      if (snapshot_->damageSeen() != damageBefore && !damageLogged.exchange(true))
        HXLOG(-1, kFindTag,
              "The shared table snapshot %s is damaged: a key met a damaged slot or group and is "
              "answered as not found; run 'guidlookup check'",
              snapshotPath_.c_str());
      return false;
    }
    MFC_Cache_Value_Type value;
    if (!entries.find(cachekey::Form(key), value, false)) return false;
    out = *value.map;
    return true;
  } catch (...) {
    return false;  // only allocation can fail here
  }
}

size_t StaticCache::keyCount() const {
  if (mapped()) return static_cast<size_t>(snapshot_->keyCount());
  return entries.size();
}

void StaticCache::forEachGroup(const std::function<void(const std::vector<std::string>& keys,
                                                        const GuidRecordMap& records)>& fn) const {
  if (!bIsLoaded.load(std::memory_order_acquire)) return;
  std::vector<std::string> keys;
  if (snapshot_) {
    snapshot_->ForEachGroup([&](const SSnapshotGroup& group) {
      keys.clear();
      auto add = [&](const std::string& key) {
        if (snapshot_->KeyLeadsTo(key, group.offset) &&
            std::find(keys.begin(), keys.end(), key) == keys.end())
          keys.push_back(key);
      };
      add(group.guid);
      for (const std::string& key : group.keys) add(key);
      fn(keys, group.records);
    });
    return;
  }
  // Every count is 1, so the frequency order is the order of insertion, and
  // a group's keys come one after the other.
  const GuidRecordMap* current = nullptr;
  entries.forEachByFrequency([&](const MFU_Node_Type<MFC_Cache_Value_Type>& node) {
    if (node.value.map != current) {
      if (current) fn(keys, *current);
      keys.clear();
      current = node.value.map;
    }
    keys.push_back(node.name);
  });
  if (current) fn(keys, *current);
}

void StaticCache::AddLookupCounts(const SLookupStatistics& counts) {
  if (counts.hits) hits_.fetch_add(counts.hits, std::memory_order_relaxed);
  if (counts.misses) misses_.fetch_add(counts.misses, std::memory_order_relaxed);
  if (counts.refreshes) refreshes_.fetch_add(counts.refreshes, std::memory_order_relaxed);
}

// After the load the entries and maps never change, so they are walked
// without a lock; before it they may be half filled and are not looked at.
SStaticCacheStatistics StaticCache::GetStatistics() const {
  SStaticCacheStatistics stats;
  stats.counts.hits = hits_.load(std::memory_order_relaxed);
  stats.counts.misses = misses_.load(std::memory_order_relaxed);
  stats.counts.refreshes = refreshes_.load(std::memory_order_relaxed);
  stats.counts.databaseQueries = loads_.load(std::memory_order_relaxed);
  stats.counts.databaseFailures = failedLoads_.load(std::memory_order_relaxed);
  stats.loaded = bIsLoaded.load(std::memory_order_acquire);
  if (!stats.loaded) return stats;
  stats.loadTimeMs = loadTimeMs_.load(std::memory_order_relaxed);
  if (snapshot_) {
    stats.keys = snapshot_->keyCount();
    stats.rows = snapshot_->rowCount();
    stats.bytesHeld = sizeof(SharedSnapshot);
    stats.bytesMapped = snapshot_->sizeBytes();
    stats.snapshotDamage = snapshot_->damageSeen();
    return stats;
  }
  stats.keys = entries.size();
  uint64_t bytes = 0;
  entries.forEachByFrequency([&bytes](const MFU_Node_Type<MFC_Cache_Value_Type>& node) {
    bytes += sizeof(node) + kCacheNodeLinks + sizeof(void*) + HeapBytes(node.name);
  });
  for (const auto& map : ownedMaps_) {
    if (!map) continue;
    // The map itself and its owner's slot.
    bytes += sizeof(GuidRecordMap) + sizeof(map);
    stats.rows += map->size();
    for (const auto& entry : *map)
      bytes += sizeof(entry) + kTreeNodeLinks + HeapBytes(entry.second.name) +
               HeapBytes(entry.second.guid);
  }
  stats.bytesHeld = bytes;
  return stats;
}

struct StaticCache::Load {
  Load(const std::string& in, bool exchangeLoader, bool proxy, bool dump)
      : folder(in), exchange(exchangeLoader), addProxySmtp(proxy), dumpCache(dump) {}
  const std::string folder;
  const bool exchange, addProxySmtp, dumpCache;
  time_t start = time(nullptr);
  std::chrono::steady_clock::time_point startedAt = std::chrono::steady_clock::now();
  // Set by planSnapshot: whether the load goes through the shared snapshot.
  bool viaSnapshot = false;
  std::string snapshotPath;
  SSnapshotSource source;
};

void StaticCache::dropAll() {
  entries.clear();
  ownedMaps_.clear();
  snapshot_.reset();
}

// A load runs once per process (per cache) and in two lock stages:
//   1. bIsLoaded, read without a lock, turns away callers once loaded;
//   2. criticalSec serialises the loaders of this process, and bIsLoaded is
//      read again under it, so that callers that queued behind a finished
//      load return without loading twice;
//   3. the access lock (AccessLock), taken after criticalSec as
//      everywhere in the library, keeps other threads and processes from
//      rebuilding or replacing the file while it is read.
// The entries are filled while bIsLoaded is false, when no reader looks at
// them, and bIsLoaded is then published with release. A loader that fails
// part-way leaves a table that is missing rows; it is dropped rather than
// served as complete for the rest of the process, and the cache stays
// unloaded so that a later call (after a repair or refresh) tries again.
int StaticCache::fastload(const std::string& folder, bool addProxySmtp, bool dumpCache) {
  return load(folder, bIsExchGuid.load(), addProxySmtp, dumpCache);
}

std::string StaticCache::WriteSnapshotFor(const std::string& folder, bool exchange,
                                          bool addProxySmtp) {
  try {
    if (!SnapshotsWanted())
      return "shared snapshots are turned off ([EventManager] nSharedTableSnapshot is 0)";
    StaticCache cache;
    cache.snapshotError_ = "the table could not be loaded";
    if (cache.load(folder, exchange, addProxySmtp, false) == 0 && cache.mapped()) return "";
    return cache.snapshotError_;
  } catch (...) {
    return "out of memory";
  }
}

int StaticCache::load(const std::string& folder, bool exchange, bool addProxySmtp, bool dumpCache) {
  try {
    if (bIsLoaded.load(std::memory_order_acquire)) {
      HXLOG(-1, kFastloadTag, "Cache already Loaded");
      return 0;
    }
    HXLOG(-1, kFastloadTag, "Loading Cache");
    Load request(folder, exchange, addProxySmtp, dumpCache);
    HxCriticalSectionLock sectionLock(&criticalSec);
    if (bIsLoaded.load(std::memory_order_acquire)) return 0;
    loads_.fetch_add(1, std::memory_order_relaxed);
    const int result = loadLocked(request);
    // Every way out that has not loaded the table counts as a failed load.
    if (!bIsLoaded.load(std::memory_order_relaxed))
      failedLoads_.fetch_add(1, std::memory_order_relaxed);
    return result;
  } catch (...) {
    return -1;
  }
}

// Takes the access lock, then maps a current snapshot, else loads the table
// (writing a snapshot for the next process when it may), and publishes it.
int StaticCache::loadLocked(Load& load) {
  try {
    // Reading without the mutex could load a table that another process
    // is rebuilding, and a loaded cache is never reloaded. Released on
    // every way out, exceptions included.
    AccessLock held;
    if (!held.held()) {
      HXLOG(-1, kFastloadTag,
            "Could not lock " GUIDDB_ACCESS_LOCK_NAME "; not loading the static cache from %s",
            load.folder.c_str());
      return -1;
    }
    load.viaSnapshot = planSnapshot(load);
    if (load.viaSnapshot && mapSnapshot(load)) return publish(load);
    const int result = loadTable(load);
    return result == 0 ? publish(load) : result;
  } catch (...) {
    // Only allocation failures get here. Before the publication whatever
    // was stored is incomplete and is dropped as for a failed load; after
    // it the cache is complete and stays.
    if (bIsLoaded.load(std::memory_order_relaxed)) return 0;
    dropAll();
    return -1;
  }
}

// Whether the load goes through the shared snapshot: wanted, its place free
// for a regular file, and the table's identity known (load.source). Trims
// what writers that are gone left behind.
bool StaticCache::planSnapshot(Load& load) {
  if (bFilterByGuidForm || !SnapshotsWanted()) return false;
  load.snapshotPath = SharedSnapshot::PathFor(load.folder, load.exchange, load.addProxySmtp);
  // Every writer holds the named mutex: a temporary file of a writer that
  // is gone is debris, whoever finds it.
  SharedSnapshot::RemoveLeftovers(load.folder);
  struct stat place;
  if (::lstat(load.snapshotPath.c_str(), &place) == 0 && !S_ISREG(place.st_mode)) {
    snapshotError_ = load.snapshotPath + " is not a regular file and must be removed by hand";
    // Nothing can be renamed over it, and it is no one's to remove.
    HXLOG(-1, kFastloadTag,
          "The shared table snapshot %s is not a regular file and must be removed by hand; "
          "the table stays in this process's memory",
          load.snapshotPath.c_str());
    return false;
  }
  return SSnapshotSource::Of(load.folder, load.exchange, load.addProxySmtp, load.source);
}

// A current snapshot stands for the file it was built from (the file is
// only ever replaced whole, which changes its identity), so it is mapped
// without opening the database; the loader's log lines (and dump) are
// written from it. False (with one log line when one was there but could
// not be used) otherwise.
bool StaticCache::mapSnapshot(const Load& load) {
  const std::string& path = load.snapshotPath;
  std::string why;
  std::unique_ptr<SharedSnapshot> snapshot = SharedSnapshot::Open(path, &load.source, &why);
  if (!snapshot) {
    // No file is the first process's case and is not worth a line.
    if (!why.empty())
      HXLOG(-1, kFastloadTag, "The shared table snapshot %s is not used (%s); loading the table",
            path.c_str(), why.c_str());
    return false;
  }
  // Trusted on its content (its table was young when it was built), and
  // the table has settled since: later loads need not read it whole again.
  // This process keeps the mapping it checked.
  if (snapshot->source().young && !load.source.young)
    snapshot->WriteSettled(path, load.source, nullptr);
  if (load.dumpCache) {
    GroupDump dump(snapshot->source().exchange, nullptr);
    snapshot->ForEachGroup([&](SSnapshotGroup& group) { dump.Take(group); });
  }
  recordInfo_t counters;
  snapshot->counters(counters);
  LogLoadSummary(snapshot->source().exchange, counters);
  snapshot_ = std::move(snapshot);
  snapshotPath_ = path;
  return true;
}

// Opens the table and reads it, into a new snapshot when the load goes
// through one, else (or when writing it failed) into the heap.
int StaticCache::loadTable(const Load& load) {
  // Declared after the lock, so the database is closed before the mutex is
  // released.
  GUIDTable table;
  table.filterByGuidForm = bFilterByGuidForm;
  const int opened = table.Open(load.folder.c_str());
  if (opened == -1) {
    HXLOG(-1, kFastloadTag, "Sqlite DB at %s is corrupted.", load.folder.c_str());
    return -1;
  }
  if (opened == 1) {
    HXLOG(-1, kFastloadTag,
          "Either Sqlite DB at %s does not exist or the DB has no records. Not populating "
          "the static cache",
          load.folder.c_str());
    return 1;
  }
  int loaded = 0;  // the loader's result; 0 until it has run
  if (load.viaSnapshot && writeSnapshot(table, load, loaded)) return 0;
  // What was streamed is gone, so the table is read again.
  if (loaded >= 0) loaded = loadInHeap(table, load);
  if (loaded >= 0) return 0;
  dropAll();
  HXLOG(-1, kFastloadTag,
        "Could not read every record of Sqlite DB at %s. The static cache stays empty and is "
        "loaded again on the next request",
        load.folder.c_str());
  return -1;
}

bool StaticCache::writeSnapshot(GUIDTable& table, const Load& load, int& loaded) {
  std::string why;
  if (streamSnapshot(table, load, loaded, why)) return true;
  snapshotError_ = why;
  if (loaded >= 0)
    HXLOG(-1, kFastloadTag,
          "Could not write the shared table snapshot %s (%s); the table stays in this "
          "process's memory",
          load.snapshotPath.c_str(), why.c_str());
  return false;
}

// Runs the loader with its groups streamed into a new snapshot and maps it.
// False, with `why` set, when the snapshot could not be written or mapped:
// nothing is then loaded and the temporary file is gone; `loaded` is the
// loader's result. The identity is taken before the table is read and again
// after it: a file changed meanwhile (by a writer that does not take the
// lock) gets no snapshot. A young file's content is hashed before and after
// the read for the same reason, as its times may not move.
bool StaticCache::streamSnapshot(GUIDTable& table, const Load& load, int& loaded,
                                 std::string& why) {
  SSnapshotSource source = load.source;
  const long rows = table.rowCountHint();
  // Removes its file unless it was installed.
  SharedSnapshotBuilder builder(source.exchange, load.addProxySmtp,
                                rows > 0 ? static_cast<size_t>(rows) : 0);
  if (!builder.Begin(load.folder, &why)) return false;
  if (source.young && !SSnapshotSource::DigestOf(source.database, source.contentDigest)) {
    why = "the database file cannot be read";
    return false;
  }
  loaded = source.exchange ? table.getAllGUIDs(builder, load.addProxySmtp, load.dumpCache)
                           : table.getAllLNGUIDs(builder, load.addProxySmtp, load.dumpCache);
  if (loaded < 0) return false;
  builder.Finish(table.counters());
  SSnapshotSource after;
  uint64_t digest = source.contentDigest;
  if (!SSnapshotSource::Of(load.folder, source.exchange, load.addProxySmtp, after) ||
      after != source ||
      (source.young &&
       (!SSnapshotSource::DigestOf(source.database, digest) || digest != source.contentDigest))) {
    why = "the database file changed while it was read";
    return false;
  }
  if (!builder.Install(load.snapshotPath, source, &why)) return false;
  PruneSharedSnapshots(load.folder, source);
  std::unique_ptr<SharedSnapshot> snapshot = SharedSnapshot::Open(load.snapshotPath, nullptr, &why);
  if (snapshot && snapshot->source() != source) why = "another process replaced it";
  if (!snapshot || !why.empty()) {
    why = "the file just written is not used (" + why + ")";
    return false;
  }
  snapshot_ = std::move(snapshot);
  snapshotPath_ = load.snapshotPath;
  return true;
}

int StaticCache::loadInHeap(GUIDTable& table, const Load& load) {
  dropAll();
  // A table of n rows gives at most about n keys; sizing the name index
  // once spares the rehashes of a growing one, each of which walks every
  // key already stored.
  if (const long rows = table.rowCountHint(); rows > 0) entries.reserve(static_cast<size_t>(rows));
  return load.exchange ? table.getAllGUIDs(*this, load.addProxySmtp, load.dumpCache)
                       : table.getAllLNGUIDs(*this, load.addProxySmtp, load.dumpCache);
}

// Readers that see the flag (acquire) see every group stored before it.
int StaticCache::publish(const Load& load) {
  loadTimeMs_.store(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - load.startedAt)
                                              .count()),
                    std::memory_order_relaxed);
  bIsLoaded.store(true, std::memory_order_release);
  HXLOG(-1, kFastloadTag, "Cache filled in %f second", difftime(time(nullptr), load.start));
  return 0;
}
