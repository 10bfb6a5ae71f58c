// guidlookup: the operator's command-line tool over the guidlookups library.
//
// It resolves addresses the way a mail agent does, shows and runs the refresh
// of the local GUID table, imports a directory export, dumps the static cache
// and describes the machine's table. It uses only the library's public API,
// so what it shows is what an agent gets.
//
// Output: results on standard output; a failure is one line on standard error,
// "guidlookup: <what>", never the library's log lines, which go to the log
// file (by default "<home>/guidlookup.log"). Standard output is flushed and
// checked before exit: output that did not arrive (a full disk, a closed
// pipe) is a failure, not a success.
//
// The global options hold for this run only: they reach the library through
// the host layer's in-process folders and the settings overlay, never through
// a file or the environment.
#include <CLI/CLI.hpp>
#include <cstring>
#include <exception>
#include <iostream>

#include "lookups/Version.h"
#include "tools/Commands.h"

namespace {

using namespace guidlookup;

constexpr const char* kExitFooter =
    "Exit status: 0 success, 1 some key not found (resolve) or warnings only (check), 2 usage\n"
    "error or bad input file, 3 failure of the library, the database or the settings.\n"
    "With --json a failure is also {\"error\": \"...\"} on standard output.";
// Help of a command: where its global options are explained.
const std::string kFooter =
    std::string(
        "Global options (--home, --settings-dir, --instance, --log-file, --log-level) go before\n"
        "or after the command; see guidlookup --help.\n") +
    kExitFooter;

// Every option of every command, as the command line fills them.
struct CommandLine {
  GlobalOptions global;
  ResolveOptions resolve;
  RefreshOptions refresh;
  ImportOptions import;
  DumpOptions dump;
  bool infoJson = false;
  StatsOptions stats;
  CheckOptions check;
  SyncOptions sync;
  PublishOptions publish;
  bool noProgress = false;
};

// A command's run: its function over its own options.
template <auto kOptions, auto kRun>
int RunWith(const ToolContext& c, const CommandLine& l) {
  return kRun(c, l.*kOptions);
}

// The commands, in the order of the help.
struct Command {
  const char* name;
  const char* description;
  int (*run)(const ToolContext& c, const CommandLine& l);
};
const Command kCommands[] = {
    {"resolve",
     "Resolve addresses (or GUIDs) as an agent does and print every record: status, name, GUID",
     RunWith<&CommandLine::resolve, RunResolve>},
    {"refresh",
     "Show the refresh decision and its reason, then refresh the local table when it is due",
     RunWith<&CommandLine::refresh, RunRefresh>},
    {"import",
     "Rebuild the local table from a tab-separated export (status, GUID, name) or from the "
     "organisation's directory (an LDIF export)",
     RunWith<&CommandLine::import, RunImport>},
    {"dump", "Load the static cache from the local table and write the dump of every group",
     RunWith<&CommandLine::dump, RunDump>},
    {"info",
     "Describe the local table: path, size, rows, GUIDs, refresh time and interval, job marker, "
     "integrity",
     RunWith<&CommandLine::infoJson, RunInfo>},
    {"stats",
     "Load the table as an agent does, look up every key of KEYFILE and print the library's "
     "counters and timings",
     RunWith<&CommandLine::stats, RunStats>},
    {"check",
     "Check the settings, folders, lock folder, control server and database; exit 0 when all is "
     "well, 1 on warnings only, 3 on errors",
     RunWith<&CommandLine::check, RunCheck>},
    {"sync",
     "Import the organisation's directory of the settings' [Sync] profile, then publish the "
     "table into its web root: the daily chain of a control server",
     RunWith<&CommandLine::sync, RunSync>},
    {"publish",
     "Put the local table into a web root for the agents' refreshes as a new release "
     "(GUIDDB.DAT, GUIDDB.DAT.gz, manifest) made live in one switch; roll back, list, verify",
     RunWith<&CommandLine::publish, RunPublish>},
};
// The global options that take a value: their value is not a command.
const char* const kValueOptions[] = {"--home", "--settings-dir", "--instance", "--log-file",
                                     "--log-level"};

std::string CommandList() {
  std::string list;
  for (const Command& command : kCommands)
    list += std::string(list.empty() ? "" : ", ") + command.name;
  return list;
}

// The first word of the command line that is neither an option nor the
// value of a global option, "" when there is none: the command as typed.
// CLI11 would call an unknown one an unexpected argument, or ask for "a
// subcommand"; the operator is told the commands instead.
std::string TypedCommand(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--") == 0) return i + 1 < argc ? argv[i + 1] : "";
    if (arg[0] != '-') return arg;
    for (const char* option : kValueOptions)
      if (std::strcmp(arg, option) == 0) ++i;
  }
  return std::string();
}

