#include "tools/ToolSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>

#include "host/FXString.h"
#include "host/Network.h"
#include "host/SQLite3.h"
#include "host/Settings.h"

namespace guidlookup {
namespace {

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

void CheckLogFileWritable(const std::string& file, bool fromOption) {
  int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    throw ToolError(fromOption ? kExitUsage : kExitFailure,
                    "cannot open log file " + file + ": " + std::strerror(errno));
  close(fd);
}

void SetHome(const std::string& home) {
  CLmError made = FXFolder::CreateFoldersIteratively(home, nullptr);
  if (made.IsError())
    throw ToolError(kExitFailure, "cannot create home folder " + home + ": " + made.Text());
  if (EnvOrEmpty("GUIDLOOKUPS_SETTINGS_DIR").empty()) {
    // No settings folder given: keep one inside the home folder, so that a
    // home folder is all an operator needs.
    std::string dir = home + "/settings";
    made = FXFolder::CreateFoldersIteratively(dir, nullptr);
    if (made.IsError())
      throw ToolError(kExitFailure, "cannot create settings folder " + dir + ": " + made.Text());
    SetEnv("GUIDLOOKUPS_SETTINGS_DIR", dir);
  } else if (!FXFolder::DoesFolderExist(EnvOrEmpty("GUIDLOOKUPS_SETTINGS_DIR"))) {
    // The library never creates a settings folder it was given; neither do we.
    throw ToolError(kExitFailure, "settings folder " + EnvOrEmpty("GUIDLOOKUPS_SETTINGS_DIR") +
                                      " does not exist");
  }
  HXPlatformInfo settings;
  CheckSettingsReadable(settings.filePath());
  std::string current;
  bool had = settings.getString("vTaskHost", "dHOME", &current) != 0;
  if (had && current == home) return;
  if (!settings.setString("vTaskHost", "dHOME", home))
    throw ToolError(kExitFailure, "cannot write settings file " + settings.filePath());
  if (had)
    std::cerr << "guidlookup: dHOME in " << settings.filePath() << " changed from " << current
              << " to " << home << "\n";
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
  if (!options.home.empty()) SetHome(Absolute(options.home));

  ToolContext context;
  HXPlatformInfo settings;
  context.settingsFile = settings.filePath();
  CheckSettingsReadable(context.settingsFile);
  settings.getString("vTaskHost", "dHOME", &context.home);

  if (!options.logFile.empty()) {
    context.logFile = Absolute(options.logFile);
  } else if (!EnvOrEmpty("GUIDLOOKUPS_LOG_FILE").empty()) {
    context.logFile = EnvOrEmpty("GUIDLOOKUPS_LOG_FILE");
  } else if (!context.home.empty() && FXFolder::DoesFolderExist(context.home)) {
    context.logFile = context.home + "/guidlookup.log";
  } else {
    context.logFile = "/dev/null";
  }
  CheckLogFileWritable(context.logFile, !options.logFile.empty());
  SetEnv("GUIDLOOKUPS_LOG_FILE", context.logFile);
  ResetDefaultLogWriter();

  auto writer = GetLogWriter();
  for (const auto& line : buffer->take()) {
    if (writer && writer->GetLevel() >= line.level)
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
    throw ToolError(kExitFailure,
                    "no settings file " + context.settingsFile + " (pass --home DIR to make one)");
  throw ToolError(kExitFailure, "no home folder: " + context.settingsFile +
                                    " holds no dHOME in [vTaskHost] (pass --home DIR)");
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

std::string DatabasePath(const CHXGuidLookups& lookups) {
  return lookups.guidCacheDir + "/" GUIDDB_NAME;
}

unsigned long FreshJobId(const std::string& markerPath) {
  unsigned long id = static_cast<unsigned long>(std::time(nullptr));
  unsigned long marker = 0;
  if (ReadJobMarker(markerPath, marker) && marker >= id) id = marker + 1;
  return id;
}

unsigned long SettingNumber(const char* name, unsigned long fallback, bool* found) {
  HXPlatformInfo settings;
  unsigned long value = fallback;
  bool ok = settings.getNumber("EventManager", name, &value) != 0;
  if (found) *found = ok;
  return ok ? value : fallback;
}

bool CountRows(const std::string& databasePath, long& rows, long& guids, std::string& error) {
  try {
    FX::CSQLite3DB db(databasePath, true);
    rows = db.ExecScalarInt64("SELECT count(*) FROM GUID;", 0);
    guids = db.ExecScalarInt64("SELECT count(DISTINCT lower(GUID)) FROM GUID;", 0);
    return true;
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
}

std::string DescribeRefreshSource(unsigned long source, bool found) {
  std::string text;
  if (source != 0) {
    std::string url;
    HXClient client(2);
    text = "download from the control server ";
    text += client.getNetworkHostnameMangled(url, nullptr) == 0
                ? url
                : "(none configured: sControlServerURL in [Base] or GUIDLOOKUPS_CONTROL_SERVER)";
  } else {
    const char* table = std::getenv("GUIDLOOKUPS_APPMGR_TABLE");
    text = "rebuild from the application manager's table ";
    text += table && *table ? table : "(GUIDLOOKUPS_APPMGR_TABLE is not set)";
  }
  text += found ? " (getSqlLiteDbFromHB=" + std::to_string(source) + ")"
                : " (getSqlLiteDbFromHB not set: download)";
  return text;
}

std::string FormatLocalAndUtc(int64_t secondsSinceEpoch) {
  std::time_t t = static_cast<std::time_t>(secondsSinceEpoch);
  struct tm local;
  struct tm utc;
  char localText[64] = "?";
  char utcText[64] = "?";
  if (localtime_r(&t, &local))
    std::strftime(localText, sizeof localText, "%Y-%m-%d %H:%M:%S %Z", &local);
  if (gmtime_r(&t, &utc)) std::strftime(utcText, sizeof utcText, "%Y-%m-%d %H:%M:%S UTC", &utc);
  return std::string(localText) + " (" + utcText + ")";
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

std::string JsonEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
          out += buffer;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

TeeLogWriter::TeeLogWriter(std::shared_ptr<CLogWriterInterface> next, int level, Observer observer)
    : next_(std::move(next)),
      nextLevel_(next_ ? next_->GetLevel() : -2),
      level_(std::max(level, nextLevel_)),
      observer_(std::move(observer)) {}

void TeeLogWriter::WriteLine(int level, const char* tag, int line, const std::string& message) {
  if (observer_) observer_(level, message);
  if (level <= -1) {
    std::lock_guard<std::mutex> lock(mutex_);
    errors_.push_back(message);
  }
  if (next_ && level <= nextLevel_) next_->WriteLine(level, tag, line, message);
}

void TeeLogWriter::Flush() {
  if (next_) next_->Flush();
}

std::vector<std::string> TeeLogWriter::errors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return errors_;
}

ScopedTee::ScopedTee(int level, TeeLogWriter::Observer observer)
    : previous_(GetLogWriter()),
      tee_(std::make_shared<TeeLogWriter>(previous_, level, std::move(observer))) {
  SetLogWriter(tee_);
}

ScopedTee::~ScopedTee() { SetLogWriter(previous_); }

std::string JoinErrors(const std::vector<std::string>& errors) {
  // Level -1 carries milestones as well as errors; these are the milestones a
  // refresh or a load writes.
  static const char* const kMilestones[] = {
      "Refreshing SQLite Reason",
      "Not refreshing SQLite Reason",
      "Starting to get GUID info",
      "Successfully received Sql Lite db",
      "GUIDDB jobs results directory",
      "GUIDDB is Inmemory",
      "[AddressCacheMemorySize] set to",
      "GUID Resolution via Proxy",
      "Loading Cache",
      "Cache filled in",
      "Cache already Loaded",
      "Unique GUID:",
      // Said better by the caller, who knows the path and what to do.
      "Either Sqlite DB at",
  };
  std::string joined;
  for (const auto& line : errors) {
    std::string message = OneLine(line.substr(std::min(line.find_first_not_of(' '), line.size())));
    bool milestone = false;
    for (const char* prefix : kMilestones)
      if (message.compare(0, std::strlen(prefix), prefix) == 0) milestone = true;
    if (milestone) continue;
    if (!joined.empty()) joined += "; ";
    joined += message;
  }
  return joined;
}

}  // namespace guidlookup
