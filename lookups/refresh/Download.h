// The download of the GUID database from the control server: the control
// server's own folder when it is installed on this machine, else a transfer
// through the network session into "dMORVAXTEMPDIR". The new file is checked
// (CGuidDB::VerifyFile) in a staging folder beside the local one and renamed
// over it whole; a conditional request skips the transfer when the server's
// file is the one installed (see lookups/refresh/Validator.h).
#pragma once

#include <string>

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

// Replaces "<guidCacheDir>/GUIDDB.DAT" with the control server's copy. True
// when the local file was replaced, or when the server answered that its file
// is the one installed; false (one log line, its text in `lastError`) on any
// failure, which leaves the local file as it was, and then `failure` (when
// given) says what failed. On success `outcome` (when given) says which of
// RefreshDownloaded, RefreshCopiedLocally and RefreshNotModified it was. The temporary folder
// "dMORVAXTEMPDIR" holds the transfer only while the call runs: its "GUIDDB.DAT" is gone when it
// returns, whatever the result. Settings are read at the call.
// REQUIRES: the caller holds the access lock (AccessLock).
GUIDLOOKUPS_EXPORT bool DownloadGuidDatabase(const std::string& guidCacheDir,
                                             std::string& lastError,
                                             GuidRefreshOutcome* outcome = nullptr,
                                             SGuidFailure* failure = nullptr);
