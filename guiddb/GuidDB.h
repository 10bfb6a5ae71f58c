// The local GUID database: one SQLite file, "GUIDDB.DAT", holding the table
// GUID(Name, GUID, Status).
//
// Thread-safety: a CGuidDB and its query handles belong to one thread at a
// time. Several objects, in one process or many, may open the same file;
// callers serialise their work on it with the access lock (AccessLock).
//
// Results are 0 (success), 1 (nothing there: no file, no table, no more rows,
// no such row) and -1 (failure). Failures are logged through the event log
// with the method's short name as tag; no exception leaves the class.
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/EventLog.h"
#include "host/Export.h"
#include "host/Status.h"

namespace FX {
class CSQLite3DB;
class CSQLite3Query;
class CSQLite3Statement;
}  // namespace FX

#include "guiddb/CacheFiles.h"

// The library's event log, through which the database class writes its
// lines. Defined here, with the class that uses it; constructed when the
// library is loaded.
GUIDLOOKUPS_EXPORT extern EvEvent event;

// One row of the GUID table.
struct GUIDLOOKUPS_EXPORT SGuidRecord {
  std::string name;
  std::string guid;
  int32_t status = 0;

  SGuidRecord() = default;
  SGuidRecord(std::string n, std::string g, int32_t s)
      : name(std::move(n)), guid(std::move(g)), status(s) {}

  std::string getGuid() const;
};

inline bool operator==(const SGuidRecord& a, const SGuidRecord& b) {
  return a.name == b.name && a.guid == b.guid && a.status == b.status;
}

// Records of one GUID, keyed by their own status; equal keys keep their
// insertion order.
using GuidRecordMap = std::multimap<int, SGuidRecord>;

// One open query. Released query first, statement second.
struct GUIDLOOKUPS_EXPORT SQueryHandle {
  boost::shared_ptr<FX::CSQLite3Query> query;
  boost::shared_ptr<FX::CSQLite3Statement> statement;
  ~SQueryHandle();
};

// How one GUID table differs from another. GUIDs compare without regard to
// case. A row is (GUID, status, name): a row only in the new table is added,
// one only in the old is removed, and a GUID whose rows of one status were
// replaced (a new display name) counts one row changed rather than one added
// and one removed. A GUID of both tables whose rows differ is changed.
struct GUIDLOOKUPS_EXPORT STableChanges {
  uint64_t guidsBefore = 0;
  uint64_t guidsAfter = 0;
  uint64_t guidsAdded = 0;
  uint64_t guidsRemoved = 0;
  uint64_t guidsChanged = 0;
  uint64_t rowsBefore = 0;
  uint64_t rowsAfter = 0;
  uint64_t rowsAdded = 0;
  uint64_t rowsRemoved = 0;
  uint64_t rowsChanged = 0;
};

// SMTP addresses (status 1 or 2) that several GUIDs held, found and settled
// by CGuidDB::KeepOneHolderPerAddress.
struct GUIDLOOKUPS_EXPORT SSharedAddresses {
  uint64_t addresses = 0;
  uint64_t rowsDropped = 0;
  // The first few, in byte order.
  std::vector<std::string> examples;
};

class GUIDLOOKUPS_EXPORT CGuidDB {
 public:
  CGuidDB();
  virtual ~CGuidDB();
  CGuidDB(const CGuidDB&) = delete;
  CGuidDB& operator=(const CGuidDB&) = delete;

  // Uses "<folder>/GUIDDB.DAT". Returns 0 when the file holds the GUID table,
  // 1 when the file is missing (nothing is created, no log line) or has no
  // GUID table, -1 when it cannot be opened or read (logged, tag "Open").
  int Open(const char* folder);
  // Makes sure the file exists and holds the table and its two indexes.
  // Returns 0, or -1 (logged, tag "Create").
  int Create(const char* folder);
  // Converts an old-schema table (one with an automatic index) to "10.0",
  // keeping every row. Returns 0 when nothing was needed or it finished, -1
  // when it failed. REQUIRES: a connection; the caller brackets it in
  // begin() and commit()/rollback().
  int Upgrade_To_10();

