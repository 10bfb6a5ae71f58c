#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <sstream>

#include "host/Settings.h"
#include "lookups/HXGuidLookups.h"

namespace {

// A marker is a few digits; anything longer is not one.
constexpr size_t kMaxMarkerBytes = 4096;

// True when the marker file holds exactly `jobId`: a decimal number with
// optional blanks (and a line end) around it. A missing file, one that cannot
// be opened for reading and writing, an empty one, and one holding anything
// else (garbage, a number of more than 64 bits) name another job.
bool MarkerNamesJob(const std::string& path, unsigned long jobId) {
  if (path.empty()) return false;
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  std::string text;
  struct stat st;
  bool readable = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  while (readable && text.size() <= kMaxMarkerBytes) {
    char buf[512];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      text.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      readable = false;
    }
  }
  ::close(fd);
  if (!readable || text.size() > kMaxMarkerBytes) return false;

  auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  size_t i = 0;
  while (i < text.size() && isSpace(text[i])) ++i;
  if (i == text.size() || text[i] < '0' || text[i] > '9') return false;
  uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    unsigned digit = static_cast<unsigned>(text[i] - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  while (i < text.size() && isSpace(text[i])) ++i;
  if (i != text.size()) return false;
  return value == static_cast<uint64_t>(jobId);
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
    if (!settings.getNumber("EventManager", "nLastGuidNameTableRefreshTime", &lastRefresh)) {
      text << "[Refreshing as the GUID table was not refreshed at all]";
      refreshByTime = true;
    } else {
      unsigned long interval = 1440;
      if (!settings.getNumber("EventManager", "SmtpGuidTableRefreshInterval", &interval))
        interval = 1440;
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
