#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "tests/support/nginx_server.h"

namespace vmrk::test {
namespace {

// What docs/ tells a maintainer to serve, served to the tests.
const std::string kCacheHeaders = std::string(VMRK_TEST_SUPPORT_DIR) + "/../../docs/nginx-cache-headers.conf";

std::string NginxProgram() {
  for (const char* candidate : {"/usr/sbin/nginx", "/usr/local/sbin/nginx"})
    if (access(candidate, X_OK) == 0) return candidate;
  return "nginx";
}

}  // namespace

NginxServer::NginxServer(const std::string& root, const TlsFiles& tls) {
  const std::string p = prefix_.path();
  std::string user;
  // As root the workers would otherwise run as nobody, who cannot read the
  // tests' private temporary folders.
  if (geteuid() == 0) user = "user root;\n";
  for (int attempt = 0; attempt < 5 && !process_; ++attempt) {
    port_ = FreeLoopbackPort();
    prefix_.Write("nginx.conf", user + "daemon off;\nworker_processes 1;\npid " + p + "/nginx.pid;\nerror_log " + p +
                                    "/error.log;\nevents { worker_connections 256; }\nhttp {\n"
                                    "  access_log " + p + "/access.log;\n"
                                    "  client_body_temp_path " + p + "/body;\n  proxy_temp_path " + p + "/proxy;\n"
                                    "  fastcgi_temp_path " + p + "/fastcgi;\n  uwsgi_temp_path " + p + "/uwsgi;\n"
                                    "  scgi_temp_path " + p + "/scgi;\n"
                                    "  default_type application/octet-stream;\n  sendfile on;\n"
                                    "  keepalive_timeout 60;\n  keepalive_requests 100000;\n"
                                    "  server {\n    listen 127.0.0.1:" + std::to_string(port_) +
                                    (tls.certificate.empty() ? std::string(";\n")
                                                             : " ssl;\n    ssl_certificate " + tls.certificate +
                                                                   ";\n    ssl_certificate_key " + tls.key +
                                                                   ";\n    ssl_protocols TLSv1.2 TLSv1.3;\n") +
                                    "    root " + root + ";\n    location / { }\n    include " + kCacheHeaders + ";\n  }\n}\n");
    auto process = std::make_unique<Process>(NginxProgram(), std::vector<std::string>{"-p", p, "-c", p + "/nginx.conf",
                                                                                        "-e", p + "/error.log"});
    for (int i = 0; i < 200; ++i) {
      if (LoopbackPortAccepts(port_)) {
        process_ = std::move(process);
        break;
      }
      if (!process->Running()) break;  // the port was taken after all: try another
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  if (!process_) throw std::runtime_error("nginx did not start; see " + p + "/error.log");
}

NginxServer::~NginxServer() = default;

std::vector<std::string> NginxServer::LogLines() const {
  std::vector<std::string> lines;
  std::ifstream log(prefix_.Sub("access.log"));
  for (std::string line; std::getline(log, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> NginxServer::Requests() const {
  std::vector<std::string> requests;
  std::ifstream log(prefix_.Sub("access.log"));
  std::string line;
  while (std::getline(log, line)) {
    size_t open = line.find('"');
    size_t close = line.find('"', open + 1);
    if (open == std::string::npos || close == std::string::npos) continue;
    std::string request = line.substr(open + 1, close - open - 1);
    size_t protocol = request.rfind(" HTTP/");
    requests.push_back(protocol == std::string::npos ? request : request.substr(0, protocol));
  }
  return requests;
}

XvfbDisplay::XvfbDisplay() {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe");
  // -displayfd: Xvfb picks a free display and writes its number once ready.
  process_ = std::make_unique<Process>(
      // -noreset: by default the server resets when its last client leaves,
      // and a program that connects in that moment (the updater started just
      // after xdotool looked, or started a second time) fails to open it.
      "Xvfb", std::vector<std::string>{"-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24",
                                       "-nolisten", "tcp", "-noreset"},
      Environment{}, false, true);
  close(fds[1]);
  pollfd wait{fds[0], POLLIN, 0};
  std::string number;
  while (poll(&wait, 1, 10000) > 0) {
    char c;
    if (read(fds[0], &c, 1) != 1 || c == '\n') break;
    number += c;
  }
  close(fds[0]);
  if (number.empty()) throw std::runtime_error("Xvfb did not start");
  display_ = ":" + number;
}

XvfbDisplay::~XvfbDisplay() = default;

}  // namespace vmrk::test
