// The steps of CHXGuidLookups::UpdateGUIDDB: decide, refresh by download or
// by rebuild, record. Internal to the library: never installed, never
// included by a public header.
//
// Thread-safety: called by UpdateGUIDDB only, under refreshGate; the refresh
// steps also under the access lock, AccessLock (lock order in
// ProcessFlags.h).
#pragma once

#include <string>

#include "guiddb/AccessLock.h"
#include "guiddb/GuidDB.h"
#include "lookups/HXGuidLookups.h"
#include "lookups/RefreshPolicy.h"

namespace guidlookups_internal {

// What the decision found: whether to refresh, and how.
struct RefreshPlan {
  GuidRefreshState decision = RefreshUndecided;
  std::string reason;
  unsigned long source = 1;       // "getSqlLiteDbFromHB": 0 rebuilds, else downloads
  unsigned long batchSize = 999;  // "nTotalNumberOfRecordsToCommit"
};

// Fills `plan` from the refresh policy and the settings the refresh reads.
// False, with `error` set and nothing decided, when the settings file is
// there but cannot be read (the read logged it, once); logs nothing else.
bool DecideRefresh(const CHXGuidLookups& self, RefreshPlan& plan, std::string& error);

// Replaces the local file by the control server's. False (logged, the cause
// in self.lastError) when it failed, and without trying when an earlier
// download of the process failed.
bool RefreshByDownload(CHXGuidLookups& self);

// Rebuilds the table from the application manager's rows through `db`, in
// transactions of self.totalRecordsToCommit rows. False (logged, the cause
// in self.lastError) when the table was left as it was.
bool RefreshByRebuild(CHXGuidLookups& self, CGuidDB& db, const AccessLock& held);

// Writes the time of a completed refresh. A time that cannot be written is
// logged and kept in `error`; the refresh still counts as done.
void RecordRefreshTime(std::string& error);

}  // namespace guidlookups_internal
