#include "guiddb/GuidDB.h"

#include <stdexcept>
#include <utility>

#include "guiddb/GuidDBSchema.h"
#include "host/EventLog.h"
#include "host/FXPath.h"
#include "host/FXString.h"
#include "host/SQLite3.h"

// The library's event log: the database class writes every line through it.
EvEvent event;

namespace {

using namespace guidschema;

std::string DbPath(const char* folder) {
  std::string path = folder != nullptr ? folder : "";
  FXPath::Append(path, GUIDDB_NAME, 0);
  return path;
}

// The connection, or an exception that the caller's handler turns into its
// failure result and log line: an operation called before a successful Open
// or Create fails cleanly instead of following a null pointer.
FX::CSQLite3DB& Connected(const std::unique_ptr<FX::CSQLite3DB>& db) {
  if (!db) throw std::logic_error("no database connection");
  return *db;
}

// The one place where an error of the access layer becomes an operation's
// failure result: SQLite's text and result code are kept in `last`, and
// `log` writes the operation's own line with the text. Nothing leaves as an
// exception.
template <typename Result, typename Body, typename Log>
Result Guarded(Status& last, Result failure, Body&& body, Log&& log) {
  try {
    return body();
  } catch (const FX::CSQLite3Exception& e) {
    last = Status::Database(e.what(), e.code());
  } catch (const std::exception& e) {
    last = Status(Status::Code::kDatabase, e.what());
  } catch (...) {
    last = Status(Status::Code::kDatabase, "unknown error");
  }
  log(last.context().c_str());
  return failure;
}

// BEGIN, COMMIT and ROLLBACK: 0, or -1 with SQLite's text and code in `last`.
int RunTransactionStatement(FX::CSQLite3DB* db, const char* tag, const char* verb, Status& last) {
  const int result = Guarded(
      last, -1,
      [&] {
        if (db == nullptr) throw std::logic_error("no database connection");
        db->ExecDML(std::string(verb) + ";");
        event.DebugLvl(tag, 2, "%s successfully executed", verb);
        return 0;
      },
      [&](const char* why) { event.DebugLvl(tag, 1, "%s failed, error=[%s]", verb, why); });
  if (result != 0)
    last =
        Status(last.code(), std::string(verb) + " failed: " + last.context(), 0, last.sqliteCode());
  return result;
}

}  // namespace

std::string EscapeSingleQuotesToLower(const std::string& s) {
  std::string quoted = FXString::CopyAndReplaceAll(s, "'", "''");
  FXString::ToLower(quoted);
  return quoted;
}

std::string SGuidRecord::getGuid() const { return FXString::ToString(guid); }

SQueryHandle::~SQueryHandle() {
  // The cursor goes before the statement it might refer to.
  query.reset();
  statement.reset();
}

CGuidDB::CGuidDB() = default;

CGuidDB::~CGuidDB() = default;

int CGuidDB::Open(const char* folder) {
  // Without a folder the path would name a file at the root of the file
  // system: there is nothing of ours there.
  if (folder == nullptr || *folder == '\0') return 1;
  const std::string path = DbPath(folder);
  // Opening would create an empty file; a reader must not leave one behind.
  if (!FXFile::DoesFileExist(path)) return 1;
  return Guarded(
      lastStatus_, -1,
      [&] {
        // Taken before SQLite reads a byte: a change made after this (a `cp` over
        // the file needs no lock of ours) then shows at the next check.
        const FileIdentity identity = IdentityOf(path);
        // A failed construction leaves the previous connection in place.
        auto db = std::make_unique<FX::CSQLite3DB>(path);
        DropStatements();
        db_ = std::move(db);
        // SQLite reads the file only now: a file that is no database fails here.
        if (db_->ExecScalarInt64(kTableTest, 0) == 0) return 1;
        folder_ = folder;
        openedPath_ = path;
        opened_ = identity;
        return 0;
      },
      [&](const char* why) {
        event.DebugLvl("Open", 1, "Cannot open connection to db file [%s], error=[%s]",
                       path.c_str(), why);
      });
}

