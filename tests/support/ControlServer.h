// A real control server for tests: tools/control_server.py run as a child
// process on 127.0.0.1, serving one database file over HTTP.
#pragma once

#include <sys/types.h>

#include <string>

namespace testsupport {

#ifdef GUIDLOOKUPS_SOURCE_DIR
// The server script of this source tree (test executables know where it is).
inline std::string ControlServerScript() {
  return GUIDLOOKUPS_SOURCE_DIR "/tools/control_server.py";
}
#endif

// Starts `python3 <script> --file <file> --mode <mode> --port 0` and waits for
// its "PORT <n>" line; throws std::runtime_error when it does not start. The
// server is stopped (SIGTERM, then SIGKILL) at the end of the scope, and exits
// by itself if the test process dies first.
class ControlServer {
 public:
  // `mode`: ok, 404, truncate, garbage, slow, steady, stall or endless;
  // `delaySeconds`: the stall of the slow and stall modes, the duration of the
  // endless one; `rate`: bytes a second of the steady mode; `validator`:
  // none, etag or last-modified.
  ControlServer(const std::string& script, const std::string& file, const std::string& mode = "ok",
                double delaySeconds = 30, int rate = 4096, const std::string& validator = "none");
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string url() const;
  // Stops the server now (the port is then closed).
  void Stop();

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

// A loopback port on which nothing listens (bound, then closed again).
int ClosedLoopbackPort();

}  // namespace testsupport
