// The one way a new table replaces the GUID cache folder's GUIDDB.DAT, for
// the download and the rebuild alike.
//
// Thread-safety: callable from any thread. REQUIRES: the caller holds the
// access lock (AccessLock), so that no reader has the old file open through
// SQLite while it is replaced.
#pragma once

#include <string>

#include "host/Export.h"
#include "host/StagedFile.h"
#include "host/Status.h"

// Puts the finished and flushed `staged` file in place of
// "<guidCacheDir>/GUIDDB.DAT" (of the file a link there names): the old
// file's leftover journal is rolled back and removed, the validator of an
// earlier download is dropped, the file is renamed over the old one, and the
// shared snapshots of the old table are removed. Returns OK; kDatabase when
// a leftover journal could not be cleared, kIOError (errno kept) when the
// rename failed. On failure the old file stays as it was.
GUIDLOOKUPS_EXPORT Status InstallGuidDatabase(const std::string& guidCacheDir,
                                              hostfs::StagedFile& staged);
