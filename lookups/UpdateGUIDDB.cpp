#include <cstdio>
#include <ctime>
#include <exception>
#include <list>
#include <mutex>
#include <string>

#include "host/AppMgrClient.h"
#include "host/FXString.h"
#include "host/Locks.h"
#include "host/LogWriter.h"
#include "host/Settings.h"
#include "lookups/HXGuidLookups.h"
#include "lookups/JobMarker.h"
#include "lookups/ProcessFlags.h"
#include "lookups/TableRebuild.h"

namespace {

constexpr char kTag[] = "bool CHXGuidLookups::UpdateGUIDDB(CGuidDB&)";
constexpr char kSection[] = "EventManager";
constexpr char kLastRefreshTime[] = "nLastGuidNameTableRefreshTime";
constexpr unsigned long kDefaultBatchSize = 999;

// A refresh whose time cannot be written still counts as done; lastError
// tells the caller.
void RecordRefreshTime(HXPlatformInfo& settings, unsigned long when, std::string& lastError) {
  if (!settings.setNumber(kSection, kLastRefreshTime, when))
    HXLOG_FAILURE(kTag, "Could not set the last tbl refresh time to [%lu].", when);
}

}  // namespace

// Gate, decision and lock:
//   The decision is taken once per process, by the first caller, under
//   refreshGate (lock order in ProcessFlags.h). The gate keeps the other threads of the process from reading the table,
//   or loading the static cache from it, while this process is about to
//   refresh it: a caller that finds the refresh decided but not done waits on
//   the gate until the refresher has finished. Once the state is
//   RefreshNotNeeded or RefreshDone every call returns at once, without a
//   lock, a log line or a settings read. The decision itself takes no
//   cross-process lock: a fresh table never costs the named mutex.
//
//   A refresh runs under the named mutex "SQLITE_ACCESS_LOCK", which every
//   reader of the file (the private lookups and the static cache load) takes
//   too. The state is checked again under the mutex, and a waiter after a
//   failed download tries no other: within this process the gate already
//   makes both true, but they keep the refresh sound for a caller that
//   enters with the decision taken elsewhere.
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
bool CHXGuidLookups::UpdateGUIDDB(CGuidDB& db) {
  // The application-manager failure is logged once per process, even when
  // several threads fail the fetch at the same moment.
  static std::atomic<bool> alreadyLogged{false};
  lastError.clear();
  try {
    int32_t state = s_shouldRefreshGUIDTable.load();
    if (state != RefreshUndecided) {
      // Decided by another thread; if its refresh may still be running, wait
      // for it to finish before the caller reads the table.
      if (state == RefreshNeeded) {
        std::lock_guard<std::mutex> wait(refreshGate);
      }
      return false;
    }
    std::lock_guard<std::mutex> decider(refreshGate);
    if (s_shouldRefreshGUIDTable.load() != RefreshUndecided) return false;

    // Without a GUID cache folder the database path would lie at the root of
    // the file system (or in the working directory). Nothing is decided, so
    // an object that has a folder may still refresh later in the process.
    if (guidCacheDir.empty()) {
      HXLOG_FAILURE(
          kTag,
          "Not refreshing SQLite: no GUID cache folder (vTaskHost\\dHOME is not set), so no "
          "GUID database is created, rebuilt or downloaded");
      return false;
    }

    std::string reason;
    GuidRefreshState decision =
        IsSQLiteRefreshNeeded(reason, jobFlags, jobMarkerPath(), static_cast<unsigned long>(jobId));
    s_shouldRefreshGUIDTable.store(decision);

    if (decision == RefreshNotNeeded) {
      HXLOG(-1, kTag, "Not refreshing SQLite Reason: %s", reason.c_str());
    } else {
      shouldFetchGUIDTable.store(true);
      HXLOG(-1, kTag, "Refreshing SQLite Reason: [%s]", reason.c_str());
    }

    HXPlatformInfo settings;
    settings.setFocus(HXPI_Focus::getFocus());
    unsigned long source = 1;
    if (!settings.getNumber(kSection, "getSqlLiteDbFromHB", &source)) source = 1;
    HXLOG(2, kTag, "Registry EventManager\\%s value is set to [%lu] .", "getSqlLiteDbFromHB",
          source);

    if (s_shouldRefreshGUIDTable.load() != RefreshNeeded) return false;

    // Released exactly once on every way out from here, exceptions included.
    CNamedMutex mutex("SQLITE_ACCESS_LOCK", nullptr, false);
    CNamedMutexLock held(mutex);
    if (!held.locked()) {
      HXLOG_FAILURE(kTag, "Could not lock SQLITE_ACCESS_LOCK; not refreshing the local GUID table");
      return false;
    }

    unsigned long batchSize = kDefaultBatchSize;
    if (!settings.getNumber(kSection, "nTotalNumberOfRecordsToCommit", &batchSize))
      batchSize = kDefaultBatchSize;
    totalRecordsToCommit = batchSize;
    HXLOG(2, kTag, "value of nTotalNumberOfRecordsToCommit = %lu", batchSize);

    // Another thread of the process may have finished the refresh while this
    // one waited for the mutex.
    if (s_shouldRefreshGUIDTable.load() != RefreshNeeded) return false;

    if (shouldFetchGUIDTable.load() && source != 0)
      HXLOG(-1, kTag, " Starting to get GUID info from HB.");

    if (source != 0) {
      if (!shouldFetchGUIDTable.load()) {
        HXLOG(2, kTag, "Not fetching sql lite GUID from HB as previous request failed.");
        guidlookups_internal::KeepError(lastError,
                                        "Not fetching sql lite GUID from HB as previous request "
                                        "failed.");
        return false;
      }
      if (!getSqlLiteGUIDDbFromHB()) {
        HXLOG(-1, kTag, "Failed to get Sql Lite GUID db from HB.");
        // The download's own line, kept in lastError, says why.
        if (lastError.empty())
          guidlookups_internal::KeepError(lastError, "Failed to get Sql Lite GUID db from HB.");
        shouldFetchGUIDTable.store(false);
        dbStatus = -1;
        return false;
      }
      s_shouldRefreshGUIDTable.store(RefreshDone);
      ++counters_.refreshes;
      RecordRefreshTime(settings, static_cast<unsigned long>(time(nullptr)), lastError);
      return true;
    }

    // The new table is built in a file of its own and renamed over the old
    // one, so nothing of the old file needs to open: a corrupt or old-schema
    // file is simply replaced. The folder must be there to hold the new file.
    if (!FXFolder::DoesFolderExist(guidCacheDir)) {
      HXLOG_FAILURE(kTag, "Unable to create GUIDDB_NAME under folder [%s].", guidCacheDir.c_str());
      return false;
    }

    std::list<GUIDNameInfo> rows;
    {
      GUIDFromName client;
      if (client.getGUIDList("", rows, nullptr) != 0) {
        guidlookups_internal::KeepError(lastError, "Failed to get app_guid table from appmgr.");
        if (!alreadyLogged.exchange(true))
          HXLOG(-1, kTag, "Failed to get app_guid table from appmgr.");
        return false;
      }
    }
    if (rows.empty()) {
      HXLOG(2, kTag, "No rows in app mgr GUID table.");
      guidlookups_internal::KeepError(lastError, "No rows in app mgr GUID table.");
      return false;
    }
    HXLOG(2, kTag, "Size of guildList: %d", static_cast<int>(rows.size()));

    // The old table stays whole until the swap, but a process that dies from
    // here on has not refreshed: without a recorded time the next decision
    // refreshes whatever the interval (0 included).
    if (!settings.removeValue(kSection, kLastRefreshTime))
      HXLOG_FAILURE(kTag, "Could not clear the last tbl refresh time before the rebuild.");

    SRebuildOptions options;
    options.batchSize = totalRecordsToCommit;
    options.holdsAccessLock = true;
    options.database = &db;
    SRebuildResult rebuilt = RebuildGuidTable(guidCacheDir, RowsOf(rows), options);
    if (!rebuilt.replaced) {
      guidlookups_internal::KeepError(lastError, "%s", rebuilt.error.c_str());
      return false;
    }

    s_shouldRefreshGUIDTable.store(RefreshDone);
    ++counters_.refreshes;
    RecordRefreshTime(settings, static_cast<unsigned long>(time(nullptr)), lastError);
    // A marker that cannot be written only costs a resumed job one more
    // refresh.
    WriteJobMarker(jobMarkerPath(), jobId);
    return true;
  } catch (const std::exception& e) {
    HXLOG_FAILURE(kTag, "Refresh of the local GUID table failed: %s", e.what());
  } catch (...) {
    HXLOG_FAILURE(kTag, "Refresh of the local GUID table failed: unknown error");
  }
  return false;
}
