// The refresh steps (see RefreshSteps.h, and the comment above
// CHXGuidLookups::UpdateGUIDDB for the gate and the lock).
//
// Rebuild from the application manager:
//   fetch every row (all or nothing), then RebuildGuidTable builds the new
//   table beside the old one in transactions of
//   "nTotalNumberOfRecordsToCommit" rows and swaps it in whole. Only after
//   the swap are the refresh time and the job marker written.
//
//   A rebuild that dies part-way must not count as a refresh: the refresh
//   time is removed before the rows go in, and the new time is written only
//   after the swap.
#include "lookups/refresh/RefreshSteps.h"

#include <atomic>
#include <ctime>
#include <list>
#include <string>
#include <utility>

#include "guiddb/CacheFiles.h"
#include "host/AppMgrClient.h"
#include "host/FXString.h"
#include "host/LogWriter.h"
#include "host/Settings.h"
#include "lookups/FailureLog.h"
#include "lookups/ProcessFlags.h"
#include "lookups/refresh/Download.h"
#include "lookups/refresh/JobMarker.h"
#include "lookups/refresh/TableRebuild.h"

namespace guidlookups_internal {
namespace {

constexpr char kUpdateTag[] = "bool CHXGuidLookups::UpdateGUIDDB(CGuidDB&)";

// The settings of the running instance, as the refresh reads and writes them.
HXPlatformInfo RefreshSettings() {
  HXPlatformInfo settings;
  settings.setFocus(HXPI_Focus::getFocus());
  return settings;
}

// Reads the number into `value`, which keeps its default when the number is
// missing. False when the settings file is there but cannot be read (the
// read logged it; `report` says so).
bool ReadRefreshNumber(HXPlatformInfo& settings, const hxsettings::Setting& setting,
                       unsigned long& value, SRefreshReport& report) {
  unsigned long found = value;
  if (settings.getNumber(setting, &found)) {
    value = found;
    return true;
  }
  if (settings.lastReadErrno() == 0) return true;
  KeepError(report.detail, "Cannot read settings file %s", settings.lastReadError().c_str());
  report.failure = {GuidFailureStep::kSettings, 0, RebuildFailure::None, "", "", report.detail};
  return false;
}

void Failed(SRefreshReport& report, GuidFailureStep step, std::string subject = std::string(),
            std::string cause = std::string()) {
  report.failure = {step, 0, RebuildFailure::None, std::move(subject), "", std::move(cause)};
}

// A job id that the marker does not hold: the current time in seconds, or
// the marker's id plus one when that is larger.
unsigned long FreshJobId(const std::string& markerPath) {
  unsigned long id = static_cast<unsigned long>(std::time(nullptr));
  unsigned long marker = 0;
  if (ReadJobMarker(markerPath, marker) && marker >= id) id = marker + 1;
  return id;
}

}  // namespace

Refresher::Refresher(RefreshRequest request) : request_(std::move(request)) {}

// The decision and the settings of the refresh it asks for, all read before
// anything is decided: an unreadable file's values would otherwise be taken
// for missing, and a refresh run or skipped on a guess.
GuidRefreshState Refresher::Decide() {
  // Without a GUID cache folder the database path would lie at the root of
  // the file system (or in the working directory).
  if (request_.guidCacheDir.empty()) {
    HXLOG_FAILURE(
        report_.detail, kUpdateTag,
        "Not refreshing SQLite: no GUID cache folder (vTaskHost\\dHOME is not set), so no "
        "GUID database is created, rebuilt or downloaded");
    Failed(report_, GuidFailureStep::kNoFolder);
    return RefreshUndecided;
  }
  const std::string marker = cachefiles::JobMarker(request_.guidCacheDir);
  uint64_t jobId = request_.jobId;
  unsigned int jobFlags = request_.jobFlags;
  if (request_.now) {
    jobId = FreshJobId(marker);
    jobFlags |= GuidRefreshJobFlag;
  }
  report_.decision = DecideRefreshNeed(jobFlags, marker, static_cast<unsigned long>(jobId));
  if (report_.decision.state == RefreshUndecided) {
    KeepError(report_.detail, "%s", report_.decision.unreadable.c_str());
    Failed(report_, GuidFailureStep::kSettings, "", report_.detail);
    return RefreshUndecided;
  }
  HXPlatformInfo settings = RefreshSettings();
  if (!ReadRefreshNumber(settings, hxsettings::kRefreshSource, report_.source, report_) ||
      !ReadRefreshNumber(settings, hxsettings::kRecordsToCommit, report_.batchSize, report_))
    return RefreshUndecided;
  const std::string reason = RefreshReasonText(report_.decision);
  if (report_.decision.state == RefreshNotNeeded) {
    HXLOG(-1, kUpdateTag, "Not refreshing SQLite Reason: %s", reason.c_str());
  } else {
    shouldFetchGUIDTable.store(true);
    HXLOG(-1, kUpdateTag, "Refreshing SQLite Reason: [%s]", reason.c_str());
  }
  HXLOG(2, kUpdateTag, "Registry EventManager\\%s value is set to [%lu] .", "getSqlLiteDbFromHB",
        report_.source);
  return report_.decision.state;
}

bool Refresher::Run(CGuidDB& db, const AccessLock& held) {
  const bool download = report_.source != 0;
  if (download && shouldFetchGUIDTable.load())
    HXLOG(-1, kUpdateTag, " Starting to get GUID info from HB.");
  if (!(download ? Download(held) : Rebuild(db, held))) return false;
  Record();
  // A marker that cannot be written only costs a resumed job one more
  // refresh. A download leaves it alone.
  if (!download)
    WriteJobMarker(cachefiles::JobMarker(request_.guidCacheDir), report_.decision.jobId);
  return true;
}

// A refresh whose time cannot be written still counts as done; the report
// tells the caller.
void Refresher::Record() {
  HXPlatformInfo settings = RefreshSettings();
  const unsigned long when = static_cast<unsigned long>(time(nullptr));
  report_.timeRecorded = settings.setNumber(hxsettings::kLastRefreshTime.section,
                                            hxsettings::kLastRefreshTime.name, when);
  if (!report_.timeRecorded)
    HXLOG_FAILURE(report_.detail, kUpdateTag, "Could not set the last tbl refresh time to [%lu].",
                  when);
}

// The refresh by download. A failure is remembered for the process: the
// waiters after it try no other download.
bool Refresher::Download(const AccessLock& held) {
  if (!shouldFetchGUIDTable.load()) {
    HXLOG(2, kUpdateTag, "Not fetching sql lite GUID from HB as previous request failed.");
    KeepError(report_.detail, "Not fetching sql lite GUID from HB as previous request failed.");
    Failed(report_, GuidFailureStep::kEarlierDownload);
    return false;
  }
  if (!DownloadGuidDatabase(request_.guidCacheDir, report_.detail, &report_.outcome,
                            &report_.failure, &held, &report_.moved)) {
    HXLOG(-1, kUpdateTag, "Failed to get Sql Lite GUID db from HB.");
    // The download's own line, kept in the detail, says why.
    if (report_.detail.empty()) {
      KeepError(report_.detail, "Failed to get Sql Lite GUID db from HB.");
      Failed(report_, GuidFailureStep::kDownload);
    }
    shouldFetchGUIDTable.store(false);
    report_.downloadFailed = true;
    return false;
  }
  return true;
}

// The application manager's rows, all of them. The failure is logged once
// per process, even when several threads fail the fetch at the same moment.
bool Refresher::FetchRows(std::list<GUIDNameInfo>& rows) {
  static std::atomic<bool> alreadyLogged{false};
  GUIDFromName client;
  if (client.getGUIDList("", rows, nullptr) != 0) {
    KeepError(report_.detail, "Failed to get app_guid table from appmgr.");
    Failed(report_, GuidFailureStep::kAppManager);
    if (!alreadyLogged.exchange(true))
      HXLOG(-1, kUpdateTag, "Failed to get app_guid table from appmgr.");
    return false;
  }
  if (rows.empty()) {
    HXLOG(2, kUpdateTag, "No rows in app mgr GUID table.");
    KeepError(report_.detail, "No rows in app mgr GUID table.");
    Failed(report_, GuidFailureStep::kNoRows);
    return false;
  }
  HXLOG(2, kUpdateTag, "Size of guildList: %d", static_cast<int>(rows.size()));
  return true;
}

// The refresh by rebuild from the application manager's rows, through `db`.
bool Refresher::Rebuild(CGuidDB& db, const AccessLock& held) {
  const std::string& folder = request_.guidCacheDir;
  // The new table is built in a file of its own and renamed over the old
  // one, so nothing of the old file needs to open: a corrupt or old-schema
  // file is simply replaced. The folder must be there to hold the new file.
  if (!FXFolder::DoesFolderExist(folder)) {
    HXLOG_FAILURE(report_.detail, kUpdateTag, "Unable to create GUIDDB_NAME under folder [%s].",
                  folder.c_str());
    Failed(report_, GuidFailureStep::kMissingFolder, folder);
    return false;
  }
  std::list<GUIDNameInfo> rows;
  if (!FetchRows(rows)) return false;

  // The old table stays whole until the swap, but a process that dies from
  // here on has not refreshed: without a recorded time the next decision
  // refreshes whatever the interval (0 included).
  HXPlatformInfo settings = RefreshSettings();
  report_.timeCleared =
      settings.removeValue(hxsettings::kLastRefreshTime.section, hxsettings::kLastRefreshTime.name);
  if (!report_.timeCleared)
    HXLOG_FAILURE(report_.detail, kUpdateTag,
                  "Could not clear the last tbl refresh time before the rebuild.");

  SRebuildOptions options;
  options.batchSize = report_.batchSize;
  options.heldLock = &held;
  options.database = &db;
  SRebuildResult rebuilt = RebuildGuidTable(folder, RowsOf(rows), options);
  if (!rebuilt.replaced) {
    KeepError(report_.detail, "%s", rebuilt.error.c_str());
    Failed(report_, GuidFailureStep::kRebuild, folder, rebuilt.error);
    report_.failure.rebuildFailure = rebuilt.failure;
    return false;
  }
  report_.outcome = RefreshRebuilt;
  return true;
}

}  // namespace guidlookups_internal