int CGuidDB::Create(const char* folder) {
  const std::string path = DbPath(folder);
  return Guarded(
      lastStatus_, -1,
      [&] {
        if (folder == nullptr || *folder == '\0') throw std::invalid_argument("no folder given");
        auto db = std::make_unique<FX::CSQLite3DB>(path);
        DropStatements();
        db_ = std::move(db);
        // An existing table is kept whatever its schema; Upgrade_To_10 handles
        // the old one.
        if (db_->ExecScalarInt64(kTableTest, 0) == 0) {
          for (const char* statement : kSchema) db_->ExecDML(statement);
          for (const char* statement : kSearchIndexes) db_->ExecDML(statement);
        }
        folder_ = folder;
        return 0;
      },
      [&](const char* why) {
        event.DebugLvl("Create", 1, "Cannot create the Volume table [%s], error=[%s]", path.c_str(),
                       why);
      });
}

int CGuidDB::Upgrade_To_10() {
  return Guarded(
      lastStatus_, -1,
      [&] {
        std::unique_ptr<SQueryHandle> probe = FindByQuery(kOldSchemaProbe);
        if (!probe) return -1;
        bool oldSchema = false;
        if (probe->query->NextRow()) oldSchema = *probe->query->GetStringField(0, "") != '\0';
        if (!oldSchema) {
          event.DebugLvl("Upgrade_To_10", 1, "%s",
                         "Found new version of the db, continuing without upgrade...");
          return 0;
        }
        // An open statement on the table would make DROP TABLE fail with
        // "database table is locked".
        probe.reset();
        event.DebugLvl("Upgrade_To_10", 1, "%s",
                       "Found old version of the db, going to upgrade to new version (10.0)");
        FX::CSQLite3DB& db = Connected(db_);
        for (const char* statement : kUpgradeTo10) db.ExecDML(statement);
        for (const char* statement : kSearchIndexes) db.ExecDML(statement);
        event.DebugLvl("Upgrade_To_10", 1, "%s",
                       "Db upgraded to new version (10.0) successfully...");
        return 0;
      },
      [&](const char* why) {
        event.DebugLvl("Upgrade_To_10", 1,
                       "Unable to upgrade to 10.0 schema for database [%s], error=[%s]", "GUID",
                       why);
      });
}

// One statement compiled once per connection and bound per row: a bulk load
// does not parse a new INSERT text for every row. The values are what the
// quoting function gives, less the doubled quotes that only the SQL text
// needed, so the stored bytes are those of a spliced INSERT.
int CGuidDB::Add(SGuidRecord* record) {
  return Guarded(
      lastStatus_, -1,
      [&] {
        FX::CSQLite3DB& db = Connected(db_);
        if (!insert_) insert_ = db.CompileStatement("INSERT INTO GUID VALUES (?, ?, ?);");
        // Up to a NUL byte, as the C text of a spliced INSERT held it.
        std::string name = record->name.c_str();
        std::string guid = record->getGuid().c_str();
        FXString::ToLower(name);
        FXString::ToLower(guid);
        insert_->Bind(1, name);
        insert_->Bind(2, guid);
        insert_->Bind(3, static_cast<int>(record->status));
        insert_->ExecDML();
        return 0;
      },
      [&](const char* why) {
        event.DebugLvl("Add", 1,
                       "Failed to add the record to database, Guid=[%s], Name=[%s], error=[%s]",
                       record->guid.c_str(), record->name.c_str(), why);
      });
}

int CGuidDB::begin() { return RunTransactionStatement(db_.get(), "begin", "BEGIN", lastStatus_); }

int CGuidDB::commit() {
  return RunTransactionStatement(db_.get(), "commit", "COMMIT", lastStatus_);
}

int CGuidDB::rollback() {
  return RunTransactionStatement(db_.get(), "rollback", "ROLLBACK", lastStatus_);
}

