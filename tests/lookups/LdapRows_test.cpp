// A live directory as a row source, against a real slapd on loopback: paged
// past its page limit, in agreement with its own export, always over
// verified TLS, and failing whole (the table kept) when anything is wrong.
#include "lookups/LdapRows.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "lookups/LdifRows.h"
#include "support/HXGuidLookupsSupport.h"
#include "support/Slapd.h"

namespace {

using testsupport::ReadAllRows;
using testsupport::ReadFile;
using testsupport::Row;
using testsupport::SlapdServer;
using testsupport::WriteFile;

constexpr int kEntries = 2500;

std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = uint32_t(uint8_t(bytes[i])) << 16;
    if (i + 1 < bytes.size()) n |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    if (i + 2 < bytes.size()) n |= uint8_t(bytes[i + 2]);
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
  }
  return out;
}

// Mailboxes of every kind: most with an objectGUID (the others fall back to
// slapd's entryUUID), every prefix of proxyAddresses, a name that is not
// ASCII, some with a legacyExchangeDN.
std::string Mailboxes() {
  std::string ldif;
  for (int i = 0; i < kEntries; ++i) {
    const std::string n = std::to_string(i);
    ldif += "dn: cn=u" + n +
            ",dc=corp,dc=test\nobjectClass: inetOrgPerson\n"
            "objectClass: testMailbox\ncn: u" +
            n + "\nsn: U\n";
    if (i % 5 != 0) {
      std::string guid(16, '\0');
      guid[0] = static_cast<char>(i & 0xFF), guid[1] = static_cast<char>(i >> 8), guid[15] = 'Z';
      ldif += "objectGUID:: " + Base64(guid) + "\n";
    }
    ldif += "proxyAddresses: SMTP:U" + n + "@corp.test\nproxyAddresses: smtp:alias" + n +
            "@corp.test\nproxyAddresses: X500:/o=Corp/cn=u" + n + "\n";
    ldif += "displayName:: " + Base64("Åsa " + n) + "\n";
    if (i % 2 == 0) ldif += "legacyExchangeDN: /o=Corp/cn=Recipients/cn=u" + n + "\n";
    ldif += "\n";
  }
  return ldif;
}

class LdapRowsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (testsupport::SlapdProgram().empty()) return;
    folder_ = new testsupport::TempDir();
    server_ = new SlapdServer(folder_->path());
    server_->Add(Mailboxes());
  }
  static void TearDownTestSuite() {
    delete server_;
    delete folder_;
    server_ = nullptr;
    folder_ = nullptr;
  }
  void SetUp() override {
    if (server_ == nullptr) GTEST_SKIP() << "slapd is not installed (scripts/install-deps)";
    sandbox.MakeCacheDb({{"old@corp.test", "{old}", 1}});
  }

  SLdapSource Reader() const {
    SLdapSource source;
    source.uri = server_->ldapsUri();
    source.baseDn = SlapdServer::kSuffix;
    source.bindDn = SlapdServer::kReaderDn;
    source.passwordFile = server_->readerPasswordFile();
    source.caFile = server_->pki().caFile();
    source.timeoutSeconds = 10;
    return source;
  }

  static testsupport::TempDir* folder_;
  static SlapdServer* server_;
  testsupport::LookupSandbox sandbox;
  testsupport::ScopedLogCapture log;
  const SDirectoryMapping mapping = SDirectoryMapping::Exchange();
};

testsupport::TempDir* LdapRowsTest::folder_ = nullptr;
SlapdServer* LdapRowsTest::server_ = nullptr;

