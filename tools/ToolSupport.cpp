#include "tools/ToolSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "host/AppMgrClient.h"
#include "host/FXString.h"
#include "host/LogWriter.h"
#include "host/Network.h"
#include "host/Settings.h"

namespace guidlookup {
namespace {

constexpr char kGuidCacheSubfolder[] = "/JobResults/GUIDCacheDir";
constexpr char kRefreshTimeSetting[] = "[EventManager] nLastGuidNameTableRefreshTime";
constexpr char kControlServerSetting[] = "[Base] sControlServerURL (or GUIDLOOKUPS_CONTROL_SERVER)";

// Keeps the lines the library writes while the tool has not yet decided where
// the log goes (reading the settings may already log a malformed line), so
// that nothing reaches the terminal and nothing is lost.
class BufferingLogWriter : public CLogWriterInterface {
 public:
  struct Line {
    int level;
    std::string tag;
    int line;
    std::string message;
  };
  void WriteLine(int level, const char* tag, int line, const std::string& message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({level, tag ? tag : "", line, message});
  }
  int GetLevel() override { return 7; }
  std::vector<Line> take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(lines_);
  }

 private:
  std::mutex mutex_;  // protects lines_
  std::vector<Line> lines_;
};

// The operator's log file, created at the first line rather than up front, so
// that a run that logs nothing (info, on a healthy table) writes nothing.
// With `needsFolder`, lines are dropped while the file's folder does not
// exist (a home folder that an import or a refresh has yet to create), so
// that logging never creates a folder. Thread-safe.
class LazyFileLogWriter : public CLogWriterInterface {
 public:
  LazyFileLogWriter(std::string file, bool needsFolder, int level)
      : file_(std::move(file)), needsFolder_(needsFolder), level_(level) {}

  void WriteLine(int level, const char* tag, int line, const std::string& message) override {
    std::shared_ptr<CLogWriterInterface> target = Target();
    if (target && level <= target->GetLevel()) target->WriteLine(level, tag, line, message);
  }
  void Flush() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (target_) target_->Flush();
  }
  int GetLevel() override { return level_; }

 private:
  std::shared_ptr<CLogWriterInterface> Target() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (decided_ || file_.empty()) return target_;
    if (needsFolder_ && !FXFolder::DoesFolderExist(file_.substr(0, file_.rfind('/') + 1)))
      return nullptr;
    decided_ = true;
    // Opened here first so that a file that cannot be opened drops the lines
    // instead of the library's fallback to standard error.
    int fd = open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    close(fd);
    target_ = MakeDefaultLogWriter();  // reads GUIDLOOKUPS_LOG_FILE and _LEVEL
    return target_;
  }

  const std::string file_;
  const bool needsFolder_;
  const int level_;
  // mutex_ protects the following state.
  std::mutex mutex_;
  bool decided_ = false;
  std::shared_ptr<CLogWriterInterface> target_;
};

std::string Absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) == nullptr) return path;
  return std::string(buffer) + "/" + path;
}

std::string EnvOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

void SetEnv(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

// The level as the library's default writer reads GUIDLOOKUPS_LOG_LEVEL.
int LogLevel() {
  std::string text = EnvOrEmpty("GUIDLOOKUPS_LOG_LEVEL");
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || errno != 0 || *end != '\0' || value < -1000 || value > 1000) return 1;
  return static_cast<int>(value);
}

// The library skips what it cannot read and carries on with defaults; for an
// operator that would turn a settings file they cannot read into a baffling
// "no home folder". Say it plainly instead.
void CheckSettingsReadable(const std::string& file) {
  if (file.empty()) return;
  struct stat st;
  if (stat(file.c_str(), &st) != 0) {
    if (errno == ENOENT) return;  // no settings yet: every value takes its default
    throw ToolError(kExitFailure,
                    "cannot read settings file " + file + ": " + std::strerror(errno));
  }
  if (S_ISDIR(st.st_mode))
    throw ToolError(kExitFailure, "cannot read settings file " + file + ": it is a folder");
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  char byte;
  if (fd < 0 || read(fd, &byte, 1) < 0) {
    int error = errno;
    if (fd >= 0) close(fd);
    throw ToolError(kExitFailure,
                    "cannot read settings file " + file + ": " + std::strerror(error));
  }
  close(fd);
}

