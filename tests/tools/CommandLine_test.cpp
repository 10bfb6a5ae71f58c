// The command line itself: usage, help, version, the home folder, settings and log options, failed
// output, the generated documents, and JSON over every command.
#include <cerrno>
#include <cstring>

#include "GuidlookupTool.h"
#include "lookups/Version.h"

namespace tooltest {
namespace {

// The project version as CMakeLists.txt states it.
std::string ProjectVersion() {
  std::string cmake = ReadFile(GUIDLOOKUPS_SOURCE_DIR "/CMakeLists.txt");
  const std::string marker = "project(guidlookups VERSION ";
  size_t at = cmake.find(marker);
  if (at == std::string::npos) return "?";
  at += marker.size();
  return cmake.substr(at, cmake.find_first_of(" )", at) - at);
}

TEST_F(GuidlookupToolTest, UsageErrorsExitTwoWithOneLine) {
  const std::vector<std::vector<std::string>> bad = {
      {"resolve", "--bogus", "a@b"},
      {},
      {"frobnicate"},
      {"resolve"},
      {"--log-level", "9", "info"},
      {"resolve", "--status", "eight", "a@b"},
      {"refresh", "--force", "--job", "7"},
      {"import"},
  };
  for (const auto& args : bad) {
    ToolRun run = Run(args);
    EXPECT_EQ(run.exitCode, 2) << Show(run);
    ASSERT_EQ(Lines(run.err).size(), 1u) << Show(run);
    EXPECT_EQ(run.err.rfind("guidlookup: ", 0), 0u) << run.err;
    EXPECT_EQ(run.out, "");
  }
  EXPECT_NE(Run({"resolve", "--bogus", "a@b"}).err.find("--bogus"), std::string::npos);
}

TEST_F(GuidlookupToolTest, HelpWorksOnEveryCommand) {
  for (const char* command : {"resolve", "refresh", "import", "dump", "info", "stats", "check"}) {
    ToolRun run = Run({command, "--help"});
    EXPECT_EQ(run.exitCode, 0) << Show(run);
    EXPECT_NE(run.out.find(std::string("Usage: guidlookup ") + command), std::string::npos)
        << run.out;
    for (const char* parserWords : {" TEXT", "REQUIRED", "Excludes:", ":INT"})
      EXPECT_EQ(run.out.find(parserWords), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "");
  }
  ToolRun run = Run({"--help"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.out.find("--home"), std::string::npos);
  EXPECT_NE(run.out.find("  --log-level N  "), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find(":INT"), std::string::npos) << run.out;
}

TEST_F(GuidlookupToolTest, VersionIsTheProjectVersion) {
  ToolRun run = Run({"--version"});
  EXPECT_EQ(run.exitCode, 0) << Show(run);
  EXPECT_EQ(run.out, "guidlookup " + ProjectVersion() + "\n");
  EXPECT_EQ(ProjectVersion(), GuidLookupsVersion());
  EXPECT_EQ(run.err, "");
}

TEST_F(GuidlookupToolTest, UnknownCommandNamesTheCommands) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"frobnicate"},
                                               {"help"},
                                               {"--home", home_, "frobnicate", "x"},
                                               {}}) {
    ToolRun run = Run(args);
    EXPECT_EQ(run.exitCode, 2) << Show(run);
    ASSERT_EQ(Lines(run.err).size(), 1u) << Show(run);
    EXPECT_EQ(run.err.find("subcommand"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(args.empty() ? std::string("no command given")
                                        : "unknown command '" + args[args.size() > 2 ? 2 : 0]),
              std::string::npos)
        << run.err;
    for (const char* command : {"resolve", "refresh", "import", "dump", "info"})
      EXPECT_NE(run.err.find(command), std::string::npos) << command << " in " << run.err;
  }
  EXPECT_FALSE(FileExists(home_));
}

// Output that does not arrive is a failure: exit 3 and one line, for the
// results on standard output and for dump's file alike.
TEST_F(GuidlookupToolTest, FailedWritesExitThreeWithOneLine) {
  ImportDirectory();
  const std::string full =
      "guidlookup: cannot write to standard output: " + std::string(std::strerror(ENOSPC)) + "\n";
  const std::vector<std::vector<std::string>> commands = {
      {"--version"},
      {"--help"},
      {"--home", home_, "info"},
      {"--home", home_, "resolve", "--no-refresh", "ann@contoso.com"},
      {"--home", home_, "dump"}};
  for (const auto& args : commands) {
    ToolRun run = Finish(Start(args, {}, RLIM_INFINITY, "/dev/full"));
    EXPECT_EQ(run.exitCode, 3) << args.back() << "\n" << Show(run);
    EXPECT_EQ(run.err, full) << args.back();
  }
  ToolRun run = ExpectExit(3, {"dump", "-o", "/dev/full"});
  EXPECT_EQ(run.err,
            "guidlookup: cannot write /dev/full: " + std::string(std::strerror(ENOSPC)) + "\n");
  EXPECT_EQ(run.out, "");
  run = ExpectExit(3, {"dump", "-o", dir_.file("no/such/folder/dump.txt")});
  ASSERT_EQ(Lines(run.err).size(), 1u) << Show(run);
}