bool IsCommand(const std::string& word) {
  for (const Command& command : kCommands)
    if (word == command.name) return true;
  return false;
}

// Whether the command line asks for JSON, so that even a usage error is
// answered in JSON.
bool WantsJson(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) return false;
    if (std::strcmp(argv[i], "--json") == 0) return true;
  }
  return false;
}

void PrintJsonError(const std::string& message) {
  std::cout << JsonObject().add("error", message).str() << "\n";
}

// Flushes standard output and turns a failed write into the run's outcome:
// exit 3 with one line, unless the run already failed (its line is the one
// the operator needs).
int Finish(int status) {
  std::string error = FlushStandardOutput();
  if (error.empty() || (status != kExitOk && status != kExitNotFound)) return status;
  std::cerr << "guidlookup: cannot write to standard output: " << error << "\n";
  return kExitFailure;
}

// Help in plain words: an option shows its placeholder only ("--job ID"),
// a positional its name; what CLI11 would add ("TEXT ... REQUIRED",
// "Excludes: --force", "N:INT in [-1 - 7]") is said by the help texts.
class PlainFormatter : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* option) const override {
    if (option->get_positional() || option->get_type_size() == 0) return std::string();
    const std::string name = option->get_type_name();  // "N:INT in [-1 - 7]" with its check
    return " " + name.substr(0, name.find(':'));
  }
};

// Options that hold for every command, before or after it.
void AddGlobalOptions(CLI::App& app, CommandLine& line) {
  app.add_option("--home", line.global.home,
                 "The agent's home folder (setting dHOME) for this run, written nowhere; the "
                 "table lives in <home>/JobResults/GUIDCacheDir. Without a settings folder, "
                 "<home>/settings is used when it exists")
      ->type_name("DIR");
  app.add_option("--settings-dir", line.global.settingsDir,
                 "Folder of the settings files (GUIDLOOKUPS_SETTINGS_DIR)")
      ->type_name("DIR");
  app.add_option("--instance", line.global.instance,
                 "Product instance, the settings file <instance>.ini (GUIDLOOKUPS_INSTANCE, "
                 "default Instance001)")
      ->type_name("NAME");
  app.add_option("--log-file", line.global.logFile,
                 "Where the library logs (GUIDLOOKUPS_LOG_FILE, default <home>/guidlookup.log)")
      ->type_name("FILE");
  app.add_option("--log-level", line.global.logLevel,
                 "Finest level logged, -1 (errors and milestones) to 7 "
                 "(GUIDLOOKUPS_LOG_LEVEL, default 1)")
      ->type_name("N")
      ->check(CLI::Range(-1, 7));
}

// resolve: the keys and how to look them up.
void AddResolveOptions(CLI::App& app, CommandLine& line) {
  CLI::App* command = app.get_subcommand("resolve");
  ResolveOptions& resolve = line.resolve;
  command
      ->add_option("ADDRESS", resolve.keys,
                   "SMTP addresses, or GUIDs with --guid; - alone reads them from standard input, "
                   "one a line, answering each line as it is read")
      ->required();
  command->add_flag("--guid", resolve.keysAreGuids, "The keys are GUIDs");
  command->add_flag("--private", resolve.privateMode,
                    "Private mode: an MFU cache in front of database queries (default: "
                    "shared mode, the whole table loaded into memory)");
  command
      ->add_option("--status", resolve.status,
                   "Print only the name of the first record of this status")
      ->type_name("N");
  command->add_flag("--json", resolve.json,
                    "Print the results as JSON: an array of one object per key; with - "
                    "one object per line");
  command->add_flag("--lotus-notes", resolve.lotusNotes,
                    "Load the table as a Lotus Notes agent does (shared mode)");
  command->add_flag("--no-refresh", resolve.noRefresh,
                    "Do not refresh the local table, even when it is due");
}

