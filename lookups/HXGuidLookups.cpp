#include "lookups/HXGuidLookups.h"

#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <mutex>
#include <string>
#include <utility>

#include "guiddb/AccessLock.h"
#include "guiddb/CacheFiles.h"
#include "host/FXString.h"
#include "host/Locks.h"
#include "host/LogWriter.h"
#include "host/Settings.h"
#include "lookups/FailureLog.h"
#include "lookups/ProcessFlags.h"
#include "lookups/ServiceLogTags.h"
#include "lookups/refresh/Download.h"
#include "lookups/refresh/RefreshSteps.h"

std::atomic<int32_t> CHXGuidLookups::s_shouldRefreshGUIDTable{RefreshUndecided};

namespace {

using namespace servicetags;

constexpr unsigned int kDefaultAddressCacheSize = 100000;

// The private-mode queries' connection and lock descriptor, one of each per
// process however many lookup objects it makes (descriptors would otherwise
// run out at a few hundred objects). Never destroyed: a lookup in another
// thread may outlive the static destructors at exit.
struct PrivateQueries {
  // All guarded by privateQueryTurn (lock order in ProcessFlags.h).
  std::unique_ptr<AccessMutex> lock;  // its file kept open
  // Kept between misses so that a miss costs one query, not an open and a
  // close. Used only under the named mutex; dropped after any failure and
  // whenever GUIDDB.DAT is no longer the file, unchanged, that it opened.
  std::unique_ptr<CGuidDB> db;
  unsigned forks = 0;  // forkCount when they were made
};

// The forks this process came through, counted in each child: a miss then
// tells whether its connection was made in another process without asking
// the kernel for a pid.
std::atomic<unsigned> forkCount{0};
void CountFork() { forkCount.fetch_add(1, std::memory_order_relaxed); }

// The process's PrivateQueries. REQUIRES: privateQueryTurn is held.
PrivateQueries& TakePrivateQueries() {
  static PrivateQueries* queries = [] {
    ::pthread_atfork(nullptr, nullptr, CountFork);
    return new PrivateQueries();
  }();
  const unsigned forks = forkCount.load(std::memory_order_relaxed);
  if (queries->forks != forks) {
    // Made before a fork: the lock descriptor would share its open file
    // description, and so its flock, with the parent, and SQLite forbids
    // using a connection across a fork. The connection is let go without a
    // close, which could touch the parent's locks of that file.
    queries->lock.reset();
    (void)queries->db.release();
    queries->forks = forks;
  }
  return *queries;
}

}  // namespace

CHXGuidLookups::CHXGuidLookups() = default;

CHXGuidLookups::~CHXGuidLookups() {
  // The shared-mode counts reach the cache once, here, rather than at every
  // find(), where many threads would contend for them.
  if (isInMemoryShared && staticCache != nullptr) staticCache->AddLookupCounts(counters_);
  HXLOG(1, kDestructorTag,
        "GUID lookup statistics (%s mode): hits %" PRIu64 ", misses %" PRIu64
        ", database queries %" PRIu64 ", database failures %" PRIu64 ", refreshes %" PRIu64,
        isInMemoryShared ? "shared" : "private", counters_.hits, counters_.misses,
        counters_.databaseQueries, counters_.databaseFailures, counters_.refreshes);
}

bool CHXGuidLookups::getSqlLiteGUIDDbFromHB() {
  lastFailure_ = SGuidFailure();
  GuidRefreshOutcome outcome = RefreshOutcomeNone;
  if (!DownloadGuidDatabase(guidCacheDir, lastError, &outcome, &lastFailure_)) return false;
  lastRefresh = outcome;
  return true;
}

void CHXGuidLookups::KeepFailure(GuidFailureStep step, const std::string& subject,
                                 const std::string& cause) noexcept {
  lastFailure_.step = step;
  try {
    lastFailure_.subject = subject;
    lastFailure_.cause = cause;
  } catch (...) {
  }
}

