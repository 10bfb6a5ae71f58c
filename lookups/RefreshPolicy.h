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
  RefreshDelta = 5,          // the rows of the server's newer release applied in place
};

// Job flag: the job asks for the GUID table to be refreshed.
constexpr unsigned int GuidRefreshJobFlag = 4;

// The job's part of a refresh decision.
enum class RefreshJobReason : int32_t {
  kNone = 0,          // the job did not ask for a refresh
  kAlreadyRefreshed,  // it asked, and the job marker shows it had its refresh
  kAsks,              // it asked and has not had one: a refresh is needed
};

// The time's part of a refresh decision.
enum class RefreshTimeReason : int32_t {
  kNeverRefreshed = 0,  // no refresh time is recorded: a refresh is needed
  kIntervalOff,         // "SmtpGuidTableRefreshInterval" is 0
  kStale,               // the last refresh is at least the interval old
  kRecent,              // the last refresh is younger than the interval
};

// A refresh decision and why it was taken, as values.
struct GUIDLOOKUPS_EXPORT SRefreshDecision {
  GuidRefreshState state = RefreshUndecided;
  RefreshJobReason job = RefreshJobReason::kNone;
  unsigned long jobId = 0;
  RefreshTimeReason time = RefreshTimeReason::kNeverRefreshed;
  unsigned long intervalMinutes = 0;  // with kStale and kRecent
  // RefreshUndecided: "Cannot read settings file <path>: <reason>".
  std::string unreadable;
};

// The decision of IsSQLiteRefreshNeeded as values; the same rules, reads and
// guarantees.
GUIDLOOKUPS_EXPORT SRefreshDecision DecideRefreshNeed(unsigned int jobFlags,
                                                      const std::string& markerPath,
                                                      unsigned long jobId);

// The reason text of a decision, as IsSQLiteRefreshNeeded gives and the
// refresh logs it: "IsSQLiteRefreshNeeded: [...][...]"; for an undecided one,
// its `unreadable`.
GUIDLOOKUPS_EXPORT std::string RefreshReasonText(const SRefreshDecision& decision);

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
