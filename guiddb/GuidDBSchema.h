// The SQL of the GUID table's schema and of the checks made on it, shared by
// the connection (GuidDB.cpp) and the checks of whole files (GuidDBFiles.cpp).
// Internal to the database unit.
#pragma once

namespace guidschema {

constexpr const char* kTableTest = "SELECT COUNT(*) FROM SQLITE_MASTER WHERE NAME='GUID';";

constexpr const char* kSchema[] = {
    "CREATE TABLE GUID (Name TEXT, GUID TEXT, Status INTEGER);",
    "CREATE INDEX NAME_index ON GUID(Name ASC);",
    "CREATE INDEX GUID_index ON GUID(GUID ASC);",
};

// Indexes in the NOCASE collation let SQLite answer the by-name search
// (Name = ... COLLATE NOCASE) and the by-GUID search (a LIKE pattern, which
// ignores ASCII case) from an index instead of a scan of the whole table. They
// are extra: a reader that knows only the "10.0" schema still reads the file,
// and a file without them still answers, only slower.
constexpr const char* kSearchIndexes[] = {
    "CREATE INDEX IF NOT EXISTS NAME_NOCASE_index ON GUID(Name COLLATE NOCASE);",
    "CREATE INDEX IF NOT EXISTS GUID_NOCASE_index ON GUID(GUID COLLATE NOCASE);",
};

constexpr const char* kSearchIndexCount =
    "SELECT COUNT(*) FROM sqlite_master WHERE type='index' AND "
    "name IN ('NAME_NOCASE_index','GUID_NOCASE_index');";

constexpr const char* kAllIndexes[] = {
    "CREATE INDEX IF NOT EXISTS NAME_index ON GUID(Name ASC);",
    "CREATE INDEX IF NOT EXISTS GUID_index ON GUID(GUID ASC);",
    kSearchIndexes[0],
    kSearchIndexes[1],
};

constexpr const char* kDropIndexes[] = {
    "DROP INDEX IF EXISTS NAME_index;",
    "DROP INDEX IF EXISTS GUID_index;",
    "DROP INDEX IF EXISTS NAME_NOCASE_index;",
    "DROP INDEX IF EXISTS GUID_NOCASE_index;",
};

// SQLite makes an automatic index only for a UNIQUE or PRIMARY KEY
// constraint, which only the old schema had.
constexpr const char* kOldSchemaProbe =
    "SELECT name FROM sqlite_master WHERE type='index' and name like 'sqlite_autoindex_GUID%'";

// SQLite cannot drop a constraint, so the rows go through a temporary table
// while the table is made again without it. The caller's transaction makes
// the whole move undoable: a failure half-way is rolled back to the old table.
constexpr const char* kUpgradeTo10[] = {
    "CREATE TEMPORARY TABLE TEMP_TABLE(Name TEXT, GUID TEXT, Status INTEGER)",
    "INSERT INTO TEMP_TABLE SELECT Name, GUID, Status FROM GUID;",
    "DELETE FROM GUID;",
    "DROP TABLE GUID;",
    "CREATE TABLE GUID (Name TEXT, GUID TEXT, Status INTEGER);",
    "INSERT INTO GUID SELECT Name, GUID, Status FROM TEMP_TABLE;",
    "DROP TABLE TEMP_TABLE;",
    "CREATE INDEX NAME_index ON GUID(Name ASC);",
    "CREATE INDEX GUID_index ON GUID(GUID ASC);",
};

}  // namespace guidschema
