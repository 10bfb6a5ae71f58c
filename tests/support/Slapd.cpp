#include "support/Slapd.h"

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

}  // namespace

std::string SlapdProgram() { return ProgramOnPath("slapd", {"/usr/sbin", "/usr/local/sbin"}); }

SlapdServer::SlapdServer(const std::string& folder) : folder_(folder), pki_(folder) {
  const std::string& f = folder_;
  pki_.Issue("slapd", "IP:127.0.0.1,DNS:localhost");
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
