// Shared plumbing of the guidlookup commands: exit codes, the one-line error
// type, the set-up of the library's environment from the global options, and
// log writers that sit between the library and the operator's log file.
//
// Everything here runs on the tool's single thread, except the log writers,
// which the library may call from any thread and which are thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/LogWriter.h"
#include "lookups/HXGuidLookups.h"
#include "lookups/JobMarker.h"

namespace guidlookup {

// Exit statuses of every command.
constexpr int kExitOk = 0;
constexpr int kExitNotFound = 1;  // resolve: some key was not found
constexpr int kExitUsage = 2;     // bad command line or bad input file
constexpr int kExitFailure = 3;   // the library, the database or the settings failed

// A failure the operator sees as one line on standard error ("guidlookup: "
// then the message) with its exit status. Thrown by the commands, caught by
// main().
class ToolError : public std::runtime_error {
 public:
  ToolError(int exitCode, const std::string& message)
      : std::runtime_error(message), exitCode_(exitCode) {}
  int exitCode() const { return exitCode_; }

 private:
  int exitCode_;
};

// The options every command takes. Empty strings and an unset level mean
// "not given": the environment (or the library's default) decides.
struct GlobalOptions {
  std::string home;         // --home: the agent's home folder, setting "dHOME"
  std::string settingsDir;  // --settings-dir: GUIDLOOKUPS_SETTINGS_DIR
  std::string instance;     // --instance: GUIDLOOKUPS_INSTANCE
  std::string logFile;      // --log-file: GUIDLOOKUPS_LOG_FILE
  int logLevel = 0;         // --log-level: GUIDLOOKUPS_LOG_LEVEL
  bool logLevelGiven = false;
};

// What the set-up found out, for the commands and their messages.
struct ToolContext {
  std::string settingsFile;  // "<settings dir>/<instance>.ini", or "" without a folder
  std::string home;          // "dHOME", or "" when the settings hold none
  std::string logFile;       // where the library's log lines go
};

// Points the library at the operator's settings and log file, in this order:
// the settings folder and instance (environment variables), --home (written
// as "dHOME" into the instance's settings, in "<home>/settings" when no
// settings folder was given), then the log file: --log-file, else
// GUIDLOOKUPS_LOG_FILE, else "<home>/guidlookup.log", else nowhere, so that
// log lines never reach the terminal. Throws ToolError for an invalid option,
// an unreadable settings file or settings that cannot be written.
ToolContext PrepareEnvironment(const GlobalOptions& options);

// Throws ToolError unless the context has a home folder.
void RequireHome(const ToolContext& context);

// Sets up a lookup service object in private mode, which touches no database,
// so that its guidCacheDir (created when missing) and jobMarkerPath() are
// known. Throws ToolError when the folder cannot be created.
void InitializeForPaths(CHXGuidLookups& lookups, uint64_t jobId, unsigned int jobFlags,
                        bool isExchange);

// "<guidCacheDir>/GUIDDB.DAT".
std::string DatabasePath(const CHXGuidLookups& lookups);

// A job id that the marker does not hold, so that a refresh asked for with
// GuidRefreshJobFlag is certain to be needed: the current time in seconds, or
// the marker's id plus one when that is larger.
unsigned long FreshJobId(const std::string& markerPath);

// Reads a number of section "EventManager"; `fallback` when missing.
unsigned long SettingNumber(const char* name, unsigned long fallback, bool* found = nullptr);

// Where a refresh would take the table from, for the operator: the source
// setting "getSqlLiteDbFromHB" (`found`: whether it is set) and the control
// server's URL or the application manager's export file.
std::string DescribeRefreshSource(unsigned long source, bool found);

// Counts the rows and the distinct GUIDs (ignoring case) of a database file,
// opened read-only. False with `error` set when it cannot be read.
bool CountRows(const std::string& databasePath, long& rows, long& guids, std::string& error);

// "2026-12-08 05:30:00 CET (2026-12-08 04:30:00 UTC)".
std::string FormatLocalAndUtc(int64_t secondsSinceEpoch);

// The text on one line: line breaks (and the blanks around them) become "; ",
// trailing ones are dropped. Library texts such as SQLite's check reports
// span several lines; the operator gets one.
std::string OneLine(const std::string& text);

// Escapes a string for a JSON string literal (without the quotes).
std::string JsonEscape(const std::string& text);

// A log writer placed in front of the operator's writer for the length of one
// operation: it receives lines up to `level` (at least the operator's level),
// hands each to `observer`, keeps the error lines (level -1 or lower), and
// forwards to the operator's writer what its level admits. Thread-safe.
class TeeLogWriter : public CLogWriterInterface {
 public:
  using Observer = std::function<void(int level, const std::string& message)>;

  TeeLogWriter(std::shared_ptr<CLogWriterInterface> next, int level, Observer observer);
  void WriteLine(int level, const char* tag, int line, const std::string& message) override;
  void Flush() override;
  int GetLevel() override { return level_; }

  // The messages written at level -1 or lower, oldest first.
  std::vector<std::string> errors() const;

 private:
  std::shared_ptr<CLogWriterInterface> next_;
  int nextLevel_;
  int level_;
  Observer observer_;
  // mutex_ protects the following state.
  mutable std::mutex mutex_;
  std::vector<std::string> errors_;
};

// Installs a TeeLogWriter for the scope and puts the previous writer back at
// its end.
class ScopedTee {
 public:
  explicit ScopedTee(int level, TeeLogWriter::Observer observer = nullptr);
  ~ScopedTee();
  ScopedTee(const ScopedTee&) = delete;
  ScopedTee& operator=(const ScopedTee&) = delete;
  TeeLogWriter& writer() { return *tee_; }

 private:
  std::shared_ptr<CLogWriterInterface> previous_;
  std::shared_ptr<TeeLogWriter> tee_;
};

// The failure messages of a refresh, without its milestone lines, joined into
// one line: what the operator reads after "refresh failed: ".
std::string JoinErrors(const std::vector<std::string>& errors);

}  // namespace guidlookup