int CGuidDB::Delete(SGuidRecord* record) {
  return Guarded(
      lastStatus_, -1,
      [&] {
        const std::string sql =
            record == nullptr ? std::string("DELETE FROM GUID;")
                              : FXString::Format("DELETE FROM GUID WHERE Name='%s';",
                                                 EscapeSingleQuotesToLower(record->name).c_str());
        Connected(db_).ExecDML(sql);
        return 0;
      },
      [&](const char* why) {
        if (record == nullptr) {
          event.DebugLvl("Delete", 1, "Cannot execute the query to delete all records, error=[%s]",
                         why);
        } else {
          event.DebugLvl(
              "Delete", 1,
              "Cannot execute the query to delete record, GUID=[%s], Name=[%s], error=[%s]",
              record->guid.c_str(), record->name.c_str(), why);
        }
      });
}

int CGuidDB::Find(const char* name, SGuidRecord* record) {
  return Guarded(
      lastStatus_, -1,
      [&] {
        const std::string sql = "SELECT * FROM GUID WHERE Name='" +
                                EscapeSingleQuotesToLower(name != nullptr ? name : "") + "';";
        std::unique_ptr<SQueryHandle> handle = FindByQuery(sql.c_str());
        if (!handle) return -1;
        return FindNext(handle.get(), record);
      },
      [&](const char* why) {
        event.DebugLvl("Find", 1,
                       "Cannot execute the query to determine least accessed volumes, error=[%s]",
                       why);
      });
}

std::unique_ptr<SQueryHandle> CGuidDB::FindByQuery(const char* sql) {
  const char* text = sql != nullptr ? sql : "";
  return Guarded(
      lastStatus_, std::unique_ptr<SQueryHandle>(),
      [&] {
        auto handle = std::make_unique<SQueryHandle>();
        handle->query = Connected(db_).ExecQuerySetup(text);
        return handle;
      },
      [&](const char* why) {
        event.DebugLvl("FindByQuery", 1, "Cannot execute query [%s], error=[%s]", text, why);
      });
}

int CGuidDB::FindNext(SQueryHandle* handle, SGuidRecord* record) {
  return Guarded(
      lastStatus_, -1,
      [&] {
        if (!handle->query) throw std::logic_error("no open query");
        FX::CSQLite3Query& query = *handle->query;
        if (!query.NextRow()) return 1;
        // Columns by position: every query read here yields name, GUID, status.
        record->guid = query.GetStringField(1, "");
        record->name = query.GetStringField(0, "");
        record->status = query.GetIntField(2, 0);
        return 0;
      },
      [&](const char* why) {
        event.DebugLvl("FindNext", 1, "Cannot find record, error=[%s]", why);
      });
}

void CGuidDB::FindClose(std::unique_ptr<SQueryHandle>& handle) { handle.reset(); }

