#include "lookups/refresh/TableRebuild.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <memory>
#include <utility>

#include "guiddb/AccessLock.h"
#include "host/Files.h"
#include "host/Locks.h"
#include "host/LogWriter.h"
#include "host/StagedFile.h"
#include "lookups/refresh/Install.h"

namespace {

// The rebuild's lines are those of the refresh that runs it.
constexpr char kTag[] = "bool CHXGuidLookups::UpdateGUIDDB(CGuidDB&)";
// New files are built under this prefix in the database's folder, so the
// final rename stays on one file system. The leading dot keeps them out of
// an operator's plain listing; the prefix never matches "GUIDDB.DAT" itself.
constexpr char kStagingPrefix[] = ".GUIDDB.DAT.rebuild-";

// The new database file: created empty with a unique name, removed (with
// anything SQLite left beside it) at the end of the scope unless installed.
// Making it first removes the files of rebuilds that died (a kill, a power
// cut) with their journals: each file is named after its process, and
// rebuilds build side by side outside the named mutex.
class StagingFile {
 public:
  // Makes the file in `folder` with the mode `like` has (or 0644 less the
  // umask, which the kernel applies at the creation): the database is read
  // by every agent of the machine.
  bool Make(const std::string& folder, const std::string& like, std::string& error) {
    hostfs::StagedFileOptions options;
    options.prefix = kStagingPrefix;
    options.withPid = true;
    options.leftovers = hostfs::Leftovers::kWriterGone;
    options.sqlite = true;
    struct stat st;
    if (::stat(like.c_str(), &st) == 0) options.finalMode = static_cast<int>(st.st_mode & 0666);
    const int err = file_.Create(folder, options);
    for (const std::string& path : file_.removed())
      HXLOG(2, kTag, "Removed [%s] left by an interrupted rebuild", path.c_str());
    // SQLite writes the file by its name.
    if (err == 0 && file_.Close() == 0) return true;
    error = "cannot create a new database file in [" + folder +
            "]: " + hostfs::ErrnoText(err != 0 ? err : errno);
    return false;
  }

  // Flushes the finished file to disk: it was built without syncs.
  bool Sync(std::string& error) {
    const std::string path = file_.path();
    if (const int err = file_.Flush()) {
      error = "cannot flush [" + path + "]: " + hostfs::ErrnoText(err);
      return false;
    }
    return true;
  }

  const std::string& path() const { return file_.path(); }
  hostfs::StagedFile& file() { return file_; }

 private:
  hostfs::StagedFile file_;
};

// The body of RebuildGuidTable, between the lock and the result. The
// transaction guard in Build is the one owner of the open transaction; Fail
// only records and logs why the rebuild ended.
class Rebuild {
 public:
  Rebuild(const std::string& folder, const GuidRowReader& rows, const SRebuildOptions& options,
          CGuidDB& db)
      : folder_(folder), rows_(rows), options_(options), db_(db) {}

  SRebuildResult Run() {
    result_.replaced = Replace();
    // The caller was promised an open database after a replacement (the
    // table is in place even if this open fails), a closed one otherwise.
    if (result_.replaced)
      db_.Open(folder_.c_str());
    else
      db_.Close();
    return result_;
  }

 private:
  bool Replace() {
    const std::string destination = hostfs::ResolveLinks(folder_ + "/" GUIDDB_NAME);
    const std::string home = hostfs::FolderOf(destination);

    StagingFile staging;
    std::string why;
    if (!staging.Make(home, destination, why)) return Fail(RebuildFailure::Create, why);
    const bool built = Build(staging.path());
    // Closed before the new file is checked, or removed with the staging
    // guard: the transaction has ended with Build, committed or rolled back.
    db_.Close();
    if (!built) return false;

    long rowsInFile = 0;
    why = CGuidDB::VerifyFile(staging.path(), &rowsInFile, true);
    const uint64_t kept = result_.counts.rowsAdded - result_.shared.rowsDropped;
    if (why.empty() && static_cast<uint64_t>(rowsInFile) != kept)
      why = "the new file holds " + std::to_string(rowsInFile) + " rows, not the " +
            std::to_string(kept) + " added";
    if (!why.empty()) return Fail(RebuildFailure::Verify, "the new table failed its check: " + why);
    if (!staging.Sync(why)) return Fail(RebuildFailure::Database, why);
    if (Cancelled()) return Fail(RebuildFailure::Cancelled, "cancelled");
    if (options_.heldLock == nullptr) {
      held_ = std::make_unique<AccessLock>();
      if (!held_->held())
        return Fail(RebuildFailure::Install,
                    "cannot lock " GUIDDB_ACCESS_LOCK_NAME " (" + held_->lockFilePath() + ")");
    }
    if (options_.beforeInstall && !options_.beforeInstall(staging.path(), why))
      return Fail(RebuildFailure::Refused, why);
    const Status installed = InstallGuidDatabase(folder_, staging.file());
    if (!installed.ok()) return Fail(RebuildFailure::Install, installed.context());
    return true;
  }

