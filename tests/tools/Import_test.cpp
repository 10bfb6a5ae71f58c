// guidlookup import, from a file, LDIF and a live directory.
#include <chrono>
#include <cstdlib>

#include "GuidlookupTool.h"
#include "lookups/snapshot/SharedSnapshot.h"
#include "support/Slapd.h"

namespace tooltest {
namespace {

TEST_F(GuidlookupToolTest, ImportPrintsItsSummaryAndFillsTheTable) {
  const std::string file = DirectoryFile();
  ToolRun run = Expect(0, "imported " + file + " into " + database_, {"import", file});
  EXPECT_NE(run.out.find("5 rows read, 5 added, 0 failed in "), std::string::npos) << run.out;
  EXPECT_EQ(run.err, "");  // no progress bar without a terminal
  EXPECT_EQ(ReadAllRows(database_).size(), 5u);
}

TEST_F(GuidlookupToolTest, ImportStopsAtAMalformedLineAndLeavesTheTable) {
  ImportDirectory();
  const std::vector<Row> before = ReadAllRows(database_);
  const std::string settingsBefore = ReadFile(settingsFile_);
  WriteFile(dir_.file("bad.tsv"),
            "1\t{1}\ta@contoso.com\n"
            "# a comment\n"
            "1\t{2}\n"
            "1\t{3}\tc@contoso.com\n");
  ToolRun run = ExpectExit(2, {"import", dir_.file("bad.tsv")});
  ASSERT_EQ(Lines(run.err).size(), 1u) << Show(run);
  EXPECT_NE(run.err.find(dir_.file("bad.tsv") + ":3:"), std::string::npos) << run.err;
  EXPECT_EQ(ReadAllRows(database_), before);
  EXPECT_EQ(ReadFile(settingsFile_), settingsBefore);

  run = RunHome({"import", dir_.file("missing.tsv")});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.err, "guidlookup: cannot read " + dir_.file("missing.tsv") +
                         ": No such file or directory\n");
  WriteFile(dir_.file("empty.tsv"), "# nothing\n\n");
  run = RunHome({"import", dir_.file("empty.tsv")});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.err, "guidlookup: " + dir_.file("empty.tsv") + ": no rows to import\n");
  EXPECT_EQ(ReadAllRows(database_), before);
}

// An import replaces the table and nothing else: no setting (the refresh
// source, the refresh time) and no job marker is written.
TEST_F(GuidlookupToolTest, ImportWritesNoSettingAndNoMarker) {
  for (const char* settings : {"[EventManager]\ngetSqlLiteDbFromHB=1\n", ""}) {
    WriteSettings(settings);
    const std::string before = ReadFile(settingsFile_);
    ToolRun run = ExpectExit(0, {"import", DirectoryFile()});
    EXPECT_EQ(ReadAllRows(database_).size(), 5u);
    EXPECT_EQ(ReadFile(settingsFile_), before);
    EXPECT_FALSE(FileExists(cache_ + "/GUIDDB.JOB"));
  }
}