CLmError CHXGuidLookups::Initialize(uint64_t jobIdArg, unsigned int jobFlagsArg,
                                    bool isInMemorySharedArg, bool isExchange, EvEvent* pEventArg) {
  lastError.clear();
  lastFailure_ = SGuidFailure();
  try {
    HXPlatformInfo settings;
    settings.setFocus(HXPI_Focus::getFocus());

    pEvent = pEventArg;
    jobFlags = jobFlagsArg;
    jobId = jobIdArg;
    isInMemoryShared = isInMemorySharedArg;
    dbStatus = 0;
    bIsExchGuid.store(isExchange);

    CLmError err = SetUpCacheFolder(settings);
    if (err.IsError()) return err;
    return isInMemoryShared ? SetUpShared(settings) : SetUpPrivate(settings);
  } catch (...) {
    const char* why = guidlookups_internal::CaughtMessage();
    HXLOG_FAILURE(lastError, kInitializeTag, "Set-up of the GUID lookup service failed: %s", why);
    KeepFailure(GuidFailureStep::kUnexpected, std::string(), why);
    return CLmError(hxerr::kGeneric, std::string("GUID lookup set-up failed: ") + why);
  }
}

// A settings file that exists but cannot be read (out of descriptors, no
// permission, an I/O error) is no missing value: its defaults, "no dHOME"
// first, would quietly turn the service off. The read logged it.
CLmError CHXGuidLookups::UnreadableSettings(HXPlatformInfo& settings, int line) {
  guidlookups_internal::KeepError(lastError, "Cannot read settings file %s",
                                  settings.lastReadError().c_str());
  KeepFailure(GuidFailureStep::kSettings, std::string(), lastError);
  CLmError err(settings.lastReadErrno() == ENOMEM ? hxerr::kGeneric : hxerr::kIo,
               "Cannot read settings file " + settings.lastReadError());
  return err.Push({"HXGuidLookups", kInitializeTag, line});
}

// An empty "dHOME" is taken as missing: it would put the database at the
// root of the file system.
CLmError CHXGuidLookups::SetUpCacheFolder(HXPlatformInfo& settings) {
  std::string home;
  const bool homeFound = settings.getString(hxsettings::kHome, &home);
  if (settings.lastReadErrno() != 0) return UnreadableSettings(settings, __LINE__);
  if (!homeFound || home.empty()) return CLmError::Success();
  guidCacheDir = cachefiles::CacheFolder(home);
  if (!FXFolder::DoesFolderExist(guidCacheDir)) {
    CLmError err = FXFolder::CreateFoldersIteratively(guidCacheDir, nullptr);
    if (err.IsError()) {
      guidlookups_internal::KeepError(lastError, "%s", err.Text().c_str());
      KeepFailure(GuidFailureStep::kCacheFolder, guidCacheDir, err.Text());
      return err.Push({"HXGuidLookups", kInitializeTag, __LINE__});
    }
  }
  HXLOG(-1, kInitializeTag, "GUIDDB jobs results directory[%s]", guidCacheDir.c_str());
  return CLmError::Success();
}

CLmError CHXGuidLookups::SetUpShared(HXPlatformInfo& settings) {
  HXLOG(-1, kInitializeTag, "GUIDDB is Inmemory and shared between multiple threads");
  staticCache = StaticCache::instance();
  {
    // The rebuild's connection is closed before the load opens its own.
    GUIDTable table;
    UpdateGUIDDB(table);
  }
  unsigned long value = 0;
  bool dumpCache = settings.getNumber(hxsettings::kDumpCache, &value) && value != 0;
  if (settings.lastReadErrno() != 0) return UnreadableSettings(settings, __LINE__);
  value = 0;
  bool addProxySmtp = settings.getNumber(hxsettings::kAddProxySmtp, &value) && value != 0;
  if (settings.lastReadErrno() != 0) return UnreadableSettings(settings, __LINE__);
  if (addProxySmtp) HXLOG(-1, kInitializeTag, "GUID Resolution via Proxy smtp is enabled");
  // Without a folder there is no file to load; 1 is the load's own answer
  // for "no database".
  dbStatus =
      guidCacheDir.empty() ? 1 : staticCache->fastload(guidCacheDir, addProxySmtp, dumpCache);
  return CLmError::Success();
}

CLmError CHXGuidLookups::SetUpPrivate(HXPlatformInfo& settings) {
  unsigned int capacity = 0;
  if (!settings.getNumber(hxsettings::kAddressCacheMemorySize, &capacity)) {
    if (settings.lastReadErrno() != 0) return UnreadableSettings(settings, __LINE__);
    capacity = kDefaultAddressCacheSize;
  }
  HXLOG(-1, kInitializeTag, "[%s] set to [%d]", hxsettings::kAddressCacheMemorySize.name,
        static_cast<int>(capacity));
  mfuCache.setMaxSize(capacity);
  return CLmError::Success();
}

bool CHXGuidLookups::Lookup(std::string& address, GuidRecordMap& records, bool keyIsGuid) {
  if (isInMemoryShared) return smtpToGuidFromStaticCache(address, records, keyIsGuid);
  return smtpToGuidMFUCache(address, records, keyIsGuid);
}

