// The tests' own HTTP server (http_server.py) on 127.0.0.1, started for a
// test and stopped with it.
#pragma once

#include <string>
#include <vector>

namespace vmrk::test {

struct LoggedRequest {
  int connection;  // client port: equal values mean a reused connection
  std::string method;
  std::string path;
  std::string range, ifRange;  // the request's headers, "" when absent
};

// One line of the server's log: "<connection> <method> <path>", and
// "\t<Range>\t<If-Range>" after it when the request asked for a range.
LoggedRequest ParseLoggedRequest(const std::string& line);

class LoopbackServer {
 public:
  // Serves the files below root ("" for the fault routes only).
  explicit LoopbackServer(const std::string& root = "");
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return port_; }
  // "127.0.0.1:port", what myip.txt names after "seip:".
  std::string HostPort() const;
  std::string Url(const std::string& path) const;
  std::vector<LoggedRequest> Requests() const;
  // The connections accepted (client ports), in order, requests or not.
  std::vector<int> Connections() const;

 private:
  int pid_ = -1;
  int port_ = 0;
  std::string logPath_;
  std::string prefix_;    // Windows: this test's folder below the served one
  size_t skipLines_ = 0;  // Windows: log lines from before this server
};

// Folder of the test support files (the server script among them).
std::string SupportFolder();

}  // namespace vmrk::test
