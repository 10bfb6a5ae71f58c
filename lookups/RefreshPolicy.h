// The refresh policy: whether the local GUID table is due for a refresh.
#pragma once

#include <cstdint>
#include <string>

#include "host/Export.h"

// The process's refresh decision and its outcome.
enum GuidRefreshState : int32_t {
  RefreshUndecided = 0,
  RefreshNeeded = 1,
  RefreshDone = 2,
  RefreshNotNeeded = 3,
};

// What a completed refresh did (CHXGuidLookups::lastRefresh).
enum GuidRefreshOutcome : int32_t {
  RefreshOutcomeNone = 0,    // no refresh completed
  RefreshDownloaded = 1,     // the control server's file transferred and installed
  RefreshCopiedLocally = 2,  // the control server runs here: its file copied in
  RefreshNotModified = 3,    // the server answered 304: the installed file is its file
  RefreshRebuilt = 4,        // the table rebuilt from the application manager's
};

// Job flag: the job asks for the GUID table to be refreshed.
constexpr unsigned int GuidRefreshJobFlag = 4;

// Decides whether the local table must be refreshed now, from the job flags
// and marker, "nLastGuidNameTableRefreshTime" and
// "SmtpGuidTableRefreshInterval". Returns RefreshNeeded or RefreshNotNeeded
// and replaces `reason` with why; RefreshUndecided when the settings file is
// there but cannot be read, with `reason` "Cannot read settings file <path>:
// <reason>" (the settings store logs that read, once). Writes nothing, logs
// nothing else, never throws; callable from any thread.
GUIDLOOKUPS_EXPORT GuidRefreshState IsSQLiteRefreshNeeded(std::string& reason,
                                                          unsigned int jobFlags,
                                                          std::string markerPath,
                                                          unsigned long jobId);