// By name, the address must match literally: addresses such as
// john_smith@corp.example are common, and a LIKE pattern would let its '_'
// match johnxsmith@corp.example and hand back another person's GUID. NOCASE
// keeps the match blind to ASCII case, as LIKE was. By GUID the text stays a
// LIKE pattern, so callers may search by prefix ("{ab%").
//
// Both searches are compiled once per connection and bound per call: a
// private-mode miss then costs one step through an index, not a parse of new
// SQL text. The statement is reset before the call returns, so no read
// transaction (and no lock on the file) outlives it. Log lines quote the SQL
// as it would be spliced, the text an operator can paste into a shell.
int CGuidDB::FindAllRecordsForGUIDFromSMTP(const char* text, GuidRecordMap& records, bool byName) {
  auto spliced = [&] {
    const std::string quoted = EscapeSingleQuotesToLower(text != nullptr ? text : "");
    return byName ? "SELECT * FROM GUID WHERE GUID=(SELECT GUID FROM GUID WHERE Name='" + quoted +
                        "' COLLATE NOCASE LIMIT 1);"
                  : "SELECT * FROM GUID WHERE GUID LIKE '" + quoted + "';";
  };
  return Guarded(
      lastStatus_, -1,
      [&] {
        std::unique_ptr<FX::CSQLite3Statement>& search = byName ? searchByName_ : searchByGuid_;
        if (!search) {
          const bool compiled = Guarded(
              lastStatus_, false,
              [&] {
                search = Connected(db_).CompileStatement(
                    byName ? "SELECT * FROM GUID WHERE GUID=(SELECT GUID FROM GUID WHERE Name=? "
                             "COLLATE "
                             "NOCASE LIMIT 1);"
                           : "SELECT * FROM GUID WHERE GUID LIKE ?;");
                return true;
              },
              [&](const char* why) {
                event.DebugLvl("FindByQuery", 1, "Cannot execute query [%s], error=[%s]",
                               spliced().c_str(), why);
              });
          if (!compiled) return -1;
        }
        // Up to a NUL byte, as the spliced text held it.
        std::string value = text != nullptr ? text : "";
        FXString::ToLower(value);
        search->Bind(1, value);
        struct ResetAtEnd {
          FX::CSQLite3Statement& statement;
          ~ResetAtEnd() { statement.Reset(); }
        } reset{*search};
        for (;;) {
          const int row = Guarded(
              lastStatus_, -1, [&] { return search->Step() ? 1 : 0; },
              [&](const char* why) {
                event.DebugLvl("FindNext", 1, "Cannot find record, error=[%s]", why);
                event.DebugLvl("FindAllRecordsForGUIDFromSMTP", 1,
                               "Error retrieving records for query [%s]", spliced().c_str());
              });
          if (row < 0) return -1;
          if (row == 0) return 1;
          // Columns by position: name, GUID, status.
          SGuidRecord record;
          record.guid = search->GetString(1);
          record.name = search->GetString(0);
          record.status = search->GetInt(2, 0);
          const int32_t status = record.status;
          records.emplace(status, std::move(record));  // after equal keys: read order kept
        }
      },
      [&](const char* why) {
        event.DebugLvl("FindAllRecordsForGUIDFromSMTP", 1,
                       "Cannot execute the query to determine least accessed volumes, error=[%s]",
                       why);
      });
}

// A file rewritten in place keeps its device and inode, and a copy of
// another database may even keep its size and SQLite's change counter (which
// SQLite itself compares at every read transaction, and then trusts its page
// cache). What always moves is the file's times, but only by the file
// system's timestamp granularity (a clock tick, up to two seconds on some
// file systems): a write within the same tick as the change before it leaves
// the times as they were. So an identity taken less than that after the
// file's last change is never trusted, and the file is simply reopened.
bool CGuidDB::IsStillTheFileOpened() const {
  if (!db_ || !opened_.settled) return false;
  const FileIdentity now = IdentityOf(openedPath_);
  return now.found && now.device == opened_.device && now.inode == opened_.inode &&
         now.size == opened_.size && now.modified == opened_.modified &&
         now.changed == opened_.changed;
}

namespace {

// Runs a list of schema statements; one log line and -1 on the first failure.
template <size_t N>
int RunSchemaStatements(FX::CSQLite3DB* db, const char* tag, const char* const (&statements)[N],
                        Status& last) {
  return Guarded(
      last, -1,
      [&] {
        if (!db) throw std::logic_error("no database connection");
        for (const char* statement : statements) db->ExecDML(statement);
        return 0;
      },
      [&](const char* why) {
        event.DebugLvl(tag, 1, "Cannot change the indexes of the GUID table, error=[%s]", why);
      });
}

}  // namespace

int CGuidDB::CreateSearchIndexes() {
  return RunSchemaStatements(db_.get(), "CreateSearchIndexes", kSearchIndexes, lastStatus_);
}

int CGuidDB::DropIndexes() {
  return RunSchemaStatements(db_.get(), "DropIndexes", kDropIndexes, lastStatus_);
}

int CGuidDB::CreateIndexes() {
  return RunSchemaStatements(db_.get(), "CreateIndexes", kAllIndexes, lastStatus_);
}

