// guidlookup import FILE | --ldif FILE | --ldap URI: replaces the local
// table with a directory export or the entries of a live directory.
//
// A tab-separated file is parsed in full first (a malformed line stops the
// import before anything is touched); an LDIF export is read entry by entry
// as the rows go in (a live directory page by page), and a bad entry fails
// the rebuild, which leaves the old table as it was. The library's rebuild
// builds the new table beside the old one, without the machine-wide mutex,
// and swaps it in whole under it, after the guards (GuardImport) have
// compared it with the installed one. Counts, failed rows and the progress
// bar come from the rebuild's observer and result. An import is an operator's replacement of
// the table, not a refresh: it writes no setting (no refresh time) and no
// job marker, so the agents' refresh policy goes on as before.
//
// SIGINT and SIGTERM cancel the rebuild at the next row, or end the wait on
// a live directory; the old table stays and the exit status is 128 plus the
// signal's number, as a shell reports a process the signal ended.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <list>

#include "host/AppMgrClient.h"
#include "lookups/directory/DirectoryMapping.h"
#include "lookups/directory/LdapRows.h"
#include "lookups/directory/LdifRows.h"
#include "lookups/refresh/TableRebuild.h"
#include "tools/Commands.h"

namespace guidlookup {
namespace {

constexpr size_t kRowsForProgressBar = 1000;

// Set by the signal handler; lock-free, so safe to store from it.
std::atomic<bool> g_cancel{false};
std::atomic<int> g_signal{0};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

extern "C" void CancelImport(int signal) {
  g_signal.store(signal);
  g_cancel.store(true);
}

// Turns SIGINT and SIGTERM into a cancellation for the scope.
class ScopedCancelOnSignals {
 public:
  ScopedCancelOnSignals() {
    struct sigaction action {};
    action.sa_handler = CancelImport;
    // A second signal ends the process the default way, should a wait
    // outside the cancel flag's reach (a host name being resolved) hold it.
    // The table is built aside, so the old one stays either way. No
    // SA_RESTART: the signal interrupts the wait it lands in.
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInt_);
    sigaction(SIGTERM, &action, &oldTerm_);
  }
  ~ScopedCancelOnSignals() {
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
  }
  ScopedCancelOnSignals(const ScopedCancelOnSignals&) = delete;
  ScopedCancelOnSignals& operator=(const ScopedCancelOnSignals&) = delete;

 private:
  struct sigaction oldInt_ {};
  struct sigaction oldTerm_ {};
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

// Feeds the progress bar and keeps the first refused row for the summary.
class ImportObserver : public CRebuildObserver {
 public:
  explicit ImportObserver(ProgressBar& bar) : bar_(bar) {}
  void OnRow(const SRebuildProgress&) override { bar_.step(); }
  void OnFailedRow(const SGuidRecord& row, const std::string& reason) override {
    if (firstFailure_.empty())
      firstFailure_ = "GUID " + row.guid + ", name " + row.name + ": " + reason;
  }
  const std::string& firstFailure() const { return firstFailure_; }

