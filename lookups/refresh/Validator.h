// The validator of the database file the last download installed: what the
// control server said identifies its file (an ETag, else a Last-Modified
// date), kept in "<GUID cache folder>/GUIDDB.VALIDATOR" so that the next
// refresh can ask for the file only if it changed.
//
// The validator also records which local file it describes (device, inode,
// size and modification time of GUIDDB.DAT right after the install). It is
// honoured only while GUIDDB.DAT is still that file: a rebuild, an import, a
// copy by hand or a change in place makes it void, and the next refresh
// transfers the whole file. A missing, empty or garbled validator file is no
// validator.
//
// Thread-safety: the functions share no state; callers hold the named mutex
// the access lock, like every writer of GUIDDB.DAT.
#pragma once

#include <string>

#include "host/Export.h"

struct GUIDLOOKUPS_EXPORT SDownloadValidator {
  std::string etag;
  std::string lastModified;
  bool empty() const { return etag.empty() && lastModified.empty(); }
};

// The validator for `database` (the path of GUIDDB.DAT), or an empty one when
// there is none that still describes that file.
GUIDLOOKUPS_EXPORT SDownloadValidator ReadDownloadValidator(const std::string& guidCacheDir,
                                                            const std::string& database);
// Records `validator` as describing `database` as it is now. An empty
// validator removes the file. Failures are silent: they only cost a full
// transfer next time.
GUIDLOOKUPS_EXPORT void WriteDownloadValidator(const std::string& guidCacheDir,
                                               const std::string& database,
                                               const SDownloadValidator& validator);
// Removes the validator: the installed file is no longer the downloaded one.
GUIDLOOKUPS_EXPORT void DropDownloadValidator(const std::string& guidCacheDir);
