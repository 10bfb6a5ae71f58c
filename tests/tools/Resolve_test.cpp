// guidlookup resolve.
#include "GuidlookupTool.h"

namespace tooltest {
namespace {

TEST_F(GuidlookupToolTest, ResolveAndDumpWithoutDatabaseSaySoInOneLine) {
  // First without a home folder, which they do not create; then with an
  // empty GUID cache folder, where the library runs and logs.
  for (bool folder : {false, true}) {
    if (folder) std::filesystem::create_directories(cache_);
    for (const char* mode : {"--no-refresh", "--private", ""}) {
      std::vector<std::string> args = {"resolve", "ann@contoso.com"};
      if (*mode) args.push_back(mode);
      ToolRun run = RunHome(args);
      EXPECT_EQ(run.exitCode, 3) << Show(run);
      ASSERT_EQ(Lines(run.err).size(), 1u) << Show(run);
      EXPECT_EQ(run.err.rfind("guidlookup: no database at " + database_, 0), 0u) << run.err;
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(FileExists(home_), folder);
      // The library's own lines went to the log file, not to the terminal.
      if (folder) {
        EXPECT_NE(ReadFile(home_ + "/guidlookup.log").find("L-1"), std::string::npos);
      }
    }
    ToolRun run = ExpectExit(3, {"dump"});
    ASSERT_EQ(Lines(run.err).size(), 1u) << Show(run);
    EXPECT_EQ(run.err.rfind("guidlookup: no database at " + database_, 0), 0u) << run.err;
    EXPECT_FALSE(FileExists(database_));
  }
}

TEST_F(GuidlookupToolTest, ResolvePrintsEveryRecordInStatusOrderInBothModes) {
  ImportDirectory();
  for (const char* mode : {"--no-refresh", "--private"}) {
    ToolRun run = ExpectExit(0, {"resolve", mode, "ann@contoso.com"});
    EXPECT_EQ(run.out, kAnnRecords) << mode;
    EXPECT_EQ(run.err, "");
  }
}

TEST_F(GuidlookupToolTest, ResolveExitsOneWhenAKeyIsNotFound) {
  ImportDirectory();
  for (const char* mode : {"--no-refresh", "--private"}) {
    ToolRun run = ExpectExit(1, {"resolve", mode, "ann@contoso.com", "nobody@contoso.com"});
    EXPECT_EQ(run.out, kAnnRecords + "nobody@contoso.com: not found\n") << mode;
    EXPECT_EQ(run.err, "");
  }
}

TEST_F(GuidlookupToolTest, ResolveByGuidAndByStatus) {
  ImportDirectory();
  for (const char* mode : {"--no-refresh", "--private"}) {
    ToolRun run = Expect(0, std::string("\n  8\tberg, ann\t") + kAnnGuid + "\n",
                         {"resolve", mode, "--guid", kAnnGuid});
    run = RunHome({"resolve", mode, "--status", "8", "ANN@contoso.com", "ann.proxy@contoso.com"});
    EXPECT_EQ(run.exitCode, std::string(mode) == "--private" ? 0 : 1) << Show(run);
    EXPECT_NE(run.out.find("ANN@contoso.com: berg, ann\n"), std::string::npos) << run.out;
    run = RunHome({"resolve", mode, "--status", "16", "ann@contoso.com"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "ann@contoso.com: no record of status 16\n");
  }
}

TEST_F(GuidlookupToolTest, ResolveJsonHoldsEveryRecord) {
  ImportDirectory();
  ToolRun run = ExpectExit(1, {"resolve", "--private", "--json", "ann@contoso.com", "no\"body"});
  EXPECT_EQ(run.out,
            std::string("[\n"
                        "  {\"key\": \"ann@contoso.com\", \"found\": true, \"records\": [\n"
                        "    {\"status\": 1, \"name\": \"ann@contoso.com\", \"guid\": \"") +
                kAnnFirstGuid + "\"},\n" +
                "    {\"status\": 2, \"name\": \"ann.proxy@contoso.com\", \"guid\": \"" + kAnnGuid +
                "\"},\n" + "    {\"status\": 8, \"name\": \"berg, ann\", \"guid\": \"" + kAnnGuid +
                "\"}\n" + "  ]},\n" +
                "  {\"key\": \"no\\\"body\", \"found\": false, \"records\": []}\n" + "]\n");
  run = RunHome({"resolve", "--no-refresh", "--json", "--status", "8", "ann@contoso.com"});
  EXPECT_EQ(run.out,
            "[\n  {\"key\": \"ann@contoso.com\", \"found\": true, \"status\": 8, \"name\": "
            "\"berg, ann\"}\n]\n");
}

TEST_F(GuidlookupToolTest, ResolveUnderscoreAddressFindsItsOwnMailbox) {
  // john.smith comes first, so a query that took "_" for any character would
  // answer john_smith with john.smith's GUID.
  WriteFile(dir_.file("smiths.tsv"),
            "1\t{11111111-0000-0000-0000-000000000000}\tjohn.smith@contoso.com\n"
            "1\t{22222222-0000-0000-0000-000000000000}\tjohn_smith@contoso.com\n");
  ASSERT_EQ(RunHome({"import", dir_.file("smiths.tsv")}).exitCode, 0);
  for (const char* mode : {"--no-refresh", "--private"}) {
    ToolRun run = ExpectExit(0, {"resolve", mode, "john_smith@contoso.com"});
    EXPECT_EQ(run.out,
              "john_smith@contoso.com: 1 record\n"
              "  1\tjohn_smith@contoso.com\t{22222222X0000X0000X0000X000000000000}\n")
        << mode;
  }
}

TEST_F(GuidlookupToolTest, ResolveLotusNotesKeys) {
  ImportDirectory();
  ToolRun run = ExpectExit(0, {"resolve", "--lotus-notes", "blind"});
  EXPECT_EQ(run.out,
            "blind: 2 records\n"
            "  128\tcn=bo lind/o=contoso\t11112222333344445555666677778888\n"
            "  288\tblind\t11112222333344445555666677778888\n");
  // An Exchange agent's cache has no key for a Notes short name.
  EXPECT_EQ(RunHome({"resolve", "blind"}).exitCode, 1);
}

TEST_F(GuidlookupToolTest, ResolveOnCorruptDatabaseIsOneLine) {
  ImportDirectory();
  WriteFile(database_, std::string(4096, 'x'));
  for (const char* mode : {"--no-refresh", "--private"}) {
    ToolRun run = ExpectExit(3, {"resolve", mode, "ann@contoso.com"});
    ASSERT_EQ(Lines(run.err).size(), 1u) << Show(run);
    EXPECT_NE(run.err.find("cannot read the database " + database_), std::string::npos) << run.err;
  }
}

TEST_F(GuidlookupToolTest, ResolveFromStandardInputAnswersEachLineAsItIsRead) {
  ImportDirectory();
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  Started started = StartHome({"resolve", "--no-refresh", "-"}, fds[0]);
  close(fds[0]);
  const std::string first = "ann@contoso.com\n";
  ASSERT_EQ(write(fds[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
  // The answer arrives while standard input is still open.
  std::string out;
  for (int i = 0; i < 1000 && out != kAnnRecords; ++i) {
    usleep(10000);
    out = ReadFile(started.outPath);
  }
  EXPECT_EQ(out, kAnnRecords);
  const std::string rest = "nobody@contoso.com\r\n\n";
  ASSERT_EQ(write(fds[1], rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
  close(fds[1]);
  ToolRun run = Finish(started);
  EXPECT_EQ(run.exitCode, 1) << Show(run);
  EXPECT_EQ(run.out, kAnnRecords + "nobody@contoso.com: not found\n");

  // JSON: one object per line; a tab and bytes that are not UTF-8 are
  // escaped, valid UTF-8 is kept.
  WriteFile(dir_.file("keys"), "no\tbody\xff@x\n\xc3\xa9t\xc3\xa9@x\nann@contoso.com\n");
  run = RunHomeReading({"resolve", "--private", "--json", "-"}, dir_.file("keys"));
  EXPECT_EQ(run.exitCode, 1) << Show(run);
  EXPECT_EQ(Lines(run.out).size(), 3u) << run.out;
  EXPECT_EQ(Json(run.out, "[[x['key'], x['found']] for x in d]", true),
            "[[\"no\\tbody\\u00ff@x\", false], [\"\\u00e9t\\u00e9@x\", false], "
            "[\"ann@contoso.com\", true]]");
}

// A key with a NUL byte (only standard input can bring one) is a bad key:
// answered as such, the others resolved, exit 2.
TEST_F(GuidlookupToolTest, KeyWithANulByteIsABadKeyAndTheOthersStillResolve) {
  ImportDirectory();
  WriteFile(dir_.file("keys"), std::string("ann@contoso.com\0x\nann@contoso.com\n", 34));
  for (const char* mode : {"--private", "--no-refresh"}) {
    ToolRun run = RunHomeReading({"resolve", mode, "-"}, dir_.file("keys"));
    EXPECT_EQ(run.exitCode, 2) << Show(run);
    EXPECT_EQ(run.out, "ann@contoso.com\\0x: bad key: it holds a NUL byte\n" + kAnnRecords) << mode;
  }
}

}  // namespace
}  // namespace tooltest
