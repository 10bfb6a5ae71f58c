// A read-only image of a loaded static cache, kept in a file beside
// GUIDDB.DAT so that every shared-mode process of the machine maps one copy
// of the table instead of loading its own.
//
// The file holds, for one database file (named by device, inode, size,
// modification and change times and a hash of its header), one loader
// (Exchange or Lotus Notes), one proxy flag and one character case table,
// exactly the keys and record maps the in-heap load builds: a header, the
// groups in load order, each with a checksum, and an open-addressing table
// of the keys. It is written whole beside its final name and renamed in,
// never changed after. Its name carries the case table, so that processes
// of different locales each keep their own.
//
// The one thing a mapping cannot survive is a file truncated in place while
// it is mapped: reading a page past the new end raises SIGBUS. Our writers
// never truncate or rewrite a snapshot; they write a new file and rename it
// over the old one, so a mapped file stays whole for as long as it is mapped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "guiddb/GuidDB.h"
#include "host/Export.h"
#include "lookups/CacheKey.h"
#include "lookups/GUIDTable.h"
#include "lookups/snapshot/SharedSnapshotBuilder.h"

// One group of a snapshot as its loader made it (the names it offered as
// keys, taken or not, and its map as find() returns it), and where it lies.
struct SSnapshotGroup : GuidGroup {
  uint64_t offset = 0;
};

// A mapped snapshot. Thread-safe: every method is const and reads the
// mapping only; the mapping lives as long as the object.
class GUIDLOOKUPS_EXPORT SharedSnapshot {
 public:
  ~SharedSnapshot();
  SharedSnapshot(const SharedSnapshot&) = delete;
  SharedSnapshot& operator=(const SharedSnapshot&) = delete;

  // The names of the temporary files of writers: "<prefix><pid>-XXXXXX".
  static const char* const kTempPrefix;

  // The file name of the snapshot for these options and this process's
  // character case table in `folder`.
  static std::string PathFor(const std::string& folder, bool exchange, bool addProxySmtp);
  // Every snapshot name present in `folder`, whatever its options and case
  // table, sorted.
  static std::vector<std::string> AllPaths(const std::string& folder);
  // The temporary files of writers present in `folder`, sorted.
  static std::vector<std::string> Leftovers(const std::string& folder);
  // Removes the temporary files whose writer no longer runs; returns them.
  static std::vector<std::string> RemoveLeftovers(const std::string& folder);

  // Maps `path` when it is a regular file owned by this user or root,
  // writable by neither group nor others, and its header is sound and, when
  // `expected` is given, IsCurrentFor(*expected). Null otherwise, with `why`
  // set ("" when there is no such file).
  static std::unique_ptr<SharedSnapshot> Open(const std::string& path,
                                              const SSnapshotSource* expected, std::string* why);
  // A snapshot over bytes the caller keeps alive (the fuzzer's and tests'
  // way in): checks the header as Open does, without the file checks.
  static std::unique_ptr<SharedSnapshot> FromBytes(const void* data, size_t size, std::string* why);
  // Recomputes every group's checksum (as far as the groups' lengths chain)
  // and the header checksum of a snapshot image in place; for the fuzzer and
  // tests, so that damaged bodies get past the checksums. False when `size`
  // cannot hold a header.
  static bool Reseal(void* data, size_t size);

  // "" when this snapshot stands for the table `now` describes, under the
  // same options and case table; else why not. A snapshot built moments
  // after its table changed is trusted only when the table's content hash is
  // still the one it recorded (the file is read whole).
  std::string MismatchWith(const SSnapshotSource& now) const;
  // Writes this snapshot anew at `path` as one built from the settled table
  // `now` (not young, so that later loads trust it without reading the
  // table whole). REQUIRES: MismatchWith(now) was "" and `now` is not young;
  // the named mutex held. False, with `why` set, when it cannot.
  bool WriteSettled(const std::string& path, const SSnapshotSource& now, std::string* why) const;

  // When `key` (already in key form, see cachekey::Form) is present, replaces `out` with its
  // group's records and returns true; false otherwise, also for any damage met on the way (counted,
  // see damageSeen()), leaving `out` alone. Never reads outside the mapping.
  bool Find(const std::string& key, GuidRecordMap& out) const;
  // Lookups that met damage: a slot whose key is not one its group offers,
  // a group whose checksum or layout is wrong.
  uint64_t damageSeen() const { return damage_.load(std::memory_order_relaxed); }
  // Calls fn(SSnapshotGroup&) for each group in load order (it may take the
  // group's keys and records); false when a damaged group stops the walk.
  template <typename Fn>
  bool ForEachGroup(Fn&& fn) const {
    SSnapshotGroup group;
    for (uint64_t at = groupsBegin_; at < groupsEnd_;) {
      if (!ReadGroup(at, group)) return false;
      fn(group);
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
  struct GroupView;
  SharedSnapshot();
  std::string ParseHeader();
  // Checks the group at `at` whole: its length, checksum, records and key
  // list. `keyAt`, when not 0, is looked for among the keys it offers
  // (`keyListed`).
  bool CheckGroup(uint64_t at, uint64_t keyAt, GroupView& g, bool* keyListed) const;
  void DecodeRecords(const GroupView& g, GuidRecordMap& out) const;
  // Reads the group at `at` and moves `at` past it; false when damaged.
  bool ReadGroup(uint64_t& at, SSnapshotGroup& group) const;
  // The slot that holds `key`, or null; `damaged` when a slot of its probe
  // failed its checks.
  const unsigned char* SlotOf(const std::string& key, GroupView& g, bool& damaged) const;

  const unsigned char* base_ = nullptr;
  uint64_t size_ = 0;
  bool mapped_ = false;  // base_ is an mmap of size_ bytes, unmapped here
  SSnapshotSource source_;
  // The upper-casing of this process at the snapshot's opening: names are
  // compared under it whatever the locale becomes.
  const cachekey::CaseTable cases_;
  uint64_t groupsBegin_ = 0, groupsEnd_ = 0, slotsAt_ = 0, slotCount_ = 0;
  uint64_t keyCount_ = 0, rowCount_ = 0, groupCount_ = 0;
  int32_t counters_[3] = {0, 0, 0};
  mutable std::atomic<uint64_t> damage_{0};
};

// Removes every snapshot of `folder` and the leftovers of writers that are
// gone: called when GUIDDB.DAT is replaced. Processes that mapped one keep
// their mapping. REQUIRES: the access lock held.
GUIDLOOKUPS_EXPORT void RemoveSharedSnapshots(const std::string& folder);
// Removes the leftovers of writers that are gone and every snapshot of
// `folder` that was not built from the file `current` names (whatever its
// options and case table).
// REQUIRES: the access lock held.
void PruneSharedSnapshots(const std::string& folder, const SSnapshotSource& current);
