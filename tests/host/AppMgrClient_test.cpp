// The application manager's client: the export file and the registered row
// source, and that a fetch is all or nothing.
#include "host/AppMgrClient.h"

#include <gtest/gtest.h>

#include <list>
#include <stdexcept>
#include <string>

#include "support/TestSupport.h"

namespace {

using testsupport::ScopedConfig;
using Knob = hostconfig::Knob;
using testsupport::ScopedLogCapture;
using testsupport::TempDir;
using testsupport::WriteFile;

const char kTag[] =
    "int GUIDFromName::getGUIDList(const std::string&, std::list<GUIDNameInfo>&, void*)";

class AppMgrClientTest : public ::testing::Test {
 protected:
  AppMgrClientTest() : table_(Knob::kAppMgrTable, dir.file("appmgr.tsv")) {}
  void SetUp() override { GUIDFromName::SetGUIDRowSource(GUIDRowSource()); }
  void TearDown() override { GUIDFromName::SetGUIDRowSource(GUIDRowSource()); }

  std::string file() const { return dir.file("appmgr.tsv"); }

  // Fetches through the client; the list starts with one sentinel row that a
  // failed fetch must leave alone.
  int Fetch(std::list<GUIDNameInfo>& rows) {
    rows.clear();
    GUIDNameInfo sentinel;
    sentinel.guid = "sentinel";
    rows.push_back(sentinel);
    GUIDFromName client;
    return client.getGUIDList("", rows, nullptr);
  }

  TempDir dir;
  ScopedLogCapture log;

