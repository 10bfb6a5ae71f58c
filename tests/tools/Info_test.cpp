// guidlookup info.
#include "GuidlookupTool.h"
#include "lookups/snapshot/SharedSnapshot.h"

namespace tooltest {
namespace {

// The "name: value" lines of info.
std::map<std::string, std::string> Fields(const std::string& out) {
  std::map<std::string, std::string> fields;
  for (const auto& line : Lines(out)) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    size_t value = line.find_first_not_of(' ', colon + 1);
    fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
  }
  return fields;
}

// Naming a home folder creates nothing, and info only reads: neither a
// missing home nor a whole one changes by a single file.
TEST_F(GuidlookupToolTest, InfoWritesNothingAndCreatesNoFolder) {
  auto before = Snapshot(dir_.path(), IsRunOutput);
  ToolRun run = ExpectExit(3, {"info"});
  EXPECT_EQ(run.err.rfind("guidlookup: no database at " + database_, 0), 0u) << run.err;
  EXPECT_EQ(Snapshot(dir_.path(), IsRunOutput), before);
  EXPECT_FALSE(FileExists(home_));

  ImportDirectory();
  before = Snapshot(dir_.path(), IsRunOutput);
  run = ExpectExit(0, {"info"});
  EXPECT_EQ(Snapshot(dir_.path(), IsRunOutput), before);
}

TEST_F(GuidlookupToolTest, InfoDescribesTheTable) {
  ImportDirectory();
  ToolRun run = ExpectExit(0, {"info"});
  auto fields = Fields(run.out);
  EXPECT_EQ(fields["database"], database_);
  EXPECT_EQ(fields["rows"], "5");
  EXPECT_EQ(fields["distinct GUIDs"], "2");
  EXPECT_EQ(fields["integrity"], "ok");
  EXPECT_EQ(fields["home (dHOME)"], home_);
  EXPECT_EQ(fields["refresh interval"], "1440 minutes (default)");
  EXPECT_NE(fields["size"].find(" bytes"), std::string::npos);
  // ISO 8601 with the zone's offset, once: "2026-12-08T09:30:00+01:00".
  EXPECT_EQ(fields["last refresh"].size(), 25u) << fields["last refresh"];
  EXPECT_EQ(fields["last refresh"][10], 'T') << fields["last refresh"];
  std::string marker = ReadFile(cache_ + "/GUIDDB.JOB");
  EXPECT_EQ(fields["job marker"], cache_ + "/GUIDDB.JOB: job " + marker);
  EXPECT_EQ(fields["next refresh"].rfind("not due: ", 0), 0u) << fields["next refresh"];

  WriteSettings(
      "[EventManager]\nSmtpGuidTableRefreshInterval=0\nnLastGuidNameTableRefreshTime=86400\n");
  fields = Fields(RunHome({"info"}, {{"TZ", "UTC"}}).out);
  EXPECT_EQ(fields["refresh interval"], "0 (refreshing by time is off)");
  EXPECT_EQ(fields["last refresh"], "1970-01-02T00:00:00+00:00");
  fields = Fields(RunHome({"info"}, {{"TZ", "CET-1"}}).out);
  EXPECT_EQ(fields["last refresh"], "1970-01-02T01:00:00+01:00");
}

TEST_F(GuidlookupToolTest, InfoShowsANumberThatIsNotOneAndWhatApplies) {
  ImportDirectory();
  WriteSettings(
      "[EventManager]\nSmtpGuidTableRefreshInterval=1h\nnLastGuidNameTableRefreshTime=soon\n"
      "getSqlLiteDbFromHB=no\n");
  ToolRun run = ExpectExit(0, {"info"});
  auto fields = Fields(run.out);
  EXPECT_EQ(fields["refresh interval"], "1h (not a number; the default 1440 minutes applies)");
  EXPECT_EQ(fields["last refresh"], "soon (not a number; taken as never refreshed)");
  EXPECT_NE(fields["refresh source"].find("getSqlLiteDbFromHB=no is not a number: download"),
            std::string::npos)
      << fields["refresh source"];
  EXPECT_EQ(fields["next refresh"].rfind("due: ", 0), 0u) << fields["next refresh"];
}

TEST_F(GuidlookupToolTest, InfoWithoutDatabaseOrOnACorruptOneFails) {
  ToolRun run = ExpectExit(3, {"info"});
  EXPECT_EQ(Fields(run.out)["database"], database_ + " (missing)");
  EXPECT_EQ(Fields(run.out)["last refresh"], "never");
  ASSERT_EQ(Lines(run.err).size(), 1u) << Show(run);
  EXPECT_EQ(run.err.rfind("guidlookup: no database at " + database_, 0), 0u) << run.err;

  ImportDirectory();
  std::string bytes = ReadFile(database_);
  for (size_t i = bytes.size() / 2; i < bytes.size(); ++i) bytes[i] = '\xa5';
  WriteFile(database_, bytes);
  run = ExpectExit(3, {"info"});
  EXPECT_EQ(Fields(run.out)["integrity"].rfind("FAILED: ", 0), 0u) << run.out;
  ASSERT_EQ(Lines(run.err).size(), 1u) << Show(run);
  EXPECT_NE(run.err.find("failed its check"), std::string::npos) << run.err;
}

TEST_F(GuidlookupToolTest, InfoShowsTheSharedSnapshotAndCheckFindsItDamaged) {
  ImportDirectory();
  ASSERT_EQ(RunHome({"resolve", "--no-refresh", "ann@contoso.com"}).exitCode, 0);
  ToolRun run = RunHome({"info", "--json"});
  EXPECT_EQ(Json(run.out, "[[s['current'], s['loader'], s['keys'] > 0] for s in d['snapshots']]"),
            "[[true, \"exchange\", true]]")
      << run.out;

  const std::string& folder = cache_;
  const std::vector<std::string> snapshots = SharedSnapshot::AllPaths(folder);
  ASSERT_EQ(snapshots.size(), 1u);
  const std::string snapshot = snapshots[0];
  std::string bytes = ReadFile(snapshot);
  for (size_t i = 200; i < bytes.size() && i < 240; ++i) bytes[i] = '\x7f';
  WriteFile(snapshot, bytes);
  // A writer's temporary file whose writer is gone, and a folder in the
  // place of another snapshot.
  const pid_t gone = testsupport::ForkChild([] { return 0; });
  ASSERT_EQ(testsupport::WaitChild(gone), 0);
  const std::string leftover =
      folder + "/" + SharedSnapshot::kTempPrefix + std::to_string(gone) + "-abcdef";
  WriteFile(leftover, "partial");
  const std::string place = SharedSnapshot::PathFor(folder, false, false);
  ASSERT_EQ(mkdir(place.c_str(), 0755), 0);
  run = RunHome({"info", "--json"});
  EXPECT_EQ(Json(run.out, "[s['path'] for s in d['snapshotLeftovers']]"), "[\"" + leftover + "\"]")
      << run.out;
  run = RunHome({"check", "--json"});
  EXPECT_EQ(Json(run.out, "[c['level'] for c in d['checks'] if c['check'] == 'shared snapshot']"),
            "[\"error\", \"warning\", \"warning\"]")
      << run.out;
  EXPECT_EQ(Json(run.out,
                 "[c['message'].count('remove it by hand') for c in d['checks'] if "
                 "c['check'] == 'shared snapshot']"),
            "[0, 1, 0]")
      << run.out;
  rmdir(place.c_str());
  unlink(leftover.c_str());

  // A new table: the damaged snapshot of the old one goes, and the import
  // writes the new one's.
  ImportDirectory();
  run = RunHome({"info", "--json"});
  EXPECT_EQ(Json(run.out, "[s['current'] for s in d['snapshots']]"), "[true]") << run.out;
  run = RunHome({"check", "--json"});
  EXPECT_EQ(Json(run.out, "[c['level'] for c in d['checks'] if c['check'] == 'shared snapshot']"),
            "[\"ok\"]")
      << run.out;
}

}  // namespace
}  // namespace tooltest