bool CHXGuidLookups::LookupAndFind(std::string& address, int status, std::string& name,
                                   bool keyIsGuid) {
  try {
    name.clear();
    GuidRecordMap records;
    if (!Lookup(address, records, keyIsGuid)) return false;
    const auto range = records.equal_range(status);
    for (auto it = range.first; it != range.second; ++it)
      HXLOG(7, kLookupAndFindTag, "record =[%s]--[%s]--[%d]", it->second.guid.c_str(),
            it->second.name.c_str(), it->second.status);
    if (range.first != range.second) name = range.first->second.name;
    return !name.empty();
  } catch (...) {
    // Only an allocation can fail here; the caller gets "not found".
    name.clear();
    return false;
  }
}

bool CHXGuidLookups::smtpToGuidFromStaticCache(std::string& address, GuidRecordMap& records,
                                               bool /*keyIsGuid*/) {
  try {
    // No mailbox has an empty address, whatever rows with an empty name the
    // table may hold, and no key holds a NUL byte: the cache compares C
    // strings, so the text before it would answer for the whole key.
    if (!address.empty() && address.find('\0') == std::string::npos && staticCache != nullptr &&
        staticCache->find(address, records)) {
      ++counters_.hits;
      HXLOG(5, kStaticCacheTag, "Found GUID Record in cache for %s", address.c_str());
      return true;
    }
  } catch (...) {
    // An allocation failure while copying the map is answered as a miss.
  }
  ++counters_.misses;
  HXLOG(4, kStaticCacheTag, "Did not find GUID Record in cache for %s", address.c_str());
  records.clear();
  return false;
}

// The private-mode path. A hit is served from mfuCache. A miss queries the
// database with the whole address (an address may hold up to 254 characters;
// shortening it would make long addresses unfindable) and caches the answer,
// an empty one included, under the address as passed. A failed query is not
// an answer: it is logged, returns false and is not cached, so that the next
// call tries the database again once it has recovered.
bool CHXGuidLookups::smtpToGuidMFUCache(const std::string& address, GuidRecordMap& records,
                                        bool keyIsGuid) {
  // The empty address is unknown, as in shared mode; a row with an empty
  // name must not hand it somebody's mailbox, and no query is worth it.
  if (address.empty()) return true;
  // Nor is a key with a NUL byte, which no name or GUID holds: the query
  // takes C strings, and the text before the NUL would answer for it.
  if (address.find('\0') != std::string::npos) {
    HXLOG(3, kMFUCacheTag, "Key [%s...] holds a NUL byte: no address or GUID matches it",
          address.c_str());
    records.clear();
    return true;
  }
  try {
    if (mfuCache.find(address, records, true)) {
      ++counters_.hits;
      HXLOG(5, kMFUCacheTag, "Found GUID Record in cache for %s", address.c_str());
      return true;
    }
    ++counters_.misses;
    HXLOG(5, kMFUCacheTag, "Going to find GUID Record %s", address.c_str());

    GuidRecordMap callersRecords = records;
    if (!getGUIDRecordForSMTP(address, records, keyIsGuid)) {
      HXLOG(-1, kMFUCacheTag, "Failed to find a match for smtp address [%s]", address.c_str());
      // Rows read before the failure are not an answer either.
      records = std::move(callersRecords);
      return false;
    }
    if (records.empty()) {
      HXLOG(3, kMFUCacheTag, "No match found for smtp address [%s], may be non AD address",
            address.c_str());
    } else {
      std::string& guid = records.begin()->second.guid;
      FXString::ReplaceAll(guid, "-", "X", 0);
      HXLOG(6, kMFUCacheTag, "Found GUID record for [%s] with GUID [%s]", address.c_str(),
            guid.c_str());
    }
    mfuCache.insert(MFU_Node_Type<GuidRecordMap>(address, records), true);
    return true;
  } catch (...) {
    HXLOG(-1, kMFUCacheTag, "Failed to find a match for smtp address [%s]", address.c_str());
    return false;
  }
}

