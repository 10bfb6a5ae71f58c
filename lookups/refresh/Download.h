// The download of the GUID database from the control server: the control
// server's own folder when it is installed on this machine, else a transfer
// through the network session into "dMORVAXTEMPDIR". The new file is checked
// (CGuidDB::VerifyFile) in a staging folder beside the local one and renamed
// over it whole; a conditional request skips the transfer when the server's
// file is the one installed (see lookups/refresh/Validator.h).
#pragma once

#include <string>

#include "guiddb/AccessLock.h"
#include "host/Export.h"
#include "lookups/RefreshPolicy.h"
#include "lookups/refresh/RefreshReport.h"

// Where a download takes the control server's file from.
struct GUIDLOOKUPS_EXPORT SDownloadSource {
  // True when the control server is installed on this machine ("[Base]
  // nHXPlatformType" bit 0): its own file is copied and no session is made.
  bool local = false;
  // When local, the control server's database folder ("[Base]
  // dMORVAXSQLLITEDBDIR", else "[Base] dBASEHOME"); otherwise the folder the
  // transfer writes into ("[Base] dMORVAXTEMPDIR"). "" when the setting is
  // missing or empty: there is nothing to download from.
  std::string folder;
};

// The source a download would use now, from the running instance's
// settings, read at the call. Never throws; short of memory the folder is "".
GUIDLOOKUPS_EXPORT SDownloadSource ChooseDownloadSource();

// Replaces "<guidCacheDir>/GUIDDB.DAT" with the control server's copy, or,
// given `held` and over the network, brings it to the server's live release
// by a row delta when it can (see below). True
// when the local file was replaced, or when the server answered that its file
// is the one installed; false (one log line, its text in `lastError`) on any
// failure, which leaves the local file as it was, and then `failure` (when
// given) says what failed. On success `outcome` (when given) says which of
// RefreshDownloaded, RefreshCopiedLocally, RefreshNotModified and RefreshDelta it was, and
// `moved` (when given) what it received and changed. The temporary folder
// "dMORVAXTEMPDIR" holds the transfer only while the call runs: its "GUIDDB.DAT" is gone when it
// returns, whatever the result. Settings are read at the call.
// REQUIRES: the caller holds the access lock (AccessLock).
GUIDLOOKUPS_EXPORT bool DownloadGuidDatabase(const std::string& guidCacheDir,
                                             std::string& lastError,
                                             GuidRefreshOutcome* outcome = nullptr,
                                             SGuidFailure* failure = nullptr,
                                             const AccessLock* held = nullptr,
                                             SDownloadMoved* moved = nullptr);

// The way by a delta, tried first when a download is due: the control
// server's "manifest.json" is fetched (conditionally, with the ETag of the
// one that named the installed release); a 304, or a live release that is
// the installed one, leaves GUIDDB.DAT as it is (RefreshNotModified). When
// the manifest lists a delta from the installed release, the delta is
// fetched through the same session, checked against the manifest's size and
// SHA-256, and applied in one transaction on the live file (every removed
// row must be there; the digest it leads to must be the manifest's). Any
// failure of that way, a server without manifests (404) or a release without
// a delta from ours falls back to the whole file, fetched as before; after
// it the release and digest are recorded when the file's rows have the
// manifest's digest.
