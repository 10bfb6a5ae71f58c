// A read-only image of a loaded static cache, kept in a file beside
// GUIDDB.DAT so that every shared-mode process of the machine maps one copy
// of the table instead of loading its own.
//
// The file holds, for one database file (named by device, inode, size and
// modification time), one loader (Exchange or Lotus Notes) and one proxy
// flag, exactly the keys and record maps the in-heap load builds: a header,
// the groups in load order, and an open-addressing table of the keys. It is
// written whole beside its final name and renamed in, never changed after.
//
// The one thing a mapping cannot survive is a file truncated in place while
// it is mapped: reading a page past the new end raises SIGBUS. Our writers
// never truncate or rewrite a snapshot; they write a new file and rename it
// over the old one, so a mapped file stays whole for as long as it is mapped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

// One group of a snapshot as the dump replays it.
struct SSnapshotGroup {
  uint64_t offset = 0;            // where it lies in the file
  std::string guid;               // the group's GUID key
  GuidRecordMap records;          // the group's map, as find() returns it
  std::vector<std::string> keys;  // the names offered as keys, in order
};

// A mapped snapshot. Thread-safe: every method is const and reads the
// mapping only; the mapping lives as long as the object.
class GUIDLOOKUPS_EXPORT SharedSnapshot {
 public:
  ~SharedSnapshot();
  SharedSnapshot(const SharedSnapshot&) = delete;
  SharedSnapshot& operator=(const SharedSnapshot&) = delete;

  // The file name of the snapshot for these options in `folder`.
  static std::string PathFor(const std::string& folder, bool exchange, bool addProxySmtp);
  // Every snapshot name of `folder`, whatever its options.
  static std::vector<std::string> AllPaths(const std::string& folder);

  // Maps `path` when it is a regular file owned by this user or root,
  // writable by neither group nor others, and its header is sound and
  // matches `expected` (null: any source). Null otherwise, with `why` set
  // ("" when there is no such file).
  static std::unique_ptr<SharedSnapshot> Open(const std::string& path,
                                              const SSnapshotSource* expected, std::string* why);
  // A snapshot over bytes the caller keeps alive (the fuzzer's and tests'
  // way in): checks the header as Open does, without the file checks.
  static std::unique_ptr<SharedSnapshot> FromBytes(const void* data, size_t size, std::string* why);
  // Recomputes the header checksum of a snapshot image in place; for the
  // fuzzer, so that damaged bodies get past the header. False when `size`
  // cannot hold a header.
  static bool Reseal(void* data, size_t size);

  // When `key` (already in the cache's key form, see
  // StaticCache::NormalizeKey) is present, replaces `out` with its group's
  // records and returns true; false otherwise, also for any damage met on
  // the way, leaving `out` alone. Never reads outside the mapping.
  bool Find(const std::string& key, GuidRecordMap& out) const;
  // Calls fn(const SSnapshotGroup&) for each group in load order; false when
  // a damaged group stops the walk.
  template <typename Fn>
  bool ForEachGroup(Fn&& fn) const {
    SSnapshotGroup group;
    for (uint64_t at = groupsBegin_; at < groupsEnd_;) {
      if (!ReadGroup(at, group)) return false;
      fn(static_cast<const SSnapshotGroup&>(group));
    }
    return true;
  }
  // Whether `key` (in key form) is stored for the group at `groupOffset`,
  // rather than for an earlier group that took it first.
  bool KeyLeadsTo(const std::string& key, uint64_t groupOffset) const;
  // Walks every group and every slot; "" when all are sound, else what is
  // wrong. Costs time in proportion to the file.
  std::string Verify() const;

  const SSnapshotSource& source() const { return source_; }
  uint64_t sizeBytes() const { return size_; }
  uint64_t keyCount() const { return keyCount_; }
  uint64_t rowCount() const { return rowCount_; }
  uint64_t groupCount() const { return groupCount_; }
  // The loader's counters of the load that built it.
  void counters(recordInfo_t& out) const;

 private:
  SharedSnapshot() = default;
  std::string ParseHeader();
  // Reads the group at `at` and moves `at` past it; false when damaged.
  bool ReadGroup(uint64_t& at, SSnapshotGroup& group) const;
  bool DecodeRecords(uint64_t groupAt, GuidRecordMap& out, uint64_t* end) const;
  bool KeyAt(uint64_t groupAt, uint64_t keyAt, const std::string& key) const;
  // The slot that holds `key`, or null.
  const unsigned char* SlotOf(const std::string& key) const;

  const unsigned char* base_ = nullptr;
  uint64_t size_ = 0;
  bool mapped_ = false;  // base_ is an mmap of size_ bytes, unmapped here
  SSnapshotSource source_;
  uint64_t groupsBegin_ = 0, groupsEnd_ = 0, slotsAt_ = 0, slotCount_ = 0;
  uint64_t keyCount_ = 0, rowCount_ = 0, groupCount_ = 0;
  int32_t counters_[3] = {0, 0, 0};
};

// Removes every snapshot of `folder` and the leftovers of interrupted
// writes: called when GUIDDB.DAT is replaced. Processes that mapped one keep
// their mapping. REQUIRES: "SQLITE_ACCESS_LOCK" held.
GUIDLOOKUPS_EXPORT void RemoveSharedSnapshots(const std::string& folder);
// Removes the leftovers of interrupted writes and every snapshot of `folder`
// that was not built from the file `current` names (whatever its options).
// REQUIRES: "SQLITE_ACCESS_LOCK" held.
void PruneSharedSnapshots(const std::string& folder, const SSnapshotSource& current);
