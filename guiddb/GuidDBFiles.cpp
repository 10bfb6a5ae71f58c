// The checks, counts and comparisons of whole database files, each on a
// read-only connection of its own, and the identity and journal of the file
// that a new table replaces.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "guiddb/GuidDB.h"
#include "guiddb/GuidDBSchema.h"
#include "host/EventLog.h"
#include "host/FXPath.h"
#include "host/Files.h"
#include "host/SQLite3.h"
#include "host/StagedFile.h"

using namespace guidschema;

namespace {

// The GUIDs of a table told apart without case. NOCASE folds what SQLite's
// lower() folds (ASCII letters), so this counts what count(DISTINCT lower(GUID))
// would, by walking the NOCASE index instead of sorting a million values.
std::string CountGuids(const char* table) {
  return std::string("SELECT count(DISTINCT GUID COLLATE NOCASE) FROM ") + table + ";";
}

// Runs `body` (which returns "" or why the file is not as it must be) on a
// read-only connection to `file`; SQLite's text when that fails. Never throws.
template <typename Body>
std::string OnReadOnly(const std::string& file, Body&& body) {
  try {
    FX::CSQLite3DB db(file, true);
    return body(db);
  } catch (const std::exception& e) {
    const std::string what = e.what();
    return what.empty() ? "unknown error" : what;
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace

CGuidDB::FileIdentity CGuidDB::IdentityOf(const std::string& path) {
  // Longer than any file system's timestamp granularity.
  constexpr int64_t kSettleNs = 2'000'000'000;
  constexpr int64_t kNsPerSecond = 1'000'000'000;
  FileIdentity identity;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return identity;
  identity.found = true;
  identity.device = st.st_dev;
  identity.inode = st.st_ino;
  identity.size = st.st_size;
  identity.modified = st.st_mtim.tv_sec * kNsPerSecond + st.st_mtim.tv_nsec;
  identity.changed = st.st_ctim.tv_sec * kNsPerSecond + st.st_ctim.tv_nsec;
  timespec clock{};
  ::clock_gettime(CLOCK_REALTIME, &clock);
  const int64_t now = clock.tv_sec * kNsPerSecond + clock.tv_nsec;
  identity.settled = now - std::max(identity.modified, identity.changed) >= kSettleNs;
  return identity;
}

std::string CGuidDB::VerifyFile(const std::string& file, long* rows, bool requireSearchIndexes) {
  return OnReadOnly(file, [&](FX::CSQLite3DB& db) -> std::string {
    if (db.ExecScalarInt64(kTableTest, 0) == 0) return "the database holds no GUID table";
    // Every column the lookups and the loaders read, by name: a table of the
    // same name with other columns would answer every query with an error.
    if (db.ExecScalarInt64("SELECT COUNT(*) FROM pragma_table_info('GUID') WHERE "
                           "name IN ('Name','GUID','Status') COLLATE NOCASE;",
                           0) != 3)
      return "the GUID table lacks one of the columns Name, GUID and Status";
    if (requireSearchIndexes && db.ExecScalarInt64(kSearchIndexCount, 0) != 2)
      return "the search indexes of the GUID table are missing";
    // quick_check answers one row "ok", or one row per problem found.
    boost::shared_ptr<FX::CSQLite3Query> check = db.ExecQuerySetup("PRAGMA quick_check;");
    std::string problems;
    while (check->NextRow()) {
      const std::string line = check->GetStringField(0, "");
      if (line == "ok") continue;
      if (!problems.empty()) problems += "; ";
      problems += line;
    }
    check.reset();
    if (!problems.empty()) return problems;
    // An empty table would answer "not found" for every address of the
    // organisation; no source of ours ever means that.
    const long count = db.ExecScalarInt64("SELECT COUNT(*) FROM GUID;", 0);
    if (rows != nullptr) *rows = count;
    if (count == 0) return "the GUID table holds no rows";
    return "";
  });
}

bool CGuidDB::CountFile(const std::string& file, long& rows, long& guids, std::string& error) {
  error = OnReadOnly(file, [&](FX::CSQLite3DB& db) {
    rows = db.ExecScalarInt64("SELECT count(*) FROM GUID;", 0);
    guids = db.ExecScalarInt64(CountGuids("GUID"), 0);
    return std::string();
  });
  return error.empty();
}

bool CGuidDB::CompareFiles(const std::string& before, const std::string& after,
                           STableChanges& changes, std::string& error) {
  changes = STableChanges();
  error = OnReadOnly(after, [&](FX::CSQLite3DB& db) {
    const auto count = [&db](const std::string& sql) {
      return static_cast<uint64_t>(db.ExecScalarInt64(sql, 0));
    };
    changes.rows.after = count("SELECT count(*) FROM main.GUID;");
    changes.guids.after = count(CountGuids("main.GUID"));
    // A table that is not there is empty: its rows are all added.
    if (!FXFile::DoesFileExist(before)) {
      changes.guids.added = changes.guids.after;
      changes.rows.added = changes.rows.after;
      return std::string();
    }
    auto attach = db.CompileStatement("ATTACH DATABASE ? AS old;");
    attach->Bind(1, before);
    attach->ExecDML();
    attach.reset();
    changes.rows.before = count("SELECT count(*) FROM old.GUID;");
    changes.guids.before = count(CountGuids("old.GUID"));
    const std::string guidsNew = "SELECT lower(GUID) FROM main.GUID";
    const std::string guidsOld = "SELECT lower(GUID) FROM old.GUID";
    changes.guids.added = count("SELECT count(*) FROM (" + guidsNew + " EXCEPT " + guidsOld + ");");
    changes.guids.removed =
        count("SELECT count(*) FROM (" + guidsOld + " EXCEPT " + guidsNew + ");");
    const std::string rowsNew = "SELECT lower(GUID) AS g, Status AS s, Name AS n FROM main.GUID";
    const std::string rowsOld = "SELECT lower(GUID) AS g, Status AS s, Name AS n FROM old.GUID";
    const std::string added = "(" + rowsNew + " EXCEPT " + rowsOld + ")";
    const std::string removed = "(" + rowsOld + " EXCEPT " + rowsNew + ")";
    const std::string replaced =
        "(SELECT g, s FROM " + added + " INTERSECT SELECT g, s FROM " + removed + ")";
    changes.rows.changed = count("SELECT count(*) FROM " + replaced + ";");
    changes.rows.added =
        count("SELECT count(*) FROM " + added + " WHERE (g, s) NOT IN " + replaced + ";");
    changes.rows.removed =
        count("SELECT count(*) FROM " + removed + " WHERE (g, s) NOT IN " + replaced + ";");
    changes.guids.changed =
        count("SELECT count(*) FROM (SELECT g FROM " + added + " UNION SELECT g FROM " + removed +
              " INTERSECT " + guidsNew + " INTERSECT " + guidsOld + ");");
    return std::string();
  });
  return error.empty();
}

bool CGuidDB::HasSearchIndexes(const std::string& file) {
  return OnReadOnly(file,
                    [](FX::CSQLite3DB& db) {
                      return std::string(db.ExecScalarInt64(kSearchIndexCount, 0) == 2 ? "" : "no");
                    })
      .empty();
}

bool CGuidDB::ClearLeftoverJournal(const std::string& file, std::string* why) {
  bool any = false;
  struct stat st;
  for (const char* suffix : hostfs::kSqliteSidecars)
    any = any || ::lstat((file + suffix).c_str(), &st) == 0;
  if (!any) return true;

  if (FXFile::DoesFileExist(file)) {
    // The first read rolls back a hot journal (or checkpoints a WAL) and
    // SQLite then deletes it. A damaged old file may refuse; it is about to
    // be replaced, so the leftovers are removed by hand below.
    try {
      FX::CSQLite3DB old(file);
      old.ExecScalarInt64("SELECT count(*) FROM sqlite_master", 0);
      event.DebugLvl("ClearLeftoverJournal", 2,
                     "Resolved the journal left beside [%s] by an interrupted writer",
                     file.c_str());
    } catch (const std::exception& e) {
      event.DebugLvl("ClearLeftoverJournal", 2, "Could not resolve the journal beside [%s]: %s",
                     file.c_str(), e.what());
    }
  }
  for (const char* suffix : hostfs::kSqliteSidecars) {
    const std::string path = file + suffix;
    if (::unlink(path.c_str()) == 0) {
      event.DebugLvl("ClearLeftoverJournal", 2, "Removed stale [%s] left by an interrupted writer",
                     path.c_str());
    } else if (errno != ENOENT) {
      if (why != nullptr)
        *why = "cannot remove stale [" + path +
               "] beside the local GUID database: " + hostfs::ErrnoText(errno);
      return false;
    }
  }
  return true;
}