// --home holds for the run: nothing of it is written to any settings file,
// and the agent's own dHOME stays as it was.
TEST_F(GuidlookupToolTest, HomeIsForThisRunOnly) {
  ToolRun run = RunHome({"import", DirectoryFile()});
  ASSERT_EQ(run.exitCode, 0) << Show(run);
  EXPECT_FALSE(FileExists(home_ + "/settings"));
  EXPECT_EQ(ReadAllRows(database_).size(), 5u);

  // The agent's settings name the same home: they lead to the same table.
  WriteSettings("");
  const std::string settings = ReadFile(settingsFile_);
  run = Run({"resolve", "ann@contoso.com"}, {{"GUIDLOOKUPS_SETTINGS_DIR", home_ + "/settings"}});
  EXPECT_EQ(run.exitCode, 0) << Show(run);
  EXPECT_EQ(run.out, kAnnRecords);

  // Another --home wins for its run and leaves the file alone.
  const std::string other = dir_.file("other");
  run = Run({"--home", other, "--settings-dir", home_ + "/settings", "info"});
  EXPECT_EQ(run.exitCode, 3) << Show(run);
  EXPECT_NE(run.out.find("home (dHOME):     " + other + "\n"), std::string::npos) << run.out;
  EXPECT_EQ(ReadFile(settingsFile_), settings);
  EXPECT_FALSE(FileExists(other));
}