TEST_F(LdapRowsTest, LiveImportPagesPastTheLimitAndAgreesWithTheExport) {
  // The directory's limit is real: a plain search stops at 1,000 entries.
  EXPECT_EQ(server_->Search("cn", sandbox.root() + "/plain.out"), 4)
      << ReadFile(sandbox.root() + "/plain.out");

  SLdapSource source = Reader();
  source.uri = server_->ldapUri();  // StartTLS
  SDirectoryCounts live;
  SRebuildResult result = RebuildGuidTable(sandbox.cacheDir(), LdapRows(source, mapping, &live));
  ASSERT_TRUE(result.replaced) << result.error;
  EXPECT_EQ(live.entries, static_cast<uint64_t>(kEntries));
  EXPECT_EQ(live.rows, static_cast<uint64_t>(kEntries * 3 + kEntries / 2));
  const std::vector<Row> fromLive = ReadAllRows(sandbox.dbFile());
  EXPECT_EQ(fromLive.size(), live.rows);
  EXPECT_NE(std::find(fromLive.begin(), fromLive.end(),
                      Row{"Åsa 7", "{00000007-0000-0000-0000-00000000005a}", 8}),
            fromLive.end());

  const std::string exported = sandbox.root() + "/slapcat.ldif";
  WriteFile(exported, server_->Export());
  SDirectoryCounts fromFile;
  result = RebuildGuidTable(sandbox.cacheDir(), LdifRows(exported, mapping, &fromFile));
  ASSERT_TRUE(result.replaced) << result.error;
  EXPECT_EQ(ReadAllRows(sandbox.dbFile()), fromLive);
  // The suffix and the reader have no address.
  EXPECT_EQ(fromFile.entries, static_cast<uint64_t>(kEntries + 2));
  EXPECT_EQ(fromFile.entriesWithoutAddress, 2u);
}

TEST_F(LdapRowsTest, EveryFailureKeepsTheTableAndNoPasswordShows) {
  const std::string before = ReadFile(sandbox.dbFile());
  const std::string wrong = sandbox.root() + "/wrong.password";
  WriteFile(wrong, "wrong-secret\n");
  ::chmod(wrong.c_str(), 0600);
  const std::string open = sandbox.root() + "/open.password";
  WriteFile(open, "reader-secret");
  ::chmod(open.c_str(), 0644);
  // Accepts connections (the kernel's backlog) and never answers.
  int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(silent, 8), 0);
  ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);

  struct Case {
    const char* what;
    std::function<void(SLdapSource&)> change;
    const char* error;
  };
  const Case cases[] = {
      {"a CA that does not know the server", [](SLdapSource& s) { s.caFile.clear(); },
       "its certificate was refused"},
      {"StartTLS to a CA that does not know the server",
       [this](SLdapSource& s) { s.uri = server_->ldapUri(), s.caFile.clear(); },
       "StartTLS failed: Connect error; the server is not reachable there, or its certificate"},
      {"a wrong password", [&](SLdapSource& s) { s.passwordFile = wrong; }, "Invalid credentials"},
      {"a password file others may read", [&](SLdapSource& s) { s.passwordFile = open; },
       "chmod 600"},
      {"no encryption", [](SLdapSource& s) { s.uri = "ldapi:///"; }, "must start with ldaps://"},
      {"a base that does not exist", [](SLdapSource& s) { s.baseDn = "dc=elsewhere"; },
       "No such object"},
      {"a server that never answers",
       [&](SLdapSource& s) {
         s.uri = "ldap://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
         s.timeoutSeconds = 1;
       },
       "StartTLS failed"},
  };
  for (const Case& c : cases) {
    SLdapSource source = Reader();
    c.change(source);
    SRebuildResult result = RebuildGuidTable(sandbox.cacheDir(), LdapRows(source, mapping));
    EXPECT_EQ(result.failure, RebuildFailure::Source) << c.what << ": " << result.error;
    EXPECT_NE(result.error.find(c.error), std::string::npos) << c.what << ": " << result.error;
    EXPECT_EQ(result.error.find("secret"), std::string::npos) << result.error;
    EXPECT_EQ(ReadFile(sandbox.dbFile()), before) << c.what;
  }
  ::close(silent);
  for (const testsupport::LogLine& line : log->lines())
    EXPECT_EQ(line.message.find("secret"), std::string::npos) << line.message;
}

}  // namespace
