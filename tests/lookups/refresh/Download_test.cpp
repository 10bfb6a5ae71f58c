// Replacement of the local GUID database by the control server's copy: over a
// real HTTP transfer from the control server script on loopback, and by a
// local copy when the control server is installed here. Every failure must
// leave the good local file exactly as it was.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <list>
#include <string>
#include <vector>

#include "guiddb/GuidDB.h"
#include "host/Settings.h"
#include "host/net/Network.h"
#include "lookups/HXGuidLookups.h"
#include "lookups/ProcessFlags.h"
#include "lookups/refresh/TableRebuild.h"
#include "support/ControlServer.h"
#include "support/TestSupport.h"

namespace {

using testsupport::CapturingLogWriter;
using testsupport::ClosedLoopbackPort;
using testsupport::ControlServer;
using testsupport::ControlServerScript;
using testsupport::MakeGuidDb;
using testsupport::ReadAllRows;
using testsupport::ReadFile;
using testsupport::Row;
using testsupport::ScopedEnv;
using testsupport::ScopedLogCapture;
using testsupport::TempDir;
using testsupport::WriteFile;

constexpr const char* kTag = "bool CHXGuidLookups::getSqlLiteGUIDDbFromHB()";
constexpr const char* kUpdateTag = "bool CHXGuidLookups::UpdateGUIDDB(CGuidDB&)";

const std::vector<Row> kOldRows = {
    {"old-only@corp.test", "{0001-OLD}", 1},
    {"shared@corp.test", "{0002-OLD}", 1},
};
// Only the control server's file holds "new-only".
const std::vector<Row> kNewRows = {
    {"new-only-proxy@corp.test", "{0003-NEW}", 2},
    {"new-only@corp.test", "{0003-NEW}", 1},
    {"shared@corp.test", "{0002-NEW}", 1},
};

// True when a line of `level` and `tag` starts with `prefix` and contains
// `fragment`.
bool HasLine(const CapturingLogWriter& log, int level, const std::string& tag,
             const std::string& prefix, const std::string& fragment = "") {
  for (const auto& l : log.lines())
    if (l.level == level && l.tag == tag && l.message.rfind(prefix, 0) == 0 &&
        l.message.find(fragment) != std::string::npos)
      return true;
  return false;
}

class DownloadTest : public ::testing::Test {
 protected:
  DownloadTest()
      : config_({{hostconfig::Knob::kSettingsDir, dir_.file("settings")},
                 {hostconfig::Knob::kLockDir, dir_.file("locks")},
                 {hostconfig::Knob::kInstance, ""},
                 {hostconfig::Knob::kControlServer, ""}}),
        proxyEnv1_("http_proxy", nullptr),
        proxyEnv2_("HTTP_PROXY", nullptr),
        proxyEnv3_("all_proxy", nullptr),
        proxyEnv4_("ALL_PROXY", nullptr) {}

  void SetUp() override {
    ResetProcessFlags();
    home_ = dir_.file("home");
    cache_ = home_ + "/JobResults/GUIDCacheDir";
    temp_ = dir_.file("tmp");
    hb_ = dir_.file("hb");
    for (const auto& d : {dir_.file("settings"), dir_.file("locks"), cache_, temp_, hb_})
      std::filesystem::create_directories(d);
    MakeGuidDb(cache_, kOldRows);
    MakeGuidDb(hb_, kNewRows);
    oldBytes_ = ReadFile(localDb());
    lookups_.guidCacheDir = cache_;
  }

  void TearDown() override { ResetProcessFlags(); }

  static void ResetProcessFlags() {
    CHXGuidLookups::s_shouldRefreshGUIDTable.store(RefreshUndecided);
    shouldFetchGUIDTable.store(true);
  }

  std::string localDb() const { return cache_ + "/GUIDDB.DAT"; }

  // The instance's settings: dHOME (unless left out), a forced download, and
  // the given lines of "[Base]".
  void WriteSettings(const std::string& baseLines, bool withHome = true) {
    std::string ini;
    if (withHome) ini += "[vTaskHost]\ndHOME=" + home_ + "\n";
    ini += "[EventManager]\ngetSqlLiteDbFromHB=1\n";
    ini += "[Base]\n" + baseLines;
    WriteFile(dir_.file("settings") + "/Instance001.ini", ini);
  }