TEST_F(GuidlookupToolTest, InstanceOptionPicksTheSettingsFile) {
  std::filesystem::create_directories(home_ + "/settings");
  WriteFile(home_ + "/settings/Instance007.ini",
            "[EventManager]\nSmtpGuidTableRefreshInterval=7\n");
  WriteFile(settingsFile_, "[EventManager]\nSmtpGuidTableRefreshInterval=9\n");
  ToolRun run = RunHome({"--instance", "Instance007", "info"});
  EXPECT_EQ(run.exitCode, 3) << Show(run);  // no database yet
  EXPECT_NE(run.out.find("settings file:    " + home_ + "/settings/Instance007.ini\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("refresh interval: 7 minutes\n"), std::string::npos) << run.out;
  EXPECT_EQ(Run({"--instance", "a/b", "info"}).exitCode, 2);
}

TEST_F(GuidlookupToolTest, MissingHomeIsOneLine) {
  ToolRun run = Run({"info"});
  EXPECT_EQ(run.exitCode, 3);
  ASSERT_EQ(Lines(run.err).size(), 1u) << Show(run);
  EXPECT_NE(run.err.find("no settings folder"), std::string::npos) << run.err;

  WriteFile(dir_.file("Instance001.ini"), "[EventManager]\nndumpcache=1\n");
  run = Run({"resolve", "a@b"}, {{"GUIDLOOKUPS_SETTINGS_DIR", dir_.path()}});
  EXPECT_EQ(run.exitCode, 3);
  ASSERT_EQ(Lines(run.err).size(), 1u) << Show(run);
  EXPECT_NE(run.err.find("holds no dHOME"), std::string::npos) << run.err;
}

TEST_F(GuidlookupToolTest, UnreadableSettingsFileIsOneLine) {
  // A folder where the file should be: unreadable even for root.
  ASSERT_EQ(mkdir(dir_.file("Instance001.ini").c_str(), 0755), 0);
  const std::vector<std::vector<std::string>> commands = {
      {"info"}, {"resolve", "a@b"}, {"import", DirectoryFile()}, {"refresh"}};
  for (const auto& args : commands) {
    ToolRun run = Run(args, {{"GUIDLOOKUPS_SETTINGS_DIR", dir_.path()}});
    EXPECT_EQ(run.exitCode, 3) << Show(run);
    ASSERT_EQ(Lines(run.err).size(), 1u) << Show(run);
    EXPECT_EQ(run.err, "guidlookup: cannot read settings file " + dir_.file("Instance001.ini") +
                           ": it is a folder\n");
  }
}

TEST_F(GuidlookupToolTest, LogFileOptionTakesTheLibrarysLines) {
  // Created at the first line: a run that logs nothing leaves no file.
  EXPECT_EQ(RunHome({"--log-file", dir_.file("mine.log"), "info"}).exitCode, 3);
  EXPECT_FALSE(FileExists(dir_.file("mine.log")));
  std::filesystem::create_directories(cache_);
  ToolRun run = RunHome(
      {"--log-file", dir_.file("mine.log"), "--log-level", "2", "resolve", "--private", "a@b"});
  EXPECT_EQ(run.exitCode, 3) << Show(run);
  std::string log = ReadFile(dir_.file("mine.log"));
  EXPECT_NE(log.find("Unable to open GUIDDB_NAME under folder"), std::string::npos) << log;
  EXPECT_FALSE(FileExists(home_ + "/guidlookup.log"));
  EXPECT_EQ(RunHome({"--log-file", dir_.file("no/such/folder/x.log"), "info"}).exitCode, 2);
}

TEST_F(GuidlookupToolTest, JsonOfEveryCommandParses) {
  ImportDirectory();
  ToolRun run = ExpectExit(0, {"info", "--json"});
  EXPECT_EQ(Json(run.out,
                 "[d['database']['rows'], d['database']['integrity'], "
                 "d['nextRefresh']['due'], d['jobMarker']['job']]"),
            "[5, \"ok\", false, 42]");
  run = ExpectExit(0, {"refresh", "--json"});
  EXPECT_EQ(Json(run.out, "[d['decision'], d['done']]"), "[\"not needed\", \"nothing\"]");
  run = ExpectExit(0, {"dump", "--json"});
  EXPECT_EQ(Json(run.out,
                 "[d['groups'], d['keys'], d['groupList'][1]['keys'], "
                 "d['groupList'][1]['records'][0]['guid']]"),
            std::string("[2, 4, [\"") + kAnnGuid + "\", \"BERG, ANN\", \"ANN@CONTOSO.COM\"], \"" +
                kAnnFirstGuid + "\"]");
  run = ExpectExit(0, {"dump", "--json", "-o", dir_.file("dump.json")});
  EXPECT_EQ(Json(run.out, "d['groups']"), "2");
  EXPECT_EQ(Json(ReadFile(dir_.file("dump.json")), "d['keys']"), "4");
  run = RunHome({"resolve", "--json", "--no-refresh", "ann@contoso.com"});
  EXPECT_EQ(Json(run.out, "[len(d), d[0]['found'], len(d[0]['records'])]"), "[1, true, 3]");
}

// A failure with --json is a JSON object with "error" too, and the exit
// status stays the documented one.
TEST_F(GuidlookupToolTest, JsonFailuresCarryTheError) {
  ToolRun run = ExpectExit(3, {"info", "--json"});
  EXPECT_EQ(Json(run.out, "[d['database']['exists'], d['error'].startswith('no database at ')]"),
            "[false, true]");
  run = ExpectExit(3, {"resolve", "--json", "ann@contoso.com"});
  EXPECT_EQ(Json(run.out, "d['error'].startswith('no database at ')"), "true") << run.out;
  run = ExpectExit(2, {"resolve", "--json"});
  EXPECT_EQ(Json(run.out, "sorted(d)"), "[\"error\"]") << run.out;

  ImportDirectory();
  WriteSettings("[EventManager]\ngetSqlLiteDbFromHB=0\n");
  run = ExpectExit(3, {"refresh", "--json", "--force"});
  EXPECT_EQ(Json(run.out, "[d['decision'], d['error'].startswith('refresh failed: ')]"),
            "[\"needed\", true]");
  ASSERT_EQ(Lines(run.err).size(), 1u) << Show(run);
}

// The man page and the bash completion are what tools/make-docs.py makes
// from this build's --help, and the README's settings table what it makes
// from the library's table, so none can drift from the code.
TEST_F(GuidlookupToolTest, ManPageAndCompletionMatchTheHelp) {
  for (const char* kind : {"man", "completion", "readme"}) {
    const bool readme = std::string(kind) == "readme";
    const std::string command =
        std::string("python3 " GUIDLOOKUPS_SOURCE_DIR "/tools/make-docs.py ") +
        (readme ? GUIDLOOKUPS_BINARY_DIR "/tools/print-settings-table" : kTool) + " " + kind;
    int status = -1;
    const std::string made = Capture(command, &status);
    ASSERT_EQ(status, 0) << kind;
    const std::string committed =
        ReadFile(readme ? std::string(GUIDLOOKUPS_SOURCE_DIR "/README.md")
                        : std::string(GUIDLOOKUPS_SOURCE_DIR "/tools/guidlookup.") +
                              (std::string(kind) == "man" ? "1" : "bash-completion"));
    EXPECT_EQ(made, committed) << kind << ": run cmake --build build --target guidlookup-docs";
    // A command's completion offers --help once: with the global options.
    for (const auto& line : Lines(std::string(kind) == "completion" ? committed : ""))
      if (line.find(") options=\"") != std::string::npos) {
        EXPECT_EQ(line.find("--help"), std::string::npos) << line;
      }
    if (readme) continue;
    // Spelled as troff spells a hyphen in the man page.
    for (std::string word : {"stats", "check", "--json", "--private", "--home"}) {
      if (std::string(kind) == "man" && word[0] == '-') word = "\\-\\-" + word.substr(2);
      EXPECT_NE(committed.find(word), std::string::npos) << word << " in " << kind;
    }
  }
}

}  // namespace
}  // namespace tooltest
