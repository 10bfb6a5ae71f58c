// The SQLite access layer: a connection, a cursor and a statement.
//
// Every failure throws CSQLite3Exception, whose what() carries SQLite's own
// error text (for example "file is not a database"). <sqlite3.h> stays inside
// SQLite3.cpp.
//
// Thread-safety: a connection and its cursors belong to one thread at a time.
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "host/Export.h"

struct sqlite3;
struct sqlite3_stmt;

namespace FX {

// Owner of one prepared statement: finalises it exactly once.
struct GUIDLOOKUPS_EXPORT StatementDeleter {
  void operator()(sqlite3_stmt* statement) const;
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

class GUIDLOOKUPS_EXPORT CSQLite3Exception : public std::exception {
 public:
  CSQLite3Exception(int code, std::string message);
  const char* what() const noexcept override { return message_.c_str(); }
  // SQLite's (extended) result code.
  int code() const { return code_; }

 private:
  int code_;
  std::string message_;
};

class CSQLite3Query;
class CSQLite3Statement;

class GUIDLOOKUPS_EXPORT CSQLite3DB {
 public:
  // How long a statement waits for a lock that another connection holds (an
  // operator's sqlite3 shell, say) before it fails with "database is locked".
  // GUIDLOOKUPS_SQLITE_BUSY_TIMEOUT_MS (read at each open) overrides it.
  static constexpr int kBusyTimeoutMs = 30000;

  // Opens the file read-write, creating an empty database when it does not
  // exist. Throws when it cannot be opened. The connection is closed even
  // when the open failed.
  explicit CSQLite3DB(const std::string& path);
  // Opens the file read-only (never creates it) when `readOnly` is true.
  CSQLite3DB(const std::string& path, bool readOnly);
  virtual ~CSQLite3DB();
  CSQLite3DB(const CSQLite3DB&) = delete;
  CSQLite3DB& operator=(const CSQLite3DB&) = delete;

  // Executes every statement of `sql` (none may return rows). Returns 0.
  int ExecDML(const std::string& sql);
  // The first column of the first row as a 64-bit integer; `nullValue` when
  // there is no row or the value is null.
  long ExecScalarInt64(const std::string& sql, long nullValue);
  // Prepares the first statement of `sql`; the cursor stands before the first
  // row (a text without a statement gives a cursor without rows). It should
  // be released before the connection is destroyed.
  boost::shared_ptr<CSQLite3Query> ExecQuerySetup(const std::string& sql);

  // Prepares one statement for repeated execution with bound values.
  // Throws when `sql` does not compile. The statement must be destroyed
  // before the connection.
  std::unique_ptr<CSQLite3Statement> CompileStatement(const std::string& sql);

  // True while a transaction is open on this connection: after a COMMIT that
  // failed, for instance, the transaction is still open.
  bool InTransaction() const;

 private:
  sqlite3* db_ = nullptr;
};

class GUIDLOOKUPS_EXPORT CSQLite3Query {
 public:
  // Takes ownership of a prepared statement of `db` (null: no rows).
  CSQLite3Query(sqlite3* db, StatementPtr statement);
  ~CSQLite3Query();
  CSQLite3Query(const CSQLite3Query&) = delete;
  CSQLite3Query& operator=(const CSQLite3Query&) = delete;

  // Steps to the next row: true when a row is current, false at the end
  // (and on every call after it). Throws on an error (a corrupt page, say),
  // and throws the same error on every call after it.
  bool NextRow();
  // Column `field` (from 0) of the current row as text; `nullValue` for NULL.
  // Never null. Throws for a column out of range or when no row is current.
  const char* GetStringField(int field, const char* nullValue);
  int GetIntField(int field, int nullValue);

 private:
  sqlite3* db_;
  StatementPtr statement_;
  bool hasRow_ = false;
  bool done_ = false;
  int errorCode_ = 0;  // non-zero once a step failed
  std::string error_;
};

// A prepared statement that is run again and again with new values, without
// compiling its text each time. An empty one (default-constructed) holds no
// statement and throws on use.
class GUIDLOOKUPS_EXPORT CSQLite3Statement {
 public:
  CSQLite3Statement() = default;
  // Takes ownership of a prepared statement of `db`.
  CSQLite3Statement(sqlite3* db, StatementPtr statement);
  ~CSQLite3Statement();
  CSQLite3Statement(const CSQLite3Statement&) = delete;
  CSQLite3Statement& operator=(const CSQLite3Statement&) = delete;

  // Binds parameter `param` (from 1); the text is copied.
  void Bind(int param, const std::string& value);
  void Bind(int param, int value);
  // Runs the statement to its end with the bound values, then resets it (the
  // bindings stay). Returns the number of rows changed; throws on an error,
  // after which the statement may be run again.
  int ExecDML();

  // Steps a query: true when a row is current, false at its end. Throws on
  // an error. Reset() must follow (it ends the read transaction the steps
  // opened); the bindings stay.
  bool Step();
  // Column `field` (from 0) of the current row; "" or `nullValue` for NULL.
  std::string GetString(int field);
  int GetInt(int field, int nullValue);
  void Reset();

 private:
  sqlite3* db_ = nullptr;
  StatementPtr statement_;
};

}  // namespace FX
