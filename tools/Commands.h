// The commands of guidlookup. Each takes the options of its command line and
// the prepared context, prints its results on standard output, and returns
// the exit status or throws ToolError.
#pragma once

#include <string>
#include <vector>

#include "lookups/directory/LdapRows.h"
#include "lookups/refresh/TableRebuild.h"
#include "tools/Environment.h"
#include "tools/Json.h"
#include "tools/Output.h"
#include "tools/PlainWords.h"
#include "tools/ToolError.h"

namespace guidlookup {

struct ResolveOptions {
  std::vector<std::string> keys;  // "-" alone: read the keys from standard input
  bool keysAreGuids = false;      // --guid
  bool privateMode = false;       // --private
  bool statusGiven = false;       // --status N
  int status = 0;
  bool json = false;        // --json
  bool lotusNotes = false;  // --lotus-notes: the Lotus Notes agent's loader
  bool noRefresh = false;   // --no-refresh: skip the refresh decision
};
int RunResolve(const ToolContext& context, const ResolveOptions& options);

// Sets up `lookups` as an agent does (shared or private mode), refreshing the
// table first when that is due unless `noRefresh`. Returns why the refresh
// failed in the operator's words, "" when it did not fail. Throws ToolError
// when the set-up fails or, in shared mode, no table could be loaded.
std::string SetUpLookups(const ToolContext& context, CHXGuidLookups& lookups, bool shared,
                         bool lotusNotes, bool noRefresh);
// After a lookup reported a failure: why, in one line.
std::string DescribeDatabaseFailure(const CHXGuidLookups& lookups, const std::string& refreshError);
// Each record as a JSON object: {"status": ..., "name": ..., "guid": ...}.
std::vector<std::string> RecordsJson(const GuidRecordMap& records);

struct StatsOptions {
  std::string keyFile;  // "-": standard input
  bool privateMode = false;
  bool lotusNotes = false;
  bool noRefresh = false;
  bool json = false;
};
int RunStats(const ToolContext& context, const StatsOptions& options);

struct CheckOptions {
  bool json = false;
  bool online = false;  // --online: also bind to the sync profile's directory
};
// Exit status: kExitOk, kExitCheckWarnings or kExitFailure.
int RunCheck(const ToolContext& context, const CheckOptions& options);

struct RefreshOptions {
  bool jobGiven = false;  // --job ID
  unsigned long jobId = 0;
  bool force = false;       // --force
  bool json = false;        // --json
  bool lotusNotes = false;  // --lotus-notes: the snapshot for Lotus Notes agents
  bool noSnapshot = false;  // --no-snapshot
};
int RunRefresh(const ToolContext& context, const RefreshOptions& options);

// After a command put a new table in place: writes its shared snapshot for
// the agents' loader (Exchange, or Lotus Notes) and the settings' proxy flag
// ([EventManager] naddproxysmtp), unless `skip`; one line on standard error
// when it cannot.
void WriteSnapshotForAgents(const std::string& folder, bool lotusNotes, bool skip);

struct ImportOptions {
  std::string file;  // a tab-separated export
  std::string ldif;  // --ldif FILE; "-" for standard input
  // --ldap URI with its search and connection options, as the reader takes
  // them; an empty `uri`: not from a live directory.
  SLdapSource ldap;
  std::vector<std::string> maps;            // --map: the rules instead of Exchange's
  std::vector<std::string> guidAttributes;  // --guid-attribute: instead of Exchange's
  bool json = false;                        // --json
  bool progress = true;                     // --no-progress turns the bar off
  // --max-shrink: a new table that loses more than this percent of the
  // installed table's GUIDs is refused; --force takes it anyway.
  int maxShrinkPercent = 10;
  bool force = false;
  bool dryRun = false;  // --dry-run: report what would change, change nothing
  // --base was given (an empty DN searches from the root); the options that
  // only go with --ldap that were given, by name.
  bool baseGiven = false;
  std::vector<std::string> ldapOptionsGiven;
  bool lotusNotes = false;  // --lotus-notes: the snapshot for Lotus Notes agents
  bool noSnapshot = false;  // --no-snapshot
};
int RunImport(const ToolContext& context, const ImportOptions& options);

// What the import's guards found before the install.
struct ImportGuardOutcome {
  STableChanges changes;  // the new table against the installed one
  bool compared = false;
  bool dryRun = false;  // the table was kept out because it was a dry run
  std::string refusal;  // why a guard refused the table; "" when none did
};
// Why a table with `changes` must not replace the installed one under
// --max-shrink `maxShrinkPercent` (naming both GUID counts), "" when it may
// or `force` is set.
std::string ShrinkRefusal(const STableChanges& changes, int maxShrinkPercent, bool force);
// Sets `rebuild.beforeInstall` to the import's guards: under the access
// mutex, the finished table is compared with the installed one at
// `database` into `outcome`, then refused for a dry run or by ShrinkRefusal.
// A refusal ends the rebuild with RebuildFailure::Refused; `outcome` tells
// which. REQUIRES: `outcome` outlives the rebuild.
void GuardImport(SRebuildOptions& rebuild, const std::string& database,
                 const ImportOptions& options, ImportGuardOutcome& outcome);

struct DumpOptions {
  bool lotusNotes = false;  // --lotus-notes
  bool addProxy = false;    // --proxy: proxy SMTP addresses as keys
  std::string output;       // --output FILE, else standard output
  bool json = false;        // --json: the groups as one JSON document
};
int RunDump(const ToolContext& context, const DumpOptions& options);

int RunInfo(const ToolContext& context, bool json);

struct PublishOptions {
  std::string folder;      // the web root
  bool json = false;       // --json
  int keep = 7;            // --keep N: releases kept, the live one among them
  bool rollback = false;   // --rollback [ID]
  std::string rollbackId;  // "": the release before the live one
  bool status = false;     // --status
  bool verify = false;     // --verify
};
int RunPublish(const ToolContext& context, const PublishOptions& options);
// Throws ToolError (exit 2) unless `root` is a folder that is not, does not
// hold and does not lie inside the table's GUID cache folder.
void RequireWebRoot(const ToolContext& context, const std::string& root);

// The profile of `sync`, the settings file's section [Sync].
struct SyncProfile {
  SLdapSource ldap;
  std::vector<std::string> maps;            // as --map takes them
  std::vector<std::string> guidAttributes;  // as --guid-attribute takes them
  int maxShrinkPercent = 10;
  std::string webRoot;
  int keep = 7;
  std::vector<std::string> problems;  // a missing or bad value each, in the operator's words
};
SyncProfile ReadSyncProfile();

struct SyncOptions {
  bool dryRun = false;  // --dry-run: read the directory, change nothing
  bool force = false;   // --force: past the import's guards
  bool json = false;    // --json: one object per step, one a line
};
int RunSync(const ToolContext& context, const SyncOptions& options);

// What `check` says of the sync profile: level 0 ok, 1 warning, 2 error.
// Nothing when no profile is set (and not `online`).
struct ProfileFinding {
  int level;
  std::string check;
  std::string message;
};
std::vector<ProfileFinding> CheckSyncProfile(const ToolContext& context, bool online);

}  // namespace guidlookup