  // Fills the new file at `file` and commits it. Whatever transaction is
  // still open when this returns (a failure, an exception) is rolled back by
  // the guard.
  bool Build(const std::string& file) {
    if (db_.CreateForBulkLoad(file) != 0)
      return Fail(RebuildFailure::Create, "cannot create [" + file + "]: " + db_.lastError());
    CGuidTransaction transaction(db_);
    if (!AddRows(transaction)) return false;
    HXLOG(2, kTag, "[%d] rows inserted into local guid_name table.",
          static_cast<int>(result_.counts.rowsRead));
    if (result_.counts.rowsAdded == 0) return Fail(RebuildFailure::NoRows, "no row could be added");
    if (options_.onePerAddress && db_.KeepOneHolderPerAddress(result_.shared) != 0)
      return Fail(RebuildFailure::Database,
                  "cannot settle the addresses several GUIDs hold: " + db_.lastError());
    // One index build over the finished table costs a fraction of keeping
    // four indexes up to date row by row.
    if (db_.CreateIndexes() != 0)
      return Fail(RebuildFailure::Database, "cannot index the new table: " + db_.lastError());
    if (transaction.Commit() != 0) return Fail(RebuildFailure::Database, db_.lastError());
    return true;
  }

  // The rows, in transactions of batchSize rows: a commit and a new begin
  // come before the row that would exceed the batch, and after a row the
  // database refused (the count then restarts, so the next batch holds one
  // row fewer). Every BEGIN and COMMIT is checked where it returns: on a
  // full disk or an I/O error SQLite may already have rolled the whole
  // transaction back. False (with the result set) when the rebuild ends.
  bool AddRows(CGuidTransaction& transaction) {
    if (transaction.Begin() != 0) return Fail(RebuildFailure::Database, db_.lastError());
    uint64_t inBatch = 0;
    SRebuildProgress& counts = result_.counts;
    GUIDNameInfo row;
    std::string error;
    for (;;) {
      if (Cancelled()) return Fail(RebuildFailure::Cancelled, "cancelled");
      const int got = rows_(row, error);
      // A source that waits on the network ends its wait when cancelled.
      if (got < 0 && Cancelled()) return Fail(RebuildFailure::Cancelled, "cancelled");
      if (got < 0)
        return Fail(RebuildFailure::Source, error.empty() ? "the row source failed" : error);
      if (got == 0) break;
      ++counts.rowsRead;
      // The table keeps 32 bits: the low half of the status, as a signed value.
      SGuidRecord record(row.name, row.guid,
                         static_cast<int32_t>(static_cast<uint32_t>(row.status)));
      HXLOG(2, kTag, "Adding, Guid=[%s], Name=[%s]", record.guid.c_str(), record.name.c_str());
      if (inBatch >= options_.batchSize) {
        inBatch = 0;
        if (!NextBatch(transaction)) return false;
      }
      if (db_.Add(&record) != 0) {
        HXLOG(-1, kTag,
              "Unable to add row with GUID [%s], name [%s], status [%d] to local guid_name table.",
              record.guid.c_str(), record.name.c_str(), record.status);
        ++counts.rowsFailed;
        if (options_.observer != nullptr) options_.observer->OnFailedRow(record, db_.lastError());
        if (!NextBatch(transaction)) return false;
        inBatch = 0;
      } else {
        ++counts.rowsAdded;
      }
      ++inBatch;
      if (options_.observer != nullptr) options_.observer->OnRow(counts);
    }
    if (counts.rowsRead == 0) return Fail(RebuildFailure::NoRows, "the row source holds no rows");
    return true;
  }

  bool Cancelled() const { return options_.cancel != nullptr && options_.cancel->load(); }

  bool NextBatch(CGuidTransaction& transaction) {
    if (transaction.Commit() != 0 || transaction.Begin() != 0)
      return Fail(RebuildFailure::Database, db_.lastError());
    return true;
  }

  // Records why the rebuild ends, with its one log line; always false. What
  // the rebuild made is released by its owners: the transaction guard, the
  // connection closed by Run, the staging file's guard.
  bool Fail(RebuildFailure failure, std::string error) {
    result_.failure = failure;
    result_.error = std::move(error);
    HXLOG(-1, kTag,
          "Rebuild of the local GUID table failed, [%s/" GUIDDB_NAME "] left as it was: %s",
          folder_.c_str(), result_.error.c_str());
    return false;
  }

  const std::string& folder_;
  const GuidRowReader& rows_;
  const SRebuildOptions& options_;
  CGuidDB& db_;
  // The named mutex to take for the install; null when the caller holds it.
  std::unique_ptr<AccessLock> held_;
  SRebuildResult result_;
};

}  // namespace

GuidRowReader RowsOf(const std::list<GUIDNameInfo>& rows) {
  auto next = std::make_shared<std::list<GUIDNameInfo>::const_iterator>(rows.begin());
  return [&rows, next](GUIDNameInfo& row, std::string&) {
    if (*next == rows.end()) return 0;
    row = **next;
    ++*next;
    return 1;
  };
}

SRebuildResult RebuildGuidTable(const std::string& guidCacheDir, const GuidRowReader& rows,
                                const SRebuildOptions& options) {
  SRebuildResult result;
  try {
    if (guidCacheDir.empty()) {
      result.failure = RebuildFailure::Create;
      result.error = "no GUID cache folder";
      HXLOG(-1, kTag, "Rebuild of the local GUID table failed: %s", result.error.c_str());
      return result;
    }
    CGuidDB own;
    CGuidDB& db = options.database != nullptr ? *options.database : own;
    result = Rebuild(guidCacheDir, rows, options, db).Run();
  } catch (const std::exception& e) {
    result.replaced = false;
    result.failure = RebuildFailure::Database;
    result.error = e.what();
    HXLOG(-1, kTag, "Rebuild of the local GUID table failed: %s", e.what());
  } catch (...) {
    result.replaced = false;
    result.failure = RebuildFailure::Database;
    result.error = "unknown error";
    HXLOG(-1, kTag, "Rebuild of the local GUID table failed: unknown error");
  }
  return result;
}
