// LDIF exports as a row source: the dialects directories write give exactly
// the mapped rows, and every kind of bad input fails the rebuild at its line
// with the old table left byte for byte.
#include "lookups/directory/LdifRows.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/HXGuidLookupsSupport.h"

namespace {

using testsupport::ReadAllRows;
using testsupport::ReadFile;
using testsupport::Row;
using testsupport::WriteFile;

// What ldifde writes: CR LF, "changetype: add", base64 objectGUID
// (8c 4a c3 32 97 5f 47 17 ...) and names, folded lines, every prefix.
const char kAdExport[] =
    "version: 1\r\n"
    "# exported by ldifde\r\n"
    "\r\n"
    "dn: CN=Ann Berg,OU=Users,DC=contoso,DC=com\r\n"
    "changetype: add\r\n"
    "objectClass: user\r\n"
    "objectGUID:: jErDMpdfRxehssPU5fYHGA==\r\n"
    "proxyAddresses: X500:/o=Contoso/ou=First/cn=Recipients/cn=ann\r\n"
    "proxyAddresses: smtp:ann.berg@contoso.com\r\n"
    "PROXYADDRESSES: SMTP:Ann@Contoso.com\r\n"
    "proxyAddresses: sip:ann@contoso.com\r\n"
    "proxyAddresses: x400:c=US;a= ;p=Contoso;o=Exchange;s=Berg;\r\n"
    "mail: not-the-primary@contoso.com\r\n"
    "displayName:: QmVyZywgw4RubmE=\r\n"
    "legacyExchangeDN: /o=Contoso/ou=Exchange Administrative Group/cn=Recipients/cn\r\n"
    " =ann\r\n"
    "\r\n"
    "# a mailbox without a primary proxy address: mail is its status 1\r\n"
    "dn:: Q049Qm8gTGluZCxEQz1jb250b3NvLERDPWNvbQ==\r\n"
    "objectguid:: AAECAwQFBgcICQoLDA0ODw==\r\n"
    "mail: bo@contoso.com\r\n"
    "proxyAddresses: smtp:bo.lind@contoso.com\r\n"
    "\r\n"
    "dn: CN=Printer,DC=contoso,DC=com\r\n"
    "objectGUID:: /////////////////////w==\r\n"
    "displayName: Printer\r\n"
    "\r\n"
    "dn: CN=No Guid,DC=contoso,DC=com\r\n"
    "mail: noguid@contoso.com\r\n"
    "\r\n"
    "dn: uid=cy,ou=people,dc=example,dc=org\r\n"
    "entryUUID: 94b26e90-875a-1041-8344-09d62745971f\r\n"
    "mail: cy@example.org\r\n"
    "\r\n";

const char kAnn[] = "{32c34a8c-5f97-1747-a1b2-c3d4e5f60718}";

class LdifRowsTest : public ::testing::Test {
 protected:
  void SetUp() override { sandbox.MakeCacheDb({{"old@corp.test", "{old}", 1}}); }

  SRebuildResult Import(const std::string& ldif, const SDirectoryMapping& mapping) {
    WriteFile(file, ldif);
    return RebuildGuidTable(sandbox.cacheDir(), LdifRows(file, mapping, &counts));
  }