bool CGuidDB::InTransaction() const { return db_ && db_->InTransaction(); }

int CGuidDB::CreateForBulkLoad(const std::string& file) {
  return Guarded(
      lastStatus_, -1,
      [&] {
        auto db = std::make_unique<FX::CSQLite3DB>(file);
        // A journal in memory still lets a failed row or batch roll back; only a
        // crash could leave the file torn, and a crashed load is thrown away.
        // A large page cache keeps the table's pages from spilling before each
        // commit.
        db->ExecDML(
            "PRAGMA journal_mode=MEMORY; PRAGMA synchronous=OFF; PRAGMA cache_size=-65536; PRAGMA "
            "threads=2;");
        db->ExecDML(kSchema[0]);
        DropStatements();
        db_ = std::move(db);
        folder_.clear();
        return 0;
      },
      [&](const char* why) {
        event.DebugLvl("CreateForBulkLoad", 1, "Cannot create the database [%s], error=[%s]",
                       file.c_str(), why);
      });
}

int CGuidDB::CountRows(long& rows) {
  return Guarded(
      lastStatus_, -1,
      [&] {
        rows = Connected(db_).ExecScalarInt64("SELECT COUNT(*) FROM GUID;", 0);
        return 0;
      },
      [&](const char* why) {
        event.DebugLvl("CountRows", 1, "Cannot count the rows of the GUID table, error=[%s]", why);
      });
}

void CGuidDB::DropStatements() {
  insert_.reset();
  searchByName_.reset();
  searchByGuid_.reset();
}

void CGuidDB::Close() {
  DropStatements();
  db_.reset();
  folder_.clear();
}

int CGuidDB::KeepOneHolderPerAddress(SSharedAddresses& shared, size_t examples) {
  shared = SSharedAddresses();
  return Guarded(
      lastStatus_, -1,
      [&] {
        if (!db_) throw std::logic_error("no database connection");
        const std::string held =
            "SELECT Name FROM GUID WHERE Status IN (1,2) GROUP BY Name "
            "HAVING count(DISTINCT lower(GUID)) > 1";
        shared.addresses =
            static_cast<uint64_t>(db_->ExecScalarInt64("SELECT count(*) FROM (" + held + ");", 0));
        if (shared.addresses == 0) return 0;
        auto query =
            db_->ExecQuerySetup(held + " ORDER BY Name LIMIT " + std::to_string(examples) + ";");
        while (query->NextRow()) shared.examples.push_back(query->GetStringField(0, ""));
        query.reset();
        const long before = db_->ExecScalarInt64("SELECT count(*) FROM GUID;", 0);
        db_->ExecDML(
            "DELETE FROM GUID WHERE rowid IN (SELECT id FROM (SELECT rowid AS id, lower(GUID) AS "
            "g, first_value(lower(GUID)) OVER (PARTITION BY Name ORDER BY Status, lower(GUID)) "
            "AS w FROM GUID WHERE Status IN (1,2)) WHERE g <> w);");
        shared.rowsDropped =
            static_cast<uint64_t>(before - db_->ExecScalarInt64("SELECT count(*) FROM GUID;", 0));
        return 0;
      },
      [&](const char* why) {
        event.DebugLvl("KeepOneHolderPerAddress", 1,
                       "Cannot settle the addresses several GUIDs hold, error=[%s]", why);
      });
}

const char* CGuidDB::LoaderQuery(bool exchange, bool onlyOwnForm) {
  if (exchange)
    return onlyOwnForm ? "SELECT name,upper(guid),status FROM GUID WHERE GUID LIKE '{%}' order by "
                         "upper(GUID);"
                       : "SELECT name,upper(guid),status FROM GUID order by upper(GUID);";
  return onlyOwnForm ? "SELECT * FROM GUID WHERE GUID NOT LIKE '{%}' order by GUID;"
                     : "SELECT * FROM GUID order by GUID;";
}
