#include "lookups/RefreshPolicy.h"

#include <cstdint>
#include <ctime>
#include <sstream>

#include "host/Settings.h"
#include "lookups/refresh/JobMarker.h"

namespace {

// True when the marker file holds exactly `jobId`. A marker that is missing,
// cannot be opened for reading and writing, or holds no marker text names
// another job.
bool MarkerNamesJob(const std::string& path, unsigned long jobId) {
  unsigned long marker = 0;
  return ReadJobMarker(path, marker) && marker == jobId;
}

}  // namespace

// The decision weighs, in this order: the job's own request (bit
// GuidRefreshJobFlag) unless the marker shows that this job already had its
// refresh; then whether a refresh was ever recorded; then the age of the last
// one against "SmtpGuidTableRefreshInterval" minutes. A stored time of 0 (set
// while a rebuild is under way) always counts as stale. Ages are computed in
// unsigned 64-bit arithmetic, so a time in the future wraps to a huge age and
// refreshes.
GuidRefreshState IsSQLiteRefreshNeeded(std::string& reason, unsigned int jobFlags,
                                       std::string markerPath, unsigned long jobId) {
  try {
    std::ostringstream text;
    text << "IsSQLiteRefreshNeeded: ";

    bool jobForcesRefresh = false;
    if ((jobFlags & GuidRefreshJobFlag) != 0) {
      if (MarkerNamesJob(markerPath, jobId)) {
        text << "[Refresh happened once for the job (" << jobId << ")]";
      } else {
        text << "[Refresh flag set for the job(" << jobId << ") and was never resumed]";
        jobForcesRefresh = true;
      }
    }

    // Unfocused on purpose: the store then reads the running instance, the
    // same file that the rebuild writes through its focused object.
    HXPlatformInfo settings;
    bool refreshByTime;
    unsigned long lastRefresh = 0;
    // A file that is there but cannot be read says nothing of the last
    // refresh: taking its values for missing would refresh (or skip) on a
    // guess. The read has logged it.
    auto unreadable = [&settings, &reason]() {
      if (settings.lastReadErrno() == 0) return false;
      reason = "Cannot read settings file " + settings.lastReadError();
      return true;
    };
    if (!settings.getNumber(hxsettings::kLastRefreshTime, &lastRefresh)) {
      if (unreadable()) return RefreshUndecided;
      text << "[Refreshing as the GUID table was not refreshed at all]";
      refreshByTime = true;
    } else {
      unsigned long interval = 1440;
      if (!settings.getNumber(hxsettings::kRefreshInterval, &interval)) {
        if (unreadable()) return RefreshUndecided;
        interval = 1440;
      }
      if (interval == 0) {
        text << "[Refresh interval is set to 0 explicitly, not refreshing GUIDs]";
        refreshByTime = false;
      } else {
        if (lastRefresh == 0) {
          refreshByTime = true;
        } else {
          uint64_t now = static_cast<uint64_t>(time(nullptr));
          uint64_t elapsed = now - static_cast<uint64_t>(lastRefresh);
          uint64_t limit = static_cast<uint64_t>(interval) * 60u;
          refreshByTime = elapsed >= limit;
        }
        if (refreshByTime)
          text << "[Refreshing as the table is not synced in the last refresh interval of ("
               << interval << ")]";
        else
          text << "[Last refreshtime was a recent one, refresh interval is (" << interval << ")]";
      }
    }

    reason = text.str();
    return (jobForcesRefresh || refreshByTime) ? RefreshNeeded : RefreshNotNeeded;
  } catch (...) {
    // Only an allocation can fail here. Doing nothing is the safe answer when
    // memory is short; the next process decides again.
    return RefreshNotNeeded;
  }
}
