#include "support/Nginx.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/ControlServer.h"
#include "support/TestSupport.h"

namespace testsupport {

namespace {

std::string FindProgram(const std::string& name, const std::vector<std::string>& extra) {
  std::vector<std::string> folders;
  const char* path = std::getenv("PATH");
  std::string list = path ? path : "";
  for (size_t pos = 0; pos <= list.size();) {
    size_t colon = list.find(':', pos);
    if (colon == std::string::npos) colon = list.size();
    if (colon > pos) folders.push_back(list.substr(pos, colon - pos));
    pos = colon + 1;
  }
  folders.insert(folders.end(), extra.begin(), extra.end());
  for (const auto& folder : folders) {
    std::string candidate = folder + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// "'text'" for sh, whatever the text holds.
std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

bool Accepts(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(fd);
  return ok;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t pos = text.find(from); pos != std::string::npos;
       pos = text.find(from, pos + to.size()))
    text.replace(pos, from.size(), to);
}

}  // namespace

std::string NginxProgram() { return FindProgram("nginx", {"/usr/sbin", "/usr/local/sbin"}); }

std::string OpensslProgram() { return FindProgram("openssl", {}); }

std::string ProgramOnPath(const std::string& name, const std::vector<std::string>& extraFolders) {
  return FindProgram(name, extraFolders);
}

bool LoopbackAccepts(int port) { return Accepts(port); }

TestPki::TestPki(const std::string& folder) : folder_(folder) {
  // `openssl ca` (rather than `x509 -req`) because it alone takes explicit
  // start and end dates, which an expired certificate needs without faking
  // the clock.
  WriteFile(folder_ + "/ca.cnf",
            "[ca]\ndefault_ca = test\n"
            "[test]\ndatabase = " +
                folder_ + "/index.txt\nserial = " + folder_ +
                "/serial\nnew_certs_dir = " + folder_ +
                "\ndefault_md = sha256\npolicy = any\ncopy_extensions = copy\n"
                "unique_subject = no\ndefault_days = 30\n"
                "[any]\ncommonName = supplied\n");
  WriteFile(folder_ + "/index.txt", "");
  WriteFile(folder_ + "/serial", "1000\n");
  Run("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 -subj "
      "'/CN=guidlookups test CA' -keyout " +
      Quoted(key("ca")) + " -out " + Quoted(caFile()));
  ::chmod(key("ca").c_str(), 0600);
}

void TestPki::Issue(const std::string& name, const std::string& subjectAltName, bool expired) {
  std::string request = folder_ + "/" + name + ".csr";
  Run("req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj " +
      Quoted("/CN=" + name) + " -addext " + Quoted("subjectAltName=" + subjectAltName) +
      " -keyout " + Quoted(key(name)) + " -out " + Quoted(request));
  ::chmod(key(name).c_str(), 0600);
  Run("ca -batch -notext -config " + Quoted(folder_ + "/ca.cnf") + " -cert " + Quoted(caFile()) +
      " -keyfile " + Quoted(key("ca")) + " -in " + Quoted(request) + " -out " + Quoted(cert(name)) +
      (expired ? " -startdate 20200101000000Z -enddate 20200102000000Z" : ""));
}

void TestPki::EncryptKey(const std::string& name, const std::string& passwordFile) {
  std::string encrypted = folder_ + "/" + name + ".enc.key";
  Run("pkey -in " + Quoted(key(name)) + " -aes256 -passout " + Quoted("file:" + passwordFile) +
      " -out " + Quoted(encrypted));
  ::chmod(encrypted.c_str(), 0600);
}

void TestPki::Run(const std::string& arguments) {
  std::string log = folder_ + "/openssl.log";
  std::string command = Quoted(OpensslProgram()) + " " + arguments + " >>" + Quoted(log) + " 2>&1";
  int rc = std::system(command.c_str());
  if (rc != 0) throw std::runtime_error("openssl " + arguments + " failed:\n" + ReadFile(log));
}

NginxServer::NginxServer(const std::string& folder, const std::string& servers) : folder_(folder) {
  std::string failure;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (Start(servers, ClosedLoopbackPort(), failure)) return;
    // Someone took the port between our probe and nginx's bind: try another.
    if (failure.find("Address already in use") == std::string::npos) break;
  }
  throw std::runtime_error("nginx did not start: " + failure);
}

NginxServer::~NginxServer() { Stop(); }

std::string NginxServer::accessLog() const {
  try {
    return ReadFile(folder_ + "/access.log");
  } catch (...) {
    return "";
  }
}

bool NginxServer::Start(const std::string& servers, int port, std::string& failure) {
  std::string body = servers;
  ReplaceAll(body, "@PORT@", std::to_string(port));
  const std::string& f = folder_;
  // master_process off: one process that never switches user, so no worker
  // running as "nobody" is locked out of the test's private folder.
  WriteFile(f + "/nginx.conf",
            "master_process off;\n"
            "error_log " +
                f +
                "/error.log info;\n"
                "events { worker_connections 64; }\n"
                "http {\n"
                "  log_format withauth '$request $status auth=[$http_authorization]';\n"
                "  access_log " +
                f +
                "/access.log withauth;\n"
                "  default_type application/octet-stream;\n"
                "  client_body_temp_path " +
                f +
                "/client_body;\n"
                "  proxy_temp_path " +
                f +
                "/proxy;\n"
                "  fastcgi_temp_path " +
                f +
                "/fastcgi;\n"
                "  uwsgi_temp_path " +
                f +
                "/uwsgi;\n"
                "  scgi_temp_path " +
                f + "/scgi;\n" + body + "\n}\n");
  std::string program = NginxProgram();
  std::string conf = f + "/nginx.conf";
  std::string globals = "daemon off; pid " + f + "/nginx.pid;";
  std::string errorLog = f + "/error.log";
  std::string output = f + "/nginx.out";
  std::vector<std::string> args = {program, "-p",     f + "/", "-c",   conf,
                                   "-e",    errorLog, "-g",    globals};
  pid_ = StartServerChild(
      args, output, [port] { return Accepts(port); }, failure);
  if (pid_ > 0) {
    port_ = port;
    return true;
  }
  try {
    failure += ReadFile(errorLog);
  } catch (...) {
  }
  return false;
}

void NginxServer::Stop() { StopChild(pid_); }

std::string ShippedTokenSite(const std::string& root, const TestPki& pki,
                             const std::string& token) {
  std::ifstream in(GUIDLOOKUPS_SOURCE_DIR "/tools/nginx-control-server.conf");
  std::stringstream text;
  text << in.rdbuf();
  std::string site = text.str();
  const size_t start = site.find("# Token only");
  if (start == std::string::npos) throw std::runtime_error("the shipped site has no token server");
  site = site.substr(start);
  auto replace = [&](const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = site.find(from, at)) != std::string::npos; at += to.size())
      site.replace(at, from.size(), to);
  };
  replace("listen 9443 ssl", "listen 127.0.0.1:@PORT@ ssl");
  replace("/srv/guidlookups-hb", root);
  replace("/etc/guidlookups-hb/server.pem", pki.cert("server"));
  replace("/etc/guidlookups-hb/server.key", pki.key("server"));
  replace("CHANGE-ME-to-a-long-random-token", token);
  return site;
}

}  // namespace testsupport