// Whether the log file could be written, without creating it.
void CheckLogFileWritable(const std::string& file, bool fromOption) {
  std::string probe = file;
  struct stat st;
  if (stat(file.c_str(), &st) != 0) probe = file.substr(0, file.rfind('/') + 1);
  if (probe.empty()) probe = ".";
  if (access(probe.c_str(), probe == file ? W_OK : W_OK | X_OK) != 0)
    throw ToolError(fromOption ? kExitUsage : kExitFailure,
                    "cannot open log file " + file + ": " + std::strerror(errno));
}

std::string Setting(const char* section, const char* name) {
  HXPlatformInfo settings;
  std::string value;
  return settings.getString(section, name, &value) ? value : std::string();
}

// After "Unable to get Base Temp Directory path", which the download logs for
// three different settings: the one that is missing, found as the download
// looks for it.
std::string MissingDownloadFolder() {
  HXPlatformInfo settings;
  std::string value;
  if (!settings.getString("vTaskHost", "dHOME", &value))
    return "missing setting [vTaskHost] dHOME (the agent's home folder)";
  if (settings.getHXPlatformType() & kHXPlatformControlServerHere)
    return "missing setting [Base] dMORVAXSQLLITEDBDIR (or [Base] dBASEHOME): the folder of the "
           "control server's database on this machine";
  std::string url;
  HXClient client(2);
  if (client.getNetworkHostnameMangled(url, nullptr) != 0 &&
      Setting("Base", "sControlServerURL").empty() &&
      EnvOrEmpty("GUIDLOOKUPS_CONTROL_SERVER").empty())
    return std::string("no control server configured: missing settings ") + kControlServerSetting +
           " and [Base] dMORVAXTEMPDIR (the folder the copy is downloaded into)";
  return "missing setting [Base] dMORVAXTEMPDIR (the folder the control server's copy is "
         "downloaded into)";
}

std::string NoControlServer() {
  std::string url = Setting("Base", "sControlServerURL");
  if (url.empty()) url = EnvOrEmpty("GUIDLOOKUPS_CONTROL_SERVER");
  if (url.empty())
    return std::string("no control server configured: missing setting ") + kControlServerSetting;
  return "the control server's address " + url + " is not an http:// or https:// URL (" +
         kControlServerSetting + ")";
}

std::string ApplicationManagerFailure() {
  std::string table = EnvOrEmpty("GUIDLOOKUPS_APPMGR_TABLE");
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

}  // namespace

ToolContext PrepareEnvironment(const GlobalOptions& options) {
  auto buffer = std::make_shared<BufferingLogWriter>();
  SetLogWriter(buffer);

  if (!options.settingsDir.empty())
    SetEnv("GUIDLOOKUPS_SETTINGS_DIR", Absolute(options.settingsDir));
  if (!options.instance.empty()) {
    if (options.instance.find('/') != std::string::npos)
      throw ToolError(kExitUsage, "--instance: an instance name cannot hold '/'");
    SetEnv("GUIDLOOKUPS_INSTANCE", options.instance);
  }
  if (options.logLevelGiven) SetEnv("GUIDLOOKUPS_LOG_LEVEL", std::to_string(options.logLevel));

  ToolContext context;
  const std::string home = Absolute(options.home);
  context.settingsDir = EnvOrEmpty("GUIDLOOKUPS_SETTINGS_DIR");
  if (context.settingsDir.empty() && !home.empty() &&
      FXFolder::DoesFolderExist(home + "/settings")) {
    // An agent home made by hand keeps its settings inside: --home alone
    // then finds them. Only an existing folder counts; naming a home folder
    // creates nothing.
    context.settingsDir = home + "/settings";
    SetEnv("GUIDLOOKUPS_SETTINGS_DIR", context.settingsDir);
  }
  // The library never creates a settings folder it was given; neither do we.
  if (!context.settingsDir.empty() && !FXFolder::DoesFolderExist(context.settingsDir))
    throw ToolError(kExitFailure, "settings folder " + context.settingsDir + " does not exist");
  // For this process only: an agent's settings stay as they are.
  if (!home.empty() && !HXPlatformInfo::SetOverlay("vTaskHost", "dHOME", home))
    throw ToolError(kExitFailure, "cannot use --home " + home);

  HXPlatformInfo settings;
  context.settingsFile = settings.filePath();
  CheckSettingsReadable(context.settingsFile);
  settings.getString("vTaskHost", "dHOME", &context.home);

  bool needsFolder = false;
  if (!options.logFile.empty()) {
    context.logFile = Absolute(options.logFile);
    CheckLogFileWritable(context.logFile, true);
  } else if (!EnvOrEmpty("GUIDLOOKUPS_LOG_FILE").empty()) {
    context.logFile = EnvOrEmpty("GUIDLOOKUPS_LOG_FILE");
    CheckLogFileWritable(context.logFile, false);
  } else if (!context.home.empty()) {
    context.logFile = context.home + "/guidlookup.log";
    needsFolder = true;
  }
  SetEnv("GUIDLOOKUPS_LOG_FILE", context.logFile);
  auto writer = std::make_shared<LazyFileLogWriter>(context.logFile, needsFolder, LogLevel());
  SetLogWriter(writer);
  for (const auto& line : buffer->take()) {
    if (writer->GetLevel() >= line.level)
      writer->WriteLine(line.level, line.tag.c_str(), line.line, line.message);
  }
  return context;
}