  testsupport::LookupSandbox sandbox;
  testsupport::ScopedLogCapture log;
  std::string file = sandbox.root() + "/export.ldif";
  SDirectoryCounts counts;
};

TEST_F(LdifRowsTest, ActiveDirectoryExportGivesExactlyTheMappedRows) {
  SRebuildResult result = Import(kAdExport, SDirectoryMapping::Exchange());
  ASSERT_TRUE(result.replaced) << result.error;
  // The table keeps names lower-cased (ASCII) and GUIDs as given.
  const std::vector<Row> expected = {
      {"/o=contoso/ou=exchange administrative group/cn=recipients/cn=ann", kAnn, 16},
      {"ann.berg@contoso.com", kAnn, 2},
      {"ann@contoso.com", kAnn, 1},
      {"berg, Änna", kAnn, 8},
      {"bo.lind@contoso.com", "{03020100-0504-0706-0809-0a0b0c0d0e0f}", 2},
      {"bo@contoso.com", "{03020100-0504-0706-0809-0a0b0c0d0e0f}", 1},
      {"cy@example.org", "{94b26e90-875a-1041-8344-09d62745971f}", 1}};
  EXPECT_EQ(ReadAllRows(sandbox.dbFile()), expected);
  EXPECT_EQ(counts.entries, 5u);
  EXPECT_EQ(counts.entriesWithoutGuid, 1u);
  EXPECT_EQ(counts.entriesWithoutAddress, 1u);
  EXPECT_EQ(counts.rows, 7u);
}

TEST_F(LdifRowsTest, BadInputFailsAtItsLineAndKeepsTheTable) {
  const std::string before = ReadFile(sandbox.dbFile());
  const std::string good = "dn: cn=a\nobjectGUID:: AAECAwQFBgcICQoLDA0ODw==\nmail: a@b.test\n\n";
  WriteFile(sandbox.root() + "/secret", "x@y.test\n");
  struct Case {
    std::string ldif;
    std::string error;
  };
  const Case cases[] = {
      {good + "dn: cn=b\nchangetype: modify\nreplace: mail\n",
       ":6: a change record (changetype: modify)"},
      {good + "dn: cn=b\nmail:< file://" + sandbox.root() + "/secret\n",
       ":6: the value of mail points at a URL"},
      {good + "dn: cn=b\nthis line has no colon\n", ":6: a malformed line"},
      {good + "mail: x@y.test\n", ":5: an entry must start with \"dn:\""},
      {good + " folded onto nothing\n", ":5: a folded line"},
      {good + "dn: cn=b\nobjectGUID:: AAECAwQFBgcICQoLDA0ODw\n",
       ":6: the base64 value of objectGUID"},
      {good + "dn: cn=b\nobjectGUID:: ====\n", ":6: the base64 value of objectGUID"},
      {good + "dn: cn=b\nobjectGUID:: AAECAwQFBgcICQoLDA0O\n\n", ":6: objectGUID is 15 bytes long"},
      {good + "dn: cn=b\nobjectGUID:: AAECAwQFBgcICQoLDA0ODw==\nmail:: /w==\n\n",
       ":7: mail is not UTF-8"},
      {"version: 2\n\n" + good, ":1: LDIF version 2"},
      // Cut short: inside a line, and at a line end inside an entry.
      {good + "dn: cn=b\nobjectGUID:: AAECAwQFBgcICQoLDA0ODw==\nmail: user.00019@conto",
       ":7: the export ends inside this line"},
      {good + "dn: cn=b\nobjectGUID:: AAECAwQFBgcICQoLDA0ODw==\n",
       ":6: the export ends inside this entry"},
  };
  for (const Case& c : cases) {
    SRebuildResult result = Import(c.ldif, SDirectoryMapping::Exchange());
    EXPECT_FALSE(result.replaced) << c.ldif;
    EXPECT_EQ(result.failure, RebuildFailure::Source) << c.ldif;
    EXPECT_EQ(result.error.rfind(file + c.error, 0), 0u) << result.error;
    EXPECT_EQ(ReadFile(sandbox.dbFile()), before) << c.ldif;
  }
  const SRebuildResult folder =
      RebuildGuidTable(sandbox.cacheDir(), LdifRows(sandbox.root(), SDirectoryMapping::Exchange()));
  EXPECT_EQ(folder.error, sandbox.root() + ": cannot open (Is a directory)");
}

TEST_F(LdifRowsTest, MappingForOtherDirectories) {
  SDirectoryMapping mapping;
  ASSERT_TRUE(mapping.AddGuidAttribute("nsUniqueId").ok());
  for (const char* rule : {"mail=1", "mailAlternateAddress=2", "cn=8", "uid/x-=16"})
    ASSERT_TRUE(mapping.AddRule(rule).ok()) << rule;
  EXPECT_EQ(mapping.AddRule("mail").code(), Status::Code::kInvalidArgument);
  EXPECT_FALSE(mapping.AddRule("mail=one").ok());
  EXPECT_FALSE(mapping.AddGuidAttribute("nsUniqueId:text").ok());
  SRebuildResult result = Import(
      "dn: uid=x-dee,ou=people,dc=example,dc=org\n"
      "nsUniqueId: 6d1f3a01-1dd211b2-8005e1a3-7cbe3c3a\n"
      "mail: dee@example.org\nmailAlternateAddress: d@example.org\n"
      "cn: Dee\ncn: D. Dee\nuid: x-dee\nuid: dee\n\n",
      mapping);
  ASSERT_TRUE(result.replaced) << result.error;
  const std::string guid = "{6d1f3a01-1dd211b2-8005e1a3-7cbe3c3a}";
  const std::vector<Row> expected = {{"d. dee", guid, 8},
                                     {"d@example.org", guid, 2},
                                     {"dee", guid, 8},
                                     {"dee", guid, 16},
                                     {"dee@example.org", guid, 1}};
  EXPECT_EQ(ReadAllRows(sandbox.dbFile()), expected);
}

}  // namespace