bool CHXGuidLookups::getGUIDRecordForSMTP(const std::string& address, GuidRecordMap& records,
                                          bool keyIsGuid) {
  lastError.clear();
  if (lastFailure_.failed()) lastFailure_ = SGuidFailure();
  // No row's name or GUID holds a NUL byte, and the query would see only the
  // text before it: nothing matches, and nothing needs asking.
  if (address.find('\0') != std::string::npos) return true;
  ++counters_.databaseQueries;
  // Without a GUID cache folder the path would name a file at the root of the
  // file system or in the agent's working directory: never open one there.
  if (guidCacheDir.empty()) {
    HXLOG_FAILURE(
        lastError, kDatabaseTag,
        "No GUID cache folder (vTaskHost\\dHOME is not set); not querying the GUID database "
        "for [%s]",
        address.c_str());
    KeepFailure(GuidFailureStep::kNoFolder, address);
    ++counters_.databaseFailures;
    return false;
  }
  // Declared out here so that a failure caught below still holds the turn
  // when it drops the connection.
  std::unique_lock<std::mutex> turn(privateQueryTurn, std::defer_lock);
  std::unique_ptr<CGuidDB>* queryDb = nullptr;
  try {
    // Takes the same named mutex itself when it refreshes, so it runs first;
    // once the process's refresh is settled it has nothing to do.
    const int32_t refresh = s_shouldRefreshGUIDTable.load();
    if (refresh == RefreshUndecided || refresh == RefreshNeeded) {
      CGuidDB db;
      UpdateGUIDDB(db);
    }

    // The turn keeps the threads of this process apart (one flock
    // descriptor cannot), the named mutex the processes of the machine.
    turn.lock();
    PrivateQueries& shared = TakePrivateQueries();
    queryDb = &shared.db;
    if (!shared.lock) {
      shared.lock = std::make_unique<AccessMutex>();
      shared.lock->keepDescriptorOpen(true);
      // Only misses take this lock, and they read: a removed lock file may
      // be noticed up to a second late (see recheckKeptFileEvery).
      shared.lock->recheckKeptFileEvery(std::chrono::seconds(1));
    }
    if (QueryUnderLock(*shared.lock, shared.db, address, records, keyIsGuid)) return true;
  } catch (...) {
    HXLOG_FAILURE(lastError, kDatabaseTag, "Query for [%s] failed: %s", address.c_str(),
                  guidlookups_internal::CaughtMessage());
    KeepFailure(GuidFailureStep::kQuery, address, guidlookups_internal::CaughtMessage());
    if (queryDb != nullptr) queryDb->reset();
  }
  ++counters_.databaseFailures;
  return false;
}

// One query through the process's kept connection `db`, under the access
// lock taken on the kept `mutex`. False (logged, kept in lastError and
// lastFailure_) when the lock, the open or the query failed.
bool CHXGuidLookups::QueryUnderLock(AccessMutex& mutex, std::unique_ptr<CGuidDB>& db,
                                    const std::string& address, GuidRecordMap& records,
                                    bool keyIsGuid) {
  // Released exactly once on every way out from here, exceptions included.
  AccessLock held(mutex);
  if (!held.held()) {
    HXLOG_FAILURE(lastError, kDatabaseTag,
                  "Could not lock " GUIDDB_ACCESS_LOCK_NAME "; not querying for [%s]",
                  address.c_str());
    KeepFailure(GuidFailureStep::kLock, address);
    return false;
  }

  // A rebuild or a download (of any process) renames a new file over
  // GUIDDB.DAT, an operator may copy one over it: the kept connection would
  // go on reading the old one. Another object may have left it on another
  // folder.
  if (db && (db->folder() != guidCacheDir || !db->IsStillTheFileOpened())) db.reset();
  if (!db) {
    auto opened = std::make_unique<CGuidDB>();
    if (opened->Open(guidCacheDir.c_str()) != 0) {
      HXLOG_FAILURE(lastError, kDatabaseTag, "Unable to open GUIDDB_NAME under folder [%s].",
                    guidCacheDir.c_str());
      KeepFailure(GuidFailureStep::kOpen, guidCacheDir);
      return false;
    }
    db = std::move(opened);
  }
  if (db->FindAllRecordsForGUIDFromSMTP(address.c_str(), records, !keyIsGuid) < 0) {
    // The next miss opens afresh: the file may have been repaired or
    // replaced meanwhile.
    db.reset();
    HXLOG(2, kDatabaseTag, "Unable to fetch row from local guid_name table for smtp [%s]",
          address.c_str());
    guidlookups_internal::KeepError(
        lastError, "Unable to fetch row from local guid_name table for smtp [%s]", address.c_str());
    KeepFailure(GuidFailureStep::kQuery, address);
    return false;
  }
  if (!records.empty()) {
    HXLOG(2, kDatabaseTag, "For name [%s]:", address.c_str());
    for (const auto& entry : records)
      HXLOG(3, kDatabaseTag, "\t\t GUID [%s], Name [%s], Status [%d]", entry.second.guid.c_str(),
            entry.second.name.c_str(), entry.second.status);
  }
  return true;
}

