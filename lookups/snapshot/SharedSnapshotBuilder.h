// The writer of a shared snapshot (see lookups/snapshot/SharedSnapshot.h): what a
// snapshot was built from, and the builder that collects a load's groups and
// writes them as one file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "guiddb/GuidDB.h"
#include "host/Export.h"
#include "lookups/CacheKey.h"
#include "lookups/GUIDTable.h"

namespace hostfs {
class StagedFile;
}

// What a snapshot was built from; it is current when it matches the
// database file and the options of the load that wants it.
struct GUIDLOOKUPS_EXPORT SSnapshotSource {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t mtimeSec = 0;
  int64_t mtimeNsec = 0;
  int64_t ctimeSec = 0;
  int64_t ctimeNsec = 0;
  // A hash of the database header, which holds SQLite's file change counter
  // and page count.
  uint64_t headDigest = 0;
  bool exchange = true;       // the Exchange loader built it, else the Lotus Notes one
  bool addProxySmtp = false;  // always false for the Lotus Notes loader
  uint32_t caseTable = 0;     // the fingerprint of the upper-casing of the load

  // Not part of the identity (operator== ignores them):
  // The file was changed less than a timestamp tick before the identity was
  // taken, so a change within that tick would leave the identity as it is:
  // such a snapshot is trusted only with `contentDigest`, a hash of the
  // whole file.
  bool young = false;
  uint64_t contentDigest = 0;
  std::string database;  // the path of the file, for the content check

  // The identity of "<folder>/GUIDDB.DAT" under the process's case table and
  // the given options; false when the file cannot be stat'ed or read.
  static bool Of(const std::string& folder, bool exchange, bool addProxySmtp, SSnapshotSource& out);
  // A hash of the whole file at `path`; false when it cannot be read.
  static bool DigestOf(const std::string& path, uint64_t& out);
  bool operator==(const SSnapshotSource& o) const;
  bool operator!=(const SSnapshotSource& o) const { return !(*this == o); }
};

// Writes a load's groups, as the loader hands them over, into a private
// temporary file beside the snapshot, then its key table and header, and
// renames it in: the load keeps no copy of the table of its own. Not
// thread-safe: one load at a time, under the load's locks.
class GUIDLOOKUPS_EXPORT SharedSnapshotBuilder : public GroupSink {
 public:
  // The loader whose keys it stores (the names of the statuses that make
  // keys under its rules); `rowHint` sizes the key list.
  SharedSnapshotBuilder(bool exchange, bool addProxySmtp, size_t rowHint = 0);
  ~SharedSnapshotBuilder() override;
  SharedSnapshotBuilder(const SharedSnapshotBuilder&) = delete;
  SharedSnapshotBuilder& operator=(const SharedSnapshotBuilder&) = delete;

  // Creates the temporary file in `folder`, named
  // cachefiles::kSnapshotTempPrefix + "<pid>-XXXXXX" so that a load can tell
  // when its writer is gone; false with `error` set when it cannot.
  bool Begin(const std::string& folder, std::string* error);
  // Writes the group, its records and the keys it offers; a failed write
  // shows in failed(), and later groups are then ignored.
  void Take(GuidGroup& group) override;
  // Ends the load; the loader's counters go into the header.
  void Finish(const recordInfo_t& counters);
  // A write failed or the table cannot be laid out; error() says why.
  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }

  // Writes the key table (the first group offering a key keeps it) and the
  // header for `source`, flushes the file and renames it over `path`, then
  // syncs the folder. False with `error` set when it cannot; the temporary
  // file is then removed. REQUIRES: Begin and Finish were called.
  bool Install(const std::string& path, const SSnapshotSource& source, std::string* error);

 private:
  struct Slot {
    uint64_t hash;
    uint32_t groupAt;
    uint32_t keyAt;
  };
  void Fail(const std::string& why);
  void StartGroup(const std::string& guidKey, const GuidRecordMap& map);
  // One more key offered by the group (a name in key form, or the GUID).
  void AddKey(const std::string& key);
  void EndGroup();
  void Spill(bool force);
  uint64_t SlotCount() const;
  // Fills the key table of `slotCount` slots; false when a key cannot be
  // read back from the file.
  bool PlaceKeys(std::string& table, uint64_t slotCount, uint64_t& keys) const;
  std::string Header(const SSnapshotSource& source, uint64_t slotCount, uint64_t keys) const;
  // The key at `keyAt` of the file, in the form it is compared in.
  bool KeyText(const Slot& slot, std::string& out) const;

  bool exchange_, addProxySmtp_;
  const cachekey::CaseTable cases_;  // taken at construction
  std::unique_ptr<hostfs::StagedFile> file_;
  std::string pending_;     // bytes not yet written; always ends on a group's end
  uint64_t pendingAt_ = 0;  // the file offset of pending_'s first byte
  std::vector<Slot> slots_;
  bool inGroup_ = false;
  uint64_t groupAt_ = 0;  // offset of the current group
  uint64_t guidAt_ = 0;   // offset of its GUID key
  std::string guid_;
  struct Name {
    uint64_t at;    // file offset of its length
    size_t textAt;  // where its bytes are in pending_
    size_t length;
    bool keyed;  // its status makes keys
  };
  std::vector<Name> names_;  // the current group's record names, in order
  uint64_t groupCount_ = 0;
  uint64_t rowCount_ = 0;
  int32_t counters_[3] = {0, 0, 0};
  bool finished_ = false;
  bool failed_ = false;
  std::string error_;
};
