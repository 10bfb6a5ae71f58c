#include "guiddb/GuidDB.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "host/SQLite3.h"
#include "support/GuidDBSupport.h"
#include "support/TestSupport.h"

namespace {

using testsupport::Row;

class GuidDBTest : public ::testing::Test {
 protected:
  const char* Folder() const { return dir_.path().c_str(); }
  std::string File() const { return dir_.file(GUIDDB_NAME); }
  std::string File(const std::string& name) const { return dir_.file(name); }

  // "type:name" of every schema object of the file, sorted, read through a
  // connection of its own.
  std::vector<std::string> Schema() const {
    FX::CSQLite3DB db(File(), true);
    auto q = db.ExecQuerySetup("SELECT type || ':' || name FROM sqlite_master ORDER BY 1;");
    std::vector<std::string> objects;
    while (q->NextRow()) objects.push_back(q->GetStringField(0, ""));
    return objects;
  }

  std::string TableSql(const char* table) const {
    FX::CSQLite3DB db(File(), true);
    auto q =
        db.ExecQuerySetup(std::string("SELECT sql FROM sqlite_master WHERE name='") + table + "';");
    return q->NextRow() ? q->GetStringField(0, "") : "<none>";
  }

  // Every row the handle yields, in order.
  static std::vector<SGuidRecord> ReadAll(CGuidDB& db, const char* sql) {
    std::unique_ptr<SQueryHandle> handle = db.FindByQuery(sql);
    std::vector<SGuidRecord> rows;
    SGuidRecord record;
    while (handle && db.FindNext(handle.get(), &record) == 0) rows.push_back(record);
    return rows;
  }

  static std::vector<std::string> Guids(const GuidRecordMap& records) {
    std::vector<std::string> guids;
    for (const auto& entry : records) guids.push_back(entry.second.guid);
    return guids;
  }

  ::testing::AssertionResult Logged(int level, const char* tag, const std::string& message) {
    return log_->has(level, tag, message);
  }