// refresh: the job it decides as, and the snapshot it writes.
void AddRefreshOptions(CLI::App& app, CommandLine& line) {
  CLI::App* command = app.get_subcommand("refresh");
  RefreshOptions& refresh = line.refresh;
  CLI::Option* job = command->add_option(
      "--job", refresh.jobId,
      "Decide as job ID asking for a refresh (the job marker is checked); not with --force");
  job->type_name("ID");
  command
      ->add_flag("--force", refresh.force,
                 "Refresh even when the table is fresh (as a new job); not with --job")
      ->excludes(job);
  command->add_flag("--json", refresh.json, "Print the decision and outcome as one JSON object");
  command->add_flag("--lotus-notes", refresh.lotusNotes,
                    "Write the shared snapshot for Lotus Notes agents (default: Exchange)");
  command->add_flag("--no-snapshot", refresh.noSnapshot,
                    "Do not write the shared snapshot of the new table");
}

// import: where the rows come from.
void AddImportSourceOptions(CLI::App& app, CommandLine& line) {
  CLI::App* command = app.get_subcommand("import");
  ImportOptions& import = line.import;
  command->add_option("FILE", import.file, "A tab-separated export file");
  command
      ->add_option("--ldif", import.ldif,
                   "An LDIF export of the directory (ldifde, ldapsearch -LLL, slapcat); - reads "
                   "standard input")
      ->type_name("FILE");
  command
      ->add_option("--ldap", import.ldap.uri,
                   "A live directory: ldaps://HOST[:PORT], or ldap://HOST[:PORT] with StartTLS; "
                   "the server's certificate is always verified")
      ->type_name("URI");
  command->add_option("--base", import.ldap.baseDn, "With --ldap: where the search starts")
      ->type_name("DN");
  command
      ->add_option("--filter", import.ldap.filter,
                   "With --ldap: the search filter (default: entries with an SMTP address "
                   "attribute)")
      ->type_name("F");
  command
      ->add_option("--bind-dn", import.ldap.bindDn, "With --ldap: bind as DN (default: anonymous)")
      ->type_name("DN");
  command
      ->add_option("--password-file", import.ldap.passwordFile,
                   "With --bind-dn: the file holding the password, readable by its owner only")
      ->type_name("FILE");
  command
      ->add_option("--ca-file", import.ldap.caFile,
                   "With --ldap: the CA certificates that vouch for the server (default: the "
                   "system's)")
      ->type_name("FILE");
  command
      ->add_option("--page-size", import.ldap.pageSize,
                   "With --ldap: entries per page of the paged search (default 1000)")
      ->type_name("N")
      ->check(CLI::Range(1, 1000000));
  command
      ->add_option("--timeout", import.ldap.timeoutSeconds,
                   "With --ldap: seconds allowed for the connection and each request (default 60)")
      ->type_name("SECONDS")
      ->check(CLI::Range(1, 86400));
}

// import: how the rows become the table, and what is shown.
void AddImportTableOptions(CLI::App& app, CommandLine& line) {
  CLI::App* command = app.get_subcommand("import");
  ImportOptions& import = line.import;
  command
      ->add_option("--map", import.maps,
                   "A rule ATTRIBUTE=STATUS or ATTRIBUTE/PREFIX=STATUS for directory entries, "
                   "repeated; replaces the Exchange rules (statuses 1 and 2 are SMTP addresses)")
      ->type_name("RULE");
  command
      ->add_option("--guid-attribute", import.guidAttributes,
                   "The attribute that holds an entry's GUID (ATTRIBUTE:binary for 16 bytes), "
                   "repeated in order; replaces objectGUID:binary, entryUUID")
      ->type_name("ATTR");
  command
      ->add_option("--max-shrink", import.maxShrinkPercent,
                   "Refuse a table that loses more than this percent of the installed one's "
                   "GUIDs (default 10)")
      ->type_name("PERCENT")
      ->check(CLI::Range(0, 100));
  command->add_flag("--force", import.force, "Take a table that --max-shrink refuses");
  command->add_flag("--dry-run", import.dryRun,
                    "Read the source, build the table and report what it would change; "
                    "change nothing");
  command->add_flag("--json", import.json, "Print the summary as one JSON object");
  command->add_flag("--no-progress", line.noProgress, "No progress bar");
  command->add_flag("--lotus-notes", import.lotusNotes,
                    "Write the shared snapshot for Lotus Notes agents (default: Exchange)");
  command->add_flag("--no-snapshot", import.noSnapshot,
                    "Do not write the shared snapshot of the new table");
}

