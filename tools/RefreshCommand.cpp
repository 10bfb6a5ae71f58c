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
  // With --json the same facts go into one document, printed at the end.
  JsonObject doc;
  doc.add("database", database);
  if (jobFlags)
    doc.addNumber("job", static_cast<unsigned long long>(jobId));
  else
    doc.addNull("job");
  doc.add("decision", decision == RefreshNeeded ? "needed" : "not needed")
      .add("reason", PlainReason(reason))
      .add("source", source.value != 0 ? "download" : "rebuild")
      .add("sourceDescription", OneLine(DescribeRefreshSource(source)));
  if (!options.json) {
    std::cout << "database: " << database << "\n";
    if (jobFlags) std::cout << "job:      " << jobId << " (asks for a refresh)\n";
    std::cout << "decision: "
              << (decision == RefreshNeeded ? "refresh needed" : "no refresh needed")
              << "\nreason:   " << PlainReason(reason)
              << "\nsource:   " << DescribeRefreshSource(source) << "\n";
    std::cout.flush();
  }
  const auto fail = [&](const std::string& message) {
    if (options.json) std::cout << JsonObject(doc).add("error", OneLine(message)).str() << "\n";
    return ToolError(kExitFailure, message, options.json);
  };

  bool done = false;
  {
    GUIDTable table;
    done = lookups.UpdateGUIDDB(table);
  }
  if (done) {
    long rows = 0, guids = 0;
    std::string error;
    const bool counted = CGuidDB::CountFile(database, rows, guids, error);
    std::string counts =
        counted ? ": " + std::to_string(rows) + " rows, " + std::to_string(guids) + " GUIDs" : "";
    // A copy from the control server on this machine reads as a download.
    const char* done = "downloaded";
    const char* said = "downloaded the control server's copy";
    if (lookups.lastRefresh == RefreshNotModified) {
      done = "not-modified";
      said = "not modified (the installed file is the control server's copy)";
    } else if (lookups.lastRefresh == RefreshRebuilt) {
      done = "rebuilt";
      said = "rebuilt the table";
    }
    doc.add("done", done);
    if (counted)
      doc.addNumber("rows", static_cast<long long>(rows))
          .addNumber("distinctGuids", static_cast<long long>(guids));
    if (!options.json) std::cout << "done:     " << said << counts << "\n";
    if (IsRefreshTimeNotRecorded(lookups.lastError))
      throw fail("the table was refreshed, but " + PlainError(lookups.lastError) +
                 ", so agents will refresh it again");
    if (!lookups.lastError.empty()) {
      std::cerr << "guidlookup: warning: " << PlainError(lookups.lastError) << "\n";
      doc.add("warning", PlainError(lookups.lastError));
    }
    WriteSnapshotForAgents(lookups.guidCacheDir, options.lotusNotes, options.noSnapshot);
    if (options.json) std::cout << doc.str() << "\n";
    return kExitOk;
  }
  if (CHXGuidLookups::s_shouldRefreshGUIDTable.load() == RefreshNotNeeded) {
    if (options.json)
      std::cout << doc.add("done", "nothing").str() << "\n";
    else
      std::cout << "done:     nothing (no refresh needed)\n";
    return kExitOk;
  }
  throw fail("refresh failed: " + PlainError(lookups.lastError));
}

}  // namespace guidlookup
