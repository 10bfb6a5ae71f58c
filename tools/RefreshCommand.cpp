// guidlookup refresh: the refresh decision of this machine, and the refresh.
//
// The decision is shown as the library takes it (which changes nothing), then
// UpdateGUIDDB takes it again and acts on it, as the first lookup of an
// agent's process would. What happened comes from its result and from
// CHXGuidLookups::lastError, never from the log.
#include <iostream>

#include "tools/Commands.h"

namespace guidlookup {

int RunRefresh(const ToolContext& context, const RefreshOptions& options) {
  RequireHome(context);
  // Checked before anything is touched: a refresh whose time cannot be
  // recorded would be repeated by every agent as if it never happened.
  RequireSettingsFolder(context);
  unsigned long jobId = 0;
  unsigned int jobFlags = 0;
  if (options.force || options.jobGiven) {
    CHXGuidLookups probe;
    InitializeForPaths(probe, 0, 0, true);
    // --force runs as a job that asks for a refresh and that the marker has
    // never seen: the one decision that is always "needed".
    jobId = options.force ? FreshJobId(probe.jobMarkerPath()) : options.jobId;
    jobFlags = GuidRefreshJobFlag;
  }
  CHXGuidLookups lookups;
  InitializeForPaths(lookups, jobId, jobFlags, true);
  const std::string database = DatabasePath(lookups.guidCacheDir);

  std::string reason;
  GuidRefreshState decision =
      IsSQLiteRefreshNeeded(reason, jobFlags, lookups.jobMarkerPath(), jobId);
  NumberSetting source = ReadNumberSetting("getSqlLiteDbFromHB", 1);
  std::cout << "database: " << database << "\n";
  if (jobFlags) std::cout << "job:      " << jobId << " (asks for a refresh)\n";
  std::cout << "decision: " << (decision == RefreshNeeded ? "refresh needed" : "no refresh needed")
            << "\nreason:   " << PlainReason(reason)
            << "\nsource:   " << DescribeRefreshSource(source) << "\n";
  std::cout.flush();

  bool done = false;
  {
    GUIDTable table;
    done = lookups.UpdateGUIDDB(table);
  }
  if (done) {
    long rows = 0, guids = 0;
    std::string error;
    std::string counts =
        CountRows(database, rows, guids, error)
            ? ": " + std::to_string(rows) + " rows, " + std::to_string(guids) + " GUIDs"
            : "";
    std::cout << "done:     "
              << (source.value ? "downloaded the control server's copy" : "rebuilt the table")
              << counts << "\n";
    if (IsRefreshTimeNotRecorded(lookups.lastError))
      throw ToolError(kExitFailure, "the table was refreshed, but " +
                                        PlainError(lookups.lastError) +
                                        ", so agents will refresh it again");
    if (!lookups.lastError.empty())
      std::cerr << "guidlookup: warning: " << PlainError(lookups.lastError) << "\n";
    return kExitOk;
  }
  if (CHXGuidLookups::s_shouldRefreshGUIDTable.load() == RefreshNotNeeded) {
    std::cout << "done:     nothing (no refresh needed)\n";
    return kExitOk;
  }
  throw ToolError(kExitFailure, "refresh failed: " + PlainError(lookups.lastError));
}

}  // namespace guidlookup
