#include "lookups/StaticCache.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>

#include "guiddb/AccessLock.h"
#include "host/Locks.h"
#include "host/LogWriter.h"
#include "host/Settings.h"
#include "lookups/GUIDTable.h"
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

void StaticCache::insert(const std::string& key, GuidRecordMap* map) {
  if (map == nullptr) return;
  if (builder_) {
    // Streamed: a group's map is written as it comes and freed once the
    // next group's arrives (the loader is done with it by then).
    if (map != streamMap_.get()) {
      streamMap_.reset(map);
      builder_->StartGroup(key, *map);
    } else {
      builder_->AddKey(key);
    }
    return;
  }
  // The loader hands one map with several keys; it is adopted the first time
  // it comes, whether or not its key is taken, so that every map handed over
  // has exactly one owner.
  // The loader hands a group's keys one after the other: the last map adopted
  // needs no lookup in the set.
  if (map != lastAdopted_ && adopted_.find(map) == adopted_.end()) {
    // Ownership passes even when adopting runs out of memory: the holder
    // frees the map, and an empty slot in ownedMaps_ is harmless.
    std::unique_ptr<GuidRecordMap> holder(map);
    ownedMaps_.emplace_back();
    adopted_.insert(map);
    ownedMaps_.back() = std::move(holder);
    lastAdopted_ = map;
  }
  entries.insert(MFU_Node_Type<MFC_Cache_Value_Type>(key, MFC_Cache_Value_Type(map)), false);
}

void StaticCache::recordLoadCounters(const recordInfo_t& counters) {
  if (builder_) builder_->Finish(counters);
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
      if (snapshot_->Find(NormalizeKey(key), out)) return true;
      if (snapshot_->damageSeen() != damageBefore && !damageLogged.exchange(true))
        HXLOG(-1, kFindTag,
              "The shared table snapshot %s is damaged: a key met a damaged slot or group and is "
              "answered as not found; run 'guidlookup check'",
              snapshotPath_.c_str());
      return false;
    }
    MFC_Cache_Value_Type value;
    if (!entries.find(NormalizeKey(key), value, false)) return false;
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

std::string StaticCache::NormalizeKey(const std::string& text) {
  const size_t end = std::min({text.size(), text.find('\0'), kMaxKeyLength});
  std::string key(end, '\0');
  for (size_t i = 0; i < end; ++i)
    // toupper takes an unsigned char value (or EOF); a plain char above 0x7f
    // would reach it negative.
    key[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
  return key;
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
    // The map itself, its owner's slot and its entry in adopted_.
    bytes += sizeof(GuidRecordMap) + sizeof(map) + 2 * sizeof(void*) + sizeof(void*);
    stats.rows += map->size();
    for (const auto& entry : *map)
      bytes += sizeof(entry) + kTreeNodeLinks + HeapBytes(entry.second.name) +
               HeapBytes(entry.second.guid);
  }
  stats.bytesHeld = bytes;
  return stats;
}

bool StaticCache::mapSnapshot(const std::string& path, const SSnapshotSource& source,
                              bool dumpCache) {
  std::string why;
  std::unique_ptr<SharedSnapshot> snapshot = SharedSnapshot::Open(path, &source, &why);
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
  if (snapshot->source().young && !source.young) snapshot->WriteSettled(path, source, nullptr);
  ReplaySnapshotLoad(*snapshot, dumpCache);
  snapshot_ = std::move(snapshot);
  snapshotPath_ = path;
  return true;
}

// Under both locks. The identity is taken before the table is read and
// again after it: a file changed meanwhile (by a writer that does not take
// the lock) gets no snapshot. A young file's content is hashed before and
// after the read for the same reason, as its times may not move.
bool StaticCache::streamSnapshot(GUIDTable& table, const std::string& folder,
                                 const std::string& path, SSnapshotSource source, bool addProxySmtp,
                                 bool dumpCache, int& loaded, std::string& why) {
  const long rows = table.rowCountHint();
  builder_ = std::make_unique<SharedSnapshotBuilder>(source.exchange, addProxySmtp,
                                                     rows > 0 ? static_cast<size_t>(rows) : 0);
  struct Cleanup {
    StaticCache& cache;
    ~Cleanup() {
      cache.builder_.reset();  // removes its file unless it was installed
      cache.streamMap_.reset();
    }
  } cleanup{*this};
  if (!builder_->Begin(folder, &why)) return false;
  if (source.young && !SSnapshotSource::DigestOf(source.database, source.contentDigest)) {
    why = "the database file cannot be read";
    return false;
  }
  loaded = source.exchange ? table.getAllGUIDs(*this, addProxySmtp, dumpCache)
                           : table.getAllLNGUIDs(*this, addProxySmtp, dumpCache);
  if (loaded < 0) return false;
  SSnapshotSource after;
  uint64_t digest = source.contentDigest;
  if (!SSnapshotSource::Of(folder, source.exchange, addProxySmtp, after) || after != source ||
      (source.young &&
       (!SSnapshotSource::DigestOf(source.database, digest) || digest != source.contentDigest))) {
    why = "the database file changed while it was read";
    return false;
  }
  if (!builder_->Install(path, source, &why)) return false;
  PruneSharedSnapshots(folder, source);
  std::unique_ptr<SharedSnapshot> snapshot = SharedSnapshot::Open(path, nullptr, &why);
  if (snapshot && snapshot->source() != source) why = "another process replaced it";
  if (!snapshot || !why.empty()) {
    why = "the file just written is not used (" + why + ")";
    return false;
  }
  snapshot_ = std::move(snapshot);
  snapshotPath_ = path;
  return true;
}