  // "[Base]" of a machine without the control server, reaching it at `url`.
  std::string RemoteBase(const std::string& url, const std::string& tempFolder = "") {
    return "nHXPlatformType=0\ndMORVAXTEMPDIR=" + (tempFolder.empty() ? temp_ : tempFolder) +
           "\nsControlServerURL=" + url + "\nnControlServerTimeout=2\n";
  }

  // A refresh through UpdateGUIDDB that must fail in the download: the caller
  // stops further downloads and marks the database, the old file stays byte
  // for byte, and no session outlives the call.
  void ExpectRefreshFailsKeepingOldFile(CapturingLogWriter& log) {
    CGuidDB db;
    EXPECT_FALSE(lookups_.UpdateGUIDDB(db));
    EXPECT_FALSE(shouldFetchGUIDTable.load());
    EXPECT_EQ(lookups_.dbStatus, -1);
    EXPECT_TRUE(log.has(-1, kUpdateTag, "Failed to get Sql Lite GUID db from HB."));
    EXPECT_FALSE(log.has(-1, kTag, "Successfully received Sql Lite db from HB"));
    EXPECT_EQ(ReadFile(localDb()), oldBytes_);
    EXPECT_EQ(ReadAllRows(localDb()), kOldRows);
    EXPECT_EQ(CHxNetwork::LiveObjects(), 0);
  }

  // The transfer was attempted on an attached session, which was then ended.
  void ExpectSessionUsedAndEnded(CapturingLogWriter& log, const std::string& url) {
    EXPECT_TRUE(HasLine(log, 2, kTag, "Request Message Sent [ " + url + " as ")) << log.dump();
    EXPECT_TRUE(log.count("Detached from control server [" + url + "]") == 1) << log.dump();
  }

