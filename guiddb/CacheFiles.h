// Every file of the GUID cache folder, and the access lock of the lock
// folder, named in one place: a reader of a folder listing, a cleaner or a
// new unit finds here what each name means and who writes it.
//
// The GUID cache folder, "<home>/" GUID_CACHE_SUBFOLDER, holds:
//   GUIDDB.DAT            the table (written only by a rename over it)
//   GUIDDB.JOB            the id of the last job whose rebuild completed
//   GUIDDB.VALIDATOR      the control server's validator of the installed file
//   GUIDDB.DAT.<kind>.<case table>.snapshot   the shared snapshots
//   .GUIDDB.DAT.snapshot.tmp*                 a snapshot being written
// and, in the lock folder (see CNamedMutex), "SQLITE_ACCESS_LOCK.lock".
#pragma once

#include <string>

#include "host/Export.h"

// The table's file name; a macro so that log lines can be spelled with it.
#define GUIDDB_NAME "GUIDDB.DAT"
// The name of the machine-wide mutex that serialises every use of the table.
#define GUIDDB_ACCESS_LOCK_NAME "SQLITE_ACCESS_LOCK"
// Name of the job marker file: the id of the last job whose rebuild
// completed, in decimal.
#define GUID_JOB_MARKER_NAME "GUIDDB.JOB"
// The GUID cache folder, below the agent's home folder.
#define GUID_CACHE_SUBFOLDER "JobResults/GUIDCacheDir"

namespace cachefiles {

// "<home>/" GUID_CACHE_SUBFOLDER.
GUIDLOOKUPS_EXPORT std::string CacheFolder(const std::string& home);
// "<folder>/GUIDDB.DAT".
GUIDLOOKUPS_EXPORT std::string Database(const std::string& folder);
// "<folder>/GUIDDB.JOB".
GUIDLOOKUPS_EXPORT std::string JobMarker(const std::string& folder);
// "<folder>/GUIDDB.VALIDATOR".
GUIDLOOKUPS_EXPORT std::string Validator(const std::string& folder);

// A snapshot's name, from its kind and case-table fingerprint (8 hex digits).
GUIDLOOKUPS_EXPORT std::string Snapshot(const std::string& folder, const char* kind,
                                        unsigned tableFingerprint);
// Whether a folder entry's name is a snapshot, or a snapshot's temporary.
GUIDLOOKUPS_EXPORT bool IsSnapshotName(const std::string& name);
// The prefix of every snapshot temporary: ".GUIDDB.DAT.snapshot.tmp".
GUIDLOOKUPS_EXPORT extern const char kSnapshotTempPrefix[];

}  // namespace cachefiles