  testsupport::TempDir dir_;
  testsupport::ScopedLogCapture log_;
};

// ---- Open and Create ------------------------------------------------------

TEST_F(GuidDBTest, OpenWithoutFileReturnsOneSilentlyAndCreatesNothing) {
  CGuidDB db;
  EXPECT_EQ(1, db.Open(Folder()));
  EXPECT_NE(0, access(File().c_str(), F_OK));
  EXPECT_EQ("", db.folder());
  EXPECT_TRUE(log_->lines().empty()) << log_->dump();
}

TEST_F(GuidDBTest, OpenWithoutGuidTableReturnsOneAndCreateCompletesTheFile) {
  testsupport::ExecSql(File(), "CREATE TABLE other(x);");
  CGuidDB db;
  EXPECT_EQ(1, db.Open(Folder()));
  EXPECT_EQ("", db.folder());
  EXPECT_EQ(0, db.Create(Folder()));
  EXPECT_EQ(dir_.path(), db.folder());
  EXPECT_EQ((std::vector<std::string>{"index:GUID_NOCASE_index", "index:GUID_index",
                                      "index:NAME_NOCASE_index", "index:NAME_index", "table:GUID",
                                      "table:other"}),
            Schema());
  EXPECT_EQ("CREATE TABLE GUID (Name TEXT, GUID TEXT, Status INTEGER)", TableSql("GUID"));
  EXPECT_EQ(0, db.Open(Folder()));
}

TEST_F(GuidDBTest, CreateTwiceKeepsTheTableAndItsRows) {
  CGuidDB db;
  ASSERT_EQ(0, db.Create(Folder()));
  SGuidRecord record("a@x", "{G}", 1);
  ASSERT_EQ(0, db.Add(&record));
  EXPECT_EQ(0, db.Create(Folder()));
  EXPECT_EQ((std::vector<std::string>{"index:GUID_NOCASE_index", "index:GUID_index",
                                      "index:NAME_NOCASE_index", "index:NAME_index", "table:GUID"}),
            Schema());
  EXPECT_EQ((std::vector<Row>{Row{"a@x", "{g}", 1}}), testsupport::ReadAllRows(File()));
}

TEST_F(GuidDBTest, FolderIsKeptExactlyAsPassed) {
  ASSERT_EQ(0, mkdir(dir_.file("sub").c_str(), 0755));
  char previous[PATH_MAX];
  ASSERT_NE(nullptr, getcwd(previous, sizeof previous));
  ASSERT_EQ(0, chdir(Folder()));
  CGuidDB db;
  const int created = db.Create("sub/");
  const int opened = db.Open("sub");
  ASSERT_EQ(0, chdir(previous));
  EXPECT_EQ(0, created);
  EXPECT_EQ(0, opened);
  EXPECT_EQ("sub", db.folder());
  EXPECT_EQ(0, access(dir_.file("sub/" GUIDDB_NAME).c_str(), F_OK));
}

// ---- Bad files and folders ------------------------------------------------

TEST_F(GuidDBTest, FileThatIsNoDatabaseFailsWithSQLitesText) {
  const std::string garbage(10000, '\x7f');
  testsupport::WriteFile(File(), garbage);
  CGuidDB db;
  EXPECT_EQ(-1, db.Open(Folder()));
  EXPECT_TRUE(
      Logged(1, "Open",
             "Cannot open connection to db file [" + File() + "], error=[file is not a database]"));
  // SQLite's own code is kept beside its text.
  EXPECT_EQ(db.lastStatus().code(), Status::Code::kDatabase);
  EXPECT_EQ(db.lastStatus().sqliteCode(), SQLITE_NOTADB);
  EXPECT_EQ(-1, db.Create(Folder()));
  EXPECT_TRUE(
      Logged(1, "Create",
             "Cannot create the Volume table [" + File() + "], error=[file is not a database]"));
  EXPECT_EQ("", db.folder());
  EXPECT_EQ(garbage, testsupport::ReadFile(File()));
}

TEST_F(GuidDBTest, MissingOrUnusableFolderGivesOneOnOpenAndMinusOneOnCreate) {
  // As root no permission bits stop us: a folder path that names a regular
  // file, and a folder where the file should be, are what is unusable.
  const std::string missing = dir_.file("no/such/folder");
  const std::string notAFolder = dir_.file("plain");
  testsupport::WriteFile(notAFolder, "x");
  const std::string folderAsFile = dir_.file("dir");
  ASSERT_EQ(0, mkdir(folderAsFile.c_str(), 0755));
  ASSERT_EQ(0, mkdir((folderAsFile + "/" GUIDDB_NAME).c_str(), 0755));

  for (const std::string& folder : {missing, notAFolder, folderAsFile}) {
    SCOPED_TRACE(folder);
    CGuidDB db;
    EXPECT_EQ(1, db.Open(folder.c_str()));
    EXPECT_TRUE(log_->lines().empty()) << log_->dump();
    EXPECT_EQ(-1, db.Create(folder.c_str()));
    EXPECT_TRUE(Logged(1, "Create",
                       "Cannot create the Volume table [" + folder + "/" GUIDDB_NAME +
                           "], error=[unable to open database file]"));
    EXPECT_EQ("", db.folder());
    log_->clear();
  }
  EXPECT_NE(0, access(dir_.file("no").c_str(), F_OK));
}

TEST_F(GuidDBTest, TruncatedDatabaseFailsToOpen) {
  testsupport::MakeGuidDb(dir_.path(), testsupport::ManyRows(4000));
  testsupport::TruncateToHalf(File(), false);
  CGuidDB db;
  EXPECT_EQ(-1, db.Open(Folder()));
  EXPECT_TRUE(Logged(1, "Open",
                     "Cannot open connection to db file [" + File() +
                         "], error=[database disk image is malformed]"));
}

// A file that opens but lost pages: the rows read before the loss stay in the
// map, and both the row's and the query's failure are logged, in that order.
TEST_F(GuidDBTest, DatabaseThatLostPagesOpensButItsScanFails) {
  testsupport::MakeGuidDb(dir_.path(), testsupport::ManyRows(4000));
  testsupport::TruncateToHalf(File(), true);
  CGuidDB db;
  ASSERT_EQ(0, db.Open(Folder()));
  GuidRecordMap records;
  EXPECT_EQ(-1, db.FindAllRecordsForGUIDFromSMTP("%", records, false));
  EXPECT_GT(records.size(), 0u);
  EXPECT_LT(records.size(), 4000u);
  const std::vector<testsupport::LogLine> lines = log_->lines();
  ASSERT_EQ(2u, lines.size()) << log_->dump();
  EXPECT_EQ("FindNext", lines[0].tag);
  EXPECT_EQ("Cannot find record, error=[database disk image is malformed]", lines[0].message);
  EXPECT_EQ(1, lines[1].level);
  EXPECT_EQ("FindAllRecordsForGUIDFromSMTP", lines[1].tag);
  EXPECT_EQ("Error retrieving records for query [SELECT * FROM GUID WHERE GUID LIKE '%';]",
            lines[1].message);

  std::unique_ptr<SQueryHandle> handle = db.FindByQuery("SELECT * FROM GUID;");
  ASSERT_TRUE(handle);
  SGuidRecord record;
  int result;
  while ((result = db.FindNext(handle.get(), &record)) == 0) {
  }
  EXPECT_EQ(-1, result);
  EXPECT_EQ(-1, db.FindNext(handle.get(), &record)) << "a failed cursor must not start over";
}

TEST_F(GuidDBTest, InvertedPagesGiveFailureResultsNotACrash) {
  testsupport::MakeGuidDb(dir_.path(), testsupport::ManyRows(4000));
  testsupport::InvertPages(File(), 0.4, 0.6);
  CGuidDB db;
  ASSERT_EQ(0, db.Open(Folder()));
  GuidRecordMap records;
  EXPECT_EQ(-1, db.FindAllRecordsForGUIDFromSMTP("{%", records, false));
  EXPECT_EQ(1, log_->count("Cannot find record, error=[database disk image is malformed]"))
      << log_->dump();
  EXPECT_EQ(1, log_->count("Error retrieving records for query [SELECT * FROM GUID WHERE GUID "
                           "LIKE '{%';]"));
}

// Damage anywhere: every operation answers with one of its result codes.
TEST_F(GuidDBTest, RandomByteFlipsNeverCrashOrThrow) {
  testsupport::TempDir source;
  testsupport::MakeGuidDb(source.path(), testsupport::ManyRows(1500));
  const std::string pristine = testsupport::ReadFile(source.file(GUIDDB_NAME));
  const auto oneOf = [](int result, std::vector<int> allowed) {
    return std::find(allowed.begin(), allowed.end(), result) != allowed.end();
  };
  for (unsigned seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    testsupport::WriteFile(File(), pristine);
    testsupport::FlipRandomBytes(File(), seed, 24);
    CGuidDB db;
    const int opened = db.Open(Folder());
    ASSERT_TRUE(oneOf(opened, {0, 1, -1}));
    if (opened != 0) continue;
    EXPECT_TRUE(oneOf(db.Upgrade_To_10(), {0, -1}));
    GuidRecordMap records;
    EXPECT_TRUE(oneOf(db.FindAllRecordsForGUIDFromSMTP("%", records, false), {1, -1}));
    EXPECT_TRUE(
        oneOf(db.FindAllRecordsForGUIDFromSMTP("user00777@corp.example", records, true), {1, -1}));
    SGuidRecord record;
    EXPECT_TRUE(oneOf(db.Find("user01234@corp.example", &record), {0, 1, -1}));
    db.begin();
    SGuidRecord added("new@corp.example", "{new}", 1);
    EXPECT_TRUE(oneOf(db.Add(&added), {0, -1}));
    EXPECT_TRUE(oneOf(db.Delete(&added), {0, -1}));
    db.rollback();
  }
}

// ---- Upgrade_To_10 ----------------------------------------------------------

class GuidDBUpgradeTest : public GuidDBTest, public ::testing::WithParamInterface<const char*> {
 protected:
  // An old-schema table (declared as the parameter gives it) with 100 rows,
  // one of them with a null status.
  std::vector<Row> MakeOldDb() {
    std::vector<Row> rows = testsupport::ManyRows(99);
    rows.emplace_back("O'Brien \xc3\x9c@Corp.Example", "{AB-CD}", -5);
    std::string sql = std::string("CREATE TABLE GUID (") + GetParam() + "); BEGIN;";
    for (const Row& row : rows) {
      sql += "INSERT INTO GUID VALUES ('" + EscapeQuotes(std::get<0>(row)) + "', '" +
             EscapeQuotes(std::get<1>(row)) + "', " + std::to_string(std::get<2>(row)) + ");";
    }
    sql += "INSERT INTO GUID VALUES ('null@status', '{N}', NULL); COMMIT;";
    testsupport::ExecSql(File(), sql);
    rows.emplace_back("null@status", "{N}", 0);
    std::sort(rows.begin(), rows.end());
    return rows;
  }

