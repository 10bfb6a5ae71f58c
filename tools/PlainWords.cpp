#include "tools/PlainWords.h"

#include <ctime>
#include <list>

#include "host/AppMgrClient.h"
#include "host/HostConfig.h"
#include "host/Settings.h"
#include "host/net/Network.h"
#include "lookups/refresh/Download.h"

namespace guidlookup {
namespace {

constexpr char kControlServerSetting[] = "[Base] sControlServerURL (or GUIDLOOKUPS_CONTROL_SERVER)";

std::string Setting(const hxsettings::Setting& setting) {
  HXPlatformInfo settings;
  std::string value;
  return settings.getString(setting, &value) ? value : std::string();
}

// The folder a download found no setting for, looked for as the download
// does.
std::string MissingDownloadFolder() {
  if (ChooseDownloadSource().local)
    return "missing setting [Base] dMORVAXSQLLITEDBDIR (or [Base] dBASEHOME): the folder of the "
           "control server's database on this machine";
  std::string url;
  HXClient client(2);
  if (client.getNetworkHostnameMangled(url, nullptr) != 0 &&
      Setting(hxsettings::kControlServerUrl).empty() &&
      hostconfig::Get(hostconfig::Knob::kControlServer).empty())
    return std::string("no control server configured: missing settings ") + kControlServerSetting +
           " and [Base] dMORVAXTEMPDIR (the folder the copy is downloaded into)";
  return "missing setting [Base] dMORVAXTEMPDIR (the folder the control server's copy is "
         "downloaded into)";
}

std::string ApplicationManagerFailure() {
  std::string table = hostconfig::Get(hostconfig::Knob::kAppMgrTable);
  if (table.empty())
    return "the application manager's table is not configured (GUIDLOOKUPS_APPMGR_TABLE is not "
           "set)";
  // The library read the same file and failed; reading it again is the one
  // way to the line and reason, and changes nothing.
  std::list<GUIDNameInfo> rows;
  std::string error;
  if (GUIDFromName::ReadExportFile(table, rows, error) != 0 && !error.empty())
    return "cannot read the application manager's table: " + error;
  return "cannot read the application manager's table " + table;
}

// The failures told in the same words whatever their detail.
struct FixedWords {
  GuidFailureStep step;
  const char* words;
};
constexpr FixedWords kFixedWords[] = {
    {GuidFailureStep::kNone, "no reason was given"},
    {GuidFailureStep::kNoFolder, "missing setting [vTaskHost] dHOME (the agent's home folder)"},
    {GuidFailureStep::kNoHome, "missing setting [vTaskHost] dHOME (the agent's home folder)"},
    {GuidFailureStep::kLock,
     "cannot take the machine-wide lock of the GUID table (the lock file "
     "SQLITE_ACCESS_LOCK.lock in the lock folder; see GUIDLOOKUPS_LOCK_DIR)"},
    {GuidFailureStep::kEarlierDownload, "an earlier download of this run failed"},
    {GuidFailureStep::kDownload, "the download from the control server failed"},
    {GuidFailureStep::kInstance,
     "the instance name is not usable (--instance, GUIDLOOKUPS_INSTANCE)"},
    {GuidFailureStep::kNoRows, "the application manager's table holds no rows"},
};

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

std::string NoControlServer() {
  std::string url = Setting(hxsettings::kControlServerUrl);
  if (url.empty()) url = hostconfig::Get(hostconfig::Knob::kControlServer);
  if (url.empty())
    return std::string("no control server configured: missing setting ") + kControlServerSetting;
  return "the control server's address " + WithoutUrlCredentials(url) +
         " is not an http:// or https:// URL (" + kControlServerSetting + ")";
}

std::string DescribeRefreshSource(const NumberSetting& source) {
  std::string text;
  if (source.value != 0) {
    std::string url;
    HXClient client(2);
    text = "download from the control server ";
    text += client.getNetworkHostnameMangled(url, nullptr) == 0 ? WithoutUrlCredentials(url)
                                                                : "(" + NoControlServer() + ")";
  } else {
    const std::string table = hostconfig::Get(hostconfig::Knob::kAppMgrTable);
    text = "rebuild from the application manager's table ";
    text += !table.empty() ? table : "(GUIDLOOKUPS_APPMGR_TABLE is not set)";
  }
  if (source.valid)
    text += " ([EventManager] getSqlLiteDbFromHB=" + std::to_string(source.value) + ")";
  else if (source.present)
    text += " ([EventManager] getSqlLiteDbFromHB=" + source.text +
            " is not a number: download, the default)";
  else
    text += " ([EventManager] getSqlLiteDbFromHB not set: download, the default)";
  return text;
}

std::string PlainReason(const SRefreshDecision& decision) {
  if (decision.state == RefreshUndecided) return OneLine(decision.unreadable);
  const std::string job = std::to_string(decision.jobId);
  std::string plain;
  if (decision.job == RefreshJobReason::kAlreadyRefreshed)
    plain = "job " + job + " has had its refresh (the job marker names it); ";
  else if (decision.job == RefreshJobReason::kAsks)
    plain = "job " + job + " asks for a refresh and has not had one; ";
  const std::string interval = std::to_string(decision.intervalMinutes);
  switch (decision.time) {
    case RefreshTimeReason::kNeverRefreshed:
      return plain + "no refresh was ever recorded (" + kRefreshTimeSetting + " is not set)";
    case RefreshTimeReason::kIntervalOff:
      return plain + "refreshing by time is off ([EventManager] SmtpGuidTableRefreshInterval=0)";
    case RefreshTimeReason::kStale:
      return plain + "the last refresh is older than the refresh interval of " + interval +
             " minutes";
    case RefreshTimeReason::kRecent:
      return plain + "the last refresh is within the refresh interval of " + interval + " minutes";
  }
  return plain;
}

std::string PlainFailure(const SGuidFailure& failure) {
  for (const FixedWords& fixed : kFixedWords)
    if (fixed.step == failure.step) return fixed.words;
  using Step = GuidFailureStep;
  const std::string cause = Trim(OneLine(failure.cause));
  switch (failure.step) {
    case Step::kNoSourceFolder:
      return MissingDownloadFolder();
    case Step::kControlServer:
      return NoControlServer();
    case Step::kMakeFolder:
      return "cannot create the folder " + failure.subject + ": " + cause;
    case Step::kCopy:
      return "cannot copy " + failure.subject + " to " + failure.target + ": " + cause;
    case Step::kUnusable:
      return "the control server's database " + failure.subject +
             " is not usable, the local table is left as it was: " + cause;
    case Step::kMissingFolder:
      return "the GUID cache folder " + failure.subject + " does not exist";
    case Step::kAppManager:
      return ApplicationManagerFailure();
    case Step::kOpen:
      return "cannot open " + DatabasePath(failure.subject);
    case Step::kQuery:
      return "the query for " + failure.subject + " failed" + (cause.empty() ? "" : ": " + cause);
    // Told in the fixed words above.
    case Step::kNone:
    case Step::kNoFolder:
    case Step::kNoHome:
    case Step::kLock:
    case Step::kEarlierDownload:
    case Step::kDownload:
    case Step::kInstance:
    case Step::kNoRows:
    // The cause is in the operator's words already (the network session's,
    // the file system's, the rebuild's). Listed rather than a default, so
    // that a new step must be given its words.
    case Step::kSettings:
    case Step::kCacheFolder:
    case Step::kConnect:
    case Step::kTransfer:
    case Step::kInstall:
    case Step::kRebuild:
    case Step::kUnexpected:
      break;
  }
  return cause.empty() ? "no reason was given" : cause;
}

std::string RefreshTimeFailure(const SRefreshReport& report) {
  if (report.outcome == RefreshOutcomeNone) return std::string();
  if (!report.timeRecorded) {
    HXPlatformInfo settings;
    return std::string("cannot write the refresh time (") + kRefreshTimeSetting + ") to " +
           settings.filePath();
  }
  if (!report.timeCleared)
    return std::string("cannot clear the refresh time (") + kRefreshTimeSetting +
           ") before the rebuild";
  return std::string();
}

std::string FormatIso8601(int64_t secondsSinceEpoch) {
  std::time_t t = static_cast<std::time_t>(secondsSinceEpoch);
  struct tm local;
  char text[64];
  if (!localtime_r(&t, &local) ||
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local) == 0)
    return std::to_string(secondsSinceEpoch);
  // strftime writes the offset as +hhmm; ISO 8601's extended form is +hh:mm.
  std::string iso = text;
  if (iso.size() >= 5) iso.insert(iso.size() - 2, ":");
  return iso;
}

std::string OneLine(const std::string& text) {
  std::string out;
  bool pendingBreak = false;
  for (char c : text) {
    if (c == '\n' || c == '\r') {
      pendingBreak = true;
      continue;
    }
    if (pendingBreak) {
      while (!out.empty() && out.back() == ' ') out.pop_back();
      if (!out.empty()) out += "; ";
      pendingBreak = false;
      if (c == ' ') continue;
    }
    out += c;
  }
  return out;
}

}  // namespace guidlookup
