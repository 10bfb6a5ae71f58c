#include "host/SQLite3.h"

#include <sqlite3.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "host/HostConfig.h"

namespace FX {

namespace {

// The busy timeout of new connections: GUIDLOOKUPS_SQLITE_BUSY_TIMEOUT_MS
// when it holds a number from 0 to one hour, else the default.
int BusyTimeoutMs() {
  return hostconfig::GetNumber(hostconfig::Knob::kSqliteBusyTimeoutMs, 0, 3600000,
                               FX::CSQLite3DB::kBusyTimeoutMs);
}

// SQLite keeps the text of the last error on the connection; a failed open
// may leave no connection at all, and then only the code has a text.
[[noreturn]] void ThrowError(sqlite3* db, int rc) {
  if (db != nullptr) throw CSQLite3Exception(sqlite3_extended_errcode(db), sqlite3_errmsg(db));
  throw CSQLite3Exception(rc, sqlite3_errstr(rc));
}

// Prepares the first statement of `sql`; the rest of the text is ignored.
// An empty text (or one holding only comments) gives a null statement.
StatementPtr Prepare(sqlite3* db, const std::string& sql) {
  if (db == nullptr) throw CSQLite3Exception(SQLITE_MISUSE, "no database connection");
  sqlite3_stmt* raw = nullptr;
  const int rc =
      sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()) + 1, &raw, nullptr);
  StatementPtr statement(raw);
  if (rc != SQLITE_OK) ThrowError(db, rc);
  return statement;
}

}  // namespace

void StatementDeleter::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

CSQLite3Exception::CSQLite3Exception(int code, std::string message)
    : code_(code), message_(std::move(message)) {}

CSQLite3DB::CSQLite3DB(const std::string& path) : CSQLite3DB(path, false) {}

CSQLite3DB::CSQLite3DB(const std::string& path, bool readOnly) {
  const int flags = readOnly ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    // sqlite3_open_v2 hands back a connection even when it fails (unless
    // memory ran out); it must be closed, after its message is taken.
    CSQLite3Exception error(db != nullptr ? sqlite3_extended_errcode(db) : rc,
                            db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    throw error;
  }
  // Our own processes serialise on a named mutex, but an operator's sqlite3
  // shell does not: without a timeout its read lock would make our next
  // write fail at once with "database is locked" instead of waiting.
  sqlite3_busy_timeout(db, BusyTimeoutMs());
  db_ = db;
}

CSQLite3DB::~CSQLite3DB() {
  // close_v2: should a cursor outlive its connection (a caller's mistake),
  // the connection closes when that cursor is finalised instead of leaking.
  sqlite3_close_v2(db_);
}

int CSQLite3DB::ExecDML(const std::string& sql) {
  if (db_ == nullptr) throw CSQLite3Exception(SQLITE_MISUSE, "no database connection");
  char* error = nullptr;
  const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    std::string message = error != nullptr ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    throw CSQLite3Exception(sqlite3_extended_errcode(db_), std::move(message));
  }
  return 0;
}

long CSQLite3DB::ExecScalarInt64(const std::string& sql, long nullValue) {
  StatementPtr statement = Prepare(db_, sql);
  if (!statement) return nullValue;
  const int rc = sqlite3_step(statement.get());
  if (rc == SQLITE_DONE) return nullValue;
  if (rc != SQLITE_ROW) ThrowError(db_, rc);
  if (sqlite3_column_count(statement.get()) < 1 ||
      sqlite3_column_type(statement.get(), 0) == SQLITE_NULL)
    return nullValue;
  return static_cast<long>(sqlite3_column_int64(statement.get(), 0));
}

boost::shared_ptr<CSQLite3Query> CSQLite3DB::ExecQuerySetup(const std::string& sql) {
  return boost::shared_ptr<CSQLite3Query>(new CSQLite3Query(db_, Prepare(db_, sql)));
}

std::unique_ptr<CSQLite3Statement> CSQLite3DB::CompileStatement(const std::string& sql) {
  StatementPtr statement = Prepare(db_, sql);
  if (!statement) throw CSQLite3Exception(SQLITE_MISUSE, "no statement in [" + sql + "]");
  return std::make_unique<CSQLite3Statement>(db_, std::move(statement));
}

CSQLite3Statement::CSQLite3Statement(sqlite3* db, StatementPtr statement)
    : db_(db), statement_(std::move(statement)) {}

CSQLite3Statement::~CSQLite3Statement() = default;

