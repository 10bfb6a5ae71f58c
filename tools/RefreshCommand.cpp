// guidlookup refresh: the refresh decision of this machine, and the refresh.
//
// The decision is shown as the library takes it (IsSQLiteRefreshNeeded, which
// changes nothing), then UpdateGUIDDB takes it again and acts on it, as the
// first lookup of an agent's process would.
#include <iostream>

#include "tools/Commands.h"

namespace guidlookup {

int RunRefresh(const ToolContext& context, const RefreshOptions& options) {
  RequireHome(context);
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

  std::string reason;
  GuidRefreshState decision =
      IsSQLiteRefreshNeeded(reason, jobFlags, lookups.jobMarkerPath(), jobId);
  bool sourceFound = false;
  unsigned long source = SettingNumber("getSqlLiteDbFromHB", 1, &sourceFound);
  std::cout << "database: " << DatabasePath(lookups) << "\n";
  if (jobFlags) std::cout << "job:      " << jobId << " (asks for a refresh)\n";
  std::cout << "decision: " << (decision == RefreshNeeded ? "refresh needed" : "no refresh needed")
            << "\nreason:   " << reason
            << "\nsource:   " << DescribeRefreshSource(source, sourceFound) << "\n";
  std::cout.flush();

  ScopedTee tee(-1);
  bool done = false;
  {
    GUIDTable table;
    done = lookups.UpdateGUIDDB(table);
  }
  if (done) {
    long rows = 0, guids = 0;
    std::string error;
    std::string counts =
        CountRows(DatabasePath(lookups), rows, guids, error)
            ? ": " + std::to_string(rows) + " rows, " + std::to_string(guids) + " GUIDs"
            : "";
    std::cout << "done:     "
              << (source ? "downloaded the control server's copy" : "rebuilt the table") << counts
              << "\n";
    return kExitOk;
  }
  if (CHXGuidLookups::s_shouldRefreshGUIDTable.load() == RefreshNotNeeded) {
    std::cout << "done:     nothing (no refresh needed)\n";
    return kExitOk;
  }
  std::string why = JoinErrors(tee.writer().errors());
  throw ToolError(kExitFailure, "refresh failed: " + (why.empty() ? "see the log" : why) +
                                    " (log: " + context.logFile + ")");
}

}  // namespace guidlookup