void RequireHome(const ToolContext& context) {
  if (!context.home.empty()) return;
  if (context.settingsFile.empty())
    throw ToolError(kExitFailure,
                    "no settings folder: pass --home DIR (or --settings-dir DIR, or set "
                    "GUIDLOOKUPS_SETTINGS_DIR)");
  if (!FXFile::DoesFileExist(context.settingsFile))
    throw ToolError(kExitFailure, "no settings file " + context.settingsFile +
                                      ": pass --home DIR, or set [vTaskHost] dHOME in it");
  throw ToolError(kExitFailure, "no home folder: " + context.settingsFile +
                                    " holds no dHOME in [vTaskHost] (pass --home DIR)");
}

void RequireSettingsFolder(const ToolContext& context) {
  if (!context.settingsFile.empty()) return;
  throw ToolError(kExitFailure,
                  std::string("no settings folder, so the refresh time (") + kRefreshTimeSetting +
                      ") cannot be recorded: pass --settings-dir DIR (or set "
                      "GUIDLOOKUPS_SETTINGS_DIR), or create " +
                      (context.home.empty() ? std::string("<home>") : context.home) + "/settings");
}

std::string GuidCacheDir(const ToolContext& context) { return context.home + kGuidCacheSubfolder; }

std::string DatabasePath(const std::string& guidCacheDir) { return guidCacheDir + "/" GUIDDB_NAME; }

void RequireGuidCacheFolder(const ToolContext& context) {
  const std::string folder = GuidCacheDir(context);
  if (FXFolder::DoesFolderExist(folder)) return;
  throw ToolError(kExitFailure, "no database at " + DatabasePath(folder) + " (the folder " +
                                    folder +
                                    " does not exist); import a directory export with "
                                    "'guidlookup import FILE' or run 'guidlookup refresh'");
}

void InitializeForPaths(CHXGuidLookups& lookups, uint64_t jobId, unsigned int jobFlags,
                        bool isExchange) {
  CLmError error = lookups.Initialize(jobId, jobFlags, false, isExchange, &event);
  if (error.IsError())
    throw ToolError(kExitFailure, "cannot create the GUID cache folder " + lookups.guidCacheDir +
                                      ": " + error.Text());
  if (lookups.guidCacheDir.empty())
    throw ToolError(kExitFailure, "no home folder: the settings hold no dHOME (pass --home DIR)");
}

unsigned long FreshJobId(const std::string& markerPath) {
  unsigned long id = static_cast<unsigned long>(std::time(nullptr));
  unsigned long marker = 0;
  if (ReadJobMarker(markerPath, marker) && marker >= id) id = marker + 1;
  return id;
}

NumberSetting ReadNumberSetting(const char* name, unsigned long fallback) {
  HXPlatformInfo settings;
  NumberSetting setting;
  setting.value = fallback;
  setting.valid = settings.getNumber("EventManager", name, &setting.value) != 0;
  if (!setting.valid) setting.value = fallback;
  setting.present = settings.getString("EventManager", name, &setting.text) != 0;
  return setting;
}

std::string NotANumber(const NumberSetting& setting, const std::string& fallbackMeaning) {
  if (!setting.present || setting.valid) return std::string();
  return setting.text + " (not a number; " + fallbackMeaning + ")";
}

