// guidlookup check.
#include "GuidlookupTool.h"
#include "support/ControlServer.h"

namespace tooltest {
namespace {

TEST_F(GuidlookupToolTest, CheckExitsByTheWorstFinding) {
  ImportDirectory();
  WriteFile(dir_.file("appmgr.tsv"), "1\t{42}\tnew@contoso.com\n");
  const std::map<std::string, std::string> env = {
      {"GUIDLOOKUPS_APPMGR_TABLE", dir_.file("appmgr.tsv")}};
  const std::string good = "[EventManager]\ngetSqlLiteDbFromHB=0\nnLastGuidNameTableRefreshTime=" +
                           std::to_string(time(nullptr)) + "\n";
  WriteSettings(good);
  ToolRun run = ExpectExit(0, {"check", "--json"}, env);
  EXPECT_EQ(Json(run.out, "[d['errors'], d['warnings'], len(d['checks']) > 4]"), "[0, 0, true]")
      << run.out;

  WriteSettings(good + "SmtpGuidTableRefreshIntervall=5\n");
  run = ExpectExit(1, {"check", "--json"}, env);
  EXPECT_EQ(Json(run.out,
                 "[[c['check'], 'SmtpGuidTableRefreshIntervall' in c['message']] for c "
                 "in d['checks'] if c['level'] != 'ok']"),
            "[[\"settings\", true]]")
      << run.out;

  // A broken header does not end the section, for the library nor for check.
  WriteSettings(good + "[Base\ngetSqlLiteDbFromHB=1\n");
  run = Expect(1, "malformed section line '[Base'", {"check"}, env);
  EXPECT_NE(run.out.find(": getSqlLiteDbFromHB is set again"), std::string::npos) << run.out;

  WriteSettings(good + "nTotalNumberOfRecordsToCommit=lots\n");
  run = Expect(3,
               "error: numbers: [EventManager] nTotalNumberOfRecordsToCommit=lots is "
               "not a number",
               {"check"}, env);

  // Download from a control server that is not there.
  WriteSettings("[Base]\nsControlServerURL=http://127.0.0.1:" +
                std::to_string(testsupport::ClosedLoopbackPort()) +
                "\ndMORVAXTEMPDIR=" + dir_.path() + "\n");
  run = ExpectExit(3, {"check", "--json"});
  EXPECT_EQ(Json(run.out,
                 "[c['message'] for c in d['checks'] if c['level'] == 'error' and "
                 "c['check'] == 'control server' and '127.0.0.1' in c['message']] != []"),
            "true")
      << run.out;

  // A settings file that is a folder: one line, and the JSON error.
  testsupport::TempDir settings;
  ASSERT_EQ(mkdir(settings.file("Instance001.ini").c_str(), 0755), 0);
  run = Run({"check", "--json"}, {{"GUIDLOOKUPS_SETTINGS_DIR", settings.path()}});
  EXPECT_EQ(run.exitCode, 3) << Show(run);
  EXPECT_EQ(run.err, "guidlookup: cannot read settings file " + settings.file("Instance001.ini") +
                         ": it is a folder\n");
  EXPECT_EQ(Json(run.out, "d['error'].endswith('it is a folder')"), "true") << run.out;
}

// check judges secret files by the library's own rule: a FIFO used to pass
// (the library would block on it), as did any file stat could read.
TEST_F(GuidlookupToolTest, CheckRefusesTheSecretFilesTheLibraryRefuses) {
  WriteFile(dir_.file("token"), "t0ken\n");
  ASSERT_EQ(chmod(dir_.file("token").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo(dir_.file("passphrase").c_str(), 0600), 0);
  WriteSettings("[Base]\nsControlServerURL=https://127.0.0.1:1\ndMORVAXTEMPDIR=" + dir_.path() +
                "\nsControlServerTokenFile=" + dir_.file("token") +
                "\nsControlServerKeyPasswordFile=" + dir_.file("passphrase") + "\n");
  ToolRun run = Expect(3,
                       "[Base] sControlServerTokenFile " + dir_.file("token") +
                           " may be read by group or other users",
                       {"check"});
  EXPECT_NE(run.out.find("[Base] sControlServerKeyPasswordFile " + dir_.file("passphrase") +
                         " is not a file"),
            std::string::npos)
      << run.out;
}

}  // namespace
}  // namespace tooltest
