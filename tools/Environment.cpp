#include "tools/Environment.h"

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

#include "guiddb/CacheFiles.h"
#include "host/AppMgrClient.h"
#include "host/EventLog.h"
#include "host/FXString.h"
#include "host/HostConfig.h"
#include "host/LogWriter.h"
#include "host/Settings.h"
#include "host/net/Network.h"
#include "lookups/ProcessFlags.h"
#include "tools/PlainWords.h"

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

// For this process only, ahead of the knob's environment variable.
void Use(hostconfig::Knob knob, const std::string& value) {
  if (!hostconfig::Set(knob, value)) throw ToolError(kExitFailure, "out of memory");
}

// The level as the library's default writer reads GUIDLOOKUPS_LOG_LEVEL.
int LogLevel() {
  std::string text = hostconfig::Get(hostconfig::Knob::kLogLevel);
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || errno != 0 || *end != '\0' || value < -1000 || value > 1000) return 1;
  return static_cast<int>(value);
}

// The library skips what it cannot read and carries on with defaults; for an
// operator that would turn a settings file they cannot read into a baffling
// "no home folder". Say it plainly instead. A missing file is no failure:
// every value takes its default.
void CheckSettingsReadable(const std::string& file) {
  HXPlatformInfo settings;
  std::vector<SettingsLine> lines;
  if (file.empty() || settings.listFile(&lines) != SettingStatus::kUnreadable) return;
  const int error = settings.lastReadErrno();
  throw ToolError(kExitFailure, "cannot read settings file " + file + ": " +
                                    (error == EISDIR ? "it is a folder" : std::strerror(error)));
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

}  // namespace

ToolContext PrepareEnvironment(const GlobalOptions& options) {
  auto buffer = std::make_shared<BufferingLogWriter>();
  SetLogWriter(buffer);

  if (!options.settingsDir.empty())
    Use(hostconfig::Knob::kSettingsDir, Absolute(options.settingsDir));
  if (!options.instance.empty()) {
    if (options.instance.find('/') != std::string::npos)
      throw ToolError(kExitUsage, "--instance: an instance name cannot hold '/'");
    Use(hostconfig::Knob::kInstance, options.instance);
  }
  if (options.logLevelGiven) Use(hostconfig::Knob::kLogLevel, std::to_string(options.logLevel));

  ToolContext context;
  const std::string home = Absolute(options.home);
  context.settingsDir = hostconfig::Get(hostconfig::Knob::kSettingsDir);
  if (context.settingsDir.empty() && !home.empty() &&
      FXFolder::DoesFolderExist(home + "/settings")) {
    // An agent home made by hand keeps its settings inside: --home alone
    // then finds them. Only an existing folder counts; naming a home folder
    // creates nothing.
    context.settingsDir = home + "/settings";
    Use(hostconfig::Knob::kSettingsDir, context.settingsDir);
  }
  // The library never creates a settings folder it was given; neither do we.
  if (!context.settingsDir.empty() && !FXFolder::DoesFolderExist(context.settingsDir))
    throw ToolError(kExitFailure, "settings folder " + context.settingsDir + " does not exist");
  // For this process only: an agent's settings stay as they are.
  if (!home.empty() &&
      !HXPlatformInfo::SetOverlay(hxsettings::kHome.section, hxsettings::kHome.name, home))
    throw ToolError(kExitFailure, "cannot use --home " + home);

  HXPlatformInfo settings;
  context.settingsFile = settings.filePath();
  CheckSettingsReadable(context.settingsFile);
  settings.getString(hxsettings::kHome, &context.home);

  bool needsFolder = false;
  if (!options.logFile.empty()) {
    context.logFile = Absolute(options.logFile);
    CheckLogFileWritable(context.logFile, true);
  } else if (!hostconfig::Get(hostconfig::Knob::kLogFile).empty()) {
    context.logFile = hostconfig::Get(hostconfig::Knob::kLogFile);
    CheckLogFileWritable(context.logFile, false);
  } else if (!context.home.empty()) {
    context.logFile = context.home + "/guidlookup.log";
    needsFolder = true;
  }
  Use(hostconfig::Knob::kLogFile, context.logFile);
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

std::string GuidCacheDir(const ToolContext& context) {
  return cachefiles::CacheFolder(context.home);
}

std::string DatabasePath(const std::string& guidCacheDir) {
  return cachefiles::Database(guidCacheDir);
}

void RequireGuidCacheFolder(const ToolContext& context) {
  const std::string folder = GuidCacheDir(context);
  if (FXFolder::DoesFolderExist(folder)) return;
  throw ToolError(kExitFailure, "no database at " + DatabasePath(folder) + " (the folder " +
                                    folder +
                                    " does not exist); import a directory export with "
                                    "'guidlookup import FILE' or run 'guidlookup refresh'");
}

std::string MakeGuidCacheFolder(const ToolContext& context) {
  const std::string folder = GuidCacheDir(context);
  if (!FXFolder::DoesFolderExist(folder)) {
    CLmError error = FXFolder::CreateFoldersIteratively(folder, nullptr);
    if (error.IsError())
      throw ToolError(kExitFailure,
                      "cannot create the GUID cache folder " + folder + ": " + error.Text());
  }
  return folder;
}

void SetUpForRefresh(CHXGuidLookups& lookups, uint64_t jobId, unsigned int jobFlags) {
  // Private mode: the set-up reads the home folder and makes the GUID cache
  // folder, and leaves the refresh to UpdateGUIDDB.
  CLmError error = lookups.Initialize(jobId, jobFlags, false, true, &event);
  const SGuidFailure& failure = lookups.lastFailure();
  if (failure.step == GuidFailureStep::kCacheFolder)
    throw ToolError(kExitFailure, "cannot create the GUID cache folder " + failure.subject + ": " +
                                      failure.cause);
  if (error.IsError()) throw ToolError(kExitFailure, PlainFailure(failure));
  // An empty dHOME counts as none, as the library's own set-up takes it.
  if (lookups.guidCacheDir.empty())
    throw ToolError(kExitFailure, "no home folder: the settings hold no dHOME (pass --home DIR)");
}

NumberSetting ReadNumberSetting(const char* name, unsigned long fallback) {
  NumberSetting setting;
  setting.value = fallback;
  const hxsettings::Setting* known = hxsettings::Find(hxsettings::kEventManager, name);
  if (!known) return setting;
  HXPlatformInfo settings;
  const SettingStatus status = settings.readNumber(*known, &setting.value, &setting.text);
  setting.valid = status == SettingStatus::kFound;
  setting.present = setting.valid || status == SettingStatus::kUnparseable;
  return setting;
}

std::string NotANumber(const NumberSetting& setting, const std::string& fallbackMeaning) {
  if (!setting.present || setting.valid) return std::string();
  return setting.text + " (not a number; " + fallbackMeaning + ")";
}

}  // namespace guidlookup
