// Helpers for the tests of the caches and their bulk loader.
#pragma once

#include <string>
#include <vector>

#include "guiddb/GuidDB.h"
#include "support/TestSupport.h"

namespace testsupport {

// Rows of `groups` GUIDs, "{G-00000}" upwards (sorted as they are numbered),
// group i holding i % 4 + 1 rows of status 1 named "user<i>.<j>@example.com"
// padded to about 200 bytes so that the table spans many pages. Rows are
// given in GUID order, so the table's rowid order is the GUID order too.
std::vector<Row> NumberedGroupRows(int groups);
std::string NumberedGroupGuid(int group);
std::string NumberedGroupName(int group, int row);
int NumberedGroupSize(int group);

// Turns the page type of a table leaf page of "<folder>/GUIDDB.DAT" (the
// GUID table's, never page 1) into an invalid one, so that SQLite fails with
// SQLITE_CORRUPT when a query reaches it. `fraction` picks the page among the
// table's leaves in file order (0.5: the middle one). Returns the page
// number; throws std::runtime_error when the file has no such page.
int CorruptTableLeafPage(const std::string& folder, double fraction);

// Rows that hold the loaders' edge cases: both loaders' key statuses, a name
// in two groups, GUIDs differing only in case, rows of an empty GUID, a name
// longer than the longest key, bytes 0x80-0xFF, a later status-16 row.
std::vector<Row> LoaderEdgeRows();

// Makes the 8-bit locale tr_TR.ISO-8859-9 in `dir` with localedef and points
// LOCPATH at `dir`, so that setlocale and newlocale find it by its name,
// which is returned ("" when localedef fails). In it toupper('i') is 0xDD
// and toupper(0xE9) is 0xC9, where the "C" locale keeps both.
std::string MakeTurkishLocale(const std::string& dir);

// Sets "[EventManager] nSharedTableSnapshot" for the scope of the object
// (through the settings overlay), then removes it.
class ScopedSnapshotSetting {
 public:
  explicit ScopedSnapshotSetting(bool on);
  ~ScopedSnapshotSetting();
};

}  // namespace testsupport
