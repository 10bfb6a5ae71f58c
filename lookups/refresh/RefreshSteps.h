// The refresh of the local table as an object: decide, then download or
// rebuild, then record. It knows only its request and fills its report; the
// lookup service keeps the process's refresh state and the locks around it.
// Internal to the library: never installed, never included by a public
// header.
//
// Thread-safety: one object per refresh, used by one thread, under the
// service's refreshGate; Run also under the access lock (lock order in
// ProcessFlags.h).
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "guiddb/AccessLock.h"
#include "guiddb/GuidDB.h"
#include "lookups/RefreshPolicy.h"
#include "lookups/refresh/RefreshReport.h"

namespace guidlookups_internal {

// What a refresh is asked to do.
struct RefreshRequest {
  std::string guidCacheDir;  // "" refreshes nothing
  uint64_t jobId = 0;
  unsigned int jobFlags = 0;
  // Refresh whatever the time: decided as for a job that asks for a refresh
  // and that the job marker has never seen (that job's id is then chosen).
  bool now = false;
};

class Refresher {
 public:
  explicit Refresher(RefreshRequest request);
  Refresher(const Refresher&) = delete;
  Refresher& operator=(const Refresher&) = delete;

  // Takes the decision and reads the settings of the refresh it asks for,
  // logging the decision. RefreshUndecided, with the failure reported and
  // nothing decided, without a folder (one line) or on a settings file that
  // cannot be read (the read logged it).
  GuidRefreshState Decide();
  // Downloads or rebuilds as decided, then records the time and, after a
  // rebuild, the job marker. True when the table was refreshed; false with
  // the failure reported (and logged) when it was left as it was. `db` is
  // left open after a rebuild. A failed download is remembered for the
  // process: later ones are not tried. REQUIRES: Decide() gave RefreshNeeded.
  bool Run(CGuidDB& db, const AccessLock& held);

  SRefreshReport& report() { return report_; }

 private:
  bool Download(const AccessLock& held);
  bool Rebuild(CGuidDB& db, const AccessLock& held);
  bool FetchRows(std::list<GUIDNameInfo>& rows);
  void Record();

  const RefreshRequest request_;
  SRefreshReport report_;
};

}  // namespace guidlookups_internal
