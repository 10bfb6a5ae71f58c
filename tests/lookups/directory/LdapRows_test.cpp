// A live directory as a row source, against a real slapd on loopback: paged
// past its page limit, in agreement with its own export, always over
// verified TLS, and failing whole (the table kept) when anything is wrong.
#include "lookups/directory/LdapRows.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "lookups/directory/LdifRows.h"
#include "support/ControlServer.h"
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
  source.baseDn.clear();            // from the root
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

// Each way a directory fails, with the words that name the cause and the
// fault a caller words its advice from; the table stays byte for byte.
TEST_F(LdapRowsTest, EveryFailureKeepsTheTableNamesItsCauseAndNoPasswordShows) {
  const std::string before = ReadFile(sandbox.dbFile());
  const std::string wrong = sandbox.root() + "/wrong.password";
  WriteFile(wrong, "wrong-secret\n");
  ::chmod(wrong.c_str(), 0600);
  const std::string open = sandbox.root() + "/open.password";
  WriteFile(open, "reader-secret");
  ::chmod(open.c_str(), 0644);
  testsupport::SilentListener silent;
  const std::string silentPort = std::to_string(silent.port());
  const std::string closedPort = std::to_string(testsupport::ClosedLoopbackPort());
  const std::string ldapsPort = server_->ldapsUri().substr(server_->ldapsUri().rfind(':') + 1);
  ::mkdir((sandbox.root() + "/expired").c_str(), 0700);
  SlapdServer expired(sandbox.root() + "/expired", true);
  // The server's certificate names 127.0.0.1 and localhost, not 127.0.0.2.
  testsupport::CuttingProxy elsewhere(std::stoi(ldapsPort), size_t{1} << 40, "127.0.0.2");

  struct Case {
    const char* what;
    std::function<void(SLdapSource&)> change;
    LdapFault fault;
    const char* error;
  };
  const Case cases[] = {
      {"a CA that does not know the server", [](SLdapSource& s) { s.caFile.clear(); },
       LdapFault::kTls, "certificate was refused: it is not signed by a CA of the system's"},
      {"StartTLS to a CA that does not know the server",
       [this](SLdapSource& s) { s.uri = server_->ldapUri(), s.caFile.clear(); }, LdapFault::kTls,
       "certificate was refused: it is not signed by a CA of the system's"},
      {"a name the certificate does not hold",
       [&](SLdapSource& s) { s.uri = "ldaps://127.0.0.2:" + std::to_string(elsewhere.port()); },
       LdapFault::kTls, "certificate was refused: it is not for the host name 127.0.0.2"},
      {"a certificate that expired",
       [&](SLdapSource& s) { s.uri = expired.ldapsUri(), s.caFile = expired.pki().caFile(); },
       LdapFault::kTls, "certificate was refused: it expired on 2020-"},
      {"a CA file that does not exist", [&](SLdapSource& s) { s.caFile = open + ".missing"; },
       LdapFault::kCaFile, "cannot read the CA file"},
      {"a wrong password", [&](SLdapSource& s) { s.passwordFile = wrong; }, LdapFault::kCredentials,
       "refused the password of cn=reader"},
      {"a password file others may read", [&](SLdapSource& s) { s.passwordFile = open; },
       LdapFault::kPasswordFile, "chmod 600"},
      {"no encryption", [](SLdapSource& s) { s.uri = "ldapi:///"; }, LdapFault::kOptions,
       "must start with ldaps://"},
      {"a base that does not exist", [](SLdapSource& s) { s.baseDn = "dc=elsewhere"; },
       LdapFault::kServer, "No such object"},
      {"an anonymous bind", [](SLdapSource& s) { s.bindDn.clear(), s.passwordFile.clear(); },
       LdapFault::kAnonymous, "the directory does not let an anonymous client search"},
      {"a closed port", [&](SLdapSource& s) { s.uri = "ldaps://127.0.0.1:" + closedPort; },
       LdapFault::kRefused, "refused the connection"},
      {"a name that does not resolve", [](SLdapSource& s) { s.uri = "ldaps://nowhere.invalid"; },
       LdapFault::kName, "cannot resolve the host name nowhere.invalid"},
      {"a page larger than the server's limit", [](SLdapSource& s) { s.pageSize = 1500; },
       LdapFault::kLimit, "by a limit of the server"},
      {"a server that never answers StartTLS",
       [&](SLdapSource& s) { s.uri = "ldap://127.0.0.1:" + silentPort, s.timeoutSeconds = 1; },
       LdapFault::kTimedOut, "no answer to StartTLS within 1 second"},
      {"a server that never answers the TLS handshake",
       [&](SLdapSource& s) { s.uri = "ldaps://127.0.0.1:" + silentPort, s.timeoutSeconds = 1; },
       LdapFault::kTimedOut, "no answer to the TLS handshake within 1 second"},
  };
  for (const Case& c : cases) {
    SLdapSource source = Reader();
    c.change(source);
    LdapFault fault = LdapFault::kNone;
    SRebuildResult result =
        RebuildGuidTable(sandbox.cacheDir(), LdapRows(source, mapping, nullptr, &fault));
    EXPECT_EQ(result.failure, RebuildFailure::Source) << c.what << ": " << result.error;
    EXPECT_EQ(fault, c.fault) << c.what << ": " << result.error;
    EXPECT_NE(result.error.find(c.error), std::string::npos) << c.what << ": " << result.error;
    EXPECT_EQ(result.error.find("secret"), std::string::npos) << result.error;
    EXPECT_EQ(ReadFile(sandbox.dbFile()), before) << c.what;
  }
  for (const testsupport::LogLine& line : log->lines())
    EXPECT_EQ(line.message.find("secret"), std::string::npos) << line.message;
}