  static std::string EscapeQuotes(const std::string& s) {
    std::string out;
    for (char c : s) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out;
  }

  bool HasAutoIndex() const {
    const std::vector<std::string> objects = Schema();
    return std::count(objects.begin(), objects.end(), "index:sqlite_autoindex_GUID_1") == 1;
  }

  long NullStatuses() const {
    return FX::CSQLite3DB(File(), true)
        .ExecScalarInt64("SELECT COUNT(*) FROM GUID WHERE Status IS NULL;", 0);
  }
};

TEST_P(GuidDBUpgradeTest, OldSchemaIsConvertedWithEveryRowKept) {
  const std::vector<Row> rows = MakeOldDb();
  ASSERT_TRUE(HasAutoIndex());
  CGuidDB db;
  ASSERT_EQ(0, db.Open(Folder()));
  db.begin();
  EXPECT_EQ(0, db.Upgrade_To_10());
  db.commit();
  EXPECT_TRUE(Logged(1, "Upgrade_To_10",
                     "Found old version of the db, going to upgrade to new version (10.0)"));
  EXPECT_TRUE(Logged(1, "Upgrade_To_10", "Db upgraded to new version (10.0) successfully..."));
  EXPECT_TRUE(Logged(2, "commit", "COMMIT successfully executed"));

  EXPECT_EQ(rows, testsupport::ReadAllRows(File()));
  EXPECT_EQ(1, NullStatuses());
  EXPECT_EQ((std::vector<std::string>{"index:GUID_NOCASE_index", "index:GUID_index",
                                      "index:NAME_NOCASE_index", "index:NAME_index", "table:GUID"}),
            Schema());
  EXPECT_EQ("CREATE TABLE GUID (Name TEXT, GUID TEXT, Status INTEGER)", TableSql("GUID"));
  EXPECT_TRUE(ReadAll(db, "SELECT name, type, 0 FROM sqlite_temp_master;").empty());

  log_->clear();
  EXPECT_EQ(0, db.Upgrade_To_10());
  EXPECT_TRUE(
      Logged(1, "Upgrade_To_10", "Found new version of the db, continuing without upgrade..."));
}

// The upgrade stops half-way (its table already dropped and made again) when
// an unrelated table owns an index named NAME_index; the caller's rollback
// must bring the old table back whole.
TEST_P(GuidDBUpgradeTest, FailedUpgradeRolledBackKeepsTheOldTable) {
  const std::vector<Row> rows = MakeOldDb();
  testsupport::ExecSql(File(), "CREATE TABLE other(x); CREATE INDEX NAME_index ON other(x);");
  const std::string oldSql = TableSql("GUID");
  CGuidDB db;
  ASSERT_EQ(0, db.Open(Folder()));
  db.begin();
  EXPECT_EQ(-1, db.Upgrade_To_10());
  db.rollback();
  EXPECT_TRUE(Logged(1, "Upgrade_To_10",
                     "Unable to upgrade to 10.0 schema for database [GUID], error=[index "
                     "NAME_index already exists]"));
  EXPECT_TRUE(Logged(2, "rollback", "ROLLBACK successfully executed"));
  EXPECT_EQ(oldSql, TableSql("GUID"));
  EXPECT_TRUE(HasAutoIndex());
  EXPECT_EQ(rows, testsupport::ReadAllRows(File()));
  EXPECT_EQ(1, NullStatuses());
}

INSTANTIATE_TEST_SUITE_P(
    OldSchemas, GuidDBUpgradeTest,
    ::testing::Values("Name TEXT, GUID TEXT, Status INTEGER, UNIQUE(Name, GUID)",
                      "Name TEXT PRIMARY KEY, GUID TEXT, Status INTEGER"),
    [](const ::testing::TestParamInfo<const char*>& info) {
      return std::string(info.index == 0 ? "Unique" : "PrimaryKey");
    });

TEST_F(GuidDBTest, UpgradeOfCurrentSchemaChangesNothing) {
  testsupport::MakeGuidDb(dir_.path(), testsupport::ManyRows(300));
  const std::string before = testsupport::ReadFile(File());
  {
    CGuidDB db;
    ASSERT_EQ(0, db.Open(Folder()));
    db.begin();
    EXPECT_EQ(0, db.Upgrade_To_10());
    db.commit();
  }
  EXPECT_TRUE(
      Logged(1, "Upgrade_To_10", "Found new version of the db, continuing without upgrade..."));
  EXPECT_EQ(before, testsupport::ReadFile(File()));
}

// ---- Rows -------------------------------------------------------------------

TEST_F(GuidDBTest, AddStoresLowerCaseWithQuotesAndFindReadsItBackInAnyCase) {
  CGuidDB db;
  ASSERT_EQ(0, db.Create(Folder()));
  SGuidRecord record("O'Brien", "{AB-CD}", 3);
  EXPECT_EQ(0, db.Add(&record));
  EXPECT_EQ((std::vector<Row>{Row{"o'brien", "{ab-cd}", 3}}), testsupport::ReadAllRows(File()));
  for (const char* name : {"O'Brien", "o'brien", "O'BRIEN"}) {
    SGuidRecord found;
    EXPECT_EQ(0, db.Find(name, &found)) << name;
    EXPECT_EQ(SGuidRecord("o'brien", "{ab-cd}", 3), found);
  }
}

TEST_F(GuidDBTest, FindMissReturnsOneAndLeavesTheRecordAlone) {
  testsupport::MakeGuidDb(dir_.path(), {Row{"UPPER@X.COM", "{G1}", 0}});
  CGuidDB db;
  ASSERT_EQ(0, db.Open(Folder()));
  SGuidRecord record("keep", "{keep}", 77);
  EXPECT_EQ(1, db.Find("nobody@x.com", &record));
  // The searched name is lowered, the comparison exact: upper-case rows of
  // another writer are not found.
  EXPECT_EQ(1, db.Find("UPPER@X.COM", &record));
  EXPECT_EQ(SGuidRecord("keep", "{keep}", 77), record);
  EXPECT_TRUE(log_->lines().empty()) << log_->dump();
}

TEST_F(GuidDBTest, QuotingDoublesQuotesAndLowersOnlyAsciiLetters) {
  std::string every;
  for (int c = 1; c < 256; ++c) every += static_cast<char>(c);
  std::string expected;
  for (int c = 1; c < 256; ++c) {
    if (c == '\'')
      expected += "''";
    else
      expected += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
  EXPECT_EQ(expected, EscapeSingleQuotesToLower(every));
  EXPECT_EQ("''''", EscapeSingleQuotesToLower("''"));
  EXPECT_EQ("", EscapeSingleQuotesToLower(""));
}

TEST_F(GuidDBTest, QuotesBackslashesAndUtf8InNamesSurviveTheRoundTrip) {
  const std::string name = "Zo\xc3\xab O'Hara\\'; DROP TABLE GUID; --\"\xc3\x85SA@X.example";
  const std::string stored = "zo\xc3\xab o'hara\\'; drop table guid; --\"\xc3\x85sa@x.example";
  CGuidDB db;
  ASSERT_EQ(0, db.Create(Folder()));
  SGuidRecord record(name, "{G'1}", 2);
  ASSERT_EQ(0, db.Add(&record));
  EXPECT_EQ((std::vector<Row>{Row{stored, "{g'1}", 2}}), testsupport::ReadAllRows(File()));
  SGuidRecord found;
  EXPECT_EQ(0, db.Find(name.c_str(), &found));
  EXPECT_EQ(stored, found.name);
  GuidRecordMap records;
  EXPECT_EQ(1, db.FindAllRecordsForGUIDFromSMTP(name.c_str(), records, true));
  EXPECT_EQ(std::vector<std::string>{"{g'1}"}, Guids(records));
  EXPECT_EQ(0, db.Delete(&record));
  EXPECT_TRUE(testsupport::ReadAllRows(File()).empty());
  EXPECT_TRUE(db.lastStatus().ok()) << db.lastError();
}

TEST_F(GuidDBTest, EmptyNameIsAnOrdinaryName) {
  CGuidDB db;
  ASSERT_EQ(0, db.Create(Folder()));
  SGuidRecord record;
  EXPECT_EQ(1, db.Find("", &record));
  GuidRecordMap records;
  EXPECT_EQ(1, db.FindAllRecordsForGUIDFromSMTP("", records, true));
  EXPECT_TRUE(records.empty());
  SGuidRecord empty("", "{E}", 4);
  EXPECT_EQ(0, db.Add(&empty));
  EXPECT_EQ(0, db.Find("", &record));
  EXPECT_EQ(SGuidRecord("", "{e}", 4), record);
  EXPECT_TRUE(db.lastStatus().ok()) << db.lastError();
}

TEST_F(GuidDBTest, DeleteRemovesEveryRowOfTheNameOrAllRows) {
  CGuidDB db;
  ASSERT_EQ(0, db.Create(Folder()));
  EXPECT_EQ(0, db.Delete(nullptr));
  testsupport::MakeGuidDb(dir_.path(),
                          {Row{"a@x", "{g1}", 0}, Row{"a@x", "{g2}", 1}, Row{"b@x", "{g3}", 0}});
  SGuidRecord byName("A@X", "{unrelated}", 9);
  EXPECT_EQ(0, db.Delete(&byName));
  EXPECT_EQ((std::vector<Row>{Row{"b@x", "{g3}", 0}}), testsupport::ReadAllRows(File()));
  EXPECT_EQ(0, db.Delete(nullptr));
  EXPECT_TRUE(testsupport::ReadAllRows(File()).empty());
}

TEST_F(GuidDBTest, RowOperationsWithoutTableLogAndReturnMinusOne) {
  testsupport::ExecSql(File(), "CREATE TABLE other(x);");
  CGuidDB db;
  ASSERT_EQ(1, db.Open(Folder()));  // connected, but no GUID table
  SGuidRecord record("O'Brien", "{AB-CD}", 3);
  EXPECT_EQ(-1, db.Add(&record));
  EXPECT_TRUE(Logged(1, "Add",
                     "Failed to add the record to database, Guid=[{AB-CD}], Name=[O'Brien], "
                     "error=[no such table: GUID]"));
  EXPECT_EQ(-1, db.Delete(nullptr));
  EXPECT_TRUE(Logged(
      1, "Delete", "Cannot execute the query to delete all records, error=[no such table: GUID]"));
  EXPECT_EQ(-1, db.Delete(&record));
  EXPECT_TRUE(Logged(1, "Delete",
                     "Cannot execute the query to delete record, GUID=[{AB-CD}], Name=[O'Brien], "
                     "error=[no such table: GUID]"));
  SGuidRecord found;
  EXPECT_EQ(-1, db.Find("O'Brien", &found));
  EXPECT_TRUE(Logged(1, "FindByQuery",
                     "Cannot execute query [SELECT * FROM GUID WHERE Name='o''brien';], "
                     "error=[no such table: GUID]"));
  GuidRecordMap records;
  EXPECT_EQ(-1, db.FindAllRecordsForGUIDFromSMTP("{ab%", records, false));
  EXPECT_TRUE(Logged(1, "FindByQuery",
                     "Cannot execute query [SELECT * FROM GUID WHERE GUID LIKE '{ab%';], "
                     "error=[no such table: GUID]"));
  EXPECT_EQ(0, db.Upgrade_To_10());  // no automatic index: nothing to do
}

// Calls before any Open or Create are outside the contract, but must not
// follow a null connection.
TEST_F(GuidDBTest, OperationsWithoutConnectionFailCleanly) {
  CGuidDB db;
  SGuidRecord record("a", "b", 1);
  EXPECT_EQ(-1, db.Add(&record));
  EXPECT_EQ(-1, db.Delete(nullptr));
  EXPECT_EQ(-1, db.Find("a", &record));
  EXPECT_FALSE(db.FindByQuery("SELECT * FROM GUID;"));
  GuidRecordMap records;
  EXPECT_EQ(-1, db.FindAllRecordsForGUIDFromSMTP("a", records, true));
  EXPECT_EQ(-1, db.Upgrade_To_10());
  db.begin();
  EXPECT_TRUE(Logged(1, "begin", "BEGIN failed, error=[no database connection]"));
  EXPECT_EQ(db.lastError(), "BEGIN failed: no database connection");
  EXPECT_EQ(db.lastStatus().sqliteCode(), 0);
  SQueryHandle empty;
  EXPECT_EQ(-1, db.FindNext(&empty, &record));
}

// ---- Transactions -----------------------------------------------------------

TEST_F(GuidDBTest, TransactionsLogTheirOutcomeAndFollowTheConnection) {
  CGuidDB db;
  ASSERT_EQ(0, db.Create(Folder()));
  SGuidRecord first("first@x", "{1}", 0);
  SGuidRecord second("second@x", "{2}", 0);
  db.begin();
  ASSERT_EQ(0, db.Add(&first));
  db.rollback();
  EXPECT_TRUE(testsupport::ReadAllRows(File()).empty());
  db.begin();
  ASSERT_EQ(0, db.Add(&second));
  db.commit();
  EXPECT_EQ((std::vector<Row>{Row{"second@x", "{2}", 0}}), testsupport::ReadAllRows(File()));
  EXPECT_TRUE(Logged(2, "begin", "BEGIN successfully executed"));
  EXPECT_TRUE(Logged(2, "rollback", "ROLLBACK successfully executed"));
  EXPECT_TRUE(Logged(2, "commit", "COMMIT successfully executed"));

  log_->clear();
  db.commit();
  db.rollback();
  EXPECT_TRUE(
      Logged(1, "commit", "COMMIT failed, error=[cannot commit - no transaction is active]"));
  EXPECT_TRUE(
      Logged(1, "rollback", "ROLLBACK failed, error=[cannot rollback - no transaction is active]"));

  // A second BEGIN fails, and the open transaction goes on.
  log_->clear();
  db.begin();
  db.begin();
  EXPECT_TRUE(
      Logged(1, "begin", "BEGIN failed, error=[cannot start a transaction within a transaction]"));
  ASSERT_EQ(0, db.Add(&first));
  db.rollback();
  EXPECT_TRUE(Logged(2, "rollback", "ROLLBACK successfully executed"));
  EXPECT_EQ(1u, testsupport::ReadAllRows(File()).size());
}

// ---- Queries and cursors ----------------------------------------------------

TEST_F(GuidDBTest, CursorYieldsEveryRowThenKeepsReportingTheEnd) {
  testsupport::MakeGuidDb(dir_.path(), {Row{"b@x", "{g2}", 2}, Row{"a@x", "{g1}", 1}});
  CGuidDB db;
  ASSERT_EQ(0, db.Open(Folder()));
  std::unique_ptr<SQueryHandle> handle = db.FindByQuery("SELECT * FROM GUID ORDER BY Name;");
  ASSERT_TRUE(handle);
  SGuidRecord record;
  ASSERT_EQ(0, db.FindNext(handle.get(), &record));
  EXPECT_EQ(SGuidRecord("a@x", "{g1}", 1), record);
  ASSERT_EQ(0, db.FindNext(handle.get(), &record));
  EXPECT_EQ(SGuidRecord("b@x", "{g2}", 2), record);
  EXPECT_EQ(1, db.FindNext(handle.get(), &record));
  EXPECT_EQ(1, db.FindNext(handle.get(), &record));
  EXPECT_EQ(SGuidRecord("b@x", "{g2}", 2), record);
  db.FindClose(handle);
  EXPECT_FALSE(handle);
  EXPECT_TRUE(log_->lines().empty()) << log_->dump();
}

TEST_F(GuidDBTest, BadQueriesAndRowsAreLogged) {
  testsupport::MakeGuidDb(dir_.path(), {Row{"a@x", "{g1}", 1}});
  CGuidDB db;
  ASSERT_EQ(0, db.Open(Folder()));
  EXPECT_FALSE(db.FindByQuery("SELECT * FROM NOPE;"));
  EXPECT_TRUE(Logged(1, "FindByQuery",
                     "Cannot execute query [SELECT * FROM NOPE;], error=[no such table: NOPE]"));
  // Rows are read by position: a query with too few columns fails per row.
  std::unique_ptr<SQueryHandle> handle = db.FindByQuery("SELECT Name FROM GUID;");
  ASSERT_TRUE(handle);
  SGuidRecord record;
  EXPECT_EQ(-1, db.FindNext(handle.get(), &record));
  EXPECT_TRUE(Logged(1, "FindNext", "Cannot find record, error=[column index out of range]"));
}

TEST_F(GuidDBTest, FindAllByNameAddsEveryRowOfTheFirstMatchingGuid) {
  testsupport::MakeGuidDb(dir_.path(),
                          {Row{"n1@x", "{g1}", 0}, Row{"n2@x", "{g1}", 1}, Row{"n3@x", "{g2}", 0}});
  CGuidDB db;
  ASSERT_EQ(0, db.Open(Folder()));
  GuidRecordMap records{{9, SGuidRecord("caller", "{mine}", 9)}};
  EXPECT_EQ(1, db.FindAllRecordsForGUIDFromSMTP("N1@X", records, true));
  ASSERT_EQ(3u, records.size());
  auto it = records.begin();
  EXPECT_EQ(0, it->first);
  EXPECT_EQ(SGuidRecord("n1@x", "{g1}", 0), it->second);
  ++it;
  EXPECT_EQ(1, it->first);
  EXPECT_EQ(SGuidRecord("n2@x", "{g1}", 1), it->second);
  ++it;
  EXPECT_EQ(SGuidRecord("caller", "{mine}", 9), it->second);
  EXPECT_EQ(1, db.FindAllRecordsForGUIDFromSMTP("nobody@x", records, true));
  EXPECT_EQ(3u, records.size());
}

// '_' and '%' are common in addresses; as LIKE wildcards they matched other
// people's addresses and handed back their GUID. The johnxsmith row comes
// first, so a LIKE would pick its GUID for john_smith.
TEST_F(GuidDBTest, WildcardsInAnAddressMatchOnlyThemselves) {
  testsupport::MakeGuidDb(dir_.path(), {Row{"johnxsmith@corp.example", "{g2}", 0},
                                        Row{"john_smith@corp.example", "{g1}", 0},
                                        Row{"100%sure@corp.example", "{g3}", 0}});
  CGuidDB db;
  ASSERT_EQ(0, db.Open(Folder()));
  const auto lookup = [&](const char* address) {
    GuidRecordMap records;
    EXPECT_EQ(1, db.FindAllRecordsForGUIDFromSMTP(address, records, true)) << address;
    return Guids(records);
  };
  using Strings = std::vector<std::string>;
  EXPECT_EQ(Strings{"{g1}"}, lookup("john_smith@corp.example"));
  EXPECT_EQ(Strings{"{g2}"}, lookup("johnxsmith@corp.example"));
  EXPECT_EQ(Strings{"{g1}"}, lookup("JOHN_SMITH@CORP.EXAMPLE"));
  EXPECT_EQ(Strings{}, lookup("john%"));
  EXPECT_EQ(Strings{}, lookup("_ohn_smith@corp.example"));
  EXPECT_EQ(Strings{"{g3}"}, lookup("100%Sure@corp.example"));
  EXPECT_EQ(Strings{}, lookup("100%"));
}

TEST_F(GuidDBTest, FindAllByGuidIsAPatternSearchIgnoringAsciiCase) {
  testsupport::MakeGuidDb(dir_.path(), {Row{"a@x", "{AB12}", 0}, Row{"b@x", "{ab34}", 2},
                                        Row{"c@x", "{cd56}", 0}, Row{"d@x", "x{ab78}", 0}});
  CGuidDB db;
  ASSERT_EQ(0, db.Open(Folder()));
  GuidRecordMap records;
  EXPECT_EQ(1, db.FindAllRecordsForGUIDFromSMTP("{AB%", records, false));
  EXPECT_EQ((std::vector<std::string>{"{AB12}", "{ab34}"}), Guids(records));
}

TEST_F(GuidDBTest, EqualStatusesKeepTheirReadOrder) {
  testsupport::MakeGuidDb(dir_.path(),
                          {Row{"a@x", "{g}", 0}, Row{"b@x", "{g}", 2}, Row{"c@x", "{g}", 0}});
  CGuidDB db;
  ASSERT_EQ(0, db.Open(Folder()));
  GuidRecordMap records;
  ASSERT_EQ(1, db.FindAllRecordsForGUIDFromSMTP("{g}", records, false));
  std::vector<std::string> names;
  for (const auto& entry : records) names.push_back(entry.second.name);
  EXPECT_EQ((std::vector<std::string>{"a@x", "c@x", "b@x"}), names);
}

// ---- Several objects on one file ----------------------------------------------

// Each thread owns its object; SQLite's file locks and the busy timeout keep a
// reader from failing while a writer commits. Every batch of ten rows goes in
// one transaction, so a reader must always see whole batches.
TEST_F(GuidDBTest, ConcurrentReaderSeesOnlyWholeTransactions) {
  {
    CGuidDB db;
    ASSERT_EQ(0, db.Create(Folder()));
  }
  constexpr int kBatches = 40;
  constexpr int kBatchSize = 10;
  std::atomic<bool> writerDone{false};
  std::atomic<int> addFailures{0};
  std::thread writer([&] {
    CGuidDB db;
    if (db.Open(Folder()) != 0) addFailures = -1000;
    for (int batch = 0; batch < kBatches; ++batch) {
      if (db.begin() != 0) ++addFailures;
      for (int i = 0; i < kBatchSize; ++i) {
        SGuidRecord record("user" + std::to_string(batch) + "." + std::to_string(i) + "@x",
                           "{batch-" + std::to_string(batch) + "}", i);
        if (db.Add(&record) != 0) ++addFailures;
      }
      if (db.commit() != 0) ++addFailures;
    }
    writerDone = true;
  });
  CGuidDB reader;
  ASSERT_EQ(0, reader.Open(Folder()));
  int reads = 0;
  size_t seen = 0;
  bool last = false;
  while (!last) {
    last = writerDone;  // one more read after the writer finished
    GuidRecordMap records;
    ASSERT_EQ(1, reader.FindAllRecordsForGUIDFromSMTP("{batch-%", records, false)) << log_->dump();
    ASSERT_EQ(0u, records.size() % kBatchSize) << "a reader saw half a transaction";
    ASSERT_GE(records.size(), seen);
    seen = records.size();
    ++reads;
  }
  writer.join();
  EXPECT_EQ(0, addFailures.load());
  EXPECT_EQ(static_cast<size_t>(kBatches * kBatchSize), seen);
  EXPECT_GT(reads, 0);
}

}  // namespace

// ---- search indexes -------------------------------------------------------

namespace {

std::string QueryPlan(const std::string& file, const std::string& sql) {
  FX::CSQLite3DB db(file, true);
  auto q = db.ExecQuerySetup("EXPLAIN QUERY PLAN " + sql);
  std::string plan;
  while (q->NextRow()) plan += std::string(q->GetStringField(3, "")) + "\n";
  return plan;
}

GuidRecordMap Search(const char* folder, const char* text, bool byName) {
  CGuidDB db;
  GuidRecordMap records;
  EXPECT_EQ(0, db.Open(folder));
  EXPECT_EQ(1, db.FindAllRecordsForGUIDFromSMTP(text, records, byName));
  return records;
}

TEST_F(GuidDBTest, VerifyAcceptsASoundGuidDatabaseWithoutChangingIt) {
  testsupport::MakeGuidDb(dir_.path(), testsupport::ManyRows(500));
  const std::string file = dir_.file("GUIDDB.DAT");
  const std::string before = testsupport::ReadFile(file);
  EXPECT_EQ("", CGuidDB::VerifyFile(file));
  EXPECT_EQ(before, testsupport::ReadFile(file));
}

// GUIDs are counted as the loaders group them: without ASCII case, with
// other letters as they are.
TEST_F(GuidDBTest, CountsAndComparisonsTellGuidsApartWithoutAsciiCase) {
  testsupport::TempDir old;
  testsupport::MakeGuidDb(old.path(), {{"a", "{ab}", 1}, {"b", "{AB}", 1}, {"c", "{É}", 1}});
  testsupport::MakeGuidDb(dir_.path(), {{"a", "{aB}", 1}, {"c", "{é}", 1}, {"d", "{cd}", 1}});
  long rows = 0, guids = 0;
  std::string error;
  ASSERT_TRUE(CGuidDB::CountFile(old.file(GUIDDB_NAME), rows, guids, error)) << error;
  EXPECT_EQ(rows, 3);
  EXPECT_EQ(guids, 2);
  STableChanges changes;
  ASSERT_TRUE(CGuidDB::CompareFiles(old.file(GUIDDB_NAME), File(), changes, error)) << error;
  EXPECT_EQ(changes.guids.before, 2u);
  EXPECT_EQ(changes.guids.after, 3u);
  EXPECT_EQ(changes.guids.added, 2u);    // {é} is not {É}; {cd} is new
  EXPECT_EQ(changes.guids.removed, 1u);  // {É}
}

TEST_F(GuidDBTest, VerifyNamesWhatIsWrongAndNeverThrows) {
  EXPECT_EQ("unable to open database file", CGuidDB::VerifyFile(File("missing.db")));
  EXPECT_NE(0, access(File("missing.db").c_str(), F_OK));

  testsupport::WriteFile(File("garbage.db"), std::string(4096, '\x01'));
  EXPECT_EQ("file is not a database", CGuidDB::VerifyFile(File("garbage.db")));

  FX::CSQLite3DB(File("other.db")).ExecDML("CREATE TABLE other(a);");
  EXPECT_EQ("the database holds no GUID table", CGuidDB::VerifyFile(File("other.db")));
  // A table of that name that the library cannot read, or one with no rows,
  // would break or empty every lookup.
  FX::CSQLite3DB(File("columns.db")).ExecDML("CREATE TABLE GUID(a); INSERT INTO GUID VALUES (1);");
  EXPECT_EQ("the GUID table lacks one of the columns Name, GUID and Status",
            CGuidDB::VerifyFile(File("columns.db")));
  FX::CSQLite3DB(File("empty.db"))
      .ExecDML("CREATE TABLE GUID (Name TEXT, GUID TEXT, Status INTEGER);");
  EXPECT_EQ("the GUID table holds no rows", CGuidDB::VerifyFile(File("empty.db")));
  long rows = 0;
  testsupport::MakeGuidDb(dir_.path(), {{"a", "{a}", 1}, {"b", "{b}", 2}});
  EXPECT_EQ("", CGuidDB::VerifyFile(dir_.file("GUIDDB.DAT"), &rows));
  EXPECT_EQ(2, rows);
  EXPECT_EQ("the search indexes of the GUID table are missing",
            CGuidDB::VerifyFile(dir_.file("GUIDDB.DAT"), nullptr, true));

  EXPECT_EQ("disk I/O error", CGuidDB::VerifyFile(dir_.path()));  // a folder
}

TEST_F(GuidDBTest, VerifyRejectsTruncatedAndDamagedFiles) {
  testsupport::TempDir truncated;
  testsupport::MakeGuidDb(truncated.path(), testsupport::ManyRows(4000));
  testsupport::TruncateToHalf(truncated.file("GUIDDB.DAT"), false);
  EXPECT_EQ("database disk image is malformed", CGuidDB::VerifyFile(truncated.file("GUIDDB.DAT")));

  // The page count in the header is gone: only the page check finds the loss.
  testsupport::TempDir shortened;
  testsupport::MakeGuidDb(shortened.path(), testsupport::ManyRows(4000));
  testsupport::TruncateToHalf(shortened.file("GUIDDB.DAT"), true);
  EXPECT_NE("", CGuidDB::VerifyFile(shortened.file("GUIDDB.DAT")));

  testsupport::TempDir inverted;
  testsupport::MakeGuidDb(inverted.path(), testsupport::ManyRows(4000));
  testsupport::InvertPages(inverted.file("GUIDDB.DAT"), 0.4, 0.6);
  EXPECT_NE("", CGuidDB::VerifyFile(inverted.file("GUIDDB.DAT")));
}

}  // namespace

TEST_F(GuidDBTest, BothSearchesUseAnIndexInsteadOfAScan) {
  CGuidDB db;
  ASSERT_EQ(0, db.Create(Folder()));
  const std::string byName = QueryPlan(File(),
                                       "SELECT * FROM GUID WHERE GUID=(SELECT GUID FROM GUID WHERE "
                                       "Name='a@b' COLLATE NOCASE LIMIT 1);");
  EXPECT_NE(std::string::npos, byName.find("NAME_NOCASE_index")) << byName;
  EXPECT_EQ(std::string::npos, byName.find("SCAN")) << byName;
  const std::string byGuid = QueryPlan(File(), "SELECT * FROM GUID WHERE GUID LIKE '{ab%';");
  EXPECT_NE(std::string::npos, byGuid.find("GUID_NOCASE_index")) << byGuid;
  EXPECT_EQ(std::string::npos, byGuid.find("SCAN")) << byGuid;
}

TEST_F(GuidDBTest, AnswersAreTheSameWithAndWithoutTheSearchIndexes) {
  std::vector<Row> rows = {{"John_Smith@Corp.Example", "{AB-01}", 1},
                           {"johnxsmith@corp.example", "{ab-02}", 1},
                           {"proxy@corp.example", "{AB-01}", 2},
                           {"o'brien@corp.example", "{Cd-03}", 1},
                           {"ann", "{cd-03}", 16},
                           {"\xc3\x89lise@corp.example", "{EF-04}", 1}};
  testsupport::MakeGuidDb(Folder(), rows);  // the plain "10.0" schema only
  const std::vector<std::pair<const char*, bool>> probes = {{"john_smith@corp.example", true},
                                                            {"JOHNXSMITH@CORP.EXAMPLE", true},
                                                            {"o'brien@corp.example", true},
                                                            {"ANN", true},
                                                            {"\xc3\x89lise@corp.example", true},
                                                            {"nobody", true},
                                                            {"{ab%", false},
                                                            {"{CD-03}", false},
                                                            {"%", false}};
  std::vector<GuidRecordMap> without;
  for (const auto& p : probes) without.push_back(Search(Folder(), p.first, p.second));

  CGuidDB db;
  ASSERT_EQ(0, db.Open(Folder()));
  ASSERT_EQ(0, db.CreateSearchIndexes());
  ASSERT_EQ(0, db.CreateSearchIndexes()) << "must be repeatable";
  for (size_t i = 0; i < probes.size(); ++i) {
    GuidRecordMap with = Search(Folder(), probes[i].first, probes[i].second);
    EXPECT_EQ(without[i], with) << probes[i].first;
  }
  EXPECT_EQ(2u, without[0].size());
  EXPECT_EQ(3u, without[6].size());
}

TEST_F(GuidDBTest, DroppedIndexesComeBackWithEveryRowStillFound) {
  CGuidDB db;
  ASSERT_EQ(0, db.Create(Folder()));
  SGuidRecord r("Someone@Corp.Example", "{AB-01}", 1);
  ASSERT_EQ(0, db.Add(&r));
  ASSERT_EQ(0, db.DropIndexes());
  EXPECT_EQ((std::vector<std::string>{"table:GUID"}), Schema());
  EXPECT_EQ(1u, Search(Folder(), "someone@corp.example", true).size());  // slower, still right
  ASSERT_EQ(0, db.CreateIndexes());
  EXPECT_EQ((std::vector<std::string>{"index:GUID_NOCASE_index", "index:GUID_index",
                                      "index:NAME_NOCASE_index", "index:NAME_index", "table:GUID"}),
            Schema());
}

TEST_F(GuidDBTest, IndexMaintenanceWithoutConnectionFailsCleanly) {
  for (auto call :
       {&CGuidDB::CreateSearchIndexes, &CGuidDB::DropIndexes, &CGuidDB::CreateIndexes}) {
    CGuidDB db;
    EXPECT_EQ(-1, (db.*call)());
    EXPECT_EQ("no database connection", db.lastError());
  }
}

// A missing folder must never turn into "/GUIDDB.DAT" at the root of the
// file system.
TEST_F(GuidDBTest, NullOrEmptyFolderNeverTouchesTheRoot) {
  const bool rootFileBefore = access("/" GUIDDB_NAME, F_OK) == 0;
  CGuidDB db;
  EXPECT_EQ(1, db.Open(nullptr));
  EXPECT_EQ(1, db.Open(""));
  EXPECT_EQ(-1, db.Create(nullptr));
  EXPECT_EQ(-1, db.Create(""));
  EXPECT_TRUE(
      Logged(1, "Create", "Cannot create the Volume table [/GUIDDB.DAT], error=[no folder given]"));
  EXPECT_EQ("", db.folder());
  EXPECT_EQ(rootFileBefore, access("/" GUIDDB_NAME, F_OK) == 0);
}