// ------------------------------------------------------------------ refresh

namespace {

// True when the process's decision is taken already: by another thread, whose
// refresh, if it may still be running, is waited for before the caller reads
// the table.
bool DecidedElsewhere(const std::atomic<int32_t>& state) {
  const int32_t seen = state.load();
  if (seen == RefreshUndecided) return false;
  if (seen == RefreshNeeded) std::lock_guard<std::mutex> wait(refreshGate);
  return true;
}

// The refresher's run under the process's refresh state. REQUIRES:
// refreshGate is held, and the state is undecided.
bool RunRefresher(guidlookups_internal::Refresher& refresher, CGuidDB& db) {
  std::atomic<int32_t>& state = CHXGuidLookups::s_shouldRefreshGUIDTable;
  const GuidRefreshState decision = refresher.Decide();
  if (decision == RefreshUndecided) return false;
  state.store(decision);
  if (decision != RefreshNeeded) return false;

  // Released exactly once on every way out from here, exceptions included.
  AccessLock held;
  SRefreshReport& report = refresher.report();
  if (!held.held()) {
    HXLOG_FAILURE(report.detail, kUpdateTag,
                  "Could not lock " GUIDDB_ACCESS_LOCK_NAME
                  "; not refreshing the local GUID table");
    report.failure.step = GuidFailureStep::kLock;
    return false;
  }
  HXLOG(2, kUpdateTag, "value of nTotalNumberOfRecordsToCommit = %lu", report.batchSize);
  // Another thread of the process may have finished the refresh while this
  // one waited for the mutex.
  if (state.load() != RefreshNeeded) return false;
  if (!refresher.Run(db, held)) return false;
  state.store(RefreshDone);
  return true;
}

}  // namespace

// The gate around the refresher (lookups/refresh/RefreshSteps.h, which
// decides, downloads or rebuilds, and records).
//
//   The decision is taken once per process, by the first caller, under
//   refreshGate (lock order in ProcessFlags.h). The gate keeps the other
//   threads of the process from reading the table, or loading the static
//   cache from it, while this process is about to refresh it: a caller that
//   finds the refresh decided but not done waits on the gate until the
//   refresher has finished. A decision that could not read the settings is
//   none: the state stays RefreshUndecided. Once the state is
//   RefreshNotNeeded or RefreshDone every call returns at once, without a
//   lock, a log line or a settings read. The decision itself takes no
//   cross-process lock: a fresh table never costs the named mutex.
//
//   A refresh runs under the access lock (AccessLock), which every
//   reader of the file (the private lookups and the static cache load) takes
//   too. The state is checked again under the mutex, and a waiter after a
//   failed download tries no other: within this process the gate already
//   makes both true, but they keep the refresh sound for a caller that
//   enters with the decision taken elsewhere.
bool CHXGuidLookups::UpdateGUIDDB(CGuidDB& db) {
  lastError.clear();
  lastFailure_ = SGuidFailure();
  try {
    if (DecidedElsewhere(s_shouldRefreshGUIDTable)) return false;
    std::lock_guard<std::mutex> decider(refreshGate);
    if (s_shouldRefreshGUIDTable.load() != RefreshUndecided) return false;
    return RefreshUnderLock(db);
  } catch (...) {
    HXLOG_FAILURE(lastError, kUpdateTag, "Refresh of the local GUID table failed: %s",
                  guidlookups_internal::CaughtMessage());
    KeepFailure(GuidFailureStep::kUnexpected, std::string(), guidlookups_internal::CaughtMessage());
  }
  return false;
}

// REQUIRES: refreshGate is held, and the process's state is undecided.
bool CHXGuidLookups::RefreshUnderLock(CGuidDB& db) {
  guidlookups_internal::Refresher refresher({guidCacheDir, jobId, jobFlags, refreshNow});
  const bool done = RunRefresher(refresher, db);
  SRefreshReport& report = refresher.report();
  lastError = report.detail;
  lastFailure_ = report.failure;
  if (report.decision.state == RefreshNeeded) totalRecordsToCommit = report.batchSize;
  if (report.downloadFailed) dbStatus = -1;
  if (done) {
    lastRefresh = report.outcome;
    ++counters_.refreshes;
  }
  counters_.bytesFetched += report.moved.bytesFetched;
  lastReport_ = std::move(report);
  return done;
}