  // Inserts one row (name and GUID lower-cased, stored exactly as the
  // quoting function gives them). Returns 0 or -1. Virtual so that a caller
  // can stand in a database that refuses chosen rows.
  // REQUIRES: record != nullptr.
  virtual int Add(SGuidRecord* record);
  // "BEGIN;", "COMMIT;", "ROLLBACK;". Each returns 0, or -1 when SQLite
  // refused it (logged; lastError() has SQLite's text). A failed COMMIT may
  // leave its transaction open (a busy file) or rolled back (a full disk, an
  // I/O error): only the result tells that it failed.
  int begin();
  int commit();
  int rollback();
  // Deletes every row (null record) or every row with the record's name.
  // Returns 0 or -1.
  int Delete(SGuidRecord* record);
  // Reads the first row with that (lower-cased) name. Returns 0, 1 (none; the
  // record is untouched) or -1. REQUIRES: record != nullptr.
  int Find(const char* name, SGuidRecord* record);
  // Starts any query whose rows are (name, GUID, status). Returns the handle,
  // or an empty pointer on failure (logged, tag "FindByQuery").
  std::unique_ptr<SQueryHandle> FindByQuery(const char* sql);
  // Reads the next row. Returns 0, 1 (no more rows; record untouched) or -1.
  // REQUIRES: handle != nullptr.
  int FindNext(SQueryHandle* handle, SGuidRecord* record);
  void FindClose(std::unique_ptr<SQueryHandle>& handle);
  // Adds to `records` every row of the GUID that `text` leads to: by name,
  // the GUID of the first row whose name equals `text` (ASCII case ignored;
  // '%' and '_' are plain characters); by GUID, every row whose GUID matches
  // the LIKE pattern `text`. Returns 1 after the last row, -1 on failure (rows
  // read before it stay in the map).
  int FindAllRecordsForGUIDFromSMTP(const char* text, GuidRecordMap& records, bool byName);

  // Index maintenance. Every statement uses IF [NOT] EXISTS, so each call may
  // be repeated. Each returns 0, or -1 with one log line (tag: the method's
  // name). REQUIRES: a connection; the caller holds the named mutex, as for
  // every write.
  //
  // Adds the NOCASE indexes that let both searches of
  // FindAllRecordsForGUIDFromSMTP use an index (Create and Upgrade_To_10 add
  // them to the tables they make).
  int CreateSearchIndexes();
  // Drops every index of the GUID table, so that a bulk insert maintains none.
  int DropIndexes();
  // Creates every index of the GUID table that is missing: NAME_index,
  // GUID_index and the two NOCASE indexes.
  int CreateIndexes();

  // True while a transaction is open on the connection. False without a
  // connection.
  bool InTransaction() const;

  // Creates a new database file at `file` (which must not hold a database
  // yet) with a bare GUID table and no index, tuned for one bulk load: the
  // rollback journal is kept in memory and nothing is synced, so the file is
  // only good once it has been closed, synced and verified; a crash
  // half-way leaves a file that must be thrown away. Returns 0 or -1.
  int CreateForBulkLoad(const std::string& file);
  // The number of rows in the GUID table into `rows`. Returns 0 or -1.
  int CountRows(long& rows);
  // Gives every SMTP address (status 1 or 2) held by more than one GUID to
  // one of them, whatever the order the rows came in: the GUID that holds it
  // at the lowest status (a primary address before a proxy one), then the
  // lowest GUID in byte order of its lower-case text. The other GUIDs' rows
  // of that address are deleted. Returns 0 (with `shared` filled, its
  // examples at most `examples`) or -1. For a table being built, before its
  // indexes: it reads the whole table.
  int KeepOneHolderPerAddress(SSharedAddresses& shared, size_t examples = 3);
  // Closes the connection (and its statements); the object may open again.
  void Close();

  // The last failure of this object: SQLite's result code where it gave one
  // (Status::Code::kDatabase), and its text; OK when none.
  const Status& lastStatus() const { return lastStatus_; }
  // SQLite's text of the last failure of this object, "" when none.
  const std::string& lastError() const { return lastStatus_.context(); }

