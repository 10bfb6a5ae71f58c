// What a refresh of the local table did, and what failed, as values: the
// reader branches on the fields and words them itself, never on the
// library's log text, which is written from the same fields.
//
// Thread-safety: plain values; CHXGuidLookups keeps them per object.
#pragma once

#include <cstdint>
#include <string>

#include "host/Export.h"
#include "lookups/RefreshPolicy.h"
#include "lookups/refresh/TableRebuild.h"

// The step that failed. Where a field of SGuidFailure is named, it is set.
enum class GuidFailureStep : int32_t {
  kNone = 0,
  kNoFolder,         // no GUID cache folder: "[vTaskHost] dHOME" is not set
  kSettings,         // the settings file is there but cannot be read (cause)
  kCacheFolder,      // the GUID cache folder cannot be created (cause)
  kLock,             // the access lock could not be taken
  kEarlierDownload,  // an earlier download of this process failed: none tried
  kDownload,         // the download failed without saying where
  kInstance,         // the instance name is unusable
  kNoHome,           // the download found no "[vTaskHost] dHOME"
  kNoSourceFolder,   // the download has no folder to take the file from
  kControlServer,    // no control server address is configured, or it is unusable
  kConnect,          // the control server could not be reached (cause)
  kTransfer,         // the transfer failed (cause)
  kMakeFolder,       // the folder `subject` cannot be created (cause)
  kCopy,             // `subject` cannot be copied to `target` (cause)
  kUnusable,         // the control server's file `subject` is no usable table (cause)
  kInstall,          // the new file could not be put in place (cause)
  kMissingFolder,    // the rebuild's folder `subject` does not exist
  kAppManager,       // the application manager's table cannot be read
  kNoRows,           // the application manager's table holds no rows
  kRebuild,          // the rebuild failed (rebuildFailure, cause)
  kOpen,             // the database in the folder `subject` cannot be opened
  kQuery,            // the query for `subject` failed (cause, when there is one)
  kUnexpected,       // anything else (cause)
};

// What failed, as values.
struct GUIDLOOKUPS_EXPORT SGuidFailure {
  GuidFailureStep step = GuidFailureStep::kNone;
  int32_t code = 0;  // the failed call's error code (host/CLmError.h), or 0
  RebuildFailure rebuildFailure = RebuildFailure::None;
  std::string subject;  // the folder, file or key it is about
  std::string target;   // the second file, for a copy
  std::string cause;    // the underlying reason, in the words of its source

  bool failed() const { return step != GuidFailureStep::kNone; }
};

// What a download moved: the bodies it received and, by a delta, the rows
// it changed.
struct GUIDLOOKUPS_EXPORT SDownloadMoved {
  uint64_t bytesFetched = 0;  // as received: the manifest, a delta, the table
  uint64_t rowsRemoved = 0;   // with RefreshDelta
  uint64_t rowsAdded = 0;     // with RefreshDelta
  std::string release;        // the server's release now installed, "" when unknown
};

// One refresh: the decision and its settings, what was done, what failed.
struct GUIDLOOKUPS_EXPORT SRefreshReport {
  SRefreshDecision decision;      // RefreshUndecided when nothing was decided
  unsigned long source = 1;       // "getSqlLiteDbFromHB": 0 rebuilds, else downloads
  unsigned long batchSize = 999;  // "nTotalNumberOfRecordsToCommit"
  GuidRefreshOutcome outcome = RefreshOutcomeNone;  // set when a refresh completed
  bool timeRecorded = false;                        // the completed refresh's time was written
  bool timeCleared = true;  // false: the rebuild could not clear the old time first
  bool downloadFailed = false;
  SDownloadMoved moved;  // by a download, whether or not it completed
  SGuidFailure failure;
  // The text of the failure line logged last (CHXGuidLookups::lastError).
  std::string detail;
};
