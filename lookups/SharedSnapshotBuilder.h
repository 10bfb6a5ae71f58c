// The writer of a shared snapshot (see lookups/SharedSnapshot.h): what a
// snapshot was built from, and the builder that collects a load's groups and
// writes them as one file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "guiddb/GuidDB.h"
#include "host/Export.h"

struct recordInfo_t;

// What a snapshot was built from; it is current when it matches the
// database file and the options of the load that wants it.
struct GUIDLOOKUPS_EXPORT SSnapshotSource {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t mtimeSec = 0;
  int64_t mtimeNsec = 0;
  bool exchange = true;       // the Exchange loader built it, else the Lotus Notes one
  bool addProxySmtp = false;  // always false for the Lotus Notes loader

  // The identity of "<folder>/GUIDDB.DAT" and the given options; false when
  // the file cannot be stat'ed.
  static bool Of(const std::string& folder, bool exchange, bool addProxySmtp, SSnapshotSource& out);
  bool operator==(const SSnapshotSource& o) const;
  bool operator!=(const SSnapshotSource& o) const { return !(*this == o); }
};

// Collects the groups of an in-heap load, in the order the loader stores
// them, and writes them as a snapshot. Fed by StaticCache::insert.
// Not thread-safe: one load at a time, under the load's locks.
class GUIDLOOKUPS_EXPORT SharedSnapshotBuilder {
 public:
  explicit SharedSnapshotBuilder(size_t rowHint = 0);
  SharedSnapshotBuilder(const SharedSnapshotBuilder&) = delete;
  SharedSnapshotBuilder& operator=(const SharedSnapshotBuilder&) = delete;

  // One key offered for `map`; `taken` when the cache kept it (the first map
  // stored under a key wins). The first key of a map is its group's GUID;
  // the map must be complete by then. A map seen before a later one, or a
  // key that is neither its group's GUID nor one of its names, makes the
  // builder unusable (failed()).
  // `newMap` when the cache sees `map` for the first time.
  void AddKey(const std::string& key, const GuidRecordMap* map, bool taken, bool newMap);
  // Ends the load; the loader's counters go into the header.
  void Finish(const recordInfo_t& counters);
  bool failed() const { return failed_; }

  // Writes the snapshot for `source` to `path` through a private temporary
  // file in the same folder (mode 0644, flushed, renamed in, folder synced).
  // False with `error` set when it cannot; nothing is then left behind.
  // REQUIRES: Finish() was called and failed() is false.
  bool Write(const std::string& path, const SSnapshotSource& source, std::string* error);
  // The bytes Write() would write; for tests and the fuzzer's seeds.
  std::string Serialize(const SSnapshotSource& source) const;

 private:
  struct Slot {
    uint64_t hash;
    uint32_t groupAt;
    uint32_t keyAt;
  };
  void EndGroup();
  uint64_t SlotCount() const;
  std::string Header(const SSnapshotSource& source) const;
  std::string Table() const;

  std::string groups_;  // the groups section, offsets relative to the file
  std::vector<Slot> slots_;
  const GuidRecordMap* current_ = nullptr;
  uint64_t currentGroupAt_ = 0;  // offset of the current group
  uint64_t currentGuidAt_ = 0;   // offset of its GUID key
  std::string currentGuid_;
  std::vector<uint64_t> nameAt_;             // offsets of the current group's names
  std::vector<const SGuidRecord*> records_;  // the current group's records
  uint64_t groupCount_ = 0;
  uint64_t rowCount_ = 0;
  int32_t counters_[3] = {0, 0, 0};
  bool finished_ = false;
  bool failed_ = false;
};
