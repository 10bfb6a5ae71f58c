// Test helpers for the SQLite access layer and the GUID database: sample
// rows and the ways a database file gets damaged.
#pragma once

#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace testsupport {

// `count` distinct rows "user00042@corp.example" -> "{...-000000000042}",
// status 42 % 3. Enough of them span hundreds of pages.
std::vector<Row> ManyRows(int count);

// Cuts the file to half its pages. With `dropHeaderSize`, also spoils the
// page count kept in the header, as SQLite before 3.7.0 left it: SQLite then
// trusts the file size, so the file opens and the damage shows only when a
// query reaches a lost page.
void TruncateToHalf(const std::string& file, bool dropHeaderSize);

// Inverts every byte of the pages from `first` to `last` (fractions of the
// file, e.g. 0.4 and 0.6): b-tree pages there no longer parse.
void InvertPages(const std::string& file, double first, double last);

// Inverts `count` bytes at places chosen by `seed`, past the file header.
void FlipRandomBytes(const std::string& file, unsigned seed, int count);

}  // namespace testsupport
