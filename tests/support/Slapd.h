// A real directory server for tests: OpenLDAP's slapd run as a child process
// on 127.0.0.1 from a configuration written into the test's folder, with a
// small schema for objectGUID (16 octets), proxyAddresses and
// legacyExchangeDN, TLS from a private certificate authority, and Active
// Directory's page limit: a search returns at most 1,000 entries, a paged
// one every entry in pages of at most 1,000.
#pragma once

#include <sys/types.h>

#include <string>

#include "support/Nginx.h"

namespace testsupport {

// The slapd program (/usr/sbin), or "" when it is not installed.
std::string SlapdProgram();

// slapd serving "dc=corp,dc=test" on two loopback ports: ldap:// (where
// StartTLS is offered) and ldaps://, both with a certificate for 127.0.0.1
// signed by pki().caFile(). The suffix entry and a reader, "cn=reader,
// dc=corp,dc=test" (whose password readerPasswordFile() holds, mode 0600),
// are there from the start; the page limit holds for the reader, not for the
// administrator. Stopped by its pid at the end of the scope, and by the
// kernel if the test dies first. Throws std::runtime_error when it does not
// start.
class SlapdServer {
 public:
  explicit SlapdServer(const std::string& folder);
  ~SlapdServer();
  SlapdServer(const SlapdServer&) = delete;
  SlapdServer& operator=(const SlapdServer&) = delete;

  static constexpr const char* kSuffix = "dc=corp,dc=test";
  static constexpr const char* kReaderDn = "cn=reader,dc=corp,dc=test";

  std::string ldapUri() const { return "ldap://127.0.0.1:" + std::to_string(ldapPort_); }
  std::string ldapsUri() const { return "ldaps://127.0.0.1:" + std::to_string(ldapsPort_); }
  const TestPki& pki() const { return pki_; }
  std::string readerPasswordFile() const { return folder_ + "/reader.password"; }

  // Adds the entries of `ldif` with ldapadd, as the administrator.
  void Add(const std::string& ldif);
  // The whole database as slapcat writes it.
  std::string Export() const;
  // Exit status of `ldapsearch -x -LLL` as the reader over StartTLS with
  // `options` (e.g. "-E pr=1000/noprompt"); its output goes to `output`.
  int Search(const std::string& options, const std::string& output) const;

 private:
  void Run(const std::string& command) const;

  std::string folder_;
  TestPki pki_;
  pid_t pid_ = -1;
  int ldapPort_ = 0;
  int ldapsPort_ = 0;
};

}  // namespace testsupport
