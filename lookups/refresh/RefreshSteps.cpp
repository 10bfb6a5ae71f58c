// The refresh steps of CHXGuidLookups::UpdateGUIDDB (see RefreshSteps.h and
// the comment above UpdateGUIDDB for the gate and the lock).
#include "lookups/refresh/RefreshSteps.h"

#include <atomic>
#include <ctime>
#include <list>
#include <string>

#include "host/AppMgrClient.h"
#include "host/FXString.h"
#include "host/LogWriter.h"
#include "host/Settings.h"
#include "lookups/FailureLog.h"
#include "lookups/ProcessFlags.h"
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
// read logged it; `error` says so).
bool ReadRefreshNumber(HXPlatformInfo& settings, const hxsettings::Setting& setting,
                       unsigned long& value, std::string& error) {
  unsigned long found = value;
  if (settings.getNumber(setting, &found)) {
    value = found;
    return true;
  }
  if (settings.lastReadErrno() == 0) return true;
  KeepError(error, "Cannot read settings file %s", settings.lastReadError().c_str());
  return false;
}

}  // namespace

// The decision and the settings of the refresh it asks for, all read before
// anything is decided. False, with `error` set and nothing decided, when the
// settings file cannot be read: its values would otherwise be taken for
// missing, and a refresh run or skipped on a guess.
bool DecideRefresh(const CHXGuidLookups& self, RefreshPlan& plan, std::string& error) {
  plan.decision = IsSQLiteRefreshNeeded(plan.reason, self.jobFlags, self.jobMarkerPath(),
                                        static_cast<unsigned long>(self.jobId));
  if (plan.decision == RefreshUndecided) {
    KeepError(error, "%s", plan.reason.c_str());
    return false;
  }
  HXPlatformInfo settings = RefreshSettings();
  return ReadRefreshNumber(settings, hxsettings::kRefreshSource, plan.source, error) &&
         ReadRefreshNumber(settings, hxsettings::kRecordsToCommit, plan.batchSize, error);
}

// A refresh whose time cannot be written still counts as done; `error` (the
// object's lastError) tells the caller.
void RecordRefreshTime(std::string& error) {
  HXPlatformInfo settings = RefreshSettings();
  const unsigned long when = static_cast<unsigned long>(time(nullptr));
  if (!settings.setNumber(hxsettings::kLastRefreshTime.section, hxsettings::kLastRefreshTime.name,
                          when))
    HXLOG_FAILURE(error, kUpdateTag, "Could not set the last tbl refresh time to [%lu].", when);
}

// The refresh by download. A failure is remembered for the process: the
// waiters after it try no other download.
bool RefreshByDownload(CHXGuidLookups& self) {
  if (!shouldFetchGUIDTable.load()) {
    HXLOG(2, kUpdateTag, "Not fetching sql lite GUID from HB as previous request failed.");
    KeepError(self.lastError,
              "Not fetching sql lite GUID from HB as previous request "
              "failed.");
    return false;
  }
  if (!self.getSqlLiteGUIDDbFromHB()) {
    HXLOG(-1, kUpdateTag, "Failed to get Sql Lite GUID db from HB.");
    // The download's own line, kept in lastError, says why.
    if (self.lastError.empty())
      KeepError(self.lastError, "Failed to get Sql Lite GUID db from HB.");
    shouldFetchGUIDTable.store(false);
    self.dbStatus = -1;
    return false;
  }
  return true;
}

// The refresh by rebuild from the application manager's rows, through `db`.
bool RefreshByRebuild(CHXGuidLookups& self, CGuidDB& db, const AccessLock& held) {
  // The application-manager failure is logged once per process, even when
  // several threads fail the fetch at the same moment.
  static std::atomic<bool> alreadyLogged{false};
  // The new table is built in a file of its own and renamed over the old
  // one, so nothing of the old file needs to open: a corrupt or old-schema
  // file is simply replaced. The folder must be there to hold the new file.
  if (!FXFolder::DoesFolderExist(self.guidCacheDir)) {
    HXLOG_FAILURE(self.lastError, kUpdateTag, "Unable to create GUIDDB_NAME under folder [%s].",
                  self.guidCacheDir.c_str());
    return false;
  }

  std::list<GUIDNameInfo> rows;
  {
    GUIDFromName client;
    if (client.getGUIDList("", rows, nullptr) != 0) {
      KeepError(self.lastError, "Failed to get app_guid table from appmgr.");
      if (!alreadyLogged.exchange(true))
        HXLOG(-1, kUpdateTag, "Failed to get app_guid table from appmgr.");
      return false;
    }
  }
  if (rows.empty()) {
    HXLOG(2, kUpdateTag, "No rows in app mgr GUID table.");
    KeepError(self.lastError, "No rows in app mgr GUID table.");
    return false;
  }
  HXLOG(2, kUpdateTag, "Size of guildList: %d", static_cast<int>(rows.size()));

  // The old table stays whole until the swap, but a process that dies from
  // here on has not refreshed: without a recorded time the next decision
  // refreshes whatever the interval (0 included).
  HXPlatformInfo settings = RefreshSettings();
  if (!settings.removeValue(hxsettings::kLastRefreshTime.section,
                            hxsettings::kLastRefreshTime.name))
    HXLOG_FAILURE(self.lastError, kUpdateTag,
                  "Could not clear the last tbl refresh time before the rebuild.");

  SRebuildOptions options;
  options.batchSize = self.totalRecordsToCommit;
  options.heldLock = &held;
  options.database = &db;
  SRebuildResult rebuilt = RebuildGuidTable(self.guidCacheDir, RowsOf(rows), options);
  if (!rebuilt.replaced) {
    KeepError(self.lastError, "%s", rebuilt.error.c_str());
    return false;
  }
  self.lastRefresh = RefreshRebuilt;
  return true;
}

}  // namespace guidlookups_internal
