// A row delta: what turns the table of one published release into that of a
// later one, as the rows removed and the rows added (duplicates counted),
// with both releases' ids and the new table's row-set digest. The publisher
// writes one per earlier release it keeps; an agent one release behind
// fetches a few kilobytes instead of the whole table.
//
// On the wire it is gzip of a text:
//   guidlookups row delta 1
//   from <old id>
//   to <new id>
//   digest <64 hex digits: RowSetDigest of the new table>
//   removed <n>
//   added <m>
//   - <name> TAB <guid> TAB <status>      (n lines)
//   + <name> TAB <guid> TAB <status>      (m lines)
//   end
// where a backslash, a tab, a carriage return or a line feed of a name or a
// GUID is written "\\", "\t", "\r", "\n". Anything else is refused whole.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "guiddb/AccessLock.h"
#include "guiddb/GuidDB.h"
#include "guiddb/RowSetDigest.h"
#include "host/Export.h"
#include "host/Status.h"

struct GUIDLOOKUPS_EXPORT RowDelta {
  std::string fromId;
  std::string toId;
  std::string digest;  // the new table's RowSetDigest, hex
  std::vector<SGuidRecord> removed;
  std::vector<SGuidRecord> added;
};

// The rows of `after`'s table that are not in `before`'s, and the reverse,
// duplicates counted (a row twice in `after` and once in `before` is added
// once). Rows compare byte for byte, as stored. Reads both files read-only,
// each once, in order; holds only the difference.
GUIDLOOKUPS_EXPORT Status DiffTables(const std::string& before, const std::string& after,
                                     RowDelta& delta);

// The delta's text, gzip-compressed (level 9, no name, no time: the same
// delta gives the same bytes).
GUIDLOOKUPS_EXPORT std::string EncodeRowDelta(const RowDelta& delta);
// Reads what EncodeRowDelta wrote, unpacking at most `maxText` bytes of text.
// kCorruption for anything cut short, garbled or longer.
GUIDLOOKUPS_EXPORT Status DecodeRowDelta(const std::string& gz, RowDelta& delta,
                                         uint64_t maxText = 256ull << 20);

// Test hook: told the name of each step an apply reaches ("begun",
// "removed", "added"), before the commit.
using DeltaStepObserver = std::function<void(const char* step)>;

// Applies `delta` to the GUID table of `file` in one transaction: every
// removed row must be there (one copy goes per line), and the digest that
// follows from `current` (the table's digest before) must be the delta's.
// Any failure rolls back and leaves the file as it was; a crash leaves the
// old table or the new one, whole (SQLite's rollback journal). On success
// `after` is the new table's digest. With `scratch`, `file` is a copy no
// one else sees, thrown away on any failure: it is written without journal
// and without syncs (the caller flushes it), and a failure leaves it
// anyhow.
GUIDLOOKUPS_EXPORT Status ApplyRowDelta(const AccessLock& held, const std::string& file,
                                        const RowDelta& delta, const RowSetDigest& current,
                                        RowSetDigest& after,
                                        const DeltaStepObserver& observer = nullptr,
                                        bool scratch = false);
