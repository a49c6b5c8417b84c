// Under Wine the tests' server runs on the Linux side, started by
// scripts/run-windows-tests.sh before the suite; it serves the Windows
// temporary folder, so each test's own folder is a path prefix below it.
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/loopback_server.h"
#include "tests/support/temp_dir.h"

namespace vmrk::test {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) throw std::runtime_error(std::string(name) + " is not set: run scripts/run-windows-tests.sh");
  return value;
}

std::string Slashes(std::string path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::string SupportFolder() { return {}; }

LoopbackServer::LoopbackServer(const std::string& root) {
  port_ = std::atoi(Env("VMRK_TEST_SERVER_PORT").c_str());
  logPath_ = Env("VMRK_TEST_SERVER_LOG");
  // The script serves this very folder from the Linux side.
  std::string served = Slashes(Utf8Of(std::filesystem::canonical(std::filesystem::temp_directory_path())));
  std::string mine = root.empty() ? served : Slashes(Utf8Of(std::filesystem::canonical(PathOf(root))));
  if (mine.size() < served.size() || _strnicmp(mine.c_str(), served.c_str(), served.size()) != 0)
    throw std::runtime_error(root + " is not below the served folder " + served);
  prefix_ = mine.substr(served.size());
  // Requests before this server's life are not its own.
  std::ifstream log(PathOf(logPath_));
  std::string line;
  while (std::getline(log, line)) ++skipLines_;
}

LoopbackServer::~LoopbackServer() = default;

std::string LoopbackServer::HostPort() const { return "127.0.0.1:" + std::to_string(port_); }

std::string LoopbackServer::Url(const std::string& path) const {
  bool fault = path.rfind("/fault/", 0) == 0;
  return "http://" + HostPort() + (fault ? "" : prefix_) + path;
}

std::vector<LoggedRequest> LoopbackServer::Requests() const {
  std::vector<LoggedRequest> requests;
  std::ifstream in(PathOf(logPath_));
  std::string line;
  size_t number = 0;
  while (std::getline(in, line)) {
    if (number++ < skipLines_) continue;
    LoggedRequest request = ParseLoggedRequest(line);
    if (request.method == "CONNECTED") continue;
    if (request.path.rfind("/fault/", 0) != 0) {
      if (request.path.rfind(prefix_, 0) != 0) continue;  // another test's
      request.path.erase(0, prefix_.size());
    }
    requests.push_back(request);
  }
  return requests;
}

// The server is the suite's: the connections after this test's first line
// are its own, since the tests run one after another.
std::vector<int> LoopbackServer::Connections() const {
  std::vector<int> ports;
  std::ifstream in(PathOf(logPath_));
  std::string line;
  size_t number = 0;
  while (std::getline(in, line))
    if (LoggedRequest request = ParseLoggedRequest(line); number++ >= skipLines_ && request.method == "CONNECTED")
      ports.push_back(request.connection);
  return ports;
}

}  // namespace vmrk::test
