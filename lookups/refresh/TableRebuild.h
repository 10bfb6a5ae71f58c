// The rebuild of the local GUID table from a sequence of rows, as one
// operation: the rows go into a new database file beside "GUIDDB.DAT", which
// is verified and then renamed over it whole. Readers see the old table or
// the new one, never a mix, and a rebuild that fails (a full disk, an I/O
// error, a row source that breaks, a cancellation, a kill) leaves the old
// file byte for byte.
//
// Thread-safety: RebuildGuidTable may be called from any thread. The new
// table is read from its source and built without the named mutex
// the access lock, so that lookups never wait on a slow source; the
// mutex is held only to install it (unless the caller holds it throughout).
// Rebuilds of one folder, in any thread or process, may build side by side
// and take turns to install. The observer is called on the calling thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <string>

#include "guiddb/AccessLock.h"
#include "guiddb/GuidDB.h"
#include "host/AppMgrClient.h"
#include "host/Export.h"

// A source of rows: returns 1 and fills `row`, 0 after the last row, or -1
// with `error` set when the rows cannot be had (the rebuild then fails and
// the old table stays).
using GuidRowReader = std::function<int(GUIDNameInfo& row, std::string& error)>;

// Reads the rows of `rows`, in order. REQUIRES: `rows` outlives the reader.
GUIDLOOKUPS_EXPORT GuidRowReader RowsOf(const std::list<GUIDNameInfo>& rows);

// What a rebuild has done so far; the counts only grow.
struct GUIDLOOKUPS_EXPORT SRebuildProgress {
  uint64_t rowsRead = 0;
  uint64_t rowsAdded = 0;
  uint64_t rowsFailed = 0;
};

// Told of the rebuild's progress, on the rebuilding thread. The default
// methods do nothing. They must not throw.
class GUIDLOOKUPS_EXPORT CRebuildObserver {
 public:
  virtual ~CRebuildObserver() = default;
  // After each row read from the source, added or not.
  virtual void OnRow(const SRebuildProgress& progress) { (void)progress; }
  // A row the database refused; it is left out and the rebuild goes on.
  virtual void OnFailedRow(const SGuidRecord& row, const std::string& reason) {
    (void)row;
    (void)reason;
  }
};

enum class RebuildFailure {
  None,       // the table was replaced
  Create,     // the new file could not be made in the folder
  Source,     // the row source failed
  NoRows,     // the source had no rows, or the database took none
  Database,   // SQLite refused a BEGIN, COMMIT or index (full disk, I/O error...)
  Verify,     // the finished file did not pass its checks
  Install,    // the lock, a leftover journal or the rename failed
  Cancelled,  // the cancel flag was set
  Refused,    // the caller's beforeInstall check refused the new table
};

struct GUIDLOOKUPS_EXPORT SRebuildResult {
  SRebuildProgress counts;
  // True only when "GUIDDB.DAT" now holds the new table.
  bool replaced = false;
  RebuildFailure failure = RebuildFailure::None;
  // Why the table was not replaced (SQLite's text where it gave one); "" when
  // it was.
  std::string error;
  // With onePerAddress: the addresses several GUIDs held, and the rows that
  // were left out for them (counted in counts.rowsAdded all the same).
  SSharedAddresses shared;
};

struct GUIDLOOKUPS_EXPORT SRebuildOptions {
  // Rows per transaction; 0 makes every row a transaction of its own.
  uint64_t batchSize = 999;
  CRebuildObserver* observer = nullptr;
  // Checked before each row; once true the rebuild stops and the old table
  // stays. May be set from a signal handler.
  const std::atomic<bool>* cancel = nullptr;
  // The caller's hold of the access lock, when it holds it (a second lock
  // from the same process would wait for ever). Null: the rebuild takes it
  // only to install the finished table.
  const AccessLock* heldLock = nullptr;
  // The object the new table is built through, and which is left open on
  // the new "GUIDDB.DAT" after a replacement (closed otherwise). Null: one
  // of the rebuild's own.
  CGuidDB* database = nullptr;
  // Each SMTP address (status 1 or 2) goes to one GUID, by the rule of
  // CGuidDB::KeepOneHolderPerAddress, so that a directory gives the same
  // table whatever order its entries come in.
  bool onePerAddress = false;
  // Called under the access lock with the path of the finished and
  // verified new file, just before it replaces "GUIDDB.DAT" (which is then
  // the table it replaces, or missing): false, with `why` set, keeps the old
  // table and ends the rebuild with RebuildFailure::Refused. Must not throw.
  std::function<bool(const std::string& newFile, std::string& why)> beforeInstall;
};

// Builds the GUID table of `guidCacheDir` anew from `rows` and swaps it in.
// Rows go in transactions of `batchSize` rows; a row the database refuses is
// logged at level -1 ("Unable to add row with GUID [..], name [..], status
// [..] to local guid_name table."), reported to the observer and left out,
// and a new transaction starts after it. Every other failure ends the
// rebuild: the new file is removed, "GUIDDB.DAT" is left as it was, one line
// is logged at level -1, and the result says why. A source that fails once
// the cancel flag is set counts as cancelled. Files of earlier rebuilds
// whose process has died are removed first. Writes no settings and no job
// marker; never throws.
GUIDLOOKUPS_EXPORT SRebuildResult RebuildGuidTable(const std::string& guidCacheDir,
                                                   const GuidRowReader& rows,
                                                   const SRebuildOptions& options = {});
