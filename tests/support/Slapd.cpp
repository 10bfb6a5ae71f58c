#include "support/Slapd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "support/ControlServer.h"
#include "support/TestSupport.h"

namespace testsupport {

namespace {

constexpr char kAdminDn[] = "cn=admin,dc=corp,dc=test";

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The attributes of Active Directory that the mapping reads, with their own
// object identifiers; the auxiliary class that carries them is ours.
const char kSchema[] =
    "attributetype ( 1.2.840.113556.1.4.2 NAME 'objectGUID'\n"
    "  EQUALITY octetStringMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.40 SINGLE-VALUE )\n"
    "attributetype ( 1.2.840.113556.1.2.210 NAME 'proxyAddresses'\n"
    "  EQUALITY caseExactMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )\n"
    "attributetype ( 1.2.840.113556.1.4.655 NAME 'legacyExchangeDN'\n"
    "  EQUALITY caseIgnoreMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 SINGLE-VALUE )\n"
    "objectclass ( 1.3.6.1.4.1.4203.666.11.99.1 NAME 'testMailbox' SUP top AUXILIARY\n"
    "  MAY ( objectGUID $ proxyAddresses $ legacyExchangeDN ) )\n";

// A listening socket on `ip` (a loopback address) and a port the kernel
// picks.
int ListenOnLoopback(int& port, const char* ip = "127.0.0.1") {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ::inet_pton(AF_INET, ip, &address.sin_addr);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 8) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot listen on loopback");
  }
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

SilentListener::SilentListener() { fd_ = ListenOnLoopback(port_); }
SilentListener::~SilentListener() { ::close(fd_); }

CuttingProxy::CuttingProxy(int targetPort, size_t bytes, const char* ip) {
  listener_ = ListenOnLoopback(port_, ip);
  thread_ = std::thread([this, targetPort, bytes] { Relay(targetPort, bytes); });
}

CuttingProxy::~CuttingProxy() {
  stop_.store(true);
  thread_.join();
  ::close(listener_);
}

void CuttingProxy::Relay(int targetPort, size_t bytes) {
  while (!stop_.load()) {
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, 50) <= 0) continue;
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(targetPort));
    if (client >= 0 && server >= 0 &&
        ::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      size_t fromServer = 0;
      char buffer[16384];
      while (!stop_.load()) {
        pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(ends, 2, 50) <= 0) continue;
        if (ends[0].revents != 0) {
          if (fromServer >= bytes) {
            const linger reset{1, 0};
            ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            cut_.store(true);
            break;
          }
          const ssize_t n = ::read(client, buffer, sizeof buffer);
          if (n <= 0 || ::write(server, buffer, static_cast<size_t>(n)) != n) break;
        }
        if (ends[1].revents != 0) {
          const ssize_t n = ::read(server, buffer, sizeof buffer);
          if (n <= 0 || ::send(client, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
          fromServer += static_cast<size_t>(n);
        }
      }
    }
    if (client >= 0) ::close(client);
    if (server >= 0) ::close(server);
  }
}

std::string SlapdProgram() { return ProgramOnPath("slapd", {"/usr/sbin", "/usr/local/sbin"}); }

