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
SRefreshDecision DecideRefreshNeed(unsigned int jobFlags, const std::string& markerPath,
                                   unsigned long jobId) {
  SRefreshDecision decision;
  try {
    decision.jobId = jobId;
    if ((jobFlags & GuidRefreshJobFlag) != 0)
      decision.job = MarkerNamesJob(markerPath, jobId) ? RefreshJobReason::kAlreadyRefreshed
                                                       : RefreshJobReason::kAsks;

    // Unfocused on purpose: the store then reads the running instance, the
    // same file that the rebuild writes through its focused object.
    HXPlatformInfo settings;
    // A file that is there but cannot be read says nothing of the last
    // refresh: taking its values for missing would refresh (or skip) on a
    // guess. The read has logged it.
    auto unreadable = [&settings, &decision]() {
      if (settings.lastReadErrno() == 0) return false;
      decision.unreadable = "Cannot read settings file " + settings.lastReadError();
      return true;
    };
    unsigned long lastRefresh = 0;
    bool refreshByTime = true;
    if (!settings.getNumber(hxsettings::kLastRefreshTime, &lastRefresh)) {
      if (unreadable()) return decision;
      decision.time = RefreshTimeReason::kNeverRefreshed;
    } else {
      unsigned long interval = 1440;
      if (!settings.getNumber(hxsettings::kRefreshInterval, &interval)) {
        if (unreadable()) return decision;
        interval = 1440;
      }
      decision.intervalMinutes = interval;
      if (interval != 0 && lastRefresh != 0) {
        const uint64_t elapsed =
            static_cast<uint64_t>(time(nullptr)) - static_cast<uint64_t>(lastRefresh);
        refreshByTime = elapsed >= static_cast<uint64_t>(interval) * 60u;
      }
      refreshByTime = refreshByTime && interval != 0;
      decision.time = interval == 0   ? RefreshTimeReason::kIntervalOff
                      : refreshByTime ? RefreshTimeReason::kStale
                                      : RefreshTimeReason::kRecent;
    }
    const bool jobForcesRefresh = decision.job == RefreshJobReason::kAsks;
    decision.state = (jobForcesRefresh || refreshByTime) ? RefreshNeeded : RefreshNotNeeded;
  } catch (...) {
    // Only an allocation can fail here. Doing nothing is the safe answer when
    // memory is short; the next process decides again.
    decision.state = RefreshNotNeeded;
  }
  return decision;
}

std::string RefreshReasonText(const SRefreshDecision& decision) {
  if (decision.state == RefreshUndecided) return decision.unreadable;
  std::ostringstream text;
  text << "IsSQLiteRefreshNeeded: ";
  if (decision.job == RefreshJobReason::kAlreadyRefreshed)
    text << "[Refresh happened once for the job (" << decision.jobId << ")]";
  else if (decision.job == RefreshJobReason::kAsks)
    text << "[Refresh flag set for the job(" << decision.jobId << ") and was never resumed]";
  switch (decision.time) {
    case RefreshTimeReason::kNeverRefreshed:
      text << "[Refreshing as the GUID table was not refreshed at all]";
      break;
    case RefreshTimeReason::kIntervalOff:
      text << "[Refresh interval is set to 0 explicitly, not refreshing GUIDs]";
      break;
    case RefreshTimeReason::kStale:
      text << "[Refreshing as the table is not synced in the last refresh interval of ("
           << decision.intervalMinutes << ")]";
      break;
    case RefreshTimeReason::kRecent:
      text << "[Last refreshtime was a recent one, refresh interval is ("
           << decision.intervalMinutes << ")]";
      break;
  }
  return text.str();
}

GuidRefreshState IsSQLiteRefreshNeeded(std::string& reason, unsigned int jobFlags,
                                       std::string markerPath, unsigned long jobId) {
  try {
    const SRefreshDecision decision = DecideRefreshNeed(jobFlags, markerPath, jobId);
    reason = RefreshReasonText(decision);
    return decision.state;
  } catch (...) {
    return RefreshNotNeeded;
  }
}