// dump, info, stats and check: the commands that read the table and the settings.
void AddReportOptions(CLI::App& app, CommandLine& line) {
  CLI::App* dumpCommand = app.get_subcommand("dump");
  dumpCommand->add_flag("--lotus-notes", line.dump.lotusNotes, "Load as a Lotus Notes agent does");
  dumpCommand->add_flag("--proxy", line.dump.addProxy,
                        "Proxy SMTP addresses become keys (as the setting naddproxysmtp does)");
  dumpCommand->add_option("-o,--output", line.dump.output, "Write the dump to FILE")
      ->type_name("FILE");
  dumpCommand->add_flag("--json", line.dump.json,
                        "Write the groups (keys and records) as one JSON document");

  CLI::App* infoCommand = app.get_subcommand("info");
  infoCommand->add_flag("--json", line.infoJson, "Print the description as one JSON object");

  CLI::App* statsCommand = app.get_subcommand("stats");
  statsCommand->add_option("KEYFILE", line.stats.keyFile, "Keys, one a line; - for standard input")
      ->required();
  statsCommand->add_flag("--private", line.stats.privateMode,
                         "Private mode (default: shared mode, the whole table in memory)");
  statsCommand->add_flag("--lotus-notes", line.stats.lotusNotes,
                         "Load the table as a Lotus Notes agent does (shared mode)");
  statsCommand->add_flag("--no-refresh", line.stats.noRefresh,
                         "Do not refresh the local table, even when it is due");
  statsCommand->add_flag("--json", line.stats.json, "Print the figures as one JSON object");

  CLI::App* checkCommand = app.get_subcommand("check");
  checkCommand->add_flag("--json", line.check.json, "Print the findings as one JSON object");
  checkCommand->add_flag("--online", line.check.online,
                         "Also bind to the directory of the [Sync] profile and search it");
}

// sync and publish: the control server's daily chain and its releases.
void AddPublishOptions(CLI::App& app, CommandLine& line) {
  CLI::App* command = app.get_subcommand("publish");
  PublishOptions& publish = line.publish;
  CLI::App* syncCommand = app.get_subcommand("sync");
  syncCommand->add_flag("--dry-run", line.sync.dryRun,
                        "Read the directory and check the import's guards; change and publish "
                        "nothing");
  syncCommand->add_flag("--force", line.sync.force,
                        "Import even when the import's guards refuse the directory's rows");
  syncCommand->add_flag("--json", line.sync.json,
                        "Print each step's outcome as one JSON object, one a line");

  command
      ->add_option("DIR", publish.folder,
                   "The web root (an existing folder); the server serves its current/")
      ->required();
  command
      ->add_option("--keep", publish.keep,
                   "Releases kept, the live one among them; older ones are removed after the "
                   "switch (default 7)")
      ->type_name("N")
      ->check(CLI::Range(1, 10000));
  CLI::Option* rollback =
      command
          ->add_option("--rollback", publish.rollbackId,
                       "Make release ID live again (default: the one before the live one), "
                       "atomically, with validators that change")
          ->type_name("ID")
          ->expected(0, 1);
  CLI::Option* publishStatus = command->add_flag(
      "--status", publish.status,
      "List the releases, which one is live, their rows and GUIDs; changes nothing");
  command
      ->add_flag("--verify", publish.verify,
                 "Check every release's files against its manifest (size and SHA-256); exit 3 "
                 "when one is damaged")
      ->excludes(publishStatus)
      ->excludes(rollback);
  publishStatus->excludes(rollback);
  command->add_flag("--json", publish.json, "Print the outcome as one JSON object");
}