 private:
  ScopedConfig table_;
};

TEST_F(AppMgrClientTest, ReadsRowsSkippingBlanksAndComments) {
  WriteFile(file(),
            "\xEF\xBB\xBF# exported table\n"
            "1\t{AB-01}\tAnn@Corp.test\n"
            "\n"
            "   \n"
            "# another comment\n"
            "-7\t{ab-02}\tj\xC3\xBCrgen@corp.test\r\n"
            "+4294967298\t{AB-03}\t\n"
            " 9223372036854775807 \t{AB-04}\tmax\n"
            "-9223372036854775808\t{AB-05}\tmin");  // no final line end
  std::list<GUIDNameInfo> rows;
  ASSERT_EQ(0, Fetch(rows)) << log->dump();
  ASSERT_EQ(6u, rows.size());
  auto it = rows.begin();
  EXPECT_EQ("sentinel", it->guid);  // appended after what the caller had
  ++it;
  EXPECT_EQ(1, it->status);
  EXPECT_EQ("{AB-01}", it->guid);
  EXPECT_EQ("Ann@Corp.test", it->name);
  ++it;
  EXPECT_EQ(-7, it->status);
  EXPECT_EQ("j\xC3\xBCrgen@corp.test", it->name);
  ++it;
  EXPECT_EQ(4294967298LL, it->status);
  EXPECT_EQ("", it->name);
  ++it;
  EXPECT_EQ(INT64_MAX, it->status);
  ++it;
  EXPECT_EQ(INT64_MIN, it->status);
  EXPECT_EQ("min", it->name);
}

TEST_F(AppMgrClientTest, AnyMalformedLineFailsTheWholeFetchNamingFileAndLine) {
  struct Case {
    const char* line;
    const char* what;
  } cases[] = {
      {"1\t{G}", "expected 3 tab-separated fields (status, GUID, name), found 2"},
      {"1\t{G}\tname\textra", "expected 3 tab-separated fields (status, GUID, name), found 4"},
      {"one\t{G}\tname", "status [one] is not a signed decimal number"},
      {"12x\t{G}\tname", "status [12x] is not a signed decimal number"},
      {"-\t{G}\tname", "status [-] is not a signed decimal number"},
      {"\t{G}\tname", "empty status"},
      {"99999999999999999999\t{G}\tname", "status [99999999999999999999] does not fit 64 bits"},
      {"1\t\tname", "empty GUID"},
      {"1\t  \tname", "empty GUID"},
      {"1\t{G}\tbad\xFFutf8", "name is not valid UTF-8"},
      {"1\t{G\xC0\xAF}\tname", "GUID is not valid UTF-8"},
      {"1\t{G}\tsurrogate\xED\xA0\x80", "name is not valid UTF-8"},
      {"1\t{G}\tna\0me", "NUL byte in line"},
  };
  for (const Case& c : cases) {
    std::string line = c.line;
    if (std::string(c.what) == "NUL byte in line") line = std::string("1\t{G}\tna\0me", 11);
    WriteFile(file(), "1\t{OK}\tfirst\n# comment\n" + line + "\n1\t{OK}\tlast\n");
    log->clear();
    std::list<GUIDNameInfo> rows;
    EXPECT_NE(0, Fetch(rows)) << c.what;
    ASSERT_EQ(1u, rows.size()) << c.what;
    EXPECT_EQ("sentinel", rows.front().guid);
    EXPECT_TRUE(log->has(-1, kTag, file() + ":3: " + c.what));
  }
}

TEST_F(AppMgrClientTest, MissingUnreadableOrUnnamedFileFails) {
  std::list<GUIDNameInfo> rows;
  EXPECT_NE(0, Fetch(rows));
  EXPECT_EQ(1u, rows.size());
  EXPECT_EQ(1, log->count(file() + ": cannot open (No such file or directory)")) << log->dump();

  ScopedConfig folder(Knob::kAppMgrTable, dir.path());
  EXPECT_NE(0, Fetch(rows));
  EXPECT_EQ(1, log->count(dir.path() + ": not a regular file")) << log->dump();

  ScopedConfig unset(Knob::kAppMgrTable, "");
  EXPECT_NE(0, Fetch(rows));
  EXPECT_EQ(1u, rows.size());
  EXPECT_TRUE(log->has(-1, kTag,
                       "GUIDLOOKUPS_APPMGR_TABLE is not set: no application-manager GUID table "
                       "to read"));
}

TEST_F(AppMgrClientTest, EmptyFileIsAnEmptyTable) {
  WriteFile(file(), "# nothing yet\n\n");
  std::list<GUIDNameInfo> rows;
  EXPECT_EQ(0, Fetch(rows));
  EXPECT_EQ(1u, rows.size());
}

TEST_F(AppMgrClientTest, RegisteredSourceReplacesTheFileUntilCleared) {
  WriteFile(file(), "1\t{FILE}\tfrom-file\n");
  GUIDFromName::SetGUIDRowSource([](std::list<GUIDNameInfo>& out) {
    GUIDNameInfo row;
    row.status = 8;
    row.guid = "{SRC}";
    row.name = "from-source";
    out.push_back(row);
    return 0;
  });
  std::list<GUIDNameInfo> rows;
  ASSERT_EQ(0, Fetch(rows));
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ("from-source", rows.back().name);

  GUIDFromName::SetGUIDRowSource(GUIDRowSource());
  ASSERT_EQ(0, Fetch(rows));
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ("from-file", rows.back().name);
}

TEST_F(AppMgrClientTest, FailingOrThrowingSourceLeavesTheListAlone) {
  GUIDFromName::SetGUIDRowSource([](std::list<GUIDNameInfo>& out) {
    out.push_back(GUIDNameInfo());  // a partial fetch
    return 3;
  });
  std::list<GUIDNameInfo> rows;
  EXPECT_EQ(3, Fetch(rows));
  EXPECT_EQ(1u, rows.size());
  EXPECT_TRUE(log->has(-1, kTag, "The registered GUID row source failed with [3]"));

  GUIDFromName::SetGUIDRowSource([](std::list<GUIDNameInfo>& out) -> int {
    out.push_back(GUIDNameInfo());
    throw std::runtime_error("appmgr gone");
  });
  EXPECT_NE(0, Fetch(rows));
  EXPECT_EQ(1u, rows.size());
  EXPECT_TRUE(log->has(-1, kTag, "Failed to read the application-manager GUID table: appmgr gone"));
}

TEST_F(AppMgrClientTest, ReadExportFileReportsTheErrorWithoutLogging) {
  WriteFile(file(), "1\tg\tn\n2\tg\n");
  std::list<GUIDNameInfo> rows;
  std::string error;
  EXPECT_NE(0, GUIDFromName::ReadExportFile(file(), rows, error));
  EXPECT_EQ(file() + ":2: expected 3 tab-separated fields (status, GUID, name), found 2", error);
  EXPECT_TRUE(rows.empty());
  EXPECT_TRUE(log->lines().empty());

  WriteFile(file(), "1\tg\tn\n");
  EXPECT_EQ(0, GUIDFromName::ReadExportFile(file(), rows, error));
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ("n", rows.front().name);
}

}  // namespace