  TempDir dir_;
  testsupport::ScopedConfig config_;
  ScopedEnv proxyEnv1_, proxyEnv2_, proxyEnv3_, proxyEnv4_;
  std::string home_, cache_, temp_, hb_, oldBytes_;
  CHXGuidLookups lookups_;
};

// Every index of the file's GUID table, by name.
std::vector<std::string> IndexNames(const std::string& file) {
  std::vector<std::string> names;
  for (const Row& row : testsupport::QueryRows(
           file, "SELECT name, '', 0 FROM sqlite_master WHERE type='index' ORDER BY name;"))
    names.push_back(std::get<0>(row));
  return names;
}

TEST_F(DownloadTest, RefreshDownloadsNewTableAndLookupFindsItsRow) {
  ControlServer server(ControlServerScript(), hb_ + "/GUIDDB.DAT");
  WriteSettings(RemoteBase(server.url()));
  ScopedLogCapture log;
  CHXGuidLookups agent;
  ASSERT_FALSE(agent.Initialize(7, 0, false, true, nullptr).IsError());

  std::string address = "new-only@corp.test";
  GuidRecordMap records;
  ASSERT_TRUE(agent.Lookup(address, records, false)) << log->dump();
  ASSERT_EQ(records.size(), 2u) << log->dump();
  EXPECT_EQ(records.find(2)->second.name, "new-only-proxy@corp.test");

  EXPECT_EQ(CHXGuidLookups::s_shouldRefreshGUIDTable.load(), RefreshDone);
  EXPECT_EQ(agent.lastRefresh, RefreshDownloaded);
  EXPECT_EQ(ReadAllRows(localDb()), kNewRows);
  EXPECT_EQ(IndexNames(localDb()), (std::vector<std::string>{"GUID_NOCASE_index", "GUID_index",
                                                             "NAME_NOCASE_index", "NAME_index"}));
  ExpectSessionUsedAndEnded(*log, server.url());
  EXPECT_EQ(CHxNetwork::LiveObjects(), 0);
}

TEST_F(DownloadTest, RemoteDownloadNamesServerAndClientInRequestLine) {
  ControlServer server(ControlServerScript(), hb_ + "/GUIDDB.DAT");
  WriteSettings(RemoteBase(server.url() + "/"));
  ScopedLogCapture log;
  ASSERT_TRUE(lookups_.getSqlLiteGUIDDbFromHB()) << log->dump();
  std::string machine = HXPlatformInfo().getPhysicalMachine();
  EXPECT_TRUE(log->has(
      2, kTag, "Request Message Sent [ " + server.url() + " as " + machine.substr(0, 255) + " ]"));
  EXPECT_EQ(lookups_.lastRefresh, RefreshDownloaded);
  EXPECT_EQ(ReadAllRows(localDb()), kNewRows);
  // Nothing reads the transfer's own file after the call: it is gone.
  EXPECT_TRUE(std::filesystem::is_empty(temp_));
}

// A transfer that fails on an attached session: an error status, a body cut
// short, a server that stalls 30 s past the configured 2 s time-out.
TEST_F(DownloadTest, FailedTransferKeepsOldFileAndEndsSession) {
  const struct {
    const char* mode;
    const char* words;
  } cases[] = {{"404", "HTTP 404"}, {"truncate", "shorter than announced"}, {"slow", "timed out"}};
  for (const auto& c : cases) {
    ResetProcessFlags();
    ControlServer server(ControlServerScript(), hb_ + "/GUIDDB.DAT", c.mode);
    WriteSettings(RemoteBase(server.url()));
    ScopedLogCapture log;
    ExpectRefreshFailsKeepingOldFile(*log);
    EXPECT_TRUE(HasLine(*log, -1, kTag, "HXSession::getfile() returned error [", c.words))
        << log->dump();
    ExpectSessionUsedAndEnded(*log, server.url());
  }
}

TEST_F(DownloadTest, GarbageBodyIsRejectedBeforeTheCopy) {
  // The transfer itself succeeds: only the check of the received file stands
  // between a garbage body and the local table.
  ControlServer server(ControlServerScript(), hb_ + "/GUIDDB.DAT", "garbage");
  WriteSettings(RemoteBase(server.url()));
  // What an older build left there goes too.
  WriteFile(temp_ + "/GUIDDB.DAT", oldBytes_);
  ScopedLogCapture log;
  ExpectRefreshFailsKeepingOldFile(*log);
  EXPECT_TRUE(std::filesystem::is_empty(temp_));
  EXPECT_TRUE(
      HasLine(*log, -1, kTag, "GUID database [" + temp_ + "/GUIDDB.DAT] from HB is not usable"))
      << log->dump();
  EXPECT_FALSE(HasLine(*log, -1, kTag, "HXSession::getfile() returned error ["));
  ExpectSessionUsedAndEnded(*log, server.url());
}

// Files that are sound SQLite databases but that the library cannot use: a
// GUID table with other columns, or one with no rows. Each would break or
// empty every lookup of the machine.
TEST_F(DownloadTest, UnusableGuidTablesAreRejected) {
  for (const char* sql : {"CREATE TABLE GUID(a); INSERT INTO GUID VALUES (1);",
                          "CREATE TABLE GUID (Name TEXT, GUID TEXT, Status INTEGER);"}) {
    ResetProcessFlags();
    TempDir served;
    testsupport::ExecSql(served.file("GUIDDB.DAT"), sql);
    ControlServer server(ControlServerScript(), served.file("GUIDDB.DAT"));
    WriteSettings(RemoteBase(server.url()));
    ScopedLogCapture log;
    ExpectRefreshFailsKeepingOldFile(*log);
    EXPECT_TRUE(HasLine(*log, -1, kTag, "GUID database [", "is not usable")) << log->dump();
  }
}

// "dMORVAXTEMPDIR" naming the GUID cache folder itself: the raw transfer must
// not land on the live database before it is checked.
TEST_F(DownloadTest, TemporaryFolderThatIsTheCacheFolderNeverGetsTheRawTransfer) {
  ControlServer garbage(ControlServerScript(), hb_ + "/GUIDDB.DAT", "garbage");
  WriteSettings(RemoteBase(garbage.url(), cache_));
  ScopedLogCapture log;
  ExpectRefreshFailsKeepingOldFile(*log);

  ResetProcessFlags();
  ControlServer good(ControlServerScript(), hb_ + "/GUIDDB.DAT");
  WriteSettings(RemoteBase(good.url(), cache_ + "/"));
  ASSERT_TRUE(lookups_.getSqlLiteGUIDDbFromHB()) << log->dump();
  EXPECT_EQ(ReadAllRows(localDb()), kNewRows);
  EXPECT_FALSE(std::filesystem::exists(cache_ + "/.incoming"));
}

// The inode of a file: a rewrite by rename gives a new one.
ino_t Inode(const std::string& file) {
  struct stat st;
  return ::stat(file.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A server that sends validators: the second refresh of an unchanged file
// moves no body and leaves GUIDDB.DAT as it is, yet counts as a refresh; a
// changed file on the server is transferred in full.
TEST_F(DownloadTest, UnchangedFileIsNotTransferredAgain) {
  for (const char* validator : {"etag", "last-modified"}) {
    ResetProcessFlags();
    ::unlink((hb_ + "/GUIDDB.DAT").c_str());
    MakeGuidDb(hb_, kNewRows);
    ControlServer server(ControlServerScript(), hb_ + "/GUIDDB.DAT", "ok", 30, 4096, validator);
    WriteSettings(RemoteBase(server.url()) + "\n[EventManager]\nnLastGuidNameTableRefreshTime=1\n");
    ScopedLogCapture log;
    ASSERT_TRUE(lookups_.getSqlLiteGUIDDbFromHB()) << validator << log->dump();
    const ino_t installed = Inode(localDb());
    ASSERT_TRUE(std::filesystem::exists(cache_ + "/GUIDDB.VALIDATOR")) << validator;

    CGuidDB db;
    EXPECT_TRUE(lookups_.UpdateGUIDDB(db)) << validator << log->dump();
    EXPECT_EQ(lookups_.lastRefresh, RefreshNotModified) << validator;
    EXPECT_TRUE(log->has(-1, kTag,
                         "Sql Lite db on HB is unchanged since the last download; local database "
                         "kept"))
        << validator << log->dump();
    EXPECT_EQ(Inode(localDb()), installed) << validator;
    unsigned long refreshed = 0;
    HXPlatformInfo().getNumber("EventManager", "nLastGuidNameTableRefreshTime", &refreshed);
    EXPECT_GT(refreshed, 1u) << validator;

    // The server's file changes (a later modification time): a full transfer.
    testsupport::ExecSql(hb_ + "/GUIDDB.DAT",
                         "INSERT INTO GUID VALUES ('late@corp.test','{9}',1);");
    const auto later =
        std::filesystem::last_write_time(hb_ + "/GUIDDB.DAT") + std::chrono::seconds(5);
    std::filesystem::last_write_time(hb_ + "/GUIDDB.DAT", later);
    ASSERT_TRUE(lookups_.getSqlLiteGUIDDbFromHB()) << validator << log->dump();
    EXPECT_EQ(ReadAllRows(localDb()).size(), kNewRows.size() + 1) << validator;
  }
}

TEST_F(DownloadTest, CompressedBodyIsUnpacked) {
  ControlServer server(ControlServerScript(), hb_ + "/GUIDDB.DAT", "gzip");
  WriteSettings(RemoteBase(server.url()));
  ScopedLogCapture log;
  ASSERT_TRUE(lookups_.getSqlLiteGUIDDbFromHB()) << log->dump();
  EXPECT_EQ(ReadAllRows(localDb()), kNewRows);
}

// A validator that no longer fits is never a reason to keep a file: garbage,
// an empty file, a local rebuild since (which drops it) or a file changed in
// place all lead to a full transfer; a 304 the library did not ask for is a
// failed transfer.
TEST_F(DownloadTest, ValidatorThatDoesNotFitGivesAFullTransfer) {
  ControlServer server(ControlServerScript(), hb_ + "/GUIDDB.DAT", "ok", 30, 4096, "etag");
  WriteSettings(RemoteBase(server.url()));
  ScopedLogCapture log;
  const std::string validator = cache_ + "/GUIDDB.VALIDATOR";
  auto unchangedLine = [&] { return log->count("unchanged since the last download"); };
  for (const char* spoil : {"garbage", "empty", "rebuild", "in place"}) {
    ASSERT_TRUE(lookups_.getSqlLiteGUIDDbFromHB()) << spoil << log->dump();
    const std::string how = spoil;
    if (how == "garbage") WriteFile(validator, "file 1 2 3\netag \"x\"\n");
    if (how == "empty") WriteFile(validator, "");
    if (how == "rebuild") {
      const std::list<GUIDNameInfo> rows = {{1, "{r}", "r@corp.test"}};
      ASSERT_TRUE(RebuildGuidTable(cache_, RowsOf(rows)).replaced);
      EXPECT_FALSE(std::filesystem::exists(validator));
    }
    if (how == "in place")
      testsupport::ExecSql(localDb(), "DELETE FROM GUID WHERE Name='shared@corp.test';");
    const int before = unchangedLine();
    ASSERT_TRUE(lookups_.getSqlLiteGUIDDbFromHB()) << spoil << log->dump();
    EXPECT_EQ(unchangedLine(), before) << spoil;
    EXPECT_EQ(ReadAllRows(localDb()), kNewRows) << spoil;
  }

  ControlServer bogus(ControlServerScript(), hb_ + "/GUIDDB.DAT", "304");
  ::unlink(validator.c_str());
  WriteSettings(RemoteBase(bogus.url()));
  MakeGuidDb(cache_, {});
  const std::string before = ReadFile(localDb());
  EXPECT_FALSE(lookups_.getSqlLiteGUIDDbFromHB());
  EXPECT_TRUE(HasLine(*log, -1, kTag, "HXSession::getfile() returned error [", "HTTP 304"))
      << log->dump();
  EXPECT_EQ(ReadFile(localDb()), before);
}

TEST_F(DownloadTest, RefusedConnectionKeepsOldFileAndEndsSession) {
  std::string url = "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort());
  WriteSettings(RemoteBase(url));
  ScopedLogCapture log;
  ExpectRefreshFailsKeepingOldFile(*log);
  EXPECT_TRUE(
      HasLine(*log, -1, kTag, "Failed to connect to the remote machine:[", "connection refused"))
      << log->dump();
  EXPECT_FALSE(HasLine(*log, 2, kTag, "Request Message Sent ["));
}

TEST_F(DownloadTest, UnresolvableHostKeepsOldFileAndEndsSession) {
  WriteSettings(RemoteBase("http://nonexistent.invalid"));
  ScopedLogCapture log;
  ExpectRefreshFailsKeepingOldFile(*log);
  EXPECT_TRUE(HasLine(*log, -1, kTag, "Failed to connect to the remote machine:[",
                      "could not resolve host"))
      << log->dump();
}

// Settings that leave the source unnamed fail at their step before any session
// or copy (a missing home before the platform type is read); the table stays.
TEST_F(DownloadTest, SettingsThatNameNoSourceFailAtTheirStep) {
  const struct {
    std::string base;
    bool withHome;
    GuidFailureStep step;
  } cases[] = {
      {"nHXPlatformType=0\ndMORVAXTEMPDIR=" + temp_ + "\n", true, GuidFailureStep::kControlServer},
      {"nHXPlatformType=0\nsControlServerURL=http://127.0.0.1:1\n", true,
       GuidFailureStep::kNoSourceFolder},
      {"nHXPlatformType=1\ndMORVAXSQLLITEDBDIR=" + hb_ + "\n", false, GuidFailureStep::kNoHome},
      {"nHXPlatformType=1\ndMORVAXTEMPDIR=" + hb_ + "\n", true, GuidFailureStep::kNoSourceFolder},
  };
  for (const auto& c : cases) {
    ResetProcessFlags();
    WriteSettings(c.base, c.withHome);
    EXPECT_FALSE(lookups_.getSqlLiteGUIDDbFromHB()) << c.base;
    EXPECT_EQ(lookups_.lastFailure().step, c.step) << c.base;
    EXPECT_EQ(ReadFile(localDb()), oldBytes_) << c.base;
  }
}

TEST_F(DownloadTest, LocalCopyPrefersSqliteDbFolderAndMakesNoSession) {
  // dBASEHOME holds another database and the URL leads nowhere: neither may
  // be used.
  std::string other = dir_.file("basehome");
  std::filesystem::create_directories(other);
  MakeGuidDb(other, {{"wrong@corp.test", "{WRONG}", 1}});
  std::string url = "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort());
  WriteSettings("nHXPlatformType=1\ndMORVAXSQLLITEDBDIR=" + hb_ + "\ndBASEHOME=" + other +
                "\nsControlServerURL=" + url + "\n");
  const std::string serverBytes = ReadFile(hb_ + "/GUIDDB.DAT");
  ScopedLogCapture log;
  ASSERT_TRUE(lookups_.getSqlLiteGUIDDbFromHB()) << log->dump();
  // The control server's own file is only read; the installed copy gets the
  // search indexes.
  EXPECT_EQ(serverBytes, ReadFile(hb_ + "/GUIDDB.DAT"));
  EXPECT_EQ(IndexNames(localDb()), (std::vector<std::string>{"GUID_NOCASE_index", "GUID_index",
                                                             "NAME_NOCASE_index", "NAME_index"}));
  EXPECT_EQ(lookups_.lastRefresh, RefreshCopiedLocally);
  EXPECT_EQ(ReadAllRows(localDb()), kNewRows);
}

// The control server's folder is dMORVAXSQLLITEDBDIR, else dBASEHOME; an
// empty value names no folder (the copy would be looked for at the root of
// the file system), and a trailing separator is harmless.
TEST_F(DownloadTest, LocalCopyFindsTheControlServersFolder) {
  for (const std::string& folders : {"dBASEHOME=" + hb_, "dMORVAXSQLLITEDBDIR=\ndBASEHOME=" + hb_,
                                     "dMORVAXSQLLITEDBDIR=" + hb_ + "/"}) {
    WriteFile(localDb(), oldBytes_);
    WriteSettings("nHXPlatformType=1\n" + folders + "\n");
    ScopedLogCapture log;
    ASSERT_TRUE(lookups_.getSqlLiteGUIDDbFromHB()) << folders << "\n" << log->dump();
    EXPECT_EQ(ReadAllRows(localDb()), kNewRows) << folders;
  }
}

TEST_F(DownloadTest, TemporaryFolderEndingInSeparatorStillDownloads) {
  ControlServer server(ControlServerScript(), hb_ + "/GUIDDB.DAT");
  WriteSettings(RemoteBase(server.url(), temp_ + "/"));
  ScopedLogCapture log;
  ASSERT_TRUE(lookups_.getSqlLiteGUIDDbFromHB()) << log->dump();
  EXPECT_EQ(ReadAllRows(localDb()), kNewRows);
}

// The new file is copied, checked and indexed in a staging folder beside the
// local one; nothing of it may stay behind, whether it was rejected or
// installed.
TEST_F(DownloadTest, StagingLeavesNothingBehind) {
  auto entries = [&] {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(cache_))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  const std::string good = ReadFile(hb_ + "/GUIDDB.DAT");
  WriteFile(hb_ + "/GUIDDB.DAT", std::string(8192, 'x'));
  WriteSettings("nHXPlatformType=1\ndMORVAXSQLLITEDBDIR=" + hb_ + "\n");
  ScopedLogCapture log;
  EXPECT_FALSE(lookups_.getSqlLiteGUIDDbFromHB());
  EXPECT_EQ(entries(), std::vector<std::string>{"GUIDDB.DAT"});
  EXPECT_EQ(ReadFile(localDb()), oldBytes_);

  WriteFile(hb_ + "/GUIDDB.DAT", good);
  ASSERT_TRUE(lookups_.getSqlLiteGUIDDbFromHB()) << log->dump();
  EXPECT_EQ(entries(), std::vector<std::string>{"GUIDDB.DAT"});
  EXPECT_EQ(ReadAllRows(localDb()), kNewRows);
}

TEST_F(DownloadTest, CorruptLocalSourceIsRejectedAndPathKeepsBothSeparators) {
  WriteFile(hb_ + "/GUIDDB.DAT", std::string(8192, 'x'));
  WriteSettings("nHXPlatformType=1\ndMORVAXSQLLITEDBDIR=" + hb_ + "/\n");
  ScopedLogCapture log;
  EXPECT_FALSE(lookups_.getSqlLiteGUIDDbFromHB());
  EXPECT_TRUE(
      HasLine(*log, -1, kTag, "GUID database [" + hb_ + "//GUIDDB.DAT] from HB is not usable"))
      << log->dump();
  EXPECT_EQ(ReadFile(localDb()), oldBytes_);
}

TEST_F(DownloadTest, MissingCacheFolderIsCreatedForTheCopy) {
  std::filesystem::remove_all(home_);
  ControlServer server(ControlServerScript(), hb_ + "/GUIDDB.DAT");
  WriteSettings(RemoteBase(server.url()));
  ScopedLogCapture log;
  ASSERT_TRUE(lookups_.getSqlLiteGUIDDbFromHB()) << log->dump();
  EXPECT_EQ(ReadAllRows(localDb()), kNewRows);
}

// Leaves a hot rollback journal beside `file`: a child opens it, writes more
// than its page cache holds inside a transaction (so changed pages reach the
// file) and is killed before COMMIT.
void LeaveHotJournal(const std::string& file) {
  pid_t child = testsupport::ForkChild([&]() -> int {
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) return 2;
    const char* sql =
        "PRAGMA journal_mode=DELETE; PRAGMA cache_size=5; BEGIN; DELETE FROM GUID;"
        "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 5000) "
        "INSERT INTO GUID SELECT 'junk' || x || '@corp.test', '{JUNK-' || x || '}', 1 FROM n;";
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) return 3;
    raise(SIGKILL);
    return 4;
  });
  ASSERT_EQ(testsupport::WaitChild(child), 128 + SIGKILL);
  ASSERT_TRUE(std::filesystem::exists(file + "-journal"));
}

TEST_F(DownloadTest, HotJournalOfKilledWriterIsNeverAppliedToNewFile) {
  LeaveHotJournal(localDb());
  ControlServer server(ControlServerScript(), hb_ + "/GUIDDB.DAT");
  WriteSettings(RemoteBase(server.url()));
  ScopedLogCapture log;
  ASSERT_TRUE(lookups_.getSqlLiteGUIDDbFromHB()) << log->dump();
  EXPECT_FALSE(std::filesystem::exists(localDb() + "-journal"));
  EXPECT_EQ(CGuidDB::VerifyFile(localDb()), "");
  EXPECT_EQ(ReadAllRows(localDb()), kNewRows);
}

TEST_F(DownloadTest, RejectedDownloadLeavesOldFileAndItsJournalAlone) {
  LeaveHotJournal(localDb());
  std::string dbBytes = ReadFile(localDb());
  std::string journalBytes = ReadFile(localDb() + "-journal");
  ControlServer server(ControlServerScript(), hb_ + "/GUIDDB.DAT", "garbage");
  WriteSettings(RemoteBase(server.url()));
  ScopedLogCapture log;
  EXPECT_FALSE(lookups_.getSqlLiteGUIDDbFromHB());
  EXPECT_EQ(ReadFile(localDb()), dbBytes);
  EXPECT_EQ(ReadFile(localDb() + "-journal"), journalBytes);
  // The journal still rolls the old file back to its committed rows.
  EXPECT_EQ(ReadAllRows(localDb()), kOldRows);
}

TEST_F(DownloadTest, StaleWalAndIndexBesideOldFileAreRemoved) {
  WriteFile(localDb() + "-wal", std::string(4096, '\x5a'));
  WriteFile(localDb() + "-shm", std::string(32768, '\x00'));
  ControlServer server(ControlServerScript(), hb_ + "/GUIDDB.DAT");
  WriteSettings(RemoteBase(server.url()));
  ScopedLogCapture log;
  ASSERT_TRUE(lookups_.getSqlLiteGUIDDbFromHB()) << log->dump();
  EXPECT_FALSE(std::filesystem::exists(localDb() + "-wal"));
  EXPECT_FALSE(std::filesystem::exists(localDb() + "-shm"));
  EXPECT_EQ(ReadAllRows(localDb()), kNewRows);
}

}  // namespace