// A disk that fills up half-way: one line, exit 3, and the table, the
// settings and the folder exactly as they were.
TEST_F(GuidlookupToolTest, ImportOntoAFullDiskChangesNothing) {
  ImportDirectory();
  const Kept kept = Keep();
  const std::string big = WriteGeneratedDirectory("big.tsv", 'u', 40000);
  ToolRun run = Finish(StartHome({"import", big}, -1, 1 << 20));
  EXPECT_EQ(run.exitCode, 3) << Show(run);
  ASSERT_EQ(Lines(run.err).size(), 1u) << Show(run);
  EXPECT_NE(run.err.find("import failed, nothing was changed: "), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
  ExpectUnchanged(kept);
}

// Ctrl-C in the middle of the rebuild: the old table and the settings stay
// byte for byte, one line says so, exit 130, no file of the rebuild is left.
TEST_F(GuidlookupToolTest, ImportInterruptedBySigintChangesNothing) {
  ImportDirectory();
  const Kept kept = Keep();
  Started started = StartHome({"import", WriteGeneratedDirectory("big.tsv", 'u', 400000)});
  // The rebuild's own file appears once the rows start going in.
  bool building = false;
  for (int i = 0; i < 2000 && !building; ++i) {
    for (const auto& entry : std::filesystem::directory_iterator(cache_))
      building = building || entry.path().filename().string().rfind(".GUIDDB.DAT.rebuild-", 0) == 0;
    if (!building) usleep(5000);
  }
  kill(started.pid, SIGINT);
  ToolRun run = Finish(started);
  ASSERT_TRUE(building) << Show(run);
  EXPECT_EQ(run.exitCode, 130) << Show(run);
  EXPECT_EQ(run.err, "guidlookup: import interrupted: nothing was changed\n");
  ExpectUnchanged(kept);
}

// A directory that accepts and never answers, in TLS or before it: the
// import ends within --timeout and a second, naming --timeout, or at once on
// SIGINT or SIGTERM with the shell's status for the signal; the table stays
// byte for byte and no file is left.
TEST_F(GuidlookupToolTest, ImportFromASilentDirectoryEndsOnTimeOutOrSignal) {
  ImportDirectory();
  const Kept kept = Keep();
  testsupport::SilentListener silent;
  const std::string port = std::to_string(silent.port());
  struct Case {
    std::string uri;
    int signal;  // 0: none, the time-out ends it
    int exitCode;
    std::string error;
  };
  const Case cases[] = {
      {"ldaps://127.0.0.1:" + port, 0, 3, "raise --timeout (now 2)"},
      {"ldaps://127.0.0.1:" + port, SIGINT, 130, "import interrupted: nothing was changed"},
      {"ldaps://127.0.0.1:" + port, SIGTERM, 143, "import interrupted: nothing was changed"},
      {"ldap://127.0.0.1:" + port, SIGTERM, 143, "import interrupted: nothing was changed"},
  };
  for (const Case& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    Started started = StartHome(
        {"import", "--ldap", c.uri, "--base", "dc=corp", "--timeout", c.signal != 0 ? "60" : "2"});
    if (c.signal != 0) {
      usleep(500 * 1000);
      kill(started.pid, c.signal);
    }
    ToolRun run = Finish(started);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(run.exitCode, c.exitCode) << c.uri << "\n" << Show(run);
    EXPECT_LT(seconds, c.signal != 0 ? 1.5 : 3.0) << c.uri;
    EXPECT_NE(run.err.find(c.error), std::string::npos) << Show(run);
    ExpectUnchanged(kept);
  }
}

// Lookups, private and shared, go on while an import waits on its source:
// the mutex is taken only to install the new table.
TEST_F(GuidlookupToolTest, ConcurrentLookupsDoNotWaitForAStalledImport) {
  ImportDirectory();
  int pipeEnds[2];
  ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
  const std::string entry = "dn: cn=ann\nobjectGUID:: jErDMpdfRxehssPU5fYHGA==\n";
  ASSERT_EQ(write(pipeEnds[1], entry.data(), entry.size()), static_cast<ssize_t>(entry.size()));
  Started import = StartHome({"import", "--force", "--ldif", "-"}, pipeEnds[0]);
  close(pipeEnds[0]);
  usleep(300 * 1000);
  for (const bool privateMode : {true, false}) {
    std::vector<std::string> args = {"resolve", "--no-refresh"};
    if (privateMode) args.push_back("--private");
    args.push_back("ann@contoso.com");
    Started lookup = StartHome(args);
    const int status = WaitWithin(lookup.pid, 1000);
    EXPECT_NE(status, -1) << "the lookup waited for the import (private: " << privateMode << ")";
    if (status == -1) {
      close(pipeEnds[1]);
      pipeEnds[1] = -1;
      Finish(lookup);
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
  }
  if (pipeEnds[1] >= 0) {
    const std::string rest = "mail: ann@contoso.com\n\n";
    EXPECT_EQ(write(pipeEnds[1], rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
    close(pipeEnds[1]);
  }
  ToolRun run = Finish(import);
  EXPECT_EQ(run.exitCode, 0) << Show(run);

  // A source that stalls for good: one SIGTERM ends the import.
  const Kept kept = Keep();
  ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
  import = StartHome({"import", "--ldif", "-"}, pipeEnds[0]);
  close(pipeEnds[0]);
  usleep(300 * 1000);
  kill(import.pid, SIGTERM);
  const int status = WaitWithin(import.pid, 1000);
  close(pipeEnds[1]);
  EXPECT_NE(status, -1) << "SIGTERM did not end an import waiting on its source";
  if (status == -1) testsupport::WaitChild(import.pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 143) << status;
  ExpectUnchanged(kept);
}

TEST_F(GuidlookupToolTest, ConcurrentImportsTakeTurnsAndLeaveOneWholeTable) {
  // Each import switches the refresh source for its rebuild and restores it;
  // overlapping ones must neither undo each other's switch nor run as one job.
  WriteSettings("");
  WriteGeneratedDirectory("a.tsv", 'a', 300);
  WriteGeneratedDirectory("b.tsv", 'b', 300);
  for (int round = 0; round < 3; ++round) {
    std::vector<Started> started;
    for (int i = 0; i < 4; ++i)
      started.push_back(StartHome({"import", "--force", dir_.file(i % 2 ? "b.tsv" : "a.tsv")}));
    for (const auto& s : started) {
      ToolRun run = Finish(s);
      EXPECT_EQ(run.exitCode, 0) << Show(run);
    }
    std::vector<Row> rows = ReadAllRows(database_);
    ASSERT_EQ(rows.size(), 300u);
    char first = std::get<0>(rows.front())[0];
    for (const Row& row : rows) EXPECT_EQ(std::get<0>(row)[0], first);
    EXPECT_EQ(ReadFile(settingsFile_).find("getSqlLiteDbFromHB"), std::string::npos)
        << ReadFile(settingsFile_);
  }
}

TEST_F(GuidlookupToolTest, ImportOfTheSampleDirectory) {
  ToolRun run = Expect(0, "3083 rows read, 3083 added, 0 failed",
                       {"import", GUIDLOOKUPS_SOURCE_DIR "/data/sample_directory.tsv"});
  run = RunHome({"resolve", "--private", "--status", "8", "john_smith@contoso.com"});
  EXPECT_EQ(run.out, "john_smith@contoso.com: smith, john\n");
}

// An LDIF export, from a file and from standard input: the summary counts
// the entries that gave no rows; a bad entry is exit 2 naming its line, and
// the table stays.
TEST_F(GuidlookupToolTest, ImportLdifCountsEntriesWithoutRowsAndStopsAtABadOne) {
  WriteFile(dir_.file("dir.ldif"),
            "dn: cn=ann,dc=contoso,dc=com\nobjectGUID:: jErDMpdfRxehssPU5fYHGA==\n"
            "proxyAddresses: SMTP:Ann@contoso.com\ndisplayName: Berg, Ann\n\n"
            "dn: cn=printer,dc=contoso,dc=com\nobjectGUID:: AAECAwQFBgcICQoLDA0ODw==\n\n"
            "dn: cn=group,dc=contoso,dc=com\nmail: group@contoso.com\n\n");
  ToolRun run = Expect(0,
                       "3 entries read, 2 gave no rows (1 without a GUID, 1 without an SMTP "
                       "address)\n2 rows read, 2 added, 0 failed",
                       {"import", "--ldif", dir_.file("dir.ldif")});
  run = RunHome({"resolve", "--private", "--no-refresh", "ann@contoso.com"});
  EXPECT_NE(run.out.find("8\tberg, ann\t{32c34a8c-5f97-1747-a1b2-c3d4e5f60718}"), std::string::npos)
      << Show(run);

  const std::string before = ReadFile(database_);
  WriteFile(dir_.file("bad.ldif"), "dn: cn=x\nobjectGUID:: AAEC\nmail: x@contoso.com\n\n");
  run = RunHomeReading({"import", "--ldif", "-", "--json"}, dir_.file("bad.ldif"));
  EXPECT_EQ(run.exitCode, 2) << Show(run);
  EXPECT_EQ(run.err,
            "guidlookup: import failed, nothing was changed: standard input:2: objectGUID is 3 "
            "bytes long, not the 16 of a GUID\n");
  EXPECT_EQ(Json(run.out, "d['error'][:13]"), "\"import failed\"");
  EXPECT_EQ(ReadFile(database_), before);
}

// A live directory through the tool: verified TLS, a bind whose password
// only a file holds, pages smaller than the directory, a search from the
// root ("").
TEST_F(GuidlookupToolTest, ImportLdapReadsEveryPage) {
  if (testsupport::SlapdProgram().empty()) GTEST_SKIP() << "slapd is not installed";
  testsupport::SlapdServer slapd(dir_.file(""));
  slapd.Add(Mailboxes(5));
  ToolRun run = RunHome({"import", "--ldap", slapd.ldapsUri(), "--base", "", "--bind-dn",
                         "cn=reader,dc=corp,dc=test", "--password-file", slapd.readerPasswordFile(),
                         "--ca-file", slapd.pki().caFile(), "--page-size", "2", "--json"});
  ASSERT_EQ(run.exitCode, 0) << Show(run);
  EXPECT_EQ(Json(run.out, "[d['entries'], d['rowsAdded'], d['source']]"),
            "[5, 5, \"" + slapd.ldapsUri() + "\"]");
  EXPECT_EQ(ReadAllRows(database_).size(), 5u);
  run = ExpectExit(3, {"import", "--ldap", slapd.ldapsUri(), "--base", "dc=corp,dc=test"});
  EXPECT_NE(run.err.find("import failed, nothing was changed: " + slapd.ldapsUri()),
            std::string::npos)
      << run.err;
}

// A directory that comes back smaller than the installed table: beyond
// --max-shrink it is refused naming both counts (the table stays), --force
// or a wider limit takes it, and --dry-run reports what would change and
// changes nothing.
TEST_F(GuidlookupToolTest, ImportGuardsAgainstAShrinkingTable) {
  ASSERT_EQ(RunHome({"import", WriteGeneratedDirectory("full.tsv", 'u', 20)}).exitCode, 0);
  // Half the GUIDs, one of them with a new address.
  std::string half;
  for (int i = 0; i < 10; ++i)
    half += "1\t{U" + std::to_string(i) + "}\t" + (i == 0 ? "new" : "u" + std::to_string(i)) +
            "@contoso.com\n";
  WriteFile(dir_.file("half.tsv"), half);
  struct Case {
    std::vector<std::string> options;
    int exitCode;
    bool replaced;
    std::string out;  // in standard output (or error, for a refusal)
  };
  const Case cases[] = {
      {{}, 3, false, "the new table has 10 GUIDs where the installed one has 20: it would lose 10"},
      {{"--max-shrink", "40"}, 3, false, "more than --max-shrink 40%"},
      {{"--dry-run"}, 0, false, "rows: 20 before, 10 after: 0 added, 10 removed, 1 changed"},
      {{"--dry-run", "--json"},
       0,
       false,
       "\"guids\": {\"before\": 20, \"after\": 10, \"added\": 0,"},
      {{"--max-shrink", "50"},
       0,
       true,
       "GUIDs: 20 before, 10 after: 0 added, 10 removed, 1 changed"},
      {{"--force"}, 0, true, "imported "},
  };
  for (const Case& c : cases) {
    const Kept kept = Keep();
    std::vector<std::string> args = {"import", dir_.file("half.tsv")};
    args.insert(args.end(), c.options.begin(), c.options.end());
    ToolRun run = RunHome(args);
    EXPECT_EQ(run.exitCode, c.exitCode) << Show(run);
    EXPECT_NE((c.exitCode == 0 ? run.out : run.err).find(c.out), std::string::npos) << Show(run);
    if (c.replaced) {
      EXPECT_EQ(ReadAllRows(database_).size(), 10u);
      ASSERT_EQ(RunHome({"import", dir_.file("full.tsv")}).exitCode, 0);
    } else {
      ExpectUnchanged(kept);
    }
  }
}

// An address that two entries hold (a contact and a group) goes to one of
// them by the documented rule, the same whatever order the directory gives
// them in; the summary counts such addresses and names them.
TEST_F(GuidlookupToolTest, ImportGivesASharedAddressToOneEntryWhateverTheOrder) {
  const std::string contact =
      "dn: cn=contact\nobjectGUID:: AAECAwQFBgcICQoLDA0ODw==\nmail: shared@contoso.com\n\n";
  const std::string group =
      "dn: cn=group\nobjectGUID:: jErDMpdfRxehssPU5fYHGA==\nmail: shared@contoso.com\n"
      "proxyAddresses: smtp:group@contoso.com\n\n";
  std::vector<std::vector<Row>> tables;
  for (const std::string& ldif : {contact + group, group + contact}) {
    WriteFile(dir_.file("shared.ldif"), ldif);
    ToolRun run = ExpectExit(0, {"import", "--ldif", dir_.file("shared.ldif")});
    EXPECT_NE(run.out.find("1 address was held by several entries; each went to one "
                           "(shared@contoso.com)"),
              std::string::npos)
        << run.out;
    tables.push_back(ReadAllRows(database_));
  }
  // Both hold it as their primary address: the lower GUID keeps it.
  const std::vector<Row> expected = {
      {"group@contoso.com", "{32c34a8c-5f97-1747-a1b2-c3d4e5f60718}", 2},
      {"shared@contoso.com", "{03020100-0504-0706-0809-0a0b0c0d0e0f}", 1}};
  EXPECT_EQ(tables[0], expected);
  EXPECT_EQ(tables[1], expected);
}

// Option mistakes are usage errors, found before any source is read (the
// silent directory would hold the run for its time-out) or any file made.
TEST_F(GuidlookupToolTest, ImportOptionMistakesAreUsageErrors) {
  testsupport::SilentListener silent;
  const std::string uri = "ldaps://127.0.0.1:" + std::to_string(silent.port());
  WriteFile(dir_.file("dir.ldif"), "dn: cn=a\nmail: a@contoso.com\n\n");
  const std::string ldif = dir_.file("dir.ldif");
  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  const Case cases[] = {
      {{"--ldif", ldif, "--base", "dc=corp"}, "--base only goes with --ldap"},
      {{"--ldif", ldif, "--timeout", "5"}, "--timeout only goes with --ldap"},
      {{"--ldif", ldif, "--bind-dn", "cn=a"}, "--bind-dn only goes with --ldap"},
      {{"--ldif", ldif, "--ca-file", ldif}, "--ca-file only goes with --ldap"},
      {{"--ldap", uri}, "--ldap needs --base DN"},
      {{"--ldap", uri, "--base", "", "--password-file", ldif}, "--password-file needs --bind-dn"},
      {{"--ldap", uri, "--base", "", "--bind-dn", "cn=a"}, "--bind-dn needs --password-file"},
      {{"--ldap", uri, "--base", "", "--ca-file", ldif + ".missing"}, "cannot read --ca-file"},
      {{"--ldif", ldif, "--map", "cn=8"}, "--map gives no SMTP address rule"},
      {{"--ldif", dir_.path()}, "is a folder, not an export"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"import"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ToolRun run = RunHome(args);
    EXPECT_EQ(run.exitCode, 2) << Show(run);
    EXPECT_NE(run.err.find(c.error), std::string::npos) << Show(run);
    EXPECT_FALSE(FileExists(database_));
  }
}

// The README's daily chain, run as printed (the example's names replaced by
// the test's) against slapd: it gives the table `import --ldap` gives, and an
// export that fails stops it before the import and the publish.
TEST_F(GuidlookupToolTest, ReadmeDailyChainGivesTheLiveTableAndStopsWhenTheExportFails) {
  if (testsupport::SlapdProgram().empty()) GTEST_SKIP() << "slapd is not installed";
  testsupport::SlapdServer slapd(dir_.file(""));
  std::string ldif;
  for (int i = 0; i < 12; ++i) {
    const std::string n = std::to_string(i);
    ldif += "dn: cn=u" + n +
            ",dc=corp,dc=test\nobjectClass: inetOrgPerson\nobjectClass: testMailbox\ncn: u" + n +
            "\nsn: u\nmail: u" + n + "@corp.test\nproxyAddresses: smtp:alias" + n + "@corp.test\n";
    // A third have no objectGUID: their GUID is slapd's entryUUID.
    if (i % 3 != 0)
      ldif += "objectGUID: 0123456789abcde" + std::string(1, static_cast<char>('A' + i)) + "\n";
    ldif += "\n";
  }
  slapd.Add(ldif);
  const std::string www = dir_.file("www");
  std::filesystem::create_directories(www);
  std::filesystem::create_directories(home_);

  const std::string readme = ReadFile(GUIDLOOKUPS_SOURCE_DIR "/README.md");
  const size_t section = readme.find("### The daily chain by hand");
  ASSERT_NE(section, std::string::npos);
  const size_t begin = readme.find("```\n", section) + 4;
  std::string chain = readme.substr(begin, readme.find("```", begin) - begin);
  const std::pair<std::string, std::string> names[] = {
      {"ldaps://dc1.contoso.com", slapd.ldapsUri()},
      {"CN=guidlookups,OU=Service,DC=contoso,DC=com", testsupport::SlapdServer::kReaderDn},
      {"DC=contoso,DC=com", testsupport::SlapdServer::kSuffix},
      {"/etc/guidlookups-hb/bind.password", slapd.readerPasswordFile()},
      {"/var/lib/guidlookups-hb", home_},
      {"/srv/guidlookups-hb", www},
      {"guidlookup --home", std::string(kTool) + " --home"}};
  for (const auto& [example, ours] : names)
    for (size_t at = 0; (at = chain.find(example, at)) != std::string::npos; at += ours.size())
      chain.replace(at, example.size(), ours);
  const auto runChain = [&](const std::string& text) {
    WriteFile(dir_.file("chain.sh"), text);
    const std::string command = "GUIDLOOKUPS_LOCK_DIR=" + dir_.path() +
                                " LDAPTLS_CACERT=" + slapd.pki().caFile() + " sh " +
                                dir_.file("chain.sh") + " >" + dir_.file("chain.out") + " 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  ASSERT_EQ(runChain(chain), 0) << chain << ReadFile(dir_.file("chain.out"));
  const std::vector<Row> fromChain = ReadAllRows(database_);
  EXPECT_EQ(fromChain.size(), 24u);
  EXPECT_EQ(ReadFile(www + "/GUIDDB.DAT"), ReadFile(database_));

  const std::string live = dir_.file("live");
  ToolRun run =
      Run({"--home", live, "import", "--ldap", slapd.ldapsUri(), "--base",
           testsupport::SlapdServer::kSuffix, "--bind-dn", testsupport::SlapdServer::kReaderDn,
           "--password-file", slapd.readerPasswordFile(), "--ca-file", slapd.pki().caFile()});
  ASSERT_EQ(run.exitCode, 0) << Show(run);
  EXPECT_EQ(ReadAllRows(live + "/JobResults/GUIDCacheDir/GUIDDB.DAT"), fromChain);

  // Pages beyond the directory's limit: ldapsearch fails, and nothing after it runs.
  slapd.Add(
      "dn: cn=late,dc=corp,dc=test\nobjectClass: inetOrgPerson\ncn: late\nsn: l\n"
      "mail: late@corp.test\n");
  const std::string published = ReadFile(www + "/GUIDDB.DAT");
  const Kept kept = Keep();
  const size_t paging = chain.find("pr=1000");
  ASSERT_NE(paging, std::string::npos);
  EXPECT_NE(runChain(chain.replace(paging, 7, "pr=1500")), 0) << ReadFile(dir_.file("chain.out"));
  ExpectUnchanged(kept);
  EXPECT_EQ(ReadFile(www + "/GUIDDB.DAT"), published);
}

// Import and refresh leave the snapshot the agents map: Exchange's with the
// settings' proxy flag, or Lotus Notes'; none with --no-snapshot; one line
// when it cannot be written.
TEST_F(GuidlookupToolTest, ImportAndRefreshWriteTheAgentsSnapshot) {
  const std::string file = DirectoryFile();
  WriteFile(dir_.file("appmgr.tsv"), "1\t{42}\tnew@contoso.com\n");
  const std::map<std::string, std::string> appmgr = {
      {"GUIDLOOKUPS_APPMGR_TABLE", dir_.file("appmgr.tsv")}};
  struct Case {
    const char* settings;
    std::vector<std::string> args;
    const char* snapshots;  // [current, loader, proxy flag] of each
  };
  const Case cases[] = {
      {"", {"import", file}, "[[true, \"exchange\", false]]"},
      {"naddproxysmtp=1\n", {"import", file}, "[[true, \"exchange\", true]]"},
      {"", {"import", "--lotus-notes", file}, "[[true, \"notes\", false]]"},
      {"", {"import", "--no-snapshot", file}, "[]"},
      {"getSqlLiteDbFromHB=0\n", {"refresh", "--force"}, "[[true, \"exchange\", false]]"},
      {"getSqlLiteDbFromHB=0\n",
       {"refresh", "--force", "--lotus-notes"},
       "[[true, \"notes\", false]]"},
      {"getSqlLiteDbFromHB=0\n", {"refresh", "--force", "--no-snapshot"}, "[]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.settings);
    WriteSettings(std::string("[EventManager]\n") + c.settings);
    ToolRun run = RunHome(c.args, appmgr);
    EXPECT_EQ(run.exitCode, 0) << Show(run);
    EXPECT_EQ(run.err.find("no shared snapshot"), std::string::npos) << run.err;
    run = RunHome({"info", "--json"});
    EXPECT_EQ(Json(run.out,
                   "[[s['current'], s['loader'], s['proxyAddresses']] for s in "
                   "d['snapshots']]"),
              c.snapshots)
        << run.out;
  }
  WriteSettings("");
  const std::string place = SharedSnapshot::PathFor(cache_, true, false);
  ASSERT_EQ(mkdir(place.c_str(), 0755), 0);
  ToolRun run = ExpectExit(0, {"import", "--force", file});
  EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
  EXPECT_NE(run.err.find("no shared snapshot was written for the agents: " + place +
                         " is not a regular file and must be removed by hand"),
            std::string::npos)
      << run.err;
  rmdir(place.c_str());
}

}  // namespace
}  // namespace tooltest