// The program, its commands in the order of the help, and every option.
void DeclareCommandLine(CLI::App& app, CommandLine& line) {
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("guidlookup ") + GuidLookupsVersion(),
                       "Print the version and exit");
  app.fallthrough();  // global options may also follow the command
  app.footer(kExitFooter);
  auto formatter = std::make_shared<PlainFormatter>();
  formatter->column_width(34);
  app.formatter(formatter);
  AddGlobalOptions(app, line);
  for (const Command& command : kCommands)
    app.add_subcommand(command.name, command.description)->footer(kFooter);
  AddResolveOptions(app, line);
  AddRefreshOptions(app, line);
  AddImportSourceOptions(app, line);
  AddImportTableOptions(app, line);
  AddReportOptions(app, line);
  AddPublishOptions(app, line);
}

// A usage error: one line, and with --json its JSON too.
int UsageError(const std::string& message, bool json) {
  if (json) PrintJsonError(message);
  std::cerr << "guidlookup: " << message << "\n";
  return Finish(kExitUsage);
}

// Parses the command line; the run's exit status when it ends here (help,
// version, a usage error), -1 when a command is to run.
int ParseCommandLine(CLI::App& app, int argc, char** argv, bool json) {
  const std::string typed = TypedCommand(argc, argv);
  if (!typed.empty() && !IsCommand(typed))
    return UsageError("unknown command '" + OneLine(typed) + "'; the commands are " +
                          CommandList() + " (see guidlookup --help)",
                      json);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return Finish(app.exit(e));
    if (typed.empty() && app.get_subcommands().empty())
      return UsageError(
          "no command given; the commands are " + CommandList() + " (see guidlookup --help)", json);
    return UsageError(OneLine(e.what()) + " (see guidlookup --help)", json);
  }
  return -1;
}

// What the options' values alone do not tell: which ones were given.
void NoteGivenOptions(CLI::App& app, CommandLine& line) {
  const auto given = [&app](const char* command, const char* option) {
    return (command ? app.get_subcommand(command) : &app)->get_option(option)->count() > 0;
  };
  line.global.logLevelGiven = given(nullptr, "--log-level");
  line.resolve.statusGiven = given("resolve", "--status");
  line.refresh.jobGiven = given("refresh", "--job");
  line.import.progress = !line.noProgress;
  line.publish.rollback = given("publish", "--rollback");
  line.import.baseGiven = given("import", "--base");
  for (const char* name : {"--base", "--filter", "--bind-dn", "--password-file", "--ca-file",
                           "--page-size", "--timeout"})
    if (given("import", name)) line.import.ldapOptionsGiven.push_back(name);
}

// Runs the one command given; a failure is its one line on standard error
// after whatever the command printed.
int RunCommand(CLI::App& app, const CommandLine& line, bool json) {
  int exitStatus = kExitFailure;
  std::string failure;
  try {
    const ToolContext context = PrepareEnvironment(line.global);
    // The parse requires exactly one command.
    for (const Command& command : kCommands)
      if (*app.get_subcommand(command.name)) exitStatus = command.run(context, line);
  } catch (const ToolError& e) {
    exitStatus = e.exitCode();
    failure = OneLine(e.what());
    if (json && !e.reportedInJson()) PrintJsonError(failure);
  } catch (const std::exception& e) {
    failure = "unexpected failure: " + OneLine(e.what());
    if (json) PrintJsonError(failure);
  } catch (...) {
    failure = "unexpected failure";
    if (json) PrintJsonError(failure);
  }
  exitStatus = Finish(exitStatus);
  if (!failure.empty()) std::cerr << "guidlookup: " << failure << "\n";
  return exitStatus;
}

}  // namespace

int main(int argc, char** argv) {
  guidlookup::CheckStandardOutput();
  CLI::App app{
      "Resolves mail addresses to directory GUID records with the guidlookups library "
      "and keeps its local GUID table.",
      "guidlookup"};
  CommandLine line;
  DeclareCommandLine(app, line);
  const bool json = WantsJson(argc, argv);
  const int ended = ParseCommandLine(app, argc, argv, json);
  if (ended >= 0) return ended;
  NoteGivenOptions(app, line);
  return RunCommand(app, line, json);
}
