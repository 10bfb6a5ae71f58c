// The run's environment: the global options applied to the library (the
// settings folder, instance, home as a settings overlay, the log file), and
// what the commands need to know of it. Nothing here writes a setting or
// creates a folder.
//
// Runs on the tool's single thread, except the log writer that
// PrepareEnvironment installs, which the library may call from any thread and
// which is thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "lookups/HXGuidLookups.h"
#include "tools/ToolError.h"

namespace guidlookup {

constexpr char kRefreshTimeSetting[] = "[EventManager] nLastGuidNameTableRefreshTime";

// The options every command takes. Empty strings and an unset level mean
// "not given": the environment (or the library's default) decides.
struct GlobalOptions {
  std::string home;         // --home: the agent's home folder, setting "dHOME", this run only
  std::string settingsDir;  // --settings-dir: GUIDLOOKUPS_SETTINGS_DIR
  std::string instance;     // --instance: GUIDLOOKUPS_INSTANCE
  std::string logFile;      // --log-file: GUIDLOOKUPS_LOG_FILE
  int logLevel = 0;         // --log-level: GUIDLOOKUPS_LOG_LEVEL
  bool logLevelGiven = false;
};

// What the set-up found out, for the commands and their messages.
struct ToolContext {
  std::string settingsDir;   // the settings folder, or "" without one
  std::string settingsFile;  // "<settings dir>/<instance>.ini", or "" without a folder
  std::string home;          // "dHOME" (--home, else the settings), or "" when there is none
  std::string logFile;       // where the library's lines go, or "" for nowhere
};

// Points the library at the operator's settings and log file for this run,
// without writing or creating anything: the settings folder and instance
// (set in-process, see host/HostConfig.h), --home as "dHOME" in the
// settings overlay (never in a file), "<home>/settings" as the settings
// folder when none was given and that folder exists, and a log writer that
// creates its file only when the first line comes: --log-file, else
// GUIDLOOKUPS_LOG_FILE, else "<home>/guidlookup.log" once the home folder
// exists; lines never reach the terminal. Throws ToolError for an invalid
// option, a settings folder that does not exist, an unreadable settings file
// or a log file that cannot be written.
ToolContext PrepareEnvironment(const GlobalOptions& options);

// Throws ToolError unless the context has a home folder.
void RequireHome(const ToolContext& context);
// Throws ToolError unless there is a settings folder, where a refresh records
// its time.
void RequireSettingsFolder(const ToolContext& context);

// "<home>/JobResults/GUIDCacheDir", where the library keeps the table.
std::string GuidCacheDir(const ToolContext& context);
// "<guidCacheDir>/GUIDDB.DAT".
std::string DatabasePath(const std::string& guidCacheDir);
// For the commands that only read: throws ToolError, saying what is missing
// and how to get it, when the GUID cache folder does not exist, so that they
// never create it.
void RequireGuidCacheFolder(const ToolContext& context);

// GuidCacheDir(context), created when missing. Throws ToolError when it
// cannot be created.
std::string MakeGuidCacheFolder(const ToolContext& context);

// Sets `lookups` up for UpdateGUIDDB alone, through its private-mode
// Initialize (which makes the GUID cache folder and loads nothing), for the
// job given. Throws ToolError without a home folder or when the set-up
// fails.
void SetUpForRefresh(CHXGuidLookups& lookups, uint64_t jobId, unsigned int jobFlags);

// A number of section "EventManager" as the library reads it, and its text.
struct NumberSetting {
  bool present = false;  // the settings hold the name, a number or not
  bool valid = false;    // ... and it is a number; `value` is then that number
  unsigned long value = 0;
  std::string text;  // the raw text, when present
};
// `value` is `fallback` unless the setting holds a number.
NumberSetting ReadNumberSetting(const char* name, unsigned long fallback);
// "<text> (not a number; <meaning of the fallback>)" for a present setting that
// is not a number, else "".
std::string NotANumber(const NumberSetting& setting, const std::string& fallbackMeaning);

}  // namespace guidlookup