  // Checks that `file` is a GUID database this library can read: it opens
  // read-only, holds a GUID table with the columns Name, GUID and Status and
  // at least one row, and passes "PRAGMA quick_check"; with
  // `requireSearchIndexes`, the NOCASE search indexes are there too. Returns
  // "" when it is, otherwise why not (SQLite's text where it gave one). Sets
  // `rows` (when not null) to the number of rows. Never throws.
  static std::string VerifyFile(const std::string& file, long* rows = nullptr,
                                bool requireSearchIndexes = false);
  // Counts the rows and the distinct GUIDs (ignoring case) of `file`, opened
  // read-only. False with `error` (SQLite's text) when it cannot be read.
  static bool CountFile(const std::string& file, long& rows, long& guids, std::string& error);
  // Compares the table of `after` with that of `before` (a missing `before`
  // is an empty table), both opened read-only. False with `error` (SQLite's
  // text) when one cannot be read.
  static bool CompareFiles(const std::string& before, const std::string& after,
                           STableChanges& changes, std::string& error);
  // The queries of the static cache's loaders: every row as (name, GUID,
  // status) sorted by GUID; for Exchange with the GUID upper-cased, for Lotus
  // Notes as stored; with `onlyOwnForm`, only the GUIDs of the agent's form
  // (braced for Exchange, unbraced for Lotus Notes).
  static const char* LoaderQuery(bool exchange, bool onlyOwnForm);
  // True when `file` opens read-only and carries both NOCASE search indexes.
  static bool HasSearchIndexes(const std::string& file);
  // Before a new file is renamed over `file`: resolves a rollback journal
  // (or WAL) that a writer which died left beside it, and removes what is
  // left, since SQLite would otherwise apply it to whatever file next carries
  // that name. REQUIRES: the named mutex is held. False (with `why`) when a
  // leftover could not be removed; the swap must then not be made.
  static bool ClearLeftoverJournal(const std::string& file, std::string* why);

  // True when "<folder()>/GUIDDB.DAT" is still the file the last successful
  // Open opened, unchanged: false once a rebuild or a download renamed
  // another file over it, it was removed, or it was written in place (its
  // size, modification or status-change time differ, to the nanosecond).
  // Also false while the file's last change is too recent for a later one to
  // show in its times. False without a connection.
  bool IsStillTheFileOpened() const;

  // The folder of the last Open or Create that returned 0.
  const std::string& folder() const { return folder_; }

 private:
  std::unique_ptr<FX::CSQLite3DB> db_;
  void DropStatements();

  // Destroyed before the connection they were compiled on.
  std::unique_ptr<FX::CSQLite3Statement> insert_;
  std::unique_ptr<FX::CSQLite3Statement> searchByName_;
  std::unique_ptr<FX::CSQLite3Statement> searchByGuid_;
  // The file the last successful Open found at "<folder>/GUIDDB.DAT", as
  // stat(2) saw it just before the open.
  struct FileIdentity {
    uint64_t device = 0, inode = 0;
    int64_t size = 0;
    int64_t modified = 0, changed = 0;  // nanoseconds since the epoch
    bool found = false;
    bool settled = false;  // false: a change may not show in the times
  };
  static FileIdentity IdentityOf(const std::string& path);
  std::string openedPath_;
  FileIdentity opened_;
  std::string folder_;
  Status lastStatus_;
};

// A transaction on a CGuidDB that is rolled back unless committed: at the
// end of its scope, an open transaction is rolled back. One guard may run
// several transactions in turn (the batches of a bulk load). Never throws.
// REQUIRES: the database outlives the guard.
class GUIDLOOKUPS_EXPORT CGuidTransaction {
 public:
  explicit CGuidTransaction(CGuidDB& db) : db_(db) {}
  ~CGuidTransaction() {
    if (db_.InTransaction()) db_.rollback();
  }
  CGuidTransaction(const CGuidTransaction&) = delete;
  CGuidTransaction& operator=(const CGuidTransaction&) = delete;

  // BEGIN / COMMIT: 0, or -1 with the database's lastError() saying why. A
  // COMMIT that failed may have been rolled back by SQLite already, or left
  // open: the guard rolls back what is still open.
  int Begin() { return db_.begin(); }
  int Commit() { return db_.commit(); }

 private:
  CGuidDB& db_;
};

// Doubles every single quote and lower-cases the copy (ASCII only), for
// splicing a value into SQL text.
GUIDLOOKUPS_EXPORT std::string EscapeSingleQuotesToLower(const std::string& s);
