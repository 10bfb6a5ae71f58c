// A real HTTPS control server for tests: nginx run as a child process on
// 127.0.0.1 from a configuration written into the test's folder, and a
// private certificate authority made there with the openssl tool.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// The nginx program ($PATH, then /usr/sbin), or "" when it is not installed.
std::string NginxProgram();
// The openssl program on $PATH, or "" when it is not installed.
std::string OpensslProgram();
// `name` on $PATH, then in `extraFolders`, or "" when it is in none.
std::string ProgramOnPath(const std::string& name, const std::vector<std::string>& extraFolders);
// True when something accepts connections on 127.0.0.1:`port`.
bool LoopbackAccepts(int port);

// A certificate authority in `folder` ("ca.pem", "ca.key") and the
// certificates it issues there. Every key file is made private (0600).
// Throws std::runtime_error when openssl fails.
class TestPki {
 public:
  explicit TestPki(const std::string& folder);

  // Issues "<name>.pem" and "<name>.key", signed by the CA. `subjectAltName`
  // is an openssl list such as "IP:127.0.0.1,DNS:localhost"; an expired
  // certificate was valid for one day in 2020 only.
  void Issue(const std::string& name, const std::string& subjectAltName, bool expired = false);

  // Writes "<name>.enc.key", the key of `name` encrypted with the passphrase
  // held in `passwordFile`.
  void EncryptKey(const std::string& name, const std::string& passwordFile);

  std::string caFile() const { return folder_ + "/ca.pem"; }
  std::string cert(const std::string& name) const { return folder_ + "/" + name + ".pem"; }
  std::string key(const std::string& name) const { return folder_ + "/" + name + ".key"; }

 private:
  void Run(const std::string& arguments);
  std::string folder_;
};

// The token-only server of the nginx site the package ships
// (tools/nginx-control-server.conf), as NginxServer takes it: serving the web
// root `root` (its current/ release) on 127.0.0.1:@PORT@ with the
// certificate "server" of `pki`, admitting the bearer `token`.
std::string ShippedTokenSite(const std::string& root, const TestPki& pki, const std::string& token);

// Runs `nginx -p <folder> -c <folder>/nginx.conf -g 'daemon off; ...'` as a
// child (one process, no user switch, so it serves files of a private test
// folder even as root), with every log and temporary file inside `folder`.
// `servers` is the text of the http{} block's server{} entries; "@PORT@" in
// it is replaced by the loopback port picked (another one is tried when that
// one is taken). The access log, "access.log", shows for each request
// "<request line> <status> auth=[<Authorization header>]". The server is
// stopped at the end of the scope, and by the kernel if the test dies first.
// Throws std::runtime_error when nginx does not start.
class NginxServer {
 public:
  NginxServer(const std::string& folder, const std::string& servers);
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  int port() const { return port_; }
  std::string accessLog() const;

 private:
  bool Start(const std::string& servers, int port, std::string& failure);
  void Stop();

  std::string folder_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace testsupport
