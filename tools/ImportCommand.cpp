// guidlookup import FILE: rebuilds the local table from a directory export.
//
// The rows take the road of the application manager's table: the file is
// parsed in full first (a malformed line stops the import before the table is
// touched), then handed to the library as the process's row source, and
// UpdateGUIDDB rebuilds the table under the machine-wide mutex, in its
// batches, and records the refresh time and the job marker.
//
// Two things steer UpdateGUIDDB onto that road without editing the operator's
// settings for good: the import runs as a job that asks for a refresh and
// that the marker has never seen (so the decision is "needed"), and
// "getSqlLiteDbFromHB" is switched to 0 for the length of the rebuild only and
// then restored (removed again when it was not there).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <list>

#include "host/AppMgrClient.h"
#include "host/Locks.h"
#include "host/Settings.h"
#include "tools/Commands.h"

namespace guidlookup {
namespace {

constexpr size_t kRowsForProgressBar = 1000;
constexpr const char* kImportLockName = "GUIDLOOKUP_IMPORT";
constexpr const char* kAddingPrefix = "Adding, Guid=";
constexpr const char* kFailedRowPrefix = "Unable to add row";

// Sets "getSqlLiteDbFromHB" to 0 (unless it already is) and puts the previous
// state back at the end of the scope. Termination signals are held back in
// between, so that Ctrl-C cannot leave the switch behind; they are delivered
// once the setting is restored.
class RebuildSourceSwitch {
 public:
  RebuildSourceSwitch() {
    unsigned long value = 1;
    had_ = settings_.getNumber("EventManager", "getSqlLiteDbFromHB", &value) != 0;
    previous_ = value;
    if (had_ && previous_ == 0) return;
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&blocked, s);
    sigprocmask(SIG_BLOCK, &blocked, &oldMask_);
    masked_ = true;
    if (!settings_.setNumber("EventManager", "getSqlLiteDbFromHB", 0)) {
      sigprocmask(SIG_SETMASK, &oldMask_, nullptr);
      masked_ = false;
      throw ToolError(kExitFailure, "cannot write settings file " + settings_.filePath());
    }
    switched_ = true;
  }
  ~RebuildSourceSwitch() {
    if (switched_) {
      int ok = had_ ? settings_.setNumber("EventManager", "getSqlLiteDbFromHB", previous_)
                    : settings_.removeValue("EventManager", "getSqlLiteDbFromHB");
      if (!ok)
        std::cerr << "guidlookup: warning: could not restore getSqlLiteDbFromHB in "
                  << settings_.filePath() << "\n";
    }
    if (masked_) sigprocmask(SIG_SETMASK, &oldMask_, nullptr);
  }
  RebuildSourceSwitch(const RebuildSourceSwitch&) = delete;
  RebuildSourceSwitch& operator=(const RebuildSourceSwitch&) = delete;

 private:
  HXPlatformInfo settings_;
  bool had_ = false;
  unsigned long previous_ = 1;
  bool switched_ = false;
  bool masked_ = false;
  sigset_t oldMask_;
};

// Registers the parsed rows as the application manager's table for the scope.
class ScopedRowSource {
 public:
  explicit ScopedRowSource(const std::list<GUIDNameInfo>& rows) {
    GUIDFromName::SetGUIDRowSource([&rows](std::list<GUIDNameInfo>& out) {
      out.insert(out.end(), rows.begin(), rows.end());
      return 0;
    });
  }
  ~ScopedRowSource() { GUIDFromName::SetGUIDRowSource(GUIDRowSource()); }
  ScopedRowSource(const ScopedRowSource&) = delete;
  ScopedRowSource& operator=(const ScopedRowSource&) = delete;
};

// A bar on standard error, redrawn when the shown value changes, at most
// every kRedrawInterval and once at the end.
class ProgressBar {
 public:
  ProgressBar(size_t total, bool enabled) : total_(total), enabled_(enabled) {}
  void step() {
    size_t done = ++done_;
    if (!enabled_) return;
    size_t permille = total_ ? done * 1000 / total_ : 1000;
    if (permille == shown_) return;
    auto now = std::chrono::steady_clock::now();
    if (done < total_ && shown_ != kNothingShown && now - drawn_ < kRedrawInterval) return;
    shown_ = permille;
    drawn_ = now;
    constexpr int kWidth = 40;
    int filled = static_cast<int>(permille * kWidth / 1000);
    std::fprintf(stderr, "\rimporting [%.*s%*s] %zu/%zu rows", filled,
                 "########################################", kWidth - filled, "", done, total_);
    std::fflush(stderr);
  }
  void finish() {
    if (enabled_ && shown_ != kNothingShown) std::fprintf(stderr, "\r\033[K");
  }
  size_t done() const { return done_; }