// A server that accepts and then says nothing, before TLS or inside its
// handshake: the source fails within the time-out plus a second, asleep
// while it waits; and a cancel ends the wait at once.
TEST_F(LdapRowsTest, SilentServerEndsWithinTheTimeOutAsleepOrWhenCancelled) {
  testsupport::SilentListener silent;
  const std::string port = std::to_string(silent.port());
  for (const std::string& uri : {"ldaps://127.0.0.1:" + port, "ldap://127.0.0.1:" + port}) {
    for (const bool cancelled : {false, true}) {
      std::atomic<bool> cancel{cancelled};
      SLdapSource source = Reader();
      source.uri = uri;
      source.timeoutSeconds = cancelled ? 30 : 2;
      source.cancel = &cancel;
      rusage before{}, after{};
      ::getrusage(RUSAGE_SELF, &before);
      const auto start = std::chrono::steady_clock::now();
      SRebuildOptions options;
      options.cancel = &cancel;
      SRebuildResult result =
          RebuildGuidTable(sandbox.cacheDir(), LdapRows(source, mapping), options);
      const double wall =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      ::getrusage(RUSAGE_SELF, &after);
      const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
      const double cpu = seconds(after.ru_utime) - seconds(before.ru_utime) +
                         seconds(after.ru_stime) - seconds(before.ru_stime);
      EXPECT_EQ(result.failure, cancelled ? RebuildFailure::Cancelled : RebuildFailure::Source)
          << uri << ": " << result.error;
      EXPECT_LT(wall, cancelled ? 1.0 : source.timeoutSeconds + 1.0) << uri;
      if (!cancelled) {
        EXPECT_GT(wall, source.timeoutSeconds - 0.5) << uri;
      }
      EXPECT_LT(cpu, 0.1 * wall + 0.05) << uri << ": " << cpu << " s of CPU in " << wall;
    }
  }
}

// A server that drops the connection between two pages: the source fails
// saying so, and no write to the dead socket raises SIGPIPE in this process
// (which would end the test).
TEST_F(LdapRowsTest, DroppedConnectionFailsTheSourceWithoutSigpipe) {
  const std::string uri = server_->ldapsUri();
  testsupport::CuttingProxy proxy(std::stoi(uri.substr(uri.rfind(':') + 1)), 20000);
  SLdapSource source = Reader();
  source.uri = "ldaps://127.0.0.1:" + std::to_string(proxy.port());
  source.pageSize = 50;
  LdapFault fault = LdapFault::kNone;
  SRebuildResult result =
      RebuildGuidTable(sandbox.cacheDir(), LdapRows(source, mapping, nullptr, &fault));
  EXPECT_TRUE(proxy.cut());
  EXPECT_EQ(result.failure, RebuildFailure::Source) << result.error;
  EXPECT_EQ(fault, LdapFault::kDropped) << result.error;
  EXPECT_NE(result.error.find("the server closed the connection after "), std::string::npos)
      << result.error;
}

}  // namespace
