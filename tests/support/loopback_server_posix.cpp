#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/loopback_server.h"

namespace vmrk::test {

std::string SupportFolder() { return VMRK_TEST_SUPPORT_DIR; }

LoopbackServer::LoopbackServer(const std::string& root) {
  char logTemplate[] = "/tmp/vmrk-server-log-XXXXXX";
  int logFd = mkstemp(logTemplate);
  if (logFd < 0) throw std::runtime_error("mkstemp failed");
  close(logFd);
  logPath_ = logTemplate;

  int pipeFds[2];
  if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  std::string script = SupportFolder() + "/http_server.py";
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    execlp("python3", "python3", script.c_str(), "--root", root.c_str(), "--log", logPath_.c_str(), "--log-connections",
           "--lifetime", "600", static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_ = pid;
  close(pipeFds[1]);
  std::string line;
  char c;
  while (read(pipeFds[0], &c, 1) == 1 && c != '\n') line += c;
  close(pipeFds[0]);
  port_ = std::atoi(line.c_str());
  if (port_ <= 0) throw std::runtime_error("test server did not start: " + script);
}

LoopbackServer::~LoopbackServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  std::remove(logPath_.c_str());
}

std::string LoopbackServer::HostPort() const { return "127.0.0.1:" + std::to_string(port_); }

std::string LoopbackServer::Url(const std::string& path) const { return "http://" + HostPort() + path; }

std::vector<LoggedRequest> LoopbackServer::Requests() const {
  std::vector<LoggedRequest> requests;
  std::ifstream in(logPath_);
  std::string line;
  while (std::getline(in, line)) {
    LoggedRequest request = ParseLoggedRequest(line);
    if (request.method != "CONNECTED") requests.push_back(request);
  }
  return requests;
}

std::vector<int> LoopbackServer::Connections() const {
  std::vector<int> ports;
  std::ifstream in(logPath_);
  std::string line;
  while (std::getline(in, line))
    if (LoggedRequest request = ParseLoggedRequest(line); request.method == "CONNECTED") ports.push_back(request.connection);
  return ports;
}

}  // namespace vmrk::test
