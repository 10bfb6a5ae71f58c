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

// Beside the validator of GUIDDB.DAT it keeps what the control server's
// releases said of the installed table: the release it is and its row-set
// digest (a delta from that release leads to the next one), and the ETag of
// the manifest that said so, for a conditional request of the manifest.
struct GUIDLOOKUPS_EXPORT SDownloadValidator {
  std::string etag;
  std::string lastModified;
  std::string release;  // "" when the table's release is not known
  std::string digest;   // RowSetDigest of the table, hex; with `release`
  std::string manifestEtag;
  bool empty() const { return etag.empty() && lastModified.empty() && release.empty(); }
};

// The validator for `database` (the path of GUIDDB.DAT), or an empty one when
// there is none that still describes that file.
GUIDLOOKUPS_EXPORT SDownloadValidator ReadDownloadValidator(const std::string& guidCacheDir,
                                                            const std::string& database);
// The validator as it was recorded, whether or not it still describes the
// installed file (`current` says whether it does); empty when none is
// recorded. For the operator's checks.
GUIDLOOKUPS_EXPORT SDownloadValidator ReadRecordedValidator(const std::string& guidCacheDir,
                                                            const std::string& database,
                                                            bool& current);
// Records `validator` as describing `database` as it is now. An empty
// validator removes the file. Failures are silent: they only cost a full
// transfer next time.
GUIDLOOKUPS_EXPORT void WriteDownloadValidator(const std::string& guidCacheDir,
                                               const std::string& database,
                                               const SDownloadValidator& validator);
// Removes the validator: the installed file is no longer the downloaded one.
GUIDLOOKUPS_EXPORT void DropDownloadValidator(const std::string& guidCacheDir);