void StaticCache::dropAll() {
  entries.clear();
  adopted_.clear();
  lastAdopted_ = nullptr;
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
    time_t start = time(nullptr);
    const auto startedAt = std::chrono::steady_clock::now();

    HxCriticalSectionLock sectionLock(&criticalSec);
    if (bIsLoaded.load(std::memory_order_acquire)) return 0;

    int result = -1;
    loads_.fetch_add(1, std::memory_order_relaxed);
    // Every way out that has not loaded the table counts as a failed load.
    struct FailureCount {
      std::atomic<uint64_t>& failures;
      const std::atomic<bool>& loaded;
      ~FailureCount() {
        if (!loaded.load(std::memory_order_relaxed))
          failures.fetch_add(1, std::memory_order_relaxed);
      }
    } failureCount{failedLoads_, bIsLoaded};
    try {
      // Reading without the mutex could load a table that another process
      // is rebuilding, and a loaded cache is never reloaded. Released on
      // every way out, exceptions included.
      AccessLock held;
      if (!held.held()) {
        HXLOG(-1, kFastloadTag,
              "Could not lock " GUIDDB_ACCESS_LOCK_NAME "; not loading the static cache from %s",
              folder.c_str());
        return -1;
      }
      // A current snapshot stands for the file it was built from (the file
      // is only ever replaced whole, which changes its identity), so it is
      // mapped without opening the database.
      // Readers that see the flag (acquire) see every group stored before it.
      auto publishLoaded = [&] {
        loadTimeMs_.store(
            static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - startedAt)
                                      .count()),
            std::memory_order_relaxed);
        bIsLoaded.store(true, std::memory_order_release);
        HXLOG(-1, kFastloadTag, "Cache filled in %f second", difftime(time(nullptr), start));
      };
      const bool snapshots = !bFilterByGuidForm && SnapshotsWanted();
      const std::string snapshotPath = SharedSnapshot::PathFor(folder, exchange, addProxySmtp);
      SSnapshotSource source;
      bool writeOne = false;
      if (snapshots) {
        // Every writer holds the named mutex: a temporary file of a writer
        // that is gone is debris, whoever finds it.
        SharedSnapshot::RemoveLeftovers(folder);
        struct stat place;
        if (::lstat(snapshotPath.c_str(), &place) == 0 && !S_ISREG(place.st_mode)) {
          snapshotError_ = snapshotPath + " is not a regular file and must be removed by hand";
          // Nothing can be renamed over it, and it is no one's to remove.
          HXLOG(-1, kFastloadTag,
                "The shared table snapshot %s is not a regular file and must be removed by hand; "
                "the table stays in this process's memory",
                snapshotPath.c_str());
        } else if (SSnapshotSource::Of(folder, exchange, addProxySmtp, source)) {
          if (mapSnapshot(snapshotPath, source, dumpCache)) {
            publishLoaded();
            return 0;
          }
          writeOne = true;
        }
      }
      // Declared after the lock, so the database is closed before the
      // mutex is released.
      GUIDTable table;
      result = table.Open(folder.c_str());
      if (result == -1) {
        HXLOG(-1, kFastloadTag, "Sqlite DB at %s is corrupted.", folder.c_str());
      } else if (result == 1) {
        HXLOG(-1, kFastloadTag,
              "Either Sqlite DB at %s does not exist or the DB has no records. Not populating "
              "the static cache",
              folder.c_str());
      } else {
        int loaded = 0;  // the loader's result; 0 until it has run
        std::string why;
        bool streamed = false;
        if (writeOne) {
          streamed = streamSnapshot(table, folder, snapshotPath, source, addProxySmtp, dumpCache,
                                    loaded, why);
          if (!streamed) snapshotError_ = why;
          if (!streamed && loaded >= 0)
            HXLOG(-1, kFastloadTag,
                  "Could not write the shared table snapshot %s (%s); the table stays in this "
                  "process's memory",
                  snapshotPath.c_str(), why.c_str());
        }
        // The in-heap load: without a snapshot, or when writing one failed
        // (what was streamed is gone, so the table is read again).
        if (!streamed && loaded >= 0) {
          dropAll();
          loaded = exchange ? table.getAllGUIDs(*this, addProxySmtp, dumpCache)
                            : table.getAllLNGUIDs(*this, addProxySmtp, dumpCache);
        }
        if (loaded < 0) {
          dropAll();
          HXLOG(-1, kFastloadTag,
                "Could not read every record of Sqlite DB at %s. The static cache stays empty "
                "and is loaded again on the next request",
                folder.c_str());
          result = -1;
        } else {
          publishLoaded();
        }
      }
    } catch (...) {
      // Only allocation failures get here. Before the publication whatever
      // was stored is incomplete and is dropped as for a failed load; after
      // it the cache is complete and stays.
      builder_.reset();
      streamMap_.reset();
      if (bIsLoaded.load(std::memory_order_relaxed)) {
        result = 0;
      } else {
        dropAll();
        result = -1;
      }
    }
    return result;
  } catch (...) {
    return -1;
  }
}
