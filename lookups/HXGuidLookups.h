// The lookup service that mail agents create to resolve SMTP addresses (or
// GUIDs) to GUID records, and the refresh policy of the local table.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "guiddb/GuidDB.h"
#include "host/CLmError.h"
#include "host/EventLog.h"
#include "host/Export.h"
#include "host/Locks.h"
#include "lookups/GUIDTable.h"
#include "lookups/MFUCache.h"
#include "lookups/ProcessFlags.h"
#include "lookups/RefreshPolicy.h"
#include "lookups/StaticCache.h"
#include "lookups/Statistics.h"
#include "lookups/refresh/RefreshReport.h"

class AccessMutex;
class HXPlatformInfo;

// Thread-safety: an object is set up and used by one thread at a time; any
// number of objects may run in parallel threads and processes. In shared mode
// they share the process's StaticCache; in private mode each owns its
// mfuCache, and all of them share the process's one database connection and
// lock descriptor, in turn. Database work is serialised across processes by
// the access lock (AccessLock).
class GUIDLOOKUPS_EXPORT CHXGuidLookups {
 public:
  CHXGuidLookups();
  ~CHXGuidLookups();
  CHXGuidLookups(const CHXGuidLookups&) = delete;
  CHXGuidLookups& operator=(const CHXGuidLookups&) = delete;

  // Sets up the service once, before any lookup: the GUID cache folder
  // of "dHOME" (cachefiles::CacheFolder, created when missing), then in shared
  // mode the refresh and the load of the static cache, in private mode the
  // capacity of mfuCache. Returns Success, or the error of the folder
  // creation with a code location pushed onto it, or an error naming the
  // settings file when it exists but cannot be read (logged once; lastError
  // has the reason). Without "dHOME" (or with an empty one) guidCacheDir
  // stays empty and no database file is ever used: in shared mode dbStatus
  // becomes 1 and the cache stays unloaded.
  CLmError Initialize(uint64_t jobId, unsigned int jobFlags, bool isInMemoryShared, bool isExchange,
                      EvEvent* pEvent);

  // Resolves `address` (a GUID when keyIsGuid) into `records`. True when
  // resolved, also to no record at all (then `records` is empty); false when
  // the key is unknown in shared mode or the database failed in private mode.
  // The key is the whole string: one that holds a NUL byte is never found,
  // in either mode, and never reaches the database.
  bool Lookup(std::string& address, GuidRecordMap& records, bool keyIsGuid);
  // Resolves like Lookup, then sets `name` to the name of the first record of
  // `status`. True only when such a non-empty name was found.
  bool LookupAndFind(std::string& address, int status, std::string& name, bool keyIsGuid);
  // Shared mode: true only when the static cache holds the key.
  bool smtpToGuidFromStaticCache(std::string& address, GuidRecordMap& records, bool keyIsGuid);
  // Private mode: a hit in mfuCache, or a database query with the whole
  // address whose answer (also an empty one) is cached under the address as
  // passed. A database failure is logged, returns false, caches nothing and
  // leaves `records` as the caller passed it.
  bool smtpToGuidMFUCache(const std::string& address, GuidRecordMap& records, bool keyIsGuid);
  // One query of the database under the named mutex, after UpdateGUIDDB. True
  // when the database was opened and queried, also when no row matched; rows
  // are added to `records`. False (logged) when the file cannot be opened or
  // queried, and without a guidCacheDir, when no file is touched at all.
  bool getGUIDRecordForSMTP(const std::string& address, GuidRecordMap& records, bool keyIsGuid);

  // Takes the refresh decision once per process and, when due, downloads the
  // file or rebuilds the table under the named mutex. True only when this
  // call completed a refresh. Without a guidCacheDir it decides nothing and
  // touches no file (one log line); nor on a settings file that is there but
  // cannot be read (the read's one log line, its text in lastError), and a
  // later call decides again. What the call decided and did is in
  // lastReport(). `db` is left open after a rebuild; the caller closes it.
  bool UpdateGUIDDB(CGuidDB& db);
  // Replaces the local GUIDDB.DAT with the control server's copy, after
  // verifying it. True only when the local file was replaced; lastFailure()
  // says what failed.
  bool getSqlLiteGUIDDbFromHB();

  // What this object has done since it was made (see SLookupStatistics).
  // The object's owning thread only, like the lookups. The destructor writes
  // the same figures to the log in one line at level 1 and, in shared mode,
  // adds the hits, misses and refreshes to the static cache's.
  SLookupStatistics GetStatistics() const { return counters_; }

  // The process's refresh state (a GuidRefreshState).
  static std::atomic<int32_t> s_shouldRefreshGUIDTable;

  // Why the last call of Initialize, UpdateGUIDDB, getSqlLiteGUIDDbFromHB or
  // getGUIDRecordForSMTP on this object failed: the text of the failure line
  // it logged (where a cause and then a summary are logged, the cause). Each
  // of them empties it when it starts, so it is empty after a call that
  // logged no failure; the calls they make inside may fill it (a failed
  // refresh within an Initialize that succeeded, for example).
  std::string lastError;
  // What the refresh this object completed last did: a download, a copy from
  // the control server on this machine, a "not modified" (304) or a rebuild.
  // Set when UpdateGUIDDB or getSqlLiteGUIDDbFromHB returns true, and only
  // then; RefreshOutcomeNone until this object completes one.
  GuidRefreshOutcome lastRefresh = RefreshOutcomeNone;

  // What lastError tells, as values: the step that failed and what it is
  // about; step kNone after a call that logged no failure.
  const SGuidFailure& lastFailure() const { return lastFailure_; }
  // The last refresh that an UpdateGUIDDB of this object took up (a call
  // that finds the decision taken in the process leaves it): the decision
  // and its reason, the settings it read, the outcome, whether its time was
  // recorded, and what failed. Decision RefreshUndecided until then.
  const SRefreshReport& lastReport() const { return lastReport_; }

  // Set before UpdateGUIDDB: the refresh is due whatever the time, as for a
  // job that asks for one and that the job marker has never seen (that
  // job's id is chosen, reported in lastReport() and, after a rebuild,
  // written to the marker). Still once per process.
  bool refreshNow = false;

  EvEvent* pEvent = nullptr;
  std::string guidCacheDir;
  uint64_t totalRecordsToCommit = 0;
  int32_t dbStatus = 0;
  uint32_t jobFlags = 0;
  uint64_t jobId = 0;
  bool isInMemoryShared = false;
  MFU_Cache<GuidRecordMap> mfuCache;
  StaticCache* staticCache = nullptr;

 private:
  // The steps of Initialize; a failure sets lastError and lastFailure_.
  CLmError SetUpCacheFolder(HXPlatformInfo& settings);
  CLmError SetUpShared(HXPlatformInfo& settings);
  CLmError SetUpPrivate(HXPlatformInfo& settings);
  CLmError UnreadableSettings(HXPlatformInfo& settings, int line);
  void KeepFailure(GuidFailureStep step, const std::string& subject = std::string(),
                   const std::string& cause = std::string()) noexcept;
  bool QueryUnderLock(AccessMutex& mutex, std::unique_ptr<CGuidDB>& db, const std::string& address,
                      GuidRecordMap& records, bool keyIsGuid);
  // UpdateGUIDDB once this call decides: the refresher's run, and its report
  // copied into this object's fields.
  bool RefreshUnderLock(CGuidDB& db);

  // Plain integers: the object belongs to one thread, and a hit must cost
  // no atomic operation.
  SLookupStatistics counters_;
  SGuidFailure lastFailure_;
  SRefreshReport lastReport_;
};
