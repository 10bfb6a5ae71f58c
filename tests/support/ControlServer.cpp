#include "support/ControlServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

extern char** environ;

namespace testsupport {

namespace {

// Reads the first line of `fd`, waiting at most `timeoutMs` in all.
std::string ReadFirstLine(int fd, int timeoutMs) {
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (line.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buf[256];
    ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  return line.substr(0, line.find('\n'));
}

}  // namespace

ControlServer::ControlServer(const std::string& script, const std::string& file,
                             const std::string& mode, double delaySeconds, int rate,
                             const std::string& validator) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  std::vector<std::string> args = {"python3",
                                   script,
                                   "--file",
                                   file,
                                   "--mode",
                                   mode,
                                   "--delay",
                                   std::to_string(delaySeconds),
                                   "--rate",
                                   std::to_string(rate),
                                   "--validator",
                                   validator,
                                   "--host",
                                   "127.0.0.1",
                                   "--port",
                                   "0",
                                   "--lifetime",
                                   "600",
                                   "--exit-with-parent"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int rc = ::posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (rc != 0) {
    ::close(pipeFds[0]);
    pid_ = -1;
    throw std::runtime_error(std::string("cannot start python3: ") + std::strerror(rc));
  }
  std::string line = ReadFirstLine(pipeFds[0], 30000);
  ::close(pipeFds[0]);
  if (line.rfind("PORT ", 0) == 0) port_ = std::atoi(line.c_str() + 5);
  if (port_ <= 0) {
    Stop();
    throw std::runtime_error("control server did not report its port: [" + line + "]");
  }
}

ControlServer::~ControlServer() { Stop(); }

std::string ControlServer::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

void ControlServer::Stop() { StopChild(pid_); }

int ClosedLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("bind failed");
  }
  ::close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace testsupport