 private:
  static constexpr size_t kNothingShown = static_cast<size_t>(-1);
  static constexpr std::chrono::milliseconds kRedrawInterval{50};
  size_t total_;
  bool enabled_;
  size_t done_ = 0;
  size_t shown_ = kNothingShown;
  std::chrono::steady_clock::time_point drawn_;
};

}  // namespace

int RunImport(const ToolContext& context, const ImportOptions& options) {
  {
    std::ifstream probe(options.file);
    if (!probe)
      throw ToolError(kExitUsage, "cannot read " + options.file + ": " + std::strerror(errno));
  }
  RequireHome(context);
  const auto start = std::chrono::steady_clock::now();

  std::list<GUIDNameInfo> rows;
  std::string error;
  if (GUIDFromName::ReadExportFile(options.file, rows, error) != 0)
    throw ToolError(kExitUsage, error.empty() ? options.file + ": cannot be read" : error);
  if (rows.empty()) throw ToolError(kExitUsage, options.file + ": no rows to import");

  CHXGuidLookups probe;
  InitializeForPaths(probe, 0, 0, true);

  // Two imports at once would undo each other's switch of the source setting
  // (the second would see 0, keep it, and find it removed by the first) or
  // run as the same job (the second would find its refresh already done):
  // imports take turns. Taken before, and released after, the library's own
  // "SQLITE_ACCESS_LOCK".
  CNamedMutex importLock(kImportLockName, nullptr, false);
  if (importLock.lock(-1, false) != 0)
    throw ToolError(kExitFailure, "cannot take the import lock " + importLock.lockFilePath());

  CHXGuidLookups lookups;
  InitializeForPaths(lookups, FreshJobId(probe.jobMarkerPath()), GuidRefreshJobFlag, true);
  ProgressBar bar(rows.size(),
                  options.progress && isatty(STDERR_FILENO) && rows.size() >= kRowsForProgressBar);
  std::atomic<size_t> failed{0};
  bool done = false;
  std::vector<std::string> errors;
  {
    // Level 2 brings the per-row "Adding" lines; the operator's log still
    // gets only what its own level admits.
    ScopedTee tee(2, [&](int level, const std::string& message) {
      if (level == 2 && message.compare(0, std::strlen(kAddingPrefix), kAddingPrefix) == 0)
        bar.step();
      else if (level <= -1 &&
               message.compare(0, std::strlen(kFailedRowPrefix), kFailedRowPrefix) == 0)
        ++failed;
    });
    ScopedRowSource source(rows);
    RebuildSourceSwitch rebuild;
    GUIDTable table;
    done = lookups.UpdateGUIDDB(table);
    errors = tee.writer().errors();
  }
  importLock.unlock();
  bar.finish();
  if (!done) {
    std::string why = JoinErrors(errors);
    throw ToolError(kExitFailure, "import failed: " + (why.empty() ? "see the log" : why) +
                                      " (log: " + context.logFile + ")");
  }

  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  size_t failedRows = failed.load();
  char summary[256];
  std::snprintf(summary, sizeof summary, "%zu rows read, %zu added, %zu failed in %.2f s",
                rows.size(), rows.size() - failedRows, failedRows, seconds);
  std::cout << "imported " << options.file << " into " << DatabasePath(lookups) << "\n"
            << summary << "\n";
  if (failedRows)
    throw ToolError(kExitFailure, std::to_string(failedRows) +
                                      " rows could not be added to the local table (log: " +
                                      context.logFile + ")");
  return kExitOk;
}

}  // namespace guidlookup