 private:
  ProgressBar& bar_;
  std::string firstFailure_;
};

}  // namespace

namespace {

// The mapping the options ask for: Exchange's, with its rules or its GUID
// attributes replaced by those given.
SDirectoryMapping MappingOf(const ImportOptions& options) {
  SDirectoryMapping mapping = SDirectoryMapping::Exchange();
  std::string error;
  if (!options.maps.empty()) mapping.rules.clear();
  for (const std::string& rule : options.maps)
    if (!mapping.AddRule(rule, error)) throw ToolError(kExitUsage, "--map " + error);
  if (!options.guidAttributes.empty()) mapping.guidAttributes.clear();
  for (const std::string& guid : options.guidAttributes)
    if (!mapping.AddGuidAttribute(guid, error))
      throw ToolError(kExitUsage, "--guid-attribute " + error);
  return mapping;
}

// What the operator can do about a live directory's failure, in the
// options' own names.
std::string AdviceFor(LdapFault fault, const SLdapSource& ldap) {
  switch (fault) {
    case LdapFault::kTimedOut:
      return "; if the directory is only slow, raise --timeout (now " +
             std::to_string(ldap.timeoutSeconds) + ")";
    case LdapFault::kLimit:
      return "; lower --page-size (now " + std::to_string(ldap.pageSize) +
             ") or raise the directory's limits for the bind DN";
    case LdapFault::kAnonymous:
      return "; bind as an account with --bind-dn and --password-file";
    case LdapFault::kCredentials:
      return "; check --bind-dn and the password in --password-file";
    case LdapFault::kTls:
      return ldap.caFile.empty() ? "; give the CA that signed it with --ca-file" : "";
    case LdapFault::kName:
    case LdapFault::kRefused:
      return "; check the host and port of --ldap";
    default:
      return "";
  }
}

}  // namespace

std::string ShrinkRefusal(const STableChanges& changes, int maxShrinkPercent, bool force) {
  const uint64_t before = changes.guidsBefore;
  const uint64_t lost = changes.guidsRemoved;
  if (force || before == 0 || lost * 100 <= static_cast<uint64_t>(maxShrinkPercent) * before)
    return "";
  return "the new table has " + std::to_string(changes.guidsAfter) +
         " GUIDs where the installed one has " + std::to_string(before) + ": it would lose " +
         std::to_string(lost) + " (" + std::to_string(lost * 100 / before) +
         "%, more than --max-shrink " + std::to_string(maxShrinkPercent) +
         "%); check the source, or take it with --force";
}

void GuardImport(SRebuildOptions& rebuild, const std::string& database,
                 const ImportOptions& options, ImportGuardOutcome& outcome) {
  const int maxShrink = options.maxShrinkPercent;
  const bool force = options.force;
  const bool dryRun = options.dryRun;
  rebuild.beforeInstall = [database, maxShrink, force, dryRun, &outcome](const std::string& newFile,
                                                                         std::string& why) {
    std::string error;
    if (!CGuidDB::CompareFiles(database, newFile, outcome.changes, error)) {
      why = outcome.refusal = "cannot compare the new table with " + database + ": " + error;
      return false;
    }
    outcome.compared = true;
    outcome.refusal = ShrinkRefusal(outcome.changes, maxShrink, force);
    outcome.dryRun = dryRun;
    if (dryRun) return why = "a dry run", false;
    why = outcome.refusal;
    return outcome.refusal.empty();
  };
}

namespace {

// The import's usage mistakes, found before anything is read.
void CheckImportOptions(const ImportOptions& options, bool fromLdap) {
  if (!fromLdap && !options.ldapOptionsGiven.empty())
    throw ToolError(kExitUsage, options.ldapOptionsGiven.front() + " only goes with --ldap");
  if (options.maxShrinkPercent < 0 || options.maxShrinkPercent > 100)
    throw ToolError(kExitUsage, "--max-shrink is a percent, 0 to 100");
  if (!fromLdap) return;
  const SLdapSource& ldap = options.ldap;
  if (ldap.baseDn.empty() && !options.baseGiven)
    throw ToolError(kExitUsage,
                    "--ldap needs --base DN, where the search starts ('' for the root)");
  if (!ldap.passwordFile.empty() && ldap.bindDn.empty())
    throw ToolError(kExitUsage, "--password-file needs --bind-dn, the account it is for");
  if (ldap.passwordFile.empty() && !ldap.bindDn.empty())
    throw ToolError(kExitUsage, "--bind-dn needs --password-file, the file of its password");
  if (!ldap.caFile.empty()) {
    std::ifstream probe(ldap.caFile);
    if (!probe)
      throw ToolError(kExitUsage,
                      "cannot read --ca-file " + ldap.caFile + ": " + std::strerror(errno));
  }
}

JsonObject ChangesJson(const STableChanges& c) {
  const auto n = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  JsonObject guids, rows, changes;
  guids.addNumber("before", n(c.guidsBefore))
      .addNumber("after", n(c.guidsAfter))
      .addNumber("added", n(c.guidsAdded))
      .addNumber("removed", n(c.guidsRemoved))
      .addNumber("changed", n(c.guidsChanged));
  rows.addNumber("before", n(c.rowsBefore))
      .addNumber("after", n(c.rowsAfter))
      .addNumber("added", n(c.rowsAdded))
      .addNumber("removed", n(c.rowsRemoved))
      .addNumber("changed", n(c.rowsChanged));
  changes.addRaw("guids", guids.str()).addRaw("rows", rows.str());
  return changes;
}

std::string ChangesText(const STableChanges& c) {
  char text[512];
  const auto n = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  std::snprintf(text, sizeof text,
                "GUIDs: %llu before, %llu after: %llu added, %llu removed, %llu changed\n"
                "rows: %llu before, %llu after: %llu added, %llu removed, %llu changed\n",
                n(c.guidsBefore), n(c.guidsAfter), n(c.guidsAdded), n(c.guidsRemoved),
                n(c.guidsChanged), n(c.rowsBefore), n(c.rowsAfter), n(c.rowsAdded),
                n(c.rowsRemoved), n(c.rowsChanged));
  return text;
}

}  // namespace

int RunImport(const ToolContext& context, const ImportOptions& options) {
  ScopedCancelOnSignals cancelOnSignals;
  const bool fromLdap = !options.ldap.uri.empty();
  const bool fromLdif = !options.ldif.empty();
  const bool fromDirectory = fromLdif || fromLdap;
  if (!options.file.empty() + fromLdif + fromLdap != 1)
    throw ToolError(kExitUsage, "import takes one source: FILE, --ldif FILE or --ldap URI");
  CheckImportOptions(options, fromLdap);
  const std::string source = fromLdap ? options.ldap.uri : fromLdif ? options.ldif : options.file;
  const bool fromStdin = fromLdif && source == "-";
  if (!fromStdin && !fromLdap) {
    std::ifstream probe(source);
    struct stat st;
    if (!probe) throw ToolError(kExitUsage, "cannot read " + source + ": " + std::strerror(errno));
    if (::stat(source.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      throw ToolError(kExitUsage, source + " is a folder, not an export");
  }
  const SDirectoryMapping mapping = MappingOf(options);
  if (fromDirectory && std::none_of(mapping.rules.begin(), mapping.rules.end(),
                                    [](const SDirectoryRule& rule) { return rule.address; }))
    throw ToolError(kExitUsage,
                    "--map gives no SMTP address rule (status 1 or 2): no entry would give rows");
  RequireHome(context);
  const auto start = std::chrono::steady_clock::now();

  std::list<GUIDNameInfo> rows;
  SDirectoryCounts entries;
  GuidRowReader reader;
  SLdapSource ldap = options.ldap;
  ldap.cancel = &g_cancel;
  LdapFault fault = LdapFault::kNone;
  if (fromLdap) {
    reader = LdapRows(ldap, mapping, &entries, &fault);
  } else if (fromLdif) {
    reader = fromStdin ? LdifRowsFrom(STDIN_FILENO, "standard input", mapping, &entries, &g_cancel)
                       : LdifRows(source, mapping, &entries, &g_cancel);
  } else {
    std::string error;
    if (GUIDFromName::ReadExportFile(source, rows, error) != 0)
      throw ToolError(kExitUsage, error.empty() ? source + ": cannot be read" : error);
    if (rows.empty()) throw ToolError(kExitUsage, source + ": no rows to import");
    reader = RowsOf(rows);
  }

  const std::string folder = MakeGuidCacheFolder(context);
  const std::string database = DatabasePath(folder);

  // A directory source does not know its size up front: no bar.
  ProgressBar bar(rows.size(), options.progress && !fromDirectory && isatty(STDERR_FILENO) &&
                                   rows.size() >= kRowsForProgressBar);
  ImportObserver observer(bar);
  SRebuildOptions rebuild;
  rebuild.batchSize = ReadNumberSetting("nTotalNumberOfRecordsToCommit", 999).value;
  rebuild.observer = &observer;
  rebuild.cancel = &g_cancel;
  // A directory may give one address to several entries (a contact and a
  // group); one of them answers, the same one whatever the order.
  rebuild.onePerAddress = fromDirectory;
  ImportGuardOutcome guard;
  GuardImport(rebuild, database, options, guard);
  SRebuildResult result = RebuildGuidTable(folder, reader, rebuild);
  bar.finish();
  if (result.failure == RebuildFailure::Cancelled)
    throw ToolError(128 + (g_signal.load() != 0 ? g_signal.load() : SIGINT),
                    "import interrupted: nothing was changed");
  if (fromDirectory && result.failure == RebuildFailure::NoRows && result.counts.rowsRead == 0)
    throw ToolError(kExitUsage, (fromStdin ? std::string("standard input") : source) +
                                    ": no rows to import (" + std::to_string(entries.entries) +
                                    " entries, none with a GUID and an SMTP address)");
  const bool dryRun = result.failure == RebuildFailure::Refused && guard.dryRun;
  if (result.failure == RebuildFailure::Refused && !dryRun)
    throw ToolError(kExitFailure, "import refused, nothing was changed: " + guard.refusal);
  if (!result.replaced && !dryRun) {
    // A bad export or a wrong option is bad input; a directory that fails is
    // a failure.
    const bool badInput = result.failure == RebuildFailure::Source &&
                          (fromLdif || fault == LdapFault::kOptions ||
                           fault == LdapFault::kCaFile || fault == LdapFault::kPasswordFile);
    throw ToolError(badInput ? kExitUsage : kExitFailure,
                    "import failed, nothing was changed: " + OneLine(result.error) +
                        (fromLdap ? AdviceFor(fault, options.ldap) : std::string()));
  }

  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto count = [](uint64_t n) { return static_cast<unsigned long long>(n); };
  if (options.json) {
    JsonObject doc;
    doc.add("source", source).add("database", database);
    if (dryRun) doc.addBool("dryRun", true);
    if (fromDirectory)
      doc.addNumber("entries", count(entries.entries))
          .addNumber("entriesWithoutGuid", count(entries.entriesWithoutGuid))
          .addNumber("entriesWithoutAddress", count(entries.entriesWithoutAddress))
          .addNumber("sharedAddresses", count(result.shared.addresses))
          .addRaw("sharedAddressExamples", JsonStrings(result.shared.examples));
    doc.addNumber("rowsRead", count(result.counts.rowsRead))
        .addNumber("rowsAdded", count(result.counts.rowsAdded))
        .addNumber("rowsFailed", count(result.counts.rowsFailed))
        .addNumber("seconds", seconds);
    if (guard.compared) doc.addRaw("changes", ChangesJson(guard.changes).str());
    if (dryRun && !guard.refusal.empty()) doc.add("wouldBeRefused", guard.refusal);
    std::cout << doc.str() << "\n";
  } else {
    char summary[256];
    std::snprintf(summary, sizeof summary, "%llu rows read, %llu added, %llu failed in %.2f s",
                  count(result.counts.rowsRead), count(result.counts.rowsAdded),
                  count(result.counts.rowsFailed), seconds);
    if (dryRun)
      std::cout << "dry run of " << source << " against " << database << ": nothing was changed\n";
    else
      std::cout << "imported " << source << " into " << database << "\n";
    if (fromDirectory) {
      char skipped[256];
      std::snprintf(skipped, sizeof skipped,
                    "%llu entries read, %llu gave no rows (%llu without a GUID, %llu without an "
                    "SMTP address)",
                    count(entries.entries),
                    count(entries.entriesWithoutGuid + entries.entriesWithoutAddress),
                    count(entries.entriesWithoutGuid), count(entries.entriesWithoutAddress));
      std::cout << skipped << "\n";
      if (result.shared.addresses > 0) {
        std::cout << result.shared.addresses
                  << (result.shared.addresses == 1 ? " address was" : " addresses were")
                  << " held by several entries; each went to one (";
        for (size_t i = 0; i < result.shared.examples.size(); ++i)
          std::cout << (i ? ", " : "") << result.shared.examples[i];
        std::cout << (result.shared.addresses > result.shared.examples.size() ? ", ...)\n" : ")\n");
      }
    }
    std::cout << summary << "\n";
    if (guard.compared) std::cout << ChangesText(guard.changes);
    if (dryRun && !guard.refusal.empty())
      std::cout << "would be refused: " << guard.refusal << "\n";
  }
  // A dry run writes nothing, the snapshot of the installed table included.
  WriteSnapshotForAgents(folder, options.lotusNotes, options.noSnapshot || dryRun);
  if (result.counts.rowsFailed)
    throw ToolError(kExitFailure, std::to_string(result.counts.rowsFailed) +
                                      " rows could not be added to the local table (first: " +
                                      OneLine(observer.firstFailure()) + ")");
  return kExitOk;
}

}  // namespace guidlookup