std::string DescribeRefreshSource(const NumberSetting& source) {
  std::string text;
  if (source.value != 0) {
    std::string url;
    HXClient client(2);
    text = "download from the control server ";
    text +=
        client.getNetworkHostnameMangled(url, nullptr) == 0 ? url : "(" + NoControlServer() + ")";
  } else {
    const char* table = std::getenv("GUIDLOOKUPS_APPMGR_TABLE");
    text = "rebuild from the application manager's table ";
    text += table && *table ? table : "(GUIDLOOKUPS_APPMGR_TABLE is not set)";
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
  const std::string text = Trim(OneLine(libraryText));
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

bool CountRows(const std::string& databasePath, long& rows, long& guids, std::string& error) {
  return CGuidDB::CountFile(databasePath, rows, guids, error);
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

namespace {

// The length of the valid UTF-8 sequence at text[i], 0 when there is none
// (a stray continuation byte, a truncated sequence, an overlong form, a
// surrogate or a code point beyond U+10FFFF).
size_t Utf8SequenceLength(const std::string& text, size_t i) {
  const auto byte = [&text](size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char c = byte(i);
  size_t length;
  unsigned int min, code;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2, min = 0x80, code = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3, min = 0x800, code = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4, min = 0x10000, code = c & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string JsonEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    if (c >= 0x20 && c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    if (c >= 0x80) {
      if (size_t length = Utf8SequenceLength(text, i); length > 0) {
        out.append(text, i, length);
        i += length - 1;
        continue;
      }
    }
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
    out += buffer;
  }
  return out;
}

std::string JsonString(const std::string& text) { return "\"" + JsonEscape(text) + "\""; }

std::string JsonArray(const std::vector<std::string>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) out += (i ? ", " : "") + values[i];
  return out + "]";
}

JsonObject& JsonObject::addRaw(const std::string& name, const std::string& json) {
  if (!body_.empty()) body_ += ", ";
  body_ += JsonString(name) + ": " + json;
  return *this;
}
JsonObject& JsonObject::add(const std::string& name, const std::string& value) {
  return addRaw(name, JsonString(value));
}
JsonObject& JsonObject::add(const std::string& name, const char* value) {
  return addRaw(name, JsonString(value));
}
JsonObject& JsonObject::addBool(const std::string& name, bool value) {
  return addRaw(name, value ? "true" : "false");
}
JsonObject& JsonObject::addNumber(const std::string& name, long long value) {
  return addRaw(name, std::to_string(value));
}
JsonObject& JsonObject::addNumber(const std::string& name, unsigned long long value) {
  return addRaw(name, std::to_string(value));
}
JsonObject& JsonObject::addNumber(const std::string& name, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.3f", value);
  return addRaw(name, buffer);
}
JsonObject& JsonObject::addNull(const std::string& name) { return addRaw(name, "null"); }

void WriteWholeFile(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw ToolError(kExitFailure, "cannot write " + path + ": " + std::strerror(errno));
  size_t done = 0;
  int error = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    done += static_cast<size_t>(n);
  }
  // A file system that writes back late may report the failure only here.
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0)
    throw ToolError(kExitFailure, "cannot write " + path + ": " + std::strerror(error));
}

namespace {

// std::cout's buffer for the whole run: writes go to descriptor 1 and the
// first failure's errno is kept, which a FILE-based stream forgets once a
// later call succeeds or resets errno.
class CheckedOutputBuffer : public std::streambuf {
 public:
  CheckedOutputBuffer() { setp(buffer_, buffer_ + sizeof buffer_); }
  int error() const { return error_; }

 protected:
  int_type overflow(int_type c) override {
    if (!Drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return Drain() ? 0 : -1; }

 private:
  bool Drain() {
    const char* p = pbase();
    while (p < pptr()) {
      ssize_t n = ::write(STDOUT_FILENO, p, static_cast<size_t>(pptr() - p));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (error_ == 0) error_ = n < 0 ? errno : EIO;
        break;
      }
      p += n;
    }
    // What could not be written is dropped: the run fails anyway, and a
    // stream that keeps it would retry the same failing write forever.
    setp(buffer_, buffer_ + sizeof buffer_);
    return error_ == 0;
  }

  char buffer_[8192];
  int error_ = 0;
};

CheckedOutputBuffer* g_output = nullptr;

}  // namespace

void CheckStandardOutput() {
  // Never destroyed: std::cout flushes its buffer once more when the runtime
  // ends, after every static object of ours is gone.
  static CheckedOutputBuffer* buffer = new CheckedOutputBuffer;
  g_output = buffer;
  std::cout.rdbuf(buffer);
}

std::string FlushStandardOutput() {
  std::cout.flush();
  int error = g_output ? g_output->error() : 0;
  if (std::fflush(stdout) != 0 && error == 0) error = errno;
  if (error == 0 && std::cout.good()) return std::string();
  return std::strerror(error != 0 ? error : EIO);
}

}  // namespace guidlookup
