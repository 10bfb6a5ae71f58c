// Rows from an LDIF export of a directory (ldifde, ldapsearch -LLL,
// slapcat), as a row source for RebuildGuidTable.
//
// The export is read entry by entry as the rebuild asks for rows, so memory
// stays that of one entry. Read: "version: 1", comments, LF or CR LF line
// ends, folded lines, base64 values ("::"), multi-valued attributes,
// attribute names in any case, and "changetype: add" records (ldifde writes
// every entry so). Refused, failing the source (and so the rebuild, which
// leaves the table as it was) with "<name>:<line>: <what>": any other change
// record, a value that points at a URL (":<", never opened whatever it
// names), a malformed line, a base64 value that does not decode, a GUID of
// the wrong form, a name that is not UTF-8, and an export cut short: one
// whose last line has no line end, or whose last entry no blank line ends
// (ldapsearch, slapcat and ldifde end every entry with one).
//
// Thread-safety: a reader belongs to one thread at a time.
#pragma once

#include <atomic>
#include <string>

#include "host/Export.h"
#include "lookups/directory/DirectoryMapping.h"
#include "lookups/refresh/TableRebuild.h"

// Reads the LDIF file `path` with `mapping`. A file that cannot be opened
// fails at the first call. `counts`, when given, is kept up to date as
// entries are read. REQUIRES: `mapping` and `counts` outlive the reader.
// `cancel`, when given, ends a read that a signal interrupts once it is set
// (a pipe whose writer stalls), failing the source.
GUIDLOOKUPS_EXPORT GuidRowReader LdifRows(const std::string& path, const SDirectoryMapping& mapping,
                                          SDirectoryCounts* counts = nullptr,
                                          const std::atomic<bool>* cancel = nullptr);
// As LdifRows, from the open descriptor `fd` (a pipe, standard input), which
// the reader reads to its end and never closes; `name` stands for it in
// errors.
GUIDLOOKUPS_EXPORT GuidRowReader LdifRowsFrom(int fd, const std::string& name,
                                              const SDirectoryMapping& mapping,
                                              SDirectoryCounts* counts = nullptr,
                                              const std::atomic<bool>* cancel = nullptr);
