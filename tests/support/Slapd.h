// A real directory server for tests: OpenLDAP's slapd run as a child process
// on 127.0.0.1 from a configuration written into the test's folder, with a
// small schema for objectGUID (16 octets), proxyAddresses and
// legacyExchangeDN, TLS from a private certificate authority, and Active
// Directory's page limit: a search returns at most 1,000 entries, a paged
// one every entry in pages of at most 1,000.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <thread>

#include "support/Nginx.h"

namespace testsupport {

// The slapd program (/usr/sbin), or "" when it is not installed.
std::string SlapdProgram();

// slapd serving "dc=corp,dc=test" on two loopback ports: ldap:// (where
// StartTLS is offered) and ldaps://, both with a certificate for 127.0.0.1
// signed by pki().caFile(). The suffix entry and a reader, "cn=reader,
// dc=corp,dc=test" (whose password readerPasswordFile() holds, mode 0600),
// are there from the start; the page limit holds for the reader, not for the
// administrator. As Active Directory, it refuses an anonymous bind, and a
// search from the root ("") searches the suffix. Stopped by its pid at the end of the scope, and by
// the kernel if the test dies first. Throws std::runtime_error when it does not start.
class SlapdServer {
 public:
  // `expiredCertificate`: the server's certificate expired long ago.
  explicit SlapdServer(const std::string& folder, bool expiredCertificate = false);
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

// A loopback port that accepts connections (into the kernel's backlog) and
// never answers: a directory that hangs, in TLS or before it.
class SilentListener {
 public:
  SilentListener();
  ~SilentListener();
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A relay on a loopback port to `targetPort`, one connection at a time, each
// of which it resets (RST) when the client speaks after `bytes` bytes have
// come from the server: a directory that drops the connection between two pages of a
// search, so that the client's next writes meet a closed socket. It listens
// on `ip`, another loopback address than the server's if need be.
class CuttingProxy {
 public:
  CuttingProxy(int targetPort, size_t bytes, const char* ip = "127.0.0.1");
  ~CuttingProxy();
  CuttingProxy(const CuttingProxy&) = delete;
  CuttingProxy& operator=(const CuttingProxy&) = delete;
  int port() const { return port_; }
  // Whether the connection was cut.
  bool cut() const { return cut_.load(); }

 private:
  void Relay(int targetPort, size_t bytes);
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> cut_{false};
  std::thread thread_;
};

}  // namespace testsupport
