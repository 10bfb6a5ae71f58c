#include "tools/PlainWords.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <list>
#include <vector>

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

// After "Unable to get Base Temp Directory path", which the download logs for
// three different settings: the one that is missing, found as the download
// looks for it.
std::string MissingDownloadFolder() {
  HXPlatformInfo settings;
  std::string value;
  if (!settings.getString(hxsettings::kHome, &value))
    return "missing setting [vTaskHost] dHOME (the agent's home folder)";
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

std::string NoControlServer() {
  std::string url = Setting(hxsettings::kControlServerUrl);
  if (url.empty()) url = hostconfig::Get(hostconfig::Knob::kControlServer);
  if (url.empty())
    return std::string("no control server configured: missing setting ") + kControlServerSetting;
  return "the control server's address " + WithoutUrlCredentials(url) +
         " is not an http:// or https:// URL (" + kControlServerSetting + ")";
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

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// The text between `open` and the last `close` after it ("" when absent):
// library texts put values in brackets, and a value (an error text) may hold
// brackets of its own.
std::string Between(const std::string& text, const std::string& open, const std::string& close) {
  size_t start = text.find(open);
  if (start == std::string::npos) return std::string();
  start += open.size();
  size_t end = text.rfind(close);
  if (end == std::string::npos || end < start) return text.substr(start);
  return text.substr(start, end - start);
}

// The parts of a refresh reason: "Name: [a][b]" gives a, b.
std::vector<std::string> ReasonParts(const std::string& reason) {
  std::vector<std::string> parts;
  size_t open = reason.find('[');
  while (open != std::string::npos) {
    size_t close = reason.find("][", open + 1);
    if (close == std::string::npos) close = reason.rfind(']');
    if (close == std::string::npos || close <= open) break;
    parts.push_back(reason.substr(open + 1, close - open - 1));
    open = reason.find('[', close);
  }
  return parts;
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// The text without the " (code -5)" and " at file:function:line" trails that
// the library's error values add for its log: the operator acts on the words,
// and the code is of no use to them.
std::string WithoutErrorCodes(const std::string& text) {
  static const std::string kOpen = " (code ";
  std::string out;
  size_t from = 0;
  for (size_t at = text.find(kOpen); at != std::string::npos; at = text.find(kOpen, at + 1)) {
    size_t end = at + kOpen.size();
    if (end < text.size() && text[end] == '-') ++end;
    const size_t digits = end;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    if (end == digits || end >= text.size() || text[end] != ')') continue;
    ++end;
    // A code location runs to the next ']' (the end of a bracketed quote) or to the end.
    if (text.compare(end, 4, " at ") == 0) end = std::min(text.find(']', end + 4), text.size());
    out.append(text, from, at - from);
    from = end;
    at = end - 1;
  }
  out.append(text, from, std::string::npos);
  return out;
}

}  // namespace

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

std::string PlainReason(const std::string& reason) {
  std::string plain;
  for (const std::string& part : ReasonParts(reason)) {
    std::string text = part;
    unsigned long number = 0;
    if (std::sscanf(part.c_str(), "Refresh happened once for the job (%lu)", &number) == 1)
      text = "job " + std::to_string(number) + " has had its refresh (the job marker names it)";
    else if (std::sscanf(part.c_str(), "Refresh flag set for the job(%lu)", &number) == 1)
      text = "job " + std::to_string(number) + " asks for a refresh and has not had one";
    else if (StartsWith(part, "Refreshing as the GUID table was not refreshed at all"))
      text = std::string("no refresh was ever recorded (") + kRefreshTimeSetting + " is not set)";
    else if (StartsWith(part, "Refresh interval is set to 0"))
      text = "refreshing by time is off ([EventManager] SmtpGuidTableRefreshInterval=0)";
    else if (std::sscanf(part.c_str(),
                         "Refreshing as the table is not synced in the last refresh interval of "
                         "(%lu)",
                         &number) == 1)
      text = "the last refresh is older than the refresh interval of " + std::to_string(number) +
             " minutes";
    else if (std::sscanf(part.c_str(),
                         "Last refreshtime was a recent one, refresh interval is (%lu)",
                         &number) == 1)
      text = "the last refresh is within the refresh interval of " + std::to_string(number) +
             " minutes";
    if (!plain.empty()) plain += "; ";
    plain += text;
  }
  return plain.empty() ? OneLine(reason) : plain;
}

std::string PlainError(const std::string& libraryText) {
  const std::string text = WithoutErrorCodes(Trim(OneLine(libraryText)));
  auto after = [&text](const char* marker) {
    size_t at = text.find(marker);
    return at == std::string::npos ? std::string() : text.substr(at + std::strlen(marker));
  };
  if (text.empty()) return "no reason was given";
  if (StartsWith(text, "Unable to get Base Temp Directory path")) return MissingDownloadFolder();
  if (StartsWith(text, "Unable to set focus name"))
    return "the instance name is not usable (--instance, GUIDLOOKUPS_INSTANCE)";
  if (StartsWith(text, "Failed to get Network mangled Hostname")) return NoControlServer();
  if (StartsWith(text, "Failed to connect to the remote machine"))
    return Between(text, "[", "]");  // the network's own text names the server
  if (StartsWith(text, "HXSession::getfile() returned error")) return Between(text, "[", "]");
  if (StartsWith(text, "failed to create directory"))
    return "cannot create the folder " + Between(text, "[", "]. error [") + ": " +
           Between(text, "]. error [", "]");
  if (StartsWith(text, "failed to copy file from"))
    return "cannot copy " + Between(text, "from [", "] to [") + " to " +
           Between(text, "] to [", "]. error [") + ": " + Between(text, "]. error [", "]");
  if (StartsWith(text, "GUID database [") && text.find("is not usable") != std::string::npos)
    return "the control server's database " + Between(text, "[", "] from HB") +
           " is not usable, the local table is left as it was: " +
           after("local database left as it was: ");
  if (StartsWith(text, "Not refreshing SQLite: no GUID cache folder") ||
      StartsWith(text, "No GUID cache folder"))
    return "missing setting [vTaskHost] dHOME (the agent's home folder)";
  if (StartsWith(text, "Could not lock SQLITE_ACCESS_LOCK"))
    return "cannot take the machine-wide lock of the GUID table (the lock file "
           "SQLITE_ACCESS_LOCK.lock in the lock folder; see GUIDLOOKUPS_LOCK_DIR)";
  if (StartsWith(text, "Failed to get Sql Lite GUID db"))
    return "the download from the control server failed";
  if (StartsWith(text, "Not fetching sql lite GUID"))
    return "an earlier download of this run failed";
  if (StartsWith(text, "Unable to create GUIDDB_NAME under folder"))
    return "the GUID cache folder " + Between(text, "[", "]") + " does not exist";
  if (StartsWith(text, "Unable to open GUIDDB_NAME under folder"))
    return "cannot open " + DatabasePath(Between(text, "[", "]"));
  if (StartsWith(text, "Failed to get app_guid table")) return ApplicationManagerFailure();
  if (StartsWith(text, "No rows in app mgr GUID table"))
    return "the application manager's table holds no rows";
  if (IsRefreshTimeNotRecorded(text)) {
    HXPlatformInfo settings;
    return std::string("cannot write the refresh time (") + kRefreshTimeSetting + ") to " +
           settings.filePath();
  }
  if (StartsWith(text, "Could not clear the last tbl refresh time"))
    return std::string("cannot clear the refresh time (") + kRefreshTimeSetting +
           ") before the rebuild";
  if (StartsWith(text, "Unable to fetch row from local guid_name table"))
    return "the query for " + Between(text, "[", "]") + " failed";
  if (StartsWith(text, "Query for ["))
    return "the query for " + Between(text, "[", "] failed: ") + " failed: " + after("] failed: ");
  if (StartsWith(text, "Refresh of the local GUID table failed: "))
    return after("Refresh of the local GUID table failed: ");
  if (StartsWith(text, "Set-up of the GUID lookup service failed: "))
    return after("Set-up of the GUID lookup service failed: ");
  return text;
}

bool IsRefreshTimeNotRecorded(const std::string& libraryText) {
  return Trim(libraryText).rfind("Could not set the last tbl refresh time", 0) == 0;
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
