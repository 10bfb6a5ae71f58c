#include "host/SQLite3.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

#include "support/GuidDBSupport.h"
#include "support/TestSupport.h"

namespace {

using FX::CSQLite3DB;
using FX::CSQLite3Exception;
using FX::CSQLite3Query;

class SQLite3Test : public ::testing::Test {
 protected:
  std::string File(const char* name = "test.db") const { return dir_.file(name); }

  // The text of the CSQLite3Exception that `body` throws, or "<no throw>".
  static std::string ErrorOf(const std::function<void()>& body) {
    try {
      body();
    } catch (const CSQLite3Exception& e) {
      return e.what();
    }
    return "<no throw>";
  }

  testsupport::TempDir dir_;
};

TEST_F(SQLite3Test, ExecDMLRunsEveryStatementAndReturnsZero) {
  CSQLite3DB db(File());
  EXPECT_EQ(0, db.ExecDML("CREATE TABLE t(a INTEGER); INSERT INTO t VALUES(1); "
                          "INSERT INTO t VALUES(2);"));
  EXPECT_EQ(2, db.ExecScalarInt64("SELECT COUNT(*) FROM t;", 0));
}

TEST_F(SQLite3Test, FailuresCarrySQLitesOwnText) {
  CSQLite3DB db(File());
  EXPECT_EQ("no such table: missing",
            ErrorOf([&] { db.ExecDML("INSERT INTO missing VALUES(1);"); }));
  EXPECT_EQ("no such table: missing",
            ErrorOf([&] { db.ExecScalarInt64("SELECT COUNT(*) FROM missing;", 0); }));
  EXPECT_EQ("near \"SELEC\": syntax error", ErrorOf([&] { db.ExecQuerySetup("SELEC 1;"); }));
  try {
    db.ExecDML("CREATE TABLE t(a); CREATE TABLE t(a);");
    FAIL() << "a second CREATE TABLE must throw";
  } catch (const CSQLite3Exception& e) {
    EXPECT_STREQ("table t already exists", e.what());
    EXPECT_EQ(1, e.code());  // SQLITE_ERROR
  }
}

TEST_F(SQLite3Test, ExecScalarInt64KeepsSixtyFourBitsAndGivesNullValueForNullOrNoRow) {
  CSQLite3DB db(File());
  db.ExecDML("CREATE TABLE t(a INTEGER);");
  EXPECT_EQ(1099511627776L, db.ExecScalarInt64("SELECT 1099511627776;", 0));
  EXPECT_EQ(-7, db.ExecScalarInt64("SELECT a FROM t;", -7));
  EXPECT_EQ(-7, db.ExecScalarInt64("SELECT NULL;", -7));
}

TEST_F(SQLite3Test, CursorStartsBeforeFirstRowAndStaysAtItsEnd) {
  CSQLite3DB db(File());
  db.ExecDML("CREATE TABLE t(n TEXT, v INTEGER); INSERT INTO t VALUES('a', 1), ('b', 2);");
  boost::shared_ptr<CSQLite3Query> q = db.ExecQuerySetup("SELECT n, v FROM t ORDER BY v;");
  EXPECT_EQ("no current row", ErrorOf([&] { q->GetStringField(0, ""); }));
  ASSERT_TRUE(q->NextRow());
  EXPECT_STREQ("a", q->GetStringField(0, ""));
  EXPECT_EQ(1, q->GetIntField(1, 0));
  ASSERT_TRUE(q->NextRow());
  EXPECT_STREQ("b", q->GetStringField(0, ""));
  EXPECT_FALSE(q->NextRow());
  EXPECT_FALSE(q->NextRow()) << "a finished cursor must not start over";
  EXPECT_EQ("no current row", ErrorOf([&] { q->GetIntField(1, 0); }));
}

TEST_F(SQLite3Test, NullFieldsReadAsTheGivenDefaultAndTextIsNeverNull) {
  CSQLite3DB db(File());
  boost::shared_ptr<CSQLite3Query> q = db.ExecQuerySetup("SELECT NULL, NULL, 5;");
  ASSERT_TRUE(q->NextRow());
  EXPECT_STREQ("", q->GetStringField(0, ""));
  ASSERT_NE(nullptr, q->GetStringField(0, nullptr));
  EXPECT_STREQ("", q->GetStringField(0, nullptr));
  EXPECT_EQ(42, q->GetIntField(1, 42));
  EXPECT_STREQ("5", q->GetStringField(2, ""));
  EXPECT_EQ("column index out of range", ErrorOf([&] { q->GetStringField(3, ""); }));
  EXPECT_EQ("column index out of range", ErrorOf([&] { q->GetIntField(-1, 0); }));
}

TEST_F(SQLite3Test, EmptyQueryTextGivesACursorWithoutRows) {
  CSQLite3DB db(File());
  boost::shared_ptr<CSQLite3Query> q = db.ExecQuerySetup("  -- nothing\n");
  EXPECT_FALSE(q->NextRow());
}

TEST_F(SQLite3Test, GarbageFileOpensButFailsAtItsFirstStatement) {
  const std::string garbage(8192, '\x5a');
  testsupport::WriteFile(File(), garbage);
  CSQLite3DB db(File());  // SQLite reads the file lazily
  EXPECT_EQ("file is not a database",
            ErrorOf([&] { db.ExecScalarInt64("SELECT COUNT(*) FROM SQLITE_MASTER;", 0); }));
  EXPECT_EQ("file is not a database", ErrorOf([&] { db.ExecDML("CREATE TABLE t(a);"); }));
  EXPECT_EQ(garbage, testsupport::ReadFile(File()));
}

TEST_F(SQLite3Test, OpenFailureThrowsAndCreatesNothing) {
  EXPECT_EQ("unable to open database file",
            ErrorOf([&] { CSQLite3DB db(dir_.file("no/such/folder/x.db")); }));
  EXPECT_EQ("unable to open database file", ErrorOf([&] { CSQLite3DB db(File(), true); }));
  EXPECT_NE(0, access(File().c_str(), F_OK)) << "a read-only open must not create the file";
}

TEST_F(SQLite3Test, ReadOnlyConnectionRefusesWrites) {
  CSQLite3DB(File()).ExecDML("CREATE TABLE t(a);");
  CSQLite3DB db(File(), true);
  EXPECT_EQ(1, db.ExecScalarInt64("SELECT COUNT(*) FROM sqlite_master;", 0));
  EXPECT_EQ("attempt to write a readonly database",
            ErrorOf([&] { db.ExecDML("INSERT INTO t VALUES(1);"); }));
}

// A failed step must not read as the end of the rows (a caller would take a
// damaged table for a short one), nor start the scan over when retried.
TEST_F(SQLite3Test, CursorOnADamagedTableFailsOnEveryLaterStep) {
  testsupport::MakeGuidDb(dir_.path(), testsupport::ManyRows(4000));
  const std::string file = dir_.file("GUIDDB.DAT");
  testsupport::TruncateToHalf(file, true);
  CSQLite3DB db(file);
  boost::shared_ptr<CSQLite3Query> q = db.ExecQuerySetup("SELECT * FROM GUID;");
  int rows = 0;
  std::string error;
  try {
    while (q->NextRow()) ++rows;
  } catch (const CSQLite3Exception& e) {
    error = e.what();
  }
  EXPECT_EQ("database disk image is malformed", error);
  EXPECT_GT(rows, 0);
  EXPECT_LT(rows, 4000);
  EXPECT_EQ("database disk image is malformed", ErrorOf([&] { q->NextRow(); }));
}

// Without a busy timeout, a write that meets another process's lock (an
// operator's sqlite3 shell holds no named mutex) fails at once with
// "database is locked".
TEST_F(SQLite3Test, BusyTimeoutWaitsForAnotherProcessesLock) {
  CSQLite3DB(File()).ExecDML("CREATE TABLE t(a);");
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  const pid_t child = testsupport::ForkChild([&] {
    close(ready[0]);
    CSQLite3DB other(File());
    other.ExecDML("BEGIN EXCLUSIVE; INSERT INTO t VALUES(1);");
    if (write(ready[1], "x", 1) != 1) return 2;
    usleep(500 * 1000);
    other.ExecDML("COMMIT;");
    return 0;
  });
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(1, read(ready[0], &byte, 1));
  close(ready[0]);
  CSQLite3DB db(File());
  EXPECT_EQ(0, db.ExecDML("INSERT INTO t VALUES(2);"));
  EXPECT_EQ(0, testsupport::WaitChild(child));
  EXPECT_EQ(2, db.ExecScalarInt64("SELECT COUNT(*) FROM t;", 0));
}

TEST_F(SQLite3Test, CursorReleasedAfterItsConnectionLeaksNothing) {
  auto db = std::make_unique<CSQLite3DB>(File());
  boost::shared_ptr<CSQLite3Query> q = db->ExecQuerySetup("SELECT 1;");
  db.reset();
  q.reset();  // the sanitizer build reports a leaked connection or a double close
}

}  // namespace
