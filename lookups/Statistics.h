// What a lookup object and the static cache have done, as plain numbers for
// monitoring and for the operator's tool.
//
// Contract: the structs only ever grow at their end; a field keeps its name,
// unit and meaning once published. Every counter starts at 0 and only goes up.
#pragma once

#include <cstdint>

// The counters of one CHXGuidLookups object (CHXGuidLookups::GetStatistics),
// and the same counters summed for the static cache (see
// SStaticCacheStatistics::counts).
struct SLookupStatistics {
  // Keys answered from memory: the static cache in shared mode, the object's
  // MFU cache in private mode.
  uint64_t hits = 0;
  // Keys not answered from memory: in shared mode unknown keys (the answer is
  // "not found"), in private mode keys that went on to the database.
  uint64_t misses = 0;
  // Database queries made: one per private-mode miss; for the static cache,
  // its loads of the whole table.
  uint64_t databaseQueries = 0;
  // Of those, the ones that failed (no file, a lock that could not be taken,
  // an unreadable or corrupt table).
  uint64_t databaseFailures = 0;
  // Refreshes of the local table (download or rebuild) that this object
  // completed; at most one per process, as the refresh decision is taken once.
  uint64_t refreshes = 0;
  // Bytes this object's refreshes received from the control server (the
  // manifest, row deltas, whole tables).
  uint64_t bytesFetched = 0;
};

// The static cache's figures (StaticCache::GetStatistics).
struct SStaticCacheStatistics {
  // hits, misses and refreshes: those of the shared-mode lookup objects that
  // used this cache, added when each object is destroyed (a live object's
  // figures are in its own GetStatistics). databaseQueries and
  // databaseFailures: the cache's own loads.
  SLookupStatistics counts;
  bool loaded = false;      // the table is loaded; the figures below are 0 until then
  uint64_t loadTimeMs = 0;  // wall-clock time of the load that succeeded, lock waits included
  uint64_t rows = 0;        // records held (rows of the table that were loaded)
  uint64_t keys = 0;        // keys: GUIDs and the names that are keys
  // An estimate of the memory the loaded table holds: the heap capacity of
  // every key, name and GUID string plus the size of each container node as
  // this library's containers lay them out on a 64-bit build. The allocator's
  // own overhead is not counted, so the process uses somewhat more.
  uint64_t bytesHeld = 0;
  // The bytes of the shared snapshot this process maps instead (0 when the
  // table is in-heap). Its pages are shared by every process that maps it;
  // bytesHeld then counts only what the process holds of its own.
  uint64_t bytesMapped = 0;
  // Lookups through the mapped snapshot that met damage (a slot that names a
  // key its group does not offer, a group whose checksum fails) and so
  // answered "not found"; `guidlookup check` tells where.
  uint64_t snapshotDamage = 0;
};