SlapdServer::SlapdServer(const std::string& folder, bool expiredCertificate)
    : folder_(folder), pki_(folder) {
  const std::string& f = folder_;
  pki_.Issue("slapd", "IP:127.0.0.1,DNS:localhost", expiredCertificate);
  ::mkdir((f + "/db").c_str(), 0700);
  WriteFile(f + "/test.schema", kSchema);
  WriteFile(f + "/admin.password", "admin-secret");
  WriteFile(readerPasswordFile(), "reader-secret");
  ::chmod((f + "/admin.password").c_str(), 0600);
  ::chmod(readerPasswordFile().c_str(), 0600);
  WriteFile(f + "/slapd.conf",
            "include /etc/ldap/schema/core.schema\n"
            "include /etc/ldap/schema/cosine.schema\n"
            "include /etc/ldap/schema/inetorgperson.schema\n"
            "include " +
                f +
                "/test.schema\n"
                "pidfile " +
                f +
                "/slapd.pid\n"
                "argsfile " +
                f +
                "/slapd.args\n"
                "modulepath /usr/lib/ldap\n"
                "moduleload back_mdb\n"
                "TLSCACertificateFile " +
                pki_.caFile() +
                "\n"
                "TLSCertificateFile " +
                pki_.cert("slapd") +
                "\n"
                "TLSCertificateKeyFile " +
                pki_.key("slapd") +
                "\n"
                "sizelimit size.soft=1000 size.hard=1000 size.pr=1000 size.prtotal=unlimited\n"
                // As Active Directory: no anonymous bind, and a search from
                // the root ("") covers the whole directory.
                "disallow bind_anon\n"
                "defaultsearchbase \"dc=corp,dc=test\"\n"
                "database mdb\n"
                "maxsize 104857600\n"
                "dbnosync\n"
                "suffix \"dc=corp,dc=test\"\n"
                "rootdn \"" +
                std::string(kAdminDn) +
                "\"\n"
                "rootpw admin-secret\n"
                "directory " +
                f + "/db\n");

  std::string failure;
  for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
    ldapPort_ = ClosedLoopbackPort();
    do ldapsPort_ = ClosedLoopbackPort();
    while (ldapsPort_ == ldapPort_);
    const std::string program = SlapdProgram();
    const std::string conf = f + "/slapd.conf";
    const std::string urls = ldapUri() + "/ " + ldapsUri() + "/";
    const std::string output = f + "/slapd.out";
    std::vector<std::string> args = {program, "-f", conf, "-h", urls, "-d", "0"};
    pid_ = StartServerChild(
        args, output, [this] { return LoopbackAccepts(ldapPort_) && LoopbackAccepts(ldapsPort_); },
        failure);
    // Someone took a port between our probe and slapd's bind: try others.
    if (pid_ < 0 && failure.find("Address already in use") == std::string::npos) break;
  }
  if (pid_ < 0) throw std::runtime_error("slapd did not start: " + failure);
  Add("dn: dc=corp,dc=test\nobjectClass: dcObject\nobjectClass: organization\no: corp\n"
      "dc: corp\n\n"
      "dn: cn=reader,dc=corp,dc=test\nobjectClass: person\ncn: reader\nsn: reader\n"
      "userPassword: reader-secret\n");
}

SlapdServer::~SlapdServer() { StopChild(pid_); }

void SlapdServer::Add(const std::string& ldif) {
  WriteFile(folder_ + "/add.ldif", ldif);
  Run("ldapadd -x -H " + Quoted(ldapUri()) + " -D " + Quoted(kAdminDn) + " -y " +
      Quoted(folder_ + "/admin.password") + " -f " + Quoted(folder_ + "/add.ldif") + " >" +
      Quoted(folder_ + "/ldapadd.out") + " 2>&1");
}

std::string SlapdServer::Export() const {
  Run("slapcat -f " + Quoted(folder_ + "/slapd.conf") + " -l " + Quoted(folder_ + "/export.ldif") +
      " 2>" + Quoted(folder_ + "/slapcat.err"));
  return ReadFile(folder_ + "/export.ldif");
}

int SlapdServer::Search(const std::string& options, const std::string& output) const {
  const std::string command = "LDAPTLS_CACERT=" + Quoted(pki_.caFile()) +
                              " ldapsearch -x -ZZ -LLL -H " + Quoted(ldapUri()) + " -D " +
                              Quoted(kReaderDn) + " -y " + Quoted(readerPasswordFile()) + " -b " +
                              Quoted(kSuffix) + " " + options + " >" + Quoted(output) + " 2>&1";
  int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

void SlapdServer::Run(const std::string& command) const {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

}  // namespace testsupport
