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
#include "lookups/SharedSnapshotBuilder.h"

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
