// Shared plumbing of the guidlookup commands: exit codes, the one-line error
// type, the set-up of the library's environment from the global options, the
// operator's words for the library's texts, and checked output.
//
// Everything here runs on the tool's single thread, except the log writer
// that PrepareEnvironment installs, which the library may call from any
// thread and which is thread-safe.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "lookups/HXGuidLookups.h"
#include "lookups/JobMarker.h"

namespace guidlookup {

// Exit statuses of every command.
constexpr int kExitOk = 0;
constexpr int kExitNotFound = 1;  // resolve: some key was not found
constexpr int kExitUsage = 2;     // bad command line or bad input file
constexpr int kExitFailure = 3;   // the library, the database, the settings or the output failed
constexpr int kExitCheckWarnings = 1;  // check: warnings, no error

// A failure the operator sees as one line on standard error ("guidlookup: "
// then the message) with its exit status. Thrown by the commands, caught by
// main().
//
// With --json the failure is also one JSON object {"error": "<message>"} on
// standard output, unless the command already put the message into the JSON
// document it printed (reportedInJson).
class ToolError : public std::runtime_error {
 public:
  ToolError(int exitCode, const std::string& message, bool reportedInJson = false)
      : std::runtime_error(message), exitCode_(exitCode), reportedInJson_(reportedInJson) {}
  int exitCode() const { return exitCode_; }
  bool reportedInJson() const { return reportedInJson_; }

 private:
  int exitCode_;
  bool reportedInJson_;
};

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
// (environment variables of this process), --home as "dHOME" in the
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

// Sets up a lookup service object in private mode, which touches no database,
// so that its guidCacheDir (created when missing) and jobMarkerPath() are
// known. Throws ToolError when the folder cannot be created.
void InitializeForPaths(CHXGuidLookups& lookups, uint64_t jobId, unsigned int jobFlags,
                        bool isExchange);

// A job id that the marker does not hold, so that a refresh asked for with
// GuidRefreshJobFlag is certain to be needed: the current time in seconds, or
// the marker's id plus one when that is larger.
unsigned long FreshJobId(const std::string& markerPath);

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

// Where a refresh would take the table from, for the operator: the source
// setting "getSqlLiteDbFromHB" and the control server's URL or the
// application manager's export file.
std::string DescribeRefreshSource(const NumberSetting& source);

// The reason of IsSQLiteRefreshNeeded in the operator's words.
std::string PlainReason(const std::string& reason);
// A failure text of the library (CHXGuidLookups::lastError) in the
// operator's words: which setting or file is missing or bad, and what failed.
std::string PlainError(const std::string& libraryText);
// True when `libraryText` says a completed refresh could not record its time.
bool IsRefreshTimeNotRecorded(const std::string& libraryText);

// Counts the rows and the distinct GUIDs (ignoring case) of a database file,
// opened read-only. False with `error` set when it cannot be read.
bool CountRows(const std::string& databasePath, long& rows, long& guids, std::string& error);

// The time in ISO 8601 in the local zone, with its offset:
// "2026-12-08T09:30:00+01:00".
std::string FormatIso8601(int64_t secondsSinceEpoch);

// The text on one line: line breaks (and the blanks around them) become "; ",
// trailing ones are dropped. Library texts such as SQLite's check reports
// span several lines; the operator gets one.
std::string OneLine(const std::string& text);

// Escapes a string for a JSON string literal (without the quotes). Valid
// UTF-8 passes as it is; a byte that is not part of a valid UTF-8 sequence
// becomes \u00XX (XX its value), so that the output is always valid JSON and
// still shows which byte it was.
std::string JsonEscape(const std::string& text);

// One JSON object, built member by member in the order added.
class JsonObject {
 public:
  JsonObject& add(const std::string& name, const std::string& value);
  JsonObject& add(const std::string& name, const char* value);
  JsonObject& addBool(const std::string& name, bool value);
  JsonObject& addNumber(const std::string& name, long long value);
  JsonObject& addNumber(const std::string& name, unsigned long long value);
  // With three decimals.
  JsonObject& addNumber(const std::string& name, double value);
  JsonObject& addNull(const std::string& name);
  // `json` is a value already encoded (an object, an array).
  JsonObject& addRaw(const std::string& name, const std::string& json);
  std::string str() const { return "{" + body_ + "}"; }

 private:
  std::string body_;
};
// A JSON array of encoded values.
std::string JsonArray(const std::vector<std::string>& values);
// A JSON string literal, quotes included.
std::string JsonString(const std::string& text);

// Writes `text` to `path` (created or truncated) and closes it, every byte
// checked. Throws ToolError (exit 3) naming the file and the system's reason.
void WriteWholeFile(const std::string& path, const std::string& text);

// Routes std::cout to descriptor 1 through a buffer that keeps the first
// failed write's reason. Called once, first thing in main().
void CheckStandardOutput();
// Flushes standard output. "" when everything written to it arrived, else
// the system's reason for the first write that failed.
std::string FlushStandardOutput();

}  // namespace guidlookup