void CSQLite3Statement::Bind(int param, const std::string& value) {
  if (statement_ == nullptr) throw CSQLite3Exception(SQLITE_MISUSE, "no statement");
  const int rc = sqlite3_bind_text(statement_.get(), param, value.data(),
                                   static_cast<int>(value.size()), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) ThrowError(db_, rc);
}

void CSQLite3Statement::Bind(int param, int value) {
  if (statement_ == nullptr) throw CSQLite3Exception(SQLITE_MISUSE, "no statement");
  const int rc = sqlite3_bind_int(statement_.get(), param, value);
  if (rc != SQLITE_OK) ThrowError(db_, rc);
}

int CSQLite3Statement::ExecDML() {
  if (statement_ == nullptr) throw CSQLite3Exception(SQLITE_MISUSE, "no statement");
  int rc;
  do {
    rc = sqlite3_step(statement_.get());
  } while (rc == SQLITE_ROW);
  if (rc != SQLITE_DONE) {
    // Taken before the reset, which would report the same code again but
    // may replace the text.
    CSQLite3Exception error(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_));
    sqlite3_reset(statement_.get());
    throw error;
  }
  sqlite3_reset(statement_.get());
  return sqlite3_changes(db_);
}

bool CSQLite3Statement::Step() {
  if (statement_ == nullptr) throw CSQLite3Exception(SQLITE_MISUSE, "no statement");
  const int rc = sqlite3_step(statement_.get());
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  throw CSQLite3Exception(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_));
}

std::string CSQLite3Statement::GetString(int field) {
  const unsigned char* text = sqlite3_column_text(statement_.get(), field);
  // As a C string, like the cursor's fields: a value read either way is the
  // same.
  return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
}

int CSQLite3Statement::GetInt(int field, int nullValue) {
  if (sqlite3_column_type(statement_.get(), field) == SQLITE_NULL) return nullValue;
  return sqlite3_column_int(statement_.get(), field);
}

void CSQLite3Statement::Reset() {
  if (statement_ != nullptr) sqlite3_reset(statement_.get());
}

CSQLite3Query::CSQLite3Query(sqlite3* db, StatementPtr statement)
    : db_(db), statement_(std::move(statement)), done_(statement_ == nullptr) {}

CSQLite3Query::~CSQLite3Query() = default;

bool CSQLite3Query::NextRow() {
  // A cursor that failed (a corrupt page, say) keeps failing rather than
  // passing for one that reached its end; stepping it again would instead
  // start the scan over.
  if (errorCode_ != 0) throw CSQLite3Exception(errorCode_, error_);
  if (done_) return false;
  hasRow_ = false;
  const int rc = sqlite3_step(statement_.get());
  if (rc == SQLITE_ROW) {
    hasRow_ = true;
    return true;
  }
  if (rc == SQLITE_DONE) {
    done_ = true;
    return false;
  }
  errorCode_ = sqlite3_extended_errcode(db_);
  if (errorCode_ == SQLITE_OK) errorCode_ = rc;
  error_ = sqlite3_errmsg(db_);
  throw CSQLite3Exception(errorCode_, error_);
}

namespace {

void CheckField(sqlite3_stmt* statement, bool hasRow, int field) {
  if (!hasRow) throw CSQLite3Exception(SQLITE_MISUSE, "no current row");
  if (field < 0 || field >= sqlite3_column_count(statement))
    throw CSQLite3Exception(SQLITE_RANGE, sqlite3_errstr(SQLITE_RANGE));
}

}  // namespace

const char* CSQLite3Query::GetStringField(int field, const char* nullValue) {
  CheckField(statement_.get(), hasRow_, field);
  if (sqlite3_column_type(statement_.get(), field) == SQLITE_NULL)
    return nullValue != nullptr ? nullValue : "";
  const unsigned char* text = sqlite3_column_text(statement_.get(), field);
  // A non-null value converts to null text only when memory ran out.
  if (text == nullptr) ThrowError(db_, SQLITE_NOMEM);
  return reinterpret_cast<const char*>(text);
}

int CSQLite3Query::GetIntField(int field, int nullValue) {
  CheckField(statement_.get(), hasRow_, field);
  if (sqlite3_column_type(statement_.get(), field) == SQLITE_NULL) return nullValue;
  return sqlite3_column_int(statement_.get(), field);
}

}  // namespace FX

bool FX::CSQLite3DB::InTransaction() const {
  return db_ != nullptr && sqlite3_get_autocommit(db_) == 0;
}
