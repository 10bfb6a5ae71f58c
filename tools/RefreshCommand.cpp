// guidlookup refresh: the refresh decision of this machine, and the refresh.
//
// The library's refresh runs as the first lookup of an agent's process would
// run it (asked to refresh now with --force); what it decided, did and what
// failed come from its report, never from the log.
#include <chrono>
#include <iostream>

#include "tools/Commands.h"

namespace guidlookup {
namespace {

// What a completed refresh did, for --json and for the operator. A copy from
// the control server on this machine reads as a download.
void AddDone(const SRefreshReport& report, const std::string& database, double seconds,
             JsonObject& doc, bool json) {
  long rows = 0, guids = 0;
  std::string error;
  const bool counted = CGuidDB::CountFile(database, rows, guids, error);
  const char* done = "downloaded";
  const char* said = "downloaded the control server's copy";
  if (report.outcome == RefreshNotModified) {
    done = "not-modified";
    said = "not modified (the installed file is the control server's copy)";
  } else if (report.outcome == RefreshRebuilt) {
    done = "rebuilt";
    said = "rebuilt the table";
  } else if (report.outcome == RefreshDelta) {
    done = "delta";
    said = "applied the control server's row delta";
  }
  const SDownloadMoved& moved = report.moved;
  doc.add("done", done).addNumber("seconds", seconds);
  if (counted)
    doc.addNumber("rows", static_cast<long long>(rows))
        .addNumber("distinctGuids", static_cast<long long>(guids));
  if (report.source != 0) {
    doc.addNumber("bytesFetched", static_cast<unsigned long long>(moved.bytesFetched));
    if (!moved.release.empty()) doc.add("release", moved.release);
  }
  if (report.outcome == RefreshDelta)
    doc.addNumber("rowsRemoved", static_cast<unsigned long long>(moved.rowsRemoved))
        .addNumber("rowsAdded", static_cast<unsigned long long>(moved.rowsAdded));
  if (json) return;
  std::cout << "done:     " << said
            << (counted ? ": " + std::to_string(rows) + " rows, " + std::to_string(guids) + " GUIDs"
                        : "")
            << "\n";
  if (report.outcome == RefreshDelta)
    std::cout << "changed:  " << moved.rowsRemoved << " rows removed, " << moved.rowsAdded
              << " added\n";
  if (report.source != 0)
    std::cout << "fetched:  " << moved.bytesFetched << " bytes"
              << (moved.release.empty() ? "" : ", release " + moved.release) << "\n";
}

// The decision the refresh took, and where it would take the table from.
void AddDecision(const SRefreshDecision& decision, const std::string& database, JsonObject& doc,
                 bool json) {
  const bool job = decision.job != RefreshJobReason::kNone;
  NumberSetting source = ReadNumberSetting("getSqlLiteDbFromHB", 1);
  doc.add("database", database);
  if (job)
    doc.addNumber("job", static_cast<unsigned long long>(decision.jobId));
  else
    doc.addNull("job");
  doc.add("decision", decision.state == RefreshNeeded ? "needed" : "not needed")
      .add("reason", PlainReason(decision))
      .add("source", source.value != 0 ? "download" : "rebuild")
      .add("sourceDescription", OneLine(DescribeRefreshSource(source)));
  if (json) return;
  std::cout << "database: " << database << "\n";
  if (job) std::cout << "job:      " << decision.jobId << " (asks for a refresh)\n";
  std::cout << "decision: "
            << (decision.state == RefreshNeeded ? "refresh needed" : "no refresh needed")
            << "\nreason:   " << PlainReason(decision)
            << "\nsource:   " << DescribeRefreshSource(source) << "\n";
}

}  // namespace

int RunRefresh(const ToolContext& context, const RefreshOptions& options) {
  RequireHome(context);
  // Checked before anything is touched: a refresh whose time cannot be
  // recorded would be repeated by every agent as if it never happened.
  RequireSettingsFolder(context);
  CHXGuidLookups lookups;
  SetUpForRefresh(lookups, options.jobGiven ? options.jobId : 0,
                  options.jobGiven ? GuidRefreshJobFlag : 0);
  lookups.refreshNow = options.force;
  bool done = false;
  const auto start = std::chrono::steady_clock::now();
  {
    GUIDTable table;
    done = lookups.UpdateGUIDDB(table);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const SRefreshReport& report = lookups.lastReport();
  const std::string database = DatabasePath(lookups.guidCacheDir);
  // With --json the same facts go into one document, printed at the end.
  JsonObject doc;
  AddDecision(report.decision, database, doc, options.json);
  const auto fail = [&](const std::string& message) {
    if (options.json) std::cout << JsonObject(doc).add("error", OneLine(message)).str() << "\n";
    return ToolError(kExitFailure, message, options.json);
  };

  if (done) {
    AddDone(report, database, seconds, doc, options.json);
    const std::string timeFailure = RefreshTimeFailure(report);
    if (!report.timeRecorded)
      throw fail("the table was refreshed, but " + timeFailure +
                 ", so agents will refresh it again");
    if (!timeFailure.empty()) {
      std::cerr << "guidlookup: warning: " << timeFailure << "\n";
      doc.add("warning", timeFailure);
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
  throw fail("refresh failed: " + PlainFailure(lookups.lastFailure()));
}

}  // namespace guidlookup
